"""The module against the NumPy model in kelvor_model, and the model against known values."""

import numpy as np
import pytest

import kelvor_model as km
import kelvor_py

HEAD_DIMS = [1, 5, 8, 64, 100, 128]


def assert_matches(got, expected, what=""):
    """Within 1e-4 of the largest magnitude of the expected answer (exact zeros stay zeros)."""
    assert got.shape == expected.shape and got.dtype == np.float32
    tol = 1e-4 * float(np.max(np.abs(expected), initial=0.0))
    err = float(np.max(np.abs(got.astype(np.float64) - expected), initial=0.0))
    assert err <= tol, f"{what}: max error {err:.3g} > tolerance {tol:.3g}"


def attention_f64(query, keys, vals):
    q = np.asarray(query, np.float64)
    s = np.asarray(keys, np.float64) @ q / np.sqrt(q.shape[0])
    w = np.exp(s - s.max())
    return (w / w.sum()) @ np.asarray(vals, np.float64)


def tokens(rng, n, hd):
    keys = rng.standard_normal((n, hd)).astype(np.float32)
    vals = rng.standard_normal((n, hd)).astype(np.float32)
    return keys, vals


def queries_for(rng, hd, n=3):
    # Scaled so that the softmax is far from uniform; the zero query gives equal weights.
    q = (2.0 * rng.standard_normal((n, hd))).astype(np.float32)
    return np.vstack([q, np.zeros((1, hd), np.float32)])


def check_all_heads(ctx, model, queries, what=""):
    assert ctx.kv_bytes() == model.kv_bytes()
    for h in range(model.n_heads):
        for q in queries:
            assert_matches(ctx.compute(h, q), model.compute(h, q), f"{what} head {h}")


# ---------------------------------------------------------------- the model itself


def test_model_sign_vectors():
    assert km.sign_diagonal(16, 0).tolist() == [-1, -1, 1, 1, -1, 1, 1, -1, -1, 1, 1, -1, 1, 1, -1, 1]
    assert km.sign_diagonal(16, 1).tolist() == [1] * 9 + [-1, -1, 1, -1, 1, -1, 1]
    assert km.sign_diagonal(8, km.head_seed(0, 1)).tolist() == [1, -1, 1, -1, 1, -1, 1, 1]
    assert km.head_seed(0xFF, 1) == 0xDEADBEEFCA01
    assert km.head_seed(0, 2**20) == 0xEADBEEFCAFE00000  # the product wraps at 64 bits


def test_model_codebooks_and_quantiser():
    assert km.THRESHOLDS[2].view(np.uint32).tolist() == [0xBF7B4A24, 0, 0x3F7B4A24]
    assert km.THRESHOLDS[4].view(np.uint32)[[3, 10]].tolist() == [0xBF825FD8, 0x3F825FD8]
    assert km.THRESHOLDS[3][2] == np.float32(-0.50055) and km.THRESHOLDS[4][14] == np.float32(3.152)
    v = np.array([0.0, 1.0, -1.0, np.inf, -np.inf, np.nan], np.float32)
    assert km.quantize(v, 2).tolist() == [2, 3, 0, 3, 0, 0]
    assert km.quantize(v, 3).tolist() == [4, 5, 2, 7, 0, 0]
    assert km.quantize(v, 4).tolist() == [7, 10, 4, 15, 0, 0]
    for bits in kelvor_py.CODE_WIDTHS:
        # A threshold belongs to the upper cell; the float just below it to the lower one.
        t = km.THRESHOLDS[bits]
        assert km.quantize(t, bits).tolist() == list(range(1, 2**bits))
        below = np.nextafter(t, np.float32(-np.inf))
        assert km.quantize(below, bits).tolist() == list(range(0, 2**bits - 1))


def test_model_rotation():
    ones = np.ones(4, np.int8)
    x = np.array([1, 2, 3, 4], np.float32)
    assert km.rht_forward(x, ones).tolist() == [5, -1, -2, 0]
    assert km.rht_inverse(np.array([5, -1, -2, 0], np.float32), ones).tolist() == [1, 2, 3, 4]
    s0 = km.sign_diagonal(4, 0)
    assert km.rht_forward(x, s0).tolist() == [2, 0, -5, 1]
    assert km.rht_inverse(np.array([2, 0, -5, 1], np.float32), s0).tolist() == [1, 2, 3, 4]
    signs = km.sign_diagonal(128, 9)
    e0 = np.zeros(128, np.float32)
    e0[0] = 1
    np.testing.assert_allclose(km.rht_forward(e0, signs), signs[0] / np.sqrt(128), rtol=1e-6)
    y = np.random.default_rng(3).standard_normal(128).astype(np.float32)
    np.testing.assert_allclose(km.rht_inverse(km.rht_forward(y, signs), signs), y, atol=1e-5)


@pytest.mark.parametrize("bits, codes, stream", [
    (2, [2, 2, 1, 1, 2, 1, 1, 2], "a596"),
    (3, [4, 4, 3, 2, 4, 3, 3, 5], "91a8dd"),
    (4, [7, 7, 6, 5, 7, 7, 6, 9], "77657769"),
])
def test_model_encoder_worked_example(bits, codes, stream):
    x = np.arange(1, 9, dtype=np.float32)
    got_codes, scale = km.encode(x, km.sign_diagonal(8, 0), bits)
    assert got_codes.tolist() == codes
    assert km.pack_codes(got_codes, bits).hex() == stream
    assert scale == pytest.approx(3 * np.sqrt(204), rel=1e-6)
    # Positive factors keep the codes and scale the scale.
    codes2, scale2 = km.encode(2 * x, km.sign_diagonal(8, 0), bits)
    assert codes2.tolist() == codes and scale2 == pytest.approx(2 * scale, rel=1e-6)


def test_model_encoder_unit_and_zero_vectors():
    signs = km.sign_diagonal(128, 1)  # signs[0] == +1
    e0 = np.zeros(128, np.float32)
    e0[0] = 1
    for bits, code in [(2, 2), (3, 4), (4, 8)]:
        codes, scale = km.encode(e0, signs, bits)
        assert set(codes.tolist()) == {code} and scale == np.float32(2.9999998)
    for bits, code in [(2, 2), (3, 4), (4, 7)]:
        codes, scale = km.encode(np.zeros(100, np.float32), signs, bits)
        assert codes.shape == (128,) and set(codes.tolist()) == {code}
        assert scale == pytest.approx(3e-12, rel=1e-3)


def test_model_ring_and_exact_window(rng):
    keys, vals = tokens(rng, 6, 8)
    head = km.ModelHead(8, 3, 4, 0)
    head.extend(keys, vals, range(6))
    assert (head.count, head.write_slot, len(head.exact_keys)) == (4, 2, 6)
    assert head.slots() == [2, 3, 0, 1] and not head.uses_exact()
    head.reset()
    head.append(keys[0], vals[0], 0)
    assert head.uses_exact() and np.array_equal(head.attend(keys[1]), vals[0])


# ---------------------------------------------------------------- module against model


@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
@pytest.mark.parametrize("capacity", [1, 4])
@pytest.mark.parametrize("head_dim", HEAD_DIMS)
@pytest.mark.parametrize("bits", kelvor_py.CODE_WIDTHS)
def test_small_rings_agree_after_every_append(rng, bits, head_dim, capacity, encoding):
    ctx = kelvor_py.MHAContext(1, head_dim, bits, capacity, encoding=encoding)  # default seed 0
    model = km.ModelContext(1, head_dim, bits, capacity, seed=0, encoding=encoding)
    keys, vals = tokens(rng, 3 * capacity + 3, head_dim)
    queries = queries_for(rng, head_dim, 2)
    check_all_heads(ctx, model, queries, "empty")
    for i in range(keys.shape[0]):
        ctx.append(0, keys[i], vals[i], i)
        model.append(0, keys[i], vals[i], i)
        check_all_heads(ctx, model, queries, f"after {i + 1} appends")


# Every head_dim meets every large capacity over the widths.
LARGE = [(cap, bits, HEAD_DIMS[(2 * c + b) % 6]) for c, cap in enumerate([511, 512, 513, 1000])
         for b, bits in enumerate(kelvor_py.CODE_WIDTHS)]


@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
@pytest.mark.parametrize("capacity, bits, head_dim", LARGE)
def test_large_rings_agree_through_the_switch_and_wrap(rng, capacity, bits, head_dim, encoding):
    ctx = kelvor_py.MHAContext(1, head_dim, bits, capacity, seed=0x5EED, encoding=encoding)
    model = km.ModelContext(1, head_dim, bits, capacity, seed=0x5EED, encoding=encoding)
    n = 1100
    keys, vals = tokens(rng, n, head_dim)
    queries = queries_for(rng, head_dim, 2)
    checkpoints = sorted({1, 300, 511, 512, 513, capacity, capacity + 1, n})
    done = 0
    for stop in checkpoints:
        for i in range(done, stop):
            ctx.append(0, keys[i], vals[i], i)
        model.extend(0, keys[done:stop], vals[done:stop], range(done, stop))
        done = stop
        check_all_heads(ctx, model, queries, f"after {stop} appends")


@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
@pytest.mark.parametrize("seed", [0, 1, 0x0123456789ABCDEF, 2**64 - 1])
def test_heads_seeds_and_resets_agree(rng, seed, encoding):
    n_heads, head_dim, bits, capacity = 4, 24, 2 + seed % 3, 40
    ctx = kelvor_py.MHAContext(n_heads, head_dim, bits, capacity, seed=seed, encoding=encoding)
    model = km.ModelContext(n_heads, head_dim, bits, capacity, seed=seed, encoding=encoding)
    queries = queries_for(rng, head_dim, 2)
    # Interleaved appends; heads 0 and 2 wrap, then after the reset only head 0 again.
    for rnd, per_head in enumerate([(50, 30, 45, 10), (41, 5, 9, 0)]):
        for i in range(max(per_head)):
            for h in range(n_heads):
                if i < per_head[h]:
                    k, v = tokens(rng, 1, head_dim)
                    ctx.append(h, k[0], v[0], i)
                    model.append(h, k[0], v[0], i)
        check_all_heads(ctx, model, queries, f"round {rnd}")
        ctx.reset()
        model.reset()
        check_all_heads(ctx, model, queries, "after reset")
    # Head i of seed s rotates like head 0 of seed s ^ (i * 0xdeadbeefcafe).
    other = kelvor_py.MHAContext(1, head_dim, bits, capacity, seed=km.head_seed(seed, 3), encoding=encoding)
    keys, vals = tokens(rng, capacity + 2, head_dim)
    for i in range(capacity + 2):
        ctx.append(3, keys[i], vals[i], i)
        other.append(0, keys[i], vals[i], i)
    for q in queries:
        assert np.array_equal(ctx.compute(3, q), other.compute(0, q))


@pytest.mark.parametrize("head_dim, n", [(1, 7), (5, 1), (8, 100), (64, 512), (100, 33), (128, 512)])
def test_exact_path_matches_double_precision(rng, head_dim, n):
    keys, vals = tokens(rng, n, head_dim)
    queries = queries_for(rng, head_dim)
    answers = []
    for bits, capacity, seed in [(2, n, 0), (4, 1000, 99)]:
        ctx = kelvor_py.MHAContext(1, head_dim, bits, capacity, seed=seed, v_mass=0.5, hybrid_thresh=3)
        for i in range(n):
            ctx.append(0, keys[i], vals[i], i)
        answers.append([ctx.compute(0, q) for q in queries])
    for got, other, q in zip(answers[0], answers[1], queries):
        # The exact path uses no codes, signs or settings.
        assert np.array_equal(got, other)
        expected = attention_f64(q, keys, vals)
        err = np.max(np.abs(got - expected)) / np.max(np.abs(expected))
        assert err <= 1e-5


# ---------------------------------------------------------------- which path answers


def far_from(got, other):
    return np.max(np.abs(got - other)) > 1e-2 * np.max(np.abs(other))


def test_capacity_4_after_six_appends_answers_from_codes(rng):
    ctx = kelvor_py.MHAContext(1, 64, 2, 4, seed=3)
    model = km.ModelContext(1, 64, 2, 4, seed=3)
    keys, vals = tokens(rng, 6, 64)
    for i in range(6):
        ctx.append(0, keys[i], vals[i], i)
    model.extend(0, keys, vals)
    assert ctx.kv_bytes() == 4 * 2 * 16
    for q in queries_for(rng, 64):
        got = ctx.compute(0, q)
        assert_matches(got, model.compute(0, q, path="quantized"), "quantized")
        assert far_from(got, km.exact_attend(q, keys[2:], vals[2:]))


def test_capacity_512_switches_to_codes_on_the_513th_append(rng):
    ctx = kelvor_py.MHAContext(1, 32, 3, 512, seed=8)
    model = km.ModelContext(1, 32, 3, 512, seed=8)
    keys, vals = tokens(rng, 513, 32)
    for i in range(512):
        ctx.append(0, keys[i], vals[i], i)
    model.extend(0, keys[:512], vals[:512])
    queries = queries_for(rng, 32)
    for q in queries:
        assert_matches(ctx.compute(0, q), model.compute(0, q, path="exact"), "512 appends")
    ctx.append(0, keys[512], vals[512], 512)
    model.append(0, keys[512], vals[512], 512)
    assert ctx.kv_bytes() == 512 * 2 * 12
    for q in queries[:-1]:
        got = ctx.compute(0, q)
        assert_matches(got, model.compute(0, q, path="quantized"), "513 appends")
        # Not the first 512 tokens of the exact window, which the ring no longer holds.
        assert far_from(got, km.exact_attend(q, keys[:512], vals[:512]))


def test_reset_then_one_append_answers_the_stored_value(rng):
    ctx = kelvor_py.MHAContext(2, 100, 4, 8)
    keys, vals = tokens(rng, 20, 100)
    for i in range(20):
        ctx.append(1, keys[i], vals[i], i)
    ctx.reset()
    ctx.append(1, keys[0], vals[0], 0)
    for q in queries_for(rng, 100):
        assert np.array_equal(ctx.compute(1, q), vals[0])
    assert not np.any(ctx.compute(0, keys[1]))
