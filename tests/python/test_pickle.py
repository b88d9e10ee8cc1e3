"""Saving and restoring a context through pickle, copy and multiprocessing."""
import copy
import multiprocessing
import operator
import os
import pickle
import subprocess
import sys

import numpy as np
import pytest

import kelvor_py
from kelvor_py import MHAContext

HD = 24


def filled(encoding, bits, rng, capacity=40, tokens=(90, 20, 0), **settings):
    """Head 0 has wrapped and answers from codes, head 1 answers exactly, head 2 is empty."""
    ctx = MHAContext(len(tokens), HD, bits, capacity, encoding=encoding, **settings)
    for head, n in enumerate(tokens):
        keys = rng.standard_normal((n, HD)).astype(np.float32)
        for t in range(n):
            ctx.append(head, keys[t], keys[t][::-1] + 0.5, t)
    return ctx


def answers(ctx, queries):
    return [np.concatenate([np.stack([ctx.compute(h, q) for q in queries]), ctx.compute_batch(h, queries)])
            for h in range(ctx.n_heads)]


def assert_same(a, b, queries):
    assert (repr(a), a.kv_bytes()) == (repr(b), b.kv_bytes())  # every setting, threads included
    for x, y in zip(answers(a, queries), answers(b, queries)):
        assert np.array_equal(x.view(np.uint32), y.view(np.uint32))
    assert a.__getstate__() == b.__getstate__()


ROUTES = {"pickle": lambda c: pickle.loads(pickle.dumps(c)), "copy": copy.copy, "deepcopy": copy.deepcopy}


# Each width and encoding once, each way of copying twice: all three go through
# the same state, which the C++ tests cover case by case. With key groups, keys
# wait when copied (90 and 20 appends) and the appends after complete groups.
@pytest.mark.parametrize("encoding, bits, route, key_group", [
    ("clip3", 2, "pickle", 0), ("clip3", 3, "copy", 0), ("clip3", 4, "deepcopy", 0), ("fitted", 2, "deepcopy", 0),
    ("fitted", 3, "pickle", 0), ("fitted", 4, "copy", 0), ("clip3", 3, "pickle", 16), ("fitted", 4, "pickle", 32)])
def test_copies_answer_and_grow_like_the_original(rng, encoding, bits, route, key_group):
    ctx = filled(encoding, bits, rng, seed=2**64 - 3, v_mass=0.5, hybrid_thresh=-9, threads=bits, key_group=key_group)
    queries = rng.standard_normal((3, HD)).astype(np.float32)
    twin = ROUTES[route](ctx)
    assert twin is not ctx
    assert_same(twin, ctx, queries)
    more = rng.standard_normal((30, HD)).astype(np.float32)
    for c in (ctx, twin):
        for t, k in enumerate(more):
            c.append(t % 3, k, -k, 100 + t)
    assert_same(twin, ctx, queries)
    # The settings that change no answer are kept too.
    other = MHAContext(3, HD, bits, 40, seed=2**64 - 3, encoding=encoding)
    assert ctx.__getstate__()[:64] != other.__getstate__()[:64]
    twin.reset()
    assert twin.kv_bytes() == 0 and ctx.kv_bytes() > 0


@pytest.mark.parametrize("encoding, options", [
    (encoding, options) for encoding in ("clip3", "fitted")
    for options in [{}, dict(recent=6), dict(sinks=3), dict(value_bits=2), dict(recent=50, sinks=5, value_bits=4),
                    dict(key_group=16)]] + [("fitted", dict(recent=6, value_refine=16)),
                                                     ("fitted", dict(scale_dtype="log8"))])
def test_a_reset_context_saves_only_what_came_after_the_reset(rng, encoding, options):
    # Filled past its capacity (coded, statistics fixed), reset, then refilled
    # with a few tokens (exact: a fitted head codes none) or past its capacity
    # again: byte for byte what a fresh context given the same tokens saves.
    before = rng.standard_normal((2, 90, 2, HD)).astype(np.float32) * 3 + 1
    for n in (3, 70):
        after = rng.standard_normal((2, n, 2, HD)).astype(np.float32)
        used, fresh = (MHAContext(2, HD, 3, 40, seed=4, encoding=encoding, **options) for _ in range(2))
        used.append_heads(before[0], before[1], 0)
        used.reset()
        for ctx in (used, fresh):
            ctx.append_heads(after[0], after[1], 7)
        assert used.__getstate__() == fresh.__getstate__(), n


class Session(MHAContext):
    """A subclass with attributes of its own, as a server might keep per user."""

    def __init__(self, *args, user, **settings):
        super().__init__(*args, **settings)
        self.user = user


@pytest.mark.parametrize("route", sorted(ROUTES))
def test_a_subclass_copies_as_itself_with_its_attributes(rng, route):
    ctx = Session(2, HD, 3, 40, user="ada", encoding="fitted")
    kv = rng.standard_normal((2, 50, 2, HD)).astype(np.float32)
    ctx.append_heads(kv[0], kv[1], 0)
    ctx.history = [1, 2]
    twin = ROUTES[route](ctx)
    assert type(twin) is Session and twin.__dict__ == {"user": "ada", "history": [1, 2]}
    assert (twin.history is ctx.history) == (route == "copy")
    assert twin.__getstate__() == ctx.__getstate__()
    assert type(ROUTES[route](MHAContext(1, HD, 2, 8))) is MHAContext


def test_a_worker_process_answers_like_this_one(rng):
    ctx = filled("fitted", 3, rng)
    queries = rng.standard_normal((4, HD)).astype(np.float32)
    with multiprocessing.get_context("spawn").Pool(1) as pool:
        got = pool.apply(operator.methodcaller("compute_batch", 0, queries), (ctx,))
    assert np.array_equal(got, ctx.compute_batch(0, queries))


def damaged(state):
    flipped = bytearray(state)
    flipped[len(state) // 2] ^= 1
    newer = bytearray(state)
    newer[8] = 9
    return [
        (state[:-1], f"context state: it is truncated: {len(state) - 1} bytes of the {len(state)} it declares"),
        (bytes(flipped), "context state: its checksum does not match its contents: it was corrupted"),
        (bytes(newer), "context state: format version 9 is newer than this kelvor_py reads (up to 8); load it with "
                       "the release that saved it or a later one"),
        (b"not a context" * 10, "context state: it does not start with KELVORCX: not a saved context"),
    ]


def test_damaged_states_are_refused_and_change_nothing(rng):
    ctx = filled("clip3", 2, rng)
    state = ctx.__getstate__()
    queries = rng.standard_normal((2, HD)).astype(np.float32)
    before = answers(ctx, queries)
    fresh = MHAContext.__new__(MHAContext)
    for bad, message in damaged(state):
        with pytest.raises(ValueError) as info:
            fresh.__setstate__(bad)
        assert str(info.value) == message
    with pytest.raises(TypeError):
        fresh.__setstate__(bytearray(state))
    # A context already built is never overwritten.
    with pytest.raises(TypeError, match="already initialised"):
        ctx.__setstate__(filled("fitted", 4, rng).__getstate__())
    assert ctx.__getstate__() == state
    assert all(np.array_equal(x, y) for x, y in zip(answers(ctx, queries), before))
    # The refusals left the new instance as new as it was.
    fresh.__setstate__(state)
    assert_same(fresh, ctx, queries)


EVERY_PROTOCOL = """
import copy, pickle, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from test_pickle import assert_same, filled
import kelvor_py

rng = np.random.default_rng(5)
queries = rng.standard_normal((3, 24)).astype(np.float32)
for encoding in ("clip3", "fitted"):
    ctx = filled(encoding, 3, rng, threads=2)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert_same(pickle.loads(pickle.dumps(ctx, protocol=protocol)), ctx, queries)
        restore, args = ctx.__reduce_ex__(protocol)
        assert restore is kelvor_py._restore
        assert_same(restore(*args), ctx, queries)
    assert_same(copy.copy(ctx), ctx, queries)
    assert_same(copy.deepcopy(ctx), ctx, queries)
print("ok")
"""


def test_every_pickle_protocol_round_trips():
    # In a process of its own: a protocol that fails may abort the interpreter.
    done = subprocess.run([sys.executable, "-c", EVERY_PROTOCOL, os.path.dirname(__file__)],
                          capture_output=True, text=True, timeout=120)
    assert done.returncode == 0 and done.stdout.strip() == "ok", done.stderr[-2000:]


def test_restore_refuses_a_damaged_state(rng):
    state = filled("clip3", 2, rng).__getstate__()
    for bad, message in damaged(state):
        with pytest.raises(ValueError) as info:
            kelvor_py._restore(bad)
        assert str(info.value) == message
