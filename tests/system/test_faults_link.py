"""Faults on the link to the access-control server and on the database while the service runs:
a server that crashes, falls silent, refuses logins or writes broken frames, a session that
ends right behind a burst of events, and a Firebird server that stops and comes back.
Real binary, accsim, camsim, Firebird (embedded, and a Firebird server of the test's own)."""

import datetime
import grp
import itertools
import json
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

import pytest
import requests

from kestrin import (LOGIN, MAKE_TEST_DB, PASSWORD, Accsim, Camsim, Service, free_port,
                     logged_in_service, make_database, read_settings, store_credentials,
                     stored_password, wait_until)
from test_events import server_password
from test_rules import Admin, rows

CONTROLLER = "0012A3B4C5D6"
MIB = 1 << 20
DB_ERROR_PAGE = "<body><p><strong>Ошибка подключения к БД: "
MENU = '<p align="right"><a href="/">Главная</a>'


@pytest.fixture
def camera():
    with Camsim("--size", "320x240", "--fps", "10") as cam:
        yield cam


@pytest.fixture
def database(tmp_path, camera):
    # Camera 1 streams from camsim; "неизвестный ключ" (0204) of CONTROLLER takes a photo at once.
    return make_database(tmp_path / "db", cameras=[(1, camera.url)],
                         rules=[(CONTROLLER, 1, "0204", 80, 0, 0, 0)])


@pytest.fixture
def service(home, database):
    with logged_in_service(home, database) as service:
        yield service
        assert service.proc.poll() is None, "the service ended during the test"
        assert service.stop() == 0


# --- events and their photos ------------------------------------------------------------

_seconds = itertools.count()


def fresh_time():
    """An event time no earlier event of the run had: each event gets a photo name of its own."""
    return datetime.datetime(2031, 1, 1) + datetime.timedelta(seconds=next(_seconds))


def event(when, ev1="2", ev2="4"):
    return {"dvs": CONTROLLER, "ev1": ev1, "ev2": ev2, "time": when.isoformat()}


def event_text(when, ev1="2", ev2="4", **extra):
    """An event message as the server writes it."""
    return json.dumps({"type": "event", "version": 1, "time": when.isoformat(), "dvs": CONTROLLER,
                       "ror": "1", "ev1": ev1, "ev2": ev2, "key": "0", "id": "1", **extra},
                      separators=(",", ":")).encode("cp1251")


def photo(home, when, kind="1"):
    """The archive path of the photo of CONTROLLER's event at `when` (default name format: day,
    month, year - 2000, hour, minute, second in hexadecimal)."""
    part = "".join(f"{v:02X}" for v in (when.day, when.month, when.year - 2000, when.hour,
                                           when.minute, when.second))
    return Path(home) / "images" / f"{CONTROLLER}_{part}{kind}.jpg"


def saved(path):
    return path.exists() and path.stat().st_size > 0


def event_gives_photo(service, timeout=15, **codes):
    when = fresh_time()
    service.server.post("/event", event(when, **codes))
    return wait_until(lambda: saved(photo(service.home, when)), timeout)


def answers(service):
    """The process runs and its web server answers."""
    if service.proc.poll() is not None:
        return False
    try:
        return requests.get(service.base + "/", timeout=10).status_code in (200, 401)
    except requests.RequestException:
        return False


def closes(server):
    """The ends of the server's connections: code and reason of each."""
    return [{"code": c["code"], "reason": c["reason"]} for c in server.state()["closes"]]


def logged_in(server, logins):
    """Predicate: the service has sent `logins` logins in all and holds a session."""
    def predicate():
        state = server.state()
        return len(state["logins"]) == logins and state["sessions"] == 1
    return predicate


# --- the server process goes away -------------------------------------------------------

def test_killed_server_is_reconnected_by_the_watchdog_pause(service):
    server = service.server

    # Killed and back at once: the service still waits for more than 10 quiet seconds.
    last_message = time.monotonic()
    assert event_gives_photo(service)
    server.kill()
    server.start()
    assert wait_until(logged_in(server, 1), 25, step=0.1)
    assert 10 < server.state()["opened"][0] - last_message < 25
    assert event_gives_photo(service)

    # Killed and kept away: a connection attempt every tick, so the first tick after the
    # restart logs in again.
    server.kill()
    time.sleep(13)
    assert answers(service)
    server.start()
    restarted = time.monotonic()
    assert wait_until(logged_in(server, 1), 15, step=0.1)
    assert server.state()["opened"][0] - restarted < 9
    assert event_gives_photo(service)
    assert answers(service)


def test_silent_server_is_closed_and_reconnected(service):
    server = service.server
    before = time.monotonic()
    assert event_gives_photo(service)  # the last sign of life
    after = time.monotonic()
    server.post("/silent?on=1")

    assert wait_until(lambda: server.state()["closes"], 100, step=0.2)
    closed = server.state()["closes"][0]["at"]
    assert closes(server) == [{"code": 1000, "reason": "bye"}]
    # The first tick that finds more than 75 whole seconds of silence.
    assert closed - before > 75.5 and closed - after < 81 + 3
    assert answers(service)

    server.post("/silent?on=0")
    assert wait_until(logged_in(server, 2), 25, step=0.1)
    # The next attempt waits for more than 10 seconds after the close (the close's "at" is
    # taken when the service's end of the connection has gone, up to a second later).
    assert server.state()["opened"][1] - closed > 9
    assert event_gives_photo(service)


def test_refused_logins_are_retried_and_store_nothing(home, database):
    store_credentials(home)
    stored = {"server": "127.0.0.1", "login": LOGIN, "pass": stored_password(PASSWORD)}
    service = Service(home)
    service.base = f"http://127.0.0.1:{service.web_port}"
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database,
                extra=["--refuse"]) as server, service:
        service.server = server
        assert service.wait_ready()
        # The refusal is a sign of life: the next attempt waits for 10 quiet seconds.
        assert wait_until(lambda: len(server.state()["logins"]) == 2, 30, step=0.1)
        state = server.state()
        assert state["opened"][1] - state["opened"][0] > 10
        assert state["sessions"] == 0 and '{"command":"getdb"}' not in state["received"]
        assert read_settings(home)["connect"] == stored
        # Not logged in: the local browser gets the connection form.
        assert 'name="server_ip"' in requests.get(service.base + "/", timeout=10).text

        server.post("/refuse?on=0")
        assert wait_until(lambda: server.state()["sessions"] == 1, 25, step=0.1)
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)
        assert event_gives_photo(service)
        assert read_settings(home)["connect"] == stored
        assert service.proc.poll() is None
        assert service.stop() == 0


# --- broken frames ----------------------------------------------------------------------

def frame(opcode, payload=b"", rsv=0, mask=None, length=None, wide=False):
    """A server frame written by hand: `length` announces another length than the payload's,
    `wide` writes a small length in the eight-byte form."""
    length = len(payload) if length is None else length
    data = bytes([0x80 | rsv << 4 | opcode])
    mask_bit = 0x80 if mask else 0
    if wide or length > 0xFFFF:
        data += bytes([mask_bit | 127]) + length.to_bytes(8, "big")
    elif length >= 126:
        data += bytes([mask_bit | 126]) + length.to_bytes(2, "big")
    else:
        data += bytes([mask_bit | length])
    if mask:
        data += mask
        payload = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    return data + payload


def padded_event(when, size):
    """An event message of exactly `size` bytes."""
    bare = event_text(when, pad="")
    return event_text(when, pad="x" * (size - len(bare)))


def test_frames_the_service_refuses_end_the_session_and_it_comes_back(service):
    server = service.server
    # (what the server writes, whether it then drops the connection, the close the service sends)
    cases = [
        ("opcode 3", frame(3, b"x"), False, {"code": 1003, "reason": "Unknown data type: 3"}),
        ("a length one byte above 16 MiB", frame(1, length=16 * MIB + 1), False,
         {"code": 1009, "reason": ""}),
        # Ten seconds without the second header byte.
        ("a header cut short", b"\x81", False, {"code": 1002, "reason": ""}),
        # No close frame from the service: the server's own end of the connection is 1006.
        ("a payload cut short", frame(1, b"abc", length=100), True,
         {"code": 1006, "reason": ""}),
    ]
    for number, (name, data, drop, close) in enumerate(cases, 1):
        assert event_gives_photo(service), name
        server.post("/raw", data.hex())
        if drop:
            server.post("/drop")
        assert wait_until(lambda: len(server.state()["closes"]) == number, 20), name
        assert closes(server)[-1] == close, name
        assert wait_until(logged_in(server, number + 1), 30, step=0.1), name
        assert answers(service), name
    assert event_gives_photo(service)


def test_odd_but_readable_frames_keep_the_session(service):
    server, home = service.server, service.home
    times = [fresh_time() for _ in range(5)]
    cases = [
        # Reserved bits are not looked at.
        (frame(1, event_text(times[0]), rsv=7), times[0]),
        # A masked frame from the server is unmasked.
        (frame(1, event_text(times[1]), mask=b"\x12\x34\x56\x78"), times[1]),
        # A binary frame counts as text; a small length in the eight-byte form.
        (frame(2, event_text(times[2]), wide=True), times[2]),
        # The largest message taken: exactly 16 MiB.
        (frame(1, padded_event(times[3], 16 * MIB)), times[3]),
        # Not JSON, though it carries the event piece: dropped.
        (frame(1, b'{"type":"event","dvs":"' + CONTROLLER.encode() + b'","ev1":"2",'), None),
        # Bytes that are no text at all, and an empty frame: signs of life only.
        (frame(1, bytes(range(256))), None),
        (frame(1), None),
        (frame(1, event_text(times[4])), times[4]),
    ]
    for data, _ in cases:
        server.post("/raw", data.hex())
    expected = {photo(home, when).name for _, when in cases if when}
    assert wait_until(lambda: {p.name for p in (home / "images").glob("*.jpg")} >= expected
                      and all(saved(home / "images" / name) for name in expected), 30)
    time.sleep(0.5)
    assert {p.name for p in (home / "images").glob("*.jpg")} == expected
    state = server.state()
    assert state["closes"] == [] and len(state["logins"]) == 1 and state["sessions"] == 1
    assert answers(service)


# --- events right before the end of a session ----------------------------------------------

def test_no_event_of_a_working_session_is_lost(service):
    server, home = service.server, service.home
    expected = []
    for logins, ending in ((1, "/drop"), (2, "/close?code=1001")):
        # A burst at once after the login, the session ending right behind it.
        assert wait_until(logged_in(server, logins), 30, step=0.05)
        burst = [fresh_time() for _ in range(20)]
        for when in burst:
            server.post("/event", event(when))
        server.post(ending)
        expected += [photo(home, when) for when in burst]
        assert wait_until(lambda: all(saved(p) for p in expected), 30), \
            [p.name for p in expected if not saved(p)]
    assert len(list((home / "images").glob("*.jpg"))) == len(expected)
    assert wait_until(logged_in(server, 3), 30, step=0.1)
    assert event_gives_photo(service)


# --- the database server stops ----------------------------------------------------------

FIREBIRD_SERVER = Path("/usr/sbin/firebird")
FIREBIRD_ROOT = Path("/usr/lib/x86_64-linux-gnu/firebird/3.0")
SECURITY_DATABASE = Path("/var/lib/firebird/3.0/system/security3.fdb")


def firebird_missing():
    """Why a Firebird server of the test's own cannot run here; empty when it can."""
    if not FIREBIRD_SERVER.exists() or not SECURITY_DATABASE.parent.exists():
        return "firebird3.0-server is not installed"
    if os.geteuid() != 0:
        return "starting a Firebird server as its own user needs root"
    try:
        pwd.getpwnam("firebird")
        if not server_password():
            return "no SYSDBA password in /etc/firebird/3.0/SYSDBA.password"
    except (KeyError, OSError) as error:
        return f"no Firebird server user or password: {error}"
    return ""


class FirebirdServer:
    """A Firebird server of the test's own on a free loopback port: stopping it disturbs no
    other test run that uses the shared server. It runs as the "firebird" user with its own
    configuration, lock folder and a copy of the system's user database (same SYSDBA
    password)."""

    def __init__(self, folder):
        self.folder = Path(folder)
        self.port = free_port()
        self.proc = None
        root, lock = self.folder / "root", self.folder / "lock"
        root.mkdir()
        lock.mkdir()
        for entry in FIREBIRD_ROOT.iterdir():
            if entry.name == "intl":
                # Linked, the character sets (WIN1251 among them) are not found.
                shutil.copytree(entry, root / entry.name)
            elif entry.name not in ("firebird.conf", "databases.conf"):
                (root / entry.name).symlink_to(entry)
        security = self.folder / "security3.fdb"
        shutil.copyfile(SECURITY_DATABASE, security)
        (root / "firebird.conf").write_text(f"RemoteBindAddress = 127.0.0.1\n"
                                            f"SecurityDatabase = {security}\nUdfAccess = None\n")
        (root / "databases.conf").write_text(f"security.db = {security}\n")
        owner = pwd.getpwnam("firebird").pw_uid, grp.getgrnam("firebird").gr_gid
        for path in (self.folder, root, lock, security, root / "firebird.conf",
                     root / "databases.conf"):
            os.chown(path, *owner)
        self.folder.chmod(0o755)
        self.env = dict(os.environ, FIREBIRD=str(root), FIREBIRD_LOCK=str(lock))

    def listening(self):
        with socket.socket() as s:
            s.settimeout(1)
            return s.connect_ex(("127.0.0.1", self.port)) == 0

    def start(self):
        self.proc = subprocess.Popen([str(FIREBIRD_SERVER), "-p", str(self.port)], env=self.env,
                                     user="firebird", group="firebird", extra_groups=[],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        assert wait_until(self.listening, 30, step=0.1), "the Firebird server did not start"

    def stop(self, orderly=False):
        """Ends the server at once, as a crash or a pulled plug would; `orderly`: as an
        administrator's stop would, telling its clients that it shuts down."""
        if self.proc and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM if orderly else signal.SIGKILL)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                # Firebird 3 now and then hangs in its own orderly shutdown (seen once in a
                # full run); it is then ended as a crash would end it.
                print("the Firebird server hung in its orderly shutdown; killed")
                self.proc.kill()
                self.proc.wait(20)
        assert wait_until(lambda: not self.listening(), 10)


@pytest.fixture
def firebird():
    reason = firebird_missing()
    if reason:
        pytest.skip(reason)
    folder = Path(tempfile.mkdtemp(prefix="kestrin-linkfaults-", dir="/tmp"))
    server = FirebirdServer(folder)
    try:
        server.start()
        yield server
    finally:
        # Ended whatever happened, so that no server of ours outlives the test.
        server.stop()
        shutil.rmtree(folder, ignore_errors=True)


def server_database(firebird, camera):
    """The access-control database on `firebird` with camera 1 and the rule for 0204; the
    path the server's database answer gives for it."""
    folder = firebird.folder / "db"
    subprocess.run([str(MAKE_TEST_DB), str(folder), "--server", "--camera", "1", camera.url,
                    "--rule", CONTROLLER, "1", "0204", "80", "0", "0", "0"],
                   check=True, capture_output=True)
    return f"127.0.0.1/{firebird.port}:{folder}"


def test_database_server_down_at_login_is_asked_for_again_until_it_answers(
        home, camera, firebird):
    answer = server_database(firebird, camera)
    firebird.stop()
    store_credentials(home)
    service = Service(home)
    service.base = f"http://127.0.0.1:{service.web_port}"
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=answer,
                extra=["--db-password", server_password()]) as server, service:
        service.server = server
        assert service.wait_ready()
        assert service.wait_for_log("DBERROR#2=", 10)
        # Every tick asks again while the database is unknown.
        assert wait_until(lambda: server.state()["received"].count('{"command":"getdb"}') >= 2,
                          20)
        admin = Admin(service.web_port)
        assert admin.rules_page().endswith(MENU + '&nbsp;&nbsp;|&nbsp;&nbsp;<a href="/rules">'
                                           'Правила</a>&nbsp;&nbsp;|&nbsp;&nbsp;<a href="/exit">'
                                           'Выйти</a></p><hr></body></html>')

        firebird.start()
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)
        assert event_gives_photo(service)
        assert CONTROLLER in str(rows(admin.rules_page()))
        assert service.proc.poll() is None
        assert service.stop() == 0


def test_stopped_database_server_keeps_the_cached_rules_and_recovers(home, camera, firebird):
    answer = server_database(firebird, camera)
    started = time.monotonic()
    with logged_in_service(home, answer,
                           accsim_extra=["--db-password", server_password()]) as service:
        admin = Admin(service.web_port)
        assert event_gives_photo(service)
        assert CONTROLLER in str(rows(admin.rules_page()))

        firebird.stop()
        # The pages that need the database say so, without the menu line.
        for reply in (admin.get("/rules"),
                      admin.post("/", {"url1": camera.url, "c_handle": "1"})):
            assert reply.status_code == 200 and DB_ERROR_PAGE in reply.text, reply.text
            assert MENU not in reply.text
        assert admin.get("/demotest/?ruleid=1000000000000").text == "ошибка"
        # The status page needs no database.
        assert MENU in admin.get("/").text
        assert event_gives_photo(service)

        # The rules were read when the database answer came, right after the start; the
        # reload a minute later fails, and the rules read before stay in force.
        time.sleep(max(0, started + 75 - time.monotonic()))
        assert event_gives_photo(service)
        assert answers(service)

        firebird.start()
        assert wait_until(lambda: CONTROLLER in str(rows(admin.rules_page())), 20)
        # A new rule ("взлом", 0001, camera 1) counts at once.
        admin.save(CONTROLLER + "1", 21, 1)
        assert len(rows(admin.rules_page())) == 2
        assert event_gives_photo(service, ev1="0", ev2="1")
        assert service.proc.poll() is None
        assert service.stop() == 0
    assert not [line for line in service.log_lines() if "DBERROR" in line]


def test_database_server_shut_down_in_order_ends_nothing_of_the_service(home, camera, firebird):
    """A database server stopped by its administrator tells every client it shuts down
    ("connection shutdown"): the service's open connections and its camera refreshes fail
    with that, and the service keeps photographing with the rules it has, then stops
    cleanly."""
    answer = server_database(firebird, camera)
    with logged_in_service(home, answer,
                           accsim_extra=["--db-password", server_password()]) as service:
        admin = Admin(service.web_port)
        assert event_gives_photo(service)
        assert CONTROLLER in str(rows(admin.rules_page()))
        firebird.stop(orderly=True)
        # Camera refreshes (every 5 s) meet the stopped server.
        time.sleep(7)
        assert DB_ERROR_PAGE in admin.get("/rules").text
        assert event_gives_photo(service)
        assert service.proc.poll() is None
        assert service.stop() == 0
