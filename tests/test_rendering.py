"""The text that str() of an Environment returns and the `sequents` attribute:
exact layout, order, object identity and reference counts of the stored terms."""

import gc
import os
import subprocess
import sys

import pytest

from _kestrin import Environment
from conftest import PYPY, cpython_only


def example_env():
    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_function("f", ["A"], "A")
    env.declare_sequent("x = y => y = x")
    env.declare_sequent("(f x) = c, y = c => (f y) = x")
    return env


def test_worked_example():
    env = example_env()
    assert str(env) == "?0 = ?1 => ?1 = ?0\n(f ?2) = c, ?3 = c => (f ?3) = ?2\n"
    assert env.sorts == ["A"]
    assert env.functions == [("c", [], "A"), ("f", ["A"], "A")]
    assert env.sequents == [
        ([(("?0", []), ("?1", []))], [(("?1", []), ("?0", []))]),
        (
            [(("f", [("?2", [])]), ("c", [])), (("?3", []), ("c", []))],
            [(("f", [("?3", [])]), ("?2", []))],
        ),
    ]


def test_single_sequent_example_and_value_types():
    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_function("f", ["A"], "A")
    env.declare_sequent("(f x) = c, y = c => (f y) = x")
    assert str(env) == "(f ?0) = c, ?1 = c => (f ?1) = ?0\n"
    seqs = env.sequents
    assert type(seqs) is list and len(seqs) == 1
    entry = seqs[0]
    assert type(entry) is tuple and len(entry) == 2
    premises, conclusions = entry
    assert type(premises) is list and type(conclusions) is list
    pair = premises[0]
    assert type(pair) is tuple and len(pair) == 2
    term = pair[0]
    assert term == ("f", [("?0", [])])
    assert type(term) is tuple and type(term[0]) is str and type(term[1]) is list



def test_ascii_names_are_compact_ascii_strs():
    # The interpreter's own str for an ASCII text knows it is ASCII (isascii() reads that flag,
    # and the object is no larger than a str made of the same text afresh).
    env = Environment()
    env.declare_function("f", ["Sort"], "Sort")
    env.declare_function("a\u00e9", [], "Sort")
    env.declare_sequent("(f x) = a\u00e9, (f longer_variable) = y => y = (f (f x))")
    found = list(env.sorts) + [part for entry in env.functions for part in (entry[0], *entry[1])]
    stack = list(env.sequents)
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            found.append(item)
        else:
            stack.extend(item)
    names = {name for name in found if name != "a\u00e9"}
    assert names == {"Sort", "f", "?0", "?1", "?2"}
    for name in found:
        fresh = name.encode().decode()
        assert name.isascii() == fresh.isascii(), name
        if not PYPY:  # where sys.getsizeof answers
            assert sys.getsizeof(name) == sys.getsizeof(fresh), name


RENDERED = [
    # a constant prints bare, however it was written
    (["c"], "(c) = x => x = c", "c = ?0 => ?0 = c"),
    # nesting wraps every inner application in its own parentheses
    (["f"], "(f (f (f x))) = x => x = (f x)", "(f (f (f ?0))) = ?0 => ?0 = (f ?0)"),
    # mixed arguments, constant inside an application
    (["c", "f", "g"], "(g (f y) c) = y => y = y", "(g (f ?0) c) = ?0 => ?0 = ?0"),
    # ", " between equations, " => " between sides, on both sides
    ([], "a = b,b = c ,c=d=>a=d,  d = a", "?0 = ?1, ?1 = ?2, ?2 = ?3 => ?0 = ?3, ?3 = ?0"),
    # stored arguments print whatever arity was declared
    (["f"], "(f x y) = x => x = x", "(f ?0 ?1) = ?0 => ?0 = ?0"),
    # the empty function name prints as nothing at all
    ([""], "() = x => x = ( x)", " = ?0 => ?0 = ( ?0)"),
    # names are copied byte for byte, non-ASCII and odd characters included
    (["\u00e9t\u00e9", "h(", "\U0001d49c"], "(\u00e9t\u00e9 x \U0001d49c) = h( => x = h(",
     "(\u00e9t\u00e9 ?0 \U0001d49c) = h( => ?0 = h("),
]


@pytest.mark.parametrize("funcs, text, line", RENDERED)
def test_rendered_line(funcs, text, line):
    env = Environment()
    for name in funcs:
        env.declare_function(name, [], "A")
    env.declare_sequent(text)
    assert str(env) == line + "\n"


# Names at the end of ASCII, where the stored text stops being one byte a character (`sorts`
# and `functions` are checked with these in test_signature.py), and at the ends of the range of
# the UTF-8 lead byte 0xE0.
@pytest.mark.parametrize(
    "name",
    ["\x7f", "\x80", "a\x80b", "\xff", "\u0100", "\u07ff", "\u0800", "\u0fff", "\u1000",
     "\uffff", "\U00010000", "\x7f\x80\xff\u0100\uffff\U00010000a"],
)
def test_names_round_trip_exactly(name):
    env = Environment()
    env.declare_function(name, [name], name)
    env.declare_function(name + "c", [], name)
    env.declare_sequent("(%s x %sc) = %sc => x = (%s x)" % (name, name, name, name))
    app = (name, [("?0", []), (name + "c", [])])
    assert env.sequents == [([(app, (name + "c", []))], [(("?0", []), (name, [("?0", [])]))])]
    assert str(env) == "(%s ?0 %sc) = %sc => ?0 = (%s ?0)\n" % (name, name, name, name)


def test_empty_and_declaration_only_environments_print_nothing():
    env = Environment()
    assert str(env) == ""
    env.declare_function("f", ["A", "B"], "C")
    assert str(env) == ""
    assert env.sequents == []


def test_lines_append_in_order_and_refusals_change_nothing():
    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_sequent("x = c => c = x")
    first = str(env)
    assert first == "?0 = c => c = ?0\n"
    assert str(env) == first  # deterministic, no change on reading
    before_seqs = env.sequents
    for bad in ["x = y", "(g x) = x => x = x", "(", "a => b"]:
        with pytest.raises(ValueError):
            env.declare_sequent(bad)
    assert str(env) == first
    assert env.sequents == before_seqs
    env.declare_sequent("c = c => c = c")
    env.declare_sequent("x = c => c = x")  # same text again: new numbers
    text = str(env)
    assert text.startswith(first)
    assert text.split("\n") == ["?0 = c => c = ?0", "c = c => c = c", "?5 = c => c = ?5", ""]


def _child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def test_output_is_identical_in_every_process():
    # lookups are hashed with per-map random keys; no output may follow that order
    code = (
        "from _kestrin import Environment\n"
        "e = Environment()\n"
        "for i in range(200): e.declare_function('f%d' % i, ['S%d' % (i % 7)], 'R%d' % (i % 5))\n"
        "e.declare_sequent(', '.join('(f%d x%d) = f%d' % (i, i, 199 - i) for i in range(200)) + ' => x = x')\n"
        "print(repr((str(e), e.sorts, e.functions, e.sequents)))\n"
    )
    outs = {
        subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                       env=_child_env(), timeout=60, check=True).stdout
        for _ in range(2)
    }
    assert len(outs) == 1
    result = eval(outs.pop())
    assert result[0].startswith("(f0 ?0) = f199, (f1 ?1) = f198, ")
    assert result[1] == ["R0", "S0", "R1", "S1", "R2", "S2", "R3", "S3", "R4", "S4", "S5", "S6"]
    assert [f[0] for f in result[2]] == ["f%d" % i for i in range(200)]


def test_term_identity_and_fresh_containers():
    env = example_env()
    a, b = env.sequents, env.sequents
    assert a == b and a is not b
    assert a[1] is not b[1]  # (premises, conclusions)
    assert a[1][0] is not b[1][0]  # premise list
    assert a[1][0][0] is not b[1][0][0]  # (lhs, rhs) pair
    assert a[1][0][0][0] is b[1][0][0][0]  # the stored term itself
    assert a[1][1][0][1] is b[1][1][0][1]


def test_each_occurrence_is_its_own_object():
    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_function("f", [], "A")
    env.declare_sequent("x = x, c = c => (f x) = (f x)")
    (p1, p2), ((l, r),) = env.sequents[0]
    for left, right in [p1, p2, (l, r), (l[1][0], r[1][0])]:
        assert left == right
        assert left is not right
        assert left[1] is not right[1]
    assert p1[0] is not l[1][0]  # x in a premise and in a conclusion


def test_mutating_a_term_shows_in_sequents_but_not_in_str():
    env = example_env()
    text = str(env)
    term = env.sequents[1][0][0][0]
    term[1].append("junk")
    term[1][0][1].append(42)
    assert env.sequents[1][0][0][0] == ("f", [("?2", [42]), "junk"])
    assert str(env) == text
    # later sequents are still checked against the function table, not the objects
    env.declare_sequent("(f c) = c => c = c")
    assert str(env) == text + "(f c) = c => c = c\n"


@cpython_only("sys.getrefcount")
def test_reference_counts_of_stored_terms():
    env = example_env()
    top = env.sequents[1][0][0][0]  # held by the env and by `top`
    inner = top[1][0]  # held by top's argument list and by `inner`
    base_top, base_inner = sys.getrefcount(top), sys.getrefcount(inner)
    for _ in range(100):
        env.sequents
        str(env)
    assert sys.getrefcount(top) == base_top
    assert sys.getrefcount(inner) == base_inner
    held = env.sequents
    assert sys.getrefcount(top) == base_top + 1  # the one pair tuple in `held`
    del held
    assert sys.getrefcount(top) == base_top
    del env
    gc.collect()
    # the env's reference is gone; ours keeps the term alive and intact
    assert sys.getrefcount(top) == base_top - 1
    assert top == ("f", [("?2", [])])
    assert sys.getrefcount(inner) == base_inner


def test_released_env_leaves_obtained_terms_valid():
    env = example_env()
    seqs = env.sequents
    del env
    gc.collect()
    assert seqs[1][1] == [(("f", [("?3", [])]), ("?2", []))]
    assert str(seqs[0][0][0][0]) == "('?0', [])"
