"""What the impact tests share: the example policy, a changed copy of it
(the file-access rule also denies paths under /work/app/, the web request
rate limit lowered from 3 to 2), and the decisions of a trace computed
directly, one `evaluate_at` per line."""

import json
import pathlib

from helpers import outcome

from corvanth_core.loading import read_policy

ROOT = pathlib.Path(__file__).resolve().parents[2]
OLD = ROOT / "examples" / "coding_agent_guard.yaml"
SESSION = ROOT / "examples" / "coding_agent_session.jsonl"
EDITS = [
    (
        'when: path startswith "/etc/"',
        'when: path startswith "/work/app/src/" or path startswith "/etc/"',
    ),
    ("max: 3\n", "max: 2\n"),
]


def write_new(directory: pathlib.Path) -> pathlib.Path:
    """The changed copy of the example policy, in `directory`."""
    text = OLD.read_text(encoding="utf-8")
    for before, after in EDITS:
        assert text.count(before) == 1
        text = text.replace(before, after)
    path = directory / "new.yaml"
    path.write_text(text, encoding="utf-8")
    return path


def direct_decisions(policy: pathlib.Path, trace: bytes) -> list[dict]:
    """Each event's result (evaluation time aside), evaluated line by line."""
    engine = read_policy(policy.read_bytes(), str(policy), check=False)
    results, started = [], False
    for raw in trace.splitlines():
        line = json.loads(raw)
        if "type" not in line:
            for key, value in line.get("config", {}).items():
                engine.set_config(key, value)
            for key, value in line.get("context", {}).items():
                engine.set_context(key, value)
            continue
        if not started:
            engine.reset_at(line["timestamp_ms"])
            started = True
        result = engine.evaluate_at(line["timestamp_ms"], line["type"], line["fields"])
        results.append(json.loads(json.dumps(outcome(result), sort_keys=True)))
    return results
