"""PolicyLoadError: load and loads refuse every policy the engine refuses,
whatever its form, with its kind and place, the engine's message stated
once and the engine's exception as the cause; and by default a policy whose
diagnostics include an error."""

import json
import pickle

import pytest

import corvanth_core
from corvanth_core import PolicyLoadError, ir
from corvanth_core.container import write_container
from corvanth_core.errors import ERROR_KINDS, error_kind

JSON = "Invalid policy JSON: "
BYTES = "Failed to parse policy bytes: "


def doc(**fields):
    document = ir.policy()
    document.update(fields)
    return json.dumps(document)


# 127 open arrays and objects at most, the outer object counted.
DEEP = '{"name": "p", "junk": ' + "[" * 200 + "]" * 200 + "}"

# (id, data, kind, line, column, path, message, cause)
REFUSALS = [
    ("syntax", "{", "json-syntax", 1, 1, "", JSON + "EOF while parsing an object"),
    (
        "type",
        doc(name=5),
        "wrong-type",
        1,
        10,
        "name",
        JSON + "invalid type: integer `5`, expected a string",
    ),
    (
        "length",
        doc(metadata=[[], 0]),
        "wrong-length",
        1,
        120,
        "metadata",
        JSON + "invalid length 2, expected struct PolicyMetadata with 3 elements",
    ),
    ("missing", "{}", "missing-field", 1, 2, "", JSON + "missing field `name`"),
    (
        "duplicate",
        '{"name": "a", "name": "b"}',
        "duplicate-field",
        1,
        20,
        "name",
        JSON + "duplicate field `name`",
    ),
    (
        "variant",
        doc(severity="Severe").encode(),
        "unknown-variant",
        1,
        34,
        "severity",
        JSON + "unknown variant `Severe`, expected one of `Critical`, `High`, "
        "`Medium`, `Low`, `Info`",
    ),
    (
        "range",
        doc(rules=[{**ir.rule(), "id": -1}]),
        "out-of-range",
        1,
        66,
        "rules[0].id",
        JSON + "invalid value: integer `-1`, expected u32",
    ),
    ("deep", DEEP, "too-deep", 1, 149, "junk", JSON + "recursion limit exceeded"),
    (
        "magic",
        b"\xae\x00\x00\x00" + bytes(8),
        "container",
        None,
        None,
        None,
        BYTES + "not a valid .halvoc file (bad magic bytes)",
    ),
    (
        "version",
        write_container(doc(), version=7),
        "container",
        None,
        None,
        None,
        BYTES + "unsupported format version 7 (expected 1)",
    ),
    (
        "short",
        b"\xae\x91",
        "container",
        None,
        None,
        None,
        BYTES + "I/O error: failed to fill whole buffer",
    ),
    (
        "payload",
        write_container('{\n "name": true}'),
        "wrong-type",
        2,
        13,
        "name",
        BYTES + "serialization error: invalid type: boolean `true`, expected a string",
    ),
]


@pytest.mark.parametrize(
    "data, kind, line, column, path, message",
    [case[1:] for case in REFUSALS],
    ids=[case[0] for case in REFUSALS],
)
def test_a_refused_policy_raises_its_kind_and_place(
    data, kind, line, column, path, message
):
    with pytest.raises(PolicyLoadError) as raised:
        corvanth_core.loads(data)
    error = raised.value
    assert isinstance(error, ValueError)
    assert (error.kind, error.line, error.column, error.path, error.message) == (
        kind,
        line,
        column,
        path,
        message,
    )
    assert (error.filename, error.diagnostics) == (None, [])
    # The engine's exception is chained, its text the message with the
    # position that the package's error states once, in front.
    position = "" if line is None else f" at line {line} column {column}"
    assert str(error.__cause__) == message + position
    where = "<string>" if line is None else f"<string>:{line}:{column}"
    assert str(error) == f"{where}: {message}" + (f" (at {path})" if path else "")


@pytest.mark.parametrize(
    "data, cause, detail",
    [
        (b'{"name": "\xff"}', UnicodeDecodeError, "invalid start byte at byte 10"),
        (
            '{"name": "\ud800"}',
            UnicodeEncodeError,
            "surrogates not allowed at character 10",
        ),
    ],
)
def test_text_that_is_not_utf8_is_an_encoding_error(data, cause, detail):
    with pytest.raises(PolicyLoadError) as raised:
        corvanth_core.loads(data)
    assert raised.value.kind == "encoding"
    assert type(raised.value.__cause__) is cause
    assert str(raised.value) == f"<string>: not UTF-8 JSON text ({detail})"


def test_a_file_names_itself_in_the_error(tmp_path):
    path = tmp_path / "guard.json"
    path.write_text(doc(name=5))
    with pytest.raises(PolicyLoadError) as raised:
        corvanth_core.load(path)
    assert raised.value.filename == str(path)
    assert str(raised.value) == (
        f"{path}:1:10: {JSON}invalid type: integer `5`, expected a string (at name)"
    )


MISSPELT = ir.policy(rules=[ir.rule()])
MISSPELT["rules"][0]["condtion"] = ir.lit_bool(False)  # type: ignore[typeddict-unknown-key]
MISSPELT_DIAGNOSTIC = {
    "severity": "error",
    "code": "misspelt-key",
    "message": "unknown key `condtion` in CompiledRule is ignored; did you mean "
    "`condition` (optional IRExpr)?",
    "path": "rules[0].condtion",
}


def test_error_diagnostics_refuse_a_policy_unless_unchecked():
    text = json.dumps(MISSPELT)
    with pytest.raises(PolicyLoadError) as raised:
        corvanth_core.loads(text)
    error = raised.value
    assert (error.kind, error.line, error.path, error.__cause__) == (
        "diagnostics",
        None,
        None,
        None,
    )
    assert error.diagnostics == [MISSPELT_DIAGNOSTIC]
    assert str(error) == (
        "<string>: refused, 1 error diagnostic (load with check=False to accept "
        f"it): [misspelt-key] rules[0].condtion: {MISSPELT_DIAGNOSTIC['message']}"
    )
    assert corvanth_core.loads(text, check=False).evaluate("t")["triggered_rules"] == [
        1
    ]


def test_warnings_do_not_refuse_a_policy():
    engine = corvanth_core.loads(json.dumps(ir.policy(rules=[ir.rule(1, ["t"])])))
    assert [d["severity"] for d in engine.diagnostics()] == ["warning"]


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: corvanth_core.loads(5),
            "loads() argument 'data' must be str or bytes-like, not int",
        ),
        (
            lambda: corvanth_core.load(5),
            "load() argument 'path' must be str or os.PathLike[str], not int",
        ),
    ],
)
def test_argument_types_stay_type_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_an_unknown_message_has_the_fallback_kind():
    assert error_kind("Invalid policy JSON: something new") == "other"
    assert ERROR_KINDS[-1] == "other"


def test_the_error_pickles_with_its_fields():
    with pytest.raises(PolicyLoadError) as raised:
        corvanth_core.loads(doc(name=5))
    copy = pickle.loads(pickle.dumps(raised.value))
    assert (str(copy), copy.kind, copy.path) == (
        str(raised.value),
        "wrong-type",
        "name",
    )
