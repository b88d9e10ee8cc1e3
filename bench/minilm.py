"""A NumPy forward pass of a BERT-style encoder that records every layer's queries, keys and values.

Used by the accuracy benchmark for real attention inputs. The weights are a
safetensors file and the tokenizer a WordPiece vocabulary, both read here
without any machine-learning framework.
"""
import json
import math
import struct
import unicodedata
from pathlib import Path

import numpy as np

_SAFETENSORS_DTYPES = {
    "F64": np.float64, "F32": np.float32, "F16": np.float16,
    "I64": np.int64, "I32": np.int32, "I16": np.int16, "I8": np.int8, "U8": np.uint8,
}


def load_safetensors(path):
    """{name: array} from a safetensors file: u64 header length, JSON header, little-endian tensor bytes."""
    raw = Path(path).read_bytes()
    if len(raw) < 8:
        raise ValueError(f"{path}: too short for a safetensors file")
    (header_len,) = struct.unpack("<Q", raw[:8])
    if 8 + header_len > len(raw):
        raise ValueError(f"{path}: header length {header_len} runs past the end of the file")
    header = json.loads(raw[8:8 + header_len])
    data = memoryview(raw)[8 + header_len:]
    tensors = {}
    for name, entry in header.items():
        if name == "__metadata__":
            continue
        dtype = _SAFETENSORS_DTYPES.get(entry["dtype"])
        if dtype is None:
            raise ValueError(f"{path}: tensor {name} has unsupported dtype {entry['dtype']}")
        begin, end = entry["data_offsets"]
        shape = tuple(entry["shape"])
        dt = np.dtype(dtype).newbyteorder("<")
        if end - begin != dt.itemsize * math.prod(shape) or end > len(data):
            raise ValueError(f"{path}: tensor {name} has offsets {begin}..{end} that do not fit shape {shape}")
        tensors[name] = np.frombuffer(data[begin:end], dtype=dt).reshape(shape).astype(dtype)
    return tensors


def _is_whitespace(ch):
    return ch in " \t\n\r" or unicodedata.category(ch) == "Zs"


def _is_control(ch):
    return ch not in "\t\n\r" and unicodedata.category(ch).startswith("C")


def _is_punctuation(ch):
    cp = ord(ch)
    # ASCII symbols such as '$' and '^' are not Unicode punctuation but split like it.
    if 33 <= cp <= 47 or 58 <= cp <= 64 or 91 <= cp <= 96 or 123 <= cp <= 126:
        return True
    return unicodedata.category(ch).startswith("P")


def _is_cjk(cp):
    return (0x4E00 <= cp <= 0x9FFF or 0x3400 <= cp <= 0x4DBF or 0x20000 <= cp <= 0x2A6DF
            or 0x2A700 <= cp <= 0x2B73F or 0x2B740 <= cp <= 0x2B81F or 0x2B820 <= cp <= 0x2CEAF
            or 0xF900 <= cp <= 0xFAFF or 0x2F800 <= cp <= 0x2FA1F)


class WordPiece:
    """Uncased BERT tokenizer: clean, lower-case, strip accents, split punctuation, greedy longest-match pieces."""

    MAX_WORD_CHARS = 100

    def __init__(self, vocab):
        """vocab: a list of tokens (id = index) or the path of a vocab.txt with one token per line."""
        if not isinstance(vocab, (list, tuple)):
            vocab = Path(vocab).read_text(encoding="utf-8").split("\n")
            if vocab and vocab[-1] == "":
                vocab.pop()
        self.ids = {tok: i for i, tok in enumerate(vocab)}
        for special in ("[CLS]", "[SEP]", "[UNK]"):
            if special not in self.ids:
                raise ValueError(f"vocabulary lacks {special}")

    def words(self, text):
        """Lower-cased, accent-free words and single punctuation marks."""
        out = []
        for ch in text:
            cp = ord(ch)
            if cp == 0 or cp == 0xFFFD or _is_control(ch):
                continue
            if _is_whitespace(ch):
                out.append(" ")
            elif _is_cjk(cp):
                out.append(f" {ch} ")
            else:
                out.append(ch)
        words = []
        for word in "".join(out).split():
            word = "".join(c for c in unicodedata.normalize("NFD", word.lower())
                           if unicodedata.category(c) != "Mn")
            current = []
            for ch in word:
                if _is_punctuation(ch):
                    if current:
                        words.append("".join(current))
                        current = []
                    words.append(ch)
                else:
                    current.append(ch)
            if current:
                words.append("".join(current))
        return words

    def pieces(self, word):
        """Greedy longest-match subwords, continuations prefixed '##'; a word with no split is [UNK]."""
        if len(word) > self.MAX_WORD_CHARS:
            return ["[UNK]"]
        pieces, start = [], 0
        while start < len(word):
            end = len(word)
            while end > start:
                piece = word[start:end] if start == 0 else "##" + word[start:end]
                if piece in self.ids:
                    break
                end -= 1
            if end == start:
                return ["[UNK]"]
            pieces.append(piece)
            start = end
        return pieces

    def tokenize(self, text):
        return [p for w in self.words(text) for p in self.pieces(w)]

    def encode(self, text, max_len):
        """[CLS] pieces [SEP] as ids, the pieces cut so that the whole is at most max_len long."""
        pieces = self.tokenize(text)[:max_len - 2]
        return np.array([self.ids[t] for t in ["[CLS]", *pieces, "[SEP]"]], dtype=np.int64)


def _erf(x):
    # Abramowitz & Stegun 7.1.26: absolute error below 1.5e-7, under float32 rounding of the activations.
    t = 1.0 / (1.0 + 0.3275911 * np.abs(x))
    poly = t * (0.254829592 + t * (-0.284496736 + t * (1.421413741 + t * (-1.453152027 + t * 1.061405429))))
    return np.sign(x) * (1.0 - poly * np.exp(-x * x))


def gelu(x):
    """The exact (erf) GELU of BERT, not the tanh approximation."""
    return 0.5 * x * (1.0 + _erf(x / math.sqrt(2.0)))


def layer_norm(x, weight, bias, eps):
    mean = x.mean(axis=-1, keepdims=True)
    var = ((x - mean) ** 2).mean(axis=-1, keepdims=True)
    return (x - mean) / np.sqrt(var + eps) * weight + bias


class BertEncoder:
    """Post-LayerNorm BERT encoder over one unpadded sequence, in float32."""

    def __init__(self, model_dir):
        model_dir = Path(model_dir)
        config = json.loads((model_dir / "config.json").read_text())
        if config.get("hidden_act") != "gelu" or config.get("position_embedding_type", "absolute") != "absolute":
            raise ValueError(f"{model_dir}: only absolute positions and the erf GELU are implemented")
        self.n_layers = config["num_hidden_layers"]
        self.n_heads = config["num_attention_heads"]
        self.hidden = config["hidden_size"]
        self.head_dim = self.hidden // self.n_heads
        self.max_len = config["max_position_embeddings"]
        self.eps = config["layer_norm_eps"]
        self.w = load_safetensors(model_dir / "model.safetensors")
        self.tokenizer = WordPiece(model_dir / "vocab.txt")
        if len(self.tokenizer.ids) != config["vocab_size"]:
            raise ValueError(f"{model_dir}: vocab.txt has {len(self.tokenizer.ids)} tokens, "
                             f"config says {config['vocab_size']}")

    def _linear(self, x, name):
        return x @ self.w[name + ".weight"].T + self.w[name + ".bias"]

    def _norm(self, x, name):
        return layer_norm(x, self.w[name + ".weight"], self.w[name + ".bias"], self.eps)

    def _split_heads(self, x):
        return x.reshape(x.shape[0], self.n_heads, self.head_dim).transpose(1, 0, 2)

    def forward(self, ids):
        """Final hidden states (T, hidden), and q, k, v of shape (layers, heads, T, head_dim)."""
        ids = np.asarray(ids, dtype=np.int64)
        if ids.ndim != 1 or not 1 <= len(ids) <= self.max_len:
            raise ValueError(f"need one sequence of 1..{self.max_len} token ids, got shape {ids.shape}")
        e = "embeddings."
        x = (self.w[e + "word_embeddings.weight"][ids] + self.w[e + "position_embeddings.weight"][:len(ids)]
             + self.w[e + "token_type_embeddings.weight"][0])
        x = self._norm(x, e + "LayerNorm")
        qkv = np.empty((3, self.n_layers, self.n_heads, len(ids), self.head_dim), np.float32)
        for layer in range(self.n_layers):
            p = f"encoder.layer.{layer}."
            q, k, v = (self._split_heads(self._linear(x, p + "attention.self." + n)) for n in ("query", "key", "value"))
            qkv[0, layer], qkv[1, layer], qkv[2, layer] = q, k, v
            scores = q @ k.transpose(0, 2, 1) / np.float32(math.sqrt(self.head_dim))
            scores -= scores.max(axis=-1, keepdims=True)
            probs = np.exp(scores)
            probs /= probs.sum(axis=-1, keepdims=True)
            context = (probs @ v).transpose(1, 0, 2).reshape(len(ids), self.hidden)
            x = self._norm(x + self._linear(context, p + "attention.output.dense"), p + "attention.output.LayerNorm")
            inner = gelu(self._linear(x, p + "intermediate.dense")).astype(np.float32)
            x = self._norm(x + self._linear(inner, p + "output.dense"), p + "output.LayerNorm")
        return x, qkv[0], qkv[1], qkv[2]

    def sentence_embedding(self, text):
        """Mean of the final hidden states over all tokens, L2-normalised."""
        hidden, *_ = self.forward(self.tokenizer.encode(text, self.max_len))
        mean = hidden.astype(np.float64).mean(axis=0)
        return mean / np.linalg.norm(mean)
