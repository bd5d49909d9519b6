#include "app/cli/Station.h"

#include "app/cli/Interrupt.h"
#include "app/cli/Naming.h"
#include "app/cli/Presence.h"
#include "app/cli/RadioCheck.h"
#include "app/cli/Reporting.h"
#include "app/cli/StationRecord.h"
#include "link/UsbWatch.h"
#include "protocol/Protocol.h"

#include <unistd.h>

namespace vendrill::cli {

namespace {

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

// The module on the line, as the naming core asks it.
class CLineModule : public CNamingModule {
public:
    CLineModule(CBlockingSession& session, bool newModule) : m_session(session), m_newModule(newModule) {}

    StepResult Request(char command, const std::string& argument, std::string* data, int timeoutMs) override
    {
        return m_session.Request(command, argument, data, timeoutMs);
    }
    StepResult ReadInfo(ModuleInfo* info) override { return m_session.ReadInfo(m_newModule, info); }
    StepResult PrintLabel(const std::string& name) override { return m_session.PrintLabel(name); }

private:
    CBlockingSession& m_session;
    const bool m_newModule;
};

// Until --count printers are done, a signal or a failure; the exit status.
int RunPrinters(const Options& o, CPresence& presence, CNaming& naming, CStationReport& report)
{
    if (!presence.Usb()) {
        const Status opened = presence.OpenPort(false);
        if (opened != Status::Ok)
            return opened == Status::Interrupted ? kExitOk : ExitCodeFor(opened);
    }
    const auto allDone = [&] { return o.count > 0 && report.Done() >= o.count; };
    for (;;) {
        if (allDone())
            return report.AllNamed() ? kExitOk : kExitNotNamed;
        Status status = Status::Ok;
        const std::optional<std::string> address = presence.WaitForPrinter(&status);
        if (!address && status == Status::NoDevice && !presence.Usb()) {
            status = presence.OpenPort(true);
            if (status == Status::Ok)
                continue;
        }
        if (!address)
            return status == Status::Interrupted ? kExitOk : ExitCodeFor(status);  // between printers: done
        const PrinterResult r = naming.Visit(*address);
        if (!report.Printer(r))
            return kExitFailure;
        if (r.noNameLeft) {
            Say(r.visit.reason);
            return kExitBadArgument;
        }
        if (r.status == Status::Interrupted)
            return ExitCodeFor(Status::Interrupted);
        if (allDone())
            return report.AllNamed() ? kExitOk : kExitNotNamed;
        Status gone = r.status == Status::NoDevice && !presence.Usb() ? Status::NoDevice : Status::Ok;
        if (r.status == Status::NoDevice && presence.Usb())
            presence.SayUnplugged(r.visit);  // and on with the next printer
        if (gone == Status::Ok)
            gone = presence.WaitUntilGone(*address);
        if (gone == Status::NoDevice && !presence.Usb())
            gone = presence.OpenPort(true);  // the printer went with its adapter
        report.WaitingStarts();
        if (gone == Status::Interrupted)
            return kExitOk;
        if (gone != Status::Ok)
            return ExitCodeFor(gone);
    }
}

}  // namespace

int RunStation(const Options& o, const ResultSink& out)
{
    // Everything that can be refused is refused before a printer is touched.
    // First Bluetooth, so that a station refused for want of it leaves no
    // record behind.
    std::optional<CStationReport> report;
    std::optional<CStationRadio> radio;
    if (o.radioCheck) {
        radio.emplace(o, [&report](bool gone, const std::string& reason) {
            if (report)
                report->Bluetooth(gone, reason);
        });
        const radio::CheckResult ready = radio->Ready();
        if (ready.outcome == radio::Outcome::Interrupted)
            return ExitCodeFor(Status::Interrupted);
        if (ready.outcome != radio::Outcome::Ok) {
            Say("no radio check without Bluetooth: " + ready.reason +
                "; the station does not start (without --radio-check it names printers unheard)");
            return kExitNoDevice;
        }
    }
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec =
        OpenRecord(o.db, o.createRecord ? record::Access::Create : record::Access::ReadWrite, &exitCode);
    if (!rec)
        return exitCode;
    record::CRecord& db = *rec->record;
    db.Limit(InterruptFd(), kRecordPatienceMs);
    // The record makes the run's names: the prefix, the number within the
    // width of --first-suffix, no longer than the module takes.
    const record::Numbering numbering{o.prefix, std::stoll(o.firstSuffix), o.firstSuffix.size(),
                                      proto::MAX_NAME_WITH_SUFFIX_BYTES};
    std::string error;
    const std::optional<std::int64_t> next = db.NextNumber(numbering, &error);
    if (!next) {
        Say("cannot read the record in " + db.Where() + ": " + error);
        return InterruptSignal() != 0 ? ExitCodeFor(Status::Interrupted) : kExitRecord;
    }
    const std::string nextName = record::NameOf(numbering, *next);
    if (nextName.empty())
        return UsageError("the next number of " + o.prefix + " is " + std::to_string(*next) + ", which does not fit " +
                          "--first-suffix " + o.firstSuffix + " (" + std::to_string(o.firstSuffix.size()) +
                          " digits); give a wider --first-suffix or another --name");

    CBlockingSession session(InterruptFd(), InterruptSignal);
    session.SetReplyTimeout(o.replyTimeoutMs);
    usb::CUsbWatch watch;
    if (o.transport == Transport::Usb) {
        // Printers come and go; the watch runs before the first look so that
        // no plug-in between the two is missed.
        if (!watch.Start()) {
            Say("cannot watch for USB printers (udev monitor)");
            return kExitNoDevice;
        }
    }
    const std::string station = o.station.empty() ? HostName() : o.station;
    const std::string link = DeviceText(o);
    report.emplace(o.json, out, station, link.empty() ? std::string("USB printers") : link, o.radioCheck);
    CPresence presence(o, session, *report, o.transport == Transport::Usb ? &watch : nullptr);
    CLineModule module(session, o.newModule);
    CStationRecord record(db, numbering, station);
    CNaming naming(module, record, {station, o.stationPin, o.stationLevel, o.print, o.renameBack}, InterruptSignal,
                   radio ? &*radio : nullptr);
    if (!report->Start(db.Where(), o.prefix, *next, nextName))
        return kExitFailure;
    const int code = RunPrinters(o, presence, naming, *report);
    report->Summary();
    session.Close();
    return code;
}

int RunLineCommand(const Options& o, const ResultSink& out)
{
    switch (o.command) {
    case Command::Station: return RunStation(o, out);
    case Command::Records: return RunRecords(o, out);
    case Command::Ports: return RunPorts(o, out);
    case Command::RadioCheck: return RunRadioCheck(o, out);
    default: return kExitBadArgument;
    }
}

}  // namespace vendrill::cli
