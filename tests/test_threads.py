"""Calls from many threads at once, with the GIL and on a free-threaded interpreter."""

import gc
import os
import re
import subprocess
import sys
import sysconfig
import threading

import pytest

import _kestrin
from _kestrin import Environment

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
THREADS = 8
ROUNDS = 1500
VARIABLE = re.compile(r"\?(\d+)")


def worker(env, tag, sorts, barrier, failures):
    """Declares ROUNDS constants and a sequent over each, reading the environment in between."""
    try:
        barrier.wait()
        for i in range(ROUNDS):
            name = "c%s_%d" % (tag, i)
            # `sorts` is changed by another thread while it is read as the argument sorts
            env.declare_function(name, sorts, "S")
            env.declare_sequent("(g x y) = %s => x = y" % name)
            if i % 16 == 0:
                env.sorts, env.functions
            if i % 128 == 0:
                len(env.sequents), str(env)
    except BaseException as exc:  # noqa: B902 - a refusal or a fault fails the test below
        failures.append(exc)


def mutator(sorts, done):
    i = 0
    while not done.is_set():
        # fresh str objects, so that the ones replaced are freed while a reader may hold them
        sorts[i % 4] = "s%d" % (i * 7919 % 100003)
        if i % 3 == 0:
            sorts[:] = ["s%d" % (i + k) for k in range(4)]
        i += 1


def check(env, tags):
    lines = str(env).splitlines()
    assert len(lines) == len(env.sequents) == len(tags) * ROUNDS
    constants = []
    for n, line in enumerate(lines):
        # variables are numbered densely, two per sequent, in the order the sequents were stored
        assert [int(v) for v in VARIABLE.findall(line)] == [2 * n, 2 * n + 1, 2 * n, 2 * n + 1]
        constants.append(line.split(" = ")[1].split(" => ")[0])
    # every sequent was stored once, and each thread's in the order it declared them
    expected = {"c%s_%d" % (tag, i) for tag in tags for i in range(ROUNDS)}
    assert sorted(constants) == sorted(expected)
    for tag in tags:
        mine = [int(c.split("_")[1]) for c in constants if c.startswith("c%s_" % tag)]
        assert mine == list(range(ROUNDS))
    functions = env.functions[1:]
    assert len(functions) == len(tags) * ROUNDS
    for name, argument_type, result_type in functions:
        # each argument list is the shared list as it stood at one moment
        assert result_type == "S" and len(argument_type) == 4
        assert all(re.fullmatch(r"s\d+", sort) for sort in argument_type)


@pytest.mark.parametrize("shared", [True, False], ids=["one shared instance", "one per thread"])
def test_many_threads(shared):
    envs = [Environment() for _ in range(1 if shared else THREADS)]
    for env in envs:
        env.declare_function("g", ["S", "S"], "S")
    sorts = ["s0", "s1", "s2", "s3"]
    barrier, done, failures = threading.Barrier(THREADS), threading.Event(), []
    threads = [
        threading.Thread(target=worker, args=(envs[t % len(envs)], t, sorts, barrier, failures))
        for t in range(THREADS)
    ]
    changer = threading.Thread(target=mutator, args=(sorts, done))
    # With the GIL, a collection inside a call can run finalizers, and these let other threads
    # in while the call holds its borrow: a true overlap, refused. Without the GIL the collector
    # never runs inside a call.
    gc.disable()
    try:
        changer.start()
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        done.set()
        changer.join()
        gc.enable()
    assert failures == []  # no refusal: calls on one instance take turns
    if shared:
        check(envs[0], range(THREADS))
    else:
        for t, env in enumerate(envs):
            check(env, [t])


@pytest.mark.skipif(not FREE_THREADED, reason="free-threaded interpreters only")
def test_gil_stays_off():
    environ = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    environ["PYTHONPATH"] = os.pathsep.join(filter(None, [os.path.dirname(_kestrin.__file__),
                                                          environ.get("PYTHONPATH")]))
    proc = subprocess.run([sys.executable, "-c", "import sys, _kestrin; print(sys._is_gil_enabled())"],
                          env=environ, capture_output=True, text=True, timeout=60)
    assert (proc.returncode, proc.stdout, proc.stderr) == (0, "False\n", "")
