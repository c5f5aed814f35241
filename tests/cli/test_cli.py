"""The command `corvanth-core`: every command's text and --json output, exit
codes, load errors with their place, bad trace lines, in-place rewriting and
the container round trip. Most rows call `main` in-process; the last tests
run `python -m corvanth_core` and the installed console script."""

import io
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

import corvanth_core
from corvanth_core import _replay
from corvanth_core.cli import main
from corvanth_core.ir import (
    constraint,
    lit_str,
    machine,
    policy,
    rule,
    state,
    transition,
    verdict,
)

ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
GUARD = EXAMPLES / "coding_agent_guard.json"

SMALL = policy(
    name="small",
    rules=[
        rule(1, ["t"], verdicts=[verdict("Deny", lit_str("no t"))]),
        rule(2, ["u"], verdicts=[verdict("Audit")]),
    ],
    constraints=[constraint("u", 2, 1000)],
)
WARNING = policy(name="warned", rules=[rule(1, ["t"])])
ERROR = policy(
    name="shadowing",
    constraints=[constraint("t", 1, 10), constraint("t", 2, 10, kind="Quota")],
)
MACHINE = policy(
    name="machined",
    rules=[rule(7, [], verdicts=[verdict("Redact")])],
    constraints=[constraint("t", 1, 10), constraint("t", 5, 20, kind="Quota")],
    state_machines=[
        machine(
            name="proof",
            invariant="never_x",
            states=[state("start"), state("bad", "Violated", 1)],
            transitions=[transition(0, 1, "Always"), transition(1, 4, "Timeout")],
            violating=[1],
            deadline_millis=50,
            machine_id=3,
        )
    ],
)
BAD_TYPE = '{"name": 1}'
BAD_MESSAGE = "Invalid policy JSON: invalid type: integer `1`, expected a string"
FAILURE_KEYS = {"file", "message", "line", "column", "path"}


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """A temporary working directory with the policies of this file."""
    monkeypatch.chdir(tmp_path)
    for name, doc in [
        ("small", SMALL),
        ("warned", WARNING),
        ("shadowing", ERROR),
        ("machined", MACHINE),
    ]:
        pathlib.Path(f"{name}.json").write_text(json.dumps(doc), encoding="utf-8")
    pathlib.Path("bad.json").write_text(BAD_TYPE, encoding="utf-8")
    pathlib.Path("latin1.json").write_bytes(b'{"name": "\xe9"}')
    pathlib.Path("small.halvoc").write_bytes(corvanth_core.pack(json.dumps(SMALL)))
    header = corvanth_core.pack(json.dumps(SMALL))
    pathlib.Path("v2.halvoc").write_bytes(header[:4] + b"\x02" + header[5:])
    pathlib.Path("cut.halvoc").write_bytes(header[:30])
    pathlib.Path("dir").mkdir()
    return tmp_path


def run(capsys, *argv):
    """(exit code, stdout, stderr) of `main(argv)`."""
    code = main(list(argv))
    out, err = capsys.readouterr()
    return code, out, err


# --- check ---------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, code, out, err",
    [
        (["small.json"], 0, "small.json: ok\n", ""),
        (["small.halvoc"], 0, "small.halvoc: ok\n", ""),
        (
            ["warned.json"],
            0,
            (
                "warned.json: warning [rule-without-effect] rules[0]: rule 1 has no "
                "verdicts and no actions: firing it changes nothing\n"
                "warned.json: 0 errors, 1 warning, 0 infos\n"
            ),
            "",
        ),
        (
            ["--strict", "warned.json", "small.json"],
            1,
            (
                "warned.json: warning [rule-without-effect] rules[0]: rule 1 has no "
                "verdicts and no actions: firing it changes nothing\n"
                "warned.json: 0 errors, 1 warning, 0 infos\nsmall.json: ok\n"
            ),
            "",
        ),
        (
            ["shadowing.json"],
            1,
            (
                "shadowing.json: error [shadowed-constraint] constraints[0].target: "
                "constraint on `t` is replaced by constraints[1] on the same target and "
                "never applies\nshadowing.json: 1 error, 0 warnings, 0 infos\n"
            ),
            "",
        ),
        (
            ["bad.json", "small.json"],
            2,
            "small.json: ok\n",
            f"bad.json:1:10: error: {BAD_MESSAGE} (at name)\n",
        ),
        (
            ["missing.json"],
            2,
            "",
            "missing.json: error: No such file or directory\n",
        ),
    ],
)
def test_check(workdir, capsys, argv, code, out, err):
    assert run(capsys, "check", *argv) == (code, out, err)


def test_check_json(workdir, capsys):
    code, out, err = run(capsys, "check", "--json", "warned.json", "bad.json")
    assert code == 2
    assert err == f"bad.json:1:10: error: {BAD_MESSAGE} (at name)\n"
    assert json.loads(out) == {
        "policies": [
            {
                "file": "warned.json",
                "policy_name": "warned",
                "error": None,
                "diagnostics": [
                    {
                        "severity": "warning",
                        "code": "rule-without-effect",
                        "message": "rule 1 has no verdicts and no actions: firing "
                        "it changes nothing",
                        "path": "rules[0]",
                    }
                ],
            },
            {
                "file": "bad.json",
                "policy_name": None,
                "error": {
                    "file": "bad.json",
                    "message": BAD_MESSAGE,
                    "line": 1,
                    "column": 10,
                    "path": "name",
                },
                "diagnostics": [],
            },
        ]
    }


# --- load errors, the same for every command ------------------------------------

LOAD_ERRORS = [
    ("missing.json", "missing.json: error: No such file or directory"),
    ("dir", "dir: error: Is a directory"),
    ("bad.json", f"bad.json:1:10: error: {BAD_MESSAGE} (at name)"),
    (
        "latin1.json",
        "latin1.json: error: not UTF-8 JSON text (invalid continuation byte at byte 10)",
    ),
    (
        "v2.halvoc",
        (
            "v2.halvoc: error: Failed to parse policy bytes: unsupported format version 2 "
            "(expected 1)"
        ),
    ),
]
COMMANDS = [
    ["check"],
    ["fmt"],
    ["fmt", "-w"],
    ["inspect"],
    ["pack", "-o", "out.halvoc"],
    ["replay", "--explain", "1", "@", "trace.jsonl"],
    ["bench", "@", "trace.jsonl"],
]


@pytest.mark.parametrize("command", COMMANDS, ids=lambda c: " ".join(c[:2]))
@pytest.mark.parametrize("name, message", LOAD_ERRORS, ids=[e[0] for e in LOAD_ERRORS])
def test_load_errors(workdir, capsys, command, name, message):
    pathlib.Path("trace.jsonl").write_text('{"type": "t"}\n')
    argv = [name if part == "@" else part for part in command]
    if "@" not in command:
        argv.append(name)
    before = sorted(os.listdir())
    assert run(capsys, *argv) == (2, "", message + "\n")
    assert sorted(os.listdir()) == before


def test_load_error_in_a_container_payload_has_its_place(workdir, capsys):
    pathlib.Path("p.halvoc").write_bytes(
        corvanth_core.container.write_container('{\n "name": true}')
    )
    code, out, err = run(capsys, "--json", "inspect", "p.halvoc")
    assert code == 2
    assert err == (
        "p.halvoc:2:13: error: Failed to parse policy bytes: serialization error: "
        "invalid type: boolean `true`, expected a string (at name)\n"
    )
    assert json.loads(out)["error"] == {
        "file": "p.halvoc",
        "message": err.split(": error: ")[1].removesuffix(" (at name)\n"),
        "line": 2,
        "column": 13,
        "path": "name",
    }


def test_truncated_container(workdir, capsys):
    code, out, err = run(capsys, "check", "cut.halvoc")
    assert (code, out) == (2, "")
    assert err.startswith("cut.halvoc: error: Failed to parse policy bytes: ")


# --- usage -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "argv, fragment",
    [
        ([], "the following arguments are required: COMMAND"),
        (["lint", "x"], "invalid choice: 'lint'"),
        (["check"], "the following arguments are required: POLICY"),
        (["pack", "small.json"], "the following arguments are required: -o/--output"),
        (["fmt", "-w", "--check", "small.json"], "not allowed with argument"),
        (["fmt", "--indent", "x", "small.json"], "not an integer: 'x'"),
        (["bench", "--rounds", "0", "a", "b"], "must be at least 1, not 0"),
        (["replay", "--explain", "-1", "a", "b"], "must be at least 1, not -1"),
    ],
)
def test_usage_errors_exit_2(workdir, capsys, argv, fragment):
    with pytest.raises(SystemExit) as exited:
        main(argv)
    out, err = capsys.readouterr()
    assert exited.value.code == 2
    assert out == ""
    assert err.startswith("usage: corvanth-core")
    assert fragment in err


def test_version_and_help(capsys):
    with pytest.raises(SystemExit) as exited:
        main(["--version"])
    assert exited.value.code == 0
    assert capsys.readouterr().out == f"corvanth-core {corvanth_core.__version__}\n"
    with pytest.raises(SystemExit):
        main(["replay", "--help"])
    text = capsys.readouterr().out
    assert "1  findings: a bad trace line was met (reported and skipped), or an" in text
    assert "2  a usage error, or a file that cannot be read, loaded or written" in text


# --- fmt ----------------------------------------------------------------------------


def canonical(doc):
    return corvanth_core.loads(json.dumps(doc)).to_json()


def indented(doc, width=2):
    return json.dumps(json.loads(canonical(doc)), indent=width)


@pytest.mark.parametrize(
    "argv, code, out",
    [
        (["small.json"], 0, indented(SMALL) + "\n"),
        (["small.halvoc"], 0, canonical(SMALL) + "\n"),
        (["--compact", "small.json"], 0, canonical(SMALL) + "\n"),
        (["--indent", "3", "small.json"], 0, indented(SMALL, 3) + "\n"),
        (["--indent", "2", "small.halvoc"], 0, indented(SMALL) + "\n"),
        (["--check", "small.json"], 1, "small.json: not formatted\n"),
        (["--check", "small.halvoc"], 1, "small.halvoc: not formatted\n"),
    ],
)
def test_fmt(workdir, capsys, argv, code, out):
    assert run(capsys, "fmt", *argv) == (code, out, "")


def test_fmt_write_refuses_standard_input(workdir, capsys):
    assert run(capsys, "fmt", "-w", "-") == (
        2,
        "",
        "-: error: -w needs a file, not standard input\n",
    )


def test_fmt_json(workdir, capsys):
    code, out, _ = run(capsys, "fmt", "--json", "small.halvoc")
    assert code == 0
    assert json.loads(out) == {
        "file": "small.halvoc",
        "form": "halvoc",
        "formatted": False,
        "text": canonical(SMALL),
    }


@pytest.mark.parametrize("indent", [[], ["--compact"], ["--indent", "4"]])
def test_fmt_write_round_trip(workdir, capsys, indent):
    path = pathlib.Path("small.json")
    path.chmod(0o640)
    assert run(capsys, "fmt", "-w", *indent, "small.json") == (
        0,
        "small.json: reformatted\n",
        "",
    )
    text = path.read_text(encoding="utf-8")
    expected = {
        (): indented(SMALL),
        ("--compact",): canonical(SMALL),
        ("--indent", "4"): indented(SMALL, 4),
    }[tuple(indent)]
    assert text == expected + "\n"
    assert path.stat().st_mode & 0o777 == 0o640
    assert run(capsys, "fmt", "--check", *indent, "small.json") == (
        0,
        "small.json: formatted\n",
        "",
    )
    code, out, _ = run(capsys, "fmt", "-w", "--json", *indent, "small.json")
    assert (code, json.loads(out)) == (
        0,
        {"file": "small.json", "form": "json", "formatted": True, "written": False},
    )
    assert sorted(os.listdir()) == sorted(
        [
            "small.json",
            "warned.json",
            "shadowing.json",
            "machined.json",
            "bad.json",
            "latin1.json",
            "small.halvoc",
            "v2.halvoc",
            "cut.halvoc",
            "dir",
        ]
    )


def test_fmt_write_keeps_a_container_a_container(workdir, capsys):
    assert run(capsys, "fmt", "-w", "small.halvoc") == (
        0,
        "small.halvoc: reformatted\n",
        "",
    )
    data = pathlib.Path("small.halvoc").read_bytes()
    assert data == corvanth_core.loads(json.dumps(SMALL)).to_bytes()


def test_fmt_write_through_a_symlink_rewrites_the_target(workdir, capsys):
    os.symlink("small.json", "link.json")
    assert run(capsys, "fmt", "-w", "link.json")[0] == 0
    assert os.path.islink("link.json")
    assert pathlib.Path("small.json").read_text() == indented(SMALL) + "\n"


def test_a_failed_write_leaves_the_file_and_no_temporary(workdir, capsys, monkeypatch):
    original = pathlib.Path("small.json").read_bytes()

    def refuse(source, target):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "replace", refuse)
    assert run(capsys, "fmt", "-w", "small.json") == (
        2,
        "",
        "small.json: error: No space left on device\n",
    )
    assert pathlib.Path("small.json").read_bytes() == original
    assert not [name for name in os.listdir() if name.endswith(".tmp")]


# --- pack, unpack --------------------------------------------------------------------


def test_pack_unpack_round_trip(workdir, capsys):
    text = json.dumps(SMALL, indent=3) + "\n"
    pathlib.Path("x.json").write_text(text, encoding="utf-8")
    size = 12 + len(text.encode())
    assert run(capsys, "pack", "x.json", "-o", "x.halvoc") == (
        0,
        f"x.halvoc: {size} bytes, policy small\n",
        "",
    )
    assert pathlib.Path("x.halvoc").read_bytes() == corvanth_core.pack(text)
    assert run(capsys, "unpack", "x.halvoc") == (0, text, "")
    assert run(capsys, "unpack", "x.halvoc", "-o", "y.json") == (
        0,
        f"y.json: {len(text.encode())} bytes, policy small\n",
        "",
    )
    assert pathlib.Path("y.json").read_text(encoding="utf-8") == text
    assert run(capsys, "pack", "x.halvoc", "-o", "z.halvoc")[0] == 0
    assert pathlib.Path("z.halvoc").read_bytes() == corvanth_core.pack(text)


def test_pack_unpack_json_output(workdir, capsys):
    code, out, _ = run(capsys, "pack", "--json", "small.json", "-o", "p.halvoc")
    size = len(pathlib.Path("p.halvoc").read_bytes())
    assert (code, json.loads(out)) == (
        0,
        {
            "file": "small.json",
            "output": "p.halvoc",
            "bytes": size,
            "policy_name": "small",
        },
    )
    code, out, _ = run(capsys, "unpack", "--json", "p.halvoc")
    assert (code, json.loads(out)) == (
        0,
        {"file": "p.halvoc", "policy_name": "small", "text": json.dumps(SMALL)},
    )


@pytest.mark.parametrize(
    "argv, message",
    [
        (
            ["unpack", "small.json"],
            (
                "small.json: error: not a .halvoc container (it does not start with the "
                "magic AE 91 5C 01)"
            ),
        ),
        (
            ["pack", "small.json", "-o", "no/such/dir/x.halvoc"],
            "no/such/dir/x.halvoc: error: No such file or directory",
        ),
        (["pack", "small.json", "-o", "dir"], "dir: error: Is a directory"),
    ],
)
def test_pack_unpack_failures(workdir, capsys, argv, message):
    before = sorted(os.listdir())
    assert run(capsys, *argv) == (2, "", message + "\n")
    assert sorted(os.listdir()) == before


def test_committed_container_is_the_packed_example(capsys, tmp_path):
    out = tmp_path / "guard.halvoc"
    assert main(["pack", str(GUARD), "-o", str(out)]) == 0
    assert out.read_bytes() == (EXAMPLES / "coding_agent_guard.halvoc").read_bytes()
    capsys.readouterr()


def test_build_examples_check_passes():
    done = subprocess.run(
        [sys.executable, str(ROOT / "tools" / "build_examples.py"), "--check"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert (done.returncode, done.stderr) == (0, "")


# --- inspect --------------------------------------------------------------------------

MACHINE_TEXT = """\
policy machined (severity Low, scopes none)
1 rule by event type:
  (every event type) rule 7 (no severity, no condition): verdicts Redact; actions none
2 constraints:
  t                  RateLimit 1 per 10 ms  shadowed by a later one, not enforced
  t                  Quota 5 per 20 ms
1 machine:
  3 proof: Never never_x, deadline 50 ms
    state 0 start (Active, initial)
    state 1 bad (Violated, violating)
    0 start -> 1 bad: always
    1 bad -> 4 (no such state): after deadline
"""


def test_inspect_text(workdir, capsys):
    assert run(capsys, "inspect", "machined.json") == (0, MACHINE_TEXT, "")


def test_inspect_example(capsys):
    code, out, _ = run(capsys, "inspect", str(EXAMPLES / "coding_agent_guard.halvoc"))
    assert code == 0
    assert out.splitlines()[:8] == [
        "policy coding_agent_guard (severity High, scopes coding_agent)",
        "4 rules by event type:",
        "  tool_call          rule 1 (Critical): verdicts Deny; actions Block, Log",
        (
            '                       when tool == "shell" and (command contains "rm -rf" or '
            'any(w == "rm" for w in command.split(" ")) and any(w startswith "-" and '
            '(w contains "r" or w contains "R") for w in command.split(" ")) and '
            'any(w startswith "-" and w contains "f" for w in command.split(" ")) or '
            'command.trim() matches "sudo .*")'
        ),
        "                     rule 4 (Low): verdicts Redact; actions Tag",
        "                       when len(content) > 4096",
        "  file_access        rule 2 (High): verdicts Deny; actions Escalate",
        (
            '                       when path startswith "/etc/" or '
            "any(path endswith x for x in config.secret_suffixes)"
        ),
    ]


def test_inspect_json(workdir, capsys):
    code, out, _ = run(capsys, "inspect", "--json", "machined.json")
    assert code == 0
    assert json.loads(out) == {
        "name": "machined",
        "severity": "Low",
        "scopes": [],
        "rules_by_event": {"*": [7]},
        "rules": [
            {
                "id": 7,
                "on_events": [],
                "severity": None,
                "has_condition": False,
                "condition": None,
                "verdicts": ["Redact"],
                "actions": [],
            }
        ],
        "constraints": [
            {
                "index": 0,
                "kind": "RateLimit",
                "target": "t",
                "limit": 1,
                "window_ms": 10,
                "enforced": False,
            },
            {
                "index": 1,
                "kind": "Quota",
                "target": "t",
                "limit": 5,
                "window_ms": 20,
                "enforced": True,
            },
        ],
        "machines": [
            {
                "id": 3,
                "name": "proof",
                "invariant": "never_x",
                "kind": "Never",
                "deadline_ms": 50,
                "states": [
                    {
                        "number": 0,
                        "label": "start",
                        "kind": "Active",
                        "initial": True,
                        "accepting": False,
                        "violating": False,
                    },
                    {
                        "number": 1,
                        "label": "bad",
                        "kind": "Violated",
                        "initial": False,
                        "accepting": False,
                        "violating": True,
                    },
                ],
                "transitions": [
                    {"from": 0, "to": 1, "guard": "Always", "source": "always"},
                    {
                        "from": 1,
                        "to": 4,
                        "guard": "Timeout",
                        "source": "after deadline",
                    },
                ],
            }
        ],
    }


# --- replay ----------------------------------------------------------------------------

TRACE = """\
{"type": "t", "fields": {"a": 1}, "timestamp_ms": 1000}
{"type": "u", "timestamp_ms": 1100}
{"type": "u", "timestamp_ms": 1200}

{"type": "u", "fields": {}, "timestamp_ms": 1300}
{"type": "v", "fields": {}, "timestamp_ms": 5000}
"""
TRACE_TEXT = """\
   1  t              deny   no t  rules 1
   2  u              audit  rules 2
   3  u              audit  rules 2
   4  u              deny   RateLimit exceeded: 3 events in 1000ms window (limit: 2)  rules 2  RateLimit u 3/2 in 1000 ms
   5  v              allow
summary: 5 events (1 allow, 2 deny, 2 audit, 0 redact)
  rule 1 fired in 1 event
  rule 2 fired in 3 events
  RateLimit on u exceeded in 1 event
"""


@pytest.fixture
def trace(workdir):
    pathlib.Path("trace.jsonl").write_text(TRACE, encoding="utf-8")
    return "trace.jsonl"


def test_replay_text(trace, capsys):
    assert run(capsys, "replay", "small.json", trace) == (0, TRACE_TEXT, "")


@pytest.mark.parametrize(
    "fail_on, code",
    [(["deny"], 1), (["redact"], 0), (["redact", "audit"], 1), (["allow"], 1)],
)
def test_replay_fail_on_a_verdict(trace, capsys, fail_on, code):
    options = [f"--fail-on={verdict}" for verdict in fail_on]
    assert run(capsys, "replay", *options, "small.json", trace) == (
        code,
        TRACE_TEXT,
        "",
    )
    explained = run(capsys, "replay", *options, "--explain", "1", "small.json", trace)
    assert explained[0] == code


def test_replay_exits_0_without_denials(workdir, capsys):
    pathlib.Path("ok.jsonl").write_text('{"type": "v"}\n{"type": "u"}\n')
    assert run(capsys, "replay", "small.json", "ok.jsonl") == (
        0,
        (
            "   1  v              allow\n   2  u              audit  rules 2\n"
            "summary: 2 events (1 allow, 0 deny, 1 audit, 0 redact)\n"
            "  rule 2 fired in 1 event\n"
        ),
        "",
    )


def test_replay_json_lines(trace, capsys):
    code, out, err = run(capsys, "replay", "--json", "small.json", trace)
    records = [json.loads(line) for line in out.splitlines()]
    assert (code, err, len(records)) == (0, "", 6)
    assert records[0] == {
        "event": 1,
        "line": 1,
        "type": "t",
        "timestamp_ms": 1000,
        "verdict": "deny",
        "reason": "no t",
        "triggered_rules": [1],
        "actions": [],
        "violations": [],
        "constraint_violations": [],
    }
    assert records[3]["line"] == 5
    assert records[3]["constraint_violations"] == [
        {
            "kind": "RateLimit",
            "target": "u",
            "limit": 2,
            "current": 3,
            "window_ms": 1000,
        }
    ]
    assert records[5] == {
        "summary": {
            "events": 5,
            "verdicts": {"allow": 1, "deny": 2, "audit": 2, "redact": 0},
            "rules": [{"id": 1, "events": 1}, {"id": 2, "events": 3}],
            "violations": [],
            "constraint_violations": [
                {"kind": "RateLimit", "target": "u", "events": 1}
            ],
            "bad_lines": [],
        }
    }


def test_replay_reads_standard_input(trace, capsys, monkeypatch):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(TRACE.encode())))
    assert run(capsys, "replay", "small.json", "-") == (0, TRACE_TEXT, "")


def test_replay_explain(trace, capsys):
    code, out, _ = run(capsys, "replay", "small.json", trace, "--explain", "4")
    lines = out.splitlines()
    assert code == 0
    assert lines[3:8] == [
        TRACE_TEXT.splitlines()[3],
        "        rate limit: RateLimit u 3 of 2 in 1000 ms, exceeded",
        "        rule 1: filtered out by event type",
        "        rule 2: no condition, matched",
        "          verdict audit null over deny: dropped",
    ]
    assert lines[8] == "   5  v              allow"


def test_replay_explain_json_matches_the_engine(trace, capsys):
    _, out, _ = run(capsys, "replay", "--json", "small.json", trace, "--explain", "1")
    first = json.loads(out.splitlines()[0])
    engine = corvanth_core.load("small.json")
    engine.reset_at(1000)
    assert first["trace"] == engine.explain("t", {"a": 1}, 1000)["trace"]
    assert "trace" not in json.loads(out.splitlines()[1])


def test_replay_explain_past_the_end(trace, capsys):
    code, out, err = run(capsys, "replay", "small.json", trace, "--explain", "6")
    assert (code, out) == (2, TRACE_TEXT)
    assert err == "trace.jsonl: error: no event 6 to explain (the trace has 5 events)\n"


def test_replay_settings_and_recorded_start(workdir, capsys):
    doc = policy(
        name="timed",
        rules=[
            rule(
                1,
                ["t"],
                actions=[
                    {
                        "verb": "Log",
                        "args": [
                            ["c", {"Ref": {"root": "Policy", "fields": ["k"]}}],
                            ["x", {"Ref": {"root": "Context", "fields": ["s"]}}],
                        ],
                    }
                ],
            )
        ],
        state_machines=[
            machine(
                states=[state("wait"), state("late", "Violated", 1)],
                transitions=[transition(0, 1, "Timeout")],
                violating=[1],
                deadline_millis=100,
            )
        ],
    )
    pathlib.Path("timed.json").write_text(json.dumps(doc))
    pathlib.Path("s.jsonl").write_text(
        '{"config": {"k": [1, 2]}, "context": {"s": "abc"}}\n'
        '{"type": "t", "timestamp_ms": 5000}\n'
        '{"type": "t", "timestamp_ms": 5099}\n'
        '{"type": "t", "timestamp_ms": 5100}\n'
    )
    code, out, _ = run(capsys, "replay", "timed.json", "s.jsonl")
    lines = out.splitlines()
    assert code == 0
    assert (
        lines[0]
        == '   1  t              allow  rules 1  actions Log(c=[1, 2], x="abc")'
    )
    assert lines[1].startswith("   2  t              allow  rules 1")
    assert lines[2].startswith(
        "   3  t              deny   Invariant violation: inv (m)"
    )


BAD_LINES = [
    (
        "{",
        "invalid JSON: Expecting property name enclosed in double quotes at column 2",
    ),
    ("[1, 2]", "expected a JSON object, got an array"),
    ('"t"', "expected a JSON object, got a string"),
    ("{}", "missing key `type`"),
    ('{"type": 3}', "`type` must be a string, got a number"),
    ('{"type": null}', "`type` must be a string, got null"),
    ('{"type": "t", "fields": [1]}', "`fields` must be an object, got an array"),
    (
        '{"type": "t", "timestamp_ms": "5"}',
        '`timestamp_ms` must be an integer from 0 to 18446744073709551615, got "5"',
    ),
    (
        '{"type": "t", "timestamp_ms": -1}',
        "`timestamp_ms` must be an integer from 0 to 18446744073709551615, got -1",
    ),
    (
        '{"type": "t", "timestamp_ms": 1.5}',
        "`timestamp_ms` must be an integer from 0 to 18446744073709551615, got 1.5",
    ),
    (
        '{"type": "t", "timestamp_ms": true}',
        "`timestamp_ms` must be an integer from 0 to 18446744073709551615, got true",
    ),
    (
        '{"type": "t", "timestamp_ms": 18446744073709551616}',
        (
            "`timestamp_ms` must be an integer from 0 to 18446744073709551615, "
            "got 18446744073709551616"
        ),
    ),
    (
        '{"type": "t", "timestamp": 5}',
        "unknown key `timestamp` (expected `type`, `fields`, `timestamp_ms`)",
    ),
    (
        '{"config": {}, "type": "t"}',
        "unknown key `type` (expected `config`, `context`)",
    ),
    ('{"config": [1]}', "`config` must be an object, got an array"),
    ('{"context": 2}', "`context` must be an object, got a number"),
    (
        '{"type": "t", "fields": {"a": ' + "[" * 1200 + "]" * 1200 + "}}",
        (
            "fields cannot be evaluated: maximum recursion depth exceeded while converting "
            "a nested value"
        ),
    ),
]


@pytest.fixture
def deep_json():
    """A recursion limit at which the JSON decoder reads values nested deeper
    than the engine takes."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(10000)
    yield
    sys.setrecursionlimit(limit)


@pytest.mark.parametrize("line, error", BAD_LINES, ids=[b[1][:30] for b in BAD_LINES])
def test_replay_reports_and_skips_bad_lines(workdir, capsys, deep_json, line, error):
    pathlib.Path("b.jsonl").write_text('{"type": "v"}\n' + line + '\n{"type": "v"}\n')
    code, out, err = run(capsys, "replay", "small.json", "b.jsonl")
    assert code == 1
    assert err == f"b.jsonl: line 2: {error}\n"
    assert out.splitlines()[:2] == [
        "   1  v              allow",
        "   2  v              allow",
    ]
    assert out.splitlines()[2] == (
        "summary: 2 events (2 allow, 0 deny, 0 audit, 0 redact), 1 bad line skipped"
    )


def test_replay_bad_bytes_and_json_summary(workdir, capsys):
    pathlib.Path("b.jsonl").write_bytes(
        b'\xef\xbb\xbf{"type": "v"}\n{"type": "\xff"}\n'
    )
    code, out, err = run(capsys, "replay", "--json", "small.json", "b.jsonl")
    assert code == 1
    assert err == "b.jsonl: line 2: not UTF-8 text (invalid start byte at byte 10)\n"
    summary = json.loads(out.splitlines()[-1])["summary"]
    assert (summary["events"], summary["bad_lines"]) == (
        1,
        [{"line": 2, "error": "not UTF-8 text (invalid start byte at byte 10)"}],
    )


def test_replay_missing_trace(workdir, capsys):
    assert run(capsys, "replay", "small.json", "none.jsonl") == (
        2,
        "",
        "none.jsonl: error: No such file or directory\n",
    )


def test_replay_sample_session(capsys):
    code, out, err = run(
        capsys, "replay", str(GUARD), str(EXAMPLES / "coding_agent_session.jsonl")
    )
    assert (code, err) == (0, "")
    assert out.splitlines()[-8:] == [
        "summary: 569 events (559 allow, 8 deny, 1 audit, 1 redact)",
        "  rule 1 fired in 2 events",
        "  rule 2 fired in 2 events",
        "  rule 3 fired in 1 event",
        "  rule 4 fired in 1 event",
        (
            "  invariant no_network_after_secret_read (no_exfiltration_proof) violated "
            "in 2 events"
        ),
        "  RateLimit on web_request exceeded in 1 event",
        "  Quota on tool_call exceeded in 1 event",
    ]


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_progress_only_on_a_terminal_and_after_a_delay(monkeypatch):
    clock = iter([0.0, 0.5, 1.5, 1.6, 2.0, 3.0])
    monkeypatch.setattr(_replay.time, "monotonic", lambda: next(clock))
    screen = Terminal()
    meter = _replay.Progress(screen, 200)
    meter.update(10, 1)  # 0.5 s: too early
    meter.update(100, 50)  # 1.5 s: shown
    meter.update(120, 60)  # 1.6 s: within the interval
    meter.update(150, 70)  # 2.0 s: shown again
    meter.finish()
    assert screen.getvalue() == (
        "\rreplay: 50%, 50 events\rreplay: 75%, 70 events\r" + " " * 22 + "\r"
    )
    pipe = io.StringIO()
    quiet = _replay.Progress(pipe, 0)
    quiet.next = 0
    quiet.update(1, 1)
    quiet.finish()
    assert pipe.getvalue() == ""


# --- bench -----------------------------------------------------------------------------


def test_bench_text_and_json(trace, capsys):
    code, out, err = run(capsys, "bench", "small.json", trace, "--rounds", "3")
    lines = out.splitlines()
    assert (code, err, lines[0]) == (0, "", "small: 5 events x 3 rounds")
    assert re.fullmatch(
        r"  throughput: median [\d,]+ events/s \(quartiles [\d,]+ to [\d,]+\)", lines[1]
    )
    assert re.fullmatch(
        r"  time per event: median [\d.]+ us \(quartiles [\d.]+ to [\d.]+\)", lines[2]
    )
    code, out, _ = run(capsys, "bench", "--json", "small.json", trace, "--rounds", "5")
    report = json.loads(out)
    assert code == 0
    assert list(report) == [
        "policy_name",
        "events",
        "rounds",
        "evaluations",
        "events_per_second",
        "ns_per_event",
    ]
    assert (report["events"], report["rounds"], report["evaluations"]) == (5, 5, 25)
    for spread in (report["events_per_second"], report["ns_per_event"]):
        assert list(spread) == ["q1", "median", "q3"]
        assert 0 < spread["q1"] <= spread["median"] <= spread["q3"]


def test_bench_bad_lines_and_empty_traces(workdir, capsys):
    pathlib.Path("b.jsonl").write_text('{"type": "v"}\nnope\n')
    code, _, err = run(capsys, "bench", "small.json", "b.jsonl", "--rounds", "1")
    assert (code, err) == (
        1,
        "b.jsonl: line 2: invalid JSON: Expecting value at column 1\n",
    )
    pathlib.Path("e.jsonl").write_text("\n")
    assert run(capsys, "bench", "small.json", "e.jsonl") == (
        2,
        "",
        "e.jsonl: error: no events to measure\n",
    )


# --- as a program ------------------------------------------------------------------------


def program_runs():
    script = shutil.which("corvanth-core", path=os.path.dirname(sys.executable))
    runs = [[sys.executable, "-m", "corvanth_core"]]
    if script is not None:
        runs.append([script])
    return runs


@pytest.mark.parametrize("prefix", program_runs(), ids=lambda p: " ".join(p[-2:]))
def test_as_a_program(workdir, prefix):
    done = subprocess.run(
        [*prefix, "check", "small.json", "bad.json"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert (done.returncode, done.stdout, done.stderr) == (
        2,
        "small.json: ok\n",
        f"bad.json:1:10: error: {BAD_MESSAGE} (at name)\n",
    )


def test_console_script_is_installed():
    assert shutil.which("corvanth-core", path=os.path.dirname(sys.executable))


def test_bench_reports_a_bad_setting_once(workdir, capsys, deep_json):
    deep = "[" * 1200 + "]" * 1200
    pathlib.Path("b.jsonl").write_text(
        f'{{"config": {{"k": {deep}}}}}\n{{"type": "t"}}\n'
    )
    code, _, err = run(capsys, "bench", "small.json", "b.jsonl", "--rounds", "3")
    assert (code, err) == (
        1,
        (
            "b.jsonl: line 1: value cannot be set: maximum recursion depth exceeded "
            "while converting a nested value\n"
        ),
    )
