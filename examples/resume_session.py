"""A conversation saved to Redis by one process and continued by another, with SmolLM2-135M-Instruct.

Three processes run one after another, each loading the model itself:

  first   runs the prompt through the model, generates the first --tokens tokens of the reply, saves the
          session (every layer's MHAContext and the token ids so far) under --session and exits;
  second  loads the session, generates the next --tokens tokens, saves the next turn and exits;
  whole   generates all of the reply in one process, as a check.

The reply the second process continues must equal the whole one token for token. Without --redis the script
starts a throwaway redis-server (persistence off) and stops it at the end:

    make resume                                                  # a throwaway redis-server
    make resume RESUME_ARGS='--redis redis://localhost:6379/0'   # a Redis of your own
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import argparse  # noqa: E402
import contextlib  # noqa: E402
import json  # noqa: E402
import subprocess  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import generate  # noqa: E402  (beside this file)
import kelvor_py  # noqa: E402
from kelvor_py.models import smollm2  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
# The throwaway redis-server is the tests' and benchmarks' helper, not part of the package.
sys.path.insert(0, str(ROOT / "bench"))
import redis_server  # noqa: E402

# The configuration recommended at about 3.5 bits per element (docs/accuracy.md, "Recommended configurations"):
# every storage option, refined and dithered values, all of which a saved session must carry.
CACHE = {"bits": 4, "encoding": "fitted", "value_bits": 2, "recent": 16, "sinks": 4, "value_refine": 640,
         "copy_dtype": "float16", "scale_dtype": "log8", "position_dtype": "none", "value_dither": "uniform"}


def parse(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--redis", help="a Redis URL (redis://host:port/db, rediss://, unix:///path); default: a "
                                   "throwaway redis-server started for the run")
    p.add_argument("--session", default="resume-example")
    p.add_argument("--prompt", default="What is a code block, according to this text?")
    p.add_argument("--context", default="pydoc:execmodel", help="as examples/generate.py's --context")
    p.add_argument("--tokens", type=int, default=40, help="tokens of the reply each process generates")
    p.add_argument("--ttl", type=float, default=3600, help="seconds an idle session stays in Redis")
    p.add_argument("--step", choices=("first", "second", "whole"), help=argparse.SUPPRESS)
    p.add_argument("--out", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def setup(args):
    model, tokenizer = smollm2.load(ROOT / "build" / "perplexity")
    context = generate.context_text(args.context)
    prompt = tokenizer.encode(smollm2.chat_prompt(context + "\n\n" + args.prompt if context else args.prompt)).ids
    stop = {tokenizer.token_to_id(smollm2.END_OF_TURN), tokenizer.token_to_id("<|endoftext|>")}
    return model, tokenizer, prompt, stop


def new_caches(cfg):
    return [kelvor_py.MHAContext(cfg.n_kv_heads, cfg.head_dim, capacity=8192, seed=1000 + i, **CACHE)
            for i in range(cfg.n_layers)]


def run_step(args):
    """One process's part; prints what it did and writes the reply's token ids to --out."""
    import redis

    from kelvor_py import sessions
    model, tokenizer, prompt, stop = setup(args)
    client = redis.Redis.from_url(args.redis)
    start = time.perf_counter()
    if args.step == "second":
        caches, meta, version = sessions.load_session(client, args.session)
        loaded = time.perf_counter() - start
        tokens = json.loads(meta)["tokens"]
        # The last token of the first turn was generated but not yet run through the model.
        reply = list(smollm2.greedy(model, tokens[-1:], caches, args.tokens, stop, start=len(tokens) - 1))
        print(f"loaded session {args.session!r} version {version} ({len(tokens):,} tokens) in {loaded * 1e3:.0f} ms;"
              f" continued with {len(reply)} tokens in {time.perf_counter() - start - loaded:.1f} s")
        tokens += reply
        version = sessions.save_session(client, args.session, caches, json.dumps({"tokens": tokens}).encode(),
                                        expected_version=version, ttl=args.ttl)
        print(f"saved the next turn as version {version}")
    else:
        caches = new_caches(model.config)
        n = args.tokens * (2 if args.step == "whole" else 1)
        reply = list(smollm2.greedy(model, prompt, caches, n, stop))
        print(f"prompt of {len(prompt):,} tokens and {len(reply)} tokens of the reply in "
              f"{time.perf_counter() - start:.1f} s")
        if args.step == "first":
            sessions.delete_session(client, args.session)   # a new conversation under this name
            meta = json.dumps({"tokens": prompt + reply}).encode()
            version = sessions.save_session(client, args.session, caches, meta, ttl=args.ttl)
            stored = sum(client.strlen(k) for k in sessions.session_keys(client, args.session))
            held = sum(c.memory_bytes() for c in caches)
            print(f"saved session {args.session!r} version {version}: {stored:,} bytes in Redis, "
                  f"memory_bytes() {held:,}")
    print(f"reply: {tokenizer.decode(reply)!r}", flush=True)
    Path(args.out).write_text(json.dumps(reply))


def run_all(args):
    common = [f"--{name}={getattr(args, name)}" for name in ("session", "prompt", "context", "tokens", "ttl")]
    with contextlib.ExitStack() as stack:
        folder = stack.enter_context(tempfile.TemporaryDirectory())
        url = args.redis
        if url is None:
            where = stack.enter_context(redis_server.redis_server(folder))
            url = "unix://" + where["unix_socket_path"]
            print(f"== a throwaway redis-server at {url}")
        replies = {}
        for step in ("first", "second", "whole"):
            out = os.path.join(folder, step + ".json")
            print(f"== process {step}", flush=True)
            subprocess.run([sys.executable, __file__, *common, "--redis", url, "--step", step, "--out", out],
                           check=True, timeout=3600)
            replies[step] = json.loads(Path(out).read_text())
    resumed, whole = replies["first"] + replies["second"], replies["whole"]
    same = resumed == whole
    print(f"== first + second process: {len(resumed)} tokens; one process: {len(whole)} tokens; "
          f"{'the same, token for token' if same else 'DIFFERENT'}")
    return 0 if same else 1


def main(argv=None):
    args = parse(argv)
    if args.step:
        run_step(args)
        return 0
    return run_all(args)


if __name__ == "__main__":
    sys.exit(main())
