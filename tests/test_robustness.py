"""Inputs that must neither crash, stall nor leak: very deep and very long texts,
and names holding NUL, multi-byte UTF-8 and white space.

Heavy cases run in a child interpreter, so that a crash or a stack overflow
fails one test instead of killing the whole run. The children's timeout is the
only clock used: it is far above what linear work needs and far below what
quadratic work on these sizes would take.
"""

import os
import subprocess
import sys
import textwrap
import time

import pytest

from _kestrin import Environment

from conftest import (FREE_THREADED, PYPY, allocation_failures_testable, cpython_only,
                      under_sanitizer)
from text_shapes import ACCEPTED, REFUSED, counts_bytes, kept_per_environment, measure

PRELUDE = """\
import gc
import os
from _kestrin import Environment
N = 10 ** 6
# Millions of term objects: the collector's passes would dominate the run time.
gc.disable()


def expect_refusal(env, text, message):
    try:
        env.declare_sequent(text)
    except ValueError as e:
        assert type(e) is ValueError and e.args == (message,), e.args[0][:200]
    else:
        raise AssertionError("accepted: " + text[:100])


def next_variable(env):
    env.declare_sequent("probe = probe => probe = probe")
    return int(env.sequents[-1][0][0][0][0][1:])


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""


def run_child(code, timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    proc = subprocess.run(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(code)],
        capture_output=True, text=True, env=env, timeout=timeout,
    )
    assert proc.returncode == 0, "exit status %d, last step %r\n%s" % (
        proc.returncode, proc.stdout.strip().split("\n")[-1], proc.stderr[-3000:])
    return proc.stdout


def test_deep_nesting_parses_renders_walks_and_releases():
    run_child("""
        # Every call made once first, on a text large enough to take every path: what the module
        # makes at its first use stays (on PyPy, what reporting native memory to the collector
        # the first time makes).
        warm = Environment()
        warm.declare_function("f", ["A"], "A")
        warm.declare_sequent("(f " * (N // 10) + "x" + ")" * (N // 10) + " = x => x = x")
        (str(warm), warm.sorts, warm.functions, warm.sequents)
        del warm
        gc.collect()
        baseline = len(gc.get_objects())
        env = Environment()
        env.declare_function("f", ["A"], "A")
        env.declare_sequent("(f " * N + "x" + ")" * N + " = x => x = x")
        print("parsed", flush=True)
        s = str(env)
        tail = " = ?0 => ?0 = ?0\\n"
        assert len(s) == 4 * N + 2 + len(tail)
        assert s[:3 * N] == "(f " * N
        assert s[3 * N:] == "?0" + ")" * N + tail
        del s
        print("rendered", flush=True)
        # walk the Python form by hand: == or repr would recurse in the interpreter
        t = env.sequents[0][0][0][0]
        depth = 0
        while t[0] == "f":
            assert type(t) is tuple and type(t[1]) is list and len(t[1]) == 1
            t = t[1][0]
            depth += 1
        assert depth == N and t[0] == "?0" and t[1] == []
        assert env.sequents[0][0][0][1] == ("?0", [])
        print("walked", flush=True)
        del t
        del env
        gc.collect()
        assert len(gc.get_objects()) - baseline < 100
        print("released", flush=True)
    """)


def test_deep_and_soupy_refusals():
    run_child("""
        env = Environment()
        env.declare_function("f", ["A"], "A")
        # unclosed "(" all the way: no token at all
        expect_refusal(env, "(" * N + " = x => x = x", "Illegal Term " + "(" * N + " ")
        print("open parens", flush=True)
        # balanced bare parentheses: one head token, looked up as collected
        expect_refusal(env, "(" * N + ")" * N + " = x => x = x",
                       "(" * (N - 1) + ")" * (N - 1) + " has not been declared!")
        print("balanced parens", flush=True)
        # an undeclared head at the bottom of a deep application
        expect_refusal(env, "(f " * N + "(g y)" + ")" * N + " = y => y = y", "g has not been declared!")
        assert next_variable(env) == 1
        print("deep error", flush=True)
        # never closed: only the outer head counts, nothing inside is numbered
        env.declare_sequent("(f " * N + "x = y => y = y")
        # a name made of ")" only, and a depth driven far below zero
        env.declare_sequent(")" * N + " = x => x = (f x" + ")" * N)
        # "()" repeated: an empty head with N - 1 empty arguments
        expect_refusal(env, "()" * N + " = x => x = x", " has not been declared!")
        print("soups", flush=True)
        assert str(env) == (
            "?1 = ?1 => ?1 = ?1\\n"
            "f = ?2 => ?2 = ?2\\n"
            "?3 = ?4 => ?4 = (f ?4)\\n"
        )
        assert next_variable(env) == 6
        wide = Environment()
        wide.declare_function("", [], "A")
        wide.declare_sequent("()" * N + " = x => x = x")
        assert str(wide) == "(" + " " * (N - 1) + ") = ?0 => ?0 = ?0\\n"
        assert len(wide.sequents[0][0][0][0][1]) == N - 1
        print("wide", flush=True)
    """)


def test_flat_text_of_a_million_equations():
    run_child("""
        env = Environment()
        env.declare_function("c", [], "A")
        # the whole flat side is read before the error at its end
        expect_refusal(env, "x = c, " * N + "(g y) = y => x = x", "g has not been declared!")
        assert next_variable(env) == 2
        assert str(env).count("\\n") == 1
        print("refused", flush=True)
        env.declare_sequent("x = c, " * (N - 1) + "x = c => c = x")
        s = str(env)
        line = "?3 = c, " * (N - 1) + "?3 = c => c = ?3\\n"
        assert s == "?2 = ?2 => ?2 = ?2\\n" + line
        premises, conclusions = env.sequents[1]
        assert len(premises) == N and conclusions == [(("c", []), ("?3", []))]
        assert premises[0] == premises[-1] == (("?3", []), ("c", []))
        assert premises[0][0] is not premises[-1][0]
        print("stored", flush=True)
    """)


def test_linear_time_on_large_inputs():
    # every text is about 2 MB; quadratic work would blow the timeout many times over
    run_child("""
        M = 2 * 10 ** 6
        env = Environment()
        env.declare_function("f", ["A", "A"], "A")
        # deep right comb with an argument at every level
        k = M // 6
        env.declare_sequent("(f x " * k + "x" + ")" * k + " = x => x = x")
        print("comb", flush=True)
        # one long name, a long head and a long refused term
        env.declare_sequent("v" * M + " = w => w = " + "v" * M)
        expect_refusal(env, "(" + "h" * M + " x) = x => x = x", "h" * M + " has not been declared!")
        expect_refusal(env, "(" + "x" * M + " = y => y = y", "Illegal Term (" + "x" * M + " ")
        print("long names", flush=True)
        # many distinct variables in one sequent
        names = ["v%d" % i for i in range(M // 16)]
        env.declare_sequent(", ".join(n + " = " + n for n in names) + " => x = x")
        print("many variables", flush=True)
        # many declared functions, all used as constants
        many = Environment()
        for i in range(M // 20):
            many.declare_function("k%d" % i, [], "A")
        many.declare_sequent(", ".join("k%d = x" % i for i in range(M // 20)) + " => x = x")
        assert str(many).count(" = ?0") == M // 20 + 1
        print("many functions", flush=True)
        assert str(env).count("\\n") == 3
    """)


@under_sanitizer
# The free-threaded allocator keeps freed pages for a while: over 30 rounds the resident set
# of 3.13t swings by up to 24 MiB and comes back, so it tells nothing there (the test of
# allocated blocks below covers that build).
@pytest.mark.skipif(FREE_THREADED, reason="the free-threaded allocator's resident set swings")
@cpython_only("memory given back as soon as it is dropped")
def test_repeated_work_does_not_grow_memory():
    run_child("""
        def round_():
            env = Environment()
            env.declare_function("f", ["A"], "A")
            env.declare_function("c", [], "A")
            n = 10 ** 5
            env.declare_sequent("(f " * n + "x" + ")" * n + " = c => c = x")
            expect_refusal(env, "(f " * n + "(g x)" + ")" * n + " = c => c = c", "g has not been declared!")
            expect_refusal(env, "x = c, " * n + "=> c = c", "Illegal Sequent  ")
            expect_refusal(env, "(" * n + " = c => c = c", "Illegal Term " + "(" * n + " ")
            env.declare_sequent("x = c, " * n + "c = c => c = c")
            str(env)
            env.sequents
        for _ in range(2):
            round_()
        gc.collect()
        before = rss()
        for _ in range(6):
            round_()
        gc.collect()
        grown = rss() - before
        assert grown < 16 * 2 ** 20, grown
    """)


@under_sanitizer
def test_memory_running_out_in_the_parser_is_a_memory_error(address_space_limits):
    # The address space is capped a little above what the process uses, so the parser's own
    # arrays cannot grow for this text: the call fails inside the parse, with MemoryError and
    # not the internal fault, and the environment is left as it was.
    run_child("""
        import resource
        env = Environment()
        env.declare_function("f", ["A", "A"], "A")
        env.declare_sequent("x = (f x x) => x = x")
        text = "(g " + " ".join("v%d" % i for i in range(N)) + ") = x => x = x"
        def mapped():
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize"))
        limits = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (mapped() + 2 ** 22, limits[1]))
        try:
            env.declare_sequent(text)
        except BaseException as e:
            error = e
        finally:
            resource.setrlimit(resource.RLIMIT_AS, limits)
        assert type(error) is MemoryError, repr(error)
        assert str(env) == "?0 = (f ?0 ?0) => ?0 = ?0\\n"
        expect_refusal(env, text, "g has not been declared!")
        env.declare_sequent("y = y => y = y")
        assert len(env.sequents) == 2 and str(env).count("\\n") == 2
    """)


@under_sanitizer
@pytest.mark.parametrize("shape", sorted(REFUSED))
def test_a_refused_text_costs_at_most_16_bytes_per_byte(shape, tmp_path):
    # the peak growth of the resident set over the call, in a fresh interpreter
    outcome, size, peak, _ = measure(REFUSED[shape](10 ** 7), str(tmp_path))
    assert outcome == "refused" and size >= 9 * 10 ** 6
    assert peak <= 16 * size, "%.1f bytes per byte" % (peak / size)


@under_sanitizer
@pytest.mark.parametrize("shape", sorted(ACCEPTED))
def test_an_accepted_text_needs_little_beyond_its_objects(shape, tmp_path):
    # what the call needed beyond what it kept (the stored terms and their Python objects)
    outcome, size, peak, kept = measure(ACCEPTED[shape](10 ** 6), str(tmp_path))
    assert outcome == "accepted"
    assert peak - kept <= 0.15 * kept, (peak - kept, kept)


@under_sanitizer
@pytest.mark.parametrize("shape", ["distinct variables, arguments", "deep nesting with variables"])
def test_an_environment_keeps_little_after_a_refused_text(shape, tmp_path):
    # What the parser's working arrays grew to for a 60 KB text is given back once it is
    # refused, but for the few KiB each keeps for the next call.
    kept = kept_per_environment(REFUSED[shape](60_000), 40, str(tmp_path))
    assert kept < 64 * 1024, "%d bytes kept per environment" % kept


@under_sanitizer
@pytest.mark.skipif(not counts_bytes(), reason="counted in resident pages here, not in bytes")
@pytest.mark.parametrize("ballast, size", [("block", 20000), ("pages", 1 << 18)])
def test_what_an_environment_keeps_is_measured_to_the_byte(ballast, size, tmp_path):
    # An array not given back is a block of the C allocator or pages of its own: the measure
    # above must see either at its size, whatever the page size, and under emulation too.
    text = REFUSED["deep nesting with variables"](60_000)
    alone = kept_per_environment(text, 40, str(tmp_path))
    beside = kept_per_environment(text, 40, str(tmp_path), ballast)
    assert abs(beside - alone - size) < 1024, (alone, beside)


def declare_functions(names):
    env = Environment()
    for name in names:
        env.declare_function(name, [], "U")


# Each stores or looks up every name once through one of the keyed hash tables.
HASHED = {
    "function names": declare_functions,
    "sort names": lambda names: Environment().declare_function("f", names, "U"),
    "variables of one sequent": lambda names: Environment().declare_sequent(
        ", ".join(name + " = " + name for name in names) + " => x = x"),
}


@pytest.mark.parametrize("store", HASHED.values(), ids=HASHED.keys())
def test_names_alike_in_their_first_block_cost_no_more(store):
    # Names of 16 bytes that share their first 8-byte block against names that share their
    # second: a hash that skipped a block would put all of one kind in one chain, and
    # storing them would take time quadratic in their number (some 50 times as long here).
    # Interleaved, best of seven: the machine is shared, and each store takes about 2 ms (best
    # of three once measured 4.7 under load where it is 0.95 alone).
    count = 10_000
    alike_first = ["v" * 8 + "%08d" % i for i in range(count)]
    alike_second = ["%08d" % i + "v" * 8 for i in range(count)]

    def seconds(names):
        start = time.perf_counter()
        store(names)
        return time.perf_counter() - start

    rounds = [(seconds(alike_first), seconds(alike_second)) for _ in range(7)]
    ratio = min(first for first, _ in rounds) / min(second for _, second in rounds)
    assert ratio < 4, "%.1f times as long" % ratio


# Odd names: NUL, 2-, 3- and 4-byte UTF-8, and white space inside. None holds
# " ", ",", "=", "(" or ")", so each can stand as a head, a constant and a variable.
ODD_NAMES = [
    "a\x00b",  # NUL inside
    "\x00",  # NUL alone
    "\u00e9\u00df",  # 2-byte
    "\u20ac\u4e2d",  # 3-byte
    "\U0001d49c\U0001f600",  # 4-byte
    "a\x00\u00e9\u20ac\U0001d49c",  # all of them together
    "a\tb\nc",  # ASCII white space other than " " inside
    "a\x85b\xa0c",  # 2-byte white space inside
    "a\u3000b\u2028c\u200ad",  # 3-byte white space inside
]


@pytest.mark.parametrize("name", ODD_NAMES)
def test_odd_names_are_kept_byte_for_byte(name):
    env = Environment()
    env.declare_function(name, [name + "s", name], name)
    assert env.sorts == [name, name + "s"]
    assert env.functions == [(name, [name + "s", name], name)]
    with pytest.raises(ValueError) as info:
        env.declare_function(name, [], "A")
    assert info.value.args == (name + " has already been declared!",)

    var = name + "v"
    env.declare_sequent("({0} {1} {0}) = {1} => {1} = {0}".format(name, var))
    line = "({0} ?0 {0}) = ?0 => ?0 = {0}\n".format(name)
    assert str(env) == line
    assert env.sequents == [
        ([((name, [("?0", []), (name, [])]), ("?0", []))], [(("?0", []), (name, []))])
    ]

    refusals = [
        ("({0}x y) = y => y = y".format(name), name + "x has not been declared!"),
        ("({0} = y => y = y".format(name), "Illegal Term (" + name + " "),
        ("{0} => y = y".format(name), "Illegal Sequent " + name + " "),
        ("{0} = {0} = y => y = y".format(var), "Illegal Sequent {0} = {0} = y ".format(var)),
    ]
    for text, message in refusals:
        with pytest.raises(ValueError) as info:
            env.declare_sequent(text)
        assert info.value.args == (message,)
    assert str(env) == line


def test_white_space_at_the_edges_of_a_function_name():
    # trimmed away where a term stands alone, kept where the head is looked up
    env = Environment()
    name = "\u3000f\x85"
    env.declare_function(name, [], "\u2029")
    env.declare_sequent("({0} x) = {0} => x = x".format(name))
    assert str(env) == "({0} ?0) = ?1 => ?0 = ?0\n".format(name)
    assert env.sorts == ["\u2029"]
    assert env.sequents[0][0][0][0] == (name, [("?0", [])])


@under_sanitizer
def test_running_out_of_memory_leaves_the_environment_consistent(address_space_limits):
    out = run_child("""
        import resource
        env = Environment()
        env.declare_function("f", ["U"], "U")
        deep = "(f " * 100000 + "x" + ")" * 100000
        text = deep + " = " + deep + " => x = x"
        env.declare_sequent(text)
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        with open("/proc/self/statm") as f:
            used = int(f.read().split()[0]) * os.sysconf("SC_PAGE_SIZE")
        resource.setrlimit(resource.RLIMIT_AS, (used + (48 << 20), hard))
        failure = None
        try:
            for _ in range(100):
                try:
                    env.declare_sequent(text)
                except BaseException as e:  # MemoryError, or the internal fault
                    failure = type(e).__name__
                    break
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(failure)
        count = len(env.sequents)
        assert str(env).count("\\n") == count
        env.declare_sequent("y = y => y = y")
        assert len(env.sequents) == count + 1
        last = env.sequents[-1][1][0][0][0]
        assert str(env).endswith(" => %s = %s\\n" % (last, last))
    """)
    assert out.split()[-1] in ("MemoryError", "PanicException")


@under_sanitizer
@cpython_only("sys.getallocatedblocks")
@pytest.mark.skip(reason="under the cap the dynamic loader can abort the process (cannot allocate "
                         "memory for thread-local data) before the module runs out, and from 3.13 "
                         "the interpreter keeps 10,000 to 21,000 blocks of its own afterwards")
def test_memory_running_out_for_the_open_lists_drops_the_objects_made(address_space_limits):
    # Past 2 ** 19 levels the stack of argument lists being filled doubles to 16 MiB in one
    # step while the terms' objects grow by the page: caps from a little below the peak up to
    # it make that doubling the allocation that fails, with half the objects made. They must
    # all go, and the sequent with them.
    run_child("""
        import resource
        import sys
        def vm(key):
            with open("/proc/self/status") as f:
                return next(int(line.split()[1]) * 1024 for line in f if line.startswith(key))
        n = 2 ** 19 + 2 ** 12
        text = "(f " * n + "x" + ")" * n + " = x => x = x"
        env = Environment()
        env.declare_function("f", ["A"], "A")
        base = vm("VmSize")
        env.declare_sequent(text)
        peak = vm("VmPeak") - base
        del env
        env = Environment()
        env.declare_function("f", ["A"], "A")
        blocks = sys.getallocatedblocks()
        limits = resource.getrlimit(resource.RLIMIT_AS)
        failures = []
        for below in range(16, 0, -2):
            resource.setrlimit(resource.RLIMIT_AS, (base + peak - (below << 20), limits[1]))
            try:
                env.declare_sequent(text)
                break
            except BaseException as e:  # MemoryError, or the internal fault for an object
                failures.append(type(e).__name__)
            finally:
                resource.setrlimit(resource.RLIMIT_AS, limits)
            assert env.sequents == [] and str(env) == ""
            assert sys.getallocatedblocks() - blocks < 1000, sys.getallocatedblocks() - blocks
        assert "MemoryError" in failures, failures
        env.declare_sequent("y = y => y = y")
        assert str(env).endswith("\\n") and str(env).count("\\n") == len(env.sequents)
        assert env.sequents[-1][1][0][0][0] == str(env).split()[-1]
    """)


@cpython_only("the cycle collector's callbacks, thresholds and generations")
def test_collector_callbacks_never_see_empty_slots():
    # Making an object can run the cycle collector, whose callbacks can reach containers the
    # module is still filling; reading their items must not crash.
    run_child("""
        gc.enable()
        env = Environment()
        env.declare_function("f", ["A"], "A")
        env.declare_function("c", [], "A")

        def look(phase, info):
            for o in gc.get_objects():
                if type(o) in (list, tuple):
                    [x for x in o]

        gc.callbacks.append(look)
        gc.set_threshold(1)
        for _ in range(30):
            env.declare_sequent("(f a b c) = x, (f (f c)) = y => x = (f c c)")
        for _ in range(3):
            env.sequents, env.functions, env.sorts
        gc.callbacks.remove(look)
    """)


@cpython_only("the cycle collector's callbacks, thresholds and generations")
def test_collector_runs_during_building_hide_no_cycle():
    # When the collector runs half way through a tuple, it stops tracking a tuple whose items
    # cannot form a cycle; a term tuple that only later receives its argument list would then
    # stay untracked, and a cycle made through it could never be collected.
    run_child("""
        import weakref
        gc.enable()
        env = Environment()
        env.declare_function("f", ["A"], "A")
        env.declare_function("g", ["A", "A"], "A")
        env.declare_function("c", [], "A")
        for threshold in range(1, 12):
            gc.set_threshold(threshold)
            for _ in range(10):
                env.declare_sequent("(f (f x)) = c, (g x (g y c)) = y => (f y) = x")
            sequents, functions = env.sequents, env.functions
            gc.set_threshold(700)
            terms = []
            def walk(term):
                terms.append(term)
                for argument in term[1]:
                    walk(argument)
            for premises, conclusions in sequents:
                for lhs, rhs in premises + conclusions:
                    walk(lhs)
                    walk(rhs)
            hidden = [t for t in terms if not gc.is_tracked(t)]
            containers = [sequents, functions, env.sorts] + sequents + functions
            containers += [side for entry in sequents for side in entry]
            containers += [entry[1] for entry in functions]
            hidden += [c for c in containers if not gc.is_tracked(c)]
            assert not hidden, (threshold, hidden[:3])

        class Token:
            pass
        env = Environment()
        env.declare_function("f", ["A"], "A")
        gc.set_threshold(1)
        env.declare_sequent("(f x) = x => x = x")
        entry = env.sequents[0]
        gc.set_threshold(700)
        term = entry[0][0][0]
        tokens = Token(), Token()
        probes = [weakref.ref(t) for t in tokens]
        term[1].extend([tokens[0], term])
        entry[0].extend([tokens[1], entry])
        del env, entry, term, tokens
        gc.collect()
        assert [p() for p in probes] == [None, None]
    """)


@cpython_only("the cycle collector's callbacks, thresholds and generations")
@pytest.mark.skipif(FREE_THREADED, reason="the free-threaded collector keeps no generations in order")
def test_stored_objects_reach_the_collector_parents_first():
    # The collector's passes cost twice as much when a child sits before its parent in a
    # generation, so the module hands the stored objects over parents first.
    run_child("""
        env = Environment()
        env.declare_function("f", ["A"], "A")
        env.declare_function("g", ["A", "A"], "A")
        gc.collect()
        env.declare_sequent("(g (f x) (g y (f x))) = (f y) => x = (g x x)")
        position = {id(o): i for i, o in enumerate(gc.get_objects(generation=0))}
        pending = [t for p, c in env.sequents for l, r in p + c for t in (l, r)]
        count = 0
        while pending:
            term = pending.pop()
            count += 1
            assert position[id(term)] < position[id(term[1])], term
            for argument in term[1]:
                assert position[id(term[1])] < position[id(argument)], term
                pending.append(argument)
        assert count == 13
    """)


@cpython_only("the cycle collector's callbacks, thresholds and generations")
def test_collector_callbacks_cannot_mutate_containers_being_filled():
    # A callback that empties every list it can find while the module is filling one must
    # not make the module write into storage the list no longer has.
    run_child("""
        env = Environment()
        env.declare_function("f", ["A", "A"], "A")
        baseline = None

        def empty_new_lists(phase, info):
            if phase == "start" and baseline is not None:
                for o in gc.get_objects():
                    if type(o) is list and id(o) not in baseline:
                        o.clear()

        gc.enable()
        gc.callbacks.append(empty_new_lists)
        baseline = {id(o) for o in gc.get_objects()}
        gc.set_threshold(1)
        for _ in range(50):
            env.declare_sequent("(f (f x y) (f y x)) = x, (f x (f x x)) = y => x = (f y y)")
            env.sequents, env.functions, env.sorts
        gc.set_threshold(700)
        gc.callbacks.remove(empty_new_lists)
        assert len(env.sequents) == 50 == str(env).count("\\n")
    """)


NOMEMORY_SETUP = """
import sys
try:
    import _testcapi
except ImportError:
    pass
def render_term(t):
    name, args = t
    return "(%s %s)" % (name, " ".join(map(render_term, args))) if args else name
def render(view):
    side = lambda eqs: ", ".join("%s = %s" % (render_term(l), render_term(r)) for l, r in eqs)
    return "".join((side(p) + " => " + side(c)).strip() + "\\n" for p, c in view)
def check(env):
    view = env.sequents
    assert render(view) == str(env)
    stack = [view] + list(view)
    while stack:
        o = stack.pop()
        assert gc.is_tracked(o), o
        if type(o) is list or (type(o) is tuple and type(o[0]) is not str):
            stack.extend(o)
        elif type(o) is tuple:
            stack.append(o[1])
env = Environment()
env.declare_function("f", ["A", "A"], "A")
env.declare_function("c", [], "A")
S = "(f x (f y c)) = x, (f (f x x) y) = c => x = (f c (f x y))"
for _ in range({size}):
    env.declare_sequent(S + ", x = x" * 7)     # 20 top-level terms each
"""
OPS = {
    "declare_sequent": "env.declare_sequent(S)",
    # refused, after its text was converted (é needs UTF-8 made) and parsed
    "refused_sequent": "env.declare_sequent(S.replace('c', '(g \u00e9)'))",
    "sequents": "env.sequents",
    "functions": "env.functions",
    "sorts": "env.sorts",
    "str": "str(env)",
}
# What a failed allocation may raise. Only making the Python form of an accepted sequent or a
# view meets a failed interpreter call where success is expected (the internal fault); reading
# and refusing a text raises MemoryError.
FAILURES = dict.fromkeys(OPS, {"MemoryError", "PanicException"})
FAILURES["refused_sequent"] = {"MemoryError", "ValueError"}


# 1 sequent: exact-size tuples; 210 (> 4096 top-level terms): batches of spare tuples.
@cpython_only("_testcapi")
@allocation_failures_testable
@pytest.mark.parametrize("size", [1, 210])
@pytest.mark.parametrize("op", sorted(OPS))
def test_each_failing_allocation_leaves_a_consistent_environment(size, op):
    # One allocation fails, at each of the first 120 of the call: the stored terms must stay
    # in step with the stored sequents, and every container stays tracked.
    pytest.importorskip("_testcapi")
    out = run_child(NOMEMORY_SETUP.format(size=size) + """
failures = set()
for start in range(120):
    count = len(env.sequents)
    error = None
    _testcapi.set_nomemory(start, start + 1)
    try:
        {op}
    except BaseException as e:
        error = e  # noted once allocations work again
    finally:
        _testcapi.remove_mem_hooks()
    if error is not None:
        failures.add(type(error).__name__)
    check(env)
    assert len(env.sequents) - count in (0, {added})
env.declare_sequent("y = y => y = y")
check(env)
print(sorted(failures))
""".format(op=OPS[op], added=int(op == "declare_sequent")), timeout=120)
    failures = set(eval(out.split("\n")[-2]))
    assert failures <= FAILURES[op], failures
    assert failures - {"ValueError"}, "no allocation failed"


class _NoRoom(list):
    def append(self, item):
        raise MemoryError


# The logic stores a sequent or a function before PyPy's binding keeps its values or its name
# in Python; memory running out there must leave the environment as it was, but for the
# numbers a failed sequent took (as on CPython, whose module the test above fails in C++).
@pytest.mark.skipif(not PYPY, reason="PyPy's binding alone makes the values in Python")
@pytest.mark.parametrize("where, error, number", [
    ("_shared_items", "PanicException", 2),  # a sequent's first object
    ("premise_counts", "PanicException", 2),  # after the sequent's terms were kept
    ("names", "MemoryError", 1),  # a function's name
])
def test_memory_running_out_in_the_binding_leaves_the_environment_as_it_was(
        where, error, number, monkeypatch):
    from _kestrin import _binding

    env = Environment()
    env.declare_function("c", [], "A")
    env.declare_sequent("x = c => c = x")
    state = object.__getattribute__(env, "_state")
    if where == "_shared_items":
        monkeypatch.setattr(_binding, where, lambda: _NoRoom().append(None))
    else:
        monkeypatch.setattr(state, where, _NoRoom(getattr(state, where)))
    with pytest.raises(BaseException) as raised:
        if where == "names":
            env.declare_function("g", [], "A")
        else:
            env.declare_sequent("c = x => x = c")
    assert type(raised.value).__name__ == error
    assert error == "MemoryError" or raised.value.args == ("Python API call failed",)
    monkeypatch.undo()
    assert str(env) == "?0 = c => c = ?0\n" and len(env.sequents) == 1
    env.declare_function("g", [], "A")
    env.declare_sequent("y = g => g = y")
    y = ("?%d" % number, [])
    assert env.sequents[1] == ([(y, ("g", []))], [(("g", []), y)])
    assert str(env) == "?0 = c => c = ?0\n?{0} = g => g = ?{0}\n".format(number)


# Past 4,096 top-level terms, so that spare tuples are left over when the environment goes.
@cpython_only("sys.getallocatedblocks")
@pytest.mark.parametrize("size", [1000])
def test_creating_and_dropping_environments_returns_every_block(size):
    run_child("""
import sys
def round():
""" + "\n".join("    " + line for line in NOMEMORY_SETUP.format(size=size).splitlines()) + """
    env.sequents, env.functions, env.sorts, str(env)
for _ in range(3):
    round()
gc.collect()
before = sys.getallocatedblocks()
for _ in range(5):
    round()
gc.collect()
assert sys.getallocatedblocks() - before < 50, sys.getallocatedblocks() - before
""", timeout=120)

