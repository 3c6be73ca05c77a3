#!/usr/bin/python3
"""Burst of events on the whole service: --cameras camsim streams (default nine), one
controller and one rule (delay 0) per camera; accsim sends a batch of events back to back,
spread over the controllers, each with a photo name of its own. Counts the events that got
their whole photo (a JPEG, or a multi-frame file of 25 whole pictures with --multi), and the
time from the first event leaving accsim to the last photo file being closed, against the
naive ideal of the same run: events x pictures per event x bare compression of one frame /
cores. Goal: at most 0.3 of it. A multi-frame file cannot close before its 24 pauses of
200 ms, so for --multi the time beyond those pauses is set against the goal as well. Samples
the service's resident memory and thread count meanwhile.

  burst.py [--events 500] [--cameras 9] [--size 640x480] [--fps 10] [--quality 90] [--multi]
           [--title TEXT] [--md FILE]
"""

import argparse
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "harness"))
import kbench  # noqa: E402

CODE = "0204"
MULTI_PICTURES = 25
PAUSE_S = 0.2


def whole_jpeg_bytes(data):
    return data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9"


def multi_frame_pictures(data):
    """The pictures of a multi-frame file; None when a record is cut short."""
    sizes = {0x02: 1, 0x03: 2, 0x04: 4, 0x13: 8}
    pictures, offset = [], 0
    while offset < len(data):
        size = sizes.get(data[offset])
        if size is None:
            return None
        length = int.from_bytes(data[offset + 1:offset + 1 + size], "little", signed=True)
        start = offset + 1 + size
        if length < 0 or start + length > len(data):
            return None
        pictures.append(data[start:start + length])
        offset = start + length
    return pictures


def whole_photo(path, multi):
    try:
        data = Path(path).read_bytes()
    except OSError:
        return False
    if not multi:
        return whole_jpeg_bytes(data)
    pictures = multi_frame_pictures(data)
    return (pictures is not None and len(pictures) == MULTI_PICTURES
            and all(whole_jpeg_bytes(p) for p in pictures))


class Sampler:
    """Samples the service's resident memory and thread count every 20 ms."""

    def __init__(self, pid):
        self.pid = pid
        self.peak_rss_kib = 0
        self.peak_threads = 0
        self.running = True
        self.thread = threading.Thread(target=self._run, daemon=True)
        self.thread.start()

    def _run(self):
        while self.running:
            try:
                status = kbench.proc_status(self.pid)
            except OSError:
                return
            self.peak_rss_kib = max(self.peak_rss_kib, status["rss_kib"])
            self.peak_threads = max(self.peak_threads, status["threads"])
            time.sleep(0.02)

    def stop(self):
        self.running = False
        self.thread.join()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=500)
    parser.add_argument("--cameras", type=int, default=9, choices=range(1, 10))
    parser.add_argument("--multi", action="store_true", help="multi-frame rules (25 pictures)")
    parser.add_argument("--title", default="2. Burst of events")
    parser.add_argument("--size", default="640x480", help="camera picture size")
    parser.add_argument("--fps", type=float, default=10.0, help="camera frame rate")
    parser.add_argument("--quality", type=int, default=90, help="the rules' JPEG quality")
    parser.add_argument("--md", help="append the result block to this markdown file")
    args = parser.parse_args()
    command = "bench/burst/burst.py " + " ".join(sys.argv[1:])
    report = kbench.Report(args.title, command.strip())
    controllers = [f"0012A3B4C5{i:02X}" for i in range(args.cameras)]
    pictures_per_event = MULTI_PICTURES if args.multi else 1
    kind = "2" if args.multi else "1"

    bare_ms, _ = kbench.bare_encode_ms(args.size, args.quality)
    report.figure(f"bare libjpeg-turbo compression {args.size} q{args.quality} (median)",
                  f"{bare_ms:.2f} ms")

    cameras = kbench.start_cameras(args.cameras, args.size, args.fps)
    rules = [(dvs, i + 1, CODE, args.quality, 0, 2 if args.multi else 0, 5 if args.multi else 0)
             for i, dvs in enumerate(controllers)]
    try:
        with tempfile.TemporaryDirectory(prefix="kestrin-burst-") as work, \
                kbench.running_service(work, cameras, rules, args.size) as service:
            server = service.server
            watch = kbench.PhotoWatch(service.archive)
            warm = [kbench.event_fields(dvs, CODE, 0, base=kbench.EVENT_BASE.replace(year=2029))
                    for dvs in controllers]
            kbench.send_batch(server, warm)
            if not watch.wait_for([kbench.photo_file(e, kind) for e in warm], 30):
                raise RuntimeError("no photos for the warm-up events: rules not loaded?")
            since = len(kbench.sent_events(server)["events"])
            if args.multi:
                time.sleep(MULTI_PICTURES * PAUSE_S + 1)  # the warm-up files are complete
            events = [kbench.event_fields(controllers[i % len(controllers)], CODE, i)
                      for i in range(args.events)]
            threads_at_rest = kbench.proc_status(service.proc.pid)["threads"]
            rss_at_rest = kbench.proc_status(service.proc.pid)["rss_kib"]
            sampler = Sampler(service.proc.pid)
            cpu_before = kbench.cpu_seconds(service.proc.pid)
            threads_before = kbench.thread_cpu(service.proc.pid)
            faults_before = kbench.minor_faults(service.proc.pid)
            kbench.send_batch(server, events)
            records = kbench.wait_sent(server, len(events), since, 300)
            closed = watch.wait_for([kbench.photo_file(r, kind) for r in records], 300)
            sampler.stop()
            cpu_used = kbench.cpu_seconds(service.proc.pid) - cpu_before
            threads_after = kbench.thread_cpu(service.proc.pid)
            faults = kbench.minor_faults(service.proc.pid) - faults_before
            pid = service.proc.pid
            time.sleep(1.0)
            watch.stop()
            whole = sum(1 for r in records
                        if whole_photo(service.archive / kbench.photo_file(r, kind), args.multi))
            restarts = service.log.count("переподключение")
    finally:
        kbench.stop_all(cameras)

    photos = [closed[kbench.photo_file(r, kind)] for r in records
              if kbench.photo_file(r, kind) in closed]
    report.figure("events sent", f"{len(records)} ({sum(1 for r in records if r['sessions'])} "
                  "reached the service)")
    report.figure("events with a whole photo", f"{whole} of {len(records)}",
                  f"all {len(records)}", whole == len(records))
    if photos:
        span_ms = (max(t for t, _ in photos) - records[0]["sent_at"]) * 1000
        sending_ms = (records[-1]["sent_at"] - records[0]["sent_at"]) * 1000
        pictures = len(records) * pictures_per_event
        ideal = pictures * bare_ms / kbench.cores()
        report.figure("naive ideal: pictures x bare / cores",
                      f"{pictures} x {bare_ms:.2f} / {kbench.cores()} = {ideal:.0f} ms")
        report.figure("first event sent -> last photo closed", f"{span_ms:.0f} ms = "
                      f"{span_ms / ideal:.2f} of the ideal", f"<= 0.3 x ideal = {0.3 * ideal:.0f} ms",
                      span_ms <= 0.3 * ideal)
        if args.multi:
            floor = (MULTI_PICTURES - 1) * PAUSE_S * 1000
            beyond = span_ms - floor
            report.figure("of which beyond the 24 pauses of 200 ms", f"{beyond:.0f} ms = "
                          f"{beyond / ideal:.2f} of the ideal", f"<= {0.3 * ideal:.0f} ms",
                          beyond <= 0.3 * ideal)
        report.figure("of which accsim was sending", f"{sending_ms:.0f} ms")
        done = sorted((t - records[0]["sent_at"]) * 1000 for t, _ in photos)
        report.figure("service CPU time used meanwhile (cameras included)",
                      f"{cpu_used * 1000:.0f} ms")
        lasting = sorted((after - threads_before[tid][1], tid) for tid, (_, after)
                         in threads_after.items() if tid in threads_before)
        main_ms = next((used for used, tid in lasting if tid == pid), 0) * 1000
        others = [used * 1000 for used, tid in reversed(lasting) if tid != pid]
        report.figure("of which short-lived threads (savers)",
                      f"{(cpu_used - sum(used for used, _ in lasting)) * 1000:.0f} ms")
        report.figure("of which main thread; busiest three other lasting threads",
                      f"{main_ms:.0f}; " + ", ".join(f"{ms:.0f}" for ms in others[:3]) + " ms")
        report.figure("minor page faults per event", f"{faults / len(records):.0f}")
        report.figure("resident memory at rest / peak during the burst",
                      f"{rss_at_rest / 1024:.0f} / {sampler.peak_rss_kib / 1024:.0f} MiB")
        report.figure("threads at rest / peak during the burst",
                      f"{threads_at_rest} / {sampler.peak_threads}")
        report.figure("photos closed after: first / 10 % / 50 % / 90 %",
                      " / ".join(f"{kbench.percentile(done, p):.0f}" for p in (0, 10, 50, 90))
                      + " ms")
    if restarts:
        report.note(f"cameras reconnected {restarts} times during the run")
    report.note(f"{args.cameras} camsim at {args.size} {args.fps:g} fps, {args.cameras} "
                f"{'multi-frame' if args.multi else 'single-frame'} rules, delay 0, quality "
                f"{args.quality}")
    report.emit(args.md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
