"""The web administration front of the real binary, before the server has welcomed the service."""

import http.client
import io
import socket
import threading
import time

import pytest
from PIL import Image

from browser import Browser, browser_available
from kestrin import Service

PAGE_HEAD = ('<html lang="ru"><head><meta charset="utf-8"><meta http-equiv="Cache-Control" '
             'content="no-cache"/><title>Видеосервер</title><link rel="stylesheet" '
             'type="text/css" media="all" href="/main.css"></head><body>')


def connection_form(server_ip, login):
    return (PAGE_HEAD + '<form method="POST"><table border="0">'
            '<tr><td>Сервер IP:</td><td><input type="text" name="server_ip" id="server_ip" '
            f'value="{server_ip}"></td></tr>'
            '<tr><td>Логин:</td><td><input type="text" name="server_login" id="server_login" '
            f'value="{login}"></td></tr>'
            '<tr><td>Пароль:</td><td><input type="password" name="server_pass" id="server_pass" '
            'value=""></td></tr>'
            '<tr><td>&nbsp;</td><td><input type="submit" value="Применить"></td></tr>'
            '</form></body></html>')


def fetch(service, target, method="GET", host="127.0.0.1", body=None, headers=None):
    """One request with the target exactly as given (no client-side normalising)."""
    conn = http.client.HTTPConnection(host, service.web_port, timeout=60)
    try:
        conn.request(method, target, body=body, headers=headers or {})
        reply = conn.getresponse()
        return reply, reply.read()
    finally:
        conn.close()


def form_headers():
    return {"Content-Type": "application/x-www-form-urlencoded"}


@pytest.fixture
def service(home):
    with Service(home) as s:
        assert s.wait_ready()
        yield s


def machine_ipv4():
    """A non-loopback IPv4 address of this machine, or None."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.connect(("10.255.255.255", 9))  # no packet is sent
            address = s.getsockname()[0]
        except OSError:
            return None
    return None if address.startswith("127.") else address


def has_ipv6_loopback():
    try:
        with socket.socket(socket.AF_INET6, socket.SOCK_STREAM) as s:
            s.bind(("::1", 0))
        return True
    except OSError:
        return False


def test_started_web_server_offers_the_connection_form_locally(service):
    assert f"Вебсервер(порт {service.web_port}) запущен" in service.log_lines()
    reply, body = fetch(service, "/")
    assert reply.status == 200
    assert reply.getheader("Content-Type") == "text/html; charset=utf-8"
    assert body.decode("utf-8") == connection_form("127.0.0.1", "")

    # The machine's own network address and IPv6 loopback are local as well.
    hosts = [h for h in (machine_ipv4(), "::1" if has_ipv6_loopback() else None) if h]
    for host in hosts:
        reply, body = fetch(service, "/", host=host)
        assert reply.status == 200, host
        assert 'name="server_ip"' in body.decode("utf-8"), host


@pytest.mark.parametrize("target, status, location", [
    ("/rules", 302, "/"),
    ("/main%2Ecss", 302, "/"),  # the raw path decides: not the stylesheet
    ("/exit", 302, "/"),
    ("/?img=3", 200, None),     # no camera actions before the welcome
    ("/?restartnow=1", 200, None),
])
def test_before_welcome_everything_leads_to_the_form(service, target, status, location):
    reply, body = fetch(service, target)
    assert reply.status == status
    assert reply.getheader("Location") == location
    if status == 200:
        assert 'name="server_ip"' in body.decode("utf-8")
    else:
        assert body == b""


def test_static_resources_need_no_login(service):
    reply, body = fetch(service, "/main.css?v=2")
    assert reply.status == 200
    assert reply.getheader("Content-Type") == "text/css"
    css = body.decode("ascii")
    assert len(css) == 576
    assert css.startswith("body,td,input,textarea,select{font-family:arial,sans-serif;"
                          "font-size:14px;}#menu {")
    assert css.endswith("height: 2px;}")

    reply, body = fetch(service, "/favicon.ico")
    assert reply.status == 200
    assert reply.getheader("Content-Type") == "image/png"
    assert int(reply.getheader("Content-Length")) == len(body)
    assert Image.open(io.BytesIO(body)).size == (32, 32)

    reply, body = fetch(service, "/main.css", method="HEAD")
    assert reply.status == 200
    assert body == b""


def test_server_connection_data_pause_without_holding_up_other_clients(service, home):
    result = {}

    def post():
        started = time.monotonic()
        reply, _ = fetch(service, "/", method="POST", headers=form_headers(),
                         body="server_ip=127.0.0.1&server_login=admin&server_pass=secret")
        result.update(status=reply.status, location=reply.getheader("Location"),
                      seconds=time.monotonic() - started)

    slow = threading.Thread(target=post)
    slow.start()
    time.sleep(0.5)
    reply, body = fetch(service, "/main.css")
    assert reply.status == 200 and len(body) == 576
    assert slow.is_alive()  # still in its pause
    slow.join(30)

    assert result["status"] == 302 and result["location"] == "/"
    assert result["seconds"] >= 9.5
    # The new credentials live in memory only until the server welcomes them.
    settings = (home / "vs_settings.ini").read_bytes().decode("cp1251")
    assert "admin" not in settings
    # The form shows them back (the password never).
    _, body = fetch(service, "/")
    assert body.decode("utf-8") == connection_form("127.0.0.1", "admin")


def test_values_in_the_form_are_escaped(home):
    (home / "vs_settings.ini").write_bytes(
        '[connect]\nserver=10.0.0.1"><script>alert(1)</script>\nlogin=a&b\n'.encode("cp1251"))
    with Service(home) as service:
        assert service.wait_ready()
        _, body = fetch(service, "/")
    assert body.decode("utf-8") == connection_form(
        "10.0.0.1&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;", "a&amp;b")


def test_request_bodies_above_one_mebibyte_are_refused(service):
    reply, _ = fetch(service, "/", method="POST", headers=form_headers(),
                     body=b"a=" + b"x" * (1 << 20))
    assert reply.status == 413
    reply, _ = fetch(service, "/", method="POST", headers=form_headers(),
                     body=b"a=" + b"x" * 100000)
    assert reply.status == 200


def test_taken_port_is_logged_and_the_service_runs_on(home):
    service = Service(home)
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as blocker:
        blocker.bind(("0.0.0.0", service.web_port))
        blocker.listen()
        with service:
            assert service.wait_ready()
            assert service.stop() == 0
    lines = service.log_lines()
    assert f"ОШИБКА: Вебсервер(порт {service.web_port}) не запущен" in lines
    assert not any("запущен" in line and "ОШИБКА" not in line for line in lines)
    assert lines[-1] == "Остановка службы"


def test_stop_completes_with_an_idle_browser_connection_open(service):
    conn = http.client.HTTPConnection("127.0.0.1", service.web_port, timeout=30)
    conn.request("GET", "/main.css")
    conn.getresponse().read()  # the connection stays open (keep-alive)
    try:
        assert service.stop() == 0
    finally:
        conn.close()
    assert service.log_lines()[-1] == "Остановка службы"


@pytest.mark.skipif(not browser_available(), reason="chromium and chromedriver are not installed")
def test_browser_shows_the_styled_connection_form(service):
    with Browser() as driver:
        driver.get(f"http://127.0.0.1:{service.web_port}/")
        assert driver.title == "Видеосервер"
        field = driver.find_element("id", "server_ip")
        assert field.get_attribute("value") == "127.0.0.1"
        # The stylesheet has been applied.
        font = driver.execute_script(
            "return getComputedStyle(document.body).fontFamily")
        assert "arial" in font
