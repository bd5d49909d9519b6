#include "UsbTestbed.h"

#include "link/UsbPrinter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

using vendrill::usb::CUsbPrinter;

namespace {

constexpr auto kHangGuard = std::chrono::seconds(30);
const std::string kNode = "/dev/usb/lp0";

// Runs one Read on its own thread and returns its result; the thread is
// always joined. Should Read never return, Wake() frees it and the test fails.
struct ReadResult {
    int result = 0;
    std::string data;
};

// Should a Read that is expected to return hang, Wake() frees it after a
// generous time so that the test fails instead of hanging.
class WakeGuard {
public:
    explicit WakeGuard(CUsbPrinter& dev)
        : m_thread([this, &dev] {
              std::unique_lock lock(m_mutex);
              if (!m_cv.wait_for(lock, kHangGuard, [this] { return m_done; })) {
                  ADD_FAILURE() << "Read did not return";
                  dev.Wake();
              }
          })
    {
    }
    ~WakeGuard()
    {
        {
            std::lock_guard lock(m_mutex);
            m_done = true;
        }
        m_cv.notify_one();
        m_thread.join();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cv;
    bool m_done = false;
    std::thread m_thread;
};

ReadResult ReadOnThread(CUsbPrinter& dev, int size, const std::function<void()>& meanwhile)
{
    std::promise<ReadResult> promise;
    std::future<ReadResult> future = promise.get_future();
    std::thread reader([&] {
        std::string buf(static_cast<std::size_t>(size), '\0');
        ReadResult r;
        r.result = dev.Read(buf.data(), size);
        if (r.result > 0)
            r.data.assign(buf.data(), static_cast<std::size_t>(r.result));
        promise.set_value(r);
    });
    meanwhile();
    if (future.wait_for(kHangGuard) != std::future_status::ready) {
        ADD_FAILURE() << "Read did not return";
        dev.Wake();
    }
    reader.join();
    return future.get();
}

class UsbDevice : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(bed.Load("printer_2a92"));
        printer = bed.PrinterSide(kNode);
        ASSERT_GE(printer, 0);
        ASSERT_TRUE(dev.Open(kNode));
    }

    std::string ReadFromDevice(std::size_t n)
    {
        std::string got;
        char buf[1024];
        WakeGuard guard(dev);
        while (got.size() < n) {
            const int r = dev.Read(buf, sizeof buf);
            if (r <= 0) {
                ADD_FAILURE() << "Read gave " << r << " after " << got.size() << " bytes";
                break;
            }
            got.append(buf, static_cast<std::size_t>(r));
        }
        return got;
    }

    UsbTestbed bed;
    int printer = -1;
    CUsbPrinter dev;
};

std::string AllByteValues()
{
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    return all;
}

}  // namespace

TEST_F(UsbDevice, ReadDeliversEveryByteThePrinterSends)
{
    const std::string all = AllByteValues();
    ASSERT_EQ(write(printer, all.data(), all.size()), static_cast<ssize_t>(all.size()));
    EXPECT_EQ(ReadFromDevice(all.size()), all);
}

TEST_F(UsbDevice, ReadWaitsForDataThatArrivesLater)
{
    const ReadResult r = ReadOnThread(dev, 1024, [&] {
        ASSERT_EQ(write(printer, "\x02..3ABC\x03", 8), 8);
    });
    ASSERT_GT(r.result, 0);
    EXPECT_EQ(r.data + ReadFromDevice(8 - r.data.size()), "\x02..3ABC\x03");
}

TEST_F(UsbDevice, WriteReachesThePrinter)
{
    const std::string frame("\x1b~3\n\r\x00\xff", 7);
    EXPECT_EQ(dev.Write(frame.data(), static_cast<int>(frame.size())), 7);
    EXPECT_EQ(ReadExactly(printer, frame.size()), frame);

    const std::string all = AllByteValues();
    for (char c : all)
        ASSERT_EQ(dev.Write(&c, 1), 1) << "frames are also sent one byte at a time";
    EXPECT_EQ(ReadExactly(printer, all.size()), all);

    EXPECT_EQ(dev.Write(nullptr, 0), 0);
}

TEST_F(UsbDevice, ReadFailsWhenTheDeviceGoesAway)
{
    const std::string syspath = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
    const ReadResult r = ReadOnThread(dev, 1024, [&] { bed.Unplug(syspath, kNode); });
    EXPECT_EQ(r.result, CUsbPrinter::kFailed);

    char buf[16];
    EXPECT_EQ(dev.Read(buf, sizeof buf), CUsbPrinter::kFailed) << "stays failed, no busy loop of successes";
    EXPECT_EQ(dev.Write("x", 1), CUsbPrinter::kFailed);
    EXPECT_TRUE(dev.IsOpen()) << "the owner still closes it";
    dev.Close();
}

TEST_F(UsbDevice, WakeEndsABlockedReadFromAnotherThread)
{
    const ReadResult r = ReadOnThread(dev, 1024, [&] { dev.Wake(); });
    EXPECT_EQ(r.result, CUsbPrinter::kWoken);
    EXPECT_TRUE(dev.IsOpen());
}

TEST_F(UsbDevice, WakeStaysSetUntilResetAndWinsOverWaitingData)
{
    dev.Wake(); // before any Read: must not be lost
    ASSERT_EQ(write(printer, "AB", 2), 2);
    char buf[16];
    EXPECT_EQ(dev.Read(buf, sizeof buf), CUsbPrinter::kWoken);
    EXPECT_EQ(dev.Read(buf, sizeof buf), CUsbPrinter::kWoken);

    dev.ResetWake();
    dev.ResetWake(); // harmless when not set
    EXPECT_EQ(ReadFromDevice(2), "AB") << "waiting data survives the wake";

    // Woken and reset again: reading goes on as before.
    dev.Wake();
    EXPECT_EQ(ReadOnThread(dev, 16, [] {}).result, CUsbPrinter::kWoken);
    dev.ResetWake();
    const ReadResult r = ReadOnThread(dev, 16, [&] { ASSERT_EQ(write(printer, "C", 1), 1); });
    EXPECT_EQ(r.data, "C");
}

TEST_F(UsbDevice, CloseIsIdempotentAndAClosedDeviceRefusesIo)
{
    EXPECT_TRUE(dev.IsOpen());
    dev.Close();
    EXPECT_FALSE(dev.IsOpen());
    dev.Close();
    EXPECT_FALSE(dev.IsOpen());
    char buf[4];
    EXPECT_EQ(dev.Read(buf, sizeof buf), CUsbPrinter::kFailed);
    EXPECT_EQ(dev.Write("x", 1), CUsbPrinter::kFailed);
    dev.Wake(); // still usable without a device
    dev.ResetWake();

    ASSERT_TRUE(dev.Open(kNode)) << "the object can be opened again";
    ASSERT_EQ(write(printer, "Z", 1), 1);
    EXPECT_EQ(ReadFromDevice(1), "Z");
}

TEST_F(UsbDevice, BadArgumentsAreRefused)
{
    char buf[4];
    EXPECT_EQ(dev.Read(nullptr, 4), CUsbPrinter::kFailed);
    EXPECT_EQ(dev.Read(buf, 0), CUsbPrinter::kFailed);
    EXPECT_EQ(dev.Read(buf, -1), CUsbPrinter::kFailed);
    EXPECT_EQ(dev.Write(nullptr, 3), CUsbPrinter::kFailed);
    EXPECT_EQ(dev.Write(buf, -1), CUsbPrinter::kFailed);
    EXPECT_TRUE(dev.IsOpen());

    CUsbPrinter other;
    EXPECT_FALSE(other.Attach(-1));
    EXPECT_FALSE(other.Open("/dev/usb/lp9"));
    EXPECT_FALSE(other.IsOpen());
}

TEST_F(UsbDevice, AttachTakesOwnershipAndReplacesTheHeldNode)
{
    const int fd = open(kNode.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(dev.Attach(fd)); // the node opened in SetUp is closed now
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    EXPECT_TRUE(dev.Attach(fd)) << "attaching the held descriptor again keeps it";
    EXPECT_GE(fcntl(fd, F_GETFD), 0);
    ASSERT_EQ(write(printer, "Q", 1), 1);
    EXPECT_EQ(ReadFromDevice(1), "Q");
    EXPECT_EQ(OpenPrinterNodeCount(), 1);
    dev.Close();
    EXPECT_EQ(OpenPrinterNodeCount(), 0) << "closed by its owner";
}

TEST(UsbDeviceLife, ManyObjectsLeaveNoDescriptorsBehind)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    {
        CUsbPrinter warm;
        ASSERT_TRUE(warm.Open(kNode));
    }
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        CUsbPrinter dev;
        ASSERT_TRUE(dev.Open(kNode)) << "cycle " << i;
        dev.Wake();
        if (i % 2)
            dev.Close(); // the other half is closed by the destructor
    }
    EXPECT_EQ(OpenPrinterNodeCount(), 0);
    EXPECT_LT(OpenDescriptorCount() - before, kDescriptorSlack) << "100 cycles; a leak per cycle shows as 100+";
}

// A zero-length packet is no data, not a lost device; only a removal (here:
// the far end's hang-up) takes the link down. A SOCK_SEQPACKET pair delivers
// an empty message as a 0-byte read without hang-up, as usblp does.
TEST(UsbDeviceLife, ZeroLengthReadKeepsTheLinkAndAHangUpEndsIt)
{
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    CUsbPrinter dev;
    ASSERT_TRUE(dev.Attach(pair[0]));
    const int printer = pair[1];

    ReadResult r = ReadOnThread(dev, 64, [&] { ASSERT_EQ(::send(printer, "", 0, 0), 0); });
    EXPECT_EQ(r.result, 0) << "an empty packet reads as no data";
    EXPECT_TRUE(dev.IsOpen());

    r = ReadOnThread(dev, 64, [&] { ASSERT_EQ(::send(printer, "\x02..3A\x03", 6, 0), 6); });
    EXPECT_EQ(r.result, 6);
    EXPECT_EQ(r.data, "\x02..3A\x03") << "the link still carries data after an empty packet";

    r = ReadOnThread(dev, 64, [&] { ::close(printer); });
    EXPECT_EQ(r.result, CUsbPrinter::kFailed) << "the far end went away";
}
