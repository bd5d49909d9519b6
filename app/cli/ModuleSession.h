#pragma once

// The command-line tool's side of a conversation with the printer's module:
// the session engine (session/Session.h) does the conversation as the window
// does it; this front end waits for its outcomes, with the reply time-out
// the tool asks for, and ends every wait on an interrupting signal.

#include "link/SerialPort.h"
#include "link/WakeEvent.h"
#include "protocol/Protocol.h"
#include "session/Session.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vendrill::cli {

// Outcome of a session step. Each maps to its own exit status (see Cli.h).
enum class Status {
    Ok,
    NoDevice,     // the link could not be opened, or went away
    Timeout,      // no reply within the reply time-out
    ModuleError,  // the module answered '9'
    Failure,      // anything else (resources of this process)
    Interrupted,  // SIGINT, SIGTERM or SIGHUP arrived while waiting (see Interrupt.h)
};

struct StepResult {
    Status status = Status::Ok;
    std::string message;  // for the user; empty when Ok
    char request = 0;     // the command whose reply was awaited, when that failed
    int error = 0;        // errno of a link that could not be opened
};

// Values read back by the "Get Info" chain. Fields that the chain did not
// reach stay unset.
struct ModuleInfo {
    std::optional<std::string> address;
    std::optional<std::string> pin;
    std::optional<std::string> name;
    std::optional<std::string> pairing;  // "Legacy pairing", ... or the raw digit
    std::optional<std::string> level;    // "Mode 1 (Not Use Pinkey)", ...
    std::optional<int> pairingNumber;    // the module's digits, when they are digits
    std::optional<int> levelNumber;
};

class CModuleSession : private CSession::Observer {
public:
    static constexpr int kReplyTimeoutMs = CSession::kReplyTimeoutMs;

    CModuleSession();
    ~CModuleSession() override;
    CModuleSession(const CModuleSession&) = delete;
    CModuleSession& operator=(const CModuleSession&) = delete;

    // Opens the serial port at path with the given line settings and starts
    // the reader thread.
    StepResult OpenSerial(const std::string& path, const CSerialPort::Settings& settings);
    // Opens the first accepted USB printer, or the one whose node path or
    // serial number is `device`, and starts the reader thread.
    StepResult OpenUsb(const std::string& device = {});
    // Stops and joins the reader thread, then closes the link. Idempotent.
    void Close();
    // How long a request waits for its reply unless it says otherwise.
    void SetReplyTimeout(int ms) { m_replyTimeoutMs = ms; }
    bool IsOpen() const { return m_session.ActiveLink() != CSession::LinkKind::None; }

    // Writes all bytes; NoDevice when the link refuses them.
    StepResult Send(const proto::Bytes& bytes);
    // Has the printer print text as a label (CSession::PrintLabel).
    StepResult PrintLabel(const std::string& text);

    // A request and its reply: Ok with the reply's data text in *data once
    // a reply of the kind `expect` came; '9', no reply within timeoutMs (0:
    // the reply time-out), a lost link or a signal end it otherwise. Nothing
    // is sent after a signal.
    StepResult Request(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs = 0);
    // A request whose reply drives the read-back chain, as in the window:
    // a Set's acknowledgement, or Get BDA itself (ReadInfo), then Get BDA,
    // Get PinKey, Get BDN, Get pairing mode (new module; Get Level after
    // "Legacy pairing") or Get Level (old). *info holds what was read, also
    // when a step fails.
    StepResult RequestAndReadBack(const proto::Bytes& frame, bool newModule, ModuleInfo* info);
    StepResult ReadInfo(bool newModule, ModuleInfo* info);

private:
    StepResult Exchange(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs, bool chain);

    // What the session tells this front end.
    void Arrived(unsigned link) override;
    bool QueueFull(unsigned link) override;
    void ReaderMessage(const std::string& text) override;
    void LineHungUp() override;
    void UsbGone(unsigned generation) override;
    void CancelReaderWaits() override;
    void AllowReaderWaits() override;
    void SetTimer1() override;
    void KillTimer1() override;
    void Received(const std::uint8_t* bytes, std::size_t n) override;
    void BeforeDecode() override;
    void Reply(char command, const std::string& data) override;
    void SniffStatus(const std::string& text) override;
    void ModuleError(const std::string& text) override;
    void TimedOut(const std::string& text) override;

    // While a link is open, a thread waits for an interrupting signal and
    // wakes every wait of the session (only when the program routes them).
    void StartInterruptWatch();
    void StopInterruptWatch();
    void InterruptWatch();

    CSession m_session;

    // What the replies of the exchange under way brought (driving thread only).
    struct Outcome {
        char expect = 0;
        bool chain = false;
        bool gotExpected = false;
        bool gotAny = false;
        std::string data;
        ModuleInfo info;
        std::optional<std::string> moduleError;
        char refused = 0;  // the request the '9' answered
        char decoding = 0;  // the request outstanding when the reply came
    } m_outcome;
    int m_timeoutMs = kReplyTimeoutMs;       // of the exchange under way
    int m_replyTimeoutMs = kReplyTimeoutMs;  // unless a request says otherwise
    std::chrono::steady_clock::time_point m_deadline;

    std::mutex m_mutex;            // guards the flags below and pairs with m_cv
    std::condition_variable m_cv;  // new bytes, a drain, link lost, stop, signal
    std::uint64_t m_arrivals = 0;
    std::uint64_t m_drains = 0;
    bool m_linkLost = false;
    bool m_stop = false;
    bool m_interrupted = false;  // a signal arrived: every wait ends

    std::thread m_interruptWatch;
    CWakeEvent m_interruptWatchStop;
};

}  // namespace vendrill::cli
