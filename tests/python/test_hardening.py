"""The object's life cycle, input layouts at the edges, and inputs at the edges
of float32: what is refused, and that finite inputs give finite answers."""

import numpy as np
import pytest

from kelvor_py import MHAContext

ENCODINGS = ["clip3", "fitted"]


def filled(encoding, hd=8, capacity=4, n=10, seed=0):
    rng = np.random.default_rng(seed)
    ctx = MHAContext(1, hd, 3, capacity, encoding=encoding)
    keys = rng.standard_normal((n, hd)).astype(np.float32)
    for t in range(n):
        ctx.append(0, keys[t], keys[::-1][t], t)
    return ctx, rng


class TestLifecycle:
    MEMBERS = {
        "append": lambda c: c.append(0, np.ones(4), np.ones(4), 0),
        "compute": lambda c: c.compute(0, np.ones(4)),
        "compute_batch": lambda c: c.compute_batch(0, np.ones((2, 4))),
        "append_heads": lambda c: c.append_heads(np.ones((1, 4)), np.ones((1, 4)), 0),
        "compute_heads": lambda c: c.compute_heads(np.ones((1, 4))),
        "reset": lambda c: c.reset(),
        "kv_bytes": lambda c: c.kv_bytes(),
        "tokens": lambda c: c.tokens(0),
        "repr": repr,
        "getstate": lambda c: c.__getstate__(),
        "reduce_ex": lambda c: c.__reduce_ex__(0),
        "reduce": lambda c: c.__reduce__(),
        **{name: (lambda n: lambda c: getattr(c, n))(name)
           for name in ("n_heads", "head_dim", "bits", "capacity", "threads", "encoding")},
    }

    @pytest.mark.parametrize("member", sorted(MEMBERS))
    def test_every_member_of_an_unbuilt_instance_raises(self, member):
        never = MHAContext.__new__(MHAContext)
        failed = MHAContext.__new__(MHAContext)
        with pytest.raises(ValueError):
            failed.__init__(0, 4, 2, 8)
        for ctx in (never, failed):
            with pytest.raises(TypeError, match="^MHAContext is not initialised$"):
                self.MEMBERS[member](ctx)

    def test_second_init_is_refused_and_changes_nothing(self):
        ctx = MHAContext(1, 4, 2, 8)
        ctx.append(0, np.ones(4), np.ones(4), 0)
        with pytest.raises(TypeError, match="already initialised"):
            ctx.__init__(2, 8, 3, 16)
        assert (ctx.n_heads, ctx.head_dim, ctx.kv_bytes()) == (1, 4, 2)
        # An instance whose first __init__ failed may still be built.
        late = MHAContext.__new__(MHAContext)
        with pytest.raises(ValueError):
            late.__init__(1, 0, 2, 8)
        late.__init__(1, 4, 2, 8)
        assert late.kv_bytes() == 0


class TestInputLayout:
    def test_misaligned_float32_is_read_like_an_aligned_copy(self):
        ctx, rng = filled("clip3")
        twin, _ = filled("clip3")
        values = rng.standard_normal((2, 8)).astype(np.float32)
        odd = np.zeros(values.nbytes + 1, np.uint8)[1:].view(np.float32).reshape(2, 8)
        odd[...] = values
        assert odd.ctypes.data % 4 != 0
        ctx.append(0, odd[0], odd[1], 50)
        twin.append(0, values[0], values[1], 50)
        assert np.array_equal(ctx.compute(0, odd[0]), twin.compute(0, values[0]))
        assert np.array_equal(ctx.compute_batch(0, odd), twin.compute_batch(0, values))

    def test_shapes_are_refused_before_a_huge_view_is_copied(self):
        # Views of a few bytes standing for terabytes: converting any of them
        # would fail for want of memory before the shape was looked at.
        ctx = MHAContext(1, 1024, 2, 8)
        row = np.zeros(1024, np.float32)
        with pytest.raises(ValueError, match="2147483648 rows"):
            ctx.compute_batch(0, np.broadcast_to(row, (2**31, 1024)))
        with pytest.raises(ValueError, match="query dim mismatch"):
            ctx.compute(0, np.broadcast_to(np.float32(1), (2**40,)))
        with pytest.raises(ValueError, match="key/val dim mismatch"):
            ctx.append(0, np.broadcast_to(np.float32(1), (2**40,)), row, 0)
        with pytest.raises(ValueError, match="queries dim mismatch"):
            ctx.compute_heads(np.broadcast_to(row[:1023], (1, 2**30, 1023)))
        # A shape that passes, whose copy cannot be made, says so.
        with pytest.raises(MemoryError):
            ctx.compute_batch(0, np.broadcast_to(row, (2**31 - 1, 1024)))
        assert ctx.kv_bytes() == 0


class TestOverflow:
    @pytest.mark.parametrize("encoding", ENCODINGS)
    def test_norm_whose_square_overflows_is_refused_with_nothing_stored(self, encoding):
        ctx, rng = filled(encoding)
        q = rng.standard_normal(8).astype(np.float32)
        before = (ctx.kv_bytes(), ctx.compute(0, q))
        big = np.full(8, 1e20, np.float32)  # finite; its squared norm is not
        for key, val in [(big, np.ones(8, np.float32)), (np.ones(8, np.float32), big)]:
            with pytest.raises(ValueError, match="norm below 1.8e19"):
                ctx.append(0, key, val, 99)
        assert ctx.kv_bytes() == before[0] and np.array_equal(ctx.compute(0, q), before[1])
        # One large coordinate under the limit is stored, and answers stay finite.
        ctx.append(0, np.array([1e18] + [0] * 7, np.float32), np.ones(8, np.float32), 99)
        assert np.all(np.isfinite(ctx.compute(0, q)))

    @pytest.mark.filterwarnings("ignore:overflow encountered in cast:RuntimeWarning")
    def test_finite_values_beyond_float32_are_refused_by_name(self):
        ctx, rng = filled("clip3")
        before = ctx.__getstate__()
        wide = np.ones(8)
        wide[3] = -1e39  # finite in float64, infinite as float32
        calls = {"key": lambda: ctx.append(0, wide, np.ones(8), 99), "val": lambda: ctx.append(0, np.ones(8), wide, 99),
                 "query": lambda: ctx.compute(0, wide), "queries": lambda: ctx.compute_batch(0, wide[None]),
                 "keys": lambda: ctx.append_heads(wide[None], np.ones((1, 8)), 99)}
        for name, call in calls.items():
            with pytest.raises(ValueError, match=rf"(^|; ){name} holds -1e\+39, outside float32's range$"):
                call()
        assert ctx.__getstate__() == before
        # Infinities stay what they are: a key of one is refused as not finite.
        wide[3] = np.inf
        with pytest.raises(ValueError, match="must be finite"):
            ctx.append(0, wide, np.ones(8), 99)

    @pytest.mark.parametrize("encoding", ENCODINGS)
    def test_query_of_overflowing_norm_answers_like_its_direction(self, encoding):
        # Scaled by 2^40 or 2^64 a query picks the same top token: the answers
        # are equal, although only the first one's sum of squares stays finite.
        ctx, rng = filled(encoding)
        for q in rng.standard_normal((4, 8)).astype(np.float32):
            huge = ctx.compute(0, q * np.float32(2.0**64))
            assert np.all(np.isfinite(huge))
            assert np.array_equal(huge, ctx.compute(0, q * np.float32(2.0**40)))

    def test_fitted_key_far_beyond_its_statistics_stays_finite(self):
        # Keys that hardly varied make tiny divisors; a later ordinary key then
        # sits far out in the divided space, where its sum of squares overflows.
        ctx = MHAContext(1, 8, 4, 4, encoding="fitted")
        rng = np.random.default_rng(5)
        for t in range(5):
            ctx.append(0, (1e-30 * rng.standard_normal(8)).astype(np.float32), np.ones(8, np.float32), t)
        ctx.append(0, np.full(8, 1e10, np.float32), np.full(8, 2.0, np.float32), 5)
        # That key wins every score, so the answer is its value (not the mean of
        # the held values, 1.25, as if the key had been coded as zero).
        out = ctx.compute(0, np.ones(8, np.float32))
        np.testing.assert_allclose(out, 2.0, atol=0.4)
