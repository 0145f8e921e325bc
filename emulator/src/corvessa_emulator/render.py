"""Deterministic pictures made from a prompt, optionally blended with reference images.

The same prompt (and seed) always yields the same picture: colours and shapes come from a
SHA-256 of the prompt. Every PNG carries the full prompt in a text chunk named "prompt" (a JPEG
in its comment), so a caller can tell which request a picture answers.
"""

from __future__ import annotations

import hashlib
import io
import math
import os
import threading
import warnings
from collections.abc import Sequence
from dataclasses import dataclass

from PIL import Image, ImageDraw, ImageFont, ImageOps, PngImagePlugin

from .errors import ApiError
from .faults import strip_tokens

_SKETCH_EDGE = 256  # the pattern is drawn small and scaled up: cheap even for 4096 px
_REFERENCE_WEIGHT = 0.55  # share of the reference images in an edited picture
_MAX_REFERENCE_PIXELS = 4096 * 4096
# A reference only ever fills a tile of the picture: kept this small, many of them cost little.
_REFERENCE_EDGE = 1024
_PADDING_CHUNK = b"cpAd"  # private, ancillary, safe-to-copy: decoders skip it
# Pictures rendered at once: each holds tens of megabytes at 4096 pixels.
_RENDER_SLOTS = threading.BoundedSemaphore(max(2, os.cpu_count() or 2))
# Pillow's format name and the media type of each output format.
FORMATS = {"png": ("PNG", "image/png"), "jpeg": ("JPEG", "image/jpeg"), "webp": ("WEBP", "image/webp")}


@dataclass(frozen=True)
class Output:
    """How a picture is encoded, and whether it is drawn small whatever size was asked."""

    format: str = "png"
    compression: int | None = None  # 0-100 for jpeg and webp: 100 keeps the most detail
    small_edge: int | None = None

    @property
    def media_type(self) -> str:
        return FORMATS[self.format][1]


# The default encoding: a PNG at the size asked for (frozen, so one instance serves every call).
PNG_OUTPUT = Output()


def size_for_ratio(ratio: str, long_edge: int) -> tuple[int, int]:
    """Width and height for a "W:H" ratio whose longer side is long_edge."""
    w, h = (int(v) for v in ratio.split(":"))
    if w >= h:
        return long_edge, max(1, round(long_edge * h / w))
    return max(1, round(long_edge * w / h)), long_edge


def decode_reference(data: bytes) -> Image.Image:
    """Open an uploaded image, refusing undecodable data and decompression bombs."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("error", Image.DecompressionBombWarning)
            image = Image.open(io.BytesIO(data))
            if image.width * image.height > _MAX_REFERENCE_PIXELS:
                raise ApiError(400, "Reference image is too large.")
            image.draft("RGB", (_REFERENCE_EDGE, _REFERENCE_EDGE))  # JPEG decodes at a reduced scale
            image.load()
    except ApiError:
        raise
    except (OSError, ValueError, SyntaxError, Image.DecompressionBombError, Image.DecompressionBombWarning):
        raise ApiError(400, "Unable to process input image: not a readable image file.") from None
    image.thumbnail((_REFERENCE_EDGE, _REFERENCE_EDGE))
    return image.convert("RGB")


def _colour(digest: bytes, at: int, alpha: int | None = None) -> tuple[int, ...]:
    rgb = tuple(digest[at : at + 3])
    return rgb if alpha is None else (*rgb, alpha)


def _sketch(digest: bytes, size: tuple[int, int]) -> Image.Image:
    """A small gradient with a few translucent shapes, all chosen by the digest."""
    scale = _SKETCH_EDGE / max(size)
    w, h = max(1, round(size[0] * scale)), max(1, round(size[1] * scale))
    mask = Image.linear_gradient("L").rotate(digest[0] * 360 / 256).resize((w, h))
    base = Image.composite(
        Image.new("RGB", (w, h), _colour(digest, 1)), Image.new("RGB", (w, h), _colour(digest, 4)), mask
    )
    draw = ImageDraw.Draw(base, "RGBA")
    for i in range(3 + digest[7] % 4):
        b = digest[8 + i * 4 : 12 + i * 4]
        x, y = b[0] * w // 256, b[1] * h // 256
        r = max(4, b[2] * min(w, h) // 512)
        box = (x - r, y - r, x + r, y + r)
        fill = _colour(digest, (i * 5) % 28, 150)
        (draw.ellipse if b[3] % 2 else draw.rectangle)(box, fill=fill)
    return base


def _tile(references: Sequence[Image.Image], size: tuple[int, int]) -> Image.Image:
    """The reference images in a grid that covers the whole picture."""
    cols = math.ceil(math.sqrt(len(references)))
    rows = math.ceil(len(references) / cols)
    canvas = Image.new("RGB", size)
    for index, ref in enumerate(references):
        row, col = divmod(index, cols)
        x0, x1 = col * size[0] // cols, (col + 1) * size[0] // cols
        y0, y1 = row * size[1] // rows, (row + 1) * size[1] // rows
        canvas.paste(ImageOps.fit(ref, (max(1, x1 - x0), max(1, y1 - y0))), (x0, y0))
    return canvas


def _font(px: int) -> ImageFont.ImageFont | ImageFont.FreeTypeFont:
    try:
        return ImageFont.load_default(size=px)
    except (ImportError, OSError):  # Pillow built without FreeType
        return ImageFont.load_default()


def _caption(image: Image.Image, prompt: str) -> None:
    """The prompt (tokens removed, shortened) on a dark band at the bottom."""
    text = strip_tokens(prompt)
    if not text:
        return
    text = text if len(text) <= 60 else text[:57] + "..."
    px = max(10, max(image.size) // 40)
    band = min(image.height, px * 2)
    draw = ImageDraw.Draw(image, "RGBA")
    draw.rectangle((0, image.height - band, image.width, image.height), fill=(0, 0, 0, 210))
    draw.text((px // 2, image.height - band + px // 2), text, fill=(255, 255, 255, 255), font=_font(px))


def _padding(mib: int, digest: bytes) -> bytes:
    """mib MiB of incompressible but reproducible bytes."""
    block = hashlib.shake_256(digest).digest(1 << 16)
    return block * (mib * 16)


def _small(size: tuple[int, int], edge: int | None) -> tuple[int, int]:
    if edge is None or max(size) <= edge:
        return size
    scale = edge / max(size)
    return max(1, round(size[0] * scale)), max(1, round(size[1] * scale))


def _draw(prompt: str, digest: bytes, size: tuple[int, int], references: Sequence[Image.Image]) -> Image.Image:
    image = _sketch(digest, size).resize(size, Image.Resampling.BICUBIC)
    if references:
        image = Image.blend(image, _tile(references, size), _REFERENCE_WEIGHT)
    _caption(image, prompt)
    return image


def _encode_png(image: Image.Image, prompt: str, padding: bytes) -> bytes:
    info = PngImagePlugin.PngInfo()
    info.add_text("prompt", prompt)
    info.add_text("Software", "corvessa-emulator")
    if padding:
        info.add(_PADDING_CHUNK, padding, after_idat=True)
    out = io.BytesIO()
    image.save(out, format="PNG", pnginfo=info, compress_level=3)
    return out.getvalue()


def _encode_lossy(image: Image.Image, prompt: str, output: Output) -> bytes:
    out = io.BytesIO()
    quality = 90 if output.compression is None else output.compression
    extra = {"comment": prompt.encode()} if output.format == "jpeg" else {}
    image.save(out, format=FORMATS[output.format][0], quality=quality, **extra)
    return out.getvalue()


def _coarse(image: Image.Image, block: int) -> Image.Image:
    """The picture in blocks of block x block pixels: a preview of what is still to come."""
    small = (max(1, image.width // block), max(1, image.height // block))
    return image.resize(small, Image.Resampling.BOX).resize(image.size, Image.Resampling.NEAREST)


def _encode(image: Image.Image, prompt: str, padding: bytes, output: Output) -> bytes:
    if output.format == "png":
        return _encode_png(image, prompt, padding)
    return _encode_lossy(image, prompt, output)


def render_stages(
    prompt: str,
    size: tuple[int, int],
    references: Sequence[Image.Image] = (),
    *,
    seed: int = 0,
    partials: int = 0,
    padding_mib: int = 0,
    output: Output = PNG_OUTPUT,
) -> list[bytes]:
    """`partials` coarse previews of the picture, coarsest first, then the picture itself, all
    encoded in the output's format and carrying the prompt.

    Padding (PNG only) is an ancillary chunk of padding_mib MiB that decoders skip; only the
    finished picture carries it.
    """
    digest = hashlib.sha256(f"{seed}\0{prompt}".encode()).digest()
    with _RENDER_SLOTS:
        image = _draw(prompt, digest, _small(size, output.small_edge), references)
        stages = [
            _encode(_coarse(image, 2 ** (partials - index + 2)), prompt, b"", output) for index in range(partials)
        ]
        padding = _padding(padding_mib, digest) if padding_mib and output.format == "png" else b""
        stages.append(_encode(image, prompt, padding, output))
        return stages


def render(
    prompt: str,
    size: tuple[int, int],
    references: Sequence[Image.Image] = (),
    *,
    seed: int = 0,
    padding_mib: int = 0,
    output: Output = PNG_OUTPUT,
) -> bytes:
    """Encode the picture for prompt at size (width, height) in the output's format.

    Padding (PNG only) is an ancillary chunk of padding_mib MiB that decoders skip.
    """
    return render_stages(prompt, size, references, seed=seed, padding_mib=padding_mib, output=output)[-1]
