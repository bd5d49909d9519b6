#!/usr/bin/python3
"""The line board's figures, on a record of 100,000 visits in SQLite and in a
private PostgreSQL server:
  - page ready with its data (headless Chromium, fresh navigation each load);
  - a visit a station commits -> the visit on the open page (browser clock
    against the record's clock, one machine);
  - CPU of the board with 50 event streams open while the line is idle;
  - the board's peak resident memory after all of that;
  - an authorised request's latency while 1,000 slow connections are held,
    and the board's memory under a header flood (SQLite run);
  - the whole CSV at 1,000,000 visits (the record's visits copied onto
    themselves), against its time per visit at 100,000.

Writes ROW and NOTE lines (tab-separated, as bench/BenchRow.h does) to
standard error for scripts/bench.sh, the rest to standard output. Nothing
fails on time; exit status 1 when a figure could not be measured.

Run with Debian's /usr/bin/python3 (python3-selenium)."""

import argparse
import http.client
import math
import os
import shutil
import socket
import sqlite3
import statistics
import sys
import tempfile
import threading
import time
import traceback
from datetime import datetime, timezone

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "board"))
import boardlib  # noqa: E402

# The filled record: visits over the last days, today's share across four
# stations, most printers seen once and some coming back.
VISITS = 100_000
PRINTERS = 90_000
TODAY = 4_000
DAYS = 30
STATIONS = 4
PREFIX = "P-"
# Addresses of the filled record; the simulated line's start with 0019.
BULK_ADDRESS = "02BE"
FAIL_EVERY = 97

TICK = os.sysconf("SC_CLK_TCK")


# ---- result lines -----------------------------------------------------------

def ratio_text(ratio):
    if ratio is None or not math.isfinite(ratio):
        return "-"
    return "%.3f" % ratio if ratio >= 0.01 or ratio == 0 else "%.1e" % ratio


def row(figure, value, floor, ratio, target, remark=""):
    fields = [figure, value, floor, ratio_text(ratio), target, remark]
    sys.stderr.write("ROW\t" + "\t".join(f.replace("\t", " ") for f in fields) + "\n")
    sys.stderr.flush()


def note(text):
    sys.stderr.write("NOTE\t" + text.replace("\t", " ") + "\n")
    sys.stderr.flush()


def log(text):
    print(text, flush=True)


def percentile(values, p):
    """Nearest rank."""
    v = sorted(values)
    return v[max(0, min(len(v) - 1, math.ceil(p * len(v)) - 1))]


def min_med_max(values, unit, fmt="%.1f"):
    return " / ".join(fmt % x for x in (min(values), statistics.median(values), max(values))) + " " + unit


# ---- the record -------------------------------------------------------------

def plan(now):
    """Epoch seconds of visit g (1-based): the old ones evenly over DAYS days
    before today, today's from local midnight up to a minute ago."""
    day0 = datetime.fromtimestamp(now).astimezone().replace(hour=0, minute=0, second=0, microsecond=0).timestamp()
    old = VISITS - TODAY
    old_step = DAYS * 86400.0 / old
    today_step = max(now - 60 - day0, 1.0) / TODAY
    return day0, old, old_step, today_step


def record_time(epoch):
    t = datetime.fromtimestamp(epoch, timezone.utc)
    return t.strftime("%Y-%m-%dT%H:%M:%S.") + "%03dZ" % (t.microsecond // 1000)


def make_schema(sim, cli, db):
    """A short station creates the schema; its one visit goes again, so that
    the record holds the filled visits only."""
    line = boardlib.Line(sim, cli, db, 1, prefix="W-", station="S1")
    rc, out, err = line.wait()
    if rc != 0:
        raise RuntimeError("the station that makes the schema failed (%d): %s" % (rc, err.strip()))


def fill_sqlite(path, now):
    day0, old, old_step, today_step = plan(now)
    con = sqlite3.connect(path)
    con.execute("PRAGMA busy_timeout = 10000")
    with con:
        con.execute("DELETE FROM visits")
        con.execute("DELETE FROM names")
        times = [day0 - (old - g + 1) * old_step if g <= old else day0 + (g - old) * today_step
                 for g in range(1, VISITS + 1)]
        # A printer's name dates from its first visit.
        con.executemany(
            "INSERT INTO names (name, prefix, number, address, station, state, claimed, changed)"
            " VALUES (?, ?, ?, ?, ?, 'named', ?, ?)",
            ((PREFIX + "%06d" % p, PREFIX, p, BULK_ADDRESS + "%08X" % p, "S%d" % ((p - 1) % STATIONS + 1),
              record_time(times[p - 1]), record_time(times[p - 1])) for p in range(1, PRINTERS + 1)))
        ids = dict(con.execute("SELECT number, id FROM names WHERE prefix = ?", (PREFIX,)))
        rows = []
        for g in range(1, VISITS + 1):
            p = (g - 1) % PRINTERS + 1
            failed = g % FAIL_EVERY == 0
            result = "failed" if failed else "named" if g <= PRINTERS else "already-named"
            rows.append((record_time(times[g - 1]), "S%d" % ((g - 1) % STATIONS + 1), BULK_ADDRESS + "%08X" % p,
                         result, ids[p], PREFIX + "%06d" % p, p, "no answer to Set BDN" if failed else ""))
        con.executemany("INSERT INTO visits (time, station, address, result, name_id, name, number, reason)"
                        " VALUES (?, ?, ?, ?, ?, ?, ?, ?)", rows)
    count = con.execute("SELECT COUNT(*) FROM visits").fetchone()[0]
    con.close()
    return count


def fill_postgres(pg, database, now):
    day0, old, old_step, today_step = plan(now)
    at = ("to_timestamp(CASE WHEN {g} <= {old} THEN {day0} - ({old} - {g} + 1) * {old_step}"
          " ELSE {day0} + ({g} - {old}) * {today_step} END)")
    args = dict(old=old, day0=repr(day0), old_step=repr(old_step), today_step=repr(today_step))
    pg.psql(database, "BEGIN; DELETE FROM visits; DELETE FROM names;"
            " INSERT INTO names (name, prefix, number, address, station, state, claimed, changed)"
            " SELECT '{prefix}' || lpad(p::text, 6, '0'), '{prefix}', p, '{bulk}' || lpad(upper(to_hex(p)), 8, '0'),"
            " 'S' || ((p - 1) % {stations} + 1), 'named', {at}, {at} FROM generate_series(1, {printers}) p;"
            " INSERT INTO visits (time, station, address, result, name_id, name, number, reason)"
            " SELECT {atg}, 'S' || ((g - 1) % {stations} + 1), n.address,"
            " CASE WHEN g % {fail} = 0 THEN 'failed' WHEN g <= {printers} THEN 'named' ELSE 'already-named' END,"
            " n.id, n.name, n.number, CASE WHEN g % {fail} = 0 THEN 'no answer to Set BDN' ELSE '' END"
            " FROM generate_series(1, {visits}) g JOIN names n ON n.prefix = '{prefix}'"
            " AND n.number = (g - 1) % {printers} + 1 ORDER BY g;"
            " COMMIT; ANALYZE;".format(
                prefix=PREFIX, bulk=BULK_ADDRESS, stations=STATIONS, printers=PRINTERS, visits=VISITS,
                fail=FAIL_EVERY, at=at.format(g="p", **args), atg=at.format(g="g", **args)))
    return int(pg.psql(database, "SELECT COUNT(*) FROM visits"))


# ---- the board process ------------------------------------------------------

def cpu_ticks(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return int(fields[11]) + int(fields[12])  # utime, stime


def cpu_ns(pid):
    """Run time of the live threads (schedstat), finer than the ticks."""
    total = 0
    for tid in os.listdir("/proc/%d/task" % pid):
        try:
            with open("/proc/%d/task/%s/schedstat" % (pid, tid)) as f:
                total += int(f.read().split()[0])
        except OSError:
            pass
    return total


def memory_kb(pid):
    out = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            key, _, value = line.partition(":")
            if key in ("VmHWM", "VmRSS", "Threads"):
                out[key] = int(value.split()[0])
    return out


def get(url, path, timeout=30):
    host, port = url.split("//", 1)[1].rstrip("/").split(":")
    con = http.client.HTTPConnection(host, int(port), timeout=timeout)
    t0 = time.perf_counter()
    con.request("GET", path)
    res = con.getresponse()
    body = res.read()
    ms = (time.perf_counter() - t0) * 1000
    con.close()
    if res.status != 200:
        raise RuntimeError("GET %s: %d %s" % (path, res.status, body[:200]))
    return ms, body


def fetch_whole(url, path, timeout=300):
    """A long answer read as fast as a socket gives it (HTTP/1.0: no chunks
    to take apart in Python, which would cost more than the board)."""
    host, port = url.split("//", 1)[1].rstrip("/").split(":")
    s = socket.create_connection((host, int(port)), timeout=timeout)
    t0 = time.perf_counter()
    s.sendall(b"GET %s HTTP/1.0\r\nHost: %s:%s\r\n\r\n" % (path.encode(), host.encode(), port.encode()))
    parts = []
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            break
        parts.append(chunk)
    ms = (time.perf_counter() - t0) * 1000
    s.close()
    head, _, body = b"".join(parts).partition(b"\r\n\r\n")
    if not head.startswith(b"HTTP/1.1 200") and not head.startswith(b"HTTP/1.0 200"):
        raise RuntimeError("GET %s: %s" % (path, head[:100]))
    return ms, body


def open_stream(url, source="127.0.0.1"):
    """An event stream, read up to the end of its first event."""
    host, port = url.split("//", 1)[1].rstrip("/").split(":")
    s = socket.create_connection((host, int(port)), timeout=20, source_address=(source, 0))
    s.sendall(b"GET /events HTTP/1.1\r\nHost: %s:%s\r\nAccept: text/event-stream\r\n\r\n" % (host.encode(),
                                                                                            port.encode()))
    got = b""
    while not (b"data: " in got and b"\n\n" in got[got.index(b"data: "):]):
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("the event stream closed: " + got[:200].decode(errors="replace"))
        got += chunk
    if not got.startswith(b"HTTP/1.1 200"):
        raise RuntimeError("the event stream was refused: " + got.split(b"\r\n", 1)[0].decode(errors="replace"))
    return s


def drain(s):
    """What a stream received since: the number of pictures in it."""
    s.setblocking(False)
    got = b""
    try:
        while True:
            chunk = s.recv(1 << 20)
            if not chunk:
                break
            got += chunk
    except BlockingIOError:
        pass
    s.setblocking(True)
    return got.count(b"data: ")


# ---- the browser ------------------------------------------------------------

def chromium():
    """boardlib's headless Chromium without the back/forward cache: a page left
    for about:blank would stay there with its event stream open, and the
    seventh load would wait for one of the six connections a host gets."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--no-proxy-server",
                "--window-size=1920,1080", "--disable-features=BackForwardCache"):
        options.add_argument(arg)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


READY_JS = "return window.vendrillBoard ? window.vendrillBoard.firstDataAt : null;"
STATE_JS = ("const b = window.vendrillBoard; return b && b.picture ? {updates: b.updates, error: b.picture.error,"
            " latest: b.picture.latest.length} : null;")
# The new visits on the page: the time each first showed minus its time in
# the record, both read in the browser.
LATENCY_JS = """
const b = window.vendrillBoard;
const out = [];
for (const v of (b.picture ? b.picture.latest : [])) {
  if (v.address.startsWith(arguments[0])) continue;
  const key = v.time + ' ' + v.station + ' ' + v.address;
  out.push({key: key, ms: b.seen[key] - Date.parse(v.time)});
}
return {visits: out, updates: b.updates};
"""


def page_ready(driver, url, loads):
    """firstDataAt of one warm-up load and `loads` counted ones."""
    times = []
    for k in range(loads + 1):
        driver.get("about:blank")
        driver.get(url)
        ready = boardlib.wait_for(lambda: driver.execute_script(READY_JS), timeout=30, step=0.01,
                                  what="the page's first data")
        if k > 0:
            times.append(float(ready))
    state = driver.execute_script(STATE_JS)
    if not state or state["error"] or state["latest"] == 0:
        raise RuntimeError("the page shows no data: %r" % (state,))
    return times


def commit_to_page(driver, board, sim, cli, db, printers):
    """A station names `printers` printers while the page is open."""
    cpu0, ns0 = cpu_ticks(board.proc.pid), cpu_ns(board.proc.pid)
    updates0 = driver.execute_script("return window.vendrillBoard.updates;")
    line = boardlib.Line(sim, cli, db, printers, prefix="L-", station="S1", stay_ms=100)
    try:
        rc, out, err = line.wait(timeout=300)
    finally:
        line.kill()
    if rc != 0:
        raise RuntimeError("the station failed (%d): %s" % (rc, err.strip()))
    seen = boardlib.wait_for(
        lambda: (lambda r: r if len(r["visits"]) >= printers else None)(
            driver.execute_script(LATENCY_JS, BULK_ADDRESS)),
        timeout=20, what="the station's visits on the page")
    cpu1, ns1 = cpu_ticks(board.proc.pid), cpu_ns(board.proc.pid)
    latencies = [v["ms"] for v in seen["visits"]]
    return latencies, seen["updates"] - updates0, (cpu1 - cpu0) * 1000.0 / TICK, (ns1 - ns0) / 1e6


# ---- one database -----------------------------------------------------------

def measure(label, db, fill, args):
    """Every figure on one record. True when all were measured."""
    ok = True
    log("== %s: filling the record" % label)
    make_schema(args.sim, args.cli, db)
    t0 = time.perf_counter()
    count = fill()
    log("%d visits in %.1f s" % (count, time.perf_counter() - t0))
    board = boardlib.Board(args.board, db)
    pid = board.proc.pid
    streams = []
    driver = None
    try:
        get(board.url, "/api/board")  # the first picture is read
        started = memory_kb(pid)
        driver = chromium()

        fig = "Line board: page ready with its data, %s record of %s visits" % (label, "{:,}".format(count))
        try:
            loads = page_ready(driver, board.url, args.loads)
            log("page ready (ms): " + " ".join("%.1f" % t for t in loads))
            row(fig + " (%d loads, min/med/max)" % len(loads), min_med_max(loads, "ms"), "300 ms target",
                statistics.median(loads) / 300.0, "<= 300 ms", "ratio to the target")
            note("Page ready, %s: p90 %.1f ms over %d fresh loads in headless Chromium (performance.now() when the "
                 "first picture was rendered, from the start of the navigation; one warm-up load not counted)."
                 % (label, percentile(loads, 0.9), len(loads)))
        except Exception as e:  # noqa: BLE001
            ok = False
            row(fig, "not measured", "-", None, "<= 300 ms", str(e)[:200])

        fig = "Line board: station commit -> visit on the open page, %s" % label
        per_picture = None
        try:
            lat, updates, cpu_ms, run_ms = commit_to_page(driver, board, args.sim, args.cli, db, args.printers)
            log("commit -> page (ms): " + " ".join("%.0f" % t for t in lat))
            per_picture = run_ms / max(updates, 1)
            row(fig + " (%d printers, min/med/max)" % len(lat), min_med_max(lat, "ms", "%.0f"), "1000 ms target",
                statistics.median(lat) / 1000.0, "median <= 1 s", "ratio to the target")
            note("Commit -> page, %s: p90 %.0f ms (browser's Date.now() when the visit first showed minus the "
                 "record's time of the visit, set in the station's transaction). The board sent %d pictures for "
                 "%d visits and ran %.0f ms of CPU meanwhile (%.1f ms a picture, the line's polls included)."
                 % (label, percentile(lat, 0.9), updates, len(lat), run_ms, run_ms / max(updates, 1)))
        except Exception as e:  # noqa: BLE001
            ok = False
            row(fig, "not measured", "-", None, "median <= 1 s", str(e)[:200])
        driver.quit()
        driver = None
        after_page = memory_kb(pid)

        # The other reads of the page, on the full record.
        after_reads = None
        try:
            board_ms = [get(board.url, "/api/board")[0] for _ in range(5)]
            q_ms = [get(board.url, "/api/printer?q=%s%06d" % (PREFIX, n))[0] for n in (12345, 45678, 78901)]
            csv_ms, csv = fetch_whole(board.url, "/records.csv")
            after_reads = memory_kb(pid)
            note("Other reads, %s: /api/board %.1f ms (the picture kept), /api/printer?q=NAME %.0f ms (median of "
                 "%d), /records.csv of every visit %.0f ms for %.1f MB (%d lines)."
                 % (label, statistics.median(board_ms), statistics.median(q_ms), len(q_ms), csv_ms,
                    len(csv) / 1e6, csv.count(b"\n")))
        except Exception as e:  # noqa: BLE001
            ok = False
            note("Other reads, %s: failed: %s" % (label, e))

        fig = "Line board: %d open pages (event streams), line idle, %s" % (args.streams, label)
        try:
            # Pages of several machines (one address holds 16 streams at most).
            for k in range(args.streams):
                streams.append(open_stream(board.url, "127.0.2.%d" % (k // 10 + 1)))
            time.sleep(0.5)
            for s in streams:
                drain(s)
            c0, n0, w0 = cpu_ticks(pid), cpu_ns(pid), time.perf_counter()
            time.sleep(args.idle_s)
            c1, n1, w1 = cpu_ticks(pid), cpu_ns(pid), time.perf_counter()
            wall = w1 - w0
            cpu_ms = (c1 - c0) * 1000.0 / TICK
            pct = 100.0 * cpu_ms / 1000.0 / wall
            pictures = drain(streams[0])
            row(fig + ": CPU in %.0f s" % wall, "%.0f ms = %.3f %% of one core" % (cpu_ms, pct),
                "1 %% target = %.0f ms" % (10.0 * wall), pct / 1.0, "<= 1 % of one core", "ratio to the target")
            refresh = ("" if per_picture is None else
                       "; at about %.1f ms a picture that re-read adds some %.3f %% of a core on average"
                       % (per_picture, 100.0 * per_picture / 30000.0))
            note("Idle with %d streams, %s: %.1f ms of run time by the threads' schedstat (%.3f %%); %d new pictures "
                 "went out in the %.0f s (the board reads the record again every 30 s even when nothing changed%s)."
                 % (args.streams, label, (n1 - n0) / 1e6, 100.0 * (n1 - n0) / 1e9 / wall, pictures, wall, refresh))
        except Exception as e:  # noqa: BLE001
            ok = False
            row(fig, "not measured", "-", None, "<= 1 % of one core", str(e)[:200])

        fig = "Line board: peak resident memory, VmHWM, %s record, %d streams open" % (label, len(streams))
        mem = memory_kb(pid)
        row(fig, "%.1f MiB (VmRSS now %.1f MiB)" % (mem["VmHWM"] / 1024, mem["VmRSS"] / 1024), "40 MB target",
            mem["VmHWM"] / 1024 / 40.0, "<= 40 MB", "ratio to the target")
        steps = [("the first picture read", started), ("the page loads and the station's visits", after_page)]
        if after_reads:
            steps.append(("the other reads (a CSV of every visit)", after_reads))
        steps.append(("%d streams" % len(streams), mem))
        note("Memory, %s: VmHWM / VmRSS after " % label +
             ", ".join("%s %.1f / %.1f MiB" % (what, m["VmHWM"] / 1024, m["VmRSS"] / 1024) for what, m in steps) +
             "; %d threads." % mem["Threads"])
        for s in streams:
            s.close()
        streams = []
        if label == "SQLite":
            ok &= crowds(board, args)
        ok &= whole_csv(board, label, db, count, args)
    finally:
        if driver is not None:
            driver.quit()
        for s in streams:
            s.close()
        status = board.stop()
        if status != 0:
            log("the board exited with %s: %s" % (status, board.proc.stderr.read().strip()))
    return ok


# ---- hostile crowds and the whole CSV --------------------------------------

def crowds(board, args):
    """An authorised request's latency while 1,000 slow connections are held,
    and the board's memory under a header flood."""
    ok = True
    pid = board.proc.pid
    fig = "Line board: GET /api/board while 1,000 slow connections are held (SQLite)"
    stop = threading.Event()
    held = []
    # From ten addresses: the board lets one hold 128 connections.
    dripper = threading.Thread(target=boardlib.slow_clients,
                               args=(board.port, 1000, stop, held, lambda k: "127.0.1.%d" % (k // 100 + 1)))
    dripper.start()
    try:
        boardlib.wait_for(lambda: len(held) >= 1000 or not dripper.is_alive(), timeout=30, what="the slow clients")
        times = []
        deadline = time.monotonic() + 6  # within the head's deadline of 10 s: all of them still held
        while time.monotonic() < deadline:
            times.append(get(board.url, "/api/board")[0])
        still = len(held)
        row(fig + " (%d requests, min/med/p99)" % len(times),
            "%.1f / %.1f / %.1f ms" % (min(times), statistics.median(times), percentile(times, 0.99)),
            "100 ms target", percentile(times, 0.99) / 100.0, "p99 <= 100 ms", "ratio to the target")
        note("Slow clients: %d connections held (from 10 addresses, a header byte every 2 s) while the requests "
             "ran; the board closes each 10 s after it opened, however steadily it trickles." % still)
    except Exception as e:  # noqa: BLE001
        ok = False
        row(fig, "not measured", "-", None, "p99 <= 100 ms", str(e)[:200])
    finally:
        stop.set()
        dripper.join()
        for s in held:
            s.close()

    fig = "Line board: peak resident memory under a header flood of 1,000 connections (SQLite)"
    try:
        host, port = board.url.split("//", 1)[1].rstrip("/").split(":")
        line = b"X-Flood: " + b"z" * 8192 + b"\r\n"
        sent = 0
        socks = []
        for k in range(1000):
            try:
                s = socket.create_connection((host, int(port)), timeout=5,
                                             source_address=("127.0.3.%d" % (k // 100 + 1), 0))
                s.setblocking(False)
                s.send(b"GET / HTTP/1.1\r\n")
                socks.append(s)
            except OSError:
                pass
        t_end = time.monotonic() + 3
        while socks and time.monotonic() < t_end:
            for s in list(socks):
                try:
                    sent += s.send(line)
                except BlockingIOError:
                    pass
                except OSError:
                    socks.remove(s)
        for s in socks:
            s.close()
        mem = memory_kb(pid)
        row(fig, "%.1f MiB VmHWM (VmRSS after %.1f MiB)" % (mem["VmHWM"] / 1024, mem["VmRSS"] / 1024),
            "64 MB target", mem["VmHWM"] / 1024 / 64.0, "<= 64 MB", "ratio to the target")
        note("Header flood: 1,000 connections (10 addresses) sent %.0f MB of 8 KiB header lines for 3 s; each is "
             "answered 431 and closed once its head passes 16 KiB." % (sent / 1e6))
    except Exception as e:  # noqa: BLE001
        ok = False
        row(fig, "not measured", "-", None, "<= 64 MB", str(e)[:200])
    return ok


def grow(label, db, times):
    """The record's visits copied onto themselves until it holds 1,000,000."""
    if label == "SQLite":
        con = sqlite3.connect(db[len("sqlite:"):])
        with con:
            for _ in range(times):
                have = con.execute("SELECT COUNT(*) FROM visits").fetchone()[0]
                con.execute("INSERT INTO visits (time, station, address, result, name_id, name, number, reason)"
                            " SELECT time, station, address, result, name_id, name, number, reason FROM visits"
                            " ORDER BY id LIMIT ?", (min(have, 1_000_000 - have),))
        count = con.execute("SELECT COUNT(*) FROM visits").fetchone()[0]
        con.close()
        return count
    pg = GROW_PG[0]
    for _ in range(times):
        pg.psql("board_bench", "INSERT INTO visits (time, station, address, result, name_id, name, number, reason)"
                " SELECT time, station, address, result, name_id, name, number, reason FROM visits ORDER BY id"
                " LIMIT GREATEST(0, LEAST((SELECT COUNT(*) FROM visits), 1000000 - (SELECT COUNT(*) FROM visits)))")
    pg.psql("board_bench", "ANALYZE visits")
    return int(pg.psql("board_bench", "SELECT COUNT(*) FROM visits"))


GROW_PG = [None]


def whole_csv(board, label, db, count, args):
    """The whole CSV at the filled size and at 1,000,000 visits: time per visit."""
    fig = "Line board: the whole CSV of 1,000,000 visits, %s" % label
    try:
        small_ms, small = fetch_whole(board.url, "/records.csv")
        total = grow(label, db, 4)
        big_ms, big = fetch_whole(board.url, "/records.csv")
        rows = big.count(b"\n") - 2
        if rows != total or not big.rstrip(b"\n").rsplit(b"\n", 1)[-1].startswith(b"# %d visits" % total):
            raise RuntimeError("the CSV held %d of %d visits" % (rows, total))
        per_small = small_ms * 1000 / max(count, 1)
        per_big = big_ms * 1000 / total
        row(fig, "%.2f s (%.1f MB)" % (big_ms / 1000, len(big) / 1e6), "10 s target", big_ms / 10000.0,
            "<= 10 s, linear", "ratio to the target")
        note("Whole CSV, %s: %.1f us a visit at %s visits, %.1f us at %s (%.2fx: 1 is linear); keyset pages of "
             "5,000 read by the board's worker while the event loop serves the rest."
             % (label, per_small, "{:,}".format(count), per_big, "{:,}".format(total), per_big / per_small))
        return True
    except Exception as e:  # noqa: BLE001
        row(fig, "not measured", "-", None, "<= 10 s, linear", str(e)[:200])
        return False


def main():
    quick = os.environ.get("BENCH_QUICK") == "1"
    build = os.environ.get("VENDRILL_BENCH_DIR",
                           os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build-bench"))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--board", default=os.path.join(build, "bin/vendrill-board"))
    p.add_argument("--cli", default=os.path.join(build, "bin/vendrill-cli"))
    p.add_argument("--sim", default=os.path.join(build, "bin/vendrill-sim"))
    p.add_argument("--loads", type=int, default=4 if quick else 15, help="page loads per record")
    p.add_argument("--printers", type=int, default=5 if quick else 20, help="printers the station names")
    p.add_argument("--streams", type=int, default=50)
    p.add_argument("--idle-s", type=float, default=2 if quick else float(os.environ.get("BENCH_IDLE_S", 10)))
    p.add_argument("--only", choices=("sqlite", "postgresql"))
    args = p.parse_args()
    for tool in (args.board, args.cli, args.sim):
        if not os.access(tool, os.X_OK):
            sys.stderr.write("board_bench: %s is not built\n" % tool)
            return 1

    ok = True
    folder = tempfile.mkdtemp(prefix="vendrill-board-bench-")
    try:
        if args.only != "postgresql":
            path = os.path.join(folder, "record.db")
            try:
                ok &= measure("SQLite", "sqlite:" + path, lambda: fill_sqlite(path, time.time()), args)
            except Exception as e:  # noqa: BLE001
                traceback.print_exc()
                ok = False
                row("Line board, SQLite", "not measured", "-", None, "-", str(e)[:200])
        if args.only != "sqlite":
            pg = None
            try:
                pg = boardlib.PgServer()
                GROW_PG[0] = pg
                db = pg.new_database("board_bench")
                ok &= measure("PostgreSQL", db, lambda: fill_postgres(pg, "board_bench", time.time()), args)
            except Exception as e:  # noqa: BLE001
                traceback.print_exc()
                ok = False
                row("Line board, PostgreSQL", "not measured", "-", None, "-", str(e)[:200])
            finally:
                if pg is not None:
                    pg.close()
    finally:
        shutil.rmtree(folder, ignore_errors=True)
    note("Line board: the record holds %s visits of %s printers over %d days, %s of them today across %d stations "
         "(filled by SQL; PostgreSQL analysed after the fill), a private PostgreSQL server on a local socket "
         "(fsync off); pages in headless Chromium on this machine."
         % ("{:,}".format(VISITS), "{:,}".format(PRINTERS), DAYS, "{:,}".format(TODAY), STATIONS))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
