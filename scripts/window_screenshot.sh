#!/usr/bin/env bash
# The README's picture of the window's full view: the dialog test that reads
# and sets the security level and sets a numbered, printed name on the
# simulated module, run on a private Xvfb display (the dialog's own font,
# NanumGothic, as on a desktop), saves the window as it then stands.
#
# usage: scripts/window_screenshot.sh [OUT.png]   (default docs/window-full-view.png)
# VENDRILL_BUILD_DIR names the build folder (default build/).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VENDRILL_BUILD_DIR:-$here/build}"
out="$(realpath -m "${1:-$here/docs/window-full-view.png}")"
cmake --build "$build" --target test_dialog_chain >&2

source "$here/scripts/xvfb.sh"
log="$(mktemp)"
trap 'kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; rm -f "$log"' EXIT
start_xvfb 291 390 1600x900 "$log" || { echo "could not start Xvfb" >&2; cat "$log" >&2; exit 1; }
QT_QPA_PLATFORM=xcb VENDRILL_SCREENSHOT="$out" \
  "$build/tests/ui/test_dialog_chain" fullViewSetsTheLevelAndANumberedLabelledName >"$log" 2>&1 ||
  { cat "$log" >&2; exit 1; }
echo "$out"
