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

P = ParamSpec("P")
R = TypeVar("R")

# The guard's enforcement, answering the verdict of a permitted call (and
# raising PolicyDenied for any other): all a guarded tool needs to know.
Admit = Callable[[str, dict[str, Any] | None, str], str]
AsyncAdmit = Callable[[str, dict[str, Any] | None, str], Awaitable[str]]
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
        # tails[k]: the defaults of the parameters after the first k, when
        # they all have one (None when not): a call with k positional
        # arguments and no keywords binds as `zip` plus that tail.
        self.tails: tuple[dict[str, Any] | None, ...] = (
            tuple(self._tail(start) for start in range(len(self.names) + 1))
            if self.simple
            else ()
        )

    def _tail(self, start: int) -> dict[str, Any] | None:
        rest = self.names[start:]
        if not all(name in self.defaults for name in rest):
            return None
        return {name: self.defaults[name] for name in rest}

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

    bind = binder.bind
    names = binder.names
    tails = binder.tails
    count = len(tails)

    def from_arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        # The usual call (positional arguments, the rest left at their
        # defaults) binds here, one Python call short of `bind`.
        if not kwargs and len(args) < count:
            tail = tails[len(args)]
            if tail is not None:
                arguments = dict(zip(names, args))
                arguments.update(tail)
                return {"tool": tool_name, "arguments": arguments}
        return {"tool": tool_name, "arguments": bind(args, kwargs)}

    return from_arguments


def guarded_tool(
    function: Callable[P, R],
    *,
    event_type: str,
    name: str | None,
    fields: FieldsHook | None,
    redact: RedactHook,
    admit: Admit,
    aadmit: AsyncAdmit,
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
            verdict = await aadmit(event_type, fields_of(args, kwargs), SURFACE)
            result = await coroutine_function(*args, **kwargs)
            return redact(result) if verdict == "redact" else result

        return cast(Callable[P, R], guarded_coroutine)

    @functools.wraps(function)
    def guarded(*args: P.args, **kwargs: P.kwargs) -> R:
        verdict = admit(event_type, fields_of(args, kwargs), SURFACE)
        result = function(*args, **kwargs)
        return cast(R, redact(result)) if verdict == "redact" else result

    return guarded
