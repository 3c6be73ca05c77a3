"""The link to the access-control server: login, stored credentials, database answer,
events to photos, reconnects. Real binary, accsim, an embedded Firebird database, camsim."""

import time

import pytest

from kestrin import (LOGIN, PASSWORD, Accsim, Camsim, Service, make_database, password_digest,
                     read_settings, store_credentials, stored_password, wait_until,
                     write_settings)


@pytest.fixture
def camera():
    with Camsim("--size", "320x240", "--fps", "10", "--patch", "00ff00") as cam:
        yield cam


@pytest.fixture
def database(tmp_path, camera):
    # Camera 1 streams from camsim; one rule: controller 1, "доступ разрешен" (0204), camera 1.
    return make_database(tmp_path / "db", cameras=[(1, camera.url)],
                         rules=[("1", 1, "0204", 80, 0, 0, 0), ("1", 1, "0208", 80, 0, 2, 5)])


def photos(home):
    return sorted((home / "images").glob("*.jpg"))


def test_session_logs_in_stores_credentials_and_turns_events_into_photos(home, database):
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database) as server, service:
        assert service.wait_ready()
        # The first tick, 100 ms after the start, connects and logs in.
        assert wait_until(lambda: server.state()["sessions"] == 1, 3)
        login = server.state()["logins"][0]
        assert login == {"command": "login", "user": LOGIN, "password": password_digest(PASSWORD)}
        # The database request follows the welcome.
        assert wait_until(lambda: '{"command":"getdb"}' in server.state()["received"], 3)

        connect = read_settings(home)["connect"]
        assert connect == {"server": "127.0.0.1", "login": LOGIN,
                           "pass": stored_password(PASSWORD)}

        # FB_IPC row 1 reaches worker 0 on a later tick; then the rule fires.
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 20)
        server.post("/event", {"dvs": "1", "ev1": "2", "ev2": "4",
                               "time": "2026-12-10T10:11:12"})
        assert wait_until(lambda: photos(home), 10)
        names = [p.name for p in photos(home)]
        assert len(names) == 1 and names[0].endswith("1.jpg") and names[0].startswith("1")

        # An event that matches no rule, and one for another controller, give nothing more.
        server.post("/event", {"dvs": "1", "ev1": "2", "ev2": "5"})
        server.post("/event", {"dvs": "7", "ev1": "2", "ev2": "4"})
        time.sleep(1)
        assert len(photos(home)) == 1
        assert service.stop() == 0


def test_refused_login_stores_nothing(home, database):
    write_settings(home, {"connect": {"server": "127.0.0.1", "login": "intruder",
                                      "pass": stored_password("guess")}})
    before = (home / "vs_settings.ini").read_bytes()
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database) as server, service:
        assert service.wait_ready()
        assert wait_until(lambda: server.state()["logins"], 3)
        time.sleep(0.5)
        state = server.state()
        assert state["sessions"] == 0
        assert '{"command":"getdb"}' not in state["received"]
    assert read_settings(home)["connect"] == {"server": "127.0.0.1", "login": "intruder",
                                              "pass": stored_password("guess")}
    assert (home / "vs_settings.ini").read_bytes().startswith(before.split(b"[main]")[0])


def test_no_credentials_never_connects(home):
    service = Service(home)
    with Accsim(service.server_port) as server, service:
        assert service.wait_ready()
        time.sleep(1.5)
        assert server.state()["connections"] == 0


def test_lost_connection_is_reopened_after_ten_quiet_seconds(home, database):
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database) as server, service:
        assert service.wait_ready()
        assert wait_until(lambda: server.state()["sessions"] == 1, 3)
        dropped = time.monotonic()
        server.post("/drop")
        assert wait_until(lambda: server.state()["connections"] == 0, 3)
        assert wait_until(lambda: len(server.state()["logins"]) == 2, 25)
        # Not before more than 10 whole seconds since the last message.
        assert time.monotonic() - dropped > 10
        assert wait_until(lambda: server.state()["sessions"] == 1, 3)


def test_events_are_dropped_while_there_is_no_archive(home, database, tmp_path):
    archive = tmp_path / "archive"
    archive.mkdir()
    store_credentials(home, {"arch": str(archive)})
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database) as server, service:
        assert service.wait_ready()
        assert service.wait_for_log("видеопоток доступен", 20)
        archive.rmdir()
        server.post("/event", {"dvs": "1", "ev1": "2", "ev2": "4"})
        time.sleep(1)
        assert not archive.exists()
        assert service.proc.poll() is None
        assert service.stop() == 0
