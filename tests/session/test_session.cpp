// The session engine over a pseudo-terminal, heard by a front end that
// records every call: what drives the read-back chain, what ends a request,
// what a line glitch or an earlier link leaves behind, and the two ways a
// full queue is met.

#include "base/Trace.h"
#include "protocol/Conversation.h"
#include "session/Session.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
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
        ::close(master);
        ::close(slave);
    }
    void Write(const std::string& bytes) const { EXPECT_EQ(::write(master, bytes.data(), bytes.size()), ssize_t(bytes.size())); }
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

// A front end that writes down what it hears and drains on request.
struct Recorder : CSession::Observer {
    std::mutex mutex;
    std::condition_variable cv;
    unsigned arrivals = 0, drains = 0;
    bool waitsForRoom = false;  // the command-line tool's way with a full queue
    std::vector<std::string> heard;  // driving thread only
    std::vector<std::string> boxes;  // reader thread, under mutex

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
        boxes.push_back(text);
        cv.notify_all();
    }
    void UsbGone(unsigned) override {}
    void SetTimer1() override { heard.push_back("timer"); }
    void KillTimer1() override { heard.push_back("stop"); }
    void Received(const std::uint8_t*, std::size_t n) override { heard.push_back("rx " + std::to_string(n)); }
    void Requesting(char command) override { heard.push_back(std::string("ask ") + command); }
    void Reply(char command, const std::string& data) override
    {
        heard.push_back(std::string("reply ") + command + " " + data);
    }
    void ModuleError(const std::string& text) override { heard.push_back("error " + text); }
    void TimedOut(const std::string& text) override { heard.push_back("timeout " + text); }

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
    unsigned Arrivals()
    {
        std::lock_guard lock(mutex);
        return arrivals;
    }
};

SessionPolicy Prompt()
{
    return SessionPolicy{0, 0, 0, false};
}

}  // namespace

// Each reply ends the request, whatever its kind, and names the next one:
// a name reply to Get BDA goes on with Get Level, as the window always did.
TEST(Session, RepliesDriveTheChainAndEndTheRequest)
{
    Peer peer;
    Recorder front;
    CSession session(front, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}), CSession::OpenResult::Ok);
    std::string trace;
    char* buffer = nullptr;
    std::size_t size = 0;
    FILE* sink = ::open_memstream(&buffer, &size);
    SetTraceSink(sink);

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
    std::fflush(sink);
    SetTraceSink(nullptr);
    std::fclose(sink);
    trace.assign(buffer, size);
    std::free(buffer);

    EXPECT_EQ(front.heard,
              (std::vector<std::string>{"stop", "ask 3", "timer", "rx 12", "stop", "reply 1 SOMEONE", "ask 6", "timer",
                                        "rx 5", "stop", "error Bluetooth Setting Error", "ask 4", "timer", "stop",
                                        "timeout Error(Timeout)", "stop"}));
    EXPECT_EQ(trace, "ESC ~ 3 Get GDA\nOnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:7\nGet BDN\n"
                     "ESC ~ 6  Get LEVEL\nOnCommunication -3\nOnCommunication -1\nBT_RECEIVE_MSG -1\ni:4  j:0\n"
                     "OnCommunication -3\nESC ~ 4  Get PINKEY\n");
}

// A zero byte on the line costs nothing; bytes of a link that was closed
// never reach the next one, nor does its reply text.
TEST(Session, GlitchesAndEarlierLinksLeaveNothingBehind)
{
    Peer peer;
    Recorder front;
    CSession session(front, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}), CSession::OpenResult::Ok);
    session.SetChain(false);
    session.Get(proto::CMD_GET_BDA);
    unsigned seen = front.Arrivals();
    peer.Write(std::string("\0\x02VR3\0", 6) + "00190199A1B2\x03");
    ASSERT_TRUE(front.Drain(session, seen));
    EXPECT_EQ(front.heard.back(), "reply 3 00190199A1B2");

    // Half a reply, then bytes nobody drains, then the link closes.
    seen = front.Arrivals();
    peer.Write("\x02VR1HALF");
    ASSERT_TRUE(front.Drain(session, seen));
    seen = front.Arrivals();
    peer.Write("stale");
    {
        std::unique_lock lock(front.mutex);
        ASSERT_TRUE(front.cv.wait_for(lock, kPatience, [&] { return front.arrivals != seen; }));
    }
    session.ClosePort();
    ASSERT_EQ(session.OpenPort(peer.path, {}), CSession::OpenResult::Ok);
    EXPECT_EQ(session.m_QueueRead.GetCount(), 0);
    EXPECT_TRUE(session.m_ReplyText.empty());
    EXPECT_FALSE(session.IsCurrentLink(0)) << "notifications of the first link are stale";
}

// The window drops a chunk the queue cannot take and says so; the
// command-line tool waits for its drain and loses nothing.
TEST(Session, AFullQueueIsDroppedWithAMessageOrWaitedFor)
{
    const std::string flood(3000, 'n');
    {
        Peer peer;
        Recorder window;
        CSession session(window, Prompt());
        ASSERT_EQ(session.OpenPort(peer.path, {}), CSession::OpenResult::Ok);
        peer.Write(flood);
        std::unique_lock lock(window.mutex);
        ASSERT_TRUE(window.cv.wait_for(lock, kPatience, [&] { return !window.boxes.empty(); }));
        EXPECT_EQ(window.boxes.front(), "m_QueueRead FULL!");
        EXPECT_LT(session.m_QueueRead.GetCount(), int(flood.size()));
    }
    Peer peer;
    Recorder tool;
    tool.waitsForRoom = true;
    CSession session(tool, Prompt());
    ASSERT_EQ(session.OpenPort(peer.path, {}), CSession::OpenResult::Ok);
    peer.Write(flood);
    std::size_t taken = 0;
    const auto deadline = Clock::now() + kPatience;
    while (taken < flood.size() && Clock::now() < deadline) {
        const int count = session.m_QueueRead.GetCount();
        std::uint8_t b;
        for (int k = 0; k < count; ++k)
            session.m_QueueRead.GetByte(&b);
        taken += std::size_t(count);
        std::unique_lock lock(tool.mutex);
        ++tool.drains;
        tool.cv.notify_all();
        const unsigned seen = tool.arrivals;
        tool.cv.wait_for(lock, std::chrono::milliseconds(100), [&] { return tool.arrivals != seen; });
    }
    EXPECT_EQ(taken, flood.size());
    std::lock_guard lock(tool.mutex);
    EXPECT_TRUE(tool.boxes.empty());
}
