"""The source folders are layers: each includes only itself and the layers below it."""

import pathlib
import re

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
# Bottom first: the Python-free core, its C interface (which the Python binding for PyPy loads),
# the C-API helpers, the Environment record with its Python objects, the module and its call
# frame.
LAYERS = ["logic", "abi", "capi", "store", "binding"]
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.M)

pytestmark = pytest.mark.skipif(not SRC.is_dir(), reason="no source tree beside the tests")


def includes(path):
    return INCLUDE.findall(path.read_text(encoding="utf-8"))


def sources():
    return sorted(p for p in SRC.rglob("*") if p.suffix in (".hpp", ".cpp"))


def test_every_folder_is_a_known_layer():
    assert sorted({p.parent.name for p in sources()}) == sorted(LAYERS)


def test_includes_run_one_way():
    upward = []
    for path in sources():
        rank = LAYERS.index(path.parent.name)
        for kind, name in includes(path):
            if kind != '"':
                continue
            target = name.split("/")[0]
            assert target in LAYERS, (path, name)
            if LAYERS.index(target) > rank:
                upward.append("%s -> %s" % (path.relative_to(SRC), name))
    assert upward == []


def test_core_knows_nothing_of_python():
    touching = [str(p.relative_to(SRC)) for p in sources()
                if p.parent.name in ("logic", "abi") and ("<", "Python.h") in includes(p)]
    assert touching == []
    # and the C API helpers and above know nothing of the C interface
    assert [p for p in sources() if LAYERS.index(p.parent.name) > 1
            and any(name.startswith("abi/") for _, name in includes(p))] == []


def test_core_library_builds_from_the_core_alone():
    cmake = (SRC.parent / "CMakeLists.txt").read_text(encoding="utf-8")
    block = re.search(r"add_library\(kestrin_logic STATIC(.*?)\)", cmake, re.S).group(1)
    files = block.split()
    assert files and all(f.startswith("src/logic/") for f in files)
    assert sorted(files) == sorted("src/logic/" + p.name for p in (SRC / "logic").glob("*.cpp"))

