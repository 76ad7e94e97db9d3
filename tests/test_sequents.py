"""Reading sequent text: splitting, trimming, the parenthesis tokenizer, name
resolution, which error wins, and how variables are numbered.

Every row is (declared functions, text, expected, variable numbers taken).
`expected` is either the printed line of the stored sequent or the refusal.
`taken` is read back from a probe sequent declared afterwards, so it also shows
the numbers that a refused text used up.
"""

import pytest

from _kestrin import Environment

F = ["f", "g"]

# Unicode White_Space: trimmed off both ends of a term.
WHITE_SPACE = [chr(c) for c in range(0x09, 0x0E)] + [
    " ", "\x85", "\xa0", "\u1680",
] + [chr(c) for c in range(0x2000, 0x200B)] + [
    "\u2028", "\u2029", "\u202f", "\u205f", "\u3000",
]
# Look like space (several count as such for str.isspace) but are name characters.
NAME_CHARS = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\u180e", "\ufeff"]


class Refused:
    def __init__(self, message):
        self.message = message

    def __repr__(self):
        return "Refused(%r)" % self.message


def not_declared(name):
    return Refused(name + " has not been declared!")


def illegal_term(text):
    return Refused("Illegal Term " + text)


def illegal_sequent(text):
    return Refused("Illegal Sequent " + text)


def env_with(funcs):
    env = Environment()
    for spec in funcs:
        name, sorts = (spec, []) if isinstance(spec, str) else spec
        env.declare_function(name, sorts, "A")
    return env


def next_variable(env):
    env.declare_sequent("probe = probe => probe = probe")
    return int(env.sequents[-1][0][0][0][0][1:])


def check(funcs, text, expected, taken):
    env = env_with(funcs)
    if isinstance(expected, Refused):
        with pytest.raises(ValueError) as info:
            env.declare_sequent(text)
        assert type(info.value) is ValueError
        assert info.value.args == (expected.message,)
        assert str(env) == ""
        assert env.sequents == []
    else:
        assert env.declare_sequent(text) is None
        assert str(env) == expected + "\n"
    assert next_variable(env) == taken


SPLITTING = [
    # one premise, one conclusion; one scope spans both sides
    ([], "x = y => y = x", "?0 = ?1 => ?1 = ?0", 2),
    # several equations per side, in written order
    ([], "x = y, y = z => z = x, x = x", "?0 = ?1, ?1 = ?2 => ?2 = ?0, ?0 = ?0", 3),
    # no "=>": the whole text, once the premises parsed
    ([], "x = y", illegal_sequent("x = y"), 2),
    # a side without "=": that segment, trailing space kept
    ([], "x => y", illegal_sequent("x "), 1),
    # a second "=>": whole text, after both first sides parsed (w never numbered)
    ([], "x = y => y = z => w = w", illegal_sequent("x = y => y = z => w = w"), 3),
    # empty premises: one empty segment whose empty name took a number
    ([], "=> x = y", illegal_sequent(""), 1),
    # blank conclusions: the segment with its white space
    ([], "x = y =>  ", illegal_sequent("  "), 3),
    # the empty text is one empty premise
    ([], "", illegal_sequent(""), 1),
    # trailing comma: the empty last segment keeps its space
    ([], "x = y, => y = x", illegal_sequent(" "), 3),
    # leading comma: the empty first segment fails before x is seen
    ([], ", x = y => y = x", illegal_sequent(""), 1),
    # a segment fails with its own text, not the sequent's
    ([], "x = y, z => y = x", illegal_sequent(" z "), 3),
    # tabs and line breaks stay in the payload
    ([], "x = y,\t z\n => y = x", illegal_sequent("\t z\n "), 3),
    # two "=": the segment, after its first two terms parsed
    ([], "x = y = z => x = z", illegal_sequent("x = y = z "), 2),
    # "==>" splits at its "=>", leaving "x = y =" with two "="
    ([], "x = y ==> y = x", illegal_sequent("x = y ="), 2),
    # "=>>" leaves ">" in front of y: a new name "> y"
    ([], "x = y =>> y = x", "?0 = ?1 => ?2 = ?0", 3),
    # "=>=>": the empty middle side fails before the third segment counts
    ([], "x = y =>=> y = x", illegal_sequent(""), 3),
    # empty names on both sides are one variable
    ([], "= => =", "?0 = ?0 => ?0 = ?0", 1),
    # line breaks are trimmed white space around terms
    ([], "x\n=\ny\r\n=>\ny\n=\nx", "?0 = ?1 => ?1 = ?0", 2),
]


@pytest.mark.parametrize("funcs, text, expected, taken", SPLITTING)
def test_splitting(funcs, text, expected, taken):
    check(funcs, text, expected, taken)


@pytest.mark.parametrize("c", WHITE_SPACE + NAME_CHARS)
def test_trimming(c):
    text = "{0}(f x){0} = {0}x{0} => x = x".format(c)
    if c in WHITE_SPACE:
        check(F, text, "(f ?0) = ?0 => ?0 = ?0", 1)
    else:
        # "<c>(f x)<c>" does not begin with "(" and is a variable, and so is "<c>x<c>"
        check(F, text, "?0 = ?1 => ?2 = ?2", 3)


@pytest.mark.parametrize("c", [c for c in WHITE_SPACE + NAME_CHARS if c != " "])
def test_only_the_space_separates_tokens(c):
    check(F, "(f{}x) = x => x = x".format(c), not_declared("f" + c + "x"), 0)


TOKENIZER = [
    # a parenthesised argument is one token, parsed again
    (F, "(f x (g y z)) = x => x = x", "(f ?0 (g ?1 ?2)) = ?0 => ?0 = ?0", 3),
    # two spaces: an empty-named variable, then x
    (F, "(f  x) = x => x = x", "(f ?0 ?1) = ?1 => ?1 = ?1", 2),
    # a space before ")" adds an empty last argument
    (F, "(f x ) = x => x = x", "(f ?0 ?1) = ?0 => ?0 = ?0", 2),
    # a space after "(" makes the head the empty token (args f and x still parsed)
    (F, "( f x) = x => x = x", not_declared(""), 1),
    # missing ")": y is still open at the end, dropped and never numbered
    (F, "(f y = x => x = x", "f = ?0 => ?0 = ?0", 1),
    # text after the closing ")" is dropped
    (F, "(f x) y = z => z = z", "(f ?0) = ?1 => ?1 = ?1", 2),
    # ...unless a later "(" reopens: " y" becomes an argument
    (F, "(f x) (y) = y => y = y", "(f ?0 ?1) = ?1 => ?1 = ?1", 2),
    # collected text is glued to the next token: z and y make zy
    (F, "(f x)z(y) = zy => zy = x", "(f ?0 ?1) = ?1 => ?1 = ?0", 2),
    # " g" collected at depth 0 becomes a constant argument
    (F, "(f x) (g y) = y => y = y", "(f ?0 g ?1) = ?1 => ?1 = ?1", 2),
    # the same gluing inside an argument: g gets x and zy
    (F, "(f (g x)z(y)) = zy => x = x", "(f (g ?0 ?1)) = ?1 => ?0 = ?0", 2),
    # white space, then "(": a trimmed argument that is an application
    (F, "(f x) \u3000((g y)) = y => y = y", "(f ?0 (g ?1)) = ?1 => ?1 = ?1", 2),
    (F, "(f \t(g x)\ty) = x => x = x", "(f (g ?0)) = ?0 => ?0 = ?0", 1),
    # "(" after a name character stays inside the name
    (F, "(f x(y)) = x(y) => x = x", "(f ?0) = ?0 => ?1 = ?1", 2),
    # below depth 0 everything piles up and is dropped
    (F, "(f x))(y) = x => x = x", "(f ?0) = ?0 => ?0 = ?0", 1),
    # from depth -1 back to 1: the token starts with the collected ")("
    (F, "(f x))((y) = )(y => )(y = x", "(f ?0 ?1) = ?1 => ?1 = ?0", 2),
    # open text at the end is dropped whole: y is never numbered
    (F, "(f x (g y = z => z = z", "(f ?0) = ?1 => ?1 = ?1", 2),
    # ...also right after the head, leaving f no argument at all
    (F, "(f (g = x => x = x", "f = ?0 => ?0 = ?0", 1),
    # ...and with it a closed application inside, whose undeclared head is never looked up
    (F, "(f (g (h y) z = x => x = x", "f = ?0 => ?0 = ?0", 1),
    # a closed inner application, then open text
    (F, "(f (g y) x = x => x = x", "(f (g ?0)) = ?1 => ?1 = ?1", 2),
    # a reopening "(" right after the head's ")": x is an argument
    (F, "(f)(x) = x => x = x", "(f ?0) = ?0 => ?0 = ?0", 1),
    # the head token is never parsed, even when it holds an application
    (F, "(\t(g x) y) = y => y = y", not_declared("\t(g x)"), 1),
    # an inner application without arguments is a constant argument
    (F, "(f (g)) = x => x = x", "(f g) = ?0 => ?0 = ?0", 1),
    # an inner application with an empty head
    (F, "(f ( )) = x => x = x", not_declared(""), 1),
    # "(x)" is an application headed by x
    (F, "(f (x)) = x => x = x", not_declared("x"), 0),
    # "()" has one token, the empty head
    ([], "() = x => x = x", not_declared(""), 0),
    # "(())": the head "()" is looked up as collected, not parsed
    ([], "(()) = x => x = x", not_declared("()"), 0),
    # "(f)" and "(f x" are the constant f
    (F, "(f) = (f x => f = (f)", "f = f => f = f", 0),
    # the head is looked up untrimmed
    (F, "(\tf x) = x => x = x", not_declared("\tf"), 1),
    # arguments are trimmed
    (F, "(f \tx\u3000) = x => x = x", "(f ?0) = ?0 => ?0 = ?0", 1),
    # no token: the term text untrimmed
    ([], "( = x => x = x", illegal_term("( "), 0),
    (F, " (f = x => x = x", illegal_term(" (f "), 0),
    (F, "((f x) = x => x = x", illegal_term("((f x) "), 0),
    # a tab does not close a token
    (F, "(f\tx = x => x = x", illegal_term("(f\tx "), 0),
]


@pytest.mark.parametrize("funcs, text, expected, taken", TOKENIZER)
def test_tokenizer(funcs, text, expected, taken):
    check(funcs, text, expected, taken)


NAMES = [
    # "f(x)" and "f x" do not begin with "(": names, not applications
    (F, "f(x) = f x => f x = f(x)", "?0 = ?1 => ?1 = ?0", 2),
    # "?" means nothing in input: "?1" is just the first new variable
    ([], "?1 = ?0 => ?x = ?1", "?0 = ?1 => ?2 = ?0", 3),
    # case and inner white space make new names, outer white space does not
    ([], "x y = x  y => X y = x y ", "?0 = ?1 => ?2 = ?0", 3),
    # parentheses after the first character belong to the name
    ([], "x(y) = x) => x) = x(y)", "?0 = ?1 => ?1 = ?0", 2),
    # a declared name is a constant whatever arity it was declared with
    ([("c", ["A", "B"])], "c = x => x = c", "c = ?0 => ?0 = c", 1),
    # "(c)" is the same constant
    (["c"], "(c) = c => c = (c)", "c = c => c = c", 0),
    # arity is not checked: f declared with one argument sort
    ([("f", ["A"])], "(f x y) = (f x y z) => f = x", "(f ?0 ?1) = (f ?0 ?1 ?2) => f = ?0", 3),
    # a function name with an inner space; one more space makes a variable
    (["g h"], "g h = x => x = g  h", "g h = ?0 => ?0 = ?1", 2),
    # outer white space of a function name cannot be written: "x" is a variable
    (["x "], "x  = x => x = x", "?0 = ?0 => ?0 = ?0", 1),
    # the empty name, once declared, is a constant, and a head
    ([""], "( x) = => = ()", "( ?0) =  =>  = ", 1),
    # seven bytes and eight: a name is its own key up to seven
    (["abcdefg", "abcdefgh"], "abcdefg = abcdefgh => abcdefh = abcdefgi", "abcdefg = abcdefgh => ?0 = ?1", 2),
    # NUL bytes count like any other
    (["a\x00"], "a = a\x00 => a\x00\x00 = \x00a", "?0 = a\x00 => ?1 = ?2", 3),
    # three-byte characters with the lead byte 0xE0 (U+0800-U+0FFF), one ending the text
    (["\u0915"], "\u0e01 = (\u0915 \u0800) => \u0915 = \u0e01", "?0 = (\u0915 ?1) => \u0915 = ?0", 2),
]


@pytest.mark.parametrize("funcs, text, expected, taken", NAMES)
def test_names(funcs, text, expected, taken):
    check(funcs, text, expected, taken)


PRECEDENCE = [
    # an argument's error beats the undeclared head
    ([], "(g (h x)) = x => x = x", not_declared("h"), 1),
    # arguments left to right: the first bad one wins, later ones are not numbered
    (["f"], "(f (g x) (h y)) = y => y = y", not_declared("g"), 1),
    # the head is looked up after every argument was numbered
    ([], "(g x y) = z => z = z", not_declared("g"), 2),
    # the first error of a side wins
    ([], "(g x) = y, (h z) = z => z = z", not_declared("g"), 1),
    # a term error beats the missing "=" of its segment
    ([], "(g x) => x = x", not_declared("g"), 1),
    # a term error beats the missing "=>"
    ([], "x = (g y)", not_declared("g"), 2),
    ([], "(", illegal_term("("), 0),
    # the left term fails before the right one is read
    ([], "( = (g x) => x = x", illegal_term("( "), 0),
    # the right term is parsed before an extra "=" counts...
    ([], "x = (g y) = z => z = z", not_declared("g"), 2),
    # ...but a third part is never parsed
    ([], "x = y = (g z) => z = z", illegal_sequent("x = y = (g z) "), 2),
    # premises fail before the conclusions are read
    ([], "(g x) = x => (h y) = y", not_declared("g"), 1),
    # the conclusions are parsed before an extra "=>" counts...
    ([], "x = x => (g y) = y => z = z", not_declared("g"), 2),
    # ...but a third side is never parsed
    ([], "x = x => y = y => (g z) = z", illegal_sequent("x = x => y = y => (g z) = z"), 2),
]


@pytest.mark.parametrize("funcs, text, expected, taken", PRECEDENCE)
def test_error_precedence(funcs, text, expected, taken):
    check(funcs, text, expected, taken)


def test_numbering_runs_on_across_sequents_and_failures():
    env = env_with(F)
    steps = [
        ("x = y => y = x", None),  # 0, 1
        ("x = y", "Illegal Sequent x = y"),  # 2, 3 stay taken
        ("(f a (h b) c) = d => d = d", "h has not been declared!"),  # a 4, b 5; c, d never read
        ("(f x (g y = z => z = z", None),  # x 6, z 7; the open "(g y" is dropped
        ("x = y => y = x", None),  # same text, new numbers 8, 9
        ("?0 = ?0 => ?0 = ?0", None),  # "?0" is a name like any other: 10
    ]
    for text, message in steps:
        if message is None:
            env.declare_sequent(text)
        else:
            with pytest.raises(ValueError) as info:
                env.declare_sequent(text)
            assert info.value.args == (message,)
    assert str(env) == (
        "?0 = ?1 => ?1 = ?0\n"
        "(f ?6) = ?7 => ?7 = ?7\n"
        "?8 = ?9 => ?9 = ?8\n"
        "?10 = ?10 => ?10 = ?10\n"
    )
    # every Environment has its own counter
    other = Environment()
    other.declare_sequent("x = y => y = x")
    assert str(other) == "?0 = ?1 => ?1 = ?0\n"
    assert next_variable(env) == 11


# Up to 256 names of at most seven bytes are looked up without hashing, past that by hash.
@pytest.mark.parametrize("count", [256, 257, 600])
def test_every_declared_name_is_found_whatever_their_number(count):
    names = ["c%d" % i for i in range(count)]
    env = env_with(names[:-1])
    # a name met before it is declared is a variable, and a constant afterwards
    env.declare_sequent("(%s x) = %s => x = %s" % (names[0], names[-1], names[-2]))
    env.declare_function(names[-1], [], "A")
    env.declare_sequent("(%s x) = %s => x = %s" % (names[0], names[-1], names[-2]))
    env.declare_sequent(", ".join("%s = x" % name for name in names) + " => x = x")
    assert str(env).split("\n")[:2] == [
        "(c0 ?0) = ?1 => ?0 = %s" % names[-2], "(c0 ?2) = %s => ?2 = %s" % (names[-1], names[-2])]
    assert next_variable(env) == 4


def introducing(names, start, stop):
    """Equations that bring in names[start:stop] one at a time, each followed at once by a
    later use of every name met so far, so that every name is looked up again at every size
    of the sequent's set of variables."""
    return [(names[k], names[j]) for k in range(start, stop) for j in range(k + 1)]


# (number of distinct variables, how many of them first appear among the premises)
@pytest.mark.parametrize(
    "count, in_premises",
    [
        (40, 40),  # all brought in by the premises, used again in the conclusions
        (40, 0),  # all brought in by the conclusions (the premises hold a constant only)
        (40, 16),  # the 17th and later first met in the conclusions
        (40, 15),  # the 16th and later first met in the conclusions
        (16, 16),
        (17, 17),
    ],
)
def test_many_variables_keep_their_numbers(count, in_premises):
    # x1 and x10..x19 share a prefix, x0 and x00 are different names
    names = ["x%d" % i for i in range(count - 1)] + ["x00"]
    premises = introducing(names, 0, in_premises) or [("c", "c")]
    conclusions = introducing(names, in_premises, count)
    conclusions += [(names[i], names[count - 1 - i]) for i in range(count)]
    text = "%s => %s" % tuple(", ".join("%s = %s" % eq for eq in side) for side in (premises, conclusions))

    def line(first):
        number = {name: "?%d" % (first + i) for i, name in enumerate(names)}
        number["c"] = "c"
        return "%s => %s" % tuple(
            ", ".join("%s = %s" % (number[a], number[b]) for a, b in side)
            for side in (premises, conclusions))

    env = env_with(["c"])
    # the same text twice: the second sequent starts a fresh scope after a large one
    env.declare_sequent(text)
    env.declare_sequent(text)
    assert str(env) == line(0) + "\n" + line(count) + "\n"
    values = [(("?%d" % (count + names.index(a)), []), ("?%d" % (count + names.index(b)), []))
              for a, b in conclusions]
    assert env.sequents[1][1] == values
    assert next_variable(env) == 2 * count
