"""The perplexity benchmark's decoder loop and storage figures, on a tiny random decoder (no model file needed)."""
import math

import numpy as np
import pytest

import kelvor_py
from kelvor_py.models import smollm2

import kv_caches
import perplexity


def tiny_model(rng, interleaved=True, tied=True):
    # Two key/value heads, so a query head reading the wrong one shows.
    cfg = smollm2.Config(n_layers=2, d_model=64, n_heads=4, n_kv_heads=2, head_dim=16, d_ff=96, vocab=50,
                         eps=1e-5, rope_base=10000.0, rope_interleaved=interleaved)

    def w(*shape):
        return (rng.standard_normal(shape) / math.sqrt(shape[0])).astype(np.float32)

    def norm():
        return (1 + 0.2 * rng.standard_normal(cfg.d_model)).astype(np.float32)

    d, kv, ff = cfg.d_model, cfg.n_kv_heads * cfg.head_dim, cfg.d_ff
    layers = [smollm2.Layer(norm(), 2 * w(d, d), 2 * w(d, kv), w(d, kv), w(d, d), norm(), w(d, ff), w(d, ff), w(ff, d))
              for _ in range(cfg.n_layers)]
    return smollm2.Model(cfg, w(cfg.vocab, d), layers, norm(), None if tied else w(cfg.vocab, d))


def token_by_token_logits(model, tokens):
    """One token at a time in float64: rotary as complex multiplication, attention per query head."""
    cfg = model.config
    d, group = cfg.head_dim, cfg.n_heads // cfg.n_kv_heads
    freqs = cfg.rope_base ** (-np.arange(0, d, 2) / d)

    def rms(x, wt):
        return x / np.sqrt(np.mean(x * x) + cfg.eps) * wt

    def rotate(x, pos):  # x (heads, d)
        if cfg.rope_interleaved:
            z = (x[:, 0::2] + 1j * x[:, 1::2]) * np.exp(1j * pos * freqs)
            return np.stack([z.real, z.imag], axis=-1).reshape(x.shape)
        z = (x[:, :d // 2] + 1j * x[:, d // 2:]) * np.exp(1j * pos * freqs)
        return np.concatenate([z.real, z.imag], axis=-1)

    keys, vals = [[] for _ in model.layers], [[] for _ in model.layers]
    out = []
    for pos, token in enumerate(tokens):
        x = model.embed[token].astype(np.float64)
        for i, layer in enumerate(model.layers):
            h = rms(x, layer.attn_norm)
            q = rotate((h @ layer.wq).reshape(cfg.n_heads, d), pos)
            keys[i].append(rotate((h @ layer.wk).reshape(cfg.n_kv_heads, d), pos))
            vals[i].append((h @ layer.wv).reshape(cfg.n_kv_heads, d))
            k, v = np.array(keys[i]), np.array(vals[i])         # (tokens so far, kv heads, d)
            heads = []
            for head in range(cfg.n_heads):
                scores = k[:, head // group] @ q[head] / math.sqrt(d)
                p = np.exp(scores - scores.max())
                heads.append(p / p.sum() @ v[:, head // group])
            x = x + np.concatenate(heads) @ layer.wo
            h = rms(x, layer.ffn_norm)
            gate = h @ layer.w_gate
            x = x + (gate / (1 + np.exp(-gate)) * (h @ layer.w_up)) @ layer.w_down
        out.append(rms(x, model.out_norm) @ model.unembed.T)
    return np.array(out)


def float32_caches(cfg, capacity):
    return [kv_caches.Float32Cache(cfg.n_kv_heads, cfg.head_dim, capacity) for _ in range(cfg.n_layers)]


@pytest.mark.parametrize("interleaved, tied", [(True, True), (False, False)])
def test_layerwise_forward_equals_token_by_token_decoding(rng, interleaved, tied):
    """All tokens at once per layer, a prompt then single tokens, and plain decoding give the same logits."""
    model = tiny_model(rng, interleaved, tied)
    tokens = rng.integers(0, model.config.vocab, 40)
    want = token_by_token_logits(model, tokens)
    whole = smollm2.logits(model, smollm2.forward(model, tokens, float32_caches(model.config, 40)))
    caches = float32_caches(model.config, 40)
    parts = [smollm2.forward(model, tokens[:25], caches, keep_from=10)]
    parts += [smollm2.forward(model, tokens[t:t + 1], caches, start=t) for t in range(25, 40)]
    pieces = smollm2.logits(model, np.concatenate(parts))
    scale = np.abs(want).max()
    assert np.abs(whole - want).max() < 1e-5 * scale
    assert np.abs(pieces - whole[10:]).max() < 1e-5 * scale


@pytest.mark.parametrize("encoding, bits", [("clip3", 2), ("fitted", 2), ("fitted", 4)])
def test_library_cache_is_exact_below_its_window(rng, encoding, bits):
    model = tiny_model(rng)
    cfg = model.config
    tokens = rng.integers(0, cfg.vocab, 200)
    ctxs = [kelvor_py.MHAContext(cfg.n_kv_heads, cfg.head_dim, bits, 256, seed=i, encoding=encoding)
            for i in range(cfg.n_layers)]
    got = smollm2.logits(model, smollm2.forward(model, tokens, ctxs))
    want = smollm2.logits(model, smollm2.forward(model, tokens, float32_caches(cfg, 200)))
    np.testing.assert_allclose(got, want, rtol=0, atol=2e-5 * np.abs(want).max())


def test_scores_match_float64_distributions(rng):
    """Target log-likelihood, KL(reference || row) and top-token agreement, across chunk boundaries."""
    model = tiny_model(rng, tied=False)
    row, ref = (3 * rng.standard_normal((2, 11, model.config.d_model))).astype(np.float32)
    ref[:4] = row[:4]                                     # some positions agree exactly
    targets = rng.integers(0, model.config.vocab, 11)
    nll, kl, same = perplexity.score(model, row, perplexity.log_probs(model, ref, chunk=4), targets, chunk=4)

    def log_p(h):
        z = h.astype(np.float64) @ model.output.T.astype(np.float64)
        z -= z.max(axis=1, keepdims=True)
        return z - np.log(np.exp(z).sum(axis=1, keepdims=True))

    lp_row, lp_ref = log_p(row), log_p(ref)
    np.testing.assert_allclose(nll, -lp_row[np.arange(11), targets], rtol=1e-5)
    np.testing.assert_allclose(kl, np.sum(np.exp(lp_ref) * (lp_ref - lp_row), axis=1), rtol=1e-4, atol=1e-6)
    assert np.all(kl[:4] < 1e-6) and np.all(kl[4:] > 1e-3)
    assert same.tolist() == (lp_row.argmax(axis=1) == lp_ref.argmax(axis=1)).tolist()


# Hand counts at head_dim 64, per key/value element of the text (2 x tokens x 64).
@pytest.mark.parametrize("figure, expected", [
    (kv_caches.PEERS["int8 blocks of 32"][1](64, 100), 8 + 2 * 16 / 64),
    (kv_caches.PEERS["int4 blocks of 32, zero point"][1](64, 100), 4 + 2 * 32 / 64),
    # 100 tokens: 3 key groups coded (96 tokens), 4 float16 keys; every value coded with a scale and zero point.
    (kv_caches.PEERS["KIVI-like 2-bit"][1](64, 100),
     (96 * 64 * 2 + 3 * 64 * 32 + 4 * 64 * 16 + 100 * (64 * 2 + 32)) / (2 * 100 * 64)),
    # 128 recent tokens of 2048: 60 key groups and 1920 values coded (a scale and zero point per 32 channels),
    # 128 of each in float16.
    (kv_caches.PEERS["KIVI-like 4-bit, values per 32 channels, recent 128"][1](64, 2048),
     (1920 * 64 * 4 + 60 * 64 * 32 + 128 * 64 * 16 + 1920 * (64 * 4 + 2 * 32) + 128 * 64 * 16) / (2 * 2048 * 64)),
    # Fitted 3-bit at 2048 tokens: codes, two scales and a position per token, 4 sinks and 32 recent at float32.
    (kv_caches.library_bits_per_element(64, 2048, bits=3, capacity=4096, sinks=4, recent=32, encoding="fitted"),
     (2048 * (64 * 6 + 96) + 36 * 128 * 32 + 3 * 64 * 32) / (2 * 2048 * 64)),
    # The same with float16 copies.
    (kv_caches.library_bits_per_element(64, 2048, bits=3, capacity=4096, sinks=4, recent=32, encoding="fitted",
                                        copy_dtype="float16"),
     (2048 * (64 * 6 + 96) + 36 * 128 * 16 + 3 * 64 * 32) / (2 * 2048 * 64)),
    # A ring of 1024 keys/values 4/2 bits over 2048 tokens holds half of them.
    (kv_caches.library_bits_per_element(64, 2048, bits=4, capacity=1024, value_bits=2),
     1024 * (64 * 6 + 96) / (2 * 2048 * 64)),
    # 300 tokens, still exact: a clip3 head holds codes and the start-up window.
    (kv_caches.library_bits_per_element(100, 300, bits=2, capacity=4096),
     300 * (128 * 4 + 96 + 2 * 100 * 32) / (2 * 300 * 100)),
])
def test_bits_per_element_hand_counts(figure, expected):
    assert figure == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("bits, window, tokens, group", [(2, 0, 100, None), (4, 32, 100, 8), (2, 128, 64, None)])
def test_kivi_cache_holds_in_float16_what_it_counts_as_float16(rng, bits, window, tokens, group):
    cache = kv_caches.KiviCache(2, 16, tokens, bits, window, group)
    k, v = rng.standard_normal((2, tokens, 2, 16)).astype(np.float32)
    for t in range(tokens):
        cache.append_heads(k[t], v[t], t)
    float_keys = np.all(cache.keys_t.transpose(2, 0, 1) == k.astype(np.float16), axis=(1, 2))
    float_vals = np.all(cache.vals.transpose(1, 0, 2) == v.astype(np.float16), axis=(1, 2))
    n_keys, n_vals = kv_caches.kivi_float_tokens(tokens, window)
    assert float_keys.tolist() == [t >= tokens - n_keys for t in range(tokens)]
    assert float_vals.tolist() == [t >= tokens - n_vals for t in range(tokens)]


def test_rows_hold_the_ring_they_name():
    """Half the text, a fixed ring, or room above the text; a fixed ring not smaller than the text is no ring."""
    rows = {r.name: r for r in perplexity.all_rows()}
    half = rows["kelvor fitted 3-bit, ring of half the text + sinks 4"]
    fixed = rows["kelvor fitted k3/v2, ring of 2048 + recent 64 + sinks 4, float16 copies"]
    full = rows["kelvor fitted k3/v2 + recent 64 + sinks 4, float16 copies"]
    assert [(r.capacity(8192), r.fits(2048), r.fits(8192)) for r in (half, fixed, full)] == [
        (4096, True, True), (2048, False, True), (16384, True, True)]
    # The long-context run keeps each ring beside the same row at full capacity.
    assert {r.name for r in rows.values() if r.long_context} == {
        "float32", *perplexity.RECOMMENDED, fixed.name, full.name, "kelvor fitted 4-bit, ring of 2048 + recent 64 + "
        "sinks 4, float16 copies", "kelvor fitted 4-bit + recent 64 + sinks 4, float16 copies",
        *(n for n in rows if "values per 32 channels" in n)}


# (option, its value, what the count adds per element: 2 x 16 (bfloat16) or 2 x 24 (one byte) bits of scales
# per token over 2 x 64 elements less; 32 waiting float32 keys and 1024 / 32 + 1 bfloat16 offsets of 64 per head over 2 x 1024 x 64 more; a
# half-cell bit per coordinate of the 256 refined and 8 recent tokens), and the heap blocks' alignment the count
# leaves out (64 bytes for each of the two key-group arrays and for the half-cell bits).
@pytest.mark.parametrize("option, value, counted_change, padding", [
    ("scale_dtype", "bfloat16", -0.25, 0.0),
    ("scale_dtype", "log8", -0.375, 0.0),
    ("key_group", 32, (32 * 64 * 32 + 33 * 64 * 16) / (2 * 1024 * 64), 2 * 64 * 8 / (2 * 1024 * 64)),
    ("value_refine", 256, (256 + 8) * 64 / (2 * 1024 * 64), 64 * 8 / (2 * 1024 * 64)),
])
def test_memory_bytes_changes_by_what_the_count_says(rng, option, value, counted_change, padding):
    """memory_bytes() moves by what library_bits_per_element() adds or takes off for a storage option (at a
    power-of-two length, where the module's storage is exactly full)."""
    tokens, heads, d = 1024, 2, 64
    k, v = rng.standard_normal((2, tokens, heads, d)).astype(np.float32)
    opts = dict(value_bits=2, encoding="fitted", recent=8, sinks=2, copy_dtype="float16")
    reported, counted = [], []
    for extra in ({}, {option: value}):
        ctx = kelvor_py.MHAContext(heads, d, 3, tokens, seed=5, **extra, **opts)
        for t in range(tokens):
            ctx.append_heads(k[t], v[t], t)
        reported.append(8 * ctx.memory_bytes() / (heads * 2 * tokens * d))
        counted.append(kv_caches.library_bits_per_element(d, tokens, bits=3, capacity=tokens, **extra, **opts))
    assert counted[1] - counted[0] == counted_change
    assert reported[1] - reported[0] == pytest.approx(counted_change + padding, abs=1e-12)


def test_storage_options_follow_the_other_options_in_a_rows_name_and_family():
    row = perplexity.library_row("fitted", 4, value_bits=3, recent=48, sinks=4, copy_dtype="float16",
                                 scale_dtype="bfloat16")
    assert (row.name, row.family) == ("kelvor fitted k4/v3 + recent 48 + sinks 4, float16 copies, bfloat16 scales",
                                      "kelvor fitted + options, float16 copies, bfloat16 scales")
    assert row.options["scale_dtype"] == "bfloat16"
    assert perplexity.module_takes("scale_dtype")      # its probe value is one this build takes
