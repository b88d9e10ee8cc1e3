"""Memory follows the tokens held, and a context the machine cannot hold is
refused before anything is allocated."""
import os
import re
import subprocess
import sys
import textwrap

import numpy as np

import kelvor_model as km
from kelvor_py import MHAContext
from test_context import rss_bytes


def test_rings_commit_memory_only_for_the_tokens_written(rng, resident_memory):
    # Capacity 2^20 at 4 bits and head_dim 128 implies 140 MiB of codes, scales
    # and positions; 1000 tokens fill 0.1% of it. Huge pages may round each
    # written array up to 2 MiB, hence the margin.
    before = rss_bytes()
    ctx = MHAContext(1, 128, 4, 2**20)
    keys = rng.standard_normal((1000, 128)).astype(np.float32)
    for t in range(1000):
        ctx.append(0, keys[t], keys[t], t)
    assert ctx.kv_bytes() == 1000 * 64 * 2
    assert rss_bytes() - before < 24 << 20


def test_a_context_beyond_the_address_space_limit_is_refused_at_once():
    # In a child under an address-space limit, so that a regression fails with
    # a plain MemoryError instead of exhausting the machine.
    script = textwrap.dedent(
        """
        import resource
        import kelvor_py
        with open("/proc/self/statm") as f:
            mapped = int(f.read().split()[0]) * resource.getpagesize()
        limit = mapped + (256 << 20)
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        try:
            kelvor_py.MHAContext(100000, 1024, 4, 2**20)
        except MemoryError as e:
            print(e)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1"))
    assert done.returncode == 0, done.stderr
    message = done.stdout.strip()
    found = re.fullmatch(r"a context of 100000 heads needs (\d+) bytes \(([\d.]+) TiB\), more than the (\d+) bytes "
                         r"left under this process's address-space limit \(([\d.]+) MiB\)", message)
    assert found, message
    asked, left = int(found[1]), int(found[3])
    # Two rings of codes and 12 bytes of scales and position per slot, and 512
    # tokens at full precision per head; the rest is a few hundred bytes a head.
    P, capacity = km.padded_dim(1024), 2**20
    core = 100000 * (capacity * (2 * km.bytes_per_vec(1024, 4) + 12) + 2 * 512 * 1024 * 4)
    assert 0 <= asked - core < 100000 * 4096, asked - core
    assert abs(float(found[2]) - asked / 2**40) < 0.05 and abs(float(found[4]) - left / 2**20) < 0.05
    assert abs(left - (256 << 20)) < 16 << 20  # the limit less what the child mapped meanwhile
