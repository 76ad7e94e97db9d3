"""What the README, docs/reference.md and pyproject.toml say is built is what the table of
targets (tools/targets.toml) builds, and the table refuses what the release tools could not build."""

import copy
import pathlib
import re
import runpy
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOOL = ROOT / "tools" / "targets.py"

pytestmark = [
    pytest.mark.skipif(not TOOL.is_file(), reason="no source tree beside the tests"),
    pytest.mark.skipif(sys.version_info < (3, 11), reason="the table is read with tomllib (3.11)"),
]


@pytest.fixture(scope="module")
def targets():
    return runpy.run_path(str(TOOL))


@pytest.fixture(scope="module")
def texts(targets):
    return targets["docs"](*targets["load"]())


def read(name):
    return (ROOT / name).read_text(encoding="utf-8")


def test_readme_names_the_required_targets(texts):
    sentences, _, _ = texts
    readme = " ".join(read("README.md").split())
    for sentence in sentences:
        assert sentence in readme, "the README should say, as tools/targets.py docs prints:\n" + sentence


def test_reference_table_has_a_row_per_linux_platform(texts):
    _, rows, _ = texts
    documented = [line for line in read("docs/reference.md").splitlines() if line.startswith("| Linux ")]
    assert documented == rows


def test_classifiers_name_the_interpreters_built(targets, texts):
    import tomllib

    _, _, wanted = texts
    classifiers = tomllib.loads(read("pyproject.toml"))["project"]["classifiers"]
    about = re.compile(r"Programming Language :: Python :: (3\.\d+|Implementation|Free Threading)")
    assert [c for c in classifiers if about.match(c)] == wanted


def entry(table, python, arch, libc="glibc"):
    return next(t for t in table["targets"] if (t["python"], t["arch"], t["libc"]) == (python, arch, libc))


def drop(table, python, arch):
    table["targets"].remove(entry(table, python, arch))


# Each a table that would send the release tools off to fail late, or build something else than
# it says, and the reason the reader gives.
@pytest.mark.parametrize("change, why", [
    (lambda t: entry(t, "3.11", "aarch64").update(arch="riscv64"), "unknown architecture"),
    (lambda t: entry(t, "3.11", "aarch64").update(source="pyenv"), "cannot come from"),
    (lambda t: entry(t, "3.11", "aarch64").update(source="armv7l-bookworm"), "cannot come from"),
    (lambda t: entry(t, "3.11", "aarch64").update(source="musl-aarch64"), "cannot come from"),
    (lambda t: entry(t, "3.11", "x86_64", "musl").update(source="x86_64-sid"), "cannot come from"),
    (lambda t: entry(t, "3.13t", "x86_64").update(source="pyenv"), "cannot come from"),
    (lambda t: entry(t, "pp3.9", "x86_64").update(source="x86_64-sid"), "cannot come from"),
    (lambda t: t["targets"].append(dict(entry(t, "3.11", "i686"))), "twice"),
    (lambda t: drop(t, "3.13", "x86_64"), "no x86-64 CPython 3.13"),
    (lambda t: entry(t, "3.11", "i686").update(python="3.11.2"), "no interpreter version"),
    (lambda t: entry(t, "3.11", "i686").update(libc="uclibc"), "unknown C library"),
    (lambda t: entry(t, "3.11", "i686").update(tests="some"), "not whole or tables"),
    (lambda t: entry(t, "3.11", "i686").update(required="yes"), "not true or false"),
    (lambda t: entry(t, "3.11", "i686").pop("tests"), "lacks tests"),
    (lambda t: t["arch"]["s390x"].pop("triplet"), "lacks triplet"),
])
def test_a_table_the_tools_cannot_build_is_refused(targets, change, why):
    table = copy.deepcopy(targets["load"]()[0])
    change(table)
    with pytest.raises(targets["TableError"], match=why):
        targets["check"](table)


# The tools take every floor and architecture from the table: a shell script naming one again
# would go its own way when the table changes.
@pytest.mark.parametrize("script", sorted(p.name for p in (ROOT / "tools").glob("*.sh")) + ["../.ci/run"])
def test_the_shell_tools_name_no_floor(script):
    text = read("tools/" + script)
    assert not re.findall(r"\b2[._]1[79]\b|(?:many|musl)linux_\d", text)
