"""A plain Python Environment that follows the native algorithms step by step.

It is the reference for the differential tests and the fuzz target, and the
"straightforward pure-Python" baseline of the benchmarks, so it favours being
obviously right over being fast.  It does not reproduce the binding's argument
type checks; logic refusals raise a plain ValueError with the native message.
"""
from __future__ import annotations

from typing import Dict, List, Optional, Sequence, Tuple

# Unicode White_Space, which is what terms are trimmed of.  str.strip() and
# str.isspace() are not usable: they also treat U+001C..U+001F as space.
WHITE_SPACE = frozenset(
    "\t\n\x0b\x0c\r \x85\xa0\u1680"
    "\u2000\u2001\u2002\u2003\u2004\u2005\u2006\u2007\u2008\u2009\u200a"
    "\u2028\u2029\u202f\u205f\u3000"
)


def trim(text: str) -> str:
    start, end = 0, len(text)
    while start < end and text[start] in WHITE_SPACE:
        start += 1
    while end > start and text[end - 1] in WHITE_SPACE:
        end -= 1
    return text[start:end]


def tokenize(text: str) -> List[str]:
    """Cut an application into head and argument tokens.

    Only tokens closed by a space or ")" at depth 1 count; whatever is still
    in the buffer when the text runs out is dropped.
    """
    depth = 0
    buffer = ""
    tokens = []
    for ch in text:
        if depth == 1:
            if ch == " ":
                tokens.append(buffer)
                buffer = ""
            elif ch == ")":
                tokens.append(buffer)
                buffer = ""
                depth = 0
            elif ch == "(":
                buffer += "("
                depth = 2
            else:
                buffer += ch
        elif depth == 0:
            if ch == "(":
                depth = 1
            elif ch == ")":
                buffer += ")"
                depth = -1
            else:
                buffer += ch
        else:
            if ch == "(":
                depth += 1
            elif ch == ")":
                depth -= 1
            buffer += ch
    return tokens


class Term:
    """A variable when ``arguments`` is None, else an application of function ``id``."""

    __slots__ = ("id", "arguments")

    def __init__(self, id: int, arguments: Optional[List[Term]] = None) -> None:
        self.id = id
        self.arguments = arguments


Equation = Tuple[Term, Term]


class Environment:
    def __init__(self) -> None:
        self._sort_ids: Dict[str, int] = {}
        self._function_ids: Dict[str, int] = {}
        self._function_names: List[str] = []
        self._sequent_records: List[Tuple[List[Equation], List[Equation]]] = []
        self._sequent_objects: list = []
        self._sorts: List[str] = []
        self._functions: list = []
        self.next_variable_id = 0

    # -- declarations -----------------------------------------------------

    def declare_function(self, name: str, argument_type: Sequence[str], result_type: str) -> None:
        if isinstance(argument_type, str):
            raise ValueError("Can't extract `str` to `Vec`")
        argument_type = list(argument_type)
        # Sorts are made known before the name is checked, so a refused
        # declaration still leaves its new sorts known (but never listed).
        new_sorts = []
        for sort in [result_type] + argument_type:
            if sort not in self._sort_ids:
                self._sort_ids[sort] = len(self._sort_ids)
                new_sorts.append(sort)
        if name in self._function_ids:
            raise ValueError(name + " has already been declared!")
        self._function_ids[name] = len(self._function_names)
        self._function_names.append(name)
        self._sorts.extend(new_sorts)
        self._functions.append((name, argument_type, result_type))

    def declare_sequent(self, s: str) -> None:
        premises, conclusions = self._parse_sequent(s)
        objects = (
            [(self._term_object(l), self._term_object(r)) for l, r in premises],
            [(self._term_object(l), self._term_object(r)) for l, r in conclusions],
        )
        self._sequent_records.append((premises, conclusions))
        self._sequent_objects.append(objects)

    # -- parser -----------------------------------------------------------

    def _parse_sequent(self, text: str) -> Tuple[List[Equation], List[Equation]]:
        scope: Dict[str, int] = {}
        sides = text.split("=>")
        premises = self._parse_side(sides[0], scope)
        if len(sides) < 2:
            raise ValueError("Illegal Sequent " + text)
        conclusions = self._parse_side(sides[1], scope)
        if len(sides) > 2:
            raise ValueError("Illegal Sequent " + text)
        return premises, conclusions

    def _parse_side(self, text: str, scope: Dict[str, int]) -> List[Equation]:
        equations = []
        for segment in text.split(","):
            parts = segment.split("=")
            lhs = self._parse_term(parts[0], scope)
            if len(parts) < 2:
                raise ValueError("Illegal Sequent " + segment)
            rhs = self._parse_term(parts[1], scope)
            if len(parts) > 2:
                raise ValueError("Illegal Sequent " + segment)
            equations.append((lhs, rhs))
        return equations

    def _parse_term(self, text: str, scope: Dict[str, int]) -> Term:
        t = trim(text)
        if t == "" or t[0] != "(":
            if t in self._function_ids:
                return Term(self._function_ids[t], [])
            if t not in scope:
                scope[t] = self.next_variable_id
                self.next_variable_id += 1
            return Term(scope[t])
        tokens = tokenize(t)
        if not tokens:
            raise ValueError("Illegal Term " + text)
        # Arguments first: their errors win over an undeclared head, and
        # their variables are numbered even if the head is then refused.
        arguments = [self._parse_term(token, scope) for token in tokens[1:]]
        head = tokens[0]
        if head not in self._function_ids:
            raise ValueError(head + " has not been declared!")
        return Term(self._function_ids[head], arguments)

    # -- Python form and text form -----------------------------------------

    def _term_object(self, term: Term) -> Tuple[str, list]:
        if term.arguments is None:
            return ("?" + str(term.id), [])
        return (self._function_names[term.id], [self._term_object(a) for a in term.arguments])

    def _render_term(self, term: Term) -> str:
        if term.arguments is None:
            return "?" + str(term.id)
        name = self._function_names[term.id]
        if not term.arguments:
            return name
        return "(" + name + " " + " ".join(self._render_term(a) for a in term.arguments) + ")"

    def _render_equations(self, equations: List[Equation]) -> str:
        return ", ".join(self._render_term(l) + " = " + self._render_term(r) for l, r in equations)

    def __str__(self) -> str:
        return "".join(
            self._render_equations(premises) + " => " + self._render_equations(conclusions) + "\n"
            for premises, conclusions in self._sequent_records
        )

    # -- views --------------------------------------------------------------

    @property
    def sorts(self) -> List[str]:
        return list(self._sorts)

    @property
    def functions(self) -> list:
        return [(name, list(args), result) for name, args, result in self._functions]

    @property
    def sequents(self) -> list:
        return [
            ([(l, r) for l, r in premises], [(l, r) for l, r in conclusions])
            for premises, conclusions in self._sequent_objects
        ]
