#!/usr/bin/env bash
# The real program on a private Xvfb display: the standard view by default,
# the full view with --all-settings (which stores nothing), and "All settings"
# from the right-click menu, which the next run remembers and which, turned
# off, takes its file away again. Exit 77 = skipped (no Xvfb or xdotool).
#   full_view_xvfb.sh VENDRILL OUT_DIR
set -u
app="$1"; out="$2"
for tool in Xvfb xwininfo xdotool; do
    command -v "$tool" >/dev/null || { echo "$tool not installed"; exit 77; }
done

config="$(mktemp -d)"
xvfb_pid=""; app_pid=""
cleanup() {
    [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && wait "$xvfb_pid" 2>/dev/null
    rm -rf "$config"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }

source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"
start_xvfb 191 290 1600x900 "$out/full_view_xvfb.log" || fail "could not start Xvfb"
export QT_QPA_PLATFORM=xcb XDG_CONFIG_HOME="$config"

wid=""
# start ARGS...: runs the program and waits for its window.
start() {
    "$app" "$@" >"$out/full_view_vendrill.log" 2>&1 &
    app_pid=$!
    for _ in $(seq 1 300); do
        wid="$(xdotool search --onlyvisible --name '^Vendrill Ver2\.8$' 2>/dev/null | head -1)"
        [[ -n "$wid" ]] && return 0
        kill -0 "$app_pid" 2>/dev/null || fail "vendrill exited early: $(cat "$out/full_view_vendrill.log")"
        sleep 0.1
    done
    fail "the window did not appear"
}
width() { xwininfo -id "$wid" | sed -n 's/.*Width: \([0-9]*\).*/\1/p'; }
# wait_width W: the window becomes W pixels wide (10 s at most).
wait_width() {
    for _ in $(seq 1 100); do
        [[ "$(width)" == "$1" ]] && return 0
        sleep 0.1
    done
    fail "the window is $(width) pixels wide, not $1"
}
stop() {
    kill -TERM "$app_pid"
    wait "$app_pid" || fail "vendrill ended with status $?"
    app_pid=""
}
# toggle: "All settings", the first item of the right-click menu.
toggle() {
    xdotool mousemove --window "$wid" 3 3 click 3
    for _ in $(seq 1 100); do
        (( $(xdotool search --onlyvisible --classname '^vendrill$' 2>/dev/null | wc -l) > 1 )) && break
        sleep 0.1
    done
    xdotool key Down Return
}
conf="$config/vendrill/vendrill.conf"

start
standard="$(width)"
stop
start --all-settings
full="$(width)"
(( full > standard )) || fail "--all-settings: $full pixels wide, the standard view $standard"
stop
[[ -z "$(ls -A "$config")" ]] || fail "the runs left $(ls -R "$config")"

start
toggle
wait_width "$full"
grep -qx 'allSettings=true' "$conf" 2>/dev/null || fail "the choice is not in $conf"
stop
start
wait_width "$full"
toggle
wait_width "$standard"
stop
[[ -z "$(ls -A "$config")" ]] || fail "turned off, the view left $(ls -R "$config")"
echo PASS
