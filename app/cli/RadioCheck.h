#pragma once

// radio-check: the printer over the air, from the station's own Bluetooth
// adapter (radio/RadioCheck.h does the work; its options are parsed with all
// others in Arguments.cpp).

#include "app/cli/Cli.h"
#include "app/cli/Naming.h"
#include "app/cli/Station.h"
#include "radio/RadioCheck.h"

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace vendrill::cli {

// Without --timeout: paging a printer takes up to about 5 s, an inquiry 10 s.
constexpr int kRadioTimeoutMs = 15000;

// The exit status for a check's outcome (128+N after a signal).
int ExitCodeFor(radio::Outcome outcome);

// The result as plain 'key: value' lines or one JSON object (UTF-8).
std::string FormatRadioResult(const std::string& address, const radio::CheckResult& result, bool json);

// Runs the check; the result goes to `out`, a failure's reason to standard error.
int RunRadioCheck(const Options& o, const ResultSink& out);

// The command's part of the usage text.
std::string RadioCheckUsage();

// The station's radio check (station --radio-check) of a printer whose name
// the read-back showed.
class CStationRadio : public CNamingRadio {
public:
    // Says that Bluetooth went away (gone: with the reason, once) or is back.
    using Tell = std::function<void(bool gone, const std::string& reason)>;

    CStationRadio(const Options& o, Tell tell) : m_o(o), m_tell(std::move(tell)) {}

    // Before the first printer: Ok, or why the station must not start
    // (NoBluetooth, Interrupted).
    radio::CheckResult Ready() const;
    // Checks the printer at rawAddress (as its module reports it) for
    // `name` and, with --pin, its PIN key. While Bluetooth is away it says so
    // on standard error, looks again every second and checks once it is
    // back, as long as the printer stays and no signal comes; then the
    // outcome is no-bluetooth.
    RadioHeard Check(const std::string& rawAddress, const std::string& name,
                     const std::function<bool()>& stillThere) override;

private:
    int TimeoutMs() const { return m_o.radioTimeoutMs > 0 ? m_o.radioTimeoutMs : kRadioTimeoutMs; }
    radio::CheckResult CheckWaiting(const std::string& moduleAddress, const std::string& name,
                                    const std::function<bool()>& stillThere);

    const Options& m_o;
    Tell m_tell;
    bool m_away = false;  // Bluetooth went away and was not heard since
    std::chrono::steady_clock::time_point m_said;  // when the station last said so
};

}  // namespace vendrill::cli
