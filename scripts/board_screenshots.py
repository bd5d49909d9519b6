#!/usr/bin/python3
"""Screenshots of the line board for the README: the wall view at 1920x1080
and the ordinary page on a 390 px phone, over a SQLite record filled with a
morning of six stations (one of them silent, one expected but not started).

usage: scripts/board_screenshots.py [--bin-dir build/bin] [--out docs] [--phone FILE]
Run with Debian's /usr/bin/python3 (python3-selenium)."""

import argparse
import os
import random
import shutil
import sqlite3
import sys
import tempfile
import time
from datetime import datetime, timezone

here = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(here, "..", "tests", "board"))
import boardlib  # noqa: E402

STATIONS = {"bench-1": 62, "bench-2": 58, "bench-3": 55, "rework": 9, "line-B1": 60}
SETTINGS = """# The line's targets
silent_after = 10 min
line_target = 1800 per shift
shifts = 06:00 14:00 22:00

[station bench-1]
target = 60 per hour
[station bench-2]
target = 60 per hour
[station bench-3]
target = 60 per hour
[station line-B1]
target = 60 per hour
silent_after = 5 min
[station rework]
[station bench-4]
"""


def stamp(epoch):
    t = datetime.fromtimestamp(epoch, timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def fill(path, now):
    """Six hours of visits; line-B1 stopped 25 minutes ago."""
    rng = random.Random(7)
    db = sqlite3.connect(path)
    number = 0
    with db:
        for station, per_hour in STATIONS.items():
            t = now - 6 * 3600
            end = now - (25 * 60 if station == "line-B1" else 40)
            while t < end:
                t += rng.expovariate(per_hour / 3600.0)
                number += 1
                failed = rng.random() < 0.03
                result = "failed" if failed else "already-named" if rng.random() < 0.05 else "named"
                db.execute("INSERT INTO visits (time, station, address, result, name, reason) VALUES (?, ?, ?, ?, ?, ?)",
                           (stamp(min(t, end)), station, "0019%08X" % number, result, "PRN-%05d" % number,
                            "no answer to Set BDN" if failed else ""))
    db.close()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", default=os.path.join(here, "..", "build", "bin"))
    ap.add_argument("--out", default=os.path.join(here, "..", "docs"), help="folder of board-wall.png")
    ap.add_argument("--phone", help="where the phone's screenshot goes (none by default)")
    a = ap.parse_args()
    folder = tempfile.mkdtemp(prefix="vendrill-shots-")
    board = driver = None
    try:
        path = os.path.join(folder, "line.sqlite")
        code, _, err = boardlib.Line(os.path.join(a.bin_dir, "vendrill-sim"),
                                     os.path.join(a.bin_dir, "vendrill-cli"), "sqlite:" + path, 1,
                                     prefix="W-", station="bench-1").wait()
        if code != 0:
            raise RuntimeError(err)
        sqlite3.connect(path).execute("DELETE FROM visits").connection.commit()
        fill(path, time.time())
        settings = os.path.join(folder, "board.conf")
        with open(settings, "w") as f:
            f.write(SETTINGS)
        board = boardlib.Board(os.path.join(a.bin_dir, "vendrill-board"), "sqlite:" + path,
                               "--config", settings)
        driver = boardlib.chromium()
        shots = [(os.path.join(a.out, "board-wall.png"), 1920, 1080, "?wall")]
        if a.phone:
            shots.append((a.phone, 390, 844, ""))
        for path, width, height, query in shots:
            driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                                   {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": width < 500})
            driver.get(board.url + query)
            boardlib.wait_for(lambda: driver.execute_script("return window.vendrillBoard.updates"), what="a picture")
            time.sleep(1.5)  # the clock and the silence move on once
            driver.save_screenshot(path)
            print("wrote", path)
    finally:
        if driver:
            driver.quit()
        if board:
            board.stop()
        shutil.rmtree(folder, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
