"""The replay report in a real browser: the page of the example session
and of a diff load with no console errors, hold one mark per event (two
per event side by side for a diff, the changed ones outlined) and draw a
picture; a field that reads like markup stays data; beyond the detail
limit the page draws columns instead of marks; its size grows linearly
with the events."""

import json
import re
import struct
import zlib

import pytest
from browser import load, needs_chromium, png_pixels, screenshot_colours
from sessions import OLD, SESSION, write_new

from corvanth_core.cli import main
from corvanth_core.impact import DETAIL_LIMIT

MARK = re.compile(r'<rect class="mark v-(allow|deny|audit|redact)( changed)?"')
BIN = re.compile(r'<rect class="bin v-')


def marks(dom):
    return [m.group(1, 2) for m in MARK.finditer(dom)]


def session_of(events, extra=b""):
    """The example session's settings, then its first `events` events
    repeated (each repetition an hour later)."""
    lines = SESSION.read_bytes().splitlines(keepends=True)
    body = [json.loads(line) for line in lines[1:]]
    out = [lines[0], extra]
    for n in range(events):
        event = dict(body[n % len(body)])
        event["timestamp_ms"] += 3_600_000 * (n // len(body))
        out.append(json.dumps(event).encode() + b"\n")
    return b"".join(out)


@needs_chromium
def test_the_replay_report_of_the_example_session_renders(tmp_path, capsys):
    markup = b'{"type": "tool_call", "fields": {"tool": "x", "command": "</script><b>x"}, "timestamp_ms": 1795510800001}\n'
    trace = tmp_path / "session.jsonl"
    trace.write_bytes(session_of(568, markup))
    page = tmp_path / "report.html"
    assert main(["replay", str(OLD), str(trace), "--html", str(page)]) == 0
    capsys.readouterr()
    dom, console = load(page)
    assert console == []
    found = marks(dom)
    assert len(found) == 569 and {v for v, _ in found} == {
        "allow",
        "deny",
        "audit",
        "redact",
    }
    assert "no_exfiltration_proof" in dom and "rate web_request" in dom
    assert screenshot_colours(page, tmp_path / "shot.png") > 20


@needs_chromium
def test_the_diff_report_puts_both_verdicts_side_by_side(tmp_path, capsys):
    page = tmp_path / "diff.html"
    new = write_new(tmp_path)
    assert (
        main(["diff", str(OLD), str(new), str(SESSION), "--json", "--html", str(page)])
        == 1
    )
    report = json.loads(capsys.readouterr().out)
    dom, console = load(page)
    assert console == []
    found = marks(dom)
    assert len(found) == 2 * 569
    assert sum(1 for _, c in found if c) == 2 * report["changed"]
    first = report["sessions"][0]["first_divergence"]
    dom, console = load(page, f"#event-1-{first['event']}")
    detail = dom[dom.index('<aside id="detail">') :]
    assert console == [] and f"<h3>event {first['event']} (changed)</h3>" in detail
    assert f"line {first['line']}, file_access" in detail
    old_rule, new_rule = (
        f'rule 2: <code>{start}path startswith "/etc/" or any(path endswith x for x '
        "in config.secret_suffixes)</code>"
        for start in ("", 'path startswith "/work/app/src/" or ')
    )
    assert detail.index(old_rule) < detail.index(new_rule)


@needs_chromium
def test_beyond_the_detail_limit_the_session_is_drawn_in_columns(tmp_path, capsys):
    trace = tmp_path / "long.jsonl"
    trace.write_bytes(session_of(DETAIL_LIMIT + 1))
    page = tmp_path / "long.html"
    main(["replay", str(OLD), str(trace), "--html", str(page)])
    capsys.readouterr()
    dom, console = load(page)
    assert console == [] and marks(dom) == [] and BIN.search(dom)


def test_the_report_grows_linearly_with_the_events(tmp_path, capsys):
    sizes = []
    for events in (1000, 2000, 4000):
        trace = tmp_path / f"{events}.jsonl"
        trace.write_bytes(session_of(events))
        page = tmp_path / f"{events}.html"
        main(["replay", str(OLD), str(trace), "--html", str(page)])
        sizes.append(page.stat().st_size)
    capsys.readouterr()
    assert sizes[2] - sizes[1] == pytest.approx(2 * (sizes[1] - sizes[0]), rel=0.05)


def test_the_png_decoder_reads_every_filter():
    rows = [
        b"\x00" + bytes([10, 20, 30]) * 2,
        b"\x01" + bytes([1, 2, 3, 5, 5, 5]),
        b"\x02" + bytes([1, 1, 1, 0, 0, 0]),
        b"\x03" + bytes([0, 0, 0, 2, 2, 2]),
        b"\x04" + bytes([0, 0, 0, 1, 1, 1]),
    ]

    def chunk(kind, body):
        return struct.pack(">I", len(body)) + kind + body + b"\0\0\0\0"

    data = (
        b"\x89PNG\r\n\x1a\n"
        + chunk(b"IHDR", struct.pack(">IIBBBBB", 2, 5, 8, 2, 0, 0, 0))
        + chunk(b"IDAT", zlib.compress(b"".join(rows)))
        + chunk(b"IEND", b"")
    )
    assert png_pixels(data) == [
        bytes([10, 20, 30]),
        bytes([10, 20, 30]),
        bytes([1, 2, 3]),
        bytes([6, 7, 8]),
        bytes([2, 3, 4]),
        bytes([6, 7, 8]),
        bytes([1, 1, 2]),
        bytes([5, 6, 7]),
        bytes([1, 1, 2]),
        bytes([6, 7, 8]),
    ]


@pytest.mark.parametrize(
    "argv, message",
    [
        (
            ["replay", str(OLD), str(SESSION), "--html", "missing/r.html"],
            "missing/r.html: error: No such file or directory\n",
        ),
        (
            ["diff", str(OLD), str(OLD), str(SESSION), "--html", "missing/r.html"],
            "missing/r.html: error: No such file or directory\n",
        ),
        (
            ["replay", str(OLD), "-", "--html", "r.html"],
            "-: error: --html needs a trace file, not -\n",
        ),
    ],
)
def test_a_report_that_cannot_be_written_is_an_error(
    tmp_path, monkeypatch, capsys, argv, message
):
    monkeypatch.chdir(tmp_path)
    assert main(argv) == 2
    out, err = capsys.readouterr()
    assert (out, err) == ("", message) and list(tmp_path.iterdir()) == []
