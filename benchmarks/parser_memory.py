"""Working memory of declare_sequent on large texts, shape by shape.

Each text is declared in a fresh interpreter, and the growth of its resident set is read from
/proc: the peak over the call, and what stayed once the call returned (the stored terms and
their Python objects). For a refused text the peak is all working memory; for an accepted one,
the working memory is the peak beyond what stayed.

    python benchmarks/parser_memory.py              # refused texts of 10**7 bytes
    python benchmarks/parser_memory.py --quick      # 10**6 bytes
    python benchmarks/parser_memory.py --build DIR  # measure the module built in DIR
"""

import argparse
import importlib.util
import os
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def load_shapes():
    path = os.path.join(ROOT, "tests", "text_shapes.py")
    spec = importlib.util.spec_from_file_location("text_shapes", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


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


if __name__ == "__main__":
    main()
