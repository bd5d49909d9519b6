#!/usr/bin/env bash
# scripts/run.sh without a display: a clear note on standard error, the
# command-line tool's result on standard output, and its exit status.
#   run_script_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
src=$1 build=$2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
status=0
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM VENDRILL_SKIP_SETUP=1 VENDRILL_BUILD_DIR="$build" \
  bash "$src/scripts/run.sh" </dev/null >"$tmp/out" 2>"$tmp/err" || status=$?
cat "$tmp/out"; cat "$tmp/err" >&2
[[ $status -eq 0 ]] || { echo "FAIL: run.sh exited with $status" >&2; exit 1; }
grep -q '^vendrill: no display' "$tmp/err" || { echo "FAIL: no note about the display" >&2; exit 1; }
grep -q 'vendrill-cli --simulate info' "$tmp/err" || { echo "FAIL: the note does not name the command" >&2; exit 1; }
grep -Eq '^address: [0-9A-F]{12}$' "$tmp/out" || { echo "FAIL: no module address on standard output" >&2; exit 1; }
echo PASS
