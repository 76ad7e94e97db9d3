"""Declaring and reading on the interpreter that runs this script, for side-by-side figures of
PyPy and CPython (docs/performance.md):

    PYTHONPATH=build python benchmarks/pypy.py        # CPython
    PYTHONPATH=build-pypy pypy3 benchmarks/pypy.py    # PyPy

Workload: the 20,000 generated sequents of bench.py over its 40 functions. Each figure is the
median of 7 rounds in CPU time, milliseconds: declaring them all with the module; reading them
with a plain pure-Python reader that builds the same Python values for these well-formed texts
(it checks nothing), its first round, before PyPy's JIT has warmed, and the median after it;
reading `sequents` back; and, in one process, the first and the last of 11 full loads (a fresh
environment each). Each is measured with nothing else alive.
"""

import gc
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, os.pardir, "tests")]

import _kestrin  # noqa: E402
from bench import FUNCTIONS, generate_theory, make_env  # noqa: E402

CLOCK = time.process_time


def timed(work):
    gc.collect()
    start = CLOCK()
    kept = work()
    elapsed = CLOCK() - start
    del kept
    return elapsed * 1000


def load(module, texts):
    env = make_env(module, FUNCTIONS)
    for text in texts:
        env.declare_sequent(text)
    return env


class PlainReader:
    """Reads `premises => conclusions` of well-formed texts into the module's Python values,
    numbering variables on across the texts; no refusal is looked for."""

    def __init__(self, functions):
        self.functions = {name for name, _ in functions}
        self.next_variable = 0
        self.sequents = []

    def term(self, tokens, at, variables):
        token = tokens[at]
        if token == "(":
            head = tokens[at + 1]
            at += 2
            arguments = []
            while tokens[at] != ")":
                argument, at = self.term(tokens, at, variables)
                arguments.append(argument)
            return (head, arguments), at + 1
        if token in self.functions:
            return (token, []), at + 1
        name = variables.get(token)
        if name is None:
            name = variables[token] = "?%d" % self.next_variable
            self.next_variable += 1
        return (name, []), at + 1

    def side(self, text, variables):
        equations = []
        for equation in text.split(", "):
            lhs, rhs = equation.split(" = ")
            pair = []
            for half in (lhs, rhs):
                tokens = half.replace("(", "( ").replace(")", " )").split()
                pair.append(self.term(tokens, 0, variables)[0])
            equations.append(tuple(pair))
        return equations

    def declare_sequent(self, text):
        premises, conclusions = text.split(" => ")
        variables = {}
        self.sequents.append((self.side(premises, variables), self.side(conclusions, variables)))


def read_plainly(texts):
    reader = PlainReader(FUNCTIONS)
    for text in texts:
        reader.declare_sequent(text)
    return reader


def main():
    texts = generate_theory(20_000)
    # Both with nothing else alive: the collector's work in a round depends on what else the
    # heap holds.
    loads = [timed(lambda: load(_kestrin, texts)) for _ in range(11)]
    module = statistics.median(loads[:7])
    pure = [timed(lambda: read_plainly(texts)) for _ in range(8)]
    env = load(_kestrin, texts)
    assert read_plainly(texts).sequents == env.sequents
    reading = statistics.median(timed(lambda: env.sequents) for _ in range(7))
    implementation = sys.implementation.name
    print("%s %s" % (implementation, sys.version.split()[0]))
    print("declare, module             %8.1f ms" % module)
    print("declare, pure Python, first %8.1f ms" % pure[0])
    print("declare, pure Python        %8.1f ms" % statistics.median(pure[1:]))
    print("read sequents, module       %8.1f ms" % reading)
    print("load 1 and load 11 of 11    %8.1f ms %8.1f ms" % (loads[0], loads[-1]))


if __name__ == "__main__":
    main()
