#include "app/cli/Interrupt.h"

#include "link/Poll.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace vendrill::cli {

namespace {

// Both are touched by the handler, so both must be lock-free.
std::atomic<int> g_signal{0};
std::atomic<int> g_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

void OnSignal(int sig)
{
    const int savedErrno = errno;
    int none = 0;
    g_signal.compare_exchange_strong(none, sig);
    // The event is never read back, so it stays readable for every poll.
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(g_fd.load(), &one, sizeof one);
    errno = savedErrno;
}

}  // namespace

bool InstallInterruptHandling()
{
    if (g_fd.load() >= 0)
        return true;
    const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0)
        return false;
    g_fd.store(fd);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : kSignals)
        sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESTART;
    bool ok = true;
    for (int sig : kSignals)
        ok = ::sigaction(sig, &action, nullptr) == 0 && ok;
    return ok;
}

int InterruptSignal()
{
    return g_signal.load();
}

int InterruptFd()
{
    return g_fd.load();
}

bool PauseOrInterrupt(int ms)
{
    if (InterruptSignal() != 0)
        return false;
    pollfd p{InterruptFd(), POLLIN, 0};
    // Without the interrupt descriptor this is a plain pause.
    const bool routed = p.fd >= 0;
    return PollFor(routed ? &p : nullptr, routed ? 1 : 0, ms) <= 0 && InterruptSignal() == 0;
}

}  // namespace vendrill::cli
