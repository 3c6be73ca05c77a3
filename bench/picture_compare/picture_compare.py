#!/usr/bin/python3
"""Picture server against nginx: lookup + fetch pairs of 300 KB photos by 50 concurrent
clients (bench_picture_compare), first towards the service's picture server, then towards
nginx serving the same folder over HTTP (HEAD + GET, one connection each, as the picture
protocol uses one connection per request). Reports pairs per second, p50 and p99 of both and
their ratio.

  picture_compare.py [--clients 50] [--seconds 15] [--size 300000] [--files 100] [--md FILE]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
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


def parse(line):
    words = line.split()
    return {words[i]: words[i + 1] for i in range(0, len(words) - 1, 2)}


def run_client(mode, port, archive, clients, seconds):
    result = subprocess.run([str(kbench.PICTURE_COMPARE), "--mode", mode, "--port", str(port),
                             "--archive", str(archive), "--clients", str(clients),
                             "--seconds", str(seconds)], capture_output=True, text=True)
    if not result.stdout.strip():
        raise RuntimeError(f"bench_picture_compare {mode}: {result.stderr}")
    return parse(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--clients", type=int, default=50)
    parser.add_argument("--seconds", type=float, default=15.0, help="per server")
    parser.add_argument("--size", type=int, default=300000, help="bytes per photo")
    parser.add_argument("--files", type=int, default=100)
    parser.add_argument("--md", help="append the result block to this markdown file")
    args = parser.parse_args()
    command = "bench/picture_compare/picture_compare.py " + " ".join(sys.argv[1:])
    report = kbench.Report("3. Picture server against nginx", command.strip())
    nginx_binary = shutil.which("nginx") or "/usr/sbin/nginx"

    with tempfile.TemporaryDirectory(prefix="kestrin-pictures-") as work:
        work = Path(work)
        os.chmod(work, 0o755)
        archive = work / "archive"
        archive.mkdir()
        for i in range(args.files):
            name = kbench.photo_file(kbench.event_fields("0012A3B4C5D6", "0204", i))
            (archive / name).write_bytes(b"\xff\xd8" + os.urandom(args.size - 4) + b"\xff\xd9")
        home = kbench.kestrin.make_home(work / "home")
        kbench.kestrin.write_settings(home, {"main": {"arch": str(archive)}})

        service = kbench.Service(home)
        with service:
            if not service.wait_ready(30):
                raise RuntimeError("the service did not start")
            pic = run_client("pic", service.picture_port, archive, args.clients, args.seconds)
            pic_load = kbench.load_text()
            pic_threads = kbench.proc_status(service.proc.pid)["threads"]

        nginx_dir = work / "nginx"
        nginx_dir.mkdir()
        port = kbench.kestrin.free_port()
        (nginx_dir / "nginx.conf").write_text(NGINX_CONF.format(
            workers=kbench.cores(), dir=nginx_dir, port=port, root=archive))
        nginx = subprocess.Popen([nginx_binary, "-p", str(nginx_dir), "-c",
                                  str(nginx_dir / "nginx.conf")],
                                 stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        try:
            import socket

            def listening():
                try:
                    socket.create_connection(("127.0.0.1", port), 0.2).close()
                    return True
                except OSError:
                    return nginx.poll() is not None
            kbench.wait_until(listening, 10)
            if nginx.poll() is not None:
                raise RuntimeError("nginx did not start: " + nginx.stderr.read())
            http = run_client("http", port, archive, args.clients, args.seconds)
            http_load = kbench.load_text()
        finally:
            nginx.terminate()
            nginx.wait(10)

    def row(name, figures, load):
        report.rows.append((f"{name}: lookup+fetch pairs/s", figures["pairs_per_s"], "", None,
                            load))
        report.rows.append((f"{name}: pair latency p50 / p99 / max",
                            f"{float(figures['p50_ms']):.1f} / {float(figures['p99_ms']):.1f} / "
                            f"{float(figures['max_ms']):.1f} ms", "", None, load))
        ok = figures["failed"] == "0"
        report.rows.append((f"{name}: pairs checked whole (failed)",
                            f"{figures['pairs']} ({figures['failed']})", "none failed", ok, load))

    row("picture server", pic, pic_load)
    row("nginx", http, http_load)
    ratio = float(pic["pairs_per_s"]) / max(float(http["pairs_per_s"]), 1e-9)
    p99_ratio = float(pic["p99_ms"]) / max(float(http["p99_ms"]), 1e-9)
    report.figure("picture server / nginx, pairs/s", f"{ratio:.2f}")
    report.figure("picture server / nginx, p99", f"{p99_ratio:.2f}")
    report.note(f"{args.files} photos of {args.size} bytes, {args.clients} clients, "
                f"{args.seconds:g} s per server; nginx {kbench.cores()} workers, sendfile, no "
                f"access log; picture server threads at the end of its run: {pic_threads}")
    report.emit(args.md)
    return 0


if __name__ == "__main__":
    sys.exit(main())
