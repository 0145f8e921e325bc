"""corvessa-image checks before it sends, and never replaces or loses a picture's destination.

Special files (FIFOs, symlinks, a device node) are made inside the test's own folder only.
"""

from __future__ import annotations

import os
import pty
import shutil
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

from doubles import Answer, b64, image_bytes
from emulator.conftest import open_png

from .conftest import EMULATOR_NOTE, against, cli

CAP = 20 * 1024 * 1024  # the tool's limit per reference
ROOT = os.geteuid() == 0
IMAGES_PATH = "/v1/images/generations"
PICTURE = Answer.of_json({"data": [{"b64_json": b64(image_bytes())}]})
OTHER, FOLDER_OWNER = 40001, 40002  # uids of nobody on the machine: a neighbour, a shared folder's owner


def umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def fifo(path: Path) -> Path:
    os.mkfifo(path)
    return path


def symlink_to(path: Path, target: Path) -> Path:
    path.symlink_to(target)
    return path


def sized(path: Path, size: int) -> Path:
    path.write_bytes(b"")
    os.truncate(path, size)  # sparse: no disk is spent on it
    return path


def unreadable(path: Path) -> Path:
    path.write_bytes(image_bytes())
    path.chmod(0)
    return path


def device(path: Path) -> Path:
    os.mknod(path, stat.S_IFCHR | 0o600, os.makedev(1, 3))  # a character device node in tmp_path
    return path


NOT_ROOT = pytest.mark.skipif(ROOT, reason="root reads any file")
AS_ROOT = pytest.mark.skipif(not ROOT, reason="only root makes device nodes")

BAD_INPUT: list[object] = [
    ("sorvanel", lambda t: ["--", " "], "the prompt is empty"),
    ("tovarin", lambda t: ["--", "a \udcff b"], "the prompt is not valid text at character 3"),
    ("sorvanel", lambda t: ["--ref", str(t / "missing.png")], "missing.png: no such file"),
    ("sorvanel", lambda t: ["--ref", str(t)], "is a folder"),
    ("sorvanel", lambda t: ["--ref", str(fifo(t / "pipe"))], "pipe: not a regular file"),
    ("tovarin", lambda t: ["--ref", str(sized(t / "empty.png", 0))], "empty.png: empty"),
    ("tovarin", lambda t: ["--ref", str(sized(t / "huge.png", CAP + 1))], "huge.png: larger than 20 MiB"),
    ("sorvanel", lambda t: ["--ref", "HTTP://127.0.0.1:9/a.png"], "write the scheme in lower case (http://)"),
    ("tovarin", lambda t: ["--ref", "-"], "- (stdin): empty"),
    ("tovarin", lambda t: ["--ref", "-", "--ref", "-"], "--ref - may be given only once"),
    ("sorvanel", lambda t: ["--out", str(t / "nodir" / "x.png")], "nodir does not exist"),
    ("sorvanel", lambda t: ["--out", str(t)], "is a folder"),
    ("sorvanel", lambda t: ["--out", str(fifo(t / "pipe"))], "is not a regular file"),
    ("sorvanel", lambda t: ["--out", str(symlink_to(t / "link", fifo(t / "pipe")))], "is not a regular file"),
    ("sorvanel", lambda t: ["--ratio", "7:5"], "--ratio 7:5: sorvanel takes"),
    ("sorvanel", lambda t: ["--size", "2k"], "the sorvanel client spells it 2K"),
    ("sorvanel", lambda t: ["--model", "gpt-image-2"], "--model gpt-image-2: sorvanel takes"),
    ("sorvanel", lambda t: ["--quality", "high"], "--quality applies to --client tovarin only"),
    ("tovarin", lambda t: ["--size", "2K", "--ratio", "1:1"], "the tovarin client spells it 2k"),
    ("tovarin", lambda t: ["--size", "2k"], "uses the size only together with a ratio"),
    ("tovarin", lambda t: ["--ratio", "3x2"], "--ratio 3x2: tovarin takes W:H"),
    ("tovarin", lambda t: ["--quality", "best"], "--quality best: tovarin takes"),
    ("tovarin", lambda t: ["--json", "--out", "-"], "both want stdout"),
    ("tovarin", lambda t: ["--timeout", "0"], "above zero"),
    ("tovarin", lambda t: ["--api-key", "k\n"], "--api-key: only printable ASCII"),
    pytest.param("sorvanel", lambda t: ["--ref", str(unreadable(t / "locked.png"))], "cannot open it", marks=NOT_ROOT),
    pytest.param("sorvanel", lambda t: ["--out", str(device(t / "null"))], "is not a regular file", marks=AS_ROOT),
]


@pytest.mark.parametrize(("client", "args", "message"), BAD_INPUT)
def test_bad_input_is_refused_before_anything_is_sent(tmp_path, loopback, client, args, message):
    folder = tmp_path / "given"
    folder.mkdir()
    given = args(folder)
    if "--" not in given:  # the cases about the prompt end with their own
        given += ["--", "x"]
    before = sorted((p.name, p.lstat().st_mode) for p in folder.iterdir())
    done = cli("generate", *against(loopback.url, client), *given, cwd=tmp_path)
    assert done.returncode == 2
    assert done.stdout == b"" and message in done.stderr.decode() and done.stderr.count(b"\n") == 1
    assert loopback.received == []
    assert sorted((p.name, p.lstat().st_mode) for p in folder.iterdir()) == before  # nothing replaced


def test_endless_stdin_reference_is_cut_at_the_cap(tmp_path, loopback):
    with subprocess.Popen(["yes"], stdout=subprocess.PIPE) as endless:
        try:
            done = cli("generate", "x", *against(loopback.url), "--ref", "-", stdin=endless.stdout, cwd=tmp_path)
        finally:
            endless.kill()
    assert done.returncode == 2 and b"larger than 20 MiB" in done.stderr
    assert loopback.received == []


@pytest.mark.parametrize("kind", ["file", "symlink", "dangling symlink", "stdout"])
def test_out_writes_only_where_it_may(tmp_path, kind):
    real = tmp_path / "real.png"
    if kind != "dangling symlink":
        real.write_bytes(b"old")
        real.chmod(0o640)
    given = {"file": real, "stdout": "-"}.get(kind) or symlink_to(tmp_path / "link.png", real)
    done = cli("generate", "a kept picture", "--out", str(given))
    assert done.returncode == 0, done.stderr
    assert done.stderr == EMULATOR_NOTE
    if kind == "stdout":
        assert open_png(done.stdout).text["prompt"] == "a kept picture" and real.read_bytes() == b"old"
        assert done.stdout.endswith(b"IEND\xaeB`\x82")  # the picture's last chunk ends stdout
        return
    assert done.stdout.decode() == f"{given}\n"
    assert open_png(real.read_bytes()).text["prompt"] == "a kept picture"
    assert stat.S_IMODE(real.stat().st_mode) == (0o640 if kind != "dangling symlink" else 0o666 & ~umask())
    assert os.path.islink(given) == ("symlink" in kind)
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted({"real.png", Path(given).name})


def test_without_out_every_picture_gets_a_new_file(tmp_path):
    env = {"SOURCE_DATE_EPOCH": "1800000000"}  # both runs get the same timestamp in their names
    first = cli("generate", "A red fox!", cwd=tmp_path, env=env)
    assert first.returncode == 0 and first.stderr == EMULATOR_NOTE
    kept = tmp_path / first.stdout.decode().strip()
    kept.write_bytes(b"mine")
    second = cli("generate", "A red fox!", cwd=tmp_path, env=env)
    assert second.returncode == 0 and second.stderr == EMULATOR_NOTE
    made = tmp_path / second.stdout.decode().strip()
    assert made != kept and kept.read_bytes() == b"mine"
    assert made.name.startswith("a-red-fox-") and open_png(made.read_bytes()).text["prompt"] == "A red fox!"
    assert sorted(tmp_path.iterdir()) == sorted([kept, made])


@pytest.mark.parametrize(
    "value",
    ["\u00b2", "1" + "0" * 17, "1" + "0" * 19, "9" * 5000, "soon"],
    ids=["superscript two", "1e17", "1e19", "5000 digits", "a word"],
)
def test_source_date_epoch_is_checked_before_anything_is_sent(tmp_path, loopback, value):
    done = cli("generate", "x", *against(loopback.url), env={"SOURCE_DATE_EPOCH": value}, cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.startswith(b"corvessa-image: SOURCE_DATE_EPOCH=")
    assert done.stderr.count(b"\n") == 1 and loopback.received == [] and list(tmp_path.iterdir()) == []


def test_picture_bytes_never_go_to_a_terminal(tmp_path, loopback):
    master, slave = pty.openpty()
    try:
        done = cli("generate", "x", *against(loopback.url), "--out", "-", stdout=slave, cwd=tmp_path)
    finally:
        os.close(slave)
        os.close(master)
    assert done.returncode == 2 and b"stdout is a terminal" in done.stderr
    assert b"redirect it or use --out FILE" in done.stderr and done.stderr.count(b"\n") == 1
    assert loopback.received == []


@pytest.mark.parametrize(
    ("option", "where", "hint"),
    [
        ("--ref", "home/fox.png", True),
        ("--out", "home/fox.png", True),
        ("--ref", "checkout/fox.png", False),  # visible inside: plainly missing
    ],
)
def test_a_path_the_toolchain_cannot_see_is_refused_with_the_reason(tmp_path, loopback, option, where, hint):
    checkout = tmp_path / "checkout"
    checkout.mkdir()
    visible = f"{checkout}:{tmp_path / 'caller'}"  # the toolchain's /tmp would hold tmp_path
    given = [option, str(tmp_path / where)]
    done = cli("generate", "x", *against(loopback.url), *given, env={"CORVESSA_TOOLCHAIN_PATHS": visible}, cwd=checkout)
    assert done.returncode == 2 and done.stderr.count(b"\n") == 1 and loopback.received == []
    reason = f"inside the toolchain only {checkout}, {tmp_path / 'caller'} are visible"
    assert (reason in done.stderr.decode()) == hint


def notes_file(path: Path, owner: int = 0) -> Path:
    """A private file of the owner's that a planted link points to."""
    path.write_bytes(b"mine")
    path.chmod(0o600)
    os.chown(path, owner, owner)
    return path


def shared_folder(path: Path, owner: int) -> Path:
    """A sticky, world-writable folder such as /tmp, owned by owner."""
    path.mkdir()
    path.chmod(0o1777)
    os.chown(path, owner, owner)
    return path


def planted_link(path: Path, target: Path, owner: int) -> None:
    path.symlink_to(target)
    os.lchown(path, owner, owner)


@pytest.mark.skipif(not ROOT, reason="only root gives a link to another uid")
@pytest.mark.parametrize(
    ("link_owner", "folder_owner", "dangling", "refusal"),
    [
        pytest.param(OTHER, 0, False, f"is a link of another user (uid {OTHER})", id="neighbour's link"),
        pytest.param(OTHER, 0, True, f"is a link of another user (uid {OTHER})", id="neighbour's dangling link"),
        pytest.param(0, 0, True, "is a dangling link in the shared folder", id="own dangling link"),
        pytest.param(0, FOLDER_OWNER, False, None, id="own link"),
        pytest.param(FOLDER_OWNER, FOLDER_OWNER, False, None, id="folder owner's link"),
    ],
)
def test_links_in_a_shared_folder_are_followed_as_the_kernel_would(
    tmp_path, loopback, link_owner, folder_owner, dangling, refusal
):
    notes = tmp_path / "notes.txt" if dangling else notes_file(tmp_path / "notes.txt")
    out = shared_folder(tmp_path / "shared", folder_owner) / "pic.png"
    planted_link(out, notes, link_owner)
    loopback.routes[IMAGES_PATH] = lambda _request: PICTURE
    done = cli("generate", "x", *against(loopback.url), "--out", str(out), cwd=tmp_path)
    if refusal is None:
        assert done.returncode == 0, done.stderr
        assert open_png(notes.read_bytes()) and stat.S_IMODE(notes.stat().st_mode) == 0o600
        return
    assert done.returncode == 2 and refusal in done.stderr.decode() and done.stderr.count(b"\n") == 1
    assert loopback.received == [] and out.is_symlink()
    assert notes.read_bytes() == b"mine" if not dangling else not notes.exists()


@pytest.mark.skipif(not ROOT or shutil.which("setpriv") is None, reason="only root runs the tool as a second user")
@pytest.mark.parametrize(("link_owner", "refused"), [(FOLDER_OWNER, True), (OTHER, False)], ids=["neighbour", "own"])
def test_a_second_user_meets_the_kernels_rule(loopback, link_owner, refused):
    # A user's own folder and a shared sticky one, as /home/user and /tmp: outside pytest's
    # folder, which only root may enter.
    with tempfile.TemporaryDirectory() as top:
        Path(top).chmod(0o755)
        home = Path(top) / "home"
        home.mkdir()
        os.chown(home, OTHER, OTHER)
        notes = notes_file(home / "notes.txt", OTHER)
        out = shared_folder(Path(top) / "tmp", 0) / "pic.png"
        planted_link(out, notes, link_owner)
        loopback.routes[IMAGES_PATH] = lambda _request: PICTURE
        done = cli("generate", "x", *against(loopback.url), "--out", str(out), cwd=home, user=OTHER)
        assert done.returncode == (2 if refused else 0), done.stderr
        if refused:
            assert notes.read_bytes() == b"mine" and loopback.received == []
        else:
            assert open_png(notes.read_bytes())


@pytest.mark.skipif(not ROOT, reason="only root gives a link to another uid")
def test_a_link_planted_during_the_request_is_not_followed_and_the_picture_is_kept(tmp_path, loopback):
    notes = notes_file(tmp_path / "notes.txt")
    out = shared_folder(tmp_path / "shared", 0) / "pic.png"
    here = tmp_path / "here"
    here.mkdir()

    def plant_then_answer(_request: object) -> Answer:
        planted_link(out, notes, OTHER)
        return PICTURE

    loopback.routes[IMAGES_PATH] = plant_then_answer
    done = cli("generate", "a kept fox", *against(loopback.url), "--out", str(out), cwd=here)
    assert done.returncode == 1 and notes.read_bytes() == b"mine" and out.is_symlink()
    said = done.stderr.decode()
    assert said.count("\n") == 1 and f"is a link of another user (uid {OTHER})" in said
    kept = here / said.rpartition("the picture is kept in ")[2].strip()
    assert kept.parent == here and open_png(kept.read_bytes()) and done.stdout.decode() == f"{kept.name}\n"
