"""The examples of the README and of the docs, run as doctests.

An example that shows a trait of CPython's says so in a comment ("# CPython: ..."), and is left
out on other interpreters."""

import doctest
from pathlib import Path

import pytest

from conftest import PYPY

ROOT = Path(__file__).resolve().parent.parent
FILES = ["README.md", "docs/reference.md", "docs/performance.md", "docs/development.md"]


class Examples(doctest.DocTestParser):
    def get_examples(self, string, name="<string>"):
        examples = super().get_examples(string, name)
        return [e for e in examples if not (PYPY and "# CPython:" in e.source)]


@pytest.mark.parametrize("name", FILES)
def test_examples(name):
    path = ROOT / name
    if not path.exists():
        pytest.skip("%s is not in this copy of the tests" % name)
    failed, attempted = doctest.testfile(str(path), module_relative=False, parser=Examples())
    assert attempted > 0 or name == "docs/development.md"
    assert failed == 0
