"""The doubles' pictures are what they claim: Pillow reads each back at its size and colour."""

from __future__ import annotations

import io

import pytest
from PIL import Image

from doubles import image_bytes

SAMPLE = ((8, 8), (200, 30, 60))  # the kept pictures' size and colour, image_bytes' default
CASES = [(fmt, *SAMPLE) for fmt in ["PNG", "JPEG", "GIF", "WEBP", "BMP", "TIFF"]]
CASES += [("PNG", (13, 5), (0, 255, 40)), ("PNG", (1, 300), (9, 9, 250))]


@pytest.mark.parametrize(("fmt", "size", "colour"), CASES)
def test_pillow_reads_the_picture_as_made(fmt: str, size: tuple[int, int], colour: tuple[int, int, int]) -> None:
    with Image.open(io.BytesIO(image_bytes(fmt, size, colour))) as image:
        assert (image.format, image.size) == (fmt, size)
        colours = image.convert("RGB").getcolors()
    assert colours is not None and len(colours) == 1, colours
    count, got = colours[0]
    tolerance = 2 if fmt == "JPEG" else 0  # the colour conversion rounds
    assert isinstance(got, tuple) and count == size[0] * size[1], colours
    assert all(abs(a - b) <= tolerance for a, b in zip(got, colour, strict=True)), got
