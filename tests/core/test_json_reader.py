"""The JSON policy reader, through PolicyEngine.from_json (and from_bytes
where the input must be raw bytes).

Error positions: an error found on a byte counts that byte as read, an error
about a token or value counts the whole token, a missing field is reported
where its object closes, and an error at the end of input counts every byte.
"""

import json

import pytest
from _corvanth_core import PolicyEngine
from halvoc import container
from reader_cases import (
    EXTRA,
    MINIMAL,
    MINIMAL_TEXT,
    MISSING_FIELDS,
    RECORD_ERRORS,
    SYNTAX_ERRORS,
    TRUE,
    UNKNOWN_KEY_DOCUMENTS,
    VALID_DOCUMENTS,
    VALID_EXPRESSIONS,
    dump,
    extended,
    with_condition,
)

from corvanth_core.ir import (
    ENUM_NAMES,
    action,
    binary,
    call,
    constraint,
    count,
    field,
    lit_bool,
    lit_dur,
    lit_float,
    lit_int,
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

PREFIX = "Invalid policy JSON: "


def load(text):
    return PolicyEngine.from_json(text)


def load_error(text):
    with pytest.raises(ValueError) as info:
        load(text)
    message = str(info.value)
    assert message.startswith(PREFIX)
    return message[len(PREFIX) :]


def end_of(text, snippet):
    """The position just past the only occurrence of `snippet` in `text`."""
    assert text.count(snippet) == 1, snippet
    return f"line 1 column {text.index(snippet) + len(snippet)}"


def with_arg(expr):
    return dump(policy(rules=[rule(actions=[action("Log", v=expr)])]))


# --- valid documents ---------------------------------------------------------


@pytest.mark.parametrize("expr", VALID_EXPRESSIONS)
def test_every_expression_form_reads(expr):
    assert load(with_condition(expr)).policy_name == "p"


@pytest.mark.parametrize(
    "label, text", VALID_DOCUMENTS, ids=[c[0] for c in VALID_DOCUMENTS]
)
def test_valid_documents_read(label, text):
    expected = {"minimal": "p", "whitespace around": "p", "empty name": ""}.get(
        label, "full"
    )
    assert load(text).policy_name == expected


def document_using(enum, name):
    """A document whose only use of `enum` holds `name`."""
    if enum == "BinaryOp":
        return with_condition(binary(name, lit_int(1), lit_int(2)))
    if enum == "UnaryOp":
        return with_condition(unary(name, TRUE))
    if enum == "PredicateKind":
        return with_condition(predicate(name, lit_str("a"), lit_str("b")))
    if enum == "QuantifierKind":
        return with_condition(quantifier(name, field("a"), TRUE))
    if enum == "DurationUnit":
        return with_condition(lit_dur(1, name))
    if enum == "Verdict":
        return dump(policy(rules=[rule(verdicts=[verdict(name)])]))
    if enum == "ActionVerb":
        return dump(policy(rules=[rule(actions=[action(name)])]))
    if enum == "SeverityLevel":
        return dump(policy(severity=name))
    if enum == "ConstraintKind":
        return dump(policy(constraints=[constraint("t", 1, 1, name)]))
    if enum == "TemporalKind":
        return dump(policy(state_machines=[machine(kind=name)]))
    return dump(policy(state_machines=[machine(states=[state("s", name)])]))


@pytest.mark.parametrize(
    "enum, name", [(enum, name) for enum, names in ENUM_NAMES.items() for name in names]
)
def test_every_enumeration_name_reads_in_both_forms(enum, name):
    assert load(document_using(enum, name)).policy_name == "p"
    object_form = document_using(enum, name).replace(
        f'"{name}"', f'{{"{name}":null}}', 1
    )
    assert load(object_form).policy_name == "p"


NOPE = '"Nope"'


def alternatives(names):
    quoted = [f"`{n}`" for n in names]
    if len(quoted) == 2:
        return " or ".join(quoted)
    return "one of " + ", ".join(quoted)


@pytest.mark.parametrize("enum, names", list(ENUM_NAMES.items()))
def test_unknown_names_list_every_alternative(enum, names):
    text = document_using(enum, names[0]).replace(f'"{names[0]}"', '"Nope"', 1)
    assert load_error(text) == (
        f"unknown variant `Nope`, expected {alternatives(names)} at {end_of(text, NOPE)}"
    )


# --- unknown keys ------------------------------------------------------------


def with_extra_fields(expr):
    """`expr`, a single-key variant object, with EXTRA in its field object."""
    ((name, fields),) = expr.items()
    return {name: extended(fields, **EXTRA)}


VARIANT_FIELD_OBJECTS = [
    ("unary fields", with_extra_fields(unary("Not", TRUE))),
    (
        "predicate fields",
        with_extra_fields(predicate("Contains", lit_str("ab"), lit_str("a"))),
    ),
    ("quantifier fields", with_extra_fields(quantifier("All", field("a"), TRUE))),
    ("count fields", with_extra_fields(count(field("a"), filter=TRUE, param="x"))),
    ("count fields, optional ones absent", {"Count": {"collection": TRUE, **EXTRA}}),
    ("call fields", with_extra_fields(call("len", field("a")))),
    ("method call fields", with_extra_fields(method(field("a"), "trim"))),
    (
        "switch fields and case",
        {
            "DecisionTree": with_extra_fields(
                {
                    "Switch": {
                        "subject": TRUE,
                        "cases": [
                            extended(
                                {"test": {"Guard": TRUE}, "body": {"Leaf": TRUE}},
                                **EXTRA,
                            )
                        ],
                    }
                }
            )
        },
    ),
    (
        "verdict leaf",
        {"DecisionTree": {"VerdictLeaf": extended(verdict("Deny"), **EXTRA)}},
    ),
]


@pytest.mark.parametrize(
    "label, expr", VARIANT_FIELD_OBJECTS, ids=[c[0] for c in VARIANT_FIELD_OBJECTS]
)
def test_unknown_keys_are_skipped_in_variant_field_objects(label, expr):
    assert load(with_condition(expr)).policy_name == "p"


@pytest.mark.parametrize(
    "label, doc", UNKNOWN_KEY_DOCUMENTS, ids=[c[0] for c in UNKNOWN_KEY_DOCUMENTS]
)
def test_unknown_keys_are_skipped_at_every_level(label, doc):
    assert load(dump(doc)).policy_name == "p"


def test_unknown_key_given_twice_is_skipped_twice():
    text = MINIMAL_TEXT[:-1] + ',"x":1,"x":[2]}'
    assert load(text).policy_name == "p"


# --- strings -----------------------------------------------------------------


@pytest.mark.parametrize(
    "written, name",
    [
        (r'"plain"', "plain"),
        (r'"a\"b\\c\/d"', 'a"b\\c/d'),
        (r'"\b\f\n\r\t"', "\b\f\n\r\t"),
        (r'"\u0041\u00e9\u20AC"', "A\u00e9\u20ac"),
        (r'"\ud83d\ude00"', "\U0001f600"),
        (r'"x\uD834\uDD1Ey"', "x\U0001d11ey"),
        ('"caf\u00e9 \u65e5\u672c \U0001f600"', "caf\u00e9 \u65e5\u672c \U0001f600"),
        ('"' + "long name " * 10 + '"', "long name " * 10),
        (r'"' + "a" * 30 + r'\n"', "a" * 30 + "\n"),
        (r'"\u0000"', "\x00"),
        (r'"\u007f"', "\x7f"),
    ],
)
def test_strings_decode_every_escape(written, name):
    text = MINIMAL_TEXT.replace('"name":"p"', f'"name":{written}')
    assert load(text).policy_name == name


@pytest.mark.parametrize(
    "written, message",
    [
        (r'"\ud800"', "unexpected end of hex escape at line 1 column 16"),
        (r'"\ud800x"', "unexpected end of hex escape at line 1 column 16"),
        (r'"\ud800\n"', "unexpected end of hex escape at line 1 column 17"),
        (r'"\ud800\u0041"', "lone leading surrogate in hex escape at line 1 column 21"),
        (r'"\udc00"', "lone leading surrogate in hex escape at line 1 column 15"),
        (r'"\q"', "invalid escape at line 1 column 11"),
        (r'"\u12g4"', "invalid escape at line 1 column 14"),
        (
            '"a\x01b"',
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11",
        ),
        (
            '"a\nb"',
            "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0",
        ),
        (
            '"a\x1fb"',
            "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 11",
        ),
    ],
)
def test_bad_strings_are_rejected(written, message):
    text = '{"name":' + written + "}"
    assert load_error(text) == message


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"name":"ab', "EOF while parsing a string at line 1 column 11"),
        ('{"name":"ab\\', "EOF while parsing a string at line 1 column 12"),
        ('{"name":"\\u12', "EOF while parsing a string at line 1 column 13"),
        ('{"name":"\\ud800', "EOF while parsing a string at line 1 column 15"),
        ('{"name":"\\ud800\\', "EOF while parsing a string at line 1 column 16"),
        ('{"name":"\\ud800\\u00', "EOF while parsing a string at line 1 column 19"),
    ],
)
def test_strings_ending_early(text, message):
    assert load_error(text) == message


def utf8_container_error(raw):
    payload = MINIMAL_TEXT.encode().replace(b'"name":"p"', b'"name":"' + raw + b'"')
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(container(payload))
    return str(info.value)


@pytest.mark.parametrize(
    "raw",
    [
        b"\xff",
        b"a\x80",
        b"\xc3",  # cut short
        b"\xc0\xaf",  # overlong
        b"\xe0\x80\xaf",  # overlong
        b"\xed\xa0\x80",  # encoded surrogate
        b"\xf4\x90\x80\x80",  # above U+10FFFF
        b"\xf8\x88\x80\x80\x80",
    ],
)
def test_invalid_utf8_in_payload_strings_is_rejected(raw):
    column = len('{"name":"') + len(raw) + 1
    assert utf8_container_error(raw) == (
        "Failed to parse policy bytes: serialization error: "
        f"invalid unicode code point at line 1 column {column}"
    )


def test_valid_utf8_in_payload_strings_reads():
    raw = "\u00e9\u20ac\U0001f600".encode()
    payload = MINIMAL_TEXT.encode().replace(b'"name":"p"', b'"name":"' + raw + b'"')
    assert (
        PolicyEngine.from_bytes(container(payload)).policy_name
        == "\u00e9\u20ac\U0001f600"
    )


def test_invalid_utf8_in_skipped_values_is_rejected_too():
    payload = MINIMAL_TEXT.encode()[:-1] + b',"x":["\xff"]}'
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(container(payload))
    column = len(payload) - 2
    assert str(info.value) == (
        "Failed to parse policy bytes: serialization error: "
        f"invalid unicode code point at line 1 column {column}"
    )


# --- numbers -----------------------------------------------------------------


def rule_id_text(written):
    return dump(policy(rules=[rule(rule_id=0)])).replace('"id":0', f'"id":{written}')


def hash_text(written):
    return MINIMAL_TEXT.replace('"source_hash":0', f'"source_hash":{written}')


def int_text(written):
    return with_arg(lit_int(0)).replace('{"Int":0}', f'{{"Int":{written}}}')


def float_text(written):
    return with_arg(lit_float(0.0)).replace('{"Float":0.0}', f'{{"Float":{written}}}')


def arg_value(text):
    return PolicyEngine.from_json(text).evaluate("t", {})["actions"][0]["args"]["v"]


@pytest.mark.parametrize(
    "text",
    [
        rule_id_text("0"),
        rule_id_text("4294967295"),
        rule_id_text("-0"),
        hash_text("18446744073709551615"),
        dump(policy(state_machines=[machine(deadline_millis=18446744073709551615)])),
        dump(
            policy(
                constraints=[
                    constraint("t", 18446744073709551615, 18446744073709551615)
                ]
            )
        ),
    ],
)
def test_integers_at_their_limits_read(text):
    assert load(text).policy_name == "p"


@pytest.mark.parametrize(
    "written, value",
    [
        ("9223372036854775807", 9223372036854775807),
        ("-9223372036854775808", -9223372036854775808),
        ("0", 0),
        ("-17", -17),
    ],
)
def test_int_literals_read_exactly(written, value):
    assert arg_value(int_text(written)) == value


@pytest.mark.parametrize(
    "written, value",
    [
        ("2", 2.0),
        ("-3", -3.0),
        ("0.5", 0.5),
        ("1.5e3", 1500.0),
        ("1E-2", 0.01),
        ("-0.0", -0.0),
        ("1e-400", 0.0),
        ("123456789012345678901234567890", 1.2345678901234568e29),
        ("18446744073709551617", 18446744073709551616.0),
        ("9007199254740993", 9007199254740992.0),
        ("1.7976931348623157e308", 1.7976931348623157e308),
    ],
)
def test_float_literals_take_any_number(written, value):
    result = arg_value(float_text(written))
    assert type(result) is float
    assert result == value


@pytest.mark.parametrize(
    "text, message",
    [
        (
            rule_id_text("4294967296"),
            "invalid value: integer `4294967296`, expected u32",
        ),
        (rule_id_text("-1"), "invalid value: integer `-1`, expected u32"),
        (rule_id_text("1.5"), "invalid type: floating point `1.5`, expected u32"),
        (rule_id_text("1e2"), "invalid type: floating point `100.0`, expected u32"),
        (rule_id_text("1.0"), "invalid type: floating point `1.0`, expected u32"),
        (rule_id_text("1e5"), "invalid type: floating point `100000.0`, expected u32"),
        (
            rule_id_text("-2.5e-7"),
            "invalid type: floating point `-0.00000025`, expected u32",
        ),
        (rule_id_text('"7"'), 'invalid type: string "7", expected u32'),
        (rule_id_text("true"), "invalid type: boolean `true`, expected u32"),
        (rule_id_text("null"), "invalid type: null, expected u32"),
        (rule_id_text("[7]"), "invalid type: sequence, expected u32"),
        (rule_id_text("{}"), "invalid type: map, expected u32"),
        (
            hash_text("18446744073709551616"),
            "invalid value: integer `18446744073709551616`, expected u64",
        ),
        (hash_text("-1"), "invalid value: integer `-1`, expected u64"),
        (hash_text("1" * 40), f"invalid value: integer `{'1' * 40}`, expected u64"),
        (
            hash_text("-" + "9" * 25),
            f"invalid value: integer `-{'9' * 25}`, expected u64",
        ),
        (
            int_text("9223372036854775808"),
            "invalid value: integer `9223372036854775808`, expected i64",
        ),
        (
            int_text("-9223372036854775809"),
            "invalid value: integer `-9223372036854775809`, expected i64",
        ),
        (int_text("1.5"), "invalid type: floating point `1.5`, expected i64"),
        (int_text('"1"'), 'invalid type: string "1", expected i64'),
        (float_text("true"), "invalid type: boolean `true`, expected f64"),
        (float_text("false"), "invalid type: boolean `false`, expected f64"),
        (float_text('"x"'), 'invalid type: string "x", expected f64'),
        (float_text("null"), "invalid type: null, expected f64"),
    ],
)
def test_numbers_out_of_range_or_of_the_wrong_kind(text, message):
    error = load_error(text)
    assert error.startswith(message + " at line 1 column ")


@pytest.mark.parametrize(
    "text, message",
    [
        (float_text("1e400"), "number out of range"),
        (float_text("-1e309"), "number out of range"),
        (float_text("1" * 400), "number out of range"),
        (rule_id_text("1e400"), "number out of range"),
        (hash_text("0.1e310"), "number out of range"),
    ],
)
def test_numbers_beyond_every_double(text, message):
    error = load_error(text)
    assert error.startswith(message + " at line 1 column ")


def test_huge_numbers_in_skipped_values_are_only_checked_for_form():
    assert (
        load(MINIMAL_TEXT[:-1] + ',"x":[1e400,-1e999,' + "9" * 400 + "]}").policy_name
        == "p"
    )


def test_number_errors_are_reported_after_the_number():
    text = rule_id_text("4294967296")
    assert load_error(text) == (
        f"invalid value: integer `4294967296`, expected u32 at {end_of(text, '4294967296')}"
    )


@pytest.mark.parametrize(
    "text, message",
    [
        (rule_id_text("01"), "invalid number"),
        (rule_id_text("-"), "invalid number"),
        (rule_id_text("-x"), "invalid number"),
        (rule_id_text("1."), "invalid number"),
        (rule_id_text("1.e3"), "invalid number"),
        (rule_id_text("1e"), "invalid number"),
        (rule_id_text("1e+"), "invalid number"),
        (rule_id_text("+1"), "expected value"),
        (rule_id_text(".5"), "expected value"),
    ],
)
def test_malformed_numbers(text, message):
    assert load_error(text).startswith(message + " at line 1 column ")


BOOL_ONE = '{"Bool":1'


def test_bool_field_takes_only_booleans():
    text = with_condition({"Literal": {"Bool": 1}})
    assert load_error(text) == (
        f"invalid type: integer `1`, expected a boolean at {end_of(text, BOOL_ONE)}"
    )


def test_bool_literal_values_read():
    assert arg_value(with_arg(lit_bool(False))) is False
    assert arg_value(with_arg(lit_bool(True))) is True


def test_string_in_a_message_is_escaped():
    text = rule_id_text(json.dumps('a"b\\c\n\t\r\x00\x01\x7fé'))
    assert load_error(text).startswith(
        'invalid type: string "a\\"b\\\\c\\n\\t\\r\\0\\u{1}\\u{7f}é", expected u32 at '
    )


# --- syntax errors -----------------------------------------------------------


@pytest.mark.parametrize("text, message", SYNTAX_ERRORS)
def test_syntax_errors(text, message):
    assert load_error(text) == message


# --- records: wrong kinds, missing, duplicate and extra fields ---------------


@pytest.mark.parametrize("text, message, snippet", RECORD_ERRORS)
def test_values_of_the_wrong_kind(text, message, snippet):
    assert load_error(text) == f"{message} at {end_of(text, snippet)}"


@pytest.mark.parametrize("doc, name", MISSING_FIELDS)
def test_first_missing_field_in_declared_order(doc, name):
    text = doc if isinstance(doc, str) else dump(doc)
    assert load_error(text).startswith(f"missing field `{name}` at line 1 column ")


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"name":"p"}', "missing field `severity` at line 1 column 12"),
        ('{"name":"p" }', "missing field `severity` at line 1 column 13"),
        ("{}", "missing field `name` at line 1 column 2"),
        (
            '{"name":"p","severity":"Low","scopes":[],"rules":[{}]}',
            "missing field `id` at line 1 column 52",
        ),
    ],
)
def test_missing_fields_are_reported_where_the_object_closes(text, message):
    assert load_error(text) == message


DUPLICATES = [
    ('{"name":"p","name":"q"}', "name", '"p","name"'),
    (MINIMAL_TEXT[:-1] + ',"metadata":{}}', "metadata", '},"metadata"'),
    (
        dump(policy(rules=[rule()])).replace('"id":1', '"id":1,"id":1'),
        "id",
        '"id":1,"id"',
    ),
    (
        dump(policy(rules=[rule(verdicts=[verdict("Allow")])])).replace(
            '"verdict":"Allow"', '"verdict":"Allow","verdict":"Deny"'
        ),
        "verdict",
        ',"verdict"',
    ),
    (
        with_condition(binary("Eq", TRUE, TRUE)).replace(
            '"op":"Eq"', '"op":"Eq","op":"Eq"'
        ),
        "op",
        '"Eq","op"',
    ),
    (
        dump(policy(state_machines=[machine()])).replace(
            '"deadline_millis":null', '"deadline_millis":null,"deadline_millis":1'
        ),
        "deadline_millis",
        'null,"deadline_millis"',
    ),
]


@pytest.mark.parametrize("text, name, snippet", DUPLICATES)
def test_duplicate_fields_are_rejected_when_the_key_is_read(text, name, snippet):
    assert load_error(text) == f"duplicate field `{name}` at {end_of(text, snippet)}"


ARRAY_LENGTH_ERRORS = [
    (dump(list(MINIMAL.values())[:6]), "struct CompiledPolicy with 7 elements", 6),
    ("[]", "struct CompiledPolicy with 7 elements", 0),
    (
        dump(policy() | {"metadata": [[], 0]}),
        "struct PolicyMetadata with 3 elements",
        2,
    ),
    (
        dump(policy(rules=[[7, ["tool_call"], None, [], []]])),
        "struct CompiledRule with 6 elements",
        5,
    ),
    (
        dump(policy(rules=[rule(actions=[["Log"]])])),
        "struct IRAction with 2 elements",
        1,
    ),
    (dump(policy(rules=[rule(verdicts=[[]])])), "struct IRVerdict with 2 elements", 0),
    (
        dump(policy(constraints=[["Quota", "t", 1]])),
        "struct CompiledConstraint with 4 elements",
        3,
    ),
    (
        dump(policy(state_machines=[[0, "m", "inv", "Never", [], [], 0, [], []]])),
        "struct StateMachine with 10 elements",
        9,
    ),
    (
        dump(policy(state_machines=[machine(states=[[0, "s"]])])),
        "struct State with 3 elements",
        2,
    ),
    (
        dump(policy(state_machines=[machine(transitions=[[0, 1]])])),
        "struct Transition with 3 elements",
        2,
    ),
    (with_condition({"Ref": []}), "struct RefPath with 2 elements", 0),
    (
        with_condition({"Literal": {"Duration": [1]}}),
        "struct DurationLit with 2 elements",
        1,
    ),
    (
        with_condition({"Binary": ["Add", lit_int(1)]}),
        "struct variant IRExpr::Binary with 3 elements",
        2,
    ),
    (
        with_condition({"Unary": ["Not"]}),
        "struct variant IRExpr::Unary with 2 elements",
        1,
    ),
    (
        with_condition({"Predicate": ["Contains", TRUE]}),
        "struct variant IRExpr::Predicate with 3 elements",
        2,
    ),
    (
        with_condition({"Quantifier": ["All", TRUE, "x"]}),
        "struct variant IRExpr::Quantifier with 4 elements",
        3,
    ),
    (
        with_condition({"Count": [TRUE, None]}),
        "struct variant IRExpr::Count with 3 elements",
        2,
    ),
    (with_condition({"Call": ["f"]}), "struct variant IRExpr::Call with 2 elements", 1),
    (
        with_condition({"MethodCall": [TRUE, "m"]}),
        "struct variant IRExpr::MethodCall with 3 elements",
        2,
    ),
    (
        with_condition({"DecisionTree": {"Switch": [TRUE, []]}}),
        "struct variant DecisionNode::Switch with 3 elements",
        2,
    ),
    (
        with_condition(
            {"DecisionTree": {"Switch": [TRUE, [[{"Constructor": "A"}]], None]}}
        ),
        "struct DecisionCase with 2 elements",
        1,
    ),
]


@pytest.mark.parametrize("text, expected, length", ARRAY_LENGTH_ERRORS)
def test_array_forms_that_end_early(text, expected, length):
    assert load_error(text).startswith(
        f"invalid length {length}, expected {expected} at line 1 column "
    )


def test_short_array_form_is_reported_at_its_closing_bracket():
    text = with_condition({"Binary": ["Add", lit_int(1)]})
    snippet = '"Binary":["Add",{"Literal":{"Int":1}}]'
    assert load_error(text) == (
        "invalid length 2, expected struct variant IRExpr::Binary with 3 elements"
        f" at {end_of(text, snippet)}"
    )


@pytest.mark.parametrize(
    "text, snippet",
    [
        (dump(list(MINIMAL.values()) + [1]), ",1"),
        (
            with_condition({"Binary": ["Add", TRUE, TRUE, TRUE]}),
            '"Add",{"Literal":{"Bool":true}},{"Literal":{"Bool":true}},{',
        ),
        (dump(policy(rules=[rule(verdicts=[["Allow", None, 3]])])), "null,3"),
        (with_condition({"Unary": ["Not", TRUE, 4]}), "true}},4"),
        (
            with_condition({"Predicate": ["Contains", TRUE, TRUE, 4]}),
            'true}},{"Literal":{"Bool":true}},4',
        ),
        (with_condition({"Quantifier": ["All", TRUE, "x", TRUE, 4]}), "true}},4"),
        (with_condition({"Count": [TRUE, None, None, 4]}), "null,null,4"),
        (with_condition({"Call": ["f", [], 4]}), "[],4"),
        (with_condition({"MethodCall": [TRUE, "m", [], 4]}), "[],4"),
        (
            with_condition({"DecisionTree": {"Switch": [TRUE, [], None, 4]}}),
            "null,4",
        ),
        (
            with_condition(
                {
                    "DecisionTree": {
                        "Switch": [
                            TRUE,
                            [[{"Constructor": "A"}, {"Leaf": TRUE}, 4]],
                            None,
                        ]
                    }
                }
            ),
            "true}}},4",
        ),
    ],
)
def test_array_forms_with_extra_elements(text, snippet):
    assert load_error(text) == f"trailing characters at {end_of(text, snippet)}"


@pytest.mark.parametrize(
    "text, snippet",
    [
        (
            with_condition({"Binary": ["Add", TRUE, TRUE]}).replace("}}]}", "}},]}", 1),
            "}},]",
        ),
        (
            dump(policy(rules=[rule(verdicts=[["Allow", None]])])).replace(
                "null]", "null,]"
            ),
            "null,]",
        ),
    ],
)
def test_array_forms_with_a_trailing_comma(text, snippet):
    assert load_error(text) == f"trailing comma at {end_of(text, snippet)}"


# --- enumerations ------------------------------------------------------------

ENUM_ERRORS = [
    (
        dump(policy(severity="low")),
        "unknown variant `low`, expected one of `Critical`, `High`, `Medium`, `Low`, `Info`",
        '"low"',
    ),
    (
        dump(policy(rules=[rule(verdicts=[verdict("deny")])])),
        "unknown variant `deny`, expected one of `Allow`, `Deny`, `Audit`, `Redact`",
        '"deny"',
    ),
    (
        dump(policy(constraints=[constraint("t", 1, 1, "Rate")])),
        "unknown variant `Rate`, expected `RateLimit` or `Quota`",
        '"Rate"',
    ),
    (
        dump(policy(constraints=[constraint("t", 1, 1, {"Rate": None})])),
        "unknown variant `Rate`, expected `RateLimit` or `Quota`",
        '"Rate"',
    ),
    (
        with_condition(unary("Bang", TRUE)),
        "unknown variant `Bang`, expected `Not` or `Neg`",
        '"Bang"',
    ),
    (
        with_condition({"Lit": 1}),
        (
            "unknown variant `Lit`, expected one of `Literal`, `Ref`, `Binary`, "
            "`Unary`, `Predicate`, `Quantifier`, `Count`, `Call`, `MethodCall`, "
            "`DecisionTree`, `List`"
        ),
        '"Lit"',
    ),
    (
        with_condition({"Literal": {"Null": None}}),
        "unknown variant `Null`, expected one of `Bool`, `Int`, `Float`, `String`, `Duration`, `Regex`",
        '"Null"',
    ),
    (
        with_condition(ref("Global")),
        "unknown variant `Global`, expected one of `Event`, `Context`, `Local`, `Policy`",
        '"Global"',
    ),
    (
        with_condition({"DecisionTree": {"Branch": None}}),
        "unknown variant `Branch`, expected one of `Switch`, `Leaf`, `VerdictLeaf`",
        '"Branch"',
    ),
    (
        with_condition(
            {
                "DecisionTree": {
                    "Switch": {
                        "subject": TRUE,
                        "cases": [{"test": {"Default": 1}, "body": {"Leaf": TRUE}}],
                    }
                }
            }
        ),
        "unknown variant `Default`, expected one of `Literal`, `Constructor`, `Guard`",
        '"Default"',
    ),
    (
        dump(policy(state_machines=[machine(transitions=[transition(0, 0, "Never")])])),
        "unknown variant `Never`, expected one of `Predicate`, `NegatedPredicate`, `Timeout`, `Always`",
        '"guard":"Never"',
    ),
    (
        dump(policy(severity={"Low": 1})),
        "invalid type: integer `1`, expected unit",
        '{"Low":1',
    ),
    (
        dump(policy(severity={"Low": []})),
        "invalid type: sequence, expected unit",
        '{"Low":[',
    ),
    (
        dump(policy(rules=[rule(verdicts=[verdict({"Deny": 1})])])),
        "invalid type: integer `1`, expected unit",
        '{"Deny":1',
    ),
    (
        dump(
            policy(
                state_machines=[machine(transitions=[transition(0, 0, ("Timeout", 5))])]
            )
        ),
        "invalid type: integer `5`, expected unit",
        '{"Timeout":5',
    ),
    (
        with_condition(ref("Local")),
        "invalid type: unit variant, expected newtype variant",
        '"Local"',
    ),
    (
        with_condition("Literal"),
        "invalid type: unit variant, expected newtype variant",
        '"Literal"',
    ),
    (
        with_condition("List"),
        "invalid type: unit variant, expected newtype variant",
        '"List"',
    ),
    (
        with_condition({"Literal": "Int"}),
        "invalid type: unit variant, expected newtype variant",
        '"Int"',
    ),
    (
        with_condition("Binary"),
        "invalid type: unit variant, expected struct variant",
        '"Binary"',
    ),
    (
        with_condition({"DecisionTree": "Switch"}),
        "invalid type: unit variant, expected struct variant",
        '"Switch"',
    ),
    (
        with_condition({"DecisionTree": "Leaf"}),
        "invalid type: unit variant, expected newtype variant",
        '"Leaf"',
    ),
    (
        dump(
            policy(
                state_machines=[machine(transitions=[transition(0, 0, "Predicate")])]
            )
        ),
        "invalid type: unit variant, expected newtype variant",
        '"Predicate"',
    ),
    (
        with_condition(
            {
                "DecisionTree": {
                    "Switch": {
                        "subject": TRUE,
                        "cases": [{"test": "Constructor", "body": {"Leaf": TRUE}}],
                    }
                }
            }
        ),
        "invalid type: unit variant, expected newtype variant",
        '"Constructor"',
    ),
    (
        with_condition(ref({"Local": -1})),
        "invalid value: integer `-1`, expected u32",
        '"Local":-1',
    ),
    (
        with_condition(ref({"Local": "a"})),
        'invalid type: string "a", expected u32',
        '"Local":"a"',
    ),
    (
        with_condition({"List": {}}),
        "invalid type: map, expected a sequence",
        '"List":{',
    ),
    (
        with_condition({"Literal": {"String": 1}}),
        "invalid type: integer `1`, expected a string",
        '"String":1',
    ),
    (
        with_condition({"Literal": {"Regex": None}}),
        "invalid type: null, expected a string",
        '"Regex":null',
    ),
]


@pytest.mark.parametrize("text, message, snippet", ENUM_ERRORS)
def test_enumeration_errors(text, message, snippet):
    assert load_error(text) == f"{message} at {end_of(text, snippet)}"


@pytest.mark.parametrize(
    "text, snippet",
    [
        (with_condition({"Literal": {"Int": 1}, "Ref": {}}), '{"Int":1},'),
        (dump(policy(severity={"Low": None, "High": None})), "null,"),
        (dump(policy(severity=1)), '"severity":1'),
        (dump(policy(severity=None)), '"severity":n'),
        (dump(policy(severity=[])), '"severity":['),
        (dump(policy(severity=True)), '"severity":t'),
        (dump(policy(severity={})), '"severity":{}'),
        (with_condition(5), '"condition":5'),
        (with_condition([TRUE]), '"condition":['),
        (with_condition({"Literal": 1.5}), '"Literal":1'),
        (dump(policy(rules=[rule(verdicts=[{"verdict": None}])])), '"verdict":n'),
    ],
)
def test_enumerations_that_are_neither_string_nor_single_key_object(text, snippet):
    assert load_error(text) == f"expected value at {end_of(text, snippet)}"


def test_variant_object_ending_early():
    assert (
        load_error('{"name":"p","severity":{"Low":null')
        == "EOF while parsing an object at line 1 column 34"
    )
    assert (
        load_error('{"name":"p","severity":{')
        == "EOF while parsing a value at line 1 column 24"
    )


@pytest.mark.parametrize(
    "doc",
    [
        policy(rules=[rule(severity=None)]),
        policy(rules=[rule(condition=None)]),
        policy(rules=[rule(verdicts=[verdict("Deny", None)])]),
        policy(state_machines=[machine(deadline_millis=None)]),
    ],
)
def test_optional_fields_take_null(doc):
    assert load(dump(doc)).policy_name == "p"


# --- nesting -----------------------------------------------------------------


def unary_chain(depth):
    expr = TRUE
    for _ in range(depth):
        expr = unary("Not", expr)
    return expr


def column_of_level(text, level):
    """The column just past the bracket that opens nesting level `level`."""
    depth = 0
    for index, char in enumerate(text):
        if char in "[{":
            depth += 1
            if depth == level:
                return index + 1
        elif char in "]}":
            depth -= 1
    raise AssertionError("level not reached")


def test_nesting_of_127_levels_reads():
    # Policy object, rules list and rule object open 3 levels, each Unary
    # node 2 and the literal at the bottom 2: 3 + 2 * 61 + 2 = 127.
    text = with_condition(unary_chain(61))
    assert load(text).policy_name == "p"


def test_nesting_of_128_levels_is_rejected():
    text = with_condition(unary_chain(62))
    assert load_error(text) == (
        f"recursion limit exceeded at line 1 column {column_of_level(text, 128)}"
    )


@pytest.mark.parametrize(
    "inner, ok",
    [
        ("[" * 126 + "]" * 126, True),
        ("[" * 127 + "]" * 127, False),
        ("{" + '"a":{' * 125 + "}" * 126, True),
        ("{" + '"a":{' * 126 + "}" * 127, False),
    ],
)
def test_skipped_values_count_their_nesting(inner, ok):
    text = MINIMAL_TEXT[:-1] + ',"x":' + inner + "}"
    if ok:
        assert load(text).policy_name == "p"
    else:
        assert load_error(text) == (
            f"recursion limit exceeded at line 1 column {column_of_level(text, 128)}"
        )


def test_deep_nesting_far_past_the_limit_fails_cleanly():
    text = MINIMAL_TEXT[:-1] + ',"x":' + "[" * 100000
    assert load_error(text) == (
        f"recursion limit exceeded at line 1 column {column_of_level(text, 128)}"
    )


# --- speed -------------------------------------------------------------------


def big_policy_text():
    """About 1 MB of rules with nested conditions, verdicts and actions."""
    rules = []
    text_size = 0
    rule_id = 0
    while text_size < 1_000_000:
        rule_id += 1
        condition = binary(
            "And",
            binary("Eq", field("tool"), lit_str("web_search")),
            unary(
                "Not", predicate("Contains", field("url", "host"), lit_str("internal"))
            ),
        )
        one = rule(
            rule_id=rule_id,
            on_events=["tool_call"],
            condition=condition,
            verdicts=[
                verdict("Deny", lit_str("blocked by a rule with a long message"))
            ],
            actions=[action("Log", rule=lit_int(rule_id), weight=lit_float(0.25))],
            severity="High",
        )
        rules.append(one)
        text_size += len(dump(one))
    return dump(policy(rules=rules))


def test_a_large_policy_reads_every_rule():
    # Reading speed is measured by bench/bench_from_json.py; here the same
    # kind of large document must read completely.
    text = big_policy_text()
    engine = load(text)
    result = engine.evaluate("tool_call", {"tool": "web_search", "url": {"host": "x"}})
    ids = result["triggered_rules"]
    assert len(text) >= 1_000_000
    assert ids == list(range(1, len(ids) + 1))
    assert len(ids) > 100
    assert result["verdict"] == "deny"
    assert result["reason"] == "blocked by a rule with a long message"
