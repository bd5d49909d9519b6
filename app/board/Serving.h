#pragma once

// The board's server inside: one thread runs the event loop over every
// connection and answers requests (Server.cpp: the loop and libmicrohttpd's
// callbacks; Answers.cpp: routes, pages, health, metrics and event
// streams), a watcher thread reads the picture of the line and a worker
// thread runs the reads that requests ask for (Reads.cpp: a printer's
// history, the CSV's pages).

#include "app/board/Http.h"
#include "app/board/Server.h"
#include "app/common/Output.h"

#include <microhttpd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vendrill::board {

using Clock = std::chrono::steady_clock;
using app::CJsonObject;

// How long a record call may take before the board calls the record gone.
inline constexpr int kPatienceMs = 5000;
// Between attempts to reach a record that is gone.
inline constexpr int kRetryMs = 2000;
// The picture is read at most this often, however busy the line.
inline constexpr int kMinReadMs = 200;
// The picture is read again at least this often, so that the day and the
// chart move on while the line is quiet.
inline constexpr int kRefreshMs = 30000;
// Every stream gets an event this often: pages see that they still follow
// the line, proxies keep it open.
inline constexpr auto kPing = std::chrono::seconds(15);
// A request's head (its line and headers) must be in within this time,
// however steadily it trickles; an idle connection is closed after it too.
inline constexpr auto kHeadDeadline = std::chrono::seconds(10);
inline constexpr unsigned kIdleTimeoutS = 10;
// Connections at once, and memory for each (headers, buffers): a longer
// head is refused (431).
inline constexpr unsigned kMaxConnections = 4000;
inline constexpr std::size_t kConnectionMemory = 16 * 1024;
inline constexpr std::size_t kBlock = 8 * 1024;
inline constexpr int kBacklog = 1024;
// Event streams at once, of all addresses.
inline constexpr int kMaxStreams = 1000;
// Rows of one printer's history, and of one CSV page read from the record.
inline constexpr std::size_t kHistoryRows = 1000;
inline constexpr std::size_t kCsvPage = 5000;
// The cookie that carries the token for the page's own requests.
inline constexpr const char* kCookie = "vendrill_board_token";
// The longest search text taken.
inline constexpr std::size_t kMaxSearch = 200;

inline constexpr const char* kPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
    "form-action 'self'; frame-ancestors 'none'; base-uri 'none'";

enum class Route { Page, Asset, Chart, Board, Events, Printer, Csv, Health, Metrics, Other };
inline constexpr const char* kRouteNames[] = {"page", "asset", "chart", "board", "events", "printer", "csv", "healthz",
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
    CServer(const Options& o, int stopFd, std::FILE* err);
    ~CServer();
    int Run(int listenFd, int port, std::unique_ptr<record::CRecord> first,
            const std::function<void(const std::string&)>& announce);

private:
    static constexpr std::uint64_t kTagHttp = 1, kTagStop = 2, kTagWake = 3;

    void LoadChartScript();

    // ---- the event loop (this thread alone calls the server's library) ----

    void Loop();
    void Tick();
    void Suspend(Exchange* x, bool watch);
    void Resume(Exchange* x);
    void Wake();

    // A new picture from the watcher: every page that waits gets it.
    void TakePicture();

    // Reads the worker finished: their requests go on.
    void TakeDone();

    // ---- the server's callbacks ---------------------------------------------

    static void OnConnection(void* cls, MHD_Connection* connection, void** context,
                             MHD_ConnectionNotificationCode code);
    static Client* ClientOf(MHD_Connection* connection);
    static void* OnUri(void*, const char* uri, MHD_Connection* connection);
    static void OnCompleted(void* cls, MHD_Connection* connection, void** request, MHD_RequestTerminationCode);
    static MHD_Result OnAccess(void* cls, MHD_Connection* connection, const char* url, const char* method,
                               const char*, const char*, size_t* uploadSize, void** request);

    // ---- answering ------------------------------------------------------------

    MHD_Result Answer(Exchange* x, int status, const std::string& body, const char* type,
                      const std::vector<std::pair<std::string, std::string>>& headers = {}, bool close = false);
    static void Headers(MHD_Response* r, const char* type);
    MHD_Result Text(Exchange* x, int status, const std::string& text, bool close = false,
                    const std::vector<std::pair<std::string, std::string>>& headers = {});
    MHD_Result Json(Exchange* x, int status, const std::string& json);
    MHD_Result Problem(Exchange* x, int status, const std::string& message);
    void Count(Route route, int status);
    MHD_Result Begin(Exchange* x, const std::string& url, const std::string& method);

    // After a wait: the picture came (or did not), the worker answered.
    MHD_Result Continue(Exchange* x);
    bool HostAllowed(const char* header) const;

    // A request carries the token as a bearer header (the scheme in any
    // case), in the link (the shop screen's), or in the cookie that such a
    // link sets for the page's own scripts and style sheets.
    bool Authorised(Exchange* x) const;
    MHD_Result Asset(Exchange* x, const std::string& url);
    MHD_Result Static(Exchange* x, const std::string& body, const char* type);
    MHD_Result Health(Exchange* x);
    std::string ServerMetrics() const;

    // ---- event streams ----------------------------------------------------------

    MHD_Result Events(Exchange* x, bool head);
    static ssize_t ReadStream(void* cls, uint64_t, char* buffer, size_t max);
    ssize_t StreamPart(Exchange* x, char* buffer, std::size_t max);

    // ---- reads done by the worker -------------------------------------------------

    // job: the read, on the worker, with the record (nullptr and why, when
    // it cannot be opened); false when the record failed.
    using Job = std::function<bool(record::CRecord*, const std::string&)>;
    void Submit(Exchange* x, Job job);
    MHD_Result Printer(Exchange* x);

    // from and to are local days, as on the page; a missing one is open.
    MHD_Result Csv(Exchange* x, bool head);
    static ssize_t ReadCsv(void* cls, uint64_t, char* buffer, size_t max);

    // The worker reads the next page while this one goes out.
    ssize_t CsvPart(Exchange* x, char* buffer, std::size_t max);
    void SubmitCsvPage(Exchange* x);

    // On the worker: the next page, and the trailer after the last one.
    static bool NextCsvPage(Exchange* x, record::CRecord* rec, const std::string& openError);

    // The worker: one read at a time on its own connection to the record,
    // opened when first needed and made anew after a failure.
    void Work();

    // ---- the picture of the line ----------------------------------------------------

    // Reads the record whenever a station records a visit, and hands the
    // picture to every page.
    void Watch(std::unique_ptr<record::CRecord> rec);
    void Publish(const Picture& picture);
    bool Stopping();
    void StopThreads();

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

}  // namespace vendrill::board
