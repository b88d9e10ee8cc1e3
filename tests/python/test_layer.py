"""Whole-layer calls: append_heads and compute_heads against the per-head calls, their
worker threads, and one context used from several Python threads."""
import gc
import threading
import time

import numpy as np
import pytest
from conftest import UNDER_SANITIZER
from test_context import rss_bytes

from kelvor_py import MHAContext

CAP = 24


def threads_running():
    with open("/proc/self/status") as f:
        return int(next(line for line in f if line.startswith("Threads:")).split()[1])


def threads_settle_at(count):
    # A joined thread can still be listed for a moment while the kernel reaps it.
    deadline = time.monotonic() + 2
    while threads_running() != count and time.monotonic() < deadline:
        time.sleep(0.001)
    return threads_running() == count


# (key/value heads, query heads, rows per query head; None for a 2-D batch)
LAYOUTS = [(4, 4, None), (2, 8, None), (3, 6, 5), (1, 3, 2)]


@pytest.mark.parametrize("threads", [1, 2, 3])
@pytest.mark.parametrize("n_heads, n_query_heads, rows", LAYOUTS)
@pytest.mark.parametrize("bits, head_dim", [(2, 5), (3, 64), (4, 100)])
def test_layer_calls_equal_the_per_head_calls(rng, threads, n_heads, n_query_heads, rows, bits, head_dim):
    layer = MHAContext(n_heads, head_dim, bits, CAP, seed=5, threads=threads)
    heads = MHAContext(n_heads, head_dim, bits, CAP, seed=5)
    group = n_query_heads // n_heads
    shape = (n_query_heads, head_dim) if rows is None else (n_query_heads, rows, head_dim)
    for t in range(CAP + 6):
        keys = rng.standard_normal((n_heads, head_dim))  # float64, cast as append casts it
        vals = rng.standard_normal((n_heads, head_dim))
        assert layer.append_heads(keys, vals, t) is None
        for h in range(n_heads):
            heads.append(h, keys[h], vals[h], t)
        if t + 1 not in (10, CAP + 6):  # the exact path, then a wrapped ring
            continue
        assert [layer.tokens(h) for h in range(n_heads)] == [min(t + 1, CAP)] * n_heads
        assert layer.kv_bytes() == heads.kv_bytes()
        queries = 2 * rng.standard_normal(shape).astype(np.float32)
        out = layer.compute_heads(queries)
        assert out.shape == shape and out.dtype == np.float32 and out.flags.c_contiguous
        for i in range(n_query_heads):
            for r, q in enumerate(queries[i].reshape(-1, head_dim)):
                want = heads.compute(i // group, q)
                assert out[i].reshape(-1, head_dim)[r].tobytes() == want.tobytes(), (i, r)


@pytest.mark.parametrize("threads", [1, 3])
@pytest.mark.parametrize("options", [{}, dict(encoding="fitted", recent=8, sinks=2, value_bits=2)])
def test_a_causal_block_equals_single_appends_and_computes(rng, threads, options):
    # Blocks of one token and of several, across the exact window's end and the ring's wrap.
    n_heads, n_query_heads, hd, cap = 3, 6, 64, 600
    block = MHAContext(n_heads, hd, 3, cap, seed=9, threads=threads, **options)
    single = MHAContext(n_heads, hd, 3, cap, seed=9, threads=threads, **options)
    pos = 0
    for T in (300, 1, 250, 0, 120):
        keys, vals = (rng.standard_normal((T, n_heads, hd)).astype(np.float32) for _ in range(2))
        queries = rng.standard_normal((T, n_query_heads, hd))  # float64, cast as every call casts it
        out = block.append_compute_heads(keys, vals, queries, pos)
        assert out.shape == (T, n_query_heads, hd) and out.dtype == np.float32
        for t in range(T):
            single.append_heads(keys[t], vals[t], pos + t)
            assert out[t].tobytes() == single.compute_heads(queries[t]).tobytes(), (T, t)
        pos += T
    assert block.__getstate__() == single.__getstate__()


def test_dropped_contexts_join_their_workers(rng):
    keys = rng.standard_normal((4, 32)).astype(np.float32)
    base = threads_running()

    def churn(count):
        for _ in range(count):
            ctx = MHAContext(4, 32, 3, 64, threads=3)
            assert threads_settle_at(base)  # workers start on first need
            ctx.append_heads(keys, keys, 0)
            assert threads_running() == base + 2
            del ctx

    churn(20)
    gc.collect()
    before = rss_bytes()
    churn(400)
    gc.collect()
    assert threads_settle_at(base)
    # As for the resident_memory tests: AddressSanitizer's quarantine grows
    # resident memory until it fills, whatever the module frees.
    if not UNDER_SANITIZER:
        assert rss_bytes() - before < 4 << 20


def test_calls_from_other_threads_wait_for_a_layer_call(rng):
    # A reader loops over compute_heads (GIL released) while a writer appends
    # through append_heads and the plain append in turn, waiting after each write
    # until the reader has finished two more reads (so the second one began after
    # the write). The reader must then have seen the answer after every write, in
    # order, and nothing else: a torn read (some heads updated and others not, or
    # a head changed mid-scan) matches no answer. Two heads on two threads: any
    # append that overlaps a read lands mid-scan, and overwrites a token the scan reads.
    n_heads, hd, writes = 2, 64, 48
    ctx, twin = (MHAContext(n_heads, hd, 3, 4096, seed=8, threads=t) for t in (2, 1))
    for t in range(6000):
        kv = rng.standard_normal((2, n_heads, hd)).astype(np.float32)
        for c in (ctx, twin):
            c.append_heads(kv[0], kv[1], t)
    steps = rng.standard_normal((writes, 2, n_heads, hd)).astype(np.float32)
    queries = rng.standard_normal((2 * n_heads, hd)).astype(np.float32)
    seen, done, failures = [], threading.Event(), []

    def write(c, after_each):
        after_each()
        for i, (k, v) in enumerate(steps):
            for h in range(n_heads) if i % 2 else [None]:
                c.append_heads(k, v, i) if h is None else c.append(h, k[h], v[h], i)
                after_each()

    def two_more_reads():
        target, deadline = len(seen) + 2, time.monotonic() + 60
        while len(seen) < target and not done.is_set() and time.monotonic() < deadline:
            time.sleep(0.0001)

    def read():
        while not done.is_set():
            seen.append(ctx.compute_heads(queries).tobytes())

    expected = []
    write(twin, lambda: expected.append(twin.compute_heads(queries).tobytes()))

    def guarded(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # noqa: BLE001 - reported below
                failures.append(e)
            finally:
                done.set()
        return threading.Thread(target=run, daemon=True)

    threads = [guarded(read), guarded(lambda: write(ctx, two_more_reads))]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not any(t.is_alive() for t in threads) and not failures, failures
    index = {answer: i for i, answer in enumerate(expected)}
    order = [index.get(answer, -1) for answer in seen]
    assert order == sorted(order) and sorted(set(order)) == list(range(len(expected)))
