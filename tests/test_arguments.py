"""Argument parsing and conversion of declare_function and declare_sequent."""

import itertools
import sys

import pytest
from conftest import PYPY

DF = "Environment.declare_function()"
DS = "Environment.declare_sequent()"
STR_TO_VEC = "Can't extract `str` to `Vec`"


def cannot(param, type_name, target="PyString"):
    return "argument '%s': '%s' object cannot be converted to '%s'" % (param, type_name, target)


class StrSub(str):
    def __str__(self):  # the text itself must be read, not str(); only messages show str()
        return "not this"


class Shown(str):
    """A str whose str() is another text, or raises."""

    def __new__(cls, text, shown):
        self = str.__new__(cls, text)
        self.shown = shown
        return self

    def __str__(self):
        if isinstance(self.shown, BaseException):
            raise self.shown
        return self.shown


class Outer:
    class Inner:
        pass


class NonStrQualname(type):
    def __getattribute__(cls, name):
        return 42 if name == "__qualname__" else type.__getattribute__(cls, name)


class Odd(metaclass=NonStrQualname):
    pass


class InterruptedQualname(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise KeyboardInterrupt("no name")
        return type.__getattribute__(cls, name)


class Interrupted(metaclass=InterruptedQualname):
    pass


class Seq:
    """A user-defined sequence that may lie about its length or fail while iterated."""

    def __init__(self, items=("A", "B"), length=None, fail=None, at="iter"):
        self.items, self.length, self.fail, self.at = list(items), length, fail, at

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __iter__(self):
        if self.fail is not None and self.at == "iter":
            raise self.fail
        return self._items()

    def _items(self):
        for item in self.items:
            if self.fail is not None:
                raise self.fail
            yield item


class GetitemOnly:  # iterated through the old __getitem__ protocol
    def __getitem__(self, i):
        return ["A", "B"][i]


class ClassIsStr(GetitemOnly):  # the instance test follows __class__
    __class__ = property(lambda self: str)


class ClassRaises(GetitemOnly):  # an instance test that raises counts as "no"
    def __init__(self, raised=None):
        self.raised = RuntimeError("hidden class") if raised is None else raised

    @property
    def __class__(self):
        raise self.raised


def own_iteration(base, yields):
    """A `base` subclass that stores "stored" but whose __iter__ yields `yields`, or raises it."""

    class Sub(base):
        def __iter__(self):
            if isinstance(yields, BaseException):
                raise yields
            return iter(yields)

    return Sub(["stored"])


def assert_untouched(env):
    assert (env.sorts, env.functions) == ([], [])
    env.declare_function("ok", [], "Z")  # and no borrow was left behind
    assert env.functions == [("ok", [], "Z")]


# (method, positional, keywords, exact TypeError message)
PARSE_ERRORS = [
    ("declare_function", (), {}, DF + " missing 3 required positional arguments: 'name', 'argument_type', and 'result_type'"),
    ("declare_function", ("f",), {}, DF + " missing 2 required positional arguments: 'argument_type' and 'result_type'"),
    ("declare_function", ("f", []), {}, DF + " missing 1 required positional argument: 'result_type'"),
    ("declare_sequent", (), {}, DS + " missing 1 required positional argument: 's'"),
    # missing names come in parameter order, whatever the keyword order
    ("declare_function", (), {"result_type": "A"}, DF + " missing 2 required positional arguments: 'name' and 'argument_type'"),
    ("declare_function", (), {"argument_type": []}, DF + " missing 2 required positional arguments: 'name' and 'result_type'"),
    ("declare_function", (), {"result_type": "A", "name": "f"}, DF + " missing 1 required positional argument: 'argument_type'"),
    # "arguments" stays plural even for one parameter
    ("declare_function", ("f", [], "A", "B"), {}, DF + " takes 3 positional arguments but 4 were given"),
    ("declare_sequent", ("x", "y"), {}, DS + " takes 1 positional arguments but 2 were given"),
    # the positional count wins; keywords are then not looked at
    ("declare_function", ("f", [], "A", "B", "C"), {"sort": "B"}, DF + " takes 3 positional arguments but 5 were given"),
    ("declare_function", ("f", [], "A", "B"), {"name": "g"}, DF + " takes 3 positional arguments but 4 were given"),
    ("declare_function", ("f", [], "A"), {"sort": "B"}, DF + " got an unexpected keyword argument 'sort'"),
    ("declare_function", ("f", []), {"argument_type": []}, DF + " got multiple values for argument 'argument_type'"),
    ("declare_sequent", ("x",), {"s": "y"}, DS + " got multiple values for argument 's'"),
    ("declare_sequent", (), {"t": "x"}, DS + " got an unexpected keyword argument 't'"),
    # keywords are checked in the caller's order
    ("declare_function", ("f", [], "A"), {"zzz": 1, "name": "g"}, DF + " got an unexpected keyword argument 'zzz'"),
    ("declare_function", ("f", [], "A"), {"name": "g", "zzz": 1}, DF + " got multiple values for argument 'name'"),
    # a bad keyword wins over missing arguments and over conversion errors
    ("declare_function", (), {"bogus": 1}, DF + " got an unexpected keyword argument 'bogus'"),
    ("declare_function", (1, "AB", None), {"bogus": 1}, DF + " got an unexpected keyword argument 'bogus'"),
    ("declare_function", (1,), {}, DF + " missing 2 required positional arguments: 'argument_type' and 'result_type'"),
    # keywords match byte for byte
    ("declare_function", ("f", []), {"Result_type": "A"}, DF + " got an unexpected keyword argument 'Result_type'"),
    ("declare_function", ("f", []), {"result_typ\u00e9": "A"}, DF + " got an unexpected keyword argument 'result_typ\u00e9'"),
    ("declare_function", ("f", []), {"\ud800": "A"}, DF + " got an unexpected keyword argument '\ud800'"),
    # the message shows str() of the keyword...
    ("declare_function", ("f", [], "A"), {StrSub("sort"): 1}, DF + " got an unexpected keyword argument 'not this'"),
    ("declare_sequent", (), {Shown("t", "a\ud800b"): "x"}, DS + " got an unexpected keyword argument 'a\ud800b'"),
    ("declare_sequent", (), {Shown("\ud800", "t"): "x"}, DS + " got an unexpected keyword argument 't'"),
    # ...but matching reads its own text: str() naming a parameter does not match it
    ("declare_function", ("f", []), {Shown("result_typ", "result_type"): "A"}, DF + " got an unexpected keyword argument 'result_type'"),
    # a keyword that matches is never passed to str(); the message names the parameter
    ("declare_function", ("f",), {Shown("name", RuntimeError("str() called")): "g"}, DF + " got multiple values for argument 'name'"),
    # only the unexpected one is: str() of an earlier matched keyword does not run
    ("declare_function", ("f", []), {Shown("result_type", RuntimeError("str() called")): "A", StrSub("x"): 1}, DF + " got an unexpected keyword argument 'not this'"),
]


@pytest.mark.parametrize("method, args, kwargs, message", PARSE_ERRORS)
def test_parse_errors(env, method, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(env, method)(*args, **kwargs)
    assert type(info.value) is TypeError and info.value.args == (message,)
    assert_untouched(env)


def test_keywords_in_any_order(env):
    given = {"name": "f", "argument_type": ["B", "C"], "result_type": "A"}
    for order in itertools.permutations(given):
        e = type(env)()
        e.declare_function(**{k: given[k] for k in order})
        assert (e.sorts, e.functions) == (["A", "B", "C"], [("f", ["B", "C"], "A")])
    env.declare_function("f", result_type="A", argument_type=("B", "C"))
    assert env.functions == [("f", ["B", "C"], "A")]
    # str subclasses match on their own text; their str() is not even called
    env.declare_function(**{Shown("name", "result_type"): "g", StrSub("argument_type"): [],
                            Shown("result_type", RuntimeError("str() called")): "D"})
    assert env.functions[-1] == ("g", [], "D")


# str() of an unexpected keyword raises: that is the call's error, the very object, and an
# exact TypeError is not re-worded as argument conversion errors are.
@pytest.mark.parametrize(
    "exc",
    [KeyError("k"), TypeError("t"), UnicodeEncodeError("utf-8", "x", 0, 1, "own")],
)
def test_keyword_str_raises(env, exc):
    with pytest.raises(type(exc)) as info:
        env.declare_function("f", [], "A", **{Shown("bogus", exc): 1})
    assert info.value is exc
    assert_untouched(env)


def test_keyword_str_returns_no_str(env):
    class NotText(str):
        def __str__(self):
            return 42

    with pytest.raises(TypeError) as expected:  # worded differently from one version to another
        str(NotText("bogus"))
    with pytest.raises(TypeError) as info:
        env.declare_function("f", [], "A", **{NotText("bogus"): 1})
    assert type(info.value) is TypeError
    assert info.value.args == expected.value.args
    assert_untouched(env)


def test_keyword_str_raises_internal_fault(env, panic, capfd):
    raised, outcome = panic("from __str__"), None
    try:
        env.declare_function("f", [], "A", **{Shown("bogus", raised): 1})
    except BaseException as exc:  # noqa: B902 - the class under test is a BaseException
        outcome = exc
    assert type(outcome) is panic and outcome is not raised
    assert outcome.args == ("from __str__",)
    assert "pyo3_runtime.PanicException: from __str__" in capfd.readouterr().err
    assert_untouched(env)


def test_non_str_keyword(env):
    # 3.8 hands a keyword that is no str at all to the method, which shows its str(); later
    # interpreters refuse it before the call, PyPy in words of its own
    if PYPY:
        message = "declare_function() keywords must be strings, not 'int'"
    elif sys.version_info < (3, 9):
        message = DF + " got an unexpected keyword argument '1'"
    else:
        message = "keywords must be strings"
    with pytest.raises(TypeError) as info:
        env.declare_function("f", [], "A", **{1: 1})
    assert type(info.value) is TypeError and info.value.args == (message,)
    assert_untouched(env)


# (arguments of declare_function, exception type, its one argument)
@pytest.mark.parametrize(
    "args, exc_type, message",
    [
        ((1, [], "A"), TypeError, cannot("name", "int")),
        (("f", [], None), TypeError, cannot("result_type", "NoneType")),
        ((Outer.Inner(), [], "A"), TypeError, cannot("name", "Outer.Inner")),  # __qualname__, dot and all
        ((Odd(), [], "A"), TypeError, cannot("name", "<failed to extract type name>")),
        # an interrupt while the name is looked up is not dropped
        ((Interrupted(), [], "A"), KeyboardInterrupt, "no name"),
        (("f", Interrupted(), "A"), KeyboardInterrupt, "no name"),
        (("f", Odd(), "A"), TypeError, cannot("argument_type", "<failed to extract type name>", "Sequence")),
        # parameters are converted in order; the first bad one is reported
        ((1, [], None), TypeError, cannot("name", "int")),
        ((1, "AB", "A"), TypeError, cannot("name", "int")),
        (("f", "AB", None), ValueError, STR_TO_VEC),
        (("f", {"A"}, None), TypeError, cannot("argument_type", "set", "Sequence")),
        # any str is refused whole, with no "argument" prefix
        (("f", "", "C"), ValueError, STR_TO_VEC),
        (("f", StrSub("AB"), "C"), ValueError, STR_TO_VEC),
        (("f", ClassIsStr(), "C"), ValueError, STR_TO_VEC),
        # not sequences
        (("f", {"A": 1}, "C"), TypeError, cannot("argument_type", "dict", "Sequence")),
        (("f", (a for a in "A"), "C"), TypeError, cannot("argument_type", "generator", "Sequence")),
        (("f", iter(["A"]), "C"), TypeError,
             cannot("argument_type", type(iter([])).__qualname__, "Sequence")),
        (("f", None, "C"), TypeError, cannot("argument_type", "NoneType", "Sequence")),
        # sequences of something other than text
        (("f", ["A", 2], "C"), TypeError, cannot("argument_type", "int")),
        (("f", (b"A",), "C"), TypeError, cannot("argument_type", "bytes")),
        (("f", b"AB", "C"), TypeError, cannot("argument_type", "int")),  # bytes iterates as ints
        (("f", range(2), "C"), TypeError, cannot("argument_type", "int")),
        (("f", [Outer.Inner()], "C"), TypeError, cannot("argument_type", "Outer.Inner")),
    ],
)
def test_conversion_errors(env, args, exc_type, message):
    with pytest.raises(exc_type) as info:
        env.declare_function(*args)
    assert type(info.value) is exc_type and info.value.args == (message,)
    assert_untouched(env)


@pytest.mark.parametrize(
    "value, type_name",
    [(None, "NoneType"), (b"x = x => x = x", "bytes"), (Outer.Inner(), "Outer.Inner")],
)
def test_declare_sequent_conversion_errors(env, value, type_name):
    for call in (lambda: env.declare_sequent(value), lambda: env.declare_sequent(s=value)):
        with pytest.raises(TypeError) as info:
            call()
        assert type(info.value) is TypeError and info.value.args == (cannot("s", type_name),)
    assert_untouched(env)


@pytest.mark.parametrize(
    "argument_type, expected",
    [
        ((), []),
        (range(0), []),
        (b"", []),
        (["A", StrSub("B")], ["A", "B"]),
        (GetitemOnly, ["A", "B"]),  # classes in this table are instantiated by the test
        (ClassRaises, ["A", "B"]),  # the failed instance test is dropped
        # the reported length only sizes the buffer: a lie changes nothing
        (Seq(length=0), ["A", "B"]),
        (Seq(length=10 ** 6), ["A", "B"]),
        (Seq(length=sys.maxsize), ["A", "B"]),
        (Seq(length=2 ** 100), ["A", "B"]),  # OverflowError, dropped
        (Seq(length=-1), ["A", "B"]),  # ValueError from the interpreter, dropped
        (Seq(length=TypeError("len")), ["A", "B"]),
        # list and tuple subclasses go through their own __iter__, not their storage
        (own_iteration(list, ["A", "B"]), ["A", "B"]),
        (own_iteration(tuple, ("A",)), ["A"]),
        (["x\x00y", "\x00", "\u00e9", "e\u0301", "\U0001f98a", "\n"], ["x\x00y", "\x00", "\u00e9", "e\u0301", "\U0001f98a", "\n"]),
    ],
)
def test_accepted_sequences(env, argument_type, expected):
    if isinstance(argument_type, type):
        argument_type = argument_type()
    env.declare_function("f", argument_type, "R")
    assert env.functions == [("f", expected, "R")]
    assert env.sorts == ["R"] + expected


def test_str_subclasses_become_plain_str(env):
    env.declare_function(StrSub("f"), [StrSub("A")], StrSub("B"))
    (entry,) = env.functions
    assert entry == ("f", ["A"], "B")
    assert [type(x) for x in (entry[0], entry[1][0], entry[2], env.sorts[0])] == [str] * 4


@pytest.mark.parametrize(
    "args",
    [
        ("\ud800", [], "A"),
        ("f", ["A", "\udfff"], "B"),
        ("f", [], "a\udc80b"),
        ("\ud800", [], 1),  # name is converted before result_type
        ("f", Seq(["\ud800", 1]), "A"),  # the first bad item ends the conversion
    ],
)
def test_lone_surrogates(env, args):
    with pytest.raises(UnicodeEncodeError) as info:
        env.declare_function(*args)
    assert type(info.value) is UnicodeEncodeError
    assert (info.value.encoding, info.value.reason) == ("utf-8", "surrogates not allowed")
    with pytest.raises(UnicodeEncodeError):
        env.declare_sequent("x = \ud800 => x = x")
    assert_untouched(env)


class TypeErrorSub(TypeError):
    pass


CAUSED = TypeError("boom")
CAUSED.__cause__ = KeyError("cause")


# Raised by a user sequence while it is converted: an exact TypeError is re-worded, keeps its
# cause and becomes the context; anything else comes back as the very object.
@pytest.mark.parametrize(
    "at, exc, reworded",
    [
        ("iter", TypeError("boom"), "argument 'argument_type': boom"),
        ("next", TypeError("boom"), "argument 'argument_type': boom"),
        ("iter", CAUSED, "argument 'argument_type': boom"),
        ("iter", TypeError("a", "b"), "argument 'argument_type': ('a', 'b')"),  # str() of the value
        ("iter", TypeError(), "argument 'argument_type': "),
        ("iter", TypeErrorSub("sub"), None),
        ("iter", ValueError("v"), None),
        ("next", KeyError("k"), None),
        ("iter", UnicodeEncodeError("utf-8", "x", 0, 1, "own"), None),
        # the __iter__ of a list or tuple subclass is called like any other
        (list, TypeError("boom"), "argument 'argument_type': boom"),
        (tuple, ValueError("v"), None),
        # str() of the first error fails: it goes out as it is
        ("iter", TypeError(Shown("text", ValueError("str"))), None),
        # a failed length request or instance test is dropped, but not when it is no Exception
        ("len", KeyboardInterrupt(), None),
        ("class", SystemExit(3), None),
    ],
)
def test_user_sequence_exceptions(env, at, exc, reworded):
    if at in ("iter", "next"):
        sequence = Seq(fail=exc, at=at)
    elif at == "len":
        sequence = Seq(length=exc)
    elif at == "class":
        sequence = ClassRaises(exc)
    else:
        sequence = own_iteration(at, exc)
    with pytest.raises(type(exc)) as info:
        env.declare_function("f", sequence, "C")
    if reworded is None:
        assert info.value is exc
    else:
        assert type(info.value) is TypeError and info.value is not exc
        assert info.value.args == (reworded,)
        assert info.value.__cause__ is exc.__cause__
        assert info.value.__context__ is exc and info.value.__suppress_context__
    assert_untouched(env)
