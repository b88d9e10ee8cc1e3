"""Accuracy table and plot: kelvor_py's encodings beside peer KV-cache quantisers, on two data sets.

Run by `make accuracy`. Every scheme attends over the same window (the tokens a
ring of `capacity` holds after the whole sequence was appended) with the same
queries; the reference is float64 attention over exactly that window.
"""
import argparse
import shutil
import os
import sys

import numpy as np

import accuracy_data
from accuracy_schemes import PEERS, attention, error_summary, library_bits_per_element

BITS = (2, 3, 4)
ENCODINGS = ("clip3", "fitted")
# The fitted encoding keeps key mean, value mean and key channel divisors per head.
SIDE_FLOATS_PER_DIM = {"clip3": 0, "fitted": 3}
CONTEXT_SEED = 7

# Accuracy the fitted encoding must reach: mean cosine per width on the synthetic set.
FITTED_SYNTHETIC_COS = {2: 0.84, 3: 0.95, 4: 0.98}
FITTED_2BIT_SLACK_VS_KIVI = 0.005


def encoding_available(kelvor_py, encoding):
    """The default encoding is always there; another one only once the constructor takes `encoding=`."""
    if encoding == "clip3":
        return True
    try:
        kelvor_py.MHAContext(1, 8, 2, 1, encoding=encoding)
    except TypeError:
        return False
    return True


def library_outputs(kelvor_py, dataset, bits, encoding):
    """Appends every token in order, then answers each head's queries from the ring."""
    heads, tokens, head_dim = dataset.keys.shape
    if tokens <= dataset.capacity:
        raise ValueError(f"{dataset.name}: {tokens} tokens fit a ring of {dataset.capacity}; "
                         "the quantized path would not answer")
    extra = {} if encoding == "clip3" else {"encoding": encoding}
    ctx = kelvor_py.MHAContext(heads, head_dim, bits, dataset.capacity, seed=CONTEXT_SEED, **extra)
    keys = [list(dataset.keys[h]) for h in range(heads)]
    values = [list(dataset.values[h]) for h in range(heads)]
    for t in range(tokens):
        for h in range(heads):
            ctx.append(h, keys[h][t], values[h][t], t)
    return np.stack([ctx.compute_batch(h, dataset.queries[h]) for h in range(heads)])


def peer_outputs(peer, dataset):
    k, v = dataset.keys[:, dataset.window], dataset.values[:, dataset.window]
    return np.stack([attention(dataset.queries[h], *peer.reconstruct(k[h], v[h])) for h in range(k.shape[0])])


def measure(kelvor_py, dataset, available):
    """Rows of one data set: dicts with scheme, family, bits, bpe and (None if unavailable) the error summary."""
    heads, _, head_dim = dataset.keys.shape
    references = np.stack([attention(dataset.queries[h], dataset.keys[h, dataset.window],
                                     dataset.values[h, dataset.window]) for h in range(heads)])
    rows = []
    for encoding in ENCODINGS:
        for bits in BITS:
            bpe = library_bits_per_element(bits, head_dim, dataset.capacity, SIDE_FLOATS_PER_DIM[encoding])
            err = None
            if available[encoding]:
                err = error_summary(library_outputs(kelvor_py, dataset, bits, encoding), references)
            rows.append({"scheme": f"kelvor {encoding} {bits}-bit", "family": f"kelvor {encoding}",
                         "encoding": encoding, "bits": bits, "bpe": bpe, "err": err})
    for peer in PEERS:
        rows.append({"scheme": peer.name, "family": peer.family, "encoding": None, "bits": None,
                     "bpe": peer.bits_per_element(head_dim, dataset.capacity),
                     "err": error_summary(peer_outputs(peer, dataset), references)})
    return rows


def find(rows, encoding, bits):
    return next(r for r in rows if r["encoding"] == encoding and r["bits"] == bits)


def checks(results):
    """(verdict, text) per target of the fitted encoding; verdict is PASS, FAIL or n/a."""
    out = []

    def check(fitted, ok, text):
        out.append(("n/a" if fitted["err"] is None else "PASS" if ok() else "FAIL", text))

    def cos(row):
        return "unavailable" if row["err"] is None else f"{row['err']['cos']:.4f}"

    synth = results["synthetic"]
    for bits, target in FITTED_SYNTHETIC_COS.items():
        f = find(synth, "fitted", bits)
        check(f, lambda: f["err"]["cos"] >= target,
              f"synthetic: fitted {bits}-bit mean cosine {cos(f)} >= {target}")
    for bits in BITS:
        f = find(synth, "fitted", bits)
        cheaper = [r for r in synth if r["encoding"] is None and r["bpe"] <= f["bpe"]]
        names = ", ".join(f"{r['scheme']} {cos(r)} at {r['bpe']:.3f}" for r in cheaper) or "none"
        check(f, lambda: all(f["err"]["cos"] > r["err"]["cos"] for r in cheaper),
              f"synthetic: fitted {bits}-bit ({f['bpe']:.3f} bits, cosine {cos(f)}) beats every peer "
              f"storing no more bits: {names}")
    real = results["real"]
    f2, kivi = find(real, "fitted", 2), next(r for r in real if r["scheme"] == "KIVI-like 2-bit")
    check(f2, lambda: f2["err"]["cos"] >= kivi["err"]["cos"] - FITTED_2BIT_SLACK_VS_KIVI,
          f"real: fitted 2-bit mean cosine {cos(f2)} >= KIVI-like 2-bit {cos(kivi)} - {FITTED_2BIT_SLACK_VS_KIVI}")
    f4, int4 = find(real, "fitted", 4), next(r for r in real if r["scheme"].startswith("int4"))
    check(f4, lambda: f4["err"]["cos"] >= int4["err"]["cos"],
          f"real: fitted 4-bit mean cosine {cos(f4)} >= {int4['scheme']} {cos(int4)}")
    return out


def print_table(results):
    header = ["data set", "scheme", "bits/element", "mean cosine", "mean rel L2", "worst head cosine"]
    lines = []
    for name, rows in results.items():
        for r in rows:
            e = r["err"]
            nums = ["unavailable"] * 3 if e is None else [f"{e['cos']:.5f}", f"{e['rel']:.5f}",
                                                          f"{e['worst_head_cos']:.5f}"]
            lines.append([name, r["scheme"], f"{r['bpe']:.3f}", *nums])
    widths = [max(len(row[i]) for row in [header, *lines]) for i in range(len(header))]

    def fmt(row):
        return "  ".join(c.ljust(w) if i < 2 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths)))

    print(fmt(header))
    print("  ".join("-" * w for w in widths))
    previous = None
    for row in lines:
        if previous is not None and row[0] != previous:
            print()
        previous = row[0]
        print(fmt(row))


def plot(results, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(results), figsize=(6 * len(results), 4.6), constrained_layout=True)
    for ax, (name, rows) in zip(np.atleast_1d(axes), results.items()):
        families = dict.fromkeys(r["family"] for r in rows)
        for family in families:
            pts = sorted((r["bpe"], r["err"]["cos"]) for r in rows if r["family"] == family and r["err"] is not None)
            if not pts:
                ax.plot([], [], label=f"{family} (unavailable)")
                continue
            x, y = zip(*pts)
            ax.plot(x, y, marker="o", label=family)
        ax.set_xscale("log", base=2)
        ax.set_xticks([2, 3, 4, 5, 8, 16])
        ax.get_xaxis().set_major_formatter(matplotlib.ticker.ScalarFormatter())
        ax.set_xlabel("bits per element (codes, scales and side state, amortised)")
        ax.set_ylabel("mean cosine vs float64 attention")
        ax.set_title(name)
        ax.grid(True, alpha=0.3)
        ax.legend(fontsize=8, loc="lower right")
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--plot", default=os.path.join(accuracy_data.REPO, "build", "accuracy", "accuracy.png"),
                        help="PNG to write (default build/accuracy/accuracy.png)")
    parser.add_argument("--update-docs", action="store_true", help="also copy the plot to docs/accuracy.png")
    parser.add_argument("--cache", default=str(accuracy_data.CACHE), help="q/k/v cache of the real data set")
    args = parser.parse_args()
    import kelvor_py

    available = {e: encoding_available(kelvor_py, e) for e in ENCODINGS}
    datasets = [accuracy_data.synthetic(), accuracy_data.real(args.cache, log=lambda m: print(m, file=sys.stderr))]
    print("kelvor_py accuracy: attention output against float64 attention over the held window")
    for d in datasets:
        print(f"  {d.name}: {d.description}")
    print("  fitted encoding: " + ("available" if available["fitted"] else "unavailable (the constructor takes no "
                                   "encoding= argument in this build)"))
    print()
    results = {d.name: measure(kelvor_py, d, available) for d in datasets}
    print_table(results)
    print()
    for verdict, text in checks(results):
        print(f"{verdict:4}  {text}")
    plot(results, args.plot)
    shown = os.path.relpath(args.plot)
    print(f"\nplot: {args.plot if shown.startswith('..') else shown}")
    if args.update_docs:
        docs = os.path.join(accuracy_data.REPO, "docs", "accuracy.png")
        shutil.copyfile(args.plot, docs)
        print(f"copied to {os.path.relpath(docs)}")


if __name__ == "__main__":
    main()
