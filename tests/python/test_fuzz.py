"""Differential fuzzing against the NumPy model: random settings, random sequences
of operations (saved and restored copies among them), random argument layouts
and bad values, all seeded. Every good call must agree with the model and every
bad call must raise with nothing changed.

A few seconds by default; `pytest --fuzz-seconds=N` runs longer.
"""

import copy
import pickle
import time
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

import kelvor_model as km
from kelvor_py import MHAContext

HEAD_DIMS = [1, 2, 3, 5, 8, 16, 33, 64, 100, 128]
CAPACITIES = [1, 2, 3, 7, 16, 40, 100, 513, 600]


def layouts(rng, x):
    """x (float32, 1-D or 2-D) presented in one of the ways NumPy callers hand arrays over."""
    pick = rng.integers(8)
    if pick == 0:
        return x.astype(np.float64)
    if pick == 1:
        return x.tolist()
    if pick == 2:  # every other element of a larger array
        wide = np.zeros(x.shape[:-1] + (2 * x.shape[-1],), np.float32)
        wide[..., ::2] = x
        return wide[..., ::2]
    if pick == 3:
        return x.astype(">f4")  # byte-swapped
    if pick == 4:  # float32 data one byte off alignment
        raw = np.zeros(x.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(x.shape)
        raw[...] = x
        return raw
    if pick == 5 and x.ndim == 2:
        return np.asfortranarray(x)
    return x


def vector(rng, hd, scale=None):
    scale = rng.choice([1e-3, 1.0, 30.0]) if scale is None else scale
    return (scale * rng.standard_normal(hd) + rng.normal(0, scale, 1)).astype(np.float32)


def huge_vector(rng, hd):
    """A finite query of huge norm, up to about 1e38: in every coordinate or in one."""
    scale = 10.0 ** rng.uniform(18, 38)
    if rng.random() < 0.3:
        x = np.zeros(hd)
        x[rng.integers(hd)] = rng.choice([-1, 1]) * scale
    else:
        x = scale * rng.standard_normal(hd)
    return np.clip(x, -3.4e38, 3.4e38).astype(np.float32)


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def integer(rng, value):
    """value as one of the things that count as an integer."""
    kinds = [int, np.int64, np.int32, np.intp, Index] + ([np.uint8, np.int16] if 0 <= value < 128 else [])
    return kinds[rng.integers(len(kinds))](value)


def not_integer(rng, value):
    """value as a number that is not an integer, though it may be integral."""
    kinds = [float, np.float32, np.float16, np.float64, lambda v: Fraction(2 * v + 1, 2), Decimal,
             lambda v: Decimal(v) + Decimal("0.9")]
    return kinds[rng.integers(len(kinds))](value)


def bad_append(rng, hd, n_heads, pos):
    """Arguments append must refuse, and the exception it raises."""
    key, val = vector(rng, hd), vector(rng, hd)
    kind = rng.integers(8)
    if kind == 6:
        return (not_integer(rng, int(rng.integers(n_heads))), key, val, pos), TypeError
    if kind == 7:
        return (0, key, val, not_integer(rng, pos)), TypeError
    if kind == 0:
        key[rng.integers(hd)] = rng.choice([np.nan, np.inf, -np.inf])
        return (0, key, val, pos), ValueError
    if kind == 1:
        val[:] = np.float32(3e19)  # finite, but its squares overflow
        return (0, key, val, pos), ValueError
    if kind == 2:
        return (0, key[None], val, pos), ValueError
    if kind == 3:
        return (0, np.append(key, 1.0), val, pos), ValueError
    if kind == 4:
        return (int(rng.choice([-1, n_heads])), key, val, pos), IndexError
    return (0, key, np.array(["x"] * hd), pos), TypeError


def assert_agrees(got, expected, held_values, model_head, what):
    """Within 1e-4 of the largest of the answer, the held values and a fitted
    head's value mean: an answer is a weighted mean of the values (coded less
    that mean), and where they cancel, their size sets the rounding."""
    assert got.shape == expected.shape and got.dtype == np.float32, what
    parts = [expected, held_values] + ([model_head.stats[1]] if model_head.stats is not None else [])
    scale = max(float(np.max(np.abs(p), initial=0.0)) for p in parts)
    err = float(np.max(np.abs(got.astype(np.float64) - expected), initial=0.0))
    assert err <= 1e-4 * scale, f"{what}: max error {err:.3g} against a scale of {scale:.3g}"


def probe(ctx, queries):
    return ctx.kv_bytes(), [ctx.compute(h, q) for h, q in enumerate(queries)]


def run_case(seed):
    rng = np.random.default_rng(seed)
    n_heads = int(rng.integers(1, 4))
    hd = int(rng.choice(HEAD_DIMS))
    bits = int(rng.integers(2, 5))
    capacity = int(rng.choice(CAPACITIES))
    encoding = str(rng.choice(["clip3", "fitted"]))
    ctx_seed = int(rng.integers(0, 2**63)) * 2 + int(rng.integers(2))
    # The accuracy options in half the cases.
    options = {}
    if rng.random() < 0.5:
        options = dict(recent=int(rng.choice([0, 1, 5, 64])), value_bits=int(rng.integers(2, 5)),
                       sinks=int(rng.choice([0, 1, 4, 600 // 2])))
    what = f"seed {seed}: heads {n_heads} hd {hd} bits {bits} capacity {capacity} {encoding} {options}"
    ctx = MHAContext(n_heads, hd, bits, capacity, seed=ctx_seed, encoding=encoding, **options)
    model = km.ModelContext(n_heads, hd, bits, capacity, seed=ctx_seed, encoding=encoding, **options)
    probes = [vector(rng, hd) for _ in range(n_heads)]
    held = [np.zeros((0, hd), np.float32) for _ in range(n_heads)]  # values since reset, newest last
    pos = 0
    for step in range(int(rng.integers(20, 160))):
        op = rng.random()
        if op < 0.55:  # a run of appends to one head
            head = int(rng.integers(n_heads))
            n = int(rng.integers(1, 2 * capacity + 3))
            keys = np.stack([vector(rng, hd) for _ in range(n)])
            vals = np.stack([vector(rng, hd) for _ in range(n)])
            for i in range(n):
                ctx.append(integer(rng, head), layouts(rng, keys[i]), layouts(rng, vals[i]), integer(rng, pos + i))
            model.extend(head, keys, vals, range(pos, pos + n))
            held[head] = np.concatenate([held[head], vals])[-capacity:]
            pos += n
        elif op < 0.7:
            args, error = bad_append(rng, hd, n_heads, pos)
            before = probe(ctx, probes)
            with pytest.raises(error):
                ctx.append(*args)
            after = probe(ctx, probes)
            assert after[0] == before[0] and all(np.array_equal(a, b) for a, b in zip(after[1], before[1])), what
        elif op < 0.85:
            head = int(rng.integers(n_heads))
            q = huge_vector(rng, hd) if rng.random() < 0.3 else vector(rng, hd, scale=rng.choice([0.0, 0.1, 1.0]))
            assert_agrees(ctx.compute(integer(rng, head), layouts(rng, q)), model.compute(head, q), held[head],
                          model.heads[head], f"{what} step {step}")
        elif op < 0.97:
            head = int(rng.integers(n_heads))
            qs = np.array([huge_vector(rng, hd) if rng.random() < 0.2 else vector(rng, hd, 0.3)
                           for _ in range(int(rng.integers(0, 10)))], np.float32).reshape(-1, hd)
            if not len(qs):  # a batch has a first row to answer
                with pytest.raises(IndexError, match="queries has no rows"):
                    ctx.compute_batch(integer(rng, head), qs)
            else:
                got = ctx.compute_batch(integer(rng, head), layouts(rng, qs))
                assert_agrees(got, model.compute_batch(head, qs), held[head], model.heads[head],
                              f"{what} step {step} batch")
        elif op < 0.985:  # carry on with a restored copy
            ctx = pickle.loads(pickle.dumps(ctx)) if rng.random() < 0.5 else copy.deepcopy(ctx)
        else:
            ctx.reset()
            model.reset()
            held = [np.zeros((0, hd), np.float32) for _ in range(n_heads)]
        assert ctx.kv_bytes() == model.kv_bytes(), what


def test_differential_fuzz(request):
    budget = request.config.getoption("--fuzz-seconds")
    deadline = time.monotonic() + budget
    seed, cases = 0, 0
    while time.monotonic() < deadline or cases < 3:
        run_case(seed)
        seed += 1
        cases += 1
