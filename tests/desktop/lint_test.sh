#!/usr/bin/env bash
# The desktop entry validates, the manual pages format without warnings,
# each program's manual page describes every option its --help lists, and
# each one names all the other programs under SEE ALSO.
#   lint_test.sh DESKTOP_FILE PROGRAM=MAN_PAGE...
set -euo pipefail
desktop=$1
shift
checked=0
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop"
  checked=1
fi
if command -v groff >/dev/null; then
  for pair in "$@"; do
    program=${pair%%=*} manpage=${pair#*=}
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$manpage" 2>&1)
    [[ -z "$warnings" ]] || { echo "FAIL: $manpage: $warnings" >&2; exit 1; }
    text=$(LC_ALL=C groff -man -Tascii "$manpage" 2>/dev/null | sed 's/.\x08//g')
    for option in $("$program" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
      grep -q -- "$option" <<<"$text" || { echo "FAIL: $manpage lacks $option of $program --help" >&2; exit 1; }
    done
    see_also=$(sed -n '/^SEE ALSO/,$p' <<<"$text" | tr -d '\n ')
    for other in "$@"; do
      other=$(basename "${other#*=}" .1)
      [[ $other == "$(basename "$manpage" .1)" || $see_also == *"$other(1)"* ]] ||
        { echo "FAIL: $manpage does not name $other under SEE ALSO" >&2; exit 1; }
    done
  done
  checked=1
fi
((checked)) || { echo "SKIP: neither desktop-file-validate nor groff is installed"; exit 77; }
echo PASS
