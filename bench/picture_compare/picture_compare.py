#!/usr/bin/python3
"""Picture server against nginx: lookup + fetch pairs of 300 KB photos by 50 concurrent
clients (bench_picture_compare), towards the service's picture server and towards nginx
serving the same folder over HTTP (HEAD + GET, one connection each, as the picture protocol
uses one connection per request), in three cases: 100 photos; the same photos in an archive of
100,000 files; and 100 photos with 1,000 idle connections held open meanwhile (10 clients, so
that idle, busy and just closed connections stay within the picture server's cap of 1024). Each case runs
on both servers in turn, in slices ordered picture server, nginx, nginx, picture server (--rounds 2:
two slices each, half the time each), so that a load that rises or falls during the case weighs on
both alike; the figures are those of the slices together. Reports pairs per second, p50 and p99, CPU per 1000
pairs and the threads of both, the ratios, and the lookup rate alone in both archives.

  picture_compare.py [--clients 50] [--seconds 15] [--size 300000] [--files 100]
                     [--archive-files 100000] [--idle 1000] [--rounds 2] [--binary PATH]
                     [--md FILE]
"""

import argparse
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "harness"))
import kbench  # noqa: E402

NGINX_CONF = """\
worker_processes {workers};
daemon off;
master_process on;
user root;
pid {dir}/nginx.pid;
error_log {dir}/error.log warn;
events {{ worker_connections 4096; }}
http {{
  access_log off;
  sendfile on;
  tcp_nopush on;
  types {{ image/jpeg jpg; }}
  client_body_temp_path {dir}/body;
  proxy_temp_path {dir}/proxy;
  fastcgi_temp_path {dir}/fastcgi;
  uwsgi_temp_path {dir}/uwsgi;
  scgi_temp_path {dir}/scgi;
  server {{
    listen 127.0.0.1:{port};
    root {root};
  }}
}}
"""


def parse(text):
    figures = {}
    for line in text.strip().splitlines():
        words = line.split()
        figures.update({words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)})
    return figures


def process_tree(pid):
    """`pid` and its child processes (nginx's workers)."""
    pids = [pid]
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                stat = Path(f"/proc/{entry}/stat").read_text()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid:
                pids.append(int(entry))
    return pids


def tree_cpu(pids):
    total = 0.0
    for pid in pids:
        try:
            total += kbench.cpu_seconds(pid)
        except OSError:
            pass
    return total


def tree_threads(pids):
    total = 0
    for pid in pids:
        try:
            total += len(os.listdir(f"/proc/{pid}/task"))
        except OSError:
            pass
    return total


def run_client(mode, port, archive, clients, seconds, server_pid, idle=0):
    """The client's figures plus the server's CPU seconds over the run, its most threads
    while the client ran and the milliseconds of every pair that succeeded."""
    pids = process_tree(server_pid)
    cpu_before = tree_cpu(pids)
    most_threads = [tree_threads(pids)]
    latencies = tempfile.NamedTemporaryFile(prefix="picture-compare-", suffix=".txt")
    client = subprocess.Popen([str(kbench.PICTURE_COMPARE), "--mode", mode, "--port",
                               str(port), "--archive", str(archive), "--clients", str(clients),
                               "--seconds", str(seconds), "--idle", str(idle),
                               "--latencies", latencies.name],
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    done = threading.Event()

    def sample():
        while not done.wait(0.25):
            most_threads[0] = max(most_threads[0], tree_threads(pids))
    sampler = threading.Thread(target=sample)
    sampler.start()
    out, err = client.communicate()
    done.set()
    sampler.join()
    if not out.strip():
        raise RuntimeError(f"bench_picture_compare {mode}: {err}")
    figures = parse(out)
    figures["cpu_s"] = tree_cpu(pids) - cpu_before
    figures["threads"] = most_threads[0]
    figures["load"] = kbench.load_text()
    with open(latencies.name) as lines:
        figures["latencies"] = [float(line) for line in lines if line.strip()]
    latencies.close()
    return figures


def merged(slices):
    """The figures of several slices of one server as if they were one run."""
    latencies = [ms for figures in slices for ms in figures["latencies"]]
    seconds = sum(float(figures["seconds"]) for figures in slices)
    figures = dict(slices[-1])
    figures.update({
        "pairs": str(len(latencies)),
        "failed": str(sum(int(f["failed"]) for f in slices)),
        "pairs_per_s": f"{len(latencies) / max(seconds, 1e-9):.1f}",
        "p50_ms": f"{kbench.percentile(latencies, 50):.2f}",
        "p99_ms": f"{kbench.percentile(latencies, 99):.2f}",
        "max_ms": f"{max(latencies, default=0):.2f}",
        "cpu_s": sum(f["cpu_s"] for f in slices),
        "threads": max(f["threads"] for f in slices),
        "load": " / ".join(f["load"].split()[0] for f in slices),
    })
    return figures


def run_both(rounds, seconds, pic, http):
    """Runs `pic` and `http` (callables taking the seconds of a slice) in slices ordered
    A B B A A B B A ..., `rounds` slices each; their merged figures."""
    pic_slices, http_slices = [], []
    for i in range(rounds):
        order = [(pic, pic_slices), (http, http_slices)]
        for run, slices in (order if i % 2 == 0 else order[::-1]):
            slices.append(run(seconds / rounds))
    return merged(pic_slices), merged(http_slices)


def make_archive(folder, files, size, filler):
    """`files` photos of `size` bytes that the clients ask for, and `filler` empty photo files
    of another controller that only make the folder large."""
    folder.mkdir()
    for i in range(files):
        name = kbench.photo_file(kbench.event_fields("0012A3B4C5D6", "0204", i))
        (folder / name).write_bytes(b"\xff\xd8" + os.urandom(size - 4) + b"\xff\xd9")
    for i in range(filler):
        name = kbench.photo_file(kbench.event_fields("00FFEEDDCCBB", "0204", i), kind="2")
        (folder / name).touch()
    # The new files reach the disk before the servers run, not during the first one's turn.
    os.sync()


class Nginx:
    def __init__(self, work, root):
        self.dir = work
        self.dir.mkdir()
        self.port = kbench.kestrin.free_port()
        (self.dir / "nginx.conf").write_text(NGINX_CONF.format(
            workers=kbench.cores(), dir=self.dir, port=self.port, root=root))
        binary = shutil.which("nginx") or "/usr/sbin/nginx"
        self.proc = subprocess.Popen([binary, "-p", str(self.dir), "-c",
                                      str(self.dir / "nginx.conf")],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)

        def listening():
            try:
                socket.create_connection(("127.0.0.1", self.port), 0.2).close()
                return True
            except OSError:
                return self.proc.poll() is not None
        kbench.wait_until(listening, 10)
        if self.proc.poll() is not None:
            raise RuntimeError("nginx did not start: " + self.proc.stderr.read())

    def stop(self):
        self.proc.terminate()
        self.proc.wait(10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=15.0, help="per server and case")
    parser.add_argument("--size", type=int, default=300000, help="bytes per photo")
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--archive-files", type=int, default=100000,
                        help="files in the large archive")
    parser.add_argument("--idle", type=int, default=1000, help="idle connections")
    parser.add_argument("--idle-clients", type=int, default=10)
    parser.add_argument("--rounds", type=int, default=2,
                        help="slices per server and case, taken in turn")
    parser.add_argument("--binary", help="the service binary (default: the build's)")
    parser.add_argument("--md", help="append the result block to this markdown file")
    args = parser.parse_args()
    if args.binary:
        kbench.kestrin.BINARY = Path(args.binary)
    command = "bench/picture_compare/picture_compare.py " + " ".join(sys.argv[1:])
    report = kbench.Report("3. Picture server against nginx", command.strip())
    results = []  # (case, picture server figures, nginx figures)
    lookups = []  # (archive, lookup figures)

    with tempfile.TemporaryDirectory(prefix="kestrin-pictures-") as work:
        work = Path(work)
        os.chmod(work, 0o755)
        archives = [("small", args.files, 0), ("large", args.files,
                                                max(0, args.archive_files - args.files))]
        for label, files, filler in archives:
            archive = work / f"archive-{label}"
            make_archive(archive, files, args.size, filler)
            home = kbench.kestrin.make_home(work / f"home-{label}")
            kbench.kestrin.write_settings(home, {"main": {"arch": str(archive)}})
            service = kbench.Service(home)
            nginx = Nginx(work / f"nginx-{label}", archive)
            try:
                with service:
                    if not service.wait_ready(30):
                        raise RuntimeError("the service did not start")
                    pid = service.proc.pid
                    pic_port = service.picture_port
                    total = files + filler
                    cases = [(f"{total} files", args.clients, 0)]
                    if label == "small" and args.idle:
                        cases.append((f"{total} files, {args.idle} idle connections",
                                      args.idle_clients, args.idle))
                    for case, clients, idle in cases:
                        pic, http = run_both(
                            max(1, args.rounds), args.seconds,
                            lambda s: run_client("pic", pic_port, archive, clients, s, pid, idle),
                            lambda s: run_client("http", nginx.port, archive, clients, s,
                                                 nginx.proc.pid, idle))
                        results.append((f"{case}, {clients} clients", pic, http))
                    lookups.append((f"{total} files", run_client(
                        "pic-lookup", pic_port, archive, args.clients, args.seconds / 3, pid)))
            finally:
                nginx.stop()

    for case, pic, http in results:
        for name, figures in (("picture server", pic), ("nginx", http)):
            load = figures["load"]
            pairs = int(figures["pairs"])
            report.rows.append((f"[{case}] {name}: pairs/s", figures["pairs_per_s"], "", None,
                                load))
            report.rows.append((f"[{case}] {name}: p50 / p99 / max",
                                f"{float(figures['p50_ms']):.1f} / {float(figures['p99_ms']):.1f}"
                                f" / {float(figures['max_ms']):.1f} ms", "", None, load))
            report.rows.append((f"[{case}] {name}: CPU per 1000 pairs",
                                f"{1000 * figures['cpu_s'] / max(pairs, 1):.3f} s", "", None,
                                load))
            threads = f"{figures['threads']}"
            if "idle_open" in figures:
                threads += f"; idle connections still open at the end: {figures['idle_open']}"
            report.rows.append((f"[{case}] {name}: threads (most during the run)", threads, "",
                                None, load))
            ok = figures["failed"] == "0"
            report.rows.append((f"[{case}] {name}: pairs checked whole (failed)",
                                f"{pairs} ({figures['failed']})", "none failed", ok, load))
        ratio = float(pic["pairs_per_s"]) / max(float(http["pairs_per_s"]), 1e-9)
        p99_ratio = float(pic["p99_ms"]) / max(float(http["p99_ms"]), 1e-9)
        report.figure(f"[{case}] picture server / nginx, pairs/s", f"{ratio:.2f}", ">= 1.00",
                      ratio >= 1.0)
        report.figure(f"[{case}] picture server / nginx, p99", f"{p99_ratio:.2f}", "<= 1.00",
                      p99_ratio <= 1.0)
    for archive, figures in lookups:
        report.rows.append((f"picture server lookups alone, {archive}: lookups/s",
                            f"{figures['pairs_per_s']} (p99 {float(figures['p99_ms']):.1f} ms, "
                            f"failed {figures['failed']})", "", None, figures["load"]))
    report.note(f"photos of {args.size} bytes; nginx {kbench.cores()} workers, sendfile, no "
                f"access log; threads of nginx are its master's and workers'; CPU is utime + "
                f"stime of the server's processes over the run; each case in {args.rounds} "
                f"slices per server taken in turn, load at the end of each slice")
    report.emit(args.md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
