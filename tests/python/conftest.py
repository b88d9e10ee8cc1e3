import os

import numpy as np
import pytest


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
