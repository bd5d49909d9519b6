"""What the line board's browser test and its benchmark share: a private
PostgreSQL server, the board and a station on a simulated line as child
processes, and headless Chromium driven through chromedriver.

Run with Debian's /usr/bin/python3 (python3-selenium)."""

import glob
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

# Requests to the board must never go through a proxy of the environment.
for _key in ("http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"):
    os.environ.pop(_key, None)
os.environ["no_proxy"] = os.environ["NO_PROXY"] = "*"


def wait_for(predicate, timeout=20.0, step=0.02, what="a condition"):
    """Polls until predicate() is true; raises after timeout seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > deadline:
            raise TimeoutError("timed out waiting for " + what)
        time.sleep(step)


def slow_clients(port, count, stop, held, source, every=2.0):
    """count connections to the board on 127.0.0.1:port (from source(k)),
    each trickling a byte of its head every `every` seconds until the event
    stop is set; `held` lists those still open."""
    for k in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=(source(k), 0))
            s.sendall(b"GET /api/board HTTP/1.1\r\nX-Slow: ")
            held.append(s)
        except OSError:
            pass
    while not stop.wait(every):
        for s in list(held):
            try:
                s.sendall(b"y")
            except OSError:
                held.remove(s)


class PgServer:
    """A PostgreSQL cluster in a temporary folder, on a Unix socket only.
    initdb and the server refuse root: as root they run as postgres."""

    def __init__(self):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"))
        if not bins:
            raise RuntimeError("PostgreSQL is not installed (package postgresql)")
        self.bin = os.path.dirname(bins[-1])
        self.dir = tempfile.mkdtemp(prefix="vendrill-pg-")
        os.chmod(self.dir, 0o755)
        self.as_user = ["runuser", "-u", "postgres", "--"] if os.getuid() == 0 else []
        if os.getuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
        self._run("initdb", "--no-sync", "-A", "trust", "-U", "vendrill", "-E", "UTF8", "-D", self.dir + "/data")
        self.start()

    def _run(self, tool, *args):
        subprocess.run(self.as_user + [os.path.join(self.bin, tool), *args], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

    def start(self):
        self._run("pg_ctl", "-D", self.dir + "/data", "-l", self.dir + "/server.log", "-o",
                  "-c listen_addresses= -c fsync=off -k " + self.dir, "-w", "-t", "60", "start")

    def halt(self):
        self._run("pg_ctl", "-D", self.dir + "/data", "-m", "fast", "-w", "-t", "60", "stop")

    def url(self, database):
        return "postgresql://vendrill@/%s?host=%s" % (database, self.dir)

    def psql(self, database, sql):
        return subprocess.run(["psql", "-X", "-q", "-A", "-t", "-v", "ON_ERROR_STOP=1", self.url(database), "-c", sql],
                              check=True, capture_output=True, text=True).stdout.strip()

    def new_database(self, name):
        self.psql("postgres", "CREATE DATABASE " + name)
        return self.url(name)

    def close(self):
        if os.path.exists(self.dir + "/data/postmaster.pid"):
            subprocess.run(self.as_user + [os.path.join(self.bin, "pg_ctl"), "-D", self.dir + "/data", "-m",
                                           "immediate", "-w", "stop"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)


# Runs a program as the user nobody: root reads and writes everything, so
# what a read-only folder does is seen only as another user.
AS_NOBODY = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


class Board:
    """vendrill-board on a free loopback port (or as told); `prefix` runs it
    through another program (AS_NOBODY), `env` adds to its environment."""

    def __init__(self, binary, db, *extra, listen="127.0.0.1:0", prefix=(), env=None):
        self.proc = subprocess.Popen([*prefix, binary, "--db", db, "--listen", listen, *extra], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=dict(os.environ, **(env or {})))
        line = self.proc.stdout.readline()
        match = re.search(r"(http://\S+/)", line)
        if not match:
            self.proc.kill()
            raise RuntimeError("the board did not start: " + line + self.proc.stderr.read())
        self.url = match.group(1)
        self.port = int(self.url.rstrip("/").rsplit(":", 1)[1])

    def stop(self):
        """Stops the board with SIGTERM; returns its exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout=20)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()


class Line:
    """A simulated production line and a station naming its printers."""

    def __init__(self, sim, cli, db, printers, prefix="P-", station="S1", sim_args=(), station_args=(),
                 addresses=None, stay_ms=1000):
        """addresses: vendrill-sim's --line list (printers then counts them). stay_ms: how long a printer
        stays after its name, long enough for the read-back on a loaded machine under sanitizers."""
        self.sim = subprocess.Popen([sim, "--line", addresses or str(printers), "--stay", str(stay_ms), "--gone", "300", *sim_args],
                                    stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.sim.stdout.readline()
        match = re.search(r"module on (\S+)", line)
        if not match:
            self.sim.kill()
            raise RuntimeError("the simulator did not start: " + line)
        self.station = subprocess.Popen([cli, "--port", match.group(1), "station", "--name", prefix, "--db", db,
                                         "--create-record", "--station", station, "--count", str(printers), "--json",
                                         *station_args],
                                        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    def wait(self, timeout=120):
        out, err = self.station.communicate(timeout=timeout)
        self.sim.terminate()
        self.sim.wait(timeout=10)
        return self.station.returncode, out, err

    def kill(self):
        for p in (self.station, self.sim):
            if p.poll() is None:
                p.kill()
                p.wait()


def chromium(width=1920, height=1080):
    """Headless Debian Chromium through chromedriver."""
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--no-proxy-server", "--window-size=%d,%d" % (width, height)):
        options.add_argument(arg)
    options.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
