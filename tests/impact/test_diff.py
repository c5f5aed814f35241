"""`corvanth-core diff`: the events it lists as changed are exactly those a
direct evaluation of both policies tells apart; its matrix, per-rule and
per-limit counts agree with that computation; exit codes, `--fail-on`,
sessions in a directory over processes, and records that cannot be
replayed honestly."""

import json
import shutil
from collections import Counter

import pytest
from sessions import OLD, SESSION, direct_decisions, write_new

from corvanth_core.cli import main
from corvanth_core.guard.decision_log import PolicyIdentity
from corvanth_core.guard.masking import MASKED
from corvanth_core.impact import provenance
from corvanth_core.impact.provenance import policy_digest
from corvanth_core.impact.session import native_session_runs, session_results
from corvanth_core.loading import read_policy


def diff_json(capsys, *argv):
    code = main(["diff", *map(str, argv), "--json"])
    out, err = capsys.readouterr()
    return code, json.loads(out), err


def test_the_changed_events_are_those_a_direct_evaluation_tells_apart(tmp_path, capsys):
    new = write_new(tmp_path)
    data = SESSION.read_bytes()
    before, after = direct_decisions(OLD, data), direct_decisions(new, data)
    changed = [n for n, (a, b) in enumerate(zip(before, after), 1) if a != b]
    code, report, _ = diff_json(capsys, OLD, new, SESSION)
    assert code == 1
    (session,) = report["sessions"]
    assert session["changed_events"] == changed
    assert session["first_divergence"]["event"] == changed[0]
    assert report["events"] == len(before) and report["changed"] == len(changed)
    matrix = Counter((a["verdict"], b["verdict"]) for a, b in zip(before, after))
    assert {
        (o, n): k for o, row in report["verdicts"].items() for n, k in row.items() if k
    } == dict(matrix)

    def fires(result):
        rules = {("rule", str(r)) for r in result["triggered_rules"]}
        return rules | {
            (c["kind"], c["target"]) for c in result["constraint_violations"]
        }

    newly = Counter(s for a, b in zip(before, after) for s in fires(b) - fires(a))
    stopped = Counter(s for a, b in zip(before, after) for s in fires(a) - fires(b))
    assert {
        (e["kind"], e["name"]): (e["newly"], e["stopped"]) for e in report["effects"]
    } == {key: (newly[key], stopped[key]) for key in set(newly) | set(stopped)}
    assert ("rule", "2") in newly and ("RateLimit", "web_request") in newly
    first = report["examples"]["allow-to-deny"][0]
    assert (first["old"], first["new"]) == (
        before[first["event"] - 1],
        after[first["event"] - 1],
    )


@pytest.mark.parametrize(
    "extra, code",
    [
        ([], 1),
        (["--fail-on", "allow-to-deny"], 1),
        (["--fail-on", "deny-to-allow"], 0),
        (["--fail-on", "deny-to-allow", "--fail-on", "allow-to-deny"], 1),
    ],
)
def test_exit_codes_follow_the_transitions_failed_on(tmp_path, capsys, extra, code):
    new = write_new(tmp_path)
    assert main(["diff", str(OLD), str(new), str(SESSION), *extra]) == code


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--fail-on", "allow-to-nothing"], "argument --fail-on: invalid choice"),
        (["-j", "0"], "argument -j/--jobs: must be at least 1, not 0"),
    ],
)
def test_usage_errors_exit_2(capsys, extra, message):
    with pytest.raises(SystemExit) as exit:
        main(["diff", str(OLD), str(OLD), str(SESSION), *extra])
    assert exit.value.code == 2 and message in capsys.readouterr().err


@pytest.mark.parametrize(
    "trace, code, message",
    [
        (None, 0, ""),
        ("missing.jsonl", 2, "missing.jsonl: error: No such file or directory\n"),
        ("empty", 2, "empty: error: the directory holds no *.jsonl sessions\n"),
        (
            "bad.jsonl",
            1,
            "bad.jsonl: line 1: invalid JSON: Expecting value at column 1\n",
        ),
    ],
)
def test_unchanged_policies_errors_and_bad_lines(
    tmp_path, monkeypatch, capsys, trace, code, message
):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "empty").mkdir()
    (tmp_path / "bad.jsonl").write_bytes(b"nope\n" + SESSION.read_bytes())
    assert main(["diff", str(OLD), str(OLD), trace or str(SESSION)]) == code
    out, err = capsys.readouterr()
    assert err == message
    if code != 2:
        assert " 0 changed," in out


def test_a_directory_of_sessions_over_processes_gives_what_one_process_does(
    tmp_path, capsys
):
    new = write_new(tmp_path)
    sessions = tmp_path / "sessions"
    sessions.mkdir()
    for name in ("b.jsonl", "a.jsonl"):
        shutil.copy(SESSION, sessions / name)
    (sessions / "notes.txt").write_text("not a session")
    _, serial, _ = diff_json(capsys, OLD, new, sessions)
    _, parallel, _ = diff_json(capsys, OLD, new, sessions, "-j", "2")
    single = diff_json(capsys, OLD, new, SESSION)[1]
    assert [s["trace"] for s in parallel["sessions"]] == [
        str(sessions / "a.jsonl"),
        str(sessions / "b.jsonl"),
    ]
    assert parallel["changed"] == serial["changed"] == 2 * single["changed"]
    keys = ("events", "changed_events", "not_replayable", "bad_lines")
    assert [[s[k] for k in keys] for s in parallel["sessions"]] == [
        [single["sessions"][0][k] for k in keys]
    ] * 2


def test_masked_and_foreign_records_are_counted_not_replayed(tmp_path, capsys):
    assert provenance.MASKED == MASKED
    old = read_policy(OLD.read_bytes(), str(OLD), check=False)
    digest = policy_digest(old)
    assert digest == PolicyIdentity.of(old).digest
    lines = [
        {
            "type": "file_access",
            "fields": {"path": "/etc/passwd", "mode": "read"},
            "timestamp_ms": 1,
        },
        {
            "type": "file_access",
            "fields": {"path": "/etc/shadow", "mode": "read"},
            "timestamp_ms": 2,
            "policy": {"name": "x", "digest": "sha256:00"},
        },
        {
            "type": "file_access",
            "fields": {"path": MASKED, "mode": "read"},
            "timestamp_ms": 3,
            "policy": {"name": "coding_agent_guard", "digest": digest},
            "decision": {},
        },
    ]
    trace = tmp_path / "log.jsonl"
    trace.write_text("".join(json.dumps(line) + "\n" for line in lines))
    new = tmp_path / "new.yaml"
    new.write_text(OLD.read_text().replace('path startswith "/etc/" or ', ""))
    code, report, _ = diff_json(capsys, OLD, new, trace)
    (session,) = report["sessions"]
    assert (code, session["changed_events"]) == (1, [1])
    assert session["not_replayable"] == [
        {"line": 2, "reason": f"decided by policy sha256:00, not {digest}"},
        {"line": 3, "reason": "masked field `path`"},
    ]


def plain_run(run):
    """A run without its evaluation times, to compare two paths."""
    results = [dict(r, eval_time_us=0) for r in run.results]
    return [e.line for e in run.events], results, run.bad_lines


@pytest.mark.parametrize(
    "prefix, native",
    [
        (b"", True),
        (b'nope\n{"config": {"allowed_hosts": 3}}\n{"type": "x", "fields": 1}\n', True),
        (b'{"type": "tool_call", "fields": {"tool": "ls"}}\n', False),
    ],
    ids=["session", "bad and setting lines", "an untimed event"],
)
def test_the_native_runs_are_the_python_loops_or_none(tmp_path, prefix, native):
    data = prefix + SESSION.read_bytes()
    engines = [
        read_policy(p.read_bytes(), str(p), check=False)
        for p in (OLD, write_new(tmp_path))
    ]
    runs = native_session_runs([e.__copy__() for e in engines], data)
    if not native:
        assert runs is None
        return
    assert runs is not None
    loops = [session_results(e.__copy__(), data) for e in engines]
    assert [plain_run(r) for r in runs] == [plain_run(r) for r in loops]
    assert len(loops[0].bad_lines) == (2 if prefix else 0)
