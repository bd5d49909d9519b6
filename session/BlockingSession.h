#pragma once

// The session for a program that waits for each answer (the command-line
// tool): every request returns with its outcome, which the engine decides
// (session/Session.h); this adapter only sleeps until the reader, the
// request's deadline or the interrupt descriptor wakes it.

#include "link/SerialPort.h"
#include "link/WakeEvent.h"
#include "protocol/Protocol.h"
#include "session/Session.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vendrill {

// Outcome of a session step. Each maps to its own exit status.
enum class Status {
    Ok,
    NoDevice,     // the link could not be opened, or went away
    Timeout,      // no reply within the reply time-out
    ModuleError,  // the module answered '9'
    Failure,      // anything else (resources of this process)
    Interrupted,  // the interrupt descriptor became readable while waiting
};

struct StepResult {
    Status status = Status::Ok;
    std::string message;  // for the user; empty when Ok
    char request = 0;     // the command whose reply was awaited, when that failed
    int error = 0;        // errno of a link that could not be opened
};

// Values read back by the "Get Info" chain. Fields that the chain did not
// reach, or whose data means nothing, stay unset.
struct ModuleInfo {
    std::optional<std::string> address;
    std::optional<std::string> pin;
    std::optional<std::string> name;
    std::optional<std::string> pairing;  // "Legacy pairing", ...
    std::optional<std::string> level;    // "Mode 1 (Not Use Pinkey)", ...
    std::optional<int> pairingNumber;    // the module's digits, when they are digits
    std::optional<int> levelNumber;
};

class CBlockingSession : private CSession::Observer {
public:
    static constexpr int kReplyTimeoutMs = CSession::kReplyTimeoutMs;

    // interruptFd becomes readable once the user asked to stop (-1: never);
    // interruptSignal names the signal that did (for messages).
    explicit CBlockingSession(int interruptFd = -1, int (*interruptSignal)() = nullptr);
    ~CBlockingSession() override;
    CBlockingSession(const CBlockingSession&) = delete;
    CBlockingSession& operator=(const CBlockingSession&) = delete;

    // Opens the serial port at path with the given line settings and starts
    // the reader thread.
    StepResult OpenSerial(const std::string& path, const CSerialPort::Settings& settings);
    // Opens the first accepted USB printer, or the one whose node path or
    // serial number is `device`, and starts the reader thread.
    StepResult OpenUsb(const std::string& device = {});
    // Stops and joins the reader thread, then closes the link. Idempotent.
    void Close();
    // How long a request waits for its reply unless it says otherwise.
    void SetReplyTimeout(int ms) { m_session.SetReplyTimeout(ms); }
    bool IsOpen() const { return m_session.ActiveLink() != CSession::LinkKind::None; }

    // Writes all bytes; NoDevice when the link refuses them.
    StepResult Send(const proto::Bytes& bytes);
    // Has the printer print text as a label (CSession::PrintLabel).
    StepResult PrintLabel(const std::string& text);

    // A request and its answer (`expect`, its own command character): Ok
    // with the answer's data text in *data; '9', no answer within timeoutMs
    // (0: the reply time-out), a lost link or a signal end it otherwise.
    // Nothing is sent after a signal.
    StepResult Request(const proto::Bytes& frame, char expect, std::string* data, int timeoutMs = 0);
    // The same for a request the engine builds from its command and its
    // argument (the selection digit, or the PIN key or name).
    StepResult Request(char command, const std::string& argument, std::string* data, int timeoutMs = 0);
    // A request whose answer drives the read-back chain, as in the window:
    // a Set's acknowledgement, or Get BDA itself (ReadInfo), then Get BDA,
    // Get PinKey, Get BDN, Get pairing mode (new module; Get Level after
    // "Legacy pairing") or Get Level (old). *info holds what was read, also
    // when a step fails.
    StepResult RequestAndReadBack(const proto::Bytes& frame, bool newModule, ModuleInfo* info);
    StepResult ReadInfo(bool newModule, ModuleInfo* info);
    // Set BDN of name and suffix, the label printed first when asked (as
    // the window's "Print BDN"), then the read-back; *nextSuffix gets the
    // suffix for the next printer when there is one.
    StepResult SetName(const std::string& name, const std::string& suffix, bool label, bool newModule,
                       ModuleInfo* info, std::string* nextSuffix);

private:
    // Asks, then waits for the outcome (chain: for the end of the chain).
    StepResult Exchange(char request, const std::function<CSession::Sent()>& ask, bool chain, std::string* data);
    StepResult Await(char request, bool chain, std::string* data);
    // What the outcomes so far come to; nullopt while the wait goes on.
    std::optional<StepResult> Settled(bool chain, std::string* data);
    bool Interrupted() const;
    StepResult InterruptedBefore(char request) const;
    StepResult CannotWrite(char request);

    // What the session tells this front end.
    void Arrived(unsigned link) override;
    bool QueueFull(unsigned link) override;
    void ReaderMessage(const std::string& text) override;
    void LineHungUp() override;
    void UsbGone(unsigned generation) override;
    void CancelReaderWaits() override;
    void AllowReaderWaits() override;
    void Received(const std::uint8_t* bytes, std::size_t n) override;
    void RequestOver(const CSession::Outcome& outcome) override;
    void Replied(const CSession::Reply& reply) override;

    const int m_interruptFd;
    int (*const m_interruptSignal)();
    CSession m_session;

    // Driving thread only: the outcomes of the exchange under way and what
    // its answers read.
    std::vector<CSession::Outcome> m_outcomes;
    std::size_t m_settled = 0;  // outcomes looked at
    ModuleInfo m_info;

    CWakeEvent m_wake;               // the reader has news: bytes, or the link went
    std::atomic<bool> m_lost{false}; // the link went (reader thread)
    std::mutex m_mutex;              // pairs with m_drained for a reader that waits for room
    std::condition_variable m_drained;
    std::uint64_t m_drains = 0;
    bool m_stop = false;
};

}  // namespace vendrill
