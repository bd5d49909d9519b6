#!/usr/bin/env bash
# The desktop entry validates and the manual pages format without warnings.
#   lint_test.sh DESKTOP_FILE MAN_PAGE...
set -euo pipefail
desktop=$1
shift
checked=0
if command -v desktop-file-validate >/dev/null; then
  desktop-file-validate "$desktop"
  checked=1
fi
if command -v groff >/dev/null; then
  for manpage in "$@"; do
    warnings=$(LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$manpage" 2>&1)
    [[ -z "$warnings" ]] || { echo "FAIL: $manpage: $warnings" >&2; exit 1; }
  done
  checked=1
fi
((checked)) || { echo "SKIP: neither desktop-file-validate nor groff is installed"; exit 77; }
echo PASS
