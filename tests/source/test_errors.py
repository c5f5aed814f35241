"""Errors of the compiler: each problem once, in source order, placed in
the file (through quoted, block and folded scalars), with a help line."""

import pytest

from corvanth_core import PolicySourceError, compile

HEAD = "name: p\nrules:\n  - on: t\n"

# (source, [(line, column, end_line, end_column, path, message, help)])
CASES = [
    (
        HEAD + "    when: lenght(command) > 3\n",
        [
            (
                4,
                11,
                4,
                17,
                "rules[0].when",
                "unknown function `lenght`",
                "did you mean `length`? (write `lenght` in backquotes to call a function the runtime does not know)",
            )
        ],
    ),
    (
        HEAD + "    when: >\n      a and\n      x.trimm() > 1\n",
        [
            (
                6,
                9,
                6,
                14,
                "rules[0].when",
                "unknown method `trimm`",
                "did you mean `trim`? (write `trimm` in backquotes to call a method the runtime does not know)",
            )
        ],
    ),
    (
        HEAD + "    when: |\n      a and\n      b ==\n",
        [
            (
                6,
                11,
                6,
                11,
                "rules[0].when",
                "expected an expression, found the end of the expression",
                None,
            )
        ],
    ),
    (
        HEAD + "    when: 'x == \"it''s\" and min(1)'\n",
        [(4, 29, 4, 32, "rules[0].when", "`min` takes 2 arguments, given 1", None)],
    ),
    (
        HEAD + '    when: "a == \\"\\u00e9\\" && b = 1"\n',
        [(4, 33, 4, 34, "rules[0].when", "unexpected `=`", "compare with `==`")],
    ),
    (
        "name: p\nrulez: []\nseverity: hihg\n",
        [
            (
                2,
                1,
                2,
                6,
                "rulez",
                "unknown key `rulez` in a policy",
                "did you mean `rules`?",
            ),
            (
                3,
                11,
                3,
                15,
                "severity",
                "unknown severity `hihg`",
                "did you mean `high`?",
            ),
        ],
    ),
    (
        HEAD + "    when: a < b < c\n",
        [
            (
                4,
                17,
                4,
                18,
                "rules[0].when",
                "comparisons do not chain",
                "join them with `and`, or add parentheses",
            )
        ],
    ),
    (
        HEAD + "    when: all(x > 0 for x in xs) and any(x == y for y in x)\n",
        [],
    ),
    (
        HEAD + "    when: all(any(x == y for y in ys) for x in xs)\n",
        [
            (
                4,
                19,
                4,
                20,
                "rules[0].when",
                "`x` is the element of an outer loop, hidden by the inner one",
                "the runtime binds only the innermost loop's element",
            )
        ],
    ),
    (
        HEAD + "    deny: 'no {x +} here'\n",
        [(4, 19, 4, 20, "rules[0].deny", "expected an expression, found `}`", None)],
    ),
    (
        "name: p\ninvariants:\n  - name: m\n    states: [idle, bad]\n    transitions:\n      - idle -> bda: x\n",
        [
            (
                6,
                9,
                6,
                20,
                "invariants[0].transitions[0]",
                "unknown state `bda`",
                "did you mean `bad`?",
            )
        ],
    ),
    (
        "name: p\nlimits:\n  - rate: t\n    max: -1\n    per: 5 min\n",
        [
            (
                4,
                10,
                4,
                12,
                "limits[0].max",
                "expected a count from 0 to 18446744073709551615",
                None,
            )
        ],
    ),
    (
        "name: p\nrules: [\n",
        [
            (
                3,
                1,
                3,
                1,
                "",
                "invalid YAML: expected the node content, but found '<stream end>'",
                None,
            )
        ],
    ),
    (
        "rules:\n  - on: t\n    when: x == null\n",
        [
            (1, 1, 4, 1, "", "the policy has no `name`", "add `name: my_policy`"),
            (
                3,
                16,
                3,
                20,
                "rules[0].when",
                "there is no `null` in policies",
                "a missing field reads as null, which is falsy: test it with `not x`",
            ),
        ],
    ),
]


EVENTS = "name: p\nevents:\n  tool_call: {tool: string, bytes: int}\n  web_request: {host: string}\n"
CASES += [
    (
        # A lone surrogate escape: UTF-8, and so the IR, cannot hold it.
        'name: x\nrules:\n  - on: t\n    deny: "no \\udc00"\n',
        [
            (
                4,
                11,
                4,
                22,
                "",
                (
                    "the text holds a lone surrogate (an escape from \\uD800 to"
                    " \\uDFFF), which UTF-8 cannot encode"
                ),
                "write the character itself, or its \\U escape (\\U0001F600)",
            )
        ],
    ),
    (
        EVENTS + "rules:\n  - on: [tool-call]\n    when: tool == 1\n",
        [
            (
                6,
                10,
                6,
                19,
                "rules[0].on[0]",
                "event type `tool-call` is not declared in `events`",
                "did you mean `tool_call`?",
            )
        ],
    ),
    (
        EVENTS + 'rules:\n  - on: tool_call\n    when: tol == "x" and bytes > "4096"\n',
        [
            (
                7,
                11,
                7,
                14,
                "rules[0].when",
                "unknown field `tol` of `tool_call`",
                "did you mean `tool`?",
            ),
            (
                7,
                32,
                7,
                33,
                "rules[0].when",
                "`>` compares an int with a string: it is never true",
                "compare values of one type (write numbers without quotes)",
            ),
        ],
    ),
    (
        EVENTS + "limits:\n  - quota: web_requests\n    max: 1\n    per: 1h\n"
        "invariants:\n  - name: m\n    states: [a, b]\n    transitions:\n      - a -> b: event.hots\n",
        [
            (
                6,
                12,
                6,
                24,
                "limits[0].quota",
                "event type `web_requests` is not declared in `events`",
                "did you mean `web_request`?",
            ),
            (
                13,
                23,
                13,
                27,
                "invariants[0].transitions[0].when",
                "unknown field `hots` of any event",
                "did you mean `host`?",
            ),
        ],
    ),
    (
        EVENTS
        + 'rules:\n  - on: [tool_call, web_request]\n    when: bytes > 3 or host == "x"\n',
        [],
    ),
    (
        "name: p\nevents:\n  t: {n: integer}\n",
        [
            (
                3,
                10,
                3,
                17,
                "events.t.n",
                "unknown field type `integer`",
                "did you mean `int`?",
            )
        ],
    ),
]


@pytest.mark.parametrize(("source", "expected"), CASES)
def test_errors_are_placed_in_the_source(
    source: str, expected: list[tuple[object, ...]]
) -> None:
    if not expected:
        compile(source)
        return
    with pytest.raises(PolicySourceError) as caught:
        compile(source, filename="p.yaml")
    found = [
        (i.line, i.column, i.end_line, i.end_column, i.path, i.message, i.help)
        for i in caught.value.errors
    ]
    assert found == expected
    first = caught.value
    assert (first.line, first.column, first.path) == expected[0][:2] + (expected[0][4],)


def test_the_text_of_an_error_shows_the_line_and_a_caret() -> None:
    with pytest.raises(PolicySourceError) as caught:
        compile(HEAD + "    when: lenght(command) > 3\n", filename="guard.yaml")
    assert str(caught.value) == (
        "guard.yaml:4:11: unknown function `lenght`\n"
        " 4 |     when: lenght(command) > 3\n"
        "   |           ^^^^^^\n"
        "help: did you mean `length`? (write `lenght` in backquotes to call a "
        "function the runtime does not know)"
    )
    assert isinstance(caught.value, ValueError)
    assert caught.value.kind == "source"
