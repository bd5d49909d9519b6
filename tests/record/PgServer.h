#pragma once

// A private PostgreSQL server of Debian's postgresql package for tests: a
// cluster in a temporary folder, listening only on a Unix socket there.
// initdb and the server refuse to run as root, so as root they run as the
// user postgres. A watcher process stops the server and removes the folder
// when the test process ends, even when it crashes.

#include <string>

class PgServer {
public:
    PgServer() = default;
    ~PgServer() { Stop(); }
    PgServer(const PgServer&) = delete;
    PgServer& operator=(const PgServer&) = delete;

    // Empty on success, else what went wrong.
    std::string Start();
    void Stop();
    // Stops the server (a fast shutdown: clients are cut off) and starts it
    // again with the same databases; empty on success.
    std::string Halt();
    std::string Resume();

    // The first value of the first row of a query on a database, "" when none.
    std::string Query(const std::string& database, const std::string& sql, std::string* error = nullptr) const;

    // postgresql:// URL of a new, empty database on the server.
    std::string NewDatabase(const std::string& name, std::string* error);
    // URL of a database on a socket folder where no server listens.
    std::string UnreachableUrl() const;

private:
    std::string Run();

    std::string m_bin;
    std::string m_dir;
    int m_watch = -1;  // write end of the watcher's pipe
    int m_watcher = -1;
};
