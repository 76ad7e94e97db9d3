"""Type information for the extension module ``_kestrin``.

The module holds many-sorted first-order signatures and the equational
sequents declared over them.  Its one class is :class:`Environment`.
"""

import typing
from typing import List, Sequence, Tuple

__all__ = ["Environment"]

# A term: ``(name, arguments)``.  A variable is ``("?N", [])`` with N its
# number, a constant is ``(name, [])``, an application ``(name, [term, ...])``.
_Term = Tuple[str, List["_Term"]]
# One equation ``lhs = rhs`` of a sequent: ``(lhs, rhs)``.
_Equation = Tuple[_Term, _Term]
# One sequent: ``(premises, conclusions)``.
_Sequent = Tuple[List[_Equation], List[_Equation]]
# One declared function symbol: ``(name, argument_type, result_type)``.
_FunctionEntry = Tuple[str, List[str], str]

@typing.final
class Environment:
    """A signature (sorts and function symbols) and the sequents over it.

    Everything is append-only and listed in declaration order.  The class
    cannot be subclassed, instances take no attributes of their own, cannot
    be weakly referenced and are not tracked by the cycle collector.
    Equality, hashing and ``repr`` are those of a plain ``object``.
    """

    # Construction happens in __new__; the class has no __init__ of its own.
    def __new__(cls, *args: object, **kwargs: object) -> "Environment":
        """Create an empty environment.  All arguments are ignored."""

    def declare_function(
        self, name: str, argument_type: Sequence[str], result_type: str
    ) -> None:
        """Declare the function symbol ``name``.

        ``argument_type`` lists the argument sorts in order (empty for a
        constant, repeats allowed). It may be any object that the C API's
        ``PySequence_Check`` accepts (list, tuple, deque, a class defining
        ``__getitem__`` that is not a ``dict`` subclass, ...) except a
        ``str``; it is read by iterating over it, and every item must be a
        ``str``.
        Sorts become known when first mentioned: the result sort first, then
        the argument sorts left to right; new ones are appended to
        ``sorts``.  Names are compared byte for byte; any text, the empty
        one included, is a valid name.

        Raises:
            ValueError: ``"<name> has already been declared!"`` when ``name``
                is already declared.  ``functions`` and ``sorts`` are then
                unchanged, but sorts first mentioned by the refused call stay
                known and will never be listed in ``sorts``.
            ValueError: ``"Can't extract `str` to `Vec`"`` when
                ``argument_type`` is a ``str``.
            TypeError: ``"argument 'name': '<type>' object cannot be
                converted to 'PyString'"`` (likewise for ``result_type`` and
                for an item of ``argument_type``, reported as
                ``'argument_type'``); ``"argument 'argument_type': '<type>'
                object cannot be converted to 'Sequence'"`` when
                ``argument_type`` is not a sequence; or a wrong number or
                name of arguments.
            UnicodeEncodeError: a text holds a lone surrogate.
            RuntimeError: ``"Already borrowed"`` when another call on this
                instance is still running.
        """

    def declare_sequent(self, s: str) -> None:
        """Parse ``s`` as a sequent and store it.

        Syntax: ``premises => conclusions``, each side one or more
        equations separated by ``,``, each equation ``term = term``, a term a
        name or ``(head arg ...)`` with single spaces.  A declared function
        name is a constant, any other name a variable, numbered from a
        counter that runs on across all sequents of the environment.  Sorts
        and argument counts are not checked.

        Raises:
            ValueError: ``"Illegal Sequent <text>"``, ``"Illegal Term <text>"``
                or ``"<head> has not been declared!"``.  Nothing is stored, but
                variable numbers taken before the error are not given back.
            TypeError: ``"argument 's': '<type>' object cannot be converted
                to 'PyString'"``, or a wrong number or name of arguments.
            UnicodeEncodeError: ``s`` holds a lone surrogate.
            RuntimeError: ``"Already borrowed"`` when another call on this
                instance is still running.
        """

    def __str__(self) -> str:
        """Every stored sequent on a line of its own, each ended by ``"\\n"``.

        Variables print as ``?N``, constants as their bare name and
        applications as ``(f a b)``; ``""`` when no sequent is stored.

        Raises:
            RuntimeError: ``"Already mutably borrowed"`` while a
                ``declare_*`` call on this instance is running.
        """

    @property
    def sorts(self) -> List[str]:
        """New list of the sort names, in the order they became known.

        Raises ``RuntimeError("Already mutably borrowed")`` while a
        ``declare_*`` call on this instance is running.
        """

    @property
    def functions(self) -> List[_FunctionEntry]:
        """New list of ``(name, argument_type, result_type)`` per symbol.

        Raises ``RuntimeError("Already mutably borrowed")`` while a
        ``declare_*`` call on this instance is running.
        """

    @property
    def sequents(self) -> List[_Sequent]:
        """New list of ``(premises, conclusions)`` per stored sequent.

        Each side is a list of ``(lhs, rhs)`` pairs of terms; a term is
        ``(name, arguments)``, a variable ``("?N", [])``.  The term tuples
        are the stored objects, the same on every access: mutating their
        argument lists changes later reads of this attribute, not ``str``.

        Raises ``RuntimeError("Already mutably borrowed")`` while a
        ``declare_*`` call on this instance is running.
        """
