#pragma once

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>

#include <poll.h>

namespace vendrill {

// poll() that carries on after signal interruptions until the deadline, or
// without limit when no deadline is given.
inline int PollUntil(pollfd* fds, nfds_t count, const std::chrono::steady_clock::time_point* deadline)
{
    for (;;) {
        int waitMs = -1;
        if (deadline != nullptr) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(*deadline - std::chrono::steady_clock::now()).count();
            waitMs = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
        }
        const int r = ::poll(fds, count, waitMs);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

// The same for a time-out in milliseconds; negative waits without limit.
inline int PollFor(pollfd* fds, nfds_t count, int timeoutMs)
{
    if (timeoutMs < 0)
        return PollUntil(fds, count, nullptr);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return PollUntil(fds, count, &deadline);
}

}  // namespace vendrill
