#include "sim/SimHost.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <random>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace vendrill {

namespace {

void CloseFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

}  // namespace

std::vector<LinePrinter> NumberedPrinters(int count, std::uint64_t first)
{
    std::vector<LinePrinter> printers;
    if (count < 1 || first > kLastAddress - static_cast<std::uint64_t>(count - 1))
        return printers;
    for (int k = 0; k < count; ++k)
        printers.push_back({AddressText(first + static_cast<std::uint64_t>(k)), false});
    return printers;
}

std::uint64_t RandomFirstAddress(int count)
{
    std::random_device random;
    const std::uint64_t span = 0x100000000ull - static_cast<std::uint64_t>(std::max(count, 1));
    const std::uint64_t low = ((static_cast<std::uint64_t>(random()) << 32) | random()) % span;
    return 0x001900000000ull + low;
}

std::optional<std::uint64_t> ParseAddress(std::string_view hex)
{
    if (hex.size() != 12)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : hex) {
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<std::uint64_t>(digit);
    }
    return value;
}

std::string AddressText(std::uint64_t address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%012llX", static_cast<unsigned long long>(address & kLastAddress));
    return text;
}

void CSimHost::SetLine(const LineOptions& line)
{
    std::lock_guard lock(m_mutex);
    m_line = line;
    m_nextPrinter = 0;
    m_visits.clear();
    m_kept.clear();
    m_lineDeadline.reset();
    m_present = true;
    if (!m_line.printers.empty())
        ArriveNext();
}

void CSimHost::ArriveNext()
{
    m_lineDeadline.reset();
    m_sim.AbortFrame();
    if (m_nextPrinter >= m_line.printers.size()) {
        m_present = false;  // the line has run out
        return;
    }
    const LinePrinter& printer = m_line.printers[m_nextPrinter++];
    ModuleState state = m_line.arrival;
    if (const auto kept = m_kept.find(printer.address); kept != m_kept.end())
        state = kept->second;
    state.address = printer.address;
    m_sim.SetState(state);
    m_sim.ClearJournal();
    m_namesSeen = m_sim.NameRequests();
    m_present = true;
    ApplyOptions();
    m_visits.push_back({printer.address, {}, state, false, std::nullopt, std::nullopt});
}

void CSimHost::Leave()
{
    const ModuleState state = m_sim.State();
    m_kept[state.address] = state;
    m_visits.back().journal = m_sim.Journal();
    m_visits.back().state = state;
    m_visits.back().left = true;
    m_sim.AbortFrame();
    m_present = false;
    m_lineDeadline = Clock::now() + std::chrono::milliseconds(m_line.goneMs);
}

int CSimHost::MsToLineDeadline() const
{
    if (!m_lineDeadline)
        return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(*m_lineDeadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
}

std::vector<LineVisit> CSimHost::Visits() const
{
    std::lock_guard lock(m_mutex);
    std::vector<LineVisit> visits = m_visits;
    if (m_present && !visits.empty() && !visits.back().left) {
        visits.back().journal = m_sim.Journal();
        visits.back().state = m_sim.State();
    }
    return visits;
}

void CSimHost::SwapNow()
{
    std::lock_guard lock(m_mutex);
    if (m_present && !m_line.printers.empty())
        Leave();
    ArriveNext();
}

bool CSimHost::LineDone() const
{
    std::lock_guard lock(m_mutex);
    return !m_line.printers.empty() && m_nextPrinter >= m_line.printers.size() && !m_present && !m_lineDeadline;
}

bool CSimHost::Start()
{
    if (m_thread.joinable())
        return true;

    // posix_openpt rather than openpty: it takes O_CLOEXEC, so no descriptor
    // can leak into a program started by another thread meanwhile.
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return false;
    char name[PATH_MAX] = {};
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0 || ::ptsname_r(m_master, name, sizeof name) != 0) {
        CloseAll();
        return false;
    }
    // The host keeps a descriptor of the slave side open for as long as it
    // runs. Without it, the line hangs up whenever the tool closes the port:
    // the master then reports POLLHUP/EIO until the next open, and bytes the
    // module had answered would be lost in between.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        CloseAll();
        return false;
    }
    termios tio{};
    if (::tcgetattr(m_slave, &tio) != 0) {
        CloseAll();
        return false;
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(m_slave, TCSANOW, &tio) != 0) {
        CloseAll();
        return false;
    }
    const int flags = ::fcntl(m_master, F_GETFL);
    if (flags < 0 || ::fcntl(m_master, F_SETFL, flags | O_NONBLOCK) != 0) {
        CloseAll();
        return false;
    }
    m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wake < 0) {
        CloseAll();
        return false;
    }

    {
        std::lock_guard lock(m_mutex);
        m_sim.AbortFrame();
        m_slavePath = name;
    }
    m_running = true;
    try {
        m_thread = std::thread(&CSimHost::Run, this);
    } catch (const std::system_error&) {
        m_running = false;
        CloseAll();
        return false;
    }
    return true;
}

void CSimHost::Stop()
{
    if (m_thread.joinable()) {
        const std::uint64_t one = 1;
        // The eventfd stays readable, so every wait of the thread ends.
        while (::write(m_wake, &one, sizeof one) < 0 && errno == EINTR) {
        }
        m_thread.join();
    }
    CloseAll();
}

bool CSimHost::IsRunning() const
{
    return m_running.load();
}

void CSimHost::CloseAll()
{
    CloseFd(m_wake);
    CloseFd(m_slave);
    CloseFd(m_master);
    std::lock_guard lock(m_mutex);
    m_slavePath.clear();
}

std::string CSimHost::SlavePath() const
{
    std::lock_guard lock(m_mutex);
    return m_slavePath;
}

void CSimHost::SetOptions(const SimOptions& options)
{
    std::lock_guard lock(m_mutex);
    m_options = options;
    ApplyOptions();
}

void CSimHost::ApplyOptions()
{
    SimOptions options = m_options;
    if (m_present && m_nextPrinter > 0 && m_nextPrinter <= m_line.printers.size()) {
        const LinePrinter& printer = m_line.printers[m_nextPrinter - 1];
        options.refuseName = options.refuseName || printer.refuseName;
        options.loseNameAck = options.loseNameAck || printer.loseNameAck;
    }
    m_sim.SetOptions(options);
}

SimOptions CSimHost::Options() const
{
    std::lock_guard lock(m_mutex);
    return m_options;
}

ModuleState CSimHost::State() const
{
    std::lock_guard lock(m_mutex);
    return m_sim.State();
}

void CSimHost::SetState(const ModuleState& state)
{
    std::lock_guard lock(m_mutex);
    m_sim.SetState(state);
}

std::vector<std::string> CSimHost::PrintedLines() const
{
    std::lock_guard lock(m_mutex);
    return m_sim.PrintedLines();
}

void CSimHost::ClearPrinted()
{
    std::lock_guard lock(m_mutex);
    m_sim.ClearPrinted();
}

std::uint64_t CSimHost::RequestCount() const
{
    std::lock_guard lock(m_mutex);
    return m_sim.RequestCount();
}

bool CSimHost::InFrame() const
{
    std::lock_guard lock(m_mutex);
    return m_sim.InFrame();
}

std::uint64_t CSimHost::RepliesSent() const
{
    return m_repliesSent.load();
}

// Waits ms milliseconds; false as soon as Stop() asks the thread to end.
bool CSimHost::WaitOrStop(int ms) const
{
    pollfd wake{m_wake, POLLIN, 0};
    for (;;) {
        const int r = ::poll(&wake, 1, ms);
        if (r > 0)
            return false;
        if (r == 0)
            return true;
        if (errno != EINTR)
            return false;
        // An interrupted wait starts over; replies come late rather than early.
    }
}

bool CSimHost::WaitOrStopUs(long long us) const
{
    const auto until = Clock::now() + std::chrono::microseconds(us);
    pollfd wake{m_wake, POLLIN, 0};
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(until - Clock::now()).count();
        if (left <= 0)
            return true;
        const timespec ts{static_cast<time_t>(left / 1000000000), static_cast<long>(left % 1000000000)};
        const int r = ::ppoll(&wake, 1, &ts, nullptr);
        if (r > 0)
            return false;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

// Wire time of n bytes at the pace rate: a start bit, 8 data bits, a stop bit.
bool CSimHost::PaceBytes(std::size_t n) const
{
    const int baud = m_paceBaud.load();
    if (baud <= 0 || n == 0)
        return true;
    return WaitOrStopUs(static_cast<long long>(n) * 10 * 1000000 / baud);
}

bool CSimHost::WriteAll(const proto::Bytes& bytes) const
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The line's buffer is full (the tool is not reading): wait for room.
        pollfd fds[2] = {{m_master, POLLOUT, 0}, {m_wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR)
            return false;
        if (fds[1].revents & POLLIN)
            return false;
        if (fds[0].revents & (POLLERR | POLLNVAL))
            return false;
    }
    return true;
}

void CSimHost::Run()
{
    // Paced bytes should leave on time, not up to the default 50 us late
    // per wait.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Serve();
    m_running = false;
}

void CSimHost::TellSettings()
{
    if (!m_settingsHook)
        return;
    ModuleState state;
    {
        std::lock_guard lock(m_mutex);
        if (!m_present)
            return;
        state = m_sim.State();
    }
    if (m_told && m_told->address == state.address && m_told->name == state.name && m_told->pin == state.pin)
        return;
    m_told = state;
    m_settingsHook(state);
}

void CSimHost::Serve()
{
    std::uint8_t buffer[4096];
    for (;;) {
        TellSettings();
        bool inFrame;
        {
            std::lock_guard lock(m_mutex);
            inFrame = m_sim.InFrame();
        }
        pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wake, POLLIN, 0}};
        int timeout = inFrame ? kFrameTimeoutMs : -1;
        {
            std::lock_guard lock(m_mutex);
            const int line = MsToLineDeadline();
            if (line >= 0 && (timeout < 0 || line < timeout))
                timeout = line;
        }
        const int r = ::poll(fds, 2, timeout);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents & POLLIN)
            return;
        {
            // Checked on every wake: requests keep coming while a printer leaves.
            std::lock_guard lock(m_mutex);
            if (m_lineDeadline && Clock::now() >= *m_lineDeadline) {
                if (m_present)
                    Leave();
                else
                    ArriveNext();
            } else if (r == 0 && inFrame) {
                m_sim.AbortFrame();
            }
        }
        if (r == 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                    continue;
                return;
            }
            if (n == 0)
                return;
            // The request's last byte arrives only after its wire time.
            if (!PaceBytes(static_cast<std::size_t>(n)))
                return;
            std::vector<proto::Bytes> replies;
            SimOptions options;
            {
                std::lock_guard lock(m_mutex);
                if (!m_present)
                    continue;  // nobody on the line hears it
                replies = m_sim.Feed(buffer, static_cast<std::size_t>(n));
                options = m_sim.Options();
                if (!m_line.printers.empty() && m_sim.NameRequests() != m_namesSeen) {
                    m_namesSeen = m_sim.NameRequests();
                    if (!m_visits.empty() && !m_visits.back().nameHeard)
                        m_visits.back().nameHeard = Clock::now();
                    m_lineDeadline = Clock::now() + std::chrono::milliseconds(m_line.stayMs);
                }
            }
            for (const proto::Bytes& reply : replies) {
                if (options.delayMs > 0 && !WaitOrStop(options.delayMs))
                    return;
                const std::size_t command = options.noise.size() + 3;
                if (options.nameAckDelayMs > 0 && reply.size() > command && reply[command] == proto::CMD_SET_BDN &&
                    !WaitOrStop(options.nameAckDelayMs))
                    return;
                const std::vector<proto::Bytes> pieces = SplitBytes(reply, options.split);
                for (std::size_t k = 0; k < pieces.size(); ++k) {
                    if (k > 0 && options.splitGapMs > 0 && !WaitOrStop(options.splitGapMs))
                        return;
                    if (!PaceBytes(pieces[k].size()) || !WriteAll(pieces[k]))
                        return;
                }
                ++m_repliesSent;
                std::lock_guard lock(m_mutex);
                if (m_present && !m_visits.empty() && !m_visits.back().firstAnswer)
                    m_visits.back().firstAnswer = Clock::now();
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            // Cannot happen while the host holds the slave open; leaving the
            // loop keeps a broken line from spinning.
            return;
        }
    }
}

}  // namespace vendrill
