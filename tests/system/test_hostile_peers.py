"""Hostile clients and servers against the real binary: idle connections beyond the picture
server's cap under systemd's usual descriptor limit, links in the archive that point out of it,
a database answer nested a hundred thousand deep, and a server whose handshake answer never
ends. Loopback only."""

import os
import socket
import threading
import time

import pytest
import requests

from kestrin import (LOGIN, PASSWORD, Accsim, Service, ended_by_server, store_credentials,
                     wait_until)

CONTROLLER = "0012A3B4C5D6"
PHOTO = f"{CONTROLLER}_0A0C1A0A0B0C1"  # the event of 2026-12-10 10:11:12
SECRET = b"secret outside the archive"


def exchange(port, request, timeout=20):
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        try:
            while chunk := s.recv(65536):
                data += chunk
        except ConnectionResetError:
            pass
    return data


def descriptor_count(pid):
    return len(os.listdir(f"/proc/{pid}/fd"))


def resident_mib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise AssertionError("no VmRSS")


def test_idle_picture_connections_beyond_the_cap_are_closed_under_1024_descriptors(home):
    """systemd's usual soft limit of 1024 descriptors: 1100 silent connections to the picture
    port cost the service no more than its cap (128 at that limit), the rest are closed at
    once and logged once, and a normal client is served once they have gone."""
    limit, held_count = 1024, 1100
    cap = limit // 2 // 4
    (home / "images").mkdir()
    photo = b"\xff\xd8photo\xff\xd9"
    (home / "images" / f"{PHOTO}.jpg").write_bytes(photo)
    service = Service(home)
    service.args = ["prlimit", f"--nofile={limit}:{limit}", "--", *service.args]
    with service:
        assert service.wait_ready()
        pid, port = service.proc.pid, service.picture_port
        baseline = descriptor_count(pid)
        held = []
        try:
            for _ in range(held_count):
                held.append(socket.create_connection(("127.0.0.1", port), timeout=5))
            assert wait_until(lambda: len(ended_by_server(held)) >= held_count - cap, 20,
                              step=0.5)
            time.sleep(0.5)
            assert len(ended_by_server(held)) == held_count - cap
            assert service.proc.poll() is None
            assert descriptor_count(pid) < limit
        finally:
            for s in held:
                s.close()
        reply = b"%d\r\n" % len(photo) + photo
        assert wait_until(lambda: exchange(port, f"F{PHOTO}\r\n".encode()) == reply, 20,
                          step=0.5)
        assert wait_until(lambda: descriptor_count(pid) <= baseline + 2, 20, step=0.5)
        refusals = [line for line in service.log_lines() if "Сервер фотографий" in line]
        assert len(refusals) == 1, refusals
        assert service.stop() == 0


def test_links_in_the_archive_never_lead_out_of_it(home, tmp_path):
    archive = home / "images"
    archive.mkdir()
    outside = tmp_path / "outside.jpg"
    outside.write_bytes(b"\xff\xd8" + SECRET + b"\xff\xd9")
    (archive / "evil.jpg").symlink_to("/etc/passwd")
    (archive / f"{PHOTO}.jpg").symlink_to(outside)
    (archive / "sub").symlink_to(tmp_path)  # a linked folder: "sub/outside" is outside too
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD) as server, service:
        assert service.wait_ready()
        assert wait_until(lambda: server.state()["sessions"] == 1, 10)
        port = service.picture_port
        for request in (b"Fevil\r\n", f"F{PHOTO}\r\n".encode(), b"Fsub/outside\r\n"):
            reply = exchange(port, request)
            assert b"root:" not in reply and SECRET not in reply, request
            assert reply in (b"-1\r\n", b""), (request, reply)

        http = requests.Session()
        base = f"http://127.0.0.1:{service.web_port}"
        assert http.get(base + "/", timeout=20).status_code == 401
        http.auth = (LOGIN, PASSWORD)
        reply = http.get(f"{base}/getsaveframe/?dvs={CONTROLLER}&time=20261210101112",
                         timeout=20)
        assert SECRET not in reply.content
        assert reply.headers.get("Content-Type", "") != "image/jpeg"
        assert service.stop() == 0


def test_a_database_answer_nested_100000_deep_is_refused_and_the_service_lives(home):
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD) as server, service:
        assert service.wait_ready()
        assert wait_until(lambda: server.state()["sessions"] == 1, 10)
        depth = 100_000
        server.post("/send", '{"atype":401,"answer":{"path":' + "[" * depth + "]" * depth
                    + ',"user":"a","password":"b"}}')
        # The answer is turned away; the session goes on or comes back.
        time.sleep(1)
        assert service.proc.poll() is None
        assert wait_until(lambda: server.state()["sessions"] == 1, 20)
        base = f"http://127.0.0.1:{service.web_port}"
        assert requests.get(base + "/main.css", timeout=20).status_code == 200
        assert service.stop() == 0


class EndlessHandshake:
    """A server that answers every upgrade with a status line and then header lines without
    end, as fast as the client takes them, for at most `seconds`."""

    def __init__(self, port, seconds=12):
        self.listener = socket.create_server(("127.0.0.1", port))
        self.seconds = seconds
        self.accepted = 0
        self.sent = []  # bytes sent on each connection before it ended
        self.endings = []  # how each connection ended: "cut" by the client, or "stalled"
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        self.listener.settimeout(0.5)
        deadline = time.monotonic() + self.seconds
        line = b"X-Filler: " + b"a" * 100 + b"\r\n"
        block = line * 600
        while time.monotonic() < deadline:
            try:
                conn, _ = self.listener.accept()
            except socket.timeout:
                continue
            self.accepted += 1
            with conn:
                conn.settimeout(2)
                sent, ending = 0, "served to the end"
                try:
                    conn.recv(65536)
                    conn.sendall(b"HTTP/1.1 101 Switching Protocols\r\n")
                    while time.monotonic() < deadline:
                        conn.sendall(block)
                        sent += len(block)
                except socket.timeout:
                    ending = "stalled"
                except OSError:
                    ending = "cut"
                self.sent.append(sent)
                self.endings.append(ending)

    def close(self):
        self.thread.join()
        self.listener.close()


def test_a_handshake_answer_without_end_is_cut_and_memory_stays_put(home):
    store_credentials(home)
    service = Service(home)
    peer = EndlessHandshake(service.server_port)
    try:
        with service:
            assert service.wait_ready()
            pid = service.proc.pid
            baseline = resident_mib(pid)
            peak = baseline
            while peer.thread.is_alive():
                peak = max(peak, resident_mib(pid))
                time.sleep(0.2)
            assert service.proc.poll() is None
            assert peer.accepted >= 1
            # Each answer was cut by the service: what it took is what the socket buffers
            # hold beyond the head it reads, not the stream.
            assert peer.sent and max(peer.sent) < 32 << 20, peer.sent
            assert set(peer.endings[:-1]) <= {"cut"}, peer.endings
            assert peak - baseline < 64, (baseline, peak)
            assert service.stop() == 0
    finally:
        peer.close()
