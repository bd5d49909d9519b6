#pragma once

// What a station says: to the operator on standard error, and one line per
// printer on standard output (plain, or JSON Lines with --json, where the
// start, waiting, silent printers and the summary are events too).

#include "app/cli/Naming.h"
#include "app/cli/Station.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace vendrill::cli {

class CStationReport {
public:
    using Clock = std::chrono::steady_clock;

    // link: what the station works on, as the start line names it;
    // radioCheck: printers are checked over the air (--radio-check).
    CStationReport(bool json, const ResultSink& out, std::string station, std::string link, bool radioCheck = false);

    // The start line: where the station works and which name comes next.
    bool Start(const std::string& where, const std::string& prefix, std::int64_t nextNumber,
               const std::string& nextName);
    // While no printer is there, a line every little while.
    void Waiting();
    // From now on the station waits (the next waiting line is due after a while).
    void WaitingStarts() { m_lastStatus = Clock::now(); }
    Clock::time_point NextWaitingLine() const;
    // A printer whose module does not answer, for how long.
    void Silent(const std::string& node, long long seconds);
    // A printer's visit; false when its line could not be written.
    bool Printer(const PrinterResult& r);
    // Bluetooth went away during the shift (gone, with the reason) or is back.
    void Bluetooth(bool gone, const std::string& reason);
    void Summary();

    std::int64_t Done() const { return m_done; }
    bool AllNamed() const { return m_allNamed; }

private:
    bool Event(const CJsonObject& json) { return !m_json || m_out(json.Str() + "\n"); }
    CJsonObject EventHead(const char* event) const;
    std::string PerHour() const;

    const bool m_json;
    const ResultSink& m_out;
    const std::string m_station;
    const std::string m_link;
    const bool m_radioCheck;
    std::int64_t m_done = 0;
    bool m_allNamed = true;
    std::map<record::Result, std::int64_t> m_results;  // visits by what they came to
    std::int64_t m_radioOk = 0, m_radioFailed = 0;     // visits checked over the air, passed or not
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastStatus = Clock::now();  // the start, a printer, or the last waiting line
};

}  // namespace vendrill::cli
