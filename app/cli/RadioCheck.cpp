#include "app/cli/RadioCheck.h"

#include "app/cli/Interrupt.h"
#include "base/TextCodec.h"

#include <cstdio>

namespace vendrill::cli {

int ExitCodeFor(radio::Outcome outcome)
{
    switch (outcome) {
    case radio::Outcome::Ok: return kExitOk;
    case radio::Outcome::NoBluetooth: return kExitNoDevice;
    case radio::Outcome::NotHeard: return kExitTimeout;
    case radio::Outcome::Mismatch: return kExitModuleError;
    case radio::Outcome::Interrupted: return InterruptSignal() > 0 ? 128 + InterruptSignal() : kExitFailure;
    }
    return kExitFailure;
}

std::string FormatRadioResult(const std::string& address, const radio::CheckResult& r, bool json)
{
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    if (json) {
        CJsonObject o;
        o.Text("address", address).Bool("heard", r.heard);
        if (r.nameHeard)
            o.Text("name_heard", *r.nameHeard);
        else
            o.Null("name_heard");
        r.nameOk ? o.Bool("name_ok", *r.nameOk) : o.Null("name_ok");
        r.paired ? o.Bool("paired", *r.paired) : o.Null("paired");
        o.Raw("seconds", seconds).Text("result", radio::OutcomeWord(r.outcome)).Text("reason", r.reason);
        const int exit = ExitCodeFor(r.outcome);
        if (exit != kExitOk)
            o.Text("error", r.reason).Number("exit", exit);
        return o.Str() + "\n";
    }
    const auto yes = [](bool b) { return b ? "yes" : "no"; };
    std::string text = "address: " + address + "\nheard: " + yes(r.heard) + "\n";
    if (r.nameHeard)
        text += "name_heard: " + PlainText(*r.nameHeard) + "\n";
    if (r.nameOk)
        text += std::string("name_ok: ") + yes(*r.nameOk) + "\n";
    if (r.paired)
        text += std::string("paired: ") + yes(*r.paired) + "\n";
    text += std::string("seconds: ") + seconds + "\nresult: " + radio::OutcomeWord(r.outcome) + "\n";
    if (!r.reason.empty())
        text += "reason: " + PlainText(r.reason) + "\n";
    return text;
}

int RunRadioCheck(const Options& o, const ResultSink& out)
{
    radio::CheckRequest request;
    request.address = o.radioAddress;
    if (!o.prefix.empty())
        request.name = o.prefix;
    request.pin = o.stationPin;
    request.timeoutMs = o.timeoutGiven ? o.replyTimeoutMs : kRadioTimeoutMs;
    const radio::CheckResult result = radio::Check(request, InterruptFd());
    const int exit = ExitCodeFor(result.outcome);
    if (exit != kExitOk)
        Say(result.reason);
    if (!out(FormatRadioResult(o.radioAddress, result, o.json)) && exit == kExitOk)
        return kExitFailure;
    return exit;
}

std::string RadioCheckUsage()
{
    return "  radio-check --address BDA [--name NAME] [--pin KEY] [--timeout MS] [--json]\n"
           "                            through BlueZ and this machine's Bluetooth adapter:\n"
           "                            is the printer heard (BDA as 0012F3A1B2C3 or\n"
           "                            00:12:F3:A1:B2:C3), does the air show NAME, does\n"
           "                            it pair with KEY (the pairing is removed again);\n"
           "                            time-out for the whole check, default " +
           std::to_string(kRadioTimeoutMs) +
           " ms;\n"
           "                            exit 3 no adapter or bluetoothd, 4 not heard,\n"
           "                            5 other name or PIN key refused\n";
}

}  // namespace vendrill::cli
