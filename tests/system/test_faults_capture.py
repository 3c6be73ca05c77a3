"""Faults around the cameras and the archive in the running service: camera streams killed,
resized and frozen while savers wait or collect pictures, the archive folder removed, the
archive's file system full, and the cleaner freeing it. After every fault the service runs on,
logs the right reason codes and nothing else, and no photo in the archive is torn.

On a starved machine any stream may also be dropped as stalled (code 4, no new picture for
half a second) and opened again; the checks allow for that, and for nothing else.

One service serves the whole file: the frozen-picture check (30 s) and the cleaner (60 s) run
on their own clocks, so the cases share the wait for them instead of paying it one by one.
Real binary, accsim, an embedded Firebird database, five camsim cameras; the archive lies on a
small tmpfs when this machine lets the tests mount one."""

import contextlib
import fcntl
import io
import os
import re
import shutil
import signal
import socket
import subprocess
import time
import urllib.request
from dataclasses import dataclass
from datetime import datetime, timedelta
from pathlib import Path

import pytest
import requests
from PIL import Image

from kestrin import (LOGIN, PASSWORD, Camsim, logged_in_service, make_database, make_home,
                     multi_frame_records, wait_until)

SIZE = (320, 240)
# Cameras 1 to 5 of the table, workers 0 to 4. Each has its own controller, so that the
# photos of one case never meet those of another.
STEADY, DOOMED, GROWING, SHRINKING, FROZEN = 1, 2, 3, 4, 5
CONTROLLER = {camera: f"0000000000A{camera}" for camera in range(1, 6)}
# The growing and the shrinking camera change their picture size this long after they start,
# while the worker is streaming them.
RESIZE_AFTER = 25
GROWN, SHRUNK = (480, 360), (160, 120)
# A delay long enough for a stream to be dropped and opened again before the saver wakes.
LONG_DELAY = 10000

# (camera, event code, quality, delay ms, multi-frame factor: 5 x pictures, 0 single)
RULES = [
    (STEADY, "0004", 100, 0, 0),   # more than one 4 KiB block
    (STEADY, "0104", 90, 0, 2),
    (DOOMED, "0004", 90, LONG_DELAY, 0),
    (DOOMED, "0104", 90, 0, 4),
    (GROWING, "0004", 90, 0, 0),
    (GROWING, "0204", 90, LONG_DELAY, 0),
    (SHRINKING, "0204", 90, LONG_DELAY, 0),
    (FROZEN, "0004", 90, 0, 0),
]

# The archive's file system when it is a tmpfs: 6 MiB, and the cleaner keeps 1 MiB free.
FS_SIZE_MB = 6
FLOOR_MB = 1


def try_mount_tmpfs(folder):
    """Mounts a small tmpfs on `folder`; the reason when that is not permitted here."""
    try:
        result = subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={FS_SIZE_MB}m", "tmpfs",
                                 str(folder)], capture_output=True, text=True, timeout=20)
    except (OSError, subprocess.TimeoutExpired) as error:
        return f"cannot mount a tmpfs: {error}"
    if result.returncode != 0:
        return f"cannot mount a tmpfs: {result.stderr.strip() or result.returncode}"
    return None


def unmount(folder):
    if subprocess.run(["umount", str(folder)], capture_output=True, timeout=20).returncode:
        subprocess.run(["umount", "-l", str(folder)], capture_output=True, timeout=20)


@dataclass
class Rig:
    service: object
    archive: Path
    cameras: dict
    started: float           # monotonic time just before the service started
    tmpfs: str | None        # None when the archive is on a tmpfs, else why not
    clock: datetime          # the time of the last event sent
    peers: contextlib.ExitStack  # stops the cameras started by the tests

    def event(self, camera, code, multi=False):
        """Sends an event of `camera`'s controller with a time of its own; the photo's path."""
        self.clock += timedelta(seconds=1)
        when = self.clock
        self.service.server.post("/event", {
            "dvs": CONTROLLER[camera], "ev1": str(int(code[:2], 16)),
            "ev2": str(int(code[2:], 16)), "time": when.strftime("%Y-%m-%dT%H:%M:%S")})
        return self.archive / f"{photo_name(CONTROLLER[camera], when)}{2 if multi else 1}.jpg"

    def log_of(self, camera):
        prefix = f"[{camera - 1}] "
        return [line for line in self.service.log_lines() if line.startswith(prefix)]

    def web(self, path, **kwargs):
        return requests.get(self.service.base + path, allow_redirects=False, timeout=20,
                            **kwargs)

    def ask(self, request):
        return ask(self.service.picture_port, request)


def photo_name(controller, when):
    """The archive's name of an event with name format 0: hexadecimal time parts."""
    parts = (when.day, when.month, when.year - 2000, when.hour, when.minute, when.second)
    return controller + "_" + "".join(f"{p:02X}" for p in parts)


def ask(port, request, timeout=20):
    """One picture-server exchange: everything received until the server closes."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks = []
        while chunk := s.recv(65536):
            chunks.append(chunk)
        return b"".join(chunks)


@pytest.fixture(scope="module")
def rig(tmp_path_factory):
    root = tmp_path_factory.mktemp("faults")
    filesystem = root / "archive-fs"
    filesystem.mkdir()
    with contextlib.ExitStack() as stack:
        why_not = try_mount_tmpfs(filesystem)
        if not why_not:
            stack.callback(unmount, filesystem)
        archive = filesystem / "photos"
        archive.mkdir()
        plain = ["--size", f"{SIZE[0]}x{SIZE[1]}", "--fps", "10"]
        cameras = {
            STEADY: Camsim(*plain),
            DOOMED: Camsim(*plain),
            GROWING: Camsim(*plain, "--resize-after", str(RESIZE_AFTER), "%dx%d" % GROWN),
            SHRINKING: Camsim(*plain, "--resize-after", str(RESIZE_AFTER), "%dx%d" % SHRUNK),
            # Frozen from the first picture: the same picture on every connection.
            FROZEN: Camsim(*plain, "--freeze-after", "0"),
        }
        for camera in cameras.values():
            stack.enter_context(camera)
        rules = [(CONTROLLER[c], c, code, q, d, 2 if m else 0, m) for c, code, q, d, m in RULES]
        database = make_database(root / "db", rules=rules,
                                 cameras=[(c, cam.url) for c, cam in cameras.items()])
        home = make_home(root / "home")
        started = time.monotonic()
        service = stack.enter_context(logged_in_service(
            home, database, main={"arch": str(archive), "archlimit": str(FLOOR_MB)}))
        rig = Rig(service, archive, cameras, started, why_not, datetime(2026, 3, 1, 10, 0, 0),
                  stack)
        for camera in cameras:
            assert service.wait_for_log(f"[{camera - 1}] видеопоток доступен 320x240", 30)
        # The rules are read once the event queue has run empty: the first events may
        # find none.
        take_photo(rig, STEADY, "0004")
        yield rig
        assert service.stop() == 0
        assert service.log_lines()[-1].endswith("Остановка службы")
        assert_log_quiet(rig)


# --- what the archive holds -------------------------------------------------------------------

def settled(path):
    """The file's bytes once no saver holds it any more; None while it is missing or written."""
    try:
        with open(path, "rb") as f:
            try:
                fcntl.flock(f, fcntl.LOCK_SH | fcntl.LOCK_NB)
            except BlockingIOError:
                return None
            return f.read()
    except FileNotFoundError:
        return None


def whole_jpeg(data, size=None):
    """True when `data` is one complete JPEG picture (of `size`, when given)."""
    if data[:2] != b"\xff\xd8" or data[-2:] != b"\xff\xd9":
        return False
    try:
        picture = Image.open(io.BytesIO(data))
        picture.load()
    except OSError:
        return False
    return size is None or picture.size == size


def multi_frame_pictures(data):
    """The pictures of a multi-frame file; AssertionError when a record is cut or unknown."""
    pictures = multi_frame_records(data)
    assert pictures is not None, "a record of unknown tag or running past the end"
    return pictures


def assert_archive_whole(archive):
    """Once no saver writes any more: every single-frame file is empty (its camera was gone
    before the first picture) or one whole JPEG, every multi-frame file whole records of
    whole JPEGs."""
    files = sorted(archive.glob("*.jpg"))
    assert wait_until(lambda: all(settled(p) is not None for p in files if p.exists()), 30)
    for path in files:
        data = settled(path)
        if data is None:
            continue  # pruned meanwhile
        if path.name.endswith("2.jpg"):
            assert all(whole_jpeg(p) for p in multi_frame_pictures(data)), path.name
        else:
            assert not data or whole_jpeg(data), f"{path.name}: torn ({len(data)} bytes)"


def take_photo(rig, camera, code, multi=False, timeout=30):
    """Sends events until one gives a photo (a worker that is reopening its stream takes
    none); its path and bytes once the saver is done."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        path = rig.event(camera, code, multi)
        if wait_until(lambda: settled(path), 8 if multi else 4):
            return path, settled(path)
    raise AssertionError(f"no photo from camera {camera}")


def drops(rig, camera):
    """The reason codes of `camera`'s drops so far, in order."""
    return [int(line.rsplit("[Код: ", 1)[1].rstrip("]")) for line in rig.log_of(camera)
            if "переподключение" in line]


def openings(rig, camera):
    """The picture sizes `camera`'s streams were opened with so far, in order."""
    return [line.rsplit(" ", 1)[1] for line in rig.log_of(camera)
            if "видеопоток доступен" in line]


def assert_drops(rig, camera, codes):
    """`camera`'s worker dropped its stream for these reason codes (each at least once) and
    otherwise only as stalled."""
    logged = set(drops(rig, camera))
    assert codes <= logged <= codes | {4}, logged


def assert_log_quiet(rig):
    """The log holds the start, the stop and the camera workers' messages, nothing else:
    failed savers say nothing."""
    other = [line for line in rig.service.log_lines()
             if line not in ("Запуск службы", "Остановка службы")
             and not line.startswith("Вебсервер(порт ")
             and not re.match(r"\[\d\] (видеопоток доступен|переподключение \[Код: )", line)]
    assert not other


def assert_running(rig):
    """The service runs on: its live frame comes, its log has nothing to say."""
    assert rig.service.proc.poll() is None, "the service has ended"
    reply = rig.web("/?img=1")
    assert reply.status_code == 200 and whole_jpeg(reply.content, SIZE)
    assert_log_quiet(rig)


# --- the archive folder --------------------------------------------------------------------

def test_removed_archive_folder_fails_savers_silently_and_nothing_else(rig):
    archive = rig.archive
    admin = requests.Session()
    assert admin.get(rig.service.base + "/", timeout=20).status_code == 401
    admin.auth = (LOGIN, PASSWORD)

    # A multi-frame saver is collecting when the folder goes.
    collecting = rig.event(STEADY, "0104", multi=True)
    assert wait_until(lambda: collecting.exists(), 10)
    shutil.rmtree(archive)
    single = rig.event(STEADY, "0004")
    time.sleep(3)
    assert not archive.exists(), "a saver created the archive folder"

    # The status page, the live frame and the picture server answer as before.
    page = admin.get(rig.service.base + "/", timeout=20)
    assert page.status_code == 200 and str(archive) in page.text
    assert_running(rig)
    assert rig.ask(f"R{single.stem[:-1]}\r\n".encode()) == b"none\r\n"
    assert rig.ask(f"F{single.stem}\r\n".encode()) == b"error\r\n"

    # Once the folder is back, events take photos again.
    archive.mkdir()
    later, data = take_photo(rig, STEADY, "0004")
    assert whole_jpeg(data, SIZE)
    assert sorted(p.name for p in archive.iterdir()) == [later.name]
    assert rig.ask(f"F{later.stem}\r\n".encode()) == b"%d\r\n" % len(data) + data
    assert_running(rig)


# --- cameras that fail while savers wait -------------------------------------------------

def test_killed_camera_ends_its_savers_cleanly_and_comes_back(rig):
    assert wait_until(lambda: len(openings(rig, DOOMED)) > len(drops(rig, DOOMED)), 30)
    waiting = rig.event(DOOMED, "0004")                  # saver asleep for LONG_DELAY
    collecting = rig.event(DOOMED, "0104", multi=True)   # 20 pictures, 200 ms apart
    assert wait_until(lambda: collecting.exists() and collecting.stat().st_size > 8192, 10)
    doomed = rig.cameras[DOOMED]
    dropped = len(drops(rig, DOOMED))
    doomed.proc.send_signal(signal.SIGKILL)
    doomed.proc.wait(5)
    # The stream ends: the worker sees the player stop (code 1) or the pictures stop
    # (code 4), whichever comes first.
    assert wait_until(lambda: len(drops(rig, DOOMED)) > dropped, 10)

    # The collecting saver kept the whole pictures it had; the waiting one found no camera
    # and left its file empty.
    assert wait_until(lambda: settled(collecting), 10)
    pictures = multi_frame_pictures(settled(collecting))
    assert 1 <= len(pictures) < 20
    assert all(whole_jpeg(p, SIZE) for p in pictures)
    assert wait_until(lambda: settled(waiting) is not None, LONG_DELAY / 1000 + 10)
    assert settled(waiting) == b""

    # The camera comes back on its address; the worker opens it again.
    opened = len(openings(rig, DOOMED))
    back = rig.peers.enter_context(Camsim("--size", "320x240", "--fps", "10",
                                          "--port", str(doomed.port)))
    back.port = doomed.port
    rig.cameras[DOOMED] = back
    assert wait_until(lambda: len(openings(rig, DOOMED)) > opened, 30)
    dropped = len(drops(rig, DOOMED))
    _, data = take_photo(rig, DOOMED, "0104", multi=True)
    pictures = multi_frame_pictures(data)
    assert all(whole_jpeg(p, SIZE) for p in pictures)
    assert len(pictures) == 20 or len(drops(rig, DOOMED)) > dropped

    assert set(drops(rig, DOOMED)) <= {1, 4}
    assert_archive_whole(rig.archive)
    assert_running(rig)


def camera_picture_size(url):
    """The size of the first picture a camsim stream sends."""
    with urllib.request.urlopen(url, timeout=10) as stream:
        head = b""
        while not (found := re.search(rb"Content-Length: *(\d+)\r\n\r\n", head)):
            assert len(head) < 4096
            head += stream.read(1)
        return Image.open(io.BytesIO(stream.read(int(found.group(1))))).size


def test_resized_cameras_keep_streaming_and_a_restart_meets_waiting_savers(rig):
    # Both cameras have changed their picture size in mid-stream by now.
    wait = rig.started + RESIZE_AFTER + 2 - time.monotonic()
    if wait > 0:
        time.sleep(wait)
    assert camera_picture_size(rig.cameras[GROWING].url) == GROWN
    assert camera_picture_size(rig.cameras[SHRINKING].url) == SHRUNK

    # libVLC scales the new pictures to the size the stream was opened with: no drop, and
    # photos keep that size.
    _, data = take_photo(rig, GROWING, "0004")
    assert whole_jpeg(data, None if drops(rig, GROWING) else SIZE)
    assert set(drops(rig, GROWING) + drops(rig, SHRINKING)) <= {4}

    # Savers matched at 320x240 wait while both streams are opened again at their new sizes.
    opened = {camera: len(openings(rig, camera)) for camera in (GROWING, SHRINKING)}
    grown = rig.event(GROWING, "0204")
    shrunk = rig.event(SHRINKING, "0204")
    time.sleep(1)  # matched: the savers hold the old sizes
    sent = time.monotonic()
    assert rig.web(f"/?restartnow={GROWING}").text == "restart"
    assert rig.web(f"/?restartnow={SHRINKING}").text == "restart"
    for camera, size in ((GROWING, GROWN), (SHRINKING, SHRUNK)):
        assert wait_until(lambda: len(openings(rig, camera)) > opened[camera],
                          LONG_DELAY / 1000 - 2 - (time.monotonic() - sent))
        assert openings(rig, camera)[-1] == "%dx%d" % size
    reopened = len(drops(rig, GROWING))

    # The larger buffer still holds a whole 320x240 picture (rows read at the old width);
    # the smaller one does not, and that saver leaves its file empty.
    assert wait_until(lambda: settled(grown) is not None, LONG_DELAY / 1000 + 10)
    assert whole_jpeg(settled(grown), SIZE) or len(drops(rig, GROWING)) > reopened
    assert wait_until(lambda: settled(shrunk) is not None, 10)
    assert settled(shrunk) == b""
    assert wait_until(lambda: whole_jpeg(rig.web(f"/?img={GROWING}").content, GROWN), 15)

    assert_drops(rig, GROWING, {2})
    assert_drops(rig, SHRINKING, {2})
    assert_archive_whole(rig.archive)
    assert_running(rig)


# --- a full archive, and the cleaner ------------------------------------------------------

def random_jpeg(size=(256, 256)):
    """A JPEG of noise: large for its size (about 80 KB here)."""
    out = io.BytesIO()
    Image.frombytes("RGB", size, os.urandom(size[0] * size[1] * 3)).save(out, "JPEG",
                                                                          quality=95)
    return out.getvalue()


def fill_up(path, leave_pages):
    """Writes `path` until the file system is full, then gives back `leave_pages` pages."""
    block = b"\0" * 65536
    with open(path, "wb", buffering=0) as f:
        try:
            while True:
                f.write(block)
        except OSError:
            pass
    page = os.sysconf("SC_PAGE_SIZE")
    with open(path, "ab") as f:
        f.truncate(max(0, -(-path.stat().st_size // page) - leave_pages) * page)
    stats = os.statvfs(path.parent)
    assert stats.f_bavail * stats.f_frsize == leave_pages * page


def free_mb(folder):
    stats = os.statvfs(folder)
    return stats.f_bavail * stats.f_frsize // 1048576


def test_full_archive_leaves_no_torn_photo_and_the_cleaner_frees_it(rig):
    if rig.tmpfs:
        pytest.skip(rig.tmpfs)
    archive = rig.archive
    # Old photos of an unknown controller, a minute apart, and a ballast beside the archive
    # that takes the rest of the file system.
    old = random_jpeg()
    olds = []
    now = time.time()
    for i in range(45):
        path = archive / f"0000000000FF_{i:012X}1.jpg"
        path.write_bytes(old)
        os.utime(path, (now - 86400 + 60 * i,) * 2)
        olds.append(path)
    ballast = archive.parent / "ballast.bin"
    try:
        # One 4 KiB block left: a saver can start its file but not finish it.
        fill_up(ballast, leave_pages=1)
        single = rig.event(STEADY, "0004")
        time.sleep(2)
        multi = rig.event(STEADY, "0104", multi=True)
        time.sleep(4)
        for path in (single, multi):
            assert wait_until(lambda: not path.exists() or settled(path) is not None, 10)
            # No torn photo: a client asking for it finds nothing, or a whole picture.
            found = rig.ask(f"R{path.stem[:-1]}\r\n".encode())
            if found != b"none\r\n":
                fetched = rig.ask(f"F{path.stem}\r\n".encode())
                size, _, data = fetched.partition(b"\r\n")
                assert int(size) == len(data)
                pictures = multi_frame_pictures(data) if path is multi else [data]
                assert all(whole_jpeg(p) for p in pictures), f"torn {path.name}"
        assert_archive_whole(archive)
        assert_running(rig)
        assert rig.ask(f"F{olds[-1].stem}\r\n".encode()) == b"%d\r\n" % len(old) + old

        # At its next check the cleaner deletes the oldest photos until more than the floor
        # is free, and nothing else; the newest stay.
        assert wait_until(lambda: not olds[0].exists(), 75, step=0.5), "no cleaning pass"
        assert wait_until(lambda: free_mb(archive) > FLOOR_MB, 10)
        kept = [p.exists() for p in olds]
        assert kept == sorted(kept) and kept[-1], "not the oldest went first"
        # Free space is measured again after the 11th, 21st, 31st... deletion only.
        assert kept.count(False) % 10 == 1
        assert ballast.exists()
    finally:
        ballast.unlink(missing_ok=True)
    _, data = take_photo(rig, STEADY, "0004")
    assert whole_jpeg(data, SIZE)
    assert_running(rig)


# --- a frozen camera ----------------------------------------------------------------------

def test_frozen_camera_is_dropped_for_its_still_picture_and_opened_again(rig):
    # Two picture checks 30 s apart see the same picture: about a minute after start.
    remaining = rig.started + 130 - time.monotonic()
    assert wait_until(lambda: 3 in drops(rig, FROZEN), remaining)
    assert wait_until(lambda: len(openings(rig, FROZEN)) > len(drops(rig, FROZEN)), 30)
    assert_drops(rig, FROZEN, {3})
    _, data = take_photo(rig, FROZEN, "0004")
    assert whole_jpeg(data, SIZE)
    # The steady camera went through all of this undisturbed.
    assert_drops(rig, STEADY, set())
    assert_archive_whole(rig.archive)
    assert_running(rig)
