// Successor of a numeric suffix on arbitrary texts, held against a decimal
// increment worked out here by the trailing-nines rule and, where the value
// fits, against 64-bit arithmetic.

#include "FuzzCheck.h"
#include "protocol/Protocol.h"

#include <algorithm>
#include <string>

using namespace vendrill;

namespace {

// s + 1 for a string of digits: the trailing nines turn into zeros and the
// digit in front of them goes up by one (a leading '1' when all are nines).
// Leading zeros are dropped; "" counts as 0.
std::string Increment(std::string_view s)
{
    while (!s.empty() && s.front() == '0')
        s.remove_prefix(1);
    if (s.empty())
        return "1";
    const std::size_t lastNonNine = s.find_last_not_of('9');
    const std::size_t nines = lastNonNine == std::string_view::npos ? s.size() : s.size() - lastNonNine - 1;
    std::string out;
    if (lastNonNine == std::string_view::npos) {
        out = "1";
    } else {
        out = std::string(s.substr(0, lastNonNine));
        out.push_back(static_cast<char>(s[lastNonNine] + 1));
    }
    out.append(nines, '0');
    return out;
}

std::string PadLeft(std::string value, std::size_t width)
{
    if (value.size() < width)
        value.insert(0, width - value.size(), '0');
    return value;
}

std::string_view LeadingDigits(std::string_view s)
{
    std::size_t n = 0;
    while (n < s.size() && fuzz::IsDigit(s[n]))
        ++n;
    return s.substr(0, n);
}

void Check(std::string_view s)
{
    const std::string next = proto::NextSuffix(s);
    FUZZ_CHECK(fuzz::AllDigits(next));
    FUZZ_CHECK(next.size() >= 5 && next.size() >= s.size());

    // Only the leading digits are the value; the width is that of all of s.
    const std::string sum = Increment(LeadingDigits(s));
    FUZZ_CHECK(next.size() == std::max({s.size(), std::size_t{5}, sum.size()}));
    FUZZ_CHECK(next == PadLeft(sum, std::max(s.size(), std::size_t{5})));

    // Second opinion where the value fits into 18 decimal digits.
    std::string_view digits = LeadingDigits(s);
    while (!digits.empty() && digits.front() == '0')
        digits.remove_prefix(1);
    if (digits.size() <= 18) {
        unsigned long long value = 0;
        for (char c : digits)
            value = value * 10 + static_cast<unsigned long long>(c - '0');
        FUZZ_CHECK(next == PadLeft(std::to_string(value + 1), std::max(s.size(), std::size_t{5})));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view s(reinterpret_cast<const char*>(data), size);
    Check(s);

    // Digits only, as the suffix field holds them: map every byte to a digit.
    std::string digits(s);
    for (char& c : digits)
        c = static_cast<char>('0' + static_cast<unsigned char>(c) % 10);
    Check(digits);

    // The dialog feeds each result back in for the next module.
    std::string current = digits;
    for (int k = 0; k < 3; ++k) {
        const std::string next = proto::NextSuffix(current);
        FUZZ_CHECK(next == PadLeft(Increment(current), std::max(current.size(), std::size_t{5})));
        current = next;
    }
    return 0;
}
