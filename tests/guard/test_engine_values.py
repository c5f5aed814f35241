"""The fields a decision log writes are the values the engine saw: checked
against the engine itself, which hands a field back through an action."""

import json

from helpers import engine_for
from hypothesis import given
from hypothesis import strategies as st

from corvanth_core.guard.engine_values import as_engine_sees
from corvanth_core.ir import action, field, policy, rule

ECHO = engine_for(policy(rules=[rule(1, [], None, [], [action("Log", v=field("v"))])]))

TEXT = st.text(st.characters(categories=("L", "N", "P", "Zs", "Cs")), max_size=8)
SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**70), max_value=2**70)
    | st.floats()
    | TEXT
    | st.binary(max_size=4)
    | st.complex_numbers(allow_nan=False)
    | st.frozensets(st.integers(0, 3), max_size=2)
)
VALUES = st.recursive(
    SCALARS,
    lambda inner: (
        st.lists(inner, max_size=3)
        | st.tuples(inner, inner)
        | st.dictionaries(st.text(max_size=4), inner, max_size=3)
    ),
    max_leaves=12,
)


def as_json(value: object) -> str:
    return json.dumps(value, sort_keys=True, ensure_ascii=False)


@given(VALUES)
def test_a_field_is_logged_as_the_engine_sees_it(value):
    seen = ECHO.evaluate("t", {"v": value})["actions"][0]["args"]["v"]
    assert as_json(as_engine_sees(value)) == as_json(seen)
