"""kelvor_py demo: fill a compressed KV cache, then check its memory, accuracy and speed.

For each encoding ("clip3", the default, and "fitted") and each code width
(2, 3 and 4 bits) an 8-head context is filled with the same synthetic keys and
values, token by token, and then queried. Its answers are compared with exact
float64 attention over the same tokens, and its timings with plain NumPy
float32 attention.
"""

import math
import os
import sys
import time

# The library answers on the calling thread alone; give NumPy's BLAS one thread
# too so the timings compare like with like. An explicit setting wins.
_BLAS_THREAD_VARS = ("OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "OMP_NUM_THREADS")
NUMPY_PINNED = not any(v in os.environ for v in _BLAS_THREAD_VARS)
if NUMPY_PINNED:
    for _var in _BLAS_THREAD_VARS:
        os.environ[_var] = "1"

import numpy as np  # noqa: E402 (after the thread setting, which BLAS reads at load)

import kelvor_py  # noqa: E402

N_HEADS = 8
HEAD_DIM = 128
CAPACITY = 8192
N_TOKENS = 8192
QUERIES_PER_HEAD = 16
BITS = (2, 3, 4)
ENCODINGS = ("clip3", "fitted")
DATA_SEED = 2024
CTX_SEED = 7

# Key shape, like the keys of a real model: a few channels per head carry most of
# the magnitude, and the mean of the tokens wanders slowly along the sequence.
OUTLIER_CHANNELS = 4
OUTLIER_GAIN = (10.0, 20.0)
DRIFT_STEP = 0.02
# Overall key/query scale: keeps q.k/sqrt(d) in the range of a trained model
# (a few units) instead of letting the outlier channels make every softmax one-hot.
KEY_SCALE = 0.3


class Progress:
    """One-line progress bar; on a non-terminal stream it prints only quarter marks."""

    def __init__(self, label, total, stream=sys.stderr, width=30):
        self.label = label
        self.total = total
        self.stream = stream
        self.width = width
        self.tty = stream.isatty()
        self.start = time.perf_counter()
        self.last_draw = -1.0
        self.next_quarter = 1
        if not self.tty:
            stream.write(f"{label}:")
            stream.flush()

    def update(self, done):
        if self.tty:
            now = time.perf_counter()
            if now - self.last_draw >= 0.1 or done == self.total:
                self.last_draw = now
                self._draw(done, now - self.start)
        else:
            while self.next_quarter <= 4 and done * 4 >= self.next_quarter * self.total:
                self.stream.write(f" {25 * self.next_quarter}%")
                self.stream.flush()
                self.next_quarter += 1

    def _draw(self, done, elapsed):
        filled = self.width * done // self.total
        bar = "#" * filled + "-" * (self.width - filled)
        rate = done / elapsed if elapsed > 0 else 0.0
        self.stream.write(f"\r{self.label} [{bar}] {100 * done // self.total:3d}%  "
                          f"{done}/{self.total}  {rate / 1e3:6.1f}k appends/s")
        self.stream.flush()

    def close(self):
        elapsed = time.perf_counter() - self.start
        if self.tty:
            self._draw(self.total, elapsed)
        else:
            self.update(self.total)
        self.stream.write(f"  ({elapsed:.1f} s)\n")
        self.stream.flush()


def _keylike(rng, n, gains, channels, drift):
    """n key-shaped vectors: Gaussian, outlier channels boosted, plus a mean offset per row."""
    x = rng.standard_normal((n, HEAD_DIM))
    x[:, channels] *= gains
    x += drift[:, None]
    return KEY_SCALE * x


def make_tokens(seed=DATA_SEED):
    """Keys, values and queries of every head, float32 of shapes (H, T, D), (H, T, D), (H, Q, D)."""
    rng = np.random.default_rng(seed)
    keys = np.empty((N_HEADS, N_TOKENS, HEAD_DIM), np.float32)
    values = np.empty_like(keys)
    queries = np.empty((N_HEADS, QUERIES_PER_HEAD, HEAD_DIM), np.float32)
    for h in range(N_HEADS):
        channels = rng.choice(HEAD_DIM, OUTLIER_CHANNELS, replace=False)
        gains = rng.uniform(*OUTLIER_GAIN, OUTLIER_CHANNELS)
        drift = np.cumsum(rng.normal(0.0, DRIFT_STEP, N_TOKENS))
        keys[h] = _keylike(rng, N_TOKENS, gains, channels, drift)
        values[h] = rng.standard_normal((N_TOKENS, HEAD_DIM))
        at = rng.integers(0, N_TOKENS, QUERIES_PER_HEAD)  # each query takes the drift of a random token
        queries[h] = _keylike(rng, QUERIES_PER_HEAD, gains, channels, drift[at])
    return keys, values, queries


def fill_context(ctx, keys, values, label):
    """Appends every token to every head in arrival order; returns seconds spent."""
    n_heads, n_tokens, _ = keys.shape
    # Row views made once, so the loop times the appends rather than NumPy indexing.
    key_rows = [list(keys[h]) for h in range(n_heads)]
    val_rows = [list(values[h]) for h in range(n_heads)]
    total = n_heads * n_tokens
    progress = Progress(label, total)
    step = max(1, n_tokens // 200)
    append = ctx.append
    start = time.perf_counter()
    for t in range(n_tokens):
        for h in range(n_heads):
            append(h, key_rows[h][t], val_rows[h][t], t)
        if t % step == 0:
            progress.update((t + 1) * n_heads)
    elapsed = time.perf_counter() - start
    progress.close()
    return elapsed


def exact_attention(keys, values, query):
    """softmax(K q / sqrt(d)) V in float64."""
    k = keys.astype(np.float64)
    s = k @ query.astype(np.float64) / math.sqrt(k.shape[1])
    p = np.exp(s - s.max())
    return (p / p.sum()) @ values.astype(np.float64)


def numpy_attention(keys, values, query):
    """The float32 baseline: K @ q, stable softmax, p @ V."""
    s = keys @ (query * np.float32(1.0 / math.sqrt(keys.shape[1])))
    s -= s.max()
    np.exp(s, out=s)
    s /= s.sum()
    return s @ values


def effective_tokens(keys, query):
    """exp(entropy) of the exact attention weights: how many tokens a query really reads."""
    s = keys.astype(np.float64) @ query.astype(np.float64) / math.sqrt(keys.shape[1])
    p = np.exp(s - s.max())
    p /= p.sum()
    return math.exp(-np.sum(p[p > 0] * np.log(p[p > 0])))


def measure_error(answer, references, queries):
    """Relative L2 error and cosine similarity of answer(h, q) against the float64 references."""
    rel, cos = [], []
    for h in range(queries.shape[0]):
        for i in range(queries.shape[1]):
            got = np.asarray(answer(h, queries[h, i]), np.float64)
            ref = references[h, i]
            rel.append(np.linalg.norm(got - ref) / np.linalg.norm(ref))
            cos.append(got @ ref / (np.linalg.norm(got) * np.linalg.norm(ref)))
    rel, cos = np.array(rel), np.array(cos)
    return {"rel_mean": rel.mean(), "rel_worst": rel.max(), "cos_mean": cos.mean(), "cos_worst": cos.min()}


def time_calls(fn, calls, rounds=7, min_seconds=0.08):
    """Best per-call time over several rounds; each round runs every call, repeated up to min_seconds."""
    fn(*calls[0])  # warm-up: first-use allocations and caches
    best = float("inf")
    for _ in range(rounds):
        n = 0
        start = time.perf_counter()
        while True:
            for args in calls:
                fn(*args)
            n += len(calls)
            elapsed = time.perf_counter() - start
            if elapsed >= min_seconds:
                break
        best = min(best, elapsed / n)
    return best


def time_compute(ctx, queries):
    """Seconds per ctx.compute, cycling through two queries of every head."""
    calls = [(h, queries[h, i]) for h in range(queries.shape[0]) for i in range(2)]
    return time_calls(ctx.compute, calls)


def time_numpy(keys, values, queries):
    """Seconds per NumPy float32 attention over one head's tokens."""
    calls = [(keys[h], values[h], queries[h, i]) for h in range(queries.shape[0]) for i in range(2)]
    return time_calls(numpy_attention, calls)


def fmt_bytes(n):
    for unit in ("B", "KiB", "MiB", "GiB"):
        if n < 1024 or unit == "GiB":
            return f"{n:.0f} {unit}" if unit == "B" else f"{n:.2f} {unit}"
        n /= 1024.0


def fmt_time(seconds):
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    return f"{seconds * 1e3:.3f} ms"


def print_table(title, header, rows):
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = "  ".join("-" * w for w in widths)
    print(f"\n{title}")
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    print(line)
    for row in rows:
        print("  ".join(str(c).rjust(w) for c, w in zip(row, widths)))
    sys.stdout.flush()


def main():
    print(f"kelvor_py demo: {N_HEADS} heads x {HEAD_DIM} dims, capacity {CAPACITY}, {N_TOKENS} tokens/head "
          f"(keys Gaussian, {OUTLIER_CHANNELS} outlier channels x{OUTLIER_GAIN[0]:g}-{OUTLIER_GAIN[1]:g}, "
          f"mean drift; values Gaussian; seed {DATA_SEED}), {QUERIES_PER_HEAD} queries/head, "
          f"bits {', '.join(map(str, BITS))}", flush=True)

    keys, values, queries = make_tokens()
    references = np.array([[exact_attention(keys[h], values[h], q) for q in queries[h]] for h in range(N_HEADS)])
    eff = np.median([effective_tokens(keys[h], q) for h in range(N_HEADS) for q in queries[h]])

    results = []
    for encoding in ENCODINGS:
        for bits in BITS:
            ctx = kelvor_py.MHAContext(N_HEADS, HEAD_DIM, bits, CAPACITY, seed=CTX_SEED, encoding=encoding)
            fill_seconds = fill_context(ctx, keys, values, f"append {encoding} {bits}-bit")
            results.append({
                "encoding": encoding,
                "bits": bits,
                "kv_bytes": ctx.kv_bytes(),
                "memory": ctx.memory_bytes(),
                "append": fill_seconds / (N_TOKENS * N_HEADS),
                "error": measure_error(ctx.compute, references, queries),
                "compute": time_compute(ctx, queries),
            })
            del ctx

    numpy_seconds = time_numpy(keys, values, queries)
    f16 = keys.astype(np.float16), values.astype(np.float16)
    baselines = [
        ("numpy float32", measure_error(lambda h, q: numpy_attention(keys[h], values[h], q), references, queries)),
        ("float16 K/V", measure_error(
            lambda h, q: numpy_attention(f16[0][h].astype(np.float32), f16[1][h].astype(np.float32), q),
            references, queries)),
    ]

    f32_bytes = 2 * N_HEADS * N_TOKENS * HEAD_DIM * 4
    f16_bytes = f32_bytes // 2
    print_table(
        "Memory held (memory_bytes: everything the heads hold; kv_bytes: the packed codes alone)",
        ["encoding", "bits", "memory_bytes", "bits/element", "x smaller than float16", "kv_bytes", "float16"],
        [[r["encoding"], r["bits"], f"{r['memory']} ({fmt_bytes(r['memory'])})",
          f"{8 * r['memory'] / (2 * N_HEADS * N_TOKENS * HEAD_DIM):.2f}", f"{f16_bytes / r['memory']:.2f}",
          fmt_bytes(r["kv_bytes"]), fmt_bytes(f16_bytes)]
         for r in results])
    print("memory_bytes counts the codes, one float32 scale per stored vector, one position per token and, for"
          " \"fitted\", each head's key mean, value mean and key divisors; the first 512 tokens' full-precision"
          " window is released once a head answers from its codes.")

    def num(x):
        return f"{x:.1e}" if 0 < abs(x) < 1e-3 else f"{x:.4f}"

    def err_row(name, e):
        return [name, num(e["rel_mean"]), num(e["rel_worst"]), f"{e['cos_mean']:.5f}", f"{e['cos_worst']:.5f}"]

    print_table(
        f"Error of compute vs exact float64 attention ({N_HEADS * QUERIES_PER_HEAD} queries; "
        f"median effective tokens per query {eff:.0f})",
        ["", "rel L2 mean", "rel L2 worst", "cosine mean", "cosine worst"],
        [err_row(f"{r['encoding']} {r['bits']}-bit", r["error"]) for r in results]
        + [err_row(n, e) for n, e in baselines])

    threads = "1 BLAS thread" if NUMPY_PINNED else "BLAS threads as set in the environment"
    print_table(
        f"Time (append: per token per head, Python call included; compute: one query over {N_TOKENS} tokens; "
        f"NumPy on {threads})",
        ["encoding", "bits", "append", "compute", "numpy f32", "speed-up vs numpy"],
        [[r["encoding"], r["bits"], fmt_time(r["append"]), fmt_time(r["compute"]), fmt_time(numpy_seconds),
          f"{numpy_seconds / r['compute']:.1f}x"] for r in results])


if __name__ == "__main__":
    main()
