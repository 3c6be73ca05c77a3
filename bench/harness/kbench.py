"""Shared pieces of the benchmark drivers: the service and its peers from the optimised build,
process figures from /proc, a watcher of closed photo files, event batches with photo names
of their own, machine facts, and the result blocks (console and markdown)."""

import contextlib
import datetime
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
os.environ.setdefault("KESTRIN_BUILD", str(REPO / "build-bench"))
BUILD = Path(os.environ["KESTRIN_BUILD"])
sys.path.insert(0, str(REPO / "tests" / "system"))

import kestrin  # noqa: E402  (the system tests' peers: accsim, camsim, database, settings)
from kestrin import (Accsim, Camsim, LOGIN, PASSWORD, make_database,  # noqa: E402,F401
                     store_credentials, wait_until)

PHOTO_WATCH = BUILD / "bench" / "photo_watch" / "bench_photo_watch"
SAVE_FRAME = BUILD / "bench" / "save_frame" / "bench_save_frame"
PICTURE_COMPARE = BUILD / "bench" / "picture_compare" / "bench_picture_compare"


# --- the service -----------------------------------------------------------------------------

# The system tests' service wrapper; its output (libVLC's messages) goes to a file beside
# the home, so a long run never blocks on a full pipe.
Service = kestrin.Service


class LogTail:
    """Reads the service log as it grows and counts lines that contain given texts."""

    def __init__(self, path):
        self.path = Path(path)
        self.offset = 0
        self.rest = b""
        self.lines = []  # (monotonic second when first seen, message)

    def poll(self):
        try:
            with open(self.path, "rb") as log:
                log.seek(self.offset)
                data = log.read()
        except FileNotFoundError:
            return
        self.offset += len(data)
        data = self.rest + data
        parts = data.split(b"\r\n")
        self.rest = parts.pop()
        now = time.monotonic()
        for part in parts:
            line = part.decode("utf-8", "replace")
            self.lines.append((now, line.split("] ", 1)[1] if "] " in line else line))

    def count(self, needle):
        self.poll()
        return sum(1 for _, line in self.lines if needle in line)


def camera_up_text(index, size):
    return f"[{index}] видеопоток доступен {size}"


@contextlib.contextmanager
def running_service(work, cameras, rules, camera_size, main=None, accsim_extra=()):
    """The service logged in to accsim, with `cameras` (Camsim objects, camera 1..n) in the
    database and streaming, `rules` in FB_IPD2 and the archive in work/archive. Yields the
    service, which carries `server` (the Accsim), `archive`, `log` (a LogTail) and `base`."""
    work = Path(work)
    home = kestrin.make_home(work / "home")
    archive = work / "archive"
    archive.mkdir()
    database = make_database(work / "db", cameras=[(i + 1, cam.url) for i, cam in
                                                   enumerate(cameras)],
                             rules=rules, samples=False)
    store_credentials(home, dict({"arch": str(archive)}, **(main or {})))
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database,
                extra=accsim_extra) as server, service:
        if not service.wait_ready(30):
            raise RuntimeError("the service did not start; see " + str(home))
        if not wait_until(lambda: server.state()["sessions"] == 1, 30):
            raise RuntimeError("the service did not log in to accsim")
        service.log = LogTail(service.log_path())
        for i in range(len(cameras)):
            if not wait_until(lambda: service.log.count(camera_up_text(i, camera_size)), 60,
                              0.2):
                raise RuntimeError(f"camera {i + 1} did not come up")
        service.server = server
        service.archive = archive
        service.base = f"http://127.0.0.1:{service.web_port}"
        yield service


def start_cameras(count, size, fps, quality=80):
    cameras = []
    for i in range(count):
        camera = Camsim("--size", size, "--fps", str(fps), "--quality", str(quality),
                        "--patch", f"{(40 * i) % 256:02x}80c0")
        cameras.append(camera.start())
    return cameras


def stop_all(processes):
    for process in processes:
        process.stop()


# --- events and photo names ------------------------------------------------------------------

EVENT_BASE = datetime.datetime(2030, 1, 1)


def event_fields(dvs, code, number, base=EVENT_BASE):
    """An event of controller `dvs` with event code `code`, at base + `number` seconds, so that
    every event of a batch has a photo name of its own."""
    when = base + datetime.timedelta(seconds=number)
    return {"dvs": dvs, "ev1": str(int(code[:2], 16)), "ev2": str(int(code[2:], 16)),
            "time": when.strftime("%Y-%m-%dT%H:%M:%S")}


def photo_file(event, kind="1"):
    """The archive file name of an event's photo under name format 0 (hexadecimal time)."""
    when = datetime.datetime.strptime(event["time"][:19], "%Y-%m-%dT%H:%M:%S")
    return (f"{event['dvs']}_{when.day:02X}{when.month:02X}{when.year - 2000:02X}"
            f"{when.hour:02X}{when.minute:02X}{when.second:02X}{kind}.jpg")


def sent_events(server, since=0):
    return server.request("GET", f"/sent?since={since}")


def send_batch(server, events, rate=0):
    import json
    return server.request("POST", f"/batch?rate={rate}", json.dumps(events))


def wait_sent(server, count, since=0, timeout=600):
    """The accsim records of `count` events from `since` on, once all of them are sent."""
    deadline = time.monotonic() + timeout
    while True:
        reply = sent_events(server, since)
        if len(reply["events"]) >= count or time.monotonic() > deadline:
            return reply["events"]
        time.sleep(0.2)


class PhotoWatch:
    """Notes when each file in a folder is closed after writing (CLOCK_MONOTONIC, the clock of
    time.monotonic()), through bench_photo_watch."""

    def __init__(self, folder):
        self.proc = subprocess.Popen([str(PHOTO_WATCH), str(folder)], stdout=subprocess.PIPE,
                                     text=True)
        if self.proc.stdout.readline().strip() != "ready":
            raise RuntimeError("bench_photo_watch did not start")
        self.lock = threading.Lock()
        self.closed = {}  # name -> (monotonic second, size) of its first close with data
        self.closes = 0
        self.thread = threading.Thread(target=self._read, daemon=True)
        self.thread.start()

    def _read(self):
        for line in self.proc.stdout:
            ns, size, name = line.rstrip("\n").split(" ", 2)
            with self.lock:
                self.closes += 1
                if int(size) > 0 and name not in self.closed:
                    self.closed[name] = (int(ns) / 1e9, int(size))

    def snapshot(self):
        with self.lock:
            return dict(self.closed)

    def wait_for(self, names, timeout, settle=0.0):
        """Waits until every name has been closed or `timeout` passed; returns the snapshot."""
        names = set(names)
        wait_until(lambda: names <= set(self.snapshot()), timeout, 0.05)
        time.sleep(settle)
        return self.snapshot()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            self.proc.wait(5)


# --- figures ---------------------------------------------------------------------------------

def percentile(values, p):
    """Nearest-rank percentile of `values` (p in 0..100)."""
    ordered = sorted(values)
    if not ordered:
        return float("nan")
    rank = max(1, -(-len(ordered) * p // 100))  # ceil
    return ordered[min(len(ordered), int(rank)) - 1]


def proc_status(pid):
    """VmRSS and VmHWM in KiB, threads and open file descriptors of a process."""
    fields = {}
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        key, _, value = line.partition(":")
        fields[key] = value.strip()
    return {"rss_kib": int(fields["VmRSS"].split()[0]), "hwm_kib": int(fields["VmHWM"].split()[0]),
            "threads": int(fields["Threads"]), "fds": len(os.listdir(f"/proc/{pid}/fd"))}


def cpu_seconds(pid):
    """utime + stime of a process, in seconds."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def thread_cpu(pid):
    """{thread id: (name, utime + stime in seconds)} of a process's threads."""
    threads = {}
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            stat = Path(f"/proc/{pid}/task/{task}/stat").read_text()
        except OSError:
            continue  # ended meanwhile
        name = stat[stat.index("(") + 1:stat.rindex(")")]
        fields = stat.rsplit(")", 1)[1].split()
        threads[int(task)] = (name, (int(fields[11]) + int(fields[12])) /
                              os.sysconf("SC_CLK_TCK"))
    return threads


def minor_faults(pid):
    return int(Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[7])


def cores():
    return len(os.sched_getaffinity(0))


def cpu_model():
    for line in Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown"


def load_text():
    return " ".join(f"{v:.2f}" for v in os.getloadavg())


def bare_encode_ms(size, quality, rounds=30):
    """Median milliseconds of one bare libjpeg-turbo compression of a `size` frame, from
    bench_save_frame, and its output."""
    out = subprocess.run([str(SAVE_FRAME), str(rounds), size], check=True, capture_output=True,
                         text=True).stdout
    for line in out.splitlines():
        if line.startswith(f"quality {quality:3d}: bare encode"):
            return float(line.split("bare encode", 1)[1].split()[0]), out
    raise RuntimeError("bench_save_frame printed no figure for quality %d:\n%s" % (quality, out))


class Report:
    """One benchmark's result block: figures with the load average at the moment each was
    taken, targets and whether they are met; printed and appended to a markdown file."""

    def __init__(self, title, command):
        self.title = title
        self.command = command
        self.rows = []
        self.notes = []
        self.load_at_start = load_text()

    def figure(self, name, value, target="", met=None):
        self.rows.append((name, value, target, met, load_text()))

    def note(self, text):
        self.notes.append(text)

    def emit(self, markdown_path=None):
        verdict = {True: "met", False: "NOT met", None: ""}
        width = max(len(row[0]) for row in self.rows) if self.rows else 10
        print(f"\n=== {self.title} ===")
        print(f"command: {self.command}")
        print(f"machine: {cores()} cores, {cpu_model()}; load average at start {self.load_at_start}")
        for name, value, target, met, load in self.rows:
            line = f"  {name:<{width}}  {value}"
            if target:
                line += f"   target {target}: {verdict[met]}"
            print(line + f"   [load {load}]")
        for text in self.notes:
            print("  note: " + text)
        sys.stdout.flush()
        if not markdown_path:
            return
        with open(markdown_path, "a", encoding="utf-8") as md:
            md.write(f"\n### {self.title}\n\n")
            md.write(f"Command: `{self.command}`  \n")
            md.write(f"Machine: {cores()} cores, {cpu_model()}; load average (1, 5, 15 min) at "
                     f"start {self.load_at_start}\n\n")
            md.write("| figure | value | target | met | load average |\n|---|---|---|---|---|\n")
            for name, value, target, met, load in self.rows:
                md.write(f"| {name} | {value} | {target} | {verdict[met]} | {load} |\n")
            for text in self.notes:
                md.write(f"\n{text}\n")
