#!/usr/bin/env bash
# The bash completion of vendrill-cli offers its commands, options, their
# values and the COM names of the port map file.
#   completion_test.sh COMPLETION_FILE
set -uo pipefail
file=$1
framework=/usr/share/bash-completion/bash_completion
[[ -r $framework ]] || { echo "SKIP: bash-completion is not installed"; exit 77; }
. "$framework"
. "$file"
complete -p vendrill-cli >/dev/null || { echo "FAIL: nothing completes vendrill-cli"; exit 1; }

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
  _vendrill_cli vendrill-cli "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
  ((${#COMPREPLY[@]})) && printf '%s\n' "${COMPREPLY[@]}" | LC_ALL=C sort | tr '\n' ' '
}
status=0
expect() {
  local want=$1 got
  shift
  got=$(complete_line "$@")
  [[ "$got" == "$want" ]] || { echo "FAIL: '$*' offers '$got', not '$want'"; status=1; }
}

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
((status == 0)) && echo PASS
exit $status
