"""Where the picture goes: checked before the request, written after it, never over a thing the
tool did not make.

- `--out -`: the bytes on stdout, and nothing else there.
- `--out PATH`: a regular file, written through a symlink, replaced atomically and keeping the
  mode (and, where allowed, the owner) of the file it replaces. A folder, a FIFO, a device or a
  socket is refused, before the request and again just before the replace.
- no `--out`: a new file in the current folder, named from the prompt and a timestamp, created
  exclusively so that no existing file is touched.
"""

from __future__ import annotations

import os
import stat
import sys
import tempfile
from dataclasses import dataclass

from .checks import UsageError
from .naming import picture_name

STDOUT = "-"


@dataclass(frozen=True)
class Target:
    given: str | None  # the --out value; None: a new file in the current folder
    real: str | None = None  # the file written, symlinks followed


def _refusal(real: str) -> str | None:
    """Why the file at `real` must not be replaced, or None."""
    try:
        mode = os.stat(real).st_mode
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
        return f"the folder {folder} does not exist"
    if not os.access(folder, os.W_OK | os.X_OK):
        return f"cannot write in the folder {folder}"
    return None


def target(given: str | None) -> Target:
    """The checked destination of the picture; UsageError when it cannot be written."""
    if given == STDOUT:
        return Target(STDOUT)
    if given is None:
        if problem := _writable_folder(os.getcwd()):
            raise UsageError(f"no --out given and {problem}")
        return Target(None)
    if given.endswith(os.sep):
        raise UsageError(f"--out {given}: names a folder; name a file in it")
    real = os.path.realpath(given)
    problem = _refusal(real) or _writable_folder(os.path.dirname(real))
    if problem:
        raise UsageError(f"--out {given}: {problem}")
    return Target(given, real)


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask


def _keep_owner(fd: int, old: os.stat_result) -> None:
    try:
        os.fchown(fd, old.st_uid, old.st_gid)
    except PermissionError:
        pass  # only root may give a file away; the mode is kept all the same


def _replace(real: str, data: bytes) -> None:
    """Write via a temporary file in the same folder, so a failure leaves no partial picture."""
    try:
        old: os.stat_result | None = os.stat(real)
    except FileNotFoundError:
        old = None
    fd, tmp = tempfile.mkstemp(prefix=f".{os.path.basename(real)}.", dir=os.path.dirname(real))
    try:
        with os.fdopen(fd, "wb") as out:
            out.write(data)
            out.flush()
            os.fsync(fd)
            os.fchmod(fd, stat.S_IMODE(old.st_mode) if old else 0o666 & ~_umask())
            if old:
                _keep_owner(fd, old)
        if problem := _refusal(real):  # something else may have appeared there meanwhile
            raise OSError(f"{real} {problem}")
        os.replace(tmp, real)
    except BaseException:
        os.unlink(tmp)
        raise


def _create_new(prompt: str, data: bytes, folder: str = "") -> str:
    """A new file in folder (the current one by default); an existing one is never opened."""
    for attempt in range(1, 1000):
        name = os.path.join(folder, picture_name(prompt, data, attempt))
        try:
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o666)
        except FileExistsError:
            continue
        try:
            with os.fdopen(fd, "wb") as out:
                out.write(data)
        except BaseException:
            os.unlink(name)
            raise
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
    _replace(where.real, data)
    return str(where.given)


def keep_elsewhere(prompt: str, data: bytes) -> str:
    """After --out failed: the paid-for picture in a new file, here or in the temporary folder."""
    try:
        return _create_new(prompt, data)
    except OSError:
        return _create_new(prompt, data, tempfile.gettempdir())
