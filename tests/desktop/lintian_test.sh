#!/usr/bin/env bash
# lintian reports no error and no warning on the package that cpack builds.
# Overrides, if ever needed, go into the package with a written reason.
#   lintian_test.sh CPACK BUILD_DIR
set -euo pipefail
cpack=$1 build=$2
. "$(dirname "${BASH_SOURCE[0]}")/installed_tree.sh"

for tool in lintian dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
deb=$(build_package "$cpack" "$build" "$tmp")
# Root gets a note on standard error that is no finding about the package.
lintian --info "$deb" >"$tmp/lintian.log" 2>"$tmp/lintian.err" || true
cat "$tmp/lintian.log"
if grep -Eq '^[EW]: ' "$tmp/lintian.log"; then
  fail "lintian found errors or warnings in $(basename "$deb")"
fi
grep -Ev 'running with root privileges' "$tmp/lintian.err" | grep -q . && { cat "$tmp/lintian.err" >&2; fail "lintian failed"; }
echo "PASS: lintian finds nothing to fix in $(basename "$deb")"
