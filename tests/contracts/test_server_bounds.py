"""What a server can make the stand-ins do: inflate a reply without bound, or draw credentials."""

import tracemalloc
import zlib

import pytest
from werkzeug.wrappers import Response

from corvessa.config import HttpClient, ReplyTooLarge
from ferrimo import ImageTool

MIB = 1 << 20


def gzip_of_zeros(size: int) -> bytes:
    packer = zlib.compressobj(9, zlib.DEFLATED, 31)
    return b"".join(packer.compress(bytes(MIB)) for _ in range(size // MIB)) + packer.flush()


def test_nested_gzip_reply_stops_at_the_bound(server) -> None:
    bomb = zlib.compress(gzip_of_zeros(64 * MIB), wbits=31)  # a few hundred bytes on the wire
    server.routes["/bomb"] = lambda _request: Response(bomb, headers={"Content-Encoding": "gzip, gzip"})
    server.routes["/fits"] = lambda _request: Response(gzip_of_zeros(MIB), headers={"Content-Encoding": "gzip"})
    client = HttpClient(max_body_bytes=MIB)
    try:
        assert client.post(f"{server.url}/fits", json={}).content == bytes(MIB)
        tracemalloc.start()
        try:
            with pytest.raises(ReplyTooLarge, match=f"exceeds {MIB} bytes"):
                client.post(f"{server.url}/bomb", json={})
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
    finally:
        client.close()
    assert peak < 8 * MIB


def test_download_sends_no_netrc_login(server, tmp_path, monkeypatch) -> None:
    (tmp_path / ".netrc").write_text("machine 127.0.0.1 login user password secret\n")
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("NETRC", str(tmp_path / ".netrc"))
    server.routes["/link"] = lambda _request: Response(status=302, headers={"Location": "/img"})
    server.routes["/img"] = lambda _request: Response(b"\x89PNG\r\n\x1a\n")
    assert ImageTool.get_img_url_io(f"{server.url}/link").getvalue() == b"\x89PNG\r\n\x1a\n"
    assert [seen.path for seen in server.seen] == ["/link", "/img"]
    assert not any("Authorization" in seen.headers for seen in server.seen)
