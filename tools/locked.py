"""The pinned tools of tools/requirements/*.lock, for the shell tools and the tests.

    python3 tools/locked.py select LOCK PYTHON    the lock's requirements (with their hashes)
                                                  that an interpreter of PYTHON (3.X, 3.Xt or
                                                  pp3.X) on Linux installs, without markers
    python3 tools/locked.py pin LOCK NAME         "NAME==VERSION" of a tool the lock pins once

`select` serves `pip download` for another interpreter than the one running pip: pip reads a
requirement's condition for its own version, and would fetch 3.11's tools for a 3.8 root.
Needs the `packaging` module (the tools' virtual environment has it).
"""

import re
import sys

LINE = re.compile(r"^(?P<name>[A-Za-z0-9][A-Za-z0-9._-]*)==(?P<version>\S+)\s*(?:;\s*(?P<marker>[^\\]+?))?\s*\\?$")
HASH = re.compile(r"^\s+--hash=sha256:[0-9a-f]{64}\s*\\?$")


class LockError(Exception):
    pass


def entries(path):
    """(name, version, marker or None, [hash lines]) per requirement of a lock, in its order."""
    found = []
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            if HASH.match(line):
                if not found:
                    raise LockError("%s:%d: a hash before any requirement" % (path, number))
                found[-1][3].append(line.strip().rstrip("\\").strip())
                continue
            match = LINE.match(line)
            if not match:
                raise LockError("%s:%d: not a pinned requirement: %s" % (path, number, line.strip()))
            found.append((match["name"], match["version"], match["marker"], []))
    for name, version, _, hashes in found:
        if not hashes:
            raise LockError("%s: %s==%s has no hash" % (path, name, version))
    return found


def environment(python):
    """The marker variables of a Linux x86-64 interpreter of PYTHON ("3.9", "3.13t", "pp3.9")."""
    pypy = python.startswith("pp")
    version = python.lstrip("p").rstrip("t")
    return {
        "python_version": version,
        "python_full_version": version + ".0",
        "implementation_name": "pypy" if pypy else "cpython",
        "platform_python_implementation": "PyPy" if pypy else "CPython",
        "sys_platform": "linux",
        "os_name": "posix",
        "platform_system": "Linux",
        "platform_machine": "x86_64",
    }


def select(path, python):
    from packaging.markers import Marker

    env = environment(python)
    chosen = {}
    for name, version, marker, hashes in entries(path):
        if marker is None or Marker(marker).evaluate(env):
            if name in chosen:
                raise LockError("%s: %s is pinned twice for %s" % (path, name, python))
            chosen[name] = "%s==%s %s" % (name, version, " ".join(hashes))
    return list(chosen.values())


def pin(path, name):
    versions = {v for n, v, _, _ in entries(path) if n == name}
    if len(versions) != 1:
        raise LockError("%s pins %s %s" % (path, name, "%d times" % len(versions) if versions else "nowhere"))
    return "%s==%s" % (name, versions.pop())


def main(argv):
    try:
        if len(argv) == 3 and argv[0] == "select":
            print(*select(argv[1], argv[2]), sep="\n")
        elif len(argv) == 3 and argv[0] == "pin":
            print(pin(argv[1], argv[2]))
        else:
            sys.exit(__doc__.strip())
    except LockError as e:
        sys.exit(str(e))


if __name__ == "__main__":
    main(sys.argv[1:])
