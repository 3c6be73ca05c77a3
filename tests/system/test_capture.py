"""Camera workers inside the running service: addresses from the camera table, streams from
camsim (MJPEG over HTTP) and ffmpeg (MPEG-TS over UDP), drops, reconnects and a clean stop.
Real binary, accsim, an embedded Firebird database, camsim, ffmpeg."""

import subprocess

import pytest

from kestrin import (Accsim, Camsim, Service, free_port, make_database, stored_password,
                     wait_until, write_settings)

LOGIN, PASSWORD = "admin", "secret"


@pytest.fixture
def udp_camera():
    """ffmpeg sending a 352x288 test picture as MPEG-TS to a UDP port; yields its address."""
    port = free_port()
    ffmpeg = subprocess.Popen(
        ["ffmpeg", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi", "-i",
         "testsrc=size=352x288:rate=25", "-c:v", "mpeg2video", "-q:v", "5", "-f", "mpegts",
         f"udp://127.0.0.1:{port}?pkt_size=1316"],
        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        yield f"udp://@127.0.0.1:{port}"
    finally:
        ffmpeg.terminate()
        try:
            ffmpeg.wait(5)
        except subprocess.TimeoutExpired:
            ffmpeg.kill()
            ffmpeg.wait()


def test_workers_stream_drop_stalled_cameras_and_stop_cleanly(home, tmp_path, udp_camera):
    with Camsim("--size", "320x240", "--fps", "10") as steady, \
            Camsim("--size", "320x240", "--fps", "10", "--stall-after", "6") as stalling:
        # Cameras 1 to 3 of the table are workers 0 to 2.
        database = make_database(tmp_path / "db", cameras=[
            (1, steady.url), (2, stalling.url), (3, udp_camera)])
        write_settings(home, {"connect": {"server": "127.0.0.1", "login": LOGIN,
                                          "pass": stored_password(PASSWORD)}})
        service = Service(home)
        with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database), service:
            assert service.wait_ready()
            assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)
            assert service.wait_for_log("[2] видеопоток доступен 352x288", 30)
            assert service.wait_for_log("[1] видеопоток доступен 320x240", 30)

            # The stalled camera is dropped and opened again; the healthy ones stay up,
            # the UDP stream included, past libVLC's start-up buffering.
            assert service.wait_for_log("[1] переподключение [Код: 4]", 30)
            assert wait_for_count(service, "[1] видеопоток доступен", 2, 30)
            log = "\n".join(service.log_lines())
            assert "[0] переподключение" not in log
            assert "[2] переподключение" not in log
            # Workers 3 to 8 have no address and stay silent.
            assert not any(f"[{i}] " in log for i in range(3, 9))

            assert service.stop() == 0
        assert service.log_lines()[-1].endswith("Остановка службы")


def wait_for_count(service, needle, count, timeout):
    return wait_until(lambda: sum(needle in line for line in service.log_lines()) >= count,
                      timeout)
