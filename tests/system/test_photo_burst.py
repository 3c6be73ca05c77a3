"""A burst of events on the running service: every matched event gets its whole photo, single-
and multi-frame, over two cameras, while the savers run on a bounded set of threads. Real
binary, accsim, an embedded Firebird database, two camsim cameras."""

import datetime
import io
import json
from pathlib import Path

from PIL import Image

from kestrin import Camsim, logged_in_service, make_database, multi_frame_records, wait_until

SINGLE, MULTI, OTHER = "0012A3B4C501", "0012A3B4C502", "0012A3B4C503"
BASE = datetime.datetime(2031, 3, 4, 5, 6, 7)


def event(dvs, number):
    when = BASE + datetime.timedelta(seconds=number)
    return {"dvs": dvs, "ev1": "2", "ev2": "4", "time": when.strftime("%Y-%m-%dT%H:%M:%S")}


def photo_name(e, kind):
    when = datetime.datetime.strptime(e["time"], "%Y-%m-%dT%H:%M:%S")
    return (f"{e['dvs']}_{when.day:02X}{when.month:02X}{when.year - 2000:02X}"
            f"{when.hour:02X}{when.minute:02X}{when.second:02X}{kind}.jpg")


def jpeg_size(data):
    """(width, height) of a whole JPEG, None otherwise."""
    if data[:2] != b"\xff\xd8" or data[-2:] != b"\xff\xd9":
        return None
    try:
        with Image.open(io.BytesIO(data)) as picture:
            picture.load()
            return picture.size
    except OSError:
        return None



def complete(path, kind, size):
    """Whether `path` holds its whole photo: one JPEG, or five for a multi-frame file."""
    try:
        data = Path(path).read_bytes()
    except OSError:
        return False
    if kind == "1":
        return jpeg_size(data) == size
    pictures = multi_frame_records(data)
    return pictures is not None and len(pictures) == 5 and all(
        jpeg_size(p) == size for p in pictures)


def threads(pid):
    for line in Path(f"/proc/{pid}/status").read_text().splitlines():
        if line.startswith("Threads:"):
            return int(line.split()[1])
    return 0


def test_every_event_of_a_burst_gets_its_whole_photo(home, tmp_path):
    with Camsim("--size", "320x240", "--fps", "10") as first, \
            Camsim("--size", "320x240", "--fps", "10", "--patch", "30c050") as second:
        database = make_database(tmp_path / "db", cameras=[(1, first.url), (2, second.url)],
                                 rules=[
                                     (SINGLE, 1, "0204", 80, 0, 0, 0),
                                     (MULTI, 1, "0204", 80, 0, 2, 1),  # 5 pictures
                                     (OTHER, 2, "0204", 60, 300, 0, 0),
                                 ], samples=False)
        with logged_in_service(home, database) as service:
            assert service.wait_for_log("[1] видеопоток доступен 320x240", 30)
            archive = home / "images"
            # The rules are loaded once a first photo comes; it also starts the savers.
            warm = event(SINGLE, -100)
            for _ in range(10):
                service.server.post("/event", warm)
                if wait_until(lambda: complete(archive / photo_name(warm, "1"), "1",
                                               (320, 240)), 2):
                    break
            assert complete(archive / photo_name(warm, "1"), "1", (320, 240))
            before = threads(service.proc.pid)

            burst = ([(event(SINGLE, i), "1") for i in range(120)]
                     + [(event(MULTI, i), "2") for i in range(12)]
                     + [(event(OTHER, i), "1") for i in range(60)])
            burst.append((event(SINGLE, 7), "1"))  # the same name again
            service.server.request("POST", "/batch?rate=0", json.dumps([e for e, _ in burst]))
            paths = {archive / photo_name(e, kind): kind for e, kind in burst}
            most = before

            def all_complete():
                nonlocal most
                most = max(most, threads(service.proc.pid))
                return all(complete(p, kind, (320, 240)) for p, kind in paths.items())

            assert wait_until(all_complete, 30, 0.1), sorted(
                p.name for p, kind in paths.items() if not complete(p, kind, (320, 240)))
            # The savers add a writer for the second camera, no thread per event.
            assert most - before < 8, (before, most)
            names = {p.name for p in archive.glob("*.jpg")}
            assert names == {p.name for p in paths} | {photo_name(warm, "1")}
            assert service.stop() == 0
