"""Helpers for system tests: start the built service in a temporary home and watch its log."""

import contextlib
import os
import select
import signal
import socket
import subprocess
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("KESTRIN_BUILD", REPO / "build"))
BINARY = BUILD / "kestrin-videoserver"
SYSTEM_FBCLIENT = Path("/usr/lib/x86_64-linux-gnu/libfbclient.so.2")


def free_port():
    """A TCP port that is free on loopback right now."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def make_home(path, fbclient=True):
    """A home folder; with the system's database client library linked in."""
    path = Path(path)
    path.mkdir(parents=True, exist_ok=True)
    if fbclient:
        (path / "libfbclient.so.2").symlink_to(SYSTEM_FBCLIENT)
    return path


def thread_count(pid):
    """The threads of process `pid` now."""
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("Threads:"):
                return int(line.split()[1])
    raise AssertionError("no thread count")


def ended_by_server(sockets):
    """Those of `sockets` (connections that sent nothing the server would answer) that the
    server has closed by now."""
    poller = select.poll()
    by_fd = {s.fileno(): s for s in sockets}
    for fd in by_fd:
        poller.register(fd, select.POLLIN)
    ended = []
    for fd, _ in poller.poll(0):
        try:
            if by_fd[fd].recv(1) == b"":
                ended.append(by_fd[fd])
        except ConnectionResetError:
            ended.append(by_fd[fd])
    return ended


def multi_frame_records(data):
    """The pictures of a multi-frame file; None when a record is unknown or cut short."""
    sizes = {0x02: 1, 0x03: 2, 0x04: 4, 0x13: 8}
    pictures, offset = [], 0
    while offset < len(data):
        size = sizes.get(data[offset])
        if size is None or offset + 1 + size > len(data):
            return None
        length = int.from_bytes(data[offset + 1:offset + 1 + size], "little", signed=True)
        start = offset + 1 + size
        if length < 0 or start + length > len(data):
            return None
        pictures.append(data[start:start + length])
        offset = start + length
    return pictures


def wait_until(predicate, timeout=10.0, step=0.05):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


# Every service started by the running test; conftest checks their output afterwards.
STARTED = []


class Service:
    """The service binary running in the foreground in `home`."""

    def __init__(self, home, extra_args=(), env=None):
        self.home = Path(home)
        self.web_port = free_port()
        self.picture_port = free_port()
        self.server_port = free_port()
        self.args = [
            str(BINARY), "--home", str(self.home),
            "--web-port", str(self.web_port),
            "--picture-port", str(self.picture_port),
            "--server-port", str(self.server_port),
            *extra_args,
        ]
        self.env = dict(os.environ, **(env or {}))
        self.proc = None

    def start(self):
        # The service tells systemd when it is ready; the test plays systemd.
        self.notify_path = self.home / ".notify"
        if self.notify_path.exists():
            self.notify_path.unlink()
        self.notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.notify.bind(str(self.notify_path))
        env = dict(self.env, NOTIFY_SOCKET=str(self.notify_path))
        # Its own output (libVLC's messages, sanitizer reports) goes to a file: a pipe
        # nobody reads would block the service once it is full.
        self.output = open(self.output_path(), "ab")
        self.proc = subprocess.Popen(self.args, env=env, stdin=subprocess.DEVNULL,
                                     stdout=self.output, stderr=subprocess.STDOUT)
        STARTED.append(self)
        return self

    def output_path(self):
        """Where the service's stdout and stderr go: beside the home folder."""
        return self.home.with_name(self.home.name + ".output")

    def sanitizer_report(self):
        """The sanitizer errors the service printed, or "" when there are none."""
        try:
            text = self.output_path().read_bytes().decode("utf-8", "replace")
        except FileNotFoundError:
            return ""
        markers = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:",
                   "WARNING: ThreadSanitizer")
        lines = text.splitlines()
        for i, line in enumerate(lines):
            if any(marker in line for marker in markers):
                return "\n".join(lines[i:i + 60])
        return ""

    def wait_ready(self, timeout=15.0):
        """True once the service reported READY=1; False when it exited or timed out."""
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if self.proc.poll() is not None:
                return False
            self.notify.settimeout(0.1)
            try:
                if b"READY=1" in self.notify.recv(4096):
                    return True
            except socket.timeout:
                pass
        return False

    def log_path(self):
        return self.home / "videoserver.log"

    def log_lines(self):
        """The log's messages, without the time stamps."""
        try:
            text = self.log_path().read_bytes().decode("utf-8")
        except FileNotFoundError:
            return []
        lines = [line for line in text.split("\r\n") if line]
        return [line.split("] ", 1)[1] if "] " in line else line for line in lines]

    def wait_for_log(self, needle, timeout=10.0):
        return wait_until(lambda: any(needle in line for line in self.log_lines()), timeout)

    def stop(self, timeout=20.0):
        if self.proc is None or self.proc.poll() is not None:
            return self.proc.returncode if self.proc else None
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        if self.proc.returncode != 0:
            # Shown with the test's report when the test fails on it.
            tail = self.output_path().read_bytes()[-4000:].decode("utf-8", "replace")
            print(f"service ended with {self.proc.returncode}; its last output:\n{tail}")
        return self.proc.returncode

    def close(self):
        if self.proc is None:
            return
        self.stop()
        self.notify.close()
        self.output.close()

    def wait_exit(self, timeout=15.0):
        return self.proc.wait(timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()


# --- peers ----------------------------------------------------------------

# The credentials the simulated access-control server accepts in the tests.
LOGIN, PASSWORD = "admin", "secret"


def stop_process(proc, timeout=5):
    """Terminates a peer process, killing it when it does not end in time."""
    if proc and proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()

ACCSIM = REPO / "tools" / "accsim" / "accsim"
CAMSIM = BUILD / "tools" / "camsim" / "camsim"
RTSPCAM = REPO / "tools" / "rtspcam" / "rtspcam"
MAKE_TEST_DB = REPO / "scripts" / "make-test-db"


def password_digest(password):
    """The digest the service keeps of a password: MD5 of its Windows-1251 bytes, upper-case hex."""
    import hashlib
    return hashlib.md5(password.encode("cp1251")).hexdigest().upper()


def machine_key():
    """The key text of the stored password form on this machine."""
    try:
        key = Path("/etc/machine-id").read_text().replace("-", "").strip()
    except OSError:
        key = ""
    return key or "7d1e0b93f4a2586cd0e7b3a19f4c2e58"


def stored_password(password):
    """The stored form of a password's digest, computed independently of the service:
    Blowfish in 8-bit CFB, key SHA-256 of the machine key, IV the encryption of zero bytes."""
    import base64
    import hashlib
    from Cryptodome.Cipher import Blowfish
    key = hashlib.sha256(machine_key().encode("cp1251")).digest()
    iv = Blowfish.new(key, Blowfish.MODE_ECB).encrypt(bytes(8))
    cipher = Blowfish.new(key, Blowfish.MODE_CFB, iv=iv, segment_size=8)
    return base64.b64encode(cipher.encrypt(password_digest(password).encode())).decode()


def write_settings(home, sections):
    """Writes vs_settings.ini from {section: {key: value}} in Windows-1251."""
    lines = []
    for section, values in sections.items():
        lines.append(f"[{section}]")
        lines.extend(f"{key}={value}" for key, value in values.items())
    (Path(home) / "vs_settings.ini").write_bytes(("\n".join(lines) + "\n").encode("cp1251"))


def store_credentials(home, main=None, login=LOGIN, password=PASSWORD):
    """Settings with stored server credentials (and `main` settings): the service logs in to
    the simulated server at start."""
    sections = {"connect": {"server": "127.0.0.1", "login": login,
                            "pass": stored_password(password)}}
    if main:
        sections["main"] = main
    write_settings(home, sections)


def read_settings(home):
    """vs_settings.ini as {section: {key: value}}, names in lower case."""
    sections, current = {}, None
    path = Path(home) / "vs_settings.ini"
    if not path.exists():
        return sections
    for line in path.read_bytes().decode("cp1251").splitlines():
        line = line.strip()
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1].lower(), {})
        elif "=" in line and current is not None:
            key, value = line.split("=", 1)
            current[key.strip().lower()] = value.strip()
    return sections


def make_database(folder, cameras=(), rules=(), samples=True):
    """An access-control database in `folder`; cameras are (id, url), rules are
    (dvs, cam, evnt, qly, dly, rgt, mtl)."""
    args = [str(MAKE_TEST_DB), str(folder)]
    for camera_id, url in cameras:
        args += ["--camera", str(camera_id), url]
    for rule in rules:
        args += ["--rule", *[str(v) for v in rule]]
    if not samples:
        args.append("--no-samples")
    subprocess.run(args, check=True, capture_output=True)
    return Path(folder)


class PeerProcess:
    """A peer program the tests start and stop; subclasses define start()."""

    proc = None

    def stop(self):
        stop_process(self.proc)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


class Accsim(PeerProcess):
    """The access-control server simulator, steered through its HTTP control port."""

    def __init__(self, port, login="admin", password="secret", db_path="", extra=()):
        self.port = port
        self.control_port = free_port()
        self.args = ["/usr/bin/python3", str(ACCSIM), "--port", str(port),
                     "--control-port", str(self.control_port), "--login", login,
                     "--password", password, "--db-path", str(db_path), *extra]
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                     text=True)
        assert wait_until(lambda: self._answers(), 10), "accsim did not start"
        return self

    def _answers(self):
        try:
            self.state()
            return True
        except OSError:
            return False

    def request(self, method, path, body=None):
        import json
        import urllib.request
        data = None if body is None else (body if isinstance(body, str) else json.dumps(body))
        req = urllib.request.Request(f"http://127.0.0.1:{self.control_port}{path}", method=method,
                                     data=None if data is None else data.encode("utf-8"))
        with urllib.request.urlopen(req, timeout=10) as response:
            return json.loads(response.read().decode("utf-8"))

    def state(self):
        return self.request("GET", "/state")

    def post(self, path, body=None):
        return self.request("POST", path, body if body is not None else "")

    def kill(self):
        """Ends the simulator at once (SIGKILL), as a crash would; start() brings it back on
        the same ports."""
        self.proc.kill()
        self.proc.wait()



class Camsim(PeerProcess):
    """The MJPEG camera simulator on a free port."""

    def __init__(self, *extra):
        self.port = free_port()
        self.args = [str(CAMSIM), "--bind", "127.0.0.1", "--port", str(self.port), *extra]
        self.proc = None

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}/"

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()
        assert "listening" in line, f"camsim did not start: {line!r}"
        return self



class UdpCamsim(PeerProcess):
    """camsim's stamped pictures (--raw) encoded by ffmpeg and sent as MPEG-TS to a UDP port on
    loopback, as a network camera sends; `codec` is ffmpeg's encoder (libx264 or
    mpeg2video)."""

    def __init__(self, size="640x360", fps=10, codec="libx264"):
        self.port = free_port()
        self.size, self.fps, self.codec = size, fps, codec
        self.camsim = self.proc = None

    @property
    def url(self):
        return f"udp://@127.0.0.1:{self.port}"

    def start(self):
        encoder = (["-c:v", "libx264", "-preset", "ultrafast", "-tune", "zerolatency"]
                   if self.codec == "libx264" else ["-c:v", "mpeg2video", "-q:v", "4", "-bf", "0"])
        self.camsim = subprocess.Popen([str(CAMSIM), "--raw", "--size", self.size, "--fps",
                                        str(self.fps)], stdout=subprocess.PIPE)
        self.proc = subprocess.Popen(
            ["ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "rawvideo", "-pix_fmt", "bgr24",
             "-video_size", self.size, "-framerate", str(self.fps), "-i", "-", *encoder,
             "-g", str(self.fps), "-pix_fmt", "yuv420p", "-f", "mpegts", "-muxdelay", "0",
             "-muxpreload", "0", "-flush_packets", "1",
             f"udp://127.0.0.1:{self.port}?pkt_size=1316"],
            stdin=self.camsim.stdout, stdout=subprocess.DEVNULL)
        self.camsim.stdout.close()
        return self

    def stop(self):
        stop_process(self.proc)
        stop_process(self.camsim)


class RtspCam(PeerProcess):
    """The RTSP test camera (GStreamer's RTSP server) on a port of its own; `extra` are
    further rtspcam arguments. start() again after kill() serves on the same port."""

    def __init__(self, *extra, path="/camera"):
        self.port = free_port()
        self.path = path
        self.args = ["/usr/bin/python3", str(RTSPCAM), "--port", str(self.port), "--path", path,
                     *extra]
        self.proc = None

    @property
    def url(self):
        return self.url_with("")

    def url_with(self, credentials):
        """The camera's address with `credentials` ("user:password@") in it."""
        return f"rtsp://{credentials}127.0.0.1:{self.port}{self.path}"

    def start(self):
        self.proc = subprocess.Popen(self.args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()
        assert "listening" in line, f"rtspcam did not start: {line!r}"
        return self

    def kill(self):
        self.proc.kill()
        self.proc.wait()

    def pause(self):
        """Freezes the server (SIGSTOP): connections stay open, nothing more is sent."""
        self.proc.send_signal(signal.SIGSTOP)

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGCONT)
        super().stop()


@contextlib.contextmanager
def logged_in_service(home, database, camera_size="320x240", main=None, accsim_extra=()):
    """The running service logged in to accsim with `database` known and camera 1 streaming
    at `camera_size`; the service carries `server` (the Accsim), `database` and `base` (the
    web address). `main`: further settings of section "main"; `accsim_extra`: further
    accsim arguments."""
    store_credentials(home, main)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database,
                extra=accsim_extra) as server, service:
        assert service.wait_ready()
        assert wait_until(lambda: server.state()["sessions"] == 1, 5)
        assert service.wait_for_log(f"[0] видеопоток доступен {camera_size}", 30)
        service.server = server
        service.database = database
        service.base = f"http://127.0.0.1:{service.web_port}"
        yield service
