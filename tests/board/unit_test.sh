#!/usr/bin/env bash
# The line board's systemd unit and the settings file it ships:
#   - its exposure in systemd-analyze security stays at most 2.0;
#   - with the shipped settings and no record, the board says which record
#     is missing and exits with a status the unit does not restart on.
# usage: unit_test.sh SOURCE_DIR VENDRILL_BOARD
set -uo pipefail
src="$1"; board="$2"
unit="$src/app/board/vendrill-board.service"
defaults="$src/app/board/vendrill-board.default"
failed=0
fail() { echo "FAIL: $*"; failed=1; }

if ! systemd-analyze security --offline=yes --threshold=20 "$unit" >/tmp/vendrill-unit-security.$$ 2>&1; then
    fail "exposure above 2.0: $(tail -1 /tmp/vendrill-unit-security.$$)"
fi
rm -f /tmp/vendrill-unit-security.$$

# shellcheck disable=SC1090
VENDRILL_BOARD_ARGS=; . "$defaults"
[[ -n "$VENDRILL_BOARD_ARGS" ]] || fail "the shipped settings give the board no arguments"
record=$(grep -o 'sqlite:[^ "]*' <<<"$VENDRILL_BOARD_ARGS" | head -1)
record=${record#sqlite:}
if [[ -e "$record" ]]; then
    echo "skipped: $record exists on this machine"
else
    # shellcheck disable=SC2086
    out=$(timeout 20 "$board" $VENDRILL_BOARD_ARGS 2>&1); code=$?
    [[ $code -eq 6 && "$out" == *"$record"* ]] || fail "without a record: exit $code: $out"
    prevent=$(sed -n 's/^RestartPreventExitStatus=//p' "$unit")
    [[ " $prevent " == *" $code "* ]] || fail "the unit restarts on status $code (RestartPreventExitStatus=$prevent)"
fi
if ((failed)); then exit 1; fi
echo "the unit and its settings: all checks passed"
