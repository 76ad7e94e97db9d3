"""Import surface, class shape, construction, release and re-initialisation."""

import gc
import json
import os
import subprocess
import sys
import weakref

import pytest

import _kestrin
from _kestrin import Environment
from conftest import FREE_THREADED, NOT_IN_SUBINTERPRETERS, PYPY, cpython_only

PUBLIC = {"declare_function", "declare_sequent", "sorts", "functions", "sequents"}
ONCE = "PyO3 modules may only be initialized once per interpreter process"


def test_module_and_class_surface():
    assert (type(_kestrin.__all__), _kestrin.__all__, _kestrin.__doc__) == (list, ["Environment"], "")
    assert {n for n in vars(_kestrin) if not n.startswith("__")} == {"Environment"}
    assert type(Environment) is type and Environment.__mro__ == (Environment, object)
    assert (Environment.__module__, Environment.__name__, Environment.__qualname__) == (
        "builtins", "Environment", "Environment")
    assert Environment.__doc__ is None
    assert {n for n in vars(Environment) if not n.startswith("_")} == PUBLIC
    # an empty docstring is none for a method, and empty for an attribute
    assert [Environment.__dict__[a].__doc__ for a in ("declare_function", "declare_sequent")] == [
        None, None]
    assert [Environment.__dict__[a].__doc__ for a in ("sorts", "functions", "sequents")] == [""] * 3


# No slot beyond new/dealloc/str: everything else is object's own.
@pytest.mark.parametrize(
    "slot", ["__repr__", "__eq__", "__ne__", "__lt__", "__hash__", "__init__", "__getattribute__"]
)
def test_inherited_slots(slot):
    assert getattr(Environment, slot) is getattr(object, slot)


@pytest.mark.parametrize(
    "args, kwargs",
    [
        ((), {}),
        ((1, 2), {}),  # positional arguments are ignored
        ((), {"x": 3}),  # so are keywords
        (("f", ["A"], "B"), {"name": "g", "s": "x = y => y = x"}),  # even ones that look meaningful
    ],
)
def test_construction_ignores_arguments(args, kwargs):
    for env in (Environment(*args, **kwargs), Environment.__new__(Environment, *args, **kwargs)):
        assert type(env) is Environment
        assert (env.sorts, env.functions, env.sequents, str(env)) == ([], [], [], "")


def test_not_subclassable():
    with pytest.raises(TypeError):
        type("Sub", (Environment,), {})


# 3.13 words a missing attribute of an object without a dictionary at more length.
NO_DICT = " and no __dict__ for setting new attributes" if sys.version_info >= (3, 13) else ""


@pytest.mark.parametrize(
    "mutate, message",
    [
        # no instance dictionary
        (lambda env: setattr(env, "extra", 1),
         "'builtins.Environment' object has no attribute 'extra'" + NO_DICT),
        (lambda env: delattr(env, "extra"),
         "'builtins.Environment' object has no attribute 'extra'" + NO_DICT),
        (lambda env: setattr(env, "__dict__", {}),
         "'builtins.Environment' object has no attribute '__dict__'" + NO_DICT),
        # getters only
        (lambda env: setattr(env, "sorts", []),
         "attribute 'sorts' of 'builtins.Environment' objects is not writable"),
        (lambda env: delattr(env, "functions"),
         "attribute 'functions' of 'builtins.Environment' objects is not writable"),
        # methods, and what every object has, are read-only
        (lambda env: setattr(env, "declare_function", None),
         "'builtins.Environment' object attribute 'declare_function' is read-only"),
        (lambda env: delattr(env, "declare_sequent"),
         "'builtins.Environment' object attribute 'declare_sequent' is read-only"),
        (lambda env: setattr(env, "__repr__", None),
         "'builtins.Environment' object attribute '__repr__' is read-only"),
    ],
)
def test_attributes_are_read_only(env, mutate, message):
    env.declare_function("f", ["A"], "B")
    with pytest.raises(AttributeError) as raised:
        mutate(env)
    assert str(raised.value) == message
    assert env.sorts == ["B", "A"]
    assert env.functions == [("f", ["A"], "B")]


def test_no_instance_dictionary(env):
    with pytest.raises(AttributeError) as raised:
        env.__dict__
    assert str(raised.value) == "'builtins.Environment' object has no attribute '__dict__'"
    with pytest.raises(TypeError):
        vars(env)


@cpython_only("PyPy can weakly reference any object, and has no gc.is_tracked")
def test_no_weakref_not_gc_tracked(env):
    with pytest.raises(TypeError):
        weakref.ref(env)
    assert not gc.is_tracked(env)


def test_identity_equality_and_default_repr():
    a, b = Environment(), Environment()
    assert a == a and not (a != a)
    assert a != b and not (a == b)  # two empty environments are still different objects
    assert hash(a) == object.__hash__(a)
    assert len({a, b, a}) == 2
    assert repr(a) == object.__repr__(a)
    assert repr(a).startswith("<builtins.Environment object at 0x")
    assert "Environment" in repr(a)
    assert str(a) == format(a) == ""


# The interpreter refuses a foreign receiver before the module sees it.
@pytest.mark.parametrize(
    "call",
    [
        lambda: Environment.declare_function(object(), "f", [], "A"),
        lambda: Environment.declare_sequent("x = x => x = x", "x = x => x = x"),
        lambda: Environment.__dict__["sorts"].__get__(object(), object),
        lambda: Environment.__str__(object()),
    ],
)
def test_foreign_receiver(call):
    with pytest.raises(TypeError):
        call()


@cpython_only("sys.getrefcount")
def test_release_keeps_handed_out_terms(sequent_env):
    env = Environment()
    env.declare_function("f", ["A"], "A")
    env.declare_function("c", [], "A")
    env.declare_sequent("(f x) = c => x = (f (f c))")
    lhs = env.sequents[0][0][0][0]
    deep = env.sequents[0][1][0][1]
    held = sys.getrefcount(lhs), sys.getrefcount(deep)
    del env
    gc.collect()
    # the environment held exactly one reference to each stored term
    assert (sys.getrefcount(lhs), sys.getrefcount(deep)) == (held[0] - 1, held[1] - 1)
    assert lhs == ("f", [("?0", [])])
    assert deep == ("f", [("f", [("c", [])])])


def _run(script):
    path = os.path.dirname(os.path.abspath(_kestrin.__file__))
    environ = dict(os.environ)
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [path, environ.get("PYTHONPATH")]))
    proc = subprocess.run(
        [sys.executable, "-c", script],
        env=environ,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        universal_newlines=True,
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    return proc.stdout


REIMPORT = r"""
import json, sys
import _kestrin
first = _kestrin
env = first.Environment()
env.declare_function("f", ["A"], "B")
out = {}
for attempt in ("second", "third"):
    sys.modules.pop("_kestrin", None)
    try:
        import _kestrin
    except ImportError as exc:
        out[attempt] = [type(exc).__name__, list(exc.args), "_kestrin" in sys.modules]
    else:
        out[attempt] = "imported again"
env.declare_function("g", [], "C")
fresh = first.Environment()
fresh.declare_function("h", ["D"], "D")
out["old"] = [env.sorts, env.functions, fresh.sorts, first.__all__]
print(json.dumps(out))
"""


def test_second_initialisation_is_refused():
    out = json.loads(_run(REIMPORT))
    refused = ["ImportError", [ONCE], False]
    assert out["second"] == refused
    assert out["third"] == refused  # the flag never resets
    assert out["old"] == [
        ["B", "A", "C"],
        [["f", ["A"], "B"], ["g", [], "C"]],
        ["D"],
        ["Environment"],  # the failed attempts did not touch the first module
    ]


SUBINTERP = r"""
import _testcapi, _kestrin
env = _kestrin.Environment()
code = '''
import json, os
try:
    import _kestrin
except ImportError as exc:
    os.write(1, (json.dumps([type(exc).__name__, list(exc.args)]) + "\\n").encode())
else:
    os.write(1, b'"imported"\\n')
'''
rc = _testcapi.run_in_subinterp(code)
env.declare_function("f", [], "A")
print(rc, env.functions)
"""


def test_import_in_second_interpreter_is_refused(run_in_subinterp):
    sub, main = _run(SUBINTERP).splitlines()
    assert json.loads(sub) == ["ImportError", [NOT_IN_SUBINTERPRETERS if FREE_THREADED else ONCE]]
    assert main == "0 [('f', [], 'A')]"


def elf_exports(path):
    """The names a shared object exports (its defined global or weak dynamic symbols), or None
    when it is not an ELF file. Either width, either byte order."""
    import struct
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"\x7fELF":
        return None
    wide, order = data[4] == 2, "<" if data[5] == 1 else ">"
    shoff, shentsize, shnum = (struct.unpack_from(order + "Q", data, 0x28)[0], *struct.unpack_from(
        order + "HH", data, 0x3A)) if wide else (struct.unpack_from(order + "I", data, 0x20)[0],
                                                 *struct.unpack_from(order + "HH", data, 0x2E))
    layout = order + ("IIQQQQIIQQ" if wide else "IIIIIIIIII")
    # (type, offset, size, link, entry size) of every section
    sections = [(h[1], h[4], h[5], h[6], h[9]) for h in
                (struct.unpack_from(layout, data, shoff + i * shentsize) for i in range(shnum))]
    names = []
    for kind, offset, size, link, entsize in sections:
        if kind != 11:  # SHT_DYNSYM
            continue
        strings = sections[link][1]
        for at in range(offset + entsize, offset + size, entsize):
            if wide:
                name, info, _, shndx = struct.unpack_from(order + "IBBH", data, at)
            else:
                name, _, _, info, _, shndx = struct.unpack_from(order + "IIIBBH", data, at)
            if shndx != 0 and info >> 4 in (1, 2):  # defined; STB_GLOBAL or STB_WEAK
                names.append(data[strings + name:data.index(b"\0", strings + name)].decode())
    return names


def test_the_module_exports_its_init_function_alone():
    # Everything else stays inside, the C++ runtime linked into a wheel included, so that
    # nothing of the module's can stand in for another library's. On PyPy the module is Python
    # code, and its library exports its C interface alone.
    if PYPY:
        exports = elf_exports(os.path.join(os.path.dirname(_kestrin.__file__), "libkestrin_abi.so"))
        assert exports and all(name.startswith("kestrin_") for name in exports), exports
        return
    exports = elf_exports(_kestrin.__file__)
    if exports is None:
        pytest.skip("not an ELF shared object")
    assert exports == ["PyInit__kestrin"]
