#!/usr/bin/env bash
# The window on a Wayland desktop, natively: under a headless weston it makes
# an xdg toplevel with its caption and the desktop entry's app id, of one
# fixed size (so that no compositor offers to maximise it), and draws into
# it; SIGTERM ends it cleanly.
#   smoke_weston.sh VENDRILL
set -u
app="$1"
skip() { echo "SKIP: $*"; exit 77; }
fail() { echo "FAIL: $*"; [[ -f "$dir/trace" ]] && tail -40 "$dir/trace"; exit 1; }
command -v weston >/dev/null || skip "weston is not installed (scripts/setup.sh installs it)"
compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-*.so" >/dev/null ||
    skip "Qt's Wayland plugin is not installed (qt6-wayland)"

dir=$(mktemp -d)
chmod 700 "$dir"
weston_pid= app_pid=
cleanup() {
    [[ -n "$app_pid" ]] && kill -KILL "$app_pid" 2>/dev/null
    [[ -n "$weston_pid" ]] && kill "$weston_pid" 2>/dev/null && wait "$weston_pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
export XDG_RUNTIME_DIR="$dir"
unset DISPLAY
# Under AddressSanitizer: the Wayland client libraries keep allocations past
# the end (some made in Qt's Wayland plugin, which is unloaded before
# LeakSanitizer could name it); the smoke tests on X check the program's own.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
weston --backend=headless-backend.so --socket=vendrill-test --width=1024 --height=768 --idle-time=0 \
    >"$dir/weston.log" 2>&1 &
weston_pid=$!
for _ in $(seq 1 100); do [[ -S "$dir/vendrill-test" ]] && break; sleep 0.1; done
[[ -S "$dir/vendrill-test" ]] || { cat "$dir/weston.log"; fail "weston did not start"; }

WAYLAND_DISPLAY=vendrill-test QT_QPA_PLATFORM=wayland WAYLAND_DEBUG=1 "$app" --simulate >"$dir/trace" 2>&1 &
app_pid=$!
# Drawn: a buffer attached to a surface and committed after the toplevel was made.
for _ in $(seq 1 200); do
    grep -q 'xdg_toplevel@[0-9]*\.set_title("Vendrill Ver2.8")' "$dir/trace" &&
        grep -q 'wl_surface@[0-9]*\.attach(wl_buffer@' "$dir/trace" && break
    sleep 0.05
done
grep -q 'xdg_toplevel@[0-9]*\.set_title("Vendrill Ver2.8")' "$dir/trace" || fail "no toplevel with the caption"
grep -q 'wl_surface@[0-9]*\.attach(wl_buffer@' "$dir/trace" || fail "nothing drawn"
grep -q 'xdg_toplevel@[0-9]*\.set_app_id("vendrill")' "$dir/trace" || fail "app id is not vendrill"
min=$(grep -o 'set_min_size([0-9]*, [0-9]*)' "$dir/trace" | tail -1 | tr -dc '0-9,')
max=$(grep -o 'set_max_size([0-9]*, [0-9]*)' "$dir/trace" | tail -1 | tr -dc '0-9,')
[[ -n "$min" && "$min" == "$max" && "$min" != "0,0" ]] || fail "not one fixed size: min $min, max $max"

kill -TERM "$app_pid"
wait "$app_pid"; status=$?
app_pid=
(( status == 0 )) || fail "SIGTERM ended it with $status"
echo "ok: a native Wayland window of $min"
