#include "app/cli/Naming.h"

#include "base/TextCodec.h"
#include "protocol/Conversation.h"

#include <system_error>

namespace vendrill::cli {

namespace {

// Nobody swaps a printer faster than this: an address read this recently
// still names the printer on the line, unless the record made the station
// wait in between.
constexpr auto kSwapTime = std::chrono::milliseconds(250);

std::string Joined(const std::string& a, const std::string& b)
{
    return a.empty() ? b : a + "; " + b;
}

}  // namespace

// ---- the helper thread ---------------------------------------------------------

CHelper::~CHelper()
{
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_cv.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

void CHelper::Start(std::function<void()> work)
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

void CHelper::Wait()
{
    std::unique_lock lock(m_mutex);
    m_cv.wait(lock, [this] { return !m_work; });
}

void CHelper::Serve()
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

// ---- the naming core ---------------------------------------------------------------

CNaming::CNaming(CNamingModule& module, CNamingRecord& record, NamingSettings settings, int (*interruptSignal)(),
                 CNamingRadio* radio)
    : m_module(module)
    , m_record(record)
    , m_settings(std::move(settings))
    , m_interruptSignal(interruptSignal)
    , m_radio(radio)
{
}

PrinterResult CNaming::Visit(const std::string& rawAddress)
{
    PrinterResult res;
    Decide(rawAddress, res);
    Finish(res);
    return res;
}

StepResult CNaming::Probe(std::string* address)
{
    return m_module.Request(proto::CMD_GET_BDA, {}, address, kProbeTimeoutMs);
}

void CNaming::Decide(const std::string& rawAddress, PrinterResult& res)
{
    record::Visit& v = res.visit;
    v.address = Cp949ToUtf8(rawAddress);
    v.station = m_settings.station;
    m_addressRead = Clock::now();
    m_record.TakeWaited();

    // All its copies answer with such an address too: a name bound to it
    // would be a name for many printers.
    if (proto::IsBlankAddress(rawAddress)) {
        v.reason = "the module answers with the address " + v.address +
                   ", which no real module has (never set, or copied); no name is taken for it";
        return;
    }

    // The printer's name, taken and committed before anything is sent, and
    // a new one marked as sent, durably: from then on the record does not
    // say less than that the name may be on the module. Meanwhile the module's
    // address is read once more, the last look before Set BDN at which a
    // swapped printer can be told; the record's commits and the disk's flush
    // overlap the line's round trip.
    record::ClaimResult claim;
    bool marked = false;
    std::string now;
    m_helper.Start([&] {
        claim = m_record.Claim(v.address);
        if (claim.kind == record::ClaimResult::Kind::Ok && claim.binding.isNew)
            marked = m_record.SetState(claim.binding, record::State::Sent);
    });
    const StepResult probe = Probe(&now);
    const Clock::time_point probed = Clock::now();
    m_helper.Wait();
    if (claim.kind == record::ClaimResult::Kind::Failed) {
        v.reason = "interrupted before a name was taken";
        res.status = Status::Interrupted;
        return;
    }
    if (claim.kind == record::ClaimResult::Kind::NoNameLeft) {
        v.reason = claim.error;
        res.noNameLeft = true;
        return;
    }
    const record::Binding& b = claim.binding;
    v.nameId = b.id;
    v.name = b.name;
    v.number = b.number;
    res.had = b.state;

    // While the record was away the printer may have been swapped: its name
    // is read, and the name sent, only on the printer it belongs to.
    if (!Answered(probe, now, probed, rawAddress, b, res) || !SamePrinter(rawAddress, b, res))
        return;

    std::string current;
    if (!b.isNew) {
        const StepResult r = m_module.Request(proto::CMD_GET_BDN, {}, &current);
        if (r.status != Status::Ok) {
            v.reason = r.message;
            res.status = r.status;
            return;
        }
        v.found = Cp949ToUtf8(current);
        if (current == b.name) {
            // Its Set BDN arrived on an earlier visit, whose end was lost
            // (no answer, unplugged, interrupted): it is finished now, the
            // station's settings included, before it counts as named.
            if (b.state != record::State::Named && (m_settings.pin || m_settings.level)) {
                Confirm(b, current, Came::Seen, res, rawAddress);
                return;
            }
            v.result = record::Result::AlreadyNamed;
            if (b.state != record::State::Named)
                res.state = record::State::Named;
            Finished(b, res, rawAddress);
            return;
        }
        // A confirmed name on another name's module: a second module with
        // the same address (a copied or default one), or a printer that was
        // reset. Sending the name again would put it on two printers.
        if (b.state == record::State::Named && !m_settings.renameBack) {
            const std::string since = b.since.size() >= 19 ? b.since.substr(0, 19) + "Z" : b.since;
            v.reason = "address clash: " + v.address + " bound to " + b.name + " since " + since + " at " + b.station +
                       "; a second module with this address, or a reset printer";
            res.say = v.reason + " (it answers as '" + v.found + "'; a rework station gives a reset printer its name " +
                      "again with --rename-back)";
            return;
        }
        if (b.state == record::State::Named)
            res.say = v.address + " has the name " + b.name + " in the record, but answers as '" + v.found +
                      "' (changed since, or two modules with one address): it is given its name again";
    }
    SendName(b, current, res, rawAddress, marked);
}

bool CNaming::SamePrinter(const std::string& rawAddress, const record::Binding& b, PrinterResult& res)
{
    if (!m_record.TakeWaited() && Clock::now() - m_addressRead < kSwapTime)
        return true;
    std::string now;
    const StepResult r = Probe(&now);
    return Answered(r, now, Clock::now(), rawAddress, b, res);
}

bool CNaming::Answered(const StepResult& r, const std::string& now, Clock::time_point at,
                       const std::string& rawAddress, const record::Binding& b, PrinterResult& res)
{
    if (r.status == Status::Ok && now == rawAddress) {
        m_addressRead = at;
        return true;
    }
    record::Visit& v = res.visit;
    if (r.status == Status::Ok)
        v.reason = "a printer was swapped: " + Cp949ToUtf8(now) + " answers instead of " + v.address +
                   ", whose name " + b.name + " stays with it";
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

void CNaming::SendName(const record::Binding& b, const std::string& current, PrinterResult& res,
                       const std::string& rawAddress, bool marked)
{
    record::Visit& v = res.visit;
    const bool sentBefore = b.state == record::State::Sent || b.state == record::State::Named;
    // Whatever happens from here on, the record must not say less than
    // that the name may be on the module.
    if (!sentBefore && !marked) {
        marked = !Interrupted() && m_record.SetState(b, record::State::Sent);
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
    const bool signalledBefore = Interrupted();
    StepResult r = m_module.Request(proto::CMD_SET_BDN, b.name, nullptr);
    if (r.status == Status::ModuleError) {
        v.reason = r.message;
        if (!sentBefore)
            res.state = record::State::Failed;  // refused: the module kept its name
        return;
    }
    if (r.status == Status::Timeout) {
        // The answer may be lost while the module took the name: ask it.
        std::string name;
        const StepResult check = m_module.Request(proto::CMD_GET_BDN, {}, &name);
        if (check.status == Status::Ok && name == b.name)
            r = {};
        else if (check.status == Status::Ok)
            r.message += "; the module answers with the name '" + Cp949ToUtf8(name) +
                         "': put the printer on again and its name is sent again";
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
    Confirm(b, current, Came::Sent, res, rawAddress);
}

void CNaming::Confirm(const record::Binding& b, const std::string& current, Came came, PrinterResult& res,
                      const std::string& rawAddress)
{
    record::Visit& v = res.visit;
    const bool unconfirmed = b.state != record::State::Named;
    const auto stays = [&] {
        // Not seen whole on this module: the name stays as the record had it,
        // or sent, when it went out just now.
        if (came == Came::Sent && b.state != record::State::Sent && b.state != record::State::Named)
            res.state = record::State::Sent;
    };

    // The PIN key and the level, then the read-back.
    StepResult settings;
    if (m_settings.pin) {
        const StepResult p = m_module.Request(proto::CMD_SET_PINKEY, *m_settings.pin, nullptr);
        v.pin = p.status == Status::Ok;
        settings = p;
    }
    if (m_settings.level && (settings.status == Status::Ok || settings.status == Status::ModuleError)) {
        const StepResult l = m_module.Request(proto::CMD_SET_LEVEL, std::string(1, *m_settings.level), nullptr);
        v.level = l.status == Status::Ok;
        if (settings.status == Status::Ok)
            settings = l;
    }
    ModuleInfo info;
    StepResult readBack = settings;
    if (settings.status == Status::Ok || settings.status == Status::ModuleError)
        readBack = m_module.ReadInfo(&info);
    if (readBack.status == Status::Ok && info.name != b.name)
        readBack = {Status::ModuleError, "the read-back shows the name '" + Cp949ToUtf8(info.name.value_or("")) + "'"};
    if (readBack.status != Status::Ok) {
        // Acknowledged (or seen), but not seen whole on the module.
        v.result = record::Result::Sent;
        v.reason = readBack.message;
        stays();
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
        stays();
        return;
    }
    if (unconfirmed)
        res.state = record::State::Named;
    if (settings.status != Status::Ok) {
        v.reason = settings.message;
        return;
    }
    if (m_settings.pin && info.pin != m_settings.pin) {
        v.pin = false;
        v.reason = "the read-back shows another PIN key";
        return;
    }
    if (came == Came::Seen) {
        v.result = record::Result::AlreadyNamed;
    } else if (b.state == record::State::Sent || b.state == record::State::Named) {
        v.result = record::Result::RenamedBack;
        v.reason = "renamed back (was '" + Cp949ToUtf8(current) + "')";
    } else {
        v.result = record::Result::Named;
    }
    Finished(b, res, rawAddress);
}

void CNaming::Finished(const record::Binding& b, PrinterResult& res, const std::string& rawAddress)
{
    if (Heard(b, res, rawAddress))
        Label(b, res);
}

bool CNaming::Heard(const record::Binding& b, PrinterResult& res, const std::string& rawAddress)
{
    if (!m_radio)
        return true;
    record::Visit& v = res.visit;
    const auto stillThere = [&] {
        std::string now;
        return Probe(&now).status == Status::Ok && now == rawAddress;
    };
    const RadioHeard heard = m_radio->Check(rawAddress, b.name, stillThere);
    v.radio = heard.word;
    v.nameHeard = heard.nameHeard;
    // Whatever the air says, the module holds the name: it stays bound
    // (named), and only its label waits.
    if (heard.interrupted || Interrupted()) {
        v.reason = Joined(v.reason, "radio check: " + (heard.reason.empty() ? "interrupted" : heard.reason) +
                                        "; not labelled");
        res.status = Status::Interrupted;
        return false;
    }
    if (!heard.passed) {
        v.reason = Joined(v.reason, "radio check: " + heard.reason + "; not labelled");
        return false;
    }
    if (!m_settings.print)
        return true;
    // The check took its time: the label goes only on the printer that was
    // heard. One that left gets it when it comes back.
    std::string now;
    const StepResult r = Probe(&now);
    if (r.status == Status::Ok && now == rawAddress) {
        m_addressRead = Clock::now();
        return true;
    }
    if (r.status == Status::Ok)
        v.reason = Joined(v.reason, "the printer left during the radio check (" + Cp949ToUtf8(now) +
                                        " answers instead): not labelled; it is labelled when it comes back");
    else
        v.reason = Joined(v.reason, "the printer left during the radio check: not labelled (" + r.message +
                                        "); it is labelled when it comes back");
    if (r.status == Status::Interrupted || r.status == Status::NoDevice)
        res.status = r.status;
    return false;
}

void CNaming::Label(const record::Binding& b, PrinterResult& res)
{
    if (!m_settings.print)
        return;
    record::Visit& v = res.visit;
    // A printer finished from `sent` (its answer lost, or taken away after
    // Set BDN) gets its label now; one that had it gets no second.
    bool printed = false;
    if (!b.isNew && !m_record.LabelPrinted(b, &printed)) {
        v.reason = Joined(v.reason, "label not printed: interrupted");
        return;  // the next visit prints it
    }
    if (printed)
        return;
    const StepResult p = m_module.PrintLabel(b.name);
    v.label = p.status == Status::Ok;
    if (!v.label)
        v.reason = Joined(v.reason, "label not printed: " + p.message);
}

void CNaming::Finish(PrinterResult& res)
{
    std::string notRecorded;
    const bool whole = m_record.AddVisit(res.visit, res.state, &notRecorded);
    res.recorded = notRecorded.empty();
    if (!res.recorded)
        res.visit.reason = Joined(res.visit.reason, "not recorded: " + notRecorded);
    // A signal cut the record's tries short: the station ends.
    if (!whole && res.status == Status::Ok)
        res.status = Status::Interrupted;
}

}  // namespace vendrill::cli
