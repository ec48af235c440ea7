#!/usr/bin/env python3
"""Writes runtime/io/lexer_tables.cpp: the lexer's byte classes and flags,
its 65-state transition table, the guessed type of every state and the
per-class tables.

Each state is described below by a default target and overrides by class
sets, so that the grammar reads as rules; the output is a literal table with
one commented row per state. Run from the repository root:

    python3 tools/gen-lexer-tables.py > runtime/io/lexer_tables.cpp
"""

import sys

# --- byte classes ---------------------------------------------------------------

(BL, LF, D19, D0, LBK, RBK, LPR, RPR, LBR, RBR, DQ, HASH, QT, COL, X, T, H, EL, EU, HL, HU, SL, BSL, LT, GT,
 EQ, PCT, COMMA, SEMI, AT, DOT, DOLLAR, PLUS, MINUS, CARET, CTL, CONT, WORD, BAD, EOF) = range(40)

CLASS_NAMES = [
    "blank", "LF", "1-9", "0", "[", "]", "(", ")", "{", "}", "\"", "#", "'", ":", "Xx", "T", "h", "e", "E",
    "abcdf", "ABCDF", "/", "\\", "<", ">", "=", "%", ",", ";", "@", ".", "$", "+", "-", "^", "ctrl",
    "cont", "word", "bad", "end",
]


def byte_class(b):
    c = chr(b)
    if b in (9, 13, 32): return BL
    if b == 10: return LF
    if b == 0: return EOF
    if b < 32: return CTL
    if c in "123456789": return D19
    if c == "0": return D0
    simple = {"[": LBK, "]": RBK, "(": LPR, ")": RPR, "{": LBR, "}": RBR, '"': DQ, "#": HASH, "'": QT,
              ":": COL, "X": X, "x": X, "T": T, "h": H, "e": EL, "E": EU, "/": SL, "\\": BSL, "<": LT,
              ">": GT, "=": EQ, "%": PCT, ",": COMMA, ";": SEMI, "@": AT, ".": DOT, "$": DOLLAR, "+": PLUS,
              "-": MINUS, "^": CARET}
    if c in simple: return simple[c]
    if c in "abcdf": return HL
    if c in "ABCDF": return HU
    if b == 0x7F or 0x80 <= b <= 0xBF: return CONT
    if b in (0xC0, 0xC1) or b >= 0xF8: return BAD
    return WORD  # other printable ASCII word characters and UTF-8 lead bytes C2-F7


FLAG_BITS = {"%": 0x40000, ">": 0x80000, "<": 0x100000, "+": 0x200000, "-": 0x200000, "#": 0x800000,
             "E": 0x1000000, "e": 0x1000000, "'": 0x2000000, ":": 0x4000000, ",": 0x8000000,
             ".": 0x10000000, "^": 0x20000000}


def byte_flags(b):
    if b == 0: return 0x400000
    if 0xC2 <= b <= 0xEF: return 0x40000000
    if 0xF0 <= b <= 0xF7: return 0x80000000
    return FLAG_BITS.get(chr(b), 0) if b < 128 else 0


# --- class sets -------------------------------------------------------------------

ALL = set(range(40))
DIG = {D19, D0}
LETTERS = {X, T, H, EL, EU, HL, HU, WORD}
SIGN = {PLUS, MINUS}
WS = {BL, LF, CTL}
DLM = WS | {LBK, RBK, LPR, RPR, LBR, RBR, DQ, SEMI, EOF}  # ends almost every token
NEND = DLM | {LT, COMMA}                                   # ends numbers
WEND = DLM | {HASH, BSL, LT}                               # ends words
WORDCH = DIG | LETTERS | {QT, GT, EQ, DOT, PLUS, MINUS, CARET, CONT}  # continues a word

# --- final states (token kinds) --------------------------------------------------------

K = {name: 66 + i for i, name in enumerate(
    "END ERROR BLOCK_OPEN BLOCK_CLOSE PAREN_OPEN PAREN_CLOSE BRACE_OPEN BRACE_CLOSE MAP_OPEN PATH_START "
    "CONSTRUCT COMMENT COMMA STRING WORD ISSUE INTEGER REFINEMENT CHAR FILE BINARY PERCENT FLOAT NAN_INF "
    "TUPLE DATE PAIR POINT TIME MONEY TAG URL EMAIL HEX RAW_STRING REF".split())}
assert K["REF"] == 101
ERR = K["ERROR"]

# --- states: (role, guessed type, default target, [(classes, target), ...]) ---------------
# Later overrides win over earlier ones.

S = {}


def state(n, role, guess, default, *rules):
    S[n] = (role, guess, default, rules)


state(0, "start and white space", None, ERR,
      (WS, 0), (DIG, 23), ({LBK}, K["BLOCK_OPEN"]), ({RBK}, K["BLOCK_CLOSE"]), ({LPR}, K["PAREN_OPEN"]),
      ({RPR}, K["PAREN_CLOSE"]), ({LBR}, K["BRACE_OPEN"]), ({RBR, BSL, CONT, BAD}, ERR), ({DQ}, 2),
      ({HASH}, 16), ({QT, COL}, 51), ({X, T, H, EL, HL, GT, CARET, WORD}, 52), ({EU, HU}, 40), ({SL}, 13),
      ({LT}, 43), ({EQ}, 58), ({PCT}, 6), ({COMMA}, K["COMMA"]), ({SEMI}, 1), ({AT}, 57), ({DOT}, 49),
      ({DOLLAR}, 36), (SIGN, 47), ({EOF}, K["END"]))
state(1, "comment", None, 1, ({LF, EOF}, K["COMMENT"]))
state(2, "quoted string", "string!", 2, ({DQ}, K["STRING"]), ({CARET}, 3), ({LF, EOF}, ERR))
state(3, "quoted string after ^", "string!", 2, ({LF, EOF}, ERR))
state(4, "braced string", "string!", 4, ({LBR}, K["BRACE_OPEN"]), ({RBR}, K["BRACE_CLOSE"]), ({CARET}, 5),
      ({EOF}, ERR))
state(5, "braced string after ^", "string!", 4, ({EOF}, ERR))
state(6, "after %", "file!", 7, (DLM, K["WORD"]), ({DQ}, 8), ({PCT}, 48), ({LBR}, 10), ({LT}, K["WORD"]),
      ({COL, AT, BAD}, ERR))
state(7, "file", "file!", 7, (DLM | {COL, AT, LT}, K["FILE"]), ({DQ, BAD}, ERR))
state(8, "quoted file", "file!", 8, ({DQ}, K["FILE"]), ({CARET}, 9), ({LF, EOF}, ERR))
state(9, "quoted file after ^", "file!", 8, ({LF, EOF}, ERR))
state(10, "raw string body", "string!", 10, ({RBR}, 11), ({EOF}, ERR))
state(11, "raw string after }", "string!", 10, ({PCT}, 12), ({RBR}, 11), ({EOF}, ERR))
state(12, "raw string after } and %", "string!", K["RAW_STRING"], ({PCT}, 12), ({RBR}, 11))
state(13, "after /", "word!", ERR, (WEND, K["WORD"]), ({SL}, 15), ({COL}, 53), (WORDCH, 14))
state(14, "refinement", "refinement!", ERR, (WORDCH, 14), (WEND | {SL}, K["REFINEMENT"]))
state(15, "after //", "word!", ERR, (WORDCH | {SL}, 15), (WEND, K["WORD"]), ({COL}, 53))
state(16, "after #", "issue!", 22, (DLM | {COL, LT, GT, COMMA, SL, BSL, BAD}, ERR), ({LBK}, K["MAP_OPEN"]),
      ({LPR}, 21), ({LBR}, 17), ({DQ}, 19))
state(17, "binary", "binary!", 17, ({RBR}, K["BINARY"]), ({SEMI}, 18), ({EOF}, ERR))
state(18, "comment in a binary", "binary!", 18, ({LF}, 17), ({EOF}, ERR))
state(19, "character", "char!", 19, ({DQ}, K["CHAR"]), ({CARET}, 20), ({EOF}, ERR))
state(20, "character after ^", "char!", 19, ({EOF}, ERR))
state(21, "construction", None, 21, ({RPR}, K["CONSTRUCT"]), ({LF, EOF}, ERR))
state(22, "issue", "issue!", 22, (NEND, K["ISSUE"]), ({COL, SL, BSL, BAD}, ERR))
state(23, "integer", "integer!", ERR, (NEND, K["INTEGER"]), (DIG | {QT}, 23), ({HASH}, 16), ({COL}, 31),
      ({X}, 33), ({T, SL, MINUS}, 30), ({H}, 42), ({EL}, 26), ({EU}, 27), ({HU}, 39), ({PCT}, K["PERCENT"]),
      ({AT}, 56), ({DOT}, 24))
state(24, "decimal", "float!", ERR, (DIG | {QT}, 24), ({DOT}, 29), ({EL, EU}, 26), ({HASH}, 28),
      ({PCT}, K["PERCENT"]), (NEND, K["FLOAT"]), ({X}, 33))
state(25, "exponent digits", "float!", ERR, (DIG, 25), (NEND, K["FLOAT"]), ({PCT}, K["PERCENT"]), ({H}, 42),
      ({HU, EU}, 39))
state(26, "after e", "float!", ERR, (DIG | SIGN, 25), (NEND, K["FLOAT"]))
state(27, "after E (exponent or hex)", "float!", ERR, (DIG | SIGN, 25), ({HU, EU}, 39), ({H}, 42),
      (NEND, K["FLOAT"]))
state(28, "after 1.#", "float!", ERR, (LETTERS, 28), (NEND, K["NAN_INF"]))
state(29, "tuple", "tuple!", ERR, (DIG | {DOT}, 29), (NEND, K["TUPLE"]))
state(30, "date", "date!", ERR, (DIG | LETTERS | {MINUS, PLUS, SL, COL, DOT}, 30), (NEND, K["DATE"]))
state(31, "time", "time!", ERR, (DIG | {COL}, 31), ({DOT}, 32), (NEND, K["TIME"]))
state(32, "time fraction", "time!", ERR, (DIG, 32), (NEND, K["TIME"]))
state(33, "pair after x", "pair!", ERR, (DIG | SIGN, 34))
state(34, "pair y", "pair!", ERR, (DIG | {QT, DOT}, 34), (NEND, K["PAIR"]))
state(35, "point literal", "point2D!", ERR,
      ({BL, HASH, EL, EU, HL, HU, WORD, COMMA, DOT, PLUS, MINUS} | DIG, 35), ({RPR}, K["POINT"]))
state(36, "after $", "money!", ERR, (DIG, 37))
state(37, "money amount", "money!", ERR, (DIG | {QT}, 37), ({DOT}, 38), (NEND | {SL}, K["MONEY"]))
state(38, "money fraction", "money!", ERR, (DIG, 38), (NEND | {SL}, K["MONEY"]))
state(39, "hex digits after a digit", "integer!", ERR, (DIG | {HU, EU}, 39), ({H}, 42))
state(40, "word of A-F", "word!", ERR, (WORDCH, 52), (DIG | {HU, EU}, 40), ({H}, 41), (WEND | {COMMA}, K["WORD"]),
      ({COL}, 53), ({SL}, K["PATH_START"]), ({AT}, 56), ({DOLLAR}, 36))
state(41, "word of A-F and h", "integer!", ERR, (WORDCH, 52), (WEND, K["HEX"]), ({COL}, 53),
      ({SL}, K["PATH_START"]), ({AT}, 56), ({DOLLAR}, 36))
state(42, "digits and h", "integer!", ERR, (NEND, K["HEX"]))
state(43, "after <", "word!", 45, (DLM, K["WORD"]), ({LT, GT, EQ, MINUS}, 52), ({COL}, 53), ({BAD}, ERR))
state(44, "tag, single-quoted part", "tag!", 44, ({QT}, 45), ({EOF}, ERR))
state(45, "tag", "tag!", 45, ({GT}, K["TAG"]), ({DQ}, 46), ({QT}, 44), ({EOF, LT, BAD}, ERR))
state(46, "tag, double-quoted part", "tag!", 46, ({DQ}, 45), ({EOF}, ERR))
state(47, "after a sign", "word!", ERR, (WORDCH, 52), (DIG, 23), ({DOT}, 50), ({DOLLAR}, 36),
      (WEND, K["WORD"]), ({COL}, 53), ({SL}, K["PATH_START"]), ({AT}, 56))
state(48, "raw string opener %%", "string!", ERR, ({PCT}, 48), ({LBR}, 10))
state(49, "after a leading .", "word!", ERR, (WORDCH, 52), (DIG, 24), (WEND, K["WORD"]), ({COL}, 53),
      ({SL}, K["PATH_START"]))
state(50, "after a sign and .", "word!", ERR, (WORDCH, 52), (DIG, 24), (WEND, K["WORD"]), ({COL}, 53))
state(51, "after a leading ' or :", "lit-word!", ERR, (LETTERS | {GT, CARET, CONT, PLUS, MINUS, DOT, EQ}, 52),
      ({SL}, 13), ({PCT}, 54), ({LT}, 43))
# A comma ends a word so that "(x, y)" reaches the comma; the word loader
# refuses a comma followed by more text ("x,y").
state(52, "word", "word!", ERR, (WEND | {COMMA}, K["WORD"]), (WORDCH, 52), ({COL}, 53),
      ({SL}, K["PATH_START"]), ({AT}, 56), ({DOLLAR}, 36))
state(53, "word and :", "set-word!", 55, (DLM | {LT, BSL, COMMA}, K["WORD"]), ({GT, CARET, BAD}, ERR))
state(54, "% after ' or :", "lit-word!", ERR, (WEND, K["WORD"]))
state(55, "url", "url!", 55, (DLM | {BSL, LT}, K["URL"]), ({GT, CARET, BAD}, ERR))
state(56, "email", "email!", 56, (DLM | {LT}, K["EMAIL"]),
      ({QT, COL, GT, EQ, COMMA, AT, DOLLAR, CARET, HASH, BSL, BAD}, ERR))
state(57, "reference", "ref!", 57, (DLM | {LT}, K["REF"]),
      ({HASH, QT, BSL, GT, EQ, COMMA, AT, DOLLAR, CARET, BAD}, ERR))
state(58, "after =", "word!", ERR, (WORDCH - DIG, 52), (WEND, K["WORD"]), ({EQ, GT, LT}, 52), ({COL}, 53))
state(59, "path item", "path!", ERR, (DIG, 60), (LETTERS | {GT, EQ, CARET, CONT, DOT, QT, COL}, 61),
      (SIGN, 63), ({HASH}, 64), ({DQ}, 2), ({LPR}, K["PAREN_OPEN"]), ({LT}, 43), ({DOLLAR}, 36), ({AT}, 57))
state(60, "path integer", "path!", ERR, (DIG | {QT}, 60), (DLM | {SL, BSL, COL, LT}, K["INTEGER"]))
state(61, "path word", "path!", ERR, (WORDCH, 61), (WEND | {SL, COL}, K["WORD"]))
state(62, "path issue", "path!", 62, (DLM | {SL, BSL, LT, COMMA, COL}, K["ISSUE"]), ({BAD}, ERR))
state(63, "path item after a sign", "path!", ERR, (WORDCH, 61), (DIG, 60), (WEND | {SL, COL}, K["WORD"]),
      ({DOLLAR}, 36))
state(64, "path item after #", "path!", 62, ({DQ}, 19),
      (DLM - {DQ} | {SL, BSL, LT, GT, COL, COMMA, BAD}, ERR))

# --- output ---------------------------------------------------------------------------------

TYPE_IDS = {"string!": "TYPE_STRING", "file!": "TYPE_FILE", "word!": "TYPE_WORD",
            "refinement!": "TYPE_REFINEMENT", "issue!": "TYPE_ISSUE", "binary!": "TYPE_BINARY",
            "char!": "TYPE_CHAR", "integer!": "TYPE_INTEGER", "float!": "TYPE_FLOAT", "tuple!": "TYPE_TUPLE",
            "date!": "TYPE_DATE", "time!": "TYPE_TIME", "pair!": "TYPE_PAIR", "point2D!": "TYPE_POINT2D",
            "money!": "TYPE_MONEY", "tag!": "TYPE_TAG", "lit-word!": "TYPE_LIT_WORD",
            "set-word!": "TYPE_SET_WORD", "url!": "TYPE_URL", "email!": "TYPE_EMAIL", "ref!": "TYPE_REF",
            "path!": "TYPE_PATH", None: "TYPE_NONE_ID"}


def row(n):
    role, guess, default, rules = S[n]
    r = [default] * 40
    for classes, target in rules:
        for c in classes:
            r[c] = target
    for c, t in enumerate(r):
        assert 0 <= t <= 101 and t != 65, (n, c, t)
    # The end of input (and NUL) must finish every token: the scanner never
    # reads past the terminating NUL.
    assert r[EOF] >= 66, (n, "loops on end of input")
    return r


def main():
    assert sorted(S) == list(range(65)), "every working state 0-64 is described"
    out = sys.stdout
    w = out.write
    w("// Generated by tools/gen-lexer-tables.py: edit the generator, not this file.\n")
    w("//\n// The lexer's byte classes with their flags, the transition table of its\n")
    w("// 65 working states (targets of 66 and above are token kinds), the guessed\n")
    w("// type of every state and the per-class tables.\n")
    w('#include "io/lexer_internal.h"\n\nnamespace vel::lexer {\n\n')

    w("// Class in the low byte, flags in bits 18-31.\nconst uint32_t kByteClass[256] = {\n")
    for base in range(0, 256, 8):
        vals = ", ".join("0x%08X" % (byte_flags(b) | byte_class(b)) for b in range(base, base + 8))
        w("    %s,  // %02X-%02X\n" % (vals, base, base + 7))
    w("};\n\n")

    w("// Columns: " + " ".join("%d:%s" % (i, nm) for i, nm in enumerate(CLASS_NAMES)) + "\n")
    w("const uint8_t kTransitions[STATE_COUNT][CLASS_COUNT] = {\n")
    for n in range(65):
        vals = ",".join("%3d" % t for t in row(n))
        w("    /* %2d %-26s */ {%s},\n" % (n, S[n][0], vals))
    w("};\n\n")

    w("// The type a token ending in each state would have (prescan, error reports);\n")
    w("// final states report their kind's type.\n")
    w("const uint8_t kGuessedType[KIND_LAST + 1] = {\n")
    for n in range(65):
        w("    %s,  // %d %s\n" % (TYPE_IDS[S[n][1]], n, S[n][0]))
    w("    TYPE_NONE_ID,  // 65 unused\n")
    kind_types = ["TYPE_NONE_ID", "TYPE_ERROR"] + ["TYPE_NONE_ID"] * 5 + ["TYPE_STRING"] + \
        ["TYPE_NONE_ID"] * 5 + ["TYPE_STRING", "TYPE_WORD", "TYPE_ISSUE", "TYPE_INTEGER", "TYPE_REFINEMENT",
                                "TYPE_CHAR", "TYPE_FILE", "TYPE_BINARY", "TYPE_PERCENT", "TYPE_FLOAT",
                                "TYPE_FLOAT", "TYPE_TUPLE", "TYPE_DATE", "TYPE_PAIR", "TYPE_POINT2D",
                                "TYPE_TIME", "TYPE_MONEY", "TYPE_TAG", "TYPE_URL", "TYPE_EMAIL",
                                "TYPE_INTEGER", "TYPE_STRING", "TYPE_REF"]
    assert len(kind_types) == 36
    names = {v: k for k, v in K.items()}
    for i, t in enumerate(kind_types):
        w("    %s,  // %d %s\n" % (t, 66 + i, names[66 + i].lower()))
    w("};\n\n")

    ends = {BL, LF, LBK, RBK, LPR, RPR, LBR, DQ, COL, LT, SEMI, WORD, BAD, EOF}
    w("// Classes that end a path after an item.\nconst bool kPathEnd[CLASS_COUNT] = {")
    w(", ".join("true" if c in ends else "false" for c in range(40)))
    w("};\n\n}  // namespace vel::lexer\n")


if __name__ == "__main__":
    main()
