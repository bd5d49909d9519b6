#pragma once

// A umockdev test bed for USB printer tests. The test binary runs with the
// umockdev preload library (see umockdev_main.cpp), so udev and /dev/usb/lp*
// opened by the code under test see the devices added here. Each printer node
// is a pseudo-terminal; its master side stands for the printer.

#include <umockdev.h>

#include <gtest/gtest.h>

#include <string>

class UsbTestbed {
public:
    UsbTestbed();
    ~UsbTestbed();
    UsbTestbed(const UsbTestbed&) = delete;
    UsbTestbed& operator=(const UsbTestbed&) = delete;

    // Loads tests/data/<name>.umockdev.
    ::testing::AssertionResult Load(const std::string& name);

    // Adds a USB device (vid, pid, serial; empty serial = none) with a printer
    // interface whose node is /dev/usb/lp<lpNumber>. Returns the device's
    // sysfs path.
    std::string AddPrinter(const std::string& busName, const std::string& vid, const std::string& pid,
                           const std::string& serial, int lpNumber);

    // Printer side of a node, in raw mode so that the line discipline passes
    // every byte unchanged. Owned by the test bed; never close it.
    int PrinterSide(const std::string& node);

    // Unplugs: removes the device from sysfs and hangs up the printer side
    // of its node, as a real unplug ends an open usblp descriptor.
    void Unplug(const std::string& syspath, const std::string& node);

    // Sends a uevent (action "add", "remove", ...) for a sysfs path to the
    // udev monitors of this process and of programs it started.
    void Event(const std::string& syspath, const std::string& action);

    // Deletes the node file only, so the device is listed but cannot be opened.
    void DeleteNode(const std::string& node);
    // Where the test bed keeps a node's file (to take it away and put it back).
    std::string NodeFile(const std::string& node);

private:
    UMockdevTestbed* m_testbed;
};

// Reads exactly n bytes from fd (polling, generous time-out). Returns what
// arrived, which is shorter than n only when it timed out or failed.
std::string ReadExactly(int fd, std::size_t n);

// Descriptors open in this process, sockets not counted. The test bed's own
// threads may open or close one or two at any moment, so compare with some
// slack: a leak per cycle over many cycles still stands out.
int OpenDescriptorCount();
constexpr int kDescriptorSlack = 10;

// Descriptors that refer to a printer node (exact, no slack needed).
int OpenPrinterNodeCount();
