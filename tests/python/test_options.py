"""The opt-in accuracy and storage options (recent, value_bits, sinks, copy_dtype, scale_dtype,
position_dtype, key_group, value_refine, value_dither) against the NumPy model,
under every KELVOR_SIMD level the machine runs, with saving and the whole-layer
calls; and the defaults left as they were."""
import os
import pickle
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_model as km
import kelvor_py
from kelvor_py import MHAContext
from test_model import assert_matches

LEVELS = tuple(kelvor_py._simd_levels())

# (head_dim, capacity, tokens): past the window without wrapping; and a small
# ring that has wrapped, so the sinks live on only in their full-precision copies.
SHAPES = [(16, 600, 560), (5, 40, 90)]
# (recent, value_bits offset from bits, sinks, storage options)
OPTIONS = [(0, 1, 0, {}), (16, 0, 0, {}), (0, 0, 4, {}), (8, 2, 3, {}), (64, 0, 0, {}),
           (12, 1, 3, dict(copy_dtype="float16")), (0, 2, 0, dict(scale_dtype="bfloat16", position_dtype="none")),
           (12, 1, 3, dict(copy_dtype="float16", scale_dtype="bfloat16"))]
# Key groups: (encoding, bits, value_bits, shape, options). The tokens end mid-group (560 in 32s, 90, 70) or on
# a group's end (544 in 32s, 560 in 16s); the last two rings wrap, the last is smaller than its group.
KEY_GROUPS = [("fitted", 4, 4, (16, 600, 560),
               dict(recent=8, key_group=32, copy_dtype="float16", scale_dtype="bfloat16", position_dtype="none")),
              ("fitted", 3, 2, (16, 600, 544), dict(recent=16, sinks=4, key_group=32)),
              ("clip3", 2, 3, (16, 600, 560), dict(key_group=16)),
              ("clip3", 3, 2, (5, 40, 90), dict(recent=4, sinks=3, key_group=16)),
              ("fitted", 4, 2, (8, 20, 70), dict(recent=4, key_group=32))]
# Refined values, read at 3 and 4 bits: fewer refined tokens than coded ones, beside the window and the sinks;
# more than the text holds, with key groups; a wrapped ring smaller than them and the window; a vector of 4
# coordinates, less than a group of codes.
REFINED = [("fitted", 4, 2, (16, 600, 560), dict(recent=16, sinks=4, value_refine=32, copy_dtype="float16",
                                                  scale_dtype="bfloat16", position_dtype="none")),
           ("fitted", 3, 3, (16, 600, 560), dict(value_refine=1000, key_group=32)),
           ("fitted", 2, 2, (5, 40, 90), dict(recent=4, sinks=3, value_refine=64)),
           ("fitted", 4, 3, (3, 40, 90), dict(value_refine=8))]
# One-byte scales, whose tokens include some far outside the range the first ones place (one_case): with
# refined values, float16 copies and no positions; with key groups, whose keys are coded after the range is
# placed; on a wrapped ring; with a head of 4 coordinates.
LOG_SCALES = [("fitted", 4, 2, (16, 600, 560), dict(recent=16, sinks=4, value_refine=32, copy_dtype="float16",
                                                    scale_dtype="log8", position_dtype="none")),
              ("fitted", 3, 3, (16, 600, 560), dict(key_group=32, scale_dtype="log8")),
              ("fitted", 2, 4, (5, 40, 90), dict(recent=4, sinks=3, scale_dtype="log8")),
              ("fitted", 4, 4, (4, 600, 530), dict(scale_dtype="log8"))]
# Dithered values, each pattern used many times: the recommended storage with refined values, their half cells
# read minus the dither too; key groups on a wrapped ring; values at 4 bits; a head of 3 coordinates.
DITHERED = [("fitted", 4, 2, (16, 600, 560), dict(recent=16, sinks=4, value_refine=32, copy_dtype="float16",
                                                   scale_dtype="log8", position_dtype="none", value_dither="uniform")),
            ("fitted", 3, 3, (5, 40, 90), dict(recent=4, sinks=3, key_group=16, value_dither="uniform")),
            ("fitted", 2, 4, (16, 600, 560), dict(value_dither="uniform")),
            ("fitted", 4, 2, (3, 40, 90), dict(value_refine=8, value_dither="uniform"))]

SCRIPT = textwrap.dedent(
    """
    import pickle, sys
    import numpy as np
    import kelvor_py
    from test_options import cases

    out = {}
    for tag, args, kwargs, keys, vals, queries in cases():
        ctx = kelvor_py.MHAContext(*args, **kwargs)
        for t in range(keys.shape[1]):
            ctx.append_heads(keys[:, t], vals[:, t], t)
        out[tag + "/single"] = np.stack([[ctx.compute(h, q) for q in queries] for h in range(2)])
        out[tag + "/batch"] = np.stack([ctx.compute_batch(h, queries) for h in range(2)])
        out[tag + "/heads"] = ctx.compute_heads(np.stack([queries, queries]))
        copy = pickle.loads(pickle.dumps(ctx))
        out[tag + "/restored"] = np.stack([copy.compute_batch(h, queries) for h in range(2)])
        out[tag + "/state"] = np.frombuffer(ctx.__getstate__(), np.uint8)
        prompt = kelvor_py.MHAContext(*args, **kwargs)
        prompt.append_heads(keys.swapaxes(0, 1), vals.swapaxes(0, 1), 0)
        out[tag + "/prompt"] = np.frombuffer(prompt.__getstate__(), np.uint8)
    np.savez(sys.argv[1], **out)
    """
)


def cases():
    """Every (tag, args, options, keys, vals, queries) the tests run, from fixed seeds."""
    for encoding in ("clip3", "fitted"):
        for bits in kelvor_py.CODE_WIDTHS:
            for shape in SHAPES:
                for recent, offset, sinks, storage in OPTIONS:
                    options = dict(recent=recent, value_bits=2 + (bits - 2 + offset) % 3, sinks=sinks, **storage)
                    yield one_case(encoding, bits, shape, options, [bits, shape[0], recent, offset, sinks])
    for encoding, bits, value_bits, shape, options in KEY_GROUPS + REFINED + LOG_SCALES + DITHERED:
        yield one_case(encoding, bits, shape, dict(value_bits=value_bits, **options), [bits, *shape])


def one_case(encoding, bits, shape, options, seed):
    hd, capacity, n = shape
    rng = np.random.default_rng(seed)
    keys = (rng.standard_normal((2, n, hd)) + 0.5).astype(np.float32)
    vals = (rng.standard_normal((2, n, hd)) - 0.3).astype(np.float32)
    if options.get("copy_dtype") == "float16":   # beyond the largest half, and among its subnormals
        vals[:, ::7, 0] *= 1e5
        keys[:, ::5, 1] *= 1e-6
    if options.get("scale_dtype") == "log8":   # scales 2^20 times larger or smaller than the rest saturate
        keys[:, 3::37] *= 2.0 ** 20
        vals[:, 5::41] *= 2.0 ** -20
        keys[:, 7::53] = 0.0
    queries = (2 * rng.standard_normal((3, hd))).astype(np.float32)
    tag = f"{encoding}_b{bits}_d{hd}_c{capacity}_n{n}_" + "_".join(f"{k}{v}" for k, v in options.items())
    return tag, (2, hd, bits, capacity, 9), dict(encoding=encoding, **options), keys, vals, queries


@pytest.fixture(scope="module")
def level_outputs(tmp_path_factory):
    results = {}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([os.path.dirname(__file__), os.environ.get("PYTHONPATH", "")]))
    for level in LEVELS:
        path = tmp_path_factory.mktemp("options") / f"{level}.npz"
        done = subprocess.run([sys.executable, "-c", SCRIPT, str(path)], capture_output=True, text=True, timeout=600,
                              env=dict(env, KELVOR_SIMD=level))
        if done.returncode != 0 and "KELVOR_SIMD" in done.stderr and "ImportError" in done.stderr:
            results[level] = done.stderr.strip().splitlines()[-1]
            continue
        assert done.returncode == 0, f"KELVOR_SIMD={level}:\n{done.stderr}"
        results[level] = dict(np.load(path))
    return results


@pytest.mark.parametrize("level", LEVELS)
def test_options_match_the_model_at_every_level(level_outputs, level):
    got = level_outputs[level]
    if isinstance(got, str):
        pytest.skip(f"KELVOR_SIMD={level} cannot run here: {got}")
    reference_state = level_outputs["scalar"]
    for tag, args, kwargs, keys, vals, queries in cases():
        model = km.ModelContext(*args, **kwargs)
        for h in range(2):
            model.extend(h, keys[h], vals[h])
        want = np.stack([model.compute_batch(h, queries) for h in range(2)])
        assert_matches(got[tag + "/single"], want, tag)
        # Within a level: batch rows, whole-layer rows and a restored copy answer bit for bit alike.
        for other in ("batch", "heads", "restored"):
            assert got[tag + "/" + other].tobytes() == got[tag + "/single"].tobytes(), f"{tag} {other}"
        # The stored bytes do not depend on the level, nor on whether the tokens came one by one.
        assert got[tag + "/state"].tobytes() == reference_state[tag + "/state"].tobytes(), tag
        assert got[tag + "/prompt"].tobytes() == got[tag + "/state"].tobytes(), tag
        if kwargs.get("scale_dtype") == "log8":   # the ranges placed: in each head's record, after the header
            header = 96 if got[tag + "/state"][8] >= 8 else 92
            records = got[tag + "/state"][header:header + 2 * 32].view(np.int16).reshape(2, 16)
            assert [tuple(r[14:16]) for r in records] == [h.scale_bases for h in model.heads], tag


@pytest.mark.parametrize("encoding", ["clip3", "fitted"])
def test_options_at_their_defaults_change_nothing(rng, encoding):
    keys, vals = (rng.standard_normal((700, 2, 8)).astype(np.float32) for _ in range(2))
    plain = MHAContext(2, 8, 3, 600, encoding=encoding)
    spelled = MHAContext(2, 8, 3, 600, encoding=encoding, recent=0, value_bits=3, sinks=0, copy_dtype="float32")
    for t in range(700):
        plain.append_heads(keys[t], vals[t], t)
        spelled.append_heads(keys[t], vals[t], t)
    assert plain.__getstate__() == spelled.__getstate__()
    assert repr(plain) == repr(spelled) and "recent" not in repr(plain)
    assert (spelled.recent, spelled.value_bits, spelled.sinks, spelled.copy_dtype) == (0, 3, 0, "float32")


def test_options_are_checked_shown_and_counted():
    for kwargs, message in [(dict(value_bits=5), "value_bits must be 2, 3 or 4, got 5"),
                            (dict(value_bits=0), "value_bits must be 2, 3 or 4, got 0"),
                            (dict(recent=-1), "recent must be between 0 and 4096, got -1"),
                            (dict(recent=4097), "recent must be between 0 and 4096, got 4097"),
                            (dict(sinks=513), "sinks must be between 0 and 512, got 513"),
                            (dict(copy_dtype="float64"), "copy_dtype must be 'float32' or 'float16', got 'float64'"),
                            (dict(scale_dtype="float16"),
                             "scale_dtype must be 'float32', 'bfloat16' or 'log8', got 'float16'"),
                            (dict(scale_dtype="log8"), "scale_dtype='log8' needs encoding='fitted', got 'clip3'"),
                            (dict(position_dtype="int64"), "position_dtype must be 'uint32' or 'none', got 'int64'"),
                            (dict(key_group=-1), "key_group must be between 0 and 256, got -1"),
                            (dict(key_group=257), "key_group must be between 0 and 256, got 257"),
                            (dict(value_refine=-1, encoding="fitted"),
                             "value_refine must be between 0 and 1048576, got -1"),
                            (dict(value_refine=8), "value_refine needs encoding='fitted', got 'clip3'"),
                            (dict(value_refine=8, encoding="fitted", value_bits=4),
                             "value_refine needs values of 2 or 3 bits, got 4"),
                            (dict(value_dither="uniform"), "value_dither='uniform' needs encoding='fitted', got 'clip3'"),
                            (dict(value_dither="gaussian", encoding="fitted"),
                             "value_dither must be 'none' or 'uniform', got 'gaussian'")]:
        with pytest.raises(ValueError, match=f"^{message}$"):
            MHAContext(1, 8, 3, 16, **kwargs)
    ctx = MHAContext(2, 64, 4, 100, encoding="fitted", recent=32, value_bits=2, sinks=4)
    assert repr(ctx).endswith("encoding='fitted', recent=32, value_bits=2, sinks=4)")
    assert (ctx.recent, ctx.value_bits, ctx.sinks) == (32, 2, 4)
    ones = np.ones((2, 64), np.float32)
    for t in range(10):
        ctx.append_heads(ones * t, ones, t)
    assert ctx.kv_bytes() == 2 * 10 * (32 + 16)  # keys at 4 bits, values at 2
    assert pickle.loads(pickle.dumps(ctx)).__repr__() == repr(ctx)
    # float16 copies: two bytes less per element of each of the 32 recent tokens and 4 sinks of both heads, and
    # nothing else; saved as format version 3, float32 ones as version 2.
    half = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4, copy_dtype="float16")
    full = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4)
    # bfloat16 scales and no positions: two bytes less per key and value scale and four per position, held
    # (the ring of 1,000 slots the appends grew) and saved (600 tokens), as format version 4.
    brain = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4, copy_dtype="float16",
                       scale_dtype="bfloat16", position_dtype="none")
    grouped = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4, key_group=32)
    refined = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4, value_refine=256)
    dithered = MHAContext(2, 64, 4, 1000, encoding="fitted", recent=32, value_bits=2, sinks=4, value_refine=256,
                          value_dither="uniform")
    assert repr(half).endswith("sinks=4, copy_dtype='float16')") and half.copy_dtype == "float16"
    assert repr(brain).endswith("copy_dtype='float16', scale_dtype='bfloat16', position_dtype='none')")
    assert (brain.scale_dtype, brain.position_dtype, half.position_dtype) == ("bfloat16", "none", "uint32")
    for t in range(600):
        half.append_heads(ones * t, ones, t)
        full.append_heads(ones * t, ones, t)
        brain.append_heads(ones * t, ones, t)
        grouped.append_heads(ones * t, ones, t)
        refined.append_heads(ones * t, ones, t)
        dithered.append_heads(ones * t, ones, t)
    assert full.memory_bytes() - half.memory_bytes() == 2 * (32 + 4) * 2 * 64 * 2
    assert half.memory_bytes() - brain.memory_bytes() == 2 * ((2 + 2 + 4) * 1000 + 64)   # and the positions' guard line
    assert len(half.__getstate__()) - len(brain.__getstate__()) == 2 * (2 + 2 + 4) * 600 - 8   # its header: 8 more
    assert (brain.__getstate__()[8], half.__getstate__()[8], full.__getstate__()[8]) == (4, 3, 2)
    # Key groups: per head, a group's waiting keys (float32) and an offset (bfloat16) for each of the
    # ceil(1000 / 32) + 1 groups the ring spans, each buffer with its allocation's line; saved as version 5, the
    # 600 % 32 keys waiting and the 19 offsets begun.
    assert repr(grouped).endswith("sinks=4, key_group=32)") and (grouped.key_group, full.key_group) == (32, 0)
    assert grouped.memory_bytes() - full.memory_bytes() == 2 * ((32 * 64 * 4 + 64) + (33 * 64 * 2 + 64))
    assert len(grouped.__getstate__()) - len(full.__getstate__()) == 8 + 2 * (24 * 64 * 4 + 19 * 64 * 2)
    assert grouped.__getstate__()[8] == 5 and pickle.loads(pickle.dumps(grouped)).key_group == 32
    # Refined values: per head a bit per coordinate of the 256 refined and the 32 recent tokens, held and saved
    # whole, as version 6 (a header 4 bytes longer).
    assert repr(refined).endswith("sinks=4, value_refine=256)") and refined.value_refine == 256
    assert refined.memory_bytes() - full.memory_bytes() == 2 * (288 * 8 + 64)
    assert len(refined.__getstate__()) - len(full.__getstate__()) == 12 + 2 * 288 * 8
    assert refined.__getstate__()[8] == 6 and pickle.loads(pickle.dumps(refined)).value_refine == 256
    # Dithered values: the same memory (the patterns are shared tables), saved as version 8 (4 header bytes more).
    assert repr(dithered).endswith("value_refine=256, value_dither='uniform')") and refined.value_dither == "none"
    assert dithered.memory_bytes() == refined.memory_bytes()
    assert len(dithered.__getstate__()) - len(refined.__getstate__()) == 4
    assert dithered.__getstate__()[8] == 8 and pickle.loads(pickle.dumps(dithered)).value_dither == "uniform"


def saved_states(version, count, shapes):
    """(tag, saved state, its answers, the fresh context the state was saved from, queries)
    for every case of a fixture of old states; shapes maps a case name to
    (head_dim, capacity, appends, options)."""
    saved = np.load(os.path.join(os.path.dirname(__file__), "data", f"states_v{version}.npz"))
    tags = sorted({k.split("/")[0] for k in saved})
    assert len(tags) == count
    for tag in tags:
        encoding, bits, name = tag.split("_", 2)
        hd, cap, n, options = shapes[name]
        rng = np.random.default_rng([int(bits), hd, cap, n])
        fresh = MHAContext(2, hd, int(bits), cap, seed=5, encoding=encoding, **options)
        for t in range(n):
            fresh.append_heads(rng.standard_normal((2, hd)).astype(np.float32) + 0.3,
                               rng.standard_normal((2, hd)).astype(np.float32) - 0.2, t)
        queries = rng.standard_normal((2, 3, hd)).astype(np.float32)
        yield tag, saved[tag + "/state"].tobytes(), saved[tag + "/answers"].astype(np.float64), fresh, queries


def test_version_2_states_load_and_save_unchanged():
    """States saved with the options before float16 copies existed."""
    shapes = {"exact": (6, 64, 40, dict(recent=8, sinks=2)),
              "wrapped": (16, 24, 100, dict(recent=4, sinks=3, value_bits=2)),
              "past_window": (3, 600, 530, dict(recent=16, sinks=4))}
    for tag, state, answers, fresh, queries in saved_states(2, 18, shapes):
        old = pickle.loads(pickle.dumps(kelvor_py._restore(state)))
        assert old.__getstate__() == state == fresh.__getstate__(), tag
        assert old.compute_heads(queries).tobytes() == fresh.compute_heads(queries).tobytes(), tag
        assert_matches(old.compute_heads(queries), answers, tag)


def test_version_1_states_load_and_answer_as_a_fresh_context():
    """States saved before the options existed (kept their whole first 512 tokens)."""
    shapes = {"empty": (5, 24, 0, {}), "exact": (6, 64, 40, {}), "wrapped": (16, 24, 100, {}),
              "past_window": (3, 600, 530, {})}
    for tag, state, answers, fresh, queries in saved_states(1, 24, shapes):
        old = MHAContext.__new__(MHAContext)
        old.__setstate__(state)
        assert old.__getstate__() == fresh.__getstate__(), tag
        assert old.compute_heads(queries).tobytes() == fresh.compute_heads(queries).tobytes(), tag
        assert_matches(old.compute_heads(queries), answers, tag)
