"""The floors of docs/architecture.md, read from the code: every import of
the package (with `ast`) and every `#include` of the native libraries goes
to the same floor or one below, the source language never reaches the
engine, integrations never import each other, and nothing below the command
line imports it. The rule checker itself is tried on a table of broken
modules first, so that a clean tree is a finding and not a checker that
sees nothing."""

import ast
import pathlib
import re

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
PACKAGE = ROOT / "corvanth_core"
ENGINE = "_corvanth_core"
TOP = 9

# The floor of each module or subpackage (the longest matching prefix wins).
FLOORS = {
    "corvanth_core.ir": 0,
    "corvanth_core.results": 0,
    "corvanth_core.errors": 0,
    "corvanth_core.container": 0,
    "corvanth_core._checks": 0,
    "corvanth_core._files": 0,
    "corvanth_core.source": 1,
    # The package root re-exports the guard's names beside the engine's.
    "corvanth_core": 3,
    "corvanth_core.loading": 2,
    "corvanth_core.canonical": 2,
    "corvanth_core._trace": 2,
    "corvanth_core._inspect": 2,
    "corvanth_core._replay": 2,
    "corvanth_core.policy_tests": 2,
    "corvanth_core.impact": 2,
    "corvanth_core.guard": 3,
    "corvanth_core.limits": 3,
    "corvanth_core.integrations": 4,
    "corvanth_core.mcp": 5,
    "corvanth_core.cli": TOP,
    "corvanth_core.__main__": TOP,
}
# The lowest floor that may import the engine.
ENGINE_FLOOR = 2


def floor_of(module):
    """The floor of `module` (a dotted name of the package), or None: the
    longest prefix in FLOORS decides, the package root matching only
    itself."""
    parts = module.split(".")
    for end in range(len(parts), 1, -1):
        floor = FLOORS.get(".".join(parts[:end]))
        if floor is not None:
            return floor
    return FLOORS.get(module)


def integration_of(module):
    """The integration a module belongs to ("corvanth_core.integrations.x"),
    or None."""
    parts = module.split(".")
    if parts[:2] == ["corvanth_core", "integrations"] and len(parts) > 2:
        return ".".join(parts[:3])
    return None


def imported(module, source, is_package=False):
    """The modules that `source` (the text of `module`) imports, relative
    imports resolved; `from p import name` counts as importing p.name
    unless p is a module file (a name from a package may be a module, and
    its floor is the package's when it is not)."""
    base = module.split(".") if is_package else module.split(".")[:-1]
    names = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names.extend(alias.name for alias in node.names)
        elif isinstance(node, ast.ImportFrom):
            if node.level:
                anchor = base[: len(base) - node.level + 1]
                target = ".".join(anchor + ([node.module] if node.module else []))
            else:
                target = node.module or ""
            for alias in node.names:
                names.append(imported_name(target, alias.name))
    return names


def imported_name(package, name):
    """What `from package import name` imports: the module package.name,
    or `package` itself when the name is no module of it."""
    candidate = f"{package}.{name}"
    if is_module_file(package):
        return package
    if package == "corvanth_core" and not is_known(candidate):
        return package
    return candidate


def is_known(name):
    """Whether `name` is a module or subpackage of ours, or has a floor."""
    path = PACKAGE.joinpath(*name.split(".")[1:])
    return name in FLOORS or path.with_suffix(".py").is_file() or path.is_dir()


def is_module_file(name):
    """Whether the dotted `name` is a module file (not a package) of ours:
    a name imported from it is no module."""
    parts = name.split(".")
    return (
        parts[0] == "corvanth_core"
        and PACKAGE.joinpath(*parts[1:]).with_suffix(".py").is_file()
    )


def violations(module, source, is_package=False):
    """The broken rules of one module, as readable lines."""
    floor = floor_of(module)
    if floor is None:
        return [f"{module} has no floor: give it one in FLOORS"]
    found = []
    for target in imported(module, source, is_package):
        if target == ENGINE or target.startswith(ENGINE + "."):
            if floor < ENGINE_FLOOR:
                found.append(f"{module} (floor {floor}) imports the engine")
            continue
        if not (target == "corvanth_core" or target.startswith("corvanth_core.")):
            continue
        target_floor = floor_of(target)
        if target_floor is None:
            found.append(f"{module} imports {target}, which has no floor")
        elif target_floor > floor:
            found.append(
                f"{module} (floor {floor}) imports {target} (floor {target_floor})"
            )
        mine, theirs = integration_of(module), integration_of(target)
        if mine and theirs and mine != theirs:
            found.append(f"{module} imports another integration, {target}")
    return found


def package_modules():
    """(dotted name, path, is a package's __init__) of every module."""
    for path in sorted(PACKAGE.rglob("*.py")):
        parts = list(path.relative_to(ROOT).with_suffix("").parts)
        is_package = parts[-1] == "__init__"
        if is_package:
            parts = parts[:-1]
        yield ".".join(parts), path, is_package


BROKEN = [
    ("corvanth_core.ir", "import _corvanth_core", "imports the engine"),
    (
        "corvanth_core.source.parser",
        "from _corvanth_core import PolicyEngine",
        "engine",
    ),
    ("corvanth_core.source.parser", "from corvanth_core import loading", "floor 2"),
    ("corvanth_core.source.parser", "from .. import guard", "floor 3"),
    ("corvanth_core.errors", "from corvanth_core.cli import main", "floor 9"),
    (
        "corvanth_core.guard.log",
        "from corvanth_core.cli._common import warn",
        "floor 9",
    ),
    ("corvanth_core.loading", "import corvanth_core.mcp.proxy", "floor 5"),
    (
        "corvanth_core.integrations.alpha",
        "from corvanth_core.integrations import beta",
        "another integration",
    ),
    ("corvanth_core.results", "from . import canonical", "floor 2"),
    ("corvanth_core.results", "from corvanth_core import load", "floor 3"),
    ("corvanth_core.newcomer", "import json", "has no floor"),
]


@pytest.mark.parametrize(("module", "source", "part"), BROKEN)
def test_the_checker_finds_a_broken_rule(module, source, part):
    found = violations(module, source)
    assert len(found) == 1 and part in found[0], found


@pytest.mark.parametrize(
    ("module", "source"),
    [
        ("corvanth_core.cli.fmt", "from corvanth_core.canonical import canonical_text"),
        ("corvanth_core.loading", "from _corvanth_core import PolicyEngine"),
        ("corvanth_core.results", "from corvanth_core.ir import TemporalKind"),
        ("corvanth_core.integrations.alpha", "from corvanth_core.guard import Guard"),
        ("corvanth_core.integrations.alpha", "import json"),
    ],
)
def test_the_checker_allows_imports_downwards(module, source):
    assert violations(module, source) == []


def test_every_module_keeps_to_its_floor():
    found = [
        line
        for module, path, is_package in package_modules()
        for line in violations(module, path.read_text(encoding="utf-8"), is_package)
    ]
    assert found == []


# --- the native libraries ----------------------------------------------------

LIBRARIES = {
    "halvo-common": ("halvo/",),
    "halvo-compiler": ("halvo/", "halvo_compiler/"),
    "halvo-runtime": ("halvo/", "halvo_compiler/", "halvo_runtime/"),
    "core-module": ("halvo/", "halvo_compiler/", "halvo_runtime/"),
}
PROJECT_PREFIXES = ("halvo/", "halvo_compiler/", "halvo_runtime/")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)


def include_violations(library, text):
    """The project headers `text` (a file of `library`) may not include."""
    allowed = LIBRARIES[library]
    return [
        header
        for header in INCLUDE.findall(text)
        if header.startswith(PROJECT_PREFIXES) and not header.startswith(allowed)
    ]


@pytest.mark.parametrize(
    ("library", "text", "refused"),
    [
        ("halvo-common", '#include "halvo_compiler/policy_reader.h"', 1),
        ("halvo-compiler", '#include "halvo_runtime/value.h"\n#include "halvo/x.h"', 1),
        ("halvo-runtime", '#  include "halvo_compiler/ir/expr.h"', 0),
        ("core-module", '#include "halvo_runtime/engine.h"', 0),
    ],
)
def test_the_include_checker(library, text, refused):
    assert len(include_violations(library, text)) == refused


@pytest.mark.parametrize("library", sorted(LIBRARIES))
def test_each_native_library_includes_only_those_below(library):
    files = [
        path
        for path in sorted((ROOT / library).rglob("*"))
        if path.suffix in (".h", ".cc", ".inc")
    ]
    assert files, library
    found = {
        str(path.relative_to(ROOT)): bad
        for path in files
        if (bad := include_violations(library, path.read_text(encoding="utf-8")))
    }
    assert found == {}


# --- nothing reaches into the tests ------------------------------------------

TESTS = ROOT / "tests"
# The modules a script could import once tests/ (or a directory below it) is
# on its path, and the package name of the directory itself.
TEST_MODULES = {path.stem for path in TESTS.rglob("*.py")} | {"tests"}
TESTS_DIRECTORY = re.compile(r"(^|[/\\])tests([/\\]|$)")


def touches_sys_path(node):
    """Whether `node` is a call of a method of sys.path or an assignment to
    (a part of) it."""
    if isinstance(node, ast.Call) and isinstance(node.func, ast.Attribute):
        return ast.unparse(node.func.value) == "sys.path"
    if isinstance(node, (ast.Assign, ast.AugAssign)):
        targets = node.targets if isinstance(node, ast.Assign) else [node.target]
        return any(ast.unparse(t).startswith("sys.path") for t in targets)
    return False


def reaches_into_tests(source):
    """How `source` (a file outside tests/) uses the tests: the test modules
    it imports and the places it puts tests/ on sys.path, as readable lines."""
    found = []
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            names = [alias.name for alias in node.names]
        elif isinstance(node, ast.ImportFrom) and not node.level:
            names = [node.module or ""]
        else:
            names = []
        found += [f"imports {n}" for n in names if n.split(".")[0] in TEST_MODULES]
        if touches_sys_path(node) and any(
            isinstance(part, ast.Constant)
            and isinstance(part.value, str)
            and TESTS_DIRECTORY.search(part.value)
            for part in ast.walk(node)
        ):
            found.append(f"puts tests/ on sys.path at line {node.lineno}")
    return found


@pytest.mark.parametrize(
    ("source", "found"),
    [
        ("import test_plan", ["imports test_plan"]),
        ("from test_properties import policies", ["imports test_properties"]),
        ("from tests.conftest import CASES", ["imports tests.conftest"]),
        (
            'sys.path.insert(0, str(ROOT / "tests"))',
            ["puts tests/ on sys.path at line 1"],
        ),
        (
            'sys.path[:0] = [os.path.join(HERE, "..", "tests", "core")]',
            ["puts tests/ on sys.path at line 1"],
        ),
        ('sys.path += ["../tests/core"]', ["puts tests/ on sys.path at line 1"]),
        ('sys.path.insert(0, str(ROOT / "cases"))', []),
        ("from plan_cases import FIELD_TESTS\nimport pytest", []),
        ('print("tests")', []),
    ],
)
def test_the_tests_checker(source, found):
    assert reaches_into_tests(source) == found


def test_nothing_outside_the_tests_reaches_into_them():
    files = [
        path
        for path in sorted(ROOT.rglob("*.py"))
        if not path.relative_to(ROOT).parts[0].startswith(("tests", "build", "."))
    ]
    assert ROOT / "tools" / "make_fuzz_seeds.py" in files
    found = {
        str(path.relative_to(ROOT)): lines
        for path in files
        if (lines := reaches_into_tests(path.read_text(encoding="utf-8")))
    }
    assert found == {}
