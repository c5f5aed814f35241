"""The replay report: one self-contained HTML file (inline CSS, script
and SVG, nothing fetched) that shows sessions on a time axis.

    view = session_view("session.jsonl", [run])          # a replay
    view = session_view("session.jsonl", [old_run, new_run], changed)
    html = report_html("Replay of session.jsonl", [policy_view(engine, "guard.yaml")],
                       [view])

Per session, for each policy: a track with a mark per event coloured by
verdict, per rate or quota target its window's fill against the limit,
per state machine a lane of its states with violations marked. Clicking
or hovering an event shows its fields, its result and its explain trace,
rule conditions and transition guards as source text. With two policies
(a diff), the tracks lie side by side and changed events are outlined.

The data is embedded once, as compact JSON, and drawn by the page's
script, so the file grows linearly with the events. Beyond
`DETAIL_LIMIT` events a session is drawn aggregated: each track becomes
`BINS` columns, stacked by verdict (limits: the fullest window of the
column; machines: the state at its end); a column's events are listed
when it is clicked.
"""

import json
import pathlib
from typing import Any, Final

from _corvanth_core import PolicyEngine

from corvanth_core._replay import VERDICTS, sorted_result
from corvanth_core.impact.session import SessionRun, session_results
from corvanth_core.results import EvaluationResult, Trace
from corvanth_core.source.expr_printer import print_expr

DETAIL_LIMIT: Final = 5000
BINS: Final = 600
TEMPLATE: Final = pathlib.Path(__file__).with_name("report_template.html")


def guard_text(guard: Any) -> str:
    """A transition guard as source text."""
    if isinstance(guard, dict) and "Predicate" in guard:
        return print_expr(guard["Predicate"])
    if isinstance(guard, dict) and "NegatedPredicate" in guard:
        return f"not ({print_expr(guard['NegatedPredicate'])})"
    return str(guard).lower()


def policy_view(engine: PolicyEngine, label: str) -> dict[str, Any]:
    """What the page needs to know of a policy: rules with their conditions
    as source text, limits, and machines with their state names."""
    ir = json.loads(engine.to_json())
    return {
        "label": label,
        "name": ir["name"],
        "rules": {
            str(rule["id"]): (
                print_expr(rule["condition"]) if rule.get("condition") else None
            )
            for rule in ir["rules"]
        },
        "limits": [
            {"kind": c["kind"], "target": c["target"], "limit": c["limit"]}
            for c in ir["constraints"]
        ],
        "machines": [
            {
                "proof": m["name"],
                "invariant": m["invariant_name"],
                "states": [s["label"] for s in m["states"]],
                "violating": m["violating_states"],
                "guards": [guard_text(t["guard"]) for t in m["transitions"]],
            }
            for m in ir["state_machines"]
        ],
    }


def compact_trace(trace: Trace) -> list[Any]:
    """An explain trace in few bytes: the rate window consulted, the rules
    that apply ([id, matched, condition value]) and the machines' steps
    ([state, state after, taken, [[transition, value, allows]...]])."""
    limit = trace["rate_limit"]
    return [
        None
        if limit is None
        else [limit["target"], limit["count"], limit["limit"], limit["exceeded"]],
        [
            [r["id"], r["matched"], r["condition"]]
            for r in trace["rules"]
            if r["applies"]
        ],
        [
            [
                m["state"],
                m["state_after"],
                m["taken"],
                [[g["transition"], g["value"], g["allows"]] for g in m["guards"]],
            ]
            for m in trace["machines"]
        ],
    ]


def compact_result(result: EvaluationResult, strings: dict[str, int]) -> list[Any]:
    """A result in few bytes: [verdict, reason, rules fired, [[verb, args]],
    [[proof, invariant, message]], [[kind, target, current, limit,
    window]]] (the evaluation time left out); the reason and the messages,
    which repeat, as numbers in `strings` (added when new)."""
    plain = sorted_result(result)
    reason = plain["reason"]
    return [
        VERDICTS.index(plain["verdict"]),
        None if reason is None else strings.setdefault(reason, len(strings)),
        plain["triggered_rules"],
        [[a["verb"], a["args"]] for a in plain["actions"]],
        [
            [v["proof"], v["invariant"], strings.setdefault(v["message"], len(strings))]
            for v in plain["violations"]
        ],
        [
            [c["kind"], c["target"], c["current"], c["limit"], c["window_ms"]]
            for c in plain["constraint_violations"]
        ],
    ]


def run_view(run: SessionRun) -> dict[str, Any]:
    """One policy's results of a session, and their traces."""
    strings: dict[str, int] = {}
    results = [compact_result(r, strings) for r in run.results]
    return {
        "strings": list(strings),
        "results": results,
        "traces": None
        if run.traces is None
        else [compact_trace(t) for t in run.traces],
        "bad_lines": run.bad_lines,
    }


def common_lines(runs: list[SessionRun]) -> list[SessionRun]:
    """The runs restricted to the events every one of them evaluated (an
    event one policy cannot evaluate is a bad line of the session)."""
    shared = set.intersection(*({e.line for e in r.events} for r in runs))
    if all(len(r.events) == len(shared) for r in runs):
        return runs
    return [restrict(run, shared) for run in runs]


def restrict(run: SessionRun, lines: set[int]) -> SessionRun:
    """`run` without the events off `lines`."""
    keep = [k for k, e in enumerate(run.events) if e.line in lines]
    traces = None if run.traces is None else [run.traces[k] for k in keep]
    return SessionRun(
        [run.events[k] for k in keep],
        [run.results[k] for k in keep],
        traces,
        run.bad_lines,
    )


def session_view(
    trace: str, runs: list[SessionRun], changed: list[int] | None = None
) -> dict[str, Any]:
    """A session with one run per policy (of the same events: a diff keeps
    the lines both evaluated) and the numbers of its changed events."""
    runs = common_lines(runs)
    events = runs[0].events
    return {
        "trace": trace,
        "events": [[e.timestamp_ms, e.type, e.line, e.fields] for e in events],
        "runs": [run_view(r) for r in runs],
        "changed": changed or [],
    }


def script_json(value: Any) -> str:
    """JSON that cannot end the script element it is embedded in."""
    text = json.dumps(value, ensure_ascii=False, separators=(",", ":"))
    return (
        text.replace("<", "\\u003c")
        .replace("\u2028", "\\u2028")
        .replace("\u2029", "\\u2029")
    )


def report_html(
    title: str, policies: list[dict[str, Any]], sessions: list[dict[str, Any]]
) -> str:
    """The whole page."""
    data = {
        "title": title,
        "policies": policies,
        "sessions": sessions,
        "detail_limit": DETAIL_LIMIT,
        "bins": BINS,
    }
    template = TEMPLATE.read_text(encoding="utf-8")
    escaped = title.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")
    return template.replace("{{title}}", escaped).replace("{{data}}", script_json(data))


def replay_report(
    engine: PolicyEngine, policy_label: str, trace: str, data: bytes
) -> str:
    """The page of one session (`data`, read from `trace`) replayed through
    a fresh copy of `engine`."""
    run = session_results(engine.__copy__(), data, explain=True)
    return report_html(
        f"Replay of {trace}",
        [policy_view(engine, policy_label)],
        [session_view(trace, [run])],
    )
