"""Event fields as the engine sees them, as plain JSON data.

The engine takes any Python object as a field value: None, bool, 64-bit
int, float, str, list and dict as themselves (an object with `__index__`
as an int, one with `__float__` as a float, an int too large for 64 bits
as a float), everything else (tuple, set, bytes, a custom object) as the
text of its `str()`. A decision log records the fields in that form, so
that evaluating the logged fields again gives the engine the same values.

    as_engine_sees({"args": ("a", 1), "n": 2**70})
    # {"args": "('a', 1)", "n": 1.1805916207174113e+21}
"""

import operator
from typing import Any

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def _text(text: str) -> str:
    """`text` with each lone surrogate replaced as the engine replaces it
    (three U+FFFD characters), so that it can be written as UTF-8."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return text.encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    return text


def _numpy_bool(value: object) -> bool | None:
    """The truth of a numpy boolean scalar, None for any other object."""
    kind = type(value)
    if kind.__module__ == "numpy" and kind.__name__ in ("bool_", "bool"):
        try:
            return bool(value)
        except Exception:  # noqa: BLE001 (the engine, too, passes it on)
            return None
    return None


def _number(value: object) -> int | float | None:
    """`value` as the engine's Int or Float, None when it is neither."""
    try:
        whole = operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        whole = None
    if whole is not None and INT64_MIN <= whole <= INT64_MAX:
        return int(whole)
    if type(value) is float:
        return value
    kind = type(value)
    # float() would also parse text and bytes; the engine reads numbers only.
    if not (hasattr(kind, "__float__") or hasattr(kind, "__index__")):
        return None
    try:
        return float(value)  # type: ignore[arg-type]
    except (TypeError, ValueError, OverflowError):
        return None


def as_engine_sees(value: Any) -> Any:
    """A fresh plain copy of `value` as the engine converts it. Raises what
    the engine raises for a dict key that is not a str."""
    if value is None or type(value) is bool:
        return value
    truth = _numpy_bool(value)
    if truth is not None:
        return truth
    number = _number(value)
    if number is not None:
        return number
    if isinstance(value, str):
        return _text(str.__str__(value))
    if isinstance(value, list):
        return [as_engine_sees(item) for item in value]
    if isinstance(value, dict):
        plain = {}
        for key, item in value.items():
            if not isinstance(key, str):
                raise TypeError(f"field names must be str, not {type(key).__name__}")
            plain[_text(str.__str__(key))] = as_engine_sees(item)
        return plain
    return _text(str(value))
