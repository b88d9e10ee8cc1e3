"""A small threads=2 step before and after a context that asked for far more threads.

Run by `make bench`. Times compute_heads of a threads=2 context (8 heads of
1,000 tokens, 3 bits, head_dim 128), then makes a context with --threads
(512 by default), runs one whole-layer call on it and drops it, and times the
same step again: the shared pool holds no more workers than the machine has
hardware threads, wakes only those a call can use, and ends the ones no live
context claims after their idle wait, so the step takes what it took before.
Prints the medians, their ratio (target: at most 1.5) and the process's
threads at each stage.
"""
import argparse
import os
import time

import numpy as np

import kelvor_py

TARGET = 1.5


def threads_now():
    return len(os.listdir("/proc/self/task"))


def median_ms(call, repeats):
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        call()
        times.append(time.perf_counter() - t0)
    return float(np.median(times)) * 1e3


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--threads", type=int, default=512, help="threads of the context made and dropped")
    parser.add_argument("--repeats", type=int, default=2000, help="timed steps before and after")
    args = parser.parse_args()
    base = threads_now()
    rng = np.random.default_rng(0)
    kv = rng.standard_normal((2, 1000, 8, 128), dtype=np.float32)
    q = rng.standard_normal((8, 128), dtype=np.float32)
    small = kelvor_py.MHAContext(8, 128, 3, 4096, threads=2)
    small.append_heads(kv[0], kv[1], 0)
    step = lambda: small.compute_heads(q)  # noqa: E731
    step()
    before = median_ms(step, args.repeats)
    workers_before = threads_now() - base

    big = kelvor_py.MHAContext(8, 128, 3, 4096, threads=args.threads)
    big.append_heads(kv[0], kv[1], 0)
    big.compute_heads(q)
    workers_big = threads_now() - base
    print(repr(big))
    del big
    time.sleep(0.1)
    workers_after = threads_now() - base
    after = median_ms(step, args.repeats)

    print(f"kelvor_py pool: {len(os.sched_getaffinity(0))} hardware threads; threads=2 compute_heads, 8 heads x 1000 "
          f"tokens, median of {args.repeats}")
    print(f"workers: {workers_before} with the threads=2 context, {workers_big} with threads={args.threads} as well, "
          f"{workers_after} once it was dropped")
    ratio = after / before
    print(f"step before {before:.4f} ms, after {after:.4f} ms, ratio {ratio:.2f} "
          f"(<= {TARGET} {'ok' if ratio <= TARGET else 'MISSED'})")


if __name__ == "__main__":
    main()
