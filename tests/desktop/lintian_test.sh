#!/usr/bin/env bash
# lintian reports no tag at all on the package that cpack builds, pedantic and
# informational ones included (a sanitizer build is no package that ships: for
# it errors and warnings count). A tag that is wrong is overridden in the
# package with a written reason (packaging/lintian-overrides).
#   lintian_test.sh CPACK BUILD_DIR [STRICT]
set -euo pipefail
cpack=$1 build=$2 strict=${3:-1}
. "$(dirname "${BASH_SOURCE[0]}")/installed_tree.sh"

for tool in lintian dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/setup.sh installs it)"
done
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
deb=$(build_package "$cpack" "$build" "$tmp")
# Root gets a note on standard error that is no finding about the package.
lintian --info --display-info --display-experimental --pedantic "$deb" >"$tmp/lintian.log" 2>"$tmp/lintian.err" || true
cat "$tmp/lintian.log"
tags='^[EW]: '
((strict)) && tags='^[EWIPX]: '
# A sanitizer build lays its strings out otherwise: the overrides written for
# the release build's false spelling tags may find nothing to override there.
((strict)) || sed -i '/: mismatched-override spelling-error-in-binary /d' "$tmp/lintian.log"
if grep -Eq "$tags" "$tmp/lintian.log"; then
  fail "lintian found tags in $(basename "$deb")"
fi
grep -Ev 'running with root privileges' "$tmp/lintian.err" | grep -q . && { cat "$tmp/lintian.err" >&2; fail "lintian failed"; }
echo "PASS: lintian finds nothing to say about $(basename "$deb")"
