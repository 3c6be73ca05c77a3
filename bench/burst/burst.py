#!/usr/bin/python3
"""Burst of events on the whole service: nine camsim streams, nine controllers, nine rules with
delay 0; accsim sends a batch of events back to back, spread over the nine controllers, each
with a photo name of its own. Counts the events that got their photo (a whole JPEG), and the
time from the first event leaving accsim to the last photo file being closed, against
1.3 x (events x bare compression of one frame / cores).

  burst.py [--events 500] [--size 640x480] [--fps 10] [--quality 90] [--md FILE]
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "harness"))
import kbench  # noqa: E402

CODE = "0204"
CONTROLLERS = [f"0012A3B4C5{i:02X}" for i in range(9)]


def whole_jpeg(path):
    try:
        data = Path(path).read_bytes()
    except OSError:
        return False
    return data[:2] == b"\xff\xd8" and data[-2:] == b"\xff\xd9"


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--events", type=int, default=500)
    parser.add_argument("--size", default="640x480", help="camera picture size")
    parser.add_argument("--fps", type=float, default=10.0, help="camera frame rate")
    parser.add_argument("--quality", type=int, default=90, help="the rules' JPEG quality")
    parser.add_argument("--md", help="append the result block to this markdown file")
    args = parser.parse_args()
    command = "bench/burst/burst.py " + " ".join(sys.argv[1:])
    report = kbench.Report("2. Burst of events across nine cameras", command.strip())

    bare_ms, _ = kbench.bare_encode_ms(args.size, args.quality)
    report.figure(f"bare libjpeg-turbo compression {args.size} q{args.quality} (median)",
                  f"{bare_ms:.2f} ms")

    cameras = kbench.start_cameras(9, args.size, args.fps)
    rules = [(dvs, i + 1, CODE, args.quality, 0, 0, 0) for i, dvs in enumerate(CONTROLLERS)]
    try:
        with tempfile.TemporaryDirectory(prefix="kestrin-burst-") as work, \
                kbench.running_service(work, cameras, rules, args.size) as service:
            server = service.server
            watch = kbench.PhotoWatch(service.archive)
            warm = [kbench.event_fields(dvs, CODE, 0, base=kbench.EVENT_BASE.replace(year=2029))
                    for dvs in CONTROLLERS]
            kbench.send_batch(server, warm)
            if not watch.wait_for([kbench.photo_file(e) for e in warm], 30):
                raise RuntimeError("no photos for the warm-up events: rules not loaded?")
            since = len(kbench.sent_events(server)["events"])
            events = [kbench.event_fields(CONTROLLERS[i % 9], CODE, i) for i in range(args.events)]
            cpu_before = kbench.cpu_seconds(service.proc.pid)
            threads_before = kbench.thread_cpu(service.proc.pid)
            faults_before = kbench.minor_faults(service.proc.pid)
            kbench.send_batch(server, events)
            records = kbench.wait_sent(server, len(events), since, 120)
            closed = watch.wait_for([kbench.photo_file(r) for r in records], 60)
            cpu_used = kbench.cpu_seconds(service.proc.pid) - cpu_before
            threads_after = kbench.thread_cpu(service.proc.pid)
            faults = kbench.minor_faults(service.proc.pid) - faults_before
            pid = service.proc.pid
            time.sleep(1.0)
            watch.stop()
            whole = sum(1 for r in records if whole_jpeg(service.archive / kbench.photo_file(r)))
            restarts = service.log.count("переподключение")
    finally:
        kbench.stop_all(cameras)

    photos = [closed[kbench.photo_file(r)] for r in records if kbench.photo_file(r) in closed]
    report.figure("events sent", f"{len(records)} ({sum(1 for r in records if r['sessions'])} "
                  "reached the service)")
    report.figure("events with a whole JPEG photo", f"{whole} of {len(records)}",
                  f"all {len(records)}", whole == len(records))
    if photos:
        span_ms = (max(t for t, _ in photos) - records[0]["sent_at"]) * 1000
        sending_ms = (records[-1]["sent_at"] - records[0]["sent_at"]) * 1000
        target = 1.3 * len(records) * bare_ms / kbench.cores()
        report.figure("first event sent -> last photo closed", f"{span_ms:.0f} ms",
                      f"<= 1.3 x ({len(records)} x bare / {kbench.cores()} cores) = "
                      f"{target:.0f} ms", span_ms <= target)
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
        report.figure("photos closed after: first / 10 % / 50 % / 90 %",
                      " / ".join(f"{kbench.percentile(done, p):.0f}" for p in (0, 10, 50, 90))
                      + " ms")
    if restarts:
        report.note(f"cameras reconnected {restarts} times during the run")
    report.note(f"nine camsim at {args.size} {args.fps:g} fps, nine rules, delay 0, quality "
                f"{args.quality}")
    report.emit(args.md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
