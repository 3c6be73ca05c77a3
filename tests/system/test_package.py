"""The Debian package: installed on this machine, the binary starts and stops with its home."""

import os
import shutil
import signal
import socket
import subprocess
import tempfile
from pathlib import Path

import pytest

from kestrin import BUILD, free_port

HOME = Path("/var/lib/kestrin-videoserver")

pytestmark = pytest.mark.skipif(
    os.geteuid() != 0 or shutil.which("dpkg") is None
    or subprocess.run(["dpkg", "-s", "kestrin-videoserver"], capture_output=True).returncode == 0,
    reason="needs root, dpkg and no installed kestrin-videoserver package")


@pytest.fixture(scope="module")
def package():
    result = subprocess.run(["cpack", "-G", "DEB"], cwd=BUILD, capture_output=True, text=True)
    assert result.returncode == 0, result.stdout + result.stderr
    debs = sorted(BUILD.glob("kestrin-videoserver_*_amd64.deb"))
    assert debs
    return debs[-1]


def test_installed_package_runs_under_its_own_user(package):
    install = subprocess.run(["dpkg", "-i", str(package)], capture_output=True, text=True)
    try:
        assert install.returncode == 0, install.stdout + install.stderr
        unit = Path("/lib/systemd/system/kestrin-videoserver.service").read_text()
        assert "ProtectSystem=strict" in unit and "User=kestrin" in unit
        assert "LimitNOFILE=8192" in unit
        assert (HOME / "libfbclient.so.2").resolve().exists()
        # The shipped log rotation is valid for the installed user and folder (dry run).
        (HOME / "videoserver.log").write_text("x\r\n")
        rotation = subprocess.run(["logrotate", "-d", "/etc/logrotate.d/kestrin-videoserver"],
                                  capture_output=True, text=True)
        (HOME / "videoserver.log").unlink()
        assert rotation.returncode == 0 and "error" not in rotation.stderr, rotation.stderr

        # The readiness socket must be reachable for the service's user.
        folder = Path(tempfile.mkdtemp(prefix="kestrin-notify-"))
        os.chmod(folder, 0o755)
        notify = folder / "notify"
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(str(notify))
        os.chmod(notify, 0o777)
        sock.settimeout(20)
        args = ["setpriv", "--reuid", "kestrin", "--regid", "kestrin", "--init-groups",
                "/usr/bin/kestrin-videoserver", "--home", str(HOME),
                "--web-port", str(free_port()), "--picture-port", str(free_port()),
                "--server-port", str(free_port())]
        proc = subprocess.Popen(args, env=dict(os.environ, NOTIFY_SOCKET=str(notify)))
        try:
            assert b"READY=1" in sock.recv(4096)
            proc.send_signal(signal.SIGTERM)
            assert proc.wait(30) == 0
        finally:
            if proc.poll() is None:
                proc.kill()
            sock.close()
            shutil.rmtree(folder, ignore_errors=True)
        log = (HOME / "videoserver.log").read_bytes().decode("utf-8").splitlines()
        assert log[-1].endswith("] Остановка службы")
        assert (HOME / "vs_settings.ini").stat().st_uid == int(
            subprocess.check_output(["id", "-u", "kestrin"]))
    finally:
        subprocess.run(["dpkg", "--purge", "kestrin-videoserver"], capture_output=True)
        for name in ("videoserver.log", "vs_settings.ini"):
            (HOME / name).unlink(missing_ok=True)
