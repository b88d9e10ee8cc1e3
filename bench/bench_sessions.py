"""Saving and resuming a SmolLM2-135M-Instruct session in Redis, against recomputing its prompt.

Run by `make bench-sessions`. For each prompt length the NumPy decoder of
kelvor_py.models.smollm2 runs a prompt through one MHAContext per layer (KelvorCache's default
setting: fitted, 3-bit keys, 2-bit values, 32 recent tokens, 4 sinks), timed:
that is what recomputing the prompt costs. The session is then saved to and
loaded from a throwaway redis-server on this machine (a Unix socket,
persistence off), several times each, and the first token after the prompt is
decoded from the loaded caches: resuming is the load plus that step. Bytes
stored are the values Redis holds for the session, beside memory_bytes() and a
float16 cache of the same tokens.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import contextlib  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import redis  # noqa: E402

import kelvor_py  # noqa: E402
from kelvor_py import sessions  # noqa: E402
from kelvor_py.models import smollm2  # noqa: E402

import redis_server  # noqa: E402
from perplexity import PASSAGES  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
CACHE = {"bits": 3, "encoding": "fitted", "value_bits": 2, "recent": 32, "sinks": 4}
RESUME_TARGET = 0.1     # resuming at most a tenth of recomputing the prompt
STORED_TARGET = 1.01    # at most memory_bytes() + 1 %


def prompt_tokens(tokenizer, n):
    """The first n tokens of the benchmark passages, one after another."""
    ids = []
    for _, load in PASSAGES:
        ids += tokenizer.encode(load() + "\n\n").ids
        if len(ids) >= n:
            return ids[:n]
    raise SystemExit(f"the passages hold {len(ids)} tokens, fewer than {n}")


def timed(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def next_token(model, caches, hidden, pos):
    token = int(np.argmax(smollm2.logits(model, hidden[-1])))
    return smollm2.forward(model, [token], caches, start=pos)


def measure(client, model, tokens, repeats):
    cfg = model.config
    caches = [kelvor_py.MHAContext(cfg.n_kv_heads, cfg.head_dim, capacity=max(len(tokens) + 64, 8192), seed=1000 + i,
                                   **CACHE) for i in range(cfg.n_layers)]
    start = time.perf_counter()
    hidden = smollm2.forward(model, tokens, caches, keep_from=len(tokens) - 1)
    recompute = time.perf_counter() - start
    name = f"bench-{len(tokens)}"
    sessions.delete_session(client, name)
    version = None

    def save():
        nonlocal version
        version = sessions.save_session(client, name, caches, np.asarray(tokens, np.int32).tobytes(),
                                        expected_version=version)

    save_s, _ = timed(save, repeats)
    states_s, _ = timed(lambda: [c.__getstate__() for c in caches], repeats)
    load_s, loaded = timed(lambda: sessions.load_session(client, name), repeats)
    same = all(a.__getstate__() == b.__getstate__() for a, b in zip(loaded.contexts, caches))
    states = [c.__getstate__() for c in caches]
    restore_s, _ = timed(lambda: [kelvor_py._restore(s) for s in states], repeats)
    step_s, _ = timed(lambda: next_token(model, loaded.contexts, hidden, len(tokens)), 1)
    keys = sessions.session_keys(client, name)
    stored = sum(client.strlen(k) for k in keys)
    redis_memory = sum(client.memory_usage(k, samples=0) for k in keys)
    held = sum(c.memory_bytes() for c in caches)
    f16 = len(tokens) * cfg.n_layers * cfg.n_kv_heads * 2 * cfg.head_dim * 2
    sessions.delete_session(client, name)
    return dict(tokens=len(tokens), recompute=recompute, save=save_s, states=states_s, load=load_s,
                restore=restore_s, step=step_s, same=same, stored=stored, redis_memory=redis_memory, held=held,
                f16=f16)


def report(r):
    n, resume = r["tokens"], r["load"] + r["step"]
    ratio, stored_ratio = resume / r["recompute"], r["stored"] / r["held"]
    mb = 1e6
    print(f"\n{n:,} tokens: {r['stored'] / mb:.2f} MB stored ({r['stored'] / n:,.0f} bytes/token; "
          f"float16 {r['f16'] / n:,.0f} bytes/token, {r['f16'] / r['stored']:.1f}x more); "
          f"loaded bit for bit: {'yes' if r['same'] else 'NO'}")
    print(f"  save {r['save'] * 1e3:.1f} ms (of which states {r['states'] * 1e3:.1f} ms), "
          f"{r['stored'] / r['save'] / mb:.0f} MB/s; load {r['load'] * 1e3:.1f} ms (of which restoring "
          f"{r['restore'] * 1e3:.1f} ms), {r['stored'] / r['load'] / mb:.0f} MB/s")
    print(f"  recomputing the prompt {r['recompute']:.1f} s; resuming (load + first token {r['step'] * 1e3:.0f} ms) "
          f"{resume * 1e3:.0f} ms = {ratio:.4f} of it "
          f"[target <= {RESUME_TARGET}: {'PASS' if ratio <= RESUME_TARGET else 'FAIL'}]")
    print(f"  stored / memory_bytes() = {r['stored']:,} / {r['held']:,} = {stored_ratio:.4f} "
          f"[target <= {STORED_TARGET}: {'PASS' if stored_ratio <= STORED_TARGET else 'FAIL'}]; "
          f"Redis's MEMORY USAGE (allocations) {r['redis_memory']:,} = {r['redis_memory'] / r['held']:.4f}")
    return ratio <= RESUME_TARGET and stored_ratio <= STORED_TARGET and r["same"]


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--tokens", default="2048,8192", help="comma-separated prompt lengths")
    p.add_argument("--repeats", type=int, default=5, help="saves and loads timed per length (median)")
    p.add_argument("--redis", help="a Redis URL; default: a throwaway redis-server")
    p.add_argument("--read-size", type=int, default=65536, help="the client's socket_read_size (redis-py's default)")
    args = p.parse_args(argv)
    model, tokenizer = smollm2.load(ROOT / "build" / "perplexity")
    print(f"SmolLM2-135M-Instruct, {model.config.n_layers} layers x {model.config.n_kv_heads} key/value heads of "
          f"head_dim {model.config.head_dim}; cache {CACHE}; {args.repeats} saves and loads per length (median)")
    ok = True
    with tempfile.TemporaryDirectory() as folder:
        with redis_server.redis_server(folder) if args.redis is None else contextlib.nullcontext() as where:
            options = {"socket_read_size": args.read_size}
            client = redis.Redis(**where, **options) if where else redis.Redis.from_url(args.redis, **options)
            parser = "hiredis" if redis.utils.HIREDIS_AVAILABLE else "redis-py's own"
            print(f"redis-server {client.info('server')['redis_version']}; {parser} reply parser, socket_read_size "
                  f"{args.read_size:,}")
            for n in (int(x) for x in args.tokens.split(",")):
                ok &= report(measure(client, model, prompt_tokens(tokenizer, n), args.repeats))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
