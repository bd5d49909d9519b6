#!/usr/bin/python3
"""The radio check's own cost, on the mocked bluetoothd of the tests
(tests/radio/bluez_air.py) on a private system bus, where the air answers at
once: what vendrill-cli radio-check adds to the radio's own time (paging and
pairing take from a fraction of a second to seconds on a real adapter).

Writes ROW and NOTE lines (tab-separated, as bench/BenchRow.h does) to
standard error for scripts/bench.sh. Nothing fails on time; exit status 1
when a figure could not be measured.

Run with Debian's /usr/bin/python3 (python3-dbusmock)."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import dbus
import dbusmock

HERE = os.path.dirname(os.path.abspath(__file__))
TEMPLATE = os.path.join(HERE, "..", "tests", "radio", "bluez_air.py")
PRINTER = "00:12:F3:A1:B2:C3"
TARGET_MS = 100.0


def row(figure, value, floor, ratio, target, remark=""):
    ratio_text = "-" if ratio is None else ("%.3f" % ratio if ratio >= 0.01 or ratio == 0 else "%.1e" % ratio)
    fields = [figure, value, floor, ratio_text, target, remark]
    sys.stderr.write("ROW\t" + "\t".join(f.replace("\t", " ") for f in fields) + "\n")
    sys.stderr.flush()


def note(text):
    sys.stderr.write("NOTE\t" + text.replace("\t", " ") + "\n")
    sys.stderr.flush()


def mmm(values, fmt="%.1f"):
    return " / ".join(fmt % v for v in (min(values), statistics.median(values), max(values)))


def timed(argv):
    start = time.perf_counter()
    run = subprocess.run(argv, capture_output=True, text=True, check=False)
    return (time.perf_counter() - start) * 1000.0, run


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--runs", type=int, default=30)
    options = parser.parse_args()

    dbusmock.DBusTestCase.start_system_bus()
    mock = None
    try:
        mock, obj = dbusmock.DBusTestCase.spawn_server_template(TEMPLATE, {}, stdout=subprocess.DEVNULL)
        control = dbus.Interface(obj, dbusmock.MOCK_IFACE)
        control.SetAirDevice(PRINTER, "PRN-00001", "1234")
        check = [options.cli, "radio-check", "--address", PRINTER, "--name", "PRN-00001", "--pin", "1234", "--json"]
        version = [options.cli, "--version"]
        own, whole, bare = [], [], []
        for k in range(options.runs + 1):
            ms, run = timed(check)
            if run.returncode != 0:
                print(run.stdout, run.stderr, file=sys.stderr)
                return 1
            bare_ms, _ = timed(version)
            if k == 0:
                continue  # warm-up
            own.append(json.loads(run.stdout)["seconds"] * 1000.0)
            whole.append(ms)
            bare.append(bare_ms)
        state = json.loads(str(control.AirState()))
        if state["devices"] or state["agents"]:
            print("the mock kept a device or an agent: %s" % state, file=sys.stderr)
            return 1
    finally:
        if mock:
            mock.terminate()
            mock.wait()
        dbusmock.DBusTestCase.tearDownClass()

    n = options.runs
    med = statistics.median(own)
    row("Radio check on the mocked BlueZ, name and PIN key: the check's own time, bus connection to the device "
        "removed (%d runs, min/med/max)" % n, mmm(own) + " ms", "%.0f ms target" % TARGET_MS, med / TARGET_MS,
        "<= %.0f ms" % TARGET_MS, "ratio to the target")
    row("Radio check: vendrill-cli radio-check, process start -> exit (%d runs, min/med/max)" % n,
        mmm(whole) + " ms", "%.1f ms vendrill-cli --version (min/max %.1f / %.1f)" % (statistics.median(bare), min(bare), max(bare)),
        statistics.median(whole) / statistics.median(bare), "-")
    note("Radio check: %.1f ms of the check's own time on the mock (median): 9 D-Bus calls (bluetoothd's owner, its "
         "objects, page the address, the name, register the agent, make it the default, pair with the agent's one "
         "answer, remove the device, withdraw the agent) and 3 match rules at the bus. On a real adapter the page "
         "(0.1 to 5 s) and the pairing (about a second) dominate." % med)
    return 0


if __name__ == "__main__":
    sys.exit(main())
