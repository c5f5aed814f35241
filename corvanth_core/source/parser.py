"""The expression parser: source text to IR expressions, in one pass.

Precedence, loosest first (binary operators are left-associative except
`implies`; comparisons and predicates do not chain):

    1  a implies b
    2  a or b            a || b
    3  a and b           a && b
    4  not a
    5  ==  !=  <  <=  >  >=  in  not in  contains  matches  startswith  endswith
    6  +  -
    7  *  /  %
    8  -a   !a
    9  a.field   a["key"]   a.method(...)
   10  literals, names, (a), [a, b], f(...), all/any/none/exists(... for x in ...),
       count(...), match ...

    expr, issues = parse_expression('tool == "shell" and size > 4096')

Semantic problems (an unknown function, a hidden loop variable) are
collected and parsing goes on, so one expression reports each once; a
syntax error ends the expression.
"""

from collections.abc import Callable

from corvanth_core.source import ir_build as ir
from corvanth_core.source.events import FieldChecker, compatible
from corvanth_core.source.lexer import FStringPart, LexError, Token, tokenize
from corvanth_core.source.lexer import template_parts as split_template
from corvanth_core.source.names import (
    BINARY_SYMBOLS,
    FUNCTIONS,
    I64_MAX,
    I64_MIN,
    METHODS,
    PREDICATES,
    QUANTIFIERS,
    RESERVED,
    ROOT_WORDS,
    U32_MAX,
    U64_MAX,
    VERDICT_WORDS,
    did_you_mean,
)

ExprIssue = LexError
_COMPARISONS = ("==", "!=", "<", "<=", ">", ">=")
_SCOPES = list[str | None]


def parse_expression(
    text: str, checker: FieldChecker | None = None
) -> tuple[ir.IR, list[ExprIssue]]:
    """The IR of an expression and its semantic issues; raises ExprIssue
    on a syntax error. With a checker, event fields and comparisons are
    checked against the declared events."""
    issues: list[ExprIssue] = []
    expr = _guarded(text, lambda: _Parser(tokenize(text), issues, [], checker).whole())
    return expr, issues


def parse_template(
    text: str, checker: FieldChecker | None = None
) -> tuple[ir.IR, list[ExprIssue]]:
    """The IR of a template: text with `{expression}` parts."""
    issues: list[ExprIssue] = []
    expr = _guarded(
        text, lambda: template_ir(split_template(text), issues, [], checker)
    )
    return expr, issues


def _guarded(text: str, run: Callable[[], ir.IR]) -> ir.IR:
    try:
        return run()
    except RecursionError:
        raise ExprIssue("expression is nested too deeply", 0, len(text)) from None


def template_ir(
    parts: list[FStringPart],
    issues: list[ExprIssue],
    scopes: _SCOPES,
    checker: FieldChecker | None = None,
) -> ir.IR:
    """Text parts as string literals, expression parts as `str(e)`, joined
    with `+` from the left; no parts at all is the empty string."""
    pieces: list[ir.IR] = []
    for part in parts:
        if isinstance(part, str):
            pieces.append(ir.string(part))
        else:
            expr = _Parser(part, issues, scopes, checker).whole()
            pieces.append(ir.call("str", [expr]))
    if not pieces:
        return ir.string("")
    result = pieces[0]
    for piece in pieces[1:]:
        result = ir.binary("Add", result, piece)
    return result


def _describe(token: Token) -> str:
    if token.kind == "END":
        return "`}`" if token.value == "}" else "the end of the expression"
    if token.kind in ("NAME", "OP"):
        return f"`{token.value}`"
    return {
        "QNAME": "a quoted name",
        "LOCAL": "a local",
        "INT": "a number",
        "FLOAT": "a number",
        "DURATION": "a duration",
        "STRING": "a string",
        "REGEX": "a regex",
        "FSTRING": "an f-string",
    }[token.kind]


def _with_article(word: str) -> str:
    return ("an " if word[0] in "aeiou" else "a ") + word


class _Parser:
    def __init__(
        self,
        tokens: list[Token],
        issues: list[ExprIssue],
        scopes: _SCOPES,
        checker: FieldChecker | None = None,
    ) -> None:
        self.tokens = tokens
        self.pos = 0
        self.issues = issues
        self.scopes = scopes
        self.checker = checker

    # --- token helpers --------------------------------------------------------

    @property
    def tok(self) -> Token:
        return self.tokens[self.pos]

    def peek(self, offset: int = 1) -> Token:
        return self.tokens[min(self.pos + offset, len(self.tokens) - 1)]

    def advance(self) -> Token:
        token = self.tokens[self.pos]
        if token.kind != "END":
            self.pos += 1
        return token

    def is_op(self, op: str, token: Token | None = None) -> bool:
        token = token or self.tok
        return token.kind == "OP" and token.value == op

    def is_word(self, word: str, token: Token | None = None) -> bool:
        token = token or self.tok
        return token.kind == "NAME" and token.value == word

    def fail(self, message: str, token: Token, help: str | None = None) -> ExprIssue:
        return ExprIssue(message, token.start, token.end, help)

    def expect_op(self, op: str) -> Token:
        if not self.is_op(op):
            raise self.fail(f"expected `{op}`, found {_describe(self.tok)}", self.tok)
        return self.advance()

    def expect_word(self, word: str) -> Token:
        if not self.is_word(word):
            raise self.fail(f"expected `{word}`, found {_describe(self.tok)}", self.tok)
        return self.advance()

    def note(self, message: str, token: Token, help: str | None = None) -> None:
        self.issues.append(self.fail(message, token, help))

    def whole(self) -> ir.IR:
        if self.tok.kind == "END":
            raise self.fail("expected an expression", self.tok)
        expr = self.expression()
        if self.tok.kind != "END":
            raise self.fail(
                f"unexpected {_describe(self.tok)} after the expression",
                self.tok,
                self.after_help(),
            )
        return expr

    def after_help(self) -> str | None:
        if self.tok.kind == "NAME" and self.tok.value in ("is", "isnt"):
            return "compare with `==` or `!=`"
        if self.tok.kind in ("NAME", "STRING", "INT", "FLOAT"):
            return "an operator may be missing before it"
        return None

    # --- operators ------------------------------------------------------------

    def expression(self) -> ir.IR:
        left = self.disjunction()
        if self.is_word("implies"):
            self.advance()
            return ir.binary("Implies", left, self.expression())
        return left

    def disjunction(self) -> ir.IR:
        left = self.conjunction()
        while self.is_word("or") or self.is_op("||"):
            self.advance()
            left = ir.binary("Or", left, self.conjunction())
        return left

    def conjunction(self) -> ir.IR:
        left = self.negation()
        while self.is_word("and") or self.is_op("&&"):
            self.advance()
            left = ir.binary("And", left, self.negation())
        return left

    def negation(self) -> ir.IR:
        if self.is_word("not"):
            self.advance()
            return ir.unary("Not", self.negation())
        return self.comparison()

    def comparison_op(self) -> tuple[str, str] | None:
        """("Binary"|"Predicate"|"NotIn", IR name) of the operator here."""
        token = self.tok
        if token.kind == "OP" and token.value in _COMPARISONS:
            return "Binary", BINARY_SYMBOLS[str(token.value)]
        if token.kind == "NAME":
            if token.value == "in":
                return "Binary", "In"
            if token.value in PREDICATES:
                return "Predicate", PREDICATES[str(token.value)]
            if token.value == "not" and self.is_word("in", self.peek()):
                return "NotIn", "In"
        return None

    def comparison(self) -> ir.IR:
        left = self.additive()
        found = self.comparison_op()
        if found is None:
            return left
        form, name = found
        operator = self.advance()
        if form == "NotIn":
            self.advance()
        right = self.additive()
        if form == "Binary" and name != "In":
            self.check_comparison(left, right, operator)
        if self.comparison_op() is not None:
            raise self.fail(
                "comparisons do not chain",
                self.tok,
                "join them with `and`, or add parentheses",
            )
        if form == "Predicate":
            return ir.predicate(name, left, right)
        result = ir.binary(name, left, right)
        return ir.unary("Not", result) if form == "NotIn" else result

    def check_comparison(self, left: ir.IR, right: ir.IR, operator: Token) -> None:
        if self.checker is None:
            return
        types = self.checker.type_of(left), self.checker.type_of(right)
        if not compatible(*types):
            left, right = (_with_article(str(t)) for t in types)
            self.note(
                f"`{operator.value}` compares {left} with {right}: it is never true",
                operator,
                "compare values of one type (write numbers without quotes)",
            )

    def additive(self) -> ir.IR:
        left = self.multiplicative()
        while self.tok.kind == "OP" and self.tok.value in ("+", "-"):
            op = BINARY_SYMBOLS[str(self.advance().value)]
            left = ir.binary(op, left, self.multiplicative())
        return left

    def multiplicative(self) -> ir.IR:
        left = self.prefixed()
        while self.tok.kind == "OP" and self.tok.value in ("*", "/", "%"):
            op = BINARY_SYMBOLS[str(self.advance().value)]
            left = ir.binary(op, left, self.prefixed())
        return left

    def prefixed(self) -> ir.IR:
        if self.is_op("-"):
            minus = self.advance()
            number = self.tok
            if number.kind in ("INT", "FLOAT") and number.start == minus.end:
                self.advance()
                return self.postfix(self.signed_number(number, minus))
            return ir.unary("Neg", self.prefixed())
        if self.is_op("!"):
            self.advance()
            return ir.unary("Not", self.prefixed())
        return self.postfix(self.primary())

    def signed_number(self, number: Token, minus: Token | None) -> ir.IR:
        if number.kind == "FLOAT":
            value = float(number.value)  # type: ignore[arg-type]
            return ir.floating(-value if minus else value)
        magnitude = int(number.value)  # type: ignore[call-overload]
        value = -magnitude if minus else magnitude
        if not I64_MIN <= value <= I64_MAX:
            start = minus.start if minus else number.start
            raise ExprIssue(
                f"integer {value} is out of range",
                start,
                number.end,
                "integers lie between -9223372036854775808 and 9223372036854775807",
            )
        return ir.integer(value)

    # --- postfix: fields, keys, methods ---------------------------------------

    def postfix(self, expr: ir.IR) -> ir.IR:
        while True:
            if self.is_op("."):
                self.advance()
                name = self.tok
                if name.kind not in ("NAME", "QNAME"):
                    raise self.fail(
                        f"expected a name after `.`, found {_describe(name)}", name
                    )
                self.advance()
                if self.is_op("("):
                    expr = self.method(expr, name)
                else:
                    self.extend_ref(expr, str(name.value), name)
            elif self.is_op("["):
                self.advance()
                key = self.tok
                if key.kind != "STRING":
                    raise self.fail(
                        f"expected a string key, found {_describe(key)}",
                        key,
                        'keys are strings: event["file name"]',
                    )
                self.advance()
                self.expect_op("]")
                self.extend_ref(expr, str(key.value), key)
            else:
                return expr

    def extend_ref(self, expr: ir.IR, field: str, token: Token) -> None:
        if not (isinstance(expr, dict) and "Ref" in expr):
            raise self.fail(
                "only event, context, config and loop variables have fields",
                token,
                f"to read the key of a computed map, call it: .`{field}`()",
            )
        ref = expr["Ref"]
        if ref["root"] == "Event" and not ref["fields"]:
            self.check_field(field, token)
        ref["fields"].append(field)

    def method(self, obj: ir.IR, name: Token) -> ir.IR:
        args = self.arguments()
        method = str(name.value)
        if name.kind == "NAME":
            self.check_arity(method, len(args), METHODS, "method", name)
        return ir.method_call(obj, method, args)

    def check_arity(
        self,
        name: str,
        given: int,
        table: dict[str, tuple[int, int]],
        what: str,
        token: Token,
    ) -> None:
        if name not in table:
            hint = did_you_mean(name, table)
            quoted = f"`{name}`"
            tail = f"write {quoted} in backquotes to call a {what} the runtime does not know"
            self.note(
                f"unknown {what} `{name}`",
                token,
                f"{hint} ({tail})" if hint else tail,
            )
            return
        low, high = table[name]
        if not low <= given <= high:
            wanted = str(low) if low == high else f"{low} or {high}"
            plural = "" if wanted == "1" else "s"
            self.note(f"`{name}` takes {wanted} argument{plural}, given {given}", token)

    def arguments(self) -> list[ir.IR]:
        self.expect_op("(")
        args: list[ir.IR] = []
        while not self.is_op(")"):
            args.append(self.expression())
            if not self.is_op(","):
                break
            self.advance()
        self.expect_op(")")
        return args

    # --- primaries ------------------------------------------------------------

    def primary(self) -> ir.IR:
        token = self.tok
        kind = token.kind
        if kind in ("INT", "FLOAT"):
            self.advance()
            return self.signed_number(token, None)
        if kind == "DURATION":
            self.advance()
            return self.duration(token)
        if kind == "STRING":
            self.advance()
            return ir.string(str(token.value))
        if kind == "REGEX":
            self.advance()
            return ir.regex(str(token.value))
        if kind == "FSTRING":
            self.advance()
            return template_ir(token.value, self.issues, self.scopes, self.checker)  # type: ignore[arg-type]
        if kind == "LOCAL":
            self.advance()
            index = int(token.value)  # type: ignore[call-overload]
            if index > U32_MAX:
                raise self.fail("local number is out of range", token)
            return ir.ref(ir.local_root(index), [])
        if self.is_op("("):
            self.advance()
            expr = self.expression()
            self.expect_op(")")
            return expr
        if self.is_op("["):
            return self.list_literal()
        if kind == "QNAME":
            self.advance()
            if self.is_op("("):
                return ir.call(str(token.value), self.arguments())
            return self.name_ref(str(token.value), token)
        if kind == "NAME":
            return self.word(token)
        raise self.fail(f"expected an expression, found {_describe(token)}", token)

    def duration(self, token: Token) -> ir.IR:
        assert isinstance(token.value, tuple)
        value, unit = token.value
        if value > U64_MAX:
            raise self.fail("duration is out of range", token)
        return ir.duration(value, unit)

    def list_literal(self) -> ir.IR:
        self.expect_op("[")
        items: list[ir.IR] = []
        while not self.is_op("]"):
            items.append(self.expression())
            if not self.is_op(","):
                break
            self.advance()
        self.expect_op("]")
        return ir.list_expr(items)

    def word(self, token: Token) -> ir.IR:
        word = str(token.value)
        calling = self.is_op("(", self.peek())
        if word in ("true", "True", "false", "False"):
            self.advance()
            return ir.boolean(word in ("true", "True"))
        if word in ("null", "None"):
            raise self.fail(
                f"there is no `{word}` in policies",
                token,
                "a missing field reads as null, which is falsy: test it with `not x`",
            )
        if word in ROOT_WORDS:
            self.advance()
            return ir.ref(ROOT_WORDS[word], [])
        if word == "match":
            self.advance()
            return self.match()
        if calling and word in QUANTIFIERS:
            self.advance()
            return self.quantifier(QUANTIFIERS[word], token)
        if calling and word == "count":
            self.advance()
            return self.count(token)
        if calling and word in VERDICT_WORDS:
            raise self.fail(
                f"`{word}(...)` is a verdict, the result of a `match` case", token
            )
        if word in RESERVED and word not in QUANTIFIERS and word != "count":
            raise self.fail(f"expected an expression, found `{word}`", token)
        self.advance()
        if calling:
            args = self.arguments()
            self.check_arity(word, len(args), FUNCTIONS, "function", token)
            return ir.call(word, args)
        return self.name_ref(word, token)

    def name_ref(self, name: str, token: Token) -> ir.IR:
        if self.scopes and self.scopes[-1] == name:
            return ir.ref(ir.local_root(0), [])
        if name in self.scopes:
            self.note(
                f"`{name}` is the element of an outer loop, hidden by the inner one",
                token,
                "the runtime binds only the innermost loop's element",
            )
            return ir.ref(ir.local_root(0), [])
        self.check_field(name, token)
        return ir.ref("Event", [name])

    def check_field(self, name: str, token: Token) -> None:
        problem = self.checker.problem(name) if self.checker else None
        if problem is not None:
            self.note(problem[0], token, problem[1])

    # --- loops ----------------------------------------------------------------

    def find_for(self) -> int | None:
        """The index of the `for` of the loop whose `(` was just read."""
        depth = 0
        for index in range(self.pos, len(self.tokens)):
            token = self.tokens[index]
            if token.kind == "OP" and token.value in ("(", "[", "{"):
                depth += 1
            elif token.kind == "OP" and token.value in (")", "]", "}"):
                depth -= 1
                if depth < 0:
                    return None
            elif depth == 0 and self.is_word("for", token):
                return index
        return None

    def loop_name(self, at: int) -> str:
        token = self.tokens[at + 1]
        if token.kind == "QNAME" or (
            token.kind == "NAME" and str(token.value) not in RESERVED
        ):
            return str(token.value)
        raise self.fail(
            f"expected the loop variable's name, found {_describe(token)}", token
        )

    def in_scope(self, name: str | None, parse: Callable[[], ir.IR]) -> ir.IR:
        self.scopes.append(name)
        try:
            return parse()
        finally:
            self.scopes.pop()

    def loop_header(self, name: str) -> ir.IR:
        """`for NAME in COLLECTION`, returning the collection."""
        self.expect_word("for")
        self.advance()
        self.expect_word("in")
        del name
        return self.expression()

    def quantifier(self, kind: str, keyword: Token) -> ir.IR:
        self.expect_op("(")
        at = self.find_for()
        if at is None:
            raise self.fail(
                f"`{keyword.value}` needs `for NAME in COLLECTION`",
                keyword,
                f"write {keyword.value}(x > 0 for x in items)",
            )
        name = self.loop_name(at)
        body = self.in_scope(name, self.expression)
        collection = self.loop_header(name)
        self.expect_op(")")
        return ir.quantifier(kind, collection, name, body)

    def count(self, keyword: Token) -> ir.IR:
        self.expect_op("(")
        at = self.find_for()
        name: str | None = None
        if at is not None:
            name = self.loop_name(at)
            element = self.tok
            if element.kind not in ("NAME", "QNAME") or element.value != name:
                raise self.fail(
                    "count's element must be the loop variable",
                    element,
                    f"write count({name} for {name} in items if ...)",
                )
            self.advance()
            collection = self.loop_header(name)
        else:
            collection = self.expression()
        condition: ir.IR = None
        if self.is_word("if"):
            self.advance()
            condition = self.in_scope(name, self.expression)
        self.expect_op(")")
        del keyword
        return ir.count(collection, name, condition)

    # --- decision trees -------------------------------------------------------

    def match(self) -> ir.IR:
        if self.is_op("=>"):
            self.advance()
            return ir.decision_tree(self.node())
        return ir.decision_tree(self.switch())

    def node(self) -> ir.IR:
        token = self.tok
        if self.is_word("match") and not self.is_op("=>", self.peek()):
            self.advance()
            return self.switch()
        if (
            token.kind == "NAME"
            and token.value in VERDICT_WORDS
            and self.is_op("(", self.peek())
        ):
            self.advance()
            args = self.arguments()
            if len(args) > 1:
                raise self.fail("a verdict takes at most one message", token)
            message = args[0] if args else None
            return ir.verdict_leaf(ir.verdict(str(token.value).capitalize(), message))
        return ir.leaf(self.expression())

    def switch(self) -> ir.IR:
        subject = self.expression()
        self.expect_op("{")
        cases: list[ir.IR] = []
        default: ir.IR = None
        while not self.is_op("}"):
            token = self.tok
            if default is not None:
                raise self.fail("no case may follow the default `_`", token)
            if self.is_word("_") and self.is_op("=>", self.peek()):
                self.advance()
                self.expect_op("=>")
                default = self.node()
            else:
                test = self.case_test()
                self.expect_op("=>")
                cases.append(ir.case(test, self.node()))
            if not self.is_op(","):
                break
            self.advance()
        self.expect_op("}")
        return ir.switch(subject, cases, default)

    def case_test(self) -> ir.IR:
        token = self.tok
        if self.is_word("if"):
            self.advance()
            return ir.guard_test(self.expression())
        if token.kind in ("NAME", "QNAME") and self.is_op("(", self.peek()):
            self.advance()
            self.expect_op("(")
            self.expect_op(")")
            return ir.constructor_test(str(token.value))
        return ir.literal_test(self.case_literal()["Literal"])

    def case_literal(self) -> ir.IR:
        token = self.tok
        if self.is_op("-"):
            minus = self.advance()
            number = self.tok
            if number.kind not in ("INT", "FLOAT"):
                raise self.fail("expected a number after `-`", number)
            self.advance()
            return self.signed_number(number, minus)
        if token.kind in ("INT", "FLOAT", "DURATION", "STRING", "REGEX") or (
            token.kind == "NAME" and token.value in ("true", "True", "false", "False")
        ):
            return self.primary()
        raise self.fail(
            f"expected a case, found {_describe(token)}",
            token,
            'cases are literals ("a", 3, 5m), constructors (Email()), '
            "guards (if x > 3) or the default _",
        )
