"""What the command line shows of a policy speaks its source: `inspect`
and `replay --explain` print conditions and guards as the source writes
them, whatever form the policy was loaded from."""

import pathlib

import pytest

import corvanth_core
from corvanth_core.cli import main

SOURCE = """\
name: shown
rules:
  - on: t
    when: a > 1 and not (b contains "x")
    deny: "big {a}"
  - on: [t, u]
    audit: look
invariants:
  - name: m
    kind: never
    repeats: allow
    states: [start, armed, bad]
    violating: [bad]
    deadline: 1s
    transitions:
      - start -> armed: event["odd key"] == "y"
      - armed -> bad:
          unless: a in [1, 2]
      - armed -> start:
          after: deadline
      - bad -> start
"""
SESSION = """\
{"type": "t", "fields": {"a": 2, "b": "y", "odd key": "y"}, "timestamp_ms": 0}
{"type": "u", "fields": {"a": 5}, "timestamp_ms": 10}
"""
INSPECTED = [
    "policy shown (severity Medium, scopes none)",
    "2 rules by event type:",
    "  t                  rule 1 (no severity): verdicts Deny; actions none",
    '                       when a > 1 and not b contains "x"',
    (
        "                     rule 2 (no severity, no condition): verdicts Audit; "
        "actions none"
    ),
    (
        "  u                  rule 2 (no severity, no condition): verdicts Audit; "
        "actions none"
    ),
    "0 constraints:",
    "1 machine:",
    "  1 m: Never m, deadline 1000 ms",
    "    state 0 start (Active, initial)",
    "    state 1 armed (Active)",
    "    state 2 bad (Violated, violating)",
    '    0 start -> 1 armed: when event["odd key"] == "y"',
    "    1 armed -> 2 bad: unless a in [1, 2]",
    "    1 armed -> 0 start: after deadline",
    "    2 bad -> 0 start: always",
]
FIRST_EXPLAINED = [
    "   1  t              deny   big 2  rules 1, 2",
    "        rate limit: none for this event type",
    '        rule 1: when a > 1 and not b contains "x" gave true, matched',
    '          verdict deny "big 2" over allow: taken',
    "        rule 2: no condition, matched",
    '          verdict audit "look" over deny: dropped',
    "        machine m: state 0 start, active",
    (
        '          transition 0 to 1 armed when event["odd key"] == "y" gave true, '
        "allows"
    ),
    "          transition taken: 0; state after: 1 armed",
]
SECOND_EXPLAINED = [
    (
        "   2  u              deny   Invariant violation: m (m)  rules 2  "
        "violation m (m)"
    ),
    "        rate limit: none for this event type",
    "        rule 1: filtered out by event type",
    "        rule 2: no condition, matched",
    '          verdict audit "look" over allow: taken',
    "        machine m: state 1 armed, active",
    "          transition 1 to 2 bad unless a in [1, 2] gave false, allows",
    "          transition taken: 1; state after: 2 bad",
]


@pytest.fixture
def files(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    pathlib.Path("shown.yaml").write_text(SOURCE, encoding="utf-8")
    pathlib.Path("shown.json").write_text(corvanth_core.compile(SOURCE))
    pathlib.Path("s.jsonl").write_text(SESSION, encoding="utf-8")


@pytest.mark.parametrize(
    "argv, start, expected",
    [
        (["inspect", "shown.yaml"], 0, INSPECTED),
        (["inspect", "shown.json"], 0, INSPECTED),
        (["replay", "shown.yaml", "s.jsonl", "--explain", "1"], 0, FIRST_EXPLAINED),
        (["replay", "shown.json", "s.jsonl", "--explain", "2"], 1, SECOND_EXPLAINED),
    ],
)
def test_policies_are_shown_as_source(files, capsys, argv, start, expected):
    main(argv)
    lines = capsys.readouterr().out.splitlines()
    assert lines[start : start + len(expected)] == expected
