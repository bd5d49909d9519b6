#include "app/cli/StationRecord.h"

#include "app/cli/Interrupt.h"

#include <algorithm>
#include <chrono>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

// How long the visit it knows of may still take to be written once a
// signal came.
constexpr int kLastWriteMs = 1500;
// Pauses between tries while the record cannot be reached, and how often the
// station says so.
constexpr int kRetryFirstMs = 100;
constexpr int kRetryMostMs = 5000;
constexpr auto kSayEvery = std::chrono::seconds(5);

}  // namespace

CStationRecord::CStationRecord(record::CRecord& record, record::Numbering numbering, std::string station)
    : m_record(record)
    , m_numbering(std::move(numbering))
    , m_station(std::move(station))
{
}

bool CStationRecord::Persist(const std::string& what, const std::function<bool(std::string*)>& call)
{
    std::string error, ignored;
    int pause = kRetryFirstMs;
    std::optional<Clock::time_point> said;
    for (int attempt = 0;; ++attempt) {
        if (call(&error)) {
            if (said)
                Say("the record in " + m_record.Where() + " is back");
            return true;
        }
        m_waited = true;
        if (InterruptSignal() != 0)
            return false;
        // A connection that broke (the server restarted) is made anew at once.
        if (attempt == 0 && m_record.Reconnect(&ignored))
            continue;
        if (!said || Clock::now() - *said >= kSayEvery) {
            Say("cannot " + what + " in the record in " + m_record.Where() + ": " + error +
                "; trying again until it works (Ctrl-C ends the station)");
            said = Clock::now();
        }
        if (!PauseOrInterrupt(pause))
            return false;
        pause = std::min(pause * 2, kRetryMostMs);
        m_record.Reconnect(&ignored);
    }
}

record::ClaimResult CStationRecord::Claim(const std::string& address)
{
    record::ClaimResult claim;
    const auto take = [&](std::string* error) {
        claim = m_record.Claim(address, m_numbering, m_station);
        *error = claim.error;
        return claim.kind != record::ClaimResult::Kind::Failed;
    };
    if (InterruptSignal() != 0 || !Persist("take a name for " + address, take))
        claim.kind = record::ClaimResult::Kind::Failed;
    return claim;
}

bool CStationRecord::SetState(const record::Binding& binding, record::State state)
{
    return InterruptSignal() == 0 &&
           Persist("record that " + binding.name + " is " + record::StateName(state),
                   [&](std::string* error) { return m_record.SetState(binding.id, state, error); });
}

bool CStationRecord::AddVisit(const record::Visit& visit, std::optional<record::State> state, std::string* notRecorded)
{
    const auto add = [&](std::string* error) { return m_record.AddVisit(visit, state, error); };
    notRecorded->clear();
    if (InterruptSignal() == 0 && Persist("record the visit of " + visit.address, add))
        return true;
    // A signal came: what is known is still written, if the record answers
    // at once.
    m_record.Limit(-1, kLastWriteMs);
    std::string error;
    if (!add(&error))
        *notRecorded = error.empty() ? std::string("interrupted") : error;
    return false;
}

bool CStationRecord::LabelPrinted(const record::Binding& binding, bool* printed)
{
    return Persist("look up the label of " + binding.name,
                   [&](std::string* error) { return m_record.LabelPrinted(binding, printed, error); });
}

std::optional<record::OpenResult> OpenRecord(const std::string& db, record::Access access, int* exitCode)
{
    record::OpenResult r = record::Open(db, access, InterruptFd());
    if (r.kind == record::OpenResult::Kind::BadLocation) {
        *exitCode = UsageError(r.error);
        return std::nullopt;
    }
    if (r.kind == record::OpenResult::Kind::Missing) {
        // A mistyped path would start a second sequence of numbers.
        Say(r.error + " (station --create-record starts a new one there)");
        *exitCode = kExitRecord;
        return std::nullopt;
    }
    if (r.kind != record::OpenResult::Kind::Ok) {
        Say(r.error);
        *exitCode = InterruptSignal() != 0 ? ExitCodeFor(Status::Interrupted) : kExitRecord;
        return std::nullopt;
    }
    return r;
}

}  // namespace vendrill::cli
