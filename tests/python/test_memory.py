"""Memory follows the tokens held, and a context the machine cannot hold is
refused before anything is allocated."""
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

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


APPEND_UNDER_LIMIT = textwrap.dedent(
    """
    import resource
    import numpy as np
    import kelvor_py

    rng = np.random.default_rng(0)
    kv = rng.standard_normal((2, 5, 8, 128)).astype(np.float32)
    ring = 2**20 * (2 * 64 + 12)  # codes, scales and position of every slot
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    block = lambda c, k, v: c.append_compute_heads(k.reshape(-1, 8, 128), v.reshape(-1, 8, 128),
                                                   v.reshape(-1, 8, 128), 0)
    for threads in (1, 3):
        for call in (lambda c, k, v: c.append_heads(k, v, 0), block):
            for keys, vals in ((kv[0, 0], kv[1, 0]), (kv[0], kv[1])):
                ctx = kelvor_py.MHAContext(8, 128, 4, 2**20, threads=threads)
                # The workers ctx claims are started first, so their stacks are not what the limit leaves room for.
                kelvor_py.MHAContext(8, 128, 4, 16, threads=threads).append_heads(kv[0, 0], kv[1, 0], 0)
                before = ctx.__getstate__()
                with open("/proc/self/statm") as f:
                    mapped = int(f.read().split()[0]) * resource.getpagesize()
                resource.setrlimit(resource.RLIMIT_AS, (mapped + int(2.5 * ring), hard))  # room for two rings
                try:
                    call(ctx, keys, vals)
                    print("stored")
                except MemoryError as e:
                    print(e)
                finally:
                    resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
                assert ctx.__getstate__() == before, [ctx.tokens(h) for h in range(8)]
                call(ctx, keys, vals)  # with the memory back, the same call stores
                assert ctx.tokens(7) == keys.size // 1024
    """
)


def test_an_append_that_finds_no_memory_stores_in_no_head():
    from conftest import UNDER_SANITIZER
    if UNDER_SANITIZER:
        pytest.skip("an address-space limit is meaningless under AddressSanitizer")
    # One malloc arena: a worker that finds the main arena busy would otherwise map a new one (64 MiB of
    # address space) partway through a call, and the room the limit leaves would move under the test.
    done = subprocess.run([sys.executable, "-c", APPEND_UNDER_LIMIT], capture_output=True, text=True, timeout=120,
                          env={**os.environ, "MALLOC_ARENA_MAX": "1"})
    assert done.returncode == 0, done.stdout + done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == 8, lines
    ring = 2**20 * (2 * 64 + 12)
    for line, (call, tokens) in zip(lines, [(c, t) for c in ("append_heads", "append_compute_heads")
                                            for t in ("1 token", "5 tokens")] * 2):
        found = re.fullmatch(rf"{call} of {tokens} to 8 heads needs (\d+) bytes \(([\d.]+) GiB\) more, which "
                             r"the system refused \((\d+) bytes left under this process's address-space limit "
                             r"\(([\d.]+) MiB\)\)", line)
        assert found, line
        asked, left = int(found[1]), int(found[3])
        # Eight rings and the windows' first room; the limit left about two and a half rings.
        assert 0 <= asked - 8 * ring < 8 << 20, asked - 8 * ring
        assert abs(left - 2.5 * ring) < 32 << 20, left


MEMORY_SCRIPT = textwrap.dedent(
    """
    import os, sys
    import numpy as np
    import kelvor_py

    def rss():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    rng = np.random.default_rng(0)
    what = sys.argv[1]
    if what == "large":
        # The first append makes the code paths' own memory; measured from there.
        ctx = kelvor_py.MHAContext(8, 128, 3, 8192, encoding="fitted")
        ctx.append_heads(*rng.standard_normal((2, 8, 128)).astype(np.float32), 0)
        before, counted = rss(), ctx.memory_bytes()
        for t in range(1, 8192):
            ctx.append_heads(*rng.standard_normal((2, 8, 128)).astype(np.float32), t)
        print(rss() - before, ctx.memory_bytes() - counted, ctx.memory_bytes(), ctx.kv_bytes())
    elif what in ("recent", "window", "reset"):
        # Each context's heads hold 10 tokens of a recent ring of 4096, 300 of
        # an exact window whose room doubles, or 3000 and are then reset. The
        # small recent contexts come 40 at a time, so that what the freed warm-up
        # context leaves for the first of them moves the growth by little (20
        # moved it by up to 10 %).
        n, tokens, options = {"recent": (40, 10, dict(recent=4096)), "window": (20, 300, {}),
                              "reset": (30, 3000, {})}[what]
        kv = rng.standard_normal((2, tokens, 4, 128)).astype(np.float32)
        warm = kelvor_py.MHAContext(4, 128, 3, 8192, **options)
        warm.append_heads(kv[0], kv[1], 0)
        del warm
        before = rss()
        ctxs = [kelvor_py.MHAContext(4, 128, 3, 8192, **options) for _ in range(n)]
        for c in ctxs:
            c.append_heads(kv[0], kv[1], 0)
        if what == "reset":
            for c in ctxs:
                c.reset()
        print(rss() - before, sum(c.memory_bytes() for c in ctxs))
    elif what == "churn":
        ones = np.ones((2, 64), np.float32)
        held = []
        for _ in range(4):
            ctxs = [kelvor_py.MHAContext(2, 64, 3, 1024, encoding="fitted") for _ in range(20000)]
            for c in ctxs:
                for t in range(3):
                    c.append_heads(ones * t, ones, t)
            held.append(rss())
            del ctxs
        print(*held)
    else:
        # Measured from before the saving context too, which builds the same heads.
        print(rss(), end=" ")
        state = kelvor_py.MHAContext(300000, 1, 2, 1).__getstate__()
        restored = kelvor_py.MHAContext.__new__(kelvor_py.MHAContext)
        restored.__setstate__(state)
        print(rss())
    """
)


def measure(what):
    done = subprocess.run([sys.executable, "-c", MEMORY_SCRIPT, what], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return [int(v) for v in done.stdout.split()]


def test_memory_bytes_is_what_the_process_holds(resident_memory):
    grown, counted, total, codes = measure("large")
    assert abs(grown - counted) <= 0.1 * total, (grown, counted)
    assert total <= 1.3 * codes


@pytest.mark.parametrize("what", ["recent", "window", "reset"])
def test_memory_bytes_counts_what_is_committed(what, resident_memory):
    # Windows whose room is mapped commit pages as they are written; a reset
    # context keeps its buffers, and memory_bytes() still counts them.
    grown, counted = measure(what)
    assert abs(grown - counted) <= 0.1 * grown, (grown, counted)


def test_small_contexts_created_and_dropped_do_not_grow_the_heap(resident_memory):
    rounds = measure("churn")
    assert max(rounds) <= 1.1 * rounds[0], rounds
    # 40,000 heads holding 3 tokens each: their rings grow with the tokens.
    assert rounds[0] < 600 << 20, rounds


def test_a_state_of_many_empty_heads_loads_in_little_memory(resident_memory):
    before, after = measure("empty heads")
    assert after - before < 256 << 20
