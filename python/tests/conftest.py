"""Shared pytest settings for the Python tests."""

import gc

import pytest


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes seconds")
    config.addinivalue_line("markers", "subprocess: a test that starts processes or interpreters")


@pytest.fixture
def collect_garbage():
    """Collects what earlier tests left in reference cycles (a game held by a
    traceback's frame, say) before a test that counts references. Only such
    tests ask for it: with NumPy, torch and dask loaded, a collection after
    every test cost a tenth of a second, a minute of CPU for the package."""
    gc.collect()
