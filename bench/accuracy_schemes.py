"""Peer KV-cache quantisers for the accuracy benchmark, their storage cost, and the error measures.

Each peer turns a window of keys and values (tokens, head_dim) into what it
would hand back after storing them; attention over that reconstruction then
runs in float64, so a peer's error is its storage error alone.
"""
import math
from dataclasses import dataclass
from typing import Callable

import numpy as np

GROUP = 32  # int4 block length along head_dim, and KIVI-like key group length along tokens


def attention(queries, keys, values):
    """softmax(Q K^T / sqrt(d)) V in float64, one row per query."""
    q, k, v = (np.asarray(a, np.float64) for a in (queries, keys, values))
    scores = q @ k.T / math.sqrt(k.shape[1])
    w = np.exp(scores - scores.max(axis=1, keepdims=True))
    return (w / w.sum(axis=1, keepdims=True)) @ v


def as_float16(x):
    return np.asarray(x, np.float32).astype(np.float16).astype(np.float64)


def absmax(x, levels, scale_dtype):
    """Symmetric rounding to integers in [-levels, levels] over the last axis; the scale is stored as scale_dtype."""
    x = np.asarray(x, np.float64)
    scale = (np.abs(x).max(axis=-1, keepdims=True) / levels).astype(scale_dtype).astype(np.float64)
    safe = np.where(scale > 0, scale, 1.0)
    return np.clip(np.rint(x / safe), -levels, levels) * scale


def int8_per_token(x):
    return absmax(x, 127, np.float32)


def in_blocks(x, block, quantise):
    """quantise(blocks) applied to blocks of `block` elements along the last axis; a short last block is padded
    with zeros."""
    x = np.asarray(x, np.float64)
    d = x.shape[-1]
    padded = np.zeros(x.shape[:-1] + (-(-d // block) * block,))
    padded[..., :d] = x
    blocks = padded.reshape(x.shape[:-1] + (-1, block))
    return quantise(blocks).reshape(padded.shape)[..., :d]


def int4_blocks(x, block=GROUP):
    """Absmax 4-bit codes in blocks of `block` along the last axis, float16 scale."""
    return in_blocks(x, block, lambda b: absmax(b, 7, np.float16))


def int8_blocks(x, block=GROUP):
    """Absmax 8-bit codes in blocks of `block` along the last axis, float16 scale."""
    return in_blocks(x, block, lambda b: absmax(b, 127, np.float16))


def int4_zero_point_blocks(x, block=GROUP):
    """Min/max 4-bit codes in blocks of `block` along the last axis, float16 scale and zero point."""
    return in_blocks(x, block, lambda b: asymmetric(b, 4, axis=-1)[0])


def asymmetric(x, bits, axis):
    """Min/max rounding to 2**bits levels along `axis`, float16 scale and zero point; returns (x_hat, scale, zero)."""
    x = np.asarray(x, np.float64)
    top = 2 ** bits - 1
    lo = x.min(axis=axis, keepdims=True)
    zero = lo.astype(np.float16).astype(np.float64)
    scale = ((x.max(axis=axis, keepdims=True) - lo) / top).astype(np.float16).astype(np.float64)
    safe = np.where(scale > 0, scale, 1.0)
    codes = np.clip(np.rint((x - zero) / safe), 0, top)
    return codes * scale + zero, scale, zero


def kivi_keys(keys, bits, group=GROUP):
    """Keys per channel over groups of `group` consecutive tokens (a short last group stands alone)."""
    keys = np.asarray(keys, np.float64)
    out = np.empty_like(keys)
    for start in range(0, keys.shape[0], group):
        out[start:start + group] = asymmetric(keys[start:start + group], bits, axis=0)[0]
    return out


def kivi_values(values, bits, group=None):
    """Values per token, over the whole head_dim or in groups of `group` channels (as KIVI does)."""
    if group is None:
        return asymmetric(values, bits, axis=1)[0]
    return in_blocks(values, group, lambda b: asymmetric(b, bits, axis=-1)[0])


@dataclass(frozen=True)
class Peer:
    name: str
    family: str                                        # one plotted line per family
    bits_per_element: Callable[[int, int], float]      # (head_dim, held tokens) -> codes + scales, amortised
    reconstruct: Callable                              # (keys, values) -> (keys_hat, values_hat)


def _kivi(bits):
    def bpe(d, t):
        key_bits = bits + 2 * 16 * math.ceil(t / GROUP) / t    # scale and zero per channel per group
        value_bits = bits + 2 * 16 / d                         # scale and zero per token
        return (key_bits + value_bits) / 2
    return Peer(f"KIVI-like {bits}-bit", "KIVI-like", bpe, lambda k, v: (kivi_keys(k, bits), kivi_values(v, bits)))


PEERS = [
    Peer("float16", "float16", lambda d, t: 16.0, lambda k, v: (as_float16(k), as_float16(v))),
    Peer("int8 per token", "int8 per token", lambda d, t: 8 + 32 / d,
         lambda k, v: (int8_per_token(k), int8_per_token(v))),
    Peer(f"int4 blocks of {GROUP}", f"int4 blocks of {GROUP}", lambda d, t: 4 + 16 * math.ceil(d / GROUP) / d,
         lambda k, v: (int4_blocks(k), int4_blocks(v))),
    _kivi(2),
    _kivi(4),
]


def library_bits_per_element(bits, head_dim, held_tokens, side_floats_per_dim=0):
    """bits codes for each of P = head_dim rounded up to a power of two, one float32 scale per vector, and
    side_floats_per_dim x head_dim float32 of per-head state shared by the held keys and values."""
    p = 1 << (head_dim - 1).bit_length()
    per_vector = (bits * p + 32) / head_dim
    return per_vector + side_floats_per_dim * head_dim * 32 / (2 * held_tokens * head_dim)


def error_summary(outputs, references):
    """Mean cosine, mean relative L2 error and the lowest per-head mean cosine of (heads, queries, dim) outputs."""
    got = np.asarray(outputs, np.float64)
    ref = np.asarray(references, np.float64)
    got_norm = np.linalg.norm(got, axis=-1)
    ref_norm = np.linalg.norm(ref, axis=-1)
    cos = np.sum(got * ref, axis=-1) / np.maximum(got_norm * ref_norm, np.finfo(np.float64).tiny)
    rel = np.linalg.norm(got - ref, axis=-1) / ref_norm
    return {"cos": float(cos.mean()), "rel": float(rel.mean()), "worst_head_cos": float(cos.mean(axis=1).min())}
