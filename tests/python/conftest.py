import numpy as np
import pytest


def pytest_addoption(parser):
    parser.addoption("--fuzz-seconds", type=float, default=3.0,
                     help="how long the differential fuzz test runs (default 3 s)")


@pytest.fixture
def rng():
    return np.random.default_rng(1234)
