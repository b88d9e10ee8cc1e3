"""Inputs at the edges of float32: what is refused, and that finite inputs give finite answers."""

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
