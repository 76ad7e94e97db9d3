"""declare_function and the `sorts` / `functions` views."""

import pytest

from _kestrin import Environment


def declared(env):
    return env.sorts, env.functions


# (declarations in call order, expected sorts, expected functions)
@pytest.mark.parametrize(
    "calls, sorts, functions",
    [
        # result sort first, then argument sorts left to right
        ([("f", ["A", "B"], "C")], ["C", "A", "B"], [("f", ["A", "B"], "C")]),
        ([("g", ["B", "C", "B"], "A")], ["A", "B", "C"], [("g", ["B", "C", "B"], "A")]),
        ([("g", ["A", "A"], "A")], ["A"], [("g", ["A", "A"], "A")]),  # listed once, kept twice
        ([("c", [], "A")], ["A"], [("c", [], "A")]),
        (
            [("c", [], "A"), ("f", ["A"], "A"), ("h", ["B", "A"], "C"), ("k", ["D", "C"], "B")],
            ["A", "C", "B", "D"],
            [("c", [], "A"), ("f", ["A"], "A"), ("h", ["B", "A"], "C"), ("k", ["D", "C"], "B")],
        ),
        # sort and function names live apart
        ([("A", ["A"], "A"), ("f", [], "f")], ["A", "f"], [("A", ["A"], "A"), ("f", [], "f")]),
        # case-sensitive, no normalisation
        (
            [("f", ["a"], "A"), ("F", ["\u00e9"], "e\u0301")],
            ["A", "a", "e\u0301", "\u00e9"],
            [("f", ["a"], "A"), ("F", ["\u00e9"], "e\u0301")],
        ),
    ],
)
def test_declarations(env, calls, sorts, functions):
    for call in calls:
        assert env.declare_function(*call) is None
    assert declared(env) == (sorts, functions)
    assert str(env) == ""  # declarations are never rendered


# Any text is a name, kept byte for byte and compared exactly.
@pytest.mark.parametrize(
    "name",
    [
        "",
        " ",
        "f g",
        " lead",
        "x\ny",
        "a\x00b",
        "\x00",
        "\u00fcmlaut",
        "\u65e5\u672c",
        "\U0001f98a",
        "(f x)",
        "= , =>",
        "?0",
        "F" * 10000,
        # at and around the end of ASCII, where the stored text stops being one byte a character
        "\x7f",
        "\x80",
        "a\x80",
        "\xff",
        "\u0100",
        "\uffff",
        "\U00010000",
        "\x7f\x80\xff\u0100\uffff\U00010000a",
    ],
)
def test_any_text_is_a_name(env, name):
    env.declare_function(name, [name, name], name)
    assert declared(env) == ([name], [(name, [name, name], name)])
    with pytest.raises(ValueError) as info:
        env.declare_function(name, [], "Other")
    assert type(info.value) is ValueError
    assert info.value.args == (name + " has already been declared!",)
    assert declared(env) == ([name], [(name, [name, name], name)])


def test_nul_and_prefixes_are_distinct(env):
    names = ["a", "a\x00b", "a\x00c", "a\x00", "ab"]
    for name in names:
        env.declare_function(name, [name + "!"], name + "?")
    assert [f[0] for f in env.functions] == names
    assert env.sorts == [s for n in names for s in (n + "?", n + "!")]


@pytest.mark.parametrize(
    "second",
    [
        ("f", ["A"], "A"),  # the same declaration again
        ("f", ["B"], "C"),  # other sorts
        ("f", [], "A"),
    ],
)
def test_redeclaration_refused(env, second):
    env.declare_function("f", ["A"], "A")
    with pytest.raises(ValueError) as info:
        env.declare_function(*second)
    assert info.value.args == ("f has already been declared!",)
    assert declared(env) == (["A"], [("f", ["A"], "A")])


def test_refused_call_makes_sorts_known_but_never_listed(env):
    env.declare_function("f", [], "A")
    with pytest.raises(ValueError):
        env.declare_function("f", ["B", "D"], "C")
    assert env.sorts == ["A"]
    env.declare_function("h", ["B"], "C")  # B and C are known already
    env.declare_function("k", ["E", "D", "B"], "C")  # only E is new
    assert declared(env) == (
        ["A", "E"],
        [("f", [], "A"), ("h", ["B"], "C"), ("k", ["E", "D", "B"], "C")],
    )


def test_function_numbers_follow_successful_calls(sequent_env):
    env = sequent_env
    env.declare_function("a", [], "A")
    for _ in range(3):
        with pytest.raises(ValueError):
            env.declare_function("a", ["A"], "A")
    env.declare_function("b", ["A"], "A")
    env.declare_function("c", ["A", "A"], "A")
    env.declare_sequent("(b (c x a)) = a => a = (c a (b x))")
    assert str(env) == "(b (c ?0 a)) = a => a = (c a (b ?0))\n"
    assert env.sequents[0][1] == [(("a", []), ("c", [("a", []), ("b", [("?0", [])])]))]
    assert [f[0] for f in env.functions] == ["a", "b", "c"]


def test_environments_are_independent(sequent_env):
    one, two = Environment(), Environment()
    one.declare_function("f", ["A"], "B")
    one.declare_sequent("x = y => (f x) = y")
    assert (declared(two), two.sequents, str(two)) == (([], []), [], "")
    two.declare_function("f", ["C"], "A")  # same name, no clash
    two.declare_sequent("z = z => z = z")
    assert declared(one) == (["B", "A"], [("f", ["A"], "B")])
    assert declared(two) == (["A", "C"], [("f", ["C"], "A")])
    assert str(two) == "?0 = ?0 => ?0 = ?0\n"  # variables count from 0 in each


def test_many_declarations_keep_call_order(env):
    names = ["fn%d" % i for i in range(500)]
    for i, name in enumerate(names):
        env.declare_function(name, ["S%d" % (i + 1)], "S%d" % i)
    assert env.sorts == ["S%d" % i for i in range(501)]
    assert [f[0] for f in env.functions] == names


def test_views_are_fresh(env):
    argument_type = ["Arg1", "Arg2"]
    env.declare_function("func", argument_type, "Result")
    argument_type[:] = ["Other"]  # the call copied what it was given
    sorts, functions = env.sorts, env.functions
    assert env.sorts is not sorts and env.functions is not functions
    assert env.sorts[0] is not sorts[0]  # new str objects on every access
    entry = env.functions[0]
    assert all(new is not old for new, old in zip(entry, functions[0]))
    assert [type(x) for x in (sorts, entry, entry[1], entry[0])] == [list, tuple, list, str]
    # changing what was handed out changes nothing inside
    sorts.append("X")
    sorts.sort()
    functions[0][1].clear()
    functions.clear()
    assert declared(env) == (["Result", "Arg1", "Arg2"], [("func", ["Arg1", "Arg2"], "Result")])
