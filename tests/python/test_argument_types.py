"""Integer arguments are exactly what has __index__; an argument's own error
reaches the caller as itself."""
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from kelvor_py import MHAContext

HD = 8
NOT_INTEGERS = [np.float32(1.9), np.float16(1.0), np.float64(2.0), 1.0, Fraction(3, 2), Fraction(2, 1),
                Decimal("1.9"), Decimal(1), "1", None]


class Index:
    """An integer by __index__ alone."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class IndexRaises:
    def __index__(self):
        raise ZeroDivisionError("raised by __index__")


class ArrayRaises:
    def __array__(self, dtype=None, copy=None):
        raise KeyError("raised by __array__")


@pytest.fixture
def ctx():
    """Head 0 exact, head 1 answering from codes, head 2 empty."""
    rng = np.random.default_rng(3)
    c = MHAContext(3, HD, 3, 6)
    for head, n in enumerate([3, 9, 0]):
        for t in range(n):
            c.append(head, rng.standard_normal(HD), rng.standard_normal(HD), t)
    return c


ROW, ROWS = np.ones(HD, np.float32), np.ones((3, HD), np.float32)
# (call, argument name, function name): the integer argument is x.
CALLS = [
    (lambda c, x: c.append(x, ROW, ROW, 0), "head", "append"),
    (lambda c, x: c.append(0, ROW, ROW, x), "pos", "append"),
    (lambda c, x: c.compute(x, ROW), "head", "compute"),
    (lambda c, x: c.compute_batch(x, ROWS[:2]), "head", "compute_batch"),
    (lambda c, x: c.append_heads(ROWS, ROWS, x), "pos", "append_heads"),
    (lambda c, x: c.tokens(x), "head", "tokens"),
]
CALL_IDS = [f"{fn} {arg}" for _, arg, fn in CALLS]


@pytest.mark.parametrize("value", NOT_INTEGERS, ids=repr)
@pytest.mark.parametrize("call, arg, fn", CALLS, ids=CALL_IDS)
def test_non_integers_are_refused_by_name_and_change_nothing(ctx, call, arg, fn, value):
    before = ctx.__getstate__()
    with pytest.raises(TypeError) as info:
        call(ctx, value)
    assert str(info.value) == (f"{fn}(): incompatible function arguments: {arg} must be an integer "
                               f"(an object with __index__), got {type(value).__name__}")
    assert ctx.__getstate__() == before


SETTINGS = dict(n_heads=2, head_dim=HD, bits=3, capacity=16, seed=5, hybrid_thresh=7, threads=2)


@pytest.mark.parametrize("value", [np.float32(2.9), Fraction(17, 2), Decimal("3"), 4.0], ids=repr)
@pytest.mark.parametrize("field", sorted(SETTINGS))
def test_constructor_refuses_non_integer_settings_by_name(field, value):
    with pytest.raises(TypeError) as info:
        MHAContext(**{**SETTINGS, field: value})
    assert str(info.value) == (f"__init__(): incompatible constructor arguments: {field} must be an integer "
                               f"(an object with __index__), got {type(value).__name__}")
    with pytest.raises(TypeError, match="n_heads must be an integer"):
        MHAContext(np.float32(2.9), 4, np.float32(3.7), Fraction(17, 2))


@pytest.mark.parametrize("kind", [int, bool, np.int8, np.uint16, np.int64, np.uint64, Index])
def test_anything_with_index_is_an_integer(ctx, kind):
    one, plain = kind(1), MHAContext.__new__(MHAContext)
    plain.__setstate__(ctx.__getstate__())
    for c, i in ((ctx, one), (plain, 1)):
        c.append(i, ROW, ROW, i)
        c.append_heads(ROWS, ROWS, i)
    assert ctx.__getstate__() == plain.__getstate__()
    assert np.array_equal(ctx.compute_batch(one, ROWS), plain.compute_batch(1, ROWS)) and ctx.tokens(one) == plain.tokens(1)
    if kind is not bool:  # True is 1: too few bits
        made = MHAContext(*map(kind, (3, HD, 3, 6)), seed=kind(2**63 if kind is np.uint64 else 7), threads=one)
        assert repr(made) == repr(MHAContext(3, HD, 3, 6, seed=2**63 if kind is np.uint64 else 7))
    with pytest.raises(TypeError, match=r"seed must be between 0 and 18446744073709551615, got -1$"):
        MHAContext(1, HD, 3, 6, seed=Index(-1))
    with pytest.raises(TypeError, match=r"capacity must be between -2147483648 and 2147483647, got 2147483648$"):
        MHAContext(1, HD, 3, np.int64(2**31))


def test_an_arguments_own_error_reaches_the_caller(ctx):
    before = ctx.__getstate__()
    with pytest.raises(ZeroDivisionError, match="raised by __index__"):
        ctx.append(IndexRaises(), ROW, ROW, 0)
    with pytest.raises(ZeroDivisionError, match="raised by __index__"):
        MHAContext(1, HD, 3, 6, seed=IndexRaises())
    with pytest.raises(KeyError, match="raised by __array__"):
        ctx.append(0, ROW, ArrayRaises(), 0)
    with pytest.raises(KeyError, match="raised by __array__"):
        ctx.compute_heads(ArrayRaises())
    assert ctx.__getstate__() == before
