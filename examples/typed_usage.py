"""Typed use of the module; checked with ``mypy --strict`` against the stub.

Rebuilds the text form of every sequent from the ``sequents`` attribute and
compares it with ``str(env)``.
"""

from typing import Dict, List, Tuple

from _kestrin import Environment

Term = Tuple[str, List["Term"]]
Equation = Tuple[Term, Term]
Sequent = Tuple[List[Equation], List[Equation]]


def render_term(term: Term) -> str:
    name, arguments = term
    if not arguments:
        return name
    return "(" + " ".join([name] + [render_term(a) for a in arguments]) + ")"


def render_side(equations: List[Equation]) -> str:
    return ", ".join(render_term(l) + " = " + render_term(r) for l, r in equations)


def render_sequent(sequent: Sequent) -> str:
    premises, conclusions = sequent
    return render_side(premises) + " => " + render_side(conclusions)


def arities(env: Environment) -> Dict[str, int]:
    entries: List[Tuple[str, List[str], str]] = env.functions
    return {name: len(argument_type) for name, argument_type, _ in entries}


def main() -> None:
    env = Environment()
    env.declare_function("zero", [], "Nat")
    env.declare_function(name="succ", argument_type=("Nat",), result_type="Nat")
    env.declare_function("plus", ["Nat", "Nat"], "Nat")
    env.declare_sequent("x = x => (plus zero x) = x")
    env.declare_sequent(s="x = x => (plus (succ x) y) = (succ (plus x y))")

    try:
        env.declare_function("zero", [], "Nat")
    except ValueError as error:
        message: str = str(error)
        print("refused:", message)

    sorts: List[str] = env.sorts
    sequents: List[Sequent] = env.sequents
    text: str = str(env)
    rebuilt = [render_sequent(sequent) for sequent in sequents]
    assert rebuilt == text.splitlines(), (rebuilt, text)

    print("sorts:", sorts)
    print("arities:", arities(env))
    for line in rebuilt:
        print(line)


if __name__ == "__main__":
    main()
