"""`make hf-bench`: SmolLM2-135M-Instruct in transformers with kelvor_py as its cache, beside transformers' own
caches.

1. Greedy decoding after prompts of about 100, 2,048 and 8,128 tokens (8,128 + 64 new fill SmolLM2's 8,192
   positions), 64 new tokens, at one and at two threads (torch's and the library's): decode tokens per second
   (median step), cache bytes, and how many leading tokens equal the default cache's. The prompt is run once
   per length through the float cache, and every cache starts from its keys and values, so the rows differ
   only in their caches; the rows are alternated, repeat by repeat.
2. The glue: what kelvor_py.hf costs per layer and decode step besides the library call.
3. Perplexity through transformers on the NumPy decoder's token ids, beside the NumPy decoder's own figures.
"""
import os

os.environ.setdefault("HF_HUB_OFFLINE", "1")
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import json  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402
import torch  # noqa: E402

from transformers import DynamicCache, QuantizedCache  # noqa: E402

import kelvor_py  # noqa: E402
from kelvor_py import hf  # noqa: E402
from kelvor_py.models import hf_smollm2, smollm2  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "build" / "hf-bench"
HF_MODEL = ROOT / "build" / "hf-model" / "smollm2-135m-instruct-f32"
NEW = 64
LENGTHS = (100, 2048, 8128)
TEXTS = ["GPL-3", "Apache-2.0", "GFDL-1.3", "MPL-2.0", "Artistic", "LGPL-2.1"]
# KelvorCache's default configuration (about 3.9 bits per element) and a 4-bit-key one (about 4.9).
KELVOR = {
    "kelvor fitted k3/v2 + recent 32 + sinks 4": dict(bits=3, value_bits=2, recent=32, sinks=4),
    "kelvor fitted k4/v3 + recent 32 + sinks 4": dict(bits=4, value_bits=3, recent=32, sinks=4),
}
DEFAULT = "transformers default (float32)"


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def prompt_ids(tokenizer, n):
    text = "\n\n".join(Path("/usr/share/common-licenses", name).read_text(encoding="utf-8") for name in TEXTS
                       if Path("/usr/share/common-licenses", name).exists())
    ids = tokenizer(text, return_tensors="pt").input_ids
    if ids.shape[1] < n:
        raise SystemExit(f"the license texts give {ids.shape[1]} tokens, fewer than {n}")
    return ids[:, :n]


def tensor_bytes(t):
    """Bytes a tensor holds, looking inside quantised tensor subclasses."""
    if t is None:
        return 0
    if hasattr(t, "__tensor_flatten__"):
        names, _ = t.__tensor_flatten__()
        return sum(tensor_bytes(getattr(t, name)) for name in names)
    return t.numel() * t.element_size()


def cache_bytes(cache):
    if isinstance(cache, hf.KelvorCache):
        return cache.memory_bytes()
    total = 0
    for layer in cache.layers:
        total += tensor_bytes(layer.keys) + tensor_bytes(layer.values)
        total += tensor_bytes(getattr(layer, "_quantized_keys", None)) + tensor_bytes(
            getattr(layer, "_quantized_values", None))
    return total


class Rows:
    """Each row: how to build its cache from the prompt's keys and values, and the attention it runs under."""

    def __init__(self, model, quanto):
        self.model = model
        self.names = [DEFAULT] + (["transformers quantized, quanto 4-bit", "transformers quantized, quanto 2-bit"]
                                  if quanto else []) + list(KELVOR)

    def build(self, name, kv, threads):
        model = self.model
        if name in KELVOR:
            model.set_attn_implementation(hf.ATTENTION)
            cache = hf.KelvorCache(model, threads=threads, **KELVOR[name])
            for layer, (k, v) in zip(cache.layers, kv):
                layer.context.append_heads(k[0].transpose(0, 1).contiguous().numpy(),
                                           v[0].transpose(0, 1).contiguous().numpy(), 0)
                layer.length = k.shape[2]
            return cache
        model.set_attn_implementation("sdpa")
        if name == DEFAULT:
            cache = DynamicCache(config=model.config)
        else:
            cache = QuantizedCache("quanto", model.config, nbits=4 if "4-bit" in name else 2)
        for i, (k, v) in enumerate(kv):
            cache.update(k.clone(), v.clone(), i)
        return cache


@torch.no_grad()
def decode(model, cache, first_logits, n_new):
    """(tokens, seconds of each forward after the first token)."""
    tokens, times = [int(first_logits.argmax())], []
    for _ in range(n_new - 1):
        start = time.perf_counter()
        logits = model(torch.tensor([[tokens[-1]]]), past_key_values=cache).logits[0, -1]
        times.append(time.perf_counter() - start)
        tokens.append(int(logits.argmax()))
    return tokens, times


@torch.no_grad()
def prefill(model, ids):
    model.set_attn_implementation("sdpa")
    cache = DynamicCache(config=model.config)
    logits = model(ids, past_key_values=cache, logits_to_keep=1).logits[0, -1]
    return logits, [(layer.keys, layer.values) for layer in cache.layers]


def leading_equal(a, b):
    n = 0
    while n < min(len(a), len(b)) and a[n] == b[n]:
        n += 1
    return n


def generation(model, tokenizer, args):
    rows = Rows(model, not args.no_quanto)
    results = {}
    for n in args.lengths:
        ids = prompt_ids(tokenizer, n)
        torch.set_num_threads(2)
        log(f"prompt of {n} tokens through the float cache ...")
        first, kv = prefill(model, ids)
        for threads in args.threads:
            torch.set_num_threads(threads)
            for rep in range(args.reps):
                for name in rows.names:
                    cache = rows.build(name, kv, threads)
                    tokens, times = decode(model, cache, first, NEW)
                    r = results.setdefault((n, threads, name), {"steps": [], "tokens": tokens})
                    r["steps"] += times
                    r["bytes"] = cache_bytes(cache)
                    del cache
                log(f"  {n} tokens, {threads} thread(s), repeat {rep + 1}/{args.reps} done")
    model.set_attn_implementation(hf.ATTENTION)
    return results


def generation_table(results, args):
    lines = []
    for threads in args.threads:
        lines += [f"\n### {threads} thread{'s' * (threads > 1)} (torch.set_num_threads({threads}), threads={threads})",
                  "", "| prompt | cache | decode tokens/s | vs default | cache MB | vs float16 | tokens equal |",
                  "|---:|---|---:|---:|---:|---:|---:|"]
        for n in args.lengths:
            base = results[(n, threads, DEFAULT)]
            base_tps = 1 / statistics.median(base["steps"])
            f16 = base["bytes"] / 2
            for (n2, t2, name), r in results.items():
                if n2 != n or t2 != threads:
                    continue
                tps = 1 / statistics.median(r["steps"])
                lines.append(f"| {n} | {name} | {tps:.2f} | {tps / base_tps:.2f}× | {r['bytes'] / 1e6:.1f} | "
                             f"{r['bytes'] / f16:.3f} | {leading_equal(r['tokens'], base['tokens'])}/{NEW} |")
    lines.append("")
    short, long = min(args.lengths), max(args.lengths)
    for threads in args.threads:
        for name in [DEFAULT] + list(KELVOR):
            a, b = results.get((short, threads, name)), results.get((long, threads, name))
            if a and b:
                ratio = statistics.median(b["steps"]) / statistics.median(a["steps"])
                lines.append(f"- {threads} thread(s), {name}: a step after {long} tokens costs {ratio:.2f}× one "
                             f"after {short}")
    return "\n".join(lines)


class StubContext:
    """Answers instantly, so what is timed around it is the glue alone."""

    def __init__(self, n_query_heads, head_dim):
        self.out = np.zeros((1, n_query_heads, head_dim), np.float32)

    def append_compute_heads(self, keys, vals, queries, pos):
        return self.out


@torch.no_grad()
def glue(model, repeats=2000):
    """Seconds per layer and decode step spent in kelvor_py.hf itself: the mask function once per step, then
    update and the attention function of every layer, around a context that answers at once."""
    config = model.config
    hq, h, d = config.num_attention_heads, config.num_key_value_heads, config.head_dim
    model.set_attn_implementation(hf.ATTENTION)
    cache = hf.KelvorCache(model)
    layers = len(cache.layers)
    for layer in cache.layers:
        layer.context = StubContext(hq, d)
        layer.length = 1000
    # As the model hands them over: views of one projection's output, the query heads contiguous per token.
    q = torch.randn(1, 1, hq, d).transpose(1, 2)
    k = torch.randn(1, 1, h, d).transpose(1, 2)
    v = torch.randn(1, 1, h, d).transpose(1, 2)
    modules = [layer.self_attn for layer in model.model.layers]
    mask = torch.ones((1, 1001), dtype=torch.long)
    best = float("inf")
    for _ in range(5):
        start = time.perf_counter()
        for i in range(repeats):
            positions = torch.tensor([[1000]])
            hf._kelvor_mask(1, 1, 1001, attention_mask=mask)
            for layer_idx in range(layers):
                kk, vv = cache.update(k, v, layer_idx)
                hf.kelvor_attention(modules[layer_idx], q, kk, vv, None, scaling=d ** -0.5, position_ids=positions)
            for layer in cache.layers:
                layer.length = 1000
        best = min(best, (time.perf_counter() - start) / (repeats * layers))
    return best


def library_step(model, tokens=8000, repeats=200):
    """Seconds of one layer's append_compute_heads after `tokens` tokens (KelvorCache's default configuration)."""
    c = model.config
    ctx = kelvor_py.MHAContext(c.num_key_value_heads, c.head_dim, 3, 8192, encoding="fitted", value_bits=2,
                               recent=32, sinks=4)
    rng = np.random.default_rng(0)
    ctx.append_heads(rng.standard_normal((tokens, c.num_key_value_heads, c.head_dim), dtype=np.float32),
                     rng.standard_normal((tokens, c.num_key_value_heads, c.head_dim), dtype=np.float32), 0)
    k = rng.standard_normal((1, c.num_key_value_heads, c.head_dim), dtype=np.float32)
    q = rng.standard_normal((1, c.num_attention_heads, c.head_dim), dtype=np.float32)
    times = []
    for i in range(repeats):
        start = time.perf_counter()
        ctx.append_compute_heads(k, k, q, tokens + i)
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def perplexity_rows(model, args):
    """Perplexity over positions 512 ... through transformers and through the NumPy decoder, on the same ids."""
    import perplexity
    from kv_caches import Float32Cache

    np_model, tokenizer = smollm2.load(perplexity.OUT)
    cfg = np_model.config
    passages = perplexity.select_passages(tokenizer, args.passages, args.ppl_tokens)
    tokens, start = args.ppl_tokens, perplexity.SCORED_FROM
    capacity = 1 << tokens.bit_length()
    rows = {"float32": None, **KELVOR}
    nll = {(name, how): [] for name in rows for how in ("numpy", "transformers")}
    torch.set_num_threads(2)
    for pname, ids in passages:
        targets = ids[start + 1:tokens + 1]
        for name, options in rows.items():
            log(f"perplexity: {pname}, {name} ...")
            if options is None:
                caches = [Float32Cache(cfg.n_kv_heads, cfg.head_dim, tokens) for _ in range(cfg.n_layers)]
            else:
                opts = dict(options)
                bits = opts.pop("bits")
                caches = [kelvor_py.MHAContext(cfg.n_kv_heads, cfg.head_dim, bits, capacity, seed=perplexity.SEED + i,
                                               encoding="fitted", **opts) for i in range(cfg.n_layers)]
            hidden = smollm2.forward(np_model, ids[:tokens], caches, keep_from=start)
            lp = smollm2.log_softmax(smollm2.logits(np_model, hidden))
            nll[(name, "numpy")].append(-lp[np.arange(len(lp)), targets])

            with torch.no_grad():
                if options is None:
                    model.set_attn_implementation("sdpa")
                    cache = DynamicCache(config=model.config)
                else:
                    model.set_attn_implementation(hf.ATTENTION)
                    cache = hf.KelvorCache(model, capacity=capacity, seed=perplexity.SEED, **options)
                t_ids = torch.from_numpy(np.asarray(ids[:tokens], np.int64))[None]
                model(t_ids[:, :start], past_key_values=cache, logits_to_keep=1)
                parts = [model(t_ids[:, s:s + args.chunk], past_key_values=cache).logits[0]
                         for s in range(start, tokens, args.chunk)]
                lp_t = torch.log_softmax(torch.cat(parts).float(), -1).numpy()
            nll[(name, "transformers")].append(-lp_t[np.arange(len(lp_t)), targets])
    model.set_attn_implementation(hf.ATTENTION)
    lines = [f"\n{len(passages)} passages of {tokens} tokens, scored from position {start}; transformers feeds the "
             f"prompt's first {start} tokens in one forward, then chunks of {args.chunk} (one causal block call "
             "per layer)", "", "| row | perplexity, NumPy decoder | perplexity, transformers | difference |",
             "|---|---:|---:|---:|"]
    for name in rows:
        a = float(np.exp(np.concatenate(nll[(name, "numpy")]).mean()))
        b = float(np.exp(np.concatenate(nll[(name, "transformers")]).mean()))
        lines.append(f"| {name} | {a:.4f} | {b:.4f} | {100 * (b / a - 1):+.2f} % |")
    return "\n".join(lines)


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--lengths", type=int, nargs="+", default=list(LENGTHS))
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--no-quanto", action="store_true", help="leave out transformers' quantized cache")
    p.add_argument("--passages", type=int, default=2)
    p.add_argument("--ppl-tokens", type=int, default=2048)
    p.add_argument("--chunk", type=int, default=256)
    p.add_argument("--skip", nargs="*", default=[], choices=["generation", "glue", "perplexity"])
    args = p.parse_args(argv)
    if not args.no_quanto:
        try:
            import optimum.quanto  # noqa: F401
        except ImportError as e:
            log(f"transformers' quantized cache left out: {e}")
            args.no_quanto = True
    OUT.mkdir(parents=True, exist_ok=True)
    model, tokenizer = hf_smollm2.load(HF_MODEL)
    hf.enable(model)
    print(f"# make hf-bench\n\nSmolLM2-135M-Instruct (float32 weights), transformers {hf.transformers.__version__}, "
          f"torch {torch.__version__}, kelvor_py SIMD level {kelvor_py._simd_level()}; {os.cpu_count()} CPUs")
    if "generation" not in args.skip:
        print(f"\n## Greedy decoding, {NEW} new tokens (median step; {args.reps} repeats, rows alternated)")
        print(generation_table(generation(model, tokenizer, args), args))
    if "glue" not in args.skip:
        torch.set_num_threads(1)
        g = glue(model)
        lib = library_step(model)
        print(f"\n## Glue\n\nkelvor_py.hf around the library: {g * 1e6:.1f} µs per layer and decode step (best of 5 "
              f"runs; mask function, update, attention function); the library's append_compute_heads after 8,000 "
              f"tokens: {lib * 1e6:.1f} µs per layer (KelvorCache's default k3/v2 configuration, one thread)")
    if "perplexity" not in args.skip:
        print("\n## Perplexity: transformers beside the NumPy decoder")
        print(perplexity_rows(model, args))


if __name__ == "__main__":
    main()
