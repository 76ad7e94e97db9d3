"""Borrow flag: re-entrant and cross-thread calls, and the internal-fault class."""

import gc
import sys
import threading

import pytest

from _kestrin import Environment
from conftest import cpython_only

MUT = "Already mutably borrowed"
BORROWED = "Already borrowed"


class Hooked:
    """A sequence of sort names that runs `hook` at one point of its conversion."""

    def __init__(self, at, hook):
        self.at, self.hook = at, hook

    def _reach(self, at):
        if self.at == at:
            self.hook()

    @property
    def __class__(self):  # looked up by the str instance test
        self._reach("class")
        return Hooked

    def __getitem__(self, i):
        return "A"

    def __len__(self):
        self._reach("len")
        return 1

    def __iter__(self):
        self._reach("iter")
        return self._items()

    def _items(self):
        self._reach("next")
        yield "A"


# (what the sequence does to the environment being changed, message it meets; None: allowed)
REENTRY = [
    (lambda env: env.sorts, MUT),
    (lambda env: env.functions, MUT),
    (lambda env: env.sequents, MUT),
    (lambda env: str(env), MUT),
    (lambda env: env.declare_function("g", [], "B"), BORROWED),
    (lambda env: env.declare_function(), BORROWED),  # the borrow comes before argument parsing
    (lambda env: env.declare_function(1, 2, 3, 4, bogus=5), BORROWED),
    (lambda env: env.declare_sequent("x = y => y = x"), BORROWED),
    (lambda env: repr(env), None),  # default slots take no borrow
    (lambda env: Environment().declare_function("g", [], "B"), None),  # other instances are free
]


@pytest.mark.parametrize("at", ["iter", "next", "len", "class"])
@pytest.mark.parametrize("action, message", REENTRY)
def test_reentrant_calls(env, at, action, message):
    seen = []

    def hook():
        try:
            seen.append(action(env))
        except BaseException as exc:
            seen.append(exc)
            raise

    if message is not None and at in ("iter", "next"):
        with pytest.raises(RuntimeError) as info:
            env.declare_function("f", Hooked(at, hook), "R")
        assert info.value is seen[0]  # raised unchanged, not re-worded
        assert type(info.value) is RuntimeError and info.value.args == (message,)
        assert env.functions == []
    else:
        # a failed length request or instance test is dropped: the call goes through
        env.declare_function("f", Hooked(at, hook), "R")
        assert env.functions == [("f", ["A"], "R")]
        if message is not None:
            assert type(seen[0]) is RuntimeError and seen[0].args == (message,)
    assert len(seen) == 1
    env.declare_function("h", ["B"], "R")  # free again
    assert env.functions[-1] == ("h", ["B"], "R")


def filled_environment():
    env = Environment()
    for i in range(30):
        env.declare_function("f%d" % i, ["A", "B%d" % i], "C")
        env.declare_sequent("(f%d x (f%d y)) = x, y = f0 => (f%d y) = x" % (i, i, i))
    return env


# (a read, whether building its value makes objects the collector tracks)
READS = [
    (lambda env: env.sequents, True),
    (lambda env: env.functions, True),
    (lambda env: env.sorts, True),
    (lambda env: str(env), False),  # one str: nothing tracked, so no collection inside
]


@cpython_only("gc.callbacks and gc.set_threshold")
@pytest.mark.parametrize("read, tracked", READS)
def test_collection_during_a_read_refuses_changes(read, tracked):
    env = filled_environment()
    expected = read(env)
    refusals, reading = [], [False]

    def callback(phase, info):
        if phase != "start" or not reading[0]:
            return
        for change in (lambda: env.declare_function("g", [], "D"),
                       lambda: env.declare_sequent("x = x => x = x")):
            try:
                change()
                refusals.append("allowed")
            except RuntimeError as exc:
                refusals.append(exc.args)

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        reading[0] = True
        value = read(env)
    finally:
        reading[0] = False
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert value == expected
    assert set(refusals) <= {(BORROWED,)}
    # Before 3.12 the collector runs inside the allocation that crosses the threshold; from
    # 3.12 on it waits for the interpreter loop, which no read re-enters.
    if tracked and sys.version_info < (3, 12):
        assert refusals
    assert read(env) == expected
    env.declare_function("g", [], "D")  # the read gave its borrow back
    assert env.functions[-1] == ("g", [], "D")


class Sorts:
    """A sequence that yields what `items` makes, first running `before`."""

    def __init__(self, items, before=lambda: None):
        self.items, self.before = items, before

    def __getitem__(self, i):
        return "A"

    def __len__(self):
        return 1

    def __iter__(self):
        self.before()
        return iter(self.items())


def held_name(hold):
    class Name(str):
        def __del__(self):
            hold()

    return Name("A")


def held_type_name(hold):
    class Meta(type):
        def __getattribute__(cls, name):
            if name == "__qualname__":
                hold()
            return super().__getattribute__(name)

    return Meta("Odd", (), {})()


# (how the declaration gets to caller code that blocks, what it declares then)
BLOCKING = {
    "iteration": (lambda hold: Hooked("iter", hold), "R", ["done"]),
    # the item is held by the call alone, which drops it before the borrow goes back
    "the drop of a str subclass": (lambda hold: Sorts(lambda: [held_name(hold)]), "R", ["done"]),
    # the same, after a changing call on another instance has come and gone
    "a drop after a nested call": (
        lambda hold: Sorts(lambda: [held_name(hold)],
                           lambda: Environment().declare_function("g", [], "B")), "R", ["done"]),
    # the name of the wrong type, for the message, from a metatype of the caller's
    "the type name of a wrong argument": (lambda hold: ["A"], held_type_name, [TypeError]),
}


# PyPy runs a finalizer at its collector's pace, not when the call drops the object.
PROMPT_FINALIZERS = ("the drop of a str subclass", "a drop after a nested call")


@pytest.mark.parametrize("sorts, result, outcome", [
    pytest.param(*row, id=name, marks=[cpython_only("finalizers run when the last reference goes")]
                 if name in PROMPT_FINALIZERS else [])
    for name, row in BLOCKING.items()])
def test_other_thread_is_refused(env, sorts, result, outcome):
    entered, release = threading.Event(), threading.Event()
    seen = []

    def hold():
        entered.set()
        release.wait(5)  # lets go of the interpreter lock with the borrow taken

    def worker():
        try:
            env.declare_function("f", sorts(hold), result if isinstance(result, str)
                                 else result(hold))
            seen.append("done")
        except BaseException as exc:
            seen.append(type(exc))

    calls = [
        lambda: env.declare_function("g", [], "B"),
        lambda: env.declare_sequent("x = x => x = x"),
        lambda: env.sorts,
        lambda: env.functions,
        lambda: env.sequents,
        lambda: str(env),
    ]
    refusals = []
    thread = threading.Thread(target=worker)
    thread.start()
    try:
        assert entered.wait(10)
        # Each is refused at once: without a GIL a call that waited would wait out the hold.
        for call in calls:
            try:
                call()
                refusals.append("allowed")
            except RuntimeError as exc:
                refusals.append(exc.args)
        other = Environment()
        other.declare_function("g", [], "B")
    finally:
        release.set()
        thread.join(10)
    assert refusals == [(BORROWED,)] * 2 + [(MUT,)] * 4
    assert seen == outcome
    assert env.functions == ([("f", ["A"], "R")] if outcome == ["done"] else [])
    env.declare_function("g", [], "B")


def test_panic_class(panic):
    assert panic.__qualname__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert panic.__doc__.startswith("\n")


# (hook point, exception arguments, message of the exception that comes out)
@pytest.mark.parametrize(
    "at, args, message",
    [
        ("iter", ("boom",), "boom"),
        ("next", ("boom",), "boom"),
        ("len", ("boom",), "boom"),  # not dropped like other length failures
        ("class", ("boom",), "boom"),  # nor like other instance-test failures
        ("iter", (), ""),
        ("iter", ("a", 1), "('a', 1)"),  # the str() of the exception
    ],
)
def test_panic_from_user_code(env, panic, capfd, at, args, message):
    raised = panic(*args)

    def hook():
        raise raised

    outcome = None
    try:
        try:
            env.declare_function("f", Hooked(at, hook), "R")
        except Exception as exc:  # must not catch it
            outcome = exc
    except panic as exc:
        outcome = exc
    assert type(outcome) is panic and outcome is not raised
    assert outcome.args == (message,)
    # the notice, each line on its own, then the interpreter's report of the one raised
    lines = capfd.readouterr().err.splitlines()
    assert lines[:3] == [
        "An internal fault raised by Python code reached native code.",
        "It is passed on as a new internal fault; its traceback follows.",
        "Traceback (most recent call last):",
    ]
    assert lines[-1] == "pyo3_runtime.PanicException" + (": " + message if message else "")
    assert env.functions == []
    env.declare_function("g", [], "B")  # the borrow came back
    assert env.sorts == ["B"]
