"""Load errors carry their place: `line`, `column` and `path` (the JSON path
of the value being read) beside the unchanged message.

ValueError from from_json; RuntimeError from from_bytes and from_file, with
the place of the payload's error, or None for all three when the header or
the file itself fails.
"""

import json
import struct

import pytest
from _corvanth_core import PolicyEngine

from corvanth_core.ir import (
    action,
    binary,
    lit_int,
    machine,
    policy,
    rule,
    state,
    transition,
    verdict,
)

MAGIC = b"\xae\x91\x5c\x01"


def container(payload, version=1):
    return MAGIC + struct.pack("<HHI", version, 0, len(payload)) + payload


def doc_with(**parts):
    doc = policy()
    doc.update(parts)
    return json.dumps(doc)


def rules_doc(*rules):
    return doc_with(rules=list(rules))


BAD_OP = binary("Eqq", lit_int(1), lit_int(2))

CASES = [
    # (document, message without position, path)
    ("", "EOF while parsing a value", ""),
    ("{}", "missing field `name`", ""),
    (json.dumps(policy()) + " x", "trailing characters", ""),
    ('{"name": "a", "name": "b"}', "duplicate field `name`", "name"),
    (doc_with(name=5), "invalid type: integer `5`, expected a string", "name"),
    (
        doc_with(severity="Severe"),
        (
            "unknown variant `Severe`, expected one of `Critical`, `High`, "
            "`Medium`, `Low`, `Info`"
        ),
        "severity",
    ),
    (
        doc_with(scopes=["a", 1]),
        "invalid type: integer `1`, expected a string",
        "scopes[1]",
    ),
    (
        rules_doc(rule(), rule(condition=BAD_OP)),
        (
            "unknown variant `Eqq`, expected one of `Add`, `Sub`, `Mul`, `Div`, "
            "`Mod`, `Eq`, `Neq`, `Lt`, `Le`, `Gt`, `Ge`, `And`, `Or`, `Implies`, `In`"
        ),
        "rules[1].condition.Binary.op",
    ),
    (
        rules_doc({**rule(), "id": -1}),
        "invalid value: integer `-1`, expected u32",
        "rules[0].id",
    ),
    (
        rules_doc({"id": 1, "on_events": [], "verdicts": []}),
        "missing field `actions`",
        "rules[0]",
    ),
    (
        rules_doc(rule(verdicts=[verdict("Deny"), verdict("deny")])),
        "unknown variant `deny`, expected one of `Allow`, `Deny`, `Audit`, `Redact`",
        "rules[0].verdicts[1].verdict",
    ),
    (
        rules_doc(
            rule(actions=[action("Log", a=lit_int(1), b={"Literal": {"Int": 1.5}})])
        ),
        "invalid type: floating point `1.5`, expected i64",
        "rules[0].actions[0].args[1][1].Literal.Int",
    ),
    # the array form names the fields as the object form does
    (
        rules_doc([1, [], None, [], []]),
        "invalid length 5, expected struct CompiledRule with 6 elements",
        "rules[0]",
    ),
    (
        rules_doc([1, [], None, [], [], "Hi"]),
        "unknown variant `Hi`, expected one of `Critical`, `High`, `Medium`, `Low`, `Info`",
        "rules[0].severity",
    ),
    (
        doc_with(
            metadata={"annotations": [["k"]], "source_hash": 0, "compiler_version": "x"}
        ),
        "invalid length 1, expected a tuple of size 2",
        "metadata.annotations[0]",
    ),
    (
        doc_with(
            state_machines=[
                machine(
                    states=[state("s")], transitions=[transition(0, 0, "Predicate")]
                )
            ]
        ),
        "invalid type: unit variant, expected newtype variant",
        "state_machines[0].transitions[0].guard",
    ),
    (
        doc_with(
            state_machines=[
                machine(
                    transitions=[
                        transition(0, 1, "Always"),
                        {"from": 0, "to": None, "guard": "Always"},
                    ]
                )
            ]
        ),
        "invalid type: null, expected u32",
        "state_machines[0].transitions[1].to",
    ),
    # a fault inside a value that is skipped is placed at its key
    ('{"name": "p", "x-tool": [1, {"a": tru}]}', "expected ident", "x-tool"),
    (
        rules_doc(
            {**rule(), "condition": {"Ref": {"root": {"Local": 1}, "fields": ["a", 2]}}}
        ),
        "invalid type: integer `2`, expected a string",
        "rules[0].condition.Ref.fields[1]",
    ),
    (
        rules_doc({**rule(), "severity": {"Low": 1}}),
        "invalid type: integer `1`, expected unit",
        "rules[0].severity.Low",
    ),
]


@pytest.mark.parametrize("text, message, path", CASES)
def test_from_json_error_place(text, message, path):
    with pytest.raises(ValueError) as info:
        PolicyEngine.from_json(text)
    error = info.value
    assert str(error) == (
        f"Invalid policy JSON: {message} at line {error.line} column {error.column}"
    )
    assert error.path == path
    assert type(error.line) is int and type(error.column) is int


def test_line_and_column_are_those_of_the_message():
    text = '{\n  "name": "p",\n  "severity": 3\n}'
    with pytest.raises(ValueError) as info:
        PolicyEngine.from_json(text)
    assert (info.value.line, info.value.column, info.value.path) == (3, 15, "severity")
    assert str(info.value).endswith("at line 3 column 15")


@pytest.mark.parametrize("text, message, path", CASES[1:6])
def test_container_payload_error_place(text, message, path, tmp_path):
    data = container(text.encode())
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(data)
    error = info.value
    assert str(error) == (
        "Failed to parse policy bytes: serialization error: "
        f"{message} at line {error.line} column {error.column}"
    )
    assert error.path == path
    file = tmp_path / "p.halvoc"
    file.write_bytes(data)
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(file))
    assert str(info.value).startswith("Failed to load policy: serialization error: ")
    assert (info.value.line, info.value.column, info.value.path) == (
        error.line,
        error.column,
        error.path,
    )


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "I/O error: failed to fill whole buffer"),
        (b"\0\0\0\0", "not a valid .halvoc file (bad magic bytes)"),
        (container(b"{}", version=2), "unsupported format version 2 (expected 1)"),
        (
            MAGIC + struct.pack("<HHI", 1, 0, 10) + b"{}",
            "I/O error: failed to fill whole buffer",
        ),
    ],
)
def test_header_errors_have_no_place(data, message):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(data)
    assert str(info.value) == f"Failed to parse policy bytes: {message}"
    assert (info.value.line, info.value.column, info.value.path) == (None, None, None)


def test_unreadable_file_has_no_place(tmp_path):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(tmp_path))
    assert str(info.value).startswith("Failed to load policy: I/O error: ")
    assert (info.value.line, info.value.column, info.value.path) == (None, None, None)
