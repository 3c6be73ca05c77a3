"""The link to the access-control server and the database when a peer misbehaves: a server
that never completes the WebSocket handshake, logins refused in a row followed by stale
connections being closed, and a database host that takes the connection and never answers.
Each time there is at most one connection to the server, one session, each event reaches the
service once, and the main loop keeps serving. Real binary, accsim, camsim, the shared
Firebird server behind a relay of the test's own."""

import shutil
import socket
import subprocess
import tempfile
import threading
from pathlib import Path

import pytest
import requests

from kestrin import (LOGIN, MAKE_TEST_DB, PASSWORD, Accsim, Camsim, Service, logged_in_service,
                     make_database, store_credentials, wait_until)
from test_events import firebird_server, server_password
from test_faults_link import CONTROLLER, MENU, event, event_gives_photo, fresh_time, photo, saved
from test_rules import Admin

FIREBIRD = ("127.0.0.1", 3050)
# The check of the rules table gives up after the connect limit (5 s).
SETUP_TIMEOUT_LOG = "DBERROR#2=the database server did not answer within 5 s"


class TcpPeer:
    """A TCP server on 127.0.0.1:`port`. While `forward_to` is set, each new connection is
    relayed to that address; otherwise it is taken, read and never answered, as by a host
    whose service hangs. Notes every connection and whether its client has ended it."""

    def __init__(self, port=0, forward_to=None):
        self.forward_to = forward_to
        self.listener = socket.create_server(("127.0.0.1", port))
        self.listener.settimeout(0.2)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.connections = []  # {"silent": bool, "ended": bool}, in the order taken
        self.sockets = []
        self.running = True
        threading.Thread(target=self._accept, daemon=True).start()

    def state(self):
        """(connections taken, indices of those taken silently and still open)."""
        with self.lock:
            return len(self.connections), [i for i, c in enumerate(self.connections)
                                           if c["silent"] and not c["ended"]]

    def _accept(self):
        while self.running:
            try:
                client, _ = self.listener.accept()
            except socket.timeout:
                continue
            except OSError:
                return
            client.settimeout(None)
            record = {"silent": self.forward_to is None, "ended": False}
            with self.lock:
                self.connections.append(record)
                self.sockets.append(client)
            if record["silent"]:
                threading.Thread(target=self._swallow, args=(client, record), daemon=True).start()
                continue
            upstream = socket.create_connection(self.forward_to)
            with self.lock:
                self.sockets.append(upstream)
            threading.Thread(target=self._pump, args=(client, upstream, record),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(upstream, client, None), daemon=True).start()

    @staticmethod
    def _receive(sock):
        try:
            return sock.recv(65536)
        except OSError:
            return b""

    def _swallow(self, client, record):
        while self._receive(client):
            pass
        record["ended"] = True

    def _pump(self, source, target, record):
        while data := self._receive(source):
            try:
                target.sendall(data)
            except OSError:
                break
        if record is not None:
            record["ended"] = True
        for sock in (source, target):
            try:
                sock.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass

    def close(self):
        self.running = False
        self.listener.close()
        with self.lock:
            for sock in self.sockets:
                try:
                    sock.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                sock.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def logged_in(service):
    """The web server shows the login challenge, not the connection form: the service holds
    a session."""
    return requests.get(f"http://127.0.0.1:{service.web_port}/", timeout=10).status_code == 401


# --- the access-control server ------------------------------------------------------------

def test_a_handshake_that_never_completes_leaves_one_connection(home):
    store_credentials(home)
    service = Service(home)
    with TcpPeer(service.server_port) as server, service:
        assert service.wait_ready()
        # No answer is no sign of life: a new attempt every tick (5 s), while one handshake
        # alone would wait 30 s. Each attempt ends the one before it.
        def only_the_newest_open():
            taken, still_open = server.state()
            return taken >= 3 and still_open == [taken - 1]

        assert wait_until(lambda: server.state()[0] >= 3, 20, step=0.1)
        assert wait_until(only_the_newest_open, 5)
        assert service.proc.poll() is None
        assert service.stop() == 0


@pytest.fixture
def camera():
    with Camsim("--size", "320x240", "--fps", "10") as cam:
        yield cam


def test_refused_logins_and_stale_closes_leave_one_session(home, tmp_path, camera):
    database = make_database(tmp_path / "db", cameras=[(1, camera.url)],
                             rules=[(CONTROLLER, 1, "0204", 80, 0, 0, 0)])
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database,
                extra=["--refuse"]) as server, service:
        service.server = server
        assert service.wait_ready()
        # Two refusals in a row (a retry follows more than 10 quiet seconds after each): the
        # service closes each refused connection before it opens the next one.
        assert wait_until(lambda: len(server.state()["logins"]) == 2, 25, step=0.1)
        assert wait_until(lambda: server.state()["connections"] == 1, 5)
        server.post("/refuse?on=0")
        assert wait_until(lambda: server.state()["sessions"] == 1, 25, step=0.1)
        state = server.state()
        assert len(state["logins"]) == 3 and state["connections"] == 1
        assert [(c["code"], c["reason"]) for c in state["closes"]] == [(1000, "bye")] * 2

        # The server now closes whatever it still holds besides the session, as one that
        # times out unanswered logins would: the service keeps its session.
        server.post("/close?code=1001&unlogged=1")
        assert service.wait_for_log("[0] видеопоток доступен 320x240", 30)
        times = [fresh_time() for _ in range(5)]
        for when in times:
            server.post("/event", event(when))
        assert wait_until(lambda: all(saved(photo(home, when)) for when in times), 15)
        assert logged_in(service)
        # Each event went to one session only.
        sent = server.request("GET", "/sent")["events"]
        assert [e["sessions"] for e in sent] == [1] * len(times)
        state = server.state()
        assert len(state["logins"]) == 3 and state["sessions"] == 1
        assert state["connections"] == 1
        assert service.proc.poll() is None
        assert service.stop() == 0


# --- the database host ----------------------------------------------------------------------

@pytest.fixture
def server_folder():
    """A folder the Firebird server (its own user) can reach."""
    if not firebird_server():
        pytest.skip("no Firebird server on 127.0.0.1:3050 (scripts/start-services starts it)")
    folder = Path(tempfile.mkdtemp(prefix="kestrin-linkrecovery-", dir="/tmp"))
    folder.chmod(0o755)
    yield folder
    shutil.rmtree(folder, ignore_errors=True)


def test_a_database_host_that_never_answers_holds_up_nothing(home, camera, server_folder):
    subprocess.run([str(MAKE_TEST_DB), str(server_folder / "db"), "--server",
                    "--camera", "1", camera.url, "--rule", CONTROLLER, "1", "0204", "80", "0",
                    "0", "0"], check=True, capture_output=True)
    password = server_password()
    with TcpPeer(forward_to=FIREBIRD) as relay:
        path = f"127.0.0.1/{relay.port}:{server_folder / 'db'}"
        answer = ('{"atype":401,"answer":{"path":"' + path + '","user":"SYSDBA","password":"'
                  + password + '"}}')
        with logged_in_service(home, path, accsim_extra=["--db-password", password]) as service:
            # Rules and camera address came through the relay.
            assert event_gives_photo(service)
            admin = Admin(service.web_port)

            # The host hangs; a new database answer makes the service check the rules table
            # there, which waits for the host.
            relay.forward_to = None
            service.server.post("/send", answer)
            assert wait_until(lambda: relay.state()[1], 10, step=0.1)

            # Meanwhile the main loop serves: events are taken in and photographed with the
            # rules read before, and the status page answers, all before the check gives up.
            assert event_gives_photo(service)
            assert MENU in admin.get("/").text
            assert not [line for line in service.log_lines() if "DBERROR" in line]

            # The check gives up and says why; the session and the rules stay.
            assert service.wait_for_log(SETUP_TIMEOUT_LOG, 20)
            assert event_gives_photo(service)
            assert service.server.state()["sessions"] == 1
            assert service.proc.poll() is None
            # The connects that never came back do not hold up the end of the process.
            assert service.stop() == 0
