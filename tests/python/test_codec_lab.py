"""The codec lab's per-group key offset and its storage count, on synthetic keys (no model file needed)."""
import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import codec_lab  # noqa: E402


def test_key_offset_codes_a_group_once_complete_against_its_mean(rng):
    h, d, tokens = 2, 16, 600                     # 18 whole groups of 32, then 24 keys waiting for theirs
    keys = rng.standard_normal((tokens, h, d)).astype(np.float32)
    # Two groups constant over their tokens, in values float16 holds exactly: all they store is the offset.
    keys[512:576] = np.repeat(np.round(8 * rng.standard_normal((2, 1, h, d))) / 8, 32, axis=1).reshape(64, h, d)
    vals = rng.standard_normal((tokens, h, d)).astype(np.float32)
    cache = codec_lab.LabCache(h, d, tokens, codec_lab.Variant(3, key_offset=32),
                               rng.standard_normal((512, 2 * h, d)), seed=7)
    for t in range(tokens):
        cache.append_heads(keys[t], vals[t], t)
    held = cache.keys_t.transpose(2, 0, 1)
    np.testing.assert_array_equal(held[512:576], keys[512:576])
    np.testing.assert_array_equal(held[576:], keys[576:].astype(np.float16))
    error = np.sqrt(np.mean((held[:512] - keys[:512]) ** 2))
    assert 0.02 < error < 0.5                       # coded at 3 bits


# Per key/value element at head_dim 16 (P 16), 600 tokens: codes, two scales and a position per token, 18 group
# offsets (none when keys only wait) and 24 waiting keys at float16, the head's three float32 vectors.
@pytest.mark.parametrize("half_scales, scale_bits, wait_only", [(False, 32, False), (True, 16, False), (True, 16, True)])
def test_key_offset_bits_hand_count(half_scales, scale_bits, wait_only):
    variant = codec_lab.Variant(3, key_offset=32, half_scales=half_scales, wait_only=wait_only)
    offsets = 0 if wait_only else 18 * 16 * 16
    expected = (600 * (16 * 6 + 2 * scale_bits + 32) + offsets + 24 * 16 * 16 + 3 * 16 * 32) / (2 * 600 * 16)
    assert variant.bits_per_element(16, 600) == pytest.approx(expected, rel=1e-12)


def test_keys_only_window_holds_the_newest_keys_in_float16_and_codes_every_value(rng):
    h, d, tokens, window = 2, 16, 600, 32
    keys = rng.standard_normal((tokens, h, d)).astype(np.float32)
    vals = rng.standard_normal((tokens, h, d)).astype(np.float32)
    variant = codec_lab.Variant(3, key_recent=window)
    cache = codec_lab.LabCache(h, d, tokens, variant, rng.standard_normal((512, 2 * h, d)), seed=7)
    for t in range(tokens):
        cache.append_heads(keys[t], vals[t], t)
    held = cache.keys_t.transpose(2, 0, 1)
    np.testing.assert_array_equal(held[-window:], keys[-window:].astype(np.float16))
    assert np.all(held[:-window] != keys[:-window].astype(np.float16))   # coded, not merely rounded
    assert np.all(cache.vals[:, -window:] != vals[-window:].transpose(1, 0, 2))
    # Codes for every token, two float32 scales and a position, the window's keys alone at float16, the head's vectors.
    expected = (600 * (16 * 6 + 2 * 32 + 32) + window * 16 * 16 + 3 * 16 * 32) / (2 * 600 * 16)
    assert variant.bits_per_element(16, 600) == pytest.approx(expected, rel=1e-12)


@pytest.mark.parametrize("options, scale_bits", [(dict(log8_scales=16), 8 + 8),
                                                 (dict(bf16_scales=True, log8_values=8), 16 + 8)])
def test_eight_bit_scales_count_a_byte_each(options, scale_bits):
    expected = (600 * (16 * 6 + scale_bits + 32) + 3 * 16 * 32) / (2 * 600 * 16)
    assert codec_lab.Variant(3, **options).bits_per_element(16, 600) == pytest.approx(expected, rel=1e-12)
