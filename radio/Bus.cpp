#include "radio/Bus.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include <poll.h>

namespace vendrill::radio {

namespace {

std::string ErrnoText(int negative)
{
    return std::strerror(negative < 0 ? -negative : negative);
}

struct Pending {
    bool done = false;
    Message reply;
};

int OnReply(sd_bus_message* m, void* userdata, sd_bus_error*)
{
    auto* pending = static_cast<Pending*>(userdata);
    pending->reply.reset(sd_bus_message_ref(m));
    pending->done = true;
    return 0;
}

std::uint64_t MonotonicUsec()
{
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

// One variant: texts and flags are kept, anything else skipped.
bool ReadValue(sd_bus_message* m, Value& out)
{
    char type = 0;
    const char* contents = nullptr;
    if (sd_bus_message_peek_type(m, &type, &contents) < 0 || type != 'v' || !contents)
        return false;
    if (std::strcmp(contents, "s") == 0 || std::strcmp(contents, "o") == 0) {
        const char* text = nullptr;
        if (sd_bus_message_read(m, "v", contents, &text) < 0)
            return false;
        out.type = contents[0];
        out.text = text ? text : "";
        return true;
    }
    if (std::strcmp(contents, "b") == 0) {
        int flag = 0;
        if (sd_bus_message_read(m, "v", "b", &flag) < 0)
            return false;
        out.type = 'b';
        out.flag = flag != 0;
        return true;
    }
    return sd_bus_message_skip(m, "v") >= 0;
}

// a{...}: each entry's key (of type keyType) goes to readRest, which reads the
// rest of the entry.
template <typename ReadRest>
bool ReadEntries(sd_bus_message* m, const char* entry, char keyType, ReadRest&& readRest)
{
    const std::string array = std::string("{") + entry + "}";
    const char keyFormat[2] = {keyType, '\0'};
    if (sd_bus_message_enter_container(m, 'a', array.c_str()) < 0)
        return false;
    int r;
    while ((r = sd_bus_message_enter_container(m, 'e', entry)) > 0) {
        const char* key = nullptr;
        if (sd_bus_message_read(m, keyFormat, &key) < 0 || !key || !readRest(key) ||
            sd_bus_message_exit_container(m) < 0)
            return false;
    }
    return r == 0 && sd_bus_message_exit_container(m) >= 0;
}

// The interfaces of one object, each with its properties.
bool ReadInterfaces(sd_bus_message* m, Interfaces& out)
{
    return ReadEntries(m, "sa{sv}", 's', [&](const char* name) { return ReadProperties(m, out[name]); });
}

}  // namespace

std::string Reply::Describe() const
{
    switch (wait) {
    case Wait::Done:
        return errorText.empty() ? errorName : errorName + ": " + errorText;
    case Wait::TimedOut: return "no answer in time";
    case Wait::Interrupted: return "interrupted";
    case Wait::Lost: return "the connection to D-Bus was lost";
    }
    return {};
}

CBus::~CBus()
{
    Close();
}

void CBus::Close()
{
    // No flush: every call was waited for, and a frozen bus must not hold us.
    if (m_bus)
        m_bus = sd_bus_close_unref(m_bus);
}

bool CBus::OpenSystem(std::string* error)
{
    Close();
    const int r = sd_bus_open_system(&m_bus);
    if (r < 0) {
        m_bus = nullptr;
        *error = ErrnoText(r);
        return false;
    }
    return true;
}

bool CBus::OpenAddress(const std::string& address, std::string* error)
{
    Close();
    int r = sd_bus_new(&m_bus);
    if (r >= 0)
        r = sd_bus_set_address(m_bus, address.c_str());
    if (r >= 0)
        r = sd_bus_set_bus_client(m_bus, 1);
    if (r >= 0)
        r = sd_bus_start(m_bus);
    if (r < 0) {
        Close();
        *error = ErrnoText(r);
        return false;
    }
    return true;
}

bool CBus::Cancelled() const
{
    if (m_cancelFd < 0)
        return false;
    pollfd fd{m_cancelFd, POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0 && (fd.revents & POLLIN);
}

Message CBus::NewCall(const char* destination, const char* path, const char* interface, const char* member)
{
    sd_bus_message* m = nullptr;
    if (!m_bus || sd_bus_message_new_method_call(m_bus, &m, destination, path, interface, member) < 0)
        return nullptr;
    return Message(m);
}

Reply CBus::Call(const Message& call, Clock::time_point deadline, bool cancellable)
{
    Reply reply;
    if (!m_bus || !call)
        return reply;
    Pending pending;
    sd_bus_slot* slot = nullptr;
    // sd-bus forgets the call a little after our own deadline, so its own
    // time-out never decides first.
    const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
    const std::uint64_t usec = static_cast<std::uint64_t>(std::max<long long>(left, 0)) + 1000000u;
    if (sd_bus_call_async(m_bus, &slot, call.get(), OnReply, &pending, usec) < 0)
        return reply;
    reply.wait = WaitFor([&pending] { return pending.done; }, deadline, cancellable);
    // Dropping the slot forgets a call still pending: its reply, should it
    // come, finds no callback.
    sd_bus_slot_unref(slot);
    if (reply.wait != Wait::Done)
        return reply;
    reply.message = std::move(pending.reply);
    if (const sd_bus_error* e = sd_bus_message_get_error(reply.message.get())) {
        reply.errorName = e->name ? e->name : "error";
        reply.errorText = e->message ? e->message : "";
    }
    return reply;
}

Wait CBus::WaitFor(const std::function<bool()>& done, Clock::time_point deadline, bool cancellable)
{
    if (!m_bus)
        return Wait::Lost;
    for (;;) {
        for (;;) {
            const int r = sd_bus_process(m_bus, nullptr);
            if (r < 0)
                return Wait::Lost;
            if (done())
                return Wait::Done;
            if (r == 0)
                break;
        }
        if (cancellable && Cancelled())
            return Wait::Interrupted;
        const auto now = Clock::now();
        if (now >= deadline)
            return Wait::TimedOut;
        long long ms = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        std::uint64_t until = 0;
        if (sd_bus_get_timeout(m_bus, &until) >= 0 && until != UINT64_MAX) {
            const std::uint64_t mono = MonotonicUsec();
            ms = std::min<long long>(ms, until > mono ? static_cast<long long>((until - mono + 999) / 1000) : 0);
        }
        const int fd = sd_bus_get_fd(m_bus);
        const int events = sd_bus_get_events(m_bus);
        if (fd < 0 || events < 0)
            return Wait::Lost;
        pollfd fds[2] = {{fd, static_cast<short>(events), 0}, {m_cancelFd, POLLIN, 0}};
        const nfds_t n = cancellable && m_cancelFd >= 0 ? 2 : 1;
        if (::poll(fds, n, static_cast<int>(std::min<long long>(ms, INT_MAX))) < 0 && errno != EINTR)
            return Wait::Lost;
        if (n == 2 && (fds[1].revents & POLLIN))
            return Wait::Interrupted;
    }
}

bool ReadProperties(sd_bus_message* m, Properties& out)
{
    return ReadEntries(m, "sv", 's', [&](const char* key) {
        Value value;
        if (!ReadValue(m, value))
            return false;
        if (value.type)
            out[key] = std::move(value);
        return true;
    });
}

bool ReadManagedObjects(sd_bus_message* m, ManagedObjects& out)
{
    return ReadEntries(m, "oa{sa{sv}}", 'o', [&](const char* path) { return ReadInterfaces(m, out[path]); });
}

bool ReadInterfacesAdded(sd_bus_message* m, std::string& path, Interfaces& out)
{
    const char* p = nullptr;
    if (sd_bus_message_read(m, "o", &p) < 0)
        return false;
    path = p;
    return ReadInterfaces(m, out);
}

}  // namespace vendrill::radio
