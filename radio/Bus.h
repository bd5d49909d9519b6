#pragma once

// A connection to a D-Bus bus through sd-bus, whose every wait is bounded by
// a deadline and ends at once when an interrupt descriptor becomes readable.
// One thread; nothing here starts another.

#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace vendrill::radio {

using Clock = std::chrono::steady_clock;

struct MessageUnref {
    void operator()(sd_bus_message* m) const { sd_bus_message_unref(m); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

// How a wait ended.
enum class Wait { Done, TimedOut, Interrupted, Lost };

struct Reply {
    Wait wait = Wait::Lost;
    Message message;         // the reply, when one came
    std::string errorName;   // the method's error, when it failed
    std::string errorText;
    bool Ok() const { return wait == Wait::Done && errorName.empty(); }
    // "name: text", or how the wait ended.
    std::string Describe() const;
};

// A property value as far as the radio needs one: text (s, o) or a flag (b).
struct Value {
    char type = 0;  // 's', 'o', 'b'
    std::string text;
    bool flag = false;
};
using Properties = std::map<std::string, Value>;
// Interfaces of an object, each with its properties.
using Interfaces = std::map<std::string, Properties>;
using ManagedObjects = std::map<std::string, Interfaces>;

class CBus {
public:
    CBus() = default;
    ~CBus();
    CBus(const CBus&) = delete;
    CBus& operator=(const CBus&) = delete;

    // The system bus (DBUS_SYSTEM_BUS_ADDRESS when set), or the bus at a
    // D-Bus address. False with the reason in *error.
    bool OpenSystem(std::string* error);
    bool OpenAddress(const std::string& address, std::string* error);
    void Close();
    sd_bus* Get() const { return m_bus; }

    // A readable descriptor ends every cancellable wait (-1: none).
    void SetCancelFd(int fd) { m_cancelFd = fd; }
    bool Cancelled() const;

    // A method call to fill with sd_bus_message_append; null when it cannot be made.
    Message NewCall(const char* destination, const char* path, const char* interface, const char* member);
    // Sends the call and waits for its reply until the deadline, while
    // signals and calls to our objects are served.
    Reply Call(const Message& call, Clock::time_point deadline, bool cancellable = true);
    // Serves the bus until done() holds, the deadline passes or the wait is cut.
    Wait WaitFor(const std::function<bool()>& done, Clock::time_point deadline, bool cancellable = true);

private:
    sd_bus* m_bus = nullptr;
    int m_cancelFd = -1;
};

// Readers for the shapes BlueZ answers with; false when the message is not
// of that shape.
bool ReadProperties(sd_bus_message* m, Properties& out);            // a{sv}
bool ReadManagedObjects(sd_bus_message* m, ManagedObjects& out);    // a{oa{sa{sv}}}
bool ReadInterfacesAdded(sd_bus_message* m, std::string& path, Interfaces& out);  // oa{sa{sv}}

}  // namespace vendrill::radio
