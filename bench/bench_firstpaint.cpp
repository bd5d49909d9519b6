// Starts a GUI program on the X display and times, from just before the
// start, the mapping of its top-level window with the given title and the
// first drawing into that window (reported by the DAMAGE extension, so it is
// the program's own first paint, seen from outside). Then waits until the
// window has been quiet for a moment, reads the program's resident memory and
// ends it with SIGTERM. Measures any program the same way, so the settings
// dialog and a bare Qt dialog are compared on equal terms.
//
// Output, one line on standard output:
//   FIRSTPAINT <map ms> <paint ms> <VmRSS kB> <width> <height>

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <memory>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
}

template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

xcb_atom_t Intern(xcb_connection_t* c, const char* name)
{
    Reply<xcb_intern_atom_reply_t> r(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr),
        &std::free);
    return r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

std::string Property(xcb_connection_t* c, xcb_window_t w, xcb_atom_t prop, xcb_atom_t type)
{
    Reply<xcb_get_property_reply_t> r(
        xcb_get_property_reply(c, xcb_get_property(c, 0, w, prop, type, 0, 1024), nullptr), &std::free);
    if (!r || r->format != 8)
        return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                       static_cast<std::size_t>(xcb_get_property_value_length(r.get())));
}

long RssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// SIGTERM, then a bounded wait for the exit; SIGKILL if it does not come.
void EndChild(pid_t pid)
{
    ::kill(pid, SIGTERM);
    const auto t0 = Clock::now();
    while (MsSince(t0) < 5000) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD))
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

int Usage()
{
    std::fprintf(stderr, "usage: bench_firstpaint --title TITLE [--timeout-ms N] [--quiet-ms N] -- PROGRAM [ARGS...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string title;
    int timeoutMs = 30000;
    int quietMs = 300;
    int i = 1;
    for (; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--")) {
            ++i;
            break;
        }
        if (!std::strcmp(argv[i], "--title") && i + 1 < argc)
            title = argv[++i];
        else if (!std::strcmp(argv[i], "--timeout-ms") && i + 1 < argc)
            timeoutMs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--quiet-ms") && i + 1 < argc)
            quietMs = std::atoi(argv[++i]);
        else
            return Usage();
    }
    if (title.empty() || i >= argc)
        return Usage();

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "bench_firstpaint: cannot connect to the X display\n");
        return 1;
    }
    // The program started below must not inherit the connection.
    ::fcntl(xcb_get_file_descriptor(c), F_SETFD, FD_CLOEXEC);
    xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int s = 0; s < screenNumber; ++s)
        xcb_screen_next(&it);
    const xcb_window_t root = it.data->root;

    const xcb_query_extension_reply_t* damageExt = xcb_get_extension_data(c, &xcb_damage_id);
    if (!damageExt || !damageExt->present) {
        std::fprintf(stderr, "bench_firstpaint: the X server has no DAMAGE extension\n");
        xcb_disconnect(c);
        return 1;
    }
    std::free(xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
    const std::uint8_t damageNotify = damageExt->first_event + XCB_DAMAGE_NOTIFY;
    const xcb_atom_t netWmName = Intern(c, "_NET_WM_NAME");
    const xcb_atom_t utf8 = Intern(c, "UTF8_STRING");

    // Hear of every top-level window created and mapped; the round trip makes
    // sure the selection is in force before the program starts.
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const auto t0 = Clock::now();
    const int spawned = ::posix_spawnp(&pid, argv[i], &actions, nullptr, argv + i, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
        std::fprintf(stderr, "bench_firstpaint: cannot start %s: %s\n", argv[i], std::strerror(spawned));
        xcb_disconnect(c);
        return 1;
    }

    std::map<xcb_window_t, xcb_damage_damage_t> damages;
    xcb_window_t target = XCB_WINDOW_NONE;
    double mapMs = -1, paintMs = -1, lastDamageMs = -1;
    int width = 0, height = 0;
    bool exited = false;
    for (;;) {
        const double now = MsSince(t0);
        if (now > timeoutMs)
            break;
        if (paintMs >= 0 && (now - lastDamageMs >= quietMs || now - paintMs >= 10 * quietMs))
            break;
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            break;
        }
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const std::uint8_t type = ev->response_type & 0x7F;
            if (type == XCB_CREATE_NOTIFY) {
                auto* e = reinterpret_cast<xcb_create_notify_event_t*>(ev);
                if (e->parent == root && !damages.count(e->window)) {
                    const xcb_damage_damage_t d = xcb_generate_id(c);
                    xcb_damage_create(c, d, e->window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
                    damages[e->window] = d;
                }
            } else if (type == XCB_MAP_NOTIFY && target == XCB_WINDOW_NONE) {
                auto* e = reinterpret_cast<xcb_map_notify_event_t*>(ev);
                const double at = MsSince(t0);
                std::string name = Property(c, e->window, netWmName, utf8);
                if (name.empty())
                    name = Property(c, e->window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING);
                if (name == title && damages.count(e->window)) {
                    target = e->window;
                    mapMs = at;
                    Reply<xcb_get_geometry_reply_t> g(xcb_get_geometry_reply(c, xcb_get_geometry(c, target), nullptr),
                                                      &std::free);
                    if (g) {
                        width = g->width;
                        height = g->height;
                    }
                }
            } else if (type == damageNotify) {
                auto* e = reinterpret_cast<xcb_damage_notify_event_t*>(ev);
                const double at = MsSince(t0);
                if (e->drawable == target && target != XCB_WINDOW_NONE) {
                    if (paintMs < 0)
                        paintMs = at;
                    lastDamageMs = at;
                }
                // Ask for the next report of this window.
                xcb_damage_subtract(c, e->damage, XCB_NONE, XCB_NONE);
            }
            std::free(ev);
        }
        xcb_flush(c);
        if (xcb_connection_has_error(c))
            break;
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        ::poll(&p, 1, 20);
    }

    const long rss = (!exited && paintMs >= 0) ? RssKb(pid) : -1;
    if (!exited)
        EndChild(pid);
    xcb_disconnect(c);
    if (paintMs < 0) {
        std::fprintf(stderr, "bench_firstpaint: no painted window \"%s\" (%s)\n", title.c_str(),
                     exited ? "program ended" : "timed out");
        return 1;
    }
    std::printf("FIRSTPAINT\t%.2f\t%.2f\t%ld\t%d\t%d\n", mapMs, paintMs, rss, width, height);
    return 0;
}
