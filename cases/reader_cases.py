"""The policy documents of the JSON reader's tests: valid documents and
every expression form, documents with unknown keys, and malformed documents
with the reader's message for each (syntax errors, values of the wrong kind,
missing fields), with the small builders they are made with.

Used by tests/core/test_json_reader.py, which reads each table, and by
tools/make_fuzz_seeds.py, which writes them as seeds of the reader's fuzz
harnesses:

    from reader_cases import SYNTAX_ERRORS, VALID_DOCUMENTS

    for text, message in SYNTAX_ERRORS:
        ...
"""

import json

from corvanth_core.ir import (
    action,
    binary,
    call,
    constraint,
    count,
    field,
    list_expr,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
    lit_regex,
    lit_str,
    machine,
    method,
    policy,
    predicate,
    quantifier,
    ref,
    rule,
    state,
    transition,
    unary,
    verdict,
)


def dump(doc):
    return json.dumps(doc, separators=(",", ":"))


def with_condition(expr):
    return dump(policy(rules=[rule(condition=expr)]))


MINIMAL = policy()
MINIMAL_TEXT = dump(MINIMAL)
METADATA = MINIMAL["metadata"]
TRUE = lit_bool(True)


# --- valid documents ---------------------------------------------------------

SWITCH = {
    "Switch": {
        "subject": field("tool"),
        "cases": [
            {"test": {"Literal": {"String": "a"}}, "body": {"Leaf": lit_int(1)}},
            {"test": {"Constructor": "Some"}, "body": {"Leaf": lit_int(2)}},
            {
                "test": {"Guard": TRUE},
                "body": {"VerdictLeaf": {"verdict": "Deny", "message": None}},
            },
        ],
        "default": {"VerdictLeaf": {"verdict": "Allow"}},
    }
}


VALID_EXPRESSIONS = [
    lit_bool(False),
    lit_int(-5),
    lit_float(0.5),
    lit_str("tool"),
    lit_dur(30, "Seconds"),
    lit_regex("^a.*$"),
    ref("Event", "tool"),
    ref("Context"),
    ref("Policy", "a", "b"),
    ref(2, "x"),
    {"Ref": {"root": {"Event": None}, "fields": []}},
    binary("Add", lit_int(1), lit_int(2)),
    unary("Neg", lit_int(1)),
    predicate("StartsWith", field("url"), lit_str("https")),
    quantifier("Exists", field("items"), TRUE),
    count(field("items")),
    count(field("items"), filter=TRUE, param="x"),
    {"Count": {"collection": field("items")}},
    call("len", field("a")),
    call("now"),
    method(field("s"), "to_upper"),
    {"DecisionTree": SWITCH},
    {"DecisionTree": {"Switch": {"subject": lit_int(1), "cases": []}}},
    {"DecisionTree": {"Leaf": lit_int(1)}},
    list_expr(lit_int(1), list_expr()),
    # Array forms of records and of the fields of struct variants.
    {"Ref": [{"Local": 0}, ["a"]]},
    {"Literal": {"Duration": [5, "Days"]}},
    {"Binary": ["Add", lit_int(1), lit_int(2)]},
    {"Unary": ["Not", TRUE]},
    {"Predicate": ["Contains", field("a"), lit_str("b")]},
    {"Quantifier": ["All", field("a"), "x", TRUE]},
    {"Count": [field("a"), None, None]},
    {"Call": ["len", [field("a")]]},
    {"MethodCall": [field("a"), "trim", []]},
    {
        "DecisionTree": {
            "Switch": [lit_int(1), [[{"Constructor": "A"}, {"Leaf": TRUE}]], None]
        }
    },
    {"DecisionTree": {"VerdictLeaf": ["Audit", lit_str("m")]}},
]


FULL_RULE = rule(
    rule_id=7,
    on_events=["tool_call", "data_access"],
    condition=TRUE,
    verdicts=[verdict("Deny", lit_str("no")), verdict("Audit")],
    actions=[action("Notify", to=lit_str("ops"), level=lit_int(2))],
    severity="Critical",
)


FULL_MACHINE = machine(
    kind="Until",
    states=[state("start"), state("bad", "Violated", 1), state("ok", "Satisfied", 2)],
    transitions=[
        transition(0, 1, ("Predicate", TRUE)),
        transition(0, 2, ("NegatedPredicate", TRUE)),
        transition(1, 1, "Always"),
        transition(0, 1, "Timeout"),
    ],
    accepting=[2],
    violating=[1],
    deadline_millis=5000,
)


def full_policy(**changes):
    doc = policy(
        name="full",
        severity="Critical",
        scopes=["a", "b"],
        rules=[FULL_RULE],
        constraints=[constraint("tool_call", 3, 1000), constraint("x", 1, 2, "Quota")],
        state_machines=[FULL_MACHINE],
    )
    doc["metadata"] = {
        "annotations": [["k", "v"], ["k", "w"]],
        "source_hash": 18446744073709551615,
        "compiler_version": "1.0",
    }
    doc.update(changes)
    return doc


VALID_DOCUMENTS = [
    ("minimal", MINIMAL_TEXT),
    ("full", dump(full_policy())),
    ("array form", dump(list(full_policy().values()))),
    ("metadata array", dump(full_policy(metadata=[[["k", "v"]], 0, "x"]))),
    ("rule array", dump(full_policy(rules=[[7, ["tool_call"], None, [], [], None]]))),
    ("verdict array", dump(full_policy(rules=[rule(verdicts=[["Redact", None]])]))),
    ("action array", dump(full_policy(rules=[rule(actions=[["Tag", [["t", TRUE]]]])]))),
    ("constraint array", dump(full_policy(constraints=[["Quota", "t", 1, 2]]))),
    (
        "machine array",
        dump(
            full_policy(
                state_machines=[
                    [
                        0,
                        "m",
                        "inv",
                        "Next",
                        [[0, "s", "Active"]],
                        [[0, 0, "Always"]],
                        0,
                        [],
                        [0],
                        None,
                    ]
                ]
            )
        ),
    ),
    ("no deadline", dump(full_policy(state_machines=[machine()]))),
    (
        "machine from outside its states",
        dump(
            full_policy(
                state_machines=[
                    machine(initial=9, transitions=[transition(4, 8, "Timeout")])
                ]
            )
        ),
    ),
    (
        "rule severity absent",
        dump(
            full_policy(
                rules=[{"id": 1, "on_events": [], "verdicts": [], "actions": []}]
            )
        ),
    ),
    ("whitespace around", " \t\r\n" + MINIMAL_TEXT + " \n\t\r"),
    ("pretty printed", json.dumps(full_policy(), indent=4)),
    ("unit variants in object form", dump(full_policy(severity={"Low": None}))),
    (
        "quota in object form",
        dump(full_policy(constraints=[constraint("t", 1, 1, {"Quota": None})])),
    ),
    (
        "guard in object form",
        dump(
            full_policy(
                state_machines=[
                    machine(transitions=[transition(0, 0, ("Timeout", None))])
                ]
            )
        ),
    ),
    ("empty name", dump(full_policy(name=""))),
]


# --- unknown keys ------------------------------------------------------------

EXTRA = {"x": [1, {"a": [None, True, "s", -1.5e-3]}], "y": {}}


def extended(doc, **extra):
    doc = dict(doc)
    doc.update(extra)
    return doc


UNKNOWN_KEY_DOCUMENTS = [
    ("top level", extended(MINIMAL, **EXTRA)),
    ("top level first", {**EXTRA, **MINIMAL}),
    ("metadata", policy() | {"metadata": extended(METADATA, **EXTRA)}),
    ("rule", policy(rules=[extended(FULL_RULE, **EXTRA)])),
    (
        "verdict",
        policy(rules=[rule(verdicts=[{"verdict": "Allow", "note": [1, {"a": 2}]}])]),
    ),
    ("action", policy(rules=[rule(actions=[extended(action("Log"), **EXTRA)])])),
    ("constraint", policy(constraints=[extended(constraint("t", 1, 1), **EXTRA)])),
    ("machine", policy(state_machines=[extended(FULL_MACHINE, **EXTRA)])),
    ("state", policy(state_machines=[machine(states=[extended(state("s"), **EXTRA)])])),
    (
        "transition",
        policy(
            state_machines=[
                machine(transitions=[extended(transition(0, 0, "Always"), **EXTRA)])
            ]
        ),
    ),
    (
        "binary fields",
        policy(
            rules=[
                rule(
                    condition={
                        "Binary": extended(binary("Eq", TRUE, TRUE)["Binary"], **EXTRA)
                    }
                )
            ]
        ),
    ),
    (
        "ref path",
        policy(rules=[rule(condition={"Ref": extended(field("a")["Ref"], **EXTRA)})]),
    ),
    (
        "duration",
        policy(
            rules=[
                rule(
                    condition={
                        "Literal": {"Duration": {"value": 1, "unit": "Days", "x": []}}
                    }
                )
            ]
        ),
    ),
    ("repeated unknown key", extended(MINIMAL, x=1) | {"y": 2}),
]


# --- syntax errors -----------------------------------------------------------

SYNTAX_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("\n\n", "EOF while parsing a value at line 3 column 0"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"name"', "EOF while parsing an object at line 1 column 7"),
    ('{"name":', "EOF while parsing a value at line 1 column 8"),
    ('{"name":"p"', "EOF while parsing an object at line 1 column 11"),
    ('{"name":"p",', "EOF while parsing a value at line 1 column 12"),
    ('{"name":"p","scopes":[', "EOF while parsing a list at line 1 column 22"),
    ('{"name":"p","scopes":["a"', "EOF while parsing a list at line 1 column 25"),
    ('{"name":"p","scopes":["a",', "EOF while parsing a value at line 1 column 26"),
    ('{"name":"p', "EOF while parsing a string at line 1 column 10"),
    ('{"name" "p"}', "expected `:` at line 1 column 9"),
    ('{"name":"p","scopes":["a" "b"]}', "expected `,` or `]` at line 1 column 27"),
    ('{"name":"p" "severity":"Low"}', "expected `,` or `}` at line 1 column 13"),
    ('{"name":}', "expected value at line 1 column 9"),
    ('{"x":}', "expected value at line 1 column 6"),
    ("x", "expected value at line 1 column 1"),
    ('{"name":nul}', "expected ident at line 1 column 12"),
    ('{"x":tru}', "expected ident at line 1 column 9"),
    ('{"x":fals', "EOF while parsing a value at line 1 column 9"),
    ('{"name":"\\x"}', "invalid escape at line 1 column 11"),
    ('{"x":01}', "invalid number at line 1 column 7"),
    ('{"x":-}', "invalid number at line 1 column 7"),
    ('{"x":-', "EOF while parsing a value at line 1 column 6"),
    ('{"x":1.}', "invalid number at line 1 column 8"),
    ('{"x":1e}', "invalid number at line 1 column 8"),
    ('{"name":1e400}', "number out of range at line 1 column 13"),
    (
        '{"name":"\x02"}',
        "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10",
    ),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('{"x":1,2:3}', "key must be a string at line 1 column 8"),
    ('{"name":"\\udc00"}', "lone leading surrogate in hex escape at line 1 column 15"),
    ('{"name":"\\ud800"}', "unexpected end of hex escape at line 1 column 16"),
    ('{"x":1,}', "trailing comma at line 1 column 8"),
    ('{"x":[1,]}', "trailing comma at line 1 column 9"),
    ('{"name":"p","scopes":["a",]}', "trailing comma at line 1 column 27"),
    (
        MINIMAL_TEXT + " x",
        f"trailing characters at line 1 column {len(MINIMAL_TEXT) + 2}",
    ),
    (
        MINIMAL_TEXT + MINIMAL_TEXT,
        f"trailing characters at line 1 column {len(MINIMAL_TEXT) + 1}",
    ),
    (MINIMAL_TEXT + "\n\n  }", "trailing characters at line 3 column 3"),
    ('{\n  "name": "p",\n  "severity" "Low"\n}', "expected `:` at line 3 column 14"),
    (
        '{\n  "name": 5\n}',
        "invalid type: integer `5`, expected a string at line 2 column 11",
    ),
    ('{"x":' + "[" * 127, "recursion limit exceeded at line 1 column 132"),
]


# --- records: wrong kinds and missing fields ---------------------------------

RECORD_ERRORS = [
    # (document, error message without position, snippet the position follows)
    ("5", "invalid type: integer `5`, expected struct CompiledPolicy", "5"),
    ('"p"', 'invalid type: string "p", expected struct CompiledPolicy', '"p"'),
    ("null", "invalid type: null, expected struct CompiledPolicy", "null"),
    ("true", "invalid type: boolean `true`, expected struct CompiledPolicy", "true"),
    (
        MINIMAL_TEXT.replace('"metadata":{', '"metadata":null,"m":{'),
        "invalid type: null, expected struct PolicyMetadata",
        '"metadata":null',
    ),
    (
        MINIMAL_TEXT.replace('"metadata":{', '"metadata":"m","m":{'),
        'invalid type: string "m", expected struct PolicyMetadata',
        '"metadata":"m"',
    ),
    (
        MINIMAL_TEXT.replace('"name":"p"', '"name":null'),
        "invalid type: null, expected a string",
        '"name":null',
    ),
    (
        MINIMAL_TEXT.replace('"scopes":[]', '"scopes":null'),
        "invalid type: null, expected a sequence",
        '"scopes":null',
    ),
    (
        MINIMAL_TEXT.replace('"scopes":[]', '"scopes":{"a":1}'),
        "invalid type: map, expected a sequence",
        '"scopes":{',
    ),
    (
        MINIMAL_TEXT.replace('"scopes":[]', '"scopes":"a"'),
        'invalid type: string "a", expected a sequence',
        '"scopes":"a"',
    ),
    (
        MINIMAL_TEXT.replace('"scopes":[]', '"scopes":[1]'),
        "invalid type: integer `1`, expected a string",
        '"scopes":[1',
    ),
    (
        dump(policy(rules=[5])),
        "invalid type: integer `5`, expected struct CompiledRule",
        '"rules":[5',
    ),
    (
        dump(policy(rules=["r"])),
        'invalid type: string "r", expected struct CompiledRule',
        '"rules":["r"',
    ),
    (
        dump(policy(constraints=[True])),
        "invalid type: boolean `true`, expected struct CompiledConstraint",
        "[true",
    ),
    (
        dump(policy(state_machines=[1])),
        "invalid type: integer `1`, expected struct StateMachine",
        "[1",
    ),
    (
        dump(policy(state_machines=[machine(states=[0])])),
        "invalid type: integer `0`, expected struct State",
        '"states":[0',
    ),
    (
        dump(policy(state_machines=[machine(transitions=[0])])),
        "invalid type: integer `0`, expected struct Transition",
        '"transitions":[0',
    ),
    (
        dump(policy(rules=[rule(verdicts=[1])])),
        "invalid type: integer `1`, expected struct IRVerdict",
        '"verdicts":[1',
    ),
    (
        dump(policy(rules=[rule(actions=[1])])),
        "invalid type: integer `1`, expected struct IRAction",
        '"actions":[1',
    ),
    (
        with_condition({"Ref": "x"}),
        'invalid type: string "x", expected struct RefPath',
        '{"Ref":"x"',
    ),
    (
        with_condition({"Literal": {"Duration": 5}}),
        "invalid type: integer `5`, expected struct DurationLit",
        '"Duration":5',
    ),
    (
        with_condition({"DecisionTree": {"Switch": {"subject": TRUE, "cases": [1]}}}),
        "invalid type: integer `1`, expected struct DecisionCase",
        '"cases":[1',
    ),
    (
        with_condition({"Binary": 5}),
        "invalid type: integer `5`, expected struct variant IRExpr::Binary",
        '"Binary":5',
    ),
    (
        with_condition({"Unary": None}),
        "invalid type: null, expected struct variant IRExpr::Unary",
        '"Unary":null',
    ),
    (
        with_condition({"Predicate": "p"}),
        'invalid type: string "p", expected struct variant IRExpr::Predicate',
        '"Predicate":"p"',
    ),
    (
        with_condition({"Quantifier": 1}),
        "invalid type: integer `1`, expected struct variant IRExpr::Quantifier",
        '"Quantifier":1',
    ),
    (
        with_condition({"Count": 1}),
        "invalid type: integer `1`, expected struct variant IRExpr::Count",
        '"Count":1',
    ),
    (
        with_condition({"Call": 1}),
        "invalid type: integer `1`, expected struct variant IRExpr::Call",
        '"Call":1',
    ),
    (
        with_condition({"MethodCall": 1}),
        "invalid type: integer `1`, expected struct variant IRExpr::MethodCall",
        '"MethodCall":1',
    ),
    (
        with_condition({"DecisionTree": {"Switch": 1}}),
        "invalid type: integer `1`, expected struct variant DecisionNode::Switch",
        '"Switch":1',
    ),
    (
        dump(
            policy(rules=[rule(actions=[{"verb": "Log", "args": [["a", TRUE, TRUE]]}])])
        ),
        "trailing characters",
        '"a",{"Literal":{"Bool":true}},{',
    ),
    (
        dump(policy(rules=[rule(actions=[{"verb": "Log", "args": [["a"]]}])])),
        "invalid length 1, expected a tuple of size 2",
        '[["a"]',
    ),
    (
        dump(policy(rules=[rule(actions=[{"verb": "Log", "args": [{"a": 1}]}])])),
        "invalid type: map, expected a tuple of size 2",
        '"args":[{',
    ),
    (
        MINIMAL_TEXT.replace('"annotations":[]', '"annotations":[["k","v","w"]]'),
        "trailing characters",
        '"v","',
    ),
    (
        MINIMAL_TEXT.replace('"annotations":[]', '"annotations":[["k"]]'),
        "invalid length 1, expected a tuple of size 2",
        '[["k"]',
    ),
    (
        MINIMAL_TEXT.replace('"annotations":[]', '"annotations":[[]]'),
        "invalid length 0, expected a tuple of size 2",
        "[[]",
    ),
    (
        MINIMAL_TEXT.replace('"annotations":[]', '"annotations":[["k",1]]'),
        "invalid type: integer `1`, expected a string",
        '"k",1',
    ),
    (
        MINIMAL_TEXT.replace('"annotations":[]', '"annotations":["kv"]'),
        'invalid type: string "kv", expected a tuple of size 2',
        '"kv"',
    ),
]


def without(doc, *keys):
    return {k: v for k, v in doc.items() if k not in keys}


MISSING_FIELDS = [
    (without(MINIMAL, "severity", "rules"), "severity"),
    (without(MINIMAL, "name"), "name"),
    (without(MINIMAL, "metadata"), "metadata"),
    (without(MINIMAL, "state_machines", "metadata"), "state_machines"),
    ({}, "name"),
    (policy() | {"metadata": without(METADATA, "source_hash")}, "source_hash"),
    (policy() | {"metadata": {}}, "annotations"),
    (policy(rules=[without(FULL_RULE, "actions")]), "actions"),
    (policy(rules=[without(FULL_RULE, "id", "verdicts")]), "id"),
    (policy(rules=[{"verdicts": [], "actions": [], "id": 1}]), "on_events"),
    (policy(rules=[rule(verdicts=[{"message": None}])]), "verdict"),
    (policy(rules=[rule(actions=[{"verb": "Log"}])]), "args"),
    (
        policy(constraints=[{"kind": "Quota", "target": "t", "limit": 1}]),
        "window_millis",
    ),
    (
        policy(
            state_machines=[
                without(FULL_MACHINE, "violating_states", "deadline_millis")
            ]
        ),
        "violating_states",
    ),
    (policy(state_machines=[without(FULL_MACHINE, "kind", "states")]), "kind"),
    (policy(state_machines=[machine(states=[{"id": 0, "kind": "Active"}])]), "label"),
    (policy(state_machines=[machine(transitions=[{"from": 0, "to": 0}])]), "guard"),
    (with_condition({"Binary": {"op": "Eq", "right": TRUE}}), "left"),
    (with_condition({"Unary": {"operand": TRUE}}), "op"),
    (with_condition({"Predicate": {"kind": "Matches", "subject": TRUE}}), "argument"),
    (
        with_condition(
            {"Quantifier": {"kind": "All", "collection": TRUE, "body": TRUE}}
        ),
        "param",
    ),
    (with_condition({"Count": {"param": "x", "filter": TRUE}}), "collection"),
    (with_condition({"Call": {"args": []}}), "function"),
    (with_condition({"MethodCall": {"object": TRUE, "method": "m"}}), "args"),
    (with_condition({"Ref": {"root": "Event"}}), "fields"),
    (with_condition({"Literal": {"Duration": {"value": 1}}}), "unit"),
    (with_condition({"DecisionTree": {"Switch": {"subject": TRUE}}}), "cases"),
    (
        with_condition(
            {
                "DecisionTree": {
                    "Switch": {"subject": TRUE, "cases": [{"body": {"Leaf": TRUE}}]}
                }
            }
        ),
        "test",
    ),
    (with_condition({"DecisionTree": {"VerdictLeaf": {"message": None}}}), "verdict"),
]
