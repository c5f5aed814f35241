"""The .halvoc container reader, through PolicyEngine.from_bytes and
PolicyEngine.from_file."""

import json
import os
import struct
import threading
import time

import pytest
from _corvanth_core import PolicyEngine
from container_cases import (
    BAD_MAGIC,
    HEADER_ERRORS,
    MAGIC_BYTES,
    PAYLOAD,
    PAYLOAD_ERRORS,
    SHORT,
    VALID,
)
from halvoc import MAGIC, container

from corvanth_core.ir import policy


def bytes_error(data):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_bytes(data)
    prefix = "Failed to parse policy bytes: "
    message = str(info.value)
    assert message.startswith(prefix)
    return message[len(prefix) :]


def test_magic_constant_is_written_little_endian():
    assert struct.pack("<I", MAGIC) == MAGIC_BYTES
    assert VALID[:4] == MAGIC_BYTES


@pytest.mark.parametrize(
    "label, data",
    [
        ("plain", VALID),
        ("reserved FFFF", container(PAYLOAD, reserved=0xFFFF)),
        ("extra bytes after the payload", VALID + b"\x00garbage{"),
        (
            "a second container after it",
            VALID + container(json.dumps(policy(name="other"))),
        ),
        ("payload with surrounding whitespace", container(" \n" + PAYLOAD + "\n\t ")),
        (
            "length covering only the policy",
            container(PAYLOAD + "trailing", length=len(PAYLOAD)),
        ),
    ],
)
def test_valid_containers_read(label, data):
    assert PolicyEngine.from_bytes(data).policy_name == "boxed"


@pytest.mark.parametrize(
    "label, data, message", HEADER_ERRORS, ids=[c[0] for c in HEADER_ERRORS]
)
def test_header_errors_name_the_first_failing_field(label, data, message):
    assert bytes_error(data) == message


@pytest.mark.parametrize(
    "label, data, message", PAYLOAD_ERRORS, ids=[c[0] for c in PAYLOAD_ERRORS]
)
def test_payload_errors_are_serialization_errors(label, data, message):
    assert bytes_error(data) == "serialization error: " + message


# --- files -------------------------------------------------------------------


def write(tmp_path, name, data):
    path = tmp_path / name
    path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize(
    "data",
    [VALID, container(PAYLOAD, reserved=0xFFFF), VALID + b"tail"],
)
def test_valid_files_read(tmp_path, data):
    assert (
        PolicyEngine.from_file(write(tmp_path, "p.halvoc", data)).policy_name == "boxed"
    )


def test_file_name_and_extension_do_not_matter(tmp_path):
    assert (
        PolicyEngine.from_file(write(tmp_path, "policy.json", VALID)).policy_name
        == "boxed"
    )


def test_large_payload_file_reads(tmp_path):
    # Larger than one read chunk, so the payload arrives in several reads.
    doc = policy(name="big", scopes=[f"scope-{i:06d}" for i in range(20000)])
    data = container(json.dumps(doc))
    assert len(data) > 200_000
    assert (
        PolicyEngine.from_file(write(tmp_path, "big.halvoc", data)).policy_name == "big"
    )


@pytest.mark.parametrize(
    "data, message",
    [
        (b"", SHORT),
        (MAGIC_BYTES, SHORT),
        (b"\x00\x00\x00\x00", BAD_MAGIC),
        (container(PAYLOAD, version=2), "unsupported format version 2 (expected 1)"),
        (container(b"x" * 20, length=0xFFFFFFFF), SHORT),
        (container(PAYLOAD, length=len(PAYLOAD) + 1), SHORT),
        (
            container(PAYLOAD, length=0),
            "serialization error: EOF while parsing a value at line 1 column 0",
        ),
        (
            container(PAYLOAD + "x"),
            f"serialization error: trailing characters at line 1 column {len(PAYLOAD) + 1}",
        ),
    ],
)
def test_file_errors(tmp_path, data, message):
    path = write(tmp_path, "p.halvoc", data)
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(path)
    assert str(info.value) == "Failed to load policy: " + message


def test_directory_fails_when_read(tmp_path):
    with pytest.raises(RuntimeError) as info:
        PolicyEngine.from_file(str(tmp_path))
    assert (
        str(info.value)
        == "Failed to load policy: I/O error: Is a directory (os error 21)"
    )


def test_named_pipe_waits_for_its_writer(tmp_path):
    # Opened without a writer, the pipe is read once the writer comes.
    path = tmp_path / "pipe.halvoc"
    os.mkfifo(path)

    def write_later():
        time.sleep(0.2)
        with open(path, "wb") as pipe:
            pipe.write(VALID)

    writer = threading.Thread(target=write_later)
    writer.start()
    assert PolicyEngine.from_file(str(path)).policy_name == "boxed"
    writer.join()


def test_missing_file(tmp_path):
    path = str(tmp_path / "missing.halvoc")
    with pytest.raises(FileNotFoundError) as info:
        PolicyEngine.from_file(path)
    assert str(info.value) == f"Policy file not found: {path}"


def test_many_failed_reads_leave_no_open_files(tmp_path):
    path = write(tmp_path, "bad.halvoc", container(PAYLOAD, version=2))
    before = len(os.listdir("/proc/self/fd"))
    for _ in range(200):
        with pytest.raises(RuntimeError):
            PolicyEngine.from_file(path)
    assert len(os.listdir("/proc/self/fd")) == before
