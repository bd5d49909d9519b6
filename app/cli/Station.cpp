#include "app/cli/Station.h"

#include "app/cli/Interrupt.h"
#include "app/cli/RadioCheck.h"
#include "base/TextCodec.h"
#include "app/cli/ModuleSession.h"
#include "base/Trace.h"
#include "link/Poll.h"
#include "link/Ports.h"
#include "link/UsbPrinter.h"
#include "link/UsbWatch.h"
#include "protocol/Conversation.h"
#include "protocol/Protocol.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <iterator>
#include <mutex>
#include <system_error>
#include <thread>

#include <poll.h>
#include <unistd.h>

namespace vendrill::cli {

namespace {

using Clock = std::chrono::steady_clock;

// Get BDA goes out about four times a second while the station waits: quick
// enough that a technician never waits for it, modest on the line.
constexpr int kProbeTimeoutMs = 250;
constexpr int kProbeIntervalMs = 250;
constexpr int kGoneAfterUnanswered = 2;

std::string HostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "station";
    return name;
}

void Message(const std::string& text)
{
    Say(text);
}

int BadArgument(const std::string& text)
{
    return UsageError(text);
}

// Waits ms unless an interrupt signal comes first; false when it came.
bool PauseOrInterrupt(int ms)
{
    if (InterruptSignal() != 0)
        return false;
    pollfd p{InterruptFd(), POLLIN, 0};
    // Without the interrupt descriptor this is a plain pause.
    const bool routed = p.fd >= 0;
    return PollFor(routed ? &p : nullptr, routed ? 1 : 0, ms) <= 0 && InterruptSignal() == 0;
}

std::optional<record::OpenResult> OpenRecordOrFail(const std::string& db, record::Access access, int* exitCode)
{
    record::OpenResult r = record::Open(db, access, InterruptFd());
    if (r.kind == record::OpenResult::Kind::BadLocation) {
        *exitCode = BadArgument(r.error);
        return std::nullopt;
    }
    if (r.kind == record::OpenResult::Kind::Missing) {
        // A mistyped path would start a second sequence of numbers.
        Message(r.error + " (station --create-record starts a new one there)");
        *exitCode = kExitRecord;
        return std::nullopt;
    }
    if (r.kind != record::OpenResult::Kind::Ok) {
        Message(r.error);
        *exitCode = InterruptSignal() != 0 ? ExitCodeFor(Status::Interrupted) : kExitRecord;
        return std::nullopt;
    }
    return r;
}

// ---- station -------------------------------------------------------------------

std::string StationName(const Options& o, std::int64_t number);
std::string TimeOfDay();

// How long one call of the station waits for the record before it says so
// and tries again; and how long the visit it knows of may still take to be
// written once a signal came.
constexpr int kRecordPatienceMs = 2000;
constexpr int kLastWriteMs = 1500;
// Pauses between tries while the record cannot be reached, and how often the
// station says so.
constexpr int kRetryFirstMs = 100;
constexpr int kRetryMostMs = 5000;
constexpr auto kSayEvery = std::chrono::seconds(5);
// Nobody swaps a printer faster than this: an address read this recently
// still names the printer on the line, unless the record made the station
// wait in between.
constexpr auto kSwapTime = std::chrono::milliseconds(kProbeIntervalMs);
// A missing serial port is looked for this often (sooner when udev tells
// of a new serial device).
constexpr int kPortLookMs = 1000;
// While no printer is there, the station says so this often.
constexpr auto kStatusEvery = std::chrono::seconds(10);
// Over USB, udev's events wake the station; it also looks this often by
// itself, in case an event was lost.
constexpr auto kUsbLookEvery = std::chrono::seconds(10);
// A printer that is plugged in but whose module does not answer is named
// after this long, and again this often while it lasts.
constexpr auto kSilentFirst = std::chrono::seconds(5);
constexpr auto kSilentAgain = std::chrono::minutes(1);
// A printer's node that cannot be opened is said after this long (a new
// node may not be there or open to us for a moment), then as above.
constexpr auto kRefusedFirst = std::chrono::seconds(1);

// Tests stretch the look past their own waits, to see that the station
// follows udev's events rather than its look.
std::chrono::milliseconds UsbLookEvery()
{
    const char* text = std::getenv("VENDRILL_TEST_USB_LOOK_MS");
    const long long ms = text ? std::atoll(text) : 0;
    return ms > 0 && ms <= 86'400'000 ? std::chrono::milliseconds(ms) : std::chrono::milliseconds(kUsbLookEvery);
}

// One printer's visit: what is recorded, and how the station goes on.
struct PrinterResult {
    record::Visit visit;
    std::optional<record::State> state;  // the name's new state, when it changed
    std::optional<record::State> had;    // its state before, when the printer has a name
    Status status = Status::Ok;          // Interrupted or NoDevice end the station
    int stop = -1;                       // exit status that ends the station, -1: go on
    bool recorded = false;
};

bool Named(record::Result r)
{
    return r == record::Result::Named || r == record::Result::AlreadyNamed || r == record::Result::RenamedBack;
}

// One thread that does a piece of the station's work beside it, such as a
// commit of the record while the line's round trip goes on. It sleeps in
// between, so that no thread is started per printer; without a thread (one
// could not be started) the work is done at once.
class CHelper {
public:
    CHelper() = default;
    ~CHelper()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_cv.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    CHelper(const CHelper&) = delete;
    CHelper& operator=(const CHelper&) = delete;

    // Starts work (Wait() must come before the next Start).
    void Start(std::function<void()> work)
    {
        if (!m_thread.joinable()) {
            try {
                m_thread = std::thread([this] { Serve(); });
            } catch (const std::system_error&) {
                work();
                return;
            }
        }
        {
            std::lock_guard lock(m_mutex);
            m_work = std::move(work);
        }
        m_cv.notify_all();
    }
    // Until the work that Start gave is done.
    void Wait()
    {
        std::unique_lock lock(m_mutex);
        m_cv.wait(lock, [this] { return !m_work; });
    }

private:
    void Serve()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_cv.wait(lock, [this] { return m_stop || m_work; });
            if (!m_work)
                return;  // stopped
            lock.unlock();
            m_work();
            lock.lock();
            m_work = nullptr;
            m_cv.notify_all();
        }
    }

    std::mutex m_mutex;  // guards m_work and m_stop, and pairs with m_cv
    std::condition_variable m_cv;
    std::function<void()> m_work;  // set while work waits or runs
    bool m_stop = false;
    std::thread m_thread;
};

class CStation {
public:
    CStation(const Options& o, record::CRecord& rec, CModuleSession& session, const ResultSink& out)
        : m_o(o)
        , m_out(out)
        , m_record(rec)
        , m_session(session)
        , m_station(o.station.empty() ? HostName() : o.station)
        , m_first(std::stoll(o.firstSuffix))
    {
    }

    // The start line: where the station works and which name comes next.
    bool Start(std::int64_t nextNumber);
    // Until --count printers are done, a signal or a failure; then the summary.
    int Run();
    void WatchUsb(usb::CUsbWatch* watch) { m_watch = watch; }

private:
    int RunPrinters();
    // Opens the serial port; while it is not there (a printer that brings its
    // own USB serial adapter), says so once and looks again every second.
    // lost: it was open before and went away.
    Status OpenPort(bool lost);
    // While no printer is there, a line every kStatusEvery.
    void SayWaiting();
    void Summary();
    bool Event(const CJsonObject& json) { return !m_o.json || m_out(json.Str() + "\n"); }
    CJsonObject EventHead(const char* event) const
    {
        CJsonObject json;
        json.Text("event", event).Text("time", TimeOfDay()).Text("station", m_station);
        return json;
    }
    std::string Link() const
    {
        const std::string link = LinkText(m_o);
        return link.empty() ? std::string("USB printers") : link;
    }
    // A message about the link, which it names.
    void LinkMessage(const std::string& text) const
    {
        const std::string link = LinkText(m_o);
        Message(link.empty() || text.find(link) != std::string::npos ? text : text + " on " + link);
    }
    // The address of the printer that answers, or nullopt when interrupted
    // or the link failed (*status tells).
    std::optional<std::string> WaitForPrinter(Status* status);
    // Until the printer stops answering; another address answering is taken
    // as the next printer and kept in m_arrived.
    Status WaitUntilGone(const std::string& address);
    // One Get BDA with a short wait.
    StepResult Probe(std::string* address);
    // The same over USB, where printers are plugged in and out.
    std::optional<std::string> WaitForUsbPrinter(Status* status);
    // With no printer plugged in: until udev tells of a change or the next
    // look is due (Ok), a signal (Interrupted) or a failed watch (Failure).
    Status SleepUntilUsbChange();
    Status WaitUntilUnplugged();
    std::string PresentPrinter() const;
    // A printer taken away in the middle of its visit.
    void SayUnplugged(const record::Visit& v) const;

    PrinterResult Handle(const std::string& address);
    // marked: the name is marked as sent already.
    void SendName(const record::Binding& b, const std::string& current, PrinterResult& res,
                  const std::string& rawAddress, bool marked);
    // After a wait for the record, or when the address was read too long
    // ago, reads it again: false (the visit failed, saying why) when another
    // printer, or none, answers.
    bool SamePrinter(const std::string& rawAddress, const record::Binding& b, PrinterResult& res);
    // What an address read that ended at `at` came to; false as above.
    bool Answered(const StepResult& r, const std::string& now, Clock::time_point at, const std::string& rawAddress,
                  const record::Binding& b, PrinterResult& res);
    // Reads the address while `work` runs on a thread of its own; both are
    // done when it returns. *at: when the read ended.
    StepResult ProbeWhile(const std::function<void()>& work, std::string* address, Clock::time_point* at);
    // With --print, on a visit that confirms the name: the label, unless
    // an earlier visit printed it.
    void Label(const record::Binding& b, PrinterResult& res);
    // Runs a call of the record until it succeeds or a signal comes; says on
    // standard error, now and then, that it waits (and notes that in
    // m_recordWaited).
    bool Persist(const std::string& what, const std::function<bool(std::string*)>& call);
    void Record(PrinterResult& r);
    bool Report(const PrinterResult& r);

    const Options& m_o;
    const ResultSink& m_out;  // one line per printer, as it comes
    record::CRecord& m_record;
    CModuleSession& m_session;
    std::string m_station;
    std::int64_t m_first;
    std::optional<std::string> m_arrived;
    usb::CUsbWatch* m_watch = nullptr;  // set on a USB link
    std::unique_ptr<usb::CUsbWatch> m_ttyWatch;  // serial devices coming, while the port is missing
    std::string m_node;                 // the USB printer being handled
    const std::chrono::milliseconds m_usbLookEvery = UsbLookEvery();
    std::int64_t m_done = 0;
    bool m_allNamed = true;
    std::map<record::Result, std::int64_t> m_results;  // visits by what they came to
    Clock::time_point m_start = Clock::now();
    Clock::time_point m_lastStatus = Clock::now();  // the start, a printer, or the last waiting line
    Clock::time_point m_addressRead;  // when the printer being handled last answered with its address
    bool m_recordWaited = false;      // the record made the station wait since then
    CHelper m_helper;                 // the record's commits beside the line's round trips; joined first
};

StepResult CStation::Probe(std::string* address)
{
    if (InterruptSignal() != 0)
        return {Status::Interrupted, "interrupted"};
    return m_session.Request(proto::GetRequest(proto::CMD_GET_BDA), proto::CMD_GET_BDA, address, kProbeTimeoutMs);
}

std::vector<usb::CUsbWatch::Event> TakeEvents(usb::CUsbWatch& watch)
{
    std::vector<usb::CUsbWatch::Event> events = watch.Take();
    for (const usb::CUsbWatch::Event& e : events)
        Trace("udev %s %s\n", e.action.c_str(), e.node.c_str());
    return events;
}

std::string CStation::PresentPrinter() const
{
    for (const usb::PrinterInterface& itf : usb::EnumeratePrinterInterfaces()) {
        if (itf.accepted && (m_o.usbDevice.empty() || usb::SelectsPrinter(itf, m_o.usbDevice)))
            return itf.node;
    }
    return {};
}

Status CStation::SleepUntilUsbChange()
{
    Trace("udev look: no printer\n");
    const Clock::time_point lookAt = Clock::now() + m_usbLookEvery;
    for (;;) {
        SayWaiting();
        const auto wake = std::chrono::ceil<std::chrono::milliseconds>(
            std::min(lookAt, m_lastStatus + kStatusEvery) - Clock::now());
        const usb::CUsbWatch::WaitResult w =
            m_watch->Wait(InterruptFd(), static_cast<int>(std::max<std::int64_t>(wake.count(), 1)));
        switch (w) {
        case usb::CUsbWatch::WaitResult::Timeout:
            if (Clock::now() >= lookAt)
                return Status::Ok;
            break;
        case usb::CUsbWatch::WaitResult::Event: TakeEvents(*m_watch); return Status::Ok;
        case usb::CUsbWatch::WaitResult::Other: return Status::Interrupted;
        case usb::CUsbWatch::WaitResult::Error: Message("cannot watch for USB printers"); return Status::Failure;
        }
    }
}

std::optional<std::string> CStation::WaitForUsbPrinter(Status* status)
{
    Clock::time_point asking, sayAt;  // since when the node is asked, and when to say it is silent
    std::string refused;              // a node that could not be opened
    Clock::time_point sayRefusedAt;
    for (;;) {
        if (InterruptSignal() != 0) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
        const std::string node = PresentPrinter();
        if (node.empty()) {
            refused.clear();
            const Status slept = SleepUntilUsbChange();
            if (slept != Status::Ok) {
                *status = slept;
                return std::nullopt;
            }
            continue;
        }
        if (!m_session.IsOpen() || node != m_node) {
            const StepResult opened = m_session.OpenUsb(node);
            if (opened.status != Status::Ok && PresentPrinter() != node)
                continue;  // gone again between the look and the open
            if (opened.status == Status::NoDevice) {
                // Not there yet, not ours yet (udev sets the permissions
                // after the kernel makes the node), or refused for good:
                // said with its reason unless it passes, and tried again.
                Trace("udev open %s: %s\n", node.c_str(), opened.message.c_str());
                if (node != refused) {
                    refused = node;
                    sayRefusedAt = Clock::now() + kRefusedFirst;
                }
                if (Clock::now() >= sayRefusedAt) {
                    Message(opened.message + "; trying again (Ctrl-C ends the station)");
                    sayRefusedAt = Clock::now() + kSilentAgain;
                }
                if (!PauseOrInterrupt(kProbeIntervalMs)) {
                    *status = Status::Interrupted;
                    return std::nullopt;
                }
                continue;
            }
            if (opened.status != Status::Ok) {
                Message(opened.message);
                *status = opened.status;
                return std::nullopt;
            }
            refused.clear();
            m_node = node;
            asking = Clock::now();
            sayAt = asking + kSilentFirst;
        }
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::Interrupted) {
            *status = r.status;
            return std::nullopt;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure) {
            m_session.Close();  // unplugged while starting up; look again
            continue;
        }
        // The module is not ready yet; one that stays silent is named, with
        // what to check, since nothing else shows it to the operator.
        if (Clock::now() >= sayAt) {
            const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(Clock::now() - asking).count();
            Message("the printer on " + node + " does not answer (no address for " + std::to_string(seconds) +
                    " s): check that it is switched on and ready, and that its Bluetooth module is fitted and "
                    "connected; still asking (Ctrl-C ends the station)");
            CJsonObject json = EventHead("silent");
            json.Text("node", node).Number("seconds", seconds);
            Event(json);
            sayAt = Clock::now() + kSilentAgain;
        }
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CStation::WaitUntilUnplugged()
{
    m_session.Close();  // the node must be free when the printer goes
    for (;;) {
        if (PresentPrinter() != m_node)
            return Status::Ok;
        const usb::CUsbWatch::WaitResult w =
            m_watch->Wait(InterruptFd(), static_cast<int>(m_usbLookEvery.count()));
        if (w == usb::CUsbWatch::WaitResult::Timeout)
            continue;  // look again
        if (w == usb::CUsbWatch::WaitResult::Other)
            return Status::Interrupted;
        if (w == usb::CUsbWatch::WaitResult::Error) {
            Message("cannot watch for USB printers");
            return Status::Failure;
        }
        for (const usb::CUsbWatch::Event& e : TakeEvents(*m_watch))
            if (e.action == "remove" && e.node == m_node)
                return Status::Ok;
    }
}

void CStation::SayUnplugged(const record::Visit& v) const
{
    std::string text = "the printer on " + m_node + " went away (" + v.reason + ")";
    if (v.result == record::Result::Sent)
        text += "; " + v.name + " stays sent and is finished when the printer comes back";
    Message(text + "; waiting for the next printer");
}

std::optional<std::string> CStation::WaitForPrinter(Status* status)
{
    if (m_watch)
        return WaitForUsbPrinter(status);
    if (m_arrived) {
        std::optional<std::string> a = std::move(m_arrived);
        m_arrived.reset();
        return a;
    }
    for (;;) {
        std::string address;
        const StepResult r = Probe(&address);
        if (r.status == Status::Ok && !address.empty())
            return address;
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            *status = r.status;
            if (r.status == Status::Failure)
                LinkMessage(r.message);
            return std::nullopt;
        }
        // No answer, or an error reply: nobody ready yet. A time-out has
        // already spent the interval.
        SayWaiting();
        if (r.status != Status::Timeout && !PauseOrInterrupt(kProbeIntervalMs)) {
            *status = Status::Interrupted;
            return std::nullopt;
        }
    }
}

Status CStation::WaitUntilGone(const std::string& address)
{
    if (m_watch)
        return WaitUntilUnplugged();
    int unanswered = 0;
    for (;;) {
        if (!PauseOrInterrupt(kProbeIntervalMs))
            return Status::Interrupted;
        std::string now;
        const StepResult r = Probe(&now);
        // One lost reply (noise, a busy host) does not make a printer gone.
        if (r.status == Status::Timeout && ++unanswered >= kGoneAfterUnanswered)
            return Status::Ok;
        if (r.status != Status::Timeout)
            unanswered = 0;
        if (r.status == Status::Ok && !now.empty() && now != address) {
            m_arrived = now;  // swapped faster than one probe
            return Status::Ok;
        }
        if (r.status == Status::NoDevice || r.status == Status::Failure || r.status == Status::Interrupted) {
            if (r.status == Status::Failure)
                LinkMessage(r.message);
            return r.status;
        }
    }
}

// The name of a number at this station; "" when the number no longer fits.
std::string StationName(const Options& o, std::int64_t number)
{
    const std::string suffix = SuffixFor(o.firstSuffix, number);
    const std::string name = o.prefix + suffix;
    if (suffix.empty() || !proto::SuffixFits(o.prefix.size(), suffix.size()) ||
        !proto::TextRequest(proto::CMD_SET_BDN, name))
        return {};
    return name;
}

bool CStation::Persist(const std::string& what, const std::function<bool(std::string*)>& call)
{
    std::string error, ignored;
    int pause = kRetryFirstMs;
    std::optional<Clock::time_point> said;
    for (int attempt = 0;; ++attempt) {
        if (call(&error)) {
            if (said)
                Message("the record in " + m_record.Where() + " is back");
            return true;
        }
        m_recordWaited = true;
        if (InterruptSignal() != 0)
            return false;
        // A connection that broke (the server restarted) is made anew at once.
        if (attempt == 0 && m_record.Reconnect(&ignored))
            continue;
        if (!said || Clock::now() - *said >= kSayEvery) {
            Message("cannot " + what + " in the record in " + m_record.Where() + ": " + error +
                    "; trying again until it works (Ctrl-C ends the station)");
            said = Clock::now();
        }
        if (!PauseOrInterrupt(pause))
            return false;
        pause = std::min(pause * 2, kRetryMostMs);
        m_record.Reconnect(&ignored);
    }
}

PrinterResult CStation::Handle(const std::string& rawAddress)
{
    PrinterResult res;
    record::Visit& v = res.visit;
    v.address = Cp949ToUtf8(rawAddress);
    v.station = m_station;
    m_addressRead = Clock::now();
    m_recordWaited = false;

    // All its copies answer with such an address too: a name bound to it
    // would be a name for many printers.
    if (proto::IsBlankAddress(rawAddress)) {
        v.reason = "the module answers with the address " + v.address +
                   ", which no real module has (never set, or copied); no name is taken for it";
        return res;
    }

    // The printer's name, taken and committed before anything is sent, and
    // a new one marked as sent, durably: from then on the record does not
    // say less than that the name may be on the module. Meanwhile the module's
    // address is read once more, the last look before Set BDN at which a
    // swapped printer can be told; the record's commits and the disk's flush
    // overlap the line's round trip.
    record::ClaimResult claim;
    const auto take = [&](std::string* error) {
        claim = m_record.Claim(v.address, m_o.prefix, m_first, [this](std::int64_t n) { return StationName(m_o, n); },
                               m_station);
        *error = claim.error;
        return claim.kind != record::ClaimResult::Kind::Failed;
    };
    bool marked = false;
    std::string now, error;
    Clock::time_point probed;
    const StepResult probe = ProbeWhile(
        [&] {
            if (take(&error) && claim.kind == record::ClaimResult::Kind::Ok && claim.binding.isNew)
                marked = m_record.SetState(claim.binding.id, record::State::Sent, &error);
        },
        &now, &probed);
    if (claim.kind == record::ClaimResult::Kind::Ok && claim.binding.isNew && !marked)
        m_recordWaited = true;  // the record failed at the mark: it is made below, then the address read again
    if (claim.kind == record::ClaimResult::Kind::Failed) {
        m_recordWaited = true;
        if (InterruptSignal() != 0 || !Persist("take a name for " + v.address, take)) {
            v.reason = "interrupted before a name was taken";
            res.status = Status::Interrupted;
            return res;
        }
    }
    if (claim.kind == record::ClaimResult::Kind::NoNameLeft) {
        v.reason = claim.error;
        res.stop = kExitBadArgument;
        return res;
    }
    const record::Binding& b = claim.binding;
    v.nameId = b.id;
    v.name = b.name;
    v.number = b.number;
    res.had = b.state;

    // While the record was away the printer may have been swapped: its name
    // is read, and the name sent, only on the printer it belongs to.
    if (!Answered(probe, now, probed, rawAddress, b, res) || !SamePrinter(rawAddress, b, res))
        return res;

    std::string current;
    if (!b.isNew) {
        const StepResult r =
            m_session.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &current);
        if (r.status != Status::Ok) {
            v.reason = r.message;
            res.status = r.status;
            return res;
        }
        v.found = Cp949ToUtf8(current);
        if (current == b.name) {
            v.result = record::Result::AlreadyNamed;
            if (b.state != record::State::Named)
                res.state = record::State::Named;
            Label(b, res);
            return res;
        }
        // A confirmed name on another name's module: a second module with
        // the same address (a copied or default one), or a printer that was
        // reset. Sending the name again would put it on two printers.
        if (b.state == record::State::Named && !m_o.renameBack) {
            const std::string since = b.since.size() >= 19 ? b.since.substr(0, 19) + "Z" : b.since;
            v.reason = "address clash: " + v.address + " bound to " + b.name + " since " + since + " at " + b.station +
                       "; a second module with this address, or a reset printer";
            Message(v.reason + " (it answers as '" + v.found + "'; a rework station gives a reset printer its name " +
                    "again with --rename-back)");
            return res;
        }
        if (b.state == record::State::Named)
            Message(v.address + " has the name " + b.name + " in the record, but answers as '" + v.found +
                    "' (changed since, or two modules with one address): it is given its name again");
    }
    SendName(b, current, res, rawAddress, marked);
    return res;
}

bool CStation::SamePrinter(const std::string& rawAddress, const record::Binding& b, PrinterResult& res)
{
    if (!m_recordWaited && Clock::now() - m_addressRead < kSwapTime)
        return true;
    std::string now;
    const StepResult r = Probe(&now);
    m_recordWaited = false;
    return Answered(r, now, Clock::now(), rawAddress, b, res);
}

bool CStation::Answered(const StepResult& r, const std::string& now, Clock::time_point at,
                        const std::string& rawAddress, const record::Binding& b, PrinterResult& res)
{
    if (r.status == Status::Ok && now == rawAddress) {
        m_addressRead = at;
        return true;
    }
    record::Visit& v = res.visit;
    if (r.status == Status::Ok)
        v.reason = "a printer was swapped: " + Cp949ToUtf8(now) + " answers instead of " +
                   v.address + ", whose name " + b.name + " stays with it";
    else if (r.status == Status::Timeout)
        v.reason = "the printer left before its name was sent";
    else
        v.reason = r.message;
    if (r.status == Status::Interrupted || r.status == Status::NoDevice)
        res.status = r.status;
    if (b.state != record::State::Sent && b.state != record::State::Named)
        res.state = record::State::Failed;  // nothing went out
    return false;
}

StepResult CStation::ProbeWhile(const std::function<void()>& work, std::string* address, Clock::time_point* at)
{
    m_helper.Start(work);
    const StepResult r = Probe(address);
    *at = Clock::now();
    m_helper.Wait();
    return r;
}

void CStation::SendName(const record::Binding& b, const std::string& current, PrinterResult& res,
                        const std::string& rawAddress, bool marked)
{
    record::Visit& v = res.visit;
    const bool sentBefore = b.state == record::State::Sent || b.state == record::State::Named;
    // Whatever happens from here on, the record must not say less than
    // that the name may be on the module.
    if (!sentBefore && !marked) {
        marked = InterruptSignal() == 0 && Persist("record that " + b.name + " is sent", [&](std::string* error) {
                     return m_record.SetState(b.id, record::State::Sent, error);
                 });
        if (!marked) {
            v.reason = "interrupted before Set BDN was sent";
            res.state = record::State::Failed;
            res.status = Status::Interrupted;
            return;
        }
    }
    // A mark that was slow, or had to be tried again, is followed by
    // another read of the address.
    if (!SamePrinter(rawAddress, b, res))
        return;
    const bool signalledBefore = InterruptSignal() != 0;
    StepResult r = m_session.Request(*proto::TextRequest(proto::CMD_SET_BDN, b.name), proto::CMD_SET_BDN, nullptr);
    if (r.status == Status::ModuleError) {
        v.reason = r.message;
        if (!sentBefore)
            res.state = record::State::Failed;  // refused: the module kept its name
        return;
    }
    if (r.status == Status::Timeout) {
        // The answer may be lost while the module took the name: ask it.
        std::string name;
        const StepResult check =
            m_session.Request(proto::GetRequest(proto::CMD_GET_BDN), proto::CMD_GET_BDN, &name);
        if (check.status == Status::Ok && name == b.name)
            r = {};
        else if (check.status == Status::Ok)
            r.message += "; the module answers with the name '" + Cp949ToUtf8(name) + "'";
    }
    if (r.status != Status::Ok) {
        v.result = record::Result::Sent;
        v.reason = r.message;
        if (r.status == Status::Interrupted && signalledBefore) {
            // Nothing went out: the name is not on the module.
            v.result = record::Result::Failed;
            if (!sentBefore)
                res.state = record::State::Failed;
        } else if (!sentBefore) {
            res.state = record::State::Sent;
        }
        if (r.status != Status::Timeout && r.status != Status::ModuleError)
            res.status = r.status;
        return;
    }

    // The module took the name: the PIN key and the level, then the read-back.
    StepResult settings;
    if (m_o.stationPin) {
        const StepResult p = m_session.Request(*proto::TextRequest(proto::CMD_SET_PINKEY, *m_o.stationPin),
                                               proto::CMD_SET_PINKEY, nullptr);
        v.pin = p.status == Status::Ok;
        settings = p;
    }
    if (m_o.stationLevel && (settings.status == Status::Ok || settings.status == Status::ModuleError)) {
        const StepResult l = m_session.Request(proto::SelectRequest(proto::CMD_SET_LEVEL, *m_o.stationLevel),
                                               proto::CMD_SET_LEVEL, nullptr);
        v.level = l.status == Status::Ok;
        if (settings.status == Status::Ok)
            settings = l;
    }
    ModuleInfo info;
    StepResult readBack = settings;
    if (settings.status == Status::Ok || settings.status == Status::ModuleError)
        readBack = m_session.ReadInfo(m_o.newModule, &info);
    if (readBack.status == Status::Ok && info.name != b.name)
        readBack = {Status::ModuleError, "the read-back shows the name '" + Cp949ToUtf8(info.name.value_or("")) + "'"};
    if (readBack.status != Status::Ok) {
        // Acknowledged, but not seen on the module.
        v.result = record::Result::Sent;
        v.reason = readBack.message;
        if (!sentBefore)
            res.state = record::State::Sent;
        if (readBack.status == Status::Interrupted || readBack.status == Status::NoDevice)
            res.status = readBack.status;
        return;
    }
    // The printer that answers the read-back is the one that was named; on
    // another one the name may have gone to either, and stays bound where
    // it belongs (the one on the line is taken as the next printer).
    if (info.address != rawAddress) {
        v.reason = "a printer was swapped while it was named: " + Cp949ToUtf8(info.address.value_or("")) +
                   " answers the read-back instead of " + v.address + ", whose name " + b.name + " stays with it";
        if (!sentBefore)
            res.state = record::State::Sent;
        return;
    }
    if (b.state != record::State::Named)
        res.state = record::State::Named;
    if (settings.status != Status::Ok) {
        v.reason = settings.message;
        return;
    }
    if (m_o.stationPin && info.pin != m_o.stationPin) {
        v.pin = false;
        v.reason = "the read-back shows another PIN key";
        return;
    }
    if (sentBefore) {
        v.result = record::Result::RenamedBack;
        v.reason = "renamed back (was '" + Cp949ToUtf8(current) + "')";
    } else {
        v.result = record::Result::Named;
    }
    Label(b, res);
}

void CStation::Label(const record::Binding& b, PrinterResult& res)
{
    if (!m_o.print)
        return;
    record::Visit& v = res.visit;
    // A printer finished from `sent` (its answer lost, or taken away after
    // Set BDN) gets its label now; one that had it gets no second.
    bool printed = false;
    if (!b.isNew && !Persist("look up the label of " + b.name,
                             [&](std::string* error) { return m_record.LabelPrinted(b, &printed, error); })) {
        v.reason += std::string(v.reason.empty() ? "" : "; ") + "label not printed: interrupted";
        return;  // the next visit prints it
    }
    if (printed)
        return;
    const StepResult p = m_session.PrintLabel(b.name);
    v.label = p.status == Status::Ok;
    if (!v.label)
        v.reason += std::string(v.reason.empty() ? "" : "; ") + "label not printed: " + p.message;
}

void CStation::Record(PrinterResult& r)
{
    const auto add = [&](std::string* error) { return m_record.AddVisit(r.visit, r.state, error); };
    r.recorded = InterruptSignal() == 0 && Persist("record the visit of " + r.visit.address, add);
    if (r.recorded)
        return;
    // A signal came: what is known is still written, if the record answers
    // at once, and the station ends.
    m_record.Limit(-1, kLastWriteMs);
    std::string error;
    r.recorded = add(&error);
    if (!r.recorded)
        r.visit.reason += std::string(r.visit.reason.empty() ? "" : "; ") + "not recorded: " + error;
    if (r.status == Status::Ok)
        r.status = Status::Interrupted;
}

std::string TimeOfDay()
{
    return record::NowText().substr(0, 19) + "Z";
}

bool CStation::Report(const PrinterResult& r)
{
    const double hours = std::max(1.0, std::chrono::duration<double>(Clock::now() - m_start).count()) / 3600.0;
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.0f", static_cast<double>(m_done) / hours);
    const record::Visit& v = r.visit;
    const char* result = record::ResultName(v.result);
    std::string line;
    if (m_o.json) {
        CJsonObject o = EventHead("printer");
        o.Text("address", v.address).Text("name", v.name);
        o.Number("number", v.number >= 0 ? std::optional<std::int64_t>(v.number) : std::nullopt);
        o.Text("result", result);
        // The name's state as the record holds it now; "" without a name.
        const std::optional<record::State> state = r.state ? r.state : r.had;
        o.Text("state", state ? record::StateName(*state) : "");
        o.Text("reason", v.reason).Number("count", m_done).Raw("per_hour", rate);
        line = o.Str() + "\n";
    } else {
        line = TimeOfDay() + "  " + PlainText(v.address.empty() ? "-" : v.address) + "  " +
               PlainText(v.name.empty() ? "-" : v.name) + "  " + result + "  " + std::to_string(m_done) + "  " +
               rate + "/h";
        if (!v.reason.empty())
            line += "  " + PlainText(v.reason);
        line += "\n";
    }
    if (!m_out(line)) {
        Message("write error");
        return false;
    }
    return true;
}

int CStation::Run()
{
    const int code = RunPrinters();
    Summary();
    return code;
}

bool CStation::Start(std::int64_t nextNumber)
{
    const std::string next = StationName(m_o, nextNumber);
    Message("station " + m_station + " on " + Link() + ", record in " + m_record.Where() + ", next name " + next);
    CJsonObject json = EventHead("start");
    json.Text("link", Link()).Text("record", m_record.Where()).Text("prefix", m_o.prefix);
    json.Number("next_number", nextNumber).Text("next_name", next);
    if (!Event(json)) {
        Message("write error");
        return false;
    }
    return true;
}

void CStation::SayWaiting()
{
    if (Clock::now() - m_lastStatus < kStatusEvery)
        return;
    m_lastStatus = Clock::now();
    Message("waiting for a printer on " + Link() + " (" + std::to_string(m_done) + " so far)");
    CJsonObject json = EventHead("waiting");
    json.Text("link", Link()).Number("count", m_done);
    Event(json);
}

void CStation::Summary()
{
    const double seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    const double perHour = m_done / (std::max(1.0, seconds) / 3600.0);
    char rate[32], time[32];
    std::snprintf(rate, sizeof rate, "%.0f", perHour);
    const long long s = static_cast<long long>(seconds);
    std::snprintf(time, sizeof time, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    std::string counts;
    CJsonObject json = EventHead("summary");
    json.Number("count", m_done);
    for (const auto result : {record::Result::Named, record::Result::AlreadyNamed, record::Result::RenamedBack,
                              record::Result::Sent, record::Result::Failed}) {
        const std::int64_t n = m_results[result];
        json.Number(record::ResultName(result), n);
        if (n > 0)
            counts += std::string(counts.empty() ? "" : ", ") + record::ResultName(result) + " " + std::to_string(n);
    }
    json.Raw("per_hour", rate).Number("seconds", s);
    Message("station " + m_station + " ends after " + time + ": " + std::to_string(m_done) +
            (m_done == 1 ? " printer" : " printers") + (counts.empty() ? "" : " (" + counts + ")") + ", " + rate +
            " per hour");
    Event(json);
}

Status CStation::OpenPort(bool lost)
{
    m_session.Close();
    bool said = false;
    for (;;) {
        const StepResult opened = m_session.OpenSerial(m_o.portPath, m_o.line);
        if (opened.status == Status::Ok) {
            if (said)
                Message(LinkText(m_o) + (lost ? " is back" : " is there"));
            return Status::Ok;
        }
        const int err = opened.error;
        const bool away = ::access(m_o.portPath.c_str(), F_OK) != 0 || err == ENOENT || err == ENODEV ||
                          err == ENXIO || err == EIO;
        if (!away) {
            Message(opened.message);
            return opened.status;
        }
        if (!said) {
            Message(lost ? "the link on " + LinkText(m_o) + " is gone; waiting for it to come back (Ctrl-C ends the "
                                                            "station)"
                         : "no port at " + LinkText(m_o) + " yet; waiting for it (Ctrl-C ends the station)");
            said = true;
        }
        // A USB serial adapter that is plugged in wakes the wait at once; a
        // plain path is looked at every second.
        if (!m_ttyWatch) {
            m_ttyWatch = std::make_unique<usb::CUsbWatch>();
            m_ttyWatch->Start("tty");  // without udev its waits fail, and the pause below stands in
        }
        const usb::CUsbWatch::WaitResult w = m_ttyWatch->Wait(InterruptFd(), kPortLookMs);
        if (w == usb::CUsbWatch::WaitResult::Other || InterruptSignal() != 0)
            return Status::Interrupted;
        if (w == usb::CUsbWatch::WaitResult::Event)
            m_ttyWatch->Take();
        else if (w == usb::CUsbWatch::WaitResult::Error && !PauseOrInterrupt(kPortLookMs))
            return Status::Interrupted;
    }
}

int CStation::RunPrinters()
{
    if (!m_watch) {
        const Status opened = OpenPort(false);
        if (opened != Status::Ok)
            return opened == Status::Interrupted ? kExitOk : ExitCodeFor(opened);
    }
    for (;;) {
        if (m_o.count > 0 && m_done >= m_o.count)
            return m_allNamed ? kExitOk : kExitNotNamed;
        Status status = Status::Ok;
        const std::optional<std::string> address = WaitForPrinter(&status);
        if (!address && status == Status::NoDevice && !m_watch) {
            status = OpenPort(true);
            if (status == Status::Ok)
                continue;
        }
        if (!address)
            return status == Status::Interrupted ? kExitOk : ExitCodeFor(status);  // between printers: done
        PrinterResult r = Handle(*address);
        ++m_done;
        ++m_results[r.visit.result];
        m_allNamed = m_allNamed && Named(r.visit.result);
        Record(r);
        if (!Report(r))
            return kExitFailure;
        if (r.stop >= 0) {
            Message(r.visit.reason);
            return r.stop;
        }
        if (r.status == Status::Interrupted)
            return ExitCodeFor(Status::Interrupted);
        if (m_o.count > 0 && m_done >= m_o.count)
            return m_allNamed ? kExitOk : kExitNotNamed;
        Status gone = r.status == Status::NoDevice && !m_watch ? Status::NoDevice : Status::Ok;
        if (r.status == Status::NoDevice && m_watch)
            SayUnplugged(r.visit);  // and on with the next printer
        if (gone == Status::Ok)
            gone = WaitUntilGone(*address);
        if (gone == Status::NoDevice && !m_watch)
            gone = OpenPort(true);  // the printer went with its adapter
        m_lastStatus = Clock::now();  // waiting starts now
        if (gone == Status::Interrupted)
            return kExitOk;
        if (gone != Status::Ok)
            return ExitCodeFor(gone);
    }
}

int RunStation(const Options& o, const ResultSink& out)
{
    // Everything that can be refused is refused before a printer is touched.
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec =
        OpenRecordOrFail(o.db, o.createRecord ? record::Access::Create : record::Access::ReadWrite, &exitCode);
    if (!rec)
        return exitCode;
    rec->record->Limit(InterruptFd(), kRecordPatienceMs);
    std::string error;
    const std::optional<std::int64_t> next = rec->record->NextNumber(o.prefix, std::stoll(o.firstSuffix), &error);
    if (!next) {
        Message("cannot read the record in " + rec->record->Where() + ": " + error);
        return InterruptSignal() != 0 ? ExitCodeFor(Status::Interrupted) : kExitRecord;
    }
    if (StationName(o, *next).empty())
        return BadArgument("the next number of " + o.prefix + " is " + std::to_string(*next) + ", which does not fit " +
                           "--first-suffix " + o.firstSuffix + " (" + std::to_string(o.firstSuffix.size()) +
                           " digits); give a wider --first-suffix or another --name");

    CModuleSession session;
    session.SetReplyTimeout(o.replyTimeoutMs);
    usb::CUsbWatch watch;
    if (o.link == LinkChoice::Usb) {
        // Printers come and go; the watch runs before the first look so that
        // no plug-in between the two is missed.
        if (!watch.Start()) {
            Message("cannot watch for USB printers (udev monitor)");
            return kExitNoDevice;
        }
    }
    CStation station(o, *rec->record, session, out);
    if (o.link == LinkChoice::Usb)
        station.WatchUsb(&watch);
    if (!station.Start(*next))
        return kExitFailure;
    const int code = station.Run();
    session.Close();
    return code;
}

// ---- records ---------------------------------------------------------------

int RunRecords(const Options& o, const ResultSink& write)
{
    std::string error;
    int exitCode = kExitOk;
    std::optional<record::OpenResult> rec = OpenRecordOrFail(o.db, record::Access::ReadOnly, &exitCode);
    if (!rec)
        return exitCode;
    std::vector<record::VisitEntry> entries;
    if (!rec->record->List(o.since, &entries, &error)) {
        Message("cannot read the record in " + rec->record->Where() + ": " + error);
        return kExitRecord;
    }

    const std::string out = o.json ? VisitsJson(entries) : VisitsTable(entries, o.csv ? ',' : '\t');
    if (!write(out)) {
        Message("write error");
        return kExitFailure;
    }
    return kExitOk;
}

int RunPorts(const Options& o, const ResultSink& write)
{
    std::vector<PortEntry> ports = ListPorts();
    // --vid / --pid keep the ports of one USB vendor or product.
    const auto lower = [](std::string t) {
        for (char& c : t)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return t;
    };
    ports.erase(std::remove_if(ports.begin(), ports.end(),
                               [&](const PortEntry& p) {
                                   return (!o.vid.empty() && lower(p.vendor) != o.vid) ||
                                          (!o.pid.empty() && lower(p.product) != o.pid);
                               }),
                ports.end());
    std::string out;
    if (o.json) {
        std::vector<std::string> objects;
        for (const PortEntry& p : ports) {
            CJsonObject entry;
            const auto orNull = [&entry](const char* key, const std::string& v) {
                if (v.empty())
                    entry.Null(key);
                else
                    entry.Text(key, v);
            };
            std::string byId = "[";
            for (std::size_t i = 0; i < p.byId.size(); ++i)
                byId += (i ? ", " : "") + JsonString(p.byId[i]);
            byId += "]";
            entry.Text("path", p.path).Text("kind", p.kind);
            orNull("com", p.comName);
            entry.Raw("by_id", byId);
            orNull("vendor", p.vendor);
            orNull("product", p.product);
            orNull("serial", p.serial);
            orNull("description", p.description);
            orNull("location", p.location);
            if (p.kind == "usb-printer")
                entry.Bool("accepted", p.accepted);
            objects.push_back(entry.Str());
        }
        out = JsonArray(objects) + "\n";
    } else {
        // A table under a header; "-" where there is nothing to say.
        std::vector<std::vector<std::string>> rows = {
            {"PATH", "KIND", "COM", "USB", "SERIAL", "ACCEPTED", "LOCATION", "DESCRIPTION", "BY-ID"}};
        for (const PortEntry& p : ports) {
            const auto cell = [](const std::string& v) { return v.empty() ? std::string("-") : PlainText(v); };
            std::string byId;
            for (const std::string& id : p.byId)
                byId += (byId.empty() ? "" : " ") + PlainText(id);
            rows.push_back({cell(p.path), p.kind, cell(p.comName),
                            p.vendor.empty() && p.product.empty() ? "-" : PlainText(p.vendor + ":" + p.product),
                            cell(p.serial), p.kind == "usb-printer" ? (p.accepted ? "yes" : "no") : "-",
                            cell(p.location), cell(p.description), cell(byId)});
        }
        std::vector<std::size_t> width(rows[0].size(), 0);
        for (const auto& row : rows)
            for (std::size_t c = 0; c < row.size(); ++c)
                width[c] = std::max(width[c], row[c].size());
        for (const auto& row : rows) {
            std::string line;
            for (std::size_t c = 0; c < row.size(); ++c)
                line += row[c] + (c + 1 < row.size() ? std::string(width[c] - row[c].size() + 2, ' ') : "");
            out += line + "\n";
        }
    }
    if (!write(out)) {
        Message("write error");
        return kExitFailure;
    }
    return kExitOk;
}

}  // namespace

int RunLineCommand(const Options& o, const ResultSink& out)
{
    switch (o.command) {
    case Command::Station: return RunStation(o, out);
    case Command::Records: return RunRecords(o, out);
    case Command::Ports: return RunPorts(o, out);
    case Command::RadioCheck: return RunRadioCheck(o, out);
    default: return kExitBadArgument;
    }
}

}  // namespace vendrill::cli
