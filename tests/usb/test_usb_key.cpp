#include "link/UsbPrinter.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

using vendrill::usb::DeviceKey;
using vendrill::usb::IsAcceptedDevice;
using vendrill::usb::KeyFromDevicePath;
using vendrill::usb::SymbolicLink;

namespace {

const std::string kClassRef = "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string Path(const std::string& identity)
{
    return "\\\\?\\" + identity + kClassRef;
}

}  // namespace

TEST(UsbKey, TypicalPathGivesKeyClassVendorAndProduct)
{
    const DeviceKey k = KeyFromDevicePath(Path("usb#vid_2a92&pid_0003#XYZ"));
    EXPECT_EQ(k.key, "USB\\VID_2A92&PID_0003\\XYZ");
    EXPECT_EQ(k.cls, "USB");
    EXPECT_EQ(k.vendor, "2A92");
    EXPECT_EQ(k.product, "0003");
}

TEST(UsbKey, OnlyTheLastHashEndsTheKeyAndTheOthersBecomeBackslashes)
{
    const DeviceKey k = KeyFromDevicePath("\\\\?\\usb#vid_0519&pid_0001#5&1a2b&0&1#tail#{class}");
    EXPECT_EQ(k.key, "USB\\VID_0519&PID_0001\\5&1A2B&0&1\\TAIL");
    EXPECT_EQ(k.vendor, "0519");
}

TEST(UsbKey, CaseOfThePathDoesNotMatter)
{
    EXPECT_TRUE(IsAcceptedDevice(Path("usb#vid_2a92&pid_0003#abc")));
    EXPECT_TRUE(IsAcceptedDevice(Path("USB#VID_2A92&PID_0003#ABC")));
    EXPECT_TRUE(IsAcceptedDevice(Path("Usb#Vid_0519&Pid_00aB#x")));
    EXPECT_EQ(KeyFromDevicePath(Path("usb#vid_2a92&pid_00ab#sn")).key,
              KeyFromDevicePath(Path("USB#VID_2A92&PID_00AB#SN")).key);
}

TEST(UsbKey, BothVendorsAreAcceptedWithAnyProduct)
{
    for (const char* product : {"0000", "0003", "ffff", "zz", ""}) {
        EXPECT_TRUE(IsAcceptedDevice(Path(std::string("usb#vid_2a92&pid_") + product + "#1"))) << product;
        EXPECT_TRUE(IsAcceptedDevice(Path(std::string("usb#vid_0519&pid_") + product + "#1"))) << product;
    }
}

TEST(UsbKey, OtherVendorsAndClassesAreRefused)
{
    EXPECT_FALSE(IsAcceptedDevice(Path("usb#vid_04b8&pid_0003#1")));
    EXPECT_FALSE(IsAcceptedDevice(Path("usb#vid_2a93&pid_0003#1")));
    EXPECT_FALSE(IsAcceptedDevice(Path("usb#vid_0518&pid_0003#1")));
    EXPECT_FALSE(IsAcceptedDevice(Path("hid#vid_2a92&pid_0003#1")));
    EXPECT_FALSE(IsAcceptedDevice(Path("usbprint#vid_2a92&pid_0003#1")));
    // The vendor must sit at its fixed place in the key.
    EXPECT_FALSE(IsAcceptedDevice(Path("usb#vid__2a92&pid_0003#1")));
}

TEST(UsbKey, ShortKeysGiveShortOrEmptyFields)
{
    DeviceKey k = KeyFromDevicePath("\\\\?\\usb#vid_2a#x");
    EXPECT_EQ(k.key, "USB\\VID_2A");
    EXPECT_EQ(k.cls, "USB");
    EXPECT_EQ(k.vendor, "2A");
    EXPECT_EQ(k.product, "");
    EXPECT_FALSE(IsAcceptedDevice("\\\\?\\usb#vid_2a#x"));

    k = KeyFromDevicePath("\\\\?\\usb#vid_2a92&pid_00#x");
    EXPECT_EQ(k.vendor, "2A92");
    EXPECT_EQ(k.product, "00");
    EXPECT_TRUE(IsAcceptedDevice("\\\\?\\usb#vid_2a92&pid_00#x")) << "the product is not tested";

    k = KeyFromDevicePath("\\\\?\\usb#vid_2a92#x");
    EXPECT_EQ(k.key, "USB\\VID_2A92");
    EXPECT_EQ(k.product, "");
    EXPECT_TRUE(IsAcceptedDevice("\\\\?\\usb#vid_2a92#x"));
}

TEST(UsbKey, PathWithoutHashKeepsAllAfterThePrefix)
{
    const DeviceKey k = KeyFromDevicePath("\\\\?\\usbvid_2a92");
    EXPECT_EQ(k.key, "USBVID_2A92");
    EXPECT_EQ(k.cls, "") << "no backslash, so no class";
    EXPECT_EQ(k.vendor, "A92");
    EXPECT_FALSE(IsAcceptedDevice("\\\\?\\usbvid_2a92"));
}

TEST(UsbKey, EmptyAndPrefixOnlyPathsGiveEmptyKeys)
{
    for (const char* path : {"", "\\", "\\\\?", "\\\\?\\", "#", "####", "\\\\?\\#"}) {
        const DeviceKey k = KeyFromDevicePath(path);
        EXPECT_EQ(k.key, "") << path;
        EXPECT_EQ(k.cls, "") << path;
        EXPECT_EQ(k.vendor, "") << path;
        EXPECT_EQ(k.product, "") << path;
        EXPECT_FALSE(IsAcceptedDevice(path)) << path;
    }
}

TEST(UsbKey, ArbitraryBytesAreHandledSafely)
{
    // Embedded NUL and bytes above 0x7F are carried, never upper-cased.
    const std::string odd("\\\\?\\usb#vid_2a92&pid_\0\xff\xe9" "a#x#y", 29);
    const DeviceKey k = KeyFromDevicePath(odd);
    EXPECT_EQ(k.key, std::string("USB\\VID_2A92&PID_\0\xff\xe9" "A\\X", 23));
    EXPECT_EQ(k.product, std::string("\0\xff\xe9" "A", 4));
    EXPECT_TRUE(IsAcceptedDevice(odd));

    std::mt19937 rng(12345);
    std::string alphabet("#\\usbvidUSBVID_&p2a90519x\xff");
    alphabet.push_back('\0');
    for (int round = 0; round < 20000; ++round) {
        std::string path(rng() % 40, ' ');
        for (char& c : path)
            c = (rng() % 4 == 0) ? static_cast<char>(rng() % 256) : alphabet[rng() % alphabet.size()];
        const DeviceKey key = KeyFromDevicePath(path);
        ASSERT_LE(key.key.size(), path.size());
        ASSERT_EQ(key.key.find('#'), std::string::npos);
        ASSERT_LE(key.vendor.size(), 4u);
        ASSERT_LE(key.product.size(), 4u);
        ASSERT_LE(key.cls.size(), key.key.size());
        (void)IsAcceptedDevice(path);
    }
}

TEST(UsbSymbolicLink, BuildsTheHostDevicePath)
{
    EXPECT_EQ(SymbolicLink("2a92", "0003", "HL0001"),
              "\\\\?\\usb#vid_2a92&pid_0003#HL0001#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
    EXPECT_EQ(SymbolicLink("2A92", "00AB", "1-1.2"),
              "\\\\?\\usb#vid_2a92&pid_00ab#1-1.2#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
}

TEST(UsbSymbolicLink, KeyRuleReadsBackVendorProductAndInstance)
{
    const DeviceKey k = KeyFromDevicePath(SymbolicLink("0519", "fffe", "ab12"));
    EXPECT_EQ(k.key, "USB\\VID_0519&PID_FFFE\\AB12");
    EXPECT_EQ(k.vendor, "0519");
    EXPECT_EQ(k.product, "FFFE");
    EXPECT_TRUE(IsAcceptedDevice(SymbolicLink("2a92", "0003", "x")));
    EXPECT_FALSE(IsAcceptedDevice(SymbolicLink("04b8", "0003", "x")));
}

TEST(UsbSymbolicLink, DeviceStringsCannotAddSeparatorsOrControlBytes)
{
    const std::string link = SymbolicLink("2a92", "0003", std::string("a#b\\c d\n\x01\x7f\xc3\0e", 13));
    EXPECT_EQ(link, "\\\\?\\usb#vid_2a92&pid_0003#a_b_c_d_____e#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
    EXPECT_EQ(KeyFromDevicePath(link).key, "USB\\VID_2A92&PID_0003\\A_B_C_D_____E");

    // A forged vendor string cannot move the fields either.
    EXPECT_EQ(KeyFromDevicePath(SymbolicLink("#2a9", "0003", "x")).vendor, "_2A9");
}
