#!/usr/bin/env bash
# Sets everything up (packages, build) and runs all tests: the whole suite,
# then the whole suite again under AddressSanitizer + UndefinedBehaviorSanitizer,
# then the tests that use threads under ThreadSanitizer, each in its own build
# folder. VENDRILL_SKIP_SANITIZERS=1 runs the plain suite only.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"

export QT_QPA_PLATFORM=offscreen
jobs="$(nproc)"
supp="$here/tests/sanitizers"
failed=()

run_ctest() {
  local name="$1" dir="$2"
  shift 2
  echo "== $name"
  if ! (cd "$dir" && ctest --output-on-failure -j"$jobs" --timeout 600 "$@"); then
    failed+=("$name")
  fi
}

run_ctest "tests" "$here/build"

if [[ "${VENDRILL_SKIP_SANITIZERS:-0}" != 1 ]]; then
  cmake -S "$here" -B "$here/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
        -DVENDRILL_SANITIZE=address,undefined -DVENDRILL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$here/build-asan" -j"$jobs"
  ASAN_OPTIONS="detect_leaks=1:verify_asan_link_order=0" \
  LSAN_OPTIONS="suppressions=$supp/lsan.supp:print_suppressions=0" \
  UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1" \
    run_ctest "tests under AddressSanitizer + UndefinedBehaviorSanitizer" "$here/build-asan"

  # The tests whose code runs on more than one thread: the receive queue, the
  # serial and USB links, the simulated module's host, the session engine, the dialog with a link
  # open, the command-line tool's session and station (its naming core with its helper thread), the record shared
  # by two threads, and the line board serving a page while a station writes.
  tsan_targets=(test_queue test_serial test_sim test_session test_usb_umockdev test_dialog_chain test_dialog_serial
                test_dialog_protocol test_dialog_usb test_dialog_faults test_cli_unit test_cli_program test_cli_station test_record
                vendrill-cli vendrill-sim vendrill-board test_board)
  tsan_tests='^(Queue|SerialOpen|PtyTest|SimHost|UsbDevice|UsbDeviceLife|CliOnSim|CliProgram|Naming|Station|NoNameTwice|RecordTrouble|Session|BlockingSession|Backends/RecordOn|RecordOpen)\.|^test_dialog_(chain|serial|protocol|usb|faults)$|^board_browser_sqlite$'
  cmake -S "$here" -B "$here/build-tsan" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVENDRILL_SANITIZE=thread -DVENDRILL_BUILD_BENCH=OFF >/dev/null
  cmake --build "$here/build-tsan" -j"$jobs" --target "${tsan_targets[@]}"
  TSAN_OPTIONS="suppressions=$supp/tsan.supp:second_deadlock_stack=1" \
    run_ctest "thread tests under ThreadSanitizer" "$here/build-tsan" -R "$tsan_tests"
fi

if ((${#failed[@]})); then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "all test runs passed"
