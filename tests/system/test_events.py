"""Events to photos through the real database: the rules table the service creates, rules
read from it, and the photo files the events give. Real binary, accsim, camsim, Firebird
(embedded, and once the server over TCP)."""

import socket
import subprocess
import time
from pathlib import Path

import pytest
from PIL import Image

from kestrin import (Accsim, Camsim, Service, make_database, multi_frame_records,
                     stored_password, wait_until, write_settings, MAKE_TEST_DB)

LOGIN, PASSWORD = "admin", "secret"
CONTROLLER = "0012A3B4C5D6"


def settings(home, nameformat=0):
    write_settings(home, {
        "connect": {"server": "127.0.0.1", "login": LOGIN, "pass": stored_password(PASSWORD)},
        "main": {"nameformat": str(nameformat)},
    })


def isql(database, sql, user="SYSDBA", password="x"):
    """Runs `sql` with isql-fb on `database`; its output."""
    result = subprocess.run(["isql-fb", "-q", "-user", user, "-password", password, database],
                            input=sql, capture_output=True, text=True, timeout=60)
    assert result.returncode == 0, result.stderr
    return result.stdout


def rules_table_columns(database, **login):
    out = isql(database, "select trim(rdb$field_name) from rdb$relation_fields "
                         "where rdb$relation_name = 'FB_IPD2' order by rdb$field_position;",
               **login)
    return [line.strip() for line in out.splitlines()
            if line.strip() and not line.startswith(("TRIM", "="))]


def send_until_photo(server, path, event, timeout=20):
    """Sends `event` every two seconds until the photo `path` exists: the rules are
    reloaded only once the queue has run empty, so the first events may find none."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        server.post("/event", event)
        if wait_until(lambda: path.exists() and path.stat().st_size > 0, 2):
            return True
    return False


def quietly(check):
    """`check` as a predicate that is false while it raises (a file still being written)."""
    def predicate():
        try:
            return check()
        except (OSError, ValueError, KeyError, IndexError):
            return False
    return predicate


@pytest.fixture
def camera():
    with Camsim("--size", "320x240", "--fps", "10") as cam:
        yield cam


def test_rules_of_an_existing_table_turn_events_into_named_photos(home, tmp_path, camera):
    folder = make_database(tmp_path / "db", cameras=[(1, camera.url)], rules=[
        (CONTROLLER, 1, "0204", 80, 0, 0, 0),
        (CONTROLLER, 1, "0208", 70, 0, 2, 1),   # multi-frame: 5 x 1 pictures
        (CONTROLLER, 2, "0204", 80, 0, 0, 0),   # never used: the first rule decides
    ])
    settings(home, nameformat=1)
    service = Service(home)
    archive = home / "images"
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=folder) as server, service:
        assert service.wait_ready()
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)

        single = archive / f"{CONTROLLER}_1208211405091.jpg"
        assert send_until_photo(server, single, {"dvs": CONTROLLER, "ev1": "2", "ev2": "4",
                                                 "time": "2021-08-12T14:05:09+03:00"})
        assert wait_until(quietly(lambda: Image.open(single).size == (320, 240)), 5)

        multi = archive / f"{CONTROLLER}_1208211405102.jpg"
        server.post("/event", {"dvs": CONTROLLER, "ev1": "2", "ev2": "8",
                               "time": "2021-08-12T14:05:10"})
        # Five pictures 200 ms apart; complete once the file stops growing.
        assert wait_until(quietly(lambda: len(multi_frame_records(multi.read_bytes()) or []) == 5),
                          10)
        data = multi.read_bytes()
        assert data[0] in (0x03, 0x04)
        assert all(p[:2] == b"\xff\xd8" for p in multi_frame_records(data))

        # An event with a JSON number where a string belongs takes no photo.
        server.post("/send", '{"type":"event","time":"2021-08-12T14:05:11","dvs":"'
                    + CONTROLLER + '","ev1":2,"ev2":"4"}')
        time.sleep(1)
        assert sorted(p.name for p in archive.glob("*.jpg")) == [single.name, multi.name]
        assert service.stop() == 0

    # The table was there: the service left it and its rows alone.
    out = isql(str(folder / "CBASE.FDB"), "select count(*) from FB_IPD2;")
    assert out.split()[-1] == "3"
    assert "DBERROR" not in "\n".join(service.log_lines())


def firebird_server():
    with socket.socket() as s:
        s.settimeout(1)
        return s.connect_ex(("127.0.0.1", 3050)) == 0


def server_password():
    for line in Path("/etc/firebird/3.0/SYSDBA.password").read_text().splitlines():
        if line.startswith("ISC_PASSWORD="):
            return line.split("=", 1)[1].strip().strip('"')
    return ""


def test_over_tcp_the_service_creates_the_rules_table_and_reloads_on_a_new_answer(
        home, camera):
    if not firebird_server():
        pytest.skip("no Firebird server on 127.0.0.1:3050 (scripts/start-services starts it)")
    password = server_password()
    # The server runs as its own user: the folder must be reachable and writable for it.
    import tempfile
    folder = Path(tempfile.mkdtemp(prefix="kestrin-events-", dir="/tmp"))
    folder.chmod(0o755)
    try:
        subprocess.run([str(MAKE_TEST_DB), str(folder / "db"), "--server",
                        "--camera", "1", camera.url], check=True, capture_output=True)
        database = f"localhost:{folder / 'db' / 'CBASE.FDB'}"
        login = {"password": password}
        settings(home)
        service = Service(home)
        answer_path = f"localhost:{folder / 'db'}"
        with Accsim(service.server_port, LOGIN, PASSWORD, db_path=answer_path,
                    extra=["--db-password", password]) as server, service:
            assert service.wait_ready()
            assert wait_until(lambda: rules_table_columns(database, **login), 20)
            assert rules_table_columns(database, **login) == [
                "ID", "DVS", "CAM", "EVNT", "RGT", "DLY", "QLY", "MTL", "NID", "ZONE", "NUMZ",
                "FLAG1", "FLAG2", "FORK"]
            assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)

            # A rule written while the service runs counts once the rules are reloaded;
            # a new database answer queues that reload.
            isql(database, "INSERT INTO FB_IPD2 (ID,DVS,CAM,EVNT,QLY,DLY,RGT,MTL) VALUES "
                           f"(1, '{CONTROLLER}', 1, '0204', 80, 0, 0, 0); COMMIT;", **login)
            server.post("/send", '{"atype":401,"answer":{"path":"' + answer_path
                        + '","user":"SYSDBA","password":"' + password + '"}}')
            photo = home / "images" / f"{CONTROLLER}_0C08150E05091.jpg"
            assert send_until_photo(server, photo, {"dvs": CONTROLLER, "ev1": "2", "ev2": "4",
                                                    "time": "2021-08-12T14:05:09"})
            assert service.stop() == 0
        assert not [line for line in service.log_lines() if "DBERROR" in line]
    finally:
        subprocess.run(["rm", "-rf", str(folder)], check=False)
