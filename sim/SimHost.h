#pragma once

// Runs a CModuleSim on a pseudo-terminal, so that the tool's serial link can
// open the slave side as if it were the printer's port.

#include "sim/ModuleSim.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace vendrill {

// A production line on the one port: printers that come one after another.
struct LinePrinter {
    std::string address;      // 12 hex digits; an address seen before is that printer again
    bool refuseName = false;   // this printer answers Set BDN with '9'
    bool loseNameAck = false;  // this printer takes the name but its acknowledgement is lost
};
struct LineOptions {
    std::vector<LinePrinter> printers;  // in order of arrival; empty: one module, always there
    int stayMs = 500;   // a printer leaves this long after its last Set BDN
    int goneMs = 1000;  // the next one arrives this long after
    ModuleState arrival;  // the settings a printer comes with the first time (its address aside)
};
// The highest Bluetooth address, FFFFFFFFFFFF.
inline constexpr std::uint64_t kLastAddress = 0xFFFFFFFFFFFFull;
// count printers with the addresses first, first + 1, ... (12 hex digits);
// nothing when the last would lie past kLastAddress.
std::vector<LinePrinter> NumberedPrinters(int count, std::uint64_t first = 0x001901990001ull);
// A first address of its own for a line of count printers: 0019 and eight
// random hex digits, so that two runs on one record bring different printers.
std::uint64_t RandomFirstAddress(int count);
// The 12 hex digits of an address (upper case), or nullopt.
std::optional<std::uint64_t> ParseAddress(std::string_view hex);
std::string AddressText(std::uint64_t address);

// One stay of a printer on the line.
struct LineVisit {
    std::string address;
    std::vector<std::string> journal;  // CModuleSim::Journal of this stay
    ModuleState state;                 // the module's settings (when it left)
    bool left = false;
    // When the first reply of this stay was written out in full, and when
    // the first Set BDN of the stay was received in full.
    std::optional<std::chrono::steady_clock::time_point> firstAnswer;
    std::optional<std::chrono::steady_clock::time_point> nameHeard;
};

class CSimHost {
public:
    // A frame that stops arriving for this long is forgotten, so that the
    // next request is not swallowed as its missing bytes.
    static constexpr int kFrameTimeoutMs = 1000;

    CSimHost() = default;
    ~CSimHost() { Stop(); }
    CSimHost(const CSimHost&) = delete;
    CSimHost& operator=(const CSimHost&) = delete;

    // Opens a pseudo-terminal and starts the module's thread. Returns true
    // when running (also when it already was). The module's settings survive
    // Stop() and a later Start().
    bool Start();
    // Wakes the thread (cutting short any reply delay), joins it and closes
    // the terminal. Safe to call when not running.
    void Stop();
    // False when not started, after Stop(), or when the line failed.
    bool IsRunning() const;

    // Path of the slave side, e.g. /dev/pts/5; empty when not running.
    std::string SlavePath() const;

    // All of these may be called from any thread while the host runs.
    // On a line, the options hold for every printer, besides what each
    // printer of the line does of its own.
    void SetOptions(const SimOptions& options);
    SimOptions Options() const;
    ModuleState State() const;
    void SetState(const ModuleState& state);
    std::vector<std::string> PrintedLines() const;
    void ClearPrinted();
    std::uint64_t RequestCount() const;  // complete request frames received
    std::uint64_t RepliesSent() const;   // replies written out in full
    bool InFrame() const;                // a request frame is partly received

    // Plays a line instead of one module. Set before Start().
    void SetLine(const LineOptions& line);
    std::vector<LineVisit> Visits() const;
    bool LineDone() const;  // every printer of the line has come and gone
    // The operator takes the printer on the line away and puts the next one
    // on at once, whatever it was doing.
    void SwapNow();
    // Holds every byte for its wire time at this rate (10 bits a byte) in
    // both directions, so that the tool sees a real line's timing. 0: no
    // pacing.
    void SetPaceBaud(int baud) { m_paceBaud = baud; }
    // Called on the module's thread, outside every lock, with the settings of
    // the module on the line whenever its address, name or PIN key is new to
    // the hook (a printer arrives, takes a name or a PIN key). Set before Start().
    using SettingsHook = std::function<void(const ModuleState& state)>;
    void SetSettingsHook(SettingsHook hook) { m_settingsHook = std::move(hook); }

private:
    void Run();
    void Serve();
    bool WaitOrStop(int ms) const;
    bool WaitOrStopUs(long long us) const;
    bool PaceBytes(std::size_t n) const;
    // Line play; with m_mutex held.
    using Clock = std::chrono::steady_clock;
    void ArriveNext();
    // The options as set, with what the printer on the line adds.
    void ApplyOptions();
    void Leave();
    int MsToLineDeadline() const;
    bool WriteAll(const proto::Bytes& bytes) const;
    void TellSettings();
    void CloseAll();

    // Start()/Stop() are called by the owner only; m_mutex guards the module
    // and the slave path, which other threads read.
    mutable std::mutex m_mutex;
    CModuleSim m_sim;
    std::string m_slavePath;

    int m_master = -1;
    int m_slave = -1;
    int m_wake = -1;  // eventfd: Stop() makes it readable
    std::thread m_thread;
    std::atomic<bool> m_running{false};  // false once the thread has ended
    std::atomic<std::uint64_t> m_repliesSent{0};
    std::atomic<int> m_paceBaud{0};

    SimOptions m_options;  // as set, without what the printer on the line adds
    LineOptions m_line;
    std::size_t m_nextPrinter = 0;
    bool m_present = true;  // a module answers (always so without a line)
    std::optional<Clock::time_point> m_lineDeadline;  // next arrival or leave
    std::uint64_t m_namesSeen = 0;
    std::map<std::string, ModuleState> m_kept;  // settings of printers that left
    std::vector<LineVisit> m_visits;
    SettingsHook m_settingsHook;
    std::optional<ModuleState> m_told;  // what the hook heard last (module thread only)
};

}  // namespace vendrill
