"""Package configuration of `corvessa`: the shared HTTP client and the Gemini tables.

`_SUPPORTED_MODELS` and `_SUPPORTED_RATIOS` are frozensets, so `in` is a hash lookup: an
unhashable probe (a list, a dict) raises TypeError, which the clients let through to the caller.
"""

from typing import Final, Literal, get_args

from corvessa._transport import HttpClient, HttpResponse

__all__ = [
    "HttpClient",
    "HttpResponse",
    "http_client",
    "_AspectRatio",
    "_GeminiModel",
    "_SUPPORTED_MODELS",
    "_SUPPORTED_RATIOS",
]

_GeminiModel = Literal[
    "gemini-3-pro-image-preview",
    "gemini-3.1-flash-image-preview",
    "gemini-2.5-flash-image",
]
_AspectRatio = Literal["1:1", "2:3", "3:2", "3:4", "4:3", "4:5", "5:4", "9:16", "16:9", "21:9"]

_SUPPORTED_MODELS: Final[frozenset[str]] = frozenset(get_args(_GeminiModel))
_SUPPORTED_RATIOS: Final[frozenset[str]] = frozenset(get_args(_AspectRatio))

DEFAULT_TIMEOUT: Final = 120.0
# Up to 8 request threads share one client; room for twice that per host.
POOL_SIZE: Final = 16

# The shared client: urllib3 connection pools with requests' exceptions, chosen over a
# requests.Session by the benchmark figures given at the top of _transport.py.
http_client: Final = HttpClient(base_timeout=DEFAULT_TIMEOUT, pool_size=POOL_SIZE)
