#!/usr/bin/env bash
# cpack builds a Debian package whose dependencies are right, and the package
# installs cleanly into a scratch root (never into the real system) where the
# installed copy works.
#   package_test.sh CPACK SOURCE_DIR BUILD_DIR VERSION
set -euo pipefail
cpack=$1 src=$2 build=$3 version=$4
. "$(dirname "${BASH_SOURCE[0]}")/installed_tree.sh"

for tool in dpkg dpkg-deb dpkg-shlibdeps; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
deb=$(build_package "$cpack" "$build" "$tmp")

# Control fields.
[[ "$(dpkg-deb -f "$deb" Package)" == vendrill ]] || fail "package name"
[[ "$(dpkg-deb -f "$deb" Version)" == "$version" ]] || fail "package version"
maintainer=$(dpkg-deb -f "$deb" Maintainer)
[[ "$maintainer" =~ ^[^\<]+\ \<[^@\>]+@[a-z0-9-]+\.[a-z.]+\>$ && "$maintainer" != *@localhost* ]] ||
  fail "maintainer '$maintainer' has no address of the project"
[[ "$(dpkg-deb -f "$deb" Recommends)" == *fonts-nanum* ]] || fail "no Recommends: fonts-nanum for the Hangul captions"
[[ -n "$(dpkg-deb -f "$deb" Description)" ]] || fail "no description"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libqt6widgets6 libqt6gui6 libqt6core6 libudev1 libc6; do
  grep -Eq "(^|, )$lib( |,|$)" <<<"$depends" || fail "Depends lacks $lib"
done

# Everything lies under /usr, but the line board's service settings, which
# the package marks as a conffile so that an upgrade keeps the administrator's.
outside='^\./(usr/.*|etc/|etc/default/|etc/default/vendrill-board)?$'
if dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -Ev "$outside" | grep -q .; then
  fail "files outside /usr: $(dpkg-deb -c "$deb" | awk '{ print $6 }' | grep -Ev "$outside")"
fi
[[ "$(dpkg-deb -I "$deb" conffiles 2>/dev/null)" == "/etc/default/vendrill-board" ]] ||
  fail "/etc/default/vendrill-board is not a conffile"

# A real dpkg installation into a scratch root with its own, empty package
# database; the dependencies are checked against this system below.
root="$tmp/root"
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates"
: >"$root/var/lib/dpkg/status"
dpkg_root=(dpkg --root="$root" --log=/dev/null --force-not-root --force-depends --force-script-chrootless)
"${dpkg_root[@]}" -i "$deb" >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -i into $root failed"; }
[[ "$("${dpkg_root[@]}" -s vendrill 2>/dev/null | sed -n 's/^Status: //p')" == "install ok installed" ]] ||
  fail "the package is not installed in the scratch root"
check_tree "$root/usr" "$src" "$build" "$version"

# Removal takes every file of the package away again.
"${dpkg_root[@]}" -r vendrill >"$tmp/dpkg.log" 2>&1 || { cat "$tmp/dpkg.log" >&2; fail "dpkg -r failed"; }
left=$(find "$root/usr" -type f 2>/dev/null || true)
[[ -z "$left" ]] || fail "files left after removal: $left"

# The dependencies resolve on this system (a simulation: nothing is installed).
if command -v apt-get >/dev/null; then
  apt-get install --simulate --no-install-recommends -o Debug::NoLocking=true "$deb" >"$tmp/apt.log" 2>&1 ||
    { cat "$tmp/apt.log" >&2; fail "the dependencies do not resolve"; }
  grep -Eq '^Inst vendrill |vendrill is already the newest version' "$tmp/apt.log" ||
    { cat "$tmp/apt.log" >&2; fail "apt would not install the package"; }
fi
echo "PASS: $(basename "$deb")"
