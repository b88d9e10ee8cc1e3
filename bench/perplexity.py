"""Perplexity of a real decoder (SmolLM2-135M-Instruct) whose key/value cache is kept by kelvor_py, beside a
float32 cache and peer quantisers.

Run by `make perplexity`. Every row decodes the same passages token by token
through its own cache (one per layer) and is compared with the float32 cache:
perplexity, KL divergence of its next-token distribution from float32's, and
how often both pick the same top token. Only predictions made at position 512
or later are scored: before that every answer of the library is exact.
"""
import os

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")  # rows run one after another on one core of a shared machine

import argparse  # noqa: E402
import functools  # noqa: E402
import hashlib  # noqa: E402
import itertools  # noqa: E402
import pickle  # noqa: E402
import shutil  # noqa: E402
import sys  # noqa: E402
import sysconfig  # noqa: E402
import time  # noqa: E402
from dataclasses import dataclass, field  # noqa: E402
from pathlib import Path  # noqa: E402

import numpy as np  # noqa: E402

import kelvor_py  # noqa: E402
from kelvor_py.models import smollm2  # noqa: E402
from kv_caches import PEERS, library_bits_per_element  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
OUT = ROOT / "build" / "perplexity"
SCORED_FROM = 512
SEED = 1000
SINKS = 4
HALF = -1           # Row.ring: a ring of half the text
LONG_RING = 2048    # the ring the long-context rows keep at 4,096 and 8,192 tokens
PROMPT = "Explain in two sentences why the sky is blue."
# A valid value for each keyword option, to ask the built module whether it takes it.
PROBES = {"encoding": "fitted", "recent": 1, "value_bits": 2, "sinks": 1, "copy_dtype": "float16",
          "scale_dtype": "bfloat16", "position_dtype": "none", "key_group": 32,
          "value_refine": 1, "value_dither": "uniform"}
LICENSES = Path("/usr/share/common-licenses")


def _license(name):
    return lambda: (LICENSES / name).read_text(encoding="utf-8")


def _topic(key):
    def load():
        from pydoc_data.topics import topics  # the text of Python's own reference manual
        return topics[key]
    return load


def _python_license():
    return (Path(sysconfig.get_path("stdlib")) / "LICENSE.txt").read_text(encoding="utf-8")


# The first six are the default; the rest stand in when one is missing or too short, or for --passages > 6.
PASSAGES = [
    ("GPL-3", _license("GPL-3")),
    ("execmodel", _topic("execmodel")),
    ("Apache-2.0", _license("Apache-2.0")),
    ("import", _topic("import")),
    ("Python LICENSE.txt", _python_license),
    ("customization", _topic("customization")),
    ("GFDL-1.3", _license("GFDL-1.3")),
    ("assignment", _topic("assignment")),
    ("MPL-2.0", _license("MPL-2.0")),
    ("comparisons", _topic("comparisons")),
    # Long enough for 8,192 tokens: three whole chapters of the reference manual.
    ("specialnames", _topic("specialnames")),
    ("compound", _topic("compound")),
    ("types", _topic("types")),
]


def log(*args):
    print(*args, file=sys.stderr, flush=True)


def select_passages(tokenizer, count, tokens, first=0):
    """[(name, token ids)] of `count` passages from the `first`-th on, each the first tokens + 1 tokens of its
    text (inputs and the last target)."""
    chosen = []
    for name, load in PASSAGES[first:]:
        if len(chosen) == count:
            break
        try:
            ids = tokenizer.encode(load()).ids
        except (OSError, KeyError, ImportError) as e:
            print(f"passage {name} left out: {e}")
            continue
        if len(ids) < tokens + 1:
            print(f"passage {name} left out: {len(ids)} tokens, fewer than {tokens + 1}")
            continue
        chosen.append((name, np.array(ids[:tokens + 1], np.int64)))
    if len(chosen) < count:
        raise SystemExit(f"only {len(chosen)} passages of {tokens + 1} tokens are available, {count} asked for")
    return chosen


@dataclass
class Row:
    name: str
    family: str
    peer: str = ""                                  # a NumPy cache of kv_caches.PEERS, or "" for the library
    options: dict = field(default_factory=dict)     # the library's constructor options, bits included
    ring: int = 0                                   # capacity in tokens below the text's, or HALF; 0: above it
    long_context: bool = False                      # one of the rows run by --long-context
    seed: int = SEED                                # the library's layer i is seeded with this + i

    def capacity(self, tokens):
        if self.ring == HALF:
            return tokens // 2
        return self.ring or 1 << tokens.bit_length()

    def fits(self, tokens):
        """A ring is only a ring when it is smaller than the text."""
        return self.capacity(tokens) < tokens if self.ring else True

    def caches(self, config, tokens):
        h, d = config.n_kv_heads, config.head_dim
        if self.peer:
            return [PEERS[self.peer][0](h, d, tokens) for _ in range(config.n_layers)]
        opts = dict(self.options)
        bits = opts.pop("bits")
        return [kelvor_py.MHAContext(h, d, bits, self.capacity(tokens), seed=self.seed + i, **opts)
                for i in range(config.n_layers)]

    def bits_per_element(self, head_dim, tokens):
        if self.peer:
            return PEERS[self.peer][1](head_dim, tokens)
        return library_bits_per_element(head_dim, tokens, capacity=self.capacity(tokens), **self.options)


# Options that change only how what is kept is stored: named after the rest, and a family of their own.
STORAGE_SUFFIXES = {"copy_dtype": {"float16": ", float16 copies"},
                    "scale_dtype": {"bfloat16": ", bfloat16 scales", "log8": ", log8 scales"},
                    "position_dtype": {"none": ", no positions"}}
# Every half-width or dropped storage the library offers.
LEAN = dict(copy_dtype="float16", scale_dtype="bfloat16", position_dtype="none")
# The same with one-byte scales (fitted only).
LEANER = dict(LEAN, scale_dtype="log8")
DITHER = dict(value_dither="uniform")


def library_row(encoding, bits, value_bits=None, ring=0, **extra):
    options = {"bits": bits, "encoding": encoding}
    width = f"{bits}-bit" if value_bits is None else f"k{bits}/v{value_bits}"
    if value_bits is not None:
        options["value_bits"] = value_bits
    options.update(extra)
    name = f"kelvor {encoding} {width}"
    if ring:
        name += ", ring of half the text" if ring == HALF else f", ring of {ring}"
    name += "".join(f" + {k} {v}" for k, v in extra.items() if k not in STORAGE_SUFFIXES)
    storage = "".join(STORAGE_SUFFIXES[k].get(v, "") for k, v in extra.items() if k in STORAGE_SUFFIXES)
    if ring:
        family = "kelvor ring"
    elif "key_group" in extra:
        # A series per group length, the codec alone apart from it with the accuracy options.
        accuracy = value_bits or any(k not in STORAGE_SUFFIXES and k != "key_group" for k in extra)
        family = f"kelvor {encoding}" + " + options" * bool(accuracy) + f" + key_group {extra['key_group']}"
    elif "value_refine" in extra:
        family = f"kelvor {encoding} + options + value_refine" + " + value_dither" * ("value_dither" in extra)
    else:
        family = f"kelvor {encoding}" + " + options" * bool(value_bits or extra)
    return Row(name + storage, family + storage, options=options, ring=ring)


# The README's recommended configuration per budget, by row name.
RECOMMENDED = [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, **extra, **storage).name
               for bits, value_bits, recent, extra, storage in [(3, 2, 16, dict(value_refine=512, **DITHER), LEANER),
                                                                (4, 2, 16, dict(value_refine=640, **DITHER), LEANER),
                                                                (4, 3, 16, dict(value_refine=640, **DITHER), LEANER),
                                                                (4, None, 32, {"key_group": 32}, LEAN)]]
# Configurations run again with a ring of LONG_RING tokens (recent 64, sinks 4, float16 copies).
LONG_RING_WIDTHS = [(3, 2), (4, None)]


def all_rows():
    def family(name):
        if "KIVI" in name:
            return ("KIVI-like" + (", values per 32 channels" if "channels" in name else "")
                    + (", recent 128" if "recent" in name else ""))
        return "per-vector blocks"

    rows = [Row(name, family(name), peer=name) for name in PEERS]
    rows[0].family = "float32"
    rows += [library_row(enc, b) for enc in ("clip3", "fitted") for b in (2, 3, 4)]
    rows += [library_row("fitted", 3, ring=HALF), library_row("fitted", 3, ring=HALF, sinks=SINKS)]
    # Candidates for the best quality within about 3, 4 and 5.5 bits per element.
    rows += [
        library_row("fitted", 2, sinks=SINKS),
        library_row("fitted", 2, recent=8, sinks=SINKS),
        library_row("fitted", 3, value_bits=2, recent=16, sinks=SINKS),
        library_row("fitted", 3, sinks=SINKS),
        library_row("fitted", 3, value_bits=2, recent=32, sinks=SINKS),
        library_row("fitted", 4, value_bits=2, recent=32, sinks=SINKS),
        library_row("fitted", 4, value_bits=3, recent=16, sinks=SINKS),
        library_row("fitted", 4, sinks=SINKS),
        library_row("fitted", 4, value_bits=3, recent=32, sinks=SINKS),
        library_row("fitted", 4, recent=32, sinks=SINKS),
    ]
    # float16 copies cost half as much: the same budgets with longer recent windows.
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, copy_dtype="float16")
             for bits, value_bits, recent in [(2, None, 16), (3, 2, 16), (3, 2, 32), (3, 2, 64), (4, 2, 32), (4, 3, 64),
                                              (4, None, 64), (4, None, 96)]]
    # bfloat16 scales free 0.25 bits per element at head_dim 64: each budget again with a longer window, or a
    # wider value code where the window is already 48.
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, copy_dtype="float16",
                         scale_dtype="bfloat16")
             for bits, value_bits, recent in [(2, None, 48), (3, 2, 48), (3, 3, 48), (4, 2, 48), (4, 3, 48),
                                              (4, None, 48), (4, 3, 112), (4, None, 96)]]
    # Without positions too, 0.5 bits per element freed in all: fitted alone, and each budget's candidates.
    rows += [library_row("fitted", bits, scale_dtype="bfloat16", position_dtype="none") for bits in (2, 3, 4)]
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, **LEAN)
             for bits, value_bits, recent in [(3, 2, 8), (3, 2, 16), (3, 2, 48), (3, 2, 80), (3, 3, 16), (4, 2, 16),
                                              (4, 2, 32), (3, 3, 48), (4, 3, 48), (4, 3, 64), (4, None, 48),
                                              (4, None, 96), (4, None, 128), (4, None, 160)]]
    # Keys coded against their group's mean, the newest group waiting at float32: the codec alone (no copies
    # to keep, so no copy_dtype), at three group lengths, and the recommended configurations with groups of 32
    # (4-bit + 32 recent: the 5-bit budget's window spent on groups instead; 4-bit + 160 recent above is the
    # 4-bit + 96 recent row's bits spent on a window instead).
    rows += [library_row("fitted", bits, key_group=group, scale_dtype="bfloat16", position_dtype="none")
             for group, widths in [(32, (2, 3, 4)), (16, (2, 4)), (64, (2, 4))] for bits in widths]
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, key_group=32, **LEAN)
             for bits, value_bits, recent in [(3, 2, 8), (3, 2, 16), (4, 2, 16), (4, 3, 48), (4, None, 32),
                                              (4, None, 96)]]
    # Refined values: the newest coded values read a bit finer, where 2- and 3-bit values carry most of the error.
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, value_refine=refine, **LEAN)
             for bits, value_bits, recent, refine in [(3, 2, 16, 256), (4, 2, 16, 128), (4, 2, 16, 256), (4, 2, 16, 512),
                                                      (4, 2, 32, 256), (4, 3, 48, 256), (4, 3, 16, 256)]]
    # One-byte scales free 0.125 bits per element more, spent on refined values (about 500 tokens at 2,048) or
    # kept: each refined budget again, and the codec with them alone.
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, value_refine=refine,
                         **LEANER)
             for bits, value_bits, recent, refine in [(3, 2, 16, 512), (4, 2, 16, 128), (4, 2, 16, 640),
                                                      (4, 2, 32, 512), (4, 3, 16, 640)]]
    rows += [library_row("fitted", bits, scale_dtype="log8", position_dtype="none") for bits in (3, 4)]
    # Dithered values: the same bits, the older values' errors no longer alike from token to token.
    rows += [library_row("fitted", bits, value_bits=value_bits, recent=recent, sinks=SINKS, value_refine=refine,
                         **DITHER, **LEANER)
             for bits, value_bits, recent, refine in [(3, 2, 16, 512), (4, 2, 16, 640), (4, 3, 16, 640)]]
    rows += [library_row("fitted", 4, value_bits=2, recent=16, sinks=SINKS, **DITHER, **LEANER)]
    # Two configurations again with a fixed ring, against themselves at full capacity.
    rings = [library_row("fitted", bits, value_bits=value_bits, ring=LONG_RING, recent=64, sinks=SINKS,
                         copy_dtype="float16") for bits, value_bits in LONG_RING_WIDTHS]
    full_capacity = {r.name.replace(f", ring of {LONG_RING}", "") for r in rings}
    rows += rings
    for row in rows:
        row.long_context = (row.peer == "float32" or "values per 32 channels" in row.name
                            or row.name in RECOMMENDED or row.ring == LONG_RING or row.name in full_capacity)
    return rows


@functools.lru_cache(maxsize=None)
def module_takes(option):
    try:
        kelvor_py.MHAContext(1, 8, 2, 8, **{"encoding": "fitted", option: PROBES[option]})
    except TypeError:
        return False
    return True


def lacking(row):
    return [k for k in row.options if k in PROBES and not module_takes(k)]


@dataclass
class Reference:
    hidden: np.ndarray      # final hidden states at the scored positions
    keys: np.ndarray        # (layers, SCORED_FROM, kv heads, head_dim): what every layer appended before them
    vals: np.ndarray
    seconds: float


def reference(model, name, ids, tokens):
    """The float32 cache's run over a passage, cached per model and text."""
    key = hashlib.sha256(b"reference 2|" + model.ident.encode() + np.asarray(ids, "<i8").tobytes()).hexdigest()
    path = OUT / f"reference-{key[:24]}.npz"
    if path.exists():
        with np.load(path) as z:
            return Reference(z["hidden"], z["keys"], z["vals"], float(z["seconds"]))
    log(f"float32 reference for {name} ...")
    start = time.perf_counter()
    caches = Row("float32", "", peer="float32").caches(model.config, tokens)
    hidden = smollm2.forward(model, ids[:tokens], caches, keep_from=SCORED_FROM)
    ref = Reference(hidden, np.stack([c.keys_t[:, :, :SCORED_FROM].transpose(2, 0, 1) for c in caches]),
                    np.stack([c.vals[:, :SCORED_FROM].transpose(1, 0, 2) for c in caches]),
                    time.perf_counter() - start)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, hidden=ref.hidden, keys=ref.keys, vals=ref.vals, seconds=ref.seconds)
    tmp.replace(path)
    return ref


def decode(model, row, ids, tokens, ref):
    """(final hidden states at the scored positions, the row's caches).

    The library answers exactly while a head holds at most 512 tokens, so up to there its run is the float32
    run up to rounding: its caches start from the float32 keys and values of those positions, and only the
    scored positions are decoded. A peer quantises from the first token and decodes them all."""
    caches = row.caches(model.config, tokens)
    if row.peer or row.capacity(tokens) < SCORED_FROM:
        return smollm2.forward(model, ids[:tokens], caches, keep_from=SCORED_FROM), caches
    for cache, keys, vals in zip(caches, ref.keys, ref.vals):
        for t in range(SCORED_FROM):
            cache.append_heads(keys[t], vals[t], t)
    return smollm2.forward(model, ids[SCORED_FROM:tokens], caches, start=SCORED_FROM), caches


def log_probs(model, hidden, chunk=256):
    out = np.empty((len(hidden), model.config.vocab), np.float32)
    for s in range(0, len(hidden), chunk):
        out[s:s + chunk] = smollm2.log_softmax(smollm2.logits(model, hidden[s:s + chunk]))
    return out


def score(model, hidden, ref_lp, targets, chunk=256):
    """Per scored position: negative log-likelihood of the target, KL(float32 || row), same top token."""
    nll, kl, same = [], [], []
    for s in range(0, len(hidden), chunk):
        lp = smollm2.log_softmax(smollm2.logits(model, hidden[s:s + chunk]))
        ref = ref_lp[s:s + chunk]
        nll.append(-lp[np.arange(len(lp)), targets[s:s + chunk]])
        kl.append(np.maximum(np.sum(np.exp(ref) * (ref - lp), axis=-1, dtype=np.float64), 0.0))
        same.append(lp.argmax(axis=-1) == ref.argmax(axis=-1))
    return np.concatenate(nll), np.concatenate(kl), np.concatenate(same)


@dataclass
class Result:
    nll: list = field(default_factory=list)
    kl: list = field(default_factory=list)
    same: list = field(default_factory=list)
    seconds: float = 0.0
    memory_bits: float = 0.0        # from memory_bytes(), summed over passages
    memory_known: bool = True

    def add(self, nll, kl, same):
        self.nll.append(nll)
        self.kl.append(kl)
        self.same.append(same)

    def summary(self):
        nll, kl, same = (np.concatenate(a) for a in (self.nll, self.kl, self.same))
        return {"ppl": float(np.exp(nll.mean())), "kl": float(kl.mean()), "kl99": float(np.percentile(kl, 99)),
                "same": float(same.mean())}


def memory_bits(caches):
    """Bits the caches report holding, or None when the module has no memory_bytes()."""
    if not all(hasattr(c, "memory_bytes") for c in caches):
        return None
    return 8.0 * sum(c.memory_bytes() for c in caches)


def sanity(model, tokenizer, passages, refs):
    parts = []
    for (name, ids), ref in zip(passages, refs):
        lp = log_probs(model, ref.hidden)
        nll = -lp[np.arange(len(lp)), ids[SCORED_FROM + 1:]]
        parts.append(f"{name} {np.exp(nll.mean()):.2f}")
    print("float32 perplexity per passage: " + ", ".join(parts))
    prompt = tokenizer.encode(smollm2.chat_prompt(PROMPT)).ids
    caches = Row("float32", "", peer="float32").caches(model.config, len(prompt) + 64)
    stop = {tokenizer.token_to_id(smollm2.END_OF_TURN)}
    reply = tokenizer.decode(list(smollm2.greedy(model, prompt, caches, 30, stop)))
    print(f"float32 greedy reply to {PROMPT!r}: {reply!r}")


def fmt_delta(ppl, base):
    return f"{ppl - base:+.3f} ({100 * (ppl / base - 1):+.2f} %)"


def table(rows, results, skipped, bpe):
    head = ["row", "bits/element", "perplexity", "vs float32", "mean KL", "p99 KL", "same top token", "time"]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    base = results["float32"].summary()["ppl"]
    for row in rows:
        cells = [row.name, f"{bpe[row.name]:.3f}"]
        if row.name in skipped:
            cells += [f"skipped: this build takes no {', '.join(m + '=' for m in skipped[row.name])}"] + [""] * 5
        else:
            s = results[row.name].summary()
            cells += [f"{s['ppl']:.3f}", fmt_delta(s["ppl"], base), f"{s['kl']:.5f}", f"{s['kl99']:.4f}",
                      f"{100 * s['same']:.2f} %", f"{results[row.name].seconds:.0f} s"]
        lines.append("| " + " | ".join(cells) + " |")
    return "\n".join(lines)


def measured_bits(rows, results, bpe, n_passages, tokens, n_layers, n_kv_heads, head_dim):
    """Library rows' bits per element as memory_bytes() reports them, where the module has it."""
    elements = n_passages * n_layers * n_kv_heads * 2 * tokens * head_dim
    for row in rows:
        res = results.get(row.name)
        if res is not None and not row.peer and res.memory_known:
            bpe[row.name] = res.memory_bits / elements


COUNTING = """\
How bits/element are counted: everything a row's cache holds per layer after all {tokens} tokens, divided by
2 x {tokens} x {head_dim} (every key and value element of the text). The library: what memory_bytes() reports
(codes, a scale per key and per value, float32, bfloat16 or one byte as the row says, a uint32 position per held token unless the row keeps none,
the full-precision sinks and recent window, a fitted head's statistics, signs and records). A ring smaller than
the text holds fewer tokens, so its figure is per token of the text, not per token held. Peers: codes, float16 scales (and zero points) per
block, per key channel group, per value token or per group of value channels, and 16 bits per element for what
KIVI-like rows still hold in float (the newest incomplete key group, or the recent window, kept in float16);
peers need no positions.
Perplexity is over all scored predictions of all passages (those made at positions {start}..{last}); KL is
KL(float32 || row) per scored token in nats; time is the whole row over all passages (decoding and scoring).
Library rows take the float32 run's keys and values of the first {start} positions, which they answer exactly,
and decode the rest; peers decode every position."""


def plot(rows, results, bpe, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    fig, ax = plt.subplots(figsize=(14, 7.5))
    families = {}
    for row in rows:
        if row.name in results and row.peer != "float32":
            families.setdefault(row.family, []).append(row)
    # One more marker than the ten colours, so no two of a full run's families look alike.
    markers = itertools.cycle("osD^v<>ph*X")
    # A full run has near a hundred rows: only the peers, the plain encodings and the library rows that no other
    # library row beats at no more bits are named, or the names cover each other.
    kl = {name: res.summary()["kl"] for name, res in results.items()}
    library = [r for r in rows if r.name in results and not r.peer]
    named = {r.name for r in rows if r.name in results and (r.peer or r.family in ("kelvor clip3", "kelvor fitted"))}
    named |= {r.name for r in library
              if not any(bpe[o.name] <= bpe[r.name] and kl[o.name] < kl[r.name] for o in library)}
    for family, members in families.items():
        members.sort(key=lambda r: bpe[r.name])
        x = [bpe[r.name] for r in members]
        y = [kl[r.name] for r in members]
        joined = (family in ("kelvor clip3", "kelvor fitted") or family.startswith("KIVI-like")
                  or family.startswith("kelvor fitted + key_group"))
        ax.plot(x, y, marker=next(markers), linestyle="-" if joined else "none", label=family)
        for r, xi, yi in zip(members, x, y):
            if r.name not in named:
                continue
            label = r.name
            for long, short in (("kelvor ", ""), ("KIVI-like ", "KIVI "), (", ring of half the text", " ring"),
                                (" blocks of ", "/"), (", zero point", " zp"), (", recent ", " r"),
                                (" + sinks ", "+s"), (" + recent ", "+r"), (", bfloat16 scales", " bf16"),
                                (" + key_group ", "+g"), (" + value_refine ", "+vr"), (", log8 scales", " log8"),
                                (" + value_dither uniform", "+dith"), (", float16 copies", " f16"),
                                (", no positions", " nopos")):
                label = label.replace(long, short)
            ax.annotate(label, (xi, yi), fontsize=5, xytext=(3, 3), textcoords="offset points")
    ax.set_yscale("log")
    ax.set_xlabel("bits per key/value element (everything stored)")
    ax.set_ylabel("mean KL(float32 || row) per token, nats")
    ax.set_title("SmolLM2-135M-Instruct: next-token divergence from a float32 cache\n"
                 "(named: peers, plain encodings, and library rows no other library row beats at no more bits)")
    ax.grid(True, which="both", alpha=0.3)
    # Beside the axes: inside them it hides the rows it names.
    ax.legend(fontsize=7, loc="upper left", bbox_to_anchor=(1.01, 1.0))
    fig.tight_layout()
    fig.savefig(path, dpi=130)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--passages", type=int, default=6, help="passages to evaluate (default 6)")
    parser.add_argument("--first", type=int, default=0, help="start from this passage of the list (default 0; "
                                                                  "6 for passages no default run has seen)")
    parser.add_argument("--tokens", type=int, default=2048, help="tokens of each passage decoded (default 2048)")
    parser.add_argument("--rows", default="", help="only rows whose name contains one of these comma-separated "
                                                    "substrings, or semicolon-separated where one has a comma "
                                                    "(float32 is always computed)")
    parser.add_argument("--long-context", action="store_true",
                        help="only float32, the KIVI-like rows with values per 32 channels, the recommended "
                             "configurations and their rings of 2,048 tokens (with --rows: those of them that match)")
    parser.add_argument("--seed", type=int, default=SEED,
                        help=f"library layer i's rotation seed is this + i (default {SEED}); another seed measures "
                             "how much a row's figures owe to its particular rotations")
    parser.add_argument("--part", metavar="K/N", type=part_of,
                        help="run only every N-th row from the K-th on (float32 always) and save the results "
                             "for --join; N runs with K = 1..N make the whole run on N cores")
    parser.add_argument("--join", metavar="N", type=int,
                        help="print the table and plot of parts 1..N saved by --part runs of the same passages, "
                             "tokens and seed, in place of running any row")
    parser.add_argument("--jobs", metavar="N", type=int, default=1,
                        help="run the rows as N --part processes side by side, then --join them (default 1)")
    parser.add_argument("--update-docs", action="store_true", help="also copy the plot to docs/perplexity.png")
    args = parser.parse_args(argv)
    started = time.perf_counter()
    if args.tokens <= SCORED_FROM + 1:
        parser.error(f"--tokens must be above {SCORED_FROM + 1}")
    if args.part and args.update_docs:
        parser.error("--update-docs takes the whole run: pass it to --join")
    if args.jobs < 1 or (args.jobs > 1 and (args.part or args.join)):
        parser.error("--jobs takes a count of at least 1 and runs its own parts and join")
    if args.jobs > 1:
        run_parts(argv if argv is not None else sys.argv[1:], args.jobs)
        args.join = args.jobs
    if args.join is not None:
        if args.join < 1:
            parser.error("--join needs a part count of at least 1")
        rows, results, skipped, bpe, head_dim, passages = join_parts(args)
        report(rows, results, skipped, bpe, head_dim, args)
        print(f"{len(passages)} passages of {args.tokens} tokens, {len(results)} rows from {args.join} parts, "
              f"wall time {time.perf_counter() - started:.0f} s")
        return
    OUT.mkdir(parents=True, exist_ok=True)
    model, tokenizer = smollm2.load(OUT)
    cfg = model.config
    print(f"model: {model.ident}, {cfg.n_layers} layers, {cfg.n_heads} query heads over {cfg.n_kv_heads} "
          f"key/value heads of {cfg.head_dim}; kelvor_py SIMD level {kelvor_py._simd_level()}")
    passages = select_passages(tokenizer, args.passages, args.tokens, args.first)
    refs = [reference(model, name, ids, args.tokens) for name, ids in passages]
    sanity(model, tokenizer, passages, refs)

    wanted = [w.strip().lower() for w in args.rows.split(";" if ";" in args.rows else ",") if w.strip()]
    rows = [r for r in all_rows() if r.peer == "float32" or not wanted or any(w in r.name.lower() for w in wanted)]
    if args.long_context:
        rows = [r for r in rows if r.long_context]
    for row in [r for r in rows if not r.fits(args.tokens)]:
        print(f"left out {row.name}: its ring holds the whole text of {args.tokens} tokens")
    rows = [r for r in rows if r.fits(args.tokens)]
    if args.part:
        k, n = args.part
        rows = [r for i, r in enumerate(r for r in rows if r.peer != "float32") if i % n == k - 1]
        rows.insert(0, next(r for r in all_rows() if r.peer == "float32"))
    for row in rows:
        row.seed = args.seed
    skipped = {r.name: lacking(r) for r in rows if lacking(r)}
    for name, missing in skipped.items():
        print(f"skipped {name}: the built kelvor_py's MHAContext takes no {', '.join(m + '=' for m in missing)}")
    bpe = {r.name: r.bits_per_element(cfg.head_dim, args.tokens) for r in rows}
    results = {r.name: Result() for r in rows if r.name not in skipped}

    for p, ((name, ids), ref) in enumerate(zip(passages, refs)):
        ref_lp = log_probs(model, ref.hidden)
        targets = ids[SCORED_FROM + 1:]
        for row in rows:
            if row.name in skipped:
                continue
            res = results[row.name]
            start = time.perf_counter()
            if row.peer == "float32":
                hidden, caches = ref.hidden, None
            else:
                hidden, caches = decode(model, row, ids, args.tokens, ref)
            res.add(*score(model, hidden, ref_lp, targets))
            res.seconds += time.perf_counter() - start + (ref.seconds if caches is None else 0.0)
            if caches is not None and not row.peer:
                bits = memory_bits(caches)
                res.memory_known &= bits is not None
                res.memory_bits += bits or 0.0
            log(f"passage {p + 1}/{len(passages)} ({name}) {row.name}: {time.perf_counter() - start:.1f} s")
        del ref_lp

    measured_bits(rows, results, bpe, len(passages), args.tokens, cfg.n_layers, cfg.n_kv_heads, cfg.head_dim)
    if args.part:
        path = part_path(args, *args.part)
        with open(path, "wb") as f:
            pickle.dump({"results": results, "skipped": skipped, "bpe": bpe, "head_dim": cfg.head_dim,
                         "passages": [name for name, _ in passages]}, f)
        print(f"\npart {args.part[0]} of {args.part[1]} saved to {path.relative_to(ROOT)}")
    report(rows, results, skipped, bpe, cfg.head_dim, args)
    print(f"{len(passages)} passages of {args.tokens} tokens, {len(results)} rows, "
          f"wall time {time.perf_counter() - started:.0f} s")


def part_of(text):
    k, _, n = text.partition("/")
    if not (k.isdigit() and n.isdigit() and 1 <= int(k) <= int(n)):
        raise argparse.ArgumentTypeError(f"expected K/N with 1 <= K <= N, got {text!r}")
    return int(k), int(n)


def run_parts(argv, n):
    """Runs this benchmark as parts 1..n side by side, each printing to build/perplexity/part-K.log."""
    import subprocess
    keep, skip = [], False
    for a in argv:             # each part runs the same rows on the same texts, without the options of the whole
        if skip or a in ("--jobs", "--update-docs") or a.startswith("--jobs="):
            skip = a == "--jobs"
            continue
        keep.append(a)
    OUT.mkdir(parents=True, exist_ok=True)
    procs = []
    for k in range(1, n + 1):
        with open(OUT / f"part-{k}.log", "w") as out:
            procs.append(subprocess.Popen([sys.executable, __file__, *keep, "--part", f"{k}/{n}"], stdout=out))
    failed = [k for k, p in enumerate(procs, 1) if p.wait() != 0]
    if failed:
        raise SystemExit(f"part(s) {failed} failed: see build/perplexity/part-K.log")


def part_path(args, k, n):
    # The file names what the rows were run on and which rows, so a join never mixes parts of different runs.
    chosen = hashlib.sha256(f"{args.rows}|{args.long_context}".encode()).hexdigest()[:8]
    return OUT / (f"part-{k}of{n}-first{args.first}-passages{args.passages}-tokens{args.tokens}-seed{args.seed}"
                  f"-rows{chosen}.pkl")


def join_parts(args):
    """(rows, results, skipped, bpe, head_dim, passage names) of parts 1..N, the rows in the benchmark's order."""
    merged = {"results": {}, "skipped": {}, "bpe": {}}
    head_dim = passages = None
    for k in range(1, args.join + 1):
        path = part_path(args, k, args.join)
        if not path.exists():
            raise SystemExit(f"{path.relative_to(ROOT)} is missing: run --part {k}/{args.join} with the same "
                             "--first, --passages, --tokens, --seed, --rows and --long-context first")
        with open(path, "rb") as f:
            part = pickle.load(f)
        if passages not in (None, part["passages"]):
            raise SystemExit(f"{path.relative_to(ROOT)} ran on other passages: {part['passages']}")
        head_dim, passages = part["head_dim"], part["passages"]
        for key in merged:
            merged[key].update(part[key])
    names = set(merged["results"]) | set(merged["skipped"])
    rows = [r for r in all_rows() if r.name in names]
    return rows, merged["results"], merged["skipped"], merged["bpe"], head_dim, passages


def report(rows, results, skipped, bpe, head_dim, args):
    print()
    print(table(rows, results, skipped, bpe))
    print()
    print(COUNTING.format(tokens=args.tokens, head_dim=head_dim, start=SCORED_FROM, last=args.tokens - 1))
    if args.part:
        return      # the join plots the whole run; parts side by side would write the same file at once
    png = OUT / "perplexity.png"
    plot(rows, results, bpe, png)
    print(f"\nplot: {png.relative_to(ROOT)}")
    if args.update_docs:
        shutil.copyfile(png, ROOT / "docs" / "perplexity.png")
        print("copied to docs/perplexity.png")


if __name__ == "__main__":
    main()
