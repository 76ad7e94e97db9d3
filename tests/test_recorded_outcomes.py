"""Every interpreter and platform gives the outcomes recorded once on CPython: the same values,
messages and text, byte for byte, for a few thousand programs of right and wrong calls."""

import pathlib

import pytest

import cross_cases

RECORDED = pathlib.Path(__file__).with_name("recorded_outcomes.txt")


def test_outcomes_are_the_recorded_ones():
    recorded = dict(line.split() for line in RECORDED.read_text(encoding="ascii").splitlines())
    programs = cross_cases.cases()
    assert len(recorded) == len(programs) == cross_cases.COUNT
    differing = []
    for number, program in enumerate(programs):
        outcome = cross_cases.run(program)
        if cross_cases.digest(outcome) != recorded[str(number)]:
            differing.append("case %d: %r\n  gives %s" % (number, program, outcome))
    if differing:
        pytest.fail("%d of %d programs differ from the recorded outcomes; the first:\n%s" % (
            len(differing), len(programs), "\n".join(differing[:3])))
