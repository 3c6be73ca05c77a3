"""The archive cleaner of the real binary keeps the free-space floor of the archive."""

import os
import time

from kestrin import Service, make_home, wait_until

# A floor far above any disk here (MB): every check starts a pass.
HUGE_FLOOR = 2_000_000_000


def fill(archive):
    archive.mkdir()
    now = time.time()
    for i in range(25):
        path = archive / f"0012A3B4C5D6_{i:012X}1.jpg"
        path.write_bytes(b"\xff\xd8" + os.urandom(1000))
        os.utime(path, (now - 1000 + i, now - 1000 + i))
    (archive / "readme.txt").write_text("not a photo")
    (archive / "upper.JPG").write_bytes(b"x")
    (archive / "sub").mkdir()
    (archive / "sub" / "inner.jpg").write_bytes(b"x")


def test_floor_above_the_disk_prunes_every_photo_once_a_minute(tmp_path):
    pruned_archive, kept_archive = tmp_path / "pruned", tmp_path / "kept"
    fill(pruned_archive)
    fill(kept_archive)
    pruned_home = make_home(tmp_path / "home1")
    kept_home = make_home(tmp_path / "home2")
    (pruned_home / "vs_settings.ini").write_text(
        f"[main]\narch={pruned_archive}\narchlimit={HUGE_FLOOR}\n")
    (kept_home / "vs_settings.ini").write_text(f"[main]\narch={kept_archive}\narchlimit=0\n")

    with Service(pruned_home) as pruned, Service(kept_home) as kept:
        assert pruned.wait_ready() and kept.wait_ready()
        started = time.monotonic()
        assert wait_until(lambda: not list(pruned_archive.glob("*.jpg")), timeout=80, step=0.5)
        # The first check comes a minute after start.
        assert time.monotonic() - started > 50
        time.sleep(2)
        assert pruned.stop() == 0 and kept.stop() == 0

    assert sorted(p.name for p in pruned_archive.rglob("*")) == [
        "inner.jpg", "readme.txt", "sub", "upper.JPG"]
    # Limit 0: nothing is ever deleted.
    assert len(list(kept_archive.glob("*.jpg"))) == 25
