// vendrill-cli records: the record exported as it is, read only.

#include "app/cli/Station.h"
#include "app/cli/StationRecord.h"

namespace vendrill::cli {

int RunRecords(const Options& o, const ResultSink& write)
{
    std::string error;
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec = OpenRecord(o.db, record::Access::ReadOnly, &exitCode);
    if (!rec)
        return exitCode;
    std::vector<record::VisitEntry> entries;
    if (!rec->record->List(o.since, &entries, &error)) {
        Say("cannot read the record in " + rec->record->Where() + ": " + error);
        return kExitRecord;
    }

    const std::string out = o.json ? VisitsJson(entries) : VisitsTable(entries, o.csv ? ',' : '\t');
    if (!write(out)) {
        Say("write error");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace vendrill::cli
