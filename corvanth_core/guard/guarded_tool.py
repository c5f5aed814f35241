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
from dataclasses import dataclass
from typing import Any, ParamSpec, TypeVar, cast

P = ParamSpec("P")
R = TypeVar("R")

# The guard's enforcement, answering the verdict of a permitted call (and
# raising PolicyDenied for any other): all a guarded tool needs to know.
Admit = Callable[[str, dict[str, Any] | None, str], str]
AsyncAdmit = Callable[[str, dict[str, Any] | None, str], Awaitable[str]]
FieldsHook = Callable[..., Mapping[str, Any]]


@dataclass(slots=True)
class Gate:
    """The guard's admission, as its guarded tools call it: read on every
    call, since the guard swaps `admit` for a native one once it can."""

    admit: Admit
    aadmit: AsyncAdmit


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
        # templates[k]: every parameter in order, the first k mapped to None
        # and the others to their defaults, when they all have one (None
        # when not): a call with k positional arguments and no keywords
        # binds as a copy of it with the arguments put in.
        self.templates: tuple[dict[str, Any] | None, ...] = (
            tuple(self._template(start) for start in range(len(self.names) + 1))
            if self.simple
            else ()
        )

    def _template(self, start: int) -> dict[str, Any] | None:
        rest = self.names[start:]
        if not all(name in self.defaults for name in rest):
            return None
        return dict.fromkeys(self.names[:start]) | {
            name: self.defaults[name] for name in rest
        }

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

    def from_arguments(args: tuple[Any, ...], kwargs: dict[str, Any]) -> dict[str, Any]:
        return {"tool": tool_name, "arguments": bind(args, kwargs)}

    return from_arguments


def guarded_tool(
    function: Callable[P, R],
    *,
    event_type: str,
    name: str | None,
    fields: FieldsHook | None,
    redact: RedactHook,
    gate: Gate,
) -> Callable[P, R]:
    """`function` wrapped so that every call is enforced first."""
    if not callable(function):
        raise TypeError(
            f"guard.tool() decorates a function, not {type(function).__name__}"
        )
    tool_name = name or function.__name__
    binder = ArgumentBinder(function)
    fields_of = event_fields(tool_name, binder, fields)
    # The usual call (positional arguments, the rest left at their
    # defaults) binds inside the sync wrapper, from the binder's templates:
    # a Python call short of `fields_of`, and no pair made per argument.
    # (An async call costs an await anyway.)
    names = binder.names
    templates = binder.templates if fields is None else ()
    count = len(templates)

    if inspect.iscoroutinefunction(function):
        coroutine_function = cast(Callable[P, Awaitable[Any]], function)

        @functools.wraps(function)
        async def guarded_coroutine(*args: P.args, **kwargs: P.kwargs) -> Any:
            verdict = await gate.aadmit(event_type, fields_of(args, kwargs), SURFACE)
            result = await coroutine_function(*args, **kwargs)
            return redact(result) if verdict == "redact" else result

        return cast(Callable[P, R], guarded_coroutine)

    @functools.wraps(function)
    def guarded(*args: P.args, **kwargs: P.kwargs) -> R:
        shape = templates[len(args)] if not kwargs and len(args) < count else None
        if shape is None:
            event = fields_of(args, kwargs)
        else:
            arguments = shape.copy()
            for index, value in enumerate(args):
                arguments[names[index]] = value
            event = {"tool": tool_name, "arguments": arguments}
        verdict = gate.admit(event_type, event, SURFACE)
        result = function(*args, **kwargs)
        return cast(R, redact(result)) if verdict == "redact" else result

    return guarded
