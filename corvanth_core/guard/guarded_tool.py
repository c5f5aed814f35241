"""The function behind `@guard.tool`: a tool that asks the guard first.

    @guard.tool()
    def read_file(path: str) -> str:
        ...

    read_file("/etc/shadow")  # PolicyDenied, before read_file runs

Each call is one event, by default `{"tool": <name>, "arguments":
{<parameter>: <value>}}` with every parameter bound (defaults included, so
the policy sees what the function will use). A denial raises before the
function runs; a redact verdict runs it and passes its result through the
redaction hook. The wrapper keeps the function's signature, name,
docstring and kind (an async function stays a coroutine function), so
frameworks that read a tool's signature see the original.
"""

import functools
import inspect
from collections.abc import Awaitable, Callable, Mapping
from typing import Any, ParamSpec, TypeVar, cast

from corvanth_core.guard.decision import Decision

P = ParamSpec("P")
R = TypeVar("R")

Enforce = Callable[[str, dict[str, Any] | None, str], Decision]
AsyncEnforce = Callable[[str, dict[str, Any] | None, str], Awaitable[Decision]]
FieldsHook = Callable[..., Mapping[str, Any]]
RedactHook = Callable[[Any], Any]

SURFACE = "decorator"

_SIMPLE_KINDS = (
    inspect.Parameter.POSITIONAL_ONLY,
    inspect.Parameter.POSITIONAL_OR_KEYWORD,
)


class ArgumentBinder:
    """Binds a call's arguments to parameter names, as `Signature.bind`
    followed by `apply_defaults` does.

    Functions whose parameters are all positional-or-keyword (the usual
    tool) take a short path; anything else, and every call that would
    fail, goes through `Signature.bind` for its exact result or error."""

    def __init__(self, function: Callable[..., Any]) -> None:
        self.signature = inspect.signature(function)
        parameters = list(self.signature.parameters.values())
        self.names = tuple(p.name for p in parameters)
        self.known = frozenset(
            p.name
            for p in parameters
            if p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
        )
        self.defaults = {
            p.name: p.default
            for p in parameters
            if p.default is not inspect.Parameter.empty
        }
        self.simple = all(
            p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in parameters
        )

    def bind(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        if self.simple and len(args) <= len(self.names):
            arguments = dict(zip(self.names, args))
            if not kwargs and len(arguments) == len(self.names):
                return arguments
            if all(key in self.known and key not in arguments for key in kwargs):
                arguments.update(kwargs)
                if all(
                    name in arguments or name in self.defaults for name in self.names
                ):
                    return {
                        name: arguments[name]
                        if name in arguments
                        else self.defaults[name]
                        for name in self.names
                    }
        bound = self.signature.bind(*args, **kwargs)
        bound.apply_defaults()
        return dict(bound.arguments)


def event_fields(
    tool_name: str, binder: ArgumentBinder, hook: FieldsHook | None
) -> Callable[[tuple[Any, ...], dict[str, Any]], dict[str, Any]]:
    """The function from a call's arguments to its event's fields."""
    if hook is not None:
        custom = hook

        def from_hook(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
            return dict(custom(*args, **kwargs))

        return from_hook

    def from_arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        return {"tool": tool_name, "arguments": binder.bind(args, kwargs)}

    return from_arguments


def guarded_tool(
    function: Callable[P, R],
    *,
    event_type: str,
    name: str | None,
    fields: FieldsHook | None,
    redact: RedactHook,
    enforce: Enforce,
    aenforce: AsyncEnforce,
) -> Callable[P, R]:
    """`function` wrapped so that every call is enforced first."""
    if not callable(function):
        raise TypeError(
            f"guard.tool() decorates a function, not {type(function).__name__}"
        )
    fields_of = event_fields(
        name or function.__name__, ArgumentBinder(function), fields
    )

    if inspect.iscoroutinefunction(function):
        coroutine_function = cast(Callable[P, Awaitable[Any]], function)

        @functools.wraps(function)
        async def guarded_coroutine(*args: P.args, **kwargs: P.kwargs) -> Any:
            decision = await aenforce(event_type, fields_of(args, kwargs), SURFACE)
            result = await coroutine_function(*args, **kwargs)
            return redact(result) if decision.verdict == "redact" else result

        return cast(Callable[P, R], guarded_coroutine)

    @functools.wraps(function)
    def guarded(*args: P.args, **kwargs: P.kwargs) -> R:
        decision = enforce(event_type, fields_of(args, kwargs), SURFACE)
        result = function(*args, **kwargs)
        return cast(R, redact(result)) if decision.verdict == "redact" else result

    return guarded
