// Command line and result formatting of vendrill-cli, in process.

#include "app/cli/Cli.h"
#include "app/cli/Station.h"
#include "protocol/Protocol.h"
#include "vendrill/Version.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace vendrill;

using namespace vendrill::cli;
using namespace vendrill::app;

namespace {

ParseResult Parse(std::vector<std::string> args)
{
    return ParseArguments(args);
}

}  // namespace

TEST(CliArguments, DefaultsAreTheDialogsLine)
{
    ::unsetenv("VENDRILL_COM1");
    const ParseResult r = Parse({"info"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, Command::Info);
    EXPECT_EQ(r.options.transport, Transport::Serial);
    EXPECT_EQ(r.options.portPath, "/dev/ttyS0");
    EXPECT_EQ(r.options.line.baudRate, 57600u);
    EXPECT_EQ(r.options.line.dataBits, 8);
    EXPECT_EQ(r.options.line.parity, CSerialPort::Parity::None);
    EXPECT_EQ(r.options.line.stopBits, CSerialPort::StopBits::One);
    EXPECT_FALSE(r.options.json);
    EXPECT_FALSE(r.options.trace);
    EXPECT_FALSE(r.options.newModule) << "the window's start state reads the security level";
}

TEST(CliArguments, LineOptionsInBothSpellings)
{
    const ParseResult r = Parse({"--baud=115200", "--data-bits", "7", "--parity=odd", "--stop-bits", "2",
                                 "--port=COM3", "info", "--json", "--trace", "--new-module"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.line.baudRate, 115200u);
    EXPECT_EQ(r.options.line.dataBits, 7);
    EXPECT_EQ(r.options.line.parity, CSerialPort::Parity::Odd);
    EXPECT_EQ(r.options.line.stopBits, CSerialPort::StopBits::Two);
    EXPECT_EQ(r.options.portPath, ::getenv("VENDRILL_COM3") ? ::getenv("VENDRILL_COM3") : "/dev/ttyS2");
    EXPECT_TRUE(r.options.json);
    EXPECT_TRUE(r.options.trace);
    EXPECT_TRUE(r.options.newModule);
    EXPECT_FALSE(Parse({"--new-module", "--old-module", "info"}).options.newModule);
    EXPECT_EQ(Parse({"--parity", "even", "info"}).options.line.parity, CSerialPort::Parity::Even);
}

TEST(CliArguments, PortNames)
{
    ::setenv("VENDRILL_COM20", "/dev/ttyUSB9", 1);
    EXPECT_EQ(Parse({"--port", "COM20", "info"}).options.portPath, "/dev/ttyUSB9");
    ::unsetenv("VENDRILL_COM20");
    EXPECT_EQ(Parse({"--port", "COM20", "info"}).options.portPath, "/dev/ttyS19");
    EXPECT_EQ(Parse({"--port", "/dev/ttyACM0", "info"}).options.portPath, "/dev/ttyACM0");
    for (const char* bad : {"COM0", "COM", "com1", "COM01", "COM1x", "ttyS0", "", "COM256"})
        EXPECT_FALSE(Parse({"--port", bad, "info"}).ok) << bad;
}

TEST(CliArguments, CommandValues)
{
    EXPECT_EQ(Parse({"set-level", "not-use-pinkey"}).options.selection, '1');
    EXPECT_EQ(Parse({"set-level", "1"}).options.selection, '1');
    EXPECT_EQ(Parse({"set-level", "use-pinkey"}).options.selection, '3');
    EXPECT_EQ(Parse({"set-level", "3"}).options.selection, '3');
    EXPECT_FALSE(Parse({"set-level", "2"}).ok) << "level 2 is never sent";
    EXPECT_EQ(Parse({"set-pairing", "legacy"}).options.selection, '1');
    EXPECT_EQ(Parse({"set-pairing", "just-works"}).options.selection, '2');
    EXPECT_EQ(Parse({"set-pairing", "numeric-comparison"}).options.selection, '3');
    EXPECT_EQ(Parse({"set-pairing", "2"}).options.selection, '2');
    EXPECT_EQ(Parse({"sniff", "status"}).options.selection, 'C');
    EXPECT_EQ(Parse({"sniff", "enable"}).options.selection, '1');
    EXPECT_EQ(Parse({"sniff", "disable"}).options.selection, '0');

    const ParseResult name = Parse({"set-name", "--print", "--", "-DASH-", "--suffix", "7"});
    EXPECT_FALSE(name.ok) << "after -- everything is an argument";
    const ParseResult dashed = Parse({"set-name", "--print", "--suffix", "007", "--", "-DASH-"});
    ASSERT_TRUE(dashed.ok) << dashed.error;
    EXPECT_EQ(dashed.options.text, "-DASH-");
    EXPECT_EQ(dashed.options.suffix, "007");
    EXPECT_TRUE(dashed.options.print);
}

TEST(CliArguments, TextLimits)
{
    EXPECT_TRUE(Parse({"set-pin", std::string(16, '9')}).ok);
    EXPECT_FALSE(Parse({"set-pin", std::string(17, '9')}).ok);
    EXPECT_FALSE(Parse({"set-pin", ""}).ok);
    EXPECT_TRUE(Parse({"set-name", std::string(29, 'N')}).ok);
    EXPECT_FALSE(Parse({"set-name", std::string(30, 'N')}).ok);
    EXPECT_TRUE(Parse({"set-name", std::string(29, 'N'), "--suffix", std::string(30, '0')}).ok);
    const ParseResult tooLong = Parse({"set-name", std::string(29, 'N'), "--suffix", std::string(31, '0')});
    EXPECT_FALSE(tooLong.ok);
    EXPECT_NE(tooLong.error.find("60 bytes"), std::string::npos) << tooLong.error;

    // What the window's keyboard would drop is refused, with where and what.
    EXPECT_TRUE(Parse({"set-name", "Ab 09_-~"}).ok);
    EXPECT_TRUE(Parse({"set-pin", "~1 a_"}).ok);
    for (const std::string bad : {"new\nline", "tab\tX", "caf\xC3\xA9", "A\xFF", "a.b", "x/y", "\x7F"}) {
        EXPECT_FALSE(Parse({"set-name", bad}).ok) << bad;
        EXPECT_FALSE(Parse({"set-pin", bad}).ok) << bad;
    }
    const ParseResult feed = Parse({"set-name", "ab\ncd"});
    EXPECT_NE(feed.error.find("U+000A) at character 3"), std::string::npos) << feed.error;
    const ParseResult accent = Parse({"set-name", "caf\xC3\xA9!"});
    EXPECT_NE(accent.error.find("U+00E9) at character 4"), std::string::npos) << accent.error;
    // A Hangul syllable is a letter too, but not one the rule takes.
    const ParseResult hangul = Parse({"set-name", "PRN-\xED\x95\x9C"});
    EXPECT_NE(hangul.error.find("only ASCII letters, digits, space"), std::string::npos) << hangul.error;
}

TEST(CliArguments, HelpAndVersionWinOverAMissingCommand)
{
    EXPECT_EQ(Parse({"--help"}).options.command, Command::Help);
    EXPECT_EQ(Parse({"-h", "info"}).options.command, Command::Help);
    EXPECT_EQ(Parse({"-hV"}).options.command, Command::Help);
    EXPECT_EQ(Parse({"-Vx"}).error, "unknown option '-x'");
    EXPECT_EQ(Parse({"--version"}).options.command, Command::Version);
    EXPECT_EQ(VersionText(), "vendrill-cli " VENDRILL_VERSION "\n");
    EXPECT_FALSE(Parse({"--help=1"}).ok);
}

TEST(CliArguments, TyposGetASuggestion)
{
    EXPECT_EQ(Parse({"--prot", "COM1", "info"}).error, "unknown option '--prot'; did you mean '--port'?");
    EXPECT_EQ(Parse({"info", "--jsno"}).error, "unknown option '--jsno'; did you mean '--json'?");
    EXPECT_EQ(Parse({"--timout=500", "info"}).error, "unknown option '--timout'; did you mean '--timeout'?");
    EXPECT_EQ(Parse({"-port", "COM1", "info"}).error, "unknown option '-port'; did you mean '--port'?");
    EXPECT_EQ(Parse({"-v"}).error, "unknown option '-v'; did you mean '-V' (--version)?");
    EXPECT_EQ(Parse({"--json", "-xy", "info"}).error, "unknown option '-x'") << "not the option before it";
    EXPECT_EQ(Parse({"--frobnicate", "info"}).error, "unknown option '--frobnicate'");
    EXPECT_EQ(Parse({"inof"}).error, "unknown command 'inof'; did you mean 'info'?");
    EXPECT_EQ(Parse({"set-nmae", "X"}).error, "unknown command 'set-nmae'; did you mean 'set-name'?");
    EXPECT_EQ(Parse({"frobnicate"}).error, "unknown command 'frobnicate'");
    // The option is named as written, not its value.
    EXPECT_EQ(Parse({"info", "--name", "P"}).error, "option --name does not belong to info");
    EXPECT_EQ(Parse({"--help=1"}).error, "option --help takes no value");
}

TEST(CliArguments, RadioCheckTakesTheModulesAddressAndBlueZs)
{
    const ParseResult plain = Parse({"radio-check", "--address", "0012f3a1B2C3", "--name", "PRN 1", "--pin", "0000"});
    ASSERT_TRUE(plain.ok) << plain.error;
    EXPECT_EQ(plain.options.command, Command::RadioCheck);
    EXPECT_EQ(plain.options.radioAddress, "00:12:F3:A1:B2:C3");
    EXPECT_EQ(plain.options.prefix, "PRN 1");
    EXPECT_EQ(plain.options.stationPin, "0000");
    EXPECT_FALSE(plain.options.timeoutGiven) << "the check's own default holds";
    const ParseResult colons = Parse({"radio-check", "--address=00:12:F3:A1:B2:C3", "--timeout", "2000"});
    EXPECT_EQ(colons.options.radioAddress, "00:12:F3:A1:B2:C3");
    EXPECT_TRUE(colons.options.timeoutGiven);
    for (const char* bad : {"0012F3A1B2C", "0012F3A1B2C3D", "00-12-F3-A1-B2-C3", "00:12:F3:A1:B2:G3", "0012:F3A1B2C3", ""})
        EXPECT_FALSE(Parse({"radio-check", "--address", bad}).ok) << bad;
    EXPECT_FALSE(Parse({"radio-check"}).ok) << "--address is needed";
    EXPECT_FALSE(Parse({"radio-check", "--address", "0012F3A1B2C3", "--name", ""}).ok);
    EXPECT_FALSE(Parse({"radio-check", "--address", "0012F3A1B2C3", "--pin", std::string(17, '1')}).ok);
    EXPECT_FALSE(Parse({"radio-check", "--address", "0012F3A1B2C3", "--print"}).ok) << "the station's option";
    EXPECT_FALSE(Parse({"info", "--address", "0012F3A1B2C3"}).ok);
}

TEST(CliOutput, PlainLinesKeepControlCharactersOutOfTheTerminal)
{
    EXPECT_EQ(FormatPlain({{"name", "A B"}, {"pin", "12"}}), "name: A B\npin: 12\n");
    EXPECT_EQ(FormatPlain({{"name", std::string("X\nY\x1B[2J\x7F", 8)}}), "name: X\\x0AY\\x1B[2J\\x7F\n");
    EXPECT_EQ(FormatPlain({}), "");
}

TEST(CliOutput, JsonIsAlwaysValidUtf8)
{
    EXPECT_EQ(FormatJson({}), "{}\n");
    EXPECT_EQ(FormatJson({{"a", "1"}, {"b", "x"}}), "{\"a\": \"1\", \"b\": \"x\"}\n");
    EXPECT_EQ(JsonString("q\"b\\s/"), "\"q\\\"b\\\\s/\"");
    EXPECT_EQ(JsonString(std::string("\n\r\t\x01\x1F\x7F", 6)), "\"\\n\\r\\t\\u0001\\u001f\\u007f\"");
    EXPECT_EQ(JsonString("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"), "\"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\"");
    // Bytes that are not UTF-8 (truncated, overlong, surrogate) never reach
    // the JSON text: each becomes U+FFFD.
    EXPECT_EQ(JsonString("\xE2\x82"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_EQ(JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");
    // The module's texts are code page 949: shown as Unicode, and where they
    // are not valid CP949 their bytes are kept in hexadecimal too.
    EXPECT_EQ(FormatJson({{"name", "\xC7\xC1\xB8\xB0\xC5\xCD"}}), "{\"name\": \"\xED\x94\x84\xEB\xA6\xB0\xED\x84\xB0\"}\n");
    EXPECT_EQ(FormatJson({{"name", "A\xFF"}}), "{\"name\": \"A\xEF\xBF\xBD\", \"name_hex\": \"41FF\"}\n");
    EXPECT_EQ(FormatJson({{"address", "1"}, {"level", "Mode 3"}}, {{"level", 3}}, "no reply", 4),
              "{\"address\": \"1\", \"level\": \"Mode 3\", \"level_number\": 3, \"error\": \"no reply\", \"exit\": 4}\n");
    EXPECT_EQ(FormatPlain({{"name", "\xC7\xC1\xB8\xB0\xC5\xCD"}}), "name: \xED\x94\x84\xEB\xA6\xB0\xED\x84\xB0\n");
}

TEST(CliOutput, RecordsTableSaysYesOrNoAndCsvKeepsNumbers)
{
    record::VisitEntry e;
    e.time = "2026-12-01T08:00:00.000Z";
    e.visit.station = "st1";
    e.visit.address = "0012F3A1B2C3";
    e.visit.result = record::Result::Named;
    e.visit.name = "PRN-00001";
    e.visit.number = 1;
    e.visit.label = true;
    e.visit.radio = "ok";
    e.visit.nameHeard = "PRN-00001";
    e.state = "named";
    EXPECT_EQ(VisitsTable({e}, '\t', false),
              "2026-12-01T08:00:00.000Z\tst1\t0012F3A1B2C3\tnamed\tPRN-00001\t1\tnamed\t\tyes\tno\tno\t\tok\tPRN-00001\n");
    EXPECT_EQ(VisitsTable({e}, ',', false),
              "2026-12-01T08:00:00.000Z,st1,0012F3A1B2C3,named,PRN-00001,1,named,,1,0,0,,ok,PRN-00001\n");
}

TEST(CliExitCodes, EachOutcomeHasItsOwn)
{
    EXPECT_EQ(ExitCodeFor(Status::Ok), 0);
    EXPECT_EQ(ExitCodeFor(Status::Failure), 1);
    EXPECT_EQ(ExitCodeFor(Status::NoDevice), 3);
    EXPECT_EQ(ExitCodeFor(Status::Timeout), 4);
    EXPECT_EQ(ExitCodeFor(Status::ModuleError), 5);
}

TEST(StationArgs, OptionsAreCheckedLikeTheOtherCommands)
{
    const ParseResult ok = Parse({"station", "--name", "-PRN ~_1", "--port", "/dev/ttyUSB0", "--baud", "9600",
                                  "--level", "use-pinkey", "--pin", "--12", "--first-suffix", "042", "--count", "5",
                                  "--json"});
    ASSERT_TRUE(ok.ok) << ok.error;
    EXPECT_EQ(ok.options.command, Command::Station);
    EXPECT_EQ(ok.options.prefix, "-PRN ~_1");
    EXPECT_EQ(ok.options.portPath, "/dev/ttyUSB0");
    EXPECT_EQ(ok.options.line.baudRate, 9600u);
    EXPECT_EQ(ok.options.stationLevel, '3');
    EXPECT_EQ(ok.options.stationPin, "--12");
    EXPECT_EQ(ok.options.firstSuffix, "042");
    EXPECT_EQ(ok.options.count, 5);
    EXPECT_TRUE(ok.options.json);

    EXPECT_FALSE(Parse({"station"}).ok) << "--name is needed";
    EXPECT_FALSE(Parse({"station", "--name", "P", "--baud", "1234"}).ok);
    EXPECT_FALSE(Parse({"station", "--name", "P", "--usb", "--port", "COM2"}).ok);
    EXPECT_FALSE(Parse({"station", "--name", "P", "--simulate"}).ok);
    EXPECT_FALSE(Parse({"station", "--name", "P\xC3\xA9"}).ok) << "only what the window lets a user type";
    EXPECT_FALSE(Parse({"station", "--name", "P", "--pin", "1.2"}).ok);
    EXPECT_FALSE(Parse({"station", "--name", "P", "extra"}).ok);
    EXPECT_FALSE(Parse({"station", "--name", "P", "--suffix", "1"}).ok) << "set-name's option";
    EXPECT_FALSE(Parse({"info", "--name", "P"}).ok) << "the station's option";
    const ParseResult radio = Parse({"station", "--name", "P", "--radio-check", "--radio-timeout", "3000"});
    ASSERT_TRUE(radio.ok) << radio.error;
    EXPECT_EQ((std::pair{radio.options.radioCheck, radio.options.radioTimeoutMs}), (std::pair{true, 3000}));
    EXPECT_FALSE(Parse({"station", "--name", "P", "--radio-timeout", "3000"}).ok) << "without --radio-check";
    EXPECT_FALSE(Parse({"station", "--name", "P", "--radio-check", "--radio-timeout", "99"}).ok);
    EXPECT_FALSE(Parse({"radio-check", "--address", "0012F3A1B2C3", "--radio-check"}).ok) << "the station's option";
    EXPECT_FALSE(Parse({"records", "--json", "--csv"}).ok);
    EXPECT_FALSE(Parse({"records", "--since", "yesterday"}).ok);
    const ParseResult usb = Parse({"station", "--name", "P", "--usb-device", "SER1"});
    ASSERT_TRUE(usb.ok) << usb.error;
    EXPECT_EQ(usb.options.transport, Transport::Usb);
    EXPECT_EQ(usb.options.usbDevice, "SER1");
}
