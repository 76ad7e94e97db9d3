"""Differential fuzz target: the native Environment against tests/model.py.

Run from the repository root:

    python fuzz/fuzz_sequents.py -max_total_time=60 fuzz/corpus

libFuzzer adds the inputs it finds to the first corpus directory; to keep
the checked-in seeds as they are, name a scratch directory first:

    python fuzz/fuzz_sequents.py -max_total_time=60 /tmp/corpus fuzz/corpus

Input format (UTF-8, undecodable bytes replaced), one call per line:

    F<name>|<sort>,<sort>|<result>   declare_function; missing fields mean
                                     no argument sorts and result sort "A"
    R<digits>                        declare_sequent with line <digits>
                                     (modulo their number) of str(env)
    S<text>                          declare_sequent(<text>)
    <anything else>                  declare_sequent(<whole line>)

After the last line both environments declare "v = v => v = v", which
shows where their variable counters stand.  Any difference in outcome,
message, str(), sequents, sorts or functions raises and stops the run.
"""
import ctypes
import os
import sys

import atheris

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "tests"))

with atheris.instrument_imports(include=["model"]):
    import model

try:
    import _kestrin
except ImportError:
    sys.path.insert(0, os.path.join(ROOT, "build"))
    import _kestrin

# The model recurses once per nesting level; 4 KB of input nests at most a
# couple of thousand levels, well inside this limit.
MAX_INPUT = 4096
sys.setrecursionlimit(20000)

stats = {"executions": 0, "mismatches": 0, "reported": False}


def report(*_):
    if not stats["reported"]:
        stats["reported"] = True
        print("{} executions, {} mismatches".format(stats["executions"], stats["mismatches"]),
              file=sys.stderr, flush=True)


# libFuzzer leaves through C exit(), which skips Python's atexit, so the
# summary is hooked into the C library's exit handlers instead.
_REPORT = ctypes.CFUNCTYPE(None, ctypes.c_int, ctypes.c_void_p)(report)
try:
    ctypes.CDLL(None).on_exit(_REPORT, None)
except (AttributeError, OSError):
    import atexit
    atexit.register(report)


class Mismatch(AssertionError):
    pass


def outcome(call, *args):
    try:
        call(*args)
    except Exception as error:
        return type(error).__name__, error.args
    return None


def compare(what, native, reference):
    if native != reference:
        stats["mismatches"] += 1
        # A failing target ends the process before the exit hook gets to run.
        report()
        raise Mismatch("{}:\n  native:    {!r}\n  reference: {!r}".format(what, native, reference))


def compare_state(native, reference, where):
    compare(where + ": str()", str(native), str(reference))
    compare(where + ": sequents", native.sequents, reference.sequents)
    compare(where + ": sorts", native.sorts, reference.sorts)
    compare(where + ": functions", native.functions, reference.functions)


def parse_calls(text):
    for line in text.split("\n"):
        if line.startswith("F"):
            fields = line[1:].split("|")
            arguments = fields[1].split(",") if len(fields) > 1 and fields[1] else []
            result = fields[2] if len(fields) > 2 else "A"
            yield "declare_function", (fields[0], arguments, result)
        elif line.startswith("R") and line[1:].isascii() and line[1:].isdigit():
            yield "replay", int(line[1:])
        elif line.startswith("S"):
            yield "declare_sequent", line[1:]
        else:
            yield "declare_sequent", line


def TestOneInput(data):
    if len(data) > MAX_INPUT:
        return
    stats["executions"] += 1
    native, reference = _kestrin.Environment(), model.Environment()
    calls = list(parse_calls(data.decode("utf-8", "replace")))
    calls.append(("declare_sequent", "v = v => v = v"))
    for method, argument in calls:
        if method == "replay":
            lines = str(reference).split("\n")[:-1]
            if not lines:
                continue
            method, argument = "declare_sequent", lines[argument % len(lines)]
        arguments = argument if method == "declare_function" else (argument,)
        where = "{}{!r}".format(method, arguments)
        compare(where, outcome(getattr(native, method), *arguments),
                outcome(getattr(reference, method), *arguments))
        compare_state(native, reference, where)


def main():
    atheris.Setup(sys.argv, TestOneInput)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
