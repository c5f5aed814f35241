"""Whatever the text, compiling gives a policy the engine loads or a
PolicySourceError placed inside the text; never another exception."""

import pathlib

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvanth_core import PolicyEngine, PolicySourceError, compile

SOURCE = (pathlib.Path(__file__).parent / "sample_policy.yaml").read_text()
TOKENS = [
    " ",
    "\n",
    ":",
    "-",
    "'",
    '"',
    "{",
    "}",
    "(",
    ")",
    "[",
    "]",
    "->",
    "!expr ",
    "&a ",
    "*a",
    "#",
    "|",
    ">",
    "\t",
    "and",
    "`",
    "\\",
    "$0",
    "match",
    "=>",
    'f"{',
    "1e999",
    "99999999999999999999",
    "\x00",
    "\ud7ff",
]


def _edit(text: str, data: st.DataObject) -> str:
    for _ in range(data.draw(st.integers(1, 4))):
        at = data.draw(st.integers(0, len(text)))
        how = data.draw(st.sampled_from(["delete", "insert", "swap", "token"]))
        if how == "delete":
            text = text[:at] + text[at + data.draw(st.integers(1, 5)) :]
        elif how == "insert":
            text = text[:at] + data.draw(st.characters()) + text[at:]
        elif how == "swap" and at + 1 < len(text):
            text = text[:at] + text[at + 1] + text[at] + text[at + 2 :]
        else:
            text = text[:at] + data.draw(st.sampled_from(TOKENS)) + text[at:]
    return text


def _check(text: str) -> None:
    try:
        result = compile(text, filename="p.yaml")
    except PolicySourceError as e:
        lines = text.split("\n")
        assert e.errors and e.errors[0].line == e.line
        for issue in e.errors:
            assert 1 <= issue.line <= len(lines)
            assert 1 <= issue.column <= len(lines[issue.line - 1]) + 1
            assert str(issue.render()).startswith(
                f"p.yaml:{issue.line}:{issue.column}: "
            )
        return
    PolicyEngine.from_json(result)


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.data())
def test_random_edits_give_a_policy_or_a_placed_error(data: st.DataObject) -> None:
    _check(_edit(SOURCE, data))


@settings(max_examples=200, deadline=None)
@given(st.text())
def test_any_text_gives_a_policy_or_a_placed_error(text: str) -> None:
    _check(text)
