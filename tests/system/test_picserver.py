"""The picture server of the real binary: lookup and fetch against a prepared archive."""

import fcntl
import io
import socket
import struct
import subprocess
import time

import pytest
from PIL import Image

from kestrin import BUILD, Service, wait_until

PICCLIENT = BUILD / "tools" / "picclient" / "picclient"

CONTROLLER = "0012A3B4C5D6"
HEX_TIME = "0C08150E0509"        # 2021-08-12 14:05:09
ADDRESSED = f"{CONTROLLER}_{HEX_TIME}"


def ask(port, request, host="127.0.0.1", timeout=10):
    """Sends raw request bytes; returns everything received until the server closes."""
    family = socket.AF_INET6 if ":" in host else socket.AF_INET
    with socket.socket(family) as s:
        s.settimeout(timeout)
        s.connect((host, port))
        s.sendall(request)
        chunks = []
        while True:
            try:
                chunk = s.recv(65536)
            except ConnectionResetError:
                break
            if not chunk:
                break
            chunks.append(chunk)
        return b"".join(chunks)


def jpeg(colour, size=(64, 48)):
    out = io.BytesIO()
    Image.new("RGB", size, colour).save(out, "JPEG", quality=90)
    return out.getvalue()


def multi_frame(pictures):
    """Length records as the saver writes them: 0x03 + int16 or 0x04 + int32, little-endian."""
    out = b""
    for picture in pictures:
        if len(picture) <= 32767:
            out += b"\x03" + struct.pack("<h", len(picture))
        else:
            out += b"\x04" + struct.pack("<i", len(picture))
        out += picture
    return out


SINGLE = jpeg((200, 30, 30))
PICTURES = [jpeg((0, 0, 255)), jpeg((0, 255, 0), size=(640, 480)), jpeg((255, 255, 0))]
MULTI = multi_frame(PICTURES)


def start_service(home, archive, name_format):
    (home / "vs_settings.ini").write_text(f"[main]\narch={archive}\nnameformat={name_format}\n")
    service = Service(home).start()
    assert service.wait_ready()
    return service


@pytest.fixture
def archive(tmp_path):
    folder = tmp_path / "photos"
    folder.mkdir()
    return folder


# (name format, files in the archive, request, expected reply)
CASES = [
    # lookup: the 25-character rule
    (0, {}, f"R{ADDRESSED[:-1]}\r\n", b"none\r\n"),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"R{ADDRESSED}0\r\n", b"none\r\n"),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"R{ADDRESSED}\r\n", f"{ADDRESSED}1\r\n".encode()),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"R{ADDRESSED}\n", f"{ADDRESSED}1\r\n".encode()),
    (0, {f"{ADDRESSED}1.jpg": SINGLE, f"{ADDRESSED}2.jpg": MULTI}, f"R{ADDRESSED}\r\n",
     f"{ADDRESSED}2\r\n".encode()),
    (0, {}, f"R{ADDRESSED}\r\n", b"none\r\n"),
    # the example names of formats 1 and 2
    (1, {f"{CONTROLLER}_1208211405092.jpg": MULTI}, f"R{ADDRESSED}\r\n",
     f"{CONTROLLER}_1208211405092\r\n".encode()),
    (2, {f"{CONTROLLER}_2108121405091.jpg": SINGLE}, f"R{ADDRESSED}\r\n",
     f"{CONTROLLER}_2108121405091\r\n".encode()),
    (2, {f"{CONTROLLER}_2108121405091.jpg": SINGLE, f"{CONTROLLER}_2108121405092.jpg": MULTI},
     f"R{CONTROLLER}_0c08150e0509\r\n", f"{CONTROLLER}_2108121405092\r\n".encode()),
    (2, {f"{ADDRESSED}1.jpg": SINGLE}, f"R{ADDRESSED}\r\n", b"none\r\n"),  # other format's name
    (1, {}, f"R{CONTROLLER}_0C0D150E0509\r\n", b""),  # month 13: closed without reply
    (2, {}, f"R{CONTROLLER}_000815000000\r\n", b""),  # day 0
    (0, {}, f"R{CONTROLLER}_0C0D150E0509\r\n", b"none\r\n"),  # format 0 does not decode
    # fetch
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"F{ADDRESSED}1\r\n", b"%d\r\n" % len(SINGLE) + SINGLE),
    (0, {f"{ADDRESSED}2.jpg": MULTI}, f"F{ADDRESSED}2\r\n", b"%d\r\n" % len(MULTI) + MULTI),
    (1, {f"{CONTROLLER}_1208211405092.jpg": MULTI}, f"F{CONTROLLER}_1208211405092\r\n",
     b"%d\r\n" % len(MULTI) + MULTI),
    (0, {"empty1.jpg": b""}, "Fempty1\r\n", b"0\r\n"),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"F{ADDRESSED}2\r\n", b"error\r\n"),
    # requests that get nothing
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"r{ADDRESSED}\r\n", b""),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, f"f{ADDRESSED}1\r\n", b""),
    (0, {}, "\r\n", b""),
    (0, {}, "X\r\n", b""),
    (0, {}, "F../x\r\n", b""),
    (0, {}, "F../outside\r\n", b""),   # the file exists beside the archive
    (0, {}, "F/etc/hostname\r\n", b""),
    (0, {}, "F..\\outside\r\n", b""),
    (0, {f"{ADDRESSED}1.jpg": SINGLE}, "F" + "A" * 300 + "\r\n", b""),  # over-long line
]


@pytest.mark.parametrize("name_format", [0, 1, 2])
def test_requests_and_replies(home, archive, name_format):
    (archive.parent / "outside.jpg").write_bytes(b"secret")
    cases = [c for c in CASES if c[0] == name_format]
    service = start_service(home, archive, name_format)
    try:
        for _, files, request, expected in cases:
            for path in archive.iterdir():
                path.unlink()
            for name, data in files.items():
                (archive / name).write_bytes(data)
            reply = ask(service.picture_port, request.encode("latin-1"))
            assert reply == expected, (request, sorted(files))
    finally:
        assert service.stop() == 0
    # The server reads and never writes: the archive holds what the test put.
    assert {p.name for p in archive.iterdir()} == set(cases[-1][1])


def test_lookup_then_fetch_with_the_client_tool(home, archive, tmp_path):
    (archive / f"{ADDRESSED}2.jpg").write_bytes(MULTI)
    service = start_service(home, archive, 0)
    try:
        port = str(service.picture_port)
        run = subprocess.run([str(PICCLIENT), "--port", port, "get", ADDRESSED,
                              "--output", str(tmp_path / "got.jpg"), "--split",
                              str(tmp_path / "pictures")], capture_output=True, text=True)
        assert run.returncode == 0, run.stderr
        assert run.stdout.splitlines()[0] == f"{ADDRESSED}2"
        assert (tmp_path / "got.jpg").read_bytes() == MULTI
        parts = [(tmp_path / "pictures" / f"got_{i}.jpg").read_bytes() for i in (1, 2, 3)]
        assert parts == PICTURES
        assert Image.open(tmp_path / "pictures" / "got_2.jpg").size == (640, 480)

        run = subprocess.run([str(PICCLIENT), "--port", port, "lookup", f"{CONTROLLER}_0C08150E0508"],
                             capture_output=True, text=True)
        assert (run.returncode, run.stdout) == (1, "none\n")
        run = subprocess.run([str(PICCLIENT), "--port", port, "fetch", "missing1"],
                             capture_output=True, text=True)
        assert run.returncode == 1 and "no such file" in run.stderr
    finally:
        service.stop()


def test_file_locked_by_a_writer_answers_minus_one(home, archive):
    path = archive / f"{ADDRESSED}1.jpg"
    path.write_bytes(SINGLE)
    service = start_service(home, archive, 0)
    try:
        with open(path, "r+b") as writer:
            fcntl.flock(writer, fcntl.LOCK_EX)
            # Found by the lookup, unreadable for the fetch.
            assert ask(service.picture_port, f"R{ADDRESSED}\r\n".encode()) == f"{ADDRESSED}1\r\n".encode()
            assert ask(service.picture_port, f"F{ADDRESSED}1\r\n".encode()) == b"-1\r\n"
        assert ask(service.picture_port, f"F{ADDRESSED}1\r\n".encode()) == b"%d\r\n" % len(SINGLE) + SINGLE
    finally:
        service.stop()


def test_every_local_address(home, archive):
    (archive / f"{ADDRESSED}1.jpg").write_bytes(SINGLE)
    service = start_service(home, archive, 0)
    try:
        request = f"R{ADDRESSED}\r\n".encode()
        assert ask(service.picture_port, request, host="::1") == f"{ADDRESSED}1\r\n".encode()
        assert ask(service.picture_port, request, host="127.0.0.2") == f"{ADDRESSED}1\r\n".encode()
    finally:
        service.stop()


def test_request_line_must_arrive_within_30_seconds(home, archive):
    service = start_service(home, archive, 0)
    try:
        with socket.create_connection(("127.0.0.1", service.picture_port)) as s:
            s.settimeout(45)
            s.sendall(b"R" + ADDRESSED.encode())   # no line end
            begin = time.monotonic()
            assert s.recv(100) == b""
            elapsed = time.monotonic() - begin
        assert 25 < elapsed < 40
    finally:
        service.stop()


def test_stop_cuts_open_connections(home, archive):
    service = start_service(home, archive, 0)
    clients = [socket.create_connection(("127.0.0.1", service.picture_port)) for _ in range(3)]
    clients[0].sendall(b"F")
    time.sleep(0.2)
    begin = time.monotonic()
    assert service.stop() == 0
    assert time.monotonic() - begin < 10
    for client in clients:
        client.settimeout(5)
        try:
            assert client.recv(10) == b""
        except ConnectionResetError:
            pass
        client.close()
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", service.picture_port), timeout=2)
    assert service.log_lines()[-1] == "Остановка службы"


def test_taken_port_is_logged_and_the_service_runs_on(home, archive):
    blocker = socket.socket()
    blocker.bind(("0.0.0.0", 0))
    blocker.listen()
    port = blocker.getsockname()[1]
    try:
        (home / "vs_settings.ini").write_text(f"[main]\narch={archive}\n")
        service = Service(home)
        service.picture_port = port
        service.args[service.args.index("--picture-port") + 1] = str(port)
        with service:
            assert service.wait_ready()
            assert service.wait_for_log(f"ОШИБКА: Сервер фотографий(порт {port}) не запущен")
            assert service.proc.poll() is None
            assert service.stop() == 0
    finally:
        blocker.close()
