#!/usr/bin/python3
"""The line board in a real browser and against hostile clients: a station
names printers on a simulated line into the record (SQLite or PostgreSQL)
while the page is open in headless Chromium. Reads the counts and the latest
visits from the page, sees new printers appear without a reload, checks that
hostile texts from the record show as text, that a wrong token gets 401, that
nothing writes, that slow, flooding and smuggling clients hold nobody else,
that the page finds its way back after any failure of its stream, that the
wall view fits 1080p and the phone view 390 px, that /metrics passes
promtool, and that a record that goes away is shown and read again when it
is back. On SQLite, a record in a folder the board cannot write to is still
followed. Keeps screenshots of the board.

usage: board_browser_test.py --bin-dir DIR --kind sqlite|postgres --artefacts DIR"""

import argparse
import json
import os
import re
import select
import shutil
import socket
import sqlite3
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import boardlib  # noqa: E402
from boardlib import wait_for  # noqa: E402

HOSTILE = "<img src=x onerror=alert(1)>"
HOSTILE_REASON = "</td><script>alert(2)</script>"
FORMULA = '=HYPERLINK("http://evil.example/","click")'
# Station ids that are names of every JavaScript object's own members.
PROTO_STATIONS = ("__proto__", "hasOwnProperty", "valueOf")
TOKEN = "Shop+floor/token=42;x"

failures = []


def section(what, fn, *args):
    """Runs one group of checks; an exception fails it and the next group still runs."""
    try:
        fn(*args)
    except Exception as e:  # noqa: BLE001
        check(False, "%s: %s: %s" % (what, type(e).__name__, e))


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)


def http(url, method="GET", headers=None, data=None, timeout=10):
    request = urllib.request.Request(url, method=method, headers=headers or {}, data=data)
    try:
        with urllib.request.urlopen(request, timeout=timeout) as r:
            return r.status, r.read().decode()
    except urllib.error.HTTPError as e:
        return e.code, e.read().decode()


def head_of(url, path, headers=None):
    """Status and headers (lower-case names) of a GET."""
    request = urllib.request.Request(url.rstrip("/") + path, headers=headers or {})
    try:
        with urllib.request.urlopen(request, timeout=10) as r:
            return r.status, {k.lower(): v for k, v in r.getheaders()}
    except urllib.error.HTTPError as e:
        return e.code, {k.lower(): v for k, v in e.headers.items()}


def connect(board, source="127.0.0.1"):
    return socket.create_connection(("127.0.0.1", board.port), timeout=10, source_address=(source, 0))


def exchange(board, data, source="127.0.0.1", timeout=5):
    """Sends raw bytes; returns all the board sent until it closed (or the time-out)."""
    s = connect(board, source)
    s.settimeout(timeout)
    got = b""
    try:
        s.sendall(data)
        while True:
            chunk = s.recv(65536)
            if not chunk:
                break
            got += chunk
    except (socket.timeout, ConnectionError):
        pass
    finally:
        s.close()
    return got


def open_stream(board, source="127.0.0.1"):
    """An event stream, read up to its first event; None when refused."""
    s = connect(board, source)
    s.sendall(b"GET /events HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nAccept: text/event-stream\r\n\r\n" % board.port)
    got = b""
    while b"\n\n" not in got[got.find(b"data:"):] or b"data:" not in got:
        chunk = s.recv(65536)
        if not chunk:
            break
        got += chunk
    if not got.startswith(b"HTTP/1.1 200"):
        s.close()
        return None
    return s


def rss_kb(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


class Record:
    """The record under test and a way to write and count behind the board."""

    def __init__(self, kind, folder):
        self.kind = kind
        self.pg = None
        if kind == "sqlite":
            self.path = os.path.join(folder, "records.sqlite")
            self.location = "sqlite:" + self.path
        else:
            self.pg = boardlib.PgServer()
            self.location = self.pg.new_database("board")

    def sql(self, statement):
        if self.pg:
            return self.pg.psql("board", statement)
        with sqlite3.connect(self.path, timeout=10) as db:
            rows = db.execute(statement).fetchall()
        return str(rows[0][0]) if rows else ""

    def count(self):
        return int(self.sql("SELECT COUNT(*) FROM visits"))

    def visit(self, station, name, reason, address="DEADBEEF0001", result="failed", radio="", heard=""):
        self.sql("INSERT INTO visits (station, address, result, name, reason, radio, name_heard) VALUES ('%s', '%s', "
                 "'%s', '%s', '%s', '%s', '%s')" % (station, address, result, name, reason.replace("'", "''"), radio,
                                                    heard))
        if self.pg:  # a station's visit tells the board; this one is written by hand
            self.sql("NOTIFY vendrill_visits")

    def close(self):
        if self.pg:
            self.pg.close()


def station_tile(driver, station):
    """What a station's tile shows, by its parts' classes."""
    return driver.execute_script(
        "for (const t of document.querySelectorAll('#stations .tile'))"
        "  if (t.dataset.station === arguments[0]) {"
        "    const out = {cls: t.className};"
        "    for (const e of t.querySelectorAll('[data-part]')) out[e.dataset.part] = e.textContent;"
        "    return out;"
        "  }"
        "return null;", station)


def page_updates(driver):
    return driver.execute_script("return window.vendrillBoard && window.vendrillBoard.updates")


def csv_rows(text):
    """The data rows of a CSV download (no header, no trailer)."""
    lines = text.splitlines()
    return [line for line in lines[1:] if not line.startswith("#")]


def check_page(driver, board, record, artefacts, kind):
    """The ordinary page: counts, hostile texts, new printers, history, views."""
    wait_for(lambda: page_updates(driver), what="the first picture")
    tile = wait_for(lambda: station_tile(driver, "A1"), what="station A1")
    check(tile.get("named") == "3", "station A1's tile: %r" % tile)
    latest = driver.execute_script(
        "return [...document.querySelectorAll('#latest tbody tr')].map((tr) => tr.cells[3].textContent)")
    check({"T-00001", "T-00002", "T-00003"} <= set(latest), "latest visits: %r" % latest)
    # The radio check: its column, the tile's and the line's radio failures, the failure listed.
    radio = driver.execute_script(
        "const at = [...document.querySelectorAll('#latest thead th')].findIndex((th) => th.textContent === 'Radio');"
        "return [...document.querySelectorAll('#latest tbody tr')].map((tr) => [tr.cells[3].textContent,"
        " tr.cells[at].textContent, tr.cells[at].className])")
    check(["T-00003", "mismatch", "radio-mismatch"] in radio and ["T-00001", "", ""] in radio,
          "the latest visits' radio column: %r" % radio)
    check("radio failed 1" in tile.get("details", ""), "station A1's radio failures: %r" % tile)
    check("radio failed 1" in driver.execute_script("return document.getElementById('line-more').textContent"),
          "the line's radio failures are not shown")
    listed = driver.execute_script(
        "return [...document.querySelectorAll('#failures tbody tr')].map((tr) => tr.cells[3].textContent)")
    check("T-00003" in listed, "the radio failure is not among the failures: %r" % listed)

    # Hostile texts are text: the name and the reason as written, no element made of them.
    failed = driver.execute_script(
        "for (const tr of document.querySelectorAll('#failures tbody tr'))"
        "  if (tr.cells[1].textContent === arguments[0]) return [...tr.cells].map((td) => td.textContent);"
        "return null", HOSTILE)
    check(failed is not None and failed[3] == HOSTILE and failed[4] == HOSTILE_REASON,
          "hostile failure row: %r" % failed)
    check(driver.execute_script("return document.querySelectorAll('main img, main script').length") == 0,
          "an element was made of a record's text")
    legend = driver.execute_script("return document.getElementById('legend').textContent")
    check(HOSTILE in legend, "the chart's legend shows the hostile station as text")
    # Stations named like JavaScript's own members: a tile, a place in the legend, a chart.
    for station in PROTO_STATIONS:
        check(station_tile(driver, station) is not None, "no tile for the station %s" % station)
        check(station in legend, "the legend lacks the station %s: %r" % (station, legend))
    check(driver.execute_script("return document.querySelectorAll('#chart canvas').length") > 0,
          "the chart was not drawn")
    failures_note = driver.execute_script("return document.getElementById('failures-note').textContent")
    check(re.search(r"\b\d+ of \d+\b|\ball \d+\b", failures_note or "", re.I), "failures list: %r" % failures_note)
    # Every figure of the JSON is on the page: the line's total and the repeats.
    check(driver.execute_script("return document.getElementById('line-total').textContent") != "",
          "no line total on the page")

    # The page's files say their character set; no console error (a CSP breach among them).
    for path in ("/", "/board.js", "/board.css"):
        status, headers = head_of(board.url, path)
        check(status == 200 and "charset=utf-8" in headers.get("content-type", ""),
              "%s: %d %r" % (path, status, headers.get("content-type")))
    status, headers = head_of(board.url, "/favicon.ico")
    check(status == 200 and headers.get("content-type", "").startswith("image/"), "favicon: %d" % status)
    errors = [e for e in driver.get_log("browser") if e.get("level") == "SEVERE"]
    check(not errors, "console errors: %r" % errors[:3])

    # New printers appear without a reload.
    driver.execute_script("window.stillTheSamePage = true")
    line = boardlib.Line(SIM, CLI, record.location, 2, prefix="U-", station="B2",
                         addresses="0019019900A1,0019019900A2")
    try:
        wait_for(lambda: (station_tile(driver, "B2") or {}).get("named") == "2", timeout=60,
                 what="station B2's two printers")
    except TimeoutError:
        line.kill()
        raise TimeoutError("station B2's two printers never showed; the station said: %s" % line.station.stderr.read())
    code, _, err = line.wait()
    check(code == 0, "second station: exit %d: %s" % (code, err))
    check(driver.execute_script("return window.stillTheSamePage === true"), "the page was reloaded")

    # A printer's history by its name, whatever its case.
    box = driver.find_element("id", "q")
    box.send_keys("t-00002")
    driver.find_element("css selector", "#search button").click()
    history = wait_for(lambda: driver.execute_script(
        "const t = document.getElementById('history');"
        "return t.hidden ? null : [...t.tBodies[0].rows].map((tr) => tr.cells[3].textContent)"),
        what="the history")
    check(history == ["T-00002"], "history of t-00002: %r" % history)
    box.clear()
    box.send_keys("T-00003")
    driver.find_element("css selector", "#search button").click()
    history = wait_for(lambda: driver.execute_script(
        "const t = document.getElementById('history');"
        "const head = [...t.tHead.rows[0].cells].map((th) => th.textContent);"
        "const rows = [...t.tBodies[0].rows];"
        "return t.hidden || rows.length < 2 ? null : rows.map((tr) => [tr.cells[head.indexOf('Radio')].textContent,"
        " tr.cells[head.indexOf('Heard')].textContent])"), what="the history of T-00003")
    check(history[0] == ["mismatch", "T-OLD"] and history[-1] == ["", ""], "history of T-00003: %r" % history)
    driver.save_screenshot(os.path.join(artefacts, "board-%s.png" % kind))

    # The phone: nothing wider than its screen.
    driver.set_window_size(390, 844)
    time.sleep(0.3)  # the browser lays the page out anew
    width = driver.execute_script("return document.documentElement.scrollWidth")
    check(width <= 390, "the page is %d px wide on a 390 px phone" % width)
    driver.save_screenshot(os.path.join(artefacts, "board-phone-%s.png" % kind))

    # The wall screen: 1920x1080 without scrolling, big figures, the station expected but not started.
    driver.set_window_size(1920, 1080)
    driver.get(board.url + "?wall")
    wait_for(lambda: page_updates(driver), what="the wall's first picture")
    wait_for(lambda: station_tile(driver, "B2"), what="the wall's tiles")
    size = driver.execute_script("return [document.documentElement.scrollHeight, window.innerHeight,"
                                 " document.documentElement.scrollWidth, window.innerWidth]")
    check(size[0] <= size[1] and size[2] <= size[3], "the wall view scrolls: %r" % size)
    figure = driver.execute_script(
        "const e = document.querySelector('#stations .tile [data-part=named]');"
        "return e ? parseFloat(getComputedStyle(e).fontSize) : 0")
    check(figure >= 64, "the wall's station figures are %s px" % figure)
    z9 = station_tile(driver, "Z9")
    check(z9 is not None and "not-started" in z9["cls"], "expected station Z9: %r" % z9)
    a1 = station_tile(driver, "A1")
    check(a1 is not None and "target" in a1.get("target", "") and "%" in a1.get("yield", ""),
          "A1's target and first-pass yield: %r" % a1)
    driver.save_screenshot(os.path.join(artefacts, "board-wall-%s.png" % kind))
    driver.execute_script("document.documentElement.style.colorScheme = 'dark'")


def check_http(board, record, folder):
    """What plain and hostile HTTP clients get."""
    base = board.url
    # Nothing writes, whatever is asked; a body is never read as a request.
    before = record.count()
    for method in ("POST", "PUT", "DELETE", "PATCH"):
        status, _ = http(base + "api/board", method=method, data=b"x" * 10)
        check(status == 405, "%s answered %d" % (method, status))
    smuggled = b"GET /api/board HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"
    for request in (b"POST /api/board HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %d\r\n\r\n"
                    % (board.port, len(smuggled)) + smuggled,
                    b"GET /api/board HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %d\r\n\r\n"
                    % (board.port, len(smuggled)) + smuggled):
        got = exchange(board, request, timeout=3)
        answers = re.findall(rb"HTTP/1\.1 \d\d\d", got)
        check(len(answers) == 1, "a body read as a request: %r" % answers)
    status, _ = http(base + "records.csv", headers={"X-Big": "y" * 20000})
    check(status in (400, 413, 431), "an oversized request answered %d" % status)
    check(record.count() == before, "the record changed under the board")

    # Host must be the board's own; the scheme word's case does not matter; no partial streams.
    status, _ = http(base + "api/board", headers={"Host": "rebound.example:%d" % board.port})
    check(status in (400, 403, 421), "a foreign Host answered %d" % status)
    status, headers = head_of(base, "/events", {"Range": "bytes=5-"})
    check(status == 200, "Range on /events answered %d" % status)

    # The CSV: whole, with a trailer, formulas neutralised, local days, bad ranges refused.
    status, text = http(base + "records.csv?from=2000-01-01")
    rows = csv_rows(text)
    check(status == 200 and len(rows) == before, "CSV download: %d, %d rows of %d" % (status, len(rows), before))
    check(text.rstrip("\n").splitlines()[-1].startswith("# %d visits" % before), "CSV trailer: %r" %
          text.rstrip("\n").splitlines()[-1:])
    check(FORMULA not in text and "'" + FORMULA.replace('"', '""') in text, "a formula cell went out raw")
    status, text = http(base + "records.csv?from=2000-01-01&to=9999-12-31")
    check(status == 200 and len(csv_rows(text)) == before, "to=9999-12-31: %d rows" % len(csv_rows(text)))
    for bad in ("from=yesterday", "from=2026-03-05&to=2026-03-04", "to=10000-01-01"):
        status, _ = http(base + "records.csv?" + bad)
        check(status == 400, "%s answered %d" % (bad, status))
    today = time.strftime("%Y-%m-%d")
    status, picture = http(base + "api/board")
    on_page = sum(s["printers"] for s in json.loads(picture)["stations"])
    status, text = http(base + "records.csv?from=%s&to=%s" % (today, today))
    check(len(csv_rows(text)) == on_page, "today's CSV holds %d visits, the page's today %d" %
          (len(csv_rows(text)), on_page))

    # Monitoring.
    status, text = http(base + "healthz")
    check(status == 200 and json.loads(text).get("record") == "reachable", "healthz: %d %s" % (status, text))
    status, text = http(base + "metrics")
    check(status == 200 and "vendrill_board_printers_today" in text, "metrics: %d" % status)
    check('vendrill_board_radio_failures_today{station="A1"} 1\n' in text, "metrics: A1's radio failures")
    path = os.path.join(folder, "metrics.txt")
    with open(path, "w") as f:
        f.write(text)
    r = subprocess.run(["promtool", "check", "metrics"], stdin=open(path), capture_output=True, text=True)
    check(r.returncode == 0, "promtool: %s %s" % (r.stdout, r.stderr))


def check_crowds(board, driver):
    """Slow clients, a header flood and many streams hold nobody else."""
    stop = threading.Event()
    slow = []

    dripper = threading.Thread(target=boardlib.slow_clients,
                               args=(board.port, 80, stop, slow, lambda k: "127.0.0.5", 1.0))
    dripper.start()
    try:
        wait_for(lambda: len(slow) >= 60 or not dripper.is_alive(), what="the slow clients")
        for _ in range(5):
            t0 = time.monotonic()
            status, _ = http(board.url + "api/board", timeout=3)
            check(status == 200 and time.monotonic() - t0 < 2, "with slow clients: %d after %.1f s" %
                  (status, time.monotonic() - t0))
            time.sleep(0.5)
        # A head never finished is cut off, however steadily it drips.
        wait_for(lambda: not slow, timeout=40, step=0.5, what="the board to close the slow clients")
    except TimeoutError as e:
        check(False, "%s (%d still open)" % (e, len(slow)))
    finally:
        stop.set()
        dripper.join()
        for s in slow:
            s.close()

    # A header flood: refused (431) and cut off, the board's memory bounded.
    rss0 = rss_kb(board.proc.pid)
    s = connect(board, "127.0.0.6")
    sent = 0
    answer = b""
    try:
        s.sendall(b"GET / HTTP/1.1\r\n")
        while sent < 8 << 20 and not select.select([s], [], [], 0)[0]:
            s.sendall(b"X-Flood: " + b"z" * 8192 + b"\r\n")
            sent += 8203
        s.settimeout(5)
        answer = s.recv(200)
    except OSError:
        pass
    s.close()
    check(sent < 8 << 20 and (answer.startswith(b"HTTP/1.1 431") or answer == b""),
          "a header flood of %d bytes was taken: %r" % (sent, answer[:40]))
    check(rss_kb(board.proc.pid) - rss0 < 16 << 10, "the flood grew the board by %d KiB" %
          (rss_kb(board.proc.pid) - rss0))

    # Streams: one address cannot take them all; a freed place is free at once.
    streams = []
    try:
        for _ in range(80):
            s = open_stream(board, "127.0.0.3")
            if not s:
                break
            streams.append(s)
        check(len(streams) < 80, "one address opened %d streams" % len(streams))
        other = open_stream(board, "127.0.0.4")
        check(other is not None, "a stream from another address was refused")
        if other:
            other.close()
        streams.pop().close()
        s = wait_for(lambda: open_stream(board, "127.0.0.3"), timeout=3, step=0.1, what="a freed stream place")
        streams.append(s)
    except TimeoutError as e:
        check(False, str(e))
    finally:
        for s in streams:
            s.close()

    # A page whose stream is refused finds its way back by itself.
    driver.get("about:blank")
    streams = []
    try:
        while len(streams) < 80:
            s = open_stream(board)
            if not s:
                break
            streams.append(s)
        driver.get(board.url)
        wait_for(lambda: driver.execute_script("return document.getElementById('link').className.includes('lost')"),
                 what="the page to see its stream refused")
    except TimeoutError as e:
        check(False, str(e))
    finally:
        for s in streams:
            s.close()
    try:
        wait_for(lambda: driver.execute_script("return document.getElementById('link').className.includes('live')"),
                 timeout=30, what="the page to come back by itself")
    except TimeoutError as e:
        check(False, str(e))


def check_read_only_folder(record, folder, board_bin, cli, driver):
    """A SQLite record in a folder the board and `records` cannot write to."""
    line_dir = tempfile.mkdtemp(prefix="vendrill-ro-")
    os.chmod(line_dir, 0o755)
    path = os.path.join(line_dir, "line.sqlite")
    try:
        code, _, err = boardlib.Line(SIM, CLI, "sqlite:" + path, 2, prefix="R-", station="R1").wait()
        check(code == 0, "read-only folder: station: %d %s" % (code, err))
        os.chmod(path, 0o644)
        # `records` leaves nothing beside a cleanly closed record.
        r = subprocess.run([cli, "records", "--db", "sqlite:" + path, "--csv"], capture_output=True, text=True)
        check(r.returncode == 0 and len(r.stdout.splitlines()) == 3, "records: %d %s" % (r.returncode, r.stderr))
        left = sorted(os.listdir(line_dir))
        check(left == ["line.sqlite"], "records left files beside the record: %r" % left)

        board = boardlib.Board(board_bin, "sqlite:" + path, prefix=boardlib.AS_NOBODY)
        try:
            driver.get(board.url)
            wait_for(lambda: (station_tile(driver, "R1") or {}).get("named") == "2", what="R1's two printers")
            # A station writes on: the board, which can make no -shm here, follows.
            code, _, err = boardlib.Line(SIM, CLI, "sqlite:" + path, 2, prefix="R-", station="R1",
                                         addresses="0019019900B1,0019019900B2").wait()
            check(code == 0, "read-only folder: second station: %d %s" % (code, err))
            try:
                wait_for(lambda: (station_tile(driver, "R1") or {}).get("named") == "4", timeout=20,
                         what="the board to follow a record it cannot write beside")
            except TimeoutError as e:
                check(False, "%s: the page shows %r" % (e, station_tile(driver, "R1")))
        finally:
            board.stop()

        # A writer still open: its commits sit in the -wal, which nobody may index here.
        writer = sqlite3.connect(path, timeout=10)
        writer.execute("PRAGMA journal_mode=WAL")
        with writer:
            for k in range(3):
                writer.execute("INSERT INTO visits (station, address, result) VALUES ('R2', 'FEEDFACE000%d', 'failed')"
                               % k)
        total = writer.execute("SELECT COUNT(*) FROM visits").fetchone()[0]
        shm = path + "-shm"
        if os.path.exists(shm):
            os.chmod(shm, 0o600)  # as a killed station of another user leaves it
        r = subprocess.run(boardlib.AS_NOBODY + [cli, "records", "--db", "sqlite:" + path, "--csv"],
                           capture_output=True, text=True)
        shown = len(r.stdout.splitlines()) - 1
        check((r.returncode == 0 and shown == total) or (r.returncode != 0 and r.stderr),
              "records as another user showed %d of %d visits (exit %d) %s" % (shown, total, r.returncode, r.stderr))
        writer.close()
    finally:
        shutil.rmtree(line_dir, ignore_errors=True)


def main():
    global SIM, CLI
    ap = argparse.ArgumentParser()
    ap.add_argument("--bin-dir", required=True)
    ap.add_argument("--kind", choices=("sqlite", "postgres"), required=True)
    ap.add_argument("--artefacts", required=True)
    a = ap.parse_args()
    board_bin = os.path.join(a.bin_dir, "vendrill-board")
    CLI = os.path.join(a.bin_dir, "vendrill-cli")
    SIM = os.path.join(a.bin_dir, "vendrill-sim")
    os.makedirs(a.artefacts, exist_ok=True)
    # A zone whose day is not UTC's now: the board's days are local, like the page's.
    os.environ["TZ"] = "XXX+12" if time.gmtime().tm_hour < 12 else "XXX-12"
    time.tzset()

    folder = tempfile.mkdtemp(prefix="vendrill-board-test-")
    os.chmod(folder, 0o755)
    record = Record(a.kind, folder)
    board = driver = None
    try:
        # A first station names three printers; the record has its schema.
        code, _, err = boardlib.Line(SIM, CLI, record.location, 3, prefix="T-", station="A1").wait()
        check(code == 0, "first station: exit %d: %s" % (code, err))
        record.visit(HOSTILE, HOSTILE, HOSTILE_REASON)
        record.visit("A1", "T-00009", FORMULA, address="DEADBEEF0002")
        # T-00003 came back and the air showed its old name.
        address = record.sql("SELECT address FROM visits WHERE name = 'T-00003'")
        record.visit("A1", "T-00003", "radio check: the air shows 'T-OLD', not 'T-00003'", address=address,
                     result="already-named", radio="mismatch", heard="T-OLD")
        for k, station in enumerate(PROTO_STATIONS):
            record.visit(station, "P-%d" % k, "no answer", address="DEADBEEF01%02d" % k)

        # Bad starts: off loopback without a token, a record that is not there, a port that is taken.
        r = subprocess.run([board_bin, "--db", record.location, "--listen", "0.0.0.0:0"], capture_output=True,
                           text=True, timeout=20)
        check(r.returncode == 2 and "--token" in r.stderr, "no token off loopback: %d %s" % (r.returncode, r.stderr))
        r = subprocess.run([board_bin, "--db", "sqlite:" + folder + "/missing.sqlite", "--listen", "127.0.0.1:0"],
                           capture_output=True, text=True, timeout=20)
        check(r.returncode == 6 and "missing.sqlite" in r.stderr, "missing record: %d %s" % (r.returncode, r.stderr))
        check(not os.path.exists(folder + "/missing.sqlite"), "the board made a record file")

        settings = os.path.join(folder, "board.conf")
        with open(settings, "w") as f:
            f.write("# the line's targets\nsilent_after = 10 min\nline_target = 400 per shift\n"
                    "shifts = 06:00 14:00 22:00\n\n[station A1]\ntarget = 60 per hour\n\n[station Z9]\n")
        try:
            board = boardlib.Board(board_bin, record.location, "--config", settings)
        except RuntimeError as e:
            check(False, str(e))
            board = boardlib.Board(board_bin, record.location)
        second = subprocess.Popen([board_bin, "--db", record.location, "--listen", "127.0.0.1:%d" % board.port],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            _, err = second.communicate(timeout=20)
            check(second.returncode == 1 and "cannot listen" in err, "a second board on the port: %d %s" %
                  (second.returncode, err))
        except subprocess.TimeoutExpired:
            second.kill()
            second.wait()
            check(False, "a second board serves on the port the first one holds")
        driver = boardlib.chromium()
        driver.get(board.url)
        section("the page", check_page, driver, board, record, a.artefacts, a.kind)
        section("HTTP", check_http, board, record, folder)
        section("crowds", check_crowds, board, driver)

        # A record that goes away is shown on the page, and read again when back.
        driver.get(board.url)
        wait_for(lambda: page_updates(driver), what="the picture again")
        if record.pg:
            record.pg.halt()
        else:
            os.rename(record.path, record.path + ".away")
        wait_for(lambda: driver.execute_script("return !document.getElementById('problem').hidden"), timeout=30,
                 what="the page to show the record is gone")
        check("down" in driver.execute_script("return document.getElementById('record-state').className"),
              "the record's state is not shown as down")
        status, _ = http(board.url + "healthz")
        check(status == 503, "healthz with the record gone: %d" % status)
        if record.pg:
            record.pg.start()
        else:
            os.rename(record.path + ".away", record.path)
        wait_for(lambda: driver.execute_script("return document.getElementById('problem').hidden"), timeout=30,
                 what="the page to show the record is back")
        check(board.stop() == 0, "the board did not end cleanly on SIGTERM")
        board = None

        # With a token: only requests that carry it, however it is written.
        token_file = os.path.join(folder, "token")
        with open(token_file, "w") as f:
            f.write(TOKEN + "\n")
        board = boardlib.Board(board_bin, record.location, "--token", token_file)
        quoted = urllib.parse.quote(TOKEN, safe="")
        for url, headers, want in ((board.url, {}, 401),
                                   (board.url + "?token=wrong-token-of-the-shop-flooR", {}, 401),
                                   (board.url + "api/board", {"Authorization": "Bearer nope"}, 401),
                                   (board.url + "events", {}, 401),
                                   (board.url + "api/board", {"Authorization": "Bearer " + TOKEN}, 200),
                                   (board.url + "api/board", {"Authorization": "bearer " + TOKEN}, 200),
                                   (board.url + "?token=" + quoted, {}, 200),
                                   (board.url + "?token=" + TOKEN, {}, 200)):
            status, _ = http(url, headers=headers)
            check(status == want, "%s %r: %d, not %d" % (url, headers, status, want))
        # A body sent to a board that wants a token is not a second request either.
        smuggled = b"GET /api/board HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer %s\r\n\r\n" % TOKEN.encode()
        got = exchange(board, b"POST / HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nContent-Length: %d\r\n\r\n"
                       % (board.port, len(smuggled)) + smuggled, timeout=3)
        check(len(re.findall(rb"HTTP/1\.1 \d\d\d", got)) == 1, "a smuggled request on a token board: %r" % got[:300])
        driver.get(board.url + "?token=" + TOKEN)
        try:
            wait_for(lambda: station_tile(driver, "B2"), what="the stations with a token")
        except TimeoutError as e:
            check(False, str(e))
        board.stop()
        board = None

        if record.kind == "sqlite":
            section("read-only folder", check_read_only_folder, record, folder, board_bin, CLI, driver)
    finally:
        if driver:
            driver.quit()
        if board:
            board.stop()
        record.close()
        shutil.rmtree(folder, ignore_errors=True)

    if failures:
        print("%d checks failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    import urllib.parse  # noqa: F401
    sys.exit(main())
