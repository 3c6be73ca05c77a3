#!/usr/bin/python3
"""Footprint of the whole service: nine camsim streams; resident memory (VmRSS, VmHWM),
threads and CPU (utime + stime over a measured interval, as % of one core) in steady state;
then forced reconnects through the web interface's "restartnow", spread over the nine
cameras (each asked again once it streams again), and memory after them against steady
state (target: at most 5 % above).

  footprint.py [--size 1280x720] [--fps 10] [--warmup 30] [--steady-seconds 60]
               [--reconnects 1000] [--settle 30] [--md FILE]
"""

import argparse
import sys
import tempfile
import threading
import time
import urllib.request
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "harness"))
import kbench  # noqa: E402


def measure(pid, seconds):
    """CPU % of one core over `seconds`, and the process figures at its end, with the largest
    VmRSS seen on the way (sampled every second)."""
    cpu0, t0 = kbench.cpu_seconds(pid), time.monotonic()
    peak = 0
    while time.monotonic() - t0 < seconds:
        time.sleep(1)
        peak = max(peak, kbench.proc_status(pid)["rss_kib"])
    cpu1, t1 = kbench.cpu_seconds(pid), time.monotonic()
    figures = kbench.proc_status(pid)
    figures["cpu_percent"] = 100.0 * (cpu1 - cpu0) / (t1 - t0)
    figures["rss_peak_kib"] = max(peak, figures["rss_kib"])
    return figures


class Reconnector:
    """Asks camera after camera to restart, each again once the log shows it streaming again."""

    def __init__(self, service, size, total):
        self.service = service
        self.size = size
        self.lock = threading.Condition()
        self.base_up = [service.log.count(kbench.camera_up_text(i, size)) for i in range(9)]
        self.base_forced = [service.log.count(f"[{i}] переподключение [Код: 2]") for i in range(9)]
        self.quota = [total // 9 + (1 if i < total % 9 else 0) for i in range(9)]
        self.done = [0] * 9
        self.asked = 0
        self.failures = []

    def counts(self, i):
        with self.lock:
            return (self.service.log.count(kbench.camera_up_text(i, self.size)) - self.base_up[i],
                    self.service.log.count(f"[{i}] переподключение [Код: 2]") - self.base_forced[i])

    def camera(self, i):
        url = f"{self.service.base}/?restartnow={i + 1}"
        while self.done[i] < self.quota[i]:
            # Streaming again after the previous restart (the first time: already streaming).
            if not kbench.wait_until(lambda: self.counts(i)[0] >= self.done[i], 60, 0.05):
                self.failures.append(f"camera {i + 1} did not stream again after "
                                     f"{self.done[i]} restarts")
                return
            with urllib.request.urlopen(url, timeout=20) as reply:
                reply.read()
            with self.lock:
                self.asked += 1
            # "restart" is the answer either way; the log tells whether it was taken.
            if kbench.wait_until(lambda: self.counts(i)[1] > self.done[i], 5, 0.05):
                self.done[i] += 1

    def run(self, pid):
        """Runs the reconnects; returns how many were done, and (done, VmRSS KiB) samples
        taken every second on the way."""
        threads = [threading.Thread(target=self.camera, args=(i,)) for i in range(9)]
        for t in threads:
            t.start()
        trend = []
        while any(t.is_alive() for t in threads):
            trend.append((sum(self.done), kbench.proc_status(pid)["rss_kib"]))
            time.sleep(1)
        for t in threads:
            t.join()
        trend.append((sum(self.done), kbench.proc_status(pid)["rss_kib"]))
        return sum(self.done), trend


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", default="1280x720", help="camera picture size")
    parser.add_argument("--fps", type=float, default=10.0)
    parser.add_argument("--warmup", type=float, default=30.0, help="seconds before measuring")
    parser.add_argument("--steady-seconds", type=float, default=60.0)
    parser.add_argument("--reconnects", type=int, default=1000)
    parser.add_argument("--settle", type=float, default=30.0,
                        help="seconds after the reconnects before measuring again")
    parser.add_argument("--md", help="append the result block to this markdown file")
    args = parser.parse_args()
    command = "bench/footprint/footprint.py " + " ".join(sys.argv[1:])
    report = kbench.Report("4. Footprint with nine cameras, and after forced reconnects",
                           command.strip())

    cameras = kbench.start_cameras(9, args.size, args.fps)
    try:
        with tempfile.TemporaryDirectory(prefix="kestrin-footprint-") as work, \
                kbench.running_service(work, cameras, [], args.size) as service:
            pid = service.proc.pid
            time.sleep(args.warmup)
            steady = measure(pid, args.steady_seconds)
            report.figure(f"steady VmRSS (max over {args.steady_seconds:g} s)",
                          f"{steady['rss_kib'] / 1024:.1f} MiB "
                          f"({steady['rss_peak_kib'] / 1024:.1f})")
            report.figure("steady VmHWM", f"{steady['hwm_kib'] / 1024:.1f} MiB")
            report.figure("steady CPU, % of one core", f"{steady['cpu_percent']:.1f} %")
            report.figure("steady threads, open fds", f"{steady['threads']}, {steady['fds']}")

            started = time.monotonic()
            reconnector = Reconnector(service, args.size, args.reconnects)
            done, trend = reconnector.run(pid)
            took = time.monotonic() - started
            report.figure("forced reconnects done (restartnow asked)",
                          f"{done} ({reconnector.asked}) in {took:.0f} s",
                          f"{args.reconnects}", done == args.reconnects)
            marks = []
            for share in (0.25, 0.5, 0.75, 1.0):
                reached = [rss for n, rss in trend if n >= share * done]
                if reached:
                    marks.append(f"{reached[0] / 1024:.0f}")
            report.figure("VmRSS after 25 / 50 / 75 / 100 % of them", " / ".join(marks) + " MiB")
            # Everything streams again, then settles.
            for i in range(9):
                kbench.wait_until(lambda: reconnector.counts(i)[0] >= reconnector.done[i], 60)
            time.sleep(args.settle)
            after = measure(pid, min(args.steady_seconds, 30))
            other = service.log.count("переподключение") - service.log.count("[Код: 2]")
            service_code3 = service.log.count("[Код: 3]")
            other_codes = ", ".join(str(service.log.count(f"[Код: {code}]")) for code in (1, 3, 4))
            alive = service.proc.poll() is None
    finally:
        kbench.stop_all(cameras)

    growth = (after["rss_kib"] / steady["rss_kib"] - 1) * 100
    report.figure("VmRSS after the reconnects", f"{after['rss_kib'] / 1024:.1f} MiB "
                  f"({growth:+.1f} % against steady)", "at most +5 %", growth <= 5)
    report.figure("VmHWM after the reconnects", f"{after['hwm_kib'] / 1024:.1f} MiB")
    report.figure("CPU after, % of one core", f"{after['cpu_percent']:.1f} %")
    report.figure("threads, open fds after", f"{after['threads']}, {after['fds']}",
                  f"no more than steady ({steady['threads']}, {steady['fds']})",
                  after["threads"] <= steady["threads"] and after["fds"] <= steady["fds"])
    if other:
        report.note(f"besides the forced ones, cameras reconnected {other} times by themselves "
                    f"(codes 1, 3, 4: {other_codes})")
    if service_code3:
        report.note("code 3 (frozen picture): a camera's frame buffer did not change between "
                    "two frozen checks 30 s apart")
    for failure in reconnector.failures:
        report.note(failure)
    if not alive:
        report.note("the service had ended by the end of the run")
    report.note(f"nine camsim at {args.size} {args.fps:g} fps; steady state measured "
                f"{args.warmup:g} s after all cameras streamed, over {args.steady_seconds:g} s; "
                f"after the reconnects, {args.settle:g} s of rest first")
    report.emit(args.md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
