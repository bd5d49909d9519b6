#include "link/UsbWatch.h"

#include "link/Poll.h"

#include <libudev.h>

#include <cerrno>

#include <poll.h>

namespace vendrill::usb {

CUsbWatch::~CUsbWatch()
{
    if (m_monitor)
        udev_monitor_unref(m_monitor);
    if (m_udev)
        udev_unref(m_udev);
}

bool CUsbWatch::Start(const char* subsystem)
{
    if (m_monitor)
        return true;
    m_udev = udev_new();
    if (!m_udev)
        return false;
    m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
    if (!m_monitor || udev_monitor_filter_add_match_subsystem_devtype(m_monitor, subsystem, nullptr) < 0 ||
        udev_monitor_enable_receiving(m_monitor) < 0) {
        if (m_monitor)
            udev_monitor_unref(m_monitor);
        m_monitor = nullptr;
        return false;
    }
    return true;
}

WaitResult CUsbWatch::Wait(int otherFd, int timeoutMs)
{
    if (!m_monitor)
        return WaitResult::Error;
    pollfd fds[2] = {{udev_monitor_get_fd(m_monitor), POLLIN, 0}, {otherFd, POLLIN, 0}};
    const int r = PollFor(fds, otherFd >= 0 ? 2 : 1, timeoutMs);
    if (r < 0)
        return WaitResult::Error;
    if (r == 0)
        return WaitResult::TimedOut;
    if (otherFd >= 0 && fds[1].revents)
        return WaitResult::Woken;
    if (fds[0].revents & POLLIN)
        return WaitResult::Ready;
    return WaitResult::Error;
}

std::vector<CUsbWatch::Event> CUsbWatch::Take()
{
    std::vector<Event> events;
    if (!m_monitor)
        return events;
    // The monitor's socket is non-blocking: receive until it is empty.
    while (udev_device* dev = udev_monitor_receive_device(m_monitor)) {
        const char* action = udev_device_get_action(dev);
        const char* node = udev_device_get_devnode(dev);
        events.push_back({action ? action : "", node ? node : ""});
        udev_device_unref(dev);
    }
    return events;
}

}  // namespace vendrill::usb
