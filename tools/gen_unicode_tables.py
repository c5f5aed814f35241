"""Generates halvo-runtime/src/unicode_tables.inc, the case-mapping and
white-space tables of the runtime's Unicode module (unicode_case.cc).

Usage (from the repository root):

    python tools/gen_unicode_tables.py > halvo-runtime/src/unicode_tables.inc

Every table is derived from the running interpreter's own Unicode data, so
the output follows `unicodedata.unidata_version`, which is written into the
generated file. Surrogate code points (U+D800..U+DFFF) never occur in UTF-8
text and are left out of every table.

How each property is obtained:

- Full case mappings: `chr(c).upper()` and `chr(c).lower()`. Python applies
  the full (one-to-many) mappings, including the unconditional special
  casings such as U+00DF -> "SS"; it applies no language-specific rule. For
  a lone U+03A3 the lower-case form is U+03C3; the final-sigma context is
  handled by the runtime with the two properties below.
- Cased: a code point is cased when it has the Lowercase or Uppercase
  property or is a titlecase letter. For one character, `str.islower()`,
  `str.isupper()` and `str.istitle()` answer exactly these three questions.
- Case_Ignorable: Python does not expose it, but its `str.lower()` applies
  the final-sigma rule with it, so it is read off two probes. "A" + c + U+03A3
  lower-cases to a final sigma when c is case-ignorable (skipped, reaching
  the cased "A") or when c is cased and not ignorable; c + U+03A3 does so
  only when c is cased and not ignorable. Case-ignorable is therefore "first
  probe and not second". The generator checks the second probe against the
  Cased table for consistency.
- White_Space: outside ASCII it is exactly `str.isspace()`. In ASCII,
  `str.isspace()` also accepts the information separators U+001C..U+001F
  (by their bidirectional class), which are not White_Space; there the set is
  `string.whitespace` (tab, line feed, vertical tab, form feed, carriage
  return and space).

Output format: sorted, non-overlapping arrays searched by binary search.
A case range {first, last, stride, delta} maps every code point
first, first+stride, ... up to last to itself plus delta; code points inside
the range that are skipped by the stride have no mapping in that table.
Mappings to more than one code point are listed apart, one entry each.
"""

import string
import sys
import unicodedata

SIGMA = "\u03a3"
FINAL_SIGMA = "\u03c2"


def code_points():
    for cp in range(0x110000):
        if not 0xD800 <= cp <= 0xDFFF:
            yield cp


def case_tables(convert):
    """Returns (ranges, expansions) for one direction of case mapping."""
    singles = []
    expansions = []
    for cp in code_points():
        mapped = convert(chr(cp))
        if mapped == chr(cp):
            continue
        if len(mapped) == 1:
            singles.append((cp, ord(mapped) - cp))
        else:
            expansions.append((cp, [ord(ch) for ch in mapped]))
    mapped_points = {cp for cp, _ in singles}
    ranges = []
    for cp, delta in singles:
        if ranges:
            first, last, stride, run_delta = ranges[-1]
            gap = cp - last
            same_run = run_delta == delta and (
                (first == last and gap in (1, 2)) or gap == stride
            )
            # A stride-2 run may only skip code points without a mapping,
            # so that no other range overlaps it.
            if same_run and gap == 2 and (cp - 1) in mapped_points:
                same_run = False
            if same_run:
                ranges[-1] = [first, cp, gap, delta]
                continue
        ranges.append([cp, cp, 1, delta])
    return ranges, expansions


def runs(predicate):
    """Sorted [first, last] runs of the code points that satisfy predicate."""
    result = []
    for cp in code_points():
        if not predicate(cp):
            continue
        if result and result[-1][1] == cp - 1:
            result[-1][1] = cp
        else:
            result.append([cp, cp])
    return result


def is_cased(cp):
    ch = chr(cp)
    return ch.islower() or ch.isupper() or ch.istitle()


def ends_final(text):
    return text.lower().endswith(FINAL_SIGMA)


def is_case_ignorable(cp):
    ch = chr(cp)
    reaches_cased = ends_final("A" + ch + SIGMA)
    cased_itself = ends_final(ch + SIGMA)
    return reaches_cased and not cased_itself


def is_white_space(cp):
    if cp < 0x80:
        return chr(cp) in string.whitespace
    return chr(cp).isspace()


def check_consistency(cased, ignorable):
    """A code point that ends a final sigma by itself must be cased."""
    for cp in code_points():
        if ends_final(chr(cp) + SIGMA) != (cp in cased and cp not in ignorable):
            sys.exit(f"inconsistent case properties at U+{cp:04X}")


def hex_cp(cp):
    return f"0x{cp:04X}"


def emit_case(out, name, ranges, expansions):
    out.append(f"constexpr CaseRange k{name}Ranges[] = {{")
    for first, last, stride, delta in ranges:
        out.append(f"    {{{hex_cp(first)}, {hex_cp(last)}, {stride}, {delta}}},")
    out.append("};")
    out.append(f"constexpr CaseExpansion k{name}Expansions[] = {{")
    for cp, mapped in expansions:
        padded = mapped + [0] * (3 - len(mapped))
        body = ", ".join(hex_cp(m) for m in padded)
        out.append(f"    {{{hex_cp(cp)}, {len(mapped)}, {{{body}}}}},")
    out.append("};")


def emit_runs(out, name, table):
    out.append(f"constexpr CodeRange k{name}[] = {{")
    for first, last in table:
        out.append(f"    {{{hex_cp(first)}, {hex_cp(last)}}},")
    out.append("};")


def main():
    cased = runs(is_cased)
    ignorable = runs(is_case_ignorable)
    cased_set = {cp for first, last in cased for cp in range(first, last + 1)}
    ignorable_set = {cp for first, last in ignorable for cp in range(first, last + 1)}
    check_consistency(cased_set, ignorable_set)

    python = sys.version.split()[0]
    out = [
        "// Generated by tools/gen_unicode_tables.py; do not edit.",
        f"// Unicode {unicodedata.unidata_version}, from the data of Python {python}.",
        "// Included by unicode_case.cc, which defines the record types.",
        "",
    ]
    emit_case(out, "Upper", *case_tables(str.upper))
    emit_case(out, "Lower", *case_tables(str.lower))
    emit_runs(out, "Cased", cased)
    emit_runs(out, "CaseIgnorable", ignorable)
    emit_runs(out, "WhiteSpace", runs(is_white_space))
    sys.stdout.write("\n".join(out) + "\n")


if __name__ == "__main__":
    main()
