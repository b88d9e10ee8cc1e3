"""float32 against float16 full-precision copies (copy_dtype), side by side in one process.

A SmolLM2-sized layer (3 key/value heads of head_dim 64, 9 query heads) holding
2,048 tokens with fitted 3-bit keys, 2-bit values, 32 recent tokens and 4
sinks: the time of compute_heads and of append_heads past the exact window,
medians of interleaved rounds, and their ratios.
"""
import time

import numpy as np

import kelvor_py

HEADS, HEAD_DIM, TOKENS, ROUNDS = 3, 64, 2048, 7


def context(copy_dtype, keys, vals, tokens):
    ctx = kelvor_py.MHAContext(HEADS, HEAD_DIM, 3, 2 * TOKENS, encoding="fitted", value_bits=2, recent=32, sinks=4,
                               copy_dtype=copy_dtype)
    for t in range(tokens):
        ctx.append_heads(keys[t], vals[t], t)
    return ctx


def main():
    rng = np.random.default_rng(0)
    keys, vals = (rng.standard_normal((TOKENS, HEADS, HEAD_DIM)).astype(np.float32) for _ in range(2))
    queries = rng.standard_normal((3 * HEADS, HEAD_DIM)).astype(np.float32)
    full = {d: context(d, keys, vals, TOKENS) for d in ("float32", "float16")}
    times = {(what, d): [] for what in ("compute", "append") for d in full}
    for _ in range(ROUNDS):
        for d, ctx in full.items():
            start = time.perf_counter()
            for _ in range(200):
                ctx.compute_heads(queries)
            times["compute", d].append((time.perf_counter() - start) / 200)
            ctx = context(d, keys, vals, 600)     # past the window: every append codes
            start = time.perf_counter()
            for t in range(600, 1600):
                ctx.append_heads(keys[t], vals[t], t)
            times["append", d].append((time.perf_counter() - start) / 1000)
    print("| call | float32 copies | float16 copies | float16 / float32 |")
    print("|---|---|---|---|")
    for what in ("compute", "append"):
        a, b = (float(np.median(times[what, d])) * 1e6 for d in ("float32", "float16"))
        print(f"| {what}_heads | {a:.1f} us | {b:.1f} us | {b / a:.2f}x |")


if __name__ == "__main__":
    main()
