#include "UsbTestbed.h"

#include "link/UsbPrinter.h"
#include "link/UsbWatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

using vendrill::usb::CUsbPrinter;
using vendrill::usb::EnumeratePrinterInterfaces;
using vendrill::usb::FindPrinter;

namespace {

const std::string kRef = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kLink2a92 = "\\\\?\\usb#vid_2a92&pid_0003#HL0001" + kRef;
const std::string kLink0519 = "\\\\?\\usb#vid_0519&pid_fffe#2-1.4" + kRef;
const std::string kLinkOther = "\\\\?\\usb#vid_04b8&pid_0202#OTHER42" + kRef;

class UsbDiscovery : public ::testing::Test {
protected:
    // Runs FindPrinter, collecting message boxes and trace output.
    int Find(int index)
    {
        messages.clear();
        fflush(stdout);
        ::testing::internal::CaptureStdout();
        const int fd = FindPrinter(index, [this](const char* text) { messages.emplace_back(text); });
        trace = ::testing::internal::GetCapturedStdout();
        return fd;
    }

    // True when fd is the given node: a byte its printer sends arrives on fd
    // (waits a generous time when it does not).
    bool IsNodeOf(int fd, const std::string& node)
    {
        const int printer = bed.PrinterSide(node);
        return printer >= 0 && write(printer, "\x5a", 1) == 1 && ReadExactly(fd, 1) == "\x5a";
    }

    UsbTestbed bed;
    std::vector<std::string> messages;
    std::string trace;
};

}  // namespace

TEST_F(UsbDiscovery, ListsPrinterNodesWithTheirHostPathsInNodeOrder)
{
    ASSERT_TRUE(bed.Load("printer_other"));
    ASSERT_TRUE(bed.Load("printer_0519"));
    ASSERT_TRUE(bed.Load("hiddev_2a92"));
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.AddPrinter("3-2", "2a92", "0007", "", 10);

    const auto list = EnumeratePrinterInterfaces();
    ASSERT_EQ(list.size(), 4u) << "the hiddev node is not a printer";
    EXPECT_EQ(list[0].node, "/dev/usb/lp0");
    EXPECT_EQ(list[0].symbolicLink, kLink2a92);
    EXPECT_EQ(list[1].node, "/dev/usb/lp1");
    EXPECT_EQ(list[1].symbolicLink, kLink0519) << "no serial: the bus path is the instance";
    EXPECT_EQ(list[2].node, "/dev/usb/lp2");
    EXPECT_EQ(list[2].symbolicLink, kLinkOther);
    EXPECT_EQ(list[3].node, "/dev/usb/lp10") << "lp10 sorts after lp2";
    EXPECT_EQ(list[3].symbolicLink, "\\\\?\\usb#vid_2a92&pid_0007#3-2" + kRef);
}

TEST_F(UsbDiscovery, FirstMatchWinsAndIndexOneGivesTheSecond)
{
    ASSERT_TRUE(bed.Load("printer_other"));
    ASSERT_TRUE(bed.Load("printer_2a92"));
    ASSERT_TRUE(bed.Load("printer_0519"));

    int fd = Find(0);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(IsNodeOf(fd, "/dev/usb/lp0"));
    EXPECT_EQ(trace, "GetDeviceViaInterface -1\n"
                     "GetDeviceViaInterface -2\n"
                     "GetDeviceViaInterface -3\n"
                     "GetDeviceViaInterface -4\n"
                     "GetDeviceViaInterface -5\n"
                     "Symbolic link is : " + kLink2a92 + "\n"
                     "DevicePath: " + kLink2a92);
    close(fd);

    fd = Find(1);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(IsNodeOf(fd, "/dev/usb/lp1"));
    EXPECT_NE(trace.find("DevicePath: " + kLink2a92 + "GetDeviceViaInterface -3\n"), std::string::npos)
        << "the skipped match is traced too:\n" << trace;
    EXPECT_EQ(trace.substr(trace.size() - ("DevicePath: " + kLink0519).size()), "DevicePath: " + kLink0519);
    close(fd);

    fd = Find(2);
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(messages, std::vector<std::string>{"This is NOT HOLLINDE printer."});
}

TEST_F(UsbDiscovery, VendorZero519IsAcceptedAlone)
{
    ASSERT_TRUE(bed.Load("printer_0519"));
    const int fd = Find(0);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(messages.empty());
    EXPECT_TRUE(IsNodeOf(fd, "/dev/usb/lp1"));
    close(fd);
}

TEST_F(UsbDiscovery, AnyProductOfAnAcceptedVendorIsOpened)
{
    bed.AddPrinter("4-1", "2a92", "beef", "P1", 3);
    bed.AddPrinter("4-2", "0519", "0000", "P2", 4);
    int fd = Find(0);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(IsNodeOf(fd, "/dev/usb/lp3"));
    close(fd);
    fd = Find(1);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(IsNodeOf(fd, "/dev/usb/lp4"));
    close(fd);
}

TEST_F(UsbDiscovery, OnlyOtherVendorsGiveOneMessageAndNoDevice)
{
    ASSERT_TRUE(bed.Load("printer_other"));
    ASSERT_TRUE(bed.Load("hiddev_2a92"));
    EXPECT_EQ(Find(0), -1);
    EXPECT_EQ(messages, std::vector<std::string>{"This is NOT HOLLINDE printer."});
    EXPECT_EQ(trace, "GetDeviceViaInterface -1\n"
                     "GetDeviceViaInterface -2\n"
                     "GetDeviceViaInterface -3\n"
                     "GetDeviceViaInterface -4\n"
                     "GetDeviceViaInterface -5\n"
                     "Symbolic link is : " + kLinkOther + "\n"
                     "GetDeviceViaInterface -3\n");
}

TEST_F(UsbDiscovery, NoPrinterAtAllGivesOneMessageAndNoDevice)
{
    EXPECT_EQ(Find(0), -1);
    EXPECT_EQ(messages, std::vector<std::string>{"This is NOT HOLLINDE printer."});
    EXPECT_EQ(trace, "GetDeviceViaInterface -1\nGetDeviceViaInterface -2\nGetDeviceViaInterface -3\n");

    // A missing message callback is tolerated.
    EXPECT_EQ(FindPrinter(0, nullptr), -1);
}

TEST_F(UsbDiscovery, MatchThatCannotBeOpenedFailsWithoutMessage)
{
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.DeleteNode("/dev/usb/lp0");
    EXPECT_EQ(Find(0), -1);
    EXPECT_TRUE(messages.empty());
    EXPECT_NE(trace.find("DevicePath: " + kLink2a92), std::string::npos);
}

TEST_F(UsbDiscovery, OpenedDescriptorIsCloseOnExec)
{
    ASSERT_TRUE(bed.Load("printer_2a92"));
    const int fd = Find(0);
    ASSERT_GE(fd, 0) << trace;
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
}

TEST_F(UsbDiscovery, NoDescriptorLeaksOverManyOpenCloseCycles)
{
    ASSERT_TRUE(bed.Load("printer_other"));
    ASSERT_TRUE(bed.Load("printer_2a92"));
    // Warm up once so lazily opened library descriptors are not counted.
    {
        CUsbPrinter dev;
        ASSERT_TRUE(dev.Attach(Find(0)));
    }
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        CUsbPrinter dev;
        ASSERT_TRUE(dev.Attach(Find(0))) << "cycle " << i;
        ASSERT_TRUE(dev.IsOpen());
        dev.Close();
        ASSERT_EQ(Find(5), -1); // runs past the end
        ASSERT_TRUE(dev.Open("/dev/usb/lp0"));
    }
    EXPECT_EQ(OpenPrinterNodeCount(), 0);
    EXPECT_LT(OpenDescriptorCount() - before, kDescriptorSlack) << "100 cycles; a leak per cycle shows as 100+";
}

TEST(UsbWatch, SeesPrintersPluggedInAndOut)
{
    UsbTestbed bed;
    vendrill::usb::CUsbWatch watch;
    ASSERT_TRUE(watch.Start());
    EXPECT_TRUE(watch.Take().empty());

    const std::string sys = bed.AddPrinter("7-1", "2a92", "0003", "W1", 7);
    std::vector<vendrill::usb::CUsbWatch::Event> events;
    const auto seen = [&](const std::string& action) {
        return std::any_of(events.begin(), events.end(), [&](const auto& e) {
            return e.action == action && e.node == "/dev/usb/lp7";
        });
    };
    while (!seen("add")) {
        ASSERT_EQ(watch.Wait(-1, 10000), vendrill::WaitResult::Ready);
        for (auto& e : watch.Take())
            events.push_back(e);
    }
    bed.Event(sys + "/7-1:1.0/usbmisc/lp7", "remove");
    while (!seen("remove")) {
        ASSERT_EQ(watch.Wait(-1, 10000), vendrill::WaitResult::Ready);
        for (auto& e : watch.Take())
            events.push_back(e);
    }
    // Another descriptor ends the wait too.
    const int other = ::eventfd(1, EFD_CLOEXEC);
    ASSERT_GE(other, 0);
    EXPECT_EQ(watch.Wait(other, 10000), vendrill::WaitResult::Woken);
    ::close(other);
}
