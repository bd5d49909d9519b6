// The station's naming core over fakes: what one printer's visit comes to,
// as a table of what was sent before, how the module answers Set BDN, what
// the read-back shows and when a signal comes, against the visit's result,
// the name's state and what the module and the record hold afterwards.

#include "app/cli/Naming.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
#include <vector>

using namespace vendrill;
using namespace vendrill::cli;
using record::Result;
using record::State;

namespace {

std::atomic<int> g_signal{0};
int Signal()
{
    return g_signal.load();
}

constexpr const char* kAddress = "0019019F0001";
constexpr const char* kOther = "0019019F0002";
constexpr const char* kFactoryName = "VENDRILL-PRN";

// How the module takes Set BDN.
enum class SetBdn {
    Ack,           // takes the name and answers
    LostAck,       // takes the name, its answer is lost
    Lost,          // neither: the request is lost on the way
    Refused,       // answers '9' and keeps its name
    SignalBefore,  // the signal comes while the name is marked sent: nothing goes out
    SignalDuring,  // takes the name; the signal ends the wait for its answer
};
// What the read-back shows.
enum class ReadBack { Whole, Lost, OtherAddress, OldPin };
// What the address read beside the claim finds.
enum class Probe { Same, Swapped, Silent };

// A printer's module with its settings; answers as the row says.
class CFakeModule : public CNamingModule {
public:
    std::string address = kAddress;
    std::string name = kFactoryName;
    std::string pin = "0000";
    char level = '1';
    SetBdn setBdn = SetBdn::Ack;
    ReadBack readBack = ReadBack::Whole;
    Probe probe = Probe::Same;
    bool refusePin = false;
    std::vector<std::string> journal;  // "?3", "?2", ... and "P:" for a label
    int probes = 0;

    StepResult Request(char command, const std::string& argument, std::string* data, int) override
    {
        if (Signal() != 0)
            return {Status::Interrupted, "interrupted by SIGINT"};
        journal.push_back(std::string("?") + command);
        switch (command) {
        case proto::CMD_GET_BDA:
            if (++probes > 1 && probe == Probe::Silent)
                return {Status::Timeout, "no reply"};
            *data = probes > 1 && probe == Probe::Swapped ? kOther : address;
            return {};
        case proto::CMD_GET_BDN: *data = name; return {};
        case proto::CMD_SET_BDN: return SetName(argument);
        case proto::CMD_SET_PINKEY:
            if (refusePin)
                return {Status::ModuleError, "Bluetooth Setting Error"};
            pin = argument;
            return {};
        case proto::CMD_SET_LEVEL: level = argument.at(0); return {};
        default: return {Status::Failure, "not asked here"};
        }
    }
    StepResult ReadInfo(ModuleInfo* info) override
    {
        if (Signal() != 0)
            return {Status::Interrupted, "interrupted by SIGINT"};
        journal.push_back("read-back");
        if (readBack == ReadBack::Lost)
            return {Status::Timeout, "no reply to Get BDA"};
        info->address = readBack == ReadBack::OtherAddress ? kOther : address;
        info->pin = readBack == ReadBack::OldPin ? "0000" : pin;
        info->name = name;
        return {};
    }
    StepResult PrintLabel(const std::string& text) override
    {
        journal.push_back("P:" + text);
        return {};
    }

private:
    StepResult SetName(const std::string& text)
    {
        switch (setBdn) {
        case SetBdn::Ack: name = text; return {};
        case SetBdn::LostAck: name = text; return {Status::Timeout, "no reply to Set BDN"};
        case SetBdn::Lost: return {Status::Timeout, "no reply to Set BDN"};
        case SetBdn::Refused: return {Status::ModuleError, "Bluetooth Setting Error"};
        case SetBdn::SignalBefore: return {Status::Interrupted, "interrupted by SIGINT"};
        case SetBdn::SignalDuring:
            name = text;
            g_signal = 2;
            return {Status::Interrupted, "interrupted by SIGINT"};
        }
        return {};
    }
};

// The record: bindings by address, and the visits. A signal cuts its tries
// short as the station's record does.
class CFakeRecord : public CNamingRecord {
public:
    std::map<std::string, record::Binding> bindings;
    std::vector<std::pair<record::Visit, std::optional<State>>> visits;
    bool signalBeforeMark = false;  // the signal comes while the name is marked sent

    record::ClaimResult Claim(const std::string& address) override
    {
        record::ClaimResult c;
        if (Signal() != 0)
            return c;
        c.kind = record::ClaimResult::Kind::Ok;
        auto it = bindings.find(address);
        if (it == bindings.end()) {
            record::Binding b;
            b.id = static_cast<std::int64_t>(bindings.size()) + 1;
            b.number = b.id;
            b.name = "P-0000" + std::to_string(b.number);
            b.address = address;
            b.station = "st1";
            b.state = State::Claimed;
            b.since = "2026-12-01T08:00:00.000Z";
            it = bindings.emplace(address, b).first;
            c.binding = b;
            c.binding.isNew = true;
            return c;
        }
        c.binding = it->second;
        return c;
    }
    bool SetState(const record::Binding& binding, State state) override
    {
        if (signalBeforeMark)
            g_signal = 2;
        if (Signal() != 0)
            return false;
        bindings.at(binding.address).state = state;
        return true;
    }
    bool AddVisit(const record::Visit& visit, std::optional<State> state, std::string* notRecorded) override
    {
        notRecorded->clear();
        visits.emplace_back(visit, state);
        for (auto& [address, b] : bindings)
            if (b.id == visit.nameId && state)
                b.state = *state;
        return Signal() == 0;
    }
    bool LabelPrinted(const record::Binding& binding, bool* printed) override
    {
        *printed = false;
        for (const auto& [v, state] : visits)
            *printed = *printed || (v.nameId == binding.id && v.label);
        return Signal() == 0;
    }
    bool TakeWaited() override { return false; }

    // A name bound to the address before this visit.
    void Had(State state, const std::string& name = "P-00001")
    {
        record::Binding b;
        b.id = 1;
        b.number = 1;
        b.name = name;
        b.address = kAddress;
        b.station = "st0";
        b.state = state;
        b.since = "2026-11-30T08:00:00.000Z";
        bindings[kAddress] = b;
    }
};

struct Row {
    const char* what;
    std::optional<State> before;   // the address's name and its state before the visit (nullopt: none)
    bool moduleHasName;            // the module shows that name already
    SetBdn setBdn;
    ReadBack readBack;
    bool pin;                      // the station gives --pin 4321 and --level 3
    Result result;                 // the visit
    std::optional<State> state;    // the name's state in the record afterwards
    bool setSent;                  // Set BDN went out
    bool settingsHeld;             // the module holds the station's PIN key and level afterwards
    Status status = Status::Ok;
};

}  // namespace

TEST(Naming, WhatAVisitComesTo)
{
    using S = State;
    using R = Result;
    const Row rows[] = {
        // A new printer.
        {"named", {}, false, SetBdn::Ack, ReadBack::Whole, true, R::Named, S::Named, true, true},
        {"refused", {}, false, SetBdn::Refused, ReadBack::Whole, true, R::Failed, S::Failed, true, false},
        {"answer lost, name taken", {}, false, SetBdn::LostAck, ReadBack::Whole, true, R::Named, S::Named, true, true},
        {"request lost", {}, false, SetBdn::Lost, ReadBack::Whole, true, R::Sent, S::Sent, true, false},
        {"read-back lost", {}, false, SetBdn::Ack, ReadBack::Lost, true, R::Sent, S::Sent, true, true},
        {"read-back by another printer", {}, false, SetBdn::Ack, ReadBack::OtherAddress, false, R::Failed, S::Sent,
         true, false},
        {"another PIN key read back", {}, false, SetBdn::Ack, ReadBack::OldPin, true, R::Failed, S::Named, true,
         true},
        {"signal before Set BDN", {}, false, SetBdn::SignalBefore, ReadBack::Whole, true, R::Failed, S::Failed,
         false, false, Status::Interrupted},
        {"signal while the name is on its way", {}, false, SetBdn::SignalDuring, ReadBack::Whole, true, R::Sent,
         S::Sent, true, false, Status::Interrupted},
        // Its Set BDN went out on an earlier visit whose end was lost.
        {"sent, shows its name", S::Sent, true, SetBdn::Ack, ReadBack::Whole, false, R::AlreadyNamed, S::Named,
         false, false},
        {"sent, shows its name, settings", S::Sent, true, SetBdn::Ack, ReadBack::Whole, true, R::AlreadyNamed,
         S::Named, false, true},
        {"sent, shows its name, settings not read back", S::Sent, true, SetBdn::Ack, ReadBack::Lost, true, R::Sent,
         S::Sent, false, true},
        {"sent, shows its old name", S::Sent, false, SetBdn::Ack, ReadBack::Whole, true, R::RenamedBack, S::Named,
         true, true},
        {"sent, refused again", S::Sent, false, SetBdn::Refused, ReadBack::Whole, true, R::Failed, S::Sent, true,
         false},
        // A confirmed printer.
        {"named, shows its name", S::Named, true, SetBdn::Ack, ReadBack::Whole, true, R::AlreadyNamed, S::Named,
         false, false},
        {"named, shows another name: a clash", S::Named, false, SetBdn::Ack, ReadBack::Whole, true, R::Failed,
         S::Named, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        g_signal = 0;
        CFakeModule module;
        CFakeRecord rec;
        if (row.before) {
            rec.Had(*row.before);
            if (row.moduleHasName)
                module.name = "P-00001";
        }
        module.setBdn = row.setBdn;
        module.readBack = row.readBack;
        rec.signalBeforeMark = row.setBdn == SetBdn::SignalBefore;
        NamingSettings settings;
        settings.station = "st1";
        if (row.pin) {
            settings.pin = "4321";
            settings.level = '3';
        }
        PrinterResult r;
        {
            CNaming naming(module, rec, settings, Signal);
            r = naming.Visit(kAddress);
        }
        EXPECT_EQ(record::ResultName(r.visit.result), std::string(record::ResultName(row.result))) << r.visit.reason;
        ASSERT_EQ(rec.visits.size(), 1u) << "every visit is recorded";
        EXPECT_EQ(rec.visits[0].first.result, r.visit.result);
        ASSERT_EQ(rec.bindings.count(kAddress), 1u);
        EXPECT_EQ(StateName(rec.bindings.at(kAddress).state), std::string(StateName(*row.state)));
        EXPECT_EQ(r.visit.name, "P-00001");
        const long sets = std::count(module.journal.begin(), module.journal.end(), "?2");
        EXPECT_EQ(sets, row.setSent ? 1 : 0);
        EXPECT_EQ(module.pin == "4321" && module.level == '3', row.settingsHeld) << module.pin << " " << module.level;
        EXPECT_EQ(r.status, row.status);
        if (row.setBdn == SetBdn::Lost) {  // the operator is told what to do, not only what happened
            EXPECT_NE(r.visit.reason.find("put the printer on again"), std::string::npos) << r.visit.reason;
        }
    }
}

// Beside the table: a blank address takes no name; a swapped or silent
// printer at the read beside the claim gets nothing; a rework station gives a
// clashing printer its name again; the label comes once per name.
TEST(Naming, AddressesLabelsAndRework)
{
    g_signal = 0;
    NamingSettings settings;
    settings.station = "st1";
    {
        CFakeModule module;
        CFakeRecord rec;
        CNaming naming(module, rec, settings, Signal);
        const PrinterResult r = naming.Visit("000000000000");
        EXPECT_EQ(r.visit.result, Result::Failed);
        EXPECT_TRUE(rec.bindings.empty()) << "no number for an address no real module has";
        EXPECT_EQ(rec.visits.size(), 1u);
    }
    for (const Probe probe : {Probe::Swapped, Probe::Silent}) {
        CFakeModule module;
        module.probe = probe;
        module.probes = 1;  // the address that found the printer was read already
        CFakeRecord rec;
        CNaming naming(module, rec, settings, Signal);
        const PrinterResult r = naming.Visit(kAddress);
        EXPECT_EQ(r.visit.result, Result::Failed);
        EXPECT_EQ(rec.bindings.at(kAddress).state, State::Failed) << "nothing went out";
        EXPECT_EQ(std::count(module.journal.begin(), module.journal.end(), "?2"), 0);
        EXPECT_NE(r.visit.reason.find(probe == Probe::Swapped ? "swapped" : "left"), std::string::npos)
            << r.visit.reason;
    }
    {
        CFakeModule module;
        CFakeRecord rec;
        rec.Had(State::Named);
        NamingSettings rework = settings;
        rework.renameBack = true;
        CNaming naming(module, rec, rework, Signal);
        const PrinterResult r = naming.Visit(kAddress);
        EXPECT_EQ(r.visit.result, Result::RenamedBack);
        EXPECT_EQ(module.name, "P-00001");
        EXPECT_NE(r.say.find("given its name again"), std::string::npos) << r.say;
    }
    {
        // Sent, then found with its name on two later visits: one label.
        CFakeModule module;
        module.name = "P-00001";
        CFakeRecord rec;
        rec.Had(State::Sent);
        NamingSettings labels = settings;
        labels.print = true;
        CNaming naming(module, rec, labels, Signal);
        EXPECT_TRUE(naming.Visit(kAddress).visit.label);
        EXPECT_FALSE(naming.Visit(kAddress).visit.label);
        EXPECT_EQ(std::count(module.journal.begin(), module.journal.end(), "P:P-00001"), 1);
    }
}

namespace {

// The air as the row has it; it notes the check in the module's journal, and
// may see the printer swapped while it checks.
class CFakeRadio : public CNamingRadio {
public:
    CFakeModule* module = nullptr;
    RadioHeard heard;
    bool swap = false;

    RadioHeard Check(const std::string& rawAddress, const std::string& name, const std::function<bool()>&) override
    {
        module->journal.push_back("radio:" + rawAddress + ":" + name);
        if (heard.interrupted)
            g_signal = 2;
        if (swap)
            module->address = kOther;
        return heard;
    }
};

}  // namespace

// The check over the air comes after the read-back and before the label;
// whatever it says, the module holds the name, so the name stays named.
TEST(Naming, TheAirBeforeTheLabel)
{
    struct AirRow {
        const char* what;
        std::optional<State> before;  // the printer came back named already
        SetBdn setBdn;
        RadioHeard heard;
        bool swap;
        bool checked, labelled;
        Status status;
    };
    const RadioHeard ok{true, false, "ok", "P-00001", ""};
    const RadioHeard oldName{false, false, "mismatch", "VENDRILL-PRN", "the air shows another name"};
    const RadioHeard stopped{false, true, "interrupted", "", "interrupted by SIGINT"};
    const AirRow rows[] = {
        {"heard", {}, SetBdn::Ack, ok, false, true, true, Status::Ok},
        {"another name on the air", {}, SetBdn::Ack, oldName, false, true, false, Status::Ok},
        {"signal during the check", {}, SetBdn::Ack, stopped, false, true, false, Status::Interrupted},
        {"swapped during the check", {}, SetBdn::Ack, ok, true, true, false, Status::Ok},
        {"back named, heard now", State::Named, SetBdn::Ack, ok, false, true, true, Status::Ok},
        {"name not on the module", {}, SetBdn::Lost, ok, false, false, false, Status::Ok},
    };
    for (const AirRow& row : rows) {
        SCOPED_TRACE(row.what);
        g_signal = 0;
        CFakeModule module;
        CFakeRecord rec;
        if (row.before) {
            rec.Had(*row.before);
            module.name = "P-00001";
        }
        module.setBdn = row.setBdn;
        CFakeRadio radio;
        radio.module = &module;
        radio.heard = row.heard;
        radio.swap = row.swap;
        NamingSettings settings;
        settings.station = "st1";
        settings.pin = "4321";
        settings.print = true;
        PrinterResult r;
        {
            CNaming naming(module, rec, settings, Signal, &radio);
            r = naming.Visit(kAddress);
        }
        const auto at = [&](const std::string& entry) {
            return std::find(module.journal.begin(), module.journal.end(), entry) - module.journal.begin();
        };
        const long check = at(std::string("radio:") + kAddress + ":P-00001");
        const long label = at("P:P-00001");
        const long end = static_cast<long>(module.journal.size());
        EXPECT_EQ(check != end, row.checked);
        EXPECT_EQ(label != end, row.labelled);
        EXPECT_EQ(r.visit.label, row.labelled);
        EXPECT_EQ(r.status, row.status);
        ASSERT_EQ(rec.visits.size(), 1u) << "every visit is recorded";
        EXPECT_EQ(rec.visits[0].first.radio, row.checked ? row.heard.word : "");
        if (!row.checked)
            continue;
        EXPECT_EQ(rec.visits[0].first.nameHeard, row.heard.nameHeard);
        EXPECT_EQ(StateName(rec.bindings.at(kAddress).state), std::string("named")) << "the module holds the name";
        if (row.labelled)
            EXPECT_LT(check, label);
        if (row.before)
            continue;  // a named printer that came back is not read back
        EXPECT_LT(at("read-back"), check) << "heard after the read-back";
        if (!row.heard.passed)
            EXPECT_NE(r.visit.reason.find("radio check: " + row.heard.reason), std::string::npos) << r.visit.reason;
        if (row.swap)
            EXPECT_NE(r.visit.reason.find("left during the radio check"), std::string::npos) << r.visit.reason;
    }
}
