"""Helpers for system tests: start the built service in a temporary home and watch its log."""

import os
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


def wait_until(predicate, timeout=10.0, step=0.05):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(step)


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
        self.proc = subprocess.Popen(self.args, env=env, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True)
        return self

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
        return self.proc.returncode

    def close(self):
        self.stop()
        self.notify.close()

    def wait_exit(self, timeout=15.0):
        return self.proc.wait(timeout)

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.close()
