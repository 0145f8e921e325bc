"""Pixel sizes for the images API from an aspect ratio and a size class."""

import math
import re
from typing import Final

__all__ = ["GPTImageSizeCalculator"]

_STEP: Final = 16
_MAX_EDGE: Final = 3840
_MAX_STRETCH: Final = 3.0
_MIN_PIXELS: Final = 655_360
_MAX_PIXELS: Final = 8_294_400
_LONG_EDGE: Final = {"1k": 1024, "2k": 2048, "4k": 3840}
_RATIO: Final = re.compile(r"([0-9]+):([0-9]+)")


def _parse_ratio(aspect_ratio: str) -> float:
    if not isinstance(aspect_ratio, str):
        raise TypeError(f"aspect_ratio must be a str, got {type(aspect_ratio).__name__}")
    match = _RATIO.fullmatch(aspect_ratio)
    if match is None:
        raise ValueError(f"aspect_ratio must look like W:H with whole numbers, got {aspect_ratio!r}")
    width, height = int(match[1]), int(match[2])
    if width == 0 or height == 0:
        raise ValueError(f"aspect_ratio needs both sides above zero, got {aspect_ratio!r}")
    return width / height


def _long_edge(resolution: str | None) -> int:
    if resolution is not None and not isinstance(resolution, str):
        raise TypeError(f"resolution must be a str, got {type(resolution).__name__}")
    key = (resolution or "").strip().lower() or "1k"
    try:
        return _LONG_EDGE[key]
    except KeyError:
        raise ValueError(f"resolution must be 1k, 2k or 4k, got {resolution!r}") from None


def _floor16(value: float) -> int:
    return math.floor(value / _STEP) * _STEP


def _ceil16(value: float) -> int:
    return math.ceil(value / _STEP) * _STEP


def _fit(long_target: float, stretch: float) -> tuple[int, int]:
    """(long, short) edges in steps of 16 within the pixel budget, nearest to the target."""
    pixels = long_target * long_target / stretch
    if pixels > _MAX_PIXELS:
        long_edge = _floor16(long_target * math.sqrt(_MAX_PIXELS / pixels))
    elif pixels < _MIN_PIXELS:
        long_edge = _ceil16(long_target * math.sqrt(_MIN_PIXELS / pixels))
    else:
        long_edge = _floor16(long_target)
    long_edge = min(long_edge, _MAX_EDGE)
    lowest = max(_ceil16(long_edge / _MAX_STRETCH), _ceil16(_MIN_PIXELS / long_edge))
    highest = min(long_edge, _floor16(_MAX_PIXELS / long_edge))
    short_edge = round(long_edge / stretch / _STEP) * _STEP
    return long_edge, min(max(short_edge, lowest), highest)


class GPTImageSizeCalculator:
    @staticmethod
    def calc_size(aspect_ratio: str, resolution: str | None = "1k") -> dict[str, int]:
        """Width and height for `aspect_ratio` ("W:H", whole numbers above zero) and `resolution`.

        `resolution` is "1k", "2k" or "4k" in any case; an empty one (or None) means "1k".
        The long edge starts at 1024, 2048 or 3840 pixels and the short edge follows the ratio,
        then the size is fitted to what the images API accepts:

        - the ratio is clamped to at most 3:1 either way;
        - the total pixel count is scaled into [655360, 8294400] (so 1:1 at 4k is 2880x2880,
          9:16 at 1k is 608x1088);
        - both edges are multiples of 16 (the short edge rounded to the nearest step), and no
          edge exceeds 3840.

        For example 1:1 1k gives 1024x1024, 2:3 1k gives 688x1024, 16:9 4k gives 3840x2160.
        A malformed ratio or an unknown size raises ValueError; a non-text argument TypeError.
        """
        ratio = min(max(_parse_ratio(aspect_ratio), 1 / _MAX_STRETCH), _MAX_STRETCH)
        stretch = max(ratio, 1 / ratio)
        long_edge, short_edge = _fit(_long_edge(resolution), stretch)
        if ratio >= 1:
            return {"width": long_edge, "height": short_edge}
        return {"width": short_edge, "height": long_edge}
