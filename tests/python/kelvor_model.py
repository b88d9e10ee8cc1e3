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


def quantize(y, bits):
    """Code = number of thresholds t with y >= t (NaN compares false: code 0)."""
    y = np.asarray(y, dtype=F32)
    return np.count_nonzero(y[..., None] >= THRESHOLDS[bits], axis=-1).astype(np.uint8)


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


def dot_codes(x, codes, bits):
    """dot_packed for rows of codes (..., P): grouped partial sums, then a running total."""
    prod = LEVELS[bits][codes] * np.asarray(x, dtype=F32)
    g = _group(bits, codes.shape[-1])
    part = _seqsum(prod.reshape(prod.shape[:-1] + (-1, g)))
    return _seqsum(part)


def softmax(x):
    x = np.asarray(x, dtype=F32)
    # Running maximum from x[0] with a strict comparison: NaNs after x[0] are skipped.
    m = x[0] if np.isnan(x[0]) or np.all(np.isnan(x)) else F32(np.nanmax(x))
    e = np.exp(x - m)
    return e * (F32(1) / _seqsum(e))


class ModelHead:
    def __init__(self, head_dim, bits, capacity, seed):
        self.head_dim = head_dim
        self.bits = bits
        self.capacity = capacity
        self.P = padded_dim(head_dim)
        self.bytes_per_vec = bytes_per_vec(head_dim, bits)
        self.signs = sign_diagonal(self.P, seed)
        self.key_codes = np.zeros((capacity, self.P), dtype=np.uint8)
        self.val_codes = np.zeros((capacity, self.P), dtype=np.uint8)
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

    def append(self, key, val, pos):
        self.extend(np.asarray(key, dtype=F32)[None], np.asarray(val, dtype=F32)[None], [pos])

    def extend(self, keys, vals, positions):
        """Appends several tokens in order (encodes them in one vectorised pass)."""
        keys = np.asarray(keys, dtype=F32)
        vals = np.asarray(vals, dtype=F32)
        assert keys.shape == vals.shape and keys.shape[1:] == (self.head_dim,)
        if not (np.all(np.isfinite(keys)) and np.all(np.isfinite(vals))):
            raise ValueError("key and val must be finite")
        kc, ks = encode(keys, self.signs, self.bits)
        vc, vs = encode(vals, self.signs, self.bits)
        for i in range(keys.shape[0]):
            s = self.write_slot
            self.key_codes[s], self.val_codes[s] = kc[i], vc[i]
            self.key_scales[s], self.val_scales[s] = ks[i], vs[i]
            self.positions[s] = positions[i]
            self.write_slot = (s + 1) % self.capacity
            if self.count < self.capacity:
                self.count += 1
            else:
                self.replaced = True
            if len(self.exact_keys) < EXACT_WINDOW:
                self.exact_keys.append(keys[i].copy())
                self.exact_vals.append(vals[i].copy())

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

    def _attend_quantized(self, query):
        hd, p, bits = self.head_dim, self.P, self.bits
        rq = np.zeros(p, dtype=F32)
        rq[:hd] = query
        norm = np.sqrt(_seqsum(query * query) + EPS)
        rq = (F32(1) / norm) * rq
        rq = rht_forward(rq, self.signs)
        rq = (np.sqrt(F32(p)) * norm) * rq
        levels = LEVELS[bits]
        kf = F32(1) / (np.sqrt(F32(hd)) * F32(p))
        vf = F32(1) / np.sqrt(F32(p))
        s = np.array(self.slots(), dtype=np.intp)
        scores = (dot_codes(rq, self.key_codes[s], bits) * kf) * self.key_scales[s]
        w = softmax(scores)
        w = (self.val_scales[s] * w) * vf
        scaled = levels[None, :] * w[:, None]
        contrib = np.take_along_axis(scaled, self.val_codes[s].astype(np.intp), axis=1)
        acc = _seqsum(contrib, axis=0)
        return rht_inverse(acc, self.signs)[:hd]


def exact_attend(query, keys, vals):
    """Plain float32 attention; the running maximum starts at -1e30."""
    hd = query.shape[0]
    f = F32(1) / np.sqrt(F32(hd))
    scores = _seqsum(keys * query[None, :]) * f
    finite = scores[~np.isnan(scores)]
    m = F32(-1e30) if finite.size == 0 else max(F32(-1e30), F32(finite.max()))
    e = np.exp(scores - m)
    r = F32(1) / _seqsum(e)
    return _seqsum((r * e)[:, None] * vals, axis=0)


class ModelContext:
    def __init__(self, n_heads, head_dim, bits, capacity, seed=0):
        self.n_heads = n_heads
        self.head_dim = head_dim
        self.heads = [ModelHead(head_dim, bits, capacity, head_seed(seed, i)) for i in range(n_heads)]

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
        return np.stack([h.attend(q, path) for q in queries]).reshape(queries.shape)

    def reset(self):
        for h in self.heads:
            h.reset()

    def kv_bytes(self):
        return sum(2 * h.count * h.bytes_per_vec for h in self.heads)
