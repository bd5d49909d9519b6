#pragma once

// The station's naming core: what one printer's visit comes to. It takes the
// printer's name from the record (or finds the one it has), checks that the
// printer on the line is the one the name belongs to, sends the name, gives
// it the station's PIN key and level, reads it back, with --radio-check
// hears it over the air, prints the label and records the visit. It talks to
// the module, the record and the air only through the small interfaces
// below, so that every outcome can be tried over fakes; waiting for printers (Presence.h) and saying what happened
// (Reporting.h) are not its business.

#include "protocol/Protocol.h"
#include "record/Record.h"
#include "session/BlockingSession.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace vendrill::cli {

// The printer's module as the naming core asks it.
class CNamingModule {
public:
    virtual ~CNamingModule() = default;
    // A request (its command, and its selection digit or text) and its
    // answer's data; timeoutMs 0: the reply time-out.
    virtual StepResult Request(char command, const std::string& argument, std::string* data, int timeoutMs = 0) = 0;
    // The read-back chain: address, PIN key, name, level or pairing mode.
    virtual StepResult ReadInfo(ModuleInfo* info) = 0;
    virtual StepResult PrintLabel(const std::string& name) = 0;
};

// The record as the naming core asks it. Each call is tried until it works
// (saying so while it does not); false, or a claim that Failed, means that
// the user's signal cut the tries short.
class CNamingRecord {
public:
    virtual ~CNamingRecord() = default;
    virtual record::ClaimResult Claim(const std::string& address) = 0;
    virtual bool SetState(const record::Binding& binding, record::State state) = 0;
    // Records the visit and the name's new state. After a signal (false)
    // it is written once more, at once; *notRecorded says why the visit is
    // not in the record ("" when it is).
    virtual bool AddVisit(const record::Visit& visit, std::optional<record::State> state,
                          std::string* notRecorded) = 0;
    virtual bool LabelPrinted(const record::Binding& binding, bool* printed) = 0;
    // Whether a call had to be tried again since the last ask: the record
    // made the station wait, and the printer may have been swapped meanwhile.
    virtual bool TakeWaited() = 0;
};

// What the air made of a printer (station --radio-check).
struct RadioHeard {
    bool passed = false;       // the air shows its name (and it pairs with the station's PIN key)
    bool interrupted = false;  // the user's signal ended the check, or the wait for Bluetooth
    std::string word;          // the result as the visit keeps it (record::Visit::radio)
    std::string nameHeard;     // "" when no name was heard
    std::string reason;        // why it did not pass
};

// The air as the naming core asks it.
class CNamingRadio {
public:
    virtual ~CNamingRadio() = default;
    // Whether the printer that answered with rawAddress shows `name` over
    // the air (and pairs with the station's PIN key). stillThere says
    // whether that printer is still on the station, for a check that has to
    // wait (for Bluetooth to come back).
    virtual RadioHeard Check(const std::string& rawAddress, const std::string& name,
                             const std::function<bool()>& stillThere) = 0;
};

// What the station does for every printer.
struct NamingSettings {
    std::string station;
    std::optional<std::string> pin;  // --pin
    std::optional<char> level;       // --level: '1' or '3'
    bool print = false;              // --print
    bool renameBack = false;         // --rename-back
};

// One printer's visit: what is recorded, and how the station goes on.
struct PrinterResult {
    record::Visit visit;
    std::optional<record::State> state;  // the name's new state, when it changed
    std::optional<record::State> had;    // its state before, when the printer has a name
    Status status = Status::Ok;          // Interrupted or NoDevice end the visit, and perhaps the station
    bool noNameLeft = false;             // the run's numbers are used up: the station ends
    bool recorded = false;
    std::string say;                     // what the operator must hear of at once, beside the visit's line
};

// One thread that does a piece of the station's work beside it, such as a
// commit of the record while the line's round trip goes on. It sleeps in
// between, so that no thread is started per printer; without a thread (one
// could not be started) the work is done at once.
class CHelper {
public:
    CHelper() = default;
    ~CHelper();
    CHelper(const CHelper&) = delete;
    CHelper& operator=(const CHelper&) = delete;

    // Starts work (Wait() must come before the next Start).
    void Start(std::function<void()> work);
    // Until the work that Start gave is done.
    void Wait();

private:
    void Serve();

    std::mutex m_mutex;  // guards m_work and m_stop, and pairs with m_cv
    std::condition_variable m_cv;
    std::function<void()> m_work;  // set while work waits or runs
    bool m_stop = false;
    std::thread m_thread;
};

class CNaming {
public:
    // interruptSignal: the signal that asked the station to stop, 0 while none did;
    // radio: the check over the air before the label (nullptr: none).
    CNaming(CNamingModule& module, CNamingRecord& record, NamingSettings settings, int (*interruptSignal)(),
            CNamingRadio* radio = nullptr);

    // The visit of the printer that answered with rawAddress (code page
    // 949, as the module sent it), recorded when it returns.
    PrinterResult Visit(const std::string& rawAddress);

    // Get BDA with a short wait, as the station asks while it waits.
    static constexpr int kProbeTimeoutMs = 250;

private:
    using Clock = std::chrono::steady_clock;

    void Decide(const std::string& rawAddress, PrinterResult& res);
    // Sends the name, then Confirm.
    void SendName(const record::Binding& b, const std::string& current, PrinterResult& res,
                  const std::string& rawAddress, bool marked);
    // The name is on the module (acknowledged just now, or seen there): the
    // station's settings, the read-back, the label. current: the name the
    // module had before it was sent ("" when it was not read).
    enum class Came { Sent, Seen };
    void Confirm(const record::Binding& b, const std::string& current, Came came, PrinterResult& res,
                 const std::string& rawAddress);
    // After a wait for the record, or when the address was read too long
    // ago, reads it again: false (the visit failed, saying why) when another
    // printer, or none, answers.
    bool SamePrinter(const std::string& rawAddress, const record::Binding& b, PrinterResult& res);
    // What an address read that ended at `at` came to; false as above.
    bool Answered(const StepResult& r, const std::string& now, Clock::time_point at, const std::string& rawAddress,
                  const record::Binding& b, PrinterResult& res);
    StepResult Probe(std::string* address);
    // A printer that holds its name: the radio check, then the label.
    void Finished(const record::Binding& b, PrinterResult& res, const std::string& rawAddress);
    // With --radio-check: whether the air confirms the name, and the printer
    // checked is still the one on the line; false (saying why) when not.
    bool Heard(const record::Binding& b, PrinterResult& res, const std::string& rawAddress);
    // With --print, on a visit that confirms the name: the label, unless
    // an earlier visit printed it.
    void Label(const record::Binding& b, PrinterResult& res);
    // Records the visit; a signal meanwhile ends the station.
    void Finish(PrinterResult& res);
    bool Interrupted() const { return m_interruptSignal() != 0; }

    CNamingModule& m_module;
    CNamingRecord& m_record;
    const NamingSettings m_settings;
    int (*const m_interruptSignal)();
    CNamingRadio* const m_radio;
    Clock::time_point m_addressRead;  // when the printer being handled last answered with its address
    CHelper m_helper;                 // the record's commits beside the line's round trips; joined first
};

}  // namespace vendrill::cli
