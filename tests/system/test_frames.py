"""Live and saved frames and the demonstration event with the real binary, accsim, camsim and
an embedded Firebird database: "img", "restartnow", "/demotest" and "/getsaveframe"."""

import io
import re
import struct
import time

import pytest
import requests
from PIL import Image

from kestrin import (Accsim, Camsim, LOGIN, PASSWORD, Service, make_database, store_credentials,
                     wait_until)


CONTROLLER = "0012A3B4C5D6"
SINGLE_RULE, MULTI_RULE, SHORT_CODE_RULE = "1000000000000", "1000000000001", "1000000000002"


@pytest.fixture
def camera():
    with Camsim("--size", "320x240", "--fps", "10", "--patch", "00ff00") as cam:
        yield cam


@pytest.fixture
def site(home, tmp_path, camera):
    """The running service with camera 1 streaming, logged in to accsim; yields
    (service, logged-in HTTP session, base URL, archive folder)."""
    # Rule ids are given by make-test-db in order: 1000000000000, ...01, ...02.
    database = make_database(tmp_path / "db", cameras=[(1, camera.url)], rules=[
        (CONTROLLER, 1, "0A08", 90, 0, 0, 0),
        (CONTROLLER, 1, "FF80", 90, 0, 2, 5),
        (CONTROLLER, 1, "A08", 90, 0, 0, 0)])
    archive = tmp_path / "archive"
    archive.mkdir()
    store_credentials(home, {"arch": str(archive)})
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database), service:
        assert service.wait_ready()
        base = f"http://127.0.0.1:{service.web_port}"
        http = requests.Session()
        http.auth = (LOGIN, PASSWORD)

        def logged_in():
            try:
                http.get(base + "/", allow_redirects=False, timeout=10)  # cookie + challenge
                reply = http.get(base + "/", allow_redirects=False, timeout=10)
                # Before the server's welcome "/" is the connection form, without a cookie.
                return reply.status_code == 200 and "<h3>Видеосервер" in reply.text
            except requests.ConnectionError:
                return False

        assert wait_until(logged_in, 20)
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 20)
        yield service, http, base, archive


def get(url, session=None):
    return (session or requests).get(url, allow_redirects=False, timeout=20)


def green_centre(content):
    """True when the picture shows camsim's green patch in its centre."""
    try:
        r, g, b = Image.open(io.BytesIO(content)).convert("RGB").getpixel((160, 120))
    except OSError:
        return False
    return g > 150 and r < 100 and b < 100


def test_live_frame_and_restart_need_no_login(site):
    service, _, base, _ = site
    # A stream counts as active once it plays; its first picture may follow a moment later.
    assert wait_until(lambda: green_centre(get(base + "/?img=1").content), 10)
    for path in ("/?img=1", "/rules?img=1", "/anything/?IMG=1"):
        reply = get(base + path)
        assert reply.status_code == 200
        assert reply.headers["Content-Type"] == "image/jpeg"
        assert int(reply.headers["Content-Length"]) == len(reply.content)
        picture = Image.open(io.BytesIO(reply.content))
        assert (picture.format, picture.size) == ("JPEG", (320, 240))
        # camsim's green patch survives the copy: the channels are in the right order.
        assert green_centre(reply.content)

    # Camera numbers outside 1..9, and a camera that is not streaming: an empty reply.
    for value in ("0", "10", "a", "2"):
        reply = get(base + "/?img=" + value)
        assert (reply.status_code, reply.content) == (200, b""), value
        assert "Content-Type" not in reply.headers or not reply.content
    # An empty value is no "img" parameter: the login challenge follows.
    assert get(base + "/?img=").status_code == 401

    assert get(base + "/?restartnow=0").content == b""
    reply = get(base + "/?restartnow=2")
    assert reply.text == "restart" and reply.headers["Content-Type"] == "text/html; charset=utf-8"
    assert not service.wait_for_log("[1] переподключение", 1)
    assert get(base + "/?restartnow=1").text == "restart"
    assert service.wait_for_log("[0] переподключение [Код: 2]", 5)
    assert service.wait_for_log("[0] видеопоток доступен 320x240", 20)


def saved_frame_link(http, base):
    """The "last saved frame" link of camera 1 on the status page, or None."""
    page = get(base + "/", http).text
    found = re.search(r'<a href="(/getsaveframe/\?dvs=[^"]+)" target="_blank">', page)
    return found.group(1).replace("&amp;", "&") if found else None


def first_record(data):
    tag = data[0]
    size, fmt = {2: (1, "<b"), 3: (2, "<h"), 4: (4, "<i")}[tag]
    (length,) = struct.unpack(fmt, data[1:1 + size])
    return data[1 + size:1 + size + length]


def test_demo_event_takes_photos_that_getsaveframe_returns(site):
    _, http, base, archive = site
    reply = get(base + f"/demotest/?ruleid={SINGLE_RULE}", http)
    assert reply.status_code == 200
    assert reply.text.endswith("<body><p>демонстрационное событие сгенерировано</p></body></html>")
    assert wait_until(lambda: list(archive.glob(f"{CONTROLLER}_*1.jpg")), 10)
    single = next(archive.glob(f"{CONTROLLER}_*1.jpg"))

    link = wait_until(lambda: saved_frame_link(http, base), 5)
    assert link and re.fullmatch(rf"/getsaveframe/\?dvs={CONTROLLER}&time=\d{{14}}", link)
    # The link's time names the file: the hexadecimal name of that moment.
    stamp = link[-14:]
    y, mo, d, h, mi, s = (int(stamp[:4]), *(int(stamp[i:i + 2]) for i in range(4, 14, 2)))
    assert single.name == f"{CONTROLLER}_{d:02X}{mo:02X}{y - 2000:02X}{h:02X}{mi:02X}{s:02X}1.jpg"
    wait_until(lambda: get(base + link, http).content == single.read_bytes(), 5)
    saved = get(base + link, http)
    assert saved.headers["Content-Type"] == "image/jpeg"
    assert saved.content == single.read_bytes()
    assert Image.open(io.BytesIO(saved.content)).size == (320, 240)

    # A multi-frame rule, in another second: the first picture of the multi-frame file.
    time.sleep(1.1)
    assert "сгенерировано" in get(base + f"/demotest/?ruleid={MULTI_RULE}", http).text
    assert wait_until(lambda: list(archive.glob(f"{CONTROLLER}_*2.jpg")), 10)
    multi = next(archive.glob(f"{CONTROLLER}_*2.jpg"))
    link = wait_until(lambda: (l := saved_frame_link(http, base)) and l[-14:] != stamp and l, 5)
    assert link
    assert wait_until(lambda: get(base + link, http).headers["Content-Type"] == "image/jpeg", 15)
    # Wait for the saver to finish, then compare with the file's first record.
    assert wait_until(lambda: multi.stat().st_size > 0 and get(base + link, http).content
                      == first_record(multi.read_bytes()), 15)
    assert Image.open(io.BytesIO(get(base + link, http).content)).size == (320, 240)


def test_demo_event_and_saved_frame_errors(site):
    _, http, base, archive = site
    for ruleid in (SINGLE_RULE[:12], "9999999999999", SHORT_CODE_RULE):
        reply = get(base + f"/demotest/?ruleid={ruleid}", http)
        assert (reply.status_code, reply.text) == (200, "ошибка"), ruleid
    # Without "ruleid=" the request is no demonstration event.
    assert get(base + "/demotest/", http).headers["Location"] == "/"
    time.sleep(0.5)
    assert list(archive.iterdir()) == []

    for query in (f"dvs={CONTROLLER}&time=2021081214050",        # 13 digits
                  f"dvs={CONTROLLER[:11]}&time=20210812140509",  # 11 characters
                  f"dvs={CONTROLLER}&time=20210812140509",       # no such file
                  "dvs=../../etc/pa&time=20210812140509"):       # outside the archive
        reply = get(base + "/getsaveframe/?" + query, http)
        assert (reply.status_code, reply.text) == (200, "ошибка"), query
    assert get(base + f"/getsaveframe?dvs={CONTROLLER}&time=20211312140509", http).status_code \
        == 500

    # Unreadable parts of the time take their defaults: 2000-01-01 00:00:00.
    (archive / f"{CONTROLLER}_0101000000001.jpg").write_bytes(b"\xff\xd8 picture")
    reply = get(base + f"/getsaveframe?dvs={CONTROLLER}&time=yyyymmddhhnnss", http)
    assert (reply.headers["Content-Type"], reply.content) == ("image/jpeg", b"\xff\xd8 picture")
