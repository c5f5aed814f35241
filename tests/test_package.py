"""The corvanth_core package: load/loads by content, pack/unpack, exports."""

import json
import os
import pathlib

import _corvanth_core
import pytest

import corvanth_core
from corvanth_core.container import HEADER, MAGIC_BYTES, write_container
from corvanth_core.ir import policy, rule, verdict

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples"
DOC = policy(name="packaged", rules=[rule(rule_id=4, verdicts=[verdict("Deny")])])
TEXT = json.dumps(DOC, indent=2)
SHORT = "I/O error: failed to fill whole buffer"


def behaves_like_doc(engine):
    assert engine.policy_name == "packaged"
    assert engine.evaluate("t")["triggered_rules"] == [4]


def test_exports():
    assert corvanth_core.PolicyEngine is _corvanth_core.PolicyEngine
    assert corvanth_core.__version__ == _corvanth_core.__version__
    for name in corvanth_core.__all__:
        assert hasattr(corvanth_core, name), name


# --- pack / unpack ------------------------------------------------------------


def test_pack_writes_header_and_payload_unchanged():
    data = corvanth_core.pack(TEXT)
    payload = TEXT.encode()
    assert data[:4] == MAGIC_BYTES == bytes([0xAE, 0x91, 0x5C, 0x01])
    assert HEADER.unpack_from(data) == (0x015C91AE, 1, 0, len(payload))
    assert data[12:] == payload
    behaves_like_doc(_corvanth_core.PolicyEngine.from_bytes(data))


@pytest.mark.parametrize("text", [TEXT, json.dumps(policy(name="ünï €"))])
def test_unpack_returns_what_pack_wrote(text):
    assert corvanth_core.unpack(corvanth_core.pack(text)) == text


@pytest.mark.parametrize(
    "text",
    [TEXT, (EXAMPLE / "coding_agent_guard.json").read_text(encoding="utf-8")],
)
def test_pack_agrees_with_the_engines_container_writer(text):
    engine = _corvanth_core.PolicyEngine.from_json(text)
    canonical = engine.to_json()
    assert corvanth_core.pack(canonical) == engine.to_bytes()
    assert corvanth_core.unpack(engine.to_bytes()) == canonical


@pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview])
def test_unpack_takes_bytes_like(wrap):
    assert corvanth_core.unpack(wrap(corvanth_core.pack(TEXT))) == TEXT


def test_unpack_ignores_bytes_after_the_payload():
    assert corvanth_core.unpack(corvanth_core.pack(TEXT) + b"tail{") == TEXT


@pytest.mark.parametrize(
    "text, message",
    [
        ("{", "Invalid policy JSON: EOF while parsing an object at line 1 column 1"),
        (
            '{"name": 1}',
            "Invalid policy JSON: invalid type: integer `1`, expected a string at line 1 column 10",
        ),
    ],
)
def test_pack_refuses_what_does_not_load(text, message):
    with pytest.raises(ValueError) as raised:
        corvanth_core.pack(text)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "data, detail",
    [
        (b"", SHORT),
        (MAGIC_BYTES, SHORT),
        (b"\0\0\0\0", "not a valid .halvoc file (bad magic bytes)"),
        (write_container(TEXT, version=2), "unsupported format version 2 (expected 1)"),
        (write_container(TEXT)[:-1], SHORT),
        (
            write_container("[]"),
            (
                "serialization error: invalid length 0, expected struct"
                " CompiledPolicy with 7 elements at line 1 column 2"
            ),
        ),
    ],
)
def test_unpack_refuses_what_does_not_load(data, detail):
    with pytest.raises(RuntimeError) as raised:
        corvanth_core.unpack(data)
    assert str(raised.value) == "Failed to parse policy bytes: " + detail


@pytest.mark.parametrize(
    "call, value, message",
    [
        (
            corvanth_core.pack,
            b"{}",
            "pack() argument 'policy_json' must be str, not bytes",
        ),
        (
            corvanth_core.unpack,
            "x",
            "unpack() argument 'data' must be bytes-like, not str",
        ),
        (
            corvanth_core.loads,
            5,
            "loads() argument 'data' must be str or bytes-like, not int",
        ),
        (
            corvanth_core.load,
            b"p.json",
            "load() argument 'path' must be str or os.PathLike[str], not bytes",
        ),
        (
            corvanth_core.load,
            None,
            "load() argument 'path' must be str or os.PathLike[str], not NoneType",
        ),
    ],
)
def test_argument_types(call, value, message):
    with pytest.raises(TypeError) as raised:
        call(value)
    assert str(raised.value) == message


def test_write_container_limits_the_payload_to_what_the_header_holds():
    with pytest.raises(ValueError) as raised:
        write_container(_HugePayload())
    assert str(raised.value) == (
        "payload of 4294967296 bytes exceeds the container's limit of 4294967295 bytes"
    )


class _HugePayload(str):
    """A str that says it encodes to more bytes than a header can count."""

    def encode(self, *args, **kwargs):
        return _HugeBytes()


class _HugeBytes(bytes):
    def __len__(self):
        return 2**32


# --- loads / load ------------------------------------------------------------


@pytest.mark.parametrize(
    "data",
    [
        TEXT,
        TEXT.encode(),
        bytearray(TEXT.encode()),
        memoryview(TEXT.encode()),
        corvanth_core.pack(TEXT),
        bytearray(corvanth_core.pack(TEXT)),
        memoryview(corvanth_core.pack(TEXT)),
    ],
    ids=[
        "str",
        "bytes",
        "bytearray",
        "memoryview",
        "container",
        "container bytearray",
        "container memoryview",
    ],
)
def test_loads_tells_json_and_containers_apart_by_content(data):
    behaves_like_doc(corvanth_core.loads(data))


@pytest.mark.parametrize(
    "data, error, message",
    [
        (
            "{",
            ValueError,
            "Invalid policy JSON: EOF while parsing an object at line 1 column 1",
        ),
        (
            b"",
            ValueError,
            "Invalid policy JSON: EOF while parsing a value at line 1 column 0",
        ),
        (MAGIC_BYTES[:2], RuntimeError, "Failed to parse policy bytes: " + SHORT),
        (
            write_container(TEXT, version=7),
            RuntimeError,
            "Failed to parse policy bytes: unsupported format version 7 (expected 1)",
        ),
    ],
)
def test_loads_raises_the_readers_errors(data, error, message):
    # The package's error, with the reader's own exception as its cause.
    with pytest.raises(corvanth_core.PolicyLoadError) as raised:
        corvanth_core.loads(data)
    assert type(raised.value.__cause__) is error
    assert str(raised.value.__cause__) == message


def test_loads_refuses_text_that_is_not_utf8():
    with pytest.raises(corvanth_core.PolicyLoadError) as raised:
        corvanth_core.loads(b'{"name": "\xff"}')
    assert raised.value.kind == "encoding"
    assert type(raised.value.__cause__) is UnicodeDecodeError


@pytest.mark.parametrize(
    "file_name, content",
    [
        ("guard.json", TEXT.encode()),
        ("guard.halvoc", corvanth_core.pack(TEXT)),
        # The name says nothing: content decides.
        ("guard.halvoc.json", corvanth_core.pack(TEXT)),
        ("guard.halvoc", TEXT.encode()),
        ("guard", corvanth_core.pack(TEXT)),
    ],
)
@pytest.mark.parametrize("as_path", [False, True])
def test_load_tells_json_and_containers_apart_by_content(
    tmp_path, file_name, content, as_path
):
    path = tmp_path / file_name
    path.write_bytes(content)
    behaves_like_doc(corvanth_core.load(path if as_path else str(path)))


def test_load_of_a_broken_container_gives_the_container_error(tmp_path):
    path = tmp_path / "broken.json"
    path.write_bytes(MAGIC_BYTES + b"\x01")
    with pytest.raises(corvanth_core.PolicyLoadError) as raised:
        corvanth_core.load(path)
    assert raised.value.kind == "container"
    assert str(raised.value.__cause__) == "Failed to parse policy bytes: " + SHORT


@pytest.mark.parametrize("content", [TEXT.encode(), corvanth_core.pack(TEXT)])
def test_load_reads_a_pipe_once(content):
    read_end, write_end = os.pipe()
    with os.fdopen(write_end, "wb") as writer:
        writer.write(content)
    try:
        behaves_like_doc(corvanth_core.load(f"/dev/fd/{read_end}"))
    finally:
        os.close(read_end)


def test_load_of_a_missing_file_raises_file_not_found(tmp_path):
    with pytest.raises(FileNotFoundError):
        corvanth_core.load(tmp_path / "missing.json")


def test_load_of_the_example_policy():
    engine = corvanth_core.load(EXAMPLE / "coding_agent_guard.json")
    assert engine.policy_name == "coding_agent_guard"
