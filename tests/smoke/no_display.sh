#!/usr/bin/env bash
# Without a display the window program answers --help and --version, and
# otherwise says in one line that it needs a display and fails; it never
# aborts.
set -u
app="$1"
fail() { echo "FAIL: $*"; exit 1; }
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

out="$("$app" --version 2>&1)"; status=$?
[[ $status == 0 ]] || fail "--version ended with $status: $out"
[[ "$out" == "Vendrill 2.0.8" ]] || fail "--version printed: $out"

out="$("$app" --help 2>&1)"; status=$?
[[ $status == 0 ]] || fail "--help ended with $status: $out"
[[ "$out" == *"--simulate"* ]] || fail "--help printed: $out"

for display in "" ":191919"; do
    if [[ -n "$display" ]]; then
        out="$(DISPLAY="$display" "$app" --simulate 2>&1)"; status=$?
    else
        out="$("$app" --simulate 2>&1)"; status=$?
    fi
    (( status != 0 && status < 128 )) || fail "without a display (DISPLAY=$display) it ended with $status: $out"
    [[ $(printf '%s\n' "$out" | wc -l) == 1 ]] || fail "more than one line: $out"
    [[ "$out" == *"needs a graphical display"* ]] || fail "unclear message: $out"
    [[ "$out" == *"WAYLAND_DISPLAY=(not set), DISPLAY="* ]] || fail "what was tried is not named: $out"
done
# Qt's own reason is passed on, with what to do about it.
out="$(QT_QPA_PLATFORM=nosuch "$app" 2>&1)"; status=$?
(( status == 1 )) || fail "with an unknown platform plugin it ended with $status: $out"
[[ "$out" == *'Could not find the Qt platform plugin "nosuch"'* ]] || fail "Qt's reason is lost: $out"
[[ "$out" == *"tried QT_QPA_PLATFORM=nosuch"*"check QT_QPA_PLATFORM"* ]] || fail "no advice: $out"
echo "ok"
