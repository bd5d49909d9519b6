// The session engine over a pseudo-terminal, heard by a front end that
// records every call: what goes out on the line, which requests wait their
// turn, the deadline each one keeps and the one outcome that ends it (the
// time passed in), what drives the read-back chain, how the reply text is
// framed, what a line glitch, a hang-up or an earlier link leaves behind, the
// ways a full queue is met, the USB link, and the blocking wait of the
// command-line tool on top.

#include "base/Trace.h"
#include "link/WakeEvent.h"
#include "protocol/Conversation.h"
#include "session/BlockingSession.h"
#include "session/Session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <utility>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

using namespace vendrill;

namespace {

using Clock = std::chrono::steady_clock;
using Kind = CSession::Outcome::Kind;
constexpr auto kPatience = std::chrono::seconds(10);
const CSession::TimePoint t0 = Clock::now();

// The far end of the line: the test writes the module's bytes and reads the
// requests.
struct Peer {
    int master = -1, slave = -1;
    std::string path;
    Peer()
    {
        char name[256] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) == 0) {
            path = name;
            ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
        }
    }
    ~Peer()
    {
        HangUp();
        ::close(slave);
    }
    void HangUp()
    {
        if (master >= 0)
            ::close(master);
        master = -1;
    }
    void Write(const std::string& bytes) const
    {
        std::size_t done = 0;
        const auto deadline = Clock::now() + kPatience;
        while (done < bytes.size() && Clock::now() < deadline) {
            const ssize_t k = ::write(master, bytes.data() + done, bytes.size() - done);
            if (k > 0) {
                done += std::size_t(k);
            } else {
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 100);
            }
        }
        EXPECT_EQ(done, bytes.size());
    }
    // The next n bytes the session wrote.
    std::string Read(std::size_t n) const
    {
        std::string got;
        const auto deadline = Clock::now() + kPatience;
        while (got.size() < n && Clock::now() < deadline) {
            pollfd p{master, POLLIN, 0};
            ::poll(&p, 1, 100);
            char buf[256];
            const ssize_t k = ::read(master, buf, std::min(sizeof buf, n - got.size()));
            if (k > 0)
                got.append(buf, std::size_t(k));
        }
        return got;
    }
};

std::string Reply(char command, const std::string& data)
{
    return std::string("\x02VR") + command + data + "\x03";
}

std::string Frame(char command)
{
    return std::string("\x1B~") + command;
}

std::string Describe(const CSession::Outcome& o)
{
    switch (o.kind) {
    case Kind::Answered: return std::string("answered ") + o.request + " by " + o.reply.command;
    case Kind::ModuleError: return std::string("refused ") + o.request;
    case Kind::TimedOut: return std::string("timed out ") + o.request + " after " + std::to_string(o.waitedMs);
    case Kind::LinkLost: return std::string("lost ") + o.request;
    case Kind::Abandoned: return std::string("abandoned ") + o.request;
    }
    return "?";
}

// A front end that writes down what it hears and drains on request.
struct Recorder : CSession::Observer {
    std::mutex mutex;
    std::condition_variable cv;
    unsigned arrivals = 0, drains = 0;
    unsigned arrivalsAtFirstBox = 0;
    bool waitsForRoom = false;  // the command-line tool's way with a full queue
    bool hungUp = false;
    unsigned gone = 0;  // generation of the USB link whose reader gave up
    std::vector<std::string> heard;   // driving thread only
    std::vector<std::string> values;  // what the replies show, driving thread only
    std::string bytes;                // every byte handed over, driving thread only
    std::vector<std::string> boxes;   // reader thread, under mutex
    std::function<void()> inBox;      // runs inside a '9' or time-out box, as its event loop would

    void Arrived(unsigned) override
    {
        std::lock_guard lock(mutex);
        ++arrivals;
        cv.notify_all();
    }
    bool QueueFull(unsigned) override
    {
        if (!waitsForRoom)
            return false;
        std::unique_lock lock(mutex);
        const unsigned seen = drains;
        return cv.wait_for(lock, kPatience, [&] { return drains != seen; });
    }
    void ReaderMessage(const std::string& text) override
    {
        std::lock_guard lock(mutex);
        if (boxes.empty())
            arrivalsAtFirstBox = arrivals;
        boxes.push_back(text);
        cv.notify_all();
    }
    void LineHungUp() override
    {
        std::lock_guard lock(mutex);
        hungUp = true;
        cv.notify_all();
    }
    void UsbGone(unsigned generation) override
    {
        std::lock_guard lock(mutex);
        gone = generation;
        cv.notify_all();
    }
    void ReplyDeadline(std::optional<CSession::TimePoint> deadline) override
    {
        heard.push_back(deadline ? "timer" : "stop");
    }
    void Received(const std::uint8_t* b, std::size_t n) override
    {
        heard.push_back("rx " + std::to_string(n));
        bytes.append(reinterpret_cast<const char*>(b), n);
    }
    void Requesting(char command) override { heard.push_back(std::string("ask ") + command); }
    void RequestOver(const CSession::Outcome& o) override
    {
        heard.push_back("over: " + Describe(o));
        if (o.kind == Kind::TimedOut && inBox)
            std::exchange(inBox, nullptr)();
    }
    void Replied(const CSession::Reply& r) override
    {
        heard.push_back(std::string("reply ") + r.command + " " + r.data);
        if (r.value)
            values.push_back(*r.value);
        if (r.command == proto::CMD_ERROR && inBox)
            std::exchange(inBox, nullptr)();
    }

    // Waits for bytes and drains them once, as a front end's event would.
    bool Drain(CSession& session, unsigned before)
    {
        {
            std::unique_lock lock(mutex);
            if (!cv.wait_for(lock, kPatience, [&] { return arrivals != before; }))
                return false;
        }
        session.OnCommunication(t0);
        std::lock_guard lock(mutex);
        ++drains;
        cv.notify_all();
        return true;
    }
    // Drains on every arrival until `done`, however the reader cut the bytes.
    bool DrainUntil(CSession& session, const std::function<bool()>& done)
    {
        const auto deadline = Clock::now() + kPatience;
        while (Clock::now() < deadline) {
            const unsigned seen = Arrivals();
            session.OnCommunication(t0);
            {
                std::lock_guard lock(mutex);
                ++drains;
                cv.notify_all();
            }
            if (done())
                return true;
            std::unique_lock lock(mutex);
            cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return arrivals != seen; });
        }
        return false;
    }
    // Waits until the reader thread has made `ready` true.
    bool WaitFor(const std::function<bool()>& ready)
    {
        std::unique_lock lock(mutex);
        return cv.wait_for(lock, kPatience, ready);
    }
    unsigned Arrivals()
    {
        std::lock_guard lock(mutex);
        return arrivals;
    }
    // What was heard since `from`.
    std::vector<std::string> Since(std::size_t from) const
    {
        return {heard.begin() + std::ptrdiff_t(std::min(from, heard.size())), heard.end()};
    }
};

using Heard = std::vector<std::string>;

SessionPolicy Prompt()
{
    return SessionPolicy{0, 0, 0, false, false};
}

// The command-line tool's: prompt, and only the answer ends a request.
SessionPolicy Waiting()
{
    return SessionPolicy{0, 0, 0, false, true};
}

// One batch through the receive queue, as the reader would hand it over;
// only while nothing arrives on the line, so that the batch is exactly this.
long Feed(CSession& session, const std::string& batch)
{
    EXPECT_TRUE(session.Enqueue(reinterpret_cast<const std::uint8_t*>(batch.data()), int(batch.size())));
    return session.OnCommunication(t0);
}

// Ends the request outstanding by its time-out.
void Expire(CSession& session)
{
    if (const auto deadline = session.Deadline())
        session.Expire(*deadline);
}

// The trace lines written while it lives.
class TraceCapture {
public:
    TraceCapture() : m_sink(::open_memstream(&m_Buffer, &m_size)) { SetTraceSink(m_sink); }
    ~TraceCapture() { Stop(); }
    std::string Stop()
    {
        if (m_sink) {
            std::fflush(m_sink);
            SetTraceSink(nullptr);
            std::fclose(m_sink);
            m_sink = nullptr;
            m_text.assign(m_Buffer, m_size);
            std::free(m_Buffer);
        }
        return m_text;
    }

private:
    char* m_Buffer = nullptr;
    std::size_t m_size = 0;
    FILE* m_sink;
    std::string m_text;
};

// A session whose serial link is up on a pty.
struct Line {
    Peer peer;
    Recorder front;
    CSession session;
    explicit Line(SessionPolicy policy = Prompt()) : session(front, policy)
    {
        EXPECT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    }
    // Expects the Get request `command` on the line and answers it.
    void Answer(char command, const std::string& data)
    {
        EXPECT_EQ(peer.Read(3), Frame(command));
        Feed(session, Reply(command, data));
    }
    // True when nothing went out since the last read: a sniff change, sent
    // now, is the next thing on the line.
    bool NothingMore()
    {
        session.Ask(proto::CMD_SET_SNIFF, CSession::Argument{"1"}, t0);
        return peer.Read(4) == Frame(proto::CMD_SET_SNIFF) + "1";
    }
};

// A pty slave in raw mode, opened again: what a USB printer node is to the
// session (the node takes no line settings; the pty needs them).
int PrinterNode(const Peer& peer)
{
    termios raw{};
    ::tcgetattr(peer.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(peer.slave, TCSANOW, &raw);
    return ::dup(peer.slave);
}

// The trace lines of a USB connect and disconnect, without the lines the
// reader writes meanwhile.
std::string ConnectLines(const std::string& trace)
{
    std::string kept;
    std::size_t at = 0;
    while (at < trace.size()) {
        const std::size_t end = std::min(trace.find('\n', at), trace.size() - 1) + 1;
        const std::string line = trace.substr(at, end - at);
        if ((line.rfind("TestUSBReadThread", 0) != 0 || line == "TestUSBReadThread - 7\n") &&
            line.rfind("Read data", 0) != 0 && line.rfind("Readcomm", 0) != 0)
            kept += line;
        at = end;
    }
    return kept;
}

}  // namespace

// Each reply of ours ends the request, whatever its kind, and names the next
// one: a name reply to Get BDA goes on with Get Level, as the window always
// did. The time-out comes by the time passed in, not before its deadline.
TEST(Session, RepliesDriveTheChainAndEndTheRequest)
{
    Line line;
    CSession& session = line.session;
    Recorder& front = line.front;
    TraceCapture trace;

    session.Ask(proto::CMD_GET_BDA, t0);
    EXPECT_EQ(line.peer.Read(3), "\x1B~3");
    EXPECT_TRUE(session.IsBusy());
    EXPECT_EQ(session.Deadline(), t0 + std::chrono::milliseconds(CSession::kReplyTimeoutMs));
    unsigned seen = front.Arrivals();
    line.peer.Write(Reply('1', "SOMEONE"));
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_EQ(line.peer.Read(3), "\x1B~6") << "Get Level follows a name reply (old module)";
    EXPECT_EQ(session.Outstanding(), proto::CMD_GET_LEVEL);

    // '9' ends it without a next request; so does the time-out.
    seen = front.Arrivals();
    line.peer.Write(Reply('9', ""));
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_FALSE(session.IsBusy());
    session.Ask(proto::CMD_GET_PINKEY, t0, 500);
    session.Expire(t0 + std::chrono::milliseconds(499));
    EXPECT_TRUE(session.IsBusy()) << "not before its deadline";
    session.Expire(t0 + std::chrono::milliseconds(500));
    EXPECT_FALSE(session.IsBusy());
    EXPECT_FALSE(session.Deadline());

    EXPECT_EQ(front.heard,
              (Heard{"ask 3", "timer", "rx 12", "stop", "over: answered 3 by 1", "reply 1 SOMEONE", "ask 6", "timer",
                     "rx 5", "stop", "over: refused 6", "reply 9 ", "ask 4", "timer", "timer", "stop",
                     "over: timed out 4 after 500"}));
    EXPECT_EQ(trace.Stop(), "ESC ~ 3 Get GDA\nOnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:7\nGet BDN\n"
                            "ESC ~ 6  Get LEVEL\nOnCommunication -3\nOnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:0\n"
                            "OnCommunication -3\nESC ~ 4  Get PINKEY\n");
}

// Get Info of an old module reads BDA, PIN key, name and level; a new one
// reads the pairing mode after the name and the level only under legacy
// pairing. An acknowledged Set reads back from Get BDA.
TEST(Session, TheReadBackChainsOfOldAndNewModules)
{
    Line line;
    CSession& s = line.session;
    s.Ask(proto::CMD_GET_BDA, t0);
    line.Answer('3', "00190199A1B2");
    line.Answer('4', "1234");
    line.Answer('1', "PRN");
    line.Answer('6', "1");
    EXPECT_TRUE(line.NothingMore());
    EXPECT_FALSE(s.IsBusy());

    s.SetNewVersion(true);
    for (const char* pairing : {"1", "2", "3", "12"}) {
        s.Ask(proto::CMD_GET_BDA, t0);
        line.Answer('3', "00190199A1B2");
        line.Answer('4', "1234");
        line.Answer('1', "PRN");
        line.Answer('A', pairing);
        if (std::string(pairing) == "1")
            line.Answer('6', "1");
        EXPECT_TRUE(line.NothingMore()) << pairing;
        EXPECT_FALSE(s.IsBusy()) << pairing;
    }
    s.SetNewVersion(false);
    // A legacy pairing reply asks for the level on an old module too.
    Feed(s, Reply('A', "1"));
    EXPECT_EQ(line.peer.Read(3), Frame('6'));

    for (char ack : {'2', '5', '7', 'B'}) {
        const char before = s.Outstanding();
        const std::size_t from = line.front.heard.size();
        Feed(s, Reply(ack, ""));
        EXPECT_EQ(line.peer.Read(3), Frame('3')) << ack;
        EXPECT_EQ(line.front.Since(from),
                  (Heard{"rx 5", "stop", std::string("over: answered ") + before + " by " + ack,
                         std::string("reply ") + ack + " ", "ask 3", "timer"}));
        EXPECT_EQ(s.Outstanding(), proto::CMD_GET_BDA);
    }

    // A BDA reply's trace, and an empty queue is nothing at all.
    TraceCapture trace;
    EXPECT_EQ(Feed(s, "\x02" "AB3012\x03"), 1L);
    EXPECT_EQ(trace.Stop(), "OnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:3\nGet BDA\n"
                            "ESC ~ 4  Get PINKEY\nOnCommunication -3\n");
    EXPECT_EQ(line.front.heard.back(), "timer");
    EXPECT_TRUE(s.ReplyText().empty());
    EXPECT_EQ(line.peer.Read(3), Frame('4'));
    const std::size_t from = line.front.heard.size();
    EXPECT_EQ(s.OnCommunication(t0), -1L);
    EXPECT_TRUE(line.front.Since(from).empty());
}

// Under the window any reply of ours ends a request; the sniff status, kinds
// outside the table and a reply too short for a command leave it running. A
// reply that arrives inside the time-out's box (which closes the link), or
// more bytes inside the '9' box, are neither decoded twice nor lost, and
// leave nothing outstanding. A front end that waits for answers takes only
// the answer, awaits the sniff status, and loses the link on a refused write.
TEST(Session, WhatEndsARequestAndWhatArrivesInsideItsBox)
{
    Line line;
    CSession& s = line.session;
    s.SetChain(false);
    for (char kind : {'1', '3', '4', '6', 'A', '2', '5', '7', 'B'}) {
        s.Ask(proto::CMD_GET_BDN, t0);
        line.peer.Read(3);
        const std::size_t from = line.front.heard.size();
        Feed(s, Reply(kind, "1"));
        EXPECT_EQ(line.front.Since(from), (Heard{"rx 6", "stop", std::string("over: answered 1 by ") + kind,
                                                 std::string("reply ") + kind + " 1"}));
        EXPECT_FALSE(s.IsBusy()) << kind;
    }
    EXPECT_EQ(line.front.values, (Heard{"1", "1", "1", "Mode 1 (Not Use Pinkey)", "Legacy pairing"}));
    s.Ask(proto::CMD_GET_BDN, t0);
    line.peer.Read(3);
    std::size_t from = line.front.heard.size();
    Feed(s, Reply('C', "1"));
    Feed(s, Reply('C', "0"));
    Feed(s, Reply('C', "x"));
    for (char kind : {'8', ':', '@', 'D', '0', 'E'})
        Feed(s, Reply(kind, "1"));
    Feed(s, Reply('A', "12"));
    Feed(s, "\x02V\x03");
    EXPECT_EQ(line.front.Since(from), (Heard{"rx 6", "reply C 1", "rx 6", "reply C 0", "rx 6", "rx 6", "rx 6", "rx 6",
                                             "rx 6", "rx 6", "rx 6", "rx 7", "stop", "over: answered 1 by A",
                                             "reply A 12", "rx 3"}));
    EXPECT_EQ(line.front.values.back(), "sniff mode disable") << "pairing data 12 shows nothing";

    // The late reply drives the chain on, into the link the time-out closes.
    s.SetChain(true);
    s.Ask(proto::CMD_GET_BDN, t0);
    line.peer.Read(3);
    line.front.inBox = [&] {
        Feed(s, Reply('3', "00190199A1B2"));
        s.ClosePort();
    };
    Expire(s);
    EXPECT_EQ(line.peer.Read(3), Frame('4'));
    EXPECT_FALSE(s.IsBusy());
    EXPECT_EQ(line.front.Since(line.front.heard.size() - 3), (Heard{"timer", "stop", "over: lost 4"}));

    ASSERT_EQ(s.OpenPort(line.peer.path, {}).code, LinkResult::Code::Ok);
    s.Ask(proto::CMD_GET_BDA, t0);
    line.peer.Read(3);
    const std::string partial = "\x02VR301";
    line.front.inBox = [&] {
        Feed(s, partial);
        EXPECT_EQ(s.OnCommunication(t0), -1L);  // a notification without bytes
    };
    from = line.front.heard.size();
    Feed(s, Reply('9', ""));
    EXPECT_FALSE(s.IsBusy());
    EXPECT_EQ(s.ReplyText(), partial);
    Feed(s, "2\x03");
    EXPECT_EQ(line.front.Since(from), (Heard{"rx 5", "stop", "over: refused 3", "reply 9 ", "rx 6", "rx 2",
                                             "reply 3 012", "ask 4", "timer"}));

    Line tool(Waiting());
    CSession& w = tool.session;
    w.SetChain(false);
    w.Ask(proto::CMD_GET_BDN, t0);
    tool.peer.Read(3);
    from = tool.front.heard.size();
    Feed(w, Reply('2', ""));
    EXPECT_EQ(w.Outstanding(), proto::CMD_GET_BDN) << "a stale acknowledgement is no answer";
    Feed(w, Reply('1', "NAME"));
    w.Ask(proto::CMD_GET_SNIFF, t0);
    EXPECT_EQ(tool.peer.Read(3), Frame('C'));
    Feed(w, Reply('C', "x"));
    EXPECT_EQ(tool.front.Since(from), (Heard{"rx 5", "reply 2 ", "rx 9", "stop", "over: answered 1 by 1",
                                             "reply 1 NAME", "timer", "rx 6", "stop", "over: answered C by C"}));
    tool.peer.HangUp();
    from = tool.front.heard.size();
    EXPECT_EQ(w.Ask(proto::CMD_GET_BDA, t0).kind, CSession::Sent::Kind::Refused);
    EXPECT_EQ(tool.front.Since(from), (Heard{"ask 3", "timer", "stop", "over: lost 3"}));
}

// Every request kind goes out as its frame and awaits its answer, except the
// sniff requests and what cannot be sent. While busy, a request is held back
// unless it never waits (Get BDN, Set BDN, sniff), and a Get still empties
// its field. Set BDN's label goes out before its frame, and its suffix gives
// the next; name and suffix too long send and print nothing.
TEST(Session, RequestsGoOutRawAndAwaitTheirAnswer)
{
    Line line;
    CSession& s = line.session;
    for (char get : {'3', '4', '1', '6', 'A'}) {
        const std::size_t from = line.front.heard.size();
        s.Ask(get, t0);
        EXPECT_EQ(line.peer.Read(3), Frame(get));
        EXPECT_EQ(line.front.Since(from), (Heard{std::string("ask ") + get, "timer"}));
        EXPECT_EQ(s.Outstanding(), get);
        Expire(s);
    }
    EXPECT_EQ(s.Ask(proto::CMD_SET_LEVEL, CSession::Argument{"3"}, t0).kind, CSession::Sent::Kind::Sent);
    EXPECT_EQ(line.peer.Read(4), "\x1B~73");
    EXPECT_EQ(s.Outstanding(), proto::CMD_SET_LEVEL);
    Expire(s);
    s.Ask(proto::CMD_SET_PINKEY, CSession::Argument{"1234"}, t0);
    EXPECT_EQ(line.peer.Read(8), "\x1B~5\x04" "1234");
    EXPECT_EQ(line.front.heard.back(), "timer");
    Expire(s);

    std::size_t from = line.front.heard.size();
    EXPECT_EQ(s.Ask(proto::CMD_SET_PINKEY, CSession::Argument{""}, t0).kind, CSession::Sent::Kind::Nothing);
    EXPECT_EQ(s.Ask(proto::CMD_SET_LEVEL, [] { return std::nullopt; }, t0).kind, CSession::Sent::Kind::Nothing);
    s.Ask(proto::CMD_GET_SNIFF, t0);
    EXPECT_EQ(line.peer.Read(3), Frame('C'));
    EXPECT_TRUE(line.front.Since(from).empty());
    EXPECT_FALSE(s.IsBusy());

    s.Ask(proto::CMD_GET_BDN, t0);
    line.peer.Read(3);
    from = line.front.heard.size();
    bool gathered = false;
    EXPECT_EQ(s.Ask(proto::CMD_SET_PINKEY, [&] { gathered = true; return CSession::Argument{"1"}; }, t0).kind,
              CSession::Sent::Kind::HeldBack);
    EXPECT_FALSE(gathered) << "nothing is gathered for a request held back";
    for (char get : {'3', '4', '6', 'A'})
        EXPECT_EQ(s.Ask(get, t0).kind, CSession::Sent::Kind::HeldBack);
    s.Ask(proto::CMD_SET_SNIFF, CSession::Argument{"0"}, t0);  // sniff frames still go out
    EXPECT_EQ(line.peer.Read(4), "\x1B~D0");
    EXPECT_TRUE(line.NothingMore());
    s.Ask(proto::CMD_GET_BDN, t0 + std::chrono::seconds(1));
    EXPECT_EQ(line.peer.Read(3), Frame('1'));
    EXPECT_EQ(line.front.Since(from), (Heard{"ask 3", "ask 4", "ask 6", "ask A", "ask 1", "timer"}));
    EXPECT_EQ(s.Deadline(), t0 + std::chrono::milliseconds(1000 + CSession::kReplyTimeoutMs)) << "started again";

    // Set BDN goes out also while busy, its label first.
    const CSession::Sent named = s.Ask(proto::CMD_SET_BDN, CSession::Argument{"ABC", "00099", true}, t0);
    EXPECT_EQ(named.kind, CSession::Sent::Kind::Sent);
    EXPECT_EQ(named.nextSuffix, "00100");
    EXPECT_EQ(line.peer.Read(23), "ABC00099\n\n\n\x1B~2\x08" "ABC00099");
    const CSession::Sent tooLong =
        s.Ask(proto::CMD_SET_BDN, CSession::Argument{std::string(29, 'N'), std::string(31, '1'), true}, t0);
    EXPECT_EQ(tooLong.kind, CSession::Sent::Kind::Nothing);
    EXPECT_TRUE(tooLong.nextSuffix.empty());
    s.Ask(proto::CMD_SET_BDN, CSession::Argument{"XY", "", true}, t0);
    EXPECT_EQ(line.peer.Read(11), "XY\n\n\n\x1B~2\x02XY") << "no suffix: the name is printed alone";

    // Bytes written as they are; none with no link up.
    const std::uint8_t raw[] = {0x1B, 0x7E, 0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
    EXPECT_EQ(s.WriteComm(raw, int(sizeof raw)), int(sizeof raw));
    EXPECT_EQ(line.peer.Read(sizeof raw), std::string(reinterpret_cast<const char*>(raw), sizeof raw));
    s.ClosePort();
    EXPECT_EQ(s.WriteComm(raw, int(sizeof raw)), 0);
}

// A zero byte on the line costs nothing; bytes of a link that was closed
// never reach the next one, nor does its reply text or its request; the
// reply text is kept across batches up to its limit; a port that refuses the
// line settings is released; a hung-up line parks the watcher until the close.
TEST(Session, GlitchesAndEarlierLinksLeaveNothingBehind)
{
    Peer peer;
    Recorder front;
    CSession session(front, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    session.SetChain(false);
    session.Ask(proto::CMD_GET_BDA, t0);
    EXPECT_EQ(peer.Read(3), Frame('3'));
    unsigned seen = front.Arrivals();
    peer.Write(std::string("\0\x02VR3\0", 6) + "00190199A1B2\x03");
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_EQ(front.heard.back(), "reply 3 00190199A1B2");

    // Every byte value passes the line untouched (no cooking, no flow control).
    std::string all;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<char>(v));
    front.bytes.clear();
    peer.Write(all);
    ASSERT_TRUE(front.DrainUntil(session, [&] { return front.bytes.size() >= all.size(); }));
    EXPECT_EQ(front.bytes, all);
    // A new link starts with no reply text.
    session.ClosePort();
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);

    // The reply text is kept across batches (framing itself: tests/protocol),
    // and a text that reached the limit is dropped with its trace line.
    const auto replies = [&](auto&&... batches) {
        const std::size_t from = front.heard.size();
        (Feed(session, batches), ...);
        std::vector<std::string> got;
        for (const std::string& h : front.Since(from))
            if (h.rfind("reply ", 0) == 0)
                got.push_back(h.substr(6));
        return got;
    };
    using Got = std::vector<std::string>;
    EXPECT_EQ(replies(std::string("\x02" "AB30")), Got{});
    EXPECT_EQ(session.ReplyText().size(), 5u);
    EXPECT_EQ(replies(std::string("12\x03")), Got{"3 012"});
    EXPECT_TRUE(session.ReplyText().empty());
    {
        TraceCapture trace;
        EXPECT_EQ(replies(std::string(99, 'n'), std::string(1, 'n')), Got{});
        EXPECT_NE(trace.Stop().find("OnCommunication -2\n"), std::string::npos);
    }
    EXPECT_TRUE(session.ReplyText().empty());
    front.bytes.clear();
    EXPECT_EQ(replies(std::string("\0\x02VR61\0\x03", 8)), Got{"6 1"});
    EXPECT_EQ(front.bytes.size(), 8u) << "the zero bytes are handed over too";

    // Half a reply, then bytes nobody drains, then the link closes with a
    // request outstanding.
    seen = front.Arrivals();
    peer.Write("\x02VR1HALF");
    ASSERT_TRUE(front.Drain(session, seen));
    session.Ask(proto::CMD_GET_PINKEY, t0);
    EXPECT_EQ(peer.Read(3), Frame('4'));
    seen = front.Arrivals();
    peer.Write("stale");
    ASSERT_TRUE(front.WaitFor([&] { return front.arrivals != seen; }));
    session.ClosePort();
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    EXPECT_EQ(session.QueuedBytes(), 0);
    EXPECT_TRUE(session.ReplyText().empty());
    EXPECT_FALSE(session.IsCurrentLink(0)) << "notifications of the first link are stale";
    EXPECT_FALSE(session.IsBusy()) << "the new link owes no answer";
    EXPECT_EQ(front.heard.back(), "over: lost 4");
    const std::size_t from = front.heard.size();
    peer.Write(Reply('3', "00190199A1B2"));
    ASSERT_TRUE(front.DrainUntil(session, [&] { return front.heard.back().rfind("reply", 0) == 0; }));
    EXPECT_EQ(front.Since(from).back(), "reply 3 00190199A1B2") << "not glued to the earlier link's half reply";

    // A port that refuses the line settings is not kept from other programs.
    session.ClosePort();
    CSerialPort::Settings odd;
    odd.baudRate = 12345;
    EXPECT_EQ(session.OpenPort(peer.path, odd).code, LinkResult::Code::CannotConfigure);
    {
        CSerialPort other;
        EXPECT_TRUE(other.Open(peer.path)) << "the refused port is released";
    }
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);

    // The line hangs up: the watcher waits for the close instead of reading on.
    peer.HangUp();
    ASSERT_TRUE(front.WaitFor([&] { return front.hungUp; }));
    EXPECT_TRUE(session.IsWatcherRunning());
    session.ClosePort();
    EXPECT_FALSE(session.IsWatcherRunning());
}

// The window drops a chunk the queue cannot take, whole, and says so; the
// command-line tool waits for its drain and loses nothing; the USB reader
// reads no more than the queue can take, so it never drops; a failed USB
// read ends the reader, which tells the user and hands the link back.
TEST(Session, AFullQueueIsDroppedWithAMessageOrWaitedFor)
{
    const std::string flood(3000, 'n');
    {
        Line window(SessionPolicy{});  // the window's: a chunk is read once it has settled
        CSession& session = window.session;
        const std::string filler(1000, 'x');
        ASSERT_TRUE(session.Enqueue(reinterpret_cast<const std::uint8_t*>(filler.data()), 1000));
        const std::string chunk = "0123456789abcdefghijklmnopqrst";
        window.peer.Write(chunk);
        ASSERT_TRUE(window.front.WaitFor([&] { return !window.front.boxes.empty(); }));
        {
            std::lock_guard lock(window.front.mutex);
            EXPECT_EQ(window.front.boxes.front(), "m_QueueRead FULL!");
            EXPECT_GT(window.front.arrivalsAtFirstBox, 0u) << "what waits is announced before the box";
        }
        EXPECT_EQ(session.QueuedBytes(), 1000) << "nothing of the chunk is stored";
        window.peer.Write("later");
        ASSERT_TRUE(window.front.DrainUntil(session, [&] { return window.front.bytes.size() >= 1005; }));
        EXPECT_EQ(window.front.bytes, std::string(1000, 'x') + "later");

        // A chunk is never larger than an empty queue takes.
        window.peer.Write(flood);
        ASSERT_TRUE(window.front.WaitFor([&] { return window.front.boxes.size() > 1; }));
        EXPECT_GT(session.QueuedBytes(), 0);
        EXPECT_LT(session.QueuedBytes(), int(flood.size()));
    }
    {
        Peer peer;
        Recorder tool;
        tool.waitsForRoom = true;
        CSession session(tool, Prompt());
        ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
        peer.Write(flood);
        ASSERT_TRUE(tool.DrainUntil(session, [&] { return tool.bytes.size() >= flood.size(); }));
        EXPECT_EQ(tool.bytes, flood);
        std::lock_guard lock(tool.mutex);
        EXPECT_TRUE(tool.boxes.empty());
    }
    Peer peer;
    Recorder usb;
    CSession session(usb, Prompt());
    ASSERT_TRUE(session.ConnectUsb([&] { return PrinterNode(peer); }));
    ASSERT_TRUE(session.IsUsbReaderRunning());
    peer.Write(std::string(3000, 'x'));
    // Nobody drains: the reader fills the queue to the last byte and waits.
    ASSERT_TRUE(usb.WaitFor([&] { return session.QueuedBytes() == CQueue::QUEUE_SIZE - 1; }));
    ASSERT_TRUE(usb.DrainUntil(session, [&] { return usb.bytes.size() >= 3000; }));
    EXPECT_EQ(usb.bytes, std::string(3000, 'x'));
    {
        std::lock_guard lock(usb.mutex);
        EXPECT_TRUE(usb.boxes.empty());
    }
    session.Ask(proto::CMD_GET_LEVEL, t0);
    EXPECT_EQ(peer.Read(3), Frame('6'));

    peer.HangUp();
    ASSERT_TRUE(usb.WaitFor([&] { return usb.gone != 0; }));
    {
        std::lock_guard lock(usb.mutex);
        EXPECT_EQ(usb.boxes, std::vector<std::string>{"Disconnect the USB communication. Connect the USB port again!"});
    }
    EXPECT_FALSE(session.IsConnected());
    session.UsbLost(usb.gone);
    EXPECT_FALSE(session.IsUsbReaderRunning());
    EXPECT_EQ(session.ActiveLink(), CSession::LinkKind::None);
}

// The USB link as the session runs it, for both front ends: the connect's
// and the disconnect's trace lines, a second connect that changes nothing, a
// printer that cannot be found, and the read-back chain over the printer node.
TEST(Session, TheUsbLinkTracesItsConnectAndCarriesTheChain)
{
    Peer peer;
    Recorder usb;
    CSession session(usb, Prompt());
    {
        TraceCapture trace;
        errno = 0;
        const LinkResult missing = session.ConnectUsb([] {
            errno = ENOENT;
            return -1;
        });
        EXPECT_EQ(missing.code, LinkResult::Code::CannotOpen);
        EXPECT_EQ(missing.error, ENOENT);
        EXPECT_EQ(trace.Stop(), "USB_Connection -1\nUSB_Connection -2\nDGPCI Device Open failed\n");
    }
    {
        TraceCapture trace;
        ASSERT_TRUE(session.ConnectUsb([&] { return PrinterNode(peer); }));
        bool asked = false;
        EXPECT_EQ(session.ConnectUsb([&] { asked = true; return -1; }).code, LinkResult::Code::AlreadyOpen);
        EXPECT_FALSE(asked);
        EXPECT_EQ(ConnectLines(trace.Stop()), "USB_Connection -1\nUSB_Connection -2\nOpen Success -1\n"
                                              "Open Success -2\nAlready Connected\n");
    }
    EXPECT_EQ(session.ActiveLink(), CSession::LinkKind::Usb);
    EXPECT_TRUE(session.IsConnected());

    session.SetNewVersion(true);
    session.Ask(proto::CMD_GET_BDA, t0);
    const std::pair<char, std::string> steps[] = {{'3', "00190199A1B2"}, {'4', "1234"}, {'1', "USB"}, {'A', "2"}};
    for (const auto& [command, data] : steps) {
        EXPECT_EQ(peer.Read(3), Frame(command));
        const std::size_t from = usb.heard.size();
        peer.Write(Reply(command, data));
        ASSERT_TRUE(usb.DrainUntil(session, [&] {
            for (const std::string& h : usb.Since(from))
                if (h.rfind("over: ", 0) == 0)
                    return true;
            return false;
        }));
    }
    EXPECT_FALSE(session.IsBusy()) << "Just Works: the chain ends after the pairing mode";
    EXPECT_EQ(usb.values, (Heard{"00190199A1B2", "1234", "USB", "Just Works"}));

    TraceCapture trace;
    EXPECT_TRUE(session.DisconnectUsb());
    EXPECT_EQ(ConnectLines(trace.Stop()), "USB_Disconnection\nUSB_Disconnection-1\nUSB_Disconnection-2\n"
                                          "TestUSBReadThread - 7\nUSB_Disconnection-3\nUSB_Disconnection-4\n");
    EXPECT_FALSE(session.IsUsbReaderRunning());
    EXPECT_EQ(session.ActiveLink(), CSession::LinkKind::None);
}

// The command-line tool's wait returns with the outcome the engine gives, as
// its step result; it sends nothing once the interrupt descriptor is
// readable, and a wait ends as soon as it becomes so.
TEST(BlockingSession, EachOutcomeEndsTheWait)
{
    Peer peer;
    CWakeEvent interrupt;
    CBlockingSession tool(interrupt.Fd());
    ASSERT_EQ(tool.OpenSerial(peer.path, {}).status, Status::Ok);
    // The module's side: reads the request, then does what the step needs.
    const auto module = [&peer](const std::string& asked, std::function<void()> then) {
        return std::thread([&peer, asked, then] {
            EXPECT_EQ(peer.Read(asked.size()), asked);
            then();
        });
    };
    const auto answers = [&peer](std::vector<std::pair<char, std::string>> replies) {
        return std::thread([&peer, replies] {
            for (const auto& [command, data] : replies) {
                EXPECT_EQ(peer.Read(3), Frame(command));
                peer.Write(Reply(command, data));
            }
        });
    };

    std::string data;
    std::thread t = answers({{'1', "NAME"}});
    StepResult r = tool.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &data);
    t.join();
    EXPECT_EQ(r.status, Status::Ok) << r.message;
    EXPECT_EQ(data, "NAME");

    // A pairing mode that means nothing ends the chain and shows nothing.
    ModuleInfo info;
    t = answers({{'3', "00190199A1B2"}, {'4', "0000"}, {'1', "NAME"}, {'A', "7"}});
    r = tool.ReadInfo(true, &info);
    t.join();
    EXPECT_EQ(r.status, Status::Ok) << r.message;
    EXPECT_EQ(info.address, "00190199A1B2");
    EXPECT_EQ(info.name, "NAME");
    EXPECT_FALSE(info.pairing);
    EXPECT_FALSE(info.pairingNumber);

    t = module(std::string("\x1B~5\x01" "1"), [&] { peer.Write(Reply('9', "")); });
    r = tool.Request(*proto::TextRequest(proto::CMD_SET_PINKEY, "1"), proto::CMD_SET_PINKEY, nullptr);
    t.join();
    EXPECT_EQ(r.status, Status::ModuleError);
    EXPECT_EQ(r.message, "Bluetooth Setting Error (the module refused Set PinKey)");

    t = module(Frame('3'), [] {});
    r = tool.Request(proto::GetRequest(proto::CMD_GET_BDA), proto::CMD_GET_BDA, &data, 100);
    t.join();
    EXPECT_EQ(r.status, Status::Timeout);
    EXPECT_EQ(r.message, "Error(Timeout): no reply to Get BDA within 100 ms");

    t = module(Frame('1'), [&] { interrupt.Raise(); });
    r = tool.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &data);
    t.join();
    EXPECT_EQ(r.status, Status::Interrupted);
    EXPECT_EQ(r.message, "interrupted before the reply to Get BDN");
    r = tool.Request(proto::GetRequest(proto::CMD_GET_PINKEY), proto::CMD_GET_PINKEY, &data);
    EXPECT_EQ(r.status, Status::Interrupted) << "nothing is sent after it";
    interrupt.Reset();

    // The first request after the interrupt is the next thing on the line.
    t = module(Frame('3'), [&] { peer.HangUp(); });
    r = tool.Request(proto::GetRequest(proto::CMD_GET_BDA), proto::CMD_GET_BDA, &data);
    t.join();
    EXPECT_EQ(r.status, Status::NoDevice);
    EXPECT_EQ(r.message, "the link to the printer was lost while waiting for Get BDA");
    tool.Close();
    EXPECT_FALSE(tool.IsOpen());
}
