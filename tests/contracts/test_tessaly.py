import itertools

import pytest

from tessaly.gpt_image import GPTImageSizeCalculator

RATIOS = ["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9", "3:1", "1:5"]


@pytest.mark.parametrize(
    ("ratio", "size", "width", "height"),
    [
        ("1:1", "1k", 1024, 1024),
        ("2:3", "1k", 688, 1024),
        ("3:2", "1K", 1024, 688),
        ("2:3", "", 688, 1024),  # the images client sends "" by default: 1k
        ("1:1", "2k", 2048, 2048),
        ("9:16", "2K", 1152, 2048),
        ("16:9", "4k", 3840, 2160),
        ("1:1", "4k", 2880, 2880),  # 3840x3840 is over the pixel budget
        ("9:16", "1k", 608, 1088),  # 576x1024 is under it
        ("21:9", "4k", 3840, 1648),
        ("10:1", "4k", 3840, 1280),  # clamped to 3:1
    ],
)
def test_size_table(ratio, size, width, height) -> None:
    assert GPTImageSizeCalculator.calc_size(aspect_ratio=ratio, resolution=size) == {"width": width, "height": height}


@pytest.mark.parametrize(("ratio", "size"), list(itertools.product(RATIOS, ["1k", "2k", "4k"])))
def test_every_size_meets_the_api_limits(ratio, size) -> None:
    result = GPTImageSizeCalculator.calc_size(aspect_ratio=ratio, resolution=size)
    width, height = result["width"], result["height"]
    assert width % 16 == 0 and height % 16 == 0
    assert max(width, height) <= 3840
    assert max(width, height) / min(width, height) <= 3
    assert 655_360 <= width * height <= 8_294_400
    w, h = map(int, ratio.split(":"))
    assert (width >= height) == (w >= h)


@pytest.mark.parametrize(
    ("ratio", "size"),
    [("abc", "1k"), ("0:1", "1k"), ("1:0", "1k"), ("", "1k"), ("1:2:3", "1k"), ("1.5:1", "1k")]
    + [("1:1", "8k"), ("1:1", "1024"), ("1:1", "k")],
)
def test_malformed_input_raises_value_error(ratio, size) -> None:
    with pytest.raises(ValueError):
        GPTImageSizeCalculator.calc_size(aspect_ratio=ratio, resolution=size)
