# mypy: ignore-errors
"""What both twins share: the exact-type check of an argument, with the native modules' wording,
and a decorator that sets a docstring verbatim."""

_ARG_TYPE_MESSAGE = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)"


def _check_exact(name: str, value: object, expected: type, none_ok: bool = False) -> None:
    """Refuse anything whose type is not exactly `expected` (None only when `none_ok`)."""
    if type(value) is expected or (none_ok and value is None):
        return
    err = TypeError(_ARG_TYPE_MESSAGE % (name, expected.__name__, type(value).__name__))
    if isinstance(value, expected):
        err.add_note(f"Subclasses of built-in types are refused here: pass an exact {expected.__name__}.")
    raise err


def _doc(text: str):
    """Set a docstring verbatim: the compiler would strip the indentation of a literal one."""

    def apply(function):
        function.__doc__ = text
        return function

    return apply
