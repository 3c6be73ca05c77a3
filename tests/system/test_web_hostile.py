"""Hostile clients of the web server of the real binary: more connections at once than it
serves, and requests for many parts of a reply. Loopback only."""

import socket
import subprocess
import time

import pytest

from kestrin import Service, ended_by_server, thread_count, wait_until

MAX_CONNECTIONS = 256
HELD = MAX_CONNECTIONS + 44
REFUSAL_LOG = "соединение закрыто"


@pytest.fixture
def service(home):
    with Service(home) as running:
        assert running.wait_ready()
        yield running
        assert running.stop() == 0


def listen_backlog(port):
    """The listening queue length of the socket on `port` (Send-Q of a listening socket)."""
    out = subprocess.run(["ss", "-ltnH", f"sport = :{port}"], capture_output=True, text=True,
                         check=True).stdout
    return max(int(line.split()[2]) for line in out.splitlines())


def exchange(port, request):
    """What the server answers to `request` until it closes; a connection cut unread
    answers nothing."""
    data = b""
    with socket.create_connection(("127.0.0.1", port), timeout=20) as s:
        try:
            s.sendall(request)
            while chunk := s.recv(65536):
                data += chunk
        except (ConnectionResetError, BrokenPipeError):
            pass
    return data


def test_connections_beyond_the_cap_are_closed_unread(service):
    port = service.web_port
    assert listen_backlog(port) >= 128
    pid = service.proc.pid
    baseline = thread_count(pid)

    # Clients that keep a request open, a header byte at a time.
    held = []
    try:
        for _ in range(HELD):
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ")
            s.setblocking(False)
            held.append(s)
        for _ in range(3):
            time.sleep(1)
            for s in held:
                try:
                    s.send(b"a")
                except OSError:
                    pass  # closed by the server
        closed = ended_by_server(held)
        assert len(closed) == HELD - MAX_CONNECTIONS
        assert thread_count(pid) <= baseline + MAX_CONNECTIONS + 2
        # A whole request beyond the cap gets no answer at all.
        assert exchange(port, b"GET /main.css HTTP/1.1\r\nHost: x\r\n\r\n") == b""
    finally:
        for s in held:
            s.close()

    # Once they have gone, the server answers again; the refusals were logged once.
    assert wait_until(lambda: b"200 OK" in exchange(port, b"GET /main.css HTTP/1.1\r\n"
                                                          b"Host: x\r\nConnection: close\r\n\r\n"),
                      20, step=0.5)
    assert sum(REFUSAL_LOG in line for line in service.log_lines()) == 1
    assert wait_until(lambda: thread_count(pid) <= baseline + 2, 20, step=0.5)


@pytest.mark.parametrize("target", ["/main.css", "/favicon.ico"])
def test_a_range_header_gets_the_whole_body_once(service, target):
    whole = exchange(service.web_port,
                     f"GET {target} HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n".encode())
    head, body = whole.split(b"\r\n\r\n", 1)
    assert head.startswith(b"HTTP/1.1 200 ") and body
    # 2401 ranges of the whole body in a 7 KiB request.
    ranges = "Range: bytes=0-" + ",0-" * 2400
    for extra in (ranges, "Range: bytes=0-9", "Range: bytes=-1"):
        reply = exchange(service.web_port, f"GET {target} HTTP/1.1\r\nHost: x\r\n{extra}\r\n"
                                           "Connection: close\r\n\r\n".encode())
        reply_head, reply_body = reply.split(b"\r\n\r\n", 1)
        assert reply_head.startswith(b"HTTP/1.1 200 ")
        assert b"Content-Range" not in reply_head and b"multipart" not in reply_head
        assert reply_body == body
