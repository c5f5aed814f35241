"""How an invariant treats a breach that repeats, shared by the compiler
and the printer so both read the same rule.

An invariant's breach is denied on the event that causes it. With
`repeats: deny` (the default) later events that repeat the breach are
denied too: each violating state stays `Active` unless its kind is given,
and for every guarded transition into it from another state, the
compiled machine gets a transition from the violating state to itself
with the same guard (after the written ones, once each), so the breach
re-enters the state and counts as a new violation. With `repeats: allow`
a violating state rests (`Violated`) unless its kind is given: later
events are reported as violations but not denied.

    extra = repeat_transitions(transitions, kinds, violating)
"""

from corvanth_core.source.canonical_json import canonical_json
from corvanth_core.source.ir_build import IR, transition

REPEAT_MODES = ("deny", "allow")


def default_kind(index: int, violating: list[int], repeats: str) -> str:
    """The kind a state gets when the source gives none."""
    if repeats == "allow" and index in violating:
        return "Violated"
    return "Active"


def repeat_transitions(
    transitions: list[IR], kinds: list[str], violating: list[int]
) -> list[IR]:
    """The transitions `repeats: deny` adds after `transitions`."""
    seen = {canonical_json(t) for t in transitions}
    extra: list[IR] = []
    for state in dict.fromkeys(violating):
        if not 0 <= state < len(kinds) or kinds[state] != "Active":
            continue
        for written in transitions:
            guard = written["guard"]
            if written["to"] != state or written["from"] == state:
                continue
            if not isinstance(guard, dict):
                continue  # Timeout and Always are not breaches to repeat
            added = transition(state, state, guard)
            key = canonical_json(added)
            if key not in seen:
                seen.add(key)
                extra.append(added)
    return extra


def split_repeats(
    transitions: list[IR], kinds: list[str], violating: list[int]
) -> int | None:
    """The number of written transitions if `transitions` is what
    `repeats: deny` makes of them, preferring the fewest written; None if
    no prefix gives exactly these transitions."""
    # What the rule adds are loops on violating states, so the written part
    # reaches at least to the last transition that is not one.
    first = 0
    for index, t in enumerate(transitions):
        if t["from"] != t["to"] or t["to"] not in violating:
            first = index + 1
    whole = [canonical_json(t) for t in transitions]
    for written in range(first, len(transitions) + 1):
        head = transitions[:written]
        made = head + repeat_transitions(head, kinds, violating)
        if [canonical_json(t) for t in made] == whole:
            return written
    return None
