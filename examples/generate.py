"""Greedy text generation with SmolLM2-135M-Instruct, its key/value cache kept by kelvor_py.

One MHAContext per layer (fitted 3-bit by default). The model is the NumPy
decoder of kelvor_py.models.smollm2; `make generate` installs what it needs, and the
first run caches the weights under build/perplexity/. Prints the reply as it
is generated, the speed, and the cache's memory beside a float16 cache of the
same tokens. Every head answers exactly until it holds 512 tokens and from its
codes after that, so by default the prompt carries a chapter of Python's own
reference text (about 2,200 tokens) and a question about it.

    make generate GEN_ARGS='--prompt "Tell me about owls." --bits 2'
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import sys  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import kelvor_py  # noqa: E402
from kelvor_py.models import smollm2  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]

START_WINDOW = 512


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--prompt", default="What is a code block, according to this text?")
    p.add_argument("--context", default="pydoc:execmodel",
                   help="text placed before the prompt in the user turn: a file, pydoc:TOPIC (a chapter of Python's "
                        "reference, default pydoc:execmodel, about 2,200 tokens) or '' for none")
    p.add_argument("--raw", action="store_true", help="continue the prompt as plain text, without the chat template")
    p.add_argument("--max-tokens", type=int, default=200)
    p.add_argument("--bits", type=int, default=3)
    p.add_argument("--encoding", default="fitted", choices=("clip3", "fitted"))
    p.add_argument("--capacity", type=int, default=8192, help="tokens each head's ring holds")
    p.add_argument("--seed", type=int, default=1000, help="layer i uses seed + i")
    p.add_argument("--threads", type=int, default=1)
    for name in ("value-bits", "sinks", "recent"):
        p.add_argument(f"--{name}", type=int, help=f"the library's {name.replace('-', '_')}= option, when it has it")
    return p.parse_args(argv)


def held_bytes(ctx, tokens, head_dim, encoding):
    """memory_bytes() where the module has it. Otherwise kv_bytes() plus, per head, two float32 scales and a
    uint32 position per held token, the full-precision start-up window (a build without memory_bytes() keeps
    it for the head's whole life) and the fitted encoding's statistics once fixed."""
    if hasattr(ctx, "memory_bytes"):
        return ctx.memory_bytes(), "memory_bytes()"
    held = min(tokens, ctx.capacity)
    per_head = 12 * held + min(tokens, START_WINDOW) * 2 * head_dim * 4
    if encoding == "fitted" and tokens > min(START_WINDOW, ctx.capacity):
        per_head += 3 * head_dim * 4
    return ctx.kv_bytes() + ctx.n_heads * per_head, "kv_bytes() + scales, positions, start-up window"


def context_text(source):
    """'' for none, 'pydoc:TOPIC' for a chapter of Python's own reference text, or a file's path."""
    if not source:
        return ""
    if source.startswith("pydoc:"):
        from pydoc_data.topics import topics
        return topics[source[len("pydoc:"):]]
    return Path(source).read_text(encoding="utf-8")


def main(argv=None):
    args = parse(argv)
    model, tokenizer = smollm2.load(ROOT / "build" / "perplexity")
    cfg = model.config
    options = {"encoding": args.encoding, "threads": args.threads}
    for name in ("value_bits", "sinks", "recent"):
        if getattr(args, name) is not None:
            options[name] = getattr(args, name)
    try:
        caches = [kelvor_py.MHAContext(cfg.n_kv_heads, cfg.head_dim, args.bits, args.capacity, seed=args.seed + i,
                                       **options) for i in range(cfg.n_layers)]
    except TypeError as e:
        sys.exit(f"this kelvor_py's MHAContext does not take these options {sorted(options)}: {e}")

    context = context_text(args.context)
    user = context + "\n\n" + args.prompt if context else args.prompt
    prompt = tokenizer.encode(user if args.raw else smollm2.chat_prompt(user)).ids
    stop = {tokenizer.token_to_id(smollm2.END_OF_TURN), tokenizer.token_to_id("<|endoftext|>")}
    print(repr(caches[0]))
    print(f"prompt: {len(prompt)} tokens\n")
    if not args.raw:
        print(f"[{args.context}] {args.prompt}" if context else args.prompt, end="\n\n")

    out, shown = [], ""
    start = time.perf_counter()
    first = None
    for token in smollm2.greedy(model, prompt, caches, args.max_tokens, stop):
        if first is None:
            first = time.perf_counter()
        out.append(token)
        text = tokenizer.decode(out)
        print(text[len(shown):], end="", flush=True)
        shown = text
    end = time.perf_counter()
    print("\n")

    tokens = len(prompt) + max(len(out) - 1, 0)     # the last token generated is never appended
    if first is not None:
        rate = (len(out) - 1) / (end - first) if len(out) > 1 else float("nan")
        print(f"prompt: {len(prompt)} tokens in {first - start:.2f} s ({len(prompt) / (first - start):.0f} tokens/s); "
              f"generated {len(out)} tokens, {rate:.1f} tokens/s after the first")
    total, how = 0, ""
    for ctx in caches:
        b, how = held_bytes(ctx, tokens, cfg.head_dim, args.encoding)
        total += b
    f16 = tokens * cfg.n_layers * cfg.n_kv_heads * 2 * cfg.head_dim * 2
    answering = "from codes" if tokens > min(START_WINDOW, args.capacity) else "exactly (fewer than 513 tokens)"
    print(f"cache: {tokens} tokens in {cfg.n_layers} layers x {cfg.n_kv_heads} heads, answering {answering}")
    print(f"  kelvor_py: {total:,} bytes ({how}); a float16 cache: {f16:,} bytes; "
          f"kelvor_py / float16 = {total / f16:.2f}")


if __name__ == "__main__":
    main()
