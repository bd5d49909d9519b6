#include "link/WakeEvent.h"

#include "link/Link.h"

#include "link/Poll.h"

#include <cerrno>
#include <cstdint>

#include <sys/eventfd.h>
#include <unistd.h>

namespace vendrill {

CWakeEvent::CWakeEvent() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (m_fd < 0)
        m_error = errno;
}

CWakeEvent::~CWakeEvent()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

void CWakeEvent::Raise()
{
    if (m_fd < 0)
        return;
    const std::uint64_t one = 1;
    // EAGAIN would mean the counter is saturated, i.e. already raised.
    while (::write(m_fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void CWakeEvent::Reset()
{
    if (m_fd < 0)
        return;
    std::uint64_t value = 0;
    while (::read(m_fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

bool CWakeEvent::Wait(int timeoutMs) const
{
    if (m_fd < 0) {
        if (timeoutMs >= 0)
            vendrill::PollFor(nullptr, 0, timeoutMs);
        return false;
    }
    pollfd p{m_fd, POLLIN, 0};
    return vendrill::PollFor(&p, 1, timeoutMs) > 0 && (p.revents & POLLIN);
}

void CLink::Fail(int err)
{
    m_lastError.store(err, std::memory_order_relaxed);
    errno = err;
}

}  // namespace vendrill
