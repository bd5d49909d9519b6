#!/usr/bin/env bash
# Starts the real program on a private Xvfb display, waits for its window,
# takes screenshots into the build folder and closes the program with SIGTERM,
# which it handles as a clean close. Exit 77 = skipped (no Xvfb).
set -u
app="$1"; grab="$2"; out="$3"
command -v Xvfb >/dev/null || { echo "Xvfb not installed"; exit 77; }
command -v xwininfo >/dev/null || { echo "xwininfo not installed"; exit 77; }

xvfb_pid=""; app_pid=""
cleanup() {
    [[ -n "$app_pid" ]] && kill "$app_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && kill "$xvfb_pid" 2>/dev/null
    [[ -n "$xvfb_pid" ]] && wait "$xvfb_pid" 2>/dev/null
}
trap cleanup EXIT

# A private X server on a free display number.
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/xvfb.sh"
start_xvfb 90 190 800x600 "$out/xvfb.log" || { echo "could not start Xvfb"; cat "$out/xvfb.log"; exit 1; }
export QT_QPA_PLATFORM=xcb

"$app" >"$out/vendrill.log" 2>&1 &
app_pid=$!
info=""
for _ in $(seq 1 300); do
    info="$(xwininfo -name "Vendrill Ver2.8" 2>/dev/null)" && [[ "$info" == *"IsViewable"* ]] && break
    info=""
    kill -0 "$app_pid" 2>/dev/null || { echo "vendrill exited early"; cat "$out/vendrill.log"; exit 1; }
    sleep 0.1
done
[[ -n "$info" ]] || { echo "window 'Vendrill Ver2.8' did not appear"; exit 1; }
echo "$info" | grep -E 'Window id|Width|Height'
wid="$(echo "$info" | sed -n 's/.*Window id: \(0x[0-9a-fA-F]*\).*/\1/p')"
width="$(echo "$info" | sed -n 's/.*Width: \([0-9]*\).*/\1/p')"
height="$(echo "$info" | sed -n 's/.*Height: \([0-9]*\).*/\1/p')"
(( width > 300 && height > 200 )) || { echo "window too small: ${width}x${height}"; exit 1; }

# The window is mapped; give its first paint a bounded chance by grabbing
# until the window image is not blank.
ok=0
for _ in $(seq 1 50); do
    "$grab" "$out/smoke_window.png" "$wid" >/dev/null 2>&1 && [[ $(stat -c %s "$out/smoke_window.png") -gt 4000 ]] && { ok=1; break; }
    sleep 0.1
done
(( ok )) || { echo "could not grab the window"; exit 1; }
"$grab" "$out/smoke_screen.png" || { echo "could not grab the screen"; exit 1; }
echo "screenshots: $out/smoke_window.png $out/smoke_screen.png"

kill -TERM "$app_pid"
status=""
for _ in $(seq 1 100); do
    kill -0 "$app_pid" 2>/dev/null || { wait "$app_pid"; status=$?; break; }
    sleep 0.1
done
[[ -n "$status" ]] || { echo "vendrill did not end on SIGTERM"; exit 1; }
app_pid=""
[[ "$status" == 0 ]] || { echo "vendrill ended with status $status"; cat "$out/vendrill.log"; exit 1; }
echo "vendrill closed cleanly"
exit 0
