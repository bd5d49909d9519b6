#include "link/Ports.h"

#include "link/PortName.h"
#include "link/UsbPrinter.h"

#include <libudev.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include <sys/stat.h>

namespace vendrill {

namespace {

constexpr int kMaxComNumber = 255;

std::string OrEmpty(const char* s)
{
    return s ? s : "";
}

bool StartsWith(const std::string& s, const char* prefix)
{
    return s.rfind(prefix, 0) == 0;
}

// The path with links resolved, to compare two names of one device.
std::string RealPath(const std::string& path)
{
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real)
        return path;
    std::string out = real;
    std::free(real);
    return out;
}

void ListSerial(std::vector<PortEntry>& out)
{
    udev* ctx = udev_new();
    if (!ctx)
        return;
    udev_enumerate* en = udev_enumerate_new(ctx);
    if (en && udev_enumerate_add_match_subsystem(en, "tty") >= 0 && udev_enumerate_scan_devices(en) >= 0) {
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en))
        {
            udev_device* dev = udev_device_new_from_syspath(ctx, udev_list_entry_get_name(entry));
            if (!dev)
                continue;
            const std::string node = OrEmpty(udev_device_get_devnode(dev));
            bool wanted = StartsWith(node, "/dev/ttyUSB") || StartsWith(node, "/dev/ttyACM") ||
                          StartsWith(node, "/dev/ttyAMA") || StartsWith(node, "/dev/rfcomm");
            // Legacy ttyS entries exist whether or not a UART answers there;
            // the kernel's port type 0 means none does.
            if (StartsWith(node, "/dev/ttyS")) {
                const std::string type = OrEmpty(udev_device_get_sysattr_value(dev, "type"));
                wanted = !type.empty() && type != "0";
            }
            if (wanted) {
                PortEntry p;
                p.path = node;
                p.kind = "serial";
                udev_list_entry* link = nullptr;
                udev_list_entry_foreach(link, udev_device_get_devlinks_list_entry(dev))
                {
                    const std::string name = OrEmpty(udev_list_entry_get_name(link));
                    if (StartsWith(name, "/dev/serial/by-id/"))
                        p.byId.push_back(name);
                }
                if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(dev, "usb", "usb_device")) {
                    p.vendor = OrEmpty(udev_device_get_sysattr_value(usb, "idVendor"));
                    p.product = OrEmpty(udev_device_get_sysattr_value(usb, "idProduct"));
                    p.serial = OrEmpty(udev_device_get_sysattr_value(usb, "serial"));
                    usb::DescribeUsbDevice(usb, &p.description, &p.location);
                }
                out.push_back(std::move(p));
            }
            udev_device_unref(dev);
        }
    }
    if (en)
        udev_enumerate_unref(en);
    udev_unref(ctx);
    std::sort(out.begin(), out.end(), [](const PortEntry& a, const PortEntry& b) { return a.path < b.path; });
}

}  // namespace

std::vector<PortEntry> ListSerialPorts()
{
    std::vector<PortEntry> ports;
    ListSerial(ports);
    return ports;
}

std::vector<PortEntry> ListPorts()
{
    std::vector<PortEntry> ports = ListSerialPorts();

    // COM names: each maps to one path; the lowest number naming a port wins.
    std::vector<std::string> real;
    for (const PortEntry& p : ports)
        real.push_back(RealPath(p.path));
    for (int n = 1; n <= kMaxComNumber; ++n) {
        const std::string com = "COM" + std::to_string(n);
        const std::string path = ResolvePortPath(com);
        struct stat st {};
        if (path.empty() || ::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
            continue;
        const auto at = std::find(real.begin(), real.end(), RealPath(path));
        std::size_t k = static_cast<std::size_t>(at - real.begin());
        if (at == real.end()) {
            // A default ttyS name without a UART behind it is no port; a
            // path the environment or the port map file names is one.
            if (path == "/dev/ttyS" + std::to_string(n - 1))
                continue;
            PortEntry p;
            p.path = path;
            p.kind = "serial";
            ports.push_back(std::move(p));
            real.push_back(RealPath(path));
            k = ports.size() - 1;
        }
        if (ports[k].comName.empty())
            ports[k].comName = com;
    }

    for (const usb::PrinterInterface& itf : usb::EnumeratePrinterInterfaces()) {
        PortEntry p;
        p.path = itf.node;
        p.kind = "usb-printer";
        p.vendor = itf.vendor;
        p.product = itf.product;
        p.serial = itf.serial;
        p.description = itf.description;
        p.location = itf.location;
        p.accepted = itf.accepted;
        ports.push_back(std::move(p));
    }
    return ports;
}

}  // namespace vendrill
