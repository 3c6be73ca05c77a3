"""The rules editor at /rules with the real binary, accsim and an embedded Firebird database:
adding, editing and deleting rules through the form as a browser posts it, and what the
database then holds."""

import re
import subprocess

import pytest
import requests

from kestrin import (Accsim, LOGIN, PASSWORD, Service, make_database, store_credentials, wait_until)


RULE_ID = re.compile(r'editrule=(\d{13})"')


def isql(database, statements):
    """Runs SQL on the database file with the embedded engine (the service must not hold it)."""
    script = (f"CONNECT '{database}/CBASE.FDB' USER 'SYSDBA' PASSWORD 'masterkey';\n"
              f"SET LIST ON;\n{statements}\nCOMMIT;\n")
    result = subprocess.run(["isql-fb", "-q", "-b", "-ch", "UTF8"], input=script, text=True,
                            capture_output=True, check=True)
    return result.stdout


def stored_rules(database):
    """FB_IPD2 as a list of {column: text}, in id order."""
    out = isql(database, "SELECT ID,DVS,CAM,EVNT,QLY,DLY,RGT,MTL FROM FB_IPD2 ORDER BY ID;")
    rules = []
    for block in out.strip().split("\n\n"):
        fields = dict(line.split(None, 1) for line in block.splitlines() if line.strip())
        if fields:
            rules.append({k.upper(): v.strip() for k, v in fields.items()})
    return rules


class Admin:
    """A browser-like HTTP client logged in to the web administration."""

    def __init__(self, port):
        self.base = f"http://127.0.0.1:{port}"
        self.http = requests.Session()
        self.http.auth = (LOGIN, PASSWORD)
        # The first request gets the "authfd" cookie with the challenge.
        assert self.http.get(self.base + "/", allow_redirects=False).status_code == 401

    def get(self, path, **kwargs):
        return self.http.get(self.base + path, allow_redirects=False, timeout=20, **kwargs)

    def post(self, path, form):
        return self.http.post(self.base + path, data=form, allow_redirects=False, timeout=20)

    def rules_page(self):
        reply = self.get("/rules")
        assert reply.status_code == 200
        return reply.text

    def save(self, dvs, event, cam, quality=100, delay=0, multiframe=0, changeid=""):
        reply = self.post("/rules", {"dvs": dvs, "event": event, "cam": cam, "quality": quality,
                                     "delay": delay, "multiframe": multiframe,
                                     "s_handle": "3848123456789", "changeid": changeid})
        assert (reply.status_code, reply.headers.get("Location")) == (302, "/rules")
        return reply


def rows(page):
    """The rows of the rules list: lists of cell texts (tags removed)."""
    table = page.split("<th>Действие</th></tr>", 1)[1]
    found = []
    for row in re.findall(r"<tr>(.*?)</tr>", table):
        cells = re.findall(r"<td[^>]*>(.*?)</td>", row)
        found.append([re.sub(r"<[^>]+>", "", cell) for cell in cells])
    return found


@pytest.fixture
def database(tmp_path):
    folder = make_database(tmp_path / "db")
    # Beside the samples: a controller mounted the other way round, and one without a direction.
    isql(folder, "INSERT INTO FB_DVS (ID, NAME, VOR) VALUES ('0012A3B4C5D8', 'Тамбур <2>', 2);\n"
                 "INSERT INTO FB_DVS (ID, NAME, VOR) VALUES ('0012A3B4C5D9', 'Без флага', NULL);")
    return folder


@pytest.fixture
def admin(home, database):
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=database), service:
        assert service.wait_ready()
        # Logged in and the database known: the rules page carries the form.
        admin = None

        def ready():
            nonlocal admin
            try:
                admin = admin or Admin(service.web_port)
                return "Добавить новое правило:" in admin.rules_page()
            except (requests.ConnectionError, AssertionError):
                return False

        assert wait_until(ready, 20)
        admin.service = service
        yield admin
        assert service.stop() == 0


def test_add_edit_and_delete_a_rule(admin, database):
    page = admin.rules_page()
    # Option values carry the direction flag; a controller without one has 12 characters.
    assert '<option value="0012A3B4C5D82">[0012A3B4C5D8] Тамбур &lt;2&gt;</option>' in page
    assert '<option value="0012A3B4C5D9">[0012A3B4C5D9] Без флага</option>' in page
    assert '<option value="0012A3B4C5D61">[0012A3B4C5D6] Главный вход</option>' in page

    # Entry on a controller with VOR 2 is stored as 0004 and shown by its name again;
    # the delay is clamped.
    admin.save("0012A3B4C5D82", 1, 2, quality=70, delay=9999)
    assert rows(admin.rules_page()) == [
        ["[0012A3B4C5D8] Тамбур &lt;2&gt;", "доступ разрешен - вход", "2", "70", "5000", "нет",
         "[править] [удалить] [тест]"]]
    rule_id = RULE_ID.search(admin.rules_page()).group(1)

    # The same controller, camera and event again: refused.
    admin.save("0012A3B4C5D82", 1, 2, quality=50)
    assert len(rows(admin.rules_page())) == 1

    # Edit mode preselects the stored values and marks the row.
    edit = admin.get(f"/rules/?editrule={rule_id}").text
    assert "<p><strong>Редактировать правило:</strong></p>" in edit
    assert '<option selected value="0012A3B4C5D82">' in edit
    assert '<option selected value="1">доступ разрешен - вход</option>' in edit
    assert '<option selected value="2">2</option>' in edit
    assert '<option selected value="70">70</option>' in edit
    assert 'max="5000" value="5000">' in edit
    assert f'name="changeid" id="changeid" value="{rule_id}">' in edit
    assert edit.count('<td class="warn">') == 7

    # Saving the rule into itself with another quality is no duplicate.
    admin.save("0012A3B4C5D82", 1, 2, quality=40, delay=-5, multiframe=1, changeid=rule_id)
    assert rows(admin.rules_page())[0][2:6] == ["2", "40", "0", "да"]

    # A second rule; a 12-character id deletes nothing; the full id deletes.
    admin.save("0012A3B4C5D61", 21, 3)
    assert [r[1] for r in rows(admin.rules_page())] == ["ВЗЛОМ", "доступ разрешен - вход"]
    assert admin.get(f"/rules/?delrule={rule_id[:12]}").headers["Location"] == "/rules"
    assert len(rows(admin.rules_page())) == 2
    reply = admin.get(f"/rules/?delrule={rule_id}")
    assert (reply.status_code, reply.headers["Location"]) == (302, "/rules")
    assert [r[1] for r in rows(admin.rules_page())] == ["ВЗЛОМ"]
    assert admin.get(f"/rules/?editrule={rule_id}").text.endswith(
        "<body><p><strong>Правило не найдено</p></body></html>")

    assert admin.service.stop() == 0
    stored = stored_rules(database)
    assert len(stored) == 1
    assert {k: stored[0][k] for k in ("DVS", "CAM", "EVNT", "QLY", "DLY", "RGT", "MTL")} == {
        "DVS": "0012A3B4C5D6", "CAM": "3", "EVNT": "0001", "QLY": "100", "DLY": "0", "RGT": "0",
        "MTL": "0"}
    assert len(stored[0]["ID"]) == 13


def test_stored_values_and_refused_forms(admin, database):
    admin.save("0012A3B4C5D82", 1, 2, quality=70, delay=9999, multiframe=1)
    # Hand-made values beyond the form's choices are stored as they come.
    admin.save("0012A3B4C5D71", 28, 12, quality=500)
    # Refused: a controller without direction, camera 0, event 29.
    admin.save("0012A3B4C5D9", 1, 1)
    admin.save("0012A3B4C5D61", 1, 0)
    admin.save("0012A3B4C5D61", 29, 1)
    # A change id that matches no rule changes nothing.
    admin.save("0012A3B4C5D61", 3, 4, changeid="1000000000999")

    page = admin.rules_page()
    assert [r[:4] for r in rows(page)] == [
        # Saved with the posted direction digit 1 (CF04), shown with the stored VOR 0.
        ["[0012A3B4C5D7] Склад", "ожидание подтверждения доступа - вход", "12", "500"],
        ["[0012A3B4C5D8] Тамбур &lt;2&gt;", "доступ разрешен - вход", "2", "70"]]

    assert admin.service.stop() == 0
    stored = {r["DVS"]: r for r in stored_rules(database)}
    assert set(stored) == {"0012A3B4C5D8", "0012A3B4C5D7"}
    assert [stored["0012A3B4C5D8"][k] for k in ("EVNT", "DLY", "RGT", "MTL")] == [
        "0004", "5000", "2", "5"]
    # Event 28 with the direction digit 1 is CF04, whatever FB_DVS says of the controller.
    assert [stored["0012A3B4C5D7"][k] for k in ("EVNT", "CAM", "QLY")] == ["CF04", "12", "500"]


def test_rules_page_requests_that_find_no_rule(admin):
    not_found = "<body><p><strong>Правило не найдено</p></body></html>"
    assert admin.get("/rules/?editrule=123").text.endswith(not_found)
    # "editrule=" counts only on the first line of the parameters.
    assert admin.get("/rules/?x=1&editrule=1000000000000").text.endswith(not_found)
    assert admin.get("/rules/?editrule=1000000000000").text.endswith(not_found)
    # Values from the database are escaped where they are placed.
    admin.save("0012A3B4C5D82", 2, 1)
    assert "Тамбур <2>" not in admin.rules_page()


def test_unreachable_database_gives_the_error_page(admin, database):
    (database / "CBASE.FDB").rename(database / "moved.FDB")
    reply = admin.get("/rules")
    assert reply.status_code == 200
    assert "<body><p><strong>Ошибка подключения к БД: " in reply.text
    assert 'href="/rules"' not in reply.text  # no menu line
    (database / "moved.FDB").rename(database / "CBASE.FDB")


def test_without_a_database_the_page_is_the_menu_line(home):
    store_credentials(home)
    service = Service(home)
    with Accsim(service.server_port, LOGIN, PASSWORD, db_path=""), service:
        assert service.wait_ready()
        admin = wait_until(lambda: _try_admin(service.web_port), 20)
        assert admin
        page = admin.get("/rules").text
        assert page.endswith('<body><p align="right"><a href="/">Главная</a>&nbsp;&nbsp;|&nbsp;'
                             '&nbsp;<a href="/rules">Правила</a>&nbsp;&nbsp;|&nbsp;&nbsp;<a '
                             'href="/exit">Выйти</a></p><hr></body></html>')
        # Saving and deleting do nothing but redirect.
        admin.save("0012A3B4C5D61", 1, 1)
        assert admin.get("/rules/?delrule=1000000000000").headers["Location"] == "/rules"
        # Nor is there a rule for a demonstration event.
        assert admin.get("/demotest/?ruleid=1000000000000").text == "ошибка"


def _try_admin(port):
    try:
        admin = Admin(port)
        return admin if admin.get("/rules").status_code == 200 else None
    except (requests.ConnectionError, AssertionError):
        return None
