"""The native Environment against the pure-Python model, call by call."""
from __future__ import annotations

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import model
import strategies

_kestrin = pytest.importorskip("_kestrin")

DIFFERENTIAL = settings(
    max_examples=200, deadline=None, report_multiple_bugs=False,
    suppress_health_check=[HealthCheck.too_slow],
)


def outcome(call, *args):
    """None on success, else the exception's exact type and arguments."""
    try:
        call(*args)
    except Exception as error:  # the comparison is the point, whatever it is
        return type(error), error.args
    return None


def assert_same_state(native, reference):
    assert str(native) == str(reference)
    assert native.sequents == reference.sequents
    assert native.sorts == reference.sorts
    assert native.functions == reference.functions


def run(native, reference, call):
    kind = call[0]
    if kind == "replay":
        # Feed back a line the environment printed; its variables are
        # "?N" names now, so they get fresh numbers.
        lines = str(reference).split("\n")[:-1]
        if not lines:
            return
        call = ("sequent", lines[call[1] % len(lines)])
        kind = "sequent"
    if kind == "function":
        args = call[1:]
        got = outcome(native.declare_function, *args)
        want = outcome(reference.declare_function, *args)
    else:
        got = outcome(native.declare_sequent, call[1])
        want = outcome(reference.declare_sequent, call[1])
    assert got == want, call
    assert_same_state(native, reference)


def assert_same_numbering(native, reference):
    """A last sequent shows where both variable counters stand."""
    probe = "v = v => v = v"
    assert outcome(native.declare_sequent, probe) == outcome(reference.declare_sequent, probe)
    n = reference.next_variable_id - 1
    assert str(native).split("\n")[-2] == "?{0} = ?{0} => ?{0} = ?{0}".format(n)
    assert_same_state(native, reference)


@DIFFERENTIAL
@given(strategies.programs())
def test_native_follows_model(program):
    native, reference = _kestrin.Environment(), model.Environment()
    for call in program:
        run(native, reference, call)
    assert_same_numbering(native, reference)


# One rich signature, many texts per example: most of the parser's paths
# (refusals included) are taken with declared heads in reach.
RICH = [(name, ["A"], "A") for name in strategies.FUNCTION_NAMES]


@DIFFERENTIAL
@given(st.lists(strategies.sequent_texts([name for name, _, _ in RICH]), min_size=1, max_size=6))
def test_texts_in_rich_signature(texts):
    native, reference = _kestrin.Environment(), model.Environment()
    for declaration in RICH:
        native.declare_function(*declaration)
        reference.declare_function(*declaration)
    for text in texts:
        run(native, reference, ("sequent", text))
    assert_same_numbering(native, reference)


@settings(DIFFERENTIAL, max_examples=60)
@given(st.lists(strategies.sequent_texts([name for name, _, _ in RICH]), min_size=1, max_size=6),
       st.sampled_from([" " * 70_000, "\n" * 70_000, "\u3000" * 30_000]))
def test_large_texts_in_rich_signature(texts, pad):
    # White space before the first term is trimmed off it, so a padded text means what the
    # text alone means; at this size it is read once in full before its terms are built.
    native, reference = _kestrin.Environment(), model.Environment()
    for declaration in RICH:
        native.declare_function(*declaration)
        reference.declare_function(*declaration)
    for text in texts:
        run(native, reference, ("sequent", pad + text))
    assert_same_numbering(native, reference)


def _alike(length, at):
    """Two names of `length` bytes that differ at byte `at` only, where one's byte has every bit
    of the other's: or-ing a name's bytes into one place would make them one."""
    return tuple("b" * at + c + "b" * (length - at - 1) for c in "ac")


SHORT_PAIRS = [_alike(n, at) for n in (1, 2, 3) for at in range(n)] + [
    ("\u00e9", "\u00eb"),  # two bytes each, 0xC3 0xA9 and 0xC3 0xAB
    ("a\u00e9", "a\u00eb"),  # three bytes each
    ("\x00", "\x01"),  # NUL is a byte like any other
]


@pytest.mark.parametrize("declared", [None, 0, 1],
                         ids=["variables", "first declared", "second declared"])
@pytest.mark.parametrize("pair", SHORT_PAIRS, ids=ascii)
def test_short_names_stay_apart(pair, declared):
    native, reference = _kestrin.Environment(), model.Environment()
    for env in (native, reference):
        env.declare_function("f", ["A"], "A")
        if declared is not None:
            env.declare_function(pair[declared], [], "A")
    first, second = pair
    run(native, reference, ("sequent", "%s = xy => xy = %s" % (second, first)))
    run(native, reference, ("sequent", "(f %s) = %s => %s = %s" % (first, second, second, first)))
    assert_same_numbering(native, reference)
