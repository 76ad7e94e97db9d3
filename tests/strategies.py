"""Hypothesis strategies for signatures and sequent texts.

Names come from a small pool so that declarations collide, sequents meet
both declared and undeclared names, and the awkward characters of the
syntax (white space that is or is not trimmed, parentheses inside names,
"?" that means nothing in input) turn up often.
"""
from __future__ import annotations

import functools

from hypothesis import strategies as st

# Function names, each chosen to stress one rule of the parser or renderer.
FUNCTION_NAMES = [
    "f", "g", "c", "F",
    "x",          # same text as a variable name used below
    "",           # empty name: reachable as "()" head or an empty token
    "f g",        # inner space: usable as a bare constant, never as a head
    "?x", "?0",   # "?" has no meaning in input
    "é", "ƒ",
    "\u0915",     # three UTF-8 bytes led by 0xE0
    "\x00",
    "\t",         # head "\t" is reachable, "(\t x)" splits only at U+0020
    "f\tx",       # a tab inside parentheses is part of the token
    "\x1c",       # not White_Space, so never trimmed
    "\u00a0",
    "a(b", "f(x)", "(x)",
    "a=b", "a,b",  # declarable, but splitting means no term can name them
]

SORT_NAMES = ["A", "B", "a", "", "A B", "é"]

# Variable-ish names; "x " and "\u3000x" trim to the same variable as "x".
VARIABLE_NAMES = ["x", "y", "z", "X", "?0", "?1", "x y", "é", "\u0e01", "\x1c", "x\x00"]

# Things that may surround a term: trimmed White_Space and look-alikes that
# are not trimmed (U+001C, U+200B).
PADDING = ["", "", "", " ", "  ", "\t", "\n", "\u00a0", "\u2028", "\u3000", "\x85", "\x1c", "\u200b"]

SOUP_ALPHABET = [
    "(", ")", " ", "  ", "\t", "\u00a0", "\u2028", "\u001c", "=", ">", "=>", ",",
    "?", "x", "y", "f", "g", "c", "", "\x00", "é", "==>", ", ", " = ", " => ",
]

function_names = st.sampled_from(FUNCTION_NAMES)
sort_names = st.sampled_from(SORT_NAMES)

declarations = st.tuples(
    function_names,
    st.lists(sort_names, max_size=3),
    sort_names,
)

signatures = st.lists(declarations, max_size=6)

padding = st.sampled_from(PADDING)

# Hand-picked shapes that random generation reaches only rarely.
ODD_SEQUENTS = [
    "=>", " => ", "x = y =>", "=> x = y", "x = y, => y = x", "x = y",
    "x => y", "x = y ==> y = x", "a = b => c = d => e = f", "()=x=>x=x",
    "(f x = x => x = x", "(f x) y = x => x = x", "(f x) (y) = x => x = x",
    "((f x)) = x => x = x", ")( = x => x = x", "(f x)ab(f y) = x => x = x",
    "( f) = x => x = x", "(f  x ) = x => x = x", "(\t x) = x => x = x",
    "(f (g x) c) = x => x = x", "x = ?0 => ?0 = x",
]


def usable_heads(declared):
    """Declared names that a head token can actually spell."""
    return sorted(n for n in set(declared) if not any(ch in n for ch in " ,=("))


separators = st.sampled_from([" ", " ", " ", "  "])
APPLICATION_ODDS = st.integers(0, 2)
ARITIES = st.integers(0, 3)
EQUATION_COUNTS = st.integers(1, 2)


@st.composite
def _structured(draw, heads, leaves):
    """side "=>" side, terms built from the ``heads`` and ``leaves`` strategies.

    Written out by hand rather than with st.recursive, which spends most of
    its time retrying oversized trees.
    """
    def term(depth):
        if heads is not None and depth < 3 and draw(APPLICATION_ODDS) == 0:
            head = draw(heads)
            separator = draw(separators)
            arguments = [term(depth + 1) for _ in range(draw(ARITIES))]
            return "(" + head + "".join(separator + a for a in arguments) + ")"
        return draw(leaves)

    def padded():
        return draw(padding) + term(0) + draw(padding)

    def side():
        return ",".join(padded() + "=" + padded() for _ in range(draw(EQUATION_COUNTS)))

    return side() + "=>" + side()


@st.composite
def _mutated(draw, texts):
    """A text with a few characters deleted, inserted or doubled."""
    text = draw(texts)
    for _ in range(draw(st.integers(1, 3))):
        at = draw(st.integers(0, len(text)))
        kind = draw(MUTATIONS)
        if kind == "delete":
            text = text[:at] + text[at + 1:]
        elif kind == "insert":
            text = text[:at] + draw(soup_pieces) + text[at:]
        else:
            text = text[:at] + text[at:at + 2] + text[at:]
    return text


soup_pieces = st.sampled_from(SOUP_ALPHABET)
soups = st.lists(soup_pieces, max_size=20).map("".join)
MUTATIONS = st.sampled_from(["delete", "insert", "double"])
odd_sequents = st.sampled_from(ODD_SEQUENTS)


@functools.lru_cache(maxsize=None)
def _sequent_texts(known):
    # Clean: every head declared, leaves are variables or declared constants.
    clean = _structured(
        st.sampled_from(known) if known else None,
        st.sampled_from(VARIABLE_NAMES * 2 + list(known)),
    )
    # Noisy: any head, any leaf (a leaf with "=" or "," breaks the splitting,
    # one starting with "(" becomes an application).
    noisy = _structured(
        st.sampled_from(list(known) * 3 + FUNCTION_NAMES + ["h"]),
        st.sampled_from(VARIABLE_NAMES + FUNCTION_NAMES),
    )
    return st.one_of(
        clean, clean, clean, clean, clean, noisy, noisy,
        _mutated(clean), _mutated(clean), soups, odd_sequents,
    )


def sequent_texts(declared=()):
    """Sequent texts, a good share of them accepted given the ``declared`` names."""
    return _sequent_texts(tuple(usable_heads(declared)))


@st.composite
def programs(draw):
    """A list of calls: declarations up front, then sequents mixed with late
    declarations and replays of lines that the environment itself printed."""
    signature = draw(signatures)
    declared = [name for name, _, _ in signature]
    calls = [("function",) + d for d in signature]
    sequent = sequent_texts(declared).map(lambda s: ("sequent", s))
    late = st.one_of(
        sequent, sequent, sequent,
        declarations.map(lambda d: ("function",) + d),
        st.integers(0, 7).map(lambda i: ("replay", i)),
    )
    return calls + draw(st.lists(late, min_size=1, max_size=6))
