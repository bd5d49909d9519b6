// The session engine over a pseudo-terminal, heard by a front end that
// records every call: what goes out on the line and what arms the reply
// timer, what drives the read-back chain and ends a request, how the reply
// text is framed, what a line glitch, a hang-up or an earlier link leaves
// behind, and the ways a full queue is met.

#include "base/Trace.h"
#include "protocol/Conversation.h"
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
constexpr auto kPatience = std::chrono::seconds(10);

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

std::string Ask(char command)
{
    return std::string("\x1B~") + command;
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
    std::vector<std::string> heard;  // driving thread only
    std::string bytes;               // every byte handed over, driving thread only
    std::vector<std::string> boxes;  // reader thread, under mutex
    std::function<void()> inBox;     // runs inside a '9' or time-out box, as its event loop would

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
    void SetTimer1() override { heard.push_back("timer"); }
    void KillTimer1() override { heard.push_back("stop"); }
    void Received(const std::uint8_t* b, std::size_t n) override
    {
        heard.push_back("rx " + std::to_string(n));
        bytes.append(reinterpret_cast<const char*>(b), n);
    }
    void Requesting(char command) override { heard.push_back(std::string("ask ") + command); }
    void Reply(char command, const std::string& data) override
    {
        heard.push_back(std::string("reply ") + command + " " + data);
    }
    void SniffStatus(const std::string& text) override { heard.push_back("sniff " + text); }
    void ModuleError(const std::string& text) override
    {
        heard.push_back("error " + text);
        if (inBox)
            std::exchange(inBox, nullptr)();
    }
    void TimedOut(const std::string& text) override
    {
        heard.push_back("timeout " + text);
        if (inBox)
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
        session.OnCommunication();
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
            session.OnCommunication();
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

SessionPolicy Prompt()
{
    return SessionPolicy{0, 0, 0, false};
}

// One batch through the receive queue, as the reader would hand it over;
// only while nothing arrives on the line, so that the batch is exactly this.
long Feed(CSession& session, const std::string& batch)
{
    for (char c : batch)
        session.m_QueueRead.PutByte(static_cast<std::uint8_t>(c));
    return session.OnCommunication();
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
        EXPECT_EQ(peer.Read(3), Ask(command));
        Feed(session, Reply(command, data));
    }
    // True when nothing went out since the last read: a sniff status frame,
    // sent now, is the next thing on the line.
    bool NothingMore()
    {
        session.SendFrame(proto::GetRequest(proto::CMD_GET_SNIFF));
        return peer.Read(3) == Ask(proto::CMD_GET_SNIFF);
    }
};

}  // namespace

// Each reply ends the request, whatever its kind, and names the next one:
// a name reply to Get BDA goes on with Get Level, as the window always did.
TEST(Session, RepliesDriveTheChainAndEndTheRequest)
{
    Peer peer;
    Recorder front;
    CSession session(front, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    TraceCapture trace;

    session.Get(proto::CMD_GET_BDA);
    EXPECT_EQ(peer.Read(3), "\x1B~3");
    EXPECT_EQ(session.m_Busy, 1);
    unsigned seen = front.Arrivals();
    peer.Write(Reply('1', "SOMEONE"));
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_EQ(peer.Read(3), "\x1B~6") << "Get Level follows a name reply (old module)";
    EXPECT_EQ(session.Outstanding(), proto::CMD_GET_LEVEL);

    // '9' ends it without a next request; so does the time-out.
    seen = front.Arrivals();
    peer.Write(Reply('9', ""));
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_EQ(session.m_Busy, 0);
    session.Get(proto::CMD_GET_PINKEY);
    session.OnTimer();
    EXPECT_EQ(session.m_Busy, 0);

    EXPECT_EQ(front.heard,
              (std::vector<std::string>{"stop", "ask 3", "timer", "rx 12", "stop", "reply 1 SOMEONE", "ask 6", "timer",
                                        "rx 5", "stop", "error Bluetooth Setting Error", "ask 4", "timer", "stop",
                                        "timeout Error(Timeout)", "stop"}));
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
    s.Get(proto::CMD_GET_BDA);
    line.Answer('3', "00190199A1B2");
    line.Answer('4', "1234");
    line.Answer('1', "PRN");
    line.Answer('6', "1");
    EXPECT_TRUE(line.NothingMore());
    EXPECT_EQ(s.m_Busy, 0);

    s.m_NewVersion = 1;
    for (const char* pairing : {"1", "2", "3", "12"}) {
        s.Get(proto::CMD_GET_BDA);
        line.Answer('3', "00190199A1B2");
        line.Answer('4', "1234");
        line.Answer('1', "PRN");
        line.Answer('A', pairing);
        if (std::string(pairing) == "1")
            line.Answer('6', "1");
        EXPECT_TRUE(line.NothingMore()) << pairing;
        EXPECT_EQ(s.m_Busy, 0) << pairing;
        EXPECT_EQ(s.Outstanding(), 0) << pairing;
    }
    s.m_NewVersion = 0;
    // A legacy pairing reply asks for the level on an old module too.
    Feed(s, Reply('A', "1"));
    EXPECT_EQ(line.peer.Read(3), Ask('6'));

    for (char ack : {'2', '5', '7', 'B'}) {
        s.m_Busy = 0;
        const std::size_t from = line.front.heard.size();
        Feed(s, Reply(ack, ""));
        EXPECT_EQ(line.peer.Read(3), Ask('3')) << ack;
        EXPECT_EQ(line.front.Since(from), (std::vector<std::string>{"rx 5", "stop", std::string("reply ") + ack + " ",
                                                                    "ask 3", "timer"}));
        EXPECT_EQ(s.m_Busy, 1);
    }

    // A BDA reply's trace, and an empty queue is nothing at all.
    s.m_Busy = 0;
    TraceCapture trace;
    EXPECT_EQ(Feed(s, "\x02" "AB3012\x03"), 1L);
    EXPECT_EQ(trace.Stop(), "OnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:3\nGet BDA\n"
                            "ESC ~ 4  Get PINKEY\nOnCommunication -3\n");
    EXPECT_EQ(line.front.heard.back(), "timer");
    EXPECT_TRUE(s.m_ReplyText.empty());
    EXPECT_EQ(line.peer.Read(3), Ask('4'));
    const std::size_t from = line.front.heard.size();
    EXPECT_EQ(s.OnCommunication(), -1L);
    EXPECT_TRUE(line.front.Since(from).empty());
}

// Only a reply of ours ends a request; the sniff status, kinds outside the
// table and a reply too short for a command leave busy flag and timer alone.
// A reply that arrives inside the time-out's box, or more bytes inside the
// '9' box, are neither decoded twice nor lost, and leave nothing outstanding.
TEST(Session, WhatEndsARequestAndWhatArrivesInsideItsBox)
{
    Line line;
    CSession& s = line.session;
    s.SetChain(false);
    for (char kind : {'1', '3', '4', '6', 'A', '2', '5', '7', 'B'}) {
        s.Get(proto::CMD_GET_BDN);
        line.peer.Read(3);
        const std::size_t from = line.front.heard.size();
        Feed(s, Reply(kind, "1"));
        EXPECT_EQ(line.front.Since(from), (std::vector<std::string>{"rx 6", "stop", std::string("reply ") + kind + " 1"}));
        EXPECT_EQ(s.m_Busy, 0) << kind;
        EXPECT_EQ(s.Outstanding(), 0) << kind;
    }
    s.Get(proto::CMD_GET_BDN);
    line.peer.Read(3);
    std::size_t from = line.front.heard.size();
    Feed(s, Reply('C', "1"));
    Feed(s, Reply('C', "0"));
    Feed(s, Reply('C', "x"));
    for (char kind : {'8', ':', '@', 'D', '0', 'E'})
        Feed(s, Reply(kind, "1"));
    Feed(s, "\x02V\x03");
    EXPECT_EQ(line.front.Since(from),
              (std::vector<std::string>{"rx 6", "sniff sniff mode enable", "rx 6", "sniff sniff mode disable", "rx 6",
                                        "rx 6", "rx 6", "rx 6", "rx 6", "rx 6", "rx 6", "rx 3"}));
    EXPECT_EQ(s.m_Busy, 1);
    EXPECT_EQ(s.Outstanding(), proto::CMD_GET_BDN);

    // The late reply drives the chain on, into a link that is going down.
    s.SetChain(true);
    line.front.inBox = [&] { Feed(s, Reply('3', "00190199A1B2")); };
    s.OnTimer();
    EXPECT_EQ(line.peer.Read(3), Ask('4'));
    EXPECT_EQ(s.m_Busy, 0);
    EXPECT_EQ(s.Outstanding(), 0);
    EXPECT_EQ(line.front.heard.back(), "stop");

    s.Get(proto::CMD_GET_BDA);
    line.peer.Read(3);
    const std::string partial = "\x02VR301";
    line.front.inBox = [&] {
        Feed(s, partial);
        EXPECT_EQ(s.OnCommunication(), -1L);  // a notification without bytes
    };
    from = line.front.heard.size();
    Feed(s, Reply('9', ""));
    EXPECT_EQ(s.m_Busy, 0);
    EXPECT_EQ(s.m_ReplyText, partial);
    Feed(s, "2\x03");
    EXPECT_EQ(line.front.Since(from), (std::vector<std::string>{"rx 5", "stop", "error Bluetooth Setting Error", "rx 6",
                                                                "rx 2", "stop", "reply 3 012", "ask 4", "timer"}));
}

// Every request kind goes out as its frame and arms the reply timer, except
// the frames sent as they are (sniff) and a text that cannot be sent. While
// busy, a Get is refused but for Get BDN, which arms the timer again.
TEST(Session, RequestsGoOutRawAndArmTheTimer)
{
    Line line;
    CSession& s = line.session;
    for (char get : {'3', '4', '1', '6', 'A'}) {
        s.m_Busy = 0;
        const std::size_t from = line.front.heard.size();
        s.Get(get);
        EXPECT_EQ(line.peer.Read(3), Ask(get));
        EXPECT_EQ(line.front.Since(from), (std::vector<std::string>{std::string("ask ") + get, "timer"}));
        EXPECT_EQ(s.m_Busy, 1);
        EXPECT_EQ(s.Outstanding(), get);
    }
    s.m_Busy = 0;
    EXPECT_TRUE(s.SendSelect(proto::CMD_SET_LEVEL, '3'));
    EXPECT_EQ(line.peer.Read(4), "\x1B~73");
    EXPECT_EQ(s.m_Busy, 1);
    EXPECT_EQ(line.front.heard.back(), "timer");
    s.m_Busy = 0;
    EXPECT_TRUE(s.SendText(proto::CMD_SET_PINKEY, "1234"));
    EXPECT_EQ(line.peer.Read(8), "\x1B~5\x04" "1234");
    EXPECT_EQ(s.m_Busy, 1);
    EXPECT_EQ(line.front.heard.back(), "timer");

    s.m_Busy = 0;
    std::size_t from = line.front.heard.size();
    EXPECT_FALSE(s.SendText(proto::CMD_SET_PINKEY, ""));
    EXPECT_TRUE(s.SendFrame({0x1B, 0x7E, 'D', '1'}));
    EXPECT_EQ(line.peer.Read(4), "\x1B~D1");
    EXPECT_TRUE(line.front.Since(from).empty());
    EXPECT_EQ(s.m_Busy, 0);

    s.Get(proto::CMD_GET_BDN);
    line.peer.Read(3);
    from = line.front.heard.size();
    for (char get : {'3', '4', '6', 'A'})
        s.Get(get);
    EXPECT_TRUE(s.SendFrame({0x1B, 0x7E, 'D', '0'}));  // sniff frames still go out
    EXPECT_EQ(line.peer.Read(4), "\x1B~D0");
    EXPECT_TRUE(line.NothingMore());
    s.Get(proto::CMD_GET_BDN);
    EXPECT_EQ(line.peer.Read(3), Ask('1'));
    EXPECT_EQ(line.front.Since(from),
              (std::vector<std::string>{"ask 3", "ask 4", "ask 6", "ask A", "ask 1", "timer"}));
    EXPECT_EQ(s.m_Busy, 1);

    // The label, and bytes written as they are; none with no link up.
    EXPECT_TRUE(s.PrintLabel("ABC"));
    EXPECT_EQ(line.peer.Read(6), "ABC\n\n\n");
    const std::uint8_t raw[] = {0x1B, 0x7E, 0x00, 0x0A, 0x0D, 0x11, 0x13, 0xFF};
    EXPECT_EQ(s.WriteComm(raw, int(sizeof raw)), int(sizeof raw));
    EXPECT_EQ(line.peer.Read(sizeof raw), std::string(reinterpret_cast<const char*>(raw), sizeof raw));
    s.ClosePort();
    EXPECT_EQ(s.WriteComm(raw, int(sizeof raw)), 0);
}

// A zero byte on the line costs nothing; bytes of a link that was closed
// never reach the next one, nor does its reply text or its request; the
// reply text is framed from STX to ETX across batches, and noise is dropped
// at the limit; a hung-up line parks the watcher until the close.
TEST(Session, GlitchesAndEarlierLinksLeaveNothingBehind)
{
    Peer peer;
    Recorder front;
    CSession session(front, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    session.SetChain(false);
    session.Get(proto::CMD_GET_BDA);
    EXPECT_EQ(peer.Read(3), Ask('3'));
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
    session.m_ReplyText.clear();

    // Framing of the reply text, batch by batch.
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
    EXPECT_EQ(session.m_ReplyText.size(), 5u);
    EXPECT_EQ(replies(std::string("12\x03")), Got{"3 012"});
    EXPECT_EQ(replies(Reply('6', "1") + Reply('3', "NEW")), Got{"6 1"}) << "only the first of a batch";
    EXPECT_TRUE(session.m_ReplyText.empty());
    EXPECT_EQ(replies("xyz" + Reply('6', "3")), Got{"6 3"});
    EXPECT_EQ(replies("x\x03" + Reply('6', "1")), Got{"6 "}) << "an ETX before the STX ends an empty reply";
    EXPECT_TRUE(session.m_ReplyText.empty());
    EXPECT_EQ(replies("\x03" + Reply('6', "1")), Got{}) << "an ETX at the start blocks until the limit";
    EXPECT_EQ(session.m_ReplyText.size(), 7u);
    {
        TraceCapture trace;
        EXPECT_EQ(replies(std::string(93, 'n')), Got{});
        EXPECT_NE(trace.Stop().find("OnCommunication -2\n"), std::string::npos);
    }
    EXPECT_TRUE(session.m_ReplyText.empty());
    EXPECT_EQ(replies(Reply('6', "2")), Got{"6 2"});
    EXPECT_EQ(replies(std::string(99, 'n')), Got{});
    EXPECT_EQ(session.m_ReplyText.size(), 99u);
    EXPECT_EQ(replies(std::string(1, 'n')), Got{});
    EXPECT_TRUE(session.m_ReplyText.empty());
    front.bytes.clear();
    EXPECT_EQ(replies(std::string("\0\x02VR61\0\x03", 8)), Got{"6 1"});
    EXPECT_EQ(front.bytes.size(), 8u) << "the zero bytes are handed over too";
    EXPECT_TRUE(session.m_ReplyText.empty());

    // Half a reply, then bytes nobody drains, then the link closes with a
    // request outstanding.
    seen = front.Arrivals();
    peer.Write("\x02VR1HALF");
    ASSERT_TRUE(front.Drain(session, seen));
    session.Get(proto::CMD_GET_PINKEY);
    EXPECT_EQ(peer.Read(3), Ask('4'));
    seen = front.Arrivals();
    peer.Write("stale");
    ASSERT_TRUE(front.WaitFor([&] { return front.arrivals != seen; }));
    session.ClosePort();
    ASSERT_EQ(session.OpenPort(peer.path, {}).code, LinkResult::Code::Ok);
    EXPECT_EQ(session.m_QueueRead.GetCount(), 0);
    EXPECT_TRUE(session.m_ReplyText.empty());
    EXPECT_FALSE(session.IsCurrentLink(0)) << "notifications of the first link are stale";
    EXPECT_EQ(session.m_Busy, 0) << "the new link owes no answer";
    EXPECT_EQ(session.Outstanding(), 0);
    EXPECT_EQ(front.heard.back(), "stop");
    const std::size_t from = front.heard.size();
    peer.Write(Reply('3', "00190199A1B2"));
    ASSERT_TRUE(front.DrainUntil(session, [&] { return front.heard.back().rfind("reply", 0) == 0; }));
    EXPECT_EQ(front.Since(from).back(), "reply 3 00190199A1B2") << "not glued to the earlier link's half reply";

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
        for (int k = 0; k < 1000; ++k)
            session.m_QueueRead.PutByte('x');
        const std::string chunk = "0123456789abcdefghijklmnopqrst";
        window.peer.Write(chunk);
        ASSERT_TRUE(window.front.WaitFor([&] { return !window.front.boxes.empty(); }));
        {
            std::lock_guard lock(window.front.mutex);
            EXPECT_EQ(window.front.boxes.front(), "m_QueueRead FULL!");
            EXPECT_GT(window.front.arrivalsAtFirstBox, 0u) << "what waits is announced before the box";
        }
        EXPECT_EQ(session.m_QueueRead.GetCount(), 1000) << "nothing of the chunk is stored";
        window.peer.Write("later");
        ASSERT_TRUE(window.front.DrainUntil(session, [&] { return window.front.bytes.size() >= 1005; }));
        EXPECT_EQ(window.front.bytes, std::string(1000, 'x') + "later");

        // A chunk is never larger than an empty queue takes.
        window.peer.Write(flood);
        ASSERT_TRUE(window.front.WaitFor([&] { return window.front.boxes.size() > 1; }));
        EXPECT_GT(session.m_QueueRead.GetCount(), 0);
        EXPECT_LT(session.m_QueueRead.GetCount(), int(flood.size()));
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
    termios raw{};  // a printer node takes no line settings; the pty needs them
    ::tcgetattr(peer.slave, &raw);
    ::cfmakeraw(&raw);
    ::tcsetattr(peer.slave, TCSANOW, &raw);
    ASSERT_TRUE(session.USB_Connection(::dup(peer.slave)));
    ASSERT_TRUE(session.IsUsbReaderRunning());
    peer.Write(std::string(3000, 'x'));
    // Nobody drains: the reader fills the queue to the last byte and waits.
    ASSERT_TRUE(usb.WaitFor([&] { return session.m_QueueRead.GetCount() == CQueue::QUEUE_SIZE - 1; }));
    ASSERT_TRUE(usb.DrainUntil(session, [&] { return usb.bytes.size() >= 3000; }));
    EXPECT_EQ(usb.bytes, std::string(3000, 'x'));
    {
        std::lock_guard lock(usb.mutex);
        EXPECT_TRUE(usb.boxes.empty());
    }
    session.Get(proto::CMD_GET_LEVEL);
    EXPECT_EQ(peer.Read(3), Ask('6'));

    peer.HangUp();
    ASSERT_TRUE(usb.WaitFor([&] { return usb.gone != 0; }));
    {
        std::lock_guard lock(usb.mutex);
        EXPECT_EQ(usb.boxes, std::vector<std::string>{"Disconnect the USB communication. Connect the USB port again!"});
    }
    EXPECT_EQ(session.m_Connected.load(), 0);
    session.UsbLost(usb.gone);
    EXPECT_FALSE(session.IsUsbReaderRunning());
    EXPECT_EQ(session.ActiveLink(), CSession::LinkKind::None);
}
