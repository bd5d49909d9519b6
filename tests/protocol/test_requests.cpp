#include "protocol/Protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

using namespace vendrill;

using proto::Bytes;

namespace {

Bytes B(std::initializer_list<int> v)
{
    Bytes out;
    for (int x : v)
        out.push_back(static_cast<std::uint8_t>(x));
    return out;
}

Bytes Concat(Bytes head, std::string_view tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

}  // namespace

TEST(Requests, GetFramesAreEscTildeCommand)
{
    EXPECT_EQ(proto::GetRequest('1'), B({0x1B, 0x7E, 0x31}));
    EXPECT_EQ(proto::GetRequest('3'), B({0x1B, 0x7E, 0x33}));
    EXPECT_EQ(proto::GetRequest('4'), B({0x1B, 0x7E, 0x34}));
    EXPECT_EQ(proto::GetRequest('6'), B({0x1B, 0x7E, 0x36}));
    EXPECT_EQ(proto::GetRequest('A'), B({0x1B, 0x7E, 0x41}));
    EXPECT_EQ(proto::GetRequest('C'), B({0x1B, 0x7E, 0x43}));
}

TEST(Requests, SelectionFrames)
{
    // Set Level: "Use Pinkey" (index 1) and "Not use Pinkey" (index 0).
    EXPECT_EQ(proto::SelectRequest('7', proto::LevelSelection(1)), B({0x1B, 0x7E, 0x37, 0x33}));
    EXPECT_EQ(proto::SelectRequest('7', proto::LevelSelection(0)), B({0x1B, 0x7E, 0x37, 0x31}));
    // Set pairing mode: "Numeric Comparison" and no selection at all.
    EXPECT_EQ(proto::SelectRequest('B', proto::PairingSelection(2)), B({0x1B, 0x7E, 0x42, 0x33}));
    EXPECT_EQ(proto::SelectRequest('B', proto::PairingSelection(-1)), B({0x1B, 0x7E, 0x42, 0x31}));
    // Sniff enable / disable.
    EXPECT_EQ(proto::SelectRequest('D', '1'), B({0x1B, 0x7E, 0x44, 0x31}));
    EXPECT_EQ(proto::SelectRequest('D', '0'), B({0x1B, 0x7E, 0x44, 0x30}));
}

TEST(Requests, SelectionDigitsForEveryIndex)
{
    EXPECT_EQ(proto::LevelSelection(0), '1');
    for (int index : {-1, 1, 2, 3, 100})
        EXPECT_EQ(proto::LevelSelection(index), '3') << index << ": level 2 is never sent";

    EXPECT_EQ(proto::PairingSelection(0), '1');
    EXPECT_EQ(proto::PairingSelection(1), '2');
    EXPECT_EQ(proto::PairingSelection(2), '3');
    for (int index : {-1, 3, 1000})
        EXPECT_EQ(proto::PairingSelection(index), '1') << index;
}

TEST(Requests, TextFramesCarryByteLength)
{
    EXPECT_EQ(proto::TextRequest('5', "1234"), B({0x1B, 0x7E, 0x35, 0x04, '1', '2', '3', '4'}));
    EXPECT_EQ(proto::TextRequest('5', "1234")->size(), 8u);
    EXPECT_EQ(proto::TextRequest('2', "ABC"), B({0x1B, 0x7E, 0x32, 0x03, 0x41, 0x42, 0x43}));
    EXPECT_EQ(proto::TextRequest('2', "ABC00099"),
              B({0x1B, 0x7E, 0x32, 0x08, 0x41, 0x42, 0x43, 0x30, 0x30, 0x30, 0x39, 0x39}));

    // Two-byte characters of the code page count two each.
    const std::string hangul = "\xC7\xD1\xB1\xDB";  // two characters, four bytes
    EXPECT_EQ(proto::TextRequest('2', hangul), Concat(B({0x1B, 0x7E, 0x32, 0x04}), hangul));
}

TEST(Requests, TextFramesRefuseEmptyAndOverlongText)
{
    EXPECT_EQ(proto::TextRequest('5', ""), std::nullopt);
    EXPECT_EQ(proto::TextRequest('2', ""), std::nullopt);

    const std::string name29(29, 'N');
    const std::string max = name29 + std::string(30, '7');  // 59 bytes
    auto frame = proto::TextRequest('2', max);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->size(), 63u);
    EXPECT_EQ((*frame)[3], 59);
    EXPECT_EQ(proto::TextRequest('2', max + "7"), std::nullopt) << "60 bytes would exceed 63-byte frames";
    EXPECT_EQ(proto::TextRequest('5', std::string(300, 'x')), std::nullopt);
}

TEST(Requests, SuffixFitsBelowSixtyBytes)
{
    EXPECT_TRUE(proto::SuffixFits(3, 5));
    EXPECT_TRUE(proto::SuffixFits(29, 30));
    EXPECT_FALSE(proto::SuffixFits(29, 31));
    EXPECT_FALSE(proto::SuffixFits(60, 0));
    EXPECT_TRUE(proto::SuffixFits(0, 59));
    EXPECT_FALSE(proto::SuffixFits(1, SIZE_MAX)) << "sum must not wrap round";
    EXPECT_FALSE(proto::SuffixFits(SIZE_MAX, 1));

    // Whatever fits also builds a frame.
    EXPECT_TRUE(proto::TextRequest('2', std::string(29, 'N') + std::string(30, '0')).has_value());
}

TEST(NextSuffix, CarriesAndKeepsWidth)
{
    EXPECT_EQ(proto::NextSuffix("00099"), "00100");
    EXPECT_EQ(proto::NextSuffix("7"), "00008");
    EXPECT_EQ(proto::NextSuffix("0000012"), "0000013");
    EXPECT_EQ(proto::NextSuffix("99999"), "100000");
    EXPECT_EQ(proto::NextSuffix("000123"), "000124");
    EXPECT_EQ(proto::NextSuffix("0"), "00001");
    EXPECT_EQ(proto::NextSuffix("00000"), "00001");
    EXPECT_EQ(proto::NextSuffix("0099999"), "0100000");
    EXPECT_EQ(proto::NextSuffix("123456"), "123457");
}

TEST(NextSuffix, ValuesBeyondThirtyTwoBits)
{
    EXPECT_EQ(proto::NextSuffix("2147483646"), "2147483647");
    EXPECT_EQ(proto::NextSuffix("2147483647"), "2147483648");
    EXPECT_EQ(proto::NextSuffix("4294967295"), "4294967296");
    EXPECT_EQ(proto::NextSuffix("99999999999"), "100000000000");
    EXPECT_EQ(proto::NextSuffix("0009223372036854775807"), "0009223372036854775808");
    EXPECT_EQ(proto::NextSuffix(std::string(40, '9')), "1" + std::string(40, '0'));
    EXPECT_EQ(proto::NextSuffix(std::string(30, '0')), std::string(29, '0') + "1");
}

TEST(NextSuffix, NonDigitTextCountsOnlyLeadingDigits)
{
    EXPECT_EQ(proto::NextSuffix(""), "00001");
    EXPECT_EQ(proto::NextSuffix("abc"), "00001");
    EXPECT_EQ(proto::NextSuffix("12ab"), "00013");
    EXPECT_EQ(proto::NextSuffix("0042-x-y"), "00000043") << "width of the whole text is kept";
    EXPECT_EQ(proto::NextSuffix(" 12"), "00001") << "no blanks are skipped";
    EXPECT_EQ(proto::NextSuffix("-5"), "00001") << "no sign";
    EXPECT_EQ(proto::NextSuffix("9x"), "00010");
}

