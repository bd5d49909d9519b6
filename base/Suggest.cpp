#include "base/Suggest.h"

#include <algorithm>

namespace vendrill {

std::size_t EditDistance(std::string_view a, std::string_view b)
{
    // Rows k - 2, k - 1 and k of the table; a swap looks two rows back.
    std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        previous[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t replace = previous[j - 1] + (a[i - 1] == b[j - 1] ? 0 : 1);
            row[j] = std::min({previous[j] + 1, row[j - 1] + 1, replace});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                row[j] = std::min(row[j], before[j - 2] + 1);
        }
        std::swap(before, previous);
        std::swap(previous, row);
    }
    return previous[b.size()];
}

std::optional<std::string> NearestWord(std::string_view typed, const std::vector<std::string>& known)
{
    const std::size_t allowed = typed.size() <= 4 ? 1 : 2;
    std::optional<std::string> best;
    std::size_t bestDistance = allowed + 1;
    for (const std::string& word : known) {
        const std::size_t d = EditDistance(typed, word);
        if (d < bestDistance) {
            bestDistance = d;
            best = word;
        }
    }
    return best;
}

}  // namespace vendrill
