"""Start, stop and failed starts of the real binary in a temporary home."""

import os
import subprocess
from pathlib import Path

import pytest

from kestrin import BINARY, Service, make_home


def read_ini(home):
    return (home / "vs_settings.ini").read_bytes().decode("cp1251")


def test_no_settings_file_gives_defaults_and_writes_archive(home):
    with Service(home) as service:
        assert service.wait_ready()
        assert (home / "images").is_dir()
        assert f"arch={home / 'images'}" in read_ini(home).splitlines()
        assert service.stop() == 0
    assert service.log_lines() == [
        "Запуск службы", f"Вебсервер(порт {service.web_port}) запущен", "Остановка службы"]


def test_missing_archive_folder_is_replaced_in_memory_and_file(home):
    (home / "vs_settings.ini").write_text("[main]\narch=/nonexistent/folder\n")
    with Service(home) as service:
        assert service.wait_ready()
    assert f"arch={home / 'images'}" in read_ini(home).splitlines()


def test_trailing_separator_is_kept_in_file(home, tmp_path):
    archive = tmp_path / "photos"
    archive.mkdir()
    (home / "vs_settings.ini").write_text(f"[MAIN]\nArch={archive}/\n")
    with Service(home) as service:
        assert service.wait_ready()
    assert f"Arch={archive}/" in read_ini(home).splitlines()
    assert not (home / "images").exists()


@pytest.mark.parametrize("settings", [
    "garbage line\n[main\nnameformat=x\narchlimit=12abc\n[connect]\npass=!!!notbase64\n",
    "[connect]\nlogin=admin\npass=AAAA\n[main]\narchlimit=-5\n",
    "\x00\x01\x02 binary junk \xff\xfe",
])
def test_bad_settings_file_never_prevents_start(home, settings):
    (home / "vs_settings.ini").write_bytes(settings.encode("latin-1"))
    with Service(home) as service:
        assert service.wait_ready()
        assert service.stop() == 0


def test_missing_database_client_fails_with_two_lines(tmp_path):
    home = make_home(tmp_path / "home", fbclient=False)
    with Service(home) as service:
        assert service.wait_exit() == 1
    assert service.log_lines() == [
        "Запуск службы", "ОШИБКА: Библиотека libfbclient.so.2 не найдена."]


def elf_header(elf_class):
    return b"\x7fELF" + bytes([elf_class, 1, 1]) + b"\0" * 57


@pytest.mark.parametrize("content", [elf_header(1), b"MZ\x90\0 not an elf", b""])
def test_database_client_of_wrong_kind_fails(tmp_path, content):
    home = make_home(tmp_path / "home", fbclient=False)
    (home / "libfbclient.so.2").write_bytes(content)
    with Service(home) as service:
        assert service.wait_exit() == 1
    assert service.log_lines() == [
        "Запуск службы", "ОШИБКА: Требуется 64-разрядная библиотека libfbclient.so.2"]


def test_vlc_folder_without_libraries_fails(home, tmp_path):
    empty = tmp_path / "novlc"
    empty.mkdir()
    with Service(home, ["--vlc-dir", str(empty)]) as service:
        assert service.wait_exit() == 1
    assert service.log_lines() == ["Запуск службы", "ОШИБКА: Не удалось загрузить библиотеки VLC"]


def test_vlc_library_lacking_functions_lists_them(home, tmp_path):
    # A libvlc.so.5 that is a real library but exports none of the functions.
    folder = tmp_path / "fakevlc"
    folder.mkdir()
    (folder / "libvlccore.so.9").symlink_to("/usr/lib/x86_64-linux-gnu/libvlccore.so.9")
    (folder / "libvlc.so.5").symlink_to("/usr/lib/x86_64-linux-gnu/libjpeg.so.62")
    with Service(home, ["--vlc-dir", str(folder)]) as service:
        assert service.wait_exit() == 1
    lines = service.log_lines()
    assert lines[0] == "Запуск службы"
    assert lines[1].startswith("ОШИБКА: Следующие функции VLC недоступны  libvlc_get_version  libvlc_new  ")
    assert lines[1].endswith("libvlc_video_set_format  libvlc_video_take_snapshot")
    assert len(lines) == 2


def test_sigterm_stops_with_last_line_and_exit_zero(home):
    with Service(home) as service:
        assert service.wait_ready()
        assert service.stop() == 0
    assert service.log_lines()[-1] == "Остановка службы"


def test_unwritable_log_fails_start(home):
    (home / "videoserver.log").mkdir()  # a folder where the file should be
    with Service(home) as service:
        assert service.wait_exit() == 1


def test_unwritable_settings_fails_start(home):
    (home / "vs_settings.ini").mkdir()
    with Service(home) as service:
        assert service.wait_exit() == 1
    assert service.log_lines() == ["Запуск службы"]


@pytest.mark.parametrize("args,code", [(["--bogus"], 2), (["--web-port", "x"], 2),
                                       (["--help"], 0), (["--version"], 0)])
def test_command_line(args, code):
    result = subprocess.run([str(BINARY), *args], capture_output=True, text=True)
    assert result.returncode == code
    if code == 2:
        assert "Usage:" in result.stderr


UNIT = Path("/etc/systemd/system/kestrin-videoserver.service")


@pytest.mark.skipif(os.geteuid() != 0 or UNIT.exists(), reason="needs root and no installed unit")
def test_install_writes_unit_and_uninstall_removes_it(home):
    try:
        result = subprocess.run([str(BINARY), "/INSTALL", "-silent", "--home", str(home)],
                                capture_output=True, text=True)
        assert result.returncode == 0 and result.stdout == ""
        text = UNIT.read_text()
        assert "Description=Kestrin Контроль доступа - Видеосервер\n" in text
        assert "Type=notify\n" in text
        assert "LimitNOFILE=8192\n" in text
        assert f'ExecStart="{BINARY}" --home "{home}"\n' in text
        result = subprocess.run([str(BINARY), "-uninstall"], capture_output=True, text=True)
        assert result.returncode == 0 and "removed" in result.stdout
        assert not UNIT.exists()
    finally:
        if UNIT.exists():
            UNIT.unlink()
