#!/usr/bin/env bash
# Sets everything up (packages, build) and starts Vendrill. Without an attached
# printer (no USB printer node, no USB-serial adapter, no VENDRILL_COM<n>) the
# simulated module is used. Arguments are passed on to vendrill.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh" >&2
args=("$@")
if [[ " ${args[*]-} " != *" --simulate "* ]]; then
  shopt -s nullglob
  devices=(/dev/usb/lp* /dev/ttyUSB* /dev/ttyACM*)
  if ((${#devices[@]} == 0)) && ! env | grep -q '^VENDRILL_COM[0-9]*='; then
    echo "vendrill: no printer found, using the simulated module on COM1" >&2
    args+=(--simulate)
  fi
fi
if [[ -z "${DISPLAY:-}" && -z "${WAYLAND_DISPLAY:-}" ]]; then
  echo "vendrill: no display (DISPLAY is not set); start it from a desktop session" >&2
  exit 1
fi
exec "$here/build/app/vendrill" "${args[@]}"
