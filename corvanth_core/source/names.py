"""The names the policy language knows: the runtime's functions and methods
with the argument counts they take, the enumerations of the IR with their
source spellings, the reserved words, and the closest-name suggestion used
by every "did you mean" of the compiler.

    FUNCTIONS["min"]                # (2, 2): exactly two arguments
    enum_name("severity", "HIGH")   # "High"
    closest("lenght", FUNCTIONS)    # "length"
"""

import difflib
from collections.abc import Iterable
from typing import Final

from corvanth_core import ir as model

# Function name -> (fewest, most) arguments the runtime gives meaning to.
FUNCTIONS: Final[dict[str, tuple[int, int]]] = {
    "len": (1, 1),
    "length": (1, 1),
    "str": (1, 1),
    "to_string": (1, 1),
    "abs": (1, 1),
    "min": (2, 2),
    "max": (2, 2),
}

# Method name -> (fewest, most) arguments, over strings, lists and maps.
METHODS: Final[dict[str, tuple[int, int]]] = {
    "len": (0, 0),
    "length": (0, 0),
    "is_empty": (0, 0),
    "trim": (0, 0),
    "to_upper": (0, 0),
    "to_uppercase": (0, 0),
    "to_lower": (0, 0),
    "to_lowercase": (0, 0),
    "split": (0, 1),
    "first": (0, 0),
    "last": (0, 0),
    "keys": (0, 0),
    "values": (0, 0),
    "has_key": (1, 1),
    "contains_key": (1, 1),
}

# IR variant names of the enumerations a source file names by word.
ENUMS: Final[dict[str, tuple[str, ...]]] = {
    "severity": model.SEVERITY_LEVELS,
    "verdict": model.VERDICTS,
    "action": model.ACTION_VERBS,
    "constraint": model.CONSTRAINT_KINDS,
    "temporal": model.TEMPORAL_KINDS,
    "state": model.STATE_KINDS,
}

VERDICT_WORDS: Final = tuple(v.lower() for v in ENUMS["verdict"])
ACTION_WORDS: Final = tuple(v.lower() for v in ENUMS["action"])
CONSTRAINT_WORDS: Final[dict[str, str]] = {"rate": "RateLimit", "quota": "Quota"}

BINARY_SYMBOLS: Final[dict[str, str]] = {
    "+": "Add",
    "-": "Sub",
    "*": "Mul",
    "/": "Div",
    "%": "Mod",
    "==": "Eq",
    "!=": "Neq",
    "<": "Lt",
    "<=": "Le",
    ">": "Gt",
    ">=": "Ge",
    "and": "And",
    "or": "Or",
    "implies": "Implies",
    "in": "In",
}
BINARY_WORDS: Final = {op: word for word, op in BINARY_SYMBOLS.items()}

PREDICATES: Final[dict[str, str]] = {
    "contains": "Contains",
    "matches": "Matches",
    "startswith": "StartsWith",
    "endswith": "EndsWith",
}
PREDICATE_WORDS: Final = {kind: word for word, kind in PREDICATES.items()}

QUANTIFIERS: Final[dict[str, str]] = {
    "all": "All",
    "any": "Any",
    "none": "None",
    "exists": "Exists",
}
QUANTIFIER_WORDS: Final = {kind: word for word, kind in QUANTIFIERS.items()}

DURATION_UNITS: Final[dict[str, tuple[str, int]]] = {
    "ms": ("Milliseconds", 1),
    "s": ("Seconds", 1000),
    "m": ("Minutes", 60_000),
    "h": ("Hours", 3_600_000),
    "d": ("Days", 86_400_000),
}
UNIT_SUFFIXES: Final = {unit: suffix for suffix, (unit, _) in DURATION_UNITS.items()}

ROOT_WORDS: Final[dict[str, str]] = {
    "event": "Event",
    "context": "Context",
    "config": "Policy",
}

# Words that never name a field or a local when written bare.
RESERVED: Final = frozenset(
    {
        "and",
        "or",
        "not",
        "implies",
        "in",
        "if",
        "for",
        "match",
        "count",
        "true",
        "false",
        "True",
        "False",
        "null",
        "None",
        "_",
        *PREDICATES,
        *QUANTIFIERS,
        *ROOT_WORDS,
        *VERDICT_WORDS,
    }
)

U32_MAX: Final = 0xFFFFFFFF
U64_MAX: Final = 0xFFFFFFFFFFFFFFFF
I64_MIN: Final = -(2**63)
I64_MAX: Final = 2**63 - 1


def closest(name: str, candidates: Iterable[str]) -> str | None:
    """The candidate most like `name`, if one is close enough to be the
    likely intent; matching ignores case first."""
    pool = list(candidates)
    lowered = {c.lower(): c for c in pool}
    if name.lower() in lowered:
        return lowered[name.lower()]
    found = difflib.get_close_matches(name, pool, n=1, cutoff=0.6)
    return found[0] if found else None


def did_you_mean(name: str, candidates: Iterable[str]) -> str | None:
    """A help line naming the closest candidate, or None."""
    best = closest(name, candidates)
    return f"did you mean `{best}`?" if best is not None else None


def enum_name(family: str, word: str) -> str | None:
    """The IR variant of `family` spelt `word` in any case, or None."""
    for variant in ENUMS[family]:
        if variant.lower() == word.lower():
            return variant
    return None
