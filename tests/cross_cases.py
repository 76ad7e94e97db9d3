"""Programs of calls whose outcomes must be the same, byte for byte, on every interpreter and
platform, and a digest of each outcome as recorded once (recorded_outcomes.txt).

Each case is a short program on a fresh environment: declarations with arguments right and
wrong (by position and by keyword, of the wrong type, user-defined sequences that raise), then
the views and the text. Only what the module words itself is recorded: no message of an
interpreter's own (those differ between versions), no exception context (PyPy chains the
handled exception in its place). Texts are written with ascii(), which does not depend on the
interpreter's Unicode tables.

    python tests/cross_cases.py --record > tests/recorded_outcomes.txt   # record, on CPython
    python tests/cross_cases.py                                         # every outcome in full
"""

import hashlib
import random
import sys

import _kestrin

SEED, COUNT = 2026, 2000

NAMES = ["f", "g", "c", "x", "", "f g", "?0", "\u00e9", "\u0915", "\x00", "\t", "\x1c", "\u00a0",
         "a(b", "(x)", "a=b", "a,b", "\ud800"]
SORTS = ["A", "B", "", "A B", "\u00e9", "\ud800"]
PIECES = ["(", ")", " ", "  ", "\t", "\u00a0", "\u2028", "\x1c", "=", ">", "=>", ",", "?", "x",
          "y", "f", "g", "c", "", "\x00", "\u00e9", "==>", ", ", " = ", " => ", "(f x)", "(g x y)",
          "(f (g c x))", "\ud800"]
SEQUENTS = ["x = y => y = x", "(f x) = c, y = c => (f y) = x", "=> x = x", "x = x =>",
            "(f x = x => x = x", "(f x) y = x => x = x", "((f x)) = x => x = x",
            "(\t x) = x => x = x", "(f (g x) c) = x => x = x", "x = ?0 => ?0 = x", "=>"]


class Text(str):
    """A str subclass, accepted wherever a str is."""


class Seq:
    """Sort names as a user-defined sequence, raising `error` at `at` when given."""

    def __init__(self, items, at=None, error=None):
        self.items, self.at, self.error = items, at, error

    def __getitem__(self, i):
        return self.items[i]

    def __len__(self):
        if self.at == "len":
            raise self.error
        return len(self.items)

    def __iter__(self):
        if self.at == "iter":
            raise self.error
        return self._items()

    def _items(self):
        for i, item in enumerate(self.items):
            if self.at == "next" and i == len(self.items) - 1:
                raise self.error
            yield item


ERRORS = {"TypeError": lambda: TypeError("boom"), "ValueError": lambda: ValueError("v"),
          "KeyError": lambda: KeyError("k"), "caused": lambda: _caused()}


def _caused():
    error = TypeError("caused")
    error.__cause__ = LookupError("cause")
    return error


def value(spec):
    """The argument a spec stands for (specs are plain data, so that cases can be printed)."""
    kind, data = spec
    if kind == "str":
        return data
    if kind == "text":
        return Text(data)
    if kind == "list":
        return [value(item) for item in data]
    if kind == "tuple":
        return tuple(value(item) for item in data)
    if kind == "seq":
        items, at, error = data
        return Seq([value(item) for item in items], at, ERRORS[error]() if error else None)
    return {"int": 1, "float": 2.5, "none": None, "bytes": b"A", "set": {"A"}, "dict": {"A": 1},
            "range": range(0), "frozenset": frozenset()}[kind]


def _text(rng, pool):
    return ("str" if rng.random() < 0.9 else "text", rng.choice(pool))


def _odd(rng):
    return (rng.choice(["int", "float", "none", "bytes", "set", "dict", "range", "frozenset"]), None)


def _sorts(rng):
    roll = rng.random()
    items = [_text(rng, SORTS) if rng.random() < 0.93 else _odd(rng)
             for _ in range(rng.randrange(4))]
    if roll < 0.5:
        return ("list", items)
    if roll < 0.65:
        return ("tuple", items)
    if roll < 0.85:
        at = rng.choice([None, None, "len", "iter", "next"])
        return ("seq", (items, at, rng.choice(list(ERRORS)) if at else None))
    return _text(rng, SORTS) if roll < 0.92 else _odd(rng)


def _sequent(rng):
    if rng.random() < 0.3:
        return rng.choice(SEQUENTS)
    return "".join(rng.choice(PIECES) for _ in range(rng.randrange(1, 12)))


def _call(rng, parameters, values):
    """Arguments and keywords for a call: mostly right, sometimes too many or too few, or a
    keyword that is unknown or given twice."""
    args = list(values)
    kwargs = {}
    roll = rng.random()
    if roll < 0.2:
        cut = rng.randrange(len(parameters) + 1)
        for name, item in list(zip(parameters, args))[cut:]:
            kwargs[name] = item
        args = args[:cut]
    elif roll < 0.25:
        args.append(("str", "extra"))
    elif roll < 0.3:
        args.pop(rng.randrange(len(args)))
    elif roll < 0.33:
        kwargs[rng.choice(["sort", "self", "names", "\u00e9", parameters[0]])] = ("str", "k")
    return args, kwargs


def cases(seed=SEED, count=COUNT):
    rng = random.Random(seed)
    programs = []
    for _ in range(count):
        steps = []
        for _ in range(rng.randrange(1, 7)):
            if rng.random() < 0.45:
                values = [_text(rng, NAMES) if rng.random() < 0.95 else _odd(rng), _sorts(rng),
                          _text(rng, SORTS) if rng.random() < 0.95 else _odd(rng)]
                steps.append(("declare_function",) + _call(
                    rng, ["name", "argument_type", "result_type"], values))
            else:
                text = ("str", _sequent(rng)) if rng.random() < 0.97 else _odd(rng)
                steps.append(("declare_sequent",) + _call(rng, ["s"], [text]))
        programs.append(steps)
    return programs


def outcome(call):
    try:
        return ascii(call())
    except Exception as error:  # noqa: B902 - every error is an outcome
        shown = "%s: %s" % (type(error).__name__, ascii(error.args))
        if isinstance(error, TypeError):
            shown += " cause=%s suppressed=%s" % (type(error.__cause__).__name__,
                                                  error.__suppress_context__)
        return shown


def run(program):
    env = _kestrin.Environment()
    lines = []
    for method, args, kwargs in program:
        call = getattr(env, method)
        lines.append(outcome(lambda: call(*[value(a) for a in args],
                                          **{k: value(v) for k, v in kwargs.items()})))
    lines.append(outcome(lambda: (env.sorts, env.functions, env.sequents, str(env))))
    return " | ".join(lines)


def digest(text):
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()[:16]


def main():
    record = sys.argv[1:] == ["--record"]
    for number, program in enumerate(cases()):
        text = run(program)
        sys.stdout.write("%d %s\n" % (number, digest(text) if record else text))


if __name__ == "__main__":
    main()
