"""The expression printer: IR expressions back to source text, in the one
canonical spelling (word operators, the fewest parentheses that keep the
tree, names quoted only where needed), such that parsing the text gives the
same IR.

    print_expr({"Binary": {"op": "Eq", "left": {"Ref": {"root": "Event",
        "fields": ["tool"]}}, "right": {"Literal": {"String": "shell"}}}})
    # 'tool == "shell"'

    guard_text({"NegatedPredicate": ...})   # 'unless host in config.hosts'

Templates (messages, f-strings) are recognised by the shape the compiler
gives them: text literals and `str(e)` calls joined with `+` from the left.
"""

import re
from typing import Final

from corvanth_core.source.ir_build import IR
from corvanth_core.source.names import (
    BINARY_WORDS,
    FUNCTIONS,
    METHODS,
    PREDICATE_WORDS,
    QUANTIFIER_WORDS,
    RESERVED,
    UNIT_SUFFIXES,
)

_IDENTIFIER: Final = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")

# Binding strength of each form; an operand weaker than its slot requires
# gets parentheses.
IMPLIES, OR, AND, NOT, COMPARE, ADD, MUL, PREFIX, POSTFIX, PRIMARY = range(1, 11)
LOOSE = 0  # `match => ...`, which extends as far as it can
_LEVELS: Final = {
    "Implies": IMPLIES,
    "Or": OR,
    "And": AND,
    "Add": ADD,
    "Sub": ADD,
    "Mul": MUL,
    "Div": MUL,
    "Mod": MUL,
}
_NAMED_ESCAPES: Final = {"\n": "\\n", "\t": "\\t", "\r": "\\r", "\\": "\\\\"}


def is_plain_name(name: str) -> bool:
    """Whether a name can be written without backquotes."""
    return bool(_IDENTIFIER.match(name)) and name not in RESERVED


def quote_name(name: str) -> str:
    if is_plain_name(name):
        return name
    return "`" + _escape(name, "`") + "`"


def _printable(char: str) -> bool:
    code = ord(char)
    if code < 0x20 or 0x7F <= code < 0xA0:
        return False
    if code in (0x2028, 0x2029, 0xFEFF) or 0xD800 <= code <= 0xDFFF:
        return False
    return code not in (0xFFFE, 0xFFFF)


def _escape(text: str, quote: str, braces: bool = False) -> str:
    out: list[str] = []
    for char in text:
        if char == quote:
            out.append("\\" + char)
        elif char in _NAMED_ESCAPES:
            out.append(_NAMED_ESCAPES[char])
        elif braces and char in "{}":
            out.append(char * 2)
        elif not _printable(char):
            code = ord(char)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}")
        else:
            out.append(char)
    return "".join(out)


def string_literal(text: str) -> str:
    return '"' + _escape(text, '"') + '"'


def template_pieces(expr: IR) -> list[str | IR] | None:
    """The parts of a template-shaped expression (text, or the expression
    inside `str(...)`), or None when the expression is not one."""
    chain: list[IR] = []
    node = expr
    while isinstance(node, dict) and "Binary" in node and node["Binary"]["op"] == "Add":
        chain.append(node["Binary"]["right"])
        node = node["Binary"]["left"]
    chain.append(node)
    chain.reverse()
    pieces: list[str | IR] = []
    for index, piece in enumerate(chain):
        text = _string_of(piece)
        if text is not None:
            if (text == "" and len(chain) > 1) or (
                pieces and isinstance(pieces[-1], str)
            ):
                return None
            pieces.append(text)
            continue
        inner = _str_call_argument(piece)
        if inner is None:
            return None
        pieces.append(inner)
        del index
    return pieces


def _string_of(expr: IR) -> str | None:
    if isinstance(expr, dict) and "Literal" in expr and "String" in expr["Literal"]:
        return str(expr["Literal"]["String"])
    return None


def _str_call_argument(expr: IR) -> IR | None:
    if isinstance(expr, dict) and "Call" in expr:
        call = expr["Call"]
        if call["function"] == "str" and len(call["args"]) == 1:
            return call["args"][0]
    return None


class ExprPrinter:
    """Prints expressions; `scopes` holds the loop variables around the
    expression being printed (None for a count without a name)."""

    def __init__(self) -> None:
        self.scopes: list[str | None] = []

    def expr(self, expr: IR, slot: int = LOOSE) -> str:
        text, level = self.form(expr)
        return f"({text})" if level < slot else text

    def template(self, pieces: list[str | IR], quote: str | None) -> str:
        """Template text; inside an f-string when `quote` is given."""
        out: list[str] = []
        for piece in pieces:
            if isinstance(piece, str):
                if quote is None:
                    out.append(piece.replace("{", "{{").replace("}", "}}"))
                else:
                    out.append(_escape(piece, quote, braces=True))
            else:
                out.append("{" + self.expr(piece, IMPLIES) + "}")
        return "".join(out)

    def form(self, expr: IR) -> tuple[str, int]:
        ((kind, payload),) = expr.items()
        method = getattr(self, "print_" + kind)
        result: tuple[str, int] = method(payload)
        return result

    # --- leaves ---------------------------------------------------------------

    def print_Literal(self, literal: IR) -> tuple[str, int]:
        ((kind, value),) = literal.items()
        if kind == "Bool":
            return ("true" if value else "false"), PRIMARY
        if kind == "Int":
            return str(value), (PREFIX if value < 0 else PRIMARY)
        if kind == "Float":
            text = repr(value)
            return text, (PREFIX if text.startswith("-") else PRIMARY)
        if kind == "String":
            return string_literal(value), POSTFIX
        if kind == "Regex":
            return "re" + string_literal(value), POSTFIX
        return f"{value['value']}{UNIT_SUFFIXES[value['unit']]}", PRIMARY

    def print_Ref(self, ref: IR) -> tuple[str, int]:
        root = ref["root"]
        fields: list[str] = ref["fields"]
        rest = fields
        if isinstance(root, dict):
            index = root["Local"]
            name = self.scopes[-1] if self.scopes else None
            head = quote_name(name) if index == 0 and name is not None else f"${index}"
        elif root == "Event" and fields and self.bare_field(fields[0]):
            head, rest = fields[0], fields[1:]
        else:
            head = {"Event": "event", "Context": "context", "Policy": "config"}[root]
        return head + "".join(self.segment(f) for f in rest), POSTFIX

    def bare_field(self, name: str) -> bool:
        return is_plain_name(name) and name not in self.scopes

    def segment(self, name: str) -> str:
        if is_plain_name(name):
            return "." + name
        return "[" + string_literal(name) + "]"

    # --- operators ------------------------------------------------------------

    def print_Binary(self, node: IR) -> tuple[str, int]:
        op = node["op"]
        pieces = template_pieces({"Binary": node}) if op == "Add" else None
        if pieces is not None and any(not isinstance(p, str) for p in pieces):
            return 'f"' + self.template(pieces, '"') + '"', POSTFIX
        word = BINARY_WORDS[op]
        level = _LEVELS.get(op, COMPARE)
        if level == COMPARE:
            left_slot, right_slot = ADD, ADD
        elif level == IMPLIES:
            left_slot, right_slot = OR, IMPLIES
        else:
            left_slot, right_slot = level, level + 1
        left = self.expr(node["left"], left_slot)
        right = self.expr(node["right"], right_slot)
        return f"{left} {word} {right}", level

    def print_Unary(self, node: IR) -> tuple[str, int]:
        operand = node["operand"]
        if node["op"] == "Not":
            return "not " + self.expr(operand, NOT), NOT
        if isinstance(operand, dict) and "Literal" in operand:
            literal = operand["Literal"]
            if "Int" in literal or "Float" in literal:
                return "-(" + self.expr(operand) + ")", PREFIX
        return "-" + self.expr(operand, PREFIX), PREFIX

    def print_Predicate(self, node: IR) -> tuple[str, int]:
        word = PREDICATE_WORDS[node["kind"]]
        subject = self.expr(node["subject"], ADD)
        argument = self.expr(node["argument"], ADD)
        return f"{subject} {word} {argument}", COMPARE

    # --- loops ----------------------------------------------------------------

    def scoped(self, name: str | None, expr: IR) -> str:
        self.scopes.append(name)
        try:
            return self.expr(expr, IMPLIES)
        finally:
            self.scopes.pop()

    def print_Quantifier(self, node: IR) -> tuple[str, int]:
        name = node["param"]
        body = self.scoped(name, node["body"])
        collection = self.expr(node["collection"], IMPLIES)
        word = QUANTIFIER_WORDS[node["kind"]]
        return f"{word}({body} for {quote_name(name)} in {collection})", PRIMARY

    def print_Count(self, node: IR) -> tuple[str, int]:
        name = node["param"]
        collection = self.expr(node["collection"], IMPLIES)
        head = collection
        if name is not None:
            quoted = quote_name(name)
            head = f"{quoted} for {quoted} in {collection}"
        if node["filter"] is not None:
            head += " if " + self.scoped(name, node["filter"])
        return f"count({head})", PRIMARY

    # --- calls ----------------------------------------------------------------

    def arguments(self, args: list[IR]) -> str:
        return "(" + ", ".join(self.expr(a, IMPLIES) for a in args) + ")"

    def print_Call(self, node: IR) -> tuple[str, int]:
        name = node["function"]
        args = node["args"]
        if _fits(name, len(args), FUNCTIONS):
            return name + self.arguments(args), PRIMARY
        return "`" + _escape(name, "`") + "`" + self.arguments(args), PRIMARY

    def print_MethodCall(self, node: IR) -> tuple[str, int]:
        obj = node["object"]
        text, level = self.form(obj)
        if level < POSTFIX or _is_number(obj):
            text = f"({text})"
        name = node["method"]
        args = node["args"]
        if not _fits(name, len(args), METHODS):
            name = "`" + _escape(name, "`") + "`"
        return f"{text}.{name}{self.arguments(args)}", POSTFIX

    def print_List(self, items: list[IR]) -> tuple[str, int]:
        return "[" + ", ".join(self.expr(i, IMPLIES) for i in items) + "]", PRIMARY

    # --- decision trees -------------------------------------------------------

    def print_DecisionTree(self, node: IR) -> tuple[str, int]:
        if "Switch" in node:
            return "match " + self.switch(node["Switch"]), PRIMARY
        return "match => " + self.node(node), LOOSE

    def switch(self, node: IR) -> str:
        subject = self.expr(node["subject"], IMPLIES)
        cases = [
            f"{self.case_test(c['test'])} => {self.node(c['body'])}"
            for c in node["cases"]
        ]
        if node["default"] is not None:
            cases.append("_ => " + self.node(node["default"]))
        inner = ", ".join(cases)
        return f"{subject} {{ {inner} }}" if inner else f"{subject} {{}}"

    def case_test(self, test: IR) -> str:
        ((kind, value),) = test.items()
        if kind == "Guard":
            return "if " + self.expr(value, IMPLIES)
        if kind == "Constructor":
            return quote_name(value) + "()"
        return self.print_Literal(value)[0]

    def node(self, node: IR) -> str:
        ((kind, value),) = node.items()
        if kind == "Switch":
            return "match " + self.switch(value)
        if kind == "VerdictLeaf":
            word = str(value["verdict"]).lower()
            message = value["message"]
            return word + (
                "()" if message is None else f"({self.expr(message, IMPLIES)})"
            )
        text, level = self.form(value)
        # A leaf that opens with a match (a tree itself, or an operator whose
        # left operand is one) would be read as a nested switch, its tail
        # joining the enclosing expression: it is parenthesised.
        if level <= LOOSE or text.startswith("match "):
            return f"({text})"
        return text


def _fits(name: str, given: int, table: dict[str, tuple[int, int]]) -> bool:
    if name not in table or not _IDENTIFIER.match(name):
        return False
    low, high = table[name]
    return low <= given <= high


def _is_number(expr: IR) -> bool:
    if isinstance(expr, dict) and "Literal" in expr:
        return bool({"Int", "Float", "Duration"} & set(expr["Literal"]))
    return False


def print_expr(expr: IR) -> str:
    return ExprPrinter().expr(expr)


def guard_text(guard: IR) -> str:
    """A transition guard as the source says it: `when <condition>`,
    `unless <condition>`, `after deadline` or `always`."""
    if guard == "Always":
        return "always"
    if guard == "Timeout":
        return "after deadline"
    if "Predicate" in guard:
        return "when " + print_expr(guard["Predicate"])
    return "unless " + print_expr(guard["NegatedPredicate"])
