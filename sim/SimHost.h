#pragma once

// Runs a CModuleSim on a pseudo-terminal, so that the tool's serial link can
// open the slave side as if it were the printer's port.

#include "sim/ModuleSim.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
    void SetOptions(const SimOptions& options);
    SimOptions Options() const;
    ModuleState State() const;
    void SetState(const ModuleState& state);
    std::vector<std::string> PrintedLines() const;
    void ClearPrinted();
    std::uint64_t RequestCount() const;  // complete request frames received
    std::uint64_t RepliesSent() const;   // replies written out in full
    bool InFrame() const;                // a request frame is partly received

private:
    void Run();
    void Serve();
    bool WaitOrStop(int ms) const;
    bool WriteAll(const proto::Bytes& bytes) const;
    void CloseAll();

    // Start()/Stop() are called by the owner only; m_Mutex guards the module
    // and the slave path, which other threads read.
    mutable std::mutex m_Mutex;
    CModuleSim m_Sim;
    std::string m_SlavePath;

    int m_Master = -1;
    int m_Slave = -1;
    int m_Wake = -1;  // eventfd: Stop() makes it readable
    std::thread m_Thread;
    std::atomic<bool> m_Running{false};  // false once the thread has ended
    std::atomic<std::uint64_t> m_RepliesSent{0};
};
