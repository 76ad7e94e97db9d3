"""The release's targets, as tools/targets.toml lists them, for the shell tools and the tests.

    python3 tools/targets.py list           "PYTHON PLATFORM SOURCE PATH TESTS NEED" per target:
                                            PATH is the interpreter's in its root ("-" for pyenv),
                                            NEED "required" or "optional"
    python3 tools/targets.py roots          "ROOT PYTHON..." per root of tools/interpreters.sh
    python3 tools/targets.py arch ARCH      "DEBIAN TRIPLET ZIG-TARGET ZIG-CPU" ("-" for no CPU)
    python3 tools/targets.py compile-checked  zig's name of each system only compiled for
    python3 tools/targets.py docs           the texts of the README, docs/reference.md and
                                            pyproject.toml that the table decides

Needs Python 3.11 or later (tomllib). A table that names something the tools cannot build (an
unknown architecture, a root that does not hold that interpreter, a cross-compiled target with
no x86-64 CPython of its version to build it) is refused, saying why.
"""

import pathlib
import re
import sys

TABLE = pathlib.Path(__file__).resolve().with_name("targets.toml")
PYTHON = re.compile(r"^(3\.\d+t?|pp3\.\d+)$")
SOURCE = re.compile(r"^(pyenv|x86_64-sid|pypy-x86_64|musl-(?P<musl>\w+)|(?P<arch>\w+)-(?P<suite>[a-z]+))$")


class TableError(Exception):
    pass


def minor(version):
    """(3, 11) of "3.11", "3.11t" or "pp3.11"."""
    major, rest = version.lstrip("p").rstrip("t").split(".")
    return int(major), int(rest)


class Target:
    def __init__(self, table, entry):
        self.python, self.arch, self.libc = entry["python"], entry["arch"], entry["libc"]
        self.source, self.tests, self.required = entry["source"], entry["tests"], entry["required"]
        self.release = entry.get("release")
        self.pypy = self.python.startswith("pp")
        self.free_threaded = self.python.endswith("t")
        floor = table["floor"][self.libc].replace(".", "_")
        self.platform = "%slinux_%s_%s" % ("many" if self.libc == "glibc" else "musl", floor, self.arch)

    @property
    def cross(self):
        """Built by another interpreter than its own: an x86-64 CPython of its version."""
        return self.source not in ("pyenv", "x86_64-sid", "pypy-x86_64")

    @property
    def path(self):
        """The interpreter's path in its root, as tools/interpreters.sh makes it."""
        v = self.python
        if self.source == "pyenv":
            return "-"
        if self.pypy:
            return "/usr/bin/pypy3"
        if self.free_threaded:
            return "/opt/cpython-%s/bin/python%s" % (v, v)
        if self.libc == "musl":
            return "/opt/python%s/bin/python%s" % (v, v)
        return "/usr/bin/python%s" % v

    def __str__(self):
        return "%s %s" % (self.python, self.platform)


def check(table):
    """The table's targets, after refusing what the tools could not build."""
    arches = table["arch"]
    for name, facts in arches.items():
        missing = {"name", "debian", "triplet", "zig", "tested"} - set(facts)
        if missing:
            raise TableError("architecture %s lacks %s" % (name, ", ".join(sorted(missing))))
    targets, seen = [], set()
    for entry in table["targets"]:
        missing = {"python", "arch", "libc", "source", "tests", "required"} - set(entry)
        if missing:
            raise TableError("target %s lacks %s" % (entry, ", ".join(sorted(missing))))
        if not PYTHON.match(entry["python"]):
            raise TableError("%r is no interpreter version (3.X, 3.Xt or pp3.X)" % entry["python"])
        if entry["arch"] not in arches:
            raise TableError("unknown architecture %r" % entry["arch"])
        if entry["libc"] not in ("glibc", "musl"):
            raise TableError("unknown C library %r" % entry["libc"])
        if entry["tests"] not in ("whole", "tables"):
            raise TableError("tests is %r, not whole or tables" % entry["tests"])
        if not isinstance(entry["required"], bool):
            raise TableError("required is %r, not true or false" % entry["required"])
        target = Target(table, entry)
        if (target.python, target.platform) in seen:
            raise TableError("%s is in the table twice" % target)
        seen.add((target.python, target.platform))
        source = SOURCE.match(target.source)
        # What each kind of root holds, as tools/interpreters.sh makes them.
        native = target.arch == "x86_64" and target.libc == "glibc"
        fits = {
            "pyenv": native and not target.pypy and not target.free_threaded,
            "x86_64-sid": native and not target.pypy,
            "pypy-x86_64": native and target.pypy,
        }.get(target.source)
        if fits is None and source and source["musl"]:
            fits = target.libc == "musl" and source["musl"] == target.arch and not (target.pypy or target.free_threaded)
        elif fits is None and source:
            fits = target.libc == "glibc" and source["arch"] == target.arch and not (target.pypy or target.free_threaded)
        if not fits:
            raise TableError("%s cannot come from %r" % (target, target.source))
        targets.append(target)
    builders = {t.python for t in targets if t.source in ("pyenv", "x86_64-sid") and not t.free_threaded}
    for target in targets:
        if target.cross and target.python not in builders:
            raise TableError("%s is cross-compiled, but the table has no x86-64 CPython %s to do it"
                             % (target, target.python))
    return targets


def load(path=TABLE):
    import tomllib

    with open(path, "rb") as f:
        table = tomllib.load(f)
    return table, check(table)


def roots(targets):
    """Each root of tools/interpreters.sh and the interpreters the table wants of it, in order."""
    found = {}
    for target in targets:
        if target.source != "pyenv":
            found.setdefault(target.source, []).append(target.python)
    return found


def versions(found, last=" and "):
    """ "3.8 to 3.15" for three or more minors in a row, else "3.11, 3.13 and 3.14"."""
    found = sorted(found, key=minor)
    minors = [minor(v)[1] for v in found]
    if len(found) >= 3 and minors == list(range(minors[0], minors[0] + len(minors))):
        return "%s to %s" % (found[0], found[-1])
    return found[0] if len(found) == 1 else ", ".join(found[:-1]) + last + found[-1]


def listing(words):
    return words[0] if len(words) == 1 else ", ".join(words[:-1]) + " and " + words[-1]


def docs(table, targets):
    """The README's sentences on wheels, the rows of docs/reference.md's table of Linux platforms,
    and pyproject.toml's classifiers of interpreters: what the required targets decide."""
    required = [t for t in targets if t.required]
    arches = table["arch"]
    floor = table["floor"]

    def of(libc, arch):
        return [t for t in required if t.libc == libc and t.arch == arch]

    def prose(group):  # as the README words it
        parts = []
        cpython = [t.python for t in group if not (t.pypy or t.free_threaded)]
        if cpython:
            parts.append("CPython " + versions(cpython))
        threaded = [t.python for t in group if t.free_threaded]
        if threaded:
            parts.append("the free-threaded " + versions(threaded))
        parts += ["PyPy " + t.python[2:] for t in group if t.pypy]
        return listing(parts)

    sentences = []
    for libc, opening in (("glibc", "Wheels are made for Linux with glibc %s or later (`manylinux_%s`): "),
                          ("musl", "For Linux with musl %s or later (`musllinux_%s`, as on Alpine), ")):
        groups = {}
        for arch in arches:
            if of(libc, arch):
                groups.setdefault(prose(of(libc, arch)), []).append(arches[arch]["name"])
        if not groups:
            continue
        if libc == "glibc":
            said = "; ".join("for %s, %s" % (listing(names), what) for what, names in groups.items())
        else:
            said = "; ".join("%s on %s" % (what, listing(names)) for what, names in groups.items())
        sentences.append(opening % (floor[libc], floor[libc].replace(".", "_")) + said + ".")

    rows = []
    for libc in ("glibc", "musl"):
        for arch, facts in arches.items():
            group = of(libc, arch)
            if not group:
                continue
            cpython = [t.python for t in group if not (t.pypy or t.free_threaded)]
            threaded = [t.python for t in group if t.free_threaded]
            cell = "CPython " + versions(cpython, last=", ") if cpython else ""
            if threaded:
                cell += ", free-threaded " + versions(threaded, last=", ")
            for t in group:
                if t.pypy:
                    cell += "%sPyPy %s%s" % ("; " if cell else "", t.python[2:], " (%s)" % t.release if t.release else "")
            label = "Linux %s, %s%s" % (facts["name"], libc, " (%s)" % facts["note"] if "note" in facts else "")
            rows.append("| %s | `%s` | %s | %s |" % (label, group[0].platform, cell, facts["tested"]))

    prefix = "Programming Language :: Python :: "
    classifiers = {prefix + "Implementation :: CPython"}
    for t in required:
        if t.pypy:
            classifiers.add(prefix + "Implementation :: PyPy")
        else:
            classifiers.add(prefix + "%d.%d" % minor(t.python))
        if t.free_threaded:
            classifiers.add(prefix + "Free Threading :: 3 - Stable")
    return sentences, rows, sorted(classifiers, key=lambda c: [int(p) if p.isdigit() else p for p in re.split(r"(\d+)", c)])


def main(argv):
    if sys.version_info < (3, 11):
        sys.exit("tools/targets.py needs Python 3.11 or later (tomllib): this is %d.%d" % sys.version_info[:2])
    try:
        table, targets = load()
    except TableError as e:
        sys.exit("%s: %s" % (TABLE, e))
    command = argv[0] if argv else ""
    if command == "list" and len(argv) == 1:
        for t in targets:
            print(t.python, t.platform, t.source, t.path, t.tests, "required" if t.required else "optional")
    elif command == "roots" and len(argv) == 1:
        for root, pythons in roots(targets).items():
            print(root, *pythons)
    elif command == "arch" and len(argv) == 2 and argv[1] in table["arch"]:
        facts = table["arch"][argv[1]]
        zig = "%s.%s" % (facts["zig"], facts.get("zig_glibc", table["floor"]["glibc"]))
        print(facts["debian"], facts["triplet"], zig, facts.get("cpu") or "-")
    elif command == "compile-checked" and len(argv) == 1:
        print(*table["compile_checked"], sep="\n")
    elif command == "docs" and len(argv) == 1:
        sentences, rows, classifiers = docs(table, targets)
        print("README.md:", *sentences, "", "docs/reference.md:", *rows, "", "pyproject.toml:", *classifiers, sep="\n")
    else:
        sys.exit(__doc__.strip())


if __name__ == "__main__":
    main(sys.argv[1:])
