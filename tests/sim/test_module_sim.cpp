#include "sim/ModuleSim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace vendrill;

using proto::Bytes;

namespace {

struct Answer {
    char command;
    std::string data;
};

// Decodes one reply frame the way the tool does.
Answer Decode(const Bytes& frame)
{
    std::string text(frame.begin(), frame.end());
    EXPECT_TRUE(proto::HasCompleteReply(text));
    const proto::Reply r = proto::ParseReply(text);
    EXPECT_TRUE(r.hasCommand);
    return {r.command, r.data};
}

std::vector<Bytes> Feed(CModuleSim& sim, const Bytes& bytes)
{
    return sim.Feed(bytes.data(), bytes.size());
}

std::vector<Bytes> Feed(CModuleSim& sim, std::string_view text)
{
    return sim.Feed(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

// Sends one request and expects exactly one reply.
Answer Ask(CModuleSim& sim, const Bytes& request)
{
    auto replies = Feed(sim, request);
    EXPECT_EQ(replies.size(), 1u);
    if (replies.size() != 1)
        return {0, ""};
    return Decode(replies[0]);
}

Bytes Text(char command, std::string_view text)
{
    auto frame = proto::TextRequest(command, text);
    EXPECT_TRUE(frame.has_value());
    return frame.value_or(Bytes{});
}

// A text frame built by hand, for lengths the tool would never send.
Bytes RawText(char command, const std::string& text)
{
    Bytes frame(4 + text.size());
    frame[0] = proto::ESC;
    frame[1] = proto::TILDE;
    frame[2] = static_cast<std::uint8_t>(command);
    frame[3] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), frame.begin() + 4);
    return frame;
}

}  // namespace

TEST(ModuleSim, ReplyFrameLayout)
{
    EXPECT_EQ(MakeReply('3', "012"), (Bytes{0x02, 'V', 'R', '3', '0', '1', '2', 0x03}));
    EXPECT_EQ(MakeReply('5', ""), (Bytes{0x02, 'V', 'R', '5', 0x03}));
}

TEST(ModuleSim, GetRequestsAnswerTheSettings)
{
    CModuleSim sim;
    auto a = Ask(sim, proto::GetRequest('3'));
    EXPECT_EQ(a.command, '3');
    EXPECT_EQ(a.data, "00190199A1B2");
    a = Ask(sim, proto::GetRequest('4'));
    EXPECT_EQ(a.command, '4');
    EXPECT_EQ(a.data, "0000");
    a = Ask(sim, proto::GetRequest('1'));
    EXPECT_EQ(a.command, '1');
    EXPECT_EQ(a.data, "VENDRILL-PRN");
    a = Ask(sim, proto::GetRequest('6'));
    EXPECT_EQ(a.command, '6');
    EXPECT_EQ(a.data, "1");
    a = Ask(sim, proto::GetRequest('A'));
    EXPECT_EQ(a.command, 'A');
    EXPECT_EQ(a.data, "1");
    a = Ask(sim, proto::GetRequest('C'));
    EXPECT_EQ(a.command, 'C');
    EXPECT_EQ(a.data, "0");
    EXPECT_EQ(sim.RequestCount(), 6u);
}

TEST(ModuleSim, SetRequestsChangeTheSettingsAndAcknowledge)
{
    CModuleSim sim;
    auto a = Ask(sim, Text('5', "1234"));
    EXPECT_EQ(a.command, '5');
    EXPECT_EQ(a.data, "");
    a = Ask(sim, Text('2', "ABC00099"));
    EXPECT_EQ(a.command, '2');
    EXPECT_EQ(a.data, "");
    EXPECT_EQ(Ask(sim, proto::SelectRequest('7', proto::LevelSelection(1))).command, '7');
    EXPECT_EQ(Ask(sim, proto::SelectRequest('B', proto::PairingSelection(1))).command, 'B');
    EXPECT_EQ(Ask(sim, proto::SelectRequest('D', '1')).command, 'D');

    const ModuleState& s = sim.State();
    EXPECT_EQ(s.pin, "1234");
    EXPECT_EQ(s.name, "ABC00099");
    EXPECT_EQ(s.level, '3');
    EXPECT_EQ(s.pairing, '2');
    EXPECT_EQ(s.sniff, '1');
    EXPECT_EQ(s.address, "00190199A1B2");

    EXPECT_EQ(Ask(sim, proto::GetRequest('4')).data, "1234");
    EXPECT_EQ(Ask(sim, proto::GetRequest('1')).data, "ABC00099");
    EXPECT_EQ(Ask(sim, proto::GetRequest('C')).data, "1");
    EXPECT_EQ(Ask(sim, proto::SelectRequest('7', '2')).command, '7') << "level 2 is a valid module setting";
    EXPECT_EQ(Ask(sim, proto::GetRequest('6')).data, "2");

    // Longest texts accepted.
    EXPECT_EQ(Ask(sim, Text('5', std::string(16, '9'))).command, '5');
    EXPECT_EQ(Ask(sim, Text('2', std::string(29, 'N') + std::string(30, '0'))).command, '2');
    EXPECT_EQ(sim.State().name.size(), 59u);
}

TEST(ModuleSim, RefusalsAnswerNineAndKeepTheSettings)
{
    CModuleSim sim;
    const ModuleState before = sim.State();
    const std::vector<Bytes> refused = {
        RawText('5', std::string(17, '1')),         // PIN too long
        RawText('5', ""),                           // empty PIN
        RawText('2', ""),                           // empty name
        RawText('2', std::string(60, 'N')),         // name too long
        RawText('2', std::string("A\x02Z", 3)),     // would break the reply frame
        RawText('5', std::string("1\x03", 2)),
        proto::SelectRequest('7', '4'),
        proto::SelectRequest('7', '0'),
        proto::SelectRequest('B', '0'),
        proto::SelectRequest('B', '4'),
        proto::SelectRequest('D', '2'),
        proto::GetRequest('E'),                     // unknown command
        proto::GetRequest('9'),
    };
    for (const Bytes& request : refused) {
        auto a = Ask(sim, request);
        EXPECT_EQ(a.command, '9') << "request command " << request[2];
        EXPECT_EQ(a.data, "");
    }
    const ModuleState& after = sim.State();
    EXPECT_EQ(after.pin, before.pin);
    EXPECT_EQ(after.name, before.name);
    EXPECT_EQ(after.level, before.level);
    EXPECT_EQ(after.pairing, before.pairing);
    EXPECT_EQ(after.sniff, before.sniff);
    EXPECT_EQ(sim.RequestCount(), refused.size());
}

TEST(ModuleSim, FramesInArbitraryPieces)
{
    CModuleSim sim;
    const Bytes request = Text('2', "SPLIT-NAME");
    for (std::size_t k = 0; k + 1 < request.size(); ++k) {
        EXPECT_TRUE(sim.Feed(&request[k], 1).empty()) << "byte " << k;
        EXPECT_TRUE(sim.InFrame());
    }
    auto replies = sim.Feed(&request.back(), 1);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Decode(replies[0]).command, '2');
    EXPECT_FALSE(sim.InFrame());
    EXPECT_EQ(sim.State().name, "SPLIT-NAME");

    // Several requests in one piece give their replies in order; a frame may
    // end in the middle of the next piece.
    Bytes batch = proto::GetRequest('3');
    const Bytes pin = Text('5', "4321");
    batch.insert(batch.end(), pin.begin(), pin.begin() + 5);
    replies = Feed(sim, batch);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(Decode(replies[0]).command, '3');
    Bytes rest(pin.begin() + 5, pin.end());
    const Bytes getPin = proto::GetRequest('4');
    rest.insert(rest.end(), getPin.begin(), getPin.end());
    replies = Feed(sim, rest);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(Decode(replies[0]).command, '5');
    EXPECT_EQ(Decode(replies[1]).data, "4321");
}

TEST(ModuleSim, PrintedTextBeforeSetBdn)
{
    CModuleSim sim;
    // What the tool writes for Set BDN with "Print BDN": the name, three LFs,
    // then the frame.
    EXPECT_TRUE(Feed(sim, "ABC00099").empty());
    for (int k = 0; k < 3; ++k)
        EXPECT_TRUE(Feed(sim, "\n").empty());
    auto a = Ask(sim, Text('2', "ABC00099"));
    EXPECT_EQ(a.command, '2');
    EXPECT_EQ(sim.PrintedLines(), (std::vector<std::string>{"ABC00099", "", ""}));
    EXPECT_EQ(sim.State().name, "ABC00099");
    EXPECT_EQ(sim.RequestCount(), 1u) << "printed text is no request";

    // CR is dropped, other escape sequences are the printer's and not text,
    // and text without LF stays pending.
    sim.ClearPrinted();
    EXPECT_TRUE(Feed(sim, "\x1b@line\r\nrest").empty());
    EXPECT_EQ(sim.PrintedLines(), (std::vector<std::string>{"line"}));
    EXPECT_EQ(sim.PendingText(), "rest");
}

TEST(ModuleSim, PrintedTextIsBounded)
{
    CModuleSim sim;
    const std::string endless(CModuleSim::kMaxLineBytes * 2 + 10, 'x');
    Feed(sim, endless);
    EXPECT_EQ(sim.PrintedLines().size(), 2u);
    EXPECT_EQ(sim.PendingText().size(), 10u);
    for (std::size_t k = 0; k < CModuleSim::kMaxPrintedLines + 50; ++k)
        Feed(sim, "\n");
    EXPECT_EQ(sim.PrintedLines().size(), CModuleSim::kMaxPrintedLines);
}

TEST(ModuleSim, AbortFrameForgetsAStalledFrame)
{
    CModuleSim sim;
    const Bytes pin = Text('5', "12345");
    sim.Feed(pin.data(), 6);  // header and two of five bytes
    ASSERT_TRUE(sim.InFrame());
    sim.AbortFrame();
    EXPECT_FALSE(sim.InFrame());
    EXPECT_EQ(Ask(sim, proto::GetRequest('4')).data, "0000") << "the next request is not swallowed";
    EXPECT_EQ(sim.RequestCount(), 1u);
}

TEST(ModuleSim, MisbehaviourOptions)
{
    CModuleSim sim;
    SimOptions o;

    o.silent = true;
    sim.SetOptions(o);
    EXPECT_TRUE(Feed(sim, proto::GetRequest('3')).empty());
    EXPECT_TRUE(Feed(sim, Text('5', "9999")).empty());
    EXPECT_EQ(sim.State().pin, "0000") << "a silent module changes nothing";
    EXPECT_EQ(sim.RequestCount(), 2u) << "but the requests are seen";

    o = SimOptions{};
    o.noise = {'x', 0x01, 'y'};
    sim.SetOptions(o);
    auto replies = Feed(sim, proto::GetRequest('3'));
    ASSERT_EQ(replies.size(), 1u);
    Bytes expected{'x', 0x01, 'y'};
    const Bytes frame = MakeReply('3', "00190199A1B2");
    expected.insert(expected.end(), frame.begin(), frame.end());
    EXPECT_EQ(replies[0], expected);
    EXPECT_EQ(Decode(replies[0]).data, "00190199A1B2") << "the tool skips the noise";

    o = SimOptions{};
    o.overlongName = true;
    sim.SetOptions(o);
    auto a = Ask(sim, proto::GetRequest('1'));
    EXPECT_EQ(a.command, '1');
    EXPECT_EQ(a.data.size(), 34u);
    EXPECT_EQ(a.data, kOverlongName);

    o = SimOptions{};
    o.alwaysError = true;
    sim.SetOptions(o);
    EXPECT_EQ(Ask(sim, proto::GetRequest('3')).command, '9');
    EXPECT_EQ(Ask(sim, Text('5', "5555")).command, '9');
    EXPECT_EQ(sim.State().pin, "0000");

    o = SimOptions{};
    o.oldModule = true;
    sim.SetOptions(o);
    EXPECT_TRUE(Feed(sim, proto::GetRequest('A')).empty());
    EXPECT_TRUE(Feed(sim, proto::SelectRequest('B', '2')).empty());
    EXPECT_TRUE(Feed(sim, proto::GetRequest('C')).empty());
    EXPECT_TRUE(Feed(sim, proto::SelectRequest('D', '1')).empty());
    EXPECT_EQ(sim.State().pairing, '1');
    EXPECT_EQ(sim.State().sniff, '0');
    EXPECT_EQ(Ask(sim, proto::GetRequest('6')).command, '6') << "the old requests still work";
    EXPECT_FALSE(sim.InFrame()) << "the selection byte of an unanswered frame is consumed";
}

TEST(ModuleSim, SplitBytes)
{
    const Bytes b{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    EXPECT_EQ(SplitBytes(b, 3), (std::vector<Bytes>{{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 10, 11}}));
    EXPECT_EQ(SplitBytes(b, 1), (std::vector<Bytes>{b}));
    EXPECT_EQ(SplitBytes(b, 0), (std::vector<Bytes>{b}));
    EXPECT_EQ(SplitBytes(b, -4), (std::vector<Bytes>{b}));
    auto many = SplitBytes(b, 50);
    EXPECT_EQ(many.size(), b.size()) << "never an empty write";
    EXPECT_TRUE(SplitBytes({}, 3).empty());
}
