"""The Guard: a policy engine in the path of an agent's actions.

    guard = Guard("examples/coding_agent_guard.json")
    decision = guard.check("tool_call", {"tool": "shell", "command": "ls"})
    guard.enforce("tool_call", {"tool": "shell", "command": "rm -rf /"})
    # raises PolicyDenied

    @guard.tool()
    def shell(command: str) -> str: ...

Every event is evaluated at an explicit time (the `clock`, or the wall
clock), the time a decision log records, so that replaying the log asks
the engine exactly what was asked. A fresh engine's state machines start
at the guard's first event, as they do when a recorded session is
replayed. When a decision log or a shadow policy is attached, evaluating,
shadowing and writing the line happen under one lock, so the log's order
is the engine's order; without them the engine's own lock suffices.
Handlers always run outside the lock.

Once a guard has neither log nor shadow nor shared limits, and its first
event started the engine, `check`, the guarded tools' admission and the
evaluation under `enforce` are the engine's native deciders
(`PolicyEngine.decider`), reading the guard's clock when it has one: the
Python frames they spare cost as much as the evaluation.
"""

import functools
import itertools
import os
import threading
import time
import weakref
from collections.abc import Callable, Mapping
from typing import Any, ParamSpec, Self, TypeVar

from _corvanth_core import PolicyEngine

from corvanth_core.container import BytesLike
from corvanth_core.errors import diagnostics_error
from corvanth_core.guard.decision import (
    EMPTY_RESULT,
    Decision,
    PolicyDenied,
    ShadowVerdict,
)
from corvanth_core.guard.decision_log import DecisionLog, PolicyIdentity
from corvanth_core.guard.guarded_tool import (
    FieldsHook,
    Gate,
    RedactHook,
    guarded_tool,
)
from corvanth_core.guard.handlers import (
    Handler,
    arun_handlers,
    merged_handlers,
    run_handlers,
)
from corvanth_core.guard.redaction import redact_strings
from corvanth_core.guard.shadow import Shadow, ShadowStats
from corvanth_core.limits.shared_limits import SharedLimits
from corvanth_core.loading import (
    HostLimits,
    load_with_limits,
    loads_with_limits,
    only_engine,
)

P = ParamSpec("P")
R = TypeVar("R")

PolicySource = PolicyEngine | str | os.PathLike[str] | BytesLike
Clock = Callable[[], int]


def wall_clock_ms() -> int:
    """Milliseconds since the Unix epoch, as the engine stamps events."""
    return time.time_ns() // 1_000_000


def new_id_prefix() -> str:
    """A random prefix for a guard's decision ids."""
    return os.urandom(8).hex() + "-"


# Every guard, so that a forked child can give each a new id prefix: the
# child's decisions must not repeat the ids its parent goes on numbering.
_GUARDS: "weakref.WeakSet[Guard]" = weakref.WeakSet()


def _renew_id_prefixes() -> None:
    for guard in list(_GUARDS):
        guard._id_prefix = new_id_prefix()
        if guard._direct:
            guard._install_deciders()


os.register_at_fork(after_in_child=_renew_id_prefixes)


def checked_engine(source: PolicySource) -> PolicyEngine:
    """The engine for a policy given as an engine, a path, JSON text (a str
    that starts with "{") or the bytes of a container or of JSON text.

    A policy whose diagnostics include an error is refused with
    PolicyLoadError, as `load` refuses it: a guard enforces only a policy
    that means what it says. So is a source with keyed limits."""
    engine, limits = checked_policy(source)
    return only_engine(engine, limits, None)


def checked_policy(source: PolicySource) -> tuple[PolicyEngine, HostLimits]:
    """`checked_engine`, with the keyed limits of a policy source, which the
    guard holds beside the engine."""
    if isinstance(source, PolicyEngine):
        errors = [d for d in source.diagnostics() if d["severity"] == "error"]
        if errors:
            raise diagnostics_error(errors, None)
        return source, ()
    if isinstance(source, (bytes, bytearray, memoryview)):
        return loads_with_limits(source)
    if isinstance(source, str) and source.lstrip().startswith("{"):
        return loads_with_limits(source)
    if isinstance(source, (str, os.PathLike)):
        return load_with_limits(source)
    raise TypeError(
        "a policy must be a PolicyEngine, a path, JSON text or bytes, not "
        f"{type(source).__name__}"
    )


def same_decision(decision: Decision) -> Decision:
    """The settling of a decision whose handlers its caller runs."""
    return decision


def admitted_verdict(decision: Decision, handlers: Mapping[str, Handler]) -> str:
    """The verdict of a guarded call whose decision `enforce` would let
    through, after its actions went through the handlers; PolicyDenied
    when it would not."""
    if decision._result["actions"]:
        decision = run_handlers(decision, handlers)
    if not decision.permitted:
        raise PolicyDenied(decision)
    return decision.verdict


class Guard:
    """Evaluates an agent's actions before they happen and carries out the
    policy's actions through handlers.

    `policy` (and `shadow`) is a `PolicyEngine`, a path, JSON text or
    container bytes; a policy whose diagnostics hold an error is refused
    with PolicyLoadError. `handlers` maps action verbs to handlers (see
    `corvanth_core.guard.handlers`); `decision_log` is a `DecisionLog` or
    a path to open one at; `clock` returns the time in epoch milliseconds;
    `shared_limits` (a `SharedLimits`) counts the policy's limits it names
    outside the engine, in Redis or keyed in this process.
    """

    def __init__(
        self,
        policy: PolicySource,
        *,
        handlers: Mapping[str, Handler | None] | None = None,
        decision_log: DecisionLog | str | os.PathLike[str] | None = None,
        shadow: PolicySource | None = None,
        clock: Clock | None = None,
        shared_limits: SharedLimits | None = None,
    ) -> None:
        if clock is not None and not callable(clock):
            raise TypeError(f"clock must be callable, not {type(clock).__name__}")
        self._engine, keyed = checked_policy(policy)
        self._identity = PolicyIdentity.of(self._engine)
        # Shared limits: the engine keeps everything but the limits they
        # count, and every event goes through them at an explicit time.
        # Keyed limits need them: in this process unless given.
        if keyed and shared_limits is None:
            shared_limits = SharedLimits.local(targets=())
        self._limits = (
            None
            if shared_limits is None
            else shared_limits.bind(self._engine, self._identity.digest, keyed)
        )
        if self._limits is not None:
            self._engine = self._limits.engine
        self._evaluate_at = (
            self._engine.evaluate_at
            if self._limits is None
            else self._limits.evaluate_at
        )
        self._handlers = merged_handlers(handlers)
        self._owns_log = decision_log is not None and not isinstance(
            decision_log, DecisionLog
        )
        self._log = (
            DecisionLog(decision_log)
            if decision_log is not None and not isinstance(decision_log, DecisionLog)
            else decision_log
        )
        self._shadow = None if shadow is None else Shadow(checked_engine(shadow))
        self._clock: Clock = clock if clock is not None else wall_clock_ms
        # Reentrant: converting a field may run the field's own Python code,
        # which may ask this guard again.
        self._lock = threading.RLock()
        self._serial = (
            self._log is not None
            or self._shadow is not None
            or self._limits is not None
        )
        self._started = False
        self._direct = False
        # The native decider `_decide` hands direct events to, once started.
        self._plain: Callable[[str, dict[str, Any] | None], Decision]
        self._wall_clock = clock is None
        self._ids = itertools.count(1)
        self._id_prefix = new_id_prefix()
        # What guarded tools call to be let through, looked up on each call
        # so that they take the native decider once there is one.
        self._gate = Gate(self._admit, self._aadmit)
        _GUARDS.add(self)

    # --- what the guard holds ----------------------------------------------

    @property
    def engine(self) -> PolicyEngine:
        """The engine of the enforced policy."""
        return self._engine

    @property
    def policy(self) -> PolicyIdentity:
        """The enforced policy's name and digest, as the log records them."""
        return self._identity

    @property
    def decision_log(self) -> DecisionLog | None:
        return self._log

    def shadow_stats(self) -> ShadowStats | None:
        """The shadow policy's counters; None without a shadow policy."""
        return None if self._shadow is None else self._shadow.stats()

    # --- deciding --------------------------------------------------------------

    def _start(self, timestamp_ms: int) -> None:
        """Start fresh engines at the first event's time, as a replay
        does (called under the lock)."""
        engines = [self._engine] + (
            [] if self._shadow is None else [self._shadow.engine]
        )
        for engine in engines:
            if engine.event_count == 0:
                engine.reset_at(timestamp_ms)
        if not self._serial:
            self._install_deciders()
        self._direct = not self._serial
        self._started = True

    def _install_deciders(self) -> None:
        """Hand deciding to the engine's native deciders, once nothing but
        the engine is in a decision's path: `check`, the guarded tools'
        admission and the evaluation under `enforce` and the async calls.

        The instance attribute `check` hides the method from then on
        (unless a subclass defines its own)."""
        template = Decision(self._id_prefix, 0, EMPTY_RESULT)
        clock = None if self._wall_clock else self._clock
        decider = self._engine.decider
        self._plain = decider(template, self._ids, same_decision, clock=clock)
        # A subclass's own `check` is left in place: it is what its callers
        # mean to run.
        if type(self).check is Guard.check:
            vars(self)["check"] = decider(
                template,
                self._ids,
                functools.partial(run_handlers, handlers=self._handlers),
                clock=clock,
            )
        self._gate.admit = decider(
            template,
            self._ids,
            functools.partial(admitted_verdict, handlers=self._handlers),
            admit=True,
            clock=clock,
        )

    def _decide(
        self, event_type: str, fields: dict[str, Any] | None, surface: str
    ) -> Decision:
        """Evaluate one event (and shadow and log it); no handler runs."""
        if self._direct:
            return self._plain(event_type, fields)
        log = self._log
        logged = {} if log is None else log.logged_fields(fields)
        with self._lock:
            stamp = self._clock()
            if not self._started:
                self._start(stamp)
            result = self._evaluate_at(stamp, event_type, fields)
            serial = next(self._ids)
            decision_id = self._id_prefix + str(serial)
            shadow: ShadowVerdict | None = None
            shadow_entry = None
            if self._shadow is not None:
                shadow = self._shadow.evaluate(stamp, event_type, fields, result)
                shadow_entry = self._shadow.record(shadow)
            if log is not None:
                log.write_decision(
                    event_type,
                    logged,
                    stamp,
                    decision_id,
                    result,
                    self._identity,
                    surface,
                    shadow_entry,
                )
        return Decision(self._id_prefix, serial, result, shadow)

    def check(
        self,
        event_type: str,
        fields: dict[str, Any] | None = None,
        *,
        surface: str = "check",
    ) -> Decision:
        """The decision on one event, after its actions went through the
        handlers. Raises what the engine raises for fields it cannot take,
        and OSError when the decision log cannot be written."""
        decision = self._decide(event_type, fields, surface)
        if decision._result["actions"]:
            decision = run_handlers(decision, self._handlers)
        return decision

    def enforce(
        self,
        event_type: str,
        fields: dict[str, Any] | None = None,
        *,
        surface: str = "enforce",
    ) -> Decision:
        """`check`, raising PolicyDenied unless the decision permits the
        action (deny, a Block action or a refused escalation stop it)."""
        return self._enforce(event_type, fields, surface)

    def _enforce(
        self, event_type: str, fields: dict[str, Any] | None, surface: str
    ) -> Decision:
        decision = self._decide(event_type, fields, surface)
        if decision._result["actions"]:
            decision = run_handlers(decision, self._handlers)
        if not decision.permitted:
            raise PolicyDenied(decision)
        return decision

    def _admit(
        self, event_type: str, fields: dict[str, Any] | None, surface: str
    ) -> str:
        """`enforce` for a guarded tool, which needs only the verdict (on
        the hot path its native decider stands in)."""
        return self._enforce(event_type, fields, surface).verdict

    async def _aadmit(
        self, event_type: str, fields: dict[str, Any] | None, surface: str
    ) -> str:
        """`_admit` for async guarded tools: async handlers are awaited."""
        return (await self._aenforce(event_type, fields, surface)).verdict

    async def acheck(
        self,
        event_type: str,
        fields: dict[str, Any] | None = None,
        *,
        surface: str = "check",
    ) -> Decision:
        """`check` for async code: async handlers are awaited."""
        decision = self._decide(event_type, fields, surface)
        if decision._result["actions"]:
            decision = await arun_handlers(decision, self._handlers)
        return decision

    async def aenforce(
        self,
        event_type: str,
        fields: dict[str, Any] | None = None,
        *,
        surface: str = "enforce",
    ) -> Decision:
        """`enforce` for async code: async handlers are awaited."""
        return await self._aenforce(event_type, fields, surface)

    async def _aenforce(
        self, event_type: str, fields: dict[str, Any] | None, surface: str
    ) -> Decision:
        decision = await self.acheck(event_type, fields, surface=surface)
        if not decision.permitted:
            raise PolicyDenied(decision)
        return decision

    # --- values the policy reads -------------------------------------------

    def _set(self, kind: str, key: str, value: object) -> None:
        with self._lock:
            engines = [self._engine] + (
                [] if self._shadow is None else [self._shadow.engine]
            )
            for engine in engines:
                if kind == "config":
                    engine.set_config(key, value)
                else:
                    engine.set_context(key, value)
            if self._limits is not None and kind == "context":
                self._limits.set_context(key, value)
            if self._log is not None:
                self._log.write_setting(kind, key, value)

    def set_config(self, key: str, value: object) -> None:
        """Set a configuration value on the policy's engine and the shadow's,
        and record it in the decision log."""
        self._set("config", key, value)

    def set_context(self, key: str, value: object) -> None:
        """Set a context value on the policy's engine and the shadow's, and
        record it in the decision log."""
        self._set("context", key, value)

    # --- guarded tools -----------------------------------------------------

    def tool(
        self,
        event_type: str = "tool_call",
        *,
        name: str | None = None,
        fields: FieldsHook | None = None,
        redact: RedactHook | None = None,
    ) -> Callable[[Callable[P, R]], Callable[P, R]]:
        """A decorator that enforces the policy on every call of a sync or
        async function (see `corvanth_core.guard.guarded_tool`)."""
        if not isinstance(event_type, str):
            raise TypeError(
                "guard.tool() takes the event type, not "
                f"{type(event_type).__name__}: write @guard.tool() with parentheses"
            )
        hook = redact_strings if redact is None else redact

        def decorate(function: Callable[P, R]) -> Callable[P, R]:
            return guarded_tool(
                function,
                event_type=event_type,
                name=name,
                fields=fields,
                redact=hook,
                gate=self._gate,
            )

        return decorate

    # --- closing -------------------------------------------------------------

    def close(self) -> None:
        """Close the decision log if the guard opened it from a path."""
        if self._owns_log and self._log is not None:
            self._log.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        shadow = (
            "" if self._shadow is None else f" shadow={self._shadow.identity.name!r}"
        )
        return f"<Guard policy={self._identity.name!r}{shadow}>"
