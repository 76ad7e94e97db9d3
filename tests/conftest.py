import functools
import os
import platform
import subprocess
import sys
import sysconfig

import pytest

import _kestrin

# The sanitizer runtime keeps freed memory in quarantine and reserves far more address space
# than any limit a test would set, so figures of process memory mean nothing under it.
under_sanitizer = pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="process memory figures are meaningless under the sanitizer runtime")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))

PYPY = platform.python_implementation() == "PyPy"


def cpython_only(why):
    """Skips on other interpreters a test that needs one of CPython's own tools or traits:
    reference counts, the C API through ctypes, the collector's internals, _testcapi, memory
    given back as soon as it is dropped."""
    return pytest.mark.skipif(PYPY, reason="CPython only: " + why)

# A free-threaded CPython 3.13 crashes in its own code, pure Python code included, when an
# allocation fails under _testcapi.set_nomemory.
allocation_failures_testable = pytest.mark.skipif(
    FREE_THREADED, reason="the free-threaded interpreter crashes under _testcapi.set_nomemory")

# A free-threaded interpreter refuses a module of single-phase initialisation in every
# subinterpreter, before the module's own code runs.
NOT_IN_SUBINTERPRETERS = "module _kestrin does not support loading in subinterpreters"


@functools.lru_cache(maxsize=None)
def _address_space_limits_hold():
    # Asked of a child: a cap a little above what it has mapped, then an allocation far above.
    probe = (
        "import resource\n"
        "with open('/proc/self/status') as f:\n"
        "    mapped = next(int(l.split()[1]) * 1024 for l in f if l.startswith('VmSize'))\n"
        "hard = resource.getrlimit(resource.RLIMIT_AS)[1]\n"
        "resource.setrlimit(resource.RLIMIT_AS, (mapped + (64 << 20), hard))\n"
        "try:\n"
        "    bytearray(512 << 20)\n"
        "except MemoryError:\n"
        "    print('held')\n")
    out = subprocess.run([sys.executable, "-c", probe], capture_output=True, text=True, timeout=120)
    return out.stdout.strip() == "held"


@pytest.fixture
def address_space_limits():
    """Skips where the system does not enforce a cap on the address space (RLIMIT_AS): user-mode
    emulation, which runs the other architectures' interpreters here, accepts the cap and
    ignores it."""
    if PYPY:
        pytest.skip("PyPy itself crashes when its address space runs out")
    if not _address_space_limits_hold():
        pytest.skip("this system does not enforce RLIMIT_AS (as under qemu-user emulation)")


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
    try:
        import _testcapi
    except Exception:  # Debian's PyPy raises FileNotFoundError for it
        pytest.skip("no _testcapi")
    if not hasattr(_testcapi, "run_in_subinterp"):
        pytest.skip("_testcapi has no run_in_subinterp")
    return _testcapi.run_in_subinterp


@pytest.fixture(scope="session")
def panic():
    cls = _internal_fault_class()
    if cls is None:
        pytest.fail("the module has no pyo3_runtime.PanicException below BaseException")
    return cls
