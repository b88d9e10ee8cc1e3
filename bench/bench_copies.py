"""The half-width storage options (copy_dtype="float16", scale_dtype="bfloat16") against float32 storage,
side by side in one process.

A SmolLM2-sized layer (3 key/value heads of head_dim 64, 9 query heads) holding
2,048 tokens, fitted, in two configurations: 3-bit keys, 2-bit values, 32
recent tokens and 4 sinks; and 2-bit codes with no options, where the least
work is done per token and the widening of bfloat16 scales weighs most. The
time of compute_heads and of append_heads past the exact window, medians of
interleaved rounds, and their ratios to float32 storage.
"""
import time

import numpy as np

import kelvor_py

HEADS, HEAD_DIM, TOKENS, ROUNDS = 3, 64, 2048, 7
CONFIGS = {"k3/v2 + recent 32 + sinks 4": dict(bits=3, value_bits=2, recent=32, sinks=4), "2-bit": dict(bits=2)}
STORAGE = {"float32": {}, "float16 copies": dict(copy_dtype="float16"),
           "bfloat16 scales": dict(scale_dtype="bfloat16"),
           "both": dict(copy_dtype="float16", scale_dtype="bfloat16")}


def context(options, keys, vals, tokens):
    ctx = kelvor_py.MHAContext(HEADS, HEAD_DIM, capacity=2 * TOKENS, encoding="fitted", **options)
    for t in range(tokens):
        ctx.append_heads(keys[t], vals[t], t)
    return ctx


def main():
    rng = np.random.default_rng(0)
    keys, vals = (rng.standard_normal((TOKENS, HEADS, HEAD_DIM)).astype(np.float32) for _ in range(2))
    queries = rng.standard_normal((3 * HEADS, HEAD_DIM)).astype(np.float32)
    print("| configuration | storage | compute_heads | ratio | append_heads | ratio |")
    print("|---|---|---|---|---|---|")
    for name, config in CONFIGS.items():
        if name != "2-bit":
            storage = STORAGE
        else:  # no full-precision copies to halve
            storage = {k: v for k, v in STORAGE.items() if "copy_dtype" not in v}
        options = {s: dict(config, **extra) for s, extra in storage.items()}
        full = {s: context(o, keys, vals, TOKENS) for s, o in options.items()}
        times = {(what, s): [] for what in ("compute", "append") for s in full}
        for _ in range(ROUNDS):
            for s, ctx in full.items():
                start = time.perf_counter()
                for _ in range(200):
                    ctx.compute_heads(queries)
                times["compute", s].append((time.perf_counter() - start) / 200)
                fresh = context(options[s], keys, vals, 600)     # past the window: every append codes
                start = time.perf_counter()
                for t in range(600, 1600):
                    fresh.append_heads(keys[t], vals[t], t)
                times["append", s].append((time.perf_counter() - start) / 1000)
        base = {what: float(np.median(times[what, "float32"])) for what in ("compute", "append")}
        for s in full:
            c, a = (float(np.median(times[what, s])) for what in ("compute", "append"))
            print(f"| {name} | {s} | {c * 1e6:.1f} us | {c / base['compute']:.2f}x | {a * 1e6:.1f} us | "
                  f"{a / base['append']:.2f}x |")


if __name__ == "__main__":
    main()
