"""Codec ideas measured in NumPy inside SmolLM2-135M-Instruct before any goes into the library.

Each variant is the fitted encoding written out in float64 (centre, equalise,
rotate, code at unit root mean square with a fitted gain) plus one change, as a
cache the decoder of kelvor_py.models.smollm2 calls like any other. Like the library,
a head answers exactly for its first 512 tokens and fixes its statistics on
the 513th append; a variant may also look at the queries it answered in that
exact phase. The log of what each idea gave is docs/accuracy-lab.md.

    python bench/codec_lab.py --passages 0,1 --tokens 1280 --variants base3,query3
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import hashlib  # noqa: E402
import math  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, replace  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

from kelvor_py.models import smollm2  # noqa: E402

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import kelvor_model as km  # noqa: E402
import perplexity as ppl  # noqa: E402
from kv_caches import START_WINDOW, Float32Cache  # noqa: E402


@dataclass(frozen=True)
class Variant:
    bits: int = 3
    value_bits: int = 0           # 0: bits
    recent: int = 0
    sinks: int = 0
    half_exact: bool = False      # sinks, recent and heavy tokens kept in float16
    divisor: str = "key"          # "key": sqrt(key rms); "query": sqrt(key rms / query rms); "none"
    codebook: str = "fixed"       # "fixed": the library's tables; "head": Lloyd-Max on the head's own keys
    heavy: int = 0                # tokens kept exact, chosen by exact-phase attention weight
    key_residual: int = 0         # bits of a second code of the key's coding error (with its own gain)
    val_codebook: str = "fixed"
    only: str = ""                # "keys" or "values": the other kept exact (to see where the error comes from)
    key_offset: int = 0           # tokens per group with its own float16 key offset per channel (0: one per head)
    wait_only: bool = False       # keys still wait for their group's end in float16, but store no offset
    half_scales: bool = False     # the per-vector scales stored as float16
    bf16_scales: bool = False     # the per-vector scales stored as bfloat16 (float32 rounded to 8 significant bits)
    log8_scales: int = 0          # the per-vector scales in 8 bits: log2 rounded to 1/this (16: a range of 16 octaves,
                                  # 8: 32 octaves, wide enough for one fixed range); the range itself is not modelled
    log8_values: int = 0          # the same for the values' scales only (the keys' as the other options say)
    log8_recode: bool = False     # with log8_scales: a key's codes chosen again at its rounded scale
    key_recent: int = 0           # the newest keys (not values) also held at float16 before they are coded
    group_divisor: bool = False   # with key_offset: each group also keeps its own float16 divisor per key channel
    value_offset: bool = False    # with key_offset: values too wait for their group and are coded minus its mean
    value_tier: int = 0           # the newest this many coded values at one bit more, re-coded at vb() as they age
    tier_transcode: bool = False  # with value_tier: an aged value re-coded from its wider reconstruction
    value_refine: int = 0         # the newest this many coded values also keep a bit per coordinate naming the
                                  # half of its cell, dropped as they age (the vb() codes stay as coded)
    value_gain: str = "norm"      # code_unit's rule for values ("norm": the library's fitted)
    key_gain: str = "ls"          # and for keys ("ls": the library's fitted)
    refine_unbiased: bool = False  # with value_gain "unbiased": refined values read with their half-cell levels
                                   # times E[v c] / E[v h] over a unit normal, unbiased like the codes
    value_channel: float = 0.0    # coded values (not their refined reading) replaced by a Gaussian test channel of
                                  # this mean squared error at unit rms, their norm kept: what a code over groups
                                  # of coordinates of that error would give, without building one
    value_dither: float = 0.0     # coded values (not their refined reading) coded with a subtractive dither: a
                                  # pseudo-random offset, uniform over +-this/2 at unit rms and known to the reader,
                                  # added before the codes are chosen and taken off the levels read
    dither_patterns: int = 0      # with value_dither: a token takes pattern (its index mod this) of a head's fixed
                                  # few, which a reader can take off once per pattern; 0: a fresh one per token
    dither_refined: bool = False  # with value_dither: refined values read from the same dithered codes, their
                                  # half-cell level minus the dither, as a store of one set of codes reads them

    def kb(self):
        return self.bits

    def vb(self):
        return self.value_bits or self.bits

    def bits_per_element(self, head_dim, tokens):
        p = 1 << (head_dim - 1).bit_length()
        exact = self.sinks + min(self.recent, tokens) + self.heavy
        keys_only = max(min(self.key_recent, tokens) - min(self.recent, tokens), 0)
        key_scale = 8 if self.log8_scales else 16 if self.half_scales or self.bf16_scales else 32
        scales = key_scale + (8 if self.log8_scales or self.log8_values else key_scale)
        total = tokens * (p * (self.kb() + self.key_residual + self.vb()) + scales + 32 + 32 * (self.key_residual > 0))
        if self.key_offset:
            complete = tokens // self.key_offset
            waiting = max(tokens - self.recent - complete * self.key_offset, 0)   # keys held until their group ends
            total += complete * head_dim * 16 * (not self.wait_only) + waiting * head_dim * 16
            total += complete * head_dim * 16 * self.group_divisor
            total += (complete + waiting) * head_dim * 16 * self.value_offset
        total += exact * 2 * head_dim * (16 if self.half_exact else 32) + self.heavy * 32
        total += keys_only * head_dim * 16
        total += min(self.value_tier + self.value_refine, max(tokens - self.recent, 0)) * p
        total += 3 * head_dim * 32
        if self.codebook == "head":
            total += (2 ** self.kb()) * 32
        if self.val_codebook == "head":
            total += (2 ** self.vb()) * 32
        return total / (2 * tokens * head_dim)


VARIANTS = {
    "base2": Variant(2), "base3": Variant(3), "base4": Variant(4),
    "query2": Variant(2, divisor="query"), "query3": Variant(3, divisor="query"), "query4": Variant(4, divisor="query"),
    "nodiv3": Variant(3, divisor="none"),
    "keys3": Variant(3, only="keys"), "values3": Variant(3, only="values"),
    "keys2": Variant(2, only="keys"), "values2": Variant(2, only="values"),
    "cb2": Variant(2, codebook="head"), "cb3": Variant(3, codebook="head"),
    "cbv3": Variant(3, codebook="head", val_codebook="head"),
    "heavy3": Variant(3, heavy=16), "heavy3s": Variant(3, heavy=16, sinks=4),
    "sinks3": Variant(3, sinks=4),
    "res2+1": Variant(2, value_bits=3, key_residual=1), "k3v3": Variant(3),
    "k3v2r16s4": Variant(3, 2, recent=16, sinks=4),
    "k3v2r16s4h": Variant(3, 2, recent=16, sinks=4, half_exact=True),
    "k3v2r32s4h": Variant(3, 2, recent=32, sinks=4, half_exact=True),
    "k3v2r32s4hq": Variant(3, 2, recent=32, sinks=4, half_exact=True, divisor="query"),
    "k4v3r16s4h": Variant(4, 3, recent=16, sinks=4, half_exact=True),
    "k4v3r16s4hq": Variant(4, 3, recent=16, sinks=4, half_exact=True, divisor="query"),
    "k2r8s4": Variant(2, recent=8, sinks=4),
    "k2r8s4q": Variant(2, recent=8, sinks=4, divisor="query"),
    "off2": Variant(2, key_offset=32), "off3": Variant(3, key_offset=32), "off4": Variant(4, key_offset=32),
    "half2": Variant(2, half_scales=True), "half3": Variant(3, half_scales=True), "half4": Variant(4, half_scales=True),
    "off2h": Variant(2, key_offset=32, half_scales=True), "off3h": Variant(3, key_offset=32, half_scales=True),
    "off4h": Variant(4, key_offset=32, half_scales=True),
    "bf2": Variant(2, bf16_scales=True), "bf3": Variant(3, bf16_scales=True), "bf4": Variant(4, bf16_scales=True),
    "wait2h": Variant(2, key_offset=32, half_scales=True, wait_only=True),
    "wait4h": Variant(4, key_offset=32, half_scales=True, wait_only=True),
    "k3v2r32s4h_off": Variant(3, 2, recent=32, sinks=4, half_exact=True, key_offset=32),
    "k3v2r32s4h_offh": Variant(3, 2, recent=32, sinks=4, half_exact=True, key_offset=32, half_scales=True),
    "off4h_keys": Variant(4, key_offset=32, half_scales=True, only="keys"),
    "off4h_values": Variant(4, key_offset=32, half_scales=True, only="values"),
    "div2h": Variant(2, key_offset=32, half_scales=True, group_divisor=True),
    "div4h": Variant(4, key_offset=32, half_scales=True, group_divisor=True),
    "voff4h": Variant(4, key_offset=32, half_scales=True, value_offset=True),
    "voff2h": Variant(2, key_offset=32, half_scales=True, value_offset=True),
}
# Keys-only windows (kr) and the K+V windows of the same bits (half the tokens), with and without 4 sinks.
for _k, _v in ((2, 2), (3, 2), (3, 3)):
    for _s in (0, 4):
        _tail = f"s{_s}h" if _s else "h"
        for _r in (32, 64):
            VARIANTS[f"k{_k}v{_v}kr{_r}{_tail}"] = Variant(_k, _v, key_recent=_r, sinks=_s, half_exact=True)
            VARIANTS.setdefault(f"k{_k}v{_v}r{_r // 2}{_tail}", Variant(_k, _v, recent=_r // 2, sinks=_s, half_exact=True))


def bfloat16_round(x):
    """float32 values rounded to bfloat16 (nearest, ties to even), back as float64."""
    bits = np.asarray(x, np.float32).view(np.uint32).astype(np.uint64)
    bits = ((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16) << 16
    return bits.astype(np.uint32).view(np.float32).astype(np.float64)


def hadamard(p):
    h = np.array([[1.0]])
    while h.shape[0] < p:
        h = np.block([[h, h], [h, -h]])
    return h / math.sqrt(p)


def midpoints(levels):
    return (levels[:-1] + levels[1:]) / 2


def code_unit(v, levels, rule):
    """Rows of v (unit root mean square) coded against `levels` with a fitted gain, as the library's fitted
    encoder does, then scaled by `rule`: "ls" least squares (the library's keys), "norm" the coded row keeps the
    row's norm (its values), "unbiased" the coded row's projection on the row is the row's norm. Returns (levels
    chosen, gain per row, the gain per row they were chosen at)."""
    thr = midpoints(levels)
    gain = np.ones(len(v))
    for _ in range(km.GAIN_REFITS + 1):
        coded = gain
        lv = levels[np.searchsorted(thr, v / gain[:, None], side="right")]
        den = np.maximum((lv * lv).sum(1), 1e-30)
        gain = np.maximum((v * lv).sum(1) / den, 1e-30)
    if rule == "norm":
        gain = np.sqrt(v.shape[1] / den)
    elif rule == "unbiased":
        gain = v.shape[1] / np.maximum((v * lv).sum(1), 1e-30)
    return lv, gain, coded


def normal_cdf(x):
    return 0.5 * (1 + math.erf(x / math.sqrt(2))) if np.isfinite(x) else float(x > 0)


def half_cell_levels(levels):
    """(lower, upper): the mean of a unit normal over the lower and the upper half of each level's cell, the
    cell split at the level itself."""
    edges = np.concatenate([[-np.inf], midpoints(levels), [np.inf]])
    phi = lambda x: np.exp(-0.5 * x * x) / math.sqrt(2 * math.pi) if np.isfinite(x) else 0.0   # noqa: E731
    cdf = normal_cdf
    mean = lambda a, b: (phi(a) - phi(b)) / max(cdf(b) - cdf(a), 1e-300)                     # noqa: E731
    lower = np.array([mean(edges[i], levels[i]) for i in range(len(levels))])
    upper = np.array([mean(levels[i], edges[i + 1]) for i in range(len(levels))])
    return lower, upper


def half_cell_power(levels, lower, upper=None):
    """E[r(v)^2] over a unit normal v for the reconstruction r that gives each cell of `levels` the level
    `lower` (upper None) or each half-cell its conditional mean; for conditional means this is E[v r(v)]."""
    cdf = normal_cdf
    edges = np.concatenate([[-np.inf], midpoints(levels), [np.inf]])
    total = 0.0
    for i, level in enumerate(levels):
        if upper is None:
            total += (cdf(edges[i + 1]) - cdf(edges[i])) * lower[i] ** 2
        else:
            total += (cdf(level) - cdf(edges[i])) * lower[i] ** 2 + (cdf(edges[i + 1]) - cdf(level)) * upper[i] ** 2
    return total


def lloyd(samples, levels, iterations=15):
    samples = np.sort(samples.ravel())
    levels = levels.copy()
    for _ in range(iterations):
        idx = np.searchsorted(midpoints(levels), samples, side="right")
        sums = np.bincount(idx, samples, len(levels))
        counts = np.bincount(idx, None, len(levels))
        levels = np.where(counts > 0, sums / np.maximum(counts, 1), levels)
        levels.sort()
    return levels


class LabHead:
    """Coding of one key/value head, fixed from its first tokens (and the exact phase's queries)."""

    def __init__(self, variant, keys, vals, queries, seed):
        v, hd = variant, keys.shape[1]
        self.v, self.hd = v, hd
        self.p = 1 << (hd - 1).bit_length()
        signs = km.sign_diagonal(self.p, seed).astype(np.float64)
        self.rot = hadamard(self.p) * signs[None, :]       # y_rot = rot @ y_pad
        k, x = keys.astype(np.float64), vals.astype(np.float64)
        self.key_mean, self.val_mean = k.mean(0), x.mean(0)
        rms = np.sqrt(((k - self.key_mean) ** 2).mean(0))
        if v.key_offset and not v.wait_only:    # the groups' offsets take the mean's place; equalise what is left
            self.key_mean = np.zeros(hd)
            whole = k[:len(k) // v.key_offset * v.key_offset].reshape(-1, v.key_offset, hd)
            rms = np.sqrt(((whole - whole.mean(1, keepdims=True)) ** 2).mean((0, 1)))
        floor = km.DIVISOR_FLOOR * rms.mean()
        if v.divisor == "key":
            self.divisor = np.sqrt(np.maximum(rms, floor))
        elif v.divisor == "query":
            q_rms = np.sqrt((queries.astype(np.float64) ** 2).mean(0))
            ratio = np.maximum(rms, floor) / np.maximum(q_rms, km.DIVISOR_FLOOR * q_rms.mean())
            self.divisor = np.sqrt(ratio)
        else:
            self.divisor = np.ones(hd)
        self.rng = np.random.default_rng([seed, 17])     # value_channel's noise and value_dither's offsets
        if v.dither_patterns:
            self.patterns = self.rng.random((v.dither_patterns, self.p)) - 0.5
        self.key_levels = km.FITTED_LEVELS[v.kb()].astype(np.float64)
        self.val_levels = km.FITTED_LEVELS[v.vb()].astype(np.float64)
        if v.codebook == "head":
            self.key_levels = lloyd(self._unit(self._key_y(k))[0], self.key_levels)
        if v.val_codebook == "head":
            self.val_levels = lloyd(self._unit(x - self.val_mean)[0], self.val_levels)

    def _key_y(self, k):
        return (k - self.key_mean) / self.divisor

    def _unit(self, y):
        pad = np.zeros((len(y), self.p))
        pad[:, :self.hd] = y
        norm = np.sqrt((y * y).sum(1)) + 1e-30
        return math.sqrt(self.p) * (pad / norm[:, None]) @ self.rot.T, norm

    def _back(self, unit, scale, values=False):
        """unit (rows of codebook levels, or a reconstruction at unit gain) times each row's stored scale."""
        if self.v.half_scales:
            scale = scale.astype(np.float16).astype(np.float64)
        if self.v.bf16_scales:
            scale = bfloat16_round(scale)
        steps = self.v.log8_scales or (self.v.log8_values if values else 0)
        if steps:
            with np.errstate(divide="ignore"):
                scale = np.exp2(np.round(np.log2(scale) * steps) / steps)
        return ((unit * (scale / math.sqrt(self.p))[:, None]) @ self.rot)[:, :self.hd]

    def keys(self, k, offset=0.0, divisor=None):
        """Reconstructions of keys k (rows); `offset`, their groups' stored offsets, is what the scoring adds
        back as q . offset once per group; `divisor`, rows of their groups' own divisors if any."""
        divisor = self.divisor if divisor is None else divisor
        y = (np.asarray(k, np.float64) - offset - self.key_mean) / divisor
        unit, norm = self._unit(y)
        lv, gain, _ = code_unit(unit, self.key_levels, self.v.key_gain)
        if self.v.log8_recode and self.v.log8_scales:
            steps = self.v.log8_scales
            with np.errstate(divide="ignore"):
                gain = np.exp2(np.round(np.log2(gain * norm) * steps) / steps) / norm
            lv = self.key_levels[np.searchsorted(midpoints(self.key_levels), unit / gain[:, None], side="right")]
        if self.v.key_residual:
            rec = lv * gain[:, None]
            err = unit - rec
            scale = np.sqrt((err ** 2).mean(1)) + 1e-30
            lv2, gain2, _ = code_unit(err / scale[:, None], km.FITTED_LEVELS[self.v.key_residual].astype(np.float64)
                                      if self.v.key_residual > 1 else np.array([-0.7979, 0.7979]), "ls")
            lv, gain = rec + lv2 * (gain2 * scale)[:, None], np.ones(len(rec))
        return self._back(lv, gain * norm) * divisor + self.key_mean + offset

    def vals(self, x, offset=0.0, levels=None, refine=False, tokens=None):
        """Reconstructions of values x (rows) coded minus the value mean and `offset` against `levels` (the
        value width's unless given); with `refine`, also the same with each coordinate's half-cell bit."""
        levels = self.val_levels if levels is None else levels
        unit, norm = self._unit(np.asarray(x, np.float64) - self.val_mean - offset)
        lv, gain, coded = code_unit(unit, levels, self.v.value_gain)
        plain = self._back(lv, gain * norm, values=True) + self.val_mean + offset
        rec = None   # the older values' stand-ins for the scalar codes, at unit rms
        if self.v.value_dither and levels is self.val_levels:
            if self.v.dither_patterns:
                d = self.v.value_dither * self.patterns[np.asarray(tokens) % self.v.dither_patterns]
            else:
                d = self.v.value_dither * (self.rng.random(unit.shape) - 0.5)
            rec = coded[:, None] * (levels[np.searchsorted(midpoints(levels), unit / coded[:, None] + d,
                                                           side="right")] - d)
        if self.v.value_channel and levels is self.val_levels:
            d = self.v.value_channel
            rec = (1 - d) * unit + math.sqrt(d * (1 - d)) * self.rng.standard_normal(unit.shape)
        if rec is not None:   # with its norm kept, as the fitted values'
            rec *= np.sqrt((unit * unit).sum(1) / (rec * rec).sum(1))[:, None]
            plain = self._back(rec, norm, values=True) + self.val_mean + offset
        if not refine:
            return plain
        lower, upper = half_cell_levels(levels)
        if self.v.value_dither and self.v.dither_refined and levels is self.val_levels:
            y = unit / coded[:, None] + d
            idx = np.searchsorted(midpoints(levels), y, side="right")
            m = np.sqrt(self.p / ((levels[idx] - d) ** 2).sum(1))    # the plain reading's norm-keeping gain
            fine = np.where(y >= levels[idx], upper[idx], lower[idx]) - d
            return plain, self._back(fine * m[:, None], norm, values=True) + self.val_mean + offset
        idx = np.searchsorted(levels, lv)
        # The half is the one the coordinate fell in where its code was chosen, as the library decides it.
        fine = np.where(unit / coded[:, None] >= lv, upper[idx], lower[idx])
        if self.v.refine_unbiased:
            fine = fine * (half_cell_power(levels, levels) / half_cell_power(levels, lower, upper))
        return plain, self._back(fine, gain * norm, values=True) + self.val_mean + offset


class LabCache(Float32Cache):
    """Float until the 513th append, then every token but the kept ones replaced by what the variant stores."""

    def __init__(self, n_kv_heads, head_dim, capacity, variant, queries, seed):
        super().__init__(n_kv_heads, head_dim, capacity)
        self.variant, self.queries, self.seed = variant, queries, seed   # queries: (512, n_heads, head_dim)
        self.heads = None
        self.kept = set()
        self.keys_done = self.vals_done = 0     # tokens before these have their stored form
        # Per group (key group -> (heads, head_dim)): key offsets, value offsets, key divisors.
        self.offsets, self.val_offsets, self.divisors = {}, {}, {}
        self.orig = np.zeros_like(self.vals) if variant.value_tier else None     # values as appended
        self.plain = np.zeros_like(self.vals) if variant.value_refine else None  # values without their bits
        self.aged = 0                           # tokens before this have left the value tier

    def _stored(self):
        v, n = self.variant, self.n
        if self.orig is not None:
            self.orig[:, n - 1] = self.vals[:, n - 1]
        if n <= START_WINDOW:
            return
        if self.heads is None:
            self._fix()
        else:
            if v.half_exact:
                self.keys_t[:, :, n - 1] = self.keys_t[:, :, n - 1].astype(np.float16)
                self.vals[:, n - 1] = self.vals[:, n - 1].astype(np.float16)
            if v.key_recent or (v.key_offset and v.recent < v.key_offset):    # a key waits in float16
                self.keys_t[:, :, n - 1] = self.keys_t[:, :, n - 1].astype(np.float16)
            if v.value_offset and v.recent < v.key_offset:
                self.vals[:, n - 1] = self.vals[:, n - 1].astype(np.float16)
        self._code_up_to(n)

    def _code_up_to(self, n):
        """Codes what has left the float window: values at once, keys once their offset's group is complete."""
        v = self.variant
        vals_end = max(n - v.recent, 0)
        keys_end = max(min(vals_end, n - v.key_recent), 0)
        if v.key_offset:
            keys_end = min(keys_end, n // v.key_offset * v.key_offset)
        if v.value_offset:
            vals_end = min(vals_end, n // v.key_offset * v.key_offset)
        keys = [t for t in range(self.keys_done, keys_end) if t not in self.kept]
        vals = [t for t in range(self.vals_done, vals_end) if t not in self.kept]
        self.keys_done, self.vals_done = max(self.keys_done, keys_end), max(self.vals_done, vals_end)
        offsets = (self._per_group(self.offsets, keys, self._key_offset) if v.key_offset and not v.wait_only
                   else np.zeros((self.n_kv_heads, 1, self.head_dim)))
        divisors = self._per_group(self.divisors, keys, self._key_divisor) if v.group_divisor else None
        centres = self._per_group(self.val_offsets, vals, self._val_offset) if v.value_offset else None
        tier = km.FITTED_LEVELS[v.vb() + 1].astype(np.float64) if v.value_tier else None
        for h, head in enumerate(self.heads):
            if keys and v.only != "values":
                kh = self.keys_t[h]
                kh[:, keys] = head.keys(kh[:, keys].T, offsets[h], None if divisors is None else divisors[h]).T
            if vals and v.only != "keys":
                coded = head.vals(self.vals[h, vals], 0.0 if centres is None else centres[h] - head.val_mean, tier,
                                  refine=bool(v.value_refine), tokens=vals)
                if v.value_refine:
                    self.plain[h, vals], self.vals[h, vals] = coded
                else:
                    self.vals[h, vals] = coded
        # Values leaving the tier: without their half-cell bits, or re-coded at the narrower width from what was
        # appended (or from their wider reconstruction).
        aged_end = max(n - v.recent - v.value_tier - v.value_refine, 0) if v.value_tier or v.value_refine else 0
        aged = [t for t in range(self.aged, aged_end) if t not in self.kept]
        self.aged = max(self.aged, aged_end)
        if aged and v.only != "keys":
            if v.value_refine:
                self.vals[:, aged] = self.plain[:, aged]
            else:
                for h, head in enumerate(self.heads):
                    self.vals[h, aged] = head.vals((self.vals if v.tier_transcode else self.orig)[h, aged])

    def _per_group(self, table, tokens, make):
        """(heads, len(tokens), head_dim): each token's entry of `table`, made by make(tokens of the group) as
        the group's tokens are held when its first token is coded (all of them still float then)."""
        g = self.variant.key_offset
        for group in {t // g for t in tokens} - table.keys():
            table[group] = make(slice(group * g, (group + 1) * g))
        if not tokens:
            return np.zeros((self.n_kv_heads, 0, self.head_dim))
        return np.stack([table[t // g] for t in tokens], axis=1)

    def _key_offset(self, group):
        """The float16 mean of the group's keys."""
        return self.keys_t[:, :, group].astype(np.float64).mean(-1).astype(np.float16).astype(np.float64)

    def _val_offset(self, group):
        """The float16 mean of the group's values."""
        return self.vals[:, group].astype(np.float64).mean(1).astype(np.float16).astype(np.float64)

    def _key_divisor(self, group):
        """The float16 square root of each key channel's root mean square about the group's mean (floored as
        the head's divisor is)."""
        held = self.keys_t[:, :, group].astype(np.float64)
        rms = np.sqrt(((held - held.mean(-1, keepdims=True)) ** 2).mean(-1))
        rms = np.maximum(rms, km.DIVISOR_FLOOR * rms.mean(-1, keepdims=True) + 1e-30)
        return np.sqrt(rms).astype(np.float16).astype(np.float64)

    def _fix(self):
        v, n, hkv = self.variant, self.n, self.n_kv_heads
        group = self.queries.shape[1] // hkv
        self.heads = [LabHead(v, self.keys_t[h, :, :n].T, self.vals[h, :n],
                              self.queries[:, h * group:(h + 1) * group].reshape(-1, self.head_dim),
                              km.head_seed(self.seed, h)) for h in range(hkv)]
        self.kept = set(range(min(v.sinks, n)))
        if v.heavy:
            self.kept |= self._heaviest(v.heavy)
        coded = max(n - v.recent, 0)
        if v.half_exact:    # what stays float is float16
            rest = [t for t in range(n) if t >= coded or t in self.kept]
            self.keys_t[:, :, rest] = self.keys_t[:, :, rest].astype(np.float16)
            self.vals[:, rest] = self.vals[:, rest].astype(np.float16)
        if v.key_offset and v.recent < v.key_offset:
            waiting = slice(n // v.key_offset * v.key_offset, n)
            self.keys_t[:, :, waiting] = self.keys_t[:, :, waiting].astype(np.float16)
            if v.value_offset:
                self.vals[:, waiting] = self.vals[:, waiting].astype(np.float16)
        if v.key_recent:
            waiting = slice(max(n - v.key_recent, 0), n)
            self.keys_t[:, :, waiting] = self.keys_t[:, :, waiting].astype(np.float16)

    def _heaviest(self, count):
        """Tokens with the largest attention weight summed over the exact phase's queries (all heads)."""
        q = self.queries.astype(np.float64)
        t_q = q.shape[0]
        group = q.shape[1] // self.n_kv_heads
        weight = np.zeros(self.n)
        mask = np.tril(np.ones((t_q, t_q), bool))
        for h in range(self.n_kv_heads):
            k = self.keys_t[h, :, :t_q].astype(np.float64)
            for g in range(group):
                s = q[:, h * group + g] @ k / math.sqrt(self.head_dim)
                s = np.where(mask, s, -np.inf)
                w = np.exp(s - s.max(1, keepdims=True))
                w /= w.sum(1, keepdims=True)
                weight[:t_q] += w.sum(0)
        weight[:self.variant.sinks] = -1
        return set(np.argsort(-weight)[:count].tolist())


class RecordingCache(Float32Cache):
    def __init__(self, *args):
        super().__init__(*args)
        self.seen = []

    def compute_heads(self, queries):
        self.seen.append(np.array(queries, np.float32))
        return super().compute_heads(queries)


def exact_queries(model, name, ids):
    """(layers, 512, n_heads, head_dim): the queries every layer asks in the exact phase, cached."""
    key = hashlib.sha256(b"queries 1|" + model.ident.encode() + np.asarray(ids[:START_WINDOW], "<i8").tobytes())
    path = ppl.OUT / f"queries-{key.hexdigest()[:24]}.npy"
    if path.exists():
        return np.load(path)
    ppl.log(f"exact-phase queries for {name} ...")
    cfg = model.config
    caches = [RecordingCache(cfg.n_kv_heads, cfg.head_dim, START_WINDOW) for _ in range(cfg.n_layers)]
    smollm2.forward(model, ids[:START_WINDOW], caches)
    out = np.stack([np.stack(c.seen) for c in caches]).reshape(cfg.n_layers, START_WINDOW, cfg.n_heads, cfg.head_dim)
    np.save(path, out)
    return out


def run(model, variant, ids, tokens, ref, queries):
    cfg = model.config
    caches = [LabCache(cfg.n_kv_heads, cfg.head_dim, tokens, variant, queries[i], ppl.SEED + i)
              for i in range(cfg.n_layers)]
    for cache, keys, vals in zip(caches, ref.keys, ref.vals):
        for t in range(ppl.SCORED_FROM):
            cache.append_heads(keys[t], vals[t], t)
    return smollm2.forward(model, ids[ppl.SCORED_FROM:tokens], caches, start=ppl.SCORED_FROM)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passages", default="0,1", help="indices into perplexity.PASSAGES")
    parser.add_argument("--tokens", type=int, default=1280)
    parser.add_argument("--variants", default="base3,query3")
    parser.add_argument("--define", action="append", default=[],
                        help="name=Variant(...) keyword arguments, e.g. 'x=bits=3,divisor=\"query\"'")
    args = parser.parse_args(argv)
    for d in args.define:
        name, kw = d.split("=", 1)
        VARIANTS[name] = eval(f"Variant({kw})")   # a lab tool: its own command line only
    ppl.OUT.mkdir(parents=True, exist_ok=True)
    model, tokenizer = smollm2.load(ppl.OUT)
    cfg = model.config
    chosen = [ppl.PASSAGES[int(i)] for i in args.passages.split(",")]
    passages = []
    for name, load in chosen:
        passages.append((name, np.array(tokenizer.encode(load()).ids[:args.tokens + 1], np.int64)))
    refs = [ppl.reference(model, name, ids, args.tokens) for name, ids in passages]
    queries = [exact_queries(model, name, ids) for name, ids in passages]
    print(f"passages {', '.join(n for n, _ in passages)}; {args.tokens} tokens; scored from {ppl.SCORED_FROM}")
    print("| variant | bits/element | mean KL | same top token | perplexity | time |")
    print("|---|---|---|---|---|---|")
    for vname in args.variants.split(","):
        variant = VARIANTS[vname]
        start = time.perf_counter()
        nll, kl, same = [], [], []
        for (name, ids), ref, q in zip(passages, refs, queries):
            hidden = run(model, variant, ids, args.tokens, ref, q)
            a, b, c = ppl.score(model, hidden, ppl.log_probs(model, ref.hidden), ids[ppl.SCORED_FROM + 1:])
            nll.append(a), kl.append(b), same.append(c)
        nll, kl, same = (np.concatenate(x) for x in (nll, kl, same))
        print(f"| {vname} | {variant.bits_per_element(cfg.head_dim, args.tokens):.3f} | {kl.mean():.4f} | "
              f"{100 * same.mean():.1f} % | {np.exp(nll.mean()):.3f} | {time.perf_counter() - start:.0f} s |",
              flush=True)


if __name__ == "__main__":
    main()
