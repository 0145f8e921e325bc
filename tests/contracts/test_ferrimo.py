import pytest
import requests
from werkzeug.wrappers import Response

import ferrimo
from ferrimo import ImageTool

IMAGE = b"\x89PNG\r\n\x1a\n" + bytes(range(256)) * 8


def streamed(content: bytes) -> Response:
    """A reply without Content-Length, so only the bytes read count against the cap."""
    return Response(iter([content[i : i + 512] for i in range(0, len(content), 512)]))


@pytest.mark.parametrize(
    ("reply", "cap", "expected"),
    [
        (lambda: Response(IMAGE, mimetype="image/png"), 64 << 20, IMAGE),
        (lambda: Response(IMAGE), len(IMAGE), IMAGE),  # exactly at the cap
        (lambda: Response(IMAGE, status=404), 64 << 20, None),
        (lambda: Response(b""), 64 << 20, None),
        (lambda: Response(IMAGE), 1000, None),  # declared length over the cap
        (lambda: streamed(IMAGE), 1000, None),  # read length over the cap
    ],
)
def test_download_outcomes(server, monkeypatch, reply, cap, expected) -> None:
    monkeypatch.setattr(ferrimo, "MAX_IMAGE_BYTES", cap)
    server.routes["/img"] = lambda _request: reply()
    result = ImageTool.get_img_url_io(f"{server.url}/img")
    assert (result.getvalue() if result is not None else None) == expected


def test_refused_connection_raises(closed_port_url) -> None:
    with pytest.raises(requests.exceptions.ConnectionError):
        ImageTool.get_img_url_io(f"{closed_port_url}/x")


def test_stalled_download_raises(server, monkeypatch) -> None:
    monkeypatch.setattr(ferrimo, "DOWNLOAD_TIMEOUT", (2.0, 0.3))
    server.routes["/img"] = lambda _request: (server.release.wait(10), Response(IMAGE))[1]
    with pytest.raises(requests.exceptions.Timeout):
        ImageTool.get_img_url_io(f"{server.url}/img")
