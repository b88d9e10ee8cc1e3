import os

import numpy as np
import pytest


def pytest_addoption(parser):
    parser.addoption("--fuzz-seconds", type=float, default=3.0,
                     help="how long the differential fuzz test runs (default 3 s)")


def _under_sanitizer():
    # `make sanitize` sets KELVOR_SANITIZE; a module built with AddressSanitizer
    # needs its runtime preloaded, which shows among the process's mappings.
    if os.environ.get("KELVOR_SANITIZE"):
        return True
    with open("/proc/self/maps") as f:
        return "libasan" in f.read()


UNDER_SANITIZER = _under_sanitizer()


@pytest.fixture
def rng():
    return np.random.default_rng(1234)


@pytest.fixture
def resident_memory():
    """For tests that measure resident memory, which AddressSanitizer's shadow
    memory and quarantine make meaningless."""
    if UNDER_SANITIZER:
        pytest.skip("resident memory is not measurable under AddressSanitizer")
