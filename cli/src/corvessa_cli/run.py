"""One generation call through a native client, timed, with its outcome made easy to report."""

from __future__ import annotations

import importlib
import json
import logging
import time
import uuid
from dataclasses import dataclass, field
from typing import Any

from .logs import ErrorCatcher

CLIENTS = {"sorvanel": "SorvanelClient", "tovarin": "TovarinClient"}
# The model each client asks for when --model is not given.
DEFAULT_MODELS = {"sorvanel": "gemini-3-pro-image-preview", "tovarin": "gpt-image-2"}
# What the clients import at load; a host has its own, contracts/ holds working stand-ins.
HOST_MODULES = ("dolvex", "corvessa.config", "ferrimo", "tessaly")
# The token sent to the local emulator, which takes any.
LOCAL_API_KEY = "local-emulator-key"


class ClientUnavailable(RuntimeError):
    """The native module of the chosen client cannot be imported."""


@dataclass(kw_only=True)
class Job:
    """What to ask for; None leaves an option at the client's own default."""

    client: str
    prompt: str
    ratio: str | None = None
    size: str | None = None
    quality: str | None = None
    model: str | None = None
    refs: list[bytes] = field(default_factory=list)
    timeout: float | None = None


@dataclass
class Outcome:
    result: Any
    seconds: float
    error: BaseException | None = None  # the exception a failed call recorded, if any

    @property
    def ok(self) -> bool:
        return bool(getattr(self.result, "ok", False))

    @property
    def image(self) -> bytes | None:
        """The picture, or None when the call failed or yielded only a link text."""
        data = getattr(self.result, "data", None)
        return data if self.ok and isinstance(data, bytes) and data else None

    @property
    def code(self) -> str:
        code = getattr(self.result, "code", None)
        return "OK" if self.ok else str(getattr(code, "name", code))

    def summary(self) -> str:
        """One line for the demo and -v: the code, the message and the size of the picture."""
        msg = getattr(self.result, "msg", None)
        msg_text = "-" if msg is None else json.dumps(msg if isinstance(msg, str) else str(msg))
        return f"code={self.code} msg={msg_text} bytes={len(self.image or b'')} seconds={self.seconds:.3f}"


def _missing(module: str, err: ImportError) -> str:
    """What to install when the client module cannot be imported."""
    name = err.name or ""
    if any(name == host or name.startswith(host + ".") for host in HOST_MODULES):
        return (
            f"the host module {name} is missing (needed by {module}): install the host's own, "
            "or the stand-ins with: pip install ./contracts (in the corvessa source tree)"
        )
    if not isinstance(err, ModuleNotFoundError) or module.startswith(name):
        return f"the native module {module} cannot be loaded ({err}): install it with: pip install . (in the corvessa source tree)"
    return f"the module {name} is missing (needed by {module}): pip install {name.split('.')[0]}"


def client_class(name: str) -> type:
    module = f"corvessa.image.{name}"
    try:
        cls: type = getattr(importlib.import_module(module), CLIENTS[name])
    except ImportError as err:
        raise ClientUnavailable(_missing(module, err)) from err
    return cls


def _start_arguments(job: Job) -> dict[str, Any]:
    """Keyword arguments of start(): only the options the user gave, plus a task id."""
    named = {"aspect_ratio": job.ratio, "image_size": job.size, "timeout": job.timeout}
    if job.client == "tovarin":
        named["quality"] = job.quality
    named["model"] = job.model  # a parameter of the Gemini start, an option of the images one
    arguments: dict[str, Any] = {key: value for key, value in named.items() if value is not None}
    arguments["files"] = list(job.refs) or None
    arguments["task_id"] = f"cli-{uuid.uuid4().hex[:12]}"
    return arguments


def run(job: Job, base_url: str, api_key: str, logger: logging.Logger, catcher: ErrorCatcher) -> Outcome:
    """Construct the client and make one call on the calling thread."""
    client = client_class(job.client)(base_url, api_key, logger=logger)
    arguments = _start_arguments(job)
    started = time.monotonic()
    result = client.start(job.prompt, **arguments)
    return Outcome(result, time.monotonic() - started, catcher.error)
