"""Key/value caches in NumPy for the perplexity benchmark, and what every cache stores per token.

Each cache has the two calls of `kelvor_py.MHAContext` that a decoder layer
makes (`append_heads`, `compute_heads`), so the model loop treats them alike.
A peer quantises keys and values as they enter the cache (or, for the
KIVI-like ones, once a group or window lets go of them) and attends in float32
over what it would give back from storage.
"""
import math

import numpy as np

from accuracy_schemes import GROUP, int4_blocks, int4_zero_point_blocks, int8_blocks, kivi_keys, kivi_values

START_WINDOW = 512  # tokens the library keeps at full precision until it answers from codes


class Float32Cache:
    """Keys and values as given, float32 attention over all of them."""

    def __init__(self, n_kv_heads, head_dim, capacity):
        self.n_kv_heads, self.head_dim, self.capacity = n_kv_heads, head_dim, capacity
        # Keys held transposed, so scoring is one contiguous (queries x head_dim) @ (head_dim x tokens) per head.
        self.keys_t = np.zeros((n_kv_heads, head_dim, capacity), np.float32)
        self.vals = np.zeros((n_kv_heads, capacity, head_dim), np.float32)
        self.n = 0
        self._scale = np.float32(1 / math.sqrt(head_dim))

    def append_heads(self, keys, vals, pos):
        if self.n == self.capacity:
            raise ValueError(f"{type(self).__name__} is full ({self.capacity} tokens)")
        self.keys_t[:, :, self.n] = keys
        self.vals[:, self.n] = vals
        self.n += 1
        self._stored()

    def _stored(self):
        """After each append: a quantising cache replaces the slots whose stored form is now fixed."""

    def append_compute_heads(self, keys, vals, queries, pos):
        """MHAContext's causal block: token t appended, then its queries answered."""
        out = np.empty(np.shape(queries), np.float32)
        for t in range(len(keys)):
            self.append_heads(keys[t], vals[t], pos + t)
            out[t] = self.compute_heads(queries[t])
        return out

    def compute_heads(self, queries):
        h, n, d = self.n_kv_heads, self.n, self.head_dim
        q = np.asarray(queries, np.float32).reshape(h, -1, d)
        s = q @ self.keys_t[:, :, :n]
        s *= self._scale
        s -= s.max(axis=-1, keepdims=True)
        np.exp(s, out=s)
        s /= s.sum(axis=-1, keepdims=True)
        return (s @ self.vals[:, :n]).reshape(-1, d)


class EntryQuantisedCache(Float32Cache):
    """Every key and value replaced by quantise(vector) as it is appended."""

    def __init__(self, n_kv_heads, head_dim, capacity, quantise):
        super().__init__(n_kv_heads, head_dim, capacity)
        self.quantise = quantise

    def _stored(self):
        t = self.n - 1
        self.keys_t[:, :, t] = self.quantise(self.keys_t[:, :, t])
        self.vals[:, t] = self.quantise(self.vals[:, t])


def kivi_float_tokens(tokens, window):
    """(keys, values) a KIVI-like cache holds in float after `tokens` appends: keys are quantised per channel a
    whole group of GROUP tokens at a time once all of it is older than the window, values one token at a time
    as they leave it; with no window the newest incomplete key group is still float."""
    out_of_window = max(tokens - window, 0)
    return tokens - GROUP * (out_of_window // GROUP), tokens - out_of_window


class KiviCache(Float32Cache):
    """Keys per channel over groups of GROUP tokens, values per token (over the whole head_dim, or per
    `value_group` channels); what it still holds in float it holds in float16, as KIVI keeps a float16 model's
    cache."""

    def __init__(self, n_kv_heads, head_dim, capacity, bits, window=0, value_group=None):
        super().__init__(n_kv_heads, head_dim, capacity)
        self.bits, self.window, self.value_group = bits, window, value_group

    def _stored(self):
        newest = self.n - 1
        self.keys_t[:, :, newest] = self.keys_t[:, :, newest].astype(np.float16)
        self.vals[:, newest] = self.vals[:, newest].astype(np.float16)
        leaving = newest - self.window   # the token that just left the window
        if leaving < 0:
            return
        self.vals[:, leaving] = kivi_values(self.vals[:, leaving], self.bits, self.value_group)
        if (leaving + 1) % GROUP == 0:
            g = slice(leaving + 1 - GROUP, leaving + 1)
            for h in range(self.n_kv_heads):
                self.keys_t[h, :, g] = kivi_keys(self.keys_t[h, :, g].T, self.bits).T


def f32(quantise):
    return lambda x: quantise(x).astype(np.float32)


def _entry(quantise):
    return lambda h, d, c: EntryQuantisedCache(h, d, c, f32(quantise))


def _blocks_bpe(code_bits, side_bits_per_block):
    return lambda d, t: code_bits + side_bits_per_block * math.ceil(d / GROUP) / d


def kivi_bits_per_element(bits, window, value_group=None):
    """Codes, a float16 scale and zero point per key channel per group and per value token (or per group of
    value channels), float16 for what is still float."""
    def bpe(d, t):
        float_keys, float_vals = kivi_float_tokens(t, window)
        key_groups = (t - float_keys) // GROUP
        value_blocks = 1 if value_group is None else math.ceil(d / value_group)
        key_bits = (t - float_keys) * d * bits + key_groups * d * 32 + float_keys * d * 16
        val_bits = (t - float_vals) * (d * bits + 32 * value_blocks) + float_vals * d * 16
        return (key_bits + val_bits) / (2 * t * d)
    return bpe


# name -> (cache factory (n_kv_heads, head_dim, capacity), bits per element (head_dim, tokens))
PEERS = {
    "float32": (Float32Cache, lambda d, t: 32.0),
    f"int8 blocks of {GROUP}": (_entry(int8_blocks), _blocks_bpe(8, 16)),
    f"int4 blocks of {GROUP}": (_entry(int4_blocks), _blocks_bpe(4, 16)),
    f"int4 blocks of {GROUP}, zero point": (_entry(int4_zero_point_blocks), _blocks_bpe(4, 32)),
}
for _group in (None, GROUP):
    for _bits in (2, 4):
        for _window in (0, 128):
            _name = (f"KIVI-like {_bits}-bit" + (f", values per {_group} channels" if _group else "")
                     + (f", recent {_window}" if _window else ""))
            PEERS[_name] = ((lambda b, w, g: lambda h, d, c: KiviCache(h, d, c, b, w, g))(_bits, _window, _group),
                            kivi_bits_per_element(_bits, _window, _group))


def library_bits_per_element(head_dim, tokens, bits, capacity, value_bits=None, sinks=0, recent=0,
                             encoding="clip3", copy_dtype="float32", scale_dtype="float32", position_dtype="uint32",
                             key_group=0, value_refine=0, value_dither="none"):
    """What one head of the library holds after `tokens` appends, in bits per key/value element of the text:
    codes of the held tokens (P = head_dim rounded up to a power of two), a scale per key and per value (float32,
    bfloat16 or one byte),
    a uint32 position per held token (none with position_dtype "none"), copies of the sinks and of the recent window once the head answers from
    codes (float32 or float16; the float32 start-up window until then), the fitted encoding's three float32
    vectors, and with key groups of G tokens a group's waiting keys at float32 and a bfloat16 offset per group
    (a ring of ceil(capacity / G) + 1, grown with the held tokens), and with refined values a bit per coordinate of
    the refined and the recent tokens. Dithered values cost nothing: their patterns are shared, fixed tables."""
    value_bits = bits if value_bits is None else value_bits
    p = 1 << (head_dim - 1).bit_length()
    held = min(tokens, capacity)
    from_codes = tokens > min(START_WINDOW, capacity)
    coded = held if (from_codes or encoding == "clip3") else 0
    scale = {"bfloat16": 16, "log8": 8}.get(scale_dtype, 32)
    total = coded * p * (bits + value_bits) + held * (2 * scale + (0 if position_dtype == "none" else 32))
    if from_codes:
        total += (min(sinks, tokens) + min(recent, held)) * 2 * head_dim * (16 if copy_dtype == "float16" else 32)
    else:
        total += min(tokens, START_WINDOW) * 2 * head_dim * 32
    if encoding == "fitted":
        total += 3 * head_dim * 32
    if key_group:
        entries = math.ceil(capacity / key_group) + 1
        total += key_group * head_dim * 32 + min(entries, math.ceil(held / key_group) + 1) * head_dim * 16
    if value_refine:
        total += min(value_refine + min(recent, capacity), capacity) * p
    return total / (2 * tokens * head_dim)
