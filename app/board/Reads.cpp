#include "app/board/Serving.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>

namespace vendrill::board {

void CServer::Submit(Exchange* x, Job job)
{
    x->job = true;
    x->jobDone = false;
    {
        std::lock_guard lock(m_jobMutex);
        m_jobs.push_back({x, std::move(job)});
    }
    m_jobReady.notify_one();
}

MHD_Result CServer::Printer(Exchange* x)
{
    const std::optional<std::string_view> raw = RawParam(x->client->target, "q");
    std::string q = raw ? Decoded(*raw, true) : "";
    while (!q.empty() && std::isspace(static_cast<unsigned char>(q.back())))
        q.pop_back();
    while (!q.empty() && std::isspace(static_cast<unsigned char>(q.front())))
        q.erase(0, 1);
    if (q.empty() || q.size() > kMaxSearch)
        return Problem(x, 400, "give q=ADDRESS or q=NAME (at most " + std::to_string(kMaxSearch) + " characters)");
    Submit(x, [x, q](record::CRecord* rec, const std::string& openError) {
        std::vector<record::VisitEntry> visits;
        std::string error = openError;
        if (rec && rec->History(q, kHistoryRows, &visits, &error)) {
            x->status = 200;
            x->body = CJsonObject()
                          .Text("q", q)
                          .Number("limit", static_cast<std::int64_t>(kHistoryRows))
                          .Raw("visits", VisitsJson(visits))
                          .Str();
            return true;
        }
        x->status = 503;
        x->body = CJsonObject().Text("error", "cannot read the record: " + error).Str();
        return false;
    });
    Suspend(x, false);
    return MHD_YES;
}

MHD_Result CServer::Csv(Exchange* x, bool head)
{
    const auto day = [&](const char* key, int after, std::string* out, std::string* shown) -> std::string {
        const std::optional<std::string_view> raw = RawParam(x->client->target, key);
        const std::string text = raw ? Decoded(*raw, true) : "";
        if (text.empty())
            return {};
        std::tm t{};
        const char* end = text.size() == 10 ? ::strptime(text.c_str(), "%Y-%m-%d", &t) : nullptr;
        if (!end || *end || t.tm_year + 1900 < 1970 || t.tm_year + 1900 > 9999)
            return std::string(key) + ": not a day (YYYY-MM-DD)";
        t.tm_mday += after;
        t.tm_isdst = -1;
        const std::time_t at = std::mktime(&t);
        // Past the record's years: no bound.
        *out = t.tm_year + 1900 > 9999 ? std::string() : record::TimeText(at);
        *shown = text;
        return {};
    };
    std::string fromShown, toShown;
    for (const std::string& e : {day("from", 0, &x->since, &fromShown), day("to", 1, &x->until_, &toShown)})
        if (!e.empty())
            return Problem(x, 400, e);
    if (!x->since.empty() && !x->until_.empty() && x->since >= x->until_)
        return Problem(x, 400, "from is after to");
    std::string name = "vendrill-records";
    for (const std::string* part : {&fromShown, &toShown})
        if (!part->empty())
            name += "-" + *part;
    char zone[16] = "";
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    std::strftime(zone, sizeof zone, "%z", &local);
    x->range = (fromShown.empty() ? std::string("from the first visit") : "from " + fromShown) + " to " +
               (toShown.empty() ? std::string("now") : toShown) + ", the board's days (midnight to midnight, UTC" +
               zone + ")";
    const std::vector<std::pair<std::string, std::string>> headers = {
        {"Content-Disposition", "attachment; filename=\"" + name + ".csv\""},
        {"Cache-Control", "no-store"},
        {"X-Vendrill-Days", "local, UTC" + std::string(zone)}};
    if (head)
        return Answer(x, 200, "", "text/csv; charset=utf-8", headers);
    MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kBlock, &CServer::ReadCsv, x, nullptr);
    Headers(r, "text/csv; charset=utf-8");
    for (const auto& [k, v] : headers)
        MHD_add_response_header(r, k.c_str(), v.c_str());
    const MHD_Result ok = MHD_queue_response(x->connection, 200, r);
    MHD_destroy_response(r);
    Count(x->route, 200);
    return ok;
}

ssize_t CServer::ReadCsv(void* cls, uint64_t, char* buffer, size_t max)
{
    auto* x = static_cast<Exchange*>(cls);
    return x->server->CsvPart(x, buffer, max);
}

ssize_t CServer::CsvPart(Exchange* x, char* buffer, std::size_t max)
{
    if (x->outAt == x->out.size()) {
        if (!x->job && !x->jobDone && !x->finished)
            SubmitCsvPage(x);
        if (x->job) {
            Suspend(x, false);
            return 0;
        }
        x->jobDone = false;
        x->out.swap(x->body);
        x->body.clear();
        x->outAt = 0;
        if (x->out.empty())
            // A download that broke off ends without HTTP's last chunk too.
            return x->broken ? MHD_CONTENT_READER_END_WITH_ERROR : MHD_CONTENT_READER_END_OF_STREAM;
        if (!x->finished)
            SubmitCsvPage(x);
    }
    const std::size_t n = std::min(max, x->out.size() - x->outAt);
    std::memcpy(buffer, x->out.data() + x->outAt, n);
    x->outAt += n;
    return static_cast<ssize_t>(n);
}

void CServer::SubmitCsvPage(Exchange* x)
{
    Submit(x, [x](record::CRecord* rec, const std::string& openError) { return NextCsvPage(x, rec, openError); });
}

bool CServer::NextCsvPage(Exchange* x, record::CRecord* rec, const std::string& openError)
{
    std::vector<record::VisitEntry> page;
    std::string error = openError;
    if (!rec || !rec->ListBetween(x->since, x->until_, kCsvPage, &x->key, &page, &error)) {
        x->body = "# error: the record could not be read (" + error + "); this file is NOT whole: " +
                  std::to_string(x->rows) + " visits before the break\n";
        x->finished = x->broken = true;
        return false;
    }
    x->body = app::VisitsTable(page, ',', x->header, app::CsvCells::ForSpreadsheet);
    x->header = false;
    x->rows += page.size();
    if (page.size() < kCsvPage) {
        x->body += "# " + std::to_string(x->rows) + " visits " + x->range + "; the file is whole\n";
        x->finished = true;
    }
    return true;
}

void CServer::Work()
{
    std::unique_ptr<record::CRecord> rec;
    for (;;) {
        std::pair<Exchange*, Job> job;
        {
            std::unique_lock lock(m_jobMutex);
            m_jobReady.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            if (m_jobs.empty())
                return;
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        std::string error;
        if (!rec) {
            record::OpenResult opened = record::Open(m_o.db, record::Access::ReadOnly, m_stopFd);
            rec = std::move(opened.record);
            error = opened.error;
            if (rec)
                rec->Limit(m_stopFd, kPatienceMs);
        }
        if (!job.second(rec.get(), error))
            rec.reset();
        {
            std::lock_guard lock(m_jobMutex);
            m_done.push_back(job.first);
        }
        Wake();
    }
}

void CServer::Watch(std::unique_ptr<record::CRecord> rec)
{
    Picture last;
    std::string how = rec ? rec->HowRead() : std::string();
    if (rec)
        rec->Limit(m_stopFd, kPatienceMs);
    while (!Stopping()) {
        std::string error;
        const std::time_t now = std::time(nullptr);
        if (!rec) {
            record::OpenResult opened = record::Open(m_o.db, record::Access::ReadOnly, m_stopFd);
            if (opened.record && opened.record->Watch(&error))
                rec = std::move(opened.record);
            else if (!opened.record)
                error = opened.error;
            if (!rec) {
                ++m_recordErrors;
                last.error = error;
                Publish(last);
                WaitReadable(m_stopFd, kRetryMs);
                continue;
            }
            rec->Limit(m_stopFd, kPatienceMs);
            how = rec->HowRead();
        }
        record::Board board;
        const auto started = Clock::now();
        if (rec->ReadBoard(QueryAt(std::chrono::system_clock::from_time_t(now), m_s), &board, &error)) {
            last.lastChange = board.latest.empty() ? std::string() : board.latest.front().time;
            last.board = std::move(board);
            last.error.clear();
            last.howRead = how;
            last.shift = ShiftAt(now, m_s);
            Publish(last);
            // A busy line is read at most every kMinReadMs: visits that
            // come meanwhile are in the next picture.
            const auto spent =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
            if (spent < kMinReadMs)
                WaitReadable(m_stopFd, static_cast<int>(kMinReadMs - spent));
            if (rec->WaitForChange(kRefreshMs, &error) != record::Change::Failed)
                continue;
        }
        if (Stopping())
            break;
        ++m_recordErrors;
        last.error = "cannot read the record in " + rec->Where() + ": " + error + "; trying again";
        Publish(last);
        rec.reset();
        WaitReadable(m_stopFd, kRetryMs);
    }
}

void CServer::Publish(const Picture& picture)
{
    std::string json = BoardJson(picture, m_s);
    {
        std::lock_guard lock(m_mutex);
        if (json == m_json)
            return;
        m_json = std::move(json);
        m_picture = picture;
        ++m_version;
    }
    Wake();
}

bool CServer::Stopping()
{
    std::lock_guard lock(m_jobMutex);
    return m_stopping;
}

void CServer::StopThreads()
{
    {
        std::lock_guard lock(m_jobMutex);
        m_stopping = true;
    }
    m_jobReady.notify_all();
}

}  // namespace vendrill::board
