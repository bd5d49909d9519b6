// Key rule on arbitrary device paths, and device paths built from arbitrary
// device strings read back through the same rule.
//
// Input: the whole input is one device path; it is also split as
// [vid length][pid length][vid][pid][instance...] for the built path.

#include "FuzzCheck.h"
#include "link/UsbPrinter.h"

#include <string>

namespace {

using vendrill::usb::DeviceKey;

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }
char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Field(const std::string& key, std::size_t offset)
{
    return key.size() > offset ? key.substr(offset, 4) : std::string();
}

// The key worked out step by step: prefix off, class reference off, '#' to
// '\', upper case, then class, vendor and product from fixed places.
DeviceKey ExpectedKey(std::string_view path)
{
    std::string_view rest = path.size() > 4 ? path.substr(4) : std::string_view();
    const std::size_t last = rest.rfind('#');
    if (last != std::string_view::npos)
        rest = rest.substr(0, last);
    DeviceKey k;
    for (char c : rest)
        k.key.push_back(c == '#' ? '\\' : Upper(c));
    const std::size_t slash = k.key.find('\\');
    k.cls = slash == std::string::npos ? std::string() : k.key.substr(0, slash);
    k.vendor = Field(k.key, 8);
    k.product = Field(k.key, 17);
    return k;
}

void CheckPath(std::string_view path)
{
    const DeviceKey k = vendrill::usb::KeyFromDevicePath(path);
    const DeviceKey e = ExpectedKey(path);
    FUZZ_CHECK(k.key == e.key);
    FUZZ_CHECK(k.cls == e.cls);
    FUZZ_CHECK(k.vendor == e.vendor);
    FUZZ_CHECK(k.product == e.product);
    for (char c : k.key)
        FUZZ_CHECK(!(c >= 'a' && c <= 'z'));
    FUZZ_CHECK(k.vendor.size() <= 4 && k.product.size() <= 4);

    const bool accepted = vendrill::usb::IsAcceptedDevice(path);
    FUZZ_CHECK(accepted == (k.cls == "USB" && (k.vendor == "2A92" || k.vendor == "0519")));
}

// A device's own strings must neither add separators nor control bytes.
std::string Safe(std::string_view part, bool lower)
{
    std::string out;
    for (char c : part) {
        const auto u = static_cast<unsigned char>(c);
        const bool plain = u > 0x20 && u < 0x7F && c != '#' && c != '\\';
        out.push_back(plain ? (lower ? Lower(c) : c) : '_');
    }
    return out;
}

std::string UpperAll(std::string s)
{
    for (char& c : s)
        c = Upper(c);
    return s;
}

void CheckLink(std::string_view vid, std::string_view pid, std::string_view instance)
{
    const std::string link = vendrill::usb::SymbolicLink(vid, pid, instance);
    const std::string v = Safe(vid, true), p = Safe(pid, true), i = Safe(instance, false);
    FUZZ_CHECK(link == "\\\\?\\usb#vid_" + v + "&pid_" + p + "#" + i + "#" +
                           std::string(vendrill::usb::kPrinterInterfaceClass));
    for (char c : link)
        FUZZ_CHECK(static_cast<unsigned char>(c) > 0x20 && static_cast<unsigned char>(c) < 0x7F);

    // Read back: only the three separators of the layout count.
    const DeviceKey k = vendrill::usb::KeyFromDevicePath(link);
    FUZZ_CHECK(k.key == UpperAll("USB\\VID_" + v + "&PID_" + p + "\\" + i));
    FUZZ_CHECK(k.cls == "USB");
    if (v.size() == 4 && p.size() == 4) {
        FUZZ_CHECK(k.vendor == UpperAll(v));
        FUZZ_CHECK(k.product == UpperAll(p));
        FUZZ_CHECK(vendrill::usb::IsAcceptedDevice(link) == (k.vendor == "2A92" || k.vendor == "0519"));
    }
    CheckPath(link);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    CheckPath(std::string_view(reinterpret_cast<const char*>(data), size));

    fuzz::Input in(data, size);
    const std::size_t vidLength = in.Byte() % 8;
    const std::size_t pidLength = in.Byte() % 8;
    const std::string_view vid = in.Take(vidLength);
    const std::string_view pid = in.Take(pidLength);
    CheckLink(vid, pid, in.Rest());
    return 0;
}
