# Checks shared by the install and package tests. Sourced, not run.

# The files an installation must hold, relative to the prefix.
expected_files() {
  printf '%s\n' bin/vendrill bin/vendrill-cli bin/vendrill-sim bin/vendrill-board \
    share/applications/vendrill.desktop \
    share/icons/hicolor/scalable/apps/vendrill.svg \
    share/man/man1/vendrill.1.gz share/man/man1/vendrill-cli.1.gz share/man/man1/vendrill-sim.1.gz \
    share/man/man1/vendrill-board.1.gz lib/systemd/system/vendrill-board.service \
    share/bash-completion/completions/vendrill-cli share/bash-completion/completions/vendrill-sim \
    share/bash-completion/completions/vendrill-board \
    share/doc/vendrill/copyright share/doc/vendrill/changelog.gz \
    lib/udev/rules.d/70-vendrill.rules
  for n in 16 24 32 48 64 72 96 128 256; do
    printf 'share/icons/hicolor/%sx%s/apps/vendrill.png\n' "$n" "$n"
  done
}

fail() { echo "FAIL: $*" >&2; exit 1; }

# build_package CPACK BUILD_DIR TMP_DIR: builds the Debian package with cpack
# into TMP_DIR/out and prints its path.
build_package() {
  local cpack=$1 build=$2 tmp=$3 debs
  (cd "$tmp" && "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$tmp/out") >"$tmp/cpack.log" 2>&1 ||
    { cat "$tmp/cpack.log" >&2; fail "cpack failed"; }
  shopt -s nullglob
  debs=("$tmp"/out/*.deb)
  ((${#debs[@]} == 1)) || fail "expected one package, found ${#debs[@]}"
  printf '%s\n' "${debs[0]}"
}

# A clean environment for running the installed programs; only the options
# of a sanitizer build's run are kept.
clean_env() {
  local keep=() v
  for v in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    [[ -n "${!v:-}" ]] && keep+=("$v=${!v}")
  done
  env -i PATH=/usr/bin:/bin "${keep[@]}" "$@"
}

# Runs an installed program from /, in a clean environment and, where this
# machine allows a private mount namespace, with the build and source trees
# covered by empty file systems: a program that still reached into them
# would fail here.
hide_trees() {
  unshare -m --propagation private bash -c '
    mount -t tmpfs vendrill-hidden "$1" && mount -t tmpfs vendrill-hidden "$2" || exit 97
    shift 2
    cd / && exec "$@"' bash "$HIDE_BUILD" "$HIDE_SRC" "$@"
}
run_installed() {
  if ((TREES_HIDDEN)); then
    hide_trees env -i PATH=/usr/bin:/bin "${SANITIZER_ENV[@]}" "$@"
  else
    (cd / && clean_env "$@")
  fi
}

# check_tree PREFIX SOURCE_DIR BUILD_DIR VERSION: the installed copy is
# complete and works on its own.
check_tree() {
  local prefix=$1 n w h f out v
  HIDE_SRC=$2 HIDE_BUILD=$3
  local version=$4
  SANITIZER_ENV=()
  for v in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    [[ -n "${!v:-}" ]] && SANITIZER_ENV+=("$v=${!v}")
  done
  TREES_HIDDEN=0
  if command -v unshare >/dev/null && hide_trees test ! -e "$HIDE_BUILD/CMakeCache.txt" 2>/dev/null; then
    TREES_HIDDEN=1
  else
    echo "NOTE: cannot hide the build tree here (no private mount namespace); running the installed copy as it is"
  fi

  while read -r f; do
    [[ -s "$prefix/$f" ]] || fail "missing or empty: $prefix/$f"
  done < <(expected_files)
  for f in vendrill vendrill-cli vendrill-sim vendrill-board; do
    [[ -x "$prefix/bin/$f" ]] || fail "not executable: $prefix/bin/$f"
    if readelf -d "$prefix/bin/$f" | grep -E 'RPATH|RUNPATH' | grep -qE "$HIDE_BUILD|$HIDE_SRC"; then
      fail "$f carries a run path into the build or source tree"
    fi
  done

  # Each PNG is square at the size of its folder (width and height are the
  # big-endian words at offsets 16 and 20).
  for n in 16 24 32 48 64 72 96 128 256; do
    f="$prefix/share/icons/hicolor/${n}x${n}/apps/vendrill.png"
    [[ "$(od -An -c -j1 -N3 "$f" | tr -d ' ')" == PNG ]] || fail "not a PNG: $f"
    read -r w h < <(od -An -tu1 -j16 -N8 "$f" |
      awk '{ print $1*16777216 + $2*65536 + $3*256 + $4, $5*16777216 + $6*65536 + $7*256 + $8 }')
    [[ "$w" == "$n" && "$h" == "$n" ]] || fail "$f is ${w}x${h}, not ${n}x${n}"
  done

  if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$prefix/share/applications/vendrill.desktop" ||
      fail "the desktop entry does not validate"
  fi
  grep -qx 'Exec=vendrill' "$prefix/share/applications/vendrill.desktop" || fail "desktop entry: Exec"
  grep -qx 'Icon=vendrill' "$prefix/share/applications/vendrill.desktop" || fail "desktop entry: Icon"

  for f in "$prefix"/share/man/man1/vendrill*.1.gz "$prefix/share/doc/vendrill/changelog.gz"; do
    gzip -t "$f" || fail "$f is not a valid gzip file"
  done
  zcat "$prefix/share/doc/vendrill/changelog.gz" | head -n1 | grep -q "^vendrill ($version) " ||
    fail "the changelog does not start with version $version"

  # One version everywhere: the three programs and the package.
  out=$(run_installed "$prefix/bin/vendrill-cli" --version) || fail "installed vendrill-cli --version failed"
  [[ "$out" == "vendrill-cli $version" ]] || fail "installed vendrill-cli reports '$out'"
  out=$(run_installed "$prefix/bin/vendrill-sim" --version) || fail "installed vendrill-sim --version failed"
  [[ "$out" == "vendrill-sim $version" ]] || fail "installed vendrill-sim reports '$out'"
  out=$(run_installed "$prefix/bin/vendrill-board" --version) || fail "installed vendrill-board --version failed"
  [[ "$out" == "vendrill-board $version" ]] || fail "installed vendrill-board reports '$out'"
  out=$(run_installed env QT_QPA_PLATFORM=offscreen "$prefix/bin/vendrill" --version) ||
    fail "installed vendrill --version failed"
  [[ "$out" == "Vendrill $version" ]] || fail "installed vendrill reports '$out'"
  out=$(run_installed "$prefix/bin/vendrill-cli" --simulate info) ||
    fail "installed vendrill-cli --simulate info failed (status $?)"
  printf '%s\n' "$out"
  grep -Eq '^address: [0-9A-F]{12}$' <<<"$out" || fail "no address in: $out"
  grep -q '^name: .' <<<"$out" || fail "no name in: $out"
  run_installed "$prefix/bin/vendrill-sim" --help >/dev/null || fail "installed vendrill-sim --help failed"
}
