#include "link/UsbPrinter.h"

#include "base/Trace.h"
#include "link/Poll.h"

#include <libudev.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <chrono>
#include <cstdint>
#include <limits>
#include <memory>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace vendrill::usb {

namespace {

constexpr std::size_t kPrefixLength = 4;     // "\\?\"
constexpr std::size_t kVendorOffset = 8;     // USB\VID_xxxx
constexpr std::size_t kProductOffset = 17;   // USB\VID_xxxx&PID_xxxx
constexpr std::size_t kIdLength = 4;

char UpperAscii(char c)
{
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

char LowerAscii(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string KeyField(const std::string& key, std::size_t offset)
{
    return offset < key.size() ? key.substr(offset, kIdLength) : std::string();
}

// Keeps a device-supplied string from adding separators or control bytes.
std::string SafePart(std::string_view text, bool lower)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '#' || c == '\\')
            out.push_back('_');
        else
            out.push_back(lower ? LowerAscii(c) : c);
    }
    return out;
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <typename T>
using UdevPtr = std::unique_ptr<T, UdevDeleter>;

constexpr std::string_view kPrinterNodePrefix = "/dev/usb/lp";

// Node number of /dev/usb/lpN; nodes with an odd name sort last.
unsigned long NodeNumber(std::string_view node)
{
    constexpr unsigned long kOdd = std::numeric_limits<unsigned long>::max();
    std::string_view digits = node.substr(kPrinterNodePrefix.size());
    if (digits.empty() || digits.size() > 9)
        return kOdd;
    unsigned long n = 0;
    for (char c : digits) {
        if (c < '0' || c > '9')
            return kOdd;
        n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    return n;
}

const char* OrEmpty(const char* s)
{
    return s ? s : "";
}

// False when udev cannot be used at all; an empty list is a valid result.
bool Enumerate(std::vector<PrinterInterface>& out)
{
    out.clear();
    UdevPtr<udev> ctx(udev_new());
    if (!ctx)
        return false;
    UdevPtr<udev_enumerate> en(udev_enumerate_new(ctx.get()));
    if (!en || udev_enumerate_add_match_subsystem(en.get(), "usbmisc") < 0 ||
        udev_enumerate_scan_devices(en.get()) < 0)
        return false;

    struct Found {
        unsigned long number;
        std::string syspath;
        PrinterInterface itf;
    };
    std::vector<Found> found;
    udev_list_entry* entry = nullptr;
    udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get()))
    {
        const char* syspath = udev_list_entry_get_name(entry);
        if (!syspath)
            continue;
        UdevPtr<udev_device> dev(udev_device_new_from_syspath(ctx.get(), syspath));
        if (!dev)
            continue; // went away meanwhile
        const std::string_view node = OrEmpty(udev_device_get_devnode(dev.get()));
        if (node.size() <= kPrinterNodePrefix.size() || node.substr(0, kPrinterNodePrefix.size()) != kPrinterNodePrefix)
            continue; // another usbmisc device, e.g. hiddev
        // Owned by dev; no unref.
        udev_device* usbDevice = udev_device_get_parent_with_subsystem_devtype(dev.get(), "usb", "usb_device");
        if (!usbDevice)
            continue;
        const std::string_view serial = OrEmpty(udev_device_get_sysattr_value(usbDevice, "serial"));
        const std::string_view instance = serial.empty() ? OrEmpty(udev_device_get_sysname(usbDevice)) : serial;
        Found f{NodeNumber(node), syspath, {}};
        f.itf.vendor = OrEmpty(udev_device_get_sysattr_value(usbDevice, "idVendor"));
        f.itf.product = OrEmpty(udev_device_get_sysattr_value(usbDevice, "idProduct"));
        f.itf.serial = std::string(serial);
        f.itf.symbolicLink = SymbolicLink(f.itf.vendor, f.itf.product, instance);
        f.itf.accepted = IsAcceptedDevice(f.itf.symbolicLink);
        DescribeUsbDevice(usbDevice, &f.itf.description, &f.itf.location);
        f.itf.node = std::string(node);
        found.push_back(std::move(f));
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) {
        return a.number != b.number ? a.number < b.number : a.syspath < b.syspath;
    });
    out.reserve(found.size());
    for (auto& f : found)
        out.push_back(std::move(f.itf));
    return true;
}

}  // namespace

DeviceKey KeyFromDevicePath(std::string_view path)
{
    DeviceKey k;
    if (path.size() > kPrefixLength) {
        std::string_view rest = path.substr(kPrefixLength);
        const std::size_t last = rest.rfind('#');
        if (last != std::string_view::npos)
            rest = rest.substr(0, last);
        k.key.reserve(rest.size());
        for (char c : rest)
            k.key.push_back(c == '#' ? '\\' : UpperAscii(c));
    }
    const std::size_t slash = k.key.find('\\');
    if (slash != std::string::npos)
        k.cls = k.key.substr(0, slash);
    k.vendor = KeyField(k.key, kVendorOffset);
    k.product = KeyField(k.key, kProductOffset);
    return k;
}

bool IsAcceptedDevice(std::string_view path)
{
    const DeviceKey k = KeyFromDevicePath(path);
    return k.cls == "USB" && (k.vendor == "2A92" || k.vendor == "0519");
}

std::string SymbolicLink(std::string_view vid4, std::string_view pid4, std::string_view instance)
{
    std::string link = "\\\\?\\usb#vid_";
    link += SafePart(vid4, true);
    link += "&pid_";
    link += SafePart(pid4, true);
    link += '#';
    link += SafePart(instance, false);
    link += '#';
    link += kPrinterInterfaceClass;
    return link;
}

void DescribeUsbDevice(udev_device* usbDevice, std::string* description, std::string* location)
{
    const auto text = [](const char* a, const char* b) {
        std::string both = OrEmpty(a);
        const std::string second = OrEmpty(b);
        if (!second.empty())
            both += (both.empty() ? "" : " ") + second;
        return both;
    };
    *description = text(udev_device_get_sysattr_value(usbDevice, "manufacturer"),
                        udev_device_get_sysattr_value(usbDevice, "product"));
    if (description->empty())
        *description = text(udev_device_get_property_value(usbDevice, "ID_VENDOR_FROM_DATABASE"),
                            udev_device_get_property_value(usbDevice, "ID_MODEL_FROM_DATABASE"));
    *location = OrEmpty(udev_device_get_sysname(usbDevice));
}

std::vector<PrinterInterface> EnumeratePrinterInterfaces()
{
    std::vector<PrinterInterface> list;
    Enumerate(list);
    return list;
}

int FindPrinter(int index, const std::function<void(const char*)>& messageBox, std::string* node)
{
    Trace("GetDeviceViaInterface -1\n");
    // No overlapped write event to prepare here: the device object makes its own.
    Trace("GetDeviceViaInterface -2\n");

    std::vector<PrinterInterface> list;
    if (!Enumerate(list)) {
        Trace("No HDEVINFO available for this GUID\n");
        return -1;
    }

    int matches = 0;
    for (std::size_t member = 0;; ++member) {
        Trace("GetDeviceViaInterface -3\n");
        if (member >= list.size())
            break;
        const PrinterInterface& itf = list[member];
        Trace("GetDeviceViaInterface -4\n");
        Trace("GetDeviceViaInterface -5\n");
        Trace("Symbolic link is : %s\n", itf.symbolicLink.c_str());
        if (!IsAcceptedDevice(itf.symbolicLink))
            continue;
        Trace("DevicePath: %s", itf.symbolicLink.c_str());
        if (matches == index) {
            if (node)
                *node = itf.node;
            const int fd = ::open(itf.node.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
            return fd >= 0 ? fd : -1;
        }
        ++matches;
    }
    if (messageBox)
        messageBox("This is NOT HOLLINDE printer.");
    return -1;
}

bool SelectsPrinter(const PrinterInterface& itf, const std::string& selector)
{
    return !selector.empty() &&
           (itf.node == selector || itf.serial == selector || itf.location == selector);
}

int OpenSelectedPrinter(const std::string& selector, std::string* error)
{
    std::vector<PrinterInterface> list;
    if (!Enumerate(list)) {
        *error = "cannot list the USB printers (udev)";
        return -1;
    }
    for (const PrinterInterface& itf : list) {
        if (!SelectsPrinter(itf, selector))
            continue;
        if (!itf.accepted) {
            *error = "the USB printer " + itf.node + " is not of an accepted vendor (" + itf.vendor + ")";
            return -1;
        }
        const int fd = ::open(itf.node.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
        if (fd < 0)
            *error = "cannot open the USB printer " + itf.node + ": " + std::strerror(errno);
        return fd;
    }
    *error = "no USB printer " + selector +
             " (give its node, e.g. /dev/usb/lp0, its USB serial number or its USB location, e.g. 2-1.4)";
    return -1;
}

CUsbPrinter::CUsbPrinter() = default;

CUsbPrinter::~CUsbPrinter()
{
    Close();
}

LinkResult CUsbPrinter::Attach(int fd)
{
    if (fd < 0)
        return Fail(LinkResult::Code::CannotOpen, EBADF);
    if (fd == m_fd.load())
        return {};
    // Without the wake signal a blocked Read could never be ended.
    if (!m_wake.IsValid()) {
        ::close(fd);
        return Fail(LinkResult::Code::CannotOpen, m_wake.CreationError());
    }
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || ::fcntl(fd, F_SETFD, FD_CLOEXEC) < 0) {
        const int err = errno;
        ::close(fd);
        return Fail(LinkResult::Code::CannotOpen, err);
    }
    Close();
    m_fd.store(fd);
    return {};
}

LinkResult CUsbPrinter::Open(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return Fail(LinkResult::Code::CannotOpen, errno);
    return Attach(fd);
}

WaitResult CUsbPrinter::WaitForEvent(int fd, short* revents)
{
    for (;;) {
        pollfd fds[2] = {{m_wake.Fd(), POLLIN, 0}, {fd, POLLIN, 0}};
        if (PollFor(fds, 2, -1) < 0) {
            Fail(errno);
            return WaitResult::Error;
        }
        if (fds[0].revents & POLLIN)
            return WaitResult::Woken;
        const short ev = fds[1].revents;
        if ((fds[0].revents & (POLLERR | POLLNVAL)) || (ev & POLLNVAL)) {
            Fail(EBADF);
            return WaitResult::Error;
        }
        if (ev & (POLLIN | POLLHUP | POLLERR)) {
            *revents = ev;
            // Bytes that came before a hang-up are still delivered.
            return (ev & POLLIN) ? WaitResult::Ready : WaitResult::HangUp;
        }
    }
}

int CUsbPrinter::Read(void* buf, int size)
{
    const int fd = m_fd.load();
    if (fd < 0 || !buf || size <= 0)
        return kFailed;
    for (;;) {
        short ev = 0;
        const WaitResult waited = WaitForEvent(fd, &ev);
        if (waited == WaitResult::Woken)
            return kWoken;
        if (waited == WaitResult::Error)
            return kFailed;
        // Read even on hang-up: bytes that arrived before it are still delivered.
        const ssize_t n = ::read(fd, buf, static_cast<std::size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0) {
            // usblp reports a removed device as ENODEV or a hang-up; an empty
            // read without one is a zero-length packet: no data, link still up.
            return (ev & (POLLHUP | POLLERR)) ? kFailed : 0;
        }
        if ((errno == EINTR || errno == EAGAIN) && !(ev & (POLLHUP | POLLERR)))
            continue;
        return kFailed; // EIO, ENODEV, ...
    }
}

WaitResult CUsbPrinter::WaitForData()
{
    const int fd = m_fd.load();
    if (fd < 0 || !m_wake.IsValid()) {
        Fail(EBADF);
        return WaitResult::Error;
    }
    short ev = 0;
    const WaitResult waited = WaitForEvent(fd, &ev);
    if (waited == WaitResult::HangUp)
        Fail(ENODEV);
    return waited;
}

int CUsbPrinter::Write(const void* data, int size)
{
    const int written = WriteBounded(data, size);
    std::this_thread::sleep_for(std::chrono::milliseconds(kWritePauseMs));
    Trace("WriteComm data: %d\n", size);
    return written;
}

int CUsbPrinter::WriteBounded(const void* data, int size)
{
    const int fd = m_fd.load();
    if (fd < 0 || size < 0 || (!data && size > 0))
        return kFailed;
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kWriteWaitMs);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    int done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, bytes + done, static_cast<std::size_t>(size - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                break; // device too busy: report what it took
            pollfd pfd{fd, POLLOUT, 0};
            const int r = PollFor(&pfd, 1, static_cast<int>(left));
            if (r < 0)
                return done > 0 ? done : kFailed;
            if (r > 0 && !(pfd.revents & POLLOUT) && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)))
                return done > 0 ? done : kFailed;
            continue;
        }
        return done > 0 ? done : kFailed;
    }
    return done;
}

void CUsbPrinter::Close()
{
    const int fd = m_fd.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

bool CUsbPrinter::IsOpen() const
{
    return m_fd.load() >= 0;
}

}  // namespace vendrill::usb
