#pragma once

// "Did you mean ...?" for a word typed wrong: the nearest of the words a
// program knows, when it is near enough to be what was meant.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vendrill {

// Edits (insert, delete, replace, swap two neighbours) from a to b.
std::size_t EditDistance(std::string_view a, std::string_view b);

// The known word nearest to typed, when one or two edits (one for a word of
// up to four letters) lead to it; the first of equally near ones.
std::optional<std::string> NearestWord(std::string_view typed, const std::vector<std::string>& known);

}  // namespace vendrill
