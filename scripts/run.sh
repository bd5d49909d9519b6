#!/usr/bin/env bash
# Sets everything up (packages, and a build of the four programs only: the
# tests and benchmarks are scripts/test.sh's) and starts Vendrill. Without an
# attached printer (no USB printer node, no USB-serial adapter, no
# VENDRILL_COM<n>) the simulated module is used. Arguments are passed on to
# vendrill.
#
# Without a display (no DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM) the window
# cannot open; the command-line tool then reads the simulated module instead
# ("vendrill-cli --simulate info"), so the build can be seen working on a
# server or in a container. The exit status is that program's.
#
# VENDRILL_BUILD_DIR names the build folder (default build/);
# VENDRILL_SKIP_SETUP=1 uses it as it is, without installing or building.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${VENDRILL_BUILD_DIR:-$here/build}"
if [[ "${VENDRILL_SKIP_SETUP:-0}" != 1 ]]; then
  VENDRILL_BUILD_TARGETS=vendrill_programs "$here/scripts/setup.sh" >&2
fi

if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" && -z "${QT_QPA_PLATFORM:-}" ]]; then
  cli="$build/bin/vendrill-cli"
  echo "vendrill: no display (neither DISPLAY nor WAYLAND_DISPLAY is set), so the window cannot open." >&2
  echo "vendrill: showing the command-line tool on the simulated module instead:" >&2
  echo "vendrill:   $cli --simulate info" >&2
  unused=()
  for a in "$@"; do [[ "$a" == --simulate ]] || unused+=("$a"); done
  if ((${#unused[@]})); then
    echo "vendrill: not used without the window: ${unused[*]}" >&2
  fi
  exec "$cli" --simulate info
fi

args=("$@")
if [[ " ${args[*]-} " != *" --simulate "* ]]; then
  shopt -s nullglob
  devices=(/dev/usb/lp* /dev/ttyUSB* /dev/ttyACM*)
  if ((${#devices[@]} == 0)) && ! env | grep -q '^VENDRILL_COM[0-9]*='; then
    echo "vendrill: no printer found, using the simulated module on COM1" >&2
    args+=(--simulate)
  fi
fi
exec "$build/bin/vendrill" "${args[@]}"
