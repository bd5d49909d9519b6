#!/usr/bin/env bash
# Builds the libFuzzer targets with clang and runs each one for a while.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGET names such as receive or usb_key
# (default: all). Each target runs on a temporary copy of its seed corpus
# (tests/fuzz/corpus/<target>/); the seeds themselves are never changed.
# Crash, leak and timeout inputs are kept in <build>/fuzz-findings/<target>/.
# Prints one line per target; exits non-zero when any target found something.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VENDRILL_FUZZ_BUILD_DIR:-$here/build-fuzz-clang}"
seconds="${1:-60}"
shift || true
if ! [[ $seconds =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: SECONDS must be a positive whole number, not '$seconds'" >&2
  exit 2
fi

all_targets=(receive request suffix usb_key port_name)
targets=("$@")
((${#targets[@]})) || targets=("${all_targets[@]}")
for t in "${targets[@]}"; do
  if [[ ! -d $here/tests/fuzz/corpus/$t ]]; then
    echo "fuzz.sh: unknown target '$t' (known: ${all_targets[*]})" >&2
    exit 2
  fi
done

command -v clang++ >/dev/null || { echo "fuzz.sh: clang++ not found (scripts/setup.sh installs it)" >&2; exit 2; }

# Only the fuzz executables are built; the GUI and the benchmarks are not.
mkdir -p "$build"
CC=clang CXX=clang++ cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVENDRILL_FUZZ=ON -DVENDRILL_BUILD_BENCH=OFF >"$build/fuzz-configure.log" 2>&1 ||
  { cat "$build/fuzz-configure.log" >&2; exit 1; }
rm -f "$build/fuzz-configure.log"
cmake --build "$build" --target "${targets[@]/#/fuzz_}"

work="$(mktemp -d "${TMPDIR:-/tmp}/vendrill-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS="${ASAN_OPTIONS:-abort_on_error=0:detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"

findings=0
summary=()
for t in "${targets[@]}"; do
  corpus="$work/$t"
  found_dir="$build/fuzz-findings/$t"
  mkdir -p "$corpus" "$found_dir"
  cp "$here/tests/fuzz/corpus/$t/"* "$corpus/"
  log="$build/fuzz-findings/$t.log"
  before="$(find "$found_dir" -type f | wc -l)"

  echo "fuzz.sh: running fuzz_$t for ${seconds}s (log: $log)"
  rc=0
  "$build/tests/fuzz/fuzz_$t" "$corpus" -max_total_time="$seconds" -print_final_stats=1 \
    -max_len=4096 -timeout=10 -artifact_prefix="$found_dir/" >"$log" 2>&1 || rc=$?

  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n1)"
  after="$(find "$found_dir" -type f | wc -l)"
  if ((rc != 0 || after > before)); then
    findings=1
    result="FOUND something (exit $rc; inputs in $found_dir, details in $log)"
  else
    result="nothing found"
  fi
  summary+=("$(printf 'fuzz_%-10s %12s executions in %ss, corpus %s files: %s' \
    "$t" "${execs:-?}" "$seconds" "$(find "$corpus" -type f | wc -l)" "$result")")
done

echo
printf '%s\n' "${summary[@]}"
exit "$findings"
