"""A headless Chromium for the report tests: the page's DOM after its
script ran, the console messages it logged, and a screenshot's colours
(read with a small PNG decoder: 8-bit RGB or RGBA, no interlacing, as
Chromium writes them)."""

import os
import pathlib
import re
import shutil
import struct
import subprocess
import zlib

import pytest

BINARY = shutil.which("chromium") or shutil.which("chromium-browser")
needs_chromium = pytest.mark.skipif(
    BINARY is None,
    reason="no chromium binary on PATH (Debian: apt-get install chromium)",
)
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr"]
CONSOLE = re.compile(r":CONSOLE[^\]]*\] (.*)$", re.MULTILINE)


def browser_env() -> dict[str, str]:
    """This environment without the sanitizer preloads a sanitizer run of
    the suite sets: they are for the module under test, and the browser
    hangs with them."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        env.pop(name, None)
    return env


def load(page: pathlib.Path, anchor: str = "") -> tuple[str, list[str]]:
    """(the DOM after the page's script ran, its console messages)."""
    assert BINARY is not None
    done = subprocess.run(
        [BINARY, *FLAGS, "--dump-dom", page.as_uri() + anchor],
        capture_output=True,
        text=True,
        timeout=120,
        check=True,
        env=browser_env(),
    )
    messages = CONSOLE.findall(done.stderr)
    return done.stdout, messages


def screenshot_colours(page: pathlib.Path, out: pathlib.Path) -> int:
    """The number of distinct colours of a screenshot of the page (a
    1400x900 window at half scale, so that decoding it stays quick)."""
    assert BINARY is not None
    subprocess.run(
        [
            BINARY,
            *FLAGS,
            "--hide-scrollbars",
            "--window-size=1400,900",
            "--force-device-scale-factor=0.5",
            f"--screenshot={out}",
            page.as_uri(),
        ],
        capture_output=True,
        timeout=120,
        check=True,
        env=browser_env(),
    )
    return len(set(png_pixels(out.read_bytes())))


def png_pixels(data: bytes) -> list[bytes]:
    """The pixels of a PNG, each as its bytes."""
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, chunks, header = 8, [], b""
    while at < len(data):
        (size,) = struct.unpack(">I", data[at : at + 4])
        kind, body = data[at + 4 : at + 8], data[at + 8 : at + 8 + size]
        if kind == b"IHDR":
            header = body
        elif kind == b"IDAT":
            chunks.append(body)
        at += 12 + size
    width, height, depth, colour = struct.unpack(">IIBB", header[:10])
    assert depth == 8 and colour in (2, 6) and header[12] == 0
    step = 3 if colour == 2 else 4
    raw = zlib.decompress(b"".join(chunks))
    stride = width * step
    previous = bytearray(stride)
    pixels = []
    for row in range(height):
        start = row * (stride + 1)
        kind, line = raw[start], bytearray(raw[start + 1 : start + 1 + stride])
        for i in range(stride):
            left = line[i - step] if i >= step else 0
            up, corner = previous[i], previous[i - step] if i >= step else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                guess = left + up - corner
                near = min(
                    (abs(guess - left), 0, left),
                    (abs(guess - up), 1, up),
                    (abs(guess - corner), 2, corner),
                )
                line[i] = (line[i] + near[2]) & 255
        pixels.extend(bytes(line[i : i + step]) for i in range(0, stride, step))
        previous = line
    return pixels
