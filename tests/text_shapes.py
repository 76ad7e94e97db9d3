"""Large sequent texts of every shape that stresses the parser's working memory, and a child
process that measures what one declaration costs.

Every text is declared in an environment where f (binary) and c (a constant) are declared. The
refused shapes are refused only once the text was read to the point that costs most; the
accepted ones are declared whole. Used by the memory tests and by the memory benchmark.
"""

import ctypes
import itertools
import os
import subprocess
import sys
import sysconfig

# Name characters that are neither separators nor white space, and never form "=>".
_CHARS = [chr(c) for c in range(0x21, 0x7F) if chr(c) not in ",=()>"]


def names(count, prefix=""):
    """`count` distinct names, shortest first."""
    out = []
    for length in itertools.count(1):
        for chars in itertools.product(_CHARS, repeat=length):
            out.append(prefix + "".join(chars))
            if len(out) == count:
                return out


def fill(unit, n, end=""):
    return unit * ((n - len(end)) // len(unit)) + end


# name: a function giving a text of about n bytes of that shape
REFUSED = {
    # an application opened at every level and never closed: nothing inside counts
    "open parens with spaces": lambda n: fill("( ", n),
    # no token at all: refused with the whole text
    "open parens": lambda n: fill("(", n),
    # one empty head with n/2 empty arguments
    "closed empty pairs": lambda n: fill("()", n),
    # n/2 equations of two empty names, no "=>"
    "separators": lambda n: fill("=,", n, end="="),
    # a name made of ")" only, and no "=" in it
    "closing parens": lambda n: fill(")", n),
    # one head token holding every parenthesis
    "balanced parens": lambda n: "(" * (n // 2) + ")" * (n // 2),
    # one long variable, no "=" in it
    "long name": lambda n: "x" * n,
    # one long undeclared head
    "long head": lambda n: "(" + "h" * (n - 4) + " x)",
    # equations between distinct variables, no "=>"
    "distinct variables, equations": lambda n: ",".join(
        a + "=" + b for a, b in zip(*[iter(names(n // 5))] * 2)),
    # distinct variables as arguments of an undeclared head
    "distinct variables, arguments": lambda n: "(g " + " ".join(names(n // 5)) + ")",
    # non-ASCII distinct variables as arguments of an undeclared head
    "non-ASCII variables": lambda n: "(g " + " ".join(names(n // 7, "\u00e9")) + ")",
    # every level closed, no "=" in it
    "deep closed nesting": lambda n: "(f " * (n // 4) + "x" + ")" * (n // 4),
    # every level closed, a distinct variable at each
    "deep nesting with variables": lambda n: "".join(
        "(f " + v + " " for v in names(n // 9)) + "x" + ")" * (n // 9),
    # applications opened and never closed, each with an argument
    "unclosed applications": lambda n: fill("(f x ", n),
    # names cut in two by a "(" that reopens the application, all distinct
    "names joined across a reopening": lambda n: "(f x)" + "".join(
        v[:1] + "(" + v[1:] + ")" for v in names(n // 6)) + ")",
    # a million equations read before an undeclared head at the very end
    "error at the end": lambda n: fill("x = c, ", n, end="(g y) = y => x = x"),
}

ACCEPTED = {
    # a right comb: one application per level
    "deep nesting": lambda n: "(f " * (n // 4) + "x" + ")" * (n // 4) + " = y => y = y",
    # flat equations of one variable and a constant
    "flat equations": lambda n: fill("x = c, ", n, end="x = c => c = x"),
    # distinct variables as arguments
    "distinct variables": lambda n: "(f " + " ".join(names(n // 5)) + ") = x => x = x",
    # empty arguments: one node per byte
    "empty arguments": lambda n: "(f" + " " * n + ") = x => x = x",
}

_TRIM = r"""# glibc's allocator keeps freed memory until asked to give it back; musl's gives it back itself
# and has no such call.
_trim = getattr(ctypes.CDLL(None), "malloc_trim", None)

def trim():
    if _trim is not None:
        _trim(0)
"""

DECLARE_CHILD = r"""
import ctypes, gc, sys
import _kestrin

{trim}
def status(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
env = _kestrin.Environment()
env.declare_function("f", ["A", "A"], "A")
env.declare_function("c", [], "A")
gc.collect()
gc.disable()
trim()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")  # the high-water mark starts again from here
before = status("VmRSS")
try:
    env.declare_sequent(text)
    outcome = "accepted"
except ValueError:
    outcome = "refused"
peak = status("VmHWM")
trim()
after = status("VmRSS")
print(outcome, len(text.encode()), peak - before, after - before)
""".replace("{trim}", _TRIM)


def measure(text, folder):
    """Declares `text` in a fresh interpreter: (outcome, bytes of UTF-8 text, peak growth of
    the resident set during the call, growth that stayed after it)."""
    path = os.path.join(folder, "text.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    out = subprocess.run([sys.executable, "-c", DECLARE_CHILD, path], capture_output=True, text=True,
                         env=env, timeout=300)
    os.remove(path)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-2000:])
    outcome, size, peak, kept = out.stdout.split()
    return outcome, int(size), int(peak), int(kept)


_KEPT_CHILD = r"""
import ctypes, gc, mmap, os, sys
import _kestrin

{trim}
# What the process holds, in bytes. The resident set counts pages, not bytes, and under
# user-mode emulation it is the emulator's own: its heap and translated code, which change
# while the program does nothing (an idle interpreter's resident set dropped by a megabyte
# within half a second there), and the heap pages the program gave back, which the emulator
# keeps mapped. Where the parent asks for bytes, glibc tells what it has handed out
# (mallinfo2), and the process holds that plus every mapping outside the allocator's heap:
# large blocks, the module's arrays in pages of their own. The parent turns Python's
# small-object allocator off then, so that Python's objects are counted as they are allocated
# and not as arenas of 1 MiB.
if sys.argv[4] == "bytes":
    _libc = ctypes.CDLL(None)
    _mallinfo2 = _libc.mallinfo2
    class _Info(ctypes.Structure):
        _fields_ = [(name, ctypes.c_size_t) for name in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]
    _mallinfo2.restype = _Info
    _sbrk = _libc.sbrk
    _sbrk.restype = ctypes.c_void_p
    _sbrk.argtypes = [ctypes.c_ssize_t]

    def held():
        brk = _sbrk(0)
        outside = 0
        with open("/proc/self/maps") as f:
            for line in f:
                low, high = (int(x, 16) for x in line.split(None, 1)[0].split("-"))
                if not low < brk <= high:  # the heap: counted by what is in use in it
                    outside += high - low
        return _mallinfo2().uordblks + outside
else:
    def held():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

# What each environment is given to hold beside it, to check the measure itself: a block of
# the C allocator, or pages of their own, written, as the module's large arrays are.
def pages():
    m = mmap.mmap(-1, 1 << 18)
    m.write(b"x" * (1 << 18))
    return m

BALLAST = {"": lambda: None, "block": lambda: bytearray(20000), "pages": pages}[sys.argv[3]]

def refuse(text):
    env = _kestrin.Environment()
    env.declare_function("f", ["A", "A"], "A")
    env.declare_function("c", [], "A")
    try:
        env.declare_sequent(text)
    except ValueError:
        return env, BALLAST()
    raise AssertionError("accepted")

with open(sys.argv[1], encoding="utf-8") as f:
    text = f.read()
count = int(sys.argv[2])
gc.disable()
kept = [refuse(text)]  # the allocator's first pools for the parser's arrays
trim()
before = held()
kept += [refuse(text) for _ in range(count)]
trim()
print((held() - before) / count)
""".replace("{trim}", _TRIM)


def counts_bytes():
    """Whether kept_per_environment counts bytes handed out, rather than resident pages."""
    return (sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED")
            and hasattr(ctypes.CDLL(None), "mallinfo2"))


def kept_per_environment(text, count, folder, ballast=""):
    """Bytes that each of `count` environments keeps after refusing `text`, measured in a fresh
    interpreter: what the C allocator handed out and the mappings beside its heap, or the growth
    of the resident set where the C library does not tell the first or the interpreter keeps its
    objects in arenas of its own (PyPy, the free-threaded build). Each environment also holds
    `ballast` ("", "block" or "pages"; see the child)."""
    path = os.path.join(folder, "text.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    unit = "bytes" if counts_bytes() else "pages"
    if unit == "bytes":
        env["PYTHONMALLOC"] = "malloc"
    out = subprocess.run([sys.executable, "-c", _KEPT_CHILD, path, str(count), ballast, unit],
                         capture_output=True, text=True, env=env, timeout=300)
    os.remove(path)
    if out.returncode != 0:
        raise RuntimeError(out.stderr[-2000:])
    return float(out.stdout)
