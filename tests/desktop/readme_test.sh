#!/usr/bin/env bash
# The README's examples run as written from a clone before installing: a
# command in a shell block calls a program by its path in the build folder,
# never by a bare name that only an installation puts on the PATH, and every
# build/ path the README names (in blocks and inline) is there.
#   readme_test.sh README BUILD_DIR
set -uo pipefail
readme=$1 build=$2
programs='vendrill|vendrill-cli|vendrill-sim|vendrill-board'
status=0
fail() { echo "FAIL: $*"; status=1; }

# The commands of the fenced shell blocks: first words after any VAR=value,
# sudo -u USER or a pipe.
while IFS= read -r line; do
  cmds=("${line%%|*}")
  [[ $line == *"|"* ]] && cmds+=("${line#*|}")
  for cmd in "${cmds[@]}"; do
    read -r -a words <<<"$cmd"
    k=0
    while ((k < ${#words[@]})); do
      case ${words[k]} in
        *=*) ((k++)) ;;
        sudo) ((k++)); [[ ${words[k]:-} == -u ]] && ((k += 2)) ;;
        *) break ;;
      esac
    done
    first=${words[k]:-}
    [[ $first =~ ^($programs)$ ]] && fail "a shell block calls $first by its bare name: $line"
  done
done < <(awk '/^```/ {inside = !inside; next} inside && !/^[[:space:]]*#/ && NF' "$readme")

while IFS= read -r path; do
  [[ -e "$build/${path#build/}" ]] || fail "the README names $path, which a build does not make"
done < <(grep -o "build/[A-Za-z0-9_./-]*vendrill[A-Za-z0-9_-]*" "$readme" | sort -u)

((status == 0)) && echo PASS
exit $status
