"""The README and the docs stay true: every example in them runs.

The pages checked are README.md and every page under docs/ (`PAGES`). The
convention, block by fenced block of each page:

- ```json: one JSON value, checked by its kind (`json_kind` below). A whole
  policy (an object with "metadata", or an array: the array form) is loaded
  as it is; a record or an expression is put into a minimal policy by
  `embed` (an expression becomes the argument "v" of a Log action of a rule
  for every event) and loaded. The engine then evaluates the sample event
  of the policy format reference (SAMPLE_* below, set up as the reference
  shows it). The first non-blank line after the block may state what that
  gives:
    Result: `JSON`   an expression's value as Python sees it (types exact,
                     a Duration as int milliseconds); for a policy or a
                     record, keys of the evaluate result with their values
    Error: `TEXT`    loading fails with a ValueError whose message holds TEXT
  Text after the closing backquote of the code span is commentary.
- ```sh: each line that is neither blank nor a comment is a command, run
  with bash in a temporary directory holding a copy of examples/ (lines
  ending in a backslash continue on the next). The commands of one block run
  in order in the same directory. A command starting with `pip install` is
  a set-up command and skipped (.ci/run runs those); one that names a
  script in bench/ is skipped (benchmarks take minutes; run them by hand).
  A command ending in `# exit N` must exit with status N, every other with
  0.
- ```text: the output of the last ```sh block above it in the same section
  of the same page (no heading between them): its lines must occur as
  consecutive lines of that block's standard output; a line `...` stands
  for any number of lines left out. A text block with no such sh block is
  not checked.

- ```yaml title="NAME": a file of the page (a policy source, or its tests
  when NAME ends in `.test.yaml`), written as NAME into the directory of
  every sh and python block of the same page; a policy source must compile
  and load. Untitled yaml blocks belong to the language reference's own
  test (tests/source/test_docs.py).

- ```python: the python blocks of one page run in order in one fresh
  interpreter, as one program, in a temporary directory holding a copy of
  examples/ and of the example policy as guard.json and guard.halvoc. The
  program starts with `PREAMBLE` (the names a page may use without
  importing them: `PolicyEngine`, `corvanth_core`, `json`, `pathlib`,
  `text`, the example policy's JSON, and `engine`, an engine for it). It
  must exit 0; what a block claims, it asserts.

Other blocks (```console and the like) are not run. docs/contributing.md
describes the same rules for those who write the pages.
"""

import ast
import json
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest
from _corvanth_core import PolicyEngine

import corvanth_core

ROOT = Path(__file__).resolve().parent.parent
README = ROOT / "README.md"
DOCS = ROOT / "docs"
# docs/guard.md's blocks are one session (a guarded program writes the
# decision log its commands replay): tests/guard/test_docs.py runs it.
SESSION_PAGES = {DOCS / "guard.md"}
# The framework pages need their optional framework: tests/integrations/
# test_docs.py runs them where it is installed.
SESSION_PAGES |= {
    DOCS / "integrations" / "openai-agents.md",
    DOCS / "integrations" / "langchain.md",
}
PAGES = [README, *sorted(p for p in DOCS.rglob("*.md") if p not in SESSION_PAGES)]

# The sample event of the policy format reference (docs/format/index.md).
SAMPLE_CONTEXT = {"session_id": "s-1"}
SAMPLE_CONFIG = {"allowed_hosts": ["pypi.org", "github.com"], "max_size": 4096}
SAMPLE_TIMESTAMP = 1700000000000
SAMPLE_TYPE = "tool_call"
SAMPLE_FIELDS = {
    "tool": "shell",
    "command": "rm -rf /tmp/build",
    "path": "/work/app/.env",
    "args": ["-r", "-f", "/tmp/build"],
    "size": 5000,
    "meta": {"host": "pypi.org", "port": 443},
}

METADATA = {"annotations": [], "source_hash": 0, "compiler_version": "readme"}

EXPR_KINDS = {
    "Literal",
    "Ref",
    "Binary",
    "Unary",
    "Predicate",
    "Quantifier",
    "Count",
    "Call",
    "MethodCall",
    "DecisionTree",
    "List",
}
NODE_KINDS = {"Switch", "Leaf", "VerdictLeaf"}
GUARD_KINDS = {"Predicate", "NegatedPredicate"}
GUARD_NAMES = {"Timeout", "Always"}


@dataclass
class Block:
    page: str  # the page's path from the repository root
    lang: str
    code: str
    line: int  # line number of the opening fence
    section: int  # index of the heading above it within its page
    after: str  # first non-blank line after the closing fence
    title: str | None = None  # the file a titled block stands for

    @property
    def id(self):
        return f"{self.page}:{self.lang}-line{self.line}"

    @property
    def where(self):
        return f"{self.page} line {self.line}"


def read_blocks(path):
    """The fenced blocks of one page, in order."""
    page = path.relative_to(ROOT).as_posix()
    blocks = []
    lines = path.read_text(encoding="utf-8").split("\n")
    section = 0
    i = 0
    while i < len(lines):
        line = lines[i]
        if line.startswith("#"):
            section += 1
        fence = re.match(r'^```(\w*)(?:\s+title="([^"/]+)")?\s*$', line)
        if fence:
            end = lines.index("```", i + 1)
            after = next((t for t in lines[end + 1 :] if t.strip()), "")
            blocks.append(
                Block(
                    page,
                    fence.group(1),
                    "\n".join(lines[i + 1 : end]),
                    i + 1,
                    section,
                    after,
                    fence.group(2),
                )
            )
            i = end
        i += 1
    return blocks


BLOCKS = [block for path in PAGES for block in read_blocks(path)]


def blocks_of(lang):
    return [pytest.param(b, id=b.id) for b in BLOCKS if b.lang == lang]


# --- JSON examples ------------------------------------------------------------


def policy(rules=(), constraints=(), machines=()):
    return {
        "name": "readme",
        "severity": "Low",
        "scopes": [],
        "rules": list(rules),
        "constraints": list(constraints),
        "state_machines": list(machines),
        "metadata": METADATA,
    }


def rule(verdicts=(), actions=()):
    return {
        "id": 1,
        "on_events": [],
        "condition": None,
        "verdicts": list(verdicts),
        "actions": list(actions),
        "severity": None,
    }


def expression_policy(expr):
    return policy([rule(actions=[{"verb": "Log", "args": [["v", expr]]}])])


def machine(states=None, transitions=()):
    """A machine `m` proving `inv`: state 0 active, state 1 violating."""
    return {
        "id": 0,
        "name": "m",
        "invariant_name": "inv",
        "kind": "Never",
        "states": states
        or [
            {"id": 0, "label": "start", "kind": "Active"},
            {"id": 1, "label": "violated", "kind": "Violated"},
        ],
        "transitions": list(transitions),
        "initial_state": 0,
        "accepting_states": [],
        "violating_states": [1],
        "deadline_millis": None,
    }


def is_expr(value):
    return isinstance(value, dict) and len(value) == 1 and set(value) <= EXPR_KINDS


def json_kind(value):
    """The kind of a JSON example, told by its shape."""
    if isinstance(value, list):
        return "policy"
    if isinstance(value, str):
        return "guard" if value in GUARD_NAMES else None
    if not isinstance(value, dict):
        return None
    keys = set(value)
    for key, kind in [
        ("metadata", "policy"),
        ("on_events", "rule"),
        ("window_millis", "constraint"),
        ("states", "machine"),
        ("compiler_version", "metadata"),
        ("verdict", "verdict"),
        ("verb", "action"),
        ("label", "state"),
        ("from", "transition"),
        ("root", "ref"),
        ("unit", "duration"),
        ("test", "case"),
    ]:
        if key in keys:
            return kind
    if len(keys) == 1:
        (key,) = keys
        # {"Predicate": expr} is a guard; {"Predicate": {"kind": ...}} an
        # expression.
        if key in GUARD_KINDS and is_expr(value[key]):
            return "guard"
        if key in EXPR_KINDS:
            return "expression"
        if key in NODE_KINDS:
            return "node"
    return None


def embed(kind, value):
    """The policy an example of `kind` is checked in."""
    always = {"from": 0, "to": 1, "guard": "Always"}
    match kind:
        case "policy":
            return value
        case "rule":
            return policy([value])
        case "constraint":
            return policy(constraints=[value])
        case "machine":
            return policy(machines=[value])
        case "metadata":
            return {**policy(), "metadata": value}
        case "verdict":
            return policy([rule(verdicts=[value])])
        case "action":
            return policy([rule(actions=[value])])
        case "state":
            return policy(machines=[machine(states=[value])])
        case "transition":
            return policy(machines=[machine(transitions=[value])])
        case "guard":
            return policy(machines=[machine(transitions=[{**always, "guard": value}])])
        case "expression":
            return expression_policy(value)
        case "ref":
            return expression_policy({"Ref": value})
        case "duration":
            return expression_policy({"Literal": {"Duration": value}})
        case "node":
            return expression_policy({"DecisionTree": value})
        case "case":
            whole_event = {"Ref": {"root": "Event", "fields": []}}
            switch = {"subject": whole_event, "cases": [value], "default": None}
            return expression_policy({"DecisionTree": {"Switch": switch}})
    raise AssertionError(f"no policy for kind {kind}")


# Stands for the example in the embedding policy; replaced by the example's
# own text, so that what the reader sees (duplicate keys, key order, number
# forms) is what the page shows.
PLACEHOLDER = "readme-example-placeholder"


def embed_text(kind, code):
    """The JSON text of the policy an example is checked in."""
    text = json.dumps(embed(kind, PLACEHOLDER))
    assert text.count(json.dumps(PLACEHOLDER)) == 1
    return text.replace(json.dumps(PLACEHOLDER), code)


def evaluate_sample(engine):
    for key, value in SAMPLE_CONTEXT.items():
        engine.set_context(key, value)
    for key, value in SAMPLE_CONFIG.items():
        engine.set_config(key, value)
    return engine.evaluate_at(SAMPLE_TIMESTAMP, SAMPLE_TYPE, SAMPLE_FIELDS)


def statement(after):
    """The (word, code span) of a `Result:` or `Error:` line, or None."""
    found = re.match(r"^(Result|Error): (`+)(.+?)\2(?!`)", after)
    if not found:
        return None
    span = found.group(3)
    if len(span) > 1 and span.startswith(" ") and span.endswith(" "):
        span = span[1:-1]
    return found.group(1), span


def same(actual, expected):
    """Equal with the same types all the way down (True is not 1, 2.0 is
    not 2)."""
    if type(actual) is not type(expected):
        return False
    if isinstance(expected, dict):
        return list(actual) == list(expected) and all(
            same(actual[k], expected[k]) for k in expected
        )
    if isinstance(expected, list):
        return len(actual) == len(expected) and all(
            same(a, e) for a, e in zip(actual, expected)
        )
    return actual == expected


@pytest.mark.parametrize("block", blocks_of("json"))
def test_json_example(block):
    value = json.loads(block.code)
    kind = json_kind(value)
    assert kind, f"{block.where}: cannot tell what this JSON is"
    text = embed_text(kind, block.code)
    stated = statement(block.after)
    if stated and stated[0] == "Error":
        with pytest.raises(ValueError) as error:
            PolicyEngine.from_json(text)
        assert stated[1] in str(error.value)
        return
    result = evaluate_sample(PolicyEngine.from_json(text))
    if stated is None:
        return
    expected = json.loads(stated[1])
    if kind in {"expression", "ref", "duration", "node", "case"}:
        actual = result["actions"][0]["args"]["v"]
        assert same(actual, expected), f"{actual!r} != {expected!r}"
    else:
        assert isinstance(expected, dict), "a record's Result is a dict"
        actual = {key: result[key] for key in expected}
        assert same(actual, expected), f"{actual!r} != {expected!r}"


def test_json_kinds_cover_every_record_and_expression():
    """The reference shows an example of every record and expression kind."""
    kinds = {json_kind(json.loads(b.code)) for b in BLOCKS if b.lang == "json"}
    assert kinds >= {
        "policy",
        "rule",
        "constraint",
        "machine",
        "metadata",
        "verdict",
        "action",
        "state",
        "transition",
        "guard",
        "expression",
        "ref",
        "node",
        "case",
    }
    examples = [json.loads(b.code) for b in BLOCKS if b.lang == "json"]
    shown = {next(iter(v)) for v in examples if json_kind(v) == "expression"}
    assert shown == EXPR_KINDS


@pytest.mark.parametrize(
    ("value", "kind"),
    [
        (
            {"Predicate": {"kind": "Contains", "subject": {}, "argument": {}}},
            "expression",
        ),
        ({"Predicate": {"Literal": {"Bool": True}}}, "guard"),
        ({"NegatedPredicate": {"Ref": {}}}, "guard"),
        ("Timeout", "guard"),
        ("Deny", None),
        (["p", "Low"], "policy"),
        ({"Leaf": {"Literal": {"Int": 1}}}, "node"),
        ({"value": 1, "unit": "Days"}, "duration"),
        ({"unknown": 1}, None),
    ],
)
def test_json_kind(value, kind):
    assert json_kind(value) == kind


@pytest.mark.parametrize(
    ("line", "stated"),
    [
        ("Result: `3`", ("Result", "3")),
        ("Result: `-5` (a comment)", ("Result", "-5")),
        ("Error: ``expected `x` here``", ("Error", "expected `x` here")),
        ("Error: `` `x` ``", ("Error", "`x`")),
        ("Results are shown", None),
    ],
)
def test_statement(line, stated):
    assert statement(line) == stated


# --- shell commands -----------------------------------------------------------

EXIT = re.compile(r"#\s*exit\s+(\d+)\s*$")


def commands(code):
    """The commands of a sh block, continuation lines joined."""
    joined = re.sub(r"\\\n", " ", code)
    return [
        line.strip()
        for line in joined.split("\n")
        if line.strip() and not line.strip().startswith("#")
    ]


def skipped(command):
    return command.startswith("pip install") or re.search(r"(^|\s)bench/", command)


def write_page_files(page, directory):
    """The titled yaml blocks of `page`, as files in `directory`."""
    for block in BLOCKS:
        if block.page == page and block.lang == "yaml" and block.title:
            (directory / block.title).write_text(block.code + "\n", encoding="utf-8")


def run_block(block, directory):
    """Run the commands of a sh block in `directory`; their joined stdout."""
    shutil.copytree(ROOT / "examples", directory / "examples")
    write_page_files(block.page, directory)
    env = dict(os.environ)
    env["PATH"] = f"{Path(sys.executable).parent}{os.pathsep}{env.get('PATH', '')}"
    output = []
    for command in commands(block.code):
        if skipped(command):
            continue
        want = EXIT.search(command)
        expected = int(want.group(1)) if want else 0
        done = subprocess.run(
            ["bash", "-c", command],
            check=False,
            stdin=subprocess.DEVNULL,
            cwd=directory,
            env=env,
            capture_output=True,
            text=True,
            timeout=300,
        )
        assert done.returncode == expected, (
            f"{block.where}: `{command}` exited {done.returncode}, "
            f"expected {expected}\nstdout:\n{done.stdout}\nstderr:\n{done.stderr}"
        )
        output.append(done.stdout)
    return "".join(output)


@pytest.mark.parametrize("block", blocks_of("sh"))
def test_shell_block(block, tmp_path):
    run_block(block, tmp_path)


@pytest.mark.parametrize(
    ("command", "skip"),
    [
        ("pip install .", True),
        ("pip install '.[test]' && pytest", True),
        ("python bench/bench_evaluate.py    # evaluate() latency", True),
        ("python examples/replay_session.py", False),
        ("corvanth-core check examples/coding_agent_guard.json", False),
    ],
)
def test_skipped_commands(command, skip):
    assert bool(skipped(command)) == skip


def test_commands_join_continuations_and_drop_comments():
    code = "# a comment\n\ncorvanth-core replay \\\n  a b  # exit 1\npython x.py"
    assert commands(code) == ["corvanth-core replay    a b  # exit 1", "python x.py"]


def policy_files():
    return [
        pytest.param(b, id=b.id)
        for b in BLOCKS
        if b.lang == "yaml" and b.title and not b.title.endswith(".test.yaml")
    ]


@pytest.mark.parametrize("block", policy_files())
def test_policy_file(block):
    PolicyEngine.from_json(corvanth_core.compile(block.code, filename=block.title))


# --- Python examples -----------------------------------------------------------

PREAMBLE = """\
import json
import pathlib

import corvanth_core
from _corvanth_core import PolicyEngine

text = pathlib.Path("guard.json").read_text()
engine = PolicyEngine.from_json(text)
"""


def python_pages():
    pages = sorted({b.page for b in BLOCKS if b.lang == "python"})
    return [pytest.param(page, id=page) for page in pages]


def asserting(block):
    """The block's code with each statement that is an `==` comparison
    (`why["trace"] == {...}`, as the pages write what a call gives) turned
    into an assert naming the block, so what a page shows is checked."""
    tree = ast.parse(block.code)
    for n, statement in enumerate(tree.body):
        value = statement.value if isinstance(statement, ast.Expr) else None
        if isinstance(value, ast.Compare) and all(
            isinstance(op, ast.Eq) for op in value.ops
        ):
            where = f"{block.where}, line {statement.lineno} of the block"
            tree.body[n] = ast.copy_location(
                ast.Assert(test=value, msg=ast.Constant(where)), statement
            )
    return ast.unparse(tree)


def python_program(page):
    """A page's python blocks as one program, each block marked with its
    place so a failure names it."""
    parts = [PREAMBLE]
    for block in BLOCKS:
        if block.page == page and block.lang == "python":
            parts.append(f"# --- {block.where}\n{asserting(block)}\n")
    return "\n".join(parts)


@pytest.mark.parametrize("page", python_pages())
def test_python_blocks(page, tmp_path):
    shutil.copytree(ROOT / "examples", tmp_path / "examples")
    example = ROOT / "examples" / "coding_agent_guard.json"
    shutil.copy(example, tmp_path / "guard.json")
    shutil.copy(
        ROOT / "examples" / "coding_agent_guard.halvoc", tmp_path / "guard.halvoc"
    )
    write_page_files(page, tmp_path)
    program = tmp_path / "page_examples.py"
    program.write_text(python_program(page), encoding="utf-8")
    done = subprocess.run(
        [sys.executable, str(program)],
        check=False,
        stdin=subprocess.DEVNULL,
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, f"{page}: the python examples failed\n{done.stderr}"


# --- shown output -------------------------------------------------------------


def shown_output(block):
    """The sh block whose output a text block shows, or None."""
    earlier = [
        b
        for b in BLOCKS
        if b.page == block.page and b.line < block.line and b.section == block.section
    ]
    shell = [b for b in earlier if b.lang == "sh"]
    return shell[-1] if shell else None


def occurs(shown, output):
    """Whether the lines of `shown` occur consecutively in `output`, a line
    `...` standing for any number of lines."""
    want = shown.split("\n")
    have = output.split("\n")

    def match(w, h):
        if w == len(want):
            return True
        if want[w] == "...":
            return any(match(w + 1, k) for k in range(h, len(have) + 1))
        return h < len(have) and have[h] == want[w] and match(w + 1, h + 1)

    return any(match(0, start) for start in range(len(have)))


def text_blocks():
    return [
        pytest.param(b, id=b.id)
        for b in BLOCKS
        if b.lang == "text" and shown_output(b) is not None
    ]


@pytest.mark.parametrize("block", text_blocks())
def test_text_block(block, tmp_path):
    output = run_block(shown_output(block), tmp_path)
    assert occurs(block.code, output), f"not in the output:\n{output}"


@pytest.mark.parametrize(
    ("shown", "found"),
    [
        ("b\nc", True),
        ("a\n...\nd", True),
        ("c\nb", False),
        ("b", True),
        ("x b", False),
        ("a\n...\nz", False),
    ],
)
def test_occurs(shown, found):
    assert occurs(shown, "a\nb\nc\nd\n") == found


def test_every_example_is_collected():
    """The pages have JSON and shell examples, and the demo output and the
    status text are among the checked text blocks."""
    langs = [b.lang for b in BLOCKS]
    assert langs.count("json") >= 30
    assert langs.count("sh") >= 2
    checked = [p.values[0].code for p in text_blocks()]
    assert any(
        code.startswith("Policy: coding_agent_guard (High)\n") for code in checked
    )
    assert any(code.startswith(" 7. file_access  deny") for code in checked)
    assert {b.page for b in BLOCKS if b.lang in {"json", "sh"}} >= {
        "README.md",
        "docs/getting-started.md",
        "docs/cli.md",
        "docs/format/expressions.md",
    }


# --- the diagnostics page -----------------------------------------------------

CODE_DECLARATION = re.compile(
    r'DiagnosticCode\s+k\w+\{\s*"([a-z-]+)",\s*DiagnosticSeverity::(\w+)\}'
)
CODE_ROW = re.compile(r"^\| `([a-z-]+)` \| (error|warning|info) \|", re.MULTILINE)


def test_diagnostics_page_lists_every_code():
    """docs/diagnostics.md has a row for every code the engine declares, with
    its severity, in the declared order."""
    (header,) = ROOT.glob("halvo-compiler/**/policy_diagnostics.h")
    declared = [
        (code, severity.lower())
        for code, severity in CODE_DECLARATION.findall(header.read_text())
    ]
    page = (DOCS / "diagnostics.md").read_text(encoding="utf-8")
    assert len(declared) >= 17
    assert CODE_ROW.findall(page) == declared


# --- the README itself --------------------------------------------------------

LINK = re.compile(r"\]\(([^)#\s]+)(?:#[^)]*)?\)")


def test_readme_is_short():
    """The README says what the project is and points to the docs."""
    assert len(README.read_text(encoding="utf-8").split("\n")) <= 250


def test_readme_links_lead_to_files():
    targets = LINK.findall(README.read_text(encoding="utf-8"))
    local = [t for t in targets if "://" not in t]
    assert local, "the README links to the docs"
    missing = [t for t in local if not (ROOT / t).exists()]
    assert missing == []


def test_docs_site_builds(tmp_path):
    """`mkdocs build --strict` fails on any warning: a broken link or anchor,
    a page left out of the navigation. Skipped where the docs extra is not
    installed."""
    pytest.importorskip("mkdocs")
    done = subprocess.run(
        [sys.executable, "-m", "mkdocs", "build", "--strict", "-d", tmp_path],
        check=False,
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr
    assert (tmp_path / "format" / "expressions" / "index.html").is_file()
