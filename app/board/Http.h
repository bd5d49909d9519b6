#pragma once

// Small pieces of HTTP and of text that the board's server and its settings
// share.

#include <optional>
#include <string>
#include <string_view>

namespace vendrill::board {

// Whether a byte can be read from fd within ms.
bool WaitReadable(int fd, int ms);
// The whole file; false when it cannot be read (errno says why).
bool ReadWhole(const std::string& path, std::string* out);
std::string Lower(std::string s);
// %XX decoded; '+' a space only where a form sent it (plus).
std::string Decoded(std::string_view text, bool plus);
std::string Encoded(std::string_view text);
// The raw value of a query parameter (the part after '?'), or nullopt.
std::optional<std::string_view> RawParam(std::string_view target, std::string_view key);

}  // namespace vendrill::board
