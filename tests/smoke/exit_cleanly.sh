#!/usr/bin/env bash
# Starts the real program on a private Xvfb display against vendrill-sim,
# presses "Open" and "Get Info" from the keyboard (xdotool) and ends it while
# the link is up and a request is outstanding. Every case must end with exit
# status 0 within a bounded time, and the module must have seen the requests.
#   1. silent module, Get Info outstanding, SIGTERM
#   2. silent module, the "Error(Timeout)" box is up, SIGTERM
#   3. answering module, a full Get Info, a second one outstanding, SIGTERM
#   4. silent module, Get Info outstanding, the window's close (WM_DELETE_WINDOW)
#   5. as 3, but started with standard output closed (>&-): trace lines must
#      not reach the X connection, which would hang the program at its end
# Exit 77 = skipped (Xvfb or xdotool missing).
set -u
app="$1"; sim="$2"; out="$3"
command -v Xvfb >/dev/null || { echo "Xvfb not installed"; exit 77; }
command -v xwininfo >/dev/null || { echo "xwininfo not installed"; exit 77; }
command -v xdotool >/dev/null || { echo "xdotool not installed"; exit 77; }
mkdir -p "$out"

xvfb_pid=""; app_pid=""; sim_pid=""
stop_children() {
    [[ -n "$app_pid" ]] && { kill -KILL "$app_pid" 2>/dev/null; wait "$app_pid" 2>/dev/null; }
    [[ -n "$sim_pid" ]] && { kill -KILL "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; }
    app_pid=""; sim_pid=""
}
cleanup() {
    stop_children
    [[ -n "$xvfb_pid" ]] && { kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; }
}
trap cleanup EXIT

fail() {
    echo "FAIL ($case_name): $*"
    echo "--- vendrill output (tail)"; tail -n 20 "$out/exit_app.log" 2>/dev/null
    echo "--- vendrill-sim output"; cat "$out/exit_sim.log" 2>/dev/null
    exit 1
}

# Polls a condition (a shell command) every 0.1 s, for at most $1 tenths.
wait_until() {
    local tenths="$1"; shift
    for _ in $(seq 1 "$tenths"); do
        eval "$@" && return 0
        sleep 0.1
    done
    return 1
}

# A private X server on a free display number.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"
start_xvfb 191 290 800x600 "$out/exit_xvfb.log" || { echo "could not start Xvfb"; cat "$out/exit_xvfb.log"; exit 1; }
export QT_QPA_PLATFORM=xcb

# Sends WM_DELETE_WINDOW to a window, as a window manager's close box does.
# There is no window manager here, so xdotool cannot ask for it.
send_delete_window() {
    python3 - "$1" <<'PY'
import ctypes, sys
x = ctypes.cdll.LoadLibrary("libX11.so.6")
x.XOpenDisplay.restype = ctypes.c_void_p
x.XOpenDisplay.argtypes = [ctypes.c_char_p]
x.XInternAtom.restype = ctypes.c_ulong
x.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x.XSendEvent.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_long, ctypes.c_void_p]
x.XFlush.argtypes = [ctypes.c_void_p]
x.XCloseDisplay.argtypes = [ctypes.c_void_p]
class ClientMessage(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong), ("message_type", ctypes.c_ulong),
                ("format", ctypes.c_int), ("l", ctypes.c_long * 5)]
class Event(ctypes.Union):
    _fields_ = [("xclient", ClientMessage), ("pad", ctypes.c_long * 24)]
d = x.XOpenDisplay(None)
if not d:
    sys.exit(1)
wid = int(sys.argv[1], 0)
ev = Event()
ev.xclient.type = 33  # ClientMessage
ev.xclient.window = wid
ev.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
ev.xclient.format = 32
ev.xclient.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
ev.xclient.l[1] = 0  # CurrentTime
ok = x.XSendEvent(d, wid, 0, 0, ctypes.byref(ev))
x.XFlush(d)
x.XCloseDisplay(d)
sys.exit(0 if ok else 1)
PY
}

holds_port() {  # the program has the module's line open
    ls -l "/proc/$app_pid/fd" 2>/dev/null | grep -q -- "-> $pts\$"
}
traced() {  # a whole trace line of the program
    grep -qx -- "$1" "$out/exit_app.log"
}
traced_count() {
    grep -cx -- "$1" "$out/exit_app.log"
}
box_up() {  # a message box (caption "Vendrill") is mapped
    xwininfo -root -tree 2>/dev/null | grep -q '"Vendrill": ("'
}

# run_case NAME SIM-OPTIONS GET-INFO-PRESSES WAIT-FOR-BOX HOW-TO-END MIN-REQUESTS [closed-stdout]
run_case() {
    case_name="$1"; local sim_opts="$2" presses="$3" want_box="$4" how="$5" min_requests="$6" stdout="${7:-}"
    : >"$out/exit_app.log"; : >"$out/exit_sim.log"

    # shellcheck disable=SC2086
    "$sim" $sim_opts >"$out/exit_sim.log" 2>&1 &
    sim_pid=$!
    wait_until 100 'grep -q "module on /dev/" "$out/exit_sim.log"' || fail "vendrill-sim did not start"
    pts="$(sed -n 's/.*module on \(\/dev\/[^ ]*\) .*/\1/p' "$out/exit_sim.log" | head -n 1)"

    if [[ "$stdout" == closed-stdout ]]; then
        VENDRILL_COM1="$pts" "$app" >&- 2>"$out/exit_app.log" &
    else
        VENDRILL_COM1="$pts" "$app" >"$out/exit_app.log" 2>&1 &
    fi
    app_pid=$!
    local info=""
    for _ in $(seq 1 300); do
        info="$(xwininfo -name "Vendrill Ver2.8" 2>/dev/null)" && [[ "$info" == *"IsViewable"* ]] && break
        info=""
        kill -0 "$app_pid" 2>/dev/null || fail "vendrill exited early"
        sleep 0.1
    done
    [[ -n "$info" ]] || fail "window did not appear"
    local wid
    wid="$(echo "$info" | sed -n 's/.*Window id: \(0x[0-9a-fA-F]*\).*/\1/p')"

    # Focus starts on "Open"; Get Info is seven Tab stops further on (Close,
    # the three read-only fields, check boxes 1017 and 1018).
    xdotool windowfocus --sync "$wid" 2>/dev/null || xdotool windowfocus "$wid"
    xdotool key --delay 50 space
    wait_until 100 holds_port || fail "the link did not open"
    xdotool key --delay 50 Tab Tab Tab Tab Tab Tab Tab
    local p
    for p in $(seq 1 "$presses"); do
        xdotool key space
        if [[ "$stdout" == closed-stdout ]]; then
            # No trace to follow; descriptor 1 must be /dev/null, not the X connection.
            [[ "$(readlink "/proc/$app_pid/fd/1")" == /dev/null ]] || fail "descriptor 1 is not /dev/null"
            continue
        fi
        wait_until 100 '[[ $(traced_count "ESC ~ 3 Get GDA") -ge '"$p"' ]]' || fail "Get Info press $p sent nothing"
        if (( p < presses )); then
            wait_until 100 'traced "Get Level"' || fail "the first Get Info did not complete"
        fi
    done
    if [[ "$want_box" == box ]]; then
        wait_until 100 box_up || fail "no Error(Timeout) box"
    else
        # Still the window of the dialog alone: the request is outstanding.
        box_up && fail "unexpected message box"
        holds_port || fail "the link closed too early"
    fi

    case "$how" in
        term) kill -TERM "$app_pid" ;;
        close)
            command -v python3 >/dev/null || { echo "skip ($case_name): python3 not available"; stop_children; return; }
            send_delete_window "$wid" || fail "could not send WM_DELETE_WINDOW"
            ;;
    esac
    local status=""
    for _ in $(seq 1 100); do  # ten seconds at most
        kill -0 "$app_pid" 2>/dev/null || { wait "$app_pid"; status=$?; break; }
        sleep 0.1
    done
    [[ -n "$status" ]] || fail "vendrill did not end within 10 s"
    app_pid=""
    [[ "$status" == 0 ]] || fail "vendrill ended with status $status"

    kill -TERM "$sim_pid"
    wait "$sim_pid"; local sim_status=$?
    sim_pid=""
    [[ "$sim_status" == 0 ]] || fail "vendrill-sim ended with status $sim_status"
    local requests
    requests="$(sed -n 's/.*stopped after \([0-9]*\) requests.*/\1/p' "$out/exit_sim.log")"
    [[ -n "$requests" ]] || fail "vendrill-sim did not report its requests"
    (( requests >= min_requests )) || fail "vendrill-sim saw $requests requests, expected at least $min_requests"
    echo "ok ($case_name): exit status 0, module saw $requests requests"
}

run_case "silent module, request outstanding, SIGTERM" "--silent" 1 nobox term 1
run_case "silent module, time-out box up, SIGTERM" "--silent" 1 box term 1
run_case "answering module, second Get Info outstanding, SIGTERM" "" 2 nobox term 5
run_case "silent module, request outstanding, window closed" "--silent" 1 nobox close 1
run_case "answering module, Get Info, standard output closed, SIGTERM" "" 1 nobox term 0 closed-stdout
exit 0
