#pragma once

#include "link/Link.h"

#include <atomic>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

// USB printer link without any GUI: judging a printer interface by its device
// path, finding the interfaces through udev, and byte I/O on the opened node.
struct udev_device;

namespace vendrill::usb {

// The fields of the key that a device path is judged by. All upper case.
struct DeviceKey {
    std::string key;     // e.g. USB\VID_2A92&PID_0003\HL0001
    std::string cls;     // text before the key's first '\', empty when none
    std::string vendor;  // key characters 8..11, shorter or empty when the key is short
    std::string product; // key characters 17..20, likewise
};

// Drops the 4-character prefix, cuts the rest before its last '#' (the class
// reference goes; with no '#' nothing is cut), turns the remaining '#' into
// '\' and upper-cases (ASCII only). Any byte string is accepted.
DeviceKey KeyFromDevicePath(std::string_view path);

// True for class "USB" with vendor "2A92" or "0519"; the product is not looked at.
bool IsAcceptedDevice(std::string_view path);

// Class reference of USB printer interfaces, as it ends a device path.
inline constexpr std::string_view kPrinterInterfaceClass = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// The device path a Windows host shows for a printer interface:
// \\?\usb#vid_<vid>&pid_<pid>#<instance>#{28d78fad-...}. vid and pid are
// lower-cased; in all three parts '#', '\' and bytes outside printable ASCII
// become '_' so that a device's own strings cannot shift the key's fields or
// put control characters into trace lines.
std::string SymbolicLink(std::string_view vid4, std::string_view pid4, std::string_view instance);

struct PrinterInterface {
    std::string symbolicLink; // device path as built by SymbolicLink
    std::string node;         // device node to open, e.g. /dev/usb/lp0
    std::string vendor;       // idVendor, idProduct and serial as udev has them
    std::string product;      // (serial empty when the device has none)
    std::string serial;
    std::string description;  // DescribeUsbDevice
    std::string location;
    bool accepted = false;    // IsAcceptedDevice(symbolicLink)
};

// What a person recognises a USB device by: its maker and product as it
// names them (else as udev's hardware database does), and where it is
// plugged in (the bus path, e.g. 1-1.2).
void DescribeUsbDevice(udev_device* usbDevice, std::string* description, std::string* location);

// Present USB printer nodes (usbmisc, /dev/usb/lp*) with the identity of their
// USB device (idVendor, idProduct, serial; the bus path stands in for a
// missing serial), ordered by node number, then sysfs path. Empty when udev
// cannot be used.
std::vector<PrinterInterface> EnumeratePrinterInterfaces();

// Opens the index-th (0 = first) accepted printer interface with
// O_RDWR | O_CLOEXEC | O_NOCTTY and returns its descriptor (the caller owns
// it), or -1. When the enumeration runs out before that match, messageBox
// gets "This is NOT HOLLINDE printer." once. A match that cannot be opened
// gives -1 without a message. Writes the discovery trace lines. The node of
// the match goes to *node when given.
int FindPrinter(int index, const std::function<void(const char*)>& messageBox, std::string* node = nullptr);

// True when `selector` names this printer: its node (/dev/usb/lp1), its USB
// serial number, or where it is plugged in (its location, e.g. 2-1.4).
bool SelectsPrinter(const PrinterInterface& itf, const std::string& selector);

// Opens the first printer interface that `selector` names (SelectsPrinter)
// with O_RDWR | O_CLOEXEC | O_NOCTTY; -1 with *error set when none is
// present, it is not of an accepted vendor, or it cannot be opened.
int OpenSelectedPrinter(const std::string& selector, std::string* error);

// Owner of an opened USB printer node. Read blocks until data arrives, the
// device goes away or Wake() is called. Thread use as for every CLink; Attach
// belongs to the owning thread like Open.
class CUsbPrinter final : public CLink {
public:
    CUsbPrinter();
    ~CUsbPrinter() override;

    // Takes ownership of fd (also on failure, when it is closed) and switches
    // it to non-blocking I/O. A node already held is closed first.
    LinkResult Attach(int fd);
    // Opens path read-write (O_CLOEXEC | O_NOCTTY) and attaches it.
    LinkResult Open(const std::string& path) override;

    // Waits until bytes arrive, the device goes away or Wake() is called.
    WaitResult WaitForData() override;
    // Bytes read (> 0), 0 for a zero-length packet (the device is still
    // there), kFailed or kWoken. size must be > 0.
    int Read(void* buf, int size) override;
    // Bytes written (0..size), or kFailed when nothing could be written
    // because of an error. Waits at most kWriteWaitMs in total for a busy
    // device to take data, then pauses kWritePauseMs: the printer needs that
    // time between two writes.
    int Write(const void* data, int size) override;

    void Close() override;
    bool IsOpen() const override;

    static constexpr int kWriteWaitMs = 1000;
    static constexpr int kWritePauseMs = 10;

private:
    // Polls the device beside the wake event until one has something; the
    // device's poll events in *revents unless woken or failed.
    WaitResult WaitForEvent(int fd, short* revents);
    int WriteBounded(const void* data, int size);

    std::atomic<int> m_fd{-1};
};

}  // namespace vendrill::usb
