import functools

import pytest

import _kestrin


@functools.lru_cache(maxsize=None)
def _sequents_unavailable():
    """Why declare_sequent cannot be exercised in this build, or None."""
    if not hasattr(_kestrin.Environment, "declare_sequent"):
        return "this build has no Environment.declare_sequent"
    try:
        _kestrin.Environment().declare_sequent("x = y => y = x")
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # an unfinished method may fault in any way
        return "declare_sequent does not work in this build: %r" % (exc,)
    return None


@pytest.fixture
def env():
    return _kestrin.Environment()


@pytest.fixture
def sequent_env(env):
    """A fresh environment, for tests that also need declare_sequent."""
    reason = _sequents_unavailable()
    if reason:
        pytest.skip(reason)
    return env
