"""Limits the README states per CPython version: what passes as argument_type, copying and
pickling, and which interpreter of a process may initialise the module."""

import array
import collections
import collections.abc
import copy
import json
import os
import pickle
import subprocess
import sys

import pytest

import _kestrin
from _kestrin import Environment
from conftest import FREE_THREADED, NOT_IN_SUBINTERPRETERS

ONCE = "PyO3 modules may only be initialized once per interpreter process"


class GetItemOnly:
    def __getitem__(self, i):
        return ["A", "B"][i]


class DictWithGetItem(dict):
    def __getitem__(self, key):
        return "A"


class KeysMapping(collections.abc.Mapping):
    """Not a dict: passes as a sequence, and iterating it gives its keys."""

    def __init__(self, data):
        self.data = data

    def __getitem__(self, key):
        return self.data[key]

    def __iter__(self):
        return iter(self.data)

    def __len__(self):
        return len(self.data)


class IterOnlyRegistered:
    def __iter__(self):
        return iter(["A"])

    def __len__(self):
        return 1


collections.abc.Sequence.register(IterOnlyRegistered)


def not_a_sequence(type_name):
    return "argument 'argument_type': '%s' object cannot be converted to 'Sequence'" % type_name


NOT_STR = "argument 'argument_type': 'int' object cannot be converted to 'PyString'"


@pytest.mark.parametrize(
    "value, sorts",
    [
        (collections.deque(["A", "B"]), ["A", "B"]),
        (collections.UserList(["A"]), ["A"]),
        (array.array("u", "AB") if sys.version_info < (3, 13) else array.array("w", "AB"), ["A", "B"]),
        (GetItemOnly(), ["A", "B"]),
        (KeysMapping({"S": 1, "T": 2}), ["S", "T"]),
        (b"", []),
        (range(0), []),
    ],
    ids=["deque", "UserList", "array", "getitem-class", "non-dict-mapping", "empty-bytes", "range0"],
)
def test_argument_type_accepted(value, sorts):
    env = Environment()
    env.declare_function("f", value, "R")
    assert env.functions == [("f", sorts, "R")]


@pytest.mark.parametrize(
    "value, message",
    [
        (DictWithGetItem({0: "A"}), not_a_sequence("DictWithGetItem")),
        (collections.OrderedDict({0: "A"}), not_a_sequence("OrderedDict")),
        (collections.defaultdict(str), not_a_sequence("defaultdict")),
        ({"A": 1}.keys(), not_a_sequence("dict_keys")),
        (IterOnlyRegistered(), not_a_sequence("IterOnlyRegistered")),
        (b"A", NOT_STR),
        (bytearray(b"A"), NOT_STR),
        (memoryview(b"A"), NOT_STR),
        (range(1), NOT_STR),
        (KeysMapping({0: "A"}), NOT_STR),
    ],
    ids=["dict-subclass-getitem", "OrderedDict", "defaultdict", "dict-keys",
         "registered-sequence-without-getitem", "bytes", "bytearray", "memoryview", "range1",
         "mapping-int-keys"],
)
def test_argument_type_refused(value, message):
    env = Environment()
    with pytest.raises(TypeError) as info:
        env.declare_function("f", value, "R")
    assert type(info.value) is TypeError
    assert info.value.args == (message,)
    assert env.functions == [] and env.sorts == []


QUALIFIED = "cannot pickle 'builtins.Environment' object"


@pytest.mark.parametrize(
    "operation, error, message",
    [(copy.copy, TypeError, QUALIFIED), (copy.deepcopy, TypeError, QUALIFIED)]
    + [(lambda env, p=p: pickle.dumps(env, p), TypeError, QUALIFIED)
       for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    + [(pickle.dumps, TypeError, QUALIFIED)]
    + [(lambda env, p=p: pickle.dumps(env, p), pickle.PicklingError,
        "Can't pickle <class 'builtins.Environment'>: "
        "attribute lookup Environment on builtins failed")
       if sys.version_info < (3, 9) else
       (lambda env, p=p: pickle.dumps(env, p), TypeError, "cannot pickle 'Environment' object")
       for p in (0, 1)],
    ids=["copy", "deepcopy"]
    + ["protocol-%d" % p for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    + ["default-protocol", "protocol-0", "protocol-1"],
)
def test_copying_and_pickling_refused(operation, error, message):
    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_sequent("x = c => c = x")
    with pytest.raises(error) as info:
        operation(env)
    assert type(info.value) is error
    assert str(info.value) == message
    assert str(env) == "?0 = c => c = ?0\n"


def _run(script, *args):
    path = os.path.dirname(os.path.abspath(_kestrin.__file__))
    environ = dict(os.environ)
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [path, environ.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", script] + list(args), env=environ, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, universal_newlines=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout)


# The subinterpreter reports through a file descriptor: its sys.stdout is its own.
PROBE = r"""
import json, os
try:
    import _kestrin
    env = _kestrin.Environment()
    env.declare_sequent("x = y => y = x")
    result = ["ok", str(env)]
except BaseException as exc:
    result = [type(exc).__name__, str(exc)]
os.write(%d, (json.dumps(result) + "\n").encode())
"""

FIRST_IN_SUBINTERPRETER = r"""
import json, os, sys
r, w = os.pipe()
code = %r %% w
if sys.argv[1:] == ["own-gil"]:
    try:
        import _interpreters as interpreters
    except ImportError:
        import _xxsubinterpreters as interpreters
    run = getattr(interpreters, "run_string", None) or interpreters.exec
    run(interpreters.create(), code)
else:
    import _testcapi
    assert _testcapi.run_in_subinterp(code) == 0
os.close(w)
with os.fdopen(r) as f:
    sub = json.loads(f.read())
try:
    import _kestrin
    main = ["ok"]
except ImportError as exc:
    main = ["ImportError", str(exc)]
print(json.dumps({"sub": sub, "main": main}))
""" % PROBE


def _first_in_subinterpreter(kind):
    return _run(FIRST_IN_SUBINTERPRETER, kind)


def test_first_import_in_a_subinterpreter_sharing_the_gil(run_in_subinterp):
    out = _first_in_subinterpreter("shared-gil")
    if FREE_THREADED:
        assert out["sub"] == ["ImportError", NOT_IN_SUBINTERPRETERS]
    elif sys.version_info < (3, 13):
        assert out["sub"] == ["ok", "?0 = ?1 => ?1 = ?0\n"]
    else:
        assert out["sub"] == ["ImportError", ONCE]
    # either way the process has used up its one initialisation
    assert out["main"] == ["ImportError", ONCE]


@pytest.mark.skipif(sys.version_info < (3, 12), reason="no subinterpreters with their own GIL")
def test_first_import_in_a_subinterpreter_with_its_own_gil():
    try:
        import _interpreters  # noqa: F401
    except ImportError:
        try:
            import _xxsubinterpreters  # noqa: F401
        except ImportError:
            pytest.skip("no module to create subinterpreters")
    out = _first_in_subinterpreter("own-gil")
    assert out["sub"] == ["ImportError", NOT_IN_SUBINTERPRETERS]
    assert out["main"] == ["ImportError", ONCE]
