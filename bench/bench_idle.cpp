// What the tool costs while it sits open: CPU time of the whole process over
// a stretch of seconds with the window shown and
//   window   - no link open,
//   serial   - a serial link open to a quiet simulated module (pseudo-terminal),
//   usb      - a USB link open to a quiet printer in a umockdev test bed,
//   usbfloor - no link, but the bare reader loop the USB design imposes:
//              every 50 ms one read of the quiet printer node and one
//              notification handled by the window thread.
// One mode per process. Prints the CPU time and, per thread, where it went.
// GLib's headers name a member "signals", which Qt defines as a keyword: they
// come first.
#include <umockdev.h>

#include "BenchRow.h"

#include "base/Trace.h"
#include "link/Queue.h"
#include "sim/SimHost.h"
#include "ui/ControlTable.h"
#include "ui/VendrillDlg.h"

#include <QApplication>
#include <QTimer>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

using namespace vendrill;

#ifndef VENDRILL_BENCH_DATA
#error "VENDRILL_BENCH_DATA must name the tests/data folder"
#endif

namespace {

double ProcessCpuMs()
{
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

struct ThreadCpu {
    std::string name;
    double ms = 0;
};

// CPU time so far of each thread of this process, from the scheduler's
// nanosecond account.
std::map<int, ThreadCpu> ThreadTimes()
{
    std::map<int, ThreadCpu> out;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir)
        return out;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream sched(base + "/schedstat");
        std::ifstream comm(base + "/comm");
        double ns = 0;
        if (!(sched >> ns))
            continue;
        ThreadCpu t;
        std::getline(comm, t.name);
        t.ms = ns / 1e6;
        out[std::atoi(e->d_name)] = t;
    }
    ::closedir(dir);
    return out;
}

// Where the CPU time went: each thread but the main one by the scheduler's
// account; the main thread gets the rest of the process total, which keeps
// the cost of reading /proc out of the figures.
std::string Breakdown(double totalMs, const std::map<int, ThreadCpu>& before, const std::map<int, ThreadCpu>& after)
{
    const int mainTid = static_cast<int>(::getpid());
    double others = 0;
    std::string text;
    for (const auto& [tid, t] : after) {
        if (tid == mainTid)
            continue;
        const auto b = before.find(tid);
        const double ms = t.ms - (b == before.end() ? 0 : b->second.ms);
        others += ms;
        if (ms < 0.001)
            continue;  // threads that slept throughout
        text += ", " + t.name + "[" + std::to_string(tid) + "] " + vbench::Fmt("%.3f ms", ms);
    }
    return "main thread " + vbench::Fmt("%.3f ms", totalMs - others) + text + (text.empty() ? ", no other thread ran" : "");
}

bool PreloadActive()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload && std::strstr(preload, "libumockdev-preload");
}

// udev and /dev are redirected into the test bed only when the umockdev
// preload library is loaded at process start: start again with it.
void RestartWithPreload(char** argv)
{
    const char* old = std::getenv("LD_PRELOAD");
    std::string preload = "libumockdev-preload.so.0";
    if (old && *old)
        preload += std::string(":") + old;
    ::setenv("LD_PRELOAD", preload.c_str(), 1);
    ::execv("/proc/self/exe", argv);
    std::perror("bench_idle: cannot restart with the umockdev preload");
    std::exit(1);
}

// Stands in for the window's handler of the reader's notification when the
// queue is empty: count the queue, nothing else.
class Receiver : public QObject {
public:
    CQueue queue;
    long notifications = 0;
    bool event(QEvent* e) override
    {
        if (e->type() != CVendrillDlg::kCommEvent)
            return QObject::event(e);
        ++notifications;
        return queue.GetCount() >= 0;
    }
};

// The reader loop that the USB design sets as the floor: pause 50 ms, read
// the node once (nothing there), announce the read.
class FloorReader {
public:
    FloorReader(int fd, Receiver* receiver) : m_fd(fd), m_receiver(receiver)
    {
        m_thread = std::thread([this] { Run(); });
    }
    ~FloorReader()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        m_thread.join();
    }

private:
    void Run()
    {
        std::uint8_t buffer[CQueue::QUEUE_SIZE];
        std::unique_lock lock(m_mutex);
        while (!m_cv.wait_for(lock, std::chrono::milliseconds(50), [this] { return m_stop; })) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer - 1);
            if (n > 0)
                StoreChunk(m_receiver->queue, buffer, static_cast<int>(n));
            QCoreApplication::postEvent(m_receiver, new QEvent(CVendrillDlg::kCommEvent));
        }
    }

    int m_fd;
    Receiver* m_receiver;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_stop = false;  // guarded by m_mutex
    std::thread m_thread;
};

int Usage()
{
    std::fprintf(stderr, "usage: bench_idle window|serial|usb|usbfloor [--seconds N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return Usage();
    const std::string mode = argv[1];
    if (mode != "window" && mode != "serial" && mode != "usb" && mode != "usbfloor")
        return Usage();
    double seconds = 10;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else
            return Usage();
    }
    const bool usbBed = mode == "usb" || mode == "usbfloor";
    if (usbBed && !PreloadActive())
        RestartWithPreload(argv);

    vendrill::InitTrace();
    CSimHost module;
    UMockdevTestbed* bed = nullptr;
    int printerNode = -1;
    if (mode == "serial") {
        if (!module.Start()) {
            std::fprintf(stderr, "bench_idle: cannot start the simulated module\n");
            return 1;
        }
        ::setenv("VENDRILL_COM1", module.SlavePath().c_str(), 1);
    }
    if (usbBed) {
        bed = umockdev_testbed_new();
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_file(bed, VENDRILL_BENCH_DATA "/printer_2a92.umockdev", &error)) {
            std::fprintf(stderr, "bench_idle: cannot load the USB test bed: %s\n", error ? error->message : "?");
            return 1;
        }
        // The printer's side stays quiet; raw, so nothing is echoed back.
        const int printer = umockdev_testbed_get_dev_fd(bed, "/dev/usb/lp0");
        termios tio{};
        if (printer >= 0 && ::tcgetattr(printer, &tio) == 0) {
            ::cfmakeraw(&tio);
            ::tcsetattr(printer, TCSANOW, &tio);
        }
    }

    int status = 0;
    {
        QApplication app(argc, argv);
        CVendrillDlg dlg;
        dlg.m_messageBoxHook = [](const QString& text) {
            std::fprintf(stderr, "bench_idle: message: %s\n", text.toUtf8().constData());
        };
        dlg.show();
        std::unique_ptr<Receiver> receiver;
        std::unique_ptr<FloorReader> floorReader;
        if (mode == "serial") {
            dlg.OnBnClickedOpen();
            if (dlg.m_Status != "Success") {
                std::fprintf(stderr, "bench_idle: serial Open failed: %s\n", dlg.m_Status.c_str());
                return 1;
            }
        } else if (mode == "usb") {
            dlg.CheckDlgButton(vendrill::idc::Serial, false);
            dlg.CheckDlgButton(vendrill::idc::Usb, true);
            dlg.OnBnClickedUsb();
            dlg.OnBnClickedOpen();
            if (dlg.m_Status != "USB connection success") {
                std::fprintf(stderr, "bench_idle: USB Open failed: %s\n", dlg.m_Status.c_str());
                return 1;
            }
        } else if (mode == "usbfloor") {
            printerNode = ::open("/dev/usb/lp0", O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (printerNode < 0) {
                std::perror("bench_idle: cannot open /dev/usb/lp0 in the test bed");
                return 1;
            }
            receiver = std::make_unique<Receiver>();
            floorReader = std::make_unique<FloorReader>(printerNode, receiver.get());
        }

        // Let start-up work settle, then measure.
        double cpuStart = 0;
        std::map<int, ThreadCpu> threadsStart;
        std::chrono::steady_clock::time_point wallStart;
        // Precise timers: a coarse one may fire 5 % early and shorten the stretch.
        QTimer::singleShot(1000, Qt::PreciseTimer, &app, [&] {
            threadsStart = ThreadTimes();
            cpuStart = ProcessCpuMs();
            wallStart = std::chrono::steady_clock::now();
            QTimer::singleShot(static_cast<int>(seconds * 1000), Qt::PreciseTimer, &app, [&] {
                const double cpu = ProcessCpuMs() - cpuStart;
                const double wallMs =
                    std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wallStart).count();
                const auto threadsEnd = ThreadTimes();
                std::fprintf(stderr, "IDLE\t%s\t%.3f\t%.1f\t%s\n", mode.c_str(), cpu, wallMs,
                             Breakdown(cpu, threadsStart, threadsEnd).c_str());
                app.quit();
            });
        });
        app.exec();
        floorReader.reset();
        if (mode == "serial" || mode == "usb")
            dlg.OnBnClickedClose();
        if (dlg.IsWatcherRunning() || dlg.IsUsbReaderRunning())
            status = 1;
    }
    if (printerNode >= 0)
        ::close(printerNode);
    module.Stop();
    if (bed)
        g_object_unref(bed);
    return status;
}
