#!/usr/bin/python3
"""Soak run of the whole service: two cameras, an event every 100 ms, the server link broken
every minute (alternately a TCP drop and a close frame) and a camera reconnected every 30 s
(alternately camsim killed and restarted, and a restart asked through "restartnow").
Every 10 s it samples resident memory, threads, open descriptors, CPU and photos against
events into samples.csv; at the end it writes summary.txt and a plot, and prints the summary.

A photo counts as lost when its event reached the service outside every disturbance window
and no photo came. Disturbance windows: from a moment before a link break until the session
is back; from a moment before a camera's reconnect (ours, or one the service made by itself:
the log's reconnect lines) until the log shows the camera streaming again. While a camera
reconnects the service takes no photo from it, by design.

  soak.py [--minutes 30] [--out DIR]
"""

import argparse
import csv
import os
import sys
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "harness"))
import kbench  # noqa: E402

CONTROLLERS = ["0012A3B4C5D6", "0012A3B4C5D7"]  # controller i -> camera i + 1
CODE = "0204"
CAMERA_SIZE = "640x480"
SAMPLE_EVERY = 10.0
LINK_EVERY = 60.0
CAMERA_EVERY = 30.0
EVENT_RATE = 10.0
BEFORE = 1.0  # seconds before a disturbance from which a missing photo is excused
AFTER = 0.5  # and after the recovery
MONITOR_PERIOD = 0.5  # a camera worker notices a failed stream within this


def session_back(records, marker):
    """When the session was back after a link break at record `marker`: the first event sent
    to a session after one that found none; None while it is not back."""
    gone = False
    for record in records[marker:]:
        if record["sessions"] == 0:
            gone = True
        elif gone:
            return record["sent_at"]
    return None


def restart_camera_by_web(service, number):
    url = f"{service.base}/?restartnow={number}"
    with urllib.request.urlopen(url, timeout=20) as reply:
        return reply.read().decode("utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=30.0)
    parser.add_argument("--out", default=str(kbench.REPO / "out" / "soak"))
    args = parser.parse_args()
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    work = out / "run"
    if work.exists():
        import shutil
        shutil.rmtree(work)
    work.mkdir()

    duration = args.minutes * 60.0
    total_events = int(duration * EVENT_RATE)
    cameras = kbench.start_cameras(len(CONTROLLERS), CAMERA_SIZE, 10)
    rules = [(dvs, i + 1, CODE, 80, 0, 0, 0) for i, dvs in enumerate(CONTROLLERS)]
    samples = []
    windows = {dvs: [] for dvs in CONTROLLERS}  # controller -> [(from, to)]
    link_windows = []
    actions = []  # (second, what)
    crashed = None
    try:
        with kbench.running_service(work, cameras, rules, CAMERA_SIZE) as service:
            pid = service.proc.pid
            server = service.server
            events = [kbench.event_fields(CONTROLLERS[i % len(CONTROLLERS)], CODE, i)
                      for i in range(total_events)]
            first_sent = len(kbench.sent_events(server)["events"])
            start = time.monotonic()
            kbench.send_batch(server, events, EVENT_RATE)
            records = []  # accsim's records of our events
            cpu_before, cpu_at = kbench.cpu_seconds(pid), start
            next_sample, next_link, next_camera = start, start + LINK_EVERY, start + CAMERA_EVERY / 2
            link_count = camera_count = 0
            open_link = None  # (from, marker index) while waiting for the session to be back
            open_cameras = {}  # camera index -> (from, log count of its "up" line to wait for)
            with open(out / "samples.csv", "w", newline="") as sample_file:
                writer = csv.writer(sample_file)
                writer.writerow(["seconds", "rss_kib", "hwm_kib", "threads", "fds", "cpu_percent",
                                 "events_sent", "events_delivered", "photos", "load1"])
                while True:
                    now = time.monotonic()
                    if service.proc.poll() is not None:
                        crashed = f"the service ended with code {service.proc.returncode} " \
                                  f"after {now - start:.0f} s"
                        break
                    records += kbench.sent_events(server, first_sent + len(records))["events"]
                    service.log.poll()  # every line gets the moment it was first seen
                    done = len(records) >= total_events
                    if open_link:
                        back = session_back(records, open_link[1])
                        if back or done:
                            link_windows.append((open_link[0] - BEFORE, (back or now) + AFTER))
                            open_link = None
                    for index, (since, wanted) in list(open_cameras.items()):
                        if service.log.count(kbench.camera_up_text(index, CAMERA_SIZE)) >= wanted \
                                or now - since > 120:
                            windows[CONTROLLERS[index]].append((since - BEFORE, now + AFTER))
                            del open_cameras[index]
                    if not done and now >= next_link and not open_link:
                        how = "/drop" if link_count % 2 == 0 else "/close?code=1000"
                        actions.append((now - start, "link " + how))
                        open_link = (now, len(records))
                        server.post(how)
                        link_count += 1
                        next_link += LINK_EVERY
                    if not done and now >= next_camera:
                        index = camera_count % 2
                        if index not in open_cameras:
                            wanted = service.log.count(
                                kbench.camera_up_text(index, CAMERA_SIZE)) + 1
                            open_cameras[index] = (now, wanted)
                            if camera_count % 4 in (0, 3):
                                actions.append((now - start, f"camera {index + 1} camsim restart"))
                                cameras[index].stop()
                                cameras[index].start()
                            else:
                                actions.append((now - start, f"camera {index + 1} restartnow"))
                                restart_camera_by_web(service, index + 1)
                            camera_count += 1
                        next_camera += CAMERA_EVERY
                    if now >= next_sample or (done and not open_link and not open_cameras):
                        figures = kbench.proc_status(pid)
                        cpu = kbench.cpu_seconds(pid)
                        cpu_percent = 100.0 * (cpu - cpu_before) / max(now - cpu_at, 1e-6)
                        cpu_before, cpu_at = cpu, now
                        photos = sum(1 for e in os.scandir(service.archive)
                                     if e.name.endswith(".jpg"))
                        delivered = sum(1 for r in records if r["sessions"] > 0)
                        row = [round(now - start, 1), figures["rss_kib"], figures["hwm_kib"],
                               figures["threads"], figures["fds"], round(cpu_percent, 1),
                               len(records), delivered, photos, os.getloadavg()[0]]
                        writer.writerow(row)
                        sample_file.flush()
                        samples.append(row)
                        next_sample += SAMPLE_EVERY
                        if done and not open_link and not open_cameras:
                            break
                    time.sleep(0.2)
            if not crashed:
                time.sleep(3)  # the last savers finish
            names = {e.name: e.stat().st_size for e in os.scandir(service.archive)}
            restarts = service.log.count("переподключение")
            log_lines = list(service.log.lines)
            end_figures = kbench.proc_status(pid) if service.proc.poll() is None else None
    finally:
        kbench.stop_all(cameras)

    # --- the account of every event ------------------------------------------------------------
    # The reconnects the log reports, whoever caused them: from a monitor period before the
    # line was seen until the camera streams again.
    codes = {}
    for n, (seen, line) in enumerate(log_lines):
        for index, dvs in enumerate(CONTROLLERS):
            if line.startswith(f"[{index}] переподключение"):
                code = line.rsplit(" ", 1)[-1].rstrip("]")
                codes[code] = codes.get(code, 0) + 1
                up = next((t for t, later in log_lines[n + 1:]
                           if later.startswith(kbench.camera_up_text(index, CAMERA_SIZE))), None)
                windows[dvs].append((seen - MONITOR_PERIOD - BEFORE,
                                     (up if up is not None else seen + 120) + AFTER))

    def excused(record):
        t = record["sent_at"]
        return any(a <= t <= b for a, b in link_windows + windows[record["dvs"]])

    delivered = [r for r in records if r["sessions"] > 0]
    with_photo = [r for r in delivered if names.get(kbench.photo_file(r), 0) > 0]
    missing = [r for r in delivered if names.get(kbench.photo_file(r), 0) == 0]
    missing_excused = [r for r in missing if excused(r)]
    lost = [r for r in missing if not excused(r)]
    empty_files = sum(1 for size in names.values() if size == 0)

    def column(i):
        return [row[i] for row in samples]

    rss, threads, fds = column(1), column(3), column(4)
    lines = [
        f"soak of {args.minutes:g} min ({len(samples)} samples every {SAMPLE_EVERY:g} s), "
        f"{kbench.cores()} cores, {kbench.cpu_model()}, load average at end {kbench.load_text()}",
        crashed or "the service ran throughout",
        f"RSS KiB: start {rss[0]}, end {rss[-1]}, max {max(rss)}"
        + (f"; VmHWM at end {end_figures['hwm_kib']}" if end_figures else ""),
        f"threads: start {threads[0]}, end {threads[-1]}, max {max(threads)}",
        f"open fds: start {fds[0]}, end {fds[-1]}, max {max(fds)}",
        f"events: sent {len(records)}, reached a session {len(delivered)}, with photo "
        f"{len(with_photo)}, without photo in a disturbance window {len(missing_excused)}",
        f"lost photos (event reached the service outside every disturbance window, no photo): "
        f"{len(lost)}",
        f"empty photo files: {empty_files}",
        f"disturbances: {link_count} link breaks, {camera_count} camera reconnects; the log "
        f"shows {restarts} camera reconnections (by code: "
        + ", ".join(f"{code}: {count}" for code, count in sorted(codes.items())) + ")",
    ]
    if lost:
        lines.append("first lost: " + ", ".join(
            f"{kbench.photo_file(r)} (sent at +{r['sent_at'] - start:.1f} s)" for r in lost[:10]))
    summary = "\n".join(lines)
    (out / "summary.txt").write_text(summary + "\n\nactions (second, what):\n" + "\n".join(
        f"{t:8.1f}  {what}" for t, what in actions) + "\n")
    print(summary)
    plot(samples, out)
    return 0 if not crashed and not lost else 1


def plot(samples, out):
    """samples.png through matplotlib when it is there, else a text curve of RSS."""
    seconds = [row[0] / 60 for row in samples]
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        lo, hi = min(r[1] for r in samples), max(r[1] for r in samples)
        text = [f"RSS KiB from {lo} to {hi}, one line per sample"]
        for row in samples:
            bar = int(60 * (row[1] - lo) / max(hi - lo, 1))
            text.append(f"{row[0]:7.0f} s {row[1]:8d} |" + "#" * bar)
        (out / "samples-rss.txt").write_text("\n".join(text) + "\n")
        print(f"plot: {out / 'samples-rss.txt'} (no matplotlib)")
        return
    figure, axes = plt.subplots(3, 1, figsize=(9, 8), sharex=True)
    axes[0].plot(seconds, [r[1] / 1024 for r in samples], label="VmRSS")
    axes[0].plot(seconds, [r[2] / 1024 for r in samples], label="VmHWM", linestyle="--")
    axes[0].set_ylabel("MiB")
    axes[0].legend()
    axes[1].plot(seconds, [r[3] for r in samples], label="threads")
    axes[1].plot(seconds, [r[4] for r in samples], label="open fds")
    axes[1].legend()
    axes[2].plot(seconds, [r[7] for r in samples], label="events delivered")
    axes[2].plot(seconds, [r[8] for r in samples], label="photos")
    axes[2].set_xlabel("minutes")
    axes[2].legend()
    figure.suptitle("Kestrin Videoserver soak")
    figure.tight_layout()
    figure.savefig(out / "samples.png", dpi=80)
    print(f"plot: {out / 'samples.png'}")


if __name__ == "__main__":
    sys.exit(main())
