// Get Info and Set BDN as a technician feels them: the real dialog and serial
// link (offscreen) against the simulated module on a pseudo-terminal, timed
// from the button press to the last field filled. The floor is what the
// design imposes: one 200 ms coalescing pause per reply, plus the module's
// own answer time, measured in the same run on a second simulated module
// with a raw round trip per request.
#include "BenchRow.h"

#include "base/Trace.h"
#include "protocol/Protocol.h"
#include "sim/ModuleSim.h"
#include "sim/SimHost.h"
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QAbstractButton>
#include <QApplication>
#include <QTimer>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace vendrill;

using Clock = std::chrono::steady_clock;
using vendrill::idc::CheckBDN;

namespace {

constexpr double kPauseMs = 200.0;  // the watcher's coalescing pause per reply
constexpr int kRunTimeoutMs = 10000;

double MsBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

// Times every delivery of the reader's notification to the dialog, and notes
// the moment the run's last field is filled, right after the handler that
// filled it.
class TimedApp : public QApplication {
public:
    using QApplication::QApplication;

    QObject* dialog = nullptr;
    std::function<bool()> donePredicate;
    std::vector<double> handlingMs;  // per notification of the current run
    std::vector<Clock::time_point> deliveredAt;
    bool done = false;
    Clock::time_point doneAt;

    bool notify(QObject* receiver, QEvent* e) override
    {
        if (receiver != dialog || e->type() != CVendrillDlg::kCommEvent)
            return QApplication::notify(receiver, e);
        const auto start = Clock::now();
        const bool result = QApplication::notify(receiver, e);
        const auto end = Clock::now();
        handlingMs.push_back(MsBetween(start, end));
        deliveredAt.push_back(start);
        if (!done && donePredicate && donePredicate()) {
            done = true;
            doneAt = end;
        }
        return result;
    }
};

// The raw side of the second simulated module: a request written, the time
// until its complete reply can be read.
class RawProbe {
public:
    bool Open(const std::string& path)
    {
        m_fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
        if (m_fd < 0)
            return false;
        termios tio{};
        if (::tcgetattr(m_fd, &tio) != 0)
            return false;
        ::cfmakeraw(&tio);
        ::cfsetspeed(&tio, B57600);
        return ::tcsetattr(m_fd, TCSANOW, &tio) == 0;
    }
    ~RawProbe()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    // Milliseconds from the write to the reply's ETX being readable; < 0 on failure.
    double RoundTrip(const proto::Bytes& request)
    {
        const auto start = Clock::now();
        if (::write(m_fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            return -1;
        std::uint8_t buf[256];
        bool sawEtx = false;
        while (!sawEtx) {
            pollfd p{m_fd, POLLIN, 0};
            const int r = ::poll(&p, 1, 2000);
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return -1;
            const ssize_t n = ::read(m_fd, buf, sizeof buf);
            if (n < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (n <= 0)
                return -1;
            sawEtx = std::memchr(buf, proto::ETX, static_cast<std::size_t>(n)) != nullptr;
        }
        return MsBetween(start, Clock::now());
    }

private:
    int m_fd = -1;
};

struct Series {
    std::vector<double> totalMs;
    std::vector<double> moduleMs;    // sum of the module's answer times of the chain
    std::vector<double> handlingMs;  // per reply, the window's handling incl. the next write
    std::vector<double> clickMs;       // the button's own handler, up to the first write
    std::vector<double> beyondPauseMs; // per reply: reply-to-reply time less pause and handling
    int failures = 0;
};

bool ProbeChain(RawProbe& probe, const std::vector<proto::Bytes>& requests, double& sumMs)
{
    sumMs = 0;
    for (const auto& request : requests) {
        const double ms = probe.RoundTrip(request);
        if (ms < 0)
            return false;
        sumMs += ms;
    }
    return true;
}

// Presses the button and runs the event loop until the run is done or its
// time is up. The guard timer only makes sure the wait wakes up now and then.
bool TimedPress(TimedApp& app, QAbstractButton* button, std::function<bool()> done, int replies, Series& s,
                double moduleMs)
{
    app.handlingMs.clear();
    app.deliveredAt.clear();
    app.done = false;
    app.donePredicate = std::move(done);
    QTimer guard;
    guard.start(250);
    const auto start = Clock::now();
    button->click();
    const auto clicked = Clock::now();
    while (!app.done && MsBetween(start, Clock::now()) < kRunTimeoutMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    app.donePredicate = nullptr;
    if (!app.done || static_cast<int>(app.handlingMs.size()) != replies)
        return false;
    s.totalMs.push_back(MsBetween(start, app.doneAt));
    s.moduleMs.push_back(moduleMs);
    s.clickMs.push_back(MsBetween(start, clicked));
    s.handlingMs.insert(s.handlingMs.end(), app.handlingMs.begin(), app.handlingMs.end());
    // From a request's write to its reply's delivery, less the pause.
    s.beyondPauseMs.push_back(MsBetween(clicked, app.deliveredAt[0]) - kPauseMs);
    for (int k = 1; k < replies; ++k) {
        const double gap = MsBetween(app.deliveredAt[static_cast<std::size_t>(k - 1)],
                                     app.deliveredAt[static_cast<std::size_t>(k)]);
        s.beyondPauseMs.push_back(gap - app.handlingMs[static_cast<std::size_t>(k - 1)] - kPauseMs);
    }
    return true;
}

// Two parts of the time between a reply's arrival and its handling, measured
// on their own: how late a 200 ms wait on a descriptor ends (the watcher's
// pause), and how long an event posted by another thread takes to reach the
// window thread waiting in its event loop.
struct Calibration {
    double pauseOvershootMs = 0;
    double postToDeliveryMs = 0;
};

class StampEvent : public QEvent {
public:
    explicit StampEvent(Clock::time_point t) : QEvent(QEvent::Type(QEvent::User + 100)), posted(t) {}
    Clock::time_point posted;
};

class StampReceiver : public QObject {
public:
    std::vector<double> latencyMs;
    bool event(QEvent* e) override
    {
        if (e->type() != QEvent::User + 100)
            return QObject::event(e);
        latencyMs.push_back(MsBetween(static_cast<StampEvent*>(e)->posted, Clock::now()));
        return true;
    }
};

Calibration Calibrate()
{
    Calibration c;
    std::vector<double> overshoot;
    const int quiet = ::eventfd(0, EFD_CLOEXEC);
    for (int k = 0; k < 3 && quiet >= 0; ++k) {
        pollfd p{quiet, POLLIN, 0};
        const auto t = Clock::now();
        ::poll(&p, 1, static_cast<int>(kPauseMs));
        overshoot.push_back(MsBetween(t, Clock::now()) - kPauseMs);
    }
    if (quiet >= 0)
        ::close(quiet);
    c.pauseOvershootMs = vbench::Summarise(overshoot).median;

    constexpr int kPosts = 20;
    StampReceiver receiver;
    std::thread poster([&receiver] {
        for (int k = 0; k < kPosts; ++k) {
            // Spaced out, so that each post finds the window thread asleep.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QCoreApplication::postEvent(&receiver, new StampEvent(Clock::now()));
        }
    });
    const auto start = Clock::now();
    while (static_cast<int>(receiver.latencyMs.size()) < kPosts && MsBetween(start, Clock::now()) < 5000)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    poster.join();
    QCoreApplication::sendPostedEvents(&receiver);
    c.postToDeliveryMs = vbench::Summarise(receiver.latencyMs).median;
    return c;
}

void Report(const char* what, const Series& s, int chainReplies, const Calibration& cal)
{
    using namespace vbench;
    const Stats total = Summarise(s.totalMs);
    const Stats module = Summarise(s.moduleMs);
    const Stats handling = Summarise(s.handlingMs);
    const double floorMs = chainReplies * kPauseMs + module.median;
    Row(std::string(what) + " round trip, press -> last field (" + std::to_string(total.n) + " runs, min/med/max)",
        MinMedMax(total, "ms"),
        Fmt("%.1f ms", floorMs) + " (" + std::to_string(chainReplies) + " x 200 ms + module " +
            Fmt("%.2f ms", module.median) + ")",
        total.median / floorMs, "<= 1.05",
        s.failures ? std::to_string(s.failures) + " runs failed" : "");
    Row(std::string(what) + ": module answer time, whole chain (raw pty round trips)", MinMedMax(module, "ms", "%.3f"),
        "-", NAN, "-", "measured interleaved with the runs on a second simulated module");
    // Reply of 17 bytes at 115200 baud: what the line needs per reply.
    const double lineMs = 17 * 1e3 / 11520.0;
    Row(std::string(what) + ": window handling per reply (decode, fields, log, next write)",
        MinMedMax(handling, "ms", "%.3f"), Fmt("%.2f ms (17-byte reply at 115200 baud)", lineMs),
        handling.median / lineMs, "far below 1");
    const Stats click = Summarise(s.clickMs);
    const Stats beyond = Summarise(s.beyondPauseMs);
    Note(std::string(what) + ": median " + Fmt("%.1f ms", total.median) + " over the floor " +
         Fmt("%.1f ms", floorMs) + " = " + Fmt("%+.2f ms", total.median - floorMs) + ". Per reply (x" +
         std::to_string(chainReplies) + "): window handling " + Fmt("%.3f ms", handling.median) +
         " (decode, fields, log line, next request written); request written -> reply delivered, beyond the 200 ms pause, " +
         Fmt("%.3f ms", beyond.median) + " (module and pty " + Fmt("%.3f ms", module.median / chainReplies) +
         ", pause overshoot " + Fmt("%.3f ms", cal.pauseOvershootMs) + ", thread-to-window event " +
         Fmt("%.3f ms", cal.postToDeliveryMs) + ", the rest is the watcher's drain reads and scheduling). Button handler before the first write: " +
         Fmt("%.3f ms", click.median) + ".");
}

int Usage()
{
    std::fprintf(stderr, "usage: bench_roundtrip [--runs N] [--set-runs N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 30;
    int setRuns = 20;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--set-runs") && i + 1 < argc)
            setRuns = std::atoi(argv[++i]);
        else
            return Usage();
    }
    if (runs < 1 || setRuns < 1)
        return Usage();

    vendrill::InitTrace();
    CSimHost module;
    CSimHost probeModule;
    if (!module.Start() || !probeModule.Start()) {
        std::fprintf(stderr, "bench_roundtrip: cannot start the simulated module\n");
        return 1;
    }
    ::setenv("VENDRILL_COM1", module.SlavePath().c_str(), 1);
    RawProbe probe;
    if (!probe.Open(probeModule.SlavePath())) {
        std::fprintf(stderr, "bench_roundtrip: cannot open %s\n", probeModule.SlavePath().c_str());
        return 1;
    }

    int status = 0;
    {
        TimedApp app(argc, argv);
        CVendrillDlg dlg;
        QStringList boxes;
        dlg.m_messageBoxHook = [&boxes](const QString& text) { boxes << text; };
        app.dialog = &dlg;
        dlg.show();
        dlg.OnBnClickedOpen();
        if (dlg.m_Status != "Success") {
            std::fprintf(stderr, "bench_roundtrip: Open failed: %s\n", dlg.m_Status.c_str());
            return 1;
        }
        auto* getInfo = qobject_cast<QAbstractButton*>(dlg.GetDlgItem(vendrill::idc::GetInfo));
        auto* setBdn = qobject_cast<QAbstractButton*>(dlg.GetDlgItem(vendrill::idc::SetBDN));
        dlg.CheckDlgButton(CheckBDN, true);
        dlg.OnBnClickedCheckBDN();

        const Calibration cal = Calibrate();
        const std::vector<proto::Bytes> getChain = {proto::GetRequest('3'), proto::GetRequest('4'),
                                                    proto::GetRequest('1'), proto::GetRequest('6')};
        Series info;
        for (int r = 0; r < runs; ++r) {
            double moduleMs = 0;
            if (!ProbeChain(probe, getChain, moduleMs)) {
                ++info.failures;
                continue;
            }
            dlg.ClearDisplayedValues();
            if (!TimedPress(app, getInfo, [&dlg] { return !dlg.m_CurrentLevel.empty(); }, 4, info, moduleMs) ||
                dlg.m_CurrentBDA != ModuleState{}.address)
                ++info.failures;
        }

        Series setName;
        for (int r = 0; r < setRuns; ++r) {
            const std::string name = r % 2 ? "BENCH-ODD" : "BENCH-EVEN";
            std::vector<proto::Bytes> chain = {*proto::TextRequest('2', name)};
            chain.insert(chain.end(), getChain.begin(), getChain.end());
            double moduleMs = 0;
            if (!ProbeChain(probe, chain, moduleMs)) {
                ++setName.failures;
                continue;
            }
            dlg.ClearDisplayedValues();
            dlg.SetDlgItemText(vendrill::idc::SetBDNEdit, name);
            const auto nameRead = [&dlg, &name] { return !dlg.m_CurrentLevel.empty() && dlg.m_CurrentBDN == name; };
            if (!TimedPress(app, setBdn, nameRead, 5, setName, moduleMs))
                ++setName.failures;
        }
        dlg.OnBnClickedClose();
        if (!boxes.isEmpty()) {
            std::fprintf(stderr, "bench_roundtrip: unexpected message: %s\n", boxes.front().toUtf8().constData());
            status = 1;
        }
        if (info.totalMs.empty() || setName.totalMs.empty()) {
            std::fprintf(stderr, "bench_roundtrip: no run completed\n");
            status = 1;
        } else {
            Report("Get Info", info, 4, cal);
            Report("Set BDN + read-back", setName, 5, cal);
        }
    }
    module.Stop();
    probeModule.Stop();
    return status;
}
