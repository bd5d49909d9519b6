#!/usr/bin/env bash
# cmake --install (stripped, as in the package) puts the programs, the desktop
# entry, the icons and the manual page in place, and the installed copy works
# on its own.
#   install_test.sh CMAKE SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
cmake=$1 src=$2 build=$3 version=$4
. "$(dirname "${BASH_SOURCE[0]}")/installed_tree.sh"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
env -u DESTDIR "$cmake" --install "$build" --prefix "$tmp/prefix" --strip >"$tmp/install.log" ||
  { cat "$tmp/install.log" >&2; fail "cmake --install failed"; }
check_tree "$tmp/prefix" "$src" "$build" "$version"
echo "PASS: install into $tmp/prefix"
