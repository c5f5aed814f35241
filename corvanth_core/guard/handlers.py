"""Carrying out a decision's actions: one handler per action verb.

A handler is a callable `handler(args, decision)`: `args` is a copy of the
action's arguments, `decision` the decision they belong to. Handlers run in
the order of the result's actions. The defaults: `Log` writes a structured
record to the logger "corvanth"; every other verb does nothing (its actions
stay on the decision). An `Escalate` handler that returns False refuses
the action, which makes `enforce` raise: an approval step hooks in there.

A handler that raises never changes the verdict: its error is logged and
kept on the decision as a `HandlerError`. A failed Escalate handler counts
as a refusal, since an approval that could not be asked was not given.
In `acheck`, `aenforce` and async guarded tools a handler may be async.

    def approve(args, decision):
        return input(f"allow {decision.decision_id}? ") == "y"

    guard = Guard(policy, handlers={"Escalate": approve})
"""

import copy
import dataclasses
import inspect
import json
import logging
from collections.abc import Callable, Mapping
from typing import Any, Final

from corvanth_core.guard.decision import Decision, HandlerError

LOGGER: Final = logging.getLogger("corvanth")

Handler = Callable[[dict[str, Any], Decision], object]

ASYNC_HANDLER_IN_SYNC_CALL: Final = (
    "the handler is async, and the guarded call is not: use acheck or aenforce"
)


def log_action(args: dict[str, Any], decision: Decision) -> None:
    """The default Log handler: one INFO record on the logger "corvanth",
    its arguments as JSON in the message and as data under the record's
    attribute `corvanth`."""
    if not LOGGER.isEnabledFor(logging.INFO):
        return
    LOGGER.info(
        "Log %s (decision %s, verdict %s)",
        json.dumps(args, ensure_ascii=False, sort_keys=True),
        decision.decision_id,
        decision.verdict,
        extra={
            "corvanth": {
                "verb": "Log",
                "args": args,
                "decision_id": decision.decision_id,
                "verdict": decision.verdict,
            }
        },
    )


DEFAULT_HANDLERS: Final[Mapping[str, Handler]] = {"Log": log_action}


def merged_handlers(
    handlers: Mapping[str, Handler | None] | None,
) -> dict[str, Handler]:
    """The defaults with `handlers` over them (a verb mapped to None has no
    handler at all)."""
    merged = dict(DEFAULT_HANDLERS)
    for verb, handler in (handlers or {}).items():
        if handler is None:
            merged.pop(verb, None)
        elif callable(handler):
            merged[verb] = handler
        else:
            raise TypeError(
                f"the handler for {verb!r} must be callable, not {type(handler).__name__}"
            )
    return merged


class Outcomes:
    """What the handlers of one decision did: the errors, and whether an
    escalation was refused."""

    def __init__(self) -> None:
        self.errors: list[HandlerError] = []
        self.refused = False

    def returned(self, verb: str, value: object) -> None:
        if verb == "Escalate" and value is False:
            self.refused = True

    def raised(self, verb: str, index: int, error: Exception) -> None:
        failure = HandlerError(verb, index, type(error).__name__, str(error))
        LOGGER.error("%s", failure, exc_info=error)
        self.errors.append(failure)
        if verb == "Escalate":
            self.refused = True

    def settle(self, decision: Decision) -> Decision:
        """`decision` with the outcomes on it (itself when all went well)."""
        if not self.errors and not self.refused:
            return decision
        return dataclasses.replace(
            decision,
            handler_errors=tuple(self.errors),
            escalation_refused=self.refused,
        )


def handled_actions(
    decision: Decision, handlers: Mapping[str, Handler]
) -> list[tuple[int, str, Handler, dict[str, Any]]]:
    """The actions of `decision` that have a handler, with their place,
    verb, handler and a copy of their arguments."""
    calls = []
    for index, action in enumerate(decision._result["actions"]):
        handler = handlers.get(action["verb"])
        if handler is not None:
            calls.append(
                (index, action["verb"], handler, copy.deepcopy(action["args"]))
            )
    return calls


def run_handlers(decision: Decision, handlers: Mapping[str, Handler]) -> Decision:
    """Carry out the actions of `decision`, in order; the decision with the
    handlers' outcomes."""
    outcomes = Outcomes()
    for index, verb, handler, args in handled_actions(decision, handlers):
        try:
            value = handler(args, decision)
            if inspect.isawaitable(value):
                close = getattr(value, "close", None)
                if callable(close):
                    close()
                raise TypeError(ASYNC_HANDLER_IN_SYNC_CALL)
        except Exception as error:  # noqa: BLE001 (a handler never decides)
            outcomes.raised(verb, index, error)
        else:
            outcomes.returned(verb, value)
    return outcomes.settle(decision)


async def arun_handlers(
    decision: Decision, handlers: Mapping[str, Handler]
) -> Decision:
    """`run_handlers` for async callers: an async handler is awaited."""
    outcomes = Outcomes()
    for index, verb, handler, args in handled_actions(decision, handlers):
        try:
            value = handler(args, decision)
            if inspect.isawaitable(value):
                value = await value
        except Exception as error:  # noqa: BLE001 (a handler never decides)
            outcomes.raised(verb, index, error)
        else:
            outcomes.returned(verb, value)
    return outcomes.settle(decision)
