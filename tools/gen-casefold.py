#!/usr/bin/env python3
"""Generates the case-mapping and display-width tables of the runtime.

Reads the Unicode Character Database shipped by the Debian package
`unicode-data` (/usr/share/unicode) and writes two checked-in sources:

  runtime/casefold_tables.cpp  upper, lower and comparison-fold mappings
  runtime/width_tables.cpp     zero-width, wide and ambiguous-width ranges

Usage: tools/gen-casefold.py [--ucd DIR] [--out DIR]   (out: the repo root)

The database version is pinned: the script refuses any other, so the
generated files change only when someone moves the pin on purpose.

Case mapping rules (one code point for one):
  - upper/lower: the unconditional full mapping of SpecialCasing.txt when
    there is one, keeping its first character (U+00DF -> S, U+0149 ->
    U+02BC, U+01F0 -> J); otherwise the simple mapping of UnicodeData.txt.
  - The mapping data is that of the characters assigned by CASE_REPERTOIRE
    (a pair is kept only when both of its code points are that old), which
    gives 1,250 upper and 1,158 lower pairs up to U+FFFF and 225 of each
    above. Set CASE_REPERTOIRE to None for every mapping of the pinned data.
  - fold: the comparison key. Case-insensitive comparison equates a and b
    when upper(a) == upper(b); fold names each such class by its lower-case
    member where it has one, so fold(a) == fold(b) exactly when
    upper(a) == upper(b), and hashing by fold agrees with comparison.

Display width (the terminal wcwidth convention):
  - zero: general categories Mn, Me and Cf (except U+00AD SOFT HYPHEN), and
    the Hangul conjoining medial vowels and final consonants;
  - wide: East_Asian_Width W or F, with the unassigned defaults to W that
    EastAsianWidth.txt states in its header;
  - ambiguous: East_Asian_Width A, less the zero-width characters (a
    combining mark stays 0 wide in the CJK variant too).
"""

import argparse
import os
import re
import sys

UNICODE_VERSION = "15.0.0"
CASE_REPERTOIRE = (11, 0)

# Blocks per stage-2 entry: 1 << BLOCK_SHIFT code points.
BLOCK_SHIFT = 7
NUMBERS_PER_LINE = 32


def fail(msg):
    sys.stderr.write("gen-casefold: %s\n" % msg)
    sys.exit(1)


def read_lines(ucd, name):
    path = os.path.join(ucd, name)
    try:
        with open(path, encoding="utf-8") as f:
            return f.read().splitlines()
    except OSError as e:
        fail("cannot read %s: %s (install the unicode-data package)" % (path, e))


def check_version(ucd):
    readme = "\n".join(read_lines(ucd, "ReadMe.txt"))
    m = re.search(r"for Version (\d+\.\d+\.\d+) of the Unicode Standard", readme)
    if not m or m.group(1) != UNICODE_VERSION:
        fail("%s/ReadMe.txt is Unicode %s; this generator is pinned to %s"
             % (ucd, m.group(1) if m else "(unknown)", UNICODE_VERSION))
    for name in ("SpecialCasing", "EastAsianWidth", "DerivedAge"):
        first = read_lines(ucd, name + ".txt")[0]
        want = "# %s-%s.txt" % (name, UNICODE_VERSION)
        if first.strip() != want:
            fail("%s.txt starts with %r, expected %r" % (name, first, want))


def data_lines(lines):
    for line in lines:
        line = line.split("#", 1)[0].strip()
        if line:
            yield [f.strip() for f in line.split(";")]


def parse_range(text):
    a, _, b = text.partition("..")
    return int(a, 16), int(b, 16) if b else int(a, 16)


def load_unicode_data(ucd):
    """Per code point: general category, simple upper, simple lower."""
    cat, upper, lower = {}, {}, {}
    pending = None
    for f in data_lines(read_lines(ucd, "UnicodeData.txt")):
        cp = int(f[0], 16)
        if f[1].endswith(", First>"):
            pending = cp
            continue
        first = pending if f[1].endswith(", Last>") else cp
        pending = None
        for c in range(first, cp + 1):
            cat[c] = f[2]
        if f[12]:
            upper[cp] = int(f[12], 16)
        if f[13]:
            lower[cp] = int(f[13], 16)
    return cat, upper, lower


def load_special_casing(ucd, upper, lower):
    for f in data_lines(read_lines(ucd, "SpecialCasing.txt")):
        if len(f) > 4 and f[4]:
            continue  # conditional (language or context): not part of the one-to-one data
        cp = int(f[0], 16)
        low = int(f[1].split()[0], 16)
        up = int(f[3].split()[0], 16)
        if up != cp:
            upper[cp] = up
        if low != cp:
            lower[cp] = low


def load_ages(ucd):
    age = {}
    for f in data_lines(read_lines(ucd, "DerivedAge.txt")):
        a, b = parse_range(f[0])
        v = tuple(int(x) for x in f[1].split("."))
        for c in range(a, b + 1):
            age[c] = v
    return age


def build_case_maps(ucd):
    cat, upper, lower = load_unicode_data(ucd)
    load_special_casing(ucd, upper, lower)
    if CASE_REPERTOIRE is not None:
        age = load_ages(ucd)

        def old(c):
            return age.get(c, (99,)) <= CASE_REPERTOIRE

        upper = {c: m for c, m in upper.items() if old(c) and old(m)}
        lower = {c: m for c, m in lower.items() if old(c) and old(m)}
    upper = {c: m for c, m in upper.items() if m != c}
    lower = {c: m for c, m in lower.items() if m != c}

    def up(c):
        return upper.get(c, c)

    def low(c):
        return lower.get(c, c)

    # The fold key depends on upper() being idempotent; check, do not assume.
    for c in upper:
        if up(up(c)) != up(c):
            fail("upper mapping of U+%04X is not idempotent" % c)
    for c, m in list(upper.items()) + list(lower.items()):
        if (c <= 0xFFFF) != (m <= 0xFFFF):
            fail("U+%04X maps across the 16-bit boundary (U+%04X)" % (c, m))

    fold = {}
    for c in set(upper) | set(lower) | set(upper.values()) | set(lower.values()):
        u = up(c)
        r = low(u)
        key = r if up(r) == u else u
        if key != c:
            fold[c] = key
    for c, k in fold.items():
        if up(k) != up(c):
            fail("fold key of U+%04X leaves its upper-case class" % c)
    return upper, lower, fold


def emit_numbers(values, width=NUMBERS_PER_LINE, indent="    "):
    out = []
    for i in range(0, len(values), width):
        out.append(indent + ",".join(str(v) for v in values[i:i + width]) + ",")
    return "\n".join(out)


def write_case_tables(path, upper, lower, fold):
    limit = max(list(upper) + list(lower) + list(fold)) + 1
    size = 1 << BLOCK_SHIFT
    limit = (limit + size - 1) // size * size

    records = [(0, 0, 0)]
    record_index = {(0, 0, 0): 0}
    rec_of = []
    for c in range(limit):
        t = (upper.get(c, c) - c, lower.get(c, c) - c, fold.get(c, c) - c)
        if t not in record_index:
            record_index[t] = len(records)
            records.append(t)
        rec_of.append(record_index[t])
    if len(records) > 256:
        fail("%d case records do not fit 8-bit ids" % len(records))

    blocks, block_index, stage1 = [], {}, []
    for b in range(0, limit, size):
        blk = tuple(rec_of[b:b + size])
        if blk not in block_index:
            block_index[blk] = len(blocks)
            blocks.append(blk)
        stage1.append(block_index[blk])
    if len(blocks) > 256:
        fail("%d case blocks do not fit 8-bit ids" % len(blocks))

    def count(m, lo, hi):
        return sum(1 for c in m if lo <= c <= hi)

    lines = [
        "// Generated by tools/gen-casefold.py from the Unicode Character Database %s." % UNICODE_VERSION,
        "// Do not edit; run the generator instead.",
        "//",
        "// Case data of the characters assigned by Unicode %s:" % ".".join(map(str, CASE_REPERTOIRE))
        if CASE_REPERTOIRE else "// Case data of every assigned character:",
        "//   to-upper pairs: %d up to U+FFFF, %d above" % (count(upper, 0, 0xFFFF), count(upper, 0x10000, 0x10FFFF)),
        "//   to-lower pairs: %d up to U+FFFF, %d above" % (count(lower, 0, 0xFFFF), count(lower, 0x10000, 0x10FFFF)),
        "//   fold keys: %d" % len(fold),
        "//   %d records, %d blocks of %d code points, mapped range below U+%04X" % (len(records), len(blocks), size, limit),
        '#include "casefold.h"',
        "",
        "namespace vel::detail {",
        "",
        "static_assert(CASE_BLOCK_SHIFT == %d);" % BLOCK_SHIFT,
        "const uint32_t kCaseLimit = 0x%X;" % limit,
        "",
        "// {upper, lower, fold} deltas added to the code point.",
        "const CaseRecord kCaseRecords[%d] = {" % len(records),
    ]
    recs = ["{%d,%d,%d}" % r for r in records]
    for i in range(0, len(recs), 8):
        lines.append("    " + ",".join(recs[i:i + 8]) + ",")
    lines.append("};")
    lines.append("")
    lines.append("const uint8_t kCaseStage1[%d] = {" % len(stage1))
    lines.append(emit_numbers(stage1, 64))
    lines.append("};")
    lines.append("")
    lines.append("const uint8_t kCaseStage2[%d] = {" % (len(blocks) * size))
    for blk in blocks:
        lines.append(emit_numbers(list(blk), size))
    lines.append("};")
    lines.append("")
    lines.append("}  // namespace vel::detail")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def merge_ranges(points):
    ranges = []
    for c in sorted(points):
        if ranges and ranges[-1][1] + 1 == c:
            ranges[-1][1] = c
        else:
            ranges.append([c, c])
    return ranges


def build_width_sets(ucd):
    cat, _, _ = load_unicode_data(ucd)
    zero = {c for c, g in cat.items() if g in ("Mn", "Me", "Cf")}
    zero.discard(0x00AD)
    zero.update(range(0x1160, 0x1200))  # Hangul Jamo medial vowels and final consonants
    zero.update(range(0xD7B0, 0xD800))  # their extension block

    eaw = {}
    for a, b in ((0x3400, 0x4DBF), (0x4E00, 0x9FFF), (0xF900, 0xFAFF),
                 (0x20000, 0x2FFFD), (0x30000, 0x3FFFD)):
        for c in range(a, b + 1):
            eaw[c] = "W"
    for f in data_lines(read_lines(ucd, "EastAsianWidth.txt")):
        a, b = parse_range(f[0])
        for c in range(a, b + 1):
            eaw[c] = f[1]
    wide = {c for c, w in eaw.items() if w in ("W", "F")}
    ambiguous = {c for c, w in eaw.items() if w == "A"} - zero
    return merge_ranges(zero), merge_ranges(wide), merge_ranges(ambiguous)


def write_width_tables(path, zero, wide, ambiguous):
    lines = [
        "// Generated by tools/gen-casefold.py from the Unicode Character Database %s." % UNICODE_VERSION,
        "// Do not edit; run the generator instead.",
        "//",
        "// Display-width ranges: %d zero-width, %d wide, %d ambiguous." % (len(zero), len(wide), len(ambiguous)),
        '#include "cycle.h"',
        "",
        "namespace vel::detail {",
        "",
    ]
    for name, ranges in (("kZeroWidth", zero), ("kWide", wide), ("kAmbiguous", ambiguous)):
        lines.append("const CodeRange %s[%d] = {" % (name, len(ranges)))
        items = ["{0x%X,0x%X}" % (a, b) for a, b in ranges]
        for i in range(0, len(items), 12):
            lines.append("    " + ",".join(items[i:i + 12]) + ",")
        lines.append("};")
        lines.append("const uint32_t %sCount = %d;" % (name, len(ranges)))
        lines.append("")
    lines.append("}  // namespace vel::detail")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--ucd", default="/usr/share/unicode")
    ap.add_argument("--out", default=os.path.dirname(here))
    args = ap.parse_args()
    check_version(args.ucd)
    upper, lower, fold = build_case_maps(args.ucd)
    write_case_tables(os.path.join(args.out, "runtime", "casefold_tables.cpp"), upper, lower, fold)
    write_width_tables(os.path.join(args.out, "runtime", "width_tables.cpp"), *build_width_sets(args.ucd))


if __name__ == "__main__":
    main()
