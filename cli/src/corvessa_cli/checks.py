"""Everything checked before a request is sent, so that nobody pays for a typo.

The clients themselves skip a reference they cannot read without a word and send the request
anyway, and the images client drops a size that comes without a ratio: the tool refuses both
here, with a line that says what to change.
"""

from __future__ import annotations

import os
import re
import stat
from typing import BinaryIO

from .naming import fixed_seconds

REF_CAP = 20 * 1024 * 1024  # bytes per reference picture
_LINK_PREFIXES = ("http://", "https://")
_TOVARIN_RATIO = re.compile(r"[1-9][0-9]*:[1-9][0-9]*")
_SIZES = {"sorvanel": ("1K", "2K", "4K"), "tovarin": ("1k", "2k", "4k")}
_QUALITIES = ("low", "medium", "high", "auto")
_PRINTABLE_ASCII = re.compile(r"[!-~]+")


class UsageError(Exception):
    """Bad input or usage; reported on one line with exit status 2, before anything is sent."""


def unseen_in_toolchain(path: str) -> str:
    """Why a path that does not exist may yet exist on the host: inside the toolchain
    (tools/sysroot run) only the folders in CORVESSA_TOOLCHAIN_PATHS are visible. "" when the
    tool does not run there or the path lies inside one of them."""
    visible = [folder for folder in os.environ.get("CORVESSA_TOOLCHAIN_PATHS", "").split(":") if folder]
    if not visible:
        return ""
    absolute = os.path.abspath(path)
    if any(os.path.commonpath([absolute, os.path.abspath(folder)]) == os.path.abspath(folder) for folder in visible):
        return ""
    return f"; inside the toolchain only {', '.join(visible)} are visible (run from a folder that holds it)"


def _read_capped(stream: BinaryIO, name: str) -> bytes:
    """At most REF_CAP bytes; one byte more proves the source is too large, without reading on."""
    data = stream.read(REF_CAP + 1)
    if len(data) > REF_CAP:
        raise UsageError(f"--ref {name}: larger than {REF_CAP // (1024 * 1024)} MiB")
    if not data:
        raise UsageError(f"--ref {name}: empty")
    return data


def _must_be_regular(mode: int, path: str) -> None:
    if not stat.S_ISREG(mode):
        kind = "is a folder, not a picture" if stat.S_ISDIR(mode) else "not a regular file"
        raise UsageError(f"--ref {path}: {kind}")


def _read_file(path: str) -> bytes:
    # A device or FIFO is refused before it is opened (opening one can act on it); O_NONBLOCK
    # and the second test cover one swapped in between.
    try:
        _must_be_regular(os.stat(path).st_mode, path)
        fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)
    except FileNotFoundError:
        raise UsageError(f"--ref {path}: no such file{unseen_in_toolchain(path)}") from None
    except OSError as err:
        raise UsageError(f"--ref {path}: cannot open it ({err.strerror})") from None
    try:
        _must_be_regular(os.fstat(fd).st_mode, path)
    except UsageError:
        os.close(fd)
        raise
    with os.fdopen(fd, "rb") as file:
        try:
            return _read_capped(file, path)
        except OSError as err:
            raise UsageError(f"--ref {path}: cannot read it ({err.strerror})") from None


def _download(link: str) -> bytes:
    """The picture behind a link, fetched the way the clients fetch it; they would skip a link
    that gives nothing and make the picture without it."""
    from ferrimo import ImageTool

    try:
        body = ImageTool.get_img_url_io(link)
    except Exception as err:
        raise UsageError(f"--ref {link}: cannot download it ({type(err).__name__})") from None
    data = body.getvalue() if body else b""
    if not data:
        raise UsageError(f"--ref {link}: the link gave no picture")
    if len(data) > REF_CAP:
        raise UsageError(f"--ref {link}: larger than {REF_CAP // (1024 * 1024)} MiB")
    return data


def references(values: list[str], stdin: BinaryIO) -> list[bytes]:
    """The bytes of every --ref, in order."""
    if values.count("-") > 1:
        raise UsageError("--ref - may be given only once")
    return [_reference(value, stdin) for value in values]


def _reference(value: str, stdin: BinaryIO) -> bytes:
    """The bytes of one --ref: a path, a link or - for stdin."""
    if value == "-":
        return _read_capped(stdin, "- (stdin)")
    if value.startswith(_LINK_PREFIXES):
        return _download(value)
    scheme, sep, _ = value.partition("://")
    if sep and scheme.lower() in ("http", "https"):
        raise UsageError(
            f"--ref {value}: write the scheme in lower case ({scheme.lower()}://); "
            "the clients take anything else for a file name"
        )
    return _read_file(value)


def _size(client: str, size: str | None) -> None:
    allowed = _SIZES[client]
    if size is None or size in allowed:
        return
    hint = f" (the {client} client spells it {size.swapcase()})" if size.swapcase() in allowed else ""
    raise UsageError(f"--size {size}: {client} takes {', '.join(allowed)}{hint}")


def _sorvanel_options(ratio: str | None, model: str | None, quality: str | None) -> None:
    from corvessa.config import _SUPPORTED_MODELS, _SUPPORTED_RATIOS

    if quality is not None:
        raise UsageError("--quality applies to --client tovarin only")
    if ratio is not None and ratio not in _SUPPORTED_RATIOS:
        raise UsageError(f"--ratio {ratio}: sorvanel takes {', '.join(sorted(_SUPPORTED_RATIOS))}")
    if model is not None and model not in _SUPPORTED_MODELS:
        raise UsageError(f"--model {model}: sorvanel takes {', '.join(sorted(_SUPPORTED_MODELS))}")


def _tovarin_options(ratio: str | None, size: str | None, quality: str | None) -> None:
    if ratio is not None and ratio != "auto" and not _TOVARIN_RATIO.fullmatch(ratio):
        raise UsageError(f"--ratio {ratio}: tovarin takes W:H in whole numbers (such as 3:2) or auto")
    if size is not None and ratio in (None, "auto"):
        raise UsageError(
            "--size needs --ratio W:H with --client tovarin: the images client uses the size only together with a ratio"
        )
    if quality is not None and quality not in _QUALITIES:
        raise UsageError(f"--quality {quality}: tovarin takes {', '.join(_QUALITIES)}")


def options(client: str, ratio: str | None, size: str | None, quality: str | None, model: str | None) -> None:
    """Ratio, size, quality and model as the chosen client takes them."""
    _size(client, size)
    if client == "sorvanel":
        _sorvanel_options(ratio, model, quality)
    else:
        _tovarin_options(ratio, size, quality)


def prompt(text: str) -> None:
    """Words to send: not blank, and text that UTF-8 can carry (bytes the shell could not decode
    arrive as lone surrogates)."""
    if not text.strip():
        raise UsageError("the prompt is empty; say what to draw")
    try:
        text.encode("utf-8")
    except UnicodeEncodeError as err:
        raise UsageError(
            f"the prompt is not valid text at character {err.start + 1} (check the terminal's encoding)"
        ) from None


def source_date_epoch() -> None:
    """SOURCE_DATE_EPOCH, when set, is a time the picture's name can show."""
    try:
        fixed_seconds()
    except ValueError as err:
        value = os.environ["SOURCE_DATE_EPOCH"]
        shown = value if len(value) <= 24 else f"{value[:20]}... ({len(value)} characters)"
        raise UsageError(f"SOURCE_DATE_EPOCH={shown}: {err}; unset it or give seconds since 1970") from None


def service(base_url: str | None, api_key: str | None) -> None:
    """The address and the token; the message never shows the token."""
    if api_key is not None and not _PRINTABLE_ASCII.fullmatch(api_key):
        raise UsageError(
            "--api-key: only printable ASCII without blanks can travel in the Authorization "
            "header (check for a line break, a blank or a character pasted from a web page)"
        )
    if base_url is None:
        return
    if not base_url.startswith(_LINK_PREFIXES):
        raise UsageError(f"--base-url {base_url}: must start with http:// or https://")
    if not api_key:
        raise UsageError("--base-url needs --api-key (or CORVESSA_API_KEY)")
