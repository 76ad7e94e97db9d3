"""Declaring from several threads at once, each into an environment of its own.

    python benchmarks/thread_scaling.py [--sequents N] [--rounds R] [--threads 1,2,4]

Each of k threads declares the same N generated sequents (bench.py's theory) into an
environment of its own; the figure is the number of sequents declared per second by all
threads together, divided by the same with one thread (median of R rounds). On a free-threaded
interpreter the threads run in parallel, so the ideal is k, bounded by the machine's cores
(os.cpu_count() is printed); under the GIL it stays near 1. The collector is paused while the
threads run, as docs/performance.md advises for large loads, so that the figure is the module's.
Every load runs in a fresh interpreter: the memory that the threads of an earlier load left to
their allocator's heaps would otherwise be reclaimed on the clock of the next one.
"""
import argparse
import gc
import os
import statistics
import subprocess
import sys
import sysconfig
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from bench import FUNCTIONS, generate_theory, make_env  # noqa: E402

import _kestrin  # noqa: E402


def load(threads, texts):
    envs = [make_env(_kestrin, FUNCTIONS) for _ in range(threads)]
    barrier = threading.Barrier(threads + 1)

    def work(env):
        declare = env.declare_sequent
        barrier.wait()
        for text in texts:
            declare(text)
        barrier.wait()

    workers = [threading.Thread(target=work, args=(env,)) for env in envs]
    for worker in workers:
        worker.start()
    gc.disable()
    try:
        barrier.wait()
        start = time.perf_counter()
        barrier.wait()
        elapsed = time.perf_counter() - start
    finally:
        gc.enable()
    for worker in workers:
        worker.join()
    assert all(len(env.sequents) == len(texts) for env in envs)
    return threads * len(texts) / elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--sequents", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--threads", default="1,2,4")
    parser.add_argument("--load", type=int, metavar="K", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.load:
        print(load(options.load, generate_theory(options.sequents)))
        return
    counts = [int(k) for k in options.threads.split(",")]
    gil = getattr(sys, "_is_gil_enabled", lambda: True)()
    print("CPython %s, %s, GIL %s, %d CPUs" % (
        sys.version.split()[0],
        "free-threaded build" if sysconfig.get_config_var("Py_GIL_DISABLED") else "default build",
        "enabled" if gil else "disabled", os.cpu_count()))
    rates = {k: [] for k in counts}
    for _ in range(options.rounds):
        for k in counts:
            child = subprocess.run([sys.executable, os.path.abspath(__file__), "--load", str(k),
                                    "--sequents", str(options.sequents)],
                                   check=True, capture_output=True, text=True)
            rates[k].append(float(child.stdout))
    base = statistics.median(rates[counts[0]])
    print("| threads | sequents per second | against %d thread%s |" % (counts[0], "s"[:counts[0] > 1]))
    print("|---|---|---|")
    for k in counts:
        rate = statistics.median(rates[k])
        print("| %d | %.0f | %.2f |" % (k, rate, rate / base))


if __name__ == "__main__":
    main()
