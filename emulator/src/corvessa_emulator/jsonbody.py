"""Reading a JSON request body without letting its shape cost more than its size.

Deep nesting, numbers too long to convert, NaN and Infinity and bodies of millions of tiny
values are refused with the caller's 400, before any handler sees them.
"""

from __future__ import annotations

import json
import math
from typing import Any

MAX_DEPTH = 32
# Separators bound the number of values: a body of "0,0,0,..." would otherwise build a list
# many times its own size.
MAX_SEPARATORS = 100_000


class BadJson(ValueError):
    """The body is not JSON this emulator accepts; the message says why."""


def _finite(text: str) -> float:
    value = float(text)
    if not math.isfinite(value):
        raise BadJson(f"number {text[:20]} is out of range")
    return value


def _no_constant(name: str) -> Any:
    raise BadJson(f"{name} is not JSON")


def _is_text(item: Any) -> bool:
    """Whether a decoded string is text: a lone surrogate escape (\\ud800) decodes to a str
    that no UTF-8 or UTF-16 can carry, and it would fail every handler that encodes it."""
    try:
        item.encode("utf-8")
    except UnicodeEncodeError:
        return False
    return True


def _depth(value: Any) -> int:
    deepest, pending = 0, [(value, 1)]
    while pending:
        item, depth = pending.pop()
        if isinstance(item, str) and not _is_text(item):
            raise BadJson("a string holds a lone surrogate")
        if isinstance(item, dict):
            pending.extend((key, depth) for key in item)
        if isinstance(item, (dict, list)):
            deepest = max(deepest, depth)
            if deepest > MAX_DEPTH:
                break
            children = item.values() if isinstance(item, dict) else item
            pending.extend((child, depth + 1) for child in children)
    return deepest


def load_json(body: bytes) -> Any:
    """The decoded body, or BadJson with a short reason."""
    if body.count(b",") + body.count(b":") > 2 * MAX_SEPARATORS:
        raise BadJson("too many values")
    try:
        value = json.loads(body, parse_float=_finite, parse_constant=_no_constant)
    except BadJson:
        raise
    except RecursionError:
        raise BadJson("nesting is too deep") from None
    except (UnicodeDecodeError, ValueError) as err:  # JSONDecodeError, or an integer too long to convert
        raise BadJson(str(err).split(":")[0]) from None
    if _depth(value) > MAX_DEPTH:
        raise BadJson("nesting is too deep")
    return value
