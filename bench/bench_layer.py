"""One decoder layer step, per-head calls beside the whole-layer calls, in one process.

Run by `make bench`. A step appends one token to every key/value head and
answers one query per query head; every head holds 8,192 tokens at 3 bits
(head_dim 128, a full ring, so each step replaces the oldest token). Three ways,
each on its own context with the same contents, are timed in turn, step after
step, their order rotating, so that noise from other processes and what the
previous way left in the caches fall on all of them alike:

  loop       per-head calls from Python: append, then compute (or compute_batch
             over a key/value head's group of query heads)
  layer x1   append_heads + compute_heads, threads=1 (interpreter lock held)
  layer x2   the same with threads=2 (lock released, heads shared by 2 threads)

Each figure is the best step of --steps; the ratios compare those best steps.
The threads=2 figure needs two otherwise idle cores to mean anything.
"""
import argparse
import os
import time

if not any(v in os.environ for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")):
    os.environ["OPENBLAS_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

import kelvor_py  # noqa: E402

HEAD_DIM = 128
BITS = 3
TOKENS = 8192
LAYOUTS = [(32, 32), (8, 32)]  # (key/value heads, query heads)
TARGET_ONE_THREAD = 0.97  # layer x1 / loop
TARGET_TWO_THREADS = 0.6  # layer x2 / layer x1
INPUT_SETS = 8  # distinct step inputs, cycled


def filled_context(n_heads, threads, seed):
    ctx = kelvor_py.MHAContext(n_heads, HEAD_DIM, BITS, TOKENS, seed=1, threads=threads)
    rng = np.random.default_rng(seed)
    chunk = 512
    for start in range(0, TOKENS, chunk):
        keys = rng.standard_normal((chunk, n_heads, HEAD_DIM), dtype=np.float32)
        keys[:, :, :4] *= 8.0  # a few high-magnitude channels, as in real keys
        vals = rng.standard_normal((chunk, n_heads, HEAD_DIM), dtype=np.float32)
        for t in range(chunk):
            ctx.append_heads(keys[t], vals[t], start + t)
    return ctx


def loop_step(ctx, keys, vals, queries, pos, group):
    append, compute, compute_batch = ctx.append, ctx.compute, ctx.compute_batch
    n_heads = keys.shape[0]
    for h in range(n_heads):
        append(h, keys[h], vals[h], pos)
    if group == 1:
        return [compute(h, queries[h]) for h in range(n_heads)]
    return [compute_batch(h, queries[h * group:(h + 1) * group]) for h in range(n_heads)]


def layer_step(ctx, keys, vals, queries, pos, group):
    ctx.append_heads(keys, vals, pos)
    return ctx.compute_heads(queries)


def measure(n_heads, n_query_heads, steps):
    group = n_query_heads // n_heads
    ways = [("loop", filled_context(n_heads, 1, seed=n_heads), loop_step),
            ("layer x1", filled_context(n_heads, 1, seed=n_heads), layer_step),
            ("layer x2", filled_context(n_heads, 2, seed=n_heads), layer_step)]
    rng = np.random.default_rng(7)
    inputs = [(rng.standard_normal((n_heads, HEAD_DIM), dtype=np.float32),
               rng.standard_normal((n_heads, HEAD_DIM), dtype=np.float32),
               rng.standard_normal((n_query_heads, HEAD_DIM), dtype=np.float32)) for _ in range(INPUT_SETS)]
    # Same contents, same answers, whichever way and thread count.
    keys, vals, queries = inputs[0]
    answers = [np.concatenate(fn(ctx, keys, vals, queries, TOKENS, group), axis=None) for _, ctx, fn in ways]
    assert all(a.tobytes() == answers[0].tobytes() for a in answers)

    best = {name: float("inf") for name, _, _ in ways}
    for step in range(1, steps + 1):
        keys, vals, queries = inputs[step % INPUT_SETS]
        for name, ctx, fn in ways[step % 3:] + ways[:step % 3]:
            t0 = time.perf_counter()
            fn(ctx, keys, vals, queries, TOKENS + step, group)
            best[name] = min(best[name], time.perf_counter() - t0)
    return best


def verdict(ratio, target):
    return f"{ratio:5.3f} {'ok' if ratio <= target else 'MISSED'} (<= {target})"


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--steps", type=int, default=40, help="timed steps per way and layout")
    args = parser.parse_args()

    simd = os.environ.get("KELVOR_SIMD") or "best available"
    print(f"kelvor_py layer step: head_dim {HEAD_DIM}, {BITS} bits, {TOKENS} tokens per head, SIMD {simd},"
          f" {os.cpu_count()} CPUs; ms per step, best of {args.steps}")
    print()
    header = (f"{'kv heads':>8} {'q heads':>7} | {'loop':>7} {'layer x1':>8} {'layer x2':>8} |"
              f" {'x1 / loop':>23} | {'x2 / x1':>22}")
    print(header)
    print("-" * len(header))
    for n_heads, n_query_heads in LAYOUTS:
        best = measure(n_heads, n_query_heads, args.steps)
        loop, x1, x2 = (best[k] * 1e3 for k in ("loop", "layer x1", "layer x2"))
        print(f"{n_heads:>8} {n_query_heads:>7} | {loop:>7.2f} {x1:>8.2f} {x2:>8.2f} |"
              f" {verdict(x1 / loop, TARGET_ONE_THREAD):>23} | {verdict(x2 / x1, TARGET_TWO_THREADS):>22}")


if __name__ == "__main__":
    main()
