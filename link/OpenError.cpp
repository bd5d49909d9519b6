#include "link/OpenError.h"

#include "link/DeviceFault.h"
#include "link/PortName.h"
#include "link/Ports.h"
#include "link/UsbPrinter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string_view>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace vendrill {

namespace fs = std::filesystem;

namespace {

std::string UserName()
{
    if (const passwd* pw = ::getpwuid(::geteuid()); pw != nullptr && pw->pw_name != nullptr)
        return pw->pw_name;
    return "$USER";
}

std::string GroupName(gid_t gid)
{
    if (const group* gr = ::getgrgid(gid); gr != nullptr && gr->gr_name != nullptr)
        return gr->gr_name;
    return std::to_string(gid);
}

// Whether this process runs with gid among its groups.
bool ProcessInGroup(gid_t gid)
{
    if (::getegid() == gid)
        return true;
    const int n = ::getgroups(0, nullptr);
    if (n <= 0)
        return false;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    const int got = ::getgroups(n, groups.data());
    return got > 0 && std::find(groups.begin(), groups.begin() + got, gid) != groups.begin() + got;
}

// Whether the account is a member of gid in the group database, which a
// session started before the last change does not show yet.
bool AccountInGroup(gid_t gid)
{
    const passwd* pw = ::getpwuid(::geteuid());
    if (pw == nullptr || pw->pw_name == nullptr)
        return false;
    int n = 64;
    std::vector<gid_t> groups(static_cast<std::size_t>(n));
    if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0) {
        groups.resize(static_cast<std::size_t>(n));
        if (::getgrouplist(pw->pw_name, pw->pw_gid, groups.data(), &n) < 0)
            return false;
    }
    return std::find(groups.begin(), groups.begin() + n, gid) != groups.begin() + n;
}

bool StartsWith(std::string_view s, std::string_view prefix)
{
    return s.substr(0, prefix.size()) == prefix;
}

std::string Joined(const std::vector<std::string>& items)
{
    std::string out;
    for (const std::string& item : items)
        out += (out.empty() ? "" : ", ") + item;
    return out;
}

// Natural order, so that ttyUSB2 comes before ttyUSB10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei]))) ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej]))) ++ej;
            const std::string_view na = std::string_view(a).substr(i, ei - i);
            const std::string_view nb = std::string_view(b).substr(j, ej - j);
            if (na.size() != nb.size())
                return na.size() < nb.size();
            if (na != nb)
                return na < nb;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    return a.size() - i < b.size() - j;
}

std::string NotASerialPort(const std::string& path, const struct stat& st)
{
    const char* what = S_ISDIR(st.st_mode)    ? "a directory"
                       : S_ISREG(st.st_mode)  ? "a regular file"
                       : S_ISFIFO(st.st_mode) ? "a named pipe"
                       : S_ISSOCK(st.st_mode) ? "a socket"
                       : S_ISBLK(st.st_mode)  ? "a block device"
                                              : nullptr;
    std::string text = path + " is not a serial port";
    if (what)
        text += std::string(" (it is ") + what + ")";
    return text + "; give a serial device such as /dev/ttyUSB0 with --port";
}

std::string NoSuchDevice(const std::string& path, int err)
{
    std::string text = (err == ENOENT ? "there is no device " : "no device answers at ") + path;
    const std::vector<std::string> present = SerialDevices();
    if (present.empty())
        text += "; no serial port was found on this computer (is the adapter plugged in?)";
    else
        text += "; serial ports here: " + Joined(present);
    if (const std::string map = PortMapFile(); !map.empty())
        text += ". A COM name can be given a device in " + map + " (a line like COM3=/dev/ttyUSB0)";
    return text;
}

std::string Busy(const std::string& path)
{
    // Whoever holds the lock is the one to close; a program that merely has
    // the device open (the other end of a pseudo-terminal, say) is not.
    std::vector<std::string> holders = LockHoldersOf(path);
    if (holders.empty())
        holders = HoldersOf(path);
    if (holders.empty())
        return path + " is in use by another program (which one is hidden from this user; 'sudo fuser -v " +
               path + "' names it); close that program and try again";
    return path + " is in use by " + Joined(holders) + "; close that program and try again";
}

}  // namespace

bool IsPermissionError(int err)
{
    return FaultOf(err) == DeviceFault::Permission;
}

std::string PermissionExplanation(const std::string& path)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0)
        return "no permission to open " + path + "; ask the administrator for access to it";
    const std::string group = GroupName(st.st_gid);
    const std::string user = UserName();
    std::string text = "no permission to open " + path + " (group " + group + "): ";
    const bool groupMayUse = (st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP);
    if (st.st_uid == ::geteuid() && st.st_uid != 0) {
        text += "its owner, user " + user + ", has no read and write permission. Fix: chmod u+rw " + path;
    } else if (st.st_gid == 0 || !groupMayUse) {
        text += "only its owner may open it; the administrator can give access with a udev rule "
                "(MODE=\"0660\", GROUP=\"dialout\")";
    } else if (ProcessInGroup(st.st_gid)) {
        text += "access is refused although user " + user + " is in group " + group +
                "; ask the administrator";
    } else if (AccountInGroup(st.st_gid)) {
        text += "user " + user + " was added to group " + group +
                " after this session started; log out and back in (or run 'newgrp " + group + "')";
    } else {
        text += "user " + user + " is not in group " + group + ". Fix: sudo usermod -aG " + group + " " +
                user + ", then log out and back in";
    }
    if (StartsWith(path, "/dev/usb/lp"))
        text += ". The vendrill package's udev rule gives the logged-in desktop user access to its printers; "
                "'getfacl " + path + "' shows whether it took effect";
    return text;
}

std::string SerialOpenError(const std::string& path, int err)
{
    struct stat st{};
    const bool exists = ::stat(path.c_str(), &st) == 0;
    if (exists && !S_ISCHR(st.st_mode))
        return NotASerialPort(path, st);
    if (err == EIO)
        return path + " does not respond (input/output error); unplug the adapter, plug it in again and retry";
    switch (FaultOf(err)) {
    case DeviceFault::Permission: return PermissionExplanation(path);
    case DeviceFault::Gone: return NoSuchDevice(path, err);
    case DeviceFault::Busy: return Busy(path);
    case DeviceFault::None:
    case DeviceFault::Other: break;
    }
    switch (err) {
    case ENOTTY:
    case EINVAL:
        return NotASerialPort(path, st);
    case EISDIR:
        return path + " is a directory, not a serial port";
    default:
        return "cannot open " + path + ": " + std::strerror(err);
    }
}

std::string UsbOpenError(int err)
{
    std::string node;
    for (const usb::PrinterInterface& itf : usb::EnumeratePrinterInterfaces()) {
        if (usb::IsAcceptedDevice(itf.symbolicLink)) {
            node = itf.node;
            break;
        }
    }
    if (node.empty())
        return NoAcceptedUsbPrinter();
    switch (FaultOf(err)) {
    case DeviceFault::Permission: return PermissionExplanation(node);
    case DeviceFault::Gone: return "the USB printer's node " + node + " is gone (unplugged?); connect it again and retry";
    case DeviceFault::Busy: return Busy(node);
    case DeviceFault::None:
    case DeviceFault::Other: break;
    }
    return "cannot open the USB printer " + node + ": " + std::strerror(err);
}

std::string NoAcceptedUsbPrinter()
{
    const std::vector<usb::PrinterInterface> present = usb::EnumeratePrinterInterfaces();
    if (present.empty())
        return "no USB printer found (no /dev/usb/lp* printer node)";
    std::string text = "no USB printer of an accepted vendor (2A92, 0519) found; present:";
    const char* separator = " ";
    for (const usb::PrinterInterface& itf : present) {
        const usb::DeviceKey key = usb::KeyFromDevicePath(itf.symbolicLink);
        text += separator + itf.node + " (vendor " + key.vendor + ", product " + key.product + ")";
        separator = ", ";
    }
    return text;
}

std::string LinkLostError(const std::string& path, const std::string& detail)
{
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0 && FaultOf(errno) == DeviceFault::Gone)
        return path + " went away during use (unplugged, or the printer switched off?); connect it again and "
                      "repeat the command (" + detail + ")";
    return "the connection through " + path + " was lost (" + detail +
           "); check the cable and the printer, then repeat the command";
}

namespace {

std::string ProcessName(const std::string& pid)
{
    std::string name;
    std::getline(std::ifstream("/proc/" + pid + "/comm"), name);
    return (name.empty() ? "a program" : name) + " (pid " + pid + ")";
}

}  // namespace

std::vector<std::string> LockHoldersOf(const std::string& path)
{
    struct stat target{};
    if (::stat(path.c_str(), &target) != 0)
        return {};
    std::vector<std::string> holders;
    const std::string self = std::to_string(::getpid());
    std::ifstream in("/proc/locks");
    std::string line;
    while (std::getline(in, line)) {
        // "1: FLOCK  ADVISORY  WRITE 1234 00:19:8 0 EOF"; a waiter's line has
        // "->" after the number.
        std::istringstream fields(line);
        std::string number, kind, mode, access, pid, file;
        if (!(fields >> number >> kind) || kind == "->" || !(fields >> mode >> access >> pid >> file))
            continue;
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(file.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3)
            continue;
        const bool same = major == major(target.st_dev) && minor == minor(target.st_dev) &&
                          inode == static_cast<unsigned long long>(target.st_ino);
        // A pid of 0 or -1 is a lock of no process this one can name.
        if (!same || pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == "0" || pid == self)
            continue;
        const std::string holder = ProcessName(pid);
        if (std::find(holders.begin(), holders.end(), holder) == holders.end())
            holders.push_back(holder);
    }
    return holders;
}

std::vector<std::string> HoldersOf(const std::string& path)
{
    struct stat target{};
    if (::stat(path.c_str(), &target) != 0)
        return {};
    std::vector<std::string> holders;
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const fs::directory_entry& proc : fs::directory_iterator("/proc", ec)) {
        const std::string pid = proc.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self)
            continue;
        std::error_code fdEc;
        for (const fs::directory_entry& fd : fs::directory_iterator(proc.path() / "fd", fdEc)) {
            struct stat st{};
            if (::stat(fd.path().c_str(), &st) != 0)
                continue;
            const bool same = S_ISCHR(target.st_mode) ? S_ISCHR(st.st_mode) && st.st_rdev == target.st_rdev
                                                      : st.st_dev == target.st_dev && st.st_ino == target.st_ino;
            if (!same)
                continue;
            holders.push_back(ProcessName(pid));
            break;
        }
    }
    return holders;
}

std::vector<std::string> SerialDevices()
{
    std::vector<std::string> stable, plain;
    for (const PortEntry& port : ListSerialPorts()) {
        stable.insert(stable.end(), port.byId.begin(), port.byId.end());
        plain.push_back(port.path);
    }
    std::sort(stable.begin(), stable.end(), NaturalLess);
    std::sort(plain.begin(), plain.end(), NaturalLess);
    stable.insert(stable.end(), plain.begin(), plain.end());
    return stable;
}

}  // namespace vendrill
