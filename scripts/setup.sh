#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Vendrill
# needs, then configures and builds into build/. Safe to run again.
#
# VENDRILL_BUILD_DIR names the build folder (default build/);
# VENDRILL_BUILD_TARGETS the targets to build (default: everything, tests and
# benchmarks included; scripts/run.sh asks for vendrill_programs only).
# Arguments are passed on to cmake's configure step.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libudev-dev umockdev libumockdev-dev
  xvfb xauth x11-utils fonts-nanum fontconfig libxcb-damage0-dev qt6-wayland weston
  clang libclang-rt-dev
  dpkg-dev desktop-file-utils xdotool groff-base python3
  lintian bash-completion udev
  libsqlite3-dev libpq-dev postgresql
  libmicrohttpd-dev libjs-dygraphs chromium chromium-driver python3-selenium prometheus systemd util-linux
  libsystemd-dev dbus-daemon python3-dbusmock
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  if [[ $(id -u) -ne 0 ]]; then SUDO=sudo; else SUDO=; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -q
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

build="${VENDRILL_BUILD_DIR:-$here/build}"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="${VENDRILL_BUILD_TYPE:-RelWithDebInfo}" "$@"
read -r -a targets <<<"${VENDRILL_BUILD_TARGETS:-}"
cmake --build "$build" -j"$(nproc)" ${targets[@]+--target "${targets[@]}"}
