"""corvessa-image end to end: exit codes, summary line, written pictures, failures, -v, spinner, demo."""

from __future__ import annotations

import os
import pty
import re
import subprocess
import sys
from pathlib import Path

import pytest
import requests
from PIL import ImageStat

from .conftest import cli, needs, png, solid_png_file, with_client

SUMMARY = re.compile(r"code=(\S+) msg=(.*) bytes=(\d+) seconds=(\d+\.\d{3})")


def summary(stdout: bytes) -> re.Match[str]:
    match = SUMMARY.fullmatch(stdout.decode().splitlines()[0])
    assert match, stdout
    return match


@pytest.mark.parametrize(
    ("client", "options", "expected"),
    [
        with_client("sorvanel", [], (683, 1024)),  # the client's defaults, 2:3 at 1K
        with_client("sorvanel", ["--ratio", "16:9", "--size", "2K", "--model", "gemini-2.5-flash-image"], (2048, 1152)),
        with_client("tovarin", [], (1024, 1024)),
        with_client("tovarin", ["--ratio", "2:3", "--size", "1k", "--quality", "high"], (688, 1024)),
    ],
)
def test_generate_writes_the_requested_picture(tmp_path, client, options, expected):
    out = tmp_path / "picture.png"
    prompt = f"a harbour at noon, {client} {' '.join(options)}"
    done = cli("generate", prompt, "--client", client, *options, "--out", str(out))
    assert done.returncode == 0, done.stderr
    match = summary(done.stdout)
    assert match[1] == "OK" and match[2] == "-" and int(match[3]) == out.stat().st_size
    picture = png(out.read_bytes())
    assert picture.size == expected and picture.text["prompt"] == prompt


@pytest.mark.parametrize("client", [with_client("sorvanel"), with_client("tovarin")])
def test_path_and_stdin_references_are_sent(tmp_path, client):
    red = solid_png_file(tmp_path / "red.png", (255, 0, 0))
    blue = (solid_png_file(tmp_path / "blue.png", (0, 0, 255))).read_bytes()
    out = tmp_path / "edited.png"
    refs = ["--ref", str(red), "--ref", "-"]
    done = cli("generate", "paint over", "--client", client, "--ratio", "1:1", *refs, "--out", str(out), stdin=blue)
    assert done.returncode == 0, done.stderr
    picture = png(out.read_bytes()).convert("RGB")
    w, h = picture.size
    left = ImageStat.Stat(picture.crop((0, 0, w // 2, h * 3 // 4))).mean
    right = ImageStat.Stat(picture.crop((w // 2, 0, w, h * 3 // 4))).mean
    assert left[0] > right[0] + 60 and right[2] > left[2] + 60  # red ref on the left, blue on the right


@pytest.mark.parametrize("client", [with_client("sorvanel"), with_client("tovarin")])
def test_service_from_environment_and_link_reference(tmp_path, emulator, client):
    listing = requests.post(
        f"{emulator.base_url}/v1/images/generations",
        headers={"Authorization": "Bearer t"},
        json={"prompt": "green ref", "size": "64x64", "response_format": "url"},
        timeout=30,
    )
    link = listing.json()["data"][0]["url"]
    env = {"CORVESSA_BASE_URL": emulator.base_url, "CORVESSA_API_KEY": "env-token"}
    plain, edited = tmp_path / "plain.png", tmp_path / "edited.png"
    assert cli("generate", "with a link", "--client", client, "--out", str(plain), env=env).returncode == 0
    done = cli("generate", "with a link", "--client", client, "--ref", link.replace("http://", "HTTP://"), "--out", str(edited), env=env)
    assert done.returncode == 0, done.stderr
    assert png(edited.read_bytes()).text["prompt"] == "with a link"
    assert edited.read_bytes() != plain.read_bytes()  # the link was downloaded and used


@pytest.mark.parametrize(
    ("client", "prompt", "options", "code", "msg"),
    [
        with_client("sorvanel", "x [[fault:500]]", [], "IMAGE_GENERATE_FAIL", '"An internal error has occurred. Please retry."'),
        with_client("sorvanel", "x [[fault:429]]", [], "SERVICE_BUSY", '"Resource has been exhausted (e.g. check quota)."'),
        with_client("sorvanel", "x [[fault:safety]]", [], "NO_IMAGE_RESULT", '"Picture prohibition-IMAGE_SAFETY"'),
        with_client("sorvanel", "x", ["--ratio", "7:5"], "INVALID_PARAMS", '"Invalid aspect_ratio: 7:5"'),
        with_client("sorvanel", "x [[delay:5]]", ["--timeout", "0.5"], "SERVICE_TIMEOUT", "-"),
        with_client("tovarin", "x [[fault:500:html]]", [], "IMAGE_GENERATE_FAIL", '"service status_code: 500"'),
        with_client("tovarin", "x [[fault:not-json]]", [], "SERVICE_BUSY", "-"),
        with_client("tovarin", "x [[fault:broken-link]]", [], "NO_IMAGE_RESULT", "-"),
    ],
)
def test_failed_results_exit_nonzero_and_write_nothing(tmp_path, client, prompt, options, code, msg):
    out = tmp_path / "never.png"
    done = cli("generate", prompt, "--client", client, *options, "--out", str(out))
    assert done.returncode == 1
    match = summary(done.stdout)
    assert (match[1], match[2], match[3]) == (code, msg, "0")
    assert not out.exists() and list(tmp_path.iterdir()) == []


@needs("sorvanel")
def test_link_that_cannot_be_downloaded_is_a_failure(tmp_path):
    done = cli("generate", "x [[fault:broken-link]]", "--out", str(tmp_path / "p.png"))
    assert done.returncode == 1
    assert summary(done.stdout)[1] == "OK"  # the client reports success with the link text
    assert b"could not be downloaded: http://127.0.0.1:" in done.stderr


@needs("tovarin")
def test_verbose_shows_records_with_the_token_redacted(emulator):
    token = "sk-live-9f8e7d6c5b4a"
    done = cli("generate", f"leaked {token} here", "--client", "tovarin", "-v", "--base-url", emulator.base_url, "--api-key", token)
    assert done.returncode == 0, done.stderr
    log = done.stderr.decode()
    assert "GPT-IMAGE-2 request api" in log and "GPT-IMAGE-2 api complete" in log
    assert token not in log and "leaked [redacted] here" in log


@needs("sorvanel")
def test_quiet_run_writes_nothing_on_stderr():
    done = cli("generate", "calm")
    assert done.returncode == 0 and done.stderr == b""


@needs("sorvanel")
def test_spinner_runs_only_on_a_terminal():
    master, slave = pty.openpty()
    try:
        done = cli("generate", "calm [[delay:0.3]]", stderr=slave)
        os.close(slave)
        drawn = b""
        while True:
            try:
                chunk = os.read(master, 4096)
            except OSError:  # the terminal has no writer left
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(master)
    assert done.returncode == 0
    assert b"sorvanel: generating" in drawn and drawn.endswith(b"\r\x1b[K")


@needs("sorvanel", "tovarin")
def test_demo_writes_pictures_and_index(tmp_path):
    done = cli("demo", "--out-dir", str(tmp_path))
    assert done.returncode == 0, done.stderr
    names = ["sorvanel-plain", "tovarin-plain", "sorvanel-edit", "tovarin-edit"]
    index = (tmp_path / "index.html").read_text()
    for name in names:
        assert png((tmp_path / f"{name}.png").read_bytes()).size[0] > 0
        assert f'src="{name}.png"' in index
    assert "A lighthouse on a cliff at dusk" in index


@needs("sorvanel")
def test_console_script_is_installed(tmp_path):
    script = Path(sys.executable).parent / "corvessa-image"
    done = subprocess.run([script, "generate", "via script", "--out", tmp_path / "s.png"], capture_output=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert png((tmp_path / "s.png").read_bytes()).text["prompt"] == "via script"


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        (["generate"], b"", b"required: prompt"),
        (["generate", "x", "--client", "other"], b"", b"invalid choice"),
        (["generate", "x", "--quality", "high"], b"", b"--quality applies to --client tovarin only"),
        (["generate", "x", "--ref", "no/such/file.png"], b"", b"no such file"),
        (["generate", "x", "--ref", "-"], b"", b"nothing was read from stdin"),
        (["generate", "x", "--ref", "-", "--ref", "-"], b"\x89PNG", b"only once"),
        (["generate", "x", "--timeout", "0"], b"", b"above zero"),
        (["generate", "x", "--base-url", "http://127.0.0.1:9"], b"", b"needs --api-key"),
        ([], b"", b"usage:"),
    ],
)
def test_usage_errors_exit_2(args, stdin, message):
    done = cli(*args, stdin=stdin)
    assert done.returncode == 2
    assert message in done.stderr and done.stdout == b""
