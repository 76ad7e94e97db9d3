"""Working memory of declare_sequent on large texts, shape by shape.

Each text is declared in a fresh interpreter, and the growth of its resident set is read from
/proc: the peak over the call, and what stayed once the call returned (the stored terms and
their Python objects). For a refused text the peak is all working memory; for an accepted one,
the working memory is the peak beyond what stayed. Last, what an environment keeps once the call
is over: many environments each refuse one text of every shape, and what the process holds more
(in bytes, as tests/text_shapes.py counts it) is shared out among them.

    python benchmarks/parser_memory.py              # refused texts of 10**7 bytes
    python benchmarks/parser_memory.py --quick      # 10**6 bytes
    python benchmarks/parser_memory.py --build DIR  # measure the module built in DIR
"""

import argparse
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# Texts below 64 KiB are parsed with their terms built from the start.
KEPT_SIZE = 60000
KEPT_COUNT = 300
# Doubling from 256 KiB, the few arrays of a refused text of 10**7 bytes remap a few dozen
# times at most.
MREMAP_GOAL = 100


def load_shapes():
    path = os.path.join(ROOT, "tests", "text_shapes.py")
    spec = importlib.util.spec_from_file_location("text_shapes", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def mremap_calls(shapes, text, folder):
    """How many times the working arrays were remapped while `text` was declared in a fresh
    interpreter (every mremap call of the process, counted by strace), or None without strace.

    A large array doubles its mapping when it grows, so a text of n bytes costs a few dozen
    remappings at most; an array that grew by a fixed step instead would cost thousands, and
    only its speed would show it."""
    strace = shutil.which("strace")
    if strace is None:
        return None
    path = os.path.join(folder, "text.txt")
    counts = os.path.join(folder, "counts.txt")
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    subprocess.run([strace, "-f", "-qq", "-c", "-e", "trace=mremap", "-o", counts,
                    sys.executable, "-c", shapes.DECLARE_CHILD, path],
                   stdout=subprocess.DEVNULL, env=env, check=True, timeout=300)
    with open(counts) as f:
        rows = [line.split() for line in f if line.split()[-1:] == ["mremap"]]
    os.remove(path)
    os.remove(counts)
    return int(rows[0][3]) if rows else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--quick", action="store_true", help="texts ten times smaller")
    parser.add_argument("--build", help="a folder holding the built module, tried first")
    args = parser.parse_args()
    if args.build:
        sys.path.insert(0, os.path.abspath(args.build))
    shapes = load_shapes()
    refused_size = 10 ** 6 if args.quick else 10 ** 7
    accepted_size = 10 ** 5 if args.quick else 10 ** 6

    with tempfile.TemporaryDirectory() as folder:
        print("Refused texts of %s bytes: peak working memory (goal: at most 16 bytes per "
              "byte of text)" % format(refused_size, ","))
        print("%-34s %12s %14s" % ("shape", "text bytes", "bytes / byte"))
        worst = 0.0
        for name, make in shapes.REFUSED.items():
            outcome, size, peak, _ = shapes.measure(make(refused_size), folder)
            assert outcome == "refused", name
            worst = max(worst, peak / size)
            print("%-34s %12s %14.2f" % (name, format(size, ","), peak / size))
        print("%-34s %12s %14.2f" % ("worst", "", worst))

        print()
        print("Accepted texts of %s bytes: native working memory beside what the call keeps "
              "(its Python objects and stored terms)" % format(accepted_size, ","))
        print("%-34s %12s %10s %10s %8s" % ("shape", "text bytes", "kept", "working",
                                            "share"))
        for name, make in shapes.ACCEPTED.items():
            outcome, size, peak, kept = shapes.measure(make(accepted_size), folder)
            assert outcome == "accepted", name
            print("%-34s %12s %10.1f %10.1f %7.1f%%" % (
                name, format(size, ","), kept / size, (peak - kept) / size,
                100 * (peak - kept) / kept))
        print("(kept and working in bytes per byte of text; share = working / kept)")

        print()
        print("mremap calls while refusing a text of %s bytes (goal: at most %d)"
              % (format(refused_size, ","), MREMAP_GOAL))
        counts = {name: mremap_calls(shapes, make(refused_size), folder)
                  for name, make in shapes.REFUSED.items()}
        if None in counts.values():
            print("skipped: strace not found")
        else:
            for name, count in counts.items():
                print("%-34s %14d" % (name, count))
            print("%-34s %14d" % ("worst", max(counts.values())))

        print()
        print("Memory an environment keeps after refusing one text of %s bytes, over %d "
              "environments (goal: at most 128 KiB)" % (format(KEPT_SIZE, ","), KEPT_COUNT))
        print("%-34s %14s" % ("shape", "bytes kept"))
        worst = 0.0
        for name, make in shapes.REFUSED.items():
            kept = shapes.kept_per_environment(make(KEPT_SIZE), KEPT_COUNT, folder)
            worst = max(worst, kept)
            print("%-34s %14s" % (name, format(round(kept), ",")))
        print("%-34s %14s" % ("worst", format(round(worst), ",")))


if __name__ == "__main__":
    main()
