"""How old the picture in a saved photo is: every test camera stamps its pictures with the
CLOCK_MONOTONIC millisecond at which it made them, and a photo saved for an event under a
rule with delay 0 must show a picture made shortly before the event was sent. The bound is
generous: it catches a return of multi-second buffering on any of the three kinds of source,
while the tight figures belong to bench/picture_age. Real binary, accsim, an embedded
Firebird database, camsim over HTTP, camsim through ffmpeg over UDP, rtspcam over RTSP."""

import contextlib
import datetime
import itertools
import subprocess

from kestrin import (BUILD, Camsim, RtspCam, UdpCamsim, logged_in_service, make_database,
                     make_home, wait_until)

PICTURE_STAMP = BUILD / "bench" / "picture_stamp" / "bench_picture_stamp"
MJPEG, UDP, RTSP = 1, 2, 3  # camera numbers (worker = camera - 1)
# The oldest acceptable picture per camera, in ms. libVLC keeps its 1000 ms network caching
# for UDP streams (less stopped the pictures of such a stream), so that bound is wider.
BOUND_MS = {MJPEG: 1000, UDP: 1500, RTSP: 1000}
# Camera number -> its controller (one rule each, delay 0, a single picture).
CONTROLLER = {MJPEG: "0000000000A1", UDP: "0000000000A2", RTSP: "0000000000A3"}


def stamps_of(path):
    """The stamps of the pictures in a photo file, None for an unreadable one."""
    out = subprocess.run([str(PICTURE_STAMP), str(path)], capture_output=True, text=True,
                         timeout=30).stdout.split()
    return [int(value) if value.isdigit() else None for value in out[1:]]


def signed32(value):
    value &= 0xFFFFFFFF
    return value - (1 << 32) if value >= 1 << 31 else value


def shoot(service, archive, camera, number):
    """Sends an event of `camera`'s controller (event time: `number` seconds into the day);
    the monotonic second it was sent at and the stamp of its photo's picture (None when
    the photo does not come within 5 s or shows no stamp)."""
    when = datetime.datetime(2026, 5, 1) + datetime.timedelta(seconds=number)
    sent = len(service.server.request("GET", "/sent")["events"])
    service.server.post("/event", {"dvs": CONTROLLER[camera], "ev1": "0", "ev2": "4",
                                   "time": when.strftime("%Y-%m-%dT%H:%M:%S")})
    records = wait_until(lambda: service.server.request("GET", f"/sent?since={sent}")["events"],
                         10)
    assert records, "accsim did not send the event"
    photo = archive / (f"{CONTROLLER[camera]}_01051A{when.hour:02X}{when.minute:02X}"
                       f"{when.second:02X}1.jpg")
    stamps = wait_until(lambda: photo.exists() and stamps_of(photo) != [None] and
                        stamps_of(photo), 5, 0.1)
    return records[0]["sent_at"], stamps[0] if stamps else None


def test_delay_zero_photo_shows_a_fresh_picture_from_every_kind_of_source(tmp_path):
    archive = tmp_path / "photos"
    archive.mkdir()
    with contextlib.ExitStack() as stack:
        cameras = {MJPEG: Camsim("--size", "640x360", "--fps", "10"),
                   UDP: UdpCamsim("640x360", 10),
                   RTSP: RtspCam("--stamp", "--size", "640x360", "--fps", "10")}
        for camera in cameras.values():
            stack.enter_context(camera)
        rules = [(CONTROLLER[c], c, "0004", 80, 0, 0, 0) for c in cameras]
        database = make_database(tmp_path / "db", rules=rules,
                                 cameras=[(c, cam.url) for c, cam in cameras.items()])
        service = stack.enter_context(logged_in_service(
            make_home(tmp_path / "home"), database, camera_size="640x360",
            main={"arch": str(archive)}))
        names = itertools.count()
        # A stream shows its first picture a moment after it starts playing (for UDP up to
        # libVLC's caching later); a photo asked for meanwhile waits for that picture, so
        # even the first photo right after the stream is up shows a stamped picture.
        for camera in cameras:
            assert service.wait_for_log(f"[{camera - 1}] видеопоток доступен 640x360", 30)
            assert shoot(service, archive, camera, next(names))[1] is not None, (
                f"camera {camera}'s first photo shows no picture")
        ages = {}
        for camera in list(cameras) * 2:
            sent_at, stamp = shoot(service, archive, camera, next(names))
            assert stamp is not None, f"a photo of camera {camera} without a readable stamp"
            ages.setdefault(camera, []).append(signed32(round(sent_at * 1000) - stamp))
        # No older than the bound. A picture may be made after the event was sent (while
        # the service takes it in), but never a second later: that is a broken clock.
        for camera, values in ages.items():
            assert all(-1000 < age < BOUND_MS[camera] for age in values), (camera, ages)
