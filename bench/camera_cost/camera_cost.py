#!/usr/bin/python3
"""One camera stream's cost to a camera worker, H.264 over RTSP (FFmpeg source, rtspcam)
against MJPEG over HTTP (libVLC source, camsim), at each size, 10 fps: time from the address to
the first picture, CPU % of one core, resident memory, pictures per second. Each measurement is
a fresh bench_camera_cost process; the cameras run in processes of their own and are not
counted. Goal: RTSP costs no more CPU than MJPEG at 1920x1080; first picture within 2 s.

  camera_cost.py [--sizes 1280x720,1920x1080] [--fps 10] [--seconds 20] [--rounds 2]
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tests" / "system"))
from kestrin import BUILD, Camsim, RtspCam  # noqa: E402

BENCH = BUILD / "bench" / "camera_cost" / "bench_camera_cost"


def measure(url, seconds):
    with tempfile.TemporaryDirectory(prefix="kestrin-cost-") as home:
        out = subprocess.run([str(BENCH), url, str(seconds), home], capture_output=True,
                             text=True, timeout=seconds + 90, check=True).stdout
    first, cpu, rss, fps, drops = out.strip().split(",")
    return float(first), float(cpu), int(rss), float(fps), int(drops)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--sizes", default="1280x720,1920x1080")
    parser.add_argument("--fps", type=int, default=10)
    parser.add_argument("--seconds", type=float, default=20)
    parser.add_argument("--rounds", type=int, default=2)
    args = parser.parse_args()
    print(f"load average before: {os.getloadavg()[0]:.2f}, {os.cpu_count()} cores")
    print("| stream | first picture ms (median) | CPU % of a core | RSS MiB | pictures/s | drops |")
    print("|---|---|---|---|---|---|")
    for size in args.sizes.split(","):
        cameras = {
            f"H.264 RTSP {size}": RtspCam("--size", size, "--fps", str(args.fps)),
            f"MJPEG HTTP {size}": Camsim("--size", size, "--fps", str(args.fps)),
        }
        for camera in cameras.values():
            camera.start()
        try:
            rows = {name: [] for name in cameras}
            for _ in range(args.rounds):  # alternating, so that both see the same machine
                for name, camera in cameras.items():
                    rows[name].append(measure(camera.url, args.seconds))
            for name, runs in rows.items():
                first = statistics.median(r[0] for r in runs)
                cpu = statistics.mean(r[1] for r in runs)
                rss = max(r[2] for r in runs) / 1024
                fps = statistics.mean(r[3] for r in runs)
                drops = sum(r[4] for r in runs)
                print(f"| {name} | {first:.0f} | {cpu:.1f} | {rss:.0f} | {fps:.1f} | {drops} |")
        finally:
            for camera in cameras.values():
                camera.stop()
    print(f"load average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
