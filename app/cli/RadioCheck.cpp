#include "app/cli/RadioCheck.h"

#include "app/cli/Interrupt.h"

#include <cstdio>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

// While Bluetooth is away: how often it is looked for, and how often the
// station says that it waits.
constexpr int kBluetoothLookMs = 1000;
constexpr auto kBluetoothSayEvery = std::chrono::seconds(5);

}  // namespace

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

radio::CheckResult CStationRadio::Ready() const
{
    return radio::Ready(TimeoutMs(), InterruptFd());
}

RadioHeard CStationRadio::Check(const std::string& rawAddress, const std::string& name,
                                const std::function<bool()>& stillThere)
{
    const radio::CheckResult r = CheckWaiting(rawAddress, name, stillThere);
    RadioHeard heard;
    heard.passed = r.outcome == radio::Outcome::Ok;
    heard.interrupted = r.outcome == radio::Outcome::Interrupted || InterruptSignal() != 0;
    heard.word = radio::OutcomeWord(r.outcome);
    heard.nameHeard = r.nameHeard.value_or("");
    heard.reason = r.reason;
    return heard;
}

radio::CheckResult CStationRadio::CheckWaiting(const std::string& moduleAddress, const std::string& name,
                                               const std::function<bool()>& stillThere)
{
    radio::CheckRequest request;
    const std::optional<std::string> address = radio::ParseAddress(moduleAddress);
    if (!address) {
        radio::CheckResult r;
        r.outcome = radio::Outcome::NotHeard;
        r.reason = "the module's address '" + moduleAddress + "' is no Bluetooth address";
        return r;
    }
    request.address = *address;
    request.name = name;
    request.pin = m_o.stationPin;
    request.timeoutMs = TimeoutMs();
    bool waited = false;
    for (;;) {
        radio::CheckResult r = radio::Check(request, InterruptFd());
        if (r.outcome != radio::Outcome::NoBluetooth) {
            if (m_away) {
                Say("Bluetooth is back: " + name + " was checked over the air");
                m_tell(false, {});
                m_away = false;
            }
            return r;
        }
        // The printer keeps its name; its label waits for the check.
        if (!m_away) {
            Say("Bluetooth went away during the shift: " + r.reason + "; " + name + " (" + moduleAddress +
                ") is named and waits for its radio check and its label; looking for Bluetooth every second "
                "(Ctrl-C ends the station)");
            m_tell(true, r.reason);
            m_away = true;
            m_said = Clock::now();
        } else if (!waited || Clock::now() - m_said >= kBluetoothSayEvery) {
            Say("still no Bluetooth: " + r.reason + "; " + name + " (" + moduleAddress +
                ") waits for its radio check (Ctrl-C ends the station)");
            m_said = Clock::now();
        }
        waited = true;
        if (!PauseOrInterrupt(kBluetoothLookMs))
            return r;
        if (!stillThere()) {
            Say(moduleAddress + " left while Bluetooth was away: " + name +
                " stays named without its label; it is checked and labelled when it comes back");
            return r;
        }
    }
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
