#include "app/board/Serving.h"

#include "app/common/Say.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include <netdb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace vendrill::board {

CServer::CServer(const Options& o, int stopFd, std::FILE* err)
    : m_o(o)
    , m_s(o.settings)
    , m_stopFd(stopFd)
    , m_err(err)
{
}

CServer::~CServer()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

int CServer::Run(int listenFd, int port, std::unique_ptr<record::CRecord> first,
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

void CServer::LoadChartScript()
{
    const std::string dir = m_o.jsDir + "/dygraphs/";
    if (!ReadWhole(dir + "dygraph.min.js", &m_chartJs) || !ReadWhole(dir + "dygraph.min.css", &m_chartCss))
        app::Say(dir + "dygraph.min.js not found (package libjs-dygraphs): the page shows no chart", m_err);
}

void CServer::Loop()
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

void CServer::Tick()
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

void CServer::Suspend(Exchange* x, bool watch)
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

void CServer::Resume(Exchange* x)
{
    if (!x->suspended)
        return;
    if (x->watched)
        ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, x->client->fd, nullptr);
    x->watched = x->suspended = false;
    m_suspended.erase(x);
    MHD_resume_connection(x->connection);
}

void CServer::Wake()
{
    const std::uint64_t one = 1;
    (void)!::write(m_wakeFd, &one, sizeof one);
}

void CServer::TakePicture()
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

void CServer::TakeDone()
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

void CServer::OnConnection(void* cls, MHD_Connection* connection, void** context,
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

Client* CServer::ClientOf(MHD_Connection* connection)
{
    const MHD_ConnectionInfo* i = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return i ? static_cast<Client*>(i->socket_context) : nullptr;
}

void* CServer::OnUri(void*, const char* uri, MHD_Connection* connection)
{
    if (Client* c = ClientOf(connection))
        c->target = uri ? uri : "";
    return nullptr;
}

void CServer::OnCompleted(void* cls, MHD_Connection* connection, void** request, MHD_RequestTerminationCode)
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

MHD_Result CServer::OnAccess(void* cls, MHD_Connection* connection, const char* url, const char* method,
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

namespace {

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
