"""What reaches standard error: the traceback of an argument error the module
re-worded, and the reports the module prints itself while a call fails.

Each case runs in a child interpreter (the one running the tests), because
what matters is what the interpreter prints for an uncaught exception and
whether the process survives the module's own reports.

Tracebacks differ between interpreter versions only in the source and caret
lines under each "File" line (indented four spaces); those are dropped and
everything else is compared exactly.
"""

import ctypes
import os
import subprocess
import sys
import textwrap
import traceback

import pytest

from conftest import PYPY, allocation_failures_testable, cpython_only


def run(code):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env["PYTHON_COLORS"] = "0"  # tracebacks are colored on request from 3.13
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=env, timeout=60)


def skeleton(stderr):
    return [line for line in stderr.splitlines() if not line.startswith("    ")]


def line_of(code, marker):
    (number,) = [i for i, line in enumerate(code.splitlines(), 1) if line.endswith(marker)]
    return number


# ---------------------------------------------------------------------------------------------
# Re-worded TypeErrors

REWORD_PRELUDE = '''\
import _kestrin
env = _kestrin.Environment()
cause = None  # the cause the first TypeError was raised with


class Seq:
    """Sort names as a user-defined sequence; fail() runs at `at`."""

    def __init__(self, at=None, items=("A",)):
        self.at, self.items = at, items

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        return len(self.items)

    def __iter__(self):
        if self.at == "iter":
            fail()
        return self._items()

    def _items(self):
        if self.at == "next":
            fail()
        yield from self.items


'''

PLAIN = '''
def fail():
    raise TypeError("no sorts here")
'''

RAISED_CAUSE = '''
def fail():
    global cause
    try:
        {}["k"]  # cause
    except KeyError as e:
        cause = e
        raise TypeError("no sorts here") from e
'''

UNRAISED_CAUSE = '''
cause = ValueError("v")
def fail():
    raise TypeError("no sorts here") from cause
'''

CONTEXT_ONLY = '''
def fail():
    try:
        {}["k"]
    except KeyError:
        raise TypeError("no sorts here")
'''

NOT_STR = "'{}' object cannot be converted to 'PyString'"


# (code ending in the failing call, final line of the traceback, how the first error was caused)
REWORDED = [
    # the module's own conversion errors, one per text parameter
    pytest.param('env.declare_function(1, [], "A")  # call',
                 "argument 'name': " + NOT_STR.format("int"), None, id="name"),
    pytest.param('env.declare_function("f", [], b"A")  # call',
                 "argument 'result_type': " + NOT_STR.format("bytes"), None, id="result_type"),
    pytest.param("env.declare_sequent(None)  # call",
                 "argument 's': " + NOT_STR.format("NoneType"), None, id="s"),
    # an item of argument_type: from a list, and from a sequence that is iterated
    pytest.param('env.declare_function("f", ["A", 2], "B")  # call',
                 "argument 'argument_type': " + NOT_STR.format("int"), None, id="list-item"),
    pytest.param('env.declare_function("f", Seq(items=("A", 2.5)), "B")  # call',
                 "argument 'argument_type': " + NOT_STR.format("float"), None,
                 id="sequence-item"),
    # argument_type is no sequence at all
    pytest.param('env.declare_function("f", {"A"}, "B")  # call',
                 "argument 'argument_type': 'set' object cannot be converted to 'Sequence'", None,
                 id="not-a-sequence"),
    # a TypeError of the sequence's own, with no cause
    pytest.param(PLAIN + 'env.declare_function("f", Seq("iter"), "B")  # call',
                 "argument 'argument_type': no sorts here", None, id="iter"),
    pytest.param(PLAIN + 'env.declare_function("f", Seq("next"), "B")  # call',
                 "argument 'argument_type': no sorts here", None, id="next"),
    # only an explicit cause is carried over, not the context the first error was raised in
    pytest.param(CONTEXT_ONLY + 'env.declare_function("f", Seq("iter"), "B")  # call',
                 "argument 'argument_type': no sorts here", None, id="context-only"),
    # raised while the caller handles another exception: that context stays hidden
    pytest.param('try:\n    {}["k"]\nexcept KeyError:\n'
                 '    env.declare_function(1, [], "A")  # call',
                 "argument 'name': " + NOT_STR.format("int"), None, id="caller-handling"),
    pytest.param(PLAIN + 'try:\n    {}["k"]\nexcept KeyError:\n'
                 '    env.declare_function("f", Seq("iter"), "B")  # call',
                 "argument 'argument_type': no sorts here", None, id="caller-handling-iter"),
    # `raise ... from cause`: the cause is kept, with its own traceback when it was raised
    pytest.param(RAISED_CAUSE + 'env.declare_function("f", Seq("iter"), "B")  # call',
                 "argument 'argument_type': no sorts here", "raised", id="iter-cause"),
    pytest.param(RAISED_CAUSE + 'env.declare_function("f", Seq("next"), "B")  # call',
                 "argument 'argument_type': no sorts here", "raised", id="next-cause"),
    pytest.param(UNRAISED_CAUSE + 'env.declare_function("f", Seq("next"), "B")  # call',
                 "argument 'argument_type': no sorts here", "unraised", id="next-unraised-cause"),
]


def expected_stderr(code, final, chain):
    lines = []
    if chain == "raised":
        lines += ["Traceback (most recent call last):",
                  '  File "<string>", line %d, in fail' % line_of(code, "# cause"),
                  "KeyError: 'k'"]
    elif chain == "unraised":
        lines += ["ValueError: v"]
    if chain is not None:
        lines += ["", "The above exception was the direct cause of the following exception:", ""]
    return lines + ["Traceback (most recent call last):",
                    '  File "<string>", line %d, in <module>' % line_of(code, "# call"),
                    "TypeError: " + final]


@pytest.mark.parametrize("body, final, chain", REWORDED)
def test_reworded_type_error_prints_one_traceback(body, final, chain):
    code = REWORD_PRELUDE + textwrap.dedent(body) + "\n"
    proc = run(code)
    assert proc.returncode == 1, proc.stderr
    assert proc.stdout == ""
    assert skeleton(proc.stderr) == expected_stderr(code, final, chain), proc.stderr


NULL = object()


def c_level_cause(error):
    """The cause as C code (and the interpreter's own printing) reads it; NULL for none."""
    api = ctypes.PyDLL(None)  # a handle of our own: argtypes set here stay here
    api.PyException_GetCause.argtypes = [ctypes.py_object]
    api.PyException_GetCause.restype = ctypes.c_void_p
    api.Py_DecRef.argtypes = [ctypes.c_void_p]
    address = api.PyException_GetCause(error)
    if address is None:
        return NULL
    cause = ctypes.cast(address, ctypes.py_object).value
    api.Py_DecRef(address)  # the call returned a new reference
    return cause


def reworded(body):
    """The TypeError that `body` raises, and the namespace it ran in."""
    namespace = {}
    with pytest.raises(TypeError) as info:
        exec(REWORD_PRELUDE + textwrap.dedent(body), namespace)
    return info.value, namespace


@cpython_only("the C API through ctypes.PyDLL")
@pytest.mark.parametrize("body, final, chain", REWORDED)
def test_reworded_type_error_has_no_cause_object(body, final, chain):
    # A None object there reads the same from Python, but is printed as a chained exception.
    error, namespace = reworded(body)
    assert c_level_cause(error) is (NULL if chain is None else namespace["cause"])


@pytest.mark.parametrize("body, final, chain", REWORDED)
def test_reworded_type_error_attributes(body, final, chain):
    error, namespace = reworded(body)
    assert type(error) is TypeError and error.args == (final,)
    # as after `raise ... from cause`, `raise ... from None` when there was none
    assert error.__cause__ is namespace["cause"]
    assert (error.__cause__ is None) == (chain is None)
    assert error.__suppress_context__ is True
    # The context, as after `raise ... from None` in a handler: the sequence's own error, with
    # the line that raised it, then the KeyError handled while it was raised; for the module's
    # own errors, only the KeyError the caller handles, if any.
    first = final.endswith("no sorts here")
    seen, link = [], error
    while link.__context__ is not None:
        link = link.__context__
        seen.append(type(link).__name__)
    handling = "except KeyError" in body
    if PYPY and "except KeyError:\n    env." in body:
        # PyPy gives an error that a call raises inside the caller's handler the handled one as
        # its context, in place of the one the call gave it
        assert seen == ["KeyError"]
        return
    assert seen == ["TypeError"] * first + ["KeyError"] * handling
    if first:
        assert error.__context__.args == ("no sorts here",)
        assert traceback.extract_tb(error.__context__.__traceback__)[-1].name == "fail"


# ---------------------------------------------------------------------------------------------
# The module's own reports

FIND_PANIC = '''\
import sys
import _kestrin


def internal_fault_class():
    # Made when the module first takes an exception back from the interpreter.
    try:
        _kestrin.Environment().declare_function("\\ud800", [], "A")
    except UnicodeEncodeError:
        pass
    (cls,) = [c for c in BaseException.__subclasses__()
              if (c.__module__, c.__name__) == ("pyo3_runtime", "PanicException")]
    return cls


Panic = internal_fault_class()


class Both(SystemExit, Panic):
    # Named with a module: whether "__main__." is printed before the name varies by version.
    __module__ = "app"


def exiting_hook(kind, value, traceback):
    sys.__excepthook__(kind, value, traceback)
    sys.exit(3)


'''

NOTICE = [
    "An internal fault raised by Python code reached native code.",
    "It is passed on as a new internal fault; its traceback follows.",
]


# (sys.excepthook, class of the exception the user sequence raises, its last traceback line)
@pytest.mark.parametrize("hook, kind, shown", [
    # a hook that logs and exits, as programs install to stop on any uncaught error
    pytest.param("exiting_hook", "Panic", "pyo3_runtime.PanicException: boom", id="hook-exits"),
    # the exception itself asks the process to exit
    pytest.param("sys.__excepthook__", "Both", "app.Both: boom", id="fault-is-exit"),
    pytest.param("exiting_hook", "Both", "app.Both: boom", id="both"),
])
def test_internal_fault_from_caller_code_does_not_end_the_process(hook, kind, shown):
    code = FIND_PANIC + textwrap.dedent('''\
        sys.excepthook = {hook}
        raised = {kind}("boom")


        class Raising:
            def __getitem__(self, i):
                raise IndexError

            def __iter__(self):
                raise raised  # raise


        env = _kestrin.Environment()
        try:
            env.declare_function("f", Raising(), "A")
        except BaseException as e:
            print(type(e) is Panic, e is not raised, e.args)
        finally:
            print("finally")
        env.declare_function("g", [], "B")
        print(env.functions)
        ''').format(hook=hook, kind=kind)
    proc = run(code)
    assert (proc.returncode, proc.stdout) == (
        0, "True True ('boom',)\nfinally\n[('g', [], 'B')]\n"), proc.stderr
    # Reported once: the report runs no hook, so nothing prints it a second time.
    assert skeleton(proc.stderr) == NOTICE + [
        "Traceback (most recent call last):",
        '  File "<string>", line %d, in __iter__' % line_of(code, "# raise"),
        shown,
    ], proc.stderr


@cpython_only("_testcapi")
@allocation_failures_testable
def test_failed_interpreter_call_does_not_end_the_process():
    # One allocation fails, at each step of reading `functions` in turn, until one of them is
    # an interpreter call the module needs: the MemoryError is printed and the call faults.
    pytest.importorskip("_testcapi")
    code = FIND_PANIC + textwrap.dedent('''\
        import _testcapi
        sys.excepthook = exiting_hook
        env = _kestrin.Environment()
        env.declare_function("f", ["A"], "B")
        outcome = None
        for start in range(200):
            _testcapi.set_nomemory(start, start + 1)
            try:
                env.functions
            except BaseException as e:
                outcome = e
            finally:
                _testcapi.remove_mem_hooks()
            if type(outcome) is Panic:
                break
        print(type(outcome).__name__, outcome.args)
        print(env.functions)
        ''')
    proc = run(code)
    assert (proc.returncode, proc.stdout) == (
        0, "PanicException ('Python API call failed',)\n[('f', ['A'], 'B')]\n"), proc.stderr
    assert skeleton(proc.stderr) == ["MemoryError"], proc.stderr

