"""Where the picture goes: checked before the request, written after it, never over a thing the
tool did not make.

- `--out -`: the bytes on stdout, and nothing else there; refused when stdout is a terminal.
- `--out PATH`: a regular file, written through a symlink, replaced atomically and keeping the
  mode (and, where allowed, the owner) of the file it replaces. A folder, a FIFO, a device or a
  socket is refused, before the request and again just before the replace.
- no `--out`: a new file in the current folder, named from the prompt and a timestamp, created
  exclusively so that no existing file is touched.

Links are followed by the kernel's rule for shared folders (fs.protected_symlinks), applied
here because a path resolved first and renamed onto later never meets the kernel's check: in a
sticky, world-writable folder such as /tmp only a link of the user's own or of the folder's
owner is followed, and a dangling link there never creates a file.
"""

from __future__ import annotations

import os
import secrets
import stat
import sys
import tempfile
from collections.abc import Callable
from dataclasses import dataclass

from .checks import UsageError, unseen_in_toolchain
from .naming import extension, picture_name

STDOUT = "-"
_MAX_LINKS = 40  # as the kernel's limit on links followed in one path


class LinkRefused(OSError):
    """A link on the way to the picture's file that must not be followed."""


@dataclass(frozen=True)
class Target:
    given: str | None  # the --out value; None: a new file in the current folder
    real: str | None = None  # the file written, links followed by the rule above


def _shared(folder: os.stat_result) -> bool:
    """A sticky, world-writable folder, where others may plant links (/tmp)."""
    return bool(folder.st_mode & stat.S_ISVTX and folder.st_mode & stat.S_IWOTH)


def _check_link(owner: int, folder: str) -> bool:
    """Whether following a link of `owner` in `folder` needs its target to exist; LinkRefused
    when the folder is shared and the link belongs to neither the user nor the folder's owner."""
    where = os.stat(folder)
    if not _shared(where):
        return False
    if owner not in (os.geteuid(), where.st_uid):
        raise LinkRefused(f"is a link of another user (uid {owner}) in the shared folder {folder}; it is not followed")
    return True


def resolve(path: str) -> str:
    """The path with every link on it followed, as the kernel's rule for shared folders allows;
    the part from the first missing name on is kept as written."""
    done = os.getcwd() if not path.startswith(os.sep) else os.sep
    pending = [part for part in path.split(os.sep) if part not in ("", ".")]
    links, needs_target = 0, ""
    while pending:
        part = pending.pop(0)
        if part == "..":
            done = os.path.dirname(done)
            continue
        step = os.path.join(done, part)
        try:
            info = os.lstat(step)
        except OSError:
            done = os.path.join(step, *pending)
            break
        if not stat.S_ISLNK(info.st_mode):
            done = step
            continue
        links += 1
        if links > _MAX_LINKS:
            raise LinkRefused(f"leads through more than {_MAX_LINKS} links")
        if _check_link(info.st_uid, done):
            needs_target = done
        text = os.readlink(step)
        pending = [part for part in text.split(os.sep) if part not in ("", ".")] + pending
        if text.startswith(os.sep):
            done = os.sep
    if needs_target and not os.path.lexists(done):
        raise LinkRefused(f"is a dangling link in the shared folder {needs_target}; no file is created through it")
    return done


def _refusal(real: str) -> str | None:
    """Why the file at `real` (a path without links) must not be replaced, or None."""
    try:
        mode = os.lstat(real).st_mode
    except FileNotFoundError:
        return None
    except OSError as err:
        return f"cannot use it ({err.strerror})"
    if stat.S_ISDIR(mode):
        return "is a folder; name a file in it"
    if not stat.S_ISREG(mode):
        return "is not a regular file (a FIFO, a device or a socket); it is never replaced"
    if not os.access(real, os.W_OK):
        return "is not writable"
    return None


def _writable_folder(folder: str) -> str | None:
    if not os.path.isdir(folder):
        return f"the folder {folder} does not exist{unseen_in_toolchain(folder)}"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot write in the folder {folder}"
    return None


def target(given: str | None) -> Target:
    """The checked destination of the picture; UsageError when it cannot be written."""
    if given == STDOUT:
        if sys.stdout.isatty():
            raise UsageError(
                "--out -: stdout is a terminal, which would take the picture's bytes for "
                "commands; redirect it or use --out FILE"
            )
        return Target(STDOUT)
    if given is None:
        if problem := _writable_folder(os.getcwd()):
            raise UsageError(f"no --out given and {problem}")
        return Target(None)
    if given.endswith(os.sep):
        raise UsageError(f"--out {given}: names a folder; name a file in it")
    try:
        real = resolve(given)
    except LinkRefused as err:
        raise UsageError(f"--out {given}: {err}") from None
    problem = _refusal(real) or _writable_folder(os.path.dirname(real))
    if problem:
        raise UsageError(f"--out {given}: {problem}")
    return Target(given, real)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _settled_like(old: os.stat_result | None) -> Callable[[int], None]:
    """What makes a new file look like the one it replaces: its mode and, where allowed, its
    owner; the user's default mode when it replaces nothing."""

    def settle(fd: int) -> None:
        os.fchmod(fd, stat.S_IMODE(old.st_mode) if old else 0o666 & ~_umask())
        if old:
            try:
                os.fchown(fd, old.st_uid, old.st_gid)
            except PermissionError:
                pass  # only root may give a file away; the mode is kept all the same

    return settle


def open_folder(folder: str) -> int:
    """A descriptor of the folder, which must be the one a path without links names: the
    files are then made and renamed by name inside it, never through a link."""
    named = os.lstat(folder)
    fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    opened = os.fstat(fd)
    if not stat.S_ISDIR(named.st_mode) or (named.st_dev, named.st_ino) != (opened.st_dev, opened.st_ino):
        os.close(fd)
        raise LinkRefused(f"the folder {folder} was replaced meanwhile")
    return fd


def _replaceable(name: str, folder_fd: int) -> os.stat_result | None:
    """The file the picture replaces (None: there is none); OSError when something else is
    there now, such as a link planted while the request ran."""
    try:
        old = os.lstat(name, dir_fd=folder_fd)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(old.st_mode):
        raise LinkRefused(f"{name} is no longer a regular file; it is never replaced")
    return old


def write_new(
    name: str, data: bytes, folder_fd: int | None = None, settle: Callable[[int], None] | None = None
) -> None:
    """A new file, complete on disk when this returns: FileExistsError when the name is taken by
    anything, a link included. `settle` sets its mode or owner before the bytes are synced."""
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    fd = os.open(name, flags, 0o600 if settle else 0o666, dir_fd=folder_fd)
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            if settle:
                settle(out.fileno())
            os.fsync(out.fileno())
    except BaseException:
        os.unlink(name, dir_fd=folder_fd)
        raise


def _replace(where: Target, data: bytes) -> None:
    """Write a temporary file in the target's folder and rename it onto the target by name: a
    failure leaves no partial picture, and a link planted meanwhile is neither followed nor
    replaced."""
    assert where.given is not None and where.real is not None
    if (real := resolve(where.given)) != where.real:
        raise LinkRefused(f"{where.given} now leads to {real}, not to {where.real}")
    folder, name = os.path.split(real)
    folder_fd = open_folder(folder)
    try:
        tmp = f".{name}.{secrets.token_hex(6)}"
        write_new(tmp, data, folder_fd, settle=_settled_like(_replaceable(name, folder_fd)))
        try:
            _replaceable(name, folder_fd)  # again: the request took a while
            os.replace(tmp, name, src_dir_fd=folder_fd, dst_dir_fd=folder_fd)
        except BaseException:
            os.unlink(tmp, dir_fd=folder_fd)
            raise
    finally:
        os.close(folder_fd)


def _create_new(prompt: str, data: bytes, folder: str = "") -> str:
    """A new file in folder (the current one by default); an existing one is never opened."""
    for attempt in range(1, 1000):
        name = os.path.join(folder, picture_name(prompt, data, attempt))
        try:
            write_new(name, data)
        except FileExistsError:
            continue
        return name
    raise FileExistsError(f"no free name for {picture_name(prompt, data, 1)} in {folder or 'the current folder'}")


def write(where: Target, prompt: str, data: bytes) -> str:
    """Put the picture where it belongs; returns the path written ("-" for stdout)."""
    if where.given == STDOUT:
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return STDOUT
    if where.real is None:
        return _create_new(prompt, data)
    _replace(where, data)
    return str(where.given)


def _last_resort(data: bytes) -> str:
    """A new file in the temporary folder under a name that depends on nothing but the bytes."""
    fd, path = tempfile.mkstemp(prefix="corvessa-image-", suffix=extension(data))
    with os.fdopen(fd, "wb") as out:
        out.write(data)
    return path


def keep_elsewhere(prompt: str, data: bytes) -> str:
    """After --out failed: the paid-for picture in a new file, here or in the temporary folder;
    OSError only when neither can hold it."""
    attempts: tuple[Callable[[], str], ...] = (
        lambda: _create_new(prompt, data),
        lambda: _create_new(prompt, data, tempfile.gettempdir()),
        lambda: _last_resort(data),
    )
    problem: Exception | None = None
    for attempt in attempts:
        try:
            return attempt()
        except Exception as err:
            problem = err
    raise OSError(f"the picture could not be kept anywhere ({problem})")
