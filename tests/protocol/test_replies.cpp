#include "protocol/Protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vendrill;

namespace {

std::vector<std::uint8_t> B(std::initializer_list<int> v)
{
    std::vector<std::uint8_t> out;
    for (int x : v)
        out.push_back(static_cast<std::uint8_t>(x));
    return out;
}

std::string S(std::initializer_list<int> v)
{
    std::string out;
    for (int x : v)
        out.push_back(static_cast<char>(x));
    return out;
}

// What the dialog does with one drained batch: take a complete reply out of
// the accumulated text and decode it.
std::optional<proto::Reply> Drain(std::string& acc, const std::vector<std::uint8_t>& batch)
{
    const proto::ReceiveStep step = proto::Receive(acc, batch.data(), batch.size());
    if (!step.complete)
        return std::nullopt;
    EXPECT_TRUE(acc.empty());
    return proto::ParseReply(step.reply);
}

}  // namespace

TEST(Replies, OneBatchWholeReply)
{
    std::string acc;
    auto r = Drain(acc, B({0x02, 0x41, 0x42, 0x33, 0x30, 0x31, 0x32, 0x03}));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->i, 4);
    EXPECT_EQ(r->j, 3);
    EXPECT_TRUE(r->hasCommand);
    EXPECT_EQ(r->command, '3');
    EXPECT_EQ(r->data, "012");
    EXPECT_TRUE(acc.empty());
}

TEST(Replies, SplitOverTwoBatches)
{
    std::string acc;
    EXPECT_FALSE(Drain(acc, B({0x02, 0x41, 0x42, 0x33, 0x30})).has_value());
    EXPECT_EQ(acc, S({0x02, 0x41, 0x42, 0x33, 0x30}));
    auto r = Drain(acc, B({0x31, 0x32, 0x03}));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->command, '3');
    EXPECT_EQ(r->data, "012");
}

TEST(Replies, TwoRepliesInOneBatchDecodeOnlyTheFirst)
{
    const std::string acc = S({0x02, 'V', 'R', '4', '0', '0', '0', '0', 0x03, 0x02, 'V', 'R', '1', 'N', 0x03});
    ASSERT_TRUE(proto::HasCompleteReply(acc));
    auto r = proto::ParseReply(acc);
    EXPECT_EQ(r.command, '4');
    EXPECT_EQ(r.data, "0000");
}

TEST(Replies, NoiseBeforeStxIsSkipped)
{
    const std::string acc = "xyz" + S({0x02, 'V', 'R', '1', 'P', 'R', 'N', 0x03});
    ASSERT_TRUE(proto::HasCompleteReply(acc));
    auto r = proto::ParseReply(acc);
    EXPECT_EQ(r.i, 7);
    EXPECT_EQ(r.j, 3);
    EXPECT_EQ(r.command, '1');
    EXPECT_EQ(r.data, "PRN");
}

TEST(Replies, EtxBeforeStxDecodesAtOnceWithEmptyData)
{
    // ETX at index 1, then a reply still arriving.
    const std::string acc = S({'x', 0x03, 0x02, 'V', 'R', '3', '0', '1'});
    ASSERT_TRUE(proto::HasCompleteReply(acc));
    auto r = proto::ParseReply(acc);
    EXPECT_EQ(r.i, 6);
    EXPECT_EQ(r.j, -5);
    EXPECT_TRUE(r.hasCommand);
    EXPECT_EQ(r.command, '3');
    EXPECT_EQ(r.data, "");

    // Same, with the command not yet received.
    auto shortOne = proto::ParseReply(S({'x', 0x03, 0x02, 'V'}));
    EXPECT_FALSE(shortOne.hasCommand);
    EXPECT_EQ(shortOne.data, "");
}

TEST(Replies, EtxAtIndexZeroBlocksDecoding)
{
    std::string acc;
    EXPECT_FALSE(Drain(acc, B({0x03})).has_value());
    EXPECT_FALSE(Drain(acc, B({0x02, 'V', 'R', '3', '0', 0x03})).has_value())
        << "the first ETX is at index 0, so nothing is decoded";
    EXPECT_EQ(acc.size(), 7u);
    EXPECT_FALSE(proto::HasCompleteReply(S({0x03, 0x03, 0x02})));
}

TEST(Replies, ZeroBytesAreSkipped)
{
    // A line glitch in front of a reply and inside it costs nothing.
    std::string acc;
    const auto reply = Drain(acc, B({0x00, 0x02, 'V', 'R', '1', 'A', 0x00, 'B', 0x03}));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->data, "AB");
    proto::AppendBatch(acc, nullptr, 0);
    proto::AppendBatch(acc, B({0x00, 0x02, 0x00}).data(), 3);
    EXPECT_EQ(acc, S({0x02}));
}

TEST(Replies, IncompleteTextIsNotComplete)
{
    EXPECT_FALSE(proto::HasCompleteReply(""));
    EXPECT_FALSE(proto::HasCompleteReply(S({0x02, 'V', 'R', '3'})));
    EXPECT_FALSE(proto::HasCompleteReply(S({'a', 0x03})));  // ETX but no STX
    EXPECT_TRUE(proto::HasCompleteReply(S({0x02, 0x03})));
}

TEST(Replies, ShortRepliesHaveNoCommandOrNoData)
{
    // STX ETX: command position past the end.
    auto r = proto::ParseReply(S({0x02, 0x03}));
    EXPECT_FALSE(r.hasCommand);
    EXPECT_EQ(r.i, 4);
    EXPECT_EQ(r.j, -3);
    EXPECT_EQ(r.data, "");

    // STX x x ETX: the ETX itself sits at the command position.
    r = proto::ParseReply(S({0x02, 'V', 'R', 0x03}));
    EXPECT_TRUE(r.hasCommand);
    EXPECT_EQ(r.command, '\x03');
    EXPECT_EQ(r.j, -1);
    EXPECT_EQ(r.data, "");

    // Empty data: Set acknowledgement.
    r = proto::ParseReply(S({0x02, 'V', 'R', '5', 0x03}));
    EXPECT_EQ(r.command, '5');
    EXPECT_EQ(r.j, 0);
    EXPECT_EQ(r.data, "");
}

TEST(Replies, ParseNeverReadsOutOfBounds)
{
    // No STX, no ETX, or neither: sane values, empty data.
    for (const std::string& acc : {std::string(), std::string("abc"), S({0x03}), S({'a', 0x03}), S({0x02}),
                                   S({0x02, 'V', 'R', '3', '1', '2'})}) {
        auto r = proto::ParseReply(acc);
        EXPECT_TRUE(r.data.size() <= acc.size());
        if (acc.find('\x02') == std::string::npos) {
            EXPECT_FALSE(r.hasCommand);
            EXPECT_EQ(r.i, 0);
            EXPECT_EQ(r.j, 0);
        }
    }
    // STX with no ETX after it: command read, no data.
    auto r = proto::ParseReply(S({0x02, 'V', 'R', '3', '1', '2'}));
    EXPECT_TRUE(r.hasCommand);
    EXPECT_EQ(r.command, '3');
    EXPECT_EQ(r.data, "");

    // Every prefix of a real reply with noise and a trailing reply.
    const std::string full = S({'n', 0x02, 'V', 'R', '1', 'N', 'A', 'M', 'E', 0x03, 0x02, 'V', 'R', '6', '1', 0x03});
    for (std::size_t len = 0; len <= full.size(); ++len) {
        auto p = proto::ParseReply(full.substr(0, len));
        EXPECT_LE(p.data.size(), len);
    }
}

TEST(Replies, HexLogLine)
{
    const auto bytes = B({0x02, 0x00, 0x00, 0x33, 0x03});
    const std::string line = proto::HexLogLine(bytes.data(), bytes.size());
    EXPECT_EQ(line, " 02 00 00 33 03");
    EXPECT_EQ(line.size(), 15u);
    const auto high = B({0xFF, 0xAB, 0x0A});
    EXPECT_EQ(proto::HexLogLine(high.data(), high.size()), " FF AB 0A");
    EXPECT_EQ(proto::HexLogLine(nullptr, 0), "");
}

TEST(Replies, DisplayTexts)
{
    EXPECT_EQ(proto::LevelText("1"), "Mode 1 (Not Use Pinkey)");
    EXPECT_EQ(proto::LevelText("2"), "Mode 2 (Use Pinkey)");
    EXPECT_EQ(proto::LevelText("3"), "Mode 3 (Use Pinkey)");
    EXPECT_EQ(proto::LevelText(""), "Mode  (Use Pinkey)");
    EXPECT_EQ(proto::LevelText("11"), "Mode 11 (Use Pinkey)");

    EXPECT_EQ(proto::PairingModeText("1"), "Legacy pairing");
    EXPECT_EQ(proto::PairingModeText("2"), "Just Works");
    EXPECT_EQ(proto::PairingModeText("3"), "Numeric Comparison");
    EXPECT_EQ(proto::PairingModeText("12"), std::nullopt);
    EXPECT_EQ(proto::PairingModeText(""), std::nullopt);
    EXPECT_EQ(proto::PairingModeText("4"), std::nullopt);

    EXPECT_EQ(proto::SniffText("1"), "sniff mode enable");
    EXPECT_EQ(proto::SniffText("0"), "sniff mode disable");
    EXPECT_EQ(proto::SniffText("01"), std::nullopt);
    EXPECT_EQ(proto::SniffText(""), std::nullopt);
}

TEST(Replies, AccumulatedTextIsDroppedAtOneHundredCharacters)
{
    std::string acc;
    const std::vector<std::uint8_t> noise(33, 'x');
    for (int k = 0; k < 3; ++k) {
        const auto step = proto::Receive(acc, noise.data(), noise.size());
        EXPECT_FALSE(step.overflowed);
        EXPECT_FALSE(step.complete);
    }
    EXPECT_EQ(acc.size(), 99u);
    const std::uint8_t one = 'x';
    EXPECT_TRUE(proto::Receive(acc, &one, 1).overflowed);
    EXPECT_TRUE(acc.empty());

    // A reply still arriving survives up to the limit and is decoded once its ETX comes.
    std::string partial;
    const auto head = B({0x02, 'V', 'R', '1'});
    proto::Receive(partial, head.data(), head.size());
    const std::vector<std::uint8_t> name(90, 'N');
    EXPECT_FALSE(proto::Receive(partial, name.data(), name.size()).overflowed);
    const auto tail = B({0x03});
    const auto step = proto::Receive(partial, tail.data(), tail.size());
    ASSERT_TRUE(step.complete);
    EXPECT_EQ(proto::ParseReply(step.reply).data.size(), 90u);
}
