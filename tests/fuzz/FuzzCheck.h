#pragma once

// Shared by the fuzz targets: a check that holds in every build type, and a
// reader that takes a fuzz input apart piece by piece.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

// Unlike assert, also active with NDEBUG, so Release regression runs check too.
#define FUZZ_CHECK(cond)                                                                   \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::fflush(stderr);                                                           \
            std::abort();                                                                  \
        }                                                                                  \
    } while (0)

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_pos >= m_size; }
    std::size_t Remaining() const { return m_size - m_pos; }

    // Next byte, 0 once the input is used up.
    std::uint8_t Byte() { return Empty() ? 0 : m_data[m_pos++]; }

    // Up to n bytes; fewer when the input runs out.
    std::string_view Take(std::size_t n)
    {
        if (n > Remaining())
            n = Remaining();
        const std::string_view out(reinterpret_cast<const char*>(m_data + m_pos), n);
        m_pos += n;
        return out;
    }

    std::string_view Rest() { return Take(Remaining()); }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_pos = 0;
};

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

inline bool AllDigits(std::string_view s)
{
    for (char c : s)
        if (!IsDigit(c))
            return false;
    return true;
}

}  // namespace fuzz
