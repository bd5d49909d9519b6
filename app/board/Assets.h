#pragma once

// The board's own page, script and style sheet, built into the program so
// that it runs the same from the build folder and from the package.

#include <array>
#include <string_view>

namespace vendrill::board {

struct Asset {
    const char* path;  // as requested
    const char* type;  // Content-Type
    std::string_view data;
};

extern const std::array<Asset, 5> kAssets;

}  // namespace vendrill::board
