#pragma once

#include <QIcon>

#include <array>

namespace vendrill {

// Square sizes, in pixels, that the application icon is rendered at.
inline constexpr std::array<int, 9> kAppIconSizes = {16, 24, 32, 48, 64, 72, 96, 128, 256};

// The application icon: the one artwork, rendered at every size above when
// the program is built.
// Returns an empty icon when the artwork cannot be loaded.
QIcon MakeAppIcon();

}  // namespace vendrill
