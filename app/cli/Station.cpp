#include "app/cli/Station.h"

#include "app/cli/Interrupt.h"
#include "app/cli/ModuleSession.h"
#include "base/Trace.h"
#include "link/Poll.h"
#include "link/Ports.h"
#include "link/UsbPrinter.h"
#include "link/UsbWatch.h"
#include "protocol/Protocol.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include <poll.h>
#include <unistd.h>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Get BDA goes out about four times a second while the station waits: quick
// enough that a technician never waits for it, modest on the line.
constexpr int kProbeTimeoutMs = 250;
constexpr int kProbeIntervalMs = 250;
constexpr int kGoneAfterUnanswered = 2;

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

// Results go to standard output as they come, one printer at a time.
bool WriteResult(const std::string& text)
{
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() && std::fflush(stdout) == 0;
}

void Message(const std::string& text)
{
    std::fprintf(stderr, "vendrill-cli: %s\n", text.c_str());
}

int BadArgument(const std::string& text)
{
    std::fprintf(stderr, "vendrill-cli: %s\nTry 'vendrill-cli --help' for more information.\n", text.c_str());
    return kExitBadArgument;
}

// Waits ms unless an interrupt signal comes first; false when it came.
bool PauseOrInterrupt(int ms)
{
    if (InterruptSignal() != 0)
        return false;
    pollfd p{InterruptFd(), POLLIN, 0};
    // Without the interrupt descriptor this is a plain pause.
    const bool routed = p.fd >= 0;
    return PollFor(routed ? &p : nullptr, routed ? 1 : 0, ms) <= 0 && InterruptSignal() == 0;
}

std::optional<record::OpenResult> OpenRecordOrFail(const std::string& db, int* exitCode)
{
    record::OpenResult r = record::Open(db);
    if (r.kind == record::OpenResult::Kind::BadLocation) {
        *exitCode = BadArgument(r.error);
        return std::nullopt;
    }
    if (r.kind != record::OpenResult::Kind::Ok) {
        Message(r.error);
        *exitCode = kExitRecord;
        return std::nullopt;
    }
    return r;
}

// ---- station -------------------------------------------------------------------

enum class Outcome { Named, AlreadyNamed, Failed, Interrupted };

struct PrinterResult {
    Outcome outcome = Outcome::Failed;
    std::string address;
    std::string name;
    std::int64_t number = -1;  // -1 when no number was taken
    std::string reason;
    Status status = Status::Ok;  // of the step that ended it
    bool recordFailed = false;   // the record could not be read or written
};

const char* OutcomeName(Outcome o)
{
    switch (o) {
    case Outcome::Named: return "named";
    case Outcome::AlreadyNamed: return "already-named";
    case Outcome::Failed: return "failed";
    case Outcome::Interrupted: return "interrupted";
    }
    return "failed";
}

class CStation {
public:
    CStation(const Options& o, record::CRecord& rec, CModuleSession& session)
        : m_o(o)
        , m_record(rec)
        , m_session(session)
        , m_station(o.station.empty() ? HostName() : o.station)
        , m_first(std::stoll(o.firstSuffix))
    {
    }

    int Run();
    void WatchUsb(usb::CUsbWatch* watch) { m_watch = watch; }

private:
    // The address of the printer that answers, or nullopt when interrupted
    // or the link failed (*status tells).
    std::optional<std::string> WaitForPrinter(Status* status);
    // Until the printer stops answering; another address answering is taken
    // as the next printer and kept in m_arrived.
    Status WaitUntilGone(const std::string& address);
    // One Get BDA with a short wait.
    StepResult Probe(std::string* address);
    // The same over USB, where printers are plugged in and out.
    std::optional<std::string> WaitForUsbPrinter(Status* status);
    Status WaitUntilUnplugged();
    std::string PresentPrinter() const;

    PrinterResult Handle(const std::string& address);
    PrinterResult NameNew(const std::string& address, std::string* recordError);
    PrinterResult Renew(const record::Entry& entry);
    bool Report(const PrinterResult& r);

    const Options& m_o;
    record::CRecord& m_record;
    CModuleSession& m_session;
    std::string m_station;
    std::int64_t m_first;
    std::optional<std::string> m_arrived;
    usb::CUsbWatch* m_watch = nullptr;  // set on a USB link
    std::string m_node;                 // the USB printer being handled
    std::int64_t m_done = 0;
    Clock::time_point m_start = Clock::now();
};

StepResult CStation::Probe(std::string* address)
{
    if (InterruptSignal() != 0)
        return {Status::Interrupted, "interrupted"};
    StepResult r = m_session.Send(proto::GetRequest(proto::CMD_GET_BDA));
    if (r.status != Status::Ok)
        return r;
    return m_session.AwaitReply(proto::CMD_GET_BDA, address, kProbeTimeoutMs);
}

std::vector<usb::CUsbWatch::Event> TakeEvents(usb::CUsbWatch& watch)
{
    std::vector<usb::CUsbWatch::Event> events = watch.Take();
    for (const usb::CUsbWatch::Event& e : events)
        Trace("udev %s %s\n", e.action.c_str(), e.node.c_str());
    return events;
}

std::string CStation::PresentPrinter() const
{
    const std::string& wanted = m_o.usbDevice;
    for (const usb::PrinterInterface& itf : usb::EnumeratePrinterInterfaces()) {
        if (itf.accepted && (wanted.empty() || itf.node == wanted || (!itf.serial.empty() && itf.serial == wanted)))
            return itf.node;
    }
    return {};
}

std::optional<std::string> CStation::WaitForUsbPrinter(Status* status)
{
    for (;;) {
        if (InterruptSignal() != 0) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
        const std::string node = PresentPrinter();
        if (node.empty()) {
            // Nothing plugged in: sleep until udev reports a change.
            const usb::CUsbWatch::WaitResult w = m_watch->Wait(InterruptFd(), -1);
            if (w == usb::CUsbWatch::WaitResult::Other) {
                *status = Status::Interrupted;
                return std::nullopt;
            }
            if (w == usb::CUsbWatch::WaitResult::Error) {
                Message("cannot watch for USB printers");
                *status = Status::Failure;
                return std::nullopt;
            }
            TakeEvents(*m_watch);
            continue;
        }
        if (!m_session.IsOpen() || node != m_node) {
            const StepResult opened = m_session.OpenUsb(node);
            if (opened.status != Status::Ok && PresentPrinter() != node)
                continue;  // gone again between the look and the open
            if (opened.status != Status::Ok) {
                Message(opened.message);
                *status = opened.status;
                return std::nullopt;
            }
            m_node = node;
        }
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::Interrupted) {
            *status = r.status;
            return std::nullopt;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure) {
            m_session.Close();  // unplugged while starting up; look again
            continue;
        }
        // The module is not ready yet.
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CStation::WaitUntilUnplugged()
{
    m_session.Close();  // the node must be free when the printer goes
    for (;;) {
        if (PresentPrinter() != m_node)
            return Status::Ok;
        const usb::CUsbWatch::WaitResult w = m_watch->Wait(InterruptFd(), -1);
        if (w == usb::CUsbWatch::WaitResult::Other)
            return Status::Interrupted;
        if (w == usb::CUsbWatch::WaitResult::Error) {
            Message("cannot watch for USB printers");
            return Status::Failure;
        }
        for (const usb::CUsbWatch::Event& e : TakeEvents(*m_watch))
            if (e.action == "remove" && e.node == m_node)
                return Status::Ok;
    }
}

std::optional<std::string> CStation::WaitForPrinter(Status* status)
{
    if (m_watch)
        return WaitForUsbPrinter(status);
    if (m_arrived) {
        std::optional<std::string> a = std::move(m_arrived);
        m_arrived.reset();
        return a;
    }
    for (;;) {
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            *status = r.status;
            if (r.status != Status::Interrupted)
                Message(r.message);
            return std::nullopt;
        }
        // No answer, or an error reply: nobody ready yet. A time-out has
        // already spent the interval.
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CStation::WaitUntilGone(const std::string& address)
{
    if (m_watch)
        return WaitUntilUnplugged();
    int unanswered = 0;
    for (;;) {
        if (!PauseOrInterrupt(kProbeIntervalMs))
            return Status::Interrupted;
        std::string now;
        const StepResult r = Probe(&now);
        // One lost reply (noise, a busy host) does not make a printer gone.
        if (r.status == Status::Timeout && ++unanswered >= kGoneAfterUnanswered)
            return Status::Ok;
        if (r.status != Status::Timeout)
            unanswered = 0;
        if (r.status == Status::Ok && !now.empty() && now != address) {
            m_arrived = now;  // swapped faster than one probe
            return Status::Ok;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            if (r.status != Status::Interrupted)
                Message(r.message);
            return r.status;
        }
    }
}

PrinterResult CStation::Renew(const record::Entry& entry)
{
    PrinterResult res;
    res.outcome = Outcome::AlreadyNamed;
    res.address = entry.address;
    res.name = entry.name;
    res.number = entry.number;
    std::string current;
    StepResult r = m_session.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &current);
    if (r.status == Status::Ok && current != entry.name) {
        // Someone changed it since: the recorded name goes back on.
        const std::optional<proto::Bytes> frame = proto::TextRequest(proto::CMD_SET_BDN, entry.name);
        r = frame ? m_session.Request(*frame, proto::CMD_SET_BDN, nullptr)
                  : StepResult{Status::Failure, "the recorded name cannot be sent"};
        if (r.status == Status::Ok)
            r = m_session.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &current);
        if (r.status == Status::Ok && current != entry.name)
            r = {Status::ModuleError, "the read-back shows '" + current + "'"};
        if (r.status == Status::Ok)
            res.reason = "recorded name set again (was '" + current + "')";
    }
    if (r.status != Status::Ok) {
        res.outcome = r.status == Status::Interrupted ? Outcome::Interrupted : Outcome::Failed;
        res.reason = r.message;
        res.status = r.status;
    }
    return res;
}

PrinterResult CStation::NameNew(const std::string& address, std::string* recordError)
{
    PrinterResult res;
    res.address = address;
    const std::optional<record::Claim> claim = m_record.ClaimNext(m_o.prefix, m_first, address, m_station,
                                                                  recordError);
    if (!claim) {
        res.reason = "cannot take a number: " + *recordError;
        res.status = Status::Failure;
        res.recordFailed = true;
        return res;
    }
    res.number = claim->number;
    res.name = m_o.prefix + SuffixFor(m_o.firstSuffix, claim->number);

    StepResult r;
    const std::optional<proto::Bytes> nameFrame = proto::TextRequest(proto::CMD_SET_BDN, res.name);
    if (!nameFrame || !proto::SuffixFits(m_o.prefix.size(), res.name.size() - m_o.prefix.size()))
        r = {Status::Failure, "the name " + res.name + " is too long to be sent"};
    if (r.status == Status::Ok)
        r = m_session.Request(*nameFrame, proto::CMD_SET_BDN, nullptr);
    const bool nameTaken = r.status == Status::Ok;
    if (r.status == Status::Ok && m_o.stationPin)
        r = m_session.Request(*proto::TextRequest(proto::CMD_SET_PINKEY, *m_o.stationPin), proto::CMD_SET_PINKEY, nullptr);
    if (r.status == Status::Ok && m_o.stationLevel)
        r = m_session.Request(proto::SelectRequest(proto::CMD_SET_LEVEL, *m_o.stationLevel), proto::CMD_SET_LEVEL, nullptr);
    ModuleInfo info;
    if (r.status == Status::Ok)
        r = m_session.ReadInfo(m_o.newModule, &info);
    if (r.status == Status::Ok && info.name != res.name)
        r = {Status::ModuleError, "the read-back shows the name '" + info.name.value_or("") + "'"};
    if (r.status == Status::Ok && m_o.stationPin && info.pin != m_o.stationPin)
        r = {Status::ModuleError, "the read-back shows another PIN key"};

    if (r.status == Status::Ok) {
        res.outcome = Outcome::Named;
        if (m_o.print) {
            const StepResult p = m_session.PrintLabel(res.name);
            // The module holds the name, so the number stays taken.
            if (p.status != Status::Ok)
                res.reason = "label not printed: " + p.message;
        }
    } else {
        res.outcome = r.status == Status::Interrupted ? Outcome::Interrupted : Outcome::Failed;
        res.reason = r.message;
        res.status = r.status;
    }
    // Once the module has taken the name, a later failure must not hand the
    // number to the next printer: two printers would leave with one name.
    if (res.outcome != Outcome::Named && nameTaken)
        res.reason += "; the module took the name, so its number is not used again";
    const record::State end = res.outcome == Outcome::Named         ? record::State::Named
                              : nameTaken                            ? record::State::Unconfirmed
                              : res.outcome == Outcome::Interrupted ? record::State::Interrupted
                                                                    : record::State::Failed;
    if (!m_record.Finish(claim->id, end, res.name, res.reason, recordError)) {
        res.outcome = Outcome::Failed;
        res.reason = "cannot write the record: " + *recordError;
        res.status = Status::Failure;
        res.recordFailed = true;
    } else {
        recordError->clear();
    }
    return res;
}

PrinterResult CStation::Handle(const std::string& address)
{
    std::string error;
    const std::optional<record::Entry> named = m_record.FindNamed(address, &error);
    if (!named && !error.empty()) {
        PrinterResult res;
        res.address = address;
        res.reason = "cannot read the record: " + error;
        res.status = Status::Failure;
        res.recordFailed = true;
        return res;
    }
    return named ? Renew(*named) : NameNew(address, &error);
}

// Text with control bytes written as \\xNN, as the other commands print values.
std::string Printable(const std::string& text)
{
    const std::string plain = FormatPlain({{"", text}});  // ": text\n"
    return plain.substr(2, plain.size() - 3);
}

std::string TimeOfDay()
{
    return record::NowText().substr(0, 19) + "Z";
}

bool CStation::Report(const PrinterResult& r)
{
    const double hours = std::max(1.0, std::chrono::duration<double>(Clock::now() - m_start).count()) / 3600.0;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", static_cast<double>(m_done) / hours);
    std::string line;
    if (m_o.json) {
        line = "{\"time\": " + JsonString(TimeOfDay()) + ", \"station\": " + JsonString(m_station) +
               ", \"address\": " + JsonString(r.address) + ", \"name\": " + JsonString(r.name) +
               ", \"number\": " + (r.number >= 0 ? std::to_string(r.number) : "null") +
               ", \"result\": " + JsonString(OutcomeName(r.outcome)) + ", \"reason\": " + JsonString(r.reason) +
               ", \"count\": " + std::to_string(m_done) + ", \"per_hour\": " + rate + "}\n";
    } else {
        line = TimeOfDay() + "  " + Printable(r.address.empty() ? "-" : r.address) + "  " +
               Printable(r.name.empty() ? "-" : r.name) + "  " + OutcomeName(r.outcome) + "  " +
               std::to_string(m_done) + "  " + rate + "/h";
        if (!r.reason.empty())
            line += "  " + Printable(r.reason);
        line += "\n";
    }
    if (!WriteResult(line)) {
        Message("write error");
        return false;
    }
    return true;
}

int CStation::Run()
{
    for (;;) {
        if (m_o.count > 0 && m_done >= m_o.count)
            return kExitOk;
        Status status = Status::Ok;
        const std::optional<std::string> address = WaitForPrinter(&status);
        if (!address)
            return status == Status::Interrupted ? kExitOk : ExitCodeFor(status);  // between printers: done
        const PrinterResult r = Handle(*address);
        ++m_done;
        if (!Report(r))
            return kExitFailure;
        if (r.recordFailed) {
            Message(r.reason);
            return kExitRecord;
        }
        if (r.status == Status::Interrupted)
            return ExitCodeFor(Status::Interrupted);
        if (r.status == Status::NoDevice) {
            Message(r.reason);
            return kExitNoDevice;
        }
        if (m_o.count > 0 && m_done >= m_o.count)
            return kExitOk;
        const Status gone = WaitUntilGone(*address);
        if (gone == Status::Interrupted)
            return kExitOk;
        if (gone != Status::Ok)
            return ExitCodeFor(gone);
    }
}

int RunStation(const Options& o)
{
    // Everything that can be refused is refused before a printer is touched.
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec = OpenRecordOrFail(o.db, &exitCode);
    if (!rec)
        return exitCode;

    CModuleSession session;
    usb::CUsbWatch watch;
    if (o.link == LinkChoice::Usb) {
        // Printers come and go; the watch runs before the first look so that
        // no plug-in between the two is missed.
        if (!watch.Start()) {
            Message("cannot watch for USB printers (udev monitor)");
            return kExitNoDevice;
        }
    } else {
        const StepResult opened = session.OpenSerial(o.portPath, o.line);
        if (opened.status != Status::Ok) {
            Message(opened.message);
            return ExitCodeFor(opened.status);
        }
    }
    CStation station(o, *rec->record, session);
    if (o.link == LinkChoice::Usb)
        station.WatchUsb(&watch);
    const int code = station.Run();
    session.Close();
    return code;
}

// ---- records ---------------------------------------------------------------

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"')
            out += '"';
        out += c;
    }
    return out + "\"";
}

int RunRecords(const Options& o)
{
    const bool json = o.json, csv = o.csv;
    std::string error;
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec = OpenRecordOrFail(o.db, &exitCode);
    if (!rec)
        return exitCode;
    std::vector<record::Entry> entries;
    if (!rec->record->List(o.since, &entries, &error)) {
        Message("cannot read the record: " + error);
        return kExitRecord;
    }

    std::string out;
    if (json) {
        out = "[";
        for (std::size_t k = 0; k < entries.size(); ++k) {
            const record::Entry& e = entries[k];
            out += std::string(k ? ",\n " : "") + "{\"address\": " + JsonString(e.address) +
                   ", \"name\": " + JsonString(e.name) + ", \"number\": " + std::to_string(e.number) +
                   ", \"prefix\": " + JsonString(e.prefix) + ", \"station\": " + JsonString(e.station) +
                   ", \"start\": " + JsonString(e.started) + ", \"end\": " + JsonString(e.ended) +
                   ", \"result\": " + JsonString(e.result) + ", \"reason\": " + JsonString(e.reason) + "}";
        }
        out += "]\n";
    } else {
        const char sep = csv ? ',' : '\t';
        auto field = [&](const std::string& t) { return csv ? CsvField(t) : Printable(t); };
        out = std::string("address") + sep + "name" + sep + "number" + sep + "prefix" + sep + "station" + sep +
              "start" + sep + "end" + sep + "result" + sep + "reason\n";
        for (const record::Entry& e : entries)
            out += field(e.address) + sep + field(e.name) + sep + std::to_string(e.number) + sep + field(e.prefix) +
                   sep + field(e.station) + sep + e.started + sep + e.ended + sep + e.result + sep +
                   field(e.reason) + "\n";
    }
    if (!WriteResult(out)) {
        Message("write error");
        return kExitFailure;
    }
    return kExitOk;
}

int RunPorts(const Options& o)
{
    const bool json = o.json;
    const std::vector<PortEntry> ports = ListPorts();
    std::string out = json ? "[" : "";
    for (std::size_t k = 0; k < ports.size(); ++k) {
        const PortEntry& p = ports[k];
        const bool usb = p.kind == "usb-printer";
        if (json) {
            auto orNull = [](const std::string& v) { return v.empty() ? std::string("null") : JsonString(v); };
            std::string byId = "[";
            for (std::size_t i = 0; i < p.byId.size(); ++i)
                byId += (i ? ", " : "") + JsonString(p.byId[i]);
            byId += "]";
            out += std::string(k ? ",\n " : "") + "{\"path\": " + JsonString(p.path) + ", \"kind\": " +
                   JsonString(p.kind) + ", \"com\": " + orNull(p.comName) + ", \"by_id\": " + byId +
                   ", \"vendor\": " + orNull(p.vendor) + ", \"product\": " + orNull(p.product) +
                   ", \"serial\": " + orNull(p.serial) +
                   (usb ? std::string(", \"accepted\": ") + (p.accepted ? "true" : "false") : std::string()) + "}";
        } else {
            out += Printable(p.path) + "  " + p.kind;
            if (!p.comName.empty())
                out += "  " + p.comName;
            if (!p.vendor.empty() || !p.product.empty())
                out += "  " + Printable(p.vendor) + ":" + Printable(p.product);
            if (!p.serial.empty())
                out += "  serial " + Printable(p.serial);
            if (usb)
                out += p.accepted ? "  accepted" : "  not accepted";
            for (const std::string& id : p.byId)
                out += "  " + Printable(id);
            out += "\n";
        }
    }
    if (json)
        out += "]\n";
    if (!WriteResult(out)) {
        Message("write error");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

std::string SuffixFor(const std::string& first, std::int64_t number)
{
    if (number == std::stoll(first))
        return first;
    std::string digits = std::to_string(number);
    const std::size_t width = std::max<std::size_t>(5, first.size());
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

int RunLineCommand(const Options& o)
{
    switch (o.command) {
    case Command::Station: return RunStation(o);
    case Command::Records: return RunRecords(o);
    case Command::Ports: return RunPorts(o);
    default: return kExitBadArgument;
    }
}

std::string LineCommandsUsage()
{
    return "  station --name PREFIX [--first-suffix DIGITS] [--pin KEY] [--level LEVEL]\n"
           "          [--print] [--db URL] [--station ID] [--count N] [--json]\n"
           "                            production line: waits for each printer, gives it\n"
           "                            the next name PREFIX<number> from the record (first\n"
           "                            number DIGITS, default 00001), reads it back, then\n"
           "                            prints the label with --print; one line per printer\n"
           "                            (JSON Lines with --json); runs until interrupted or\n"
           "                            N printers are done\n"
           "  records [--db URL] [--json|--csv] [--since TIME]\n"
           "                            export the record (TIME as YYYY-MM-DD[THH:MM[:SS]], UTC)\n"
           "  ports [--json]            list serial ports and USB printers (nothing is opened)\n"
           "\n"
           "Record (--db): sqlite:PATH or postgresql://... ; default\n"
           "  $XDG_DATA_HOME/vendrill/records.sqlite (~/.local/share/vendrill/...)\n";
}

}  // namespace vendrill::cli
