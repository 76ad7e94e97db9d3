"""Calls from many threads at once, with the GIL and on a free-threaded interpreter."""

import _thread
import gc
import os
import re
import signal
import subprocess
import sys
import sysconfig
import textwrap
import threading
import time
import warnings

import pytest

import _kestrin
from _kestrin import Environment

# A call refused in a helper thread shows only as this warning.
pytestmark = pytest.mark.filterwarnings("error::pytest.PytestUnhandledThreadExceptionWarning")

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


MUT = "Already mutably borrowed"
# Sorting this many names holds the list's lock for a while, and the key never lets the
# interpreter go: a call reading the list as argument sorts waits.
SORTED = 200_000


class Sorter(threading.Thread):
    """Sorts `names`; `holding` is set once it holds the list's lock, which it keeps at least
    until `release` is set. The key spins rather than waits: a thread that waits lets its
    locks go."""

    def __init__(self, names):
        self.holding, self.release = threading.Event(), threading.Event()
        self.inside = []

        def key(name):
            self.holding.set()
            while not self.release.is_set():
                if self.inside:
                    self.inside.pop()()
            return name

        super().__init__(target=names.sort, kwargs={"key": key})

    def finish(self):
        self.release.set()
        self.join()

    def run_inside(self, function):
        """Runs `function` on this thread while it holds the list's lock; returns its result."""
        done, result = threading.Event(), []
        self.inside.append(lambda: (result.append(function()), done.set()))
        assert done.wait(10)
        return result[0]


def until_reads_wait(env):
    """Returns once a read of `env` from another thread waits; fails at once if one is refused.
    Until a declaration holds the instance, a read returns at once (a fixed pause is too short on
    a busy machine)."""
    refused = []

    def read():
        try:
            env.sorts
        except RuntimeError as error:
            refused.append(error)

    deadline = time.monotonic() + 10
    while True:
        probe = threading.Thread(target=read, daemon=True)
        probe.start()
        probe.join(0.5)
        assert not refused, refused
        if probe.is_alive():
            return
        assert time.monotonic() < deadline, "the declaration never took the instance"


def waiting_declaration(env, nested, count=SORTED):
    """Starts a declaration on `env` that waits for a sort of its `count` argument sorts, made
    directly or from the caller code of a declaration on another instance. Returns the sorting
    thread, the declaring one (`ended`: when its call returned), and the argument sorts."""
    names = ["s%06d" % i for i in range(count, 0, -1)]
    entering = threading.Event()
    sorter = Sorter(names)

    class Nesting:
        def __getitem__(self, i):
            return "B"

        def __len__(self):
            return 1

        def __iter__(self):
            entering.set()
            env.declare_function("f", names, "R")
            return iter(["B"])

    def declare():
        if nested:
            Environment().declare_function("g", Nesting(), "R")
        else:
            entering.set()
            env.declare_function("f", names, "R")
        declarer.ended = time.monotonic()

    sorter.start()
    assert sorter.holding.wait(10)
    declarer = threading.Thread(target=declare)
    declarer.start()
    assert entering.wait(10)
    until_reads_wait(env)
    return sorter, declarer, names


def waiting_declaration_behind(env, sorter, declarer):
    """With `declarer` waiting for `sorter`, starts a second declaration on `env` that waits for
    the first, then for a sort of its own argument sorts. Returns the second sorting thread, the
    second declaring one and its argument sorts."""
    names = ["t%03d" % i for i in range(100, 0, -1)]
    last = Sorter(names)

    def declare():
        env.declare_function("g", names, "R")
        second.ended = time.monotonic()

    last.start()
    assert last.holding.wait(10)
    second = threading.Thread(target=declare)
    second.start()
    time.sleep(0.1)  # long enough to be waiting for the first declaration
    sorter.finish()
    declarer.join(10)
    until_reads_wait(env)
    return last, second, names


def read_while_declaring(nested=False, queued=False, hold=0.2, count=SORTED):
    """A read from this thread while a declaration waits for a lock, let go `hold` seconds later:
    it waits for the declaration, sees it, and returns soon after it."""
    env = Environment()
    sorter, declarer, names = waiting_declaration(env, nested, count)
    last, later, timer = sorter, [], None
    try:
        if queued:
            last, declarer, later = waiting_declaration_behind(env, sorter, declarer)
        timer = threading.Timer(hold, last.release.set)
        timer.start()
        sorts = env.sorts
        returned = time.monotonic()
    finally:
        if timer is not None:
            timer.cancel()
        sorter.finish()
        last.finish()
        declarer.join(10)
    assert sorts == ["R"] + sorted(names) + sorted(later)
    # Its pauses grow with the wait, but to 4 ms at most.
    assert returned - declarer.ended < 0.5, returned - declarer.ended


# Keyword arguments of read_while_declaring.
WAITS = {
    "made directly": {},
    "made from caller code": {"nested": True},
    # its own wait for the first let the section go, and counts as no caller code
    "queued behind another": {"queued": True, "count": 100},
    # the pauses are capped: a long wait still answers at once
    "held for a second": {"hold": 1.2, "count": 100},
    # what a declaration records of the fork generation is what the read compares
    "in a forked child": {"forked": True, "count": 100},
}


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded call waits for a lock")
@pytest.mark.parametrize("case", WAITS.values(), ids=WAITS.keys())
def test_a_read_waits_for_a_declaration_waiting_for_a_lock(case):
    # The declaration runs no caller code of its own while it waits: the read comes after it,
    # as it would under the GIL, whether the declaration was made from another call's caller
    # code or not.
    case = dict(case)
    if not case.pop("forked", False):
        read_while_declaring(**case)
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            read_while_declaring(**case)
            code = 0
        except BaseException:  # noqa: B902 - reported by the parent as the exit status
            import traceback
            traceback.print_exc()
        finally:
            os._exit(code)
    assert exit_status(pid) == 0


def exit_status(pid, timeout=30):
    deadline = time.monotonic() + timeout
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done or time.monotonic() > deadline:
            break
        time.sleep(0.05)
    if not done:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
    assert done and os.WIFEXITED(status), "the child did not answer within %d s" % timeout
    return os.WEXITSTATUS(status)


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded call waits for a lock")
def test_a_waiting_read_answers_an_interrupt():
    env = Environment()
    sorter, declarer, _ = waiting_declaration(env, nested=False)
    timer = threading.Timer(0.1, _thread.interrupt_main)
    # A process started in the background by a shell ignores SIGINT, and then interrupt_main()
    # does nothing: the test gives it Python's own handler.
    handler = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        timer.start()
        with pytest.raises(KeyboardInterrupt):
            env.sorts
        # answered while the declaration still waited (the sort holds the list until told),
        # and without taking the borrow
        assert declarer.is_alive()
    finally:
        timer.cancel()
        signal.signal(signal.SIGINT, handler)
        sorter.finish()
        declarer.join()
    assert env.functions[0][0] == "f"


def in_caller_code(env):
    """Starts a declaration on `env` that blocks in the caller code of its argument sorts."""
    entered, release = threading.Event(), threading.Event()

    class Blocking:
        def __getitem__(self, i):
            return "A"

        def __len__(self):
            return 1

        def __iter__(self):
            entered.set()
            release.wait(30)
            return iter(["A"])

    declarer = threading.Thread(target=env.declare_function, args=("f", Blocking(), "R"))
    declarer.start()
    assert entered.wait(10)
    return declarer, release


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.parametrize("where", ["in caller code", "waiting for a lock"])
def test_a_forked_child_is_refused_what_a_gone_thread_held(where):
    # The child has no thread to give the borrow back: a call there is refused at once, never
    # waited on.
    if where == "waiting for a lock" and not FREE_THREADED:
        pytest.skip("only a free-threaded call waits for a lock")
    env = Environment()
    if where == "in caller code":
        declarer, release = in_caller_code(env)
        sorter = None
    else:
        sorter, declarer, _ = waiting_declaration(env, nested=False)

    def fork():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            pid = os.fork()
        if pid == 0:
            code = 3
            try:
                env.sorts
                code = 1
            except RuntimeError as error:
                code = 0 if error.args == (MUT,) else 2
            finally:
                os._exit(code)
        return pid

    try:
        if sorter is None:
            assert exit_status(fork()) == 0
        else:
            # From the thread that holds the list: a fork stops every other thread, which lets
            # their locks go, and the declaration would get the list and end.
            assert exit_status(sorter.run_inside(fork)) == 0
            # The parent still has the declaration's thread: a read there waits for it.
            threading.Timer(0.2, sorter.release.set).start()
            assert env.sorts[0] == "R"
    finally:
        if sorter is None:
            release.set()
        else:
            sorter.finish()
        declarer.join()


# Each script leaves a daemon thread inside a call, forever, and the interpreter ends that thread
# when it wakes during shutdown: that must exit as the same program without the module does.
EXIT_PRELUDE = """
import sys, threading, time
import _kestrin

# Freed while the interpreter shuts down, which takes long enough for the thread to wake then.
heap = [[i] for i in range(1_000_000)]
go = threading.Event()

def start(work):
    threading.Thread(target=work, daemon=True).start()
    go.wait(30)
    time.sleep(0.1)

class Sorts:
    def __init__(self, *items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        return iter(self.items)

class Name(str):
    def __del__(self):
        go.set()
        time.sleep(0.01)

def declaring(sorts):
    def work(i=0):
        while True:
            i += 1
            try:
                _kestrin.Environment().declare_function("f%d" % i, sorts(), "R")
            except BaseException:
                pass
    return work
"""

EXIT_SCRIPTS = {
    # the thread sleeps in the length request, before the call holds anything
    "caller code, nothing held": """
class Slow(Sorts):
    def __len__(self):
        go.set()
        time.sleep(0.05)
        return 1
start(declaring(lambda: Slow("A")))
""",
    # names read one at a time: the call holds the iterator and the names read so far
    "caller code, objects held": """
class Reading(Sorts):
    def __iter__(self):
        while True:
            go.set()
            time.sleep(0.01)
            yield "sort%d" % time.monotonic_ns()
start(declaring(Reading))
""",
    # the finalizer of an item sleeps when the call drops its argument sorts
    "a drop by the call": """
class Fresh(Sorts):
    def __iter__(self):
        return iter([Name("A")])
start(declaring(lambda: Fresh("A")))
""",
    # a caller put an object whose finalizer sleeps into a term; its environment is released
    "a drop by an instance's release": """
def work():
    while True:
        env = _kestrin.Environment()
        env.declare_sequent("x = x => x = x")
        env.sequents[0][0][0][0][1].append(Name("A"))
        del env
start(work)
""",
    # caller code raises the internal fault; its traceback's report sleeps in sys.stderr
    "the report of an internal fault": """
try:
    _kestrin.Environment().declare_function("\\ud800", [], "A")
except UnicodeEncodeError:
    pass
panic = [c for c in BaseException.__subclasses__() if c.__module__ == "pyo3_runtime"][0]

class Stderr:
    def write(self, text):
        if text.startswith("Traceback"):
            go.set()
            time.sleep(0.01)

    def flush(self):
        pass

class Raising(Sorts):
    def __iter__(self):
        raise panic("from caller code")

sys.stderr = Stderr()
start(declaring(Raising))
""",
}


# Free-threaded 3.13 can hand one of its own locks (the type cache's, taken by a method lookup
# in sys.stderr's writing) to a daemon thread that it then ends, and the finalizing thread waits
# for that lock for ever: seen once in about 200 runs of this row, every thread inside the
# interpreter's own code. 3.14 parks such threads instead.
INTERPRETER_HANGS = pytest.mark.skipif(FREE_THREADED and sys.version_info < (3, 14),
                                       reason="free-threaded 3.13 can hang in its own shutdown")


@pytest.mark.skipif("--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""),
                    reason="the interpreter's own shutdown races with any daemon thread, which "
                           "ThreadSanitizer reports and stops the process for")
@pytest.mark.parametrize("script", [
    pytest.param(script, id=name, marks=[INTERPRETER_HANGS] if "internal fault" in name else [])
    for name, script in EXIT_SCRIPTS.items()])
def test_exit_with_a_daemon_thread_inside_a_call(script):
    # The thread is ended by a forced unwind through the call, which finds it without the
    # interpreter: nothing may be dropped or let go then, and nothing on the way may be
    # noexcept. A race: four runs side by side.
    environ = dict(os.environ)
    environ["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    command = [sys.executable, "-c", textwrap.dedent(EXIT_PRELUDE) + textwrap.dedent(script)]
    runs = [subprocess.Popen(command, env=environ, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True) for _ in range(4)]
    results = [(run.communicate(timeout=300)[1], run.returncode) for run in runs]
    assert results == [("", 0)] * 4


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork()")
@pytest.mark.skipif(not hasattr(Environment(), "_state"), reason="the binding in Python only")
def test_a_forked_child_takes_no_lock_a_gone_thread_held():
    # Where the module is Python code, a thread can be inside it when another forks: in the
    # child nothing will let that instance's lock go, so the child does not wait for it.
    env = Environment()
    env.declare_function("f", [], "A")
    holding, release = threading.Event(), threading.Event()

    def hold():
        with env._state.lock:
            holding.set()
            release.wait(30)

    holder = threading.Thread(target=hold)
    holder.start()
    assert holding.wait(10)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # fork() with threads running
            pid = os.fork()
        if pid == 0:
            os._exit(0 if env.sorts == ["A"] else 1)
        assert exit_status(pid) == 0
    finally:
        release.set()
        holder.join()


class Sorts(tuple):
    """Read as caller code is, with signals let through."""


# Each makes one call that takes effect or not; the name is new to the environment.
INTERRUPTED = {
    "declare_sequent": lambda env, name: env.declare_sequent("(f x %s) = x => x = %s"
                                                             % (name, name)),
    "declare_function with caller code": lambda env, name: env.declare_function(name, Sorts(), "U"),
    "sequents": lambda env, name: env.sequents,
    "str": lambda env, name: str(env),
}


@pytest.mark.parametrize("ids", INTERRUPTED)
def test_an_exception_from_a_signal_handler_leaves_each_call_whole(ids):
    # A handler raises at whatever point a timer's signal finds the calls in; on every
    # interpreter each call then has taken effect whole or not at all, and taken nothing with it.
    call = INTERRUPTED[ids]
    env = Environment()
    env.declare_function("f", ["U", "U"], "U")
    for i in range(8):
        env.declare_function("c%d" % i, [], "U")
    armed = [False]
    raised = [0]

    def handler(signum, frame):
        if armed[0]:
            armed[0] = False
            raised[0] += 1
            raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, handler)
    signal.setitimer(signal.ITIMER_REAL, 0.0002, 0.0002)
    # No collection: a handler would raise into the callbacks that one runs, which drop it.
    gc.disable()
    try:
        deadline = time.monotonic() + 2
        i = 0
        while raised[0] < 300 and time.monotonic() < deadline:
            i += 1
            try:
                armed[0] = True
                call(env, "c%d" % (i % 8) if "sequent" in ids else "g%d" % i)
                armed[0] = False
            except KeyboardInterrupt:
                pass
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        # Signals are handled as before the calls.
        armed[0] = True
        with pytest.raises(KeyboardInterrupt):
            os.kill(os.getpid(), signal.SIGALRM)
            for _ in range(1000):
                pass
    finally:
        gc.enable()
        signal.setitimer(signal.ITIMER_REAL, 0, 0)
        signal.signal(signal.SIGALRM, previous)
    # The lock and the borrow are free: another thread's call goes through.
    seen = []
    other = threading.Thread(target=lambda: seen.append(len(env.sequents)), daemon=True)
    other.start()
    other.join(10)
    assert seen, "the other thread's call waited for ever"
    # The values and the native store agree: a line per sequent, and each function's name where
    # a sequent over it says.
    assert len(str(env).splitlines()) == len(env.sequents)
    names = [name for name, _, _ in env.functions[9:]]
    for name in names:
        env.declare_sequent("%s = x => x = x" % name)
    sequents = env.sequents
    assert [s[0][0][0][0] for s in sequents[len(sequents) - len(names):]] == names
