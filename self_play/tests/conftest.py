"""Shared pytest settings and fixtures for the tests of velmar_self_play."""

import platform

import pytest

PYPY = platform.python_implementation() == "PyPy"


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes seconds")
    config.addinivalue_line("markers", "subprocess: a test that starts processes or interpreters")


@pytest.fixture(scope="session")
def sp():
    """The compiled module, or a skip when it is not built for this interpreter."""
    try:
        import velmar_self_play
    except ImportError as e:
        pytest.skip("velmar_self_play is not built for this interpreter: %s" % e)
    return velmar_self_play


@pytest.fixture(scope="session")
def rules():
    """velmar.rules, the game rules seen from Python, used to replay recorded games."""
    try:
        from velmar import rules
    except ImportError as e:
        pytest.skip("velmar.rules is not built for this interpreter: %s" % e)
    return rules


@pytest.fixture(scope="session")
def repeats():
    """How many whole games a test may play: PyPy runs the exchange about ten
    times slower, so it plays fewer."""
    def scale(n):
        return max(1, n // 4) if PYPY else n
    return scale


@pytest.fixture
def quiet(capsys):
    """Swallows the summary line and the progress bar of the games a test plays."""
    yield
    capsys.readouterr()
