#!/usr/bin/env bash
# Without a display the window program answers --help and --version, and
# otherwise says in one line that it needs a display and fails; it never
# aborts.
set -u
app="$1"
fail() { echo "FAIL: $*"; exit 1; }
unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM

for option in --version -V -v; do
    out="$("$app" $option 2>&1)"; status=$?
    [[ $status == 0 ]] || fail "$option ended with $status: $out"
    [[ "$out" == "Vendrill 2.0.8" ]] || fail "$option printed: $out"
done

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
# Qt's Wayland plugin is there but finds no compositor: installing it again
# would not help.
if compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-*.so" >/dev/null; then
    out="$(QT_QPA_PLATFORM=wayland WAYLAND_DISPLAY=nosuch "$app" 2>&1 | tail -n 1)"
    [[ "$out" != *"install qt6-wayland"* ]] || fail "asks to install the Wayland plugin that is installed: $out"
    [[ "$out" == *"WAYLAND_DISPLAY=nosuch"*"compositor"* ]] || fail "no advice about the compositor: $out"
fi
echo "ok"
