#!/usr/bin/env bash
# The bash completion of vendrill-cli offers its commands, options, their
# values, the COM names of the port map file and the USB printers there are
# (in a umockdev test bed); vendrill-sim's and vendrill-board's offer theirs.
#   completion_test.sh CLI_FILE SIM_FILE BOARD_FILE USB_TESTBED
set -uo pipefail
testbed=$4
framework=/usr/share/bash-completion/bash_completion
[[ -r $framework ]] || { echo "SKIP: bash-completion is not installed"; exit 77; }
. "$framework"
for file in "$1" "$2" "$3"; do
  . "$file"
done
for program in vendrill-cli vendrill-sim vendrill-board; do
  complete -p $program >/dev/null || { echo "FAIL: nothing completes $program"; exit 1; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/vendrill"
printf '# adapters\nCOM42=/dev/ttyUSB0\n  COM43 = /dev/ttyUSB1\nCOM0=/dev/ttyS0\n' >"$tmp/vendrill/ports"
export XDG_CONFIG_HOME=$tmp

# complete WORD...: the sorted offers for the last word of the line.
complete_line() {
  COMP_WORDS=("$@")
  COMP_CWORD=$(($# - 1))
  COMP_LINE="$*"
  COMP_LINE=${COMP_LINE// = /=}  # as typed: --port=COM2
  COMP_POINT=${#COMP_LINE}
  COMPREPLY=()
  local function
  function=$(complete -p "$1" | sed 's/.*-F \([^ ]*\) .*/\1/')
  "$function" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' '
}
status=0
expect() {
  local want=$1 got
  shift
  got=$(complete_line "$@")
  [[ "$got" == "$want" ]] || { echo "FAIL: '$*' offers '$got', not '$want'"; status=1; }
}


# In the test bed: one accepted printer on /dev/usb/lp0, serial number
# HL0001, at USB location 1-1.
if [[ ${VENDRILL_COMPLETION_TESTBED:-} == 1 ]]; then
  expect '/dev/usb/lp0 1-1 HL0001 ' vendrill-cli --usb-device ''
  expect 'HL0001 ' vendrill-cli --usb --usb-device H
  exit $status
fi
# Without a printer nothing is offered, not the pattern /dev/usb/lp*.
compgen -G '/dev/usb/lp*' >/dev/null || expect '' vendrill-cli --usb-device ''
if command -v umockdev-run >/dev/null; then
  VENDRILL_COMPLETION_TESTBED=1 umockdev-run -d "$testbed" -- bash "$0" "$@" || status=1
fi

expect 'info ports radio-check records set-level set-name set-pairing set-pin sniff station ' vendrill-cli ''
expect 'set-level ' vendrill-cli --port COM1 --json set-l
expect '--parity ' vendrill-cli --par
expect 'even none odd ' vendrill-cli --parity ''
expect '115200 ' vendrill-cli --baud 11
expect 'COM4 COM42 COM43 ' vendrill-cli --port COM4
expect 'COM2 COM20 ' vendrill-cli --port = COM2
expect 'just-works ' vendrill-cli --usb set-pairing j
expect 'not-use-pinkey ' vendrill-cli set-level not
expect 'disable enable status ' vendrill-cli --simulate sniff ''
expect '' vendrill-cli sniff enable ''
expect '--simulate --stop-bits --suffix ' vendrill-cli set-name PRN- --s
expect '--simulate --stop-bits ' vendrill-cli info --s
expect '--simulate --station --stop-bits ' vendrill-cli station --name PRN- --s
expect 'not-use-pinkey ' vendrill-cli station --level not
expect '--address ' vendrill-cli radio-check --ad
expect '' vendrill-cli radio-check --address ''
expect '' vendrill-cli set-name -- ''
expect '--first-address ' vendrill-sim --line 5 --fi
expect '115200 ' vendrill-sim --pace 11
expect '--silent --split --split-gap --stay ' vendrill-sim --s
expect '--db ' vendrill-board --token /etc/vendrill/board.token --d
expect 'sqlite: ' vendrill-board --db s
expect '0.0.0.0:8470 ' vendrill-board --listen 0
((status == 0)) && echo PASS
exit $status
