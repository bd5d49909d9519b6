#pragma once

// Helpers for talking to the simulated module through its pseudo-terminal.

#include "protocol/Protocol.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace simtest {

using namespace vendrill;

inline constexpr auto kPatience = std::chrono::seconds(20);

// Polls pred until it holds or kPatience has passed.
template <typename Pred>
bool WaitUntil(Pred pred)
{
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

inline int OpenLine(const std::string& path)
{
    return ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
}

inline bool WriteBytes(int fd, const proto::Bytes& bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<std::size_t>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
    }
    return true;
}

// Reads fd into a text until done(text) holds, kPatience has passed, or -
// with stopAtEnd - the other side has nothing more to give.
template <typename Done>
std::string ReadUntil(int fd, Done done, bool stopAtEnd)
{
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!done(text)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            text.append(buf, static_cast<std::size_t>(n));
        else if (stopAtEnd)
            break;
    }
    return text;
}

// Reads until the text holds a complete reply, or gives up after kPatience.
// The text keeps everything read, noise included.
inline std::string ReadReply(int fd)
{
    return ReadUntil(fd, [](const std::string& text) { return proto::HasCompleteReply(text); }, false);
}

}  // namespace simtest
