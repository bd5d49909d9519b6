#include "PgServer.h"

#include <libpq-fe.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <glob.h>
#include <pwd.h>
#include <string>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Newest installed server version's bin folder, or "".
std::string PgBin()
{
    glob_t g{};
    std::string best;
    if (::glob("/usr/lib/postgresql/*/bin/pg_ctl", 0, nullptr, &g) == 0) {
        int bestVersion = -1;
        for (std::size_t k = 0; k < g.gl_pathc; ++k) {
            const std::string path = g.gl_pathv[k];
            const int version = std::atoi(path.c_str() + std::strlen("/usr/lib/postgresql/"));
            if (version > bestVersion) {
                bestVersion = version;
                best = path.substr(0, path.size() - std::strlen("/pg_ctl"));
            }
        }
    }
    ::globfree(&g);
    return best;
}

// Runs argv (as postgres when root), output into log; the exit status or -1.
int RunTool(std::vector<std::string> argv, const std::string& log)
{
    if (::geteuid() == 0)
        argv.insert(argv.begin(), {"runuser", "-u", "postgres", "--"});
    const pid_t pid = ::fork();
    if (pid < 0)
        return -1;
    if (pid == 0) {
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        const int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0)
            ::dup2(in, 0);
        ::setenv("LC_ALL", "C", 1);
        std::vector<char*> args;
        for (std::string& a : argv)
            args.push_back(a.data());
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string ReadFile(const std::string& path)
{
    std::string text;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return text;
    char buf[4096];
    ssize_t n;
    while ((n = ::read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    ::close(fd);
    return text;
}

}  // namespace

std::string PgServer::Start()
{
    const std::string bin = PgBin();
    if (bin.empty())
        return "no PostgreSQL server under /usr/lib/postgresql (scripts/setup.sh installs it)";
    char dir[] = "/tmp/vendrill-pg-XXXXXX";
    if (!::mkdtemp(dir))
        return std::string("mkdtemp: ") + std::strerror(errno);
    m_dir = dir;
    if (::geteuid() == 0) {
        const passwd* pw = ::getpwnam("postgres");
        if (!pw || ::chown(dir, pw->pw_uid, pw->pw_gid) != 0)
            return "cannot hand the folder to the user postgres";
    }
    const std::string data = m_dir + "/data", log = m_dir + "/tool.log";

    // The watcher: when the pipe's write end closes (Stop or the end of this
    // process), it stops the server and removes the folder.
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        return std::string("pipe: ") + std::strerror(errno);
    const pid_t watcher = ::fork();
    if (watcher < 0)
        return std::string("fork: ") + std::strerror(errno);
    if (watcher == 0) {
        ::close(fds[1]);
        ::setpgid(0, 0);  // a Ctrl-C for the test does not cut the clean-up short
        char c;
        while (::read(fds[0], &c, 1) != 0 && errno == EINTR) {
        }
        struct stat st {};
        if (::stat((data + "/postmaster.pid").c_str(), &st) == 0)
            RunTool({bin + "/pg_ctl", "-D", data, "-m", "immediate", "-w", "stop"}, "/dev/null");
        RunTool({"rm", "-rf", m_dir}, "/dev/null");
        ::rmdir(m_dir.c_str());
        ::_exit(0);
    }
    ::close(fds[0]);
    m_watch = fds[1];
    m_watcher = watcher;

    if (RunTool({bin + "/initdb", "--no-sync", "-A", "trust", "-U", "vendrill", "-E", "UTF8", "-D", data}, log) != 0)
        return "initdb failed:\n" + ReadFile(log);
    m_bin = bin;
    return Run();
}

std::string PgServer::Run()
{
    const std::string data = m_dir + "/data", log = m_dir + "/tool.log";
    // No TCP; the socket lives in the folder.
    const std::string serverOptions = "-c listen_addresses= -c fsync=off -k " + m_dir;
    if (RunTool({m_bin + "/pg_ctl", "-D", data, "-l", m_dir + "/server.log", "-o", serverOptions, "-w", "-t", "60",
                 "start"},
                log) != 0)
        return "pg_ctl start failed:\n" + ReadFile(log) + ReadFile(m_dir + "/server.log");
    return {};
}

std::string PgServer::Halt()
{
    const std::string log = m_dir + "/tool.log";
    if (RunTool({m_bin + "/pg_ctl", "-D", m_dir + "/data", "-m", "fast", "-w", "-t", "60", "stop"}, log) != 0)
        return "pg_ctl stop failed:\n" + ReadFile(log);
    return {};
}

std::string PgServer::Resume()
{
    return Run();
}

std::string PgServer::Query(const std::string& database, const std::string& sql, std::string* error) const
{
    const std::string url = "postgresql://vendrill@/" + database + "?host=" + m_dir;
    PGconn* conn = PQconnectdb(url.c_str());
    std::string value;
    if (PQstatus(conn) != CONNECTION_OK) {
        if (error)
            *error = PQerrorMessage(conn);
        PQfinish(conn);
        return value;
    }
    PGresult* r = PQexec(conn, sql.c_str());
    const ExecStatusType status = PQresultStatus(r);
    if (status == PGRES_TUPLES_OK && PQntuples(r) > 0 && PQnfields(r) > 0)
        value = PQgetvalue(r, 0, 0);
    else if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK && error)
        *error = PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(conn);
    return value;
}

void PgServer::Stop()
{
    if (m_watch >= 0) {
        ::close(m_watch);
        m_watch = -1;
    }
    if (m_watcher > 0) {
        while (::waitpid(m_watcher, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_watcher = -1;
    }
}

std::string PgServer::NewDatabase(const std::string& name, std::string* error)
{
    const std::string admin = "postgresql://vendrill@/postgres?host=" + m_dir;
    PGconn* conn = PQconnectdb(admin.c_str());
    if (PQstatus(conn) != CONNECTION_OK) {
        *error = PQerrorMessage(conn);
        PQfinish(conn);
        return {};
    }
    PGresult* r = PQexec(conn, ("CREATE DATABASE " + name).c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    if (!ok)
        *error = PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(conn);
    return ok ? "postgresql://vendrill@/" + name + "?host=" + m_dir : std::string();
}

std::string PgServer::UnreachableUrl() const
{
    return "postgresql://vendrill@/postgres?host=" + m_dir + "/nothing-here&connect_timeout=2";
}
