"""Engine diagnostics shown at the source that wrote what they are about."""

from corvanth_core import PolicyEngine
from corvanth_core.source import compile_with_map

SOURCE = """\
name: p
rules:
  - on: t
    when: command matches "^sleep [0-9]+$"
    deny: no
  - on: t
    when: event.type == "x"
    deny: no
limits:
  - rate: t
    max: 0
    per: 1s
invariants:
  - name: m
    states: [a, b, c]
    violating: [b]
    transitions:
      - a -> b: x
"""


def test_diagnostics_are_placed_at_their_source() -> None:
    compiled = compile_with_map(SOURCE, filename="p.yaml")
    engine = PolicyEngine.from_json(compiled.json)
    placed = [
        (compiled.source_map.position(d["path"]), d["code"], d["path"])
        for d in engine.diagnostics()
    ]
    assert placed == [
        ((4, 11), "pattern-not-regex", "rules[0].condition.Predicate.argument"),
        ((7, 11), "event-type-field", "rules[1].condition.Binary.left.Ref.fields[0]"),
        ((11, 10), "zero-limit", "constraints[0].limit"),
        ((15, 20), "unreachable-state", "state_machines[0].states[2]"),
    ]
    first = engine.diagnostics()[0]
    assert compiled.source_map.render(first["path"], "warning", "m") == (
        'p.yaml:4:11: warning: m\n 4 |     when: command matches "^sleep [0-9]+$"\n'
        "   |           ^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^^"
    )
