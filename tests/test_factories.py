"""The three factories: argument types and how reader failures are raised."""

import json
import os
import pathlib
import sys

import pytest
from _corvanth_core import PolicyEngine
from halvoc import container

from corvanth_core.ir import policy

GOOD_JSON = json.dumps(policy(name="demo"))
BAD_JSON_TEXTS = ["", "{", "[]", '{"name": 1}', GOOD_JSON + " x"]


class Text(str):
    pass


class Data(bytes):
    pass


def raised_by(call, *args):
    """The exception raised by call(*args)."""
    with pytest.raises(Exception) as raised:
        call(*args)
    return raised.value


def reader_text(json_text):
    """The JSON reader's own text for a bad document, as from_json shows it."""
    error = raised_by(PolicyEngine.from_json, json_text)
    prefix = "Invalid policy JSON: "
    assert str(error).startswith(prefix)
    return str(error)[len(prefix) :]


# --- from_json ---------------------------------------------------------------


@pytest.mark.parametrize("text", [GOOD_JSON, Text(GOOD_JSON)])
def test_from_json_loads(text):
    engine = PolicyEngine.from_json(text)
    assert type(engine) is PolicyEngine
    assert engine.policy_name == "demo"
    assert engine.event_count == 0


@pytest.mark.parametrize(
    "text, message",
    [
        ("", "Invalid policy JSON: EOF while parsing a value at line 1 column 0"),
        ("{", "Invalid policy JSON: EOF while parsing an object at line 1 column 1"),
    ],
)
def test_from_json_raises_value_error(text, message):
    error = raised_by(PolicyEngine.from_json, text)
    assert type(error) is ValueError
    assert str(error) == message


@pytest.mark.parametrize("text", BAD_JSON_TEXTS)
def test_from_json_error_ends_with_a_position(text):
    error = raised_by(PolicyEngine.from_json, text)
    assert type(error) is ValueError
    assert " at line " in reader_text(text)


def test_from_json_lone_surrogate_raises_unicode_encode_error():
    error = raised_by(PolicyEngine.from_json, '{"name": "\ud800"}')
    assert type(error) is UnicodeEncodeError
    assert str(error) == (
        "'utf-8' codec can't encode character '\\ud800' in position 10: "
        "surrogates not allowed"
    )


# --- from_bytes --------------------------------------------------------------


@pytest.mark.parametrize("data", [container(GOOD_JSON), Data(container(GOOD_JSON))])
def test_from_bytes_loads(data):
    engine = PolicyEngine.from_bytes(data)
    assert type(engine) is PolicyEngine
    assert engine.policy_name == "demo"


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", "Failed to parse policy bytes: I/O error: failed to fill whole buffer"),
        (
            b"\0\0\0\0",
            "Failed to parse policy bytes: not a valid .halvoc file (bad magic bytes)",
        ),
        (
            container(GOOD_JSON, version=2),
            "Failed to parse policy bytes: unsupported format version 2 (expected 1)",
        ),
    ],
)
def test_from_bytes_raises_runtime_error(data, message):
    error = raised_by(PolicyEngine.from_bytes, data)
    assert type(error) is RuntimeError
    assert str(error) == message


@pytest.mark.parametrize("text", BAD_JSON_TEXTS)
def test_from_bytes_payload_error_carries_the_reader_text(text):
    error = raised_by(PolicyEngine.from_bytes, container(text))
    assert type(error) is RuntimeError
    assert str(error) == (
        "Failed to parse policy bytes: serialization error: " + reader_text(text)
    )


# --- from_file ---------------------------------------------------------------


@pytest.fixture
def policy_file(tmp_path):
    path = tmp_path / "guard.halvoc"
    path.write_bytes(container(GOOD_JSON))
    return path


def test_from_file_loads(policy_file):
    engine = PolicyEngine.from_file(str(policy_file))
    assert type(engine) is PolicyEngine
    assert engine.policy_name == "demo"


def test_from_file_accepts_a_str_subclass(policy_file):
    assert PolicyEngine.from_file(Text(str(policy_file))).policy_name == "demo"


def test_from_file_relative_path(policy_file, monkeypatch):
    monkeypatch.chdir(policy_file.parent)
    assert PolicyEngine.from_file("guard.halvoc").policy_name == "demo"


@pytest.mark.parametrize(
    "path",
    [
        "missing.halvoc",
        "",
        "/nonexistent-dir/guard.halvoc",
        "with\0nul.halvoc",
        "caf\u00e9-missing.halvoc",
        "undecodable-\udcff.halvoc",
    ],
)
def test_from_file_missing_path(path):
    error = raised_by(PolicyEngine.from_file, path)
    assert type(error) is FileNotFoundError
    assert str(error) == "Policy file not found: " + path
    assert error.args == ("Policy file not found: " + path,)


def test_from_file_undecodable_name_is_found(tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/policy-\xff.halvoc"
    with open(raw, "wb") as out:
        out.write(container(GOOD_JSON))
    assert PolicyEngine.from_file(os.fsdecode(raw)).policy_name == "demo"


def test_from_file_unencodable_path_raises_unicode_encode_error():
    error = raised_by(PolicyEngine.from_file, "\ud800.halvoc")
    assert type(error) is UnicodeEncodeError


def test_from_file_directory(tmp_path):
    error = raised_by(PolicyEngine.from_file, str(tmp_path))
    assert type(error) is RuntimeError
    assert str(error) == (
        "Failed to load policy: I/O error: Is a directory (os error 21)"
    )


@pytest.mark.parametrize(
    "content, message",
    [
        (b"", "Failed to load policy: I/O error: failed to fill whole buffer"),
        (
            b"\1\2\3\4",
            "Failed to load policy: not a valid .halvoc file (bad magic bytes)",
        ),
        (
            container(GOOD_JSON, version=0),
            "Failed to load policy: unsupported format version 0 (expected 1)",
        ),
        (
            container(""),
            (
                "Failed to load policy: serialization error: "
                "EOF while parsing a value at line 1 column 0"
            ),
        ),
    ],
)
def test_from_file_bad_container(tmp_path, content, message):
    path = tmp_path / "bad.halvoc"
    path.write_bytes(content)
    error = raised_by(PolicyEngine.from_file, str(path))
    assert type(error) is RuntimeError
    assert str(error) == message


@pytest.mark.skipif(
    sys.platform != "linux" or os.geteuid() == 0, reason="root reads any file"
)
def test_from_file_unreadable(policy_file):
    policy_file.chmod(0)
    error = raised_by(PolicyEngine.from_file, str(policy_file))
    assert type(error) is RuntimeError
    assert str(error) == (
        "Failed to load policy: I/O error: Permission denied (os error 13)"
    )


# --- argument types and failed factories -------------------------------------


@pytest.mark.parametrize(
    "factory, argument, message",
    [
        (
            PolicyEngine.from_file,
            pathlib.Path("guard.halvoc"),
            "PolicyEngine.from_file() argument 'path' must be str, not PosixPath",
        ),
        (
            PolicyEngine.from_file,
            b"guard.halvoc",
            "PolicyEngine.from_file() argument 'path' must be str, not bytes",
        ),
        (
            PolicyEngine.from_file,
            None,
            "PolicyEngine.from_file() argument 'path' must be str, not None",
        ),
        (
            PolicyEngine.from_bytes,
            bytearray(container(GOOD_JSON)),
            "PolicyEngine.from_bytes() argument 'data' must be bytes, not bytearray",
        ),
        (
            PolicyEngine.from_bytes,
            memoryview(container(GOOD_JSON)),
            "PolicyEngine.from_bytes() argument 'data' must be bytes, not memoryview",
        ),
        (
            PolicyEngine.from_bytes,
            GOOD_JSON,
            "PolicyEngine.from_bytes() argument 'data' must be bytes, not str",
        ),
        (
            PolicyEngine.from_json,
            GOOD_JSON.encode(),
            "PolicyEngine.from_json() argument 'json_str' must be str, not bytes",
        ),
        (
            PolicyEngine.from_json,
            policy(),
            "PolicyEngine.from_json() argument 'json_str' must be str, not dict",
        ),
    ],
)
def test_factory_argument_types(factory, argument, message):
    error = raised_by(factory, argument)
    assert type(error) is TypeError
    assert str(error) == message


@pytest.mark.parametrize(
    "factory, argument, error_type",
    [
        (PolicyEngine.from_json, "{", ValueError),
        (PolicyEngine.from_json, 1, TypeError),
        (PolicyEngine.from_bytes, b"", RuntimeError),
        (PolicyEngine.from_file, "missing.halvoc", FileNotFoundError),
    ],
)
def test_failing_factory_creates_no_object(factory, argument, error_type):
    # Every instance holds a reference to its type.
    before = sys.getrefcount(PolicyEngine)
    for _ in range(50):
        with pytest.raises(error_type):
            factory(argument)
    assert sys.getrefcount(PolicyEngine) == before


def test_each_factory_call_makes_a_new_object():
    first = PolicyEngine.from_json(GOOD_JSON)
    second = PolicyEngine.from_json(GOOD_JSON)
    assert first is not second
    first.evaluate("t")
    assert (first.event_count, second.event_count) == (1, 0)
