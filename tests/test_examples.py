"""The example programs run and print what the README shows."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

import _kestrin

EXAMPLES = Path(__file__).resolve().parent.parent / "examples"

EXPECTED = {
    "groups.py": [
        "?2 = ?2 => (mul (mul ?2 ?3) ?4) = (mul ?2 (mul ?3 ?4))",
        "(mul ?8 ?9) = e => ?9 = (inv ?8)",
        "sorts: ['G']",
        "functions: [('e', [], 'G'), ('inv', ['G'], 'G'), ('mul', ['G', 'G'], 'G')]",
        "  [(('?0', []), ('?0', []))] => [(('mul', [('e', []), ('?0', [])]), ('?0', []))]",
        "refused: div has not been declared!",
    ],
    "categories.py": [
        "?0 = ?0 => (dom (id ?0)) = ?0, (cod (id ?0)) = ?0",
        "sorts: ['Ob', 'Hom']",
        "refused: 'Illegal Sequent '",
    ],
    "typed_usage.py": [
        "refused: zero has already been declared!",
        "?1 = ?1 => (plus (succ ?1) ?2) = (succ (plus ?1 ?2))",
    ],
}


@pytest.mark.parametrize("script", sorted(EXPECTED))
def test_example_output(script):
    # The child imports the same build of the module as this test run.
    path = [str(Path(_kestrin.__file__).parent), os.environ.get("PYTHONPATH", "")]
    result = subprocess.run(
        [sys.executable, str(EXAMPLES / script)],
        env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in path if p)),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    for expected in EXPECTED[script]:
        assert expected in lines
