"""Module, constructor, properties and lifetime of MHAContext."""
import gc
import importlib
import inspect
import os
import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_py
from kelvor_py import MHAContext

DOC = "Kelvor \u2014 Quantized KV-cache attention, Python bindings"
PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * PAGE


def random_tokens(rng, count, head_dim):
    keys = rng.standard_normal((count, head_dim)).astype(np.float32)
    vals = rng.standard_normal((count, head_dim)).astype(np.float32)
    return keys, vals


def fill(ctx, head, keys, vals):
    for t, (k, v) in enumerate(zip(keys, vals)):
        ctx.append(head, k, v, t)


def reference_attention(query, keys, vals):
    q = query.astype(np.float64)
    k = keys.astype(np.float64)
    v = vals.astype(np.float64)
    s = k @ q / np.sqrt(q.shape[0])
    w = np.exp(s - s.max())
    return (w / w.sum()) @ v


# --- module -----------------------------------------------------------------


class TestModule:
    def test_doc_exact_text_and_utf8_length(self):
        assert kelvor_py.__doc__ == DOC
        assert len(kelvor_py.__doc__.encode("utf-8")) == 56
        assert "\u2014" in kelvor_py.__doc__

    def test_only_the_class_and_the_widths_are_public(self):
        # Pure-Python submodules (kelvor_py.sessions) appear here once another test has imported them.
        public = [n for n in dir(kelvor_py) if not n.startswith("_") and not inspect.ismodule(getattr(kelvor_py, n))]
        assert public == ["CODE_WIDTHS", "MHAContext"]

    def test_reimport_gives_same_module_and_class(self):
        module, cls = kelvor_py, kelvor_py.MHAContext
        saved = sys.modules.pop("kelvor_py")
        try:
            again = importlib.import_module("kelvor_py")
        finally:
            sys.modules["kelvor_py"] = saved
        assert again is module
        assert again.MHAContext is cls
        assert again.__doc__ == DOC

    def test_members_have_only_generated_signatures(self):
        assert MHAContext.reset.__doc__.strip() == "reset(self: kelvor_py.MHAContext) -> None"
        assert MHAContext.kv_bytes.__doc__.strip() == "kv_bytes(self: kelvor_py.MHAContext) -> int"


# --- constructor --------------------------------------------------------------


class TestConstructorDefaults:
    def test_positional_four_settings(self):
        ctx = MHAContext(2, 64, 3, 128)
        assert (ctx.n_heads, ctx.head_dim, ctx.kv_bytes()) == (2, 64, 0)
        assert type(ctx.n_heads) is int and type(ctx.head_dim) is int

    def test_signature_shows_defaults(self):
        sig = MHAContext.__init__.__doc__
        # The seven settings stay positional; later options are keyword-only, after the '*'.
        positional, _, keyword_only = sig.split("(", 1)[1].partition(", *,")
        names = re.findall(r"(\w+): [^,=)]+", positional)
        assert names == ["self", "n_heads", "head_dim", "bits", "capacity", "seed", "v_mass", "hybrid_thresh"]
        assert re.findall(r"(\w+): [^,=)]+", keyword_only) == ["threads", "encoding", "recent", "value_bits", "sinks",
                                                                  "copy_dtype", "scale_dtype", "position_dtype",
                                                                  "key_group", "value_refine", "value_dither"]
        assert re.search(r"\bhybrid_thresh: [^,=]+ = 512, \*, threads: [^,=]+ = 1, encoding: str = 'clip3'[,)]", sig)
        # The float32 0.95 widened to double, not the literal 0.95.
        assert re.search(r"\bv_mass: [^,=]+ = 0\.949999988079071[,)]", sig)
        assert re.search(r"\bseed: [^,=]+ = 0[,)]", sig)
        assert re.search(r"\bhybrid_thresh: [^,=]+ = 512[,)]", sig)
        for required in ("n_heads", "head_dim", "bits", "capacity"):
            assert re.search(rf"\b{required}: [^,=]+,", sig)

    def test_defaults_behave_like_explicit_values(self, rng):
        # seed is observable on the quantized path: the default must be seed 0.
        keys, vals = random_tokens(rng, 40, 64)
        q = rng.standard_normal(64).astype(np.float32)
        implicit = MHAContext(2, 64, 3, 16)
        explicit = MHAContext(2, 64, 3, 16, seed=0, v_mass=np.float32(0.95), hybrid_thresh=512)
        other_seed = MHAContext(2, 64, 3, 16, seed=1)
        for c in (implicit, explicit, other_seed):
            fill(c, 1, keys, vals)
        a = implicit.compute(1, q)
        assert np.array_equal(a, explicit.compute(1, q))
        assert not np.array_equal(a, other_seed.compute(1, q))

    def test_keywords(self):
        ctx = MHAContext(n_heads=1, head_dim=8, bits=2, capacity=16, hybrid_thresh=0)
        assert (ctx.n_heads, ctx.head_dim) == (1, 8)
        ctx = MHAContext(capacity=16, bits=4, head_dim=5, n_heads=3, v_mass=0.5, seed=7)
        assert (ctx.n_heads, ctx.head_dim) == (3, 5)


class TestConstructorConversion:
    @pytest.mark.parametrize("seed", [-1, 2**64, -(2**63)])
    def test_seed_outside_uint64_is_type_error(self, seed):
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            MHAContext(1, 8, 2, 16, seed=seed)

    def test_seed_extremes_accepted(self):
        for seed in (0, 1, 2**63, 2**64 - 1):
            assert MHAContext(1, 8, 2, 16, seed=seed).n_heads == 1

    @pytest.mark.parametrize("field", ["n_heads", "head_dim", "bits", "capacity", "hybrid_thresh", "threads"])
    @pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2.0, "2", None])
    def test_int32_settings_refuse(self, field, value):
        args = dict(n_heads=1, head_dim=8, bits=2, capacity=16)
        args[field] = value
        with pytest.raises(TypeError, match="incompatible constructor arguments"):
            MHAContext(**args)

    def test_v_mass_accepts_int_and_numpy(self):
        for v in (1, 0, np.float32(0.5), np.float64(2.5), np.int8(3)):
            assert MHAContext(1, 8, 2, 16, v_mass=v).head_dim == 8
        with pytest.raises(TypeError):
            MHAContext(1, 8, 2, 16, v_mass="0.9")

    def test_numpy_integers_accepted(self):
        ctx = MHAContext(np.int64(3), np.int32(16), np.int16(4), np.uint8(32),
                         seed=np.uint64(2**64 - 1), v_mass=np.float32(0.9), hybrid_thresh=np.int64(-1))
        assert (ctx.n_heads, ctx.head_dim) == (3, 16)
        assert type(ctx.n_heads) is int

    def test_numpy_integer_out_of_range_refused(self):
        with pytest.raises(TypeError):
            MHAContext(np.int64(2**31), 8, 2, 16)
        with pytest.raises(TypeError):
            MHAContext(1, 8, 2, 16, seed=np.int64(-1))


class TestConstructorValidation:
    @pytest.mark.parametrize(
        "args, message",
        [
            ((0, 8, 2, 16), "n_heads must be at least 1, got 0"),
            ((-1, 8, 2, 16), "n_heads must be at least 1, got -1"),
            ((-(2**31), 8, 2, 16), "n_heads must be at least 1, got -2147483648"),
            ((1, 0, 2, 16), "head_dim must be between 1 and 1024, got 0"),
            ((1, -7, 2, 16), "head_dim must be between 1 and 1024, got -7"),
            ((1, 1025, 2, 16), "head_dim must be between 1 and 1024, got 1025"),
            ((1, 8, 1, 16), "bits must be 2, 3 or 4, got 1"),
            ((1, 8, 5, 16), "bits must be 2, 3 or 4, got 5"),
            ((1, 8, -3, 16), "bits must be 2, 3 or 4, got -3"),
            ((1, 8, 2, 0), "capacity must be between 1 and 1048576, got 0"),
            ((1, 8, 2, -16), "capacity must be between 1 and 1048576, got -16"),
            ((1, 8, 2, 1048577), "capacity must be between 1 and 1048576, got 1048577"),
            ((4, 128, 3, 2**31 - 1), "capacity must be between 1 and 1048576, got 2147483647"),
        ],
    )
    def test_value_error_names_setting_value_and_range(self, args, message):
        with pytest.raises(ValueError) as info:
            MHAContext(*args)
        assert str(info.value) == message

    def test_code_widths_are_exactly_the_widths_taken(self):
        widths = kelvor_py.CODE_WIDTHS
        assert type(widths) is tuple and list(widths) == sorted(set(widths))
        named = ", ".join(map(str, widths[:-1])) + " or " + str(widths[-1])
        for bits in range(-1, 10):
            if bits in widths:
                ctx = MHAContext(1, 8, bits, 4, value_bits=bits)
                assert (ctx.bits, ctx.value_bits) == (bits, bits)
            else:
                with pytest.raises(ValueError, match=f"^bits must be {named}, got {bits}$"):
                    MHAContext(1, 8, bits, 4)

    @pytest.mark.parametrize("threads", [0, -1, -(2**31)])
    def test_threads_below_one_is_value_error(self, threads):
        with pytest.raises(ValueError) as info:
            MHAContext(2, 8, 2, 16, threads=threads)
        assert str(info.value) == f"threads must be at least 1, got {threads}"

    def test_first_bad_setting_is_reported(self):
        with pytest.raises(ValueError, match="^n_heads "):
            MHAContext(0, 0, 0, 0)
        with pytest.raises(ValueError, match="^bits "):
            MHAContext(1, 8, 9, 0)

    def test_range_limits_accepted(self):
        assert MHAContext(1, 1, 2, 1).head_dim == 1
        assert MHAContext(1, 1024, 4, 1).head_dim == 1024
        ctx = MHAContext(1, 1, 2, 1048576)
        ctx.append(0, [1.0], [2.0], 0)
        assert ctx.kv_bytes() == 2

    def test_v_mass_and_hybrid_thresh_not_range_checked(self):
        for v, h in ((-1.0, -5), (1e30, 2**31 - 1), (float("nan"), -(2**31)), (float("inf"), 0)):
            assert MHAContext(1, 8, 2, 16, v_mass=v, hybrid_thresh=h).n_heads == 1

    def test_failed_construction_leaks_nothing(self, resident_memory):
        bad = [(0, 128, 3, 4096), (4, 2000, 3, 4096), (4, 128, 7, 4096), (4, 128, 3, 2**21), (-4, -128, 3, 4096)]

        def churn(rounds):
            for _ in range(rounds):
                for args in bad:
                    try:
                        MHAContext(*args)
                    except ValueError:
                        pass
                    else:
                        raise AssertionError(f"{args} was accepted")

        churn(500)
        gc.collect()
        before = rss_bytes()
        churn(4000)
        gc.collect()
        assert rss_bytes() - before < 4 << 20

    def test_memory_error_midway_releases_built_heads(self, resident_memory):
        # Under an address-space limit a 64-head context runs out of memory after a
        # few heads of about 25 MB each; those heads must be released again. Large
        # blocks are forced onto mmap so that freed memory leaves the address space
        # and a leak shows in the process size.
        script = textwrap.dedent(
            """
            import resource
            import kelvor_py
            import numpy

            def vm_bytes():
                with open("/proc/self/statm") as f:
                    return int(f.read().split()[0]) * resource.getpagesize()

            limit = vm_bytes() + (160 << 20)
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
            kelvor_py.MHAContext(1, 8, 2, 16)
            before = vm_bytes()
            for _ in range(3):
                try:
                    kelvor_py.MHAContext(64, 1024, 4, 20000)
                except MemoryError:
                    pass
                else:
                    raise SystemExit("64 heads fitted under the limit")
            grown = vm_bytes() - before
            ctx = kelvor_py.MHAContext(4, 1024, 4, 20000)
            assert ctx.n_heads == 4
            del ctx
            print(grown)
            """
        )
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", MALLOC_MMAP_THRESHOLD_="131072")
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=120)
        assert done.returncode == 0, done.stderr
        assert int(done.stdout) < 8 << 20


# --- properties and state ----------------------------------------------------


class TestPropertiesAndState:
    def test_properties_read_only(self):
        ctx = MHAContext(3, 32, 2, 8, threads=4)
        for name in ("n_heads", "head_dim", "bits", "capacity", "threads", "encoding"):
            with pytest.raises(AttributeError):
                setattr(ctx, name, 5)
            with pytest.raises(AttributeError):
                delattr(ctx, name)
        assert (ctx.n_heads, ctx.head_dim, ctx.bits, ctx.capacity, ctx.threads) == (3, 32, 2, 8, 4)
        assert all(type(getattr(ctx, n)) is int for n in ("bits", "capacity", "threads"))

    def test_repr_shows_every_setting(self):
        assert repr(MHAContext(3, 32, 2, 8)) == (
            "MHAContext(n_heads=3, head_dim=32, bits=2, capacity=8, seed=0, v_mass=0.95, hybrid_thresh=512, threads=1,"
            " encoding='clip3')")
        assert repr(MHAContext(1, 5, 4, 1, seed=2**64 - 1, v_mass=1e-3, hybrid_thresh=-7, threads=3,
                               encoding="fitted")) == (
            "MHAContext(n_heads=1, head_dim=5, bits=4, capacity=1, seed=18446744073709551615, v_mass=0.001,"
            " hybrid_thresh=-7, threads=3, encoding='fitted')")

    def test_no_instance_dict(self):
        ctx = MHAContext(1, 8, 2, 16)
        with pytest.raises(AttributeError):
            ctx.bits = 3
        with pytest.raises(AttributeError):
            ctx.something_else = 1
        assert not hasattr(ctx, "__dict__")
        assert not hasattr(ctx, "something_else")

    def test_kv_bytes_new_appends_reset(self, rng):
        ctx = MHAContext(2, 64, 3, 128)
        assert ctx.kv_bytes() == 0
        keys, vals = random_tokens(rng, 5, 64)
        fill(ctx, 0, keys, vals)
        fill(ctx, 1, keys[:3], vals[:3])
        # 64 coordinates at 3 bits: 24 bytes per vector, key and value per token.
        assert ctx.kv_bytes() == 8 * 24 * 2
        assert ctx.reset() is None
        assert ctx.kv_bytes() == 0
        assert (ctx.n_heads, ctx.head_dim) == (2, 64)
        q = rng.standard_normal(64).astype(np.float32)
        assert np.array_equal(ctx.compute(0, q), np.zeros(64, np.float32))
        ctx.reset()
        assert ctx.kv_bytes() == 0

    def test_reset_then_refill_matches_fresh_context(self, rng):
        keys, vals = random_tokens(rng, 30, 16)
        other_keys, other_vals = random_tokens(rng, 30, 16)
        q = rng.standard_normal(16).astype(np.float32)
        used = MHAContext(1, 16, 3, 8, seed=5)
        fill(used, 0, other_keys, other_vals)
        used.reset()
        fill(used, 0, keys, vals)
        fresh = MHAContext(1, 16, 3, 8, seed=5)
        fill(fresh, 0, keys, vals)
        assert used.kv_bytes() == fresh.kv_bytes() == 8 * 6 * 2
        assert np.array_equal(used.compute(0, q), fresh.compute(0, q))

    def test_create_and_drop_does_not_grow_rss(self, rng, resident_memory):
        key = rng.standard_normal(128).astype(np.float32)

        def churn(count):
            for _ in range(count):
                ctx = MHAContext(4, 128, 3, 4096)
                for h in range(4):
                    ctx.append(h, key, key, 0)
                del ctx

        churn(50)
        gc.collect()
        before = rss_bytes()
        for _ in range(10):
            # Each context touches about 2 MB, so a leak shows within one round.
            churn(100)
            assert rss_bytes() - before < 8 << 20


# --- settings that must and must not change answers -----------------------------


class TestSettingsEffect:
    HD = 48

    def _answers(self, rng_seed, tokens, **settings):
        rng = np.random.default_rng(rng_seed)
        keys, vals = random_tokens(rng, tokens, self.HD)
        queries = rng.standard_normal((3, self.HD)).astype(np.float32)
        ctx = MHAContext(2, self.HD, 3, 32, **settings)
        fill(ctx, 1, keys, vals)
        single = np.stack([ctx.compute(1, q) for q in queries])
        return single, ctx.compute_batch(1, queries), (keys, vals, queries)

    @pytest.mark.parametrize("tokens", [20, 100])  # exact path, then quantized ring
    def test_v_mass_and_hybrid_thresh_change_nothing(self, tokens):
        base_single, base_batch, _ = self._answers(9, tokens, seed=3)
        for settings in ({"v_mass": 0.1}, {"v_mass": 1}, {"hybrid_thresh": 0}, {"hybrid_thresh": 1},
                         {"v_mass": -2.0, "hybrid_thresh": 2**31 - 1}):
            single, batch, _ = self._answers(9, tokens, seed=3, **settings)
            assert np.array_equal(single, base_single), settings
            assert np.array_equal(batch, base_batch), settings

    def test_seed_does_not_change_exact_answers(self):
        base, base_batch, (keys, vals, queries) = self._answers(11, 20, seed=0)
        for q, row in zip(queries, base):
            np.testing.assert_allclose(row, reference_attention(q, keys, vals), rtol=1e-4, atol=1e-5)
        for seed in (1, 12345, 2**64 - 1):
            single, batch, _ = self._answers(11, 20, seed=seed)
            assert np.array_equal(single, base)
            assert np.array_equal(batch, base_batch)

    def test_seed_changes_quantized_answers(self):
        answers = [self._answers(11, 100, seed=s)[0] for s in (0, 1, 12345, 2**64 - 1)]
        for i in range(len(answers)):
            for j in range(i + 1, len(answers)):
                assert not np.array_equal(answers[i], answers[j])
        again = self._answers(11, 100, seed=12345)[0]
        assert np.array_equal(again, answers[2])
