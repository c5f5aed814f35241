"""Unicode case mapping (full mappings, final sigma) and white-space trimming
of the String methods "to_upper", "to_lower" and "trim"."""

import unicodedata

import pytest
import unicode_tables
from helpers import assert_same, eval_expr

from corvanth_core.ir import binary, count, field, lit_str, method, ref

# The runtime's tables carry this version of the Unicode character database.
TABLES_VERSION = "14.0.0"

# Every White_Space code point.
WHITE_SPACE = [
    *range(0x09, 0x0E),
    0x20,
    0x85,
    0xA0,
    0x1680,
    *range(0x2000, 0x200B),
    0x2028,
    0x2029,
    0x202F,
    0x205F,
    0x3000,
]

ALL_CODE_POINTS = [cp for cp in range(0x110000) if not 0xD800 <= cp <= 0xDFFF]


def apply(name, text):
    return eval_expr(method(field("s"), name), fields={"s": text})


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        ("abc xyz 123", "ABC XYZ 123"),
        ("straße", "STRASSE"),
        ("ß", "SS"),
        ("\u0149", "\u02bcN"),
        ("ﬁ", "FI"),
        ("ﬃ", "FFI"),
        ("\u0390", "\u0399\u0308\u0301"),
        ("ᾳ", "ΑΙ"),
        ("i", "I"),
        ("ı", "I"),
        ("ǆ", "Ǆ"),
        ("ǅ", "Ǆ"),
        ("ς", "Σ"),
        ("µ", "Μ"),
        ("ÿ", "Ÿ"),
        ("ａ", "Ａ"),
        ("𐐨", "𐐀"),
        ("😀 ÉCOLE", "😀 ÉCOLE"),
        ("école", "ÉCOLE"),
        ("ⓐ", "Ⓐ"),
    ],
)
def test_to_upper(text, expected):
    assert_same(apply("to_upper", text), expected)
    assert_same(apply("to_uppercase", text), expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        ("ABC XYZ 123", "abc xyz 123"),
        ("STRASSE", "strasse"),
        ("ẞ", "ß"),
        ("I", "i"),
        ("\u0130", "i\u0307"),
        ("Ǆ", "ǆ"),
        ("ǅ", "ǆ"),
        ("Ⅻ", "ⅻ"),
        ("𐐀", "𐐨"),
        ("ÉCOLE", "école"),
        # Final sigma: after a cased letter and not before one.
        ("ΟΔΟΣ", "οδος"),
        ("Σ", "σ"),
        ("ΣΑ", "σα"),
        ("ΑΣΑ", "ασα"),
        ("ΑΣ ΑΣ", "ας ας"),
        ("ΑΣ.", "ας."),
        ("ΑΣΣ", "ασς"),
        ("1Σ", "1σ"),
        (" Σ ", " σ "),
        # Case-ignorable characters are skipped on both sides.
        ("Α'Σ", "α'ς"),
        ("'Σ", "'σ"),
        ("ΑΣ'", "ας'"),
        ("ΑΣ'Α", "ασ'α"),
        ("ΑΣ\u0301", "ας\u0301"),
        ("Α\u0301Σ", "α\u0301ς"),
        ("ΑΣ\u0301Β", "ασ\u0301β"),
        ("ΑΣ\u00adΒ", "ασ\u00adβ"),
        ("ΑΣ:Β", "ασ:β"),
        ("ΑΣ-Β", "ας-β"),
    ],
)
def test_to_lower(text, expected):
    assert_same(apply("to_lower", text), expected)
    assert_same(apply("to_lowercase", text), expected)


@pytest.mark.parametrize(
    "text, expected",
    [
        ("", ""),
        ("a", "a"),
        ("  a  ", "a"),
        ("\t\n\x0b\x0c\r a \r\n", "a"),
        ("\u3000a\u3000", "a"),
        ("\u00a0a\u00a0", "a"),
        ("\u2028a\u2029", "a"),
        ("\u0085a\u1680", "a"),
        ("\u2000\u200aa\u202f\u205f", "a"),
        ("a \u3000 b", "a \u3000 b"),
        ("\u200ba\u200b", "\u200ba\u200b"),
        ("\ufeffa\ufeff", "\ufeffa\ufeff"),
        ("\x1ca\x1f", "\x1ca\x1f"),
        ("\u180ea", "\u180ea"),
        ("   ", ""),
        ("\u3000\u00a0\u2028", ""),
        (" \u200b ", "\u200b"),
    ],
)
def test_trim(text, expected):
    assert_same(apply("trim", text), expected)


@pytest.mark.parametrize("cp", WHITE_SPACE)
def test_trim_removes_each_white_space_character(cp):
    assert_same(apply("trim", chr(cp) + "x" + chr(cp)), "x")


def test_trim_removes_no_other_character():
    # Count the code points that trim to nothing: exactly the white space.
    expr = count(
        field("chars"),
        binary("Eq", method(ref(0), "trim"), lit_str("")),
    )
    chars = [chr(cp) for cp in ALL_CODE_POINTS]
    assert_same(eval_expr(expr, fields={"chars": chars}), len(WHITE_SPACE))


def test_committed_tables_carry_their_version():
    assert unicode_tables.unicode_version() == TABLES_VERSION


@pytest.mark.parametrize("name", ["to_upper", "to_lower"])
@pytest.mark.parametrize("plane", range(17))
def test_case_mapping_of_every_code_point_follows_the_tables(name, plane):
    # Each code point on its own line, then all of a plane run together, so
    # that the final-sigma context is exercised with every neighbour.
    points = [cp for cp in ALL_CODE_POINTS if cp >> 16 == plane]
    text = "\n".join(map(chr, points)) + "".join(map(chr, points))
    assert apply(name, text) == getattr(unicode_tables, name)(text)


def test_final_sigma_with_every_neighbour_follows_the_tables():
    # A capital sigma before and after every code point of the first plane.
    text = "".join(
        f"Α{chr(cp)}Σ{chr(cp)}Β Σ{chr(cp)} " for cp in ALL_CODE_POINTS if cp < 0x10000
    )
    assert apply("to_lower", text) == unicode_tables.to_lower(text)


def test_white_space_table_is_exactly_white_space():
    assert sorted(unicode_tables.white_space()) == WHITE_SPACE


@pytest.mark.skipif(
    unicodedata.unidata_version != TABLES_VERSION,
    reason="checks the tables against an interpreter of their Unicode version",
)
@pytest.mark.parametrize("name", ["upper", "lower"])
def test_committed_tables_agree_with_python_of_their_version(name):
    text = "".join(map(chr, ALL_CODE_POINTS))
    reference = getattr(unicode_tables, f"to_{name}")
    assert reference(text) == getattr(text, name)()


# ASCII texts take a fast path; texts with one other character anywhere, at
# the edges of eight-byte words included, take the table-driven path. Both
# must agree with the full mappings (here: Python's, for characters whose
# mapping is the same in every Unicode version).
ASCII_RUN = "aZ_q0M.x" * 4
MIXED_CASE_TEXTS = [
    *(chr(cp) for cp in range(0x80)),
    ASCII_RUN,
    *(ASCII_RUN[:n] for n in (7, 8, 9, 15, 16, 17, 23, 24, 25)),
    *(
        ASCII_RUN[:at] + other + ASCII_RUN[at:]
        for other in ("é", "ß", "Σ", "\u0130", "ﬁ", "😀")
        for at in (0, 1, 7, 8, 9, 16, 31, 32)
    ),
    "AΣ",
    "AΣ b",
    "ΣA",
    "A'Σ.",
    "x\u00ff",
]


@pytest.mark.parametrize("text", MIXED_CASE_TEXTS)
def test_case_mapping_at_ascii_boundaries(text):
    assert_same(apply("to_upper", text), text.upper())
    assert_same(apply("to_lower", text), text.lower())


ASCII_WHITE_SPACE = "\t\n\x0b\x0c\r "


@pytest.mark.parametrize(
    "text, expected",
    [
        *(
            (chr(cp), "" if chr(cp) in ASCII_WHITE_SPACE else chr(cp))
            for cp in range(0x80)
        ),
        (ASCII_WHITE_SPACE + "a" + ASCII_WHITE_SPACE, "a"),
        (" é ", "é"),
        ("\t\u00a0 x \u3000\n", "x"),
        (" \u0085 ", ""),
        ("\u2028 \u2029", ""),
        (" ß\u00a0", "ß"),
        ("é \t", "é"),
        ("\n😀", "😀"),
        ("\x1c é \x1f", "\x1c é \x1f"),
        ("\u200b \u200b", "\u200b \u200b"),
        (" a\u00a0b ", "a\u00a0b"),
    ],
)
def test_trim_at_ascii_boundaries(text, expected):
    assert_same(apply("trim", text), expected)
