"""Shared pytest settings for the Python tests."""


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes seconds")
    config.addinivalue_line("markers", "subprocess: a test that starts processes or interpreters")
