"""The demo: its pictures, and its page as headless Chromium lays it out in a 1400x1000 window."""

from __future__ import annotations

import html
import json
import os
import re
import shutil
import subprocess
from collections.abc import Iterator
from pathlib import Path

import pytest

from clients.kinds import NAMES
from emulator.conftest import open_png

from .conftest import cli

PICTURES = [f"{name}-{what}" for what in ("plain", "edit") for name in NAMES]
CHROMIUM = shutil.which("chromium")
# Headless, offline and quiet: nothing but the page's own files is loaded.
CHROMIUM_FLAGS = (
    "--headless --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking "
    "--disable-component-update --disable-sync --allow-file-access-from-files --window-size=1600,1400 "
    "--virtual-time-budget=5000 --dump-dom"
).split()

# The page in a 1400x1000 frame; once the frame and its pictures have loaded, the card boxes,
# the pictures' state and the note are written into the outer page, which --dump-dom prints.
FRAME = """<!doctype html><html><body style="margin:0">
<iframe id="page" src="index.html" width="1400" height="1000" style="border:0"></iframe>
<pre id="measured"></pre>
<script>
page.onload = () => {
  const d = page.contentDocument;
  const cards = [...d.querySelectorAll("figure")].map(card => {
    const box = card.getBoundingClientRect();
    return [box.left, box.top, box.right, box.bottom];
  });
  const pictures = [...d.querySelectorAll("img")].map(img => img.complete && img.naturalWidth > 0);
  const note = d.querySelector(".note") ? d.querySelector(".note").textContent : "";
  measured.textContent = JSON.stringify({cards, pictures, note});
};
</script></body></html>
"""


@pytest.fixture(scope="module")
def demo(tmp_path_factory: pytest.TempPathFactory) -> Iterator[Path]:
    out = tmp_path_factory.mktemp("demo")
    done = cli("demo", "--out-dir", str(out))
    assert done.returncode == 0, done.stderr
    yield out


def test_demo_writes_pictures_and_index(demo):
    index = (demo / "index.html").read_text()
    for name in PICTURES:
        assert open_png((demo / f"{name}.png").read_bytes()).size[0] > 0
        assert f'src="{name}.png"' in index
    assert "A lighthouse on a cliff at dusk" in index


@pytest.mark.browser
@pytest.mark.skipif(CHROMIUM is None, reason="chromium is not installed")
def test_demo_page_shows_all_four_cards_at_1400x1000(demo, tmp_path):
    (demo / "frame.html").write_text(FRAME)
    command = [CHROMIUM, *CHROMIUM_FLAGS, f"--user-data-dir={tmp_path / 'profile'}", (demo / "frame.html").as_uri()]
    done = subprocess.run(command, capture_output=True, env=os.environ | {"HOME": str(tmp_path)}, timeout=120)
    assert done.returncode == 0, done.stderr[-2000:]
    found = re.search(r'<pre id="measured">(.*?)</pre>', done.stdout.decode())
    assert found and found[1], done.stdout[-2000:]
    page = json.loads(html.unescape(found[1]))
    cards = page["cards"]
    assert len(cards) == 4 and page["pictures"] == [True] * 4
    for left, top, right, bottom in cards:
        assert 0 <= left < right <= 1400 and 0 <= top < bottom <= 1000, cards
    heights = [bottom - top for _, top, _, bottom in cards]
    assert max(heights) - min(heights) < 1, heights
    assert "emulator's placeholders" in page["note"] and "--base-url" in page["note"]


@pytest.mark.parametrize("planted", ["index.html", "tovarin-edit.png", "a link index.html"])
def test_demo_never_replaces_a_file_it_did_not_make(tmp_path, planted):
    out, mine = tmp_path / "out", tmp_path / "mine.txt"
    out.mkdir()
    mine.write_bytes(b"mine")
    name = planted.removeprefix("a link ")
    if name != planted:
        (out / name).symlink_to(mine)
    else:
        (out / name).write_bytes(b"mine")
    done = cli("demo", "--out-dir", str(out))
    assert done.returncode == 2 and done.stdout == b"" and done.stderr.count(b"\n") == 1
    assert f"--out-dir {out}: {name} there already" in done.stderr.decode()
    assert [p.name for p in out.iterdir()] == [name] and (out / name).read_bytes() == mine.read_bytes() == b"mine"
