"""append / compute / compute_batch: argument conversion, checks, results and batch consistency."""

import contextlib
import re

import numpy as np
import pytest

import kelvor_py

N_HEADS, HD, BITS, CAP = 3, 12, 3, 6
BPV = 6  # 3 bits x 16 padded coordinates
PROBE = np.random.default_rng(99).standard_normal(HD).astype(np.float32)


def rand(rng, *shape):
    return rng.standard_normal(shape).astype(np.float32)


def fill(ctx, rng, counts):
    for h, n in enumerate(counts):
        for i in range(n):
            ctx.append(h, rand(rng, ctx.head_dim), rand(rng, ctx.head_dim), i)


@pytest.fixture
def ctx(rng):
    """Head 0 on the exact path with room left, head 1 wrapped (codes), head 2 empty."""
    c = kelvor_py.MHAContext(N_HEADS, HD, BITS, CAP, seed=21)
    fill(c, rng, [3, CAP + 3, 0])
    return c


def snapshot(ctx):
    return ctx.kv_bytes(), np.stack([ctx.compute(h, PROBE) for h in range(ctx.n_heads)])


@contextlib.contextmanager
def state_unchanged(ctx):
    """kv_bytes and every head's answer to a fixed query are the same after the block."""
    kv, answers = snapshot(ctx)
    yield
    kv2, answers2 = snapshot(ctx)
    assert kv2 == kv
    assert np.array_equal(answers2, answers)


def twin(seed=21):
    return kelvor_py.MHAContext(N_HEADS, HD, BITS, CAP, seed=seed)


def same_answers(a, b, queries):
    return a.kv_bytes() == b.kv_bytes() and all(
        np.array_equal(a.compute(h, q), b.compute(h, q)) for h in range(a.n_heads) for q in queries)


# ---------------------------------------------------------------- bad arguments

K = np.linspace(-1, 1, HD, dtype=np.float32)
V = np.cos(np.arange(HD, dtype=np.float32))
Q = np.sin(np.arange(HD, dtype=np.float32))
KS = np.outer(np.arange(1, N_HEADS + 1), K).astype(np.float32)  # one row per head
NDIM = "array has incorrect number of dimensions: {}; expected {}"
KV_DIM = "key/val dim mismatch"
FINITE = "key and val must be finite"


def head_msg(h):
    return f"head {h} is out of range for a context with {N_HEADS} heads"


def with_value(a, i, x):
    a = a.copy()
    a[i] = x
    return a


BAD_CALLS = [
    # append
    ("append key 2-D", lambda c: c.append(0, K[None], V, 0), ValueError, NDIM.format(2, 1)),
    ("append val 2-D", lambda c: c.append(0, K, V[None], 0), ValueError, NDIM.format(2, 1)),
    ("append key scalar", lambda c: c.append(0, 1.0, V, 0), ValueError, NDIM.format(0, 1)),
    ("append key too long", lambda c: c.append(0, np.append(K, 1), V, 0), ValueError, KV_DIM),
    ("append val too short", lambda c: c.append(0, K, V[:-1], 0), ValueError, KV_DIM),
    ("append head n_heads", lambda c: c.append(N_HEADS, K, V, 0), IndexError, head_msg(N_HEADS)),
    ("append head -1", lambda c: c.append(-1, K, V, 0), IndexError, head_msg(-1)),
    ("append head 2**31", lambda c: c.append(2**31, K, V, 0), TypeError, None),
    ("append pos float", lambda c: c.append(0, K, V, 5.0), TypeError, None),
    ("append pos 2**31", lambda c: c.append(0, K, V, 2**31), TypeError, None),
    ("append key object", lambda c: c.append(0, object(), V, 0), TypeError, None),
    ("append val ragged", lambda c: c.append(0, K, [[1.0], [2.0, 3.0]], 0), TypeError, None),
    ("append key nan", lambda c: c.append(0, with_value(K, 3, np.nan), V, 0), ValueError, FINITE),
    ("append val inf", lambda c: c.append(0, K, with_value(V, HD - 1, np.inf), 0), ValueError, FINITE),
    ("append key -inf list", lambda c: c.append(2, [-np.inf] + [0.0] * (HD - 1), V, 0), ValueError, FINITE),
    ("append val huge float64", lambda c: c.append(2, K, with_value(V.astype(np.float64), 0, 1e300), 0),
     ValueError, FINITE),
    # compute
    ("compute scalar", lambda c: c.compute(0, np.float32(1)), ValueError, NDIM.format(0, 1)),
    ("compute 2-D", lambda c: c.compute(1, Q[None]), ValueError, NDIM.format(2, 1)),
    ("compute too long", lambda c: c.compute(1, np.append(Q, 0)), ValueError, "query dim mismatch"),
    ("compute too short", lambda c: c.compute(0, Q[1:]), ValueError, "query dim mismatch"),
    ("compute head n_heads", lambda c: c.compute(N_HEADS, Q), IndexError, head_msg(N_HEADS)),
    ("compute head -1", lambda c: c.compute(-1, Q), IndexError, head_msg(-1)),
    ("compute head 2**31", lambda c: c.compute(2**31, Q), TypeError, None),
    ("compute query object", lambda c: c.compute(0, object()), TypeError, None),
    # compute_batch
    ("batch 1-D", lambda c: c.compute_batch(0, Q), ValueError, NDIM.format(1, 2)),
    ("batch 3-D", lambda c: c.compute_batch(0, Q[None, None]), ValueError, NDIM.format(3, 2)),
    ("batch wide", lambda c: c.compute_batch(1, np.zeros((4, HD + 1), np.float32)), ValueError,
     "queries dim mismatch"),
    ("batch no rows", lambda c: c.compute_batch(0, np.zeros((0, HD), np.float64)), IndexError,
     "compute_batch: queries has no rows"),
    ("batch no rows head n_heads", lambda c: c.compute_batch(N_HEADS, np.zeros((0, HD), np.float32)), IndexError,
     head_msg(N_HEADS)),
    ("batch 2**31 rows", lambda c: c.compute_batch(0, np.empty((2**31, 0), np.float32)), ValueError,
     "2147483648"),
    ("batch head n_heads", lambda c: c.compute_batch(N_HEADS, Q[None]), IndexError, head_msg(N_HEADS)),
    ("batch head -1", lambda c: c.compute_batch(-1, Q[None]), IndexError, head_msg(-1)),
    ("batch head 2**31", lambda c: c.compute_batch(2**31, Q[None]), TypeError, None),
    ("batch queries object", lambda c: c.compute_batch(0, object()), TypeError, None),
    # whole-layer calls; a bad row anywhere stores no row at all
    ("heads keys 1-D", lambda c: c.append_heads(K, KS, 0), ValueError, NDIM.format(1, 2)),
    ("heads vals 3-D", lambda c: c.append_heads(KS, KS[None], 0), ValueError, NDIM.format(3, 2)),
    ("heads keys one row short", lambda c: c.append_heads(KS[1:], KS, 0), ValueError,
     f"must have shape (n_heads, head_dim) = ({N_HEADS}, {HD}), got ({N_HEADS - 1}, {HD}) and ({N_HEADS}, {HD})"),
    ("heads vals too wide", lambda c: c.append_heads(KS, np.ones((N_HEADS, HD + 1)), 0), ValueError,
     f"got ({N_HEADS}, {HD}) and ({N_HEADS}, {HD + 1})"),
    ("heads nan in last val row", lambda c: c.append_heads(KS, with_value(KS, (N_HEADS - 1, 4), np.nan), 0),
     ValueError, f"keys and vals must be finite; row {N_HEADS - 1} is not"),
    ("heads inf in key row 1", lambda c: c.append_heads(with_value(KS, (1, 0), -np.inf), KS, 0), ValueError,
     "keys and vals must be finite; row 1 is not"),
    ("heads keys object", lambda c: c.append_heads(np.full((N_HEADS, HD), object()), KS, 0), TypeError, None),
    ("heads vals strings", lambda c: c.append_heads(KS, np.full((N_HEADS, HD), "x"), 0), TypeError, None),
    ("heads pos float", lambda c: c.append_heads(KS, KS, 1.0), TypeError, None),
    ("compute_heads 1-D", lambda c: c.compute_heads(Q), ValueError, "dimensions: 1; expected 2 or 3"),
    ("compute_heads 4-D", lambda c: c.compute_heads(KS[None, None]), ValueError, "dimensions: 4; expected 2 or 3"),
    ("compute_heads no heads", lambda c: c.compute_heads(np.zeros((0, HD))), ValueError,
     f"queries has 0 heads; expected a positive multiple of n_heads ({N_HEADS})"),
    ("compute_heads not a multiple", lambda c: c.compute_heads(np.zeros((N_HEADS + 1, 2, HD))), ValueError,
     f"queries has {N_HEADS + 1} heads; expected a positive multiple of n_heads ({N_HEADS})"),
    ("compute_heads wide", lambda c: c.compute_heads(np.zeros((N_HEADS, HD - 1))), ValueError,
     "queries dim mismatch"),
    ("compute_heads object", lambda c: c.compute_heads(np.full((N_HEADS, HD), object())), TypeError, None),
    ("block keys 2-D", lambda c: c.append_compute_heads(KS, KS[None], KS[None], 0), ValueError, NDIM.format(2, 3)),
    ("block queries 2-D", lambda c: c.append_compute_heads(KS[None], KS[None], KS, 0), ValueError, NDIM.format(2, 3)),
    ("block queries for another T", lambda c: c.append_compute_heads(KS[None], KS[None], np.stack([KS, KS]), 0),
     ValueError, f"queries must have shape (T, n_query_heads, head_dim) = (1, a positive multiple of {N_HEADS}"),
    ("block queries not a multiple", lambda c: c.append_compute_heads(KS[None], KS[None], KS[None, 1:], 0),
     ValueError, "a positive multiple of"),
    ("block nan in token 1", lambda c: c.append_compute_heads(
        np.stack([KS, with_value(KS, (2, 0), np.nan)]), np.stack([KS, KS]), np.stack([KS, KS]), 0), ValueError,
     "keys and vals must be finite; token 1, row 2 is not"),
    ("block positions past int32", lambda c: c.append_compute_heads(
        np.stack([KS, KS]), np.stack([KS, KS]), np.stack([KS, KS]), 2**31 - 1), ValueError, "must fit in int32"),
    ("tokens head n_heads", lambda c: c.tokens(N_HEADS), IndexError, head_msg(N_HEADS)),
    ("tokens head -1", lambda c: c.tokens(-1), IndexError, head_msg(-1)),
]


@pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
@pytest.mark.parametrize("call, exc, message", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_bad_arguments_raise_and_change_nothing(ctx, call, exc, message):
    with state_unchanged(ctx), pytest.raises(exc) as info:
        call(ctx)
    if message is not None:
        assert message in str(info.value)


def test_type_errors_show_the_signature(ctx):
    with pytest.raises(TypeError, match=re.escape("append(): incompatible function arguments")):
        ctx.append(0, K, V, 1.5)


def test_nan_query_raises_nothing_and_leaves_later_answers_alone(ctx):
    nan_q = with_value(Q, 2, np.nan)
    with state_unchanged(ctx):
        for h in range(N_HEADS):
            assert ctx.compute(h, nan_q).shape == (HD,)
        rows = np.stack([Q, nan_q, PROBE])
        batch = ctx.compute_batch(1, rows)
    # The poisoned row does not leak into its neighbours.
    assert np.array_equal(batch[0], ctx.compute(1, Q))
    assert np.array_equal(batch[2], ctx.compute(1, PROBE))


# ---------------------------------------------------------------- accepted arguments


@pytest.mark.parametrize("head_dim, bits, bpv", [(1, 2, 1), (1, 4, 1), (5, 3, 3), (64, 2, 16),
                                                 (100, 4, 64), (128, 3, 48)])
def test_append_returns_none_and_kv_bytes_counts_held_codes(rng, head_dim, bits, bpv):
    ctx = kelvor_py.MHAContext(2, head_dim, bits, 3)
    assert ctx.kv_bytes() == 0
    for i in range(5):
        assert ctx.append(0, rand(rng, head_dim), rand(rng, head_dim), 5) is None
        assert ctx.kv_bytes() == 2 * bpv * min(i + 1, 3)
    assert ctx.append(head=1, key=rand(rng, head_dim), val=rand(rng, head_dim), pos=-(2**31)) is None
    assert ctx.kv_bytes() == 2 * bpv * 4


def test_array_likes_are_cast_to_float32(rng):
    ref, other = twin(), twin()
    keys = rng.standard_normal((5, HD))  # float64
    vals = rng.standard_normal((5, HD))
    ints = rng.integers(-3, 4, (2, HD))
    ref.append(0, keys[0].astype(np.float32), vals[0].astype(np.float32), 0)
    other.append(0, keys[0].tolist(), tuple(vals[0]), 0)
    ref.append(0, keys[1].astype(np.float32), vals[1].astype(np.float32), 1)
    other.append(0, keys[1], vals[1], 1)
    ref.append(1, ints[0].astype(np.float32), ints[1].astype(np.float32), 0)
    other.append(1, ints[0], ints[1].tolist(), 0)
    ref.append(2, keys[2].astype(np.float32), vals[2].astype(np.float16).astype(np.float32), 0)
    other.append(2, keys[2].astype(np.float32).view(np.ndarray), vals[2].astype(np.float16), 0)
    assert same_answers(ref, other, [PROBE, keys[3].astype(np.float32)])
    q = keys[4]
    expected = ref.compute(0, q.astype(np.float32))
    for like in (q, q.tolist(), tuple(q)):
        assert np.array_equal(ref.compute(0, like), expected)
    expected = ref.compute_batch(1, keys[:2].astype(np.float32))
    assert np.array_equal(ref.compute_batch(1, keys[:2]), expected)
    assert np.array_equal(ref.compute_batch(1, keys[:2].tolist()), expected)


def test_empty_heads_answer_zeros(ctx):
    out = ctx.compute(2, Q)
    assert out.shape == (HD,) and out.dtype == np.float32 and not np.any(out)
    out = ctx.compute_batch(2, np.ones((3, HD), np.float32))
    assert out.shape == (3, HD) and out.dtype == np.float32 and not np.any(out)
    fresh = kelvor_py.MHAContext(1, 100, 4, 2000)
    assert not np.any(fresh.compute(0, np.ones(100)))


def test_results_are_new_float32_arrays_and_inputs_stay_untouched(ctx, rng):
    key, val = rand(rng, HD), rand(rng, HD)
    queries = rand(rng, 4, HD)
    saved = [a.copy() for a in (key, val, queries)]
    ctx.append(0, key, val, 7)
    for h in range(N_HEADS):
        one = ctx.compute(h, queries[0])
        again = ctx.compute(h, queries[0])
        batch = ctx.compute_batch(h, queries)
        for res, shape in [(one, (HD,)), (batch, (4, HD))]:
            assert res.shape == shape and res.dtype == np.float32
            assert res.flags.c_contiguous and res.flags.writeable and res.flags.owndata
            assert not np.shares_memory(res, queries)
        assert one is not again and not np.shares_memory(one, again)
        one[:] = 1e6  # scribbling on a result changes nothing inside
        assert np.array_equal(ctx.compute(h, queries[0]), again)
    for a, b in zip((key, val, queries), saved):
        assert np.array_equal(a, b)


# ---------------------------------------------------------------- memory layouts


def layouts_1d(a):
    """Views whose elements in index order are `a`, none of them C-contiguous float32."""
    n = a.shape[0]
    big = np.zeros((5, 3 * n + 2), np.float32)
    big[2, 1:3 * n + 1:3] = a
    rev = a[::-1].copy()[::-1]
    strided = np.repeat(a, 2)[::2]
    return {"reversed": rev, "strided": strided, "big-endian": a.astype(">f4"),
            "slice of larger": big[2, 1:3 * n + 1:3], "column": np.ascontiguousarray(big.T)[1:3 * n + 1:3, 2]}


def layouts_2d(q):
    n, hd = q.shape
    big = np.zeros((2 * n + 1, hd + 3), np.float32)
    big[1::2, 2:hd + 2] = q
    return {"fortran": np.asfortranarray(q), "transposed": np.ascontiguousarray(q.T).T,
            "big-endian": q.astype(">f4"), "slice of larger": big[1::2, 2:hd + 2],
            "reversed rows": q[::-1].copy()[::-1], "reversed cols": q[:, ::-1].copy()[:, ::-1]}


def test_noncontiguous_keys_and_values_are_read_in_index_order(rng):
    plain, strided = twin(), twin()
    names = list(layouts_1d(K))
    for i in range(2 * CAP):
        h = i % N_HEADS
        key, val = rand(rng, HD), rand(rng, HD)
        kview = layouts_1d(key)[names[i % len(names)]]
        vview = layouts_1d(val)[names[(i + 1) % len(names)]]
        assert not (kview.flags.c_contiguous and kview.dtype == np.float32)
        plain.append(h, key, val, i)
        strided.append(h, kview, vview, i)
    assert same_answers(plain, strided, [PROBE, Q])


@pytest.mark.parametrize("head", [0, 1, 2])
def test_noncontiguous_queries_give_the_same_answers(ctx, rng, head):
    q = rand(rng, HD)
    expected = ctx.compute(head, q)
    for name, view in layouts_1d(q).items():
        assert np.array_equal(ctx.compute(head, view), expected), name
    queries = rand(rng, 5, HD)
    expected = ctx.compute_batch(head, queries)
    for name, view in layouts_2d(queries).items():
        assert not view.flags.c_contiguous or view.dtype != np.float32
        assert np.array_equal(ctx.compute_batch(head, view), expected), name


# ---------------------------------------------------------------- batches


@pytest.mark.parametrize("head_dim, bits", [(5, 2), (64, 3), (100, 4)])
@pytest.mark.parametrize("n", [1, 7, 8, 9, 20])
@pytest.mark.parametrize("tokens", [5, 25])  # exact path, then a wrapped ring answering from codes
def test_batch_rows_equal_single_computes(rng, head_dim, bits, n, tokens):
    ctx = kelvor_py.MHAContext(2, head_dim, bits, 16, seed=n)
    fill(ctx, rng, [tokens, 3])
    queries = 3 * rand(rng, n, head_dim)
    for h in (0, 1):
        batch = ctx.compute_batch(h, queries)
        assert batch.shape == (n, head_dim)
        for i in range(n):
            assert np.array_equal(batch[i], ctx.compute(h, queries[i]))
