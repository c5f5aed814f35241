"""The decision log: its records, masking, rotation, replaying it to the
same decisions, and a writer killed mid-stream."""

import json
import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

from corvanth_core import DecisionLog, Guard, _replay
from corvanth_core.cli import main
from corvanth_core.guard import PolicyIdentity

from .policies import START_MS, stepping_clock, tools_json

ROOT = pathlib.Path(__file__).resolve().parents[2]


def lines_of(path: pathlib.Path) -> list[dict]:
    return [json.loads(line) for line in path.read_text().splitlines()]


def test_a_record_holds_the_event_the_decision_and_what_decided(tmp_path):
    path = tmp_path / "log.jsonl"
    guard = Guard(tools_json(), decision_log=path, clock=stepping_clock())
    decision = guard.enforce("tool_call", {"tool": "read", "arguments": {"n": (1, 2)}})
    guard.close()
    [record] = lines_of(path)
    assert list(record) == [
        "type",
        "fields",
        "timestamp_ms",
        "decision_id",
        "decision",
        "policy",
        "surface",
    ]
    assert record["fields"] == {"tool": "read", "arguments": {"n": "(1, 2)"}}
    assert record["timestamp_ms"] == START_MS
    assert record["decision_id"] == decision.decision_id
    assert record["decision"] == decision.as_dict()
    assert record["policy"] == PolicyIdentity.of(guard.engine).as_dict()
    assert record["policy"]["digest"].startswith("sha256:")
    assert record["surface"] == "enforce"
    assert os.stat(path).st_mode & 0o777 == 0o600


def test_masked_paths_are_replaced_before_writing(tmp_path):
    path = tmp_path / "log.jsonl"
    log = DecisionLog(path, mask=["token", "arguments.password", "arguments.users.key"])
    fields = {
        "token": "t0k",
        "arguments": {"password": "hunter2", "users": [{"key": "k1"}, {"id": 2}]},
        "tool": "login",
    }
    Guard(tools_json(), decision_log=log).check("tool_call", fields)
    assert lines_of(path)[0]["fields"] == {
        "token": "[masked]",
        "arguments": {
            "password": "[masked]",
            "users": [{"key": "[masked]"}, {"id": 2}],
        },
        "tool": "login",
    }
    assert fields["arguments"]["password"] == "hunter2"
    with pytest.raises(ValueError, match="mask path 'a..b' has an empty key"):
        DecisionLog(path, mask=["a..b"])


def test_rotation_keeps_the_newest_files_each_with_the_settings(tmp_path):
    path = tmp_path / "log.jsonl"
    log = DecisionLog(path, max_bytes=1200, backups=2)
    guard = Guard(tools_json(), decision_log=log)
    guard.set_config("region", "eu")
    for number in range(12):
        guard.check("tool_call", {"tool": "read", "arguments": {"n": number}})
    log.close()
    files = [path, tmp_path / "log.jsonl.1", tmp_path / "log.jsonl.2"]
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(p.name for p in files)
    numbers = []
    for file in reversed(files):
        assert file.stat().st_size <= 1200
        records = lines_of(file)
        assert (
            records[0] == {"config": {"region": "eu"}, "context": {}}
            or file == files[2]
        )
        numbers += [r["fields"]["arguments"]["n"] for r in records if "type" in r]
    assert numbers == list(range(12 - len(numbers), 12))


def replayed(
    policy_path: pathlib.Path, log_path: pathlib.Path, capsys
) -> tuple[list[dict], str]:
    """The results of `replay --json` (less its summary) and its errors."""
    code = main(["replay", "--json", str(policy_path), str(log_path)])
    captured = capsys.readouterr()
    assert code in (0, 1)
    return [json.loads(line) for line in captured.out.splitlines()[:-1]], captured.err


def write_session(policy_path: pathlib.Path, log_path: pathlib.Path) -> list[dict]:
    """A guarded session with a setting, every rule and a rate limit; the
    decision lines it logged."""
    guard = Guard(policy_path, decision_log=log_path, clock=stepping_clock(300))
    guard.set_context("user", "ada")
    for tool in ("read", "delete", "pay", "wipe", "lookup"):
        guard.check(
            "tool_call", {"tool": tool, "arguments": {"path": "/x", "amount": 5}}
        )
    for _ in range(6):  # two a second, denied events counted too
        guard.check("ping", {})
    guard.close()
    return [r for r in lines_of(log_path) if "type" in r]


def test_replaying_a_log_gives_every_decision_again(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    logged = write_session(policy_path, log_path)
    assert [r["decision"]["verdict"] for r in logged[5:]] == ["allow"] * 2 + [
        "deny"
    ] * 4
    results, errors = replayed(policy_path, log_path, capsys)
    assert errors == ""
    assert len(results) == len(logged) == 11
    for record, result in zip(logged, results):
        expected = _replay.sorted_result(record["decision"])
        assert {key: result[key] for key in expected} == expected
    assert main(["replay", "--check", str(policy_path), str(log_path)]) == 0
    assert capsys.readouterr().out == "check: 11 decisions, all match\n"


def test_a_check_against_another_policy_lists_the_differences(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    logged = write_session(policy_path, log_path)
    other = tmp_path / "other.json"
    other.write_text(tools_json(deny_message="no"))
    assert main(["replay", "--check", str(other), str(log_path)]) == 1
    captured = capsys.readouterr()
    assert captured.out.splitlines() == [
        (
            f"line 3 (decision {logged[1]['decision_id']}): reason logged"
            ' "deleting is not allowed", replayed "no"'
        ),
        "check: 1 of 11 decisions differ",
    ]
    assert captured.err.startswith(f"{log_path}: line 2: warning: decided by policy")


WRITER = textwrap.dedent(
    """
    import sys
    from corvanth_core import DecisionLog, Guard
    guard = Guard(sys.argv[1], decision_log=DecisionLog(sys.argv[2]))
    for number in range(2_000_000):
        guard.check("tool_call", {"tool": "read", "arguments": {"n": number, "pad": "x" * 300}})
    """
)


def test_a_writer_killed_mid_stream_loses_at_most_its_last_line(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    writer = subprocess.Popen(
        [sys.executable, "-c", WRITER, str(policy_path), str(log_path)],
        env={**os.environ, "PYTHONPATH": str(ROOT)},
    )
    try:
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline and writer.poll() is None:
            if log_path.exists() and log_path.stat().st_size > 200_000:
                break
            time.sleep(0.01)
    finally:
        writer.send_signal(signal.SIGKILL)
        writer.wait()
    assert writer.returncode == -signal.SIGKILL
    lines = log_path.read_bytes().split(b"\n")
    whole = [json.loads(line) for line in lines[:-1]]
    assert len(whole) > 100
    assert [r["fields"]["arguments"]["n"] for r in whole] == list(range(len(whole)))
    # Whatever the kill left, a torn last line is reported and skipped...
    data = log_path.read_bytes()
    cut = data.rstrip(b"\n").rfind(b"\n") + 40
    log_path.write_bytes(data[:cut])
    results, errors = replayed(policy_path, log_path, capsys)
    torn = len(data[:cut].split(b"\n"))
    assert len(results) == torn - 1
    assert errors.startswith(f"{log_path}: line {torn}: invalid JSON: ")
    # ... and a log opened on it again starts on a line of its own.
    Guard(policy_path, decision_log=log_path).check("tool_call", {"tool": "again"})
    last = log_path.read_bytes().split(b"\n")[-2]
    assert json.loads(last)["fields"] == {"tool": "again"}


def test_replay_reports_the_torn_line(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    with Guard(policy_path, decision_log=log_path) as guard:
        guard.check("tool_call", {"tool": "read"})
        guard.check("tool_call", {"tool": "read"})
    data = log_path.read_bytes()
    log_path.write_bytes(data[: len(data) - 30])
    assert main(["replay", str(policy_path), str(log_path)]) == 1
    captured = capsys.readouterr()
    assert captured.err.startswith(f"{log_path}: line 2: invalid JSON: ")
    assert (
        "1 event (1 allow, 0 deny, 0 audit, 0 redact), 1 bad line skipped"
        in captured.out
    )


def test_threads_sharing_a_guard_log_in_the_engines_order(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    guard = Guard(policy_path, decision_log=log_path)

    def work(number: int) -> None:
        for step in range(150):
            if step % 3:
                guard.check("ping", {"thread": number})
            else:
                guard.check("tool_call", {"tool": "pay", "arguments": {"amount": step}})

    threads = [threading.Thread(target=work, args=(n,)) for n in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    guard.close()
    stamps = [r["timestamp_ms"] for r in lines_of(log_path)]
    assert len(stamps) == 600 and stamps == sorted(stamps)
    assert main(["replay", "--check", str(policy_path), str(log_path)]) == 0
    assert capsys.readouterr().out == "check: 600 decisions, all match\n"


def test_a_field_that_asks_the_guard_again_does_not_hang(tmp_path, capsys):
    policy_path = tmp_path / "tools.json"
    policy_path.write_text(tools_json())
    log_path = tmp_path / "log.jsonl"
    guard = Guard(policy_path, decision_log=log_path)

    class Nosy:
        def __str__(self) -> str:
            return guard.check("tool_call", {"tool": "inner"}).verdict

    assert (
        guard.check("tool_call", {"tool": "outer", "arguments": Nosy()}).verdict
        == "allow"
    )
    guard.close()
    # The log writes the field's text first, then the engine reads it: two
    # inner events, both before the outer one, in the log as in the engine.
    assert [r["fields"]["tool"] for r in lines_of(log_path)] == [
        "inner",
        "inner",
        "outer",
    ]
    assert main(["replay", "--check", str(policy_path), str(log_path)]) == 0
    assert capsys.readouterr().out == "check: 3 decisions, all match\n"
