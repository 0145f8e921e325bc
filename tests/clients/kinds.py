"""The two client classes side by side, each with its pure-Python twin (the reference for what
Python sees of it) and the few facts in which the two differ."""

from __future__ import annotations

import inspect
from dataclasses import dataclass
from types import ModuleType
from typing import Any

import corvessa.image.sorvanel as sorvanel
import corvessa.image.tovarin as tovarin

from twins import sorvanel_py, tovarin_py


@dataclass(frozen=True)
class Kind:
    name: str  # the module's short name
    module: ModuleType
    twin: ModuleType
    class_name: str
    key_attribute: str  # where the constructor keeps api_key
    url_suffix: str  # what the constructor appends to base_url
    tag: str  # the default model_tag
    caught_suffix: str  # generate_image's record of a caught exception ends with this word
    caught_has_message: bool  # and its failure carries msg="<name> error"

    def __str__(self) -> str:
        return self.name

    @property
    def qualified(self) -> str:
        return f"corvessa.image.{self.name}"

    @property
    def cls(self) -> Any:
        return getattr(self.module, self.class_name)

    @property
    def twin_cls(self) -> Any:
        return getattr(self.twin, self.class_name)

    @property
    def methods(self) -> list[str]:
        """The twin's methods, in the order of its class statement."""
        return [
            name
            for name, value in vars(self.twin_cls).items()
            if inspect.isroutine(value) or isinstance(value, staticmethod)
        ]


SORVANEL = Kind("sorvanel", sorvanel, sorvanel_py, "SorvanelClient", "api_key", "", "SORVANEL", "error", True)
TOVARIN = Kind("tovarin", tovarin, tovarin_py, "TovarinClient", "token", "/v1/images", "GPT-IMAGE-2", "warning", False)
# The one list of clients: every test and tool that runs over the clients takes them from here,
# and tests/clients/test_registry.py fails when the build, the sources or the twins have one more.
KINDS = [SORVANEL, TOVARIN]
NAMES = [kind.name for kind in KINDS]
BY_NAME = {kind.name: kind for kind in KINDS}


def function(cls: type, name: str) -> Any:
    """The plain function behind a class attribute (unwrapping staticmethod)."""
    raw = vars(cls)[name]
    return raw.__func__ if isinstance(raw, staticmethod) else raw


def each_method(*kinds: Kind) -> list[tuple[Kind, str]]:
    """(kind, method name) for every method of the given classes."""
    return [(kind, name) for kind in kinds or KINDS for name in kind.methods]


def case_id(value: Any) -> str | None:
    """Test ids that name the class; other values keep pytest's own ids."""
    return value.name if isinstance(value, Kind) else None
