"""Shared pytest settings for the Python tests."""

import gc

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes seconds")
    config.addinivalue_line("markers", "subprocess: a test that starts processes or interpreters")


@pytest.fixture(autouse=True)
def collect_garbage():
    """Leaves no game caught in a reference cycle (a traceback's frame, say)
    for a later test that counts references."""
    yield
    gc.collect()
