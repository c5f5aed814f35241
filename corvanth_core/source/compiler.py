"""The policy compiler: a YAML policy file to the engine's canonical IR
JSON.

    text = compile(open("guard.yaml").read(), filename="guard.yaml")
    engine = PolicyEngine.from_json(text)

The file is read with PyYAML's safe composer, so every node keeps its
place and no tag constructs anything; `!expr` is the one tag with a
meaning. Every problem is collected with its place (independent parts go
on after an error) and raised together as one `PolicySourceError`. The
file format itself is described in the package's language reference; the
keys accepted here are the `*_KEYS` tables below.
"""

import hashlib
import re
from collections.abc import Callable, Mapping
from typing import Any, Final

import yaml

from corvanth_core.source import ir_build as ir
from corvanth_core.source.canonical_json import canonical_json
from corvanth_core.source.errors import (
    DEFAULT_FILENAME,
    PolicySourceError,
    SourceIssue,
    SourceText,
    Span,
)
from corvanth_core.source.events import FIELD_TYPES, EventSchema, FieldChecker
from corvanth_core.source.host_limits import (
    CompiledLimits,
    HostLimit,
    reference_error,
)
from corvanth_core.source.lexer import LexError
from corvanth_core.source.machines import (
    REPEAT_MODES,
    default_kind,
    repeat_transitions,
)
from corvanth_core.source.names import (
    ACTION_WORDS,
    CONSTRAINT_WORDS,
    DURATION_UNITS,
    ENUMS,
    I64_MAX,
    I64_MIN,
    U32_MAX,
    U64_MAX,
    VERDICT_WORDS,
    did_you_mean,
    enum_name,
)
from corvanth_core.source.parser import parse_expression, parse_template
from corvanth_core.source.source_map import CompiledSource, SourceMap
from corvanth_core.source.yaml_positions import value_offsets

POLICY_KEYS: Final = (
    "name",
    "severity",
    "scopes",
    "annotations",
    "metadata",
    "rules",
    "limits",
    "invariants",
    "events",
)
METADATA_KEYS: Final = ("source_hash", "compiler_version")
RULE_KEYS: Final = (
    "id",
    "on",
    "when",
    *VERDICT_WORDS,
    "verdicts",
    "actions",
    "severity",
)
LIMIT_KEYS: Final = (*CONSTRAINT_WORDS, "max", "per", "window")
INVARIANT_KEYS: Final = (
    "name",
    "invariant",
    "id",
    "kind",
    "states",
    "initial",
    "accepting",
    "violating",
    "deadline",
    "repeats",
    "transitions",
)
STATE_KEYS: Final = ("label", "kind", "id")
GUARD_KEYS: Final = ("when", "unless", "after")
EXPR_TAG: Final = "!expr"

# Nesting the engine's reader admits, and the levels the policy around each
# kind of expression already opens.
MAX_DEPTH: Final = 127
CONDITION_DEPTH: Final = 3
MESSAGE_DEPTH: Final = 5
ARGUMENT_DEPTH: Final = 7
GUARD_DEPTH: Final = 6

_DURATION: Final = re.compile(r"([0-9]+)(ms|s|m|h|d)\Z")
_INT: Final = re.compile(r"-?[0-9]+\Z")
_FLOAT: Final = re.compile(r"-?[0-9]+(\.[0-9]+)?([eE][+-]?[0-9]+)?\Z")
_STATE_NUMBER: Final = re.compile(r"#([0-9]+)\Z")


def package_version() -> str:
    """The version of the installed package, written as the compiler's
    (pyproject.toml holds it; a source tree that was never installed has
    none to tell)."""
    from importlib import metadata

    try:
        return metadata.version("corvanth-core")
    except metadata.PackageNotFoundError:
        return "unknown"


def source_hash(text: str) -> int:
    """The first 8 bytes of the SHA-256 of the text, big-endian."""
    digest = hashlib.sha256(text.encode("utf-8", "surrogatepass")).digest()
    return int.from_bytes(digest[:8], "big")


def compile(
    source: str | bytes | bytearray | memoryview | Mapping[str, Any],
    *,
    filename: str | None = None,
) -> str:
    """The canonical IR JSON of a policy source: its text (str, or UTF-8
    bytes) or an already-parsed mapping. Raises PolicySourceError."""
    return compile_with_map(source, filename=filename).json


def compile_with_limits(
    source: str | bytes | bytearray | memoryview | Mapping[str, Any],
    *,
    filename: str | None = None,
) -> CompiledLimits:
    """`compile`, with the keyed limits (`per: event.tool`) that the IR
    leaves out, for the guard to hold. Raises PolicySourceError."""
    return _compile(source, filename)[0]


def compile_with_map(
    source: str | bytes | bytearray | memoryview | Mapping[str, Any],
    *,
    filename: str | None = None,
) -> CompiledSource:
    """`compile`, with the source map of the result."""
    return _compile(source, filename)[1]


def _compile(
    source: str | bytes | bytearray | memoryview | Mapping[str, Any],
    filename: str | None,
) -> tuple[CompiledLimits, CompiledSource]:
    name = filename if filename is not None else DEFAULT_FILENAME
    if isinstance(source, Mapping):
        try:
            source = yaml.safe_dump(dict(source), sort_keys=False, allow_unicode=True)
        except yaml.YAMLError as e:
            raise _whole_error(name, f"the mapping is not YAML data: {e}") from None
    if isinstance(source, (bytes, bytearray, memoryview)):
        source = _decode(bytes(source), name)
    if not isinstance(source, str):
        raise TypeError(
            f"compile() source must be str, bytes or a mapping, not {type(source).__name__}"
        )
    compiler = _Compiler(SourceText(source, name))
    text = compiler.run()
    compiled = CompiledLimits(text, tuple(compiler.host_limits))
    return compiled, CompiledSource(text, SourceMap(compiler.source, compiler.places))


def _whole_error(filename: str, message: str) -> PolicySourceError:
    return PolicySourceError(
        filename=filename, line=1, column=1, path="", message=message
    )


def _decode(data: bytes, filename: str) -> str:
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as e:
        prefix = data[: e.start].decode("utf-8")
        text = SourceText(prefix, filename)
        issue = text.issue("the file is not valid UTF-8", Span(e.start, e.start), "")
        raise PolicySourceError.from_issues([issue]) from None


class _Abandon(Exception):
    """Stops compiling one part after its error was recorded."""


Node = yaml.Node


class _Compiler:
    def __init__(self, source: SourceText) -> None:
        self.source = source
        self.issues: list[SourceIssue] = []
        self.seen: set[int] = set()
        self.places: dict[str, Span] = {}
        self.schema: EventSchema | None = None
        # Keyed limits, which the IR cannot hold: the guard holds them.
        self.host_limits: list[HostLimit] = []
        # The fields the expressions being compiled see, when declared.
        self.checker: FieldChecker | None = None

    # --- errors ---------------------------------------------------------------

    def error(
        self, message: str, span: Span, path: str, help: str | None = None
    ) -> None:
        self.issues.append(self.source.issue(message, span, path, help))

    def at(
        self, node: Node, message: str, path: str, help: str | None = None
    ) -> _Abandon:
        self.error(message, _span(node), path, help)
        return _Abandon()

    def place(self, path: str, node: Node) -> None:
        """Records that the IR at `path` was written at `node`."""
        self.places[path] = _span(node)

    def place_keys(
        self, prefix: str, keys: dict[str, tuple[Node, Node]], fields: dict[str, str]
    ) -> None:
        """Places the IR fields named by `fields` (source key -> IR field)."""
        for key, ir_field in fields.items():
            if key in keys:
                self.place(f"{prefix}.{ir_field}" if prefix else ir_field, keys[key][1])

    def part(self, build: Callable[..., Any], *args: Any) -> Any:
        """The result of `build(*args)`, or None if it recorded an error."""
        try:
            return build(*args)
        except _Abandon:
            return None

    # --- the document ---------------------------------------------------------

    def run(self) -> str:
        root = self.compose()
        policy = self.part(lambda: self.policy(root))
        if self.issues:
            self.issues.sort(key=lambda i: (i.line, i.column))
            raise PolicySourceError.from_issues(_unique(self.issues))
        return canonical_json(policy)

    def compose(self) -> Node:
        text = self.source.text
        try:
            root = yaml.compose(text, Loader=yaml.SafeLoader)
        except yaml.MarkedYAMLError as e:
            mark = e.problem_mark or e.context_mark
            offset = mark.index if mark is not None else 0
            message = f"invalid YAML: {e.problem or e.context}"
            raise PolicySourceError.from_issues(
                [self.source.issue(message, Span(offset, offset + 1), "")]
            ) from None
        except yaml.reader.ReaderError as e:
            issue = self.source.issue(
                f"invalid YAML: {e.reason}", Span(e.position, e.position + 1), ""
            )
            raise PolicySourceError.from_issues([issue]) from None
        except (yaml.YAMLError, RecursionError) as e:
            del e
            issue = self.source.issue("invalid YAML: nested too deeply", Span(0, 1), "")
            raise PolicySourceError.from_issues([issue]) from None
        if root is None:
            issue = self.source.issue(
                "the file holds no policy",
                Span(0, len(text)),
                "",
                "start with `name: my_policy`",
            )
            raise PolicySourceError.from_issues([issue])
        self.refuse_surrogates(root)
        return root

    def refuse_surrogates(self, root: Node) -> None:
        """A YAML escape such as "\\uD800" gives a lone surrogate, which no
        UTF-8 text (the IR's) can hold: the first one is an error at its
        scalar. The walk keeps its own stack, as the tree may be deep."""
        stack = [root]
        while stack:
            node = stack.pop()
            if isinstance(node, yaml.ScalarNode):
                if any("\ud800" <= c <= "\udfff" for c in node.value):
                    issue = self.source.issue(
                        "the text holds a lone surrogate (an escape from"
                        " \\uD800 to \\uDFFF), which UTF-8 cannot encode",
                        _span(node),
                        "",
                        "write the character itself, or its \\U escape (\\U0001F600)",
                    )
                    raise PolicySourceError.from_issues([issue])
            elif isinstance(node, yaml.SequenceNode):
                stack.extend(reversed(node.value))
            elif isinstance(node, yaml.MappingNode):
                for key, value in reversed(node.value):
                    stack.extend((value, key))

    # --- node helpers ---------------------------------------------------------

    def visit(self, node: Node, path: str) -> None:
        if id(node) in self.seen:
            raise self.at(node, "aliases are not supported in policies", path)
        self.seen.add(id(node))
        tag = node.tag
        if not (tag.startswith("tag:yaml.org,2002:") or tag == EXPR_TAG):
            raise self.at(node, f"unknown tag `{tag}`", path, "the only tag is !expr")

    def mapping(
        self, node: Node, path: str, keys: tuple[str, ...], what: str
    ) -> dict[str, tuple[Node, Node]]:
        self.visit(node, path)
        if not isinstance(node, yaml.MappingNode):
            raise self.at(node, f"expected {what} (a mapping)", path)
        found: dict[str, tuple[Node, Node]] = {}
        for key_node, value_node in node.value:
            self.visit(key_node, path)
            if not isinstance(key_node, yaml.ScalarNode):
                self.error("keys must be plain words", _span(key_node), path)
                continue
            key = key_node.value
            where = _join(path, key)
            if key in found:
                self.error(f"duplicate key `{key}`", _span(key_node), where)
            elif key.startswith("x-"):
                continue
            elif key not in keys:
                self.error(
                    f"unknown key `{key}` in {what}",
                    _span(key_node),
                    where,
                    did_you_mean(key, keys),
                )
            else:
                found[key] = (key_node, value_node)
        return found

    def sequence(self, node: Node, path: str, what: str) -> list[Node]:
        self.visit(node, path)
        if not isinstance(node, yaml.SequenceNode):
            raise self.at(node, f"expected a list of {what}", path)
        return list(node.value)

    def text(self, node: Node, path: str, what: str = "a text") -> str:
        self.visit(node, path)
        if not isinstance(node, yaml.ScalarNode) or node.tag == EXPR_TAG:
            raise self.at(node, f"expected {what}", path)
        return str(node.value)

    def texts(self, node: Node, path: str, what: str) -> list[str]:
        items = self.sequence(node, path, what)
        return [self.text(item, f"{path}[{i}]", what) for i, item in enumerate(items)]

    def number(self, node: Node, path: str, high: int, what: str) -> int:
        raw = self.text(node, path, what)
        if (
            getattr(node, "style", None) is not None
            or not re.fullmatch(r"[0-9]+", raw)
            or int(raw) > high
        ):
            raise self.at(node, f"expected {what} from 0 to {high}", path)
        return int(raw)

    def duration(self, node: Node, path: str) -> int:
        raw = self.text(node, path, "a duration")
        found = _DURATION.match(raw.strip())
        if found is None:
            raise self.at(
                node,
                f"expected a duration such as 30s, 5m or 1h, found `{raw}`",
                path,
                "units are ms, s, m, h and d",
            )
        millis = int(found.group(1)) * DURATION_UNITS[found.group(2)][1]
        if millis > U64_MAX:
            raise self.at(node, "duration is out of range", path)
        return millis

    def enum(self, node: Node, path: str, family: str, what: str) -> str:
        raw = self.text(node, path, what)
        found = enum_name(family, raw)
        if found is None:
            words = [v.lower() for v in ENUMS[family]]
            raise self.at(
                node,
                f"unknown {what} `{raw}`",
                path,
                did_you_mean(raw, words) or "one of " + ", ".join(words),
            )
        return found

    # --- expressions ----------------------------------------------------------

    def expression(
        self,
        node: Node,
        path: str,
        base: int,
        template: bool = False,
        checker: FieldChecker | None = None,
    ) -> ir.IR:
        self.visit(node, path)
        if not isinstance(node, yaml.ScalarNode):
            raise self.at(node, "expected an expression", path)
        text = node.value
        if node.tag == EXPR_TAG:
            template = False
        try:
            parse = parse_template if template else parse_expression
            expr, problems = parse(text, checker or self.checker)
        except LexError as e:
            self.expr_issue(node, e, path)
            raise _Abandon() from None
        for problem in problems:
            self.expr_issue(node, problem, path)
        if problems:
            raise _Abandon()
        if base + _depth(expr) > MAX_DEPTH:
            raise self.at(
                node,
                "expression is nested too deeply for the engine",
                path,
                f"the engine reads at most {MAX_DEPTH} levels; split it",
            )
        return expr

    def expr_issue(self, node: yaml.ScalarNode, problem: LexError, path: str) -> None:
        offsets = value_offsets(self.source.text, node)
        last = len(offsets) - 1
        start = offsets[min(max(problem.start, 0), last)]
        content = len(node.value.rstrip())
        if problem.start >= content > 0:
            # The end of the expression: just after its last character, not
            # where the scalar's node ends (often the next line).
            start = offsets[content - 1] + 1
        end_index = min(max(problem.end, problem.start), last)
        end = offsets[end_index - 1] + 1 if end_index > problem.start else start
        self.error(problem.message, Span(start, max(end, start)), path, problem.help)

    def message(
        self, node: Node, path: str, checker: FieldChecker | None = None
    ) -> ir.IR:
        """A verdict's message: a template, an `!expr`, or nothing."""
        if (
            isinstance(node, yaml.ScalarNode)
            and node.style is None
            and node.tag == "tag:yaml.org,2002:null"
        ):
            self.visit(node, path)
            return None
        return self.expression(node, path, MESSAGE_DEPTH, True, checker)

    def argument(
        self, node: Node, path: str, checker: FieldChecker | None = None
    ) -> ir.IR:
        if (
            isinstance(node, yaml.ScalarNode)
            and node.style is None
            and node.tag != EXPR_TAG
        ):
            raw = node.value
            if _INT.match(raw):
                self.visit(node, path)
                value = int(raw)
                if not I64_MIN <= value <= I64_MAX:
                    raise self.at(node, f"integer {raw} is out of range", path)
                return ir.integer(value)
            if _FLOAT.match(raw):
                self.visit(node, path)
                number = float(raw)
                if number in (float("inf"), float("-inf")):
                    raise self.at(node, "number is too large for a float", path)
                return ir.floating(number)
            if raw in ("true", "false"):
                self.visit(node, path)
                return ir.boolean(raw == "true")
            if node.tag == "tag:yaml.org,2002:null":
                raise self.at(node, "an argument needs a value", path)
        return self.expression(node, path, ARGUMENT_DEPTH, True, checker)

    # --- the policy -----------------------------------------------------------

    def policy(self, root: Node) -> ir.IR:
        keys = self.mapping(root, "", POLICY_KEYS, "a policy")
        self.place("", root)
        self.place_keys(
            "",
            keys,
            {
                "name": "name",
                "severity": "severity",
                "scopes": "scopes",
                "metadata": "metadata",
                "annotations": "metadata.annotations",
            },
        )
        name = (
            self.part(lambda: self.text(keys["name"][1], "name", "the policy's name"))
            if "name" in keys
            else None
        )
        if "name" not in keys:
            self.error(
                "the policy has no `name`", _span(root), "", "add `name: my_policy`"
            )
        severity = "Medium"
        if "severity" in keys:
            severity = (
                self.part(
                    lambda: self.enum(
                        keys["severity"][1], "severity", "severity", "severity"
                    )
                )
                or severity
            )
        scopes = self.optional(
            keys, "scopes", lambda n: self.texts(n, "scopes", "scope names"), []
        )
        annotations = self.optional(keys, "annotations", self.annotations, [])
        meta = self.optional(keys, "metadata", self.metadata, {})
        if "events" in keys:
            self.schema = self.part(self.events, keys["events"][1])
        rules = self.optional(keys, "rules", self.rules, [])
        limits = self.optional(keys, "limits", self.limits, [])
        machines = self.optional(keys, "invariants", self.invariants, [])
        metadata = ir.metadata(
            annotations,
            meta.get("source_hash", source_hash(self.source.text)),
            meta.get("compiler_version", package_version()),
        )
        return ir.policy(
            name or "", severity, scopes, rules, limits, machines, metadata
        )

    def events(self, node: Node) -> EventSchema:
        declared = self.mapping_items(node, "events", "event types")
        types: dict[str, dict[str, str]] = {}
        for name, value in declared:
            where = f"events.{name}"
            fields: dict[str, str] = {}
            if not (isinstance(value, yaml.ScalarNode) and value.tag.endswith(":null")):
                for field, kind_node in self.mapping_items(value, where, "fields"):
                    kind = self.text(kind_node, f"{where}.{field}", "a field type")
                    if not kind:
                        self.error(
                            f"field `{field}` has no type",
                            _span(kind_node),
                            f"{where}.{field}",
                            "one of " + ", ".join(FIELD_TYPES),
                        )
                        kind = "any"  # known from now on: no cascade of errors
                    if kind not in FIELD_TYPES:
                        self.error(
                            f"unknown field type `{kind}`",
                            _span(kind_node),
                            f"{where}.{field}",
                            did_you_mean(kind, FIELD_TYPES)
                            or "one of " + ", ".join(FIELD_TYPES),
                        )
                        kind = "any"
                    fields[field] = kind
            types[name] = fields
        return EventSchema(types)

    def mapping_items(self, node: Node, path: str, what: str) -> list[tuple[str, Node]]:
        """The entries of a mapping whose keys are names of the author's."""
        self.visit(node, path)
        if not isinstance(node, yaml.MappingNode):
            raise self.at(node, f"expected {what} (a mapping)", path)
        items: list[tuple[str, Node]] = []
        for key_node, value in node.value:
            key = self.text(key_node, path, "a name")
            if any(key == k for k, _ in items):
                self.error(f"duplicate key `{key}`", _span(key_node), f"{path}.{key}")
                continue
            items.append((key, value))
        return items

    def optional(
        self,
        keys: dict[str, tuple[Node, Node]],
        key: str,
        build: Callable[[Node], Any],
        default: Any,
    ) -> Any:
        if key not in keys:
            return default
        found = self.part(lambda: build(keys[key][1]))
        return default if found is None else found

    def annotations(self, node: Node) -> list[list[str]]:
        self.visit(node, "annotations")
        if isinstance(node, yaml.MappingNode):
            pairs = []
            for key_node, value_node in node.value:
                key = self.text(key_node, "annotations", "an annotation key")
                pairs.append(
                    [
                        key,
                        self.text(
                            value_node, f"annotations.{key}", "an annotation value"
                        ),
                    ]
                )
            return pairs
        self.seen.discard(id(node))
        items = self.sequence(node, "annotations", "annotations")
        result = []
        for index, item in enumerate(items):
            where = f"annotations[{index}]"
            pair = self.sequence(item, where, "key and value")
            if len(pair) != 2:
                raise self.at(item, "an annotation is a key and a value", where)
            result.append(
                [
                    self.text(pair[0], where, "a key"),
                    self.text(pair[1], where, "a value"),
                ]
            )
        return result

    def metadata(self, node: Node) -> dict[str, Any]:
        keys = self.mapping(node, "metadata", METADATA_KEYS, "metadata")
        found: dict[str, Any] = {}
        if "source_hash" in keys:
            found["source_hash"] = self.number(
                keys["source_hash"][1], "metadata.source_hash", U64_MAX, "a hash"
            )
        if "compiler_version" in keys:
            found["compiler_version"] = self.text(
                keys["compiler_version"][1], "metadata.compiler_version"
            )
        return found

    # --- rules ----------------------------------------------------------------

    def rules(self, node: Node) -> list[ir.IR]:
        items = self.sequence(node, "rules", "rules")
        built: list[ir.IR] = []
        next_id = 1
        for index, item in enumerate(items):
            rule = self.part(self.rule, item, f"rules[{index}]", next_id)
            if rule is not None:
                built.append(rule)
                next_id = rule["id"] + 1
            else:
                next_id += 1
        return built

    def rule(self, node: Node, path: str, default_id: int) -> ir.IR:
        keys = self.mapping(node, path, RULE_KEYS, "a rule")
        where = path
        self.place(where, node)
        self.place_keys(
            where,
            keys,
            {
                "id": "id",
                "on": "on_events",
                "when": "condition",
                "verdicts": "verdicts",
                "actions": "actions",
                "severity": "severity",
                **{w: "verdicts" for w in VERDICT_WORDS},
            },
        )
        rule_id = default_id
        if "id" in keys:
            rule_id = self.number(keys["id"][1], f"{path}.id", U32_MAX, "a rule id")
        elif default_id > U32_MAX:
            raise self.at(
                node, "rule ids run past 4294967295", path, "give this rule an `id`"
            )
        if "on" not in keys:
            raise self.at(
                node,
                "the rule has no `on`",
                path,
                "name its event types: `on: tool_call` (or `on: []` for every event)",
            )
        on_node = keys["on"][1]
        if isinstance(on_node, yaml.ScalarNode):
            events = [self.text(on_node, f"{path}.on", "an event type")]
            self.check_event_type(events[0], on_node, f"{path}.on")
        else:
            events = self.texts(on_node, f"{path}.on", "event types")
            for index, item in enumerate(on_node.value):
                self.check_event_type(events[index], item, f"{path}.on[{index}]")
        self.checker = None
        if self.schema and all(e in self.schema.types for e in events):
            # An undeclared type was reported already; its fields are not.
            self.checker = self.schema.checker(events)
        try:
            return self.rule_parts(keys, node, path, rule_id, events)
        finally:
            self.checker = None

    def check_event_type(self, event_type: str, node: Node, path: str) -> None:
        problem = self.schema.type_problem(event_type) if self.schema else None
        if problem is not None:
            self.error(problem[0], _span(node), path, problem[1])

    def rule_parts(
        self,
        keys: dict[str, tuple[Node, Node]],
        node: Node,
        path: str,
        rule_id: int,
        events: list[str],
    ) -> ir.IR:
        condition = None
        if "when" in keys:
            condition = self.part(
                lambda: self.expression(
                    keys["when"][1], f"{path}.when", CONDITION_DEPTH
                )
            )
        verdicts = self.rule_verdicts(keys, node, path)
        actions: list[ir.IR] = []
        if "actions" in keys:
            actions = (
                self.part(lambda: self.actions(keys["actions"][1], f"{path}.actions"))
                or []
            )
        severity = None
        if "severity" in keys:
            severity = self.part(
                lambda: self.enum(
                    keys["severity"][1], f"{path}.severity", "severity", "severity"
                )
            )
        return ir.rule(rule_id, events, condition, verdicts, actions, severity)

    def rule_verdicts(
        self, keys: dict[str, tuple[Node, Node]], node: Node, path: str
    ) -> list[ir.IR]:
        words = [w for w in VERDICT_WORDS if w in keys]
        if len(words) + ("verdicts" in keys) > 1:
            self.error(
                "a rule with several verdicts lists them under `verdicts`",
                _span(node),
                path,
            )
            return []
        if words:
            word = words[0]
            message = self.part(lambda: self.message(keys[word][1], f"{path}.{word}"))
            return [ir.verdict(word.capitalize(), message)]
        if "verdicts" not in keys:
            return []
        items = (
            self.part(
                lambda: self.sequence(
                    keys["verdicts"][1], f"{path}.verdicts", "verdicts"
                )
            )
            or []
        )
        built = []
        for index, item in enumerate(items):
            verdict = self.part(self.one_verdict, item, f"{path}.verdicts[{index}]")
            if verdict is not None:
                built.append(verdict)
        return built

    def one_verdict(self, node: Node, path: str) -> ir.IR:
        word, value = self.word_item(node, path, VERDICT_WORDS, "verdict")
        message = None if value is None else self.message(value, f"{path}.{word}")
        return ir.verdict(word.capitalize(), message)

    def word_item(
        self, node: Node, path: str, words: tuple[str, ...], what: str
    ) -> tuple[str, Node | None]:
        """A list item that is a word, or a mapping of one word to a value."""
        value: Node | None = None
        if isinstance(node, yaml.MappingNode) and len(node.value) == 1:
            self.visit(node, path)
            key_node, value = node.value[0]
        else:
            key_node = node
        word = self.text(key_node, path, f"a {what}")
        if word not in words:
            raise self.at(
                key_node,
                f"unknown {what} `{word}`",
                path,
                did_you_mean(word, words) or "one of " + ", ".join(words),
            )
        return word, value

    def actions(self, node: Node, path: str) -> list[ir.IR]:
        items = self.sequence(node, path, "actions")
        built = []
        for index, item in enumerate(items):
            self.place(f"{path}[{index}]", item)
            action = self.part(self.action, item, f"{path}[{index}]")
            if action is not None:
                built.append(action)
        return built

    def action(self, node: Node, path: str) -> ir.IR:
        word, value = self.word_item(node, path, ACTION_WORDS, "action")
        where = f"{path}.{word}"
        pairs: list[tuple[str, Node, Node]] = []
        if value is None:
            pass
        elif isinstance(value, yaml.MappingNode):
            self.visit(value, where)
            for key_node, arg_node in value.value:
                pairs.append(
                    (self.text(key_node, where, "an argument name"), key_node, arg_node)
                )
        elif isinstance(value, yaml.SequenceNode):
            for index, pair_node in enumerate(self.sequence(value, where, "arguments")):
                pair = self.sequence(pair_node, f"{where}[{index}]", "name and value")
                if len(pair) != 2:
                    raise self.at(
                        pair_node,
                        "an argument is a name and a value",
                        f"{where}[{index}]",
                    )
                pairs.append(
                    (
                        self.text(pair[0], f"{where}[{index}]", "an argument name"),
                        pair[0],
                        pair[1],
                    )
                )
        elif not (isinstance(value, yaml.ScalarNode) and value.tag.endswith(":null")):
            raise self.at(value, "expected the action's arguments (a mapping)", where)
        args = []
        for name, _, arg_node in pairs:
            arg = self.part(self.argument, arg_node, f"{where}.{name}")
            args.append([name, arg])
        return ir.action(word.capitalize(), args)

    # --- limits ---------------------------------------------------------------

    def limits(self, node: Node) -> list[ir.IR]:
        items = self.sequence(node, "limits", "limits")
        built: list[ir.IR] = []
        for index, item in enumerate(items):
            limit = self.part(self.limit, item, f"limits[{index}]", len(built))
            if isinstance(limit, HostLimit):
                self.host_limits.append(limit)
            elif limit is not None:
                built.append(limit)
        return built

    def limit(self, node: Node, path: str, ir_index: int) -> ir.IR | HostLimit:
        """A limit: a constraint of the IR (at `ir_index`), or, keyed by
        `per` with its window in `window`, a limit the guard holds."""
        keys = self.mapping(node, path, LIMIT_KEYS, "a limit")
        kinds = [w for w in CONSTRAINT_WORDS if w in keys]
        if len(kinds) != 1:
            raise self.at(
                node,
                "a limit has one of `rate` or `quota`, naming its event type",
                path,
            )
        for required in ("max", "per"):
            if required not in keys:
                raise self.at(node, f"the limit has no `{required}`", path)
        word = kinds[0]
        target = self.text(keys[word][1], f"{path}.{word}", "an event type")
        self.check_event_type(target, keys[word][1], f"{path}.{word}")
        maximum = self.number(keys["max"][1], f"{path}.max", U64_MAX, "a count")
        if "window" in keys:
            window = self.duration(keys["window"][1], f"{path}.window")
            per_node = keys["per"][1]
            per = self.text(per_node, f"{path}.per", "a reference")
            error = reference_error(per.strip(), "`per`")
            if error is not None:
                raise self.at(
                    per_node,
                    error.replace(" is not a reference:", " keys the windows;"),
                    f"{path}.per",
                    "with `window`, `per` names what each window is kept for",
                )
            kind = CONSTRAINT_WORDS[word]
            return HostLimit(kind, target, maximum, window, per.strip())  # type: ignore[arg-type]
        where = f"constraints[{ir_index}]"
        self.place(where, node)
        self.place_keys(
            where,
            keys,
            {
                "rate": "target",
                "quota": "target",
                "max": "limit",
                "per": "window_millis",
            },
        )
        window = self.duration(keys["per"][1], f"{path}.per")
        return ir.constraint(CONSTRAINT_WORDS[word], target, maximum, window)

    # --- invariants -----------------------------------------------------------

    def invariants(self, node: Node) -> list[ir.IR]:
        items = self.sequence(node, "invariants", "invariants")
        built = []
        next_id = 1
        # Every event steps every machine: guards see the fields of any type.
        self.checker = self.schema.checker([]) if self.schema else None
        for index, item in enumerate(items):
            machine = self.part(self.invariant, item, f"invariants[{index}]", next_id)
            if machine is not None:
                built.append(machine)
                next_id = machine["id"] + 1
            else:
                next_id += 1
        self.checker = None
        return built

    def invariant(self, node: Node, path: str, default_id: int) -> ir.IR:
        keys = self.mapping(node, path, INVARIANT_KEYS, "an invariant")
        where = _ir_path(path)
        self.place(where, node)
        self.place_keys(
            where,
            keys,
            {
                "id": "id",
                "name": "name",
                "invariant": "invariant_name",
                "kind": "kind",
                "states": "states",
                "transitions": "transitions",
                "initial": "initial_state",
                "accepting": "accepting_states",
                "violating": "violating_states",
                "deadline": "deadline_millis",
            },
        )
        for required in ("name", "states"):
            if required not in keys:
                raise self.at(node, f"the invariant has no `{required}`", path)
        name = self.text(keys["name"][1], f"{path}.name", "a name")
        invariant = name
        if "invariant" in keys:
            invariant = self.text(keys["invariant"][1], f"{path}.invariant", "a name")
        machine_id = default_id
        if "id" in keys:
            machine_id = self.number(keys["id"][1], f"{path}.id", U32_MAX, "an id")
        elif default_id > U32_MAX:
            raise self.at(
                node, "invariant ids run past 4294967295", path, "give it an `id`"
            )
        kind = "Always"
        if "kind" in keys:
            kind = self.enum(keys["kind"][1], f"{path}.kind", "temporal", "kind")
        repeats = "deny"
        if "repeats" in keys:
            repeats = self.text(keys["repeats"][1], f"{path}.repeats", "deny or allow")
            if repeats not in REPEAT_MODES:
                raise self.at(
                    keys["repeats"][1],
                    f"`repeats` is deny or allow, not `{repeats}`",
                    f"{path}.repeats",
                    did_you_mean(repeats, REPEAT_MODES),
                )
        declared = self.states(keys["states"][1], f"{path}.states")
        labels = [label for label, _, _ in declared]
        resolve = _StateNames(self, labels)
        initial = 0
        if "initial" in keys:
            initial = resolve.one(keys["initial"][1], f"{path}.initial")
        accepting = resolve.many(keys, "accepting", path)
        violating = resolve.many(keys, "violating", path)
        deadline = None
        if "deadline" in keys:
            deadline = self.duration(keys["deadline"][1], f"{path}.deadline")
        states = []
        kinds = []
        for index, (label, state_kind, state_id) in enumerate(declared):
            chosen = state_kind or default_kind(index, violating, repeats)
            kinds.append(chosen)
            states.append(
                ir.state(index if state_id is None else state_id, label, chosen)
            )
        transitions: list[ir.IR] = []
        if "transitions" in keys:
            transitions = self.transitions(
                keys["transitions"][1], f"{path}.transitions", resolve
            )
        if repeats == "deny":
            transitions = transitions + repeat_transitions(
                transitions, kinds, violating
            )
        return ir.machine(
            machine_id,
            name,
            invariant,
            kind,
            states,
            transitions,
            initial,
            accepting,
            violating,
            deadline,
        )

    def states(self, node: Node, path: str) -> list[tuple[str, str | None, int | None]]:
        items = self.sequence(node, path, "states")
        declared: list[tuple[str, str | None, int | None]] = []
        for index, item in enumerate(items):
            where = f"{path}[{index}]"
            self.place(_ir_path(where), item)
            if isinstance(item, yaml.ScalarNode):
                declared.append((self.text(item, where, "a state name"), None, None))
            elif isinstance(item, yaml.MappingNode) and len(item.value) == 1:
                self.visit(item, where)
                key_node, kind_node = item.value[0]
                label = self.text(key_node, where, "a state name")
                declared.append(
                    (
                        label,
                        self.enum(kind_node, f"{where}.{label}", "state", "state kind"),
                        None,
                    )
                )
            else:
                keys = self.mapping(item, where, STATE_KEYS, "a state")
                if "label" not in keys:
                    raise self.at(item, "the state has no `label`", where)
                label = self.text(keys["label"][1], f"{where}.label", "a state name")
                state_kind = None
                if "kind" in keys:
                    state_kind = self.enum(
                        keys["kind"][1], f"{where}.kind", "state", "state kind"
                    )
                state_id = None
                if "id" in keys:
                    state_id = self.number(
                        keys["id"][1], f"{where}.id", U32_MAX, "a state id"
                    )
                declared.append((label, state_kind, state_id))
        return declared

    def transitions(self, node: Node, path: str, resolve: "_StateNames") -> list[ir.IR]:
        items = self.sequence(node, path, "transitions")
        built = []
        for index, item in enumerate(items):
            self.place(_ir_path(f"{path}[{index}]"), item)
            made = self.part(self.transition, item, f"{path}[{index}]", resolve)
            if made is not None:
                built.append(made)
        return built

    def transition(self, node: Node, path: str, resolve: "_StateNames") -> ir.IR:
        guard_node: Node | None = None
        if isinstance(node, yaml.MappingNode) and len(node.value) == 1:
            self.visit(node, path)
            arrow_node, guard_node = node.value[0]
        else:
            arrow_node = node
        arrow = self.text(arrow_node, path, "a transition `from -> to`")
        ends = arrow.split("->")
        if len(ends) != 2 or not ends[0].strip() or not ends[1].strip():
            raise self.at(arrow_node, f"expected `from -> to`, found `{arrow}`", path)
        source = resolve.name(ends[0].strip(), arrow_node, path)
        target = resolve.name(ends[1].strip(), arrow_node, path)
        if guard_node is None:
            guard: ir.IR = "Always"
        elif isinstance(guard_node, yaml.MappingNode):
            keys = self.mapping(guard_node, path, GUARD_KEYS, "a guard")
            if len(keys) != 1:
                raise self.at(
                    guard_node,
                    "a guard is one of `when`, `unless` or `after: deadline`",
                    path,
                )
            ((word, (_, value)),) = keys.items()
            if word == "after":
                if self.text(value, f"{path}.after", "deadline") != "deadline":
                    raise self.at(value, "write `after: deadline`", f"{path}.after")
                guard = "Timeout"
            else:
                expr = self.expression(value, f"{path}.{word}", GUARD_DEPTH)
                guard = {"Predicate" if word == "when" else "NegatedPredicate": expr}
        else:
            guard = {
                "Predicate": self.expression(guard_node, f"{path}.when", GUARD_DEPTH)
            }
        return ir.transition(source, target, guard)


class _StateNames:
    """Resolves state references: a name, or `#N` for the state numbered N."""

    def __init__(self, compiler: _Compiler, labels: list[str]) -> None:
        self.compiler = compiler
        self.labels = labels

    def name(self, word: str, node: Node, path: str) -> int:
        number = _STATE_NUMBER.match(word)
        if number:
            value = int(number.group(1))
            if value > U32_MAX:
                raise self.compiler.at(node, "state number is out of range", path)
            return value
        found = [i for i, label in enumerate(self.labels) if label == word]
        if not found:
            raise self.compiler.at(
                node, f"unknown state `{word}`", path, did_you_mean(word, self.labels)
            )
        if len(found) > 1:
            raise self.compiler.at(
                node,
                f"state name `{word}` is ambiguous",
                path,
                "refer to it by number: " + ", ".join(f"#{i}" for i in found),
            )
        return found[0]

    def one(self, node: Node, path: str) -> int:
        return self.name(self.compiler.text(node, path, "a state"), node, path)

    def many(
        self, keys: dict[str, tuple[Node, Node]], key: str, path: str
    ) -> list[int]:
        if key not in keys:
            return []
        where = f"{path}.{key}"
        items = self.compiler.sequence(keys[key][1], where, "states")
        return [self.one(item, f"{where}[{i}]") for i, item in enumerate(items)]


def _ir_path(path: str) -> str:
    """The IR path of a place in the source: `invariants[0].states[1]` is
    `state_machines[0].states[1]`."""
    for word, ir_word in (("invariants", "state_machines"), ("limits", "constraints")):
        if path.startswith(word):
            return ir_word + path[len(word) :]
    return path


def _span(node: Node) -> Span:
    return Span(
        node.start_mark.index, max(node.end_mark.index, node.start_mark.index + 1)
    )


def _join(path: str, key: str) -> str:
    return f"{path}.{key}" if path else key


def _depth(value: Any) -> int:
    """The JSON nesting of an IR value: arrays and objects opened."""
    deepest = 0
    stack = [(value, 0)]
    while stack:
        item, level = stack.pop()
        if isinstance(item, dict):
            level += 1
            stack.extend((v, level) for v in item.values())
        elif isinstance(item, list):
            level += 1
            stack.extend((v, level) for v in item)
        deepest = max(deepest, level)
    return deepest


def _unique(issues: list[SourceIssue]) -> list[SourceIssue]:
    seen: set[tuple[object, ...]] = set()
    kept = []
    for issue in issues:
        key = (issue.line, issue.column, issue.message)
        if key not in seen:
            seen.add(key)
            kept.append(issue)
    return kept
