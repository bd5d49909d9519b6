#include "UsbTestbed.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#ifndef VENDRILL_USB_TEST_DATA
#error "VENDRILL_USB_TEST_DATA must name the tests/data folder"
#endif

namespace {

constexpr int kGenerousTimeoutMs = 10000;

struct GErrorText {
    GError* error = nullptr;
    ~GErrorText()
    {
        if (error)
            g_error_free(error);
    }
    std::string Text() const { return error && error->message ? error->message : "(no message)"; }
};

}  // namespace

UsbTestbed::UsbTestbed()
    : m_testbed(umockdev_testbed_new())
{
}

UsbTestbed::~UsbTestbed()
{
    g_object_unref(m_testbed);
}

::testing::AssertionResult UsbTestbed::Load(const std::string& name)
{
    const std::string path = std::string(VENDRILL_USB_TEST_DATA) + "/" + name + ".umockdev";
    GErrorText err;
    if (!umockdev_testbed_add_from_file(m_testbed, path.c_str(), &err.error))
        return ::testing::AssertionFailure() << "cannot load " << path << ": " << err.Text();
    return ::testing::AssertionSuccess();
}

std::string UsbTestbed::AddPrinter(const std::string& busName, const std::string& vid, const std::string& pid,
                                   const std::string& serial, int lpNumber)
{
    // Same shape as the files in tests/data; the "N:" line makes the node.
    const std::string device = "/devices/pci0000:00/0000:00:14.0/usb9/" + busName;
    const std::string lp = "lp" + std::to_string(lpNumber);
    std::string text = "P: " + device + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=" + vid +
                       "\nA: idProduct=" + pid + "\n";
    if (!serial.empty())
        text += "A: serial=" + serial + "\n";
    text += "\nP: " + device + "/" + busName + ":1.0\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n"
            "A: bInterfaceClass=07\n";
    text += "\nP: " + device + "/" + busName + ":1.0/usbmisc/" + lp + "\nN: usb/" + lp +
            "\nE: SUBSYSTEM=usbmisc\nE: DEVNAME=/dev/usb/" + lp + "\nA: dev=180:" + std::to_string(lpNumber) + "\n";
    GErrorText err;
    if (!umockdev_testbed_add_from_string(m_testbed, text.c_str(), &err.error))
        ADD_FAILURE() << "cannot add printer " << busName << ": " << err.Text();
    return "/sys" + device;
}

int UsbTestbed::PrinterSide(const std::string& node)
{
    const int fd = umockdev_testbed_get_dev_fd(m_testbed, node.c_str());
    if (fd >= 0) {
        termios tio{};
        if (tcgetattr(fd, &tio) == 0) {
            cfmakeraw(&tio);
            tcsetattr(fd, TCSANOW, &tio);
        }
    }
    return fd;
}

void UsbTestbed::Unplug(const std::string& syspath, const std::string& node)
{
    const int printer = umockdev_testbed_get_dev_fd(m_testbed, node.c_str());
    umockdev_testbed_remove_device(m_testbed, syspath.c_str());
    if (printer < 0)
        return;
    // The test bed still owns the descriptor number and closes it later, so
    // replace what it refers to instead of closing it: that drops the last
    // reference to the pseudo-terminal master and hangs up the node side.
    const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(null, 0);
    ASSERT_EQ(dup2(null, printer), printer);
    close(null);
}

void UsbTestbed::Event(const std::string& syspath, const std::string& action)
{
    umockdev_testbed_uevent(m_testbed, syspath.c_str(), action.c_str());
}

void UsbTestbed::DeleteNode(const std::string& node)
{
    std::error_code ec;
    std::filesystem::remove(NodeFile(node), ec);
    ASSERT_FALSE(ec) << ec.message();
}

std::string UsbTestbed::NodeFile(const std::string& node)
{
    gchar* root = umockdev_testbed_get_root_dir(m_testbed);
    const std::string file = std::string(root) + node;
    g_free(root);
    return file;
}

std::string ReadExactly(int fd, std::size_t n)
{
    std::string got;
    while (got.size() < n) {
        pollfd pfd{fd, POLLIN, 0};
        const int r = poll(&pfd, 1, kGenerousTimeoutMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        char buf[512];
        const ssize_t k = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (k < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (k <= 0)
            break;
        got.append(buf, static_cast<std::size_t>(k));
    }
    return got;
}

namespace {

std::vector<std::string> DescriptorTargets()
{
    std::vector<std::string> targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code ec;
        const std::string target = std::filesystem::read_symlink(entry.path(), ec).string();
        if (!ec) // otherwise closed while we looked
            targets.push_back(target);
    }
    return targets;
}

}  // namespace

int OpenDescriptorCount()
{
    // Sockets are left out: the test bed serves each opened node over one
    // and closes its end when its own thread gets to it.
    const auto targets = DescriptorTargets();
    return static_cast<int>(std::count_if(targets.begin(), targets.end(), [](const std::string& t) {
        return t.rfind("socket:", 0) != 0;
    }));
}

int OpenPrinterNodeCount()
{
    // The test bed holds only the master sides (/dev/ptmx); a node opened
    // through /dev/usb/lp* shows as its pseudo-terminal slave.
    const auto targets = DescriptorTargets();
    return static_cast<int>(std::count_if(targets.begin(), targets.end(), [](const std::string& t) {
        return t.rfind("/dev/pts/", 0) == 0 || t.rfind("/dev/usb/", 0) == 0;
    }));
}
