"""200 concurrent clients fetch from the real binary's picture server for 10 seconds."""

import os
import socket
import threading
import time

from kestrin import Service

CLIENTS = 200
SECONDS = 10.0
NAME = "0012A3B4C5D6_0C08150E0509"


def exchange(port, request):
    with socket.create_connection(("127.0.0.1", port), timeout=30) as s:
        s.sendall(request)
        chunks = []
        while True:
            chunk = s.recv(65536)
            if not chunk:
                return b"".join(chunks)
            chunks.append(chunk)


def test_two_hundred_clients_get_whole_replies(home, tmp_path):
    archive = tmp_path / "photos"
    archive.mkdir()
    single = os.urandom(60_000)
    multi = os.urandom(250_000)
    (archive / f"{NAME}1.jpg").write_bytes(single)
    (archive / f"{NAME}2.jpg").write_bytes(multi)
    (home / "vs_settings.ini").write_text(f"[main]\narch={archive}\n")
    expected = {
        f"R{NAME}\r\n".encode(): f"{NAME}2\r\n".encode(),
        f"F{NAME}1\r\n".encode(): b"%d\r\n" % len(single) + single,
        f"F{NAME}2\r\n".encode(): b"%d\r\n" % len(multi) + multi,
    }
    requests = list(expected)
    counts = {"ok": 0, "failed": 0}
    failures = []
    lock = threading.Lock()
    start = threading.Barrier(CLIENTS + 1)

    def client(index):
        ok = failed = 0
        start.wait()
        deadline = time.monotonic() + SECONDS
        k = index
        while time.monotonic() < deadline:
            request = requests[k % len(requests)]
            k += 1
            try:
                reply = exchange(port, request)
            except OSError as error:
                reply = repr(error).encode()
            if reply == expected[request]:
                ok += 1
            else:
                failed += 1
                if len(failures) < 5:
                    failures.append((request, reply[:80], len(reply)))
        with lock:
            counts["ok"] += ok
            counts["failed"] += failed

    with Service(home) as service:
        assert service.wait_ready()
        port = service.picture_port
        threads = [threading.Thread(target=client, args=(i,)) for i in range(CLIENTS)]
        for t in threads:
            t.start()
        start.wait()
        begin = time.monotonic()
        for t in threads:
            t.join(SECONDS + 60)
        elapsed = time.monotonic() - begin
        assert service.stop() == 0

    assert not any(t.is_alive() for t in threads)
    assert counts["failed"] == 0, failures
    assert counts["ok"] > 0
    print(f"\npicture server: {counts['ok']} whole replies in {elapsed:.1f} s "
          f"with {CLIENTS} clients = {counts['ok'] / elapsed:.0f} requests/s")
