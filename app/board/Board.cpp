#include "app/board/Board.h"

#include "app/board/Assets.h"
#include "app/cli/Output.h"
#include "vendrill/Version.h"

#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>

#include <arpa/inet.h>
#include <poll.h>

namespace vendrill::board {

namespace {

using cli::CJsonObject;
using cli::JsonArray;
using cli::JsonString;
using cli::VisitJson;
using cli::VisitsJson;

// How long a record call may take before the board calls the record gone.
constexpr int kPatienceMs = 5000;
// Between attempts to reach a record that is gone.
constexpr int kRetryMs = 2000;
// The picture is read at most this often, however busy the line.
constexpr int kMinReadMs = 200;
// The picture is read again at least this often, so that the day and the
// chart move on while the line is quiet.
constexpr int kRefreshMs = 30000;
// A comment on every event stream this often keeps proxies from closing it
// and finds pages that went away.
constexpr auto kKeepAlive = std::chrono::seconds(15);
// Rows of one printer's history, and of one CSV page read from the record.
constexpr std::size_t kHistoryRows = 1000;
constexpr std::size_t kCsvPage = 5000;
// The cookie that carries the token for the page's own requests.
constexpr const char* kCookie = "vendrill_board_token";
// The longest search text taken.
constexpr std::size_t kMaxSearch = 200;

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

bool ReadFile(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return static_cast<bool>(in) || in.eof();
}

// One JSON line without the line breaks JSON arrays carry between and after values (no
// string holds a raw line break), so that it fits one event.
std::string OneLine(std::string json)
{
    json.erase(std::remove(json.begin(), json.end(), '\n'), json.end());
    return json;
}

class CServer {
public:
    CServer(const Options& o, int stopFd, std::FILE* err)
        : m_o(o)
        , m_stopFd(stopFd)
        , m_err(err)
    {
    }

    int Run(std::unique_ptr<record::CRecord> first, const std::function<void(const std::string&)>& announce)
    {
        LoadChartScript();
        Routes();
        int port = m_o.port;
        const bool bound = port == 0 ? (port = m_http.bind_to_any_port(m_o.host)) > 0
                                     : m_http.bind_to_port(m_o.host, port);
        if (!bound) {
            std::fprintf(m_err, "vendrill-board: cannot listen on %s:%d: %s\n", m_o.host.c_str(), m_o.port,
                         std::strerror(errno));
            return kExitFailure;
        }
        const std::string host = m_o.host.find(':') != std::string::npos ? "[" + m_o.host + "]" : m_o.host;
        std::thread watcher;
        std::thread server;
        try {
            watcher = std::thread([this, rec = std::move(first)]() mutable { Watch(std::move(rec)); });
            server = std::thread([this] { m_http.listen_after_bind(); });
        } catch (const std::system_error& e) {
            std::fprintf(m_err, "vendrill-board: cannot start: %s\n", e.what());
            Stop();
            if (watcher.joinable())
                watcher.join();
            return kExitFailure;
        }
        announce("http://" + host + ":" + std::to_string(port) + "/");
        while (!WaitReadable(m_stopFd, -1)) {
        }
        Stop();
        watcher.join();
        server.join();
        return kExitOk;
    }

private:
    void Stop()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_changed.notify_all();
        m_http.stop();
    }

    void LoadChartScript()
    {
        const std::string dir = m_o.jsDir + "/dygraphs/";
        if (!ReadFile(dir + "dygraph.min.js", &m_chartJs) || !ReadFile(dir + "dygraph.min.css", &m_chartCss))
            std::fprintf(m_err, "vendrill-board: %sdygraph.min.js not found (package libjs-dygraphs): the page "
                                "shows no chart\n",
                         dir.c_str());
    }

    // ---- the picture of the line -------------------------------------------

    // Reads the record whenever a station records a visit, and hands the
    // picture to every page.
    void Watch(std::unique_ptr<record::CRecord> rec)
    {
        record::Board last;
        while (!Stopping()) {
            std::string error;
            if (!rec) {
                record::OpenResult opened = record::Open(m_o.db, record::Access::ReadOnly, m_stopFd);
                if (opened.record && opened.record->Watch(&error))
                    rec = std::move(opened.record);
                else if (!opened.record)
                    error = opened.error;
                if (!rec) {
                    Publish(last, error);
                    WaitReadable(m_stopFd, kRetryMs);
                    continue;
                }
                rec->Limit(m_stopFd, kPatienceMs);
            }
            record::Board board;
            const auto started = std::chrono::steady_clock::now();
            if (rec->ReadBoard(QueryAt(std::chrono::system_clock::now()), &board, &error)) {
                last = std::move(board);
                Publish(last, {});
                // A busy line is read at most every kMinReadMs: visits that
                // come meanwhile are in the next picture.
                const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                                       std::chrono::steady_clock::now() - started).count();
                if (spent < kMinReadMs)
                    WaitReadable(m_stopFd, static_cast<int>(kMinReadMs - spent));
                if (rec->WaitForChange(kRefreshMs, &error) != record::Change::Failed)
                    continue;
            }
            if (Stopping())
                break;
            Publish(last, "cannot read the record in " + rec->Where() + ": " + error + "; trying again");
            rec.reset();
            WaitReadable(m_stopFd, kRetryMs);
        }
    }

    void Publish(const record::Board& board, const std::string& error)
    {
        std::string json = BoardJson(board, error);
        {
            std::lock_guard lock(m_mutex);
            if (json == m_picture)
                return;
            m_picture = std::move(json);
            ++m_version;
        }
        m_changed.notify_all();
    }

    bool Stopping()
    {
        std::lock_guard lock(m_mutex);
        return m_stopping;
    }

    // ---- HTTP --------------------------------------------------------------

    void Routes()
    {
        // One worker per open page's event stream, and some for the rest.
        m_http.new_task_queue = [] { return new httplib::ThreadPool(kMaxStreams + 8); };
        m_http.set_payload_max_length(4096);
        // Small answers go out at once, not after the client's delayed ack.
        m_http.set_tcp_nodelay(true);
        m_http.set_read_timeout(5, 0);
        m_http.set_write_timeout(5, 0);
        m_http.set_keep_alive_max_count(100);
        m_http.set_default_headers({
            {"X-Content-Type-Options", "nosniff"},
            {"Referrer-Policy", "no-referrer"},
            {"X-Frame-Options", "DENY"},
            {"Content-Security-Policy",
             "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
             "form-action 'self'; frame-ancestors 'none'; base-uri 'none'"},
        });
        // Nothing here writes: no body is read, only GET and HEAD are answered.
        m_http.set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
            if (req.method != "GET" && req.method != "HEAD") {
                res.status = 405;
                res.set_header("Allow", "GET, HEAD");
                res.set_content("the line board only reads the record\n", "text/plain; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            if (!Authorised(req, res)) {
                res.status = 401;
                res.set_header("WWW-Authenticate", "Bearer realm=\"vendrill-board\"");
                res.set_content("a token is needed: open the link with ?token=... or send Authorization: Bearer\n",
                                "text/plain; charset=utf-8");
                return httplib::Server::HandlerResponse::Handled;
            }
            return httplib::Server::HandlerResponse::Unhandled;
        });
        m_http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
            if (res.body.empty())
                res.set_content(std::to_string(res.status) + "\n", "text/plain; charset=utf-8");
        });

        for (const Asset& a : kAssets)
            m_http.Get(a.path, [a](const httplib::Request&, httplib::Response& res) {
                res.set_header("Cache-Control", "no-cache");
                res.set_content(a.data.data(), a.data.size(), a.type);
            });
        m_http.Get("/js/dygraph.min.js", [this](const httplib::Request&, httplib::Response& res) {
            Static(res, m_chartJs, "text/javascript; charset=utf-8");
        });
        m_http.Get("/js/dygraph.min.css", [this](const httplib::Request&, httplib::Response& res) {
            Static(res, m_chartCss, "text/css; charset=utf-8");
        });
        m_http.Get("/api/board", [this](const httplib::Request&, httplib::Response& res) {
            std::unique_lock lock(m_mutex);
            m_changed.wait_for(lock, std::chrono::milliseconds(kPatienceMs),
                               [this] { return m_stopping || m_version > 0; });
            Json(res, m_version > 0 ? m_picture : BoardJson({}, "the record is being read"));
        });
        m_http.Get("/events", [this](const httplib::Request&, httplib::Response& res) { Events(res); });
        m_http.Get("/api/printer", [this](const httplib::Request& req, httplib::Response& res) { Printer(req, res); });
        m_http.Get("/records.csv", [this](const httplib::Request& req, httplib::Response& res) { Csv(req, res); });
    }

    // A request carries the token as a bearer header, in the link (the shop
    // screen's), or in the cookie that such a link sets for the page's own
    // scripts and style sheets.
    bool Authorised(const httplib::Request& req, httplib::Response& res) const
    {
        if (m_o.token.empty())
            return true;
        static const std::string kBearer = "Bearer ";
        const std::string header = req.get_header_value("Authorization");
        if (header.rfind(kBearer, 0) == 0 && SameSecret(std::string_view(header).substr(kBearer.size()), m_o.token))
            return true;
        if (req.has_param("token") && SameSecret(req.get_param_value("token"), m_o.token)) {
            res.set_header("Set-Cookie", std::string(kCookie) + "=" + m_o.token +
                                             "; Path=/; HttpOnly; SameSite=Strict");
            return true;
        }
        const std::string cookies = req.get_header_value("Cookie");
        const std::string key = std::string(kCookie) + "=";
        for (std::size_t at = 0; at < cookies.size();) {
            while (at < cookies.size() && (cookies[at] == ' ' || cookies[at] == ';'))
                ++at;
            const std::size_t end = std::min(cookies.find(';', at), cookies.size());
            if (cookies.compare(at, key.size(), key) == 0 &&
                SameSecret(std::string_view(cookies).substr(at + key.size(), end - at - key.size()), m_o.token))
                return true;
            at = end;
        }
        return false;
    }

    static void Static(httplib::Response& res, const std::string& body, const char* type)
    {
        if (body.empty()) {
            res.status = 404;
            return;
        }
        res.set_header("Cache-Control", "max-age=86400");
        res.set_content(body, type);
    }

    static void Json(httplib::Response& res, const std::string& json)
    {
        res.set_header("Cache-Control", "no-store");
        res.set_content(json + "\n", "application/json; charset=utf-8");
    }

    static void Problem(httplib::Response& res, int status, const std::string& message)
    {
        res.status = status;
        Json(res, CJsonObject().Text("error", message).Str());
    }

    // Server-Sent Events: the picture now, then each new one.
    void Events(httplib::Response& res)
    {
        if (m_streams.fetch_add(1) >= kMaxStreams) {
            m_streams.fetch_sub(1);
            res.set_header("Retry-After", "10");
            Problem(res, 503, "too many pages are open on this board");
            return;
        }
        res.set_header("Cache-Control", "no-store");
        res.set_header("X-Accel-Buffering", "no");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, seen = std::uint64_t{0}](std::size_t, httplib::DataSink& sink) mutable {
                std::string event;
                {
                    std::unique_lock lock(m_mutex);
                    m_changed.wait_for(lock, kKeepAlive, [&] { return m_stopping || m_version != seen; });
                    if (m_stopping)
                        return false;
                    if (m_version != seen) {
                        seen = m_version;
                        event = "data: " + m_picture + "\n\n";
                    }
                }
                if (event.empty())
                    event = ": still here\n\n";
                return sink.is_writable() && sink.write(event.data(), event.size());
            },
            [this](bool) { m_streams.fetch_sub(1); });
    }

    // One printer's whole history, by its address or a name.
    void Printer(const httplib::Request& req, httplib::Response& res)
    {
        const std::string q = req.get_param_value("q");
        if (q.empty() || q.size() > kMaxSearch) {
            Problem(res, 400, "give an address or a name of at most " + std::to_string(kMaxSearch) + " bytes (?q=)");
            return;
        }
        std::vector<record::VisitEntry> visits;
        std::string error;
        if (!WithRecord([&](record::CRecord& rec) { return rec.History(q, kHistoryRows, &visits, &error); },
                        &error)) {
            Problem(res, 503, error);
            return;
        }
        Json(res, OneLine(CJsonObject().Text("query", q).Raw("visits", VisitsJson(visits)).Str()));
    }

    // The visits of a range of days as vendrill-cli records --csv writes them.
    void Csv(const httplib::Request& req, httplib::Response& res)
    {
        std::string since, until;
        const std::string from = req.get_param_value("from"), to = req.get_param_value("to");
        if (!from.empty()) {
            const std::optional<std::string> t = record::SinceText(from);
            if (!t) {
                Problem(res, 400, "from: not a date (YYYY-MM-DD)");
                return;
            }
            since = *t;
        }
        if (!to.empty()) {
            const std::optional<std::string> t = record::SinceText(to);
            if (!t) {
                Problem(res, 400, "to: not a date (YYYY-MM-DD)");
                return;
            }
            // The whole of the last day.
            std::tm day{};
            ::strptime(t->c_str(), "%Y-%m-%dT%H:%M:%S", &day);
            until = record::TimeText(::timegm(&day) + (to.size() == 10 ? 86400 : 0));
        }
        std::string name = "vendrill-records";
        for (const std::string* part : {&from, &to})
            if (!part->empty())
                name += "-" + part->substr(0, 10);
        res.set_header("Content-Disposition", "attachment; filename=\"" + name + ".csv\"");
        res.set_header("Cache-Control", "no-store");
        // Page by page, so that a long range never sits in memory whole.
        res.set_chunked_content_provider(
            "text/csv; charset=utf-8",
            [this, since, until, key = record::PageKey{}, header = true](std::size_t,
                                                                         httplib::DataSink& sink) mutable {
                std::vector<record::VisitEntry> page;
                std::string error;
                if (!WithRecord(
                        [&](record::CRecord& rec) {
                            return rec.ListBetween(since, until, kCsvPage, &key, &page, &error);
                        },
                        &error))
                    return false;  // the download breaks off rather than look complete
                const std::string text = cli::VisitsTable(page, ',', header);
                header = false;
                if (!sink.write(text.data(), text.size()))
                    return false;
                if (page.size() < kCsvPage)
                    sink.done();
                return true;
            });
    }

    // Runs a read on the board's query connection, opened when first needed
    // and made anew after a failure.
    bool WithRecord(const std::function<bool(record::CRecord&)>& read, std::string* error)
    {
        std::lock_guard lock(m_queryMutex);
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (!m_query) {
                record::OpenResult opened = record::Open(m_o.db, record::Access::ReadOnly, m_stopFd);
                if (!opened.record) {
                    *error = opened.error;
                    return false;
                }
                m_query = std::move(opened.record);
                m_query->Limit(m_stopFd, kPatienceMs);
            }
            if (read(*m_query))
                return true;
            m_query.reset();
        }
        *error = "cannot read the record: " + *error;
        return false;
    }

    const Options& m_o;
    const int m_stopFd;
    std::FILE* const m_err;
    httplib::Server m_http;
    std::string m_chartJs, m_chartCss;

    std::mutex m_mutex;  // guards the picture, its version and m_stopping
    std::condition_variable m_changed;
    std::string m_picture;
    std::uint64_t m_version = 0;
    bool m_stopping = false;
    std::atomic<int> m_streams{0};

    std::mutex m_queryMutex;  // one read at a time on m_query
    std::unique_ptr<record::CRecord> m_query;
};

}  // namespace

bool IsLoopback(const std::string& host)
{
    if (host == "localhost" || host == "::1")
        return true;
    in_addr v4{};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool SameSecret(std::string_view given, std::string_view secret)
{
    // Every byte of the given text is looked at, whatever matched.
    unsigned difference = given.size() == secret.size() ? 0 : 1;
    for (std::size_t k = 0; k < given.size(); ++k)
        difference |= static_cast<unsigned char>(given[k]) ^
                      static_cast<unsigned char>(secret.empty() ? 0 : secret[k % secret.size()]);
    return difference == 0 && !secret.empty();
}

record::BoardQuery QueryAt(std::chrono::system_clock::time_point now)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(now);
    std::tm local{};
    ::localtime_r(&t, &local);
    local.tm_hour = local.tm_min = local.tm_sec = 0;
    local.tm_isdst = -1;
    record::BoardQuery q;
    q.dayStart = record::TimeText(std::mktime(&local));
    q.hoursStart = record::TimeText((t / 3600 - 11) * 3600);
    q.hourAgo = record::TimeText(t - 3600);
    return q;
}

std::string BoardJson(const record::Board& board, const std::string& error)
{
    std::vector<std::string> stations;
    for (const record::StationDay& d : board.stations)
        stations.push_back(CJsonObject()
                               .Text("station", d.station)
                               .Number("printers", d.printers)
                               .Number("named", d.named)
                               .Number("failed", d.failed)
                               .Number("unconfirmed", d.unconfirmed)
                               .Number("last_hour", d.lastHour)
                               .Raw("last", d.last.time.empty() ? "null" : VisitJson(d.last))
                               .Str());
    std::vector<std::string> hours;
    for (const record::HourCount& h : board.hours)
        hours.push_back(CJsonObject().Text("station", h.station).Text("hour", h.hour).Number("printers", h.printers).Str());
    CJsonObject json;
    json.Text("now", board.now);
    if (error.empty())
        json.Null("error");
    else
        json.Text("error", error);
    json.Raw("stations", JsonArray(stations))
        .Raw("hours", JsonArray(hours))
        .Raw("latest", VisitsJson(board.latest))
        .Raw("failures", VisitsJson(board.failures));
    return OneLine(json.Str());
}

std::string UsageText()
{
    return "Usage: vendrill-board [--db LOCATION] [--listen HOST:PORT] [--token FILE]\n"
           "Shows the production record live in a browser: each station's day, printers per\n"
           "hour, the latest visits and failures, a printer's history, a CSV download.\n"
           "\n"
           "  --db LOCATION       the record: sqlite:PATH or a postgresql:// URL\n"
           "                      (default: the file vendrill-cli station writes)\n"
           "  --listen HOST:PORT  where to listen (default 127.0.0.1:" +
           std::to_string(kDefaultPort) +
           "; port 0: any free one);\n"
           "                      an address other than loopback needs --token\n"
           "  --token FILE        the file holding the token every request must carry\n"
           "                      (Authorization: Bearer TOKEN, or ?token=TOKEN in the link)\n"
           "  --help              show this help and exit\n"
           "  --version           show the version and exit\n"
           "\n"
           "Exit status: 0 stopped by a signal, 1 cannot listen, 2 wrong command line or token,\n"
           "6 the record cannot be opened.\n";
}

ParseResult ParseArguments(const std::vector<std::string>& args)
{
    ParseResult r;
    Options& o = r.options;
    const auto fail = [&r](std::string message) {
        r.ok = false;
        r.error = std::move(message);
        return r;
    };
    for (std::size_t k = 0; k < args.size(); ++k) {
        std::string arg = args[k], value;
        const std::size_t eq = arg.find('=');
        const bool inlineValue = arg.rfind("--", 0) == 0 && eq != std::string::npos;
        if (inlineValue) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
        }
        const auto take = [&](std::string* out) {
            if (inlineValue) {
                *out = value;
                return true;
            }
            if (k + 1 >= args.size())
                return false;
            *out = args[++k];
            return true;
        };
        if (arg == "--help" || arg == "-h") {
            r.help = true;
        } else if (arg == "--version") {
            r.version = true;
        } else if (arg == "--db") {
            if (!take(&o.db) || o.db.empty())
                return fail("--db needs a record location");
        } else if (arg == "--listen") {
            std::string listen;
            if (!take(&listen))
                return fail("--listen needs HOST:PORT");
            const std::size_t colon = listen.rfind(':');
            if (colon == std::string::npos || colon == 0)
                return fail("--listen needs HOST:PORT, not '" + listen + "'");
            std::string host = listen.substr(0, colon);
            if (host.size() > 2 && host.front() == '[' && host.back() == ']')
                host = host.substr(1, host.size() - 2);
            const std::string port = listen.substr(colon + 1);
            if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                std::stoi(port) > 65535)
                return fail("--listen: '" + port + "' is not a port number (0-65535)");
            o.host = host;
            o.port = std::stoi(port);
        } else if (arg == "--token") {
            if (!take(&o.tokenFile) || o.tokenFile.empty())
                return fail("--token needs a file");
        } else {
            return fail("unknown argument '" + args[k] + "'");
        }
    }
    if (r.help || r.version) {
        r.ok = true;
        return r;
    }
    if (!o.tokenFile.empty()) {
        if (!ReadFile(o.tokenFile, &o.token))
            return fail("cannot read the token file " + o.tokenFile + ": " + std::strerror(errno));
        while (!o.token.empty() && std::isspace(static_cast<unsigned char>(o.token.back())))
            o.token.pop_back();
        if (o.token.size() < 16 || o.token.find_first_of(" \t\r\n") != std::string::npos)
            return fail("the token in " + o.tokenFile + " must be one line of at least 16 characters");
    }
    if (o.token.empty() && !IsLoopback(o.host))
        return fail("listening on " + o.host + " lets other machines read the record: give --token FILE");
    r.ok = true;
    return r;
}

int Run(const Options& options, int stopFd, const std::function<void(const std::string&)>& announce, std::FILE* err)
{
    record::OpenResult opened = record::Open(options.db, record::Access::ReadOnly, stopFd);
    std::string error;
    if (opened.record && !opened.record->Watch(&error))
        opened = {record::OpenResult::Kind::Unavailable, nullptr,
                  "cannot watch the record in " + opened.record->Where() + ": " + error};
    if (!opened.record) {
        std::fprintf(err, "vendrill-board: %s\n", opened.error.c_str());
        return opened.kind == record::OpenResult::Kind::BadLocation ? kExitBadArgument : kExitRecord;
    }
    opened.record->Limit(stopFd, kPatienceMs);
    CServer server(options, stopFd, err);
    return server.Run(std::move(opened.record), announce);
}

}  // namespace vendrill::board
