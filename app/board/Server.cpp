#include "app/board/Server.h"

#include "app/board/Assets.h"
#include "app/common/Output.h"
#include "app/common/Say.h"

#include <microhttpd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <netdb.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vendrill::board {

namespace {

using Clock = std::chrono::steady_clock;
using app::CJsonObject;
using app::VisitsJson;

// How long a record call may take before the board calls the record gone.
constexpr int kPatienceMs = 5000;
// Between attempts to reach a record that is gone.
constexpr int kRetryMs = 2000;
// The picture is read at most this often, however busy the line.
constexpr int kMinReadMs = 200;
// The picture is read again at least this often, so that the day and the
// chart move on while the line is quiet.
constexpr int kRefreshMs = 30000;
// Every stream gets an event this often: pages see that they still follow
// the line, proxies keep it open.
constexpr auto kPing = std::chrono::seconds(15);
// A request's head (its line and headers) must be in within this time,
// however steadily it trickles; an idle connection is closed after it too.
constexpr auto kHeadDeadline = std::chrono::seconds(10);
constexpr unsigned kIdleTimeoutS = 10;
// Connections at once, and memory for each (headers, buffers): a longer
// head is refused (431).
constexpr unsigned kMaxConnections = 4000;
constexpr std::size_t kConnectionMemory = 16 * 1024;
constexpr std::size_t kBlock = 8 * 1024;
constexpr int kBacklog = 1024;
// Event streams at once, of all addresses.
constexpr int kMaxStreams = 1000;
// Rows of one printer's history, and of one CSV page read from the record.
constexpr std::size_t kHistoryRows = 1000;
constexpr std::size_t kCsvPage = 5000;
// The cookie that carries the token for the page's own requests.
constexpr const char* kCookie = "vendrill_board_token";
// The longest search text taken.
constexpr std::size_t kMaxSearch = 200;

constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

bool WaitReadable(int fd, int ms)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, ms) > 0 && (p.revents & POLLIN) != 0;
}

bool ReadWhole(const std::string& path, std::string* out)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::ostringstream text;
    text << in.rdbuf();
    *out = text.str();
    return true;
}

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

int Hex(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// %XX decoded; '+' a space only where a form sent it (plus).
std::string Decoded(std::string_view text, bool plus)
{
    std::string out;
    for (std::size_t k = 0; k < text.size(); ++k) {
        if (text[k] == '%' && k + 2 < text.size() && Hex(text[k + 1]) >= 0 && Hex(text[k + 2]) >= 0) {
            out += static_cast<char>(Hex(text[k + 1]) * 16 + Hex(text[k + 2]));
            k += 2;
        } else {
            out += plus && text[k] == '+' ? ' ' : text[k];
        }
    }
    return out;
}

std::string Encoded(std::string_view text)
{
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kDigits[c >> 4];
            out += kDigits[c & 15];
        }
    }
    return out;
}

// The raw value of a query parameter (the part after '?'), or nullopt.
std::optional<std::string_view> RawParam(std::string_view target, std::string_view key)
{
    const std::size_t q = target.find('?');
    if (q == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(q + 1);
    while (!query.empty()) {
        const std::size_t amp = query.find('&');
        const std::string_view pair = query.substr(0, amp);
        const std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == key)
            return eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1);
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

enum class Route { Page, Asset, Chart, Board, Events, Printer, Csv, Health, Metrics, Other };
constexpr const char* kRouteNames[] = {"page", "asset", "chart", "board", "events", "printer", "csv", "healthz",
                                       "metrics", "other"};

// One TCP connection.
struct Client {
    MHD_Connection* connection = nullptr;
    int fd = -1;
    std::string address;
    Clock::time_point headSince;
    bool inHead = true;
    std::string target;  // the request target as sent, query included
};

class CServer;

// One request and what answering it needs.
struct Exchange {
    CServer* server = nullptr;
    Client* client = nullptr;
    std::string setCookie;  // the token's cookie, for a request that brought the token in its link
    MHD_Connection* connection = nullptr;
    Route route = Route::Other;
    bool suspended = false, watched = false;
    Clock::time_point until;  // waiting for the first picture: until then
    // A read by the worker: with it, and its answer.
    bool job = false, jobDone = false;
    int status = 200;
    std::string body;
    // What is being sent of a stream or CSV.
    std::string out;
    std::size_t outAt = 0;
    std::uint64_t sent = 0;
    bool stream = false, ping = false, gone = false;
    bool completed = false;  // its connection ended while the worker read for it
    // The CSV's range and where it is.
    std::string since, until_, range;
    record::PageKey key;
    bool header = true, finished = false, broken = false;
    std::size_t rows = 0;
};

class CServer {
public:
    CServer(const Options& o, int stopFd, std::FILE* err)
        : m_o(o)
        , m_s(o.settings)
        , m_stopFd(stopFd)
        , m_err(err)
    {
    }
    ~CServer()
    {
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        if (m_epoll >= 0)
            ::close(m_epoll);
    }

    int Run(int listenFd, int port, std::unique_ptr<record::CRecord> first,
            const std::function<void(const std::string&)>& announce)
    {
        LoadChartScript();
        m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
        m_daemon = MHD_start_daemon(
            MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME, 0, nullptr, nullptr, &CServer::OnAccess, this,
            MHD_OPTION_LISTEN_SOCKET, listenFd, MHD_OPTION_CONNECTION_LIMIT, kMaxConnections,
            MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(m_s.connectionsPerAddress),
            MHD_OPTION_CONNECTION_MEMORY_LIMIT, kConnectionMemory, MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutS,
            MHD_OPTION_URI_LOG_CALLBACK, &CServer::OnUri, this, MHD_OPTION_NOTIFY_CONNECTION,
            &CServer::OnConnection, this, MHD_OPTION_NOTIFY_COMPLETED, &CServer::OnCompleted, this,
            MHD_OPTION_STRICT_FOR_CLIENT, 1, MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1, MHD_OPTION_END);
        const MHD_DaemonInfo* info = m_daemon ? MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_EPOLL_FD) : nullptr;
        if (m_wakeFd < 0 || m_epoll < 0 || !info) {
            app::Say(std::string("cannot start serving: ") + std::strerror(errno), m_err);
            if (m_daemon)
                MHD_stop_daemon(m_daemon);
            ::close(listenFd);
            return kExitFailure;
        }
        for (const auto& [fd, tag] : {std::pair{info->epoll_fd, kTagHttp}, {m_stopFd, kTagStop}, {m_wakeFd, kTagWake}}) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.u64 = tag;
            ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &e);
        }
        std::thread watcher, worker;
        try {
            watcher = std::thread([this, rec = std::move(first)]() mutable { Watch(std::move(rec)); });
            worker = std::thread([this] { Work(); });
        } catch (const std::system_error& e) {
            app::Say(std::string("cannot start: ") + e.what(), m_err);
            StopThreads();
            if (watcher.joinable())
                watcher.join();
            MHD_stop_daemon(m_daemon);
            ::close(listenFd);
            return kExitFailure;
        }
        const std::string host = m_o.host.find(':') != std::string::npos ? "[" + m_o.host + "]" : m_o.host;
        announce("http://" + host + ":" + std::to_string(port) + "/");
        Loop();
        // The threads end first (a read under way gives up on the stop
        // signal), then every waiting request is let go, then the server.
        StopThreads();
        watcher.join();
        worker.join();
        TakeDone();
        for (Exchange* x : std::vector<Exchange*>(m_suspended.begin(), m_suspended.end())) {
            x->gone = true;
            Resume(x);
        }
        MHD_run(m_daemon);  // takes the resumed connections back before the end
        MHD_stop_daemon(m_daemon);
        ::close(listenFd);
        return kExitOk;
    }

private:
    static constexpr std::uint64_t kTagHttp = 1, kTagStop = 2, kTagWake = 3;

    void LoadChartScript()
    {
        const std::string dir = m_o.jsDir + "/dygraphs/";
        if (!ReadWhole(dir + "dygraph.min.js", &m_chartJs) || !ReadWhole(dir + "dygraph.min.css", &m_chartCss))
            app::Say(dir + "dygraph.min.js not found (package libjs-dygraphs): the page shows no chart", m_err);
    }

    // ---- the event loop (this thread alone calls the server's library) ----

    void Loop()
    {
        auto nextTick = Clock::now();
        for (;;) {
            MHD_UNSIGNED_LONG_LONG mhdMs = 1000;
            int timeout = 1000;
            if (MHD_get_timeout(m_daemon, &mhdMs) == MHD_YES)
                timeout = static_cast<int>(std::min<MHD_UNSIGNED_LONG_LONG>(mhdMs, 1000));
            epoll_event events[64];
            const int n = ::epoll_wait(m_epoll, events, 64, timeout);
            for (int k = 0; k < n; ++k) {
                const std::uint64_t tag = events[k].data.u64;
                if (tag == kTagStop)
                    return;
                if (tag == kTagWake) {
                    std::uint64_t count = 0;
                    (void)!::read(m_wakeFd, &count, sizeof count);
                    TakePicture();
                    TakeDone();
                } else if (tag != kTagHttp) {
                    // A page that went away while its stream waited: its place is free at once.
                    Exchange* x = reinterpret_cast<Exchange*>(tag);
                    x->gone = true;
                    Resume(x);
                }
            }
            if (Clock::now() >= nextTick) {
                nextTick = Clock::now() + std::chrono::seconds(1);
                Tick();
            }
            MHD_run(m_daemon);
        }
    }

    void Tick()
    {
        const auto now = Clock::now();
        // Heads that never finish are cut off, however steadily they trickle.
        for (Client* c : m_clients)
            if (c->inHead && now - c->headSince > kHeadDeadline && c->fd >= 0)
                ::shutdown(c->fd, SHUT_RDWR);
        if (now - m_lastPing >= kPing) {
            m_lastPing = now;
            for (Exchange* x : std::vector<Exchange*>(m_suspended.begin(), m_suspended.end()))
                if (x->stream) {
                    x->ping = true;
                    Resume(x);
                }
        }
        // Requests for the picture that waited long enough get what there is.
        for (Exchange* x : std::vector<Exchange*>(m_suspended.begin(), m_suspended.end()))
            if (x->route == Route::Board && now >= x->until)
                Resume(x);
    }

    void Suspend(Exchange* x, bool watch)
    {
        MHD_suspend_connection(x->connection);
        x->suspended = true;
        m_suspended.insert(x);
        if (watch && x->client->fd >= 0) {
            epoll_event e{};
            e.events = EPOLLRDHUP;
            e.data.u64 = reinterpret_cast<std::uint64_t>(x);
            x->watched = ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, x->client->fd, &e) == 0;
        }
    }

    void Resume(Exchange* x)
    {
        if (!x->suspended)
            return;
        if (x->watched)
            ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, x->client->fd, nullptr);
        x->watched = x->suspended = false;
        m_suspended.erase(x);
        MHD_resume_connection(x->connection);
    }

    void Wake()
    {
        const std::uint64_t one = 1;
        (void)!::write(m_wakeFd, &one, sizeof one);
    }

    // A new picture from the watcher: every page that waits gets it.
    void TakePicture()
    {
        {
            std::lock_guard lock(m_mutex);
            if (m_version == m_loopVersion)
                return;
            m_loopVersion = m_version;
            m_loopJson = m_json;
            m_loopPicture = m_picture;
        }
        for (Exchange* x : std::vector<Exchange*>(m_suspended.begin(), m_suspended.end()))
            if (x->stream || x->route == Route::Board)
                Resume(x);
    }

    // Reads the worker finished: their requests go on.
    void TakeDone()
    {
        std::vector<Exchange*> done;
        {
            std::lock_guard lock(m_jobMutex);
            done.swap(m_done);
        }
        for (Exchange* x : done) {
            x->job = false;
            x->jobDone = true;
            if (x->completed)
                delete x;
            else
                Resume(x);
        }
    }

    // ---- the server's callbacks ---------------------------------------------

    static void OnConnection(void* cls, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode code)
    {
        auto* self = static_cast<CServer*>(cls);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* c = new Client;
            c->connection = connection;
            c->headSince = Clock::now();
            if (const MHD_ConnectionInfo* i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD))
                c->fd = i->connect_fd;
            if (const MHD_ConnectionInfo* i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS)) {
                char host[NI_MAXHOST] = "";
                const socklen_t size =
                    i->client_addr->sa_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
                ::getnameinfo(i->client_addr, size, host, sizeof host, nullptr, 0, NI_NUMERICHOST);
                c->address = host;
            }
            self->m_clients.insert(c);
            *context = c;
        } else {
            auto* c = static_cast<Client*>(*context);
            self->m_clients.erase(c);
            delete c;
            *context = nullptr;
        }
    }

    static Client* ClientOf(MHD_Connection* connection)
    {
        const MHD_ConnectionInfo* i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        return i ? static_cast<Client*>(i->socket_context) : nullptr;
    }

    static void* OnUri(void*, const char* uri, MHD_Connection* connection)
    {
        if (Client* c = ClientOf(connection))
            c->target = uri ? uri : "";
        return nullptr;
    }

    static void OnCompleted(void* cls, MHD_Connection* connection, void** request, MHD_RequestTerminationCode)
    {
        auto* self = static_cast<CServer*>(cls);
        if (Client* c = ClientOf(connection)) {
            c->inHead = true;  // the next request's head, or an idle connection
            c->headSince = Clock::now();
        }
        auto* x = static_cast<Exchange*>(*request);
        if (!x)
            return;
        if (x->stream) {
            --self->m_streams;
            if (--self->m_streamsOf[x->client->address] == 0)
                self->m_streamsOf.erase(x->client->address);
        }
        if (x->job) {
            // A page the worker still reads for a download that broke off:
            // freed when the worker is done with it.
            x->completed = true;
            return;
        }
        delete x;
        *request = nullptr;
    }

    static MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char* url, const char* method,
                               const char*, const char*, size_t* uploadSize, void** request)
    {
        auto* self = static_cast<CServer*>(cls);
        auto* x = static_cast<Exchange*>(*request);
        if (!x) {
            x = new Exchange;
            x->server = self;
            x->connection = connection;
            x->client = ClientOf(connection);
            *request = x;
            if (!x->client)
                return MHD_NO;
            x->client->inHead = false;
            return self->Begin(x, url ? url : "", method ? method : "");
        }
        if (*uploadSize != 0) {
            // A body is never read: the answer went out with Connection: close.
            *uploadSize = 0;
            return MHD_YES;
        }
        return self->Continue(x);
    }

    // ---- answering ------------------------------------------------------------

    MHD_Result Answer(Exchange* x, int status, const std::string& body, const char* type,
                      const std::vector<std::pair<std::string, std::string>>& headers = {}, bool close = false)
    {
        MHD_Response* r = MHD_create_response_from_buffer(body.size(), const_cast<char*>(body.data()),
                                                          MHD_RESPMEM_MUST_COPY);
        Headers(r, type);
        for (const auto& [k, v] : headers)
            MHD_add_response_header(r, k.c_str(), v.c_str());
        if (close)
            MHD_add_response_header(r, MHD_HTTP_HEADER_CONNECTION, "close");
        if (!x->setCookie.empty())
            MHD_add_response_header(r, "Set-Cookie", x->setCookie.c_str());
        const MHD_Result ok = MHD_queue_response(x->connection, static_cast<unsigned>(status), r);
        MHD_destroy_response(r);
        Count(x->route, status);
        return ok;
    }

    static void Headers(MHD_Response* r, const char* type)
    {
        MHD_add_response_header(r, "Content-Type", type);
        MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
        MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
        MHD_add_response_header(r, "X-Frame-Options", "DENY");
        MHD_add_response_header(r, "Content-Security-Policy", kPolicy);
    }

    MHD_Result Text(Exchange* x, int status, const std::string& text, bool close = false,
                    const std::vector<std::pair<std::string, std::string>>& headers = {})
    {
        return Answer(x, status, text + "\n", "text/plain; charset=utf-8", headers, close);
    }

    MHD_Result Json(Exchange* x, int status, const std::string& json)
    {
        return Answer(x, status, json + "\n", "application/json; charset=utf-8", {{"Cache-Control", "no-store"}});
    }

    MHD_Result Problem(Exchange* x, int status, const std::string& message)
    {
        return Json(x, status, CJsonObject().Text("error", message).Str());
    }

    void Count(Route route, int status)
    {
        ++m_requests[{static_cast<int>(route), status}];
    }

    MHD_Result Begin(Exchange* x, const std::string& url, const std::string& method)
    {
        if (url == "/" || url == "/index.html")
            x->route = Route::Page;
        else if (url == "/api/board")
            x->route = Route::Board;
        else if (url == "/events")
            x->route = Route::Events;
        else if (url == "/api/printer")
            x->route = Route::Printer;
        else if (url == "/records.csv")
            x->route = Route::Csv;
        else if (url == "/healthz")
            x->route = Route::Health;
        else if (url == "/metrics")
            x->route = Route::Metrics;
        else if (url.rfind("/js/", 0) == 0)
            x->route = Route::Chart;
        else
            x->route = Route::Asset;

        // Nothing here writes, and no body is read: a request that brings
        // one is answered and its connection closed, so that the body is
        // never taken for a request of its own.
        const char* length = MHD_lookup_connection_value(x->connection, MHD_HEADER_KIND, "Content-Length");
        const bool body = MHD_lookup_connection_value(x->connection, MHD_HEADER_KIND, "Transfer-Encoding") ||
                          (length && std::strtoull(length, nullptr, 10) > 0);
        if (method != "GET" && method != "HEAD")
            return Text(x, 405, "the line board only reads the record", true, {{"Allow", "GET, HEAD"}});
        if (body)
            return Text(x, 400, "a request to the line board has no body", true);
        if (!HostAllowed(MHD_lookup_connection_value(x->connection, MHD_HEADER_KIND, "Host")))
            return Text(x, 421, "this board is not reached by that name (see host_names in its settings)");
        // The health check is for machines without the token: it tells
        // whether the record is read, nothing of its content.
        if (x->route == Route::Health)
            return Health(x);
        if (!Authorised(x))
            return Text(x, 401, "a token is needed: open the link with ?token=... or send Authorization: Bearer",
                        false, {{"WWW-Authenticate", "Bearer realm=\"vendrill-board\""}});
        const bool head = method == "HEAD";
        switch (x->route) {
        case Route::Page:
        case Route::Asset:
            return Asset(x, url);
        case Route::Chart:
            if (url == "/js/dygraph.min.js")
                return Static(x, m_chartJs, "text/javascript; charset=utf-8");
            if (url == "/js/dygraph.min.css")
                return Static(x, m_chartCss, "text/css; charset=utf-8");
            return Text(x, 404, "not found");
        case Route::Board:
            if (m_loopVersion == 0) {
                x->until = Clock::now() + std::chrono::milliseconds(kPatienceMs);
                Suspend(x, true);
                return MHD_YES;
            }
            return Json(x, 200, m_loopJson);
        case Route::Events:
            return Events(x, head);
        case Route::Printer:
            return Printer(x);
        case Route::Csv:
            return Csv(x, head);
        case Route::Metrics: {
            Picture first;
            first.error = "the record is being read";
            return Answer(x, 200, MetricsText(m_loopVersion > 0 ? m_loopPicture : first, ServerMetrics()),
                          "text/plain; version=0.0.4; charset=utf-8", {{"Cache-Control", "no-store"}});
        }
        default:
            return Text(x, 404, "not found");
        }
    }

    // After a wait: the picture came (or did not), the worker answered.
    MHD_Result Continue(Exchange* x)
    {
        if (x->suspended)
            return MHD_YES;
        if (x->route == Route::Board)
        {
            Picture waiting;
            waiting.error = "the record is being read";
            return Json(x, 200, m_loopVersion > 0 ? m_loopJson : BoardJson(waiting, m_s));
        }
        if (x->route == Route::Printer && x->jobDone)
            return Json(x, x->status, x->body);
        return MHD_YES;
    }

    bool HostAllowed(const char* header) const
    {
        if (!header)
            return true;  // HTTP/1.0: no name was used
        std::string host = Lower(header);
        if (!host.empty() && host.front() == '[') {
            host = host.substr(1, host.find(']') - 1);
        } else if (std::count(host.begin(), host.end(), ':') == 1) {
            host = host.substr(0, host.find(':'));
        }
        const std::string listen = Lower(m_o.host);
        if (listen == "0.0.0.0" || listen == "::" || listen.empty())
            return true;  // any address: every request carries the token
        if (host == listen || std::find(m_s.hostNames.begin(), m_s.hostNames.end(), host) != m_s.hostNames.end())
            return true;
        // A page of another site that renamed itself to this machine's
        // address (DNS rebinding) reaches a loopback board by a name it
        // does not know.
        return IsLoopback(listen) && IsLoopback(host);
    }

    // A request carries the token as a bearer header (the scheme in any
    // case), in the link (the shop screen's), or in the cookie that such a
    // link sets for the page's own scripts and style sheets.
    bool Authorised(Exchange* x) const
    {
        if (m_o.token.empty())
            return true;
        const char* header = MHD_lookup_connection_value(x->connection, MHD_HEADER_KIND, "Authorization");
        if (header) {
            const std::string_view h(header);
            if (h.size() > 7 && Lower(std::string(h.substr(0, 7))) == "bearer " &&
                SameSecret(h.substr(h.find_first_not_of(' ', 7)), m_o.token))
                return true;
        }
        if (const std::optional<std::string_view> given = RawParam(x->client->target, "token");
            given && SameSecret(Decoded(*given, false), m_o.token)) {
            x->setCookie = std::string(kCookie) + "=" + Encoded(m_o.token) + "; Path=/; HttpOnly; SameSite=Strict";
            return true;
        }
        const char* cookies = MHD_lookup_connection_value(x->connection, MHD_HEADER_KIND, "Cookie");
        const std::string_view all = cookies ? cookies : "";
        const std::string key = std::string(kCookie) + "=";
        for (std::size_t at = 0; at < all.size();) {
            while (at < all.size() && (all[at] == ' ' || all[at] == ';'))
                ++at;
            const std::size_t end = std::min(all.find(';', at), all.size());
            if (all.compare(at, key.size(), key) == 0 &&
                SameSecret(Decoded(all.substr(at + key.size(), end - at - key.size()), false), m_o.token))
                return true;
            at = end;
        }
        return false;
    }

    MHD_Result Asset(Exchange* x, const std::string& url)
    {
        for (const vendrill::board::Asset& a : kAssets)
            if (url == a.path || (url == "/index.html" && std::string(a.path) == "/")) {
                return Answer(x, 200, std::string(a.data), a.type, {{"Cache-Control", "no-cache"}});
            }
        return Text(x, 404, "not found");
    }

    MHD_Result Static(Exchange* x, const std::string& body, const char* type)
    {
        if (body.empty())
            return Text(x, 404, "not found (package libjs-dygraphs)");
        return Answer(x, 200, body, type, {{"Cache-Control", "max-age=86400"}});
    }

    MHD_Result Health(Exchange* x)
    {
        const Picture& p = m_loopPicture;
        const bool up = m_loopVersion > 0 && p.error.empty();
        CJsonObject json;
        json.Text("record", up ? "reachable" : m_loopVersion == 0 ? "being read" : "unreachable");
        if (p.lastChange.empty())
            json.Null("last_change");
        else
            json.Text("last_change", p.lastChange);
        json.Text("read", p.board.now);
        json.Number("streams", m_streams);
        return Json(x, up ? 200 : 503, json.Str());
    }

    std::string ServerMetrics() const
    {
        std::string out = "# HELP vendrill_board_record_errors_total Reads of the record that failed since the board "
                          "started.\n# TYPE vendrill_board_record_errors_total counter\nvendrill_board_record_errors_total " +
                          std::to_string(m_recordErrors.load()) +
                          "\n# HELP vendrill_board_streams Event streams open (pages following the line).\n"
                          "# TYPE vendrill_board_streams gauge\nvendrill_board_streams " +
                          std::to_string(m_streams) +
                          "\n# HELP vendrill_board_connections Connections open.\n"
                          "# TYPE vendrill_board_connections gauge\nvendrill_board_connections " +
                          std::to_string(m_clients.size()) +
                          "\n# HELP vendrill_board_requests_total Requests answered, by route and status.\n"
                          "# TYPE vendrill_board_requests_total counter\n";
        for (const auto& [key, n] : m_requests)
            out += "vendrill_board_requests_total{route=\"" + std::string(kRouteNames[key.first]) + "\",code=\"" +
                   std::to_string(key.second) + "\"} " + std::to_string(n) + "\n";
        return out;
    }

    // ---- event streams ----------------------------------------------------------

    MHD_Result Events(Exchange* x, bool head)
    {
        const std::string& address = x->client->address;
        auto it = m_streamsOf.find(address);
        if (m_streams >= kMaxStreams || (it != m_streamsOf.end() && it->second >= m_s.streamsPerAddress))
            return Text(x, 503, "too many pages follow the line from here; the page tries again by itself", false,
                        {{"Retry-After", "5"}});
        if (head)
            return Answer(x, 200, "", "text/event-stream; charset=utf-8", {{"Cache-Control", "no-store"}});
        x->stream = true;
        x->sent = 0;
        ++m_streams;
        ++m_streamsOf[address];
        MHD_Response* r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kBlock, &CServer::ReadStream, x, nullptr);
        Headers(r, "text/event-stream; charset=utf-8");
        MHD_add_response_header(r, "Cache-Control", "no-store");
        MHD_add_response_header(r, "X-Accel-Buffering", "no");
        const MHD_Result ok = MHD_queue_response(x->connection, 200, r);
        MHD_destroy_response(r);
        Count(x->route, 200);
        return ok;
    }

    static ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max)
    {
        auto* x = static_cast<Exchange*>(cls);
        return x->server->StreamPart(x, buffer, max);
    }

    ssize_t StreamPart(Exchange* x, char* buffer, std::size_t max)
    {
        if (x->gone)
            return MHD_CONTENT_READER_END_WITH_ERROR;
        if (x->outAt == x->out.size()) {
            x->out.clear();
            x->outAt = 0;
            if (m_loopVersion != 0 && x->sent != m_loopVersion) {
                x->out = "data: " + m_loopJson + "\n\n";
                x->sent = m_loopVersion;
                x->ping = false;
            } else if (x->ping) {
                x->out = "event: ping\ndata: \n\n";
                x->ping = false;
            } else {
                Suspend(x, true);
                return 0;
            }
        }
        const std::size_t n = std::min(max, x->out.size() - x->outAt);
        std::memcpy(buffer, x->out.data() + x->outAt, n);
        x->outAt += n;
        return static_cast<ssize_t>(n);
    }

    // ---- reads done by the worker -------------------------------------------------

    // job: the read, on the worker, with the record (nullptr and why, when
    // it cannot be opened); false when the record failed.
    using Job = std::function<bool(record::CRecord*, const std::string&)>;
    void Submit(Exchange* x, Job job)
    {
        x->job = true;
        x->jobDone = false;
        {
            std::lock_guard lock(m_jobMutex);
            m_jobs.push_back({x, std::move(job)});
        }
        m_jobReady.notify_one();
    }

    MHD_Result Printer(Exchange* x)
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

    // from and to are local days, as on the page; a missing one is open.
    MHD_Result Csv(Exchange* x, bool head)
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

    static ssize_t ReadCsv(void* cls, uint64_t, char* buffer, size_t max)
    {
        auto* x = static_cast<Exchange*>(cls);
        return x->server->CsvPart(x, buffer, max);
    }

    // The worker reads the next page while this one goes out.
    ssize_t CsvPart(Exchange* x, char* buffer, std::size_t max)
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

    void SubmitCsvPage(Exchange* x)
    {
        Submit(x, [x](record::CRecord* rec, const std::string& openError) { return NextCsvPage(x, rec, openError); });
    }

    // On the worker: the next page, and the trailer after the last one.
    static bool NextCsvPage(Exchange* x, record::CRecord* rec, const std::string& openError)
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

    // The worker: one read at a time on its own connection to the record,
    // opened when first needed and made anew after a failure.
    void Work()
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

    // ---- the picture of the line ----------------------------------------------------

    // Reads the record whenever a station records a visit, and hands the
    // picture to every page.
    void Watch(std::unique_ptr<record::CRecord> rec)
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

    void Publish(const Picture& picture)
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

    bool Stopping()
    {
        std::lock_guard lock(m_jobMutex);
        return m_stopping;
    }

    void StopThreads()
    {
        {
            std::lock_guard lock(m_jobMutex);
            m_stopping = true;
        }
        m_jobReady.notify_all();
    }

    const Options& m_o;
    const Settings& m_s;
    const int m_stopFd;
    std::FILE* const m_err;
    std::string m_chartJs, m_chartCss;
    MHD_Daemon* m_daemon = nullptr;
    int m_wakeFd = -1, m_epoll = -1;

    // The loop's own (no other thread touches them).
    std::set<Client*> m_clients;
    std::set<Exchange*> m_suspended;
    std::map<std::string, int> m_streamsOf;
    int m_streams = 0;
    std::uint64_t m_loopVersion = 0;
    std::string m_loopJson;
    Picture m_loopPicture;
    Clock::time_point m_lastPing = Clock::now();
    std::map<std::pair<int, int>, std::uint64_t> m_requests;

    std::mutex m_mutex;  // the watcher's picture
    std::string m_json;
    Picture m_picture;
    std::uint64_t m_version = 0;
    std::atomic<std::uint64_t> m_recordErrors{0};

    std::mutex m_jobMutex;  // the worker's queue, what it finished, and m_stopping
    std::condition_variable m_jobReady;
    std::deque<std::pair<Exchange*, Job>> m_jobs;
    std::vector<Exchange*> m_done;
    bool m_stopping = false;
};

// A socket listening on host:port that no other program shares; *port is
// the one taken.
int Listen(const std::string& host, int* port, std::string* error)
{
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), std::to_string(*port).c_str(), &hints, &found);
    if (rc != 0) {
        *error = gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = ::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
        if (fd < 0)
            continue;
        // SO_REUSEADDR lets a restarted board take its port while old
        // connections linger; it never lets two listen on it (no SO_REUSEPORT).
        const int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || ::listen(fd, kBacklog) != 0) {
            *error = std::strerror(errno);
            ::close(fd);
            fd = -1;
            continue;
        }
        sockaddr_storage bound{};
        socklen_t size = sizeof bound;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size) == 0)
            *port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    }
    ::freeaddrinfo(found);
    return fd;
}

}  // namespace

int Serve(const Options& options, std::unique_ptr<record::CRecord> first, int stopFd,
          const std::function<void(const std::string&)>& announce, std::FILE* err)
{
    // Every connection is a descriptor: as many as the system lets us.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = std::min<rlim_t>(files.rlim_max, 65536);
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    int port = options.port;
    std::string error;
    const int fd = Listen(options.host, &port, &error);
    if (fd < 0) {
        app::Say("cannot listen on " + options.host + ":" + std::to_string(options.port) + ": " + error, err);
        return kExitFailure;
    }
    CServer server(options, stopFd, err);
    return server.Run(fd, port, std::move(first), announce);
}

}  // namespace vendrill::board
