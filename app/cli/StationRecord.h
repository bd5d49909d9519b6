#pragma once

// The station's record as its naming core sees it (CNamingRecord): every
// call is tried until it works, through a server restart, a full disk or a
// file held by another program, saying now and then that it waits, until
// the user's signal ends the tries. Also how the line commands open the
// record.

#include "app/cli/Cli.h"
#include "app/cli/Naming.h"
#include "record/Record.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace vendrill::cli {

class CStationRecord : public CNamingRecord {
public:
    CStationRecord(record::CRecord& record, record::Numbering numbering, std::string station);

    record::ClaimResult Claim(const std::string& address) override;
    bool SetState(const record::Binding& binding, record::State state) override;
    bool AddVisit(const record::Visit& visit, std::optional<record::State> state, std::string* notRecorded) override;
    bool LabelPrinted(const record::Binding& binding, bool* printed) override;
    bool TakeWaited() override { return m_waited.exchange(false); }

    std::string Where() const { return m_record.Where(); }

private:
    // Runs a call of the record until it succeeds or a signal comes; says on
    // standard error, now and then, that it waits.
    bool Persist(const std::string& what, const std::function<bool(std::string*)>& call);

    record::CRecord& m_record;
    const record::Numbering m_numbering;
    const std::string m_station;
    std::atomic<bool> m_waited{false};  // set by the helper thread's calls too
};

// How long one call of the station waits for the record before it says so
// and tries again.
constexpr int kRecordPatienceMs = 2000;

// Opens the record for a line command; nullopt after saying why, with the
// exit status in *exitCode.
std::optional<record::OpenResult> OpenRecord(const std::string& db, record::Access access, int* exitCode);

}  // namespace vendrill::cli
