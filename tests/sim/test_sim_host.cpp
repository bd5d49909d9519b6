#include "sim/SimHost.h"

#include "SimTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <dirent.h>

using namespace vendrill;

using simtest::OpenLine;
using simtest::ReadReply;
using simtest::WaitUntil;
using simtest::WriteBytes;

namespace {

proto::Reply Exchange(int fd, const proto::Bytes& request)
{
    EXPECT_TRUE(WriteBytes(fd, request));
    const std::string text = ReadReply(fd);
    EXPECT_TRUE(proto::HasCompleteReply(text)) << "no reply to command " << request[2];
    return proto::ParseReply(text);
}

int OpenDescriptors()
{
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr)
            ++count;
        ::closedir(dir);
    }
    return count;
}

}  // namespace

TEST(SimHost, AnswersThroughTheSlaveSide)
{
    CSimHost host;
    EXPECT_FALSE(host.IsRunning());
    EXPECT_EQ(host.SlavePath(), "");
    ASSERT_TRUE(host.Start());
    EXPECT_TRUE(host.IsRunning());
    const std::string path = host.SlavePath();
    EXPECT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
    EXPECT_TRUE(host.Start()) << "starting again keeps the running line";
    EXPECT_EQ(host.SlavePath(), path);

    const int fd = OpenLine(path);
    ASSERT_GE(fd, 0);
    auto r = Exchange(fd, proto::GetRequest('3'));
    EXPECT_EQ(r.command, '3');
    EXPECT_EQ(r.data, "00190199A1B2");

    r = Exchange(fd, *proto::TextRequest('5', "2468"));
    EXPECT_EQ(r.command, '5');
    EXPECT_EQ(host.State().pin, "2468");

    // The printed name and three LFs, then the Set BDN frame.
    ASSERT_TRUE(WriteBytes(fd, {'A', 'B', 'C', '0', '0', '0', '9', '9'}));
    for (int k = 0; k < 3; ++k)
        ASSERT_TRUE(WriteBytes(fd, {'\n'}));
    r = Exchange(fd, *proto::TextRequest('2', "ABC00099"));
    EXPECT_EQ(r.command, '2');
    EXPECT_EQ(host.PrintedLines(), (std::vector<std::string>{"ABC00099", "", ""}));
    EXPECT_EQ(host.State().name, "ABC00099");
    EXPECT_EQ(host.RequestCount(), 3u);
    // Counted once the write has returned, which may be after the bytes arrived.
    EXPECT_TRUE(WaitUntil([&] { return host.RepliesSent() == 3u; }));
    ::close(fd);

    host.Stop();
    EXPECT_FALSE(host.IsRunning());
    EXPECT_EQ(host.SlavePath(), "");
    host.Stop();  // harmless twice
}

TEST(SimHost, OptionsChangeWhileRunning)
{
    CSimHost host;
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);

    SimOptions o;
    o.split = 4;
    o.splitGapMs = 1;
    o.delayMs = 1;
    o.noise = {'#', '#'};
    host.SetOptions(o);
    EXPECT_EQ(host.Options().split, 4);
    ASSERT_TRUE(WriteBytes(fd, proto::GetRequest('1')));
    const std::string text = ReadReply(fd);
    EXPECT_EQ(text, std::string("##\x02VR1VENDRILL-PRN\x03")) << "all pieces arrive, in order";

    // A silent module sees the request but answers nothing: the first bytes
    // that come back afterwards are the answer to the next request.
    o = SimOptions{};
    o.silent = true;
    host.SetOptions(o);
    const auto before = host.RequestCount();
    ASSERT_TRUE(WriteBytes(fd, proto::GetRequest('3')));
    ASSERT_TRUE(WaitUntil([&] { return host.RequestCount() == before + 1; }));
    host.SetOptions(SimOptions{});
    auto r = Exchange(fd, proto::GetRequest('4'));
    EXPECT_EQ(r.command, '4');
    EXPECT_EQ(r.i, 4) << "nothing came before this reply";

    // Settings can be changed from outside as well.
    ModuleState s = host.State();
    s.name = std::string(29, 'N');
    host.SetState(s);
    r = Exchange(fd, proto::GetRequest('1'));
    EXPECT_EQ(r.data, std::string(29, 'N'));
    ::close(fd);
}

TEST(SimHost, LineSurvivesTheToolClosingAndReopening)
{
    CSimHost host;
    ASSERT_TRUE(host.Start());
    for (int round = 0; round < 3; ++round) {
        const int fd = OpenLine(host.SlavePath());
        ASSERT_GE(fd, 0);
        auto r = Exchange(fd, proto::GetRequest('6'));
        EXPECT_EQ(r.command, '6');
        EXPECT_EQ(r.data, "1");
        ::close(fd);
    }
    EXPECT_TRUE(host.IsRunning()) << "no hang-up ended the module";
}

TEST(SimHost, StalledFrameIsForgotten)
{
    CSimHost host;
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);
    // Header of a Set PinKey for five bytes, but only two of them.
    ASSERT_TRUE(WriteBytes(fd, {0x1B, 0x7E, '5', 5, '1', '2'}));
    ASSERT_TRUE(WaitUntil([&] { return host.InFrame(); }));
    ASSERT_TRUE(WaitUntil([&] { return !host.InFrame(); }));
    auto r = Exchange(fd, proto::GetRequest('4'));
    EXPECT_EQ(r.command, '4');
    EXPECT_EQ(r.data, "0000");
    EXPECT_EQ(host.RequestCount(), 1u);
    ::close(fd);
}

TEST(SimHost, StopCutsAPendingDelayShort)
{
    CSimHost host;
    SimOptions o;
    o.delayMs = INT_MAX;  // a stop that waited for this would hang the test
    host.SetOptions(o);
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(WriteBytes(fd, proto::GetRequest('3')));
    ASSERT_TRUE(WaitUntil([&] { return host.RequestCount() == 1; }));
    host.Stop();
    EXPECT_FALSE(host.IsRunning());
    EXPECT_EQ(host.RepliesSent(), 0u);
    ::close(fd);

    // Same with a split reply waiting between its pieces, left to the destructor.
    auto other = std::make_unique<CSimHost>();
    o = SimOptions{};
    o.split = 2;
    o.splitGapMs = INT_MAX;
    other->SetOptions(o);
    ASSERT_TRUE(other->Start());
    const int fd2 = OpenLine(other->SlavePath());
    ASSERT_GE(fd2, 0);
    ASSERT_TRUE(WriteBytes(fd2, proto::GetRequest('3')));
    std::string first;
    ASSERT_TRUE(WaitUntil([&] {
        char buf[64];
        const ssize_t n = ::read(fd2, buf, sizeof buf);
        if (n > 0)
            first.append(buf, static_cast<std::size_t>(n));
        return !first.empty();
    }));
    EXPECT_EQ(first[0], '\x02');
    other.reset();
    ::close(fd2);
}

TEST(SimHost, StartStopCyclesLeakNoDescriptors)
{
    {
        CSimHost warmUp;  // lets the C library open whatever it keeps open
        ASSERT_TRUE(warmUp.Start());
    }
    const int before = OpenDescriptors();
    CSimHost host;
    for (int k = 0; k < 50; ++k) {
        ASSERT_TRUE(host.Start());
        const int fd = OpenLine(host.SlavePath());
        ASSERT_GE(fd, 0);
        if (k % 10 == 0) {
            EXPECT_EQ(Exchange(fd, proto::GetRequest('C')).data, "0");
        }
        ::close(fd);
        host.Stop();
    }
    EXPECT_EQ(OpenDescriptors(), before);

    // The settings belong to the module, not to one run of the line.
    ModuleState s = host.State();
    s.pin = "7777";
    host.SetState(s);
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);
    EXPECT_EQ(Exchange(fd, proto::GetRequest('4')).data, "7777");
    ::close(fd);
}

TEST(SimHost, DescriptorsAreClosedOnExec)
{
    CSimHost host;
    ASSERT_TRUE(host.Start());
    int checked = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (dirent* e = ::readdir(dir)) {
            char target[PATH_MAX] = {};
            const std::string link = std::string("/proc/self/fd/") + e->d_name;
            const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            const std::string t(target, static_cast<std::size_t>(n));
            if (t == "/dev/ptmx" || t == host.SlavePath() || t.find("eventfd") != std::string::npos) {
                const int fd = std::atoi(e->d_name);
                EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << t;
                ++checked;
            }
        }
        ::closedir(dir);
    }
    EXPECT_GE(checked, 3);
}

namespace {

// Get BDA on the line: the address, or "" when nobody answers within ms.
std::string ProbeAddress(int fd, int ms)
{
    if (!WriteBytes(fd, proto::GetRequest('3')))
        return {};
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!proto::HasCompleteReply(text)) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0)
            return {};
        char buf[64];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
    }
    return proto::ParseReply(text).data;
}

// Probes until an address answers that differs from `previous`.
std::string NextArrival(int fd, const std::string& previous)
{
    std::string address;
    EXPECT_TRUE(WaitUntil([&] {
        address = ProbeAddress(fd, 100);
        return !address.empty() && address != previous;
    }));
    return address;
}

}  // namespace

TEST(SimHost, PlaysALineOfPrintersThatComeAndGo)
{
    CSimHost host;
    LineOptions line;
    line.printers = {{"0019019A0001", false}, {"0019019A0002", true}, {"0019019A0001", false}};
    line.stayMs = 50;
    line.goneMs = 150;
    host.SetLine(line);
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);

    EXPECT_EQ(NextArrival(fd, ""), "0019019A0001");
    EXPECT_EQ(Exchange(fd, *proto::TextRequest('2', "LINE-1")).command, '2');
    // Gone after its stay, then the next one, which refuses names.
    EXPECT_TRUE(WaitUntil([&] { return host.Visits().at(0).left; }));
    EXPECT_EQ(NextArrival(fd, ""), "0019019A0002");
    EXPECT_EQ(Exchange(fd, *proto::TextRequest('2', "LINE-2")).command, '9');
    EXPECT_EQ(Exchange(fd, proto::GetRequest('1')).data, "VENDRILL-PRN");
    // The first printer again, with the name it was given.
    EXPECT_EQ(NextArrival(fd, "0019019A0002"), "0019019A0001");
    EXPECT_EQ(Exchange(fd, proto::GetRequest('1')).data, "LINE-1");
    EXPECT_FALSE(host.LineDone());
    EXPECT_EQ(Exchange(fd, *proto::TextRequest('2', "LINE-3")).command, '2');
    EXPECT_TRUE(WaitUntil([&] { return host.LineDone(); }));
    EXPECT_TRUE(ProbeAddress(fd, 100).empty()) << "nobody is left on the line";

    const std::vector<LineVisit> visits = host.Visits();
    ASSERT_EQ(visits.size(), 3u);
    EXPECT_EQ(visits[0].state.name, "LINE-1");
    EXPECT_EQ(visits[1].state.name, "VENDRILL-PRN");
    EXPECT_EQ(visits[2].state.name, "LINE-3");
    for (const LineVisit& v : visits) {
        EXPECT_TRUE(v.left);
        ASSERT_FALSE(v.journal.empty());
        EXPECT_NE(std::find(v.journal.begin(), v.journal.end(), "?2"), v.journal.end());
    }
    ::close(fd);
    host.Stop();
}

// The host's options hold for every printer of the line, besides what each
// printer does of its own; a printer can take its name and lose the answer.
TEST(SimHost, ItsOptionsHoldForTheWholeLine)
{
    CSimHost host;
    SimOptions refuse;
    refuse.refuseName = true;
    host.SetOptions(refuse);
    LineOptions line;
    line.printers = {{"0019019A0001", false}, {"0019019A0002", false}};
    line.stayMs = 50;
    line.goneMs = 100;
    host.SetLine(line);
    ASSERT_TRUE(host.Start());
    const int fd = OpenLine(host.SlavePath());
    ASSERT_GE(fd, 0);
    std::string previous;
    for (const LinePrinter& p : line.printers) {
        previous = NextArrival(fd, previous);
        EXPECT_EQ(previous, p.address);
        EXPECT_EQ(Exchange(fd, *proto::TextRequest('2', "LINE-1")).command, '9') << p.address;
    }

    CSimHost lossy;
    line.printers = {{"0019019A0003", false, true}};
    lossy.SetLine(line);
    ASSERT_TRUE(lossy.Start());
    const int other = OpenLine(lossy.SlavePath());
    ASSERT_GE(other, 0);
    EXPECT_EQ(NextArrival(other, ""), "0019019A0003");
    ASSERT_TRUE(WriteBytes(other, *proto::TextRequest('2', "LINE-3")));
    // The next answer is the one to Get BDN: the name was taken silently.
    const proto::Reply next = Exchange(other, proto::GetRequest('1'));
    EXPECT_EQ(next.command, '1');
    EXPECT_EQ(next.data, "LINE-3");
    ::close(other);
    ::close(fd);
}
