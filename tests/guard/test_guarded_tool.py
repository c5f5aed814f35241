"""@guard.tool: the event a call makes, deny before the function runs,
redaction of the result, sync and async functions, and what frameworks
read of the wrapped function."""

import asyncio
import collections
import inspect
import json

import pytest

from corvanth_core import Guard, PolicyDenied
from corvanth_core.guard import redact_strings

from .policies import tools_json


def recording_guard() -> tuple[Guard, list[dict]]:
    """A guard whose Log handler is replaced by nothing, and the fields of
    every event it evaluated (through the engine's own Log action)."""
    seen: list[dict] = []
    guard = Guard(tools_json())
    check = guard._decide

    def spy(event_type, fields, surface):
        seen.append({"type": event_type, "fields": fields, "surface": surface})
        return check(event_type, fields, surface)

    guard._decide = spy  # type: ignore[method-assign]
    return guard, seen


@pytest.mark.parametrize(
    ("args", "kwargs", "arguments"),
    [
        (("a.txt",), {}, {"path": "a.txt", "mode": "r", "extra": {}}),
        (("a.txt", "w"), {}, {"path": "a.txt", "mode": "w", "extra": {}}),
        (
            (),
            {"mode": "w", "path": "a.txt"},
            {"path": "a.txt", "mode": "w", "extra": {}},
        ),
        (("a.txt",), {"size": 3}, {"path": "a.txt", "mode": "r", "extra": {"size": 3}}),
    ],
)
def test_the_event_holds_every_bound_argument(args, kwargs, arguments):
    guard, seen = recording_guard()

    @guard.tool()
    def read(path: str, mode: str = "r", **extra: int) -> str:
        return path

    assert read(*args, **kwargs) == "a.txt"
    assert seen == [
        {
            "type": "tool_call",
            "fields": {"tool": "read", "arguments": arguments},
            "surface": "decorator",
        }
    ]
    assert list(seen[0]["fields"]["arguments"]) == ["path", "mode", "extra"]


SIMPLE_CALLS = [
    ((), {}),
    ((1,), {}),
    ((1, 2), {}),
    ((1, 2, 3), {}),
    ((1,), {"c": 3}),
    ((), {"c": 3, "a": 1}),
    ((1,), {"b": None}),
]


@pytest.mark.parametrize(("args", "kwargs"), SIMPLE_CALLS)
def test_arguments_bind_as_the_signature_binds_them(tmp_path, args, kwargs):
    """Each call of a tool with plain parameters and defaults logs the
    arguments `Signature.bind` and `apply_defaults` give, in their order."""

    def tool(a: int = 10, b: object = "b", c: int = 30) -> int:
        return a

    expected = inspect.signature(tool).bind(*args, **kwargs)
    expected.apply_defaults()
    guard = Guard(tools_json(), decision_log=tmp_path / "log.jsonl")
    guard.check("tool_call", {"tool": "read"})  # the guard has started
    assert guard.tool()(tool)(*args, **kwargs) == expected.arguments["a"]
    guard.close()
    logged = json.loads((tmp_path / "log.jsonl").read_text().splitlines()[-1])
    assert logged["fields"]["arguments"] == expected.arguments
    assert list(logged["fields"]["arguments"]) == ["a", "b", "c"]


def test_a_bad_call_raises_what_the_function_would_and_asks_nothing():
    guard, seen = recording_guard()

    @guard.tool()
    def read(path: str) -> str:
        return path

    with pytest.raises(TypeError, match="missing a required argument: 'path'"):
        read()  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="multiple values for argument 'path'"):
        read("a", path="b")  # type: ignore[misc]
    assert seen == []


def test_deny_raises_before_the_function_runs():
    guard = Guard(tools_json())
    ran = []

    @guard.tool(name="delete")
    def remove(path: str) -> None:
        ran.append(path)

    with pytest.raises(PolicyDenied, match="^deleting is not allowed$") as caught:
        remove("/srv/data")
    assert ran == []
    assert caught.value.decision.actions[0]["args"] == {"target": "/srv/data"}


def test_custom_fields_and_event_type():
    guard, seen = recording_guard()

    @guard.tool(
        "file_write", fields=lambda path, data: {"path": path, "size": len(data)}
    )
    def write(path: str, data: bytes) -> int:
        return len(data)

    assert write("out.bin", b"abc") == 3
    assert seen[0]["type"] == "file_write"
    assert seen[0]["fields"] == {"path": "out.bin", "size": 3}


Row = collections.namedtuple("Row", "name age")


@pytest.mark.parametrize(
    ("result", "redacted"),
    [
        ("alice", "[redacted]"),
        (
            {"rows": [Row("alice", 31), ("bob", 2.5, None)], "more": True},
            {"rows": [Row("[redacted]", 31), ("[redacted]", 2.5, None)], "more": True},
        ),
        ([b"raw", object()], ["[redacted]", "[redacted]"]),
    ],
)
def test_redact_runs_the_function_and_redacts_every_string(result, redacted):
    guard = Guard(tools_json())

    @guard.tool(name="lookup")
    def lookup() -> object:
        return result

    got = lookup()
    assert got == redacted and type(got) is type(redacted)
    assert redact_strings(result) == redacted


def test_a_custom_redaction_hook():
    guard = Guard(tools_json())

    @guard.tool(name="lookup", redact=lambda result: {**result, "email": None})
    def lookup() -> dict:
        return {"name": "alice", "email": "a@example.org"}

    assert lookup() == {"name": "alice", "email": None}


def test_the_wrapper_looks_like_the_function():
    guard = Guard(tools_json())

    def search(query: str, *, limit: int = 10) -> list[str]:
        """Search the index."""
        return [query] * limit

    async def fetch(url: str) -> str:
        """Fetch a page."""
        return url

    for function in (search, fetch):
        wrapped = guard.tool()(function)
        assert inspect.signature(wrapped) == inspect.signature(function)
        assert (wrapped.__name__, wrapped.__doc__) == (
            function.__name__,
            function.__doc__,
        )
        assert inspect.iscoroutinefunction(wrapped) is inspect.iscoroutinefunction(
            function
        )
    with pytest.raises(TypeError, match=r"write @guard.tool\(\) with parentheses"):
        guard.tool(search)  # type: ignore[arg-type]


def test_async_tools_are_guarded_with_async_handlers():
    approvals = []

    async def approve(args, decision):
        approvals.append(args["amount"])
        return args["amount"] < 100

    guard = Guard(tools_json(), handlers={"Escalate": approve})
    ran = []

    @guard.tool(name="pay")
    async def pay(amount: int) -> int:
        ran.append(amount)
        return amount

    async def main() -> list[object]:
        return await asyncio.gather(pay(50), pay(500), return_exceptions=True)

    small, large = asyncio.run(main())
    assert small == 50 and isinstance(large, PolicyDenied)
    assert approvals == [50, 500] and ran == [50]
