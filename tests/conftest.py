import os
import sysconfig

import pytest

import _kestrin

# The sanitizer runtime keeps freed memory in quarantine and reserves far more address space
# than any limit a test would set, so figures of process memory mean nothing under it.
under_sanitizer = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="process memory figures are meaningless under the sanitizer runtime")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

# A free-threaded CPython 3.13 crashes in its own code, pure Python code included, when an
# allocation fails under _testcapi.set_nomemory.
allocation_failures_testable = pytest.mark.skipif(
    FREE_THREADED, reason="the free-threaded interpreter crashes under _testcapi.set_nomemory")

# A free-threaded interpreter refuses a module of single-phase initialisation in every
# subinterpreter, before the module's own code runs.
NOT_IN_SUBINTERPRETERS = "module _kestrin does not support loading in subinterpreters"


@pytest.fixture
def env():
    return _kestrin.Environment()


@pytest.fixture
def sequent_env(env):
    return env


def _internal_fault_class():
    # The class is made when the module first takes an exception back from the interpreter.
    try:
        _kestrin.Environment().declare_function("\ud800", [], "A")
    except UnicodeEncodeError:
        pass
    # Other native extensions may define a class of the same name; ours is the one that the
    # module passes on as a new instance when caller code raises it into a call.
    for cls in BaseException.__subclasses__():
        if (cls.__module__, cls.__name__) != ("pyo3_runtime", "PanicException"):
            continue
        raised = cls("probe")

        class Raising:
            def __getitem__(self, i):
                raise IndexError

            def __iter__(self):
                raise raised

        try:
            _kestrin.Environment().declare_function("f", Raising(), "A")
        except BaseException as exc:  # noqa: B902 - the class under test is a BaseException
            if type(exc) is cls and exc is not raised:
                return cls
    return None


@pytest.fixture
def run_in_subinterp():
    """Skips unless this interpreter can run code in a subinterpreter sharing its GIL."""
    _testcapi = pytest.importorskip("_testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi has no run_in_subinterp")
    return _testcapi.run_in_subinterp


@pytest.fixture(scope="session")
def panic():
    cls = _internal_fault_class()
    if cls is None:
        pytest.fail("the module has no pyo3_runtime.PanicException below BaseException")
    return cls
