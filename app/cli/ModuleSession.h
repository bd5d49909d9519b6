#pragma once

// One conversation with the printer's Bluetooth module over one link, without
// any GUI: the link is opened, a reader thread moves received bytes into a
// CQueue and wakes the caller, and each request waits for its decoded reply
// for at most kReplyTimeoutMs.

#include "link/Queue.h"
#include "link/SerialPort.h"
#include "link/UsbPrinter.h"
#include "link/WakeEvent.h"
#include "protocol/Protocol.h"

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
    Timeout,      // no reply within kReplyTimeoutMs
    ModuleError,  // the module answered '9'
    Failure,      // anything else (resources of this process)
    Interrupted,  // SIGINT, SIGTERM or SIGHUP arrived while waiting (see Interrupt.h)
};

struct StepResult {
    Status status = Status::Ok;
    std::string message;  // for the user; empty when Ok
    char request = 0;     // the command whose reply was awaited, when that failed
};

// Values read back by the "Get Info" chain. Fields that the chain did not
// reach stay unset.
struct ModuleInfo {
    std::optional<std::string> address;
    std::optional<std::string> pin;
    std::optional<std::string> name;
    std::optional<std::string> pairing;  // "Legacy pairing", ... or the raw digit
    std::optional<std::string> level;    // "Mode 1 (Not Use Pinkey)", ...
};

class CModuleSession {
public:
    static constexpr int kReplyTimeoutMs = 2000;

    CModuleSession() = default;
    ~CModuleSession() { Close(); }
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
    bool IsOpen() const { return m_link != nullptr; }

    // Writes all bytes; NoDevice when the link refuses them.
    StepResult Send(const proto::Bytes& bytes);
    // Has the printer print text as a label: the text outside any request
    // frame, then three line feeds, each its own write, as the window sends it.
    StepResult PrintLabel(const std::string& text);

    // Waits up to timeoutMs for a reply whose command character is `expect`
    // or '9'. Replies of other kinds are passed over. On Ok, *data holds the
    // reply's data text.
    StepResult AwaitReply(char expect, std::string* data, int timeoutMs = kReplyTimeoutMs);

    // Send + AwaitReply with the request's trace line.
    StepResult Request(const proto::Bytes& frame, char expect, std::string* data);

    // The read-back chain: Get BDA, Get PinKey, Get BDN, then Get pairing
    // mode (new module; Get Level after "Legacy pairing") or Get Level (old).
    // *info holds what was read, also when a step fails.
    StepResult ReadInfo(bool newModule, ModuleInfo* info);

private:
    // Starts the reader on a link that has just been opened; closes the link
    // when the thread cannot start.
    StepResult StartReader(CLink& link);
    void Reader();
    // Stores a chunk from the reader thread, waiting for room rather than
    // dropping it while the caller is still draining.
    bool Deliver(const std::uint8_t* data, int n);
    void MarkLinkLost();
    StepResult AwaitReplyOnce(char expect, std::string* data, int timeoutMs);
    // Drains the queue into the accumulated reply text; returns the decoded
    // reply when the batch completed one.
    std::optional<proto::Reply> DrainOnce();
    // While a link is open, a thread waits for an interrupting signal and
    // wakes every wait of the session (only when the program routes them).
    void StartInterruptWatch();
    void StopInterruptWatch();
    void InterruptWatch();

    CLink* m_link = nullptr;  // the link that is open: m_serial or m_usb
    CSerialPort m_serial;
    usb::CUsbPrinter m_usb;
    CQueue m_queue;
    std::string m_replyText;  // accumulated reply text, consumer side only

    std::thread m_reader;
    std::mutex m_mutex;                 // guards the flags below and pairs with m_cv
    std::condition_variable m_cv;       // new bytes, room in the queue, link lost, stop
    std::uint64_t m_arrivals = 0;       // chunks stored so far
    std::uint64_t m_drains = 0;         // drains done so far
    bool m_linkLost = false;
    bool m_stop = false;
    bool m_interrupted = false;         // a signal arrived: every wait ends

    std::thread m_interruptWatch;
    CWakeEvent m_interruptWatchStop;
};

}  // namespace vendrill::cli
