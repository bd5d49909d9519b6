#!/usr/bin/env bash
# udev parses the rule for the printers' USB nodes without a complaint. The
# rule is put in place in a private mount namespace, so the system's own
# rules folder is never touched.
#   udev_rule_test.sh RULES_FILE
set -euo pipefail
rule=$1
name=$(basename "$rule")
command -v udevadm >/dev/null || { echo "SKIP: udevadm is not installed"; exit 77; }
[[ -d /sys/class/tty/tty0 ]] || { echo "SKIP: no /sys/class/tty/tty0 to run the rules on"; exit 77; }

# Every match key and tag the rule needs, so an edit cannot drop one unseen.
for want in 'SUBSYSTEM=="usbmisc"' 'KERNEL=="lp[0-9]*"' 'ATTRS{idVendor}=="2a92"' 'ATTRS{idVendor}=="0519"' \
    'TAG+="uaccess"'; do
  grep -qF "$want" "$rule" || { echo "FAIL: $name lacks $want"; exit 1; }
done
# uaccess takes effect in 73-seat-late.rules only for rules that come before it.
[[ "$name" < 73 ]] || { echo "FAIL: $name sorts after 73-seat-late.rules"; exit 1; }

set +e
out=$(unshare -m --propagation private bash -c '
  mount -t tmpfs vendrill-rules /etc/udev/rules.d 2>/dev/null || exit 97
  cp "$1" /etc/udev/rules.d/ && exec udevadm test --action=add /sys/class/tty/tty0' bash "$rule" 2>&1)
status=$?
set -e
((status != 97)) || { echo "SKIP: no private mount namespace here (needs root)"; exit 77; }
grep -qF "Reading rules file: /etc/udev/rules.d/$name" <<<"$out" ||
  { printf '%s\n' "$out"; echo "FAIL: udevadm did not read $name"; exit 1; }
if grep -F "/etc/udev/rules.d/$name:" <<<"$out"; then
  echo "FAIL: udevadm complains about $name"
  exit 1
fi
echo "PASS: udevadm reads $name without complaint"
