// The production line's figures:
//  1. station cycle: vendrill-cli station --print against the simulated line
//     paced at a real baud rate, from a printer's first answer to its record
//     being committed (the station's JSON line for it), against the wire time
//     of every request and reply in between (the label is written after the
//     read-back and does not wait for the line); once more with every flush
//     of the station to the disk held as long as on an ordinary disk;
//  2. the record's cost per printer (claim, sent, visit) on SQLite and on
//     a private PostgreSQL server;
//  3. the scale run: many stations (one process each, each on its own
//     simulated line) naming printers into one PostgreSQL database: claims
//     per second, claim latency as a printer sees it (its first answer to
//     the arrival of Set BDN: look-up, claim and the commit that marks the
//     name sent), names held twice (must be none) and gaps.
// Result lines (ROW / NOTE) go to standard error, see BenchRow.h.

#include "BenchRow.h"
#include "PgServer.h"

#include "record/Record.h"
#include "sim/SimHost.h"

#include <filesystem>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vendrill;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// What one flush to an ordinary disk takes (a SATA SSD's cache flush; a
// spinning disk takes longer): this machine's own may be far quicker.
constexpr int kOrdinaryFlushUs = 3000;

std::string TempDir()
{
    char dir[] = "/tmp/vendrill-bench-XXXXXX";
    return ::mkdtemp(dir) ? dir : "";
}

// Bytes on the wire of one request and its reply, for the simulated
// module's state at the end of the stay (the name set, PIN key as kept).
int ExchangeBytes(char command, const ModuleState& state)
{
    const int name = static_cast<int>(state.name.size()), pin = static_cast<int>(state.pin.size());
    constexpr int kReplyFrame = 5;  // STX, two filler bytes, command, ETX
    switch (command) {
    case proto::CMD_SET_BDN: return (4 + name) + kReplyFrame;
    case proto::CMD_SET_PINKEY: return (4 + pin) + kReplyFrame;
    case proto::CMD_SET_LEVEL:
    case proto::CMD_SET_PAIRING: return 4 + kReplyFrame;
    case proto::CMD_GET_BDA: return 3 + kReplyFrame + static_cast<int>(state.address.size());
    case proto::CMD_GET_BDN: return 3 + kReplyFrame + name;
    case proto::CMD_GET_PINKEY: return 3 + kReplyFrame + pin;
    default: return 3 + kReplyFrame + 1;  // Get Level, Get pairing mode
    }
}

// Bytes exchanged from the first answer (Get BDA) until the label: every
// request the station made for this printer and its reply.
int BytesAfterFirstAnswer(const LineVisit& visit)
{
    int bytes = 0;
    bool answered = false;
    for (const std::string& entry : visit.journal) {
        if (entry.rfind("P:", 0) == 0)
            break;
        if (entry.size() != 2 || entry[0] != '?')
            continue;
        if (!answered) {
            answered = entry[1] == proto::CMD_GET_BDA;
            continue;
        }
        bytes += ExchangeBytes(entry[1], visit.state);
    }
    return bytes;
}

// Starts a program (args[0]) with standard output on `out`, and extraEnv
// ("NAME=value") added to this environment; its pid or -1.
pid_t Spawn(std::vector<std::string> args, int out, const std::vector<std::string>& extraEnv = {})
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env = extraEnv;
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    for (char** e = environ; *e; ++e)
        envp.push_back(*e);
    envp.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return spawned == 0 ? pid : -1;
}

// flushUs > 0: every flush of the station to the disk is held that long
// (an ordinary disk rather than this machine's).
bool StationCycle(const char* cli, int printers, int baud, int flushUs = 0)
{
    const std::string dir = TempDir();
    CSimHost host;
    LineOptions line;
    line.printers = NumberedPrinters(printers);
    line.stayMs = 30;
    line.goneMs = 150;
    host.SetLine(line);
    host.SetPaceBaud(baud);
    if (dir.empty() || !host.Start())
        return false;

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return false;
    const pid_t pid = Spawn({cli, "station", "--port", host.SlavePath(), "--baud", std::to_string(baud), "--db",
                             "sqlite:" + dir + "/r.sqlite", "--create-record", "--name", "B-", "--count",
                             std::to_string(printers), "--json", "--print"},
                            out[1],
                            flushUs > 0 ? std::vector<std::string>{std::string("LD_PRELOAD=") + VENDRILL_SLOW_FLUSH_LIB,
                                                                   "VENDRILL_BENCH_FLUSH_US=" + std::to_string(flushUs)}
                                        : std::vector<std::string>{});
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        return false;
    }

    // Arrival time of each printer's line (the start and the summary are
    // lines of their own).
    std::vector<Clock::time_point> arrived;
    std::string pending;
    for (;;) {
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, 60000) <= 0)
            break;
        char buf[4096];
        const ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0)
            break;
        const Clock::time_point now = Clock::now();
        pending.append(buf, static_cast<std::size_t>(n));
        for (std::size_t end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            if (pending.substr(0, end).rfind("{\"event\": \"printer\"", 0) == 0)
                arrived.push_back(now);
            pending.erase(0, end + 1);
        }
    }
    ::close(out[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    const std::vector<LineVisit> visits = host.Visits();
    host.Stop();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);

    std::vector<double> cycle, floors;
    for (std::size_t k = 0; k < visits.size() && k < arrived.size(); ++k) {
        if (!visits[k].firstAnswer)
            continue;
        cycle.push_back(std::chrono::duration<double, std::milli>(arrived[k] - *visits[k].firstAnswer).count());
        floors.push_back(BytesAfterFirstAnswer(visits[k]) * 10.0 * 1000.0 / baud);
    }
    const std::string figure = "Station cycle at " + std::to_string(baud) + " baud" +
                               (flushUs > 0 ? vbench::Fmt(", every disk flush held %.0f ms (an ordinary disk)",
                                                          flushUs / 1000.0)
                                            : std::string());
    if (cycle.size() != static_cast<std::size_t>(printers) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        vbench::Row(figure, "not measured", "-", NAN, "<= 1.2",
                    "station exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ", " +
                        std::to_string(cycle.size()) + " printers");
        return false;
    }
    const vbench::Stats s = vbench::Summarise(cycle), f = vbench::Summarise(floors);
    vbench::Row(figure + ": first answer -> record committed (" + std::to_string(printers) + " printers, min/med/max)",
                vbench::MinMedMax(s, "ms", "%.2f"),
                vbench::Fmt("%.2f ms", f.median) + " wire time of " +
                    std::to_string(BytesAfterFirstAnswer(visits[0])) + " bytes, module answers at once",
                s.median / f.median, "<= 1.2");
    return true;
}

bool RecordCost(const std::string& label, const std::string& location, int printers)
{
    vendrill::record::OpenResult r = vendrill::record::Open(location, vendrill::record::Access::Create);
    if (!r.record) {
        vbench::Row("Record cost per printer, " + label, "not measured", "-", NAN, "<= 5 ms", r.error);
        return false;
    }
    std::vector<double> costs;
    for (int k = 0; k < printers; ++k) {
        const std::string address = "BENCH" + std::to_string(100000 + k);
        std::string error;
        const Clock::time_point t0 = Clock::now();
        using namespace vendrill::record;
        const ClaimResult claim = r.record->Claim(address, {"B-", 1, 5, 59}, "bench");
        error = claim.error;
        Visit visit;
        visit.address = address;
        visit.station = "bench";
        visit.result = Result::Named;
        visit.nameId = claim.binding.id;
        const bool ok = claim.kind == ClaimResult::Kind::Ok && claim.binding.isNew &&
                        r.record->SetState(claim.binding.id, State::Sent, &error) &&
                        r.record->AddVisit(visit, State::Named, &error);
        const Clock::time_point t1 = Clock::now();
        if (!ok) {
            vbench::Row("Record cost per printer, " + label, "not measured", "-", NAN, "<= 5 ms", error);
            return false;
        }
        costs.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
    }
    const vbench::Stats s = vbench::Summarise(costs);
    vbench::Row("Record cost per printer, " + label + ": claim + sent + visit (" + std::to_string(printers) +
                    " printers, min/med/max)",
                vbench::MinMedMax(s, "ms", "%.3f"), "5 ms target", s.median / 5.0, "<= 5 ms", "ratio to the target");
    return true;
}

double Percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    const std::size_t k = static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(k, v.size() - 1)];
}

bool ScaleRun(const char* cli, PgServer& server, const std::string& url, int stations, int seconds)
{
    const std::string figure = "Scale: " + std::to_string(stations) + " stations on one PostgreSQL database for " +
                               std::to_string(seconds) + " s";
    std::vector<std::unique_ptr<CSimHost>> lines;
    std::vector<pid_t> pids;
    const int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    for (int k = 0; k < stations; ++k) {
        auto host = std::make_unique<CSimHost>();
        LineOptions line;
        // More printers than a station can name in the time, each address
        // of its own.
        for (int n = 0; n < 3000; ++n) {
            char address[32];
            std::snprintf(address, sizeof address, "5CA1%02X%06X", static_cast<unsigned>(k), static_cast<unsigned>(n));
            line.printers.push_back({address, false});
        }
        line.stayMs = 20;
        line.goneMs = 40;
        host->SetLine(line);
        if (!host->Start())
            return false;
        const pid_t pid = Spawn({cli, "station", "--port", host->SlavePath(), "--db", url, "--name", "SC-",
                                 "--station", "st" + std::to_string(k), "--json"},
                                devnull);
        if (pid > 0)
            pids.push_back(pid);
        lines.push_back(std::move(host));
    }
    ::close(devnull);
    ::poll(nullptr, 0, seconds * 1000);
    for (pid_t pid : pids)
        ::kill(pid, SIGINT);
    int failed = 0;
    for (pid_t pid : pids) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        // Between printers a station ends with 0, during one with 128 + 2.
        failed += !(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == 128 + SIGINT));
    }

    std::vector<double> latency;
    std::map<std::string, std::set<std::string>> holders;
    for (const auto& host : lines) {
        for (const LineVisit& v : host->Visits()) {
            if (v.firstAnswer && v.nameHeard)
                latency.push_back(std::chrono::duration<double, std::milli>(*v.nameHeard - *v.firstAnswer).count());
            if (v.state.name.rfind("SC-", 0) == 0)
                holders[v.state.name].insert(v.address);
        }
        host->Stop();
    }
    std::size_t twice = 0;
    for (const auto& [name, addresses] : holders)
        twice += addresses.size() > 1;
    std::string error;
    const long taken = std::atol(server.Query("scale", "SELECT count(*) FROM names", &error).c_str());
    const long highest = std::atol(server.Query("scale", "SELECT max(number) FROM names", &error).c_str());
    if (!error.empty() || failed > 0 || pids.size() != static_cast<std::size_t>(stations)) {
        vbench::Row(figure, "not measured", "-", NAN, "-",
                    std::to_string(failed) + " stations failed " + error);
        return false;
    }
    vbench::Row(figure + ": names taken per second", vbench::Fmt("%.1f /s", static_cast<double>(taken) / seconds),
                "-", NAN, "-", std::to_string(taken) + " names");
    vbench::Row(figure + ": claim latency p50 / p99 (first answer -> Set BDN at the printer)",
                vbench::Fmt("%.2f", Percentile(latency, 0.5)) + vbench::Fmt(" / %.2f ms", Percentile(latency, 0.99)), "20 ms budget",
                Percentile(latency, 0.99) / 20.0, "p99 <= 20 ms", std::to_string(latency.size()) + " printers");
    vbench::Row(figure + ": names held by two printers", std::to_string(twice), "0", NAN, "0");
    vbench::Row(figure + ": gaps (numbers not used)", std::to_string(highest - taken), "-", NAN, "-",
                "numbers below the highest taken that no name holds");
    return twice == 0;
}

}  // namespace

int main(int argc, char** argv)
{
    int printers = 20, records = 200, baud = 57600, stations = 16, seconds = 60;
    for (int k = 1; k + 1 < argc; k += 2) {
        if (std::strcmp(argv[k], "--printers") == 0)
            printers = std::atoi(argv[k + 1]);
        else if (std::strcmp(argv[k], "--records") == 0)
            records = std::atoi(argv[k + 1]);
        else if (std::strcmp(argv[k], "--baud") == 0)
            baud = std::atoi(argv[k + 1]);
        else if (std::strcmp(argv[k], "--stations") == 0)
            stations = std::atoi(argv[k + 1]);
        else if (std::strcmp(argv[k], "--seconds") == 0)
            seconds = std::atoi(argv[k + 1]);
    }
    bool ok = StationCycle(VENDRILL_CLI_PATH, printers, baud);
    ok = StationCycle(VENDRILL_CLI_PATH, printers, baud, kOrdinaryFlushUs) && ok;

    const std::string dir = TempDir();
    ok = RecordCost("SQLite (WAL)", "sqlite:" + dir + "/cost.sqlite", records) && ok;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);

    PgServer server;
    const std::string started = server.Start();
    std::string error;
    const std::string url = started.empty() ? server.NewDatabase("bench", &error) : std::string();
    if (url.empty()) {
        vbench::Row("Record cost per printer, PostgreSQL", "not measured", "-", NAN, "<= 5 ms",
                    started.empty() ? error : started);
        ok = false;
    } else {
        ok = RecordCost("PostgreSQL (local socket)", url, records) && ok;
        const std::string scale = server.NewDatabase("scale", &error);
        ok = !scale.empty() && ScaleRun(VENDRILL_CLI_PATH, server, scale, stations, seconds) && ok;
    }
    vbench::Note("Station cycle: the simulated line holds every byte for its wire time (10 bits a byte) both ways; "
                 "the record is SQLite (the commit that marks a name sent waits for the disk, while the station reads "
                 "the module's address once more: Get BDA, 20 bytes, counted in the wire time). The floor leaves out "
                 "the record and the host's wake-ups.");
    vbench::Note("Scale run: every station a vendrill-cli process on its own simulated line (unpaced; a printer "
                 "stays 20 ms after its name and the next comes 40 ms later), all on one private PostgreSQL "
                 "server (local socket, fsync off). Names held twice are counted on the simulated modules, gaps "
                 "in the record.");
    return ok ? 0 : 1;
}
