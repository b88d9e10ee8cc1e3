"""NumPy model of kelvor's arithmetic, used as an independent reference.

Everything is float32 and every sum runs in increasing index order (cumulative
sums), so the model's codes match the library's bit for bit and its answers
agree up to the order of a few roundings. Constants are wrapped in np.float32
so that NumPy 1.x scalar promotion never widens a step to float64.
"""

import numpy as np

F32 = np.float32
EPS = F32(1e-12)
EXACT_WINDOW = 512
HEAD_SEED_STEP = 0xDEADBEEFCAFE
MASK64 = (1 << 64) - 1

LEVELS = {
    2: np.array([-1.5104, -0.4528, 0.4528, 1.5104], dtype=F32),
    3: np.array([-2.1529, -1.3439, -0.756, -0.2451, 0.2451, 0.756, 1.3439, 2.1529], dtype=F32),
    4: np.array([-2.7326, -2.069, -1.586, -1.188, -0.8491, -0.548, -0.2633, 0.0,
                 0.2633, 0.548, 0.8491, 1.188, 1.586, 2.069, 2.7326, 3.5714], dtype=F32),
}
# Midpoints formed in single precision; a decimal table would be off by an ulp
# at +-0.98160005 and +-1.0185499.
THRESHOLDS = {b: (lv[:-1] + lv[1:]) / F32(2) for b, lv in LEVELS.items()}

# The fitted encoding codes at unit root mean square: its 4-bit table is the
# symmetric 16-level Lloyd-Max quantiser of a unit normal.
_LLOYD_MAX_16 = np.array([0.1284, 0.38805, 0.65676, 0.94234, 1.25623, 1.61805, 2.06902, 2.73259], dtype=F32)
FITTED_LEVELS = {2: LEVELS[2], 3: LEVELS[3], 4: np.concatenate([-_LLOYD_MAX_16[::-1], _LLOYD_MAX_16])}
FITTED_THRESHOLDS = {b: (lv[:-1] + lv[1:]) / F32(2) for b, lv in FITTED_LEVELS.items()}
GAIN_REFITS = 2


def half_cell_levels(levels, thresholds):
    """The means of a unit normal over each cell's halves, split at its level: code c with bit b reads entry
    2c + b."""
    import math
    edges = [-math.inf] + [float(t) for t in thresholds] + [math.inf]
    pdf = lambda x: 0.0 if math.isinf(x) else math.exp(-x * x / 2) / math.sqrt(2 * math.pi)
    cdf = lambda x: 0.5 * math.erfc(-x / math.sqrt(2))
    mean = lambda a, b: (pdf(a) - pdf(b)) / (cdf(b) - cdf(a))
    return np.array([mean(*ab) for c, lv in enumerate(levels) for ab in ((edges[c], float(lv)), (float(lv), edges[c + 1]))],
                    dtype=F32)

DITHER_PATTERNS = 64
MAX_PADDED_DIM = 1024


def _dither_table():
    """(DITHER_PATTERNS, MAX_PADDED_DIM) offsets: entry n's top hash byte k as (2k - 255) / 512."""
    with np.errstate(over="ignore"):
        x = np.arange(1, DITHER_PATTERNS * MAX_PADDED_DIM + 1, dtype=np.uint64) * np.uint64(0x9E3779B97F4A7C15)
        x = (x ^ (x >> np.uint64(30))) * np.uint64(0xBF58476D1CE4E5B9)
        x = (x ^ (x >> np.uint64(27))) * np.uint64(0x94D049BB133111EB)
        k = ((x ^ (x >> np.uint64(31))) >> np.uint64(56)).astype(np.int64)
    return ((2 * k - 255) / 512).astype(F32).reshape(DITHER_PATTERNS, MAX_PADDED_DIM)


DITHER = _dither_table()


def dither_of(indices, p):
    """The dither patterns of the tokens appended as numbers `indices`, (len, p)."""
    return DITHER[np.asarray(indices, dtype=np.int64) % DITHER_PATTERNS, :p]


DIVISOR_FLOOR = 1e-2
DIVISOR_LEAST = F32(2.0**-40)
FLT_MAX = np.finfo(F32).max


def padded_dim(head_dim):
    p = 1
    while p < head_dim:
        p *= 2
    return p


def bytes_per_vec(head_dim, bits):
    return (bits * padded_dim(head_dim) + 7) // 8


def head_seed(seed, head):
    return (seed ^ (head * HEAD_SEED_STEP)) & MASK64


def sign_diagonal(p, seed):
    """xorshift64 (13, 7, 17); the state advances before every sign."""
    x = seed & MASK64 or 0xDEADBEEFCAFE1234
    out = np.empty(p, dtype=np.int8)
    for i in range(p):
        x ^= (x << 13) & MASK64
        x ^= x >> 7
        x ^= (x << 17) & MASK64
        out[i] = 1 if x & 1 else -1
    return out


def _seqsum(a, axis=-1):
    """Single-accumulator float32 sum in index order along an axis."""
    a = np.asarray(a, dtype=F32)
    if a.shape[axis] == 0:
        return np.zeros(np.delete(a.shape, axis), dtype=F32)
    return np.take(np.cumsum(a, axis=axis, dtype=F32), -1, axis=axis)


def _butterfly(x, h):
    n = x.shape[-1]
    blocks = x.reshape(x.shape[:-1] + (n // (2 * h), 2, h))
    u = blocks[..., 0, :]
    v = blocks[..., 1, :]
    return np.stack([u + v, u - v], axis=-2).reshape(x.shape)


def fwht(x):
    """Unnormalised Sylvester-Hadamard transform (natural order) on the last axis."""
    x = np.array(x, dtype=F32)
    h = 1
    while h < x.shape[-1]:
        x = _butterfly(x, h)
        h *= 2
    return x


def rht_forward(x, signs):
    x = np.asarray(x, dtype=F32) * signs.astype(F32)
    x = fwht(x)
    return x * (F32(1) / np.sqrt(F32(x.shape[-1])))


def rht_inverse(x, signs):
    x = fwht(x)
    return signs.astype(F32) * (x * (F32(1) / np.sqrt(F32(x.shape[-1]))))


def quantize(y, bits, thresholds=THRESHOLDS):
    """Code = number of thresholds t with y >= t (NaN compares false: code 0)."""
    y = np.asarray(y, dtype=F32)
    return np.count_nonzero(y[..., None] >= thresholds[bits], axis=-1).astype(np.uint8)


def encode(x, signs, bits):
    """Encode vectors of head_dim floats (last axis): returns (codes[..., P], scale[...])."""
    x = np.asarray(x, dtype=F32)
    hd = x.shape[-1]
    p = signs.shape[0]
    buf = np.zeros(x.shape[:-1] + (p,), dtype=F32)
    buf[..., :hd] = x
    norm = np.sqrt(_seqsum(x * x) + EPS)
    buf = buf * (F32(1) / norm)[..., None]
    buf = rht_forward(buf, signs)
    v = np.sqrt(F32(p)) * buf
    rms = np.sqrt(_seqsum(v * v) / F32(p) + EPS)
    clip = rms * F32(3)
    inv = F32(1) / (clip + EPS)
    y = np.maximum(-clip[..., None], np.minimum(clip[..., None], v)) * inv[..., None]
    return quantize(y, bits), clip * norm


def _strided_sum(a):
    """Eight float32 partial sums over indices i % 8 (last axis), in a fixed tree."""
    a = np.asarray(a, dtype=F32)
    n = a.shape[-1]
    rows = -(-n // 8)
    padded = np.zeros(a.shape[:-1] + (8 * (rows + 1),), dtype=F32)  # a leading zero row: 0 + t0, as in C++
    padded[..., 8:8 + n] = a
    p = np.cumsum(padded.reshape(a.shape[:-1] + (rows + 1, 8)), axis=-2, dtype=F32)[..., -1, :]
    p = np.moveaxis(p, -1, 0)
    return ((p[0] + p[4]) + (p[2] + p[6])) + ((p[1] + p[5]) + (p[3] + p[7]))


def mean_of(x):
    """float32 mean along the first axis from a float64 sum in index order."""
    return (np.cumsum(np.asarray(x, np.float64), axis=0)[-1] / np.float64(len(x))).astype(F32)


def fitted_stats(keys, vals, key_group=0):
    """(key_mean, val_mean, key_divisor) from the tokens appended before the switch, float64 sums in order.
    With key groups the divisor's spread is about each key's group mean (the last group's partial)."""
    keys = np.asarray(keys, dtype=F32)
    vals = np.asarray(vals, dtype=F32)
    n = np.float64(keys.shape[0])
    key_mean, val_mean = mean_of(keys), mean_of(vals)
    centre = key_mean
    if key_group:
        groups = np.split(keys, range(key_group, len(keys), key_group))
        centre = np.concatenate([np.broadcast_to(mean_of(g), g.shape) for g in groups])
    d = (keys - centre).astype(np.float64)
    rms = np.sqrt(np.cumsum(d * d, axis=0)[-1] / n)
    mean_rms = np.cumsum(rms)[-1] / np.float64(keys.shape[1])
    if mean_rms > 0 and np.isfinite(mean_rms):
        divisor = np.sqrt(np.maximum(rms, DIVISOR_FLOOR * mean_rms)).astype(F32)
    else:
        divisor = np.ones(keys.shape[1], dtype=F32)
    return key_mean, val_mean, np.maximum(divisor, DIVISOR_LEAST)


def encode_fitted(x, mean, divisor, signs, bits, half=False, dither=None):
    """Fitted encoding of vectors (last axis): (codes[..., P], scale[...]), and with `half` the half-cell bits
    (each coded coordinate at or above its code's level). divisor None: values. `dither` ([..., P], values only)
    is added to the coordinates at the gain fitted without it before the codes are chosen; the scale keeps the
    norm of the levels minus it."""
    x = np.asarray(x, dtype=F32)
    hd, p = x.shape[-1], signs.shape[0]
    y = x - mean
    if divisor is not None:
        y = y / divisor
    buf = np.zeros(x.shape[:-1] + (p,), dtype=F32)
    buf[..., :hd] = y
    norm = np.sqrt(_strided_sum(y * y) + EPS)
    buf = rht_forward(buf * (F32(1) / norm)[..., None], signs)
    sp = np.sqrt(F32(p))
    levels = FITTED_LEVELS[bits]
    v = sp * buf
    gain = np.ones(x.shape[:-1], dtype=F32)
    zero = np.zeros(x.shape[:-1], dtype=bool)
    codes = np.zeros(buf.shape, dtype=np.uint8)
    den = np.zeros(x.shape[:-1], dtype=F32)
    for _ in range(GAIN_REFITS + 1):
        inv = F32(1) / np.where(zero, F32(1), gain)
        y = np.maximum(-FLT_MAX, np.minimum(FLT_MAX, v)) * inv[..., None]
        codes = np.where(zero[..., None], codes, quantize(y, bits, FITTED_THRESHOLDS))
        above = np.where(zero[..., None], False, y >= levels[codes])
        lv = levels[codes]
        num = _strided_sum(v * lv)
        den = _strided_sum(lv * lv)
        g = num / den
        zero = zero | ~(g > 0)
        gain = np.where(zero, F32(0), g)
    if dither is not None:
        y = y + dither
        codes = np.where(zero[..., None], codes, quantize(y, bits, FITTED_THRESHOLDS))
        above = np.where(zero[..., None], False, y >= levels[codes])
        den = _strided_sum((levels[codes] - dither) ** 2)
    if divisor is None:
        gain = np.where(zero, F32(0), np.sqrt(F32(p) / den))
    if half:
        return codes, gain * norm, (above & ~zero[..., None]).astype(np.uint8)
    return codes, gain * norm


def pack_codes(codes, bits):
    """Code stream of one vector, most significant bits first, trailing group zero-filled."""
    codes = [int(c) for c in codes]
    nbytes = (bits * len(codes) + 7) // 8
    word = 0
    for c in codes:
        word = (word << bits) | c
    word <<= nbytes * 8 - bits * len(codes)
    return word.to_bytes(nbytes, "big")


def _group(bits, p):
    # Partial sums per byte at 2 bits, per 8-code group at 3 and 4 bits.
    return min(p, 4 if bits == 2 else 8)


def dot_codes(x, codes, bits, levels=None):
    """dot_packed for rows of codes (..., P): grouped partial sums, then a running total."""
    prod = (LEVELS[bits] if levels is None else levels)[codes] * np.asarray(x, dtype=F32)
    g = _group(bits, codes.shape[-1])
    part = _seqsum(prod.reshape(prod.shape[:-1] + (-1, g)))
    return _seqsum(part)


def softmax(x):
    x = np.asarray(x, dtype=F32)
    # Running maximum from x[0] with a strict comparison: NaNs after x[0] are skipped.
    m = x[0] if np.isnan(x[0]) or np.all(np.isnan(x)) else F32(np.nanmax(x))
    e = np.exp(x - m)
    return e * (F32(1) / _seqsum(e))


def bfloat16_round(x):
    """float32 rounded to bfloat16 (nearest, ties to even) and back: the scales of scale_dtype="bfloat16"."""
    bits = np.asarray(x, F32).view(np.uint32).astype(np.uint64)
    return F32((((bits + 0x7FFF + ((bits >> 16) & 1)) >> 16) << 16).astype(np.uint32).view(F32))


# One-byte scales: log2 in steps of 1/32 octave for keys (the range placed 3 octaves below their typical
# scale) and 1/16 for values (6 below), 255 steps from a base octave placed per head.
LOG_FORMATS = {"key": (32, 3), "value": (16, 6)}
LOG_LEVELS = np.array([2 ** (j / 32) for j in range(32)], F32)
LOG_THRESHOLDS = {32: np.array([2 ** ((j + 0.5) / 32) for j in range(32)], F32), 16: LOG_LEVELS[1::2]}


def log_scale_steps(x, steps):
    """The step nearest log2(x) * steps, for positive float32 scales."""
    m, e = np.frexp(np.asarray(x, F32))
    return steps * (e.astype(np.int64) - 1) + np.searchsorted(LOG_THRESHOLDS[steps], F32(2) * m, side="right")


def log_scale_base(scales, role):
    """The base octave for an array whose first coded scales these are: their mean step's octave less `below`."""
    steps, below = LOG_FORMATS[role]
    positive = scales[scales > 0]
    if len(positive) == 0:
        return 0
    mean = int(log_scale_steps(positive, steps).sum()) // len(positive)
    return int(np.clip(mean // steps - below, -126, 127 - (255 + steps - 1) // steps))


def log_scale_round(x, base, role):
    """float32 scales as scale_dtype="log8" keeps those of `role` over the range from octave `base` (0 stays 0)."""
    steps = LOG_FORMATS[role][0]
    x = np.asarray(x, F32)
    b = np.clip(log_scale_steps(np.where(x > 0, x, F32(1)), steps) - steps * base, 0, 254)
    kept = np.ldexp(LOG_LEVELS[(b % steps) * (32 // steps)], (b // steps).astype(np.int32)) * np.ldexp(F32(1), base)
    return np.where(x > 0, kept, F32(0)).astype(F32)


class ModelHead:
    """One head. Options: `recent` newest tokens and the first `sinks` tokens are
    attended at full precision once the head answers from codes; values are
    coded at `value_bits` (default: bits). With `key_group` G, tokens g*G .. g*G+G-1
    since reset form group g: a complete group's keys are coded minus its offset (its
    mean less the codec's centre, as bfloat16) and scored with q . offset added back;
    an incomplete group's keys are scored at full precision. With `value_refine` T (fitted), the newest T coded
    tokens' values are read with their half-cell bits."""

    def __init__(self, head_dim, bits, capacity, seed, encoding="clip3", recent=0, value_bits=None, sinks=0,
                 copy_dtype="float32", scale_dtype="float32", position_dtype="uint32", key_group=0, value_refine=0,
                 value_dither="none"):
        self.head_dim = head_dim
        self.dithered = value_dither == "uniform"
        self.key_group = key_group
        self.value_refine = value_refine
        self.copy_dtype = copy_dtype
        self.scale_dtype = scale_dtype
        self.bits = bits
        self.value_bits = bits if value_bits is None else value_bits
        self.recent, self.sinks = recent, sinks
        self.encoding = encoding
        table = FITTED_LEVELS if encoding == "fitted" else LEVELS
        self.levels, self.val_levels = table[bits], table[self.value_bits]
        self.capacity = capacity
        self.P = padded_dim(head_dim)
        self.bytes_per_vec = bytes_per_vec(head_dim, bits)
        self.val_bytes_per_vec = bytes_per_vec(head_dim, self.value_bits)
        self.signs = sign_diagonal(self.P, seed)
        self.key_codes = np.zeros((capacity, self.P), dtype=np.uint8)
        self.val_codes = np.zeros((capacity, self.P), dtype=np.uint8)
        self.val_half = np.zeros((capacity, self.P), dtype=np.uint8)
        if value_refine:
            self.half_levels = half_cell_levels(self.val_levels, FITTED_THRESHOLDS[self.value_bits])
        self.key_scales = np.ones(capacity, dtype=F32)
        self.val_scales = np.ones(capacity, dtype=F32)
        self.positions = np.zeros(capacity, dtype=np.int64)
        self.reset()

    def reset(self):
        self.write_slot = 0
        self.count = 0
        self.replaced = False  # the ring has overwritten a token since init/reset
        self.exact_keys = []
        self.exact_vals = []
        self.appended_keys = []  # every token since init/reset, for the sinks and recent tokens
        self.appended_vals = []
        self.stats = None  # fitted: (key_mean, val_mean, key_divisor) once fixed
        self.scale_bases = (0, 0)  # log8: the octaves the key and value scales start at, once fixed

    def append(self, key, val, pos):
        self.extend(np.asarray(key, dtype=F32)[None], np.asarray(val, dtype=F32)[None], [pos])

    def _encode(self, keys, vals, first):
        """Tokens appended as numbers first, first + 1, ..."""
        if self.encoding == "clip3":
            return encode(keys, self.signs, self.bits) + encode(vals, self.signs, self.value_bits)
        key_mean, val_mean, divisor = self.stats
        dither = dither_of(first + np.arange(len(vals)), self.P) if self.dithered else None
        return (encode_fitted(keys, key_mean, divisor, self.signs, self.bits)
                + encode_fitted(vals, val_mean, None, self.signs, self.value_bits, half=True, dither=dither))

    def _kept_scales(self, scales, role):
        if self.scale_dtype == "bfloat16":
            return bfloat16_round(scales)
        base = self.scale_bases[role == "value"]
        return log_scale_round(scales, base, role) if self.scale_dtype == "log8" else scales

    def _store(self, slot, kc, ks, vc, vs, vh=0):
        self.key_codes[slot], self.val_codes[slot], self.val_half[slot] = kc, vc, vh
        self.key_scales[slot] = self._kept_scales(ks, "key")
        self.val_scales[slot] = self._kept_scales(vs, "value")

    def _advance(self, key, val, pos):
        s = self.write_slot
        self.positions[s] = pos
        self.write_slot = (s + 1) % self.capacity
        if self.count < self.capacity:
            self.count += 1
        else:
            self.replaced = True
        if len(self.exact_keys) < EXACT_WINDOW:
            self.exact_keys.append(key.copy())
            self.exact_vals.append(val.copy())
        self.appended_keys.append(key.copy())
        self.appended_vals.append(val.copy())

    def _fix_stats(self, key, val):
        """Fitted: statistics from every token appended since reset, then the held tokens coded."""
        appended = self.capacity + 1 if self.replaced else self.count
        keys = np.array((self.exact_keys + [key])[:appended])
        vals = np.array((self.exact_vals + [val])[:appended])
        self.stats = fitted_stats(keys, vals, self.key_group)
        first = appended - self.count
        kc, ks, vc, vs, vh = self._encode(keys[first:], vals[first:], first)
        if self.scale_dtype == "log8":
            self.scale_bases = (log_scale_base(ks, "key"), log_scale_base(vs, "value"))
        for j, i in enumerate(range(first, appended)):
            self._store(i % self.capacity, kc[j], ks[j], vc[j], vs[j], vh[j])

    def extend(self, keys, vals, positions):
        """Appends several tokens in order (encodes them in one vectorised pass)."""
        keys = np.asarray(keys, dtype=F32)
        vals = np.asarray(vals, dtype=F32)
        assert keys.shape == vals.shape and keys.shape[1:] == (self.head_dim,)
        if not (np.all(np.isfinite(keys)) and np.all(np.isfinite(vals))):
            raise ValueError("key and val must be finite")
        i = 0
        # A fitted head codes nothing until the append that ends its exact answers.
        while self.encoding == "fitted" and self.stats is None and i < keys.shape[0]:
            self._advance(keys[i], vals[i], positions[i])
            if not self.uses_exact():
                self._fix_stats(keys[i], vals[i])
            i += 1
        if i == keys.shape[0]:
            return
        kc, ks, vc, vs, *vh = self._encode(keys[i:], vals[i:], len(self.appended_keys))
        for j in range(keys.shape[0] - i):
            self._store(self.write_slot, kc[j], ks[j], vc[j], vs[j], vh[0][j] if vh else 0)
            self._advance(keys[i + j], vals[i + j], positions[i + j])

    def uses_exact(self):
        return (not self.replaced and self.count <= EXACT_WINDOW
                and len(self.exact_keys) == self.count)

    def slots(self):
        """Ring slots of the held tokens, oldest first."""
        t, cap = self.count, self.capacity
        return [(self.write_slot - t + k + cap) % cap for k in range(t)]

    def attend(self, query, path=None):
        """path: None picks like the library; "exact" / "quantized" force one."""
        query = np.asarray(query, dtype=F32)
        if self.count == 0:
            return np.zeros(self.head_dim, dtype=F32)
        if path is None:
            path = "exact" if self.uses_exact() else "quantized"
        if path == "exact":
            return exact_attend(query, np.array(self.exact_keys[:self.count]),
                                np.array(self.exact_vals[:self.count]))
        return self._attend_quantized(query)

    def split(self):
        """(coded_from, coded_to, full-precision append indices): which held tokens,
        oldest first, answer from codes, and which tokens at full precision."""
        t, appended = self.count, len(self.appended_keys)
        first = appended - t
        sinks = min(self.sinks, appended)
        coded_from = min(max(sinks - first, 0), t)
        coded_to = max(coded_from, t - min(self.recent, t))
        return coded_from, coded_to, list(range(sinks)) + list(range(first + coded_to, appended))

    def _copies(self, tokens, full):
        """The full-precision copies of tokens `full`, as a head answering from codes keeps them: float16 ones
        saturate at the largest half."""
        x = np.array([tokens[i] for i in full], dtype=F32).reshape(len(full), self.head_dim)
        if self.copy_dtype == "float16":
            x = np.clip(x, F32(-65504), F32(65504)).astype(np.float16).astype(F32)
        return x

    def _quantized_scores(self, query):
        """Scores of the coded tokens, oldest first, then of the full-precision ones."""
        hd, p, bits = self.head_dim, self.P, self.bits
        coded_from, coded_to, full = self.split()
        x = query
        if self.stats is not None:
            query = query * self.stats[2]
        rq = np.zeros(p, dtype=F32)
        rq[:hd] = query
        norm = np.sqrt(_seqsum(query * query) + EPS)
        rq = (F32(1) / norm) * rq
        rq = rht_forward(rq, self.signs)
        rq = (np.sqrt(F32(p)) * norm) * rq
        kf = F32(1) / (np.sqrt(F32(hd)) * F32(p))
        key_mean = self.stats[0] if self.stats is not None else np.zeros(hd, F32)
        f = F32(1) / np.sqrt(F32(hd))
        keys_to = coded_to
        if self.key_group:
            keys_to = max(coded_from, min(coded_to, self.count - min(len(self.appended_keys) % self.key_group,
                                                                     self.count)))
        s = np.array(self.slots()[coded_from:keys_to], dtype=np.intp)
        if not len(s):
            scores = np.zeros(0, F32)
        elif self.key_group:
            index = np.arange(coded_from, keys_to) + len(self.appended_keys) - self.count
            codes, scales, taken = self._grouped_keys(index, key_mean)
            scores = (dot_codes(rq, codes, bits, self.levels) * kf) * scales + _strided_sum(x * taken) * f
        else:
            scores = (dot_codes(rq, self.key_codes[s], bits, self.levels) * kf) * self.key_scales[s]
        # Full-precision keys are scored with the key mean left out, as the coded ones are; so are the keys
        # waiting for their group, from the keys as appended.
        waiting = np.array(self.appended_keys, F32)[len(self.appended_keys) - self.count + np.arange(keys_to, coded_to)]
        fk = self._copies(self.appended_keys, full)
        products = x[None, :] * (np.concatenate([waiting.reshape(-1, hd), fk]) - key_mean[None, :])
        full_scores = (_strided_sum(products) if len(products) else np.zeros(0, F32)) * f
        return np.concatenate([scores, full_scores]).astype(F32)

    def _grouped_keys(self, index, centre):
        """(codes, scales, offsets taken) of the keys appended as numbers `index`, each of a complete group."""
        G, hd = self.key_group, self.head_dim
        keys = np.array(self.appended_keys, F32)
        offsets = np.array([bfloat16_round(mean_of(keys[g * G:(g + 1) * G]) - centre) for g in range(len(keys) // G)])
        taken = offsets.reshape(-1, hd)[index // G]
        shifted = keys[index] - taken
        if self.encoding == "clip3":
            codes, scales = encode(shifted, self.signs, self.bits)
        else:
            codes, scales = encode_fitted(shifted, centre, self.stats[2], self.signs, self.bits)
        return codes, self._kept_scales(scales, "key"), taken

    def _attend_quantized(self, query):
        hd, p = self.head_dim, self.P
        coded_from, coded_to, full = self.split()
        with np.errstate(over="ignore", invalid="ignore"):
            weights = softmax(self._quantized_scores(query))
        if not np.isfinite(weights[0]) and np.isfinite(query).all():
            weights = self._huge_query_weights(query)
        s = np.array(self.slots()[coded_from:coded_to], dtype=np.intp)
        w, fw = weights[:len(s)], weights[len(s):]
        vf = F32(1) / np.sqrt(F32(p))
        wv = (self.val_scales[s] * w) * vf
        codes = self.val_codes[s].astype(np.intp)
        scaled = self.val_levels[None, :] * wv[:, None]
        contrib = np.take_along_axis(scaled, codes, axis=1)
        if self.value_refine:
            r = slice(max(0, len(s) - self.value_refine), len(s))
            half = self.half_levels[None, :] * wv[r, None]
            contrib[r] = np.take_along_axis(half, 2 * codes[r] + self.val_half[s[r]], axis=1)
        acc = _seqsum(contrib, axis=0) if len(s) else np.zeros(p, F32)
        if self.dithered and len(s):   # taken off once per pattern: its tokens' weighted scales times it
            index = len(self.appended_keys) - self.count + np.arange(coded_from, coded_to)
            weight = np.bincount(index % DITHER_PATTERNS, self.val_scales[s].astype(np.float64) * w,
                                 minlength=DITHER_PATTERNS)
            for pattern, wp in enumerate((weight * float(vf)).astype(F32)):
                if wp != 0:
                    acc = acc - wp * DITHER[pattern, :p]
        out = rht_inverse(acc, self.signs)[:hd]
        if not full:
            return out if self.stats is None else out + self.stats[1]
        if self.stats is not None:
            out = out + self.stats[1] * (F32(1) - _seqsum(fw))
        fv = self._copies(self.appended_vals, full)
        for j in range(len(full)):
            out = out + fw[j] * fv[j]
        return out

    def attended(self):
        """Tokens a query attends: the held ones and the sinks the ring replaced."""
        if self.uses_exact():
            return self.count
        coded_from, _, _ = self.split()
        return self.count - coded_from + min(self.sinks, len(self.appended_keys))

    def _huge_query_weights(self, query):
        """Scores that overflowed float32: the query scaled down by 2^-e (its
        largest coordinate below 1) scores finitely, and the softmax of those
        scores times 2^e is formed in float64."""
        largest = np.max(np.abs(query.astype(np.float64)))
        e = int(np.frexp(largest)[1])
        scores = self._quantized_scores(np.ldexp(query, -e).astype(F32)).astype(np.float64)
        w = np.exp((scores - scores.max()) * 2.0**e)
        return (w / w.sum()).astype(F32)


def exact_attend_wide(query, keys, vals):
    """Attention in float64, where no finite query's scores overflow."""
    s = keys.astype(np.float64) @ query.astype(np.float64) / np.sqrt(len(query))
    w = np.exp(s - s.max())
    return ((w / w.sum()) @ vals.astype(np.float64)).astype(F32)


def exact_attend(query, keys, vals):
    """Plain float32 attention, or float64 for a finite query whose scores overflow."""
    with np.errstate(over="ignore", invalid="ignore", divide="ignore"):
        out = exact_attend_f32(query, keys, vals)
    if not np.isfinite(out).all() and np.isfinite(query).all():
        return exact_attend_wide(query, keys, vals)
    return out


def exact_attend_f32(query, keys, vals):
    """Plain float32 attention; the running maximum starts at -1e30."""
    hd = query.shape[0]
    f = F32(1) / np.sqrt(F32(hd))
    scores = _seqsum(keys * query[None, :]) * f
    finite = scores[~np.isnan(scores)]
    m = F32(-1e30) if finite.size == 0 else max(F32(-1e30), F32(finite.max()))
    e = np.exp(scores - m)
    r = F32(1) / _seqsum(e)
    return _seqsum((r * e)[:, None] * vals, axis=0)


def fitted_attend_unquantized(query, keys, vals, stats, signs):
    """The fitted path in float64 with coding replaced by identity: keys centred
    and divided, values centred, the query multiplied, all rotated, and the value
    mean added back. Equals plain attention over keys and vals in exact arithmetic."""
    key_mean, val_mean, divisor = (np.asarray(a, np.float64) for a in stats)
    hd, p = len(query), signs.shape[0]
    h = np.array([[(-1) ** bin(i & j).count("1") for j in range(p)] for i in range(p)], np.float64) / np.sqrt(p)

    def rotate(x):
        padded = np.zeros(x.shape[:-1] + (p,))
        padded[..., :hd] = x
        return (padded * signs) @ h.T

    k = rotate((np.asarray(keys, np.float64) - key_mean) / divisor)
    v = rotate(np.asarray(vals, np.float64) - val_mean)
    q = rotate(np.asarray(query, np.float64) * divisor)
    s = k @ q / np.sqrt(hd)
    w = np.exp(s - s.max())
    out = ((w / w.sum()) @ v) @ h * signs  # the rotation's inverse
    return out[:hd] + val_mean


class ModelContext:
    def __init__(self, n_heads, head_dim, bits, capacity, seed=0, encoding="clip3", **options):
        self.n_heads = n_heads
        self.head_dim = head_dim
        self.heads = [ModelHead(head_dim, bits, capacity, head_seed(seed, i), encoding, **options)
                      for i in range(n_heads)]

    def _head(self, head):
        if not 0 <= head < self.n_heads:
            raise IndexError(f"head {head} is out of range for a context with {self.n_heads} heads")
        return self.heads[head]

    def append(self, head, key, val, pos):
        self._head(head).append(key, val, pos)

    def extend(self, head, keys, vals, positions=None):
        keys = np.asarray(keys, dtype=F32)
        if positions is None:
            positions = range(keys.shape[0])
        self._head(head).extend(keys, vals, list(positions))

    def compute(self, head, query, path=None):
        return self._head(head).attend(query, path)

    def compute_batch(self, head, queries, path=None):
        h = self._head(head)
        queries = np.asarray(queries, dtype=F32)
        return np.array([h.attend(q, path) for q in queries], dtype=F32).reshape(queries.shape)

    def reset(self):
        for h in self.heads:
            h.reset()

    def kv_bytes(self):
        return sum(h.count * (h.bytes_per_vec + h.val_bytes_per_vec) for h in self.heads)
