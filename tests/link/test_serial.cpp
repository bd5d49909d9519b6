#include "link/SerialPort.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace vendrill;

namespace {

using Clock = std::chrono::steady_clock;
using P = CSerialPort::Parity;
using S = CSerialPort::StopBits;

// Upper bound for anything that should happen at once; only reached when
// something is broken, so tests fail instead of hanging.
constexpr auto kGenerous = std::chrono::seconds(20);

const std::vector<std::uint8_t> kSpecialBytes = {
    0x00, 0x03, 0x0D, 0x0A, 0x11, 0x13, 0x7F, 0xFF, 0x04, 0x1A, 0x1C, 0x15, 0x17, 0x12, 0x16, 0x0F,
    0x08, 0x1B, 0x7E, 0x80, 0x8D, 0x91, 0x93, 0xC0, 0x02, 0x0A, 0x0D, 0x03, 0x00,
};

const char* Name(WaitResult r)
{
    switch (r) {
    case WaitResult::Ready: return "Ready";
    case WaitResult::Woken: return "Woken";
    case WaitResult::TimedOut: return "TimedOut";
    case WaitResult::HangUp: return "HangUp";
    case WaitResult::Error: return "Error";
    }
    return "?";
}

int CountOpenFds()
{
    int n = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    while (const dirent* e = ::readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    ::closedir(dir);
    return n;
}

// Runs WaitForData on another thread; if it does not come back in time the
// port is woken so the thread can still be joined, and the test fails.
WaitResult WaitBounded(CSerialPort& port)
{
    auto result = std::async(std::launch::async, [&port] { return port.WaitForData(); });
    if (result.wait_for(kGenerous) != std::future_status::ready) {
        ADD_FAILURE() << "WaitForData did not return";
        port.Wake();
    }
    return result.get();
}

// Best effort: returns once thread tid is asleep in the kernel, so that a
// following Wake() hits a wait in progress rather than one yet to start.
void AwaitSleeping(pid_t tid)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    const auto deadline = Clock::now() + kGenerous;
    while (Clock::now() < deadline) {
        std::ifstream stat(path);
        std::string line;
        std::getline(stat, line);
        const auto close = line.rfind(')');
        if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S')
            return;
        std::this_thread::yield();
    }
}

class PtyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(::openpty(&m_master, &m_slave, nullptr, nullptr, nullptr), 0) << std::strerror(errno);
        char name[128] = {};
        ASSERT_EQ(::ttyname_r(m_slave, name, sizeof name), 0);
        m_path = name;
        ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    }
    void TearDown() override
    {
        CloseMaster();
        if (m_slave >= 0)
            ::close(m_slave);
    }
    void CloseMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    void WriteMaster(const std::vector<std::uint8_t>& data)
    {
        std::size_t done = 0;
        const auto deadline = Clock::now() + kGenerous;
        while (done < data.size() && Clock::now() < deadline) {
            const ssize_t r = ::write(m_master, data.data() + done, data.size() - done);
            if (r > 0) {
                done += static_cast<std::size_t>(r);
                continue;
            }
            ASSERT_TRUE(r < 0 && errno == EAGAIN) << std::strerror(errno);
            pollfd p{m_master, POLLOUT, 0};
            ::poll(&p, 1, 1000);
        }
        ASSERT_EQ(done, data.size());
    }

    // Reads until n bytes came from the master or nothing more can come.
    std::vector<std::uint8_t> ReadMaster(std::size_t n)
    {
        std::vector<std::uint8_t> got;
        const auto deadline = Clock::now() + kGenerous;
        while (got.size() < n && Clock::now() < deadline) {
            std::uint8_t buf[4096];
            const ssize_t r = ::read(m_master, buf, std::min(sizeof buf, n - got.size()));
            if (r > 0) {
                got.insert(got.end(), buf, buf + r);
                continue;
            }
            if (r < 0 && errno != EAGAIN)
                break;
            pollfd p{m_master, POLLIN, 0};
            ::poll(&p, 1, 1000);
        }
        return got;
    }

    bool MasterHasMore()
    {
        pollfd p{m_master, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
    }

    // Reads n bytes through the port the way the watcher does: wait, then read.
    std::vector<std::uint8_t> ReadPort(CSerialPort& port, std::size_t n)
    {
        std::vector<std::uint8_t> got;
        const auto deadline = Clock::now() + kGenerous;
        while (got.size() < n && Clock::now() < deadline) {
            if (port.BytesWaiting() == 0) {
                const WaitResult r = WaitBounded(port);
                if (r != WaitResult::Ready) {
                    ADD_FAILURE() << "wait gave " << Name(r);
                    break;
                }
            }
            std::uint8_t buf[1024];
            const int k = port.Read(buf, sizeof buf);
            EXPECT_GE(k, 0);
            got.insert(got.end(), buf, buf + k);
        }
        return got;
    }

    termios SlaveTermios()
    {
        termios t{};
        EXPECT_EQ(::tcgetattr(m_slave, &t), 0);
        return t;
    }

    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
};

termios CookedTermios()
{
    termios t{};
    t.c_iflag = ICRNL | IXON | IXOFF | IXANY | INPCK | ISTRIP | INLCR | IGNPAR | BRKINT | IMAXBEL;
    t.c_oflag = OPOST | ONLCR | OCRNL;
    t.c_cflag = CS8 | CREAD | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | HUPCL;
    t.c_lflag = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    t.c_cc[VMIN] = 5;
    t.c_cc[VTIME] = 7;
    t.c_cc[VINTR] = 0x03;
    cfsetospeed(&t, B9600);
    cfsetispeed(&t, B9600);
    return t;
}

}  // namespace

// ---- pure line settings -------------------------------------------------

TEST(SerialTermios, EachSettingMapsToItsFlags)
{
    const termios cur = CookedTermios();
    const struct {
        std::uint32_t baud;
        speed_t speed;
    } bauds[] = {{9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& b : bauds) {
        termios t{};
        ASSERT_TRUE(CSerialPort::BuildTermios(cur, {b.baud, 8, P::None, S::One}, &t)) << b.baud;
        EXPECT_EQ(cfgetospeed(&t), b.speed) << b.baud;
        EXPECT_EQ(cfgetispeed(&t), b.speed) << b.baud;
        EXPECT_EQ(t.c_cflag & CIBAUD, 0u) << "input speed follows output speed";
    }
    for (std::uint8_t bits : {7, 8}) {
        termios t{};
        ASSERT_TRUE(CSerialPort::BuildTermios(cur, {57600, bits, P::None, S::One}, &t));
        EXPECT_EQ(t.c_cflag & CSIZE, bits == 7 ? tcflag_t{CS7} : tcflag_t{CS8});
    }
    const struct {
        std::uint8_t code;
        tcflag_t flags;
    } parities[] = {{0, 0}, {1, PARENB | PARODD}, {2, PARENB}};
    for (const auto& p : parities) {
        termios t{};
        ASSERT_TRUE(CSerialPort::BuildTermios(cur, {57600, 7, static_cast<P>(p.code), S::One}, &t));
        EXPECT_EQ(t.c_cflag & (PARENB | PARODD | CMSPAR), p.flags) << int(p.code);
        EXPECT_EQ(t.c_iflag & INPCK, 0u);
    }
    for (std::uint8_t stop : {0, 2}) {
        termios t{};
        ASSERT_TRUE(CSerialPort::BuildTermios(cur, {57600, 8, P::None, static_cast<S>(stop)}, &t));
        EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stop == 2);
    }
}

TEST(SerialTermios, MakesTheLineRawAndKeepsHandshakeAndModemSettings)
{
    for (const bool handshake : {true, false}) {
        termios cur = CookedTermios();
        if (!handshake)
            cur.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS | CLOCAL | HUPCL);
        termios t{};
        ASSERT_TRUE(CSerialPort::BuildTermios(cur, {115200, 8, P::None, S::One}, &t));
        const tcflag_t modem = CRTSCTS | CLOCAL | HUPCL;
        EXPECT_EQ(t.c_cflag & modem, cur.c_cflag & modem);
        EXPECT_NE(t.c_cflag & CREAD, 0u);
        EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u) << "no software flow control";
        EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT | IGNBRK), 0u);
        EXPECT_EQ(t.c_iflag & IGNPAR, cur.c_iflag & IGNPAR) << "untouched input flags stay";
        EXPECT_EQ(t.c_oflag & OPOST, 0u);
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
        EXPECT_EQ(t.c_cc[VINTR], cur.c_cc[VINTR]);
    }
}

TEST(SerialTermios, RefusesUnsupportedValuesAndLeavesOutputAlone)
{
    const termios cur = CookedTermios();
    const CSerialPort::Settings bad[] = {
        {12345, 8, P::None, S::One}, {0, 8, P::None, S::One}, {110, 8, P::None, S::One}, {230400, 8, P::None, S::One}, {57600, 6, P::None, S::One},
        {57600, 5, P::None, S::One}, {57600, 9, P::None, S::One}, {57600, 8, static_cast<P>(3), S::One}, {57600, 8, P::None, static_cast<S>(1)}, {57600, 8, P::None, static_cast<S>(3)},
    };
    for (const auto& s : bad) {
        termios out;
        std::memset(&out, 0xA5, sizeof out);
        termios sentinel;
        std::memset(&sentinel, 0xA5, sizeof sentinel);
        EXPECT_FALSE(CSerialPort::BuildTermios(cur, s, &out))
            << s.baudRate << " " << int(s.dataBits) << " " << int(s.parity) << " " << int(s.stopBits);
        EXPECT_EQ(std::memcmp(&out, &sentinel, sizeof out), 0);
    }
    EXPECT_FALSE(CSerialPort::BuildTermios(cur, {57600, 8, P::None, S::One}, nullptr));
}

// ---- opening and releasing ---------------------------------------------

TEST(SerialOpen, MissingPathFailsWithEnoentAndLeavesPortClosed)
{
    CSerialPort port;
    EXPECT_FALSE(port.Open("/dev/vendrill-no-such-port"));
    EXPECT_EQ(port.LastError(), ENOENT);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(port.Fd(), -1);
    // A closed port touches no device and says so as the link contract does.
    std::uint8_t buf[8] = {1, 2, 3};
    EXPECT_EQ(port.Read(buf, sizeof buf), CLink::kFailed);
    EXPECT_EQ(port.Write(buf, 3), CLink::kFailed);
    EXPECT_EQ(port.BytesWaiting(), 0);
    EXPECT_FALSE(port.Configure({}));
    EXPECT_EQ(port.WaitForData(), WaitResult::Error);
    port.Purge();
    port.Close();
    port.Close();
    EXPECT_FALSE(port.Open(std::string("/dev/null\0x", 11))) << "embedded NUL is not silently cut";
    const int fds = CountOpenFds();
    EXPECT_FALSE(port.Open("/dev/null")) << "not a serial line";
    EXPECT_EQ(port.LastError(), ENOTTY);
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(CountOpenFds(), fds);
}

TEST_F(PtyTest, OpenIsExclusiveUntilClosed)
{
    CSerialPort first;
    ASSERT_TRUE(first.Open(m_path)) << std::strerror(first.LastError());
    EXPECT_TRUE(first.IsOpen());
    const int flags = ::fcntl(first.Fd(), F_GETFD);
    EXPECT_TRUE(flags & FD_CLOEXEC);
    EXPECT_TRUE(::fcntl(first.Fd(), F_GETFL) & O_NONBLOCK);
    int exclusive = 1;
    ASSERT_EQ(::ioctl(m_slave, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0) << "no tty flag that would outlive a killed holder";

    CSerialPort second;
    EXPECT_FALSE(second.Open(m_path));
    EXPECT_TRUE(second.LastError() == EWOULDBLOCK || second.LastError() == EBUSY) << second.LastError();
    EXPECT_FALSE(second.IsOpen());

    // Another process is kept out as well.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        CSerialPort other;
        const bool opened = bool(other.Open(m_path));
        const int err = other.LastError();
        ::_exit(opened ? 1 : (err == EWOULDBLOCK || err == EBUSY) ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: child opened the held port, 2: wrong error";

    first.Close();
    EXPECT_FALSE(first.IsOpen());
    EXPECT_TRUE(second.Open(m_path)) << std::strerror(second.LastError());
    {
        CSerialPort scoped;
        EXPECT_FALSE(scoped.Open(m_path));
    }
    // Opening again on an open object releases the earlier descriptor first.
    EXPECT_TRUE(second.Open(m_path)) << std::strerror(second.LastError());
    {
        CSerialPort scoped;
        second.Close();
        EXPECT_TRUE(scoped.Open(m_path));
    }
    // The destructor released it.
    EXPECT_TRUE(first.Open(m_path));
}

TEST_F(PtyTest, DescriptorsAreReturnedAfterManyCycles)
{
    const int before = CountOpenFds();
    ASSERT_GT(before, 0);
    for (int i = 0; i < 200; ++i) {
        CSerialPort port;
        ASSERT_TRUE(port.Open(m_path)) << i << ": " << std::strerror(port.LastError());
        ASSERT_TRUE(port.Configure({57600, 8, P::None, S::One}));
        CSerialPort rival;
        ASSERT_FALSE(rival.Open(m_path));
        ASSERT_FALSE(rival.Open("/dev/vendrill-no-such-port"));
        port.Wake();
        port.ResetWake();
        port.Purge();
        port.Close();
    }
    EXPECT_EQ(CountOpenFds(), before);
}

// ---- line settings through the pty ---------------------------------------

TEST_F(PtyTest, ConfigureSetsBaudAndStopBitsAndKeepsModemFlags)
{
    const termios wanted = CookedTermios();
    ASSERT_EQ(::tcsetattr(m_slave, TCSANOW, &wanted), 0);
    const termios cooked = SlaveTermios();  // as the line took it
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    const struct {
        std::uint32_t baud;
        speed_t speed;
    } bauds[] = {{9600, B9600}, {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}};
    for (const auto& b : bauds) {
        for (std::uint8_t stop : {0, 2}) {
            ASSERT_TRUE(port.Configure({b.baud, 8, P::None, static_cast<S>(stop)})) << std::strerror(port.LastError());
            const termios t = SlaveTermios();
            EXPECT_EQ(cfgetospeed(&t), b.speed) << b.baud;
            EXPECT_EQ(cfgetispeed(&t), b.speed) << b.baud;
            EXPECT_EQ((t.c_cflag & CSTOPB) != 0, stop == 2) << b.baud;
            EXPECT_EQ(t.c_cflag & (CLOCAL | HUPCL), tcflag_t{CLOCAL | HUPCL});
            EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
            EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL), 0u);
            EXPECT_EQ(t.c_oflag & OPOST, 0u);
        }
    }
    // Refused settings leave the line as it was.
    const termios before = SlaveTermios();
    EXPECT_FALSE(port.Configure({12345, 8, P::None, S::One}));
    EXPECT_EQ(port.LastError(), EINVAL);
    EXPECT_FALSE(port.Configure({57600, 6, P::None, S::One}));
    const termios after = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(after.c_cflag, before.c_cflag);

    // Closing puts back the settings the port had when it was opened.
    port.Close();
    const termios restored = SlaveTermios();
    EXPECT_EQ(cfgetospeed(&restored), cfgetospeed(&cooked));
    EXPECT_EQ(restored.c_cflag, cooked.c_cflag);
    EXPECT_EQ(restored.c_lflag, cooked.c_lflag);
    EXPECT_EQ(restored.c_iflag, cooked.c_iflag);
    EXPECT_EQ(restored.c_oflag, cooked.c_oflag);
}

TEST_F(PtyTest, EveryByteValuePassesUnchangedBothWays)
{
    const termios cooked = CookedTermios();
    ASSERT_EQ(::tcsetattr(m_slave, TCSANOW, &cooked), 0);
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    ASSERT_TRUE(port.Configure({57600, 8, P::None, S::One}));

    std::vector<std::uint8_t> all = kSpecialBytes;
    for (int v = 0; v < 256; ++v)
        all.push_back(static_cast<std::uint8_t>(v));

    WriteMaster(all);
    EXPECT_EQ(ReadPort(port, all.size()), all) << "printer to port";

    // Anything echoed or translated would come before or instead of these.
    ASSERT_EQ(port.Write(all.data(), static_cast<int>(all.size())), static_cast<int>(all.size()));
    EXPECT_EQ(ReadMaster(all.size()), all) << "port to printer";
    EXPECT_FALSE(MasterHasMore()) << "nothing echoed";
}

// ---- reading, writing, waiting -------------------------------------------

TEST_F(PtyTest, ReadGivesWhatArrivedAndZeroWhenNothingIs)
{
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    ASSERT_TRUE(port.Configure({57600, 8, P::None, S::One}));
    std::uint8_t buf[64];
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
    EXPECT_EQ(port.BytesWaiting(), 0);
    EXPECT_EQ(port.Read(buf, 0), 0);
    EXPECT_EQ(port.Read(nullptr, 10), 0);

    WriteMaster({0x02, 0x41, 0x42, 0x33, 0x03});
    ASSERT_EQ(WaitBounded(port), WaitResult::Ready);
    EXPECT_EQ(ReadPort(port, 5), (std::vector<std::uint8_t>{0x02, 0x41, 0x42, 0x33, 0x03}));
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);

    // A read never gives more than asked for; the rest stays for the next one.
    const std::vector<std::uint8_t> frame(40, 0x5A);
    WriteMaster(frame);
    ASSERT_EQ(WaitBounded(port), WaitResult::Ready);
    std::vector<std::uint8_t> got;
    const auto deadline = Clock::now() + kGenerous;
    while (got.size() < frame.size() && Clock::now() < deadline) {
        const int k = port.Read(buf, 3);
        ASSERT_GE(k, 0);
        ASSERT_LE(k, 3);
        got.insert(got.end(), buf, buf + k);
    }
    EXPECT_EQ(got, frame);

    // Purge drops what is waiting.
    WriteMaster({1, 2, 3});
    ASSERT_EQ(WaitBounded(port), WaitResult::Ready);
    port.Purge();
    EXPECT_EQ(port.BytesWaiting(), 0);
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
}

TEST_F(PtyTest, LargeWriteWaitsForRoomAndDeliversEverything)
{
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    ASSERT_TRUE(port.Configure({115200, 8, P::None, S::One}));
    std::vector<std::uint8_t> data(200000);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    // More than the pty holds, so the writer must wait for the reader.
    auto writer = std::async(std::launch::async,
                             [&] { return port.Write(data.data(), static_cast<int>(data.size())); });
    const auto got = ReadMaster(data.size());
    EXPECT_EQ(writer.get(), static_cast<int>(data.size()));
    EXPECT_EQ(got, data);
    const std::uint8_t frame[] = {0x1B, 0x7E, 0x33};
    EXPECT_EQ(port.Write(frame, 3), 3);
    EXPECT_EQ(ReadMaster(3), std::vector<std::uint8_t>(frame, frame + 3));
    EXPECT_EQ(port.Write(frame, 0), 0);
}

TEST_F(PtyTest, WakeEndsAWaitInProgressAndStaysUntilReset)
{
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    ASSERT_TRUE(port.Configure({57600, 8, P::None, S::One}));

    std::atomic<pid_t> tid{0};
    std::thread waiter;
    std::promise<WaitResult> result;
    auto done = result.get_future();
    waiter = std::thread([&] {
        tid = static_cast<pid_t>(::syscall(SYS_gettid));
        result.set_value(port.WaitForData());
    });
    while (tid.load() == 0)
        std::this_thread::yield();
    AwaitSleeping(tid.load());
    port.Wake();
    const bool returned = done.wait_for(kGenerous) == std::future_status::ready;
    EXPECT_TRUE(returned) << "waiter did not return after Wake";
    waiter.join();
    if (returned) {
        EXPECT_EQ(done.get(), WaitResult::Woken);
    }

    // The wake stays until reset, also for WaitForWake, and beats waiting data.
    EXPECT_EQ(WaitBounded(port), WaitResult::Woken);
    EXPECT_TRUE(port.WaitForWake(0));
    EXPECT_TRUE(port.WaitForWake(-1));
    WriteMaster({0x41});
    EXPECT_EQ(WaitBounded(port), WaitResult::Woken);
    port.ResetWake();
    EXPECT_FALSE(port.WaitForWake(0));
    EXPECT_FALSE(port.WaitForWake(1));
    EXPECT_EQ(WaitBounded(port), WaitResult::Ready);

    // WaitForWake without a limit ends on a Wake from another thread.
    auto sleeper = std::async(std::launch::async, [&] { return port.WaitForWake(-1); });
    port.Wake();
    ASSERT_EQ(sleeper.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(sleeper.get());
    port.ResetWake();

    // Wake works on a closed port too (the waker may race with Close).
    port.Close();
    port.Wake();
    EXPECT_TRUE(port.WaitForWake(0));
    port.ResetWake();
}

TEST_F(PtyTest, HangUpIsReportedEveryTimeWithoutData)
{
    CSerialPort port;
    ASSERT_TRUE(port.Open(m_path));
    ASSERT_TRUE(port.Configure({57600, 8, P::None, S::One}));
    CloseMaster();
    // The same answer each time, at once: the caller then pauses in WaitForWake.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(WaitBounded(port), WaitResult::HangUp) << i;
    std::uint8_t buf[16] = {};
    EXPECT_EQ(port.Read(buf, sizeof buf), 0);
    EXPECT_EQ(port.Write(buf, sizeof buf), CLink::kFailed) << "a dead line fails at once, it does not wait";
    EXPECT_EQ(port.BytesWaiting(), 0);

    auto pause = std::async(std::launch::async, [&] { return port.WaitForWake(-1); });
    port.Wake();
    ASSERT_EQ(pause.wait_for(kGenerous), std::future_status::ready);
    EXPECT_TRUE(pause.get());
    port.Close();
    EXPECT_FALSE(port.IsOpen());
}
