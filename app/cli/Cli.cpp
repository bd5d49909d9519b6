#include "app/cli/Cli.h"

#include "app/cli/Interrupt.h"
#include "link/OpenError.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"
#include "sim/SimHost.h"
#include "vendrill/Version.h"

namespace vendrill::cli {

int ExitCodeFor(Status status)
{
    switch (status) {
    case Status::Ok: return kExitOk;
    case Status::NoDevice: return kExitNoDevice;
    case Status::Timeout: return kExitTimeout;
    case Status::ModuleError: return kExitModuleError;
    case Status::Failure: return kExitFailure;
    case Status::Interrupted: return InterruptSignal() > 0 ? 128 + InterruptSignal() : kExitFailure;
    }
    return kExitFailure;
}

std::string VersionText()
{
    return std::string("vendrill-cli ") + VENDRILL_VERSION + "\n";
}

namespace {

RunResult Failed(const StepResult& step)
{
    RunResult r;
    r.exitCode = ExitCodeFor(step.status);
    r.error = step.message;
    if (step.status == Status::Timeout && step.request == proto::CMD_GET_PAIRING)
        r.error += " (older modules do not answer it: leave out --new-module)";
    return r;
}

// What a read-back chain came to; what it read is kept also when a step fails.
RunResult Shown(const StepResult& step, const ModuleInfo& info)
{
    RunResult r = step.status == Status::Ok ? RunResult{} : Failed(step);
    if (info.address) r.fields.emplace_back("address", *info.address);
    if (info.pin) r.fields.emplace_back("pin", *info.pin);
    if (info.name) r.fields.emplace_back("name", *info.name);
    if (info.pairing) r.fields.emplace_back("pairing", *info.pairing);
    if (info.level) r.fields.emplace_back("level", *info.level);
    if (info.pairingNumber) r.numbers.emplace_back("pairing", *info.pairingNumber);
    if (info.levelNumber) r.numbers.emplace_back("level", *info.levelNumber);
    return r;
}

// A request whose reply drives the read-back chain: Get BDA for info, a
// Set's acknowledgement otherwise.
RunResult ReadBack(CBlockingSession& session, const Options& o,
                   const proto::Bytes& frame = proto::GetRequest(proto::CMD_GET_BDA))
{
    ModuleInfo info;
    const StepResult step = session.RequestAndReadBack(frame, o.newModule, &info);
    return Shown(step, info);
}

RunResult BadValue(const std::string& message)
{
    RunResult r;
    r.exitCode = kExitBadArgument;
    r.error = message;
    return r;
}

}  // namespace

RunResult RunOnSession(CBlockingSession& session, const Options& o)
{
    switch (o.command) {
    case Command::Info:
        return ReadBack(session, o);
    case Command::SetPin: {
        const std::optional<proto::Bytes> frame = proto::TextRequest(proto::CMD_SET_PINKEY, o.text);
        if (!frame)
            return BadValue("the PIN key cannot be sent");
        return ReadBack(session, o, *frame);
    }
    case Command::SetName: {
        // Name, suffix and label go as the window's Set BDN sends them.
        ModuleInfo info;
        std::string next;
        const StepResult step = session.SetName(o.text, o.suffix.value_or(""), o.print, o.newModule, &info, &next);
        RunResult r = Shown(step, info);
        // The next suffix is only handed on when this printer took the name,
        // so that a failed run can be repeated with the same suffix.
        if (r.exitCode == kExitOk && !next.empty())
            r.fields.emplace_back("next_suffix", next);
        return r;
    }
    case Command::SetLevel:
        return ReadBack(session, o, proto::SelectRequest(proto::CMD_SET_LEVEL, o.selection));
    case Command::SetPairing:
        return ReadBack(session, o, proto::SelectRequest(proto::CMD_SET_PAIRING, o.selection));
    case Command::Sniff: {
        RunResult r;
        if (o.selection != proto::CMD_GET_SNIFF) {
            // The module's answer to a sniff change means nothing to anyone:
            // the request is sent, not waited for.
            const StepResult sent = session.Send(proto::SelectRequest(proto::CMD_SET_SNIFF, o.selection));
            if (sent.status != Status::Ok)
                return Failed(sent);
            r.fields.emplace_back("sniff_request", o.selection == '1' ? "enable" : "disable");
            return r;
        }
        std::string data;
        const StepResult step = session.Request(proto::GetRequest(proto::CMD_GET_SNIFF), proto::CMD_GET_SNIFF, &data);
        if (step.status != Status::Ok)
            return Failed(step);
        const std::optional<std::string> text = proto::SniffText(data);
        r.fields.emplace_back("sniff", text ? *text : data);
        return r;
    }
    case Command::None:
    case Command::Help:
    case Command::Version:
    case Command::Station:
    case Command::Records:
    case Command::Ports:
    case Command::RadioCheck:
        break;  // not a command on one open session
    }
    return BadValue("no command given");
}

RunResult Run(const Options& o)
{
    if (o.command == Command::Help || o.command == Command::Version || o.command == Command::None)
        return BadValue("no command given");  // main answers --help and --version itself

    // The simulated module must outlive the session that talks to it.
    CSimHost sim;
    CBlockingSession session(InterruptFd(), InterruptSignal);
    session.SetReplyTimeout(o.replyTimeoutMs);
    StepResult opened;
    switch (o.transport) {
    case Transport::Simulate:
        if (!sim.Start()) {
            RunResult r;
            r.exitCode = kExitFailure;
            r.error = "cannot start the simulated module";
            return r;
        }
        opened = session.OpenSerial(sim.SlavePath(), o.line);
        break;
    case Transport::Serial:
        opened = session.OpenSerial(o.portPath, o.line);
        break;
    case Transport::Usb:
        opened = session.OpenUsb(o.usbDevice);
        break;
    }
    // Every error names the link it happened on.
    const std::string link = o.transport == Transport::Simulate ? sim.SlavePath() + " (the simulated module)" : DeviceText(o);
    const auto onLink = [&link](RunResult r) {
        if (r.exitCode != kExitOk && !link.empty() && r.error.find(link) == std::string::npos)
            r.error += " on " + link;
        return r;
    };
    if (opened.status != Status::Ok)
        return onLink(Failed(opened));
    RunResult r = RunOnSession(session, o);
    if (r.exitCode == kExitNoDevice && o.transport == Transport::Serial)
        r.error = LinkLostError(o.portPath, r.error);
    session.Close();
    sim.Stop();
    return onLink(std::move(r));
}

std::string DeviceText(const Options& o)
{
    // The first accepted USB printer is named by the messages that find it.
    if (o.transport == Transport::Usb)
        return o.usbDevice.empty() ? std::string() : "the USB printer " + o.usbDevice;
    const bool comName = o.port.rfind("COM", 0) == 0;
    return o.portPath + " (" + (comName ? o.port + ", " : std::string()) + std::to_string(o.line.baudRate) + " baud)";
}

}  // namespace vendrill::cli
