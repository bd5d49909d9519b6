#include "radio/RadioCheck.h"

#include "radio/Bus.h"

#include <algorithm>
#include <cctype>
#include <initializer_list>
#include <vector>

namespace vendrill::radio {

namespace {

constexpr const char* kBluez = "org.bluez";
constexpr const char* kAdapter1 = "org.bluez.Adapter1";
constexpr const char* kDevice1 = "org.bluez.Device1";
constexpr const char* kAgentManager1 = "org.bluez.AgentManager1";
constexpr const char* kAgent1 = "org.bluez.Agent1";
constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kAgentPath = "/org/vendrill/radio/agent";
constexpr const char* kStartBluez = "start it with 'sudo systemctl start bluetooth'";

// Cleaning up is not cut short by the interrupt (it is what an interrupt
// asks for), but it is bounded too.
constexpr auto kCleanupTime = std::chrono::seconds(3);
// Between two pages of a printer that did not answer yet.
constexpr auto kRetryPause = std::chrono::milliseconds(500);

bool IsOneOf(const std::string& name, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&name](const char* n) { return name == n; });
}

class CChecker {
public:
    CChecker(const CheckRequest& request, int cancelFd) : m_request(request), m_cancelFd(cancelFd) {}
    ~CChecker() { sd_bus_slot_unref(m_agentSlot); }
    CChecker(const CChecker&) = delete;
    CChecker& operator=(const CChecker&) = delete;
    CheckResult Run();
    CheckResult RunReady();

private:
    bool Connect();
    bool FindAdapter();
    bool Forget(Clock::time_point deadline, bool cancellable);
    bool Hear();
    bool Discover();
    bool ReadName();
    void Pair();
    void CleanUp();

    bool Fail(Outcome outcome, std::string reason);
    // A call that did not succeed: interrupted, bus lost or bluetoothd gone,
    // else `outcome` with `what` and BlueZ's words. Always false.
    bool Failed(const Reply& reply, Outcome outcome, const std::string& what);
    bool Gone(const Reply& reply);
    std::string Within() const { return "within " + std::to_string(m_request.timeoutMs) + " ms"; }
    Reply Call(const char* path, const char* interface, const char* member, Clock::time_point deadline,
               bool cancellable = true, const char* object = nullptr);

    static int OnNameOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnInterfacesAdded(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error*);
    static int OnAgentCall(sd_bus_message* m, void* self, sd_bus_error* error);
    static const sd_bus_vtable kAgentTable[];

    CheckRequest m_request;
    int m_cancelFd;
    CBus m_bus;
    Clock::time_point m_start, m_deadline;
    CheckResult m_result;
    std::vector<std::string> m_mismatches;

    std::string m_owner;        // bluetoothd's unique name on the bus
    bool m_gone = false;        // bluetoothd left (or was restarted) meanwhile
    std::string m_adapter;      // object path
    std::string m_device;       // object path of our device under the adapter
    bool m_cached = false;      // BlueZ knew the device before the check
    bool m_deviceMade = false;  // the check may have made BlueZ keep a device
    bool m_discovering = false;
    bool m_found = false;       // the inquiry saw the device
    std::optional<std::string> m_name;
    sd_bus_slot* m_agentSlot = nullptr;
    bool m_agentRegistered = false;
    bool m_pairing = false;     // a Pair call may still be open at BlueZ
    bool m_pinAsked = false;
};

const sd_bus_vtable CChecker::kAgentTable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Release", "", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPinCode", "o", "s", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPinCode", "os", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestPasskey", "o", "u", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("DisplayPasskey", "ouq", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestConfirmation", "ou", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("RequestAuthorization", "o", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("AuthorizeService", "os", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("Cancel", "", "", CChecker::OnAgentCall, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END,
};

// ---- signals and the agent --------------------------------------------------

int CChecker::OnNameOwnerChanged(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto* c = static_cast<CChecker*>(self);
    const char *name = nullptr, *before = nullptr, *after = nullptr;
    if (sd_bus_message_read(m, "sss", &name, &before, &after) >= 0 && name && before &&
        std::string(name) == kBluez && !c->m_owner.empty() && c->m_owner == before)
        c->m_gone = true;
    return 0;
}

int CChecker::OnInterfacesAdded(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto* c = static_cast<CChecker*>(self);
    std::string path;
    Interfaces interfaces;
    if (!ReadInterfacesAdded(m, path, interfaces) || path != c->m_device)
        return 0;
    const auto device = interfaces.find(kDevice1);
    if (device == interfaces.end())
        return 0;
    c->m_found = true;
    if (const auto name = device->second.find("Name"); name != device->second.end())
        c->m_name = name->second.text;
    return 0;
}

int CChecker::OnPropertiesChanged(sd_bus_message* m, void* self, sd_bus_error*)
{
    auto* c = static_cast<CChecker*>(self);
    const char* interface = nullptr;
    Properties changed;
    if (sd_bus_message_read(m, "s", &interface) < 0 || !interface || std::string(interface) != kDevice1 ||
        !ReadProperties(m, changed))
        return 0;
    if (const auto name = changed.find("Name"); name != changed.end())
        c->m_name = name->second.text;
    return 0;
}

// The agent answers bluetoothd only, and only about the device being
// checked: any program on the system bus could ask it for the PIN key else.
int CChecker::OnAgentCall(sd_bus_message* m, void* self, sd_bus_error* error)
{
    auto* c = static_cast<CChecker*>(self);
    const char* sender = sd_bus_message_get_sender(m);
    const char* memberText = sd_bus_message_get_member(m);
    const std::string member = memberText ? memberText : "";
    if (!sender || c->m_owner != sender)
        return sd_bus_error_set(error, "org.bluez.Error.Rejected", "only bluetoothd may ask");
    if (member == "Release" || member == "Cancel")
        return sd_bus_reply_method_return(m, "");
    const char* device = nullptr;
    if (sd_bus_message_read(m, "o", &device) < 0 || !device || c->m_device != device)
        return sd_bus_error_set(error, "org.bluez.Error.Rejected", "not the device being checked");
    if (member == "RequestPinCode" && c->m_request.pin) {
        c->m_pinAsked = true;
        return sd_bus_reply_method_return(m, "s", c->m_request.pin->c_str());
    }
    // A printer shows nothing to compare, so the pairing the check started is
    // taken as it comes; a passkey to type or a service asking in is not ours.
    if (member == "RequestConfirmation" || member == "RequestAuthorization" || member == "DisplayPinCode" ||
        member == "DisplayPasskey")
        return sd_bus_reply_method_return(m, "");
    return sd_bus_error_set(error, "org.bluez.Error.Rejected", "not answered by this agent");
}

// ---- helpers -------------------------------------------------------------------

bool CChecker::Fail(Outcome outcome, std::string reason)
{
    m_result.outcome = outcome;
    m_result.reason = std::move(reason);
    return false;
}

bool CChecker::Gone(const Reply& reply)
{
    if (m_gone)
        return true;
    if (reply.wait != Wait::Done ||
        !IsOneOf(reply.errorName, {"org.freedesktop.DBus.Error.NoReply", "org.freedesktop.DBus.Error.ServiceUnknown",
                                   "org.freedesktop.DBus.Error.NameHasNoOwner",
                                   "org.freedesktop.DBus.Error.Disconnected"}))
        return false;
    // The bus answers for a service that left; whether it did, the bus tells.
    Message ask = m_bus.NewCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner");
    if (!ask || sd_bus_message_append(ask.get(), "s", kBluez) < 0)
        return false;
    const Reply owner = m_bus.Call(ask, Clock::now() + std::chrono::seconds(1), false);
    const char* now = nullptr;
    m_gone = owner.wait == Wait::Done &&
             (!owner.Ok() || sd_bus_message_read(owner.message.get(), "s", &now) < 0 || !now || m_owner != now);
    return m_gone;
}

bool CChecker::Failed(const Reply& reply, Outcome outcome, const std::string& what)
{
    if (reply.wait == Wait::Interrupted)
        return Fail(Outcome::Interrupted, "interrupted");
    if (reply.wait == Wait::Lost)
        return Fail(Outcome::NoBluetooth, "the connection to the system D-Bus was lost");
    if (Gone(reply))
        return Fail(Outcome::NoBluetooth, std::string("bluetoothd stopped during the check: ") + kStartBluez);
    if (reply.wait == Wait::TimedOut)
        return Fail(outcome, what + " " + Within());
    return Fail(outcome, what + " (" + reply.Describe() + ")");
}

// A method of BlueZ without arguments, or with the object path `object`.
Reply CChecker::Call(const char* path, const char* interface, const char* member, Clock::time_point deadline,
                     bool cancellable, const char* object)
{
    Message call = m_bus.NewCall(kBluez, path, interface, member);
    if (call && object && sd_bus_message_append(call.get(), "o", object) < 0)
        call.reset();
    return m_bus.Call(call, deadline, cancellable);
}

// ---- the steps -----------------------------------------------------------------

bool CChecker::Connect()
{
    std::string error;
    if (!m_bus.OpenSystem(&error))
        return Fail(Outcome::NoBluetooth, "cannot reach the system D-Bus (" + error + "): is dbus running?");
    m_bus.SetCancelFd(m_cancelFd);
    sd_bus* bus = m_bus.Get();
    // Watched before anything is looked at, so that nothing in between goes
    // unseen. The slots live as long as the connection.
    if (sd_bus_add_match_async(bus, nullptr,
                               "type='signal',sender='org.freedesktop.DBus',member='NameOwnerChanged',arg0='org.bluez'",
                               OnNameOwnerChanged, nullptr, this) < 0 ||
        sd_bus_add_match_async(bus, nullptr,
                               "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.ObjectManager',"
                               "member='InterfacesAdded'",
                               OnInterfacesAdded, nullptr, this) < 0)
        return Fail(Outcome::NoBluetooth, "cannot watch BlueZ on the system D-Bus");

    Message ask = m_bus.NewCall("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "GetNameOwner");
    if (!ask || sd_bus_message_append(ask.get(), "s", kBluez) < 0)
        return Fail(Outcome::NoBluetooth, "cannot ask the system D-Bus for bluetoothd");
    const Reply owner = m_bus.Call(ask, m_deadline);
    if (owner.wait == Wait::Done && owner.errorName == "org.freedesktop.DBus.Error.NameHasNoOwner")
        return Fail(Outcome::NoBluetooth, std::string("bluetoothd is not running: ") + kStartBluez);
    const char* name = nullptr;
    if (!owner.Ok() || sd_bus_message_read(owner.message.get(), "s", &name) < 0 || !name)
        return Failed(owner, Outcome::NoBluetooth, "the system D-Bus did not say whether bluetoothd runs");
    m_owner = name;
    return true;
}

bool CChecker::FindAdapter()
{
    const Reply reply = Call("/", "org.freedesktop.DBus.ObjectManager", "GetManagedObjects", m_deadline);
    ManagedObjects objects;
    if (!reply.Ok())
        return Failed(reply, Outcome::NoBluetooth, "bluetoothd did not list its adapters");
    if (!ReadManagedObjects(reply.message.get(), objects))
        return Fail(Outcome::NoBluetooth, "bluetoothd's list of adapters could not be read");

    // The first adapter switched on, in BlueZ's order (hci0, hci1, ...).
    std::string off, blocked;
    for (const auto& [path, interfaces] : objects) {
        const auto adapter = interfaces.find(kAdapter1);
        if (adapter == interfaces.end())
            continue;
        const Properties& p = adapter->second;
        const auto powered = p.find("Powered");
        if (powered != p.end() && powered->second.flag) {
            m_adapter = path;
            break;
        }
        const auto state = p.find("PowerState");
        std::string& slot = state != p.end() && state->second.text == "off-blocked" ? blocked : off;
        if (slot.empty())
            slot = path.substr(path.rfind('/') + 1);
    }
    if (m_adapter.empty()) {
        if (!blocked.empty())
            return Fail(Outcome::NoBluetooth, "the Bluetooth adapter " + blocked +
                                                  " is blocked (rfkill): unblock it with 'rfkill unblock bluetooth'");
        if (!off.empty())
            return Fail(Outcome::NoBluetooth,
                        "the Bluetooth adapter " + off + " is off: switch it on with 'bluetoothctl power on'");
        return Fail(Outcome::NoBluetooth,
                    "no Bluetooth adapter: plug one into the station ('bluetoothctl list' shows the adapters)");
    }
    if (m_request.address.empty())
        return true;  // only asked whether there is an adapter
    std::string part = m_request.address;
    std::replace(part.begin(), part.end(), ':', '_');
    m_device = m_adapter + "/dev_" + part;
    m_cached = objects.count(m_device) > 0;

    const std::string match = "type='signal',sender='org.bluez',interface='org.freedesktop.DBus.Properties',"
                              "member='PropertiesChanged',path='" + m_device + "'";
    if (sd_bus_add_match_async(m_bus.Get(), nullptr, match.c_str(), OnPropertiesChanged, nullptr, this) < 0)
        return Fail(Outcome::NoBluetooth, "cannot watch BlueZ on the system D-Bus");
    return true;
}

// BlueZ keeps what it learned of a device: a printer renamed since would
// show its old name. The device is dropped so that what follows is heard now.
bool CChecker::Forget(Clock::time_point deadline, bool cancellable)
{
    const Reply reply = Call(m_adapter.c_str(), kAdapter1, "RemoveDevice", deadline, cancellable, m_device.c_str());
    if (reply.Ok() || (reply.wait == Wait::Done && reply.errorName == "org.bluez.Error.DoesNotExist"))
        return true;
    return Failed(reply, Outcome::NoBluetooth, "BlueZ would not forget the device it knew");
}

// Connecting to the known address is quicker than an inquiry (up to about
// 10 s) and finds printers that are connectable but not discoverable.
// Adapter1.ConnectDevice is experimental in BlueZ (bluetoothd -E); without it
// the check falls back to an inquiry.
bool CChecker::Hear()
{
    std::string last;
    for (;;) {
        Message call = m_bus.NewCall(kBluez, m_adapter.c_str(), kAdapter1, "ConnectDevice");
        if (call && sd_bus_message_append(call.get(), "a{sv}", 1, "Address", "s", m_request.address.c_str()) < 0)
            call.reset();
        m_deviceMade = true;  // also a failed page can leave BlueZ a device
        const Reply reply = m_bus.Call(call, m_deadline);
        if (reply.Ok()) {
            const char* path = nullptr;
            if (sd_bus_message_read(reply.message.get(), "o", &path) >= 0 && path)
                m_device = path;
            m_result.heard = true;
            return true;
        }
        if (reply.wait == Wait::Done && reply.errorName == "org.freedesktop.DBus.Error.UnknownMethod")
            return Discover();
        if (reply.wait == Wait::Done && reply.errorName == "org.bluez.Error.NotReady")
            return Fail(Outcome::NoBluetooth, "the Bluetooth adapter " + m_adapter.substr(m_adapter.rfind('/') + 1) +
                                                  " went off: switch it on with 'bluetoothctl power on'");
        if (reply.wait != Wait::Done || Gone(reply))
            return Failed(reply, Outcome::NotHeard, "not heard");
        last = reply.Describe();
        // Something else made the device meanwhile (an inquiry of another
        // program): drop it again and page once more.
        if (reply.errorName == "org.bluez.Error.AlreadyExists" && !Forget(m_deadline, true))
            return false;
        const Wait pause = m_bus.WaitFor([this] { return m_gone; }, std::min(m_deadline, Clock::now() + kRetryPause));
        if (pause == Wait::Interrupted)
            return Fail(Outcome::Interrupted, "interrupted");
        if (pause == Wait::Lost || m_gone)
            return Failed(Reply{pause == Wait::Lost ? Wait::Lost : Wait::Done, nullptr, {}, {}}, Outcome::NotHeard,
                          "not heard");
        if (Clock::now() >= m_deadline)
            return Fail(Outcome::NotHeard, "not heard " + Within() + " (" + last + ")");
    }
}

bool CChecker::Discover()
{
    Message filter = m_bus.NewCall(kBluez, m_adapter.c_str(), kAdapter1, "SetDiscoveryFilter");
    if (filter && sd_bus_message_append(filter.get(), "a{sv}", 1, "Transport", "s", "bredr") >= 0) {
        const Reply set = m_bus.Call(filter, m_deadline);
        if (set.wait != Wait::Done || Gone(set))
            return Failed(set, Outcome::NoBluetooth, "BlueZ did not take the inquiry's filter");
        // An adapter that cannot filter still inquires.
    }
    const Reply start = Call(m_adapter.c_str(), kAdapter1, "StartDiscovery", m_deadline);
    if (!start.Ok())
        return Failed(start, Outcome::NoBluetooth, "BlueZ did not start an inquiry");
    m_discovering = true;
    const Wait wait = m_bus.WaitFor([this] { return m_found || m_gone; }, m_deadline);
    if (wait == Wait::Done && m_found) {
        m_result.heard = true;
        const Reply stop = Call(m_adapter.c_str(), kAdapter1, "StopDiscovery", m_deadline);
        m_discovering = !stop.Ok();
        return true;
    }
    return Failed(Reply{wait, nullptr, {}, {}}, Outcome::NotHeard, "not heard by an inquiry");
}

bool CChecker::ReadName()
{
    // Asked once the device answered: what signals brought before may be
    // the name BlueZ kept from an earlier visit.
    Message get = m_bus.NewCall(kBluez, m_device.c_str(), kProperties, "Get");
    if (get && sd_bus_message_append(get.get(), "ss", kDevice1, "Name") < 0)
        get.reset();
    const Reply reply = m_bus.Call(get, m_deadline);
    const char* name = nullptr;
    if (reply.Ok() && sd_bus_message_read(reply.message.get(), "v", "s", &name) >= 0 && name)
        m_name = name;
    else if (reply.wait != Wait::Done || Gone(reply))
        return Failed(reply, Outcome::NotHeard, "the name was not heard");
    // BlueZ has no name before the device told it; it may still come.
    if (!m_name && m_request.name) {
        const Wait wait = m_bus.WaitFor([this] { return m_name.has_value() || m_gone; }, m_deadline);
        if (wait != Wait::Done || m_gone) {
            if (wait == Wait::TimedOut) {
                m_mismatches.push_back("the device did not tell its name " + Within());
                m_result.nameOk = false;
                return true;
            }
            return Failed(Reply{wait, nullptr, {}, {}}, Outcome::NotHeard, "the name was not heard");
        }
    }
    m_result.nameHeard = m_name;
    if (m_request.name) {
        m_result.nameOk = m_name == m_request.name;
        if (!*m_result.nameOk)
            m_mismatches.push_back("the air shows the name '" + m_name.value_or("") + "', not '" +
                                   *m_request.name + "'");
    }
    return true;
}

void CChecker::Pair()
{
    m_result.paired = false;
    if (sd_bus_add_object_vtable(m_bus.Get(), &m_agentSlot, kAgentPath, kAgent1, kAgentTable, this) < 0) {
        Fail(Outcome::NoBluetooth, "cannot offer a pairing agent on the system D-Bus");
        return;
    }
    // KeyboardOnly: the agent can type a PIN key and shows nothing.
    Message reg = m_bus.NewCall(kBluez, "/org/bluez", kAgentManager1, "RegisterAgent");
    if (reg && sd_bus_message_append(reg.get(), "os", kAgentPath, "KeyboardOnly") < 0)
        reg.reset();
    const Reply registered = m_bus.Call(reg, m_deadline);
    if (!registered.Ok()) {
        Failed(registered, Outcome::NoBluetooth, "BlueZ did not take the pairing agent");
        return;
    }
    m_agentRegistered = true;
    const Reply preferred = Call("/org/bluez", kAgentManager1, "RequestDefaultAgent", m_deadline, true, kAgentPath);
    if (!preferred.Ok()) {
        Failed(preferred, Outcome::NoBluetooth, "BlueZ did not make the pairing agent its default");
        return;
    }

    m_pairing = true;
    const Reply paired = Call(m_device.c_str(), kDevice1, "Pair", m_deadline);
    if (paired.wait == Wait::Done)
        m_pairing = false;
    if (paired.Ok()) {
        m_result.paired = true;
        if (!m_pinAsked)
            m_result.reason = "paired without being asked for the PIN key";
        return;
    }
    if (paired.wait == Wait::Done &&
        IsOneOf(paired.errorName, {"org.bluez.Error.AuthenticationFailed", "org.bluez.Error.AuthenticationRejected",
                                   "org.bluez.Error.AuthenticationCanceled"}) &&
        !Gone(paired)) {
        m_mismatches.push_back(m_pinAsked ? "the PIN key was refused (" + paired.Describe() + ")"
                                          : "pairing was refused before the PIN key was asked for (" +
                                                paired.Describe() + ")");
        return;
    }
    if (paired.wait == Wait::Done && paired.errorName == "org.bluez.Error.AlreadyExists") {
        m_result.paired = true;  // paired by someone else between our look and now
        return;
    }
    Failed(paired, Outcome::NotHeard, paired.wait == Wait::TimedOut ? "pairing did not finish" : "pairing failed");
}

// The adapter keeps no printer: an open pairing is cancelled, the device
// removed (its pairing with it) and the agent withdrawn.
void CChecker::CleanUp()
{
    if (!m_bus.Get() || m_gone || m_owner.empty())
        return;
    const Clock::time_point deadline = Clock::now() + kCleanupTime;
    if (m_pairing)
        Call(m_device.c_str(), kDevice1, "CancelPairing", deadline, false);
    if (m_discovering)
        Call(m_adapter.c_str(), kAdapter1, "StopDiscovery", deadline, false);
    if (m_deviceMade || m_result.heard) {
        const CheckResult kept = m_result;
        if (!Forget(deadline, false)) {
            // The check's own result stands; that the device is still there is added.
            const std::string left = m_result.reason;
            m_result = kept;
            m_result.reason += std::string(m_result.reason.empty() ? "" : "; ") +
                               "the device could not be removed from the adapter: " + left;
        }
    }
    if (m_agentRegistered)
        Call("/org/bluez", kAgentManager1, "UnregisterAgent", deadline, false, kAgentPath);
    m_agentSlot = sd_bus_slot_unref(m_agentSlot);
}

CheckResult CChecker::Run()
{
    m_start = Clock::now();
    m_deadline = m_start + std::chrono::milliseconds(m_request.timeoutMs);
    m_result.outcome = Outcome::Ok;
    if (Connect() && FindAdapter() && (!m_cached || Forget(m_deadline, true)) && Hear() && ReadName() &&
        m_request.pin)
        Pair();
    CleanUp();
    if (m_result.outcome == Outcome::Ok && !m_mismatches.empty()) {
        m_result.outcome = Outcome::Mismatch;
        std::string reasons;
        for (const std::string& r : m_mismatches)
            reasons += (reasons.empty() ? "" : "; ") + r;
        m_result.reason = reasons + (m_result.reason.empty() ? "" : "; " + m_result.reason);
    }
    m_result.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    return m_result;
}

CheckResult CChecker::RunReady()
{
    m_start = Clock::now();
    m_deadline = m_start + std::chrono::milliseconds(m_request.timeoutMs);
    m_result.outcome = Outcome::Ok;
    if (Connect())
        FindAdapter();
    m_result.seconds = std::chrono::duration<double>(Clock::now() - m_start).count();
    return m_result;
}

}  // namespace

std::optional<std::string> ParseAddress(std::string_view text)
{
    std::string digits;
    if (text.size() == 17) {
        for (std::size_t k = 0; k < text.size(); ++k) {
            if (k % 3 == 2) {
                if (text[k] != ':')
                    return std::nullopt;
            } else {
                digits += text[k];
            }
        }
    } else if (text.size() == 12) {
        digits = text;
    } else {
        return std::nullopt;
    }
    std::string out;
    for (std::size_t k = 0; k < digits.size(); ++k) {
        const unsigned char c = static_cast<unsigned char>(digits[k]);
        if (!std::isxdigit(c))
            return std::nullopt;
        if (k > 0 && k % 2 == 0)
            out += ':';
        out += static_cast<char>(std::toupper(c));
    }
    return out;
}

const char* OutcomeWord(Outcome outcome)
{
    switch (outcome) {
    case Outcome::Ok: return "ok";
    case Outcome::NoBluetooth: return "no-bluetooth";
    case Outcome::NotHeard: return "not-heard";
    case Outcome::Mismatch: return "mismatch";
    case Outcome::Interrupted: return "interrupted";
    }
    return "?";
}

CheckResult Check(const CheckRequest& request, int cancelFd)
{
    return CChecker(request, cancelFd).Run();
}

CheckResult Ready(int timeoutMs, int cancelFd)
{
    CheckRequest request;
    request.timeoutMs = timeoutMs;
    return CChecker(request, cancelFd).RunReady();
}

}  // namespace vendrill::radio
