"""Properties over random inputs: policies built from random expressions
always evaluate to a well-formed result, and random Python values convert
and come back by the conversion rules.

The strategies and checks live in cases/policy_strategies.py, shared with
the long-running stress scripts; here each property runs a modest number of
examples.
"""

from decimal import Decimal
from fractions import Fraction

import pytest
from hypothesis import HealthCheck, assume, given, settings
from policy_strategies import (
    JSON_DEPTH_LIMIT,
    check_policy,
    check_round_trip,
    events,
    expected_value,
    json_depth,
    policies,
    python_values,
    same_value,
)

try:
    import numpy
except ImportError:  # the numpy examples are then left out
    numpy = None

# The nested strategies have long descriptions; hypothesis warns when
# it renders them.
pytestmark = pytest.mark.filterwarnings("ignore:Generating overly large repr")

# --- the properties ----------------------------------------------------------

SETTINGS = settings(
    max_examples=100,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.filter_too_much],
)


@SETTINGS
@given(doc=policies, evs=events)
def test_random_policies_evaluate_to_well_formed_results(doc, evs):
    assume(json_depth(doc) < JSON_DEPTH_LIMIT)
    check_policy(doc, evs)


@SETTINGS
@given(value=python_values)
def test_random_values_come_back_by_the_conversion_rules(value):
    check_round_trip(value)


def test_the_model_agrees_with_known_conversions():
    examples = [
        (True, True),
        (1, 1),
        (1.0, 1.0),
        (2**63, 9223372036854775808.0),
        (10**400, "1" + "0" * 400),
        (Decimal("1.5"), 1.5),
        (Fraction(1, 4), 0.25),
        ((1, 2), "(1, 2)"),
        (b"ab", "b'ab'"),
        ("a\ud800", "a\ufffd\ufffd\ufffd"),
        ({"a": {"b": [True]}}, {"a": {"b": [True]}}),
    ]
    if numpy is not None:
        examples += [(numpy.bool_(True), True), (numpy.int64(5), 5)]
    for value, expected in examples:
        assert same_value(expected_value(value), expected)
        check_round_trip(value)
