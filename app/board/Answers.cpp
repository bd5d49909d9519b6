#include "app/board/Serving.h"

#include "app/board/Assets.h"

#include <algorithm>
#include <cstring>

#include <sys/epoll.h>

namespace vendrill::board {

MHD_Result CServer::Answer(Exchange* x, int status, const std::string& body, const char* type,
                           const std::vector<std::pair<std::string, std::string>>& headers, bool close)
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

void CServer::Headers(MHD_Response* r, const char* type)
{
    MHD_add_response_header(r, "Content-Type", type);
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "Referrer-Policy", "no-referrer");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Content-Security-Policy", kPolicy);
}

MHD_Result CServer::Text(Exchange* x, int status, const std::string& text, bool close,
                         const std::vector<std::pair<std::string, std::string>>& headers)
{
    return Answer(x, status, text + "\n", "text/plain; charset=utf-8", headers, close);
}

MHD_Result CServer::Json(Exchange* x, int status, const std::string& json)
{
    return Answer(x, status, json + "\n", "application/json; charset=utf-8", {{"Cache-Control", "no-store"}});
}

MHD_Result CServer::Problem(Exchange* x, int status, const std::string& message)
{
    return Json(x, status, CJsonObject().Text("error", message).Str());
}

void CServer::Count(Route route, int status)
{
    ++m_requests[{static_cast<int>(route), status}];
}

MHD_Result CServer::Begin(Exchange* x, const std::string& url, const std::string& method)
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

MHD_Result CServer::Continue(Exchange* x)
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

bool CServer::HostAllowed(const char* header) const
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

bool CServer::Authorised(Exchange* x) const
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

MHD_Result CServer::Asset(Exchange* x, const std::string& url)
{
    for (const vendrill::board::Asset& a : kAssets)
        if (url == a.path || (url == "/index.html" && std::string(a.path) == "/")) {
            return Answer(x, 200, std::string(a.data), a.type, {{"Cache-Control", "no-cache"}});
        }
    return Text(x, 404, "not found");
}

MHD_Result CServer::Static(Exchange* x, const std::string& body, const char* type)
{
    if (body.empty())
        return Text(x, 404, "not found (package libjs-dygraphs)");
    return Answer(x, 200, body, type, {{"Cache-Control", "max-age=86400"}});
}

MHD_Result CServer::Health(Exchange* x)
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

std::string CServer::ServerMetrics() const
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

MHD_Result CServer::Events(Exchange* x, bool head)
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

ssize_t CServer::ReadStream(void* cls, uint64_t, char* buffer, size_t max)
{
    auto* x = static_cast<Exchange*>(cls);
    return x->server->StreamPart(x, buffer, max);
}

ssize_t CServer::StreamPart(Exchange* x, char* buffer, std::size_t max)
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

}  // namespace vendrill::board
