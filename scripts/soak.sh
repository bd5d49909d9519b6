#!/usr/bin/env bash
# Long run of the flood and soak test (tests/ui/test_dialog_soak.cpp): a
# module flooding the serial line at 115200 baud for a minute, then 1,000
# Open / Get Info / Close cycles against the simulated module (about 20
# minutes in all). Builds the test into the build folder, runs it offscreen
# and prints its figures. Exit status is the test's.
#
# Environment: VENDRILL_BUILD_DIR (build folder, default build),
# VENDRILL_FLOOD_SECONDS (default 60), VENDRILL_SOAK_CYCLES (default 1000).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VENDRILL_BUILD_DIR:-$here/build}"
export VENDRILL_FLOOD_SECONDS="${VENDRILL_FLOOD_SECONDS:-60}"
export VENDRILL_SOAK_CYCLES="${VENDRILL_SOAK_CYCLES:-1000}"
export QT_QPA_PLATFORM=offscreen
# A full run lasts far longer than Qt Test's default five minutes per test function.
export QTEST_FUNCTION_TIMEOUT="${QTEST_FUNCTION_TIMEOUT:-7200000}"

if [[ ! -f "$build/CMakeCache.txt" ]]; then
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${VENDRILL_BUILD_TYPE:-RelWithDebInfo}" >/dev/null
fi
cmake --build "$build" --target test_dialog_soak >/dev/null

log="$build/soak.log"
echo "soak: ${VENDRILL_FLOOD_SECONDS} s flood, ${VENDRILL_SOAK_CYCLES} cycles; full output in $log"
start=$(date +%s)
status=0
"$build/tests/ui/test_dialog_soak" >"$log" 2>&1 || status=$?
end=$(date +%s)

# The test's own figures, then its verdicts.
sed -n 's/^QINFO  : [^ ]* //p' "$log"
grep -E '^(PASS|FAIL!|Totals)' "$log" || true
grep -A3 '^FAIL!' "$log" | grep -E '^\s+(Actual|Expected|Loc)' || true
echo "soak: took $((end - start)) s, exit status $status"
exit "$status"
