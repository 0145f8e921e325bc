"""corvessa-image end to end: pictures, failures and their exit codes, what it prints, -v, spinner."""

from __future__ import annotations

import json
import os
import pty
import subprocess
import sys
from pathlib import Path

import pytest

from clients.kinds import NAMES
from doubles import Answer, Received, image_bytes
from emulator.conftest import mean_rgb, open_png, post_images

from .conftest import EMULATOR_NOTE, against, cli, tool_env

GEMINI_PATH = "/v1beta/models/gemini-3-pro-image-preview:generateContent"
API_PATHS = {"sorvanel": GEMINI_PATH, "tovarin": "/v1/images/generations"}
DEFAULT_MODELS = {"sorvanel": "gemini-3-pro-image-preview", "tovarin": "gpt-image-2"}


def report(done: subprocess.CompletedProcess[bytes]) -> dict[str, object]:
    """The one JSON object of --json: the whole of stdout."""
    fields = json.loads(done.stdout)
    assert isinstance(fields, dict)
    return fields


@pytest.mark.parametrize(
    ("client", "options", "expected"),
    [
        ("sorvanel", [], (683, 1024)),  # the client's defaults, 2:3 at 1K
        ("sorvanel", ["--ratio", "16:9", "--size", "2K", "--model", "gemini-2.5-flash-image"], (2048, 1152)),
        ("tovarin", [], (1024, 1024)),
        ("tovarin", ["--ratio", "2:3", "--size", "1k", "--quality", "high"], (688, 1024)),
    ],
)
def test_generate_writes_the_requested_picture(tmp_path, client, options, expected):
    out = tmp_path / "picture.png"
    prompt = f"a harbour at noon, {client} {' '.join(options)}"
    done = cli("generate", prompt, "--client", client, *options, "--out", str(out), "--json")
    assert done.returncode == 0, done.stderr
    assert done.stderr == EMULATOR_NOTE
    fields = report(done)
    model = options[options.index("--model") + 1] if "--model" in options else DEFAULT_MODELS[client]
    said = {"client": client, "model": model, "service": "emulator", "code": "OK", "message": None, "output": str(out)}
    assert {k: fields[k] for k in said} == said
    picture = open_png(out.read_bytes())
    assert (fields["bytes"], fields["width"], fields["height"]) == (out.stat().st_size, *expected)
    assert picture.size == expected and picture.text["prompt"] == prompt
    assert isinstance(fields["seconds"], float) and fields["seconds"] > 0


@pytest.mark.parametrize("client", NAMES)
def test_path_stdin_and_link_references_are_sent(tmp_path, emulator, client):
    red, out = tmp_path / "red.png", tmp_path / "edited.png"
    red.write_bytes(image_bytes(colour=(255, 0, 0)))
    args = ["--client", client, "--ratio", "1:1", "--ref", str(red), "--ref", "-", "--out", str(out)]
    done = cli("generate", "paint over", *args, stdin=image_bytes(colour=(0, 0, 255)))
    assert done.returncode == 0, done.stderr
    picture = open_png(out.read_bytes())
    w, h = picture.size
    left, right = mean_rgb(picture, (0, 0, w // 2, h * 3 // 4)), mean_rgb(picture, (w // 2, 0, w, h * 3 // 4))
    assert left[0] > right[0] + 60 and right[2] > left[2] + 60  # red ref on the left, blue on the right

    fields = {"prompt": "green ref", "size": "64x64", "response_format": "url"}
    link = post_images(emulator, "generations", json=fields).json()["data"][0]["url"]
    env = {"CORVESSA_BASE_URL": emulator.base_url, "CORVESSA_API_KEY": "env-token"}
    plain, edited = tmp_path / "plain.png", tmp_path / "linked.png"
    assert cli("generate", "with a link", "--client", client, "--out", str(plain), env=env).returncode == 0
    done = cli("generate", "with a link", "--client", client, "--ref", link, "--out", str(edited), env=env)
    assert done.returncode == 0, done.stderr
    assert edited.read_bytes() != plain.read_bytes()  # the link was downloaded and used


@pytest.mark.parametrize(
    ("client", "prompt", "options", "code"),
    [
        ("sorvanel", "x [[fault:429]]", [], "SERVICE_BUSY"),
        ("tovarin", "x [[fault:429]]", [], "IMAGE_GENERATE_FAIL"),  # the images client's 429
        ("sorvanel", "x [[fault:500]]", [], "IMAGE_GENERATE_FAIL"),
        ("sorvanel", "x [[fault:safety]]", [], "NO_IMAGE_RESULT"),
        ("sorvanel", "x [[delay:5]]", ["--timeout", "0.5"], "SERVICE_TIMEOUT"),
        ("tovarin", "x [[fault:not-json]]", [], "SERVICE_BUSY"),
        ("tovarin", "x [[fault:broken-link]]", [], "NO_IMAGE_RESULT"),
    ],
)
def test_failures_exit_1_with_one_line_and_no_file(tmp_path, client, prompt, options, code):
    done = cli("generate", prompt, "--client", client, *options, "--json", cwd=tmp_path)
    assert done.returncode == 1
    fields = report(done)
    assert fields["code"] == code and fields["output"] is None and fields["bytes"] == 0
    note, line = done.stderr.decode().split("\n", 1)  # the emulator answered: the note comes first
    assert f"{note}\n".encode() == EMULATOR_NOTE
    assert line.count("\n") == 1 and line.startswith(f"corvessa-image: {code}") and fields["message"] in line
    assert list(tmp_path.iterdir()) == []


def test_link_that_cannot_be_downloaded_is_a_failure(tmp_path):
    done = cli("generate", "x [[fault:broken-link]]", cwd=tmp_path)
    assert done.returncode == 1 and done.stdout == b""
    assert b"link could not be downloaded: http://127.0.0.1:" in done.stderr
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("client", NAMES)
def test_what_the_server_says_is_printed_safely(tmp_path, loopback, client):
    # The token is "k": redacted where it stands alone, never inside "task_id" or "key".
    echoed = "key k refused for task_id \x1b]0;owned\x07\x9b2J \ud800 Bearer k"
    loopback.routes[API_PATHS[client]] = lambda _request: Answer.of_json({"error": {"message": echoed}}, 400)
    with_password = loopback.url.replace("//", "//someone:pass-word@")
    done = cli("generate", "x", *against(with_password, client), "--json", "-v", cwd=tmp_path)
    assert done.returncode == 1
    fields = report(done)
    assert fields["service"] == loopback.url and b"pass-word" not in done.stdout + done.stderr
    assert fields["message"].startswith("IMAGE_GENERATE_FAIL: key [redacted] refused for task_id \x1b]0;owned")
    said = done.stderr.decode()
    assert "key [redacted] refused for task_id \\x1b]0;owned\\x07\\x9b2J \\ud800 Bearer [redacted]" in said
    assert "task_id=" in said and "tas[redacted]" not in said
    assert not any(0x80 <= ord(c) < 0xA0 or (ord(c) < 0x20 and c != "\n") or ord(c) == 0x7F for c in said)


def test_an_echoed_token_is_redacted_in_every_escaped_form(tmp_path, loopback):
    token = "sk-\"q\\uo'te/9f8e"  # printable ASCII, so accepted: both quotes, a backslash, a slash

    def echo(request: Received) -> Answer:
        said = request.headers["Authorization"]
        return Answer.of_json({"error": {"message": f"bad token {said.removeprefix('Bearer ')}", "code": said}}, 401)

    loopback.routes[API_PATHS["tovarin"]] = echo
    done = cli("generate", "x", *against(loopback.url, key=token), "--json", "-vv", cwd=tmp_path)
    assert done.returncode == 1 and report(done)["message"].startswith("IMAGE_GENERATE_FAIL: bad token [redacted]")
    said = (done.stdout + done.stderr).decode()
    assert "error_dict=" in said and 'msg="bad token [redacted]"' in said  # a record's repr, the JSON summary
    json_form, str_repr, bytes_repr = json.dumps(token)[1:-1], repr(token)[1:-1], repr(token.encode())[2:-1]
    for form in (token, json_form, str_repr, bytes_repr, json.dumps(json_form)[1:-1], repr(json_form)[1:-1]):
        assert form not in said


@pytest.mark.parametrize("verbose", [[], ["-v"], ["-vv"]])
@pytest.mark.parametrize("client", NAMES)
def test_unreachable_service_exits_3(tmp_path, closed_port_url, client, verbose):
    done = cli("generate", "x", *against(closed_port_url, client), *verbose, cwd=tmp_path)
    assert done.returncode == 3 and done.stdout == b""
    last = done.stderr.decode().splitlines()[-1]
    assert last == f"corvessa-image: cannot reach {closed_port_url}: check --base-url and that the service is up"
    assert (b"Traceback" in done.stderr) == (verbose == ["-vv"])


def test_verbose_shows_records_with_the_token_redacted(emulator):
    token = "sk-live-9f8e7d6c5b4a"
    done = cli("generate", f"leaked {token} here", *against(emulator.base_url, key=token), "-v", "--out", "-")
    assert done.returncode == 0, done.stderr
    log = done.stderr.decode()
    assert "GPT-IMAGE-2 request api" in log and "code=OK" in log
    assert token not in log and "leaked [redacted] here" in log


def test_spinner_runs_only_on_a_terminal(tmp_path):
    master, slave = pty.openpty()
    try:
        done = cli("generate", "calm [[delay:0.3]]", stderr=slave, cwd=tmp_path)
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
    assert b"sorvanel: generating" in drawn and drawn.endswith(b"\r\x1b[K" + EMULATOR_NOTE.replace(b"\n", b"\r\n"))


def test_missing_host_module_says_how_to_install_it(tmp_path):
    hide = "import sys; sys.modules['dolvex'] = None; from corvessa_cli.main import main; sys.exit(main())"
    done = subprocess.run(
        [sys.executable, "-c", hide, "generate", "x"], capture_output=True, cwd=tmp_path, env=tool_env(), timeout=60
    )
    assert done.returncode == 2 and done.stdout == b""
    assert b"dolvex" in done.stderr and b"pip install ./contracts" in done.stderr
    assert done.stderr.count(b"\n") == 1


def test_version_and_exit_codes_in_help():
    script = Path(sys.executable).parent / "corvessa-image"
    shown = subprocess.run([script, "--version"], capture_output=True, env=tool_env(), timeout=60)
    assert shown.returncode == 0 and shown.stdout.decode().split() == ["corvessa-image", "0.1.0"]
    helped = cli("generate", "--help", env={"COLUMNS": "100", "NO_COLOR": "1"})
    assert helped.returncode == 0
    text = helped.stdout.decode()
    for status in (
        "0  the picture was written",
        "1  the service refused",
        "2  bad input",
        "3  the service could not be reached",
    ):
        assert status in text
    # The README shows it as it is.
    assert f"```text\n{text}```" in (Path(__file__).parents[2] / "README.md").read_text()
