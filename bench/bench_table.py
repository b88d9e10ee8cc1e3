"""Benchmark table: the library beside NumPy float32 attention, in one process.

Run by `make bench`. Every figure is the best of several timed runs.
NumPy runs on one BLAS thread (like the library, which uses only the calling
thread) unless OPENBLAS_NUM_THREADS / OMP_NUM_THREADS is already set.
"""
import argparse
import os
import platform
import sys
import time

if not any(v in os.environ for v in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS")):
    os.environ["OPENBLAS_NUM_THREADS"] = "1"

import numpy as np  # noqa: E402

HEAD_DIM = 128
BITS = (2, 3, 4)
TOKENS = (4096, 32768, 65536)
BATCH = 8


def best_time(fn, repeats):
    best = float("inf")
    for _ in range(repeats):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def numpy_attention(K, V, q):
    s = K @ q
    s *= np.float32(1.0 / np.sqrt(K.shape[1]))
    s -= s.max()
    np.exp(s, out=s)
    s /= s.sum()
    return s @ V


def make_tokens(rng, T):
    K = rng.standard_normal((T, HEAD_DIM), dtype=np.float32)
    K[:, :4] *= 8.0  # a few high-magnitude channels, as in real keys
    V = rng.standard_normal((T, HEAD_DIM), dtype=np.float32)
    return np.ascontiguousarray(K), np.ascontiguousarray(V)


def append_ns(kelvor_py, bits, K, V, encoding, **options):
    """Fills one head from Python; returns ns per append (per token per head) and the context.
    The first 1024 tokens go in untimed: a fitted head fixes its statistics and
    codes its ring once among them, and the rest is the steady state."""
    ctx = kelvor_py.MHAContext(1, HEAD_DIM, bits, K.shape[0], encoding=encoding, **options)
    append = ctx.append
    warm = 1024
    for t in range(warm):
        append(0, K[t], V[t], t)
    t0 = time.perf_counter()
    for t in range(warm, K.shape[0]):
        append(0, K[t], V[t], t)
    elapsed = time.perf_counter() - t0
    return elapsed / (K.shape[0] - warm) * 1e9, ctx


OPTIONS = dict(recent=128, value_bits=2, sinks=4)
# The half-width storage of scales and no positions: what they cost against fitted as it is.
STORAGE = dict(scale_dtype="bfloat16", position_dtype="none")
# One-byte scales: a table lookup per token where bfloat16 takes a shift.
LOG_SCALES = dict(scale_dtype="log8", position_dtype="none")
# Keys coded against their group's mean: an offset per group in scoring, a group coded at once on append.
KEY_GROUP = dict(key_group=32)
# The newest coded values read with their half-cell bits: widths 2 and 3 only (read at 3 and 4 bits).
VALUE_REFINE = dict(value_refine=256)
# Dithered values: a pattern added per coded value, and taken off once per pattern after the value pass.
VALUE_DITHER = dict(value_dither="uniform")


def options_table(kelvor_py, rng, reps, options, widths=(2, 3, 4)):
    """The cost of some options, each call beside the same call without them, in one run."""
    print(f"options {options} against none, fitted encoding, best level, from Python"
          " (ratio: with / without; each figure the best of several runs)")
    header = f"{'bits':>4} {'tokens':>7} | {'append':>8} {'with':>8} {'ratio':>5} | {'compute':>9} {'with':>9} {'ratio':>5}"
    print(header)
    print("-" * len(header))
    for bits in widths:
        for T in (2048, 8192, 65536):
            K, V = make_tokens(rng, T)
            q = rng.standard_normal(HEAD_DIM, dtype=np.float32)
            plain_ns, plain = append_ns(kelvor_py, bits, K, V, "fitted")
            with_ns, with_options = append_ns(kelvor_py, bits, K, V, "fitted", **options)
            c_plain = best_time(lambda: plain.compute(0, q), reps * 2) * 1e9
            c_with = best_time(lambda: with_options.compute(0, q), reps * 2) * 1e9
            print(f"{bits:>4} {T:>7} | {plain_ns:>8.0f} {with_ns:>8.0f} {with_ns / plain_ns:>5.2f} |"
                  f" {c_plain:>9.0f} {c_with:>9.0f} {c_with / c_plain:>5.2f}")


def three_bit_decoders(kelvor_bench, levels, rng, reps):
    """The AVX-512 level's two 3-bit decoders side by side: compute of one head, 3 bits, 65,536 tokens."""
    title = "3-bit AVX-512 decoders, compute of one head (3 bits, head_dim 128, 65536 tokens, ns per token)"
    if "avx512" not in levels:
        print(f"{title}: skipped, this machine or build does not run AVX-512")
        return
    variants = kelvor_bench.variants("avx512")
    if sorted(variants) != ["rewrite", "shuffle"]:
        print(f"{title}: skipped, the avx512 level has decoders {variants}, not shuffle and rewrite")
        return
    T = 65536
    K, V = make_tokens(rng, T)
    q = rng.standard_normal(HEAD_DIM, dtype=np.float32)
    head = kelvor_bench.BenchHead(3, K, V, seed=1)
    best = {v: float("inf") for v in variants}
    for _ in range(reps):  # interleaved, so both see the same moments of a shared machine
        for v in variants:
            best[v] = min(best[v], head.compute_ns("avx512", q, repeats=3, variant=v) / T)
    print(f"{title}, best of {3 * reps} interleaved:")
    print(f"  shuffle {best['shuffle']:.2f}  rewrite {best['rewrite']:.2f}"
          f"  rewrite/shuffle {best['rewrite'] / best['shuffle']:.3f}; this process uses: "
          f"{kelvor_bench.description('avx512')} (KELVOR_AVX512_3BIT=shuffle|rewrite overrides)")


def cpu_model():
    """The CPU's model name, with its family and model numbers where /proc/cpuinfo has them."""
    fields = {}
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if not line.strip():
                    break  # the first processor is enough
                key, _, value = line.partition(":")
                fields[key.strip()] = value.strip()
    except OSError:
        pass
    name = fields.get("model name") or fields.get("Model") or platform.processor() or platform.machine()
    if "cpu family" in fields and "model" in fields:
        name += f" (family {fields['cpu family']}, model {fields['model']})"
    return name


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", default="build/py310", help="build folder holding bench/kelvor_bench*.so")
    parser.add_argument("--quick", action="store_true", help="fewer repeats")
    parser.add_argument("--decoders-only", action="store_true", help="only the 3-bit AVX-512 decoders side by side")
    args = parser.parse_args()
    sys.path.insert(0, os.path.join(args.build, "bench"))
    import kelvor_bench
    import kelvor_py

    levels = kelvor_bench.levels()  # the ones this machine runs, scalar first, best last
    best = levels[-1]
    simd = levels[1:]
    reps = 3 if args.quick else 7
    rng = np.random.default_rng(2024)
    if args.decoders_only:
        return three_bit_decoders(kelvor_bench, levels, rng, reps * 2)
    print(f"kelvor_py benchmark: head_dim {HEAD_DIM}, one head; NumPy float32 on"
          f" {os.environ.get('OPENBLAS_NUM_THREADS', 'default')} BLAS thread(s)")
    print(f"CPU: {cpu_model()}; levels of this build: {', '.join(kelvor_py._simd_levels())};"
          f" this machine runs: {', '.join(levels)}; best: {kelvor_bench.description(best)}")
    if not os.path.exists(os.path.join(args.build, "bench", "kernel_bench")):
        print("(kernel microbenchmarks not built: Google Benchmark not found; Debian package libbenchmark-dev)")
    print()
    header = (f"{'bits':>4} {'tokens':>7} | {'scalar':>8}" +
              "".join(f" | {lv:>8} {'x':>5} {'batch8/q':>8} {'/single':>7}" for lv in simd) +
              f" | {'numpy':>8} {'numpy/' + best:>12} | {'kv_bytes':>9} {'memory':>9} {'f16/mem':>7} |"
              f" {'append':>8} {'fitted':>8} {'f/c':>5}")
    print("compute: ns per held token per query; x: speed-up over scalar; batch8/q: 8 queries per call, per query;"
          " memory: every byte the head holds (memory_bytes(); kv_bytes counts the codes alone), f16/mem: how"
          " much smaller than a float16 cache of the same tokens;"
          " append: ns per token per head from Python, clip3 and fitted encodings (f/c: their ratio)")
    print(header)
    print("-" * len(header))
    for bits in BITS:
        for T in TOKENS:
            K, V = make_tokens(rng, T)
            q = rng.standard_normal(HEAD_DIM, dtype=np.float32)
            Q = rng.standard_normal((BATCH, HEAD_DIM), dtype=np.float32)
            head = kelvor_bench.BenchHead(bits, K, V, seed=1)
            assert head.tokens == T and not head.exact
            scalar = head.compute_ns("scalar", q, repeats=5 if T > 4096 else reps) / T
            single = {lv: head.compute_ns(lv, q, repeats=reps * 2) / T for lv in simd}
            batch = {lv: head.compute_batch_ns(lv, Q, repeats=reps) / BATCH / T for lv in simd}
            fast = single.get(best, scalar)
            numpy_ns = best_time(lambda: numpy_attention(K, V, q), reps * 2) * 1e9 / T
            app, ctx = append_ns(kelvor_py, bits, K, V, "clip3")
            app_fitted, _ = append_ns(kelvor_py, bits, K, V, "fitted")
            kv, held = ctx.kv_bytes(), ctx.memory_bytes()
            f16 = 2 * T * HEAD_DIM * 2
            cells = "".join(f" | {single[lv]:>8.2f} {scalar / single[lv]:>5.1f} {batch[lv]:>8.2f}"
                            f" {batch[lv] / single[lv]:>7.2f}" for lv in simd)
            print(f"{bits:>4} {T:>7} | {scalar:>8.2f}{cells} | {numpy_ns:>8.2f} {numpy_ns / fast:>12.2f} |"
                  f" {kv:>9} {held:>9} {f16 / held:>7.2f} | {app:>8.0f} {app_fitted:>8.0f} {app_fitted / app:>5.2f}")
    print()
    three_bit_decoders(kelvor_bench, levels, rng, reps)
    print()
    options_table(kelvor_py, rng, reps, OPTIONS)
    print()
    options_table(kelvor_py, rng, reps, STORAGE)
    print()
    options_table(kelvor_py, rng, reps, LOG_SCALES)
    print()
    options_table(kelvor_py, rng, reps, KEY_GROUP)
    print()
    options_table(kelvor_py, rng, reps, VALUE_REFINE, widths=(2, 3))
    print()
    options_table(kelvor_py, rng, reps, VALUE_DITHER)
    print()
    print("rotation (forward, P 128): " + ", ".join(
        f"{lv} {kelvor_bench.rotation_ns(lv, 128):.1f} ns" for lv in levels))


if __name__ == "__main__":
    main()
