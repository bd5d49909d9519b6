// vendrill-cli --usb against a printer of the umockdev test bed. The test
// binary runs under the umockdev preload (tests/usb/umockdev_main.cpp), and
// the program it starts inherits the preload and the test bed's location,
// so it finds the same printer. A thread of the test plays the module on the
// printer side of the node.

#include "CliTestUtil.h"
#include "StationTest.h"
#include "../usb/UsbTestbed.h"

#include "link/OpenError.h"
#include "sim/ModuleSim.h"
#include "sim/SimHost.h"
#include "record/Record.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <cerrno>
#include <map>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace vendrill;

namespace {

// Answers requests that arrive on the printer side with a CModuleSim.
class PrinterModule {
public:
    // silentAfterName: answers Set BDN (as the options say), then nothing more.
    explicit PrinterModule(int printerFd, const ModuleState& state = {}, const SimOptions& options = {},
                           bool silentAfterName = false)
        : m_fd(printerFd)
        , m_stop(::eventfd(0, EFD_CLOEXEC))
        , m_silentAfterName(silentAfterName)
    {
        m_sim.SetState(state);
        m_sim.SetOptions(options);
        if (m_fd >= 0 && m_stop >= 0)
            m_thread = std::thread([this] { Serve(); });
    }
    ~PrinterModule()
    {
        const std::uint64_t one = 1;
        if (m_stop >= 0 && ::write(m_stop, &one, sizeof one) < 0)
            ADD_FAILURE() << "cannot stop the printer module";
        if (m_thread.joinable())
            m_thread.join();
        if (m_stop >= 0)
            ::close(m_stop);
    }
    bool Running() const { return m_thread.joinable(); }

    ModuleState State()
    {
        std::lock_guard lock(m_mutex);
        return m_sim.State();
    }
    void SetAddress(const std::string& address)
    {
        std::lock_guard lock(m_mutex);
        ModuleState state = m_sim.State();
        state.address = address;
        m_sim.SetState(state);
    }
    void SetOptions(const SimOptions& options)
    {
        std::lock_guard lock(m_mutex);
        m_sim.SetOptions(options);
    }
    std::uint64_t NameRequests()
    {
        std::lock_guard lock(m_mutex);
        return m_sim.NameRequests();
    }
    std::vector<std::string> PrintedLines()
    {
        std::lock_guard lock(m_mutex);
        return m_sim.PrintedLines();
    }

private:
    void Serve()
    {
        std::uint8_t buf[512];
        for (;;) {
            pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stop, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR)
                    continue;
                return;
            }
            if (fds[1].revents)
                return;
            const ssize_t n = (fds[0].revents & POLLIN) ? ::read(m_fd, buf, sizeof buf) : 0;
            if (n <= 0) {
                // The node side is not open (between two runs) and the
                // master reports a hang-up: pause instead of spinning.
                pollfd stop{m_stop, POLLIN, 0};
                if (::poll(&stop, 1, 20) != 0)
                    return;
                continue;
            }
            std::vector<proto::Bytes> replies;
            {
                std::lock_guard lock(m_mutex);
                replies = m_sim.Feed(buf, static_cast<std::size_t>(n));
                if (m_silentAfterName && m_sim.NameRequests() > 0) {
                    SimOptions options = m_sim.Options();
                    options.silent = true;
                    m_sim.SetOptions(options);
                }
            }
            for (const proto::Bytes& reply : replies) {
                std::size_t done = 0;
                while (done < reply.size()) {
                    const ssize_t w = ::write(m_fd, reply.data() + done, reply.size() - done);
                    if (w > 0)
                        done += static_cast<std::size_t>(w);
                    else if (w < 0 && errno != EINTR && errno != EAGAIN)
                        return;
                }
            }
        }
    }

    int m_fd;
    int m_stop;
    std::mutex m_mutex;
    CModuleSim m_sim;
    const bool m_silentAfterName;
    std::thread m_thread;
};

// Printers plugged in and out of the test bed as on a line, each with its
// module behind its node, and a record in a temporary folder. umockdev sends
// no uevent of its own: udev hears of every printer coming and going from
// here, so a station that does not follow the events misses them.
class UsbLine {
public:
    UsbLine()
    {
        char dir[] = "/tmp/vendrill-usbst-XXXXXX";
        EXPECT_TRUE(::mkdtemp(dir));
        m_dir = dir;
        db = "sqlite:" + m_dir + "/r.sqlite";
    }
    ~UsbLine()
    {
        m_plugged.clear();
        for (const int fd : m_retired)
            if (fd >= 0)
                ::close(fd);
        std::error_code ignored;
        std::filesystem::remove_all(m_dir, ignored);
    }

    // Plugs in a printer at a bus path (9-1) with the node /dev/usb/lp<lp>,
    // its module starting as `state`.
    PrinterModule& PlugIn(const std::string& bus, int lp, const ModuleState& state, const SimOptions& options = {},
                          bool silentAfterName = false)
    {
        Plugged& p = m_plugged[lp];
        const std::string sys = bed.AddPrinter(bus, "2a92", "0003", "", lp);
        p.node = "/dev/usb/lp" + std::to_string(lp);
        p.usbmisc = sys + "/" + bus + ":1.0/usbmisc/lp" + std::to_string(lp);
        p.sys = sys;
        p.module = std::make_unique<PrinterModule>(bed.PrinterSide(p.node), state, options, silentAfterName);
        EXPECT_TRUE(p.module->Running());
        bed.Event(p.usbmisc, "add");
        return *p.module;
    }
    PrinterModule& Module(int lp) { return *m_plugged.at(lp).module; }

    // The remove event, then the device goes and its node hangs up. What its
    // module holds and printed stays readable.
    ModuleState Unplug(int lp)
    {
        Plugged& p = m_plugged.at(lp);
        bed.Event(p.usbmisc, "remove");
        const ModuleState state = p.module->State();
        for (const std::string& line : p.module->PrintedLines())
            printed.push_back(line);
        p.module.reset();
        // The test bed cannot give a pseudo-terminal number out twice: an
        // opener of the node's terminal keeps its number taken (and the
        // node still hangs up when its printer side goes).
        if (const char* pts = ::ptsname(bed.PrinterSide(p.node)))
            m_retired.push_back(::open(pts, O_RDWR | O_NOCTTY | O_CLOEXEC));
        bed.Unplug(p.sys, p.node);
        m_plugged.erase(lp);
        return state;
    }

    std::vector<record::VisitEntry> Visits()
    {
        record::OpenResult r = record::Open(db, record::Access::ReadOnly);
        std::vector<record::VisitEntry> all;
        std::string error;
        if (r.record)
            r.record->List("", &all, &error);
        return all;
    }
    bool WaitForVisits(std::size_t n)
    {
        return stationtest::WaitFor([&] { return Visits().size() >= n; });
    }

    UsbTestbed bed;
    std::string db;
    std::vector<std::string> printed;  // by the modules unplugged so far

private:
    struct Plugged {
        std::string sys, usbmisc, node;
        std::unique_ptr<PrinterModule> module;
    };
    std::string m_dir;
    std::map<int, Plugged> m_plugged;
    std::vector<int> m_retired;  // terminals of unplugged printers
};

ModuleState ModuleWith(const std::string& address)
{
    ModuleState state;
    state.address = address;
    return state;
}

}  // namespace

TEST(CliUsb, InfoAndSetPinOverTheUsbPrinter)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    PrinterModule module(bed.PrinterSide("/dev/usb/lp0"));
    ASSERT_TRUE(module.Running());

    clitest::Outcome o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out, "address: 00190199A1B2\npin: 0000\nname: VENDRILL-PRN\nlevel: Mode 1 (Not Use Pinkey)\n");
    EXPECT_EQ(o.err, "") << "discovery trace lines only with --trace";

    o = clitest::RunCli({"--usb", "--json", "--trace", "set-pin", "4321"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("\"pin\": \"4321\""), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("ESC ~ 5 Set PINKEY"), std::string::npos) << o.err;
    // The connect traces as in the window (the reader's lines may come
    // between; "DevicePath: ..." ends without a line end).
    std::vector<std::string> connect;
    for (const std::string& line : clitest::Lines(o.err)) {
        if (const std::size_t at = line.find("USB_Connection"); at != std::string::npos)
            connect.push_back(line.substr(at));
        else if (line.rfind("Open Success", 0) == 0 || line == "GetDeviceViaInterface -1")
            connect.push_back(line);
    }
    EXPECT_EQ(connect, (std::vector<std::string>{"USB_Connection -1", "GetDeviceViaInterface -1", "USB_Connection -2",
                                                 "Open Success -1", "Open Success -2"}))
        << o.err;
    EXPECT_EQ(module.State().pin, "4321");

    // Every write to the printer goes through the link's paced write, the
    // label's name and each of its three line feeds on their own, as the
    // window sends them.
    o = clitest::RunCli({"--usb", "--trace", "set-name", "LABEL", "--print"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.err.find("WriteComm data: 5\nWriteComm data: 1\n"), std::string::npos) << o.err;
    EXPECT_EQ(clitest::CountLines(o.err, "WriteComm data: 1"), 3) << o.err;
    EXPECT_EQ(clitest::CountLines(o.err, "WriteComm data: 9"), 1) << "the Set BDN frame\n" << o.err;
    EXPECT_EQ(module.State().name, "LABEL");
}

// The message for a printer node this user may not open names the node, its
// group and how to get access.
TEST(CliUsb, RefusedPrinterNodeIsExplained)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    const std::string text = vendrill::UsbOpenError(EACCES);
    EXPECT_EQ(text.rfind("no permission to open /dev/usb/lp0 (group ", 0), 0u) << text;
    EXPECT_NE(text.find("getfacl /dev/usb/lp0"), std::string::npos) << text;
    EXPECT_EQ(vendrill::UsbOpenError(ENOENT).rfind("the USB printer's node /dev/usb/lp0 is gone", 0), 0u);
}

TEST(CliUsb, NoAcceptedPrinterIsNoDevice)
{
    UsbTestbed bed;
    // Nothing plugged in is not "a wrong printer".
    clitest::Outcome o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "vendrill-cli: no USB printer found (no /dev/usb/lp* printer node)\n");

    // Printers of other vendors are named, so the user sees what is there.
    ASSERT_TRUE(bed.Load("printer_other"));
    o = clitest::RunCli({"--usb", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(o.err, "vendrill-cli: no USB printer of an accepted vendor (2A92, 0519) found; present: "
                     "/dev/usb/lp2 (vendor 04B8, product 0202)\n");
}

TEST(CliUsb, PortsListsUsbPrintersAndMappedPorts)
{
    UsbTestbed bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.AddPrinter("9-2", "1234", "5678", "OTHER1", 1);
    CSimHost sim;
    ASSERT_TRUE(sim.Start());

    const clitest::Outcome o = clitest::RunCli({"ports", "--json"}, {"VENDRILL_COM7=" + sim.SlavePath()});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_NE(o.out.find("{\"path\": \"/dev/usb/lp0\", \"kind\": \"usb-printer\", \"com\": null, \"by_id\": [], "
                         "\"vendor\": \"2a92\", \"product\": \"0003\", \"serial\": \"HL0001\", \"description\": "),
              std::string::npos)
        << o.out;
    EXPECT_NE(o.out.find("\"path\": \"/dev/usb/lp1\", \"kind\": \"usb-printer\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"location\": \"9-2\", \"accepted\": false}"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("{\"path\": " + std::string("\"") + sim.SlavePath() + "\", \"kind\": \"serial\", \"com\": \"COM7\""),
              std::string::npos)
        << o.out;

    // A table under a header, "-" where there is nothing to say; --vid and
    // --pid keep one vendor's or product's ports.
    const clitest::Outcome plain = clitest::RunCli({"ports", "--vid", "2A92"});
    const std::vector<std::string> lines = clitest::Lines(plain.out);
    ASSERT_EQ(lines.size(), 2u) << plain.out;
    EXPECT_EQ(clitest::Words(lines[0]), (std::vector<std::string>{"PATH", "KIND", "COM", "USB", "SERIAL", "ACCEPTED",
                                                         "LOCATION", "DESCRIPTION", "BY-ID"}));
    const std::vector<std::string> lp0 = clitest::Words(lines[1]);
    ASSERT_GE(lp0.size(), 9u) << lines[1];
    EXPECT_EQ(std::vector<std::string>(lp0.begin(), lp0.begin() + 6),
              (std::vector<std::string>{"/dev/usb/lp0", "usb-printer", "-", "2a92:0003", "HL0001", "yes"}));
    EXPECT_EQ(clitest::Lines(clitest::RunCli({"ports", "--vid", "1234", "--pid", "5678"}).out).size(), 2u);
    EXPECT_EQ(clitest::Lines(clitest::RunCli({"ports", "--pid", "ffff"}).out).size(), 1u) << "the header alone";
}

// A node, a USB serial number or a USB location (as `ports` shows it)
// chooses the printer, for one-shot commands and the station alike.
TEST(CliUsb, UsbDeviceChoosesAPrinterByNodeSerialOrLocation)
{
    UsbLine line;
    UsbTestbed& bed = line.bed;
    ASSERT_TRUE(bed.Load("printer_2a92"));
    bed.AddPrinter("9-2", "0519", "0001", "SECOND", 1);
    bed.AddPrinter("9-3", "1234", "0001", "FOREIGN", 2);
    PrinterModule first(bed.PrinterSide("/dev/usb/lp0")), second(bed.PrinterSide("/dev/usb/lp1"));
    ASSERT_TRUE(first.Running() && second.Running());
    second.SetAddress("0019019C0002");

    clitest::Outcome o = clitest::RunCli({"--usb-device", "SECOND", "info"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out.rfind("address: 0019019C0002\n", 0), 0u) << o.out;
    o = clitest::RunCli({"--usb-device", "/dev/usb/lp1", "set-pin", "9876"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(second.State().pin, "9876");
    EXPECT_EQ(first.State().pin, "0000");

    o = clitest::RunCli({"--usb-device", "FOREIGN", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err.find("not of an accepted vendor"), std::string::npos) << o.err;
    o = clitest::RunCli({"--usb-device", "NOSUCH", "info"});
    EXPECT_EQ(o.exitCode, 3);
    EXPECT_NE(o.err.find("no USB printer NOSUCH"), std::string::npos) << o.err;

    o = clitest::RunCli({"--usb-device", "1-1", "info"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(o.out.rfind("address: 00190199A1B2\n", 0), 0u) << o.out;
    o = clitest::RunCli({"--usb-device", "9-3", "info"});
    EXPECT_NE(o.err.find("not of an accepted vendor"), std::string::npos) << o.err;
    o = clitest::RunCli({"station", "--usb-device", "9-2", "--db", line.db, "--create-record", "--name", "L", "--count", "1"});
    EXPECT_EQ(o.exitCode, 0) << o.err;
    EXPECT_EQ(second.State().name, "L00001");
    EXPECT_EQ(first.State().name, "VENDRILL-PRN");
}

// The station looks for printers again only when udev tells of one coming
// or going: the periodic look, which stands in for a lost event, is put far
// beyond this test's waits, and each printer comes after the station has
// looked and found none (its trace says so).
TEST(CliUsb, StationFollowsPrintersBeingPluggedInAndOut)
{
    UsbLine line;
    // A printer of another vendor stays plugged in throughout; the station passes it over.
    ASSERT_TRUE(line.bed.Load("printer_other"));
    const std::string errors = line.db.substr(7) + ".err";
    const auto looked = [&](int times) {
        return stationtest::WaitFor([&] {
            return clitest::CountLines(clitest::ReadText(errors), "udev look: no printer") >= times;
        });
    };

    clitest::RunOptions run;
    run.errorFile = errors;
    run.extraEnv = {"VENDRILL_TEST_USB_LOOK_MS=600000"};
    ModuleState second;
    run.whileRunning = [&](pid_t) {
        ASSERT_TRUE(looked(1));
        line.PlugIn("9-1", 5, ModuleWith("0019019D0001"));
        ASSERT_TRUE(line.WaitForVisits(1));
        line.Unplug(5);
        ASSERT_TRUE(looked(2));
        line.PlugIn("9-2", 6, ModuleWith("0019019D0002"));
        ASSERT_TRUE(line.WaitForVisits(2));
        second = line.Module(6).State();
    };
    const clitest::Outcome o = clitest::RunCli(
        {"station", "--usb", "--trace", "--db", line.db, "--create-record", "--name", "U", "--count", "2"}, run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    const auto visits = line.Visits();
    ASSERT_EQ(visits.size(), 2u) << o.err;
    EXPECT_EQ(visits[0].visit.address + " " + visits[0].visit.name + " " + stationtest::ResultOf(visits[0]),
              "0019019D0001 U00001 named");
    EXPECT_EQ(visits[1].visit.address + " " + visits[1].visit.name + " " + stationtest::ResultOf(visits[1]),
              "0019019D0002 U00002 named");
    EXPECT_EQ(second.name, "U00002");
}

// A printer unplugged after Set BDN went out, or during the read-back, stays
// `sent`; the station says so and takes the next printer. Each is finished
// on its next visit and gets its label then, and only once.
TEST(CliUsb, StationGoesOnAfterAnUnplugAndLabelsThePrinterWhenItsNameIsConfirmed)
{
    UsbLine line;
    const std::string errors = line.db.substr(7) + ".err";
    clitest::RunOptions run;
    run.errorFile = errors;
    ModuleState a = ModuleWith("0019019E000A"), b = ModuleWith("0019019E000B");
    run.whileRunning = [&](pid_t) {
        // A takes its name, but the answer never comes: unplugged while the
        // station waits for it.
        SimOptions lost;
        lost.loseNameAck = true;
        PrinterModule& first = line.PlugIn("9-1", 5, a, lost);
        ASSERT_TRUE(stationtest::WaitFor([&] { return first.NameRequests() > 0; }));
        a = line.Unplug(5);
        ASSERT_TRUE(line.WaitForVisits(1));
        // B answers Set BDN, then goes quiet: unplugged during the read-back.
        PrinterModule& second = line.PlugIn("9-2", 6, b, {}, true);
        ASSERT_TRUE(stationtest::WaitFor([&] { return second.NameRequests() > 0; }));
        b = line.Unplug(6);
        ASSERT_TRUE(line.WaitForVisits(2));
        // Both come back and are finished; A comes once more. (The test bed
        // keeps a bus path once used.)
        int lp = 7;
        for (ModuleState* again : {&a, &b, &a}) {
            line.PlugIn("9-" + std::to_string(lp), lp, *again);
            ASSERT_TRUE(line.WaitForVisits(static_cast<std::size_t>(lp - 4)));
            *again = line.Unplug(lp++);
        }
    };
    const clitest::Outcome o = clitest::RunCli(
        {"station", "--usb", "--db", line.db, "--create-record", "--name", "U", "--print", "--timeout", "30000", "--count", "5"}, run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 7) << "two visits ended sent\n" << o.err;
    EXPECT_NE(o.err.find("printer on /dev/usb/lp5 went away"), std::string::npos) << o.err;
    EXPECT_NE(o.err.find("U00002 stays sent"), std::string::npos) << o.err;

    const auto visits = line.Visits();
    ASSERT_EQ(visits.size(), 5u) << o.err;
    std::vector<std::string> seen;
    for (const auto& e : visits)
        seen.push_back(e.visit.address + " " + e.visit.name + " " + stationtest::ResultOf(e) + " " + e.state +
                       (e.visit.label ? " label" : ""));
    EXPECT_EQ(seen, (std::vector<std::string>{"0019019E000A U00001 sent named", "0019019E000B U00002 sent named",
                                              "0019019E000A U00001 already-named named label",
                                              "0019019E000B U00002 already-named named label",
                                              "0019019E000A U00001 already-named named"}));
    EXPECT_EQ(a.name, "U00001");
    EXPECT_EQ(b.name, "U00002");
    // What the printers printed: each label once.
    EXPECT_EQ(std::count(line.printed.begin(), line.printed.end(), "U00001"), 1) << o.err;
    EXPECT_EQ(std::count(line.printed.begin(), line.printed.end(), "U00002"), 1) << o.err;
}

// A printer whose node cannot be opened yet, or whose module never answers,
// is named with what to check (the silent one after a few seconds, once);
// the station goes on trying and names the printer once it answers.
TEST(CliUsb, StationWaitsForAPrinterItCannotOpenYetOrThatDoesNotAnswer)
{
    UsbLine line;
    const std::string errors = line.db.substr(7) + ".err";
    SimOptions quiet;
    quiet.silent = true;
    PrinterModule& module = line.PlugIn("9-1", 5, ModuleWith("0019019F0001"), quiet);
    const std::string node = line.bed.NodeFile("/dev/usb/lp5");
    ASSERT_EQ(::rename(node.c_str(), (node + ".away").c_str()), 0);
    const auto said = [&](const std::string& text) {
        return stationtest::WaitFor([&] { return clitest::ReadText(errors).find(text) != std::string::npos; });
    };
    clitest::RunOptions run;
    run.errorFile = errors;
    ModuleState named;
    run.whileRunning = [&](pid_t) {
        ASSERT_TRUE(said("udev open /dev/usb/lp5: "));
        ASSERT_EQ(::rename((node + ".away").c_str(), node.c_str()), 0);
        ASSERT_TRUE(said("/dev/usb/lp5 does not answer"));
        EXPECT_TRUE(line.Visits().empty());
        module.SetOptions({});
        ASSERT_TRUE(line.WaitForVisits(1));
        named = module.State();
    };
    const clitest::Outcome o =
        clitest::RunCli({"station", "--usb", "--trace", "--json", "--db", line.db, "--create-record", "--name", "Q", "--count", "1"}, run);
    EXPECT_TRUE(o.finished);
    EXPECT_EQ(o.exitCode, 0) << o.err;
    const std::vector<std::string> lines = clitest::Lines(o.err);
    const auto silent = std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
        return l.find("does not answer") != std::string::npos;
    });
    EXPECT_EQ(silent, 1);
    EXPECT_NE(o.err.find("check that"), std::string::npos);
    EXPECT_NE(o.out.find("\"event\": \"silent\""), std::string::npos) << o.out;
    EXPECT_NE(o.out.find("\"node\": \"/dev/usb/lp5\""), std::string::npos) << o.out;
    EXPECT_EQ(named.name, "Q00001");
    const auto visits = line.Visits();
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(stationtest::ResultOf(visits[0]), "named");
}
