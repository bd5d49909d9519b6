#pragma once

// One conversation with the printer's Bluetooth module, the same under the
// window and the command-line tool: the link that is open (serial port or
// USB printer) and its reader thread, the receive queue, the reply text being
// assembled, the decoder, and the whole life of a request: traced, held back
// while another is outstanding, sent, kept with its deadline until exactly
// one outcome ends it, and followed by the next request of the read-back
// chain. Qt-free. A front end hears of it through an Observer and drives it
// from one thread of its own (the "driving thread"), passing the time in, so
// that a window's timer and a blocking wait drive the same deadline; only the
// reader thread calls the Observer's reader methods.

#include "link/Queue.h"
#include "link/SerialPort.h"
#include "link/UsbPrinter.h"
#include "protocol/Protocol.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>

namespace vendrill {

// Where the window and the command-line tool differ. The window's serial
// watcher lets the rest of a reply arrive before it announces it, so that a
// reply is announced once; its USB reader pauses between reads; closing the
// port drops what was not sent yet; and any reply of ours ends the request
// outstanding, while a request that lost its link runs into its time-out. A
// front end that waits for each answer itself announces at once, lets its last
// request go out, and takes only the answer to a request as its end (a reply of
// another kind is a stale one), awaits the sniff status too, and learns at once
// that a refused write lost the link.
struct SessionPolicy {
    int settleMs = 200;
    int usbPauseMs = 50;
    int usbLostPauseMs = 1500;  // after a failed USB read, before the link is given up
    bool purgeOnClose = true;
    bool waitsForAnswers = false;
};

class CSession {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    // How long a request waits for its reply unless told otherwise.
    static constexpr int kReplyTimeoutMs = 2000;
    // The texts the user sees for the two outcomes that are not a reply: no
    // reply in time, and the module's error reply.
    static const char* const kTimeoutText;
    static const char* const kModuleErrorText;

    enum class LinkKind { None, Serial, Usb };

    // A reply of ours as decoded: its command character, its data text, and
    // what it shows (proto::ReplyValue).
    struct Reply {
        char command = 0;
        std::string data;
        std::optional<std::string> value;
    };

    // How a request ended; exactly one for every request that went out
    // awaiting its answer: an answer, the module's refusal, the time-out or a
    // lost link (or the front end giving up on it). A request that goes out while another is still
    // outstanding (Get BDN, Set BDN) takes its place: the one outcome that
    // follows ends both.
    struct Outcome {
        enum class Kind {
            Answered,     // a reply of ours (the window: any; a waiting front end: the answer)
            ModuleError,  // the module answered '9' (kModuleErrorText)
            TimedOut,     // no answer by the deadline (kTimeoutText)
            LinkLost,     // the link went, or a new one began, before an answer
            Abandoned,    // the front end stopped waiting (its user interrupted it)
        };
        Outcome() = default;
        explicit Outcome(Kind k) : kind(k) {}

        Kind kind = Kind::Answered;
        char request = 0;   // the request that is over
        Reply reply;        // Answered
        char next = 0;      // Answered: the request the read-back chain sends next, 0 when it ends
        int waitedMs = 0;   // TimedOut: how long it was given
    };

    class Observer {
    public:
        virtual ~Observer() = default;

        // --- reader thread ---
        // Bytes wait in the queue; `link` stamps the link they came on.
        virtual void Arrived(unsigned link) = 0;
        // The queue has no room for what the reader holds. A front end that
        // can, waits for room and returns true; false: a chunk in hand is
        // dropped and the user told (ReaderMessage).
        virtual bool QueueFull(unsigned link) = 0;
        // A message the user must confirm before the reader goes on.
        virtual void ReaderMessage(const std::string& text) = 0;
        // The serial line hung up (the reader waits for the close).
        virtual void LineHungUp() {}
        // The USB reader gave up after a failed read; the front end takes
        // the link down (UsbLost on its own thread).
        virtual void UsbGone(unsigned generation) = 0;

        // --- driving thread ---
        // Stops every wait a reader thread may be in on the front end, before
        // the reader is joined; a new link allows them again.
        virtual void CancelReaderWaits() {}
        virtual void AllowReaderWaits() {}
        // The deadline of the request outstanding changed: Expire() is due
        // at `deadline`, or at no time (nullopt).
        virtual void ReplyDeadline(std::optional<TimePoint> deadline) { (void)deadline; }
        // A drained batch, every byte of it.
        virtual void Received(const std::uint8_t* bytes, std::size_t n) = 0;
        // A Get request is about to go out (its field is emptied).
        virtual void Requesting(char command) { (void)command; }
        // Around the decoding of a complete reply.
        virtual void BeforeDecode() {}
        virtual void AfterDecode() {}
        // A request is over: after its deadline went, before the reply that
        // ended it is shown and the chain goes on.
        virtual void RequestOver(const Outcome& outcome) = 0;
        // Every reply of ours, also one that ends no request: the values,
        // the sniff status with a known value, and the module's '9'.
        virtual void Replied(const Reply& reply) = 0;
    };

    using Policy = SessionPolicy;
    explicit CSession(Observer& observer, Policy policy = {});
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    // --- links ---
    // Opens and configures the serial port and starts its watcher. A port
    // that refuses the line settings is released again at once: nothing
    // could use it, and it would keep other programs out.
    LinkResult OpenPort(const std::string& path, const CSerialPort::Settings& settings);
    bool ClosePort();
    // Opens the USB printer that `find` opens (a descriptor, or -1), begins
    // the link and starts its reader, with the trace lines of a USB connect.
    // AlreadyOpen, with nothing changed, while a link is up.
    LinkResult ConnectUsb(const std::function<int()>& find);
    bool DisconnectUsb();
    // After UsbGone: takes down that link, unless another one is up since.
    void UsbLost(unsigned generation);
    // Closes whatever is open and joins the readers.
    void Shutdown();

    LinkKind ActiveLink() const { return m_activeLink.load(); }
    bool IsConnected() const { return m_connected.load(); }
    bool IsWatcherRunning() const { return m_watchThread.joinable(); }
    bool IsUsbReaderRunning() const { return m_usbThread.joinable(); }
    bool IsCurrentLink(unsigned link) const { return link == m_linkGeneration.load(); }

    // Reads and writes go over the link that is up: bytes, 0 when none.
    int ReadComm(std::uint8_t* buffer, int size);
    int WriteComm(const std::uint8_t* data, int count);
    int LastLinkError();

    // --- requests ---
    // What a request carries beside its command character.
    struct Argument {
        Argument() = default;
        Argument(std::string t, std::string s = {}, bool l = false)
            : text(std::move(t)), suffix(std::move(s)), label(l)
        {
        }
        std::string text;    // the selection digit, or the PIN key or name
        std::string suffix;  // Set BDN: a number sent after the name, "" for none
        bool label = false;  // Set BDN: the printer prints the name (and number) first
    };
    // The argument, asked for only once the request is let through: a front
    // end gathers what was typed at that moment. nullopt sends nothing.
    using Gather = std::function<std::optional<Argument>()>;

    struct Sent {
        enum class Kind {
            Sent,     // the link took it all
            HeldBack, // another request is outstanding
            Nothing,  // no argument, an empty text, or name and suffix too long
            Refused,  // the link did not take all of it
        };
        Sent(Kind k = Kind::Sent) : kind(k) {}  // a Kind alone: no next suffix
        Kind kind;
        std::string nextSuffix;  // Set BDN with a suffix that went out: the next printer's
    };

    // A request: traced; a Get's field emptied (Requesting); held back while
    // another is outstanding unless it never waits (proto::WaitsItsTurn); its
    // argument gathered; a Set BDN's label printed (name and suffix, before
    // the frame); sent; and, unless it awaits no answer, outstanding until its
    // outcome, by now + timeoutMs (0: the session's reply time-out).
    Sent Ask(char command, const Gather& gather, TimePoint now, int timeoutMs = 0);
    Sent Ask(char command, Argument argument, TimePoint now, int timeoutMs = 0);
    Sent Ask(char command, TimePoint now, int timeoutMs = 0) { return Ask(command, Argument{}, now, timeoutMs); }
    // A request whose frame is built already; its command character says
    // what it is.
    Sent Ask(const proto::Bytes& frame, TimePoint now, int timeoutMs = 0);
    // The label on its own: the text outside any frame, then three line
    // feeds, each a write of its own. False when the link refused a byte.
    bool PrintLabel(const std::string& text);
    void TraceRequest(char command) const;

    void SetReplyTimeout(int ms) { m_replyTimeoutMs = ms; }
    // Whether an answer drives the next request of the read-back chain (the
    // window always; the command-line tool asks for it).
    void SetChain(bool chain) { m_chain = chain; }
    // The module generation the chain reads for: a new module is asked for
    // its pairing mode after the name.
    void SetNewVersion(bool newVersion) { m_newVersion = newVersion; }
    bool IsNewVersion() const { return m_newVersion; }

    bool IsBusy() const { return m_outstanding != 0; }
    char Outstanding() const { return m_outstanding; }
    std::optional<TimePoint> Deadline() const { return m_deadline; }

    // --- replies and outcomes ---
    // Puts bytes into the receive queue as a reader does, whole or not at all
    // (bytes that come another way: tools and tests). The queue takes one
    // producer: only while no reader thread stores into it.
    bool Enqueue(const std::uint8_t* bytes, int n) { return StoreChunk(m_QueueRead, bytes, n); }
    int QueuedBytes() const { return m_QueueRead.GetCount(); }
    // The reply text collected so far.
    const std::string& ReplyText() const { return m_ReplyText; }
    // Takes what the queue holds: -1 when it was empty, else 1 after the
    // batch went to Received and a reply it completed was decoded.
    long OnCommunication(TimePoint now);
    // Decodes a complete reply text (BT_RECEIVE_MSG).
    int BT_RECEIVE_MSG(const std::string& text, TimePoint now);
    // The request outstanding times out when its deadline has come by `now`;
    // earlier, the deadline is told again (a timer that fired early).
    void Expire(TimePoint now);
    // The front end heard that the link went (LineHungUp, UsbGone) and has
    // taken what came before: the request outstanding ends as link lost.
    void LinkLost();
    // The front end stops waiting for the answer: the request is abandoned.
    void Abandon();

private:
    static unsigned ThreadWatchComm(CSession* s);
    static unsigned UsbReadThread(CSession* s, unsigned generation);
    CLink* LinkUp();
    // State every link starts with once its device is open: no stale reply
    // text or queued bytes, no request outstanding, connected.
    void BeginLink();
    void StopUsbReader();
    bool UsbPause(int ms);
    // Stores a chunk by the front end's policy; false when it was dropped.
    bool Store(const std::uint8_t* data, int n, unsigned link);

    // Trace, Requesting, the busy test: false when held back.
    bool LetThrough(char command);
    Sent Dispatch(char command, const proto::Bytes& frame, TimePoint now, int timeoutMs);
    bool SendFrame(const proto::Bytes& frame);
    // The request goes out awaiting its answer.
    void Outstand(char command, TimePoint now, int timeoutMs);
    // Request over: the deadline goes, busy clears, the outcome is told.
    void Over(Outcome outcome);
    void Decoded(char command, const std::string& data, TimePoint now);

    Observer& m_observer;
    Policy m_policy;
    bool m_chain = true;
    bool m_newVersion = false;
    int m_replyTimeoutMs = kReplyTimeoutMs;
    char m_outstanding = 0;  // the request that waits for its outcome, 0: none (not busy)
    int m_outstandingMs = 0;
    std::optional<TimePoint> m_deadline;

    std::atomic<bool> m_connected{false};
    std::atomic<bool> m_usbReaderRun{false};
    std::atomic<LinkKind> m_activeLink{LinkKind::None};
    std::atomic<unsigned> m_linkGeneration{0};  // one more with every link begun
    std::atomic<unsigned> m_usbGeneration{0};
    CSerialPort m_serial;
    usb::CUsbPrinter m_usbDevice;
    std::thread m_watchThread;
    std::thread m_usbThread;
    CQueue m_QueueRead;
    std::string m_ReplyText;
    std::uint8_t m_ReceiveBuffer[CQueue::QUEUE_SIZE] = {};
};

}  // namespace vendrill
