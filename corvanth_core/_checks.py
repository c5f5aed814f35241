"""Argument checks of the package's functions, worded like the extension's."""

from typing import Any


def argument_type_error(
    function: str, parameter: str, expected: str, value: Any
) -> TypeError:
    """The TypeError for `value` given as `parameter` of `function`."""
    return TypeError(
        f"{function}() argument '{parameter}' must be {expected}, not "
        f"{type(value).__name__}"
    )
