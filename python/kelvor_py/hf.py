"""kelvor_py as the key/value cache of a Hugging Face transformers model.

    from kelvor_py.hf import KelvorCache, enable
    enable(model)
    cache = KelvorCache(model, bits=3, value_bits=2, recent=32, sinks=4)
    out = model.generate(**inputs, past_key_values=cache, max_new_tokens=64)

`KelvorCache` holds one `MHAContext` per layer. Its `update` stores nothing
itself: it hands the new keys and values to the "kelvor" attention function,
which the same layer calls next. A prompt on an empty cache is attended exactly
in torch and then stored in one bulk `append_heads` per layer; every later
chunk (a decode step, a follow-up prompt) is stored and answered by the library
in one `append_compute_heads` call, so attention never runs over dequantised
tensors.
"""
from __future__ import annotations

import json
import math
import struct
import threading
from typing import Any, Optional

import numpy as np

try:
    import torch
    import transformers
    from packaging.version import Version
    from transformers.cache_utils import Cache, CacheLayerMixin
    from transformers.masking_utils import AttentionMaskInterface
    from transformers.modeling_utils import AttentionInterface
except ImportError as e:  # pragma: no cover - depends on the environment
    raise ImportError(
        "kelvor_py.hf needs torch and transformers: pip install 'kelvor_py[hf]' (" + str(e) + ")"
    ) from e

import kelvor_py

ATTENTION = "kelvor"
# The transformers releases this module was tested against; its cache and
# attention interfaces change between minor releases.
TRANSFORMERS_RANGE = ("5.20.0", "5.21.0")


def check_transformers_version(version: str) -> None:
    """Raises ImportError unless `version` lies in the tested range."""
    low, high = TRANSFORMERS_RANGE
    if not Version(low) <= Version(version) < Version(high):
        raise ImportError(
            f"kelvor_py.hf supports transformers >={low},<{high}; found {version}. "
            f"Install a supported release: pip install 'transformers>={low},<{high}'"
        )


check_transformers_version(transformers.__version__)

_FULL_ATTENTION = "full_attention"
_STATE_VERSION = 1


class _Step(threading.local):
    """The keys and values one layer's update handed to its attention call."""

    cache: Optional["KelvorCache"] = None
    layer_idx = 0
    key: Any = None
    value: Any = None


_step = _Step()


def _refuse(message: str) -> None:
    raise ValueError("KelvorCache: " + message)


def _text_config(model_or_config):
    config = getattr(model_or_config, "config", model_or_config)
    return config.get_text_config(decoder=True)


def _check_model(model) -> None:
    """Refuses a model whose attention the library cannot answer."""
    from transformers.cache_utils import get_layer_types_and_kwargs

    config = _text_config(model)
    layer_types, _ = get_layer_types_and_kwargs(config)
    other = sorted({t for t in layer_types if t != _FULL_ATTENTION})
    if other:
        _refuse(f"only full-attention layers are supported; this model has {', '.join(other)} layers")
    if getattr(config, "attn_logit_softcapping", None) is not None:
        _refuse(f"attention soft-capping (attn_logit_softcapping={config.attn_logit_softcapping}) is not supported")
    if getattr(config, "alibi", False) or getattr(config, "use_alibi", False) or \
            "alibi" in str(getattr(config, "position_embedding_type", "")).lower() or \
            getattr(config, "relative_attention_num_buckets", None) is not None:
        _refuse("attention with a position bias (ALiBi or relative buckets) is not supported")
    if hasattr(model, "modules"):
        for module in model.modules():
            if getattr(module, "layer_idx", None) is not None and isinstance(getattr(module, "sinks", None),
                                                                              torch.Tensor):
                _refuse("attention sinks held as model parameters are not supported")


def _kelvor_mask(batch_size, q_length, kv_length, q_offset=0, kv_offset=0, mask_function=None,
                 attention_mask=None, **kwargs):
    """The mask of the "kelvor" attention: always causal, so none is built;
    padding, which the library cannot skip, is refused."""
    if batch_size != 1:
        _refuse(f"batch size {batch_size} is not supported (only 1: no beam search or several sequences)")
    if attention_mask is not None and not bool(attention_mask.all()):
        _refuse("padding masks are not supported: pass one unpadded sequence")
    return None


def kelvor_attention(module, query, key, value, attention_mask, dropout=0.0, scaling=None, softcap=None,
                     **kwargs):
    """The attention function registered as "kelvor"; answers from the KelvorCache
    whose update ran just before it on this thread."""
    step = _step
    cache = step.cache
    if cache is None or step.key is not key:
        raise RuntimeError(
            "the 'kelvor' attention runs only with a KelvorCache as past_key_values "
            "(model.generate(..., past_key_values=KelvorCache(model)) or model(..., past_key_values=cache))"
        )
    layer_idx, value = step.layer_idx, step.value
    step.cache = step.key = step.value = None
    return cache._attend(layer_idx, module, query, key, value, attention_mask, dropout, scaling, softcap, kwargs)


def enable(model) -> None:
    """Registers the "kelvor" attention and its mask function with transformers
    and switches `model` to it. Raises ValueError for a model it cannot serve."""
    _check_model(model)
    AttentionInterface.register(ATTENTION, kelvor_attention)
    AttentionMaskInterface.register(ATTENTION, _kelvor_mask)
    model.set_attn_implementation(ATTENTION)


class KelvorLayer(CacheLayerMixin):
    """One layer of a KelvorCache: its MHAContext and how many tokens it has seen
    (the ring keeps the newest `capacity`)."""

    is_sliding = False
    is_compileable = False
    is_croppable = False
    supports_early_init = False

    def __init__(self, context: kelvor_py.MHAContext, length: int = 0):
        super().__init__()
        self.context = context
        self.length = length
        self.is_initialized = True

    def lazy_initialization(self, key_states, value_states) -> None:
        pass

    def update(self, key_states, value_states, *args, **kwargs):
        raise RuntimeError("a KelvorLayer is updated through its KelvorCache")

    def get_mask_sizes(self, query_length: int) -> tuple[int, int]:
        return self.length + query_length, 0

    def get_seq_length(self) -> int:
        return self.length

    def get_max_length(self) -> int:
        return -1

    def reset(self) -> None:
        self.context.reset()
        self.length = 0

    def offload(self):
        pass

    def prefetch(self):
        pass


class KelvorCache(Cache):
    """A transformers cache whose layers are kelvor_py contexts.

    The options are MHAContext's (layer i gets seed + i); capacity defaults to
    the model's max_position_embeddings. The model must first be switched to the
    "kelvor" attention with `enable(model)`.
    """

    def __init__(self, model, *, bits: int = 3, value_bits: Optional[int] = 2, recent: int = 32, sinks: int = 4,
                 encoding: str = "fitted", copy_dtype: str = "float32", scale_dtype: str = "float32",
                 position_dtype: str = "uint32", key_group: int = 0, value_refine: int = 0,
                 value_dither: str = "none", capacity: Optional[int] = None, seed: int = 0, threads: int = 1):
        _check_model(model)
        config = _text_config(model)
        if getattr(model, "config", None) is not None and model.config._attn_implementation != ATTENTION:
            _refuse(f"the model uses the '{model.config._attn_implementation}' attention; call "
                    "kelvor_py.hf.enable(model) before building the cache")
        n_layers = config.num_hidden_layers
        n_heads = config.num_attention_heads
        n_kv = getattr(config, "num_key_value_heads", None) or n_heads
        head_dim = getattr(config, "head_dim", None) or config.hidden_size // n_heads
        if capacity is None:
            capacity = int(getattr(config, "max_position_embeddings"))
        self._settings = dict(n_heads=n_kv, head_dim=head_dim, bits=bits, capacity=capacity, seed=seed,
                              threads=threads, encoding=encoding, recent=recent, value_bits=value_bits,
                              sinks=sinks, copy_dtype=copy_dtype, scale_dtype=scale_dtype,
                              position_dtype=position_dtype, key_group=key_group, value_refine=value_refine,
                              value_dither=value_dither, n_query_heads=n_heads)
        layers = [KelvorLayer(self._make_context(seed + i)) for i in range(n_layers)]
        self._init_layers(layers)

    def _make_context(self, seed: int) -> kelvor_py.MHAContext:
        s = self._settings
        return kelvor_py.MHAContext(s["n_heads"], s["head_dim"], s["bits"], s["capacity"], seed,
                                    threads=s["threads"], encoding=s["encoding"], recent=s["recent"],
                                    value_bits=s["value_bits"], sinks=s["sinks"], copy_dtype=s["copy_dtype"],
                                    scale_dtype=s["scale_dtype"], position_dtype=s["position_dtype"],
                                    key_group=s["key_group"], value_refine=s["value_refine"],
                                    value_dither=s["value_dither"])

    def _init_layers(self, layers) -> None:
        super().__init__(layers=layers)
        self._next_layer = 0  # the layer whose update the current forward expects next
        self._broken: Optional[str] = None

    # -- what callers use ----------------------------------------------------
    def memory_bytes(self) -> int:
        """Bytes every layer's context holds."""
        return sum(layer.context.memory_bytes() for layer in self.layers)

    @property
    def contexts(self) -> list:
        """The layers' MHAContexts, layer 0 first."""
        return [layer.context for layer in self.layers]

    def reset(self) -> None:
        """Empties every layer, and clears the refusal after an interrupted forward."""
        for layer in self.layers:
            layer.reset()
        self._next_layer = 0
        self._broken = None
        if _step.cache is self:
            _step.cache = _step.key = _step.value = None

    def __repr__(self) -> str:
        s = self._settings
        shown = [k for k in _REPR_OPTIONS if k not in _LATER_SETTINGS or s[k] != _LATER_SETTINGS[k]]
        options = ", ".join(f"{k}={s[k]!r}" for k in shown)
        return f"KelvorCache(layers={len(self.layers)}, tokens={self.get_seq_length()}, {options})"

    # -- refused operations --------------------------------------------------
    def crop(self, tokens_to_remove: int) -> None:
        _refuse("crop is not supported (assisted decoding and rollbacks need it): the codes cannot be taken back")

    def reorder_cache(self, beam_idx) -> None:
        _refuse("reorder_cache is not supported: beam search needs a batch of sequences")

    def batch_repeat_interleave(self, repeats: int) -> None:
        if repeats != 1:
            _refuse(f"batch size {repeats} is not supported (only 1: no beam search or several return sequences)")

    def batch_select_indices(self, indices) -> None:
        if torch.as_tensor(indices).flatten().tolist() != [0]:
            _refuse("selecting sequences of a batch is not supported (only batch size 1)")

    # -- the transformers protocol -------------------------------------------
    def update(self, key_states, value_states, layer_idx: int, *args, **kwargs):
        # Runs for every layer of every step: the rare cases go to methods of their own.
        if layer_idx != self._next_layer or self._broken is not None:
            self._out_of_step(layer_idx)
        if key_states.shape[0] != 1 or not key_states.is_cpu:
            self._refuse_tensors(key_states)
        step = _step
        step.cache, step.layer_idx, step.key, step.value = self, layer_idx, key_states, value_states
        return key_states, value_states

    def _out_of_step(self, layer_idx: int):
        if self._broken is not None:
            raise RuntimeError(self._broken)
        if self._next_layer != 0:
            self._broken = (f"KelvorCache: a forward stopped after layer {self._next_layer - 1} stored its tokens "
                            "and before the last layer did; the layers are out of step: call reset()")
            raise RuntimeError(self._broken)
        raise RuntimeError(
            f"KelvorCache: layer {layer_idx} was updated before layer 0; the 'kelvor' attention did not run "
            "after an update (switch the model with kelvor_py.hf.enable(model))")

    @staticmethod
    def _refuse_tensors(key_states):
        if key_states.shape[0] != 1:
            _refuse(f"batch size {key_states.shape[0]} is not supported (only 1: no beam search or several "
                    "return sequences)")
        _refuse(f"tensors on {key_states.device} are not supported: the library runs on the CPU "
                "(move the model with model.to('cpu'))")

    @staticmethod
    def _refuse_attention(query, attention_mask, dropout, softcap):
        if query.requires_grad:
            _refuse("queries that require grad are not supported: run under torch.no_grad() or "
                    "torch.inference_mode()")
        if attention_mask is not None:
            _refuse("an explicit attention mask or bias is not supported (padding, custom 4-D masks, ALiBi)")
        if dropout:
            _refuse("attention dropout is not supported: put the model in eval() mode")
        if softcap is not None:
            _refuse("attention soft-capping is not supported")
        _refuse("attention sinks held as model parameters are not supported")

    def _attend(self, layer_idx, module, query, key, value, attention_mask, dropout, scaling, softcap, kwargs):
        if query.requires_grad or attention_mask is not None or dropout or softcap is not None or \
                kwargs.get("s_aux") is not None:
            self._refuse_attention(query, attention_mask, dropout, softcap)
        layer = self.layers[layer_idx]
        T = query.shape[2]
        pos = layer.length
        if layer_idx == 0:
            positions = kwargs.get("position_ids")
            if positions is not None and not _continues(positions, pos, T):
                _refuse(f"position_ids must continue the cache: {pos} ... {pos + T - 1} expected")
        head_dim = query.shape[-1]
        if scaling is None:
            scaling = head_dim ** -0.5
        if pos == 0:
            # The prompt, exactly as transformers' own sdpa path answers it.
            out = torch.nn.functional.scaled_dot_product_attention(
                query, key, value, is_causal=T > 1, scale=scaling, enable_gqa=True).transpose(1, 2)
            layer.context.append_heads(_rows(key), _rows(value), 0)
        else:
            q = _rows(query)
            # The library scores with 1/sqrt(head_dim); another scaling is folded into the queries.
            factor = scaling * math.sqrt(head_dim)
            if factor != 1.0:
                q = q * np.float32(factor)
            out = torch.from_numpy(layer.context.append_compute_heads(_rows(key), _rows(value), q, pos)[None])
            if query.dtype is not torch.float32:
                out = out.to(query.dtype)
        layer.length = pos + T
        self._next_layer = layer_idx + 1 if layer_idx + 1 < len(self.layers) else 0
        return out, None

    # -- copying and saving ---------------------------------------------------
    def _header(self) -> dict:
        """What a saved cache holds besides its layers' states."""
        if self._broken is not None or self._next_layer != 0:
            _refuse("a cache whose last forward did not finish cannot be saved or copied: call reset()")
        return {"version": _STATE_VERSION, "settings": dict(self._settings),
                "lengths": [layer.length for layer in self.layers]}

    def __reduce__(self):
        state = self._header()
        state["layers"] = [layer.context.__getstate__() for layer in self.layers]
        return _restore_cache, (state,)

    def __reduce_ex__(self, protocol):
        return self.__reduce__()

    def save_session(self, client, session: str, meta: bytes = b"", *, expected_version: Optional[int] = None,
                     ttl: Optional[float] = None, prefix: str = "kelvor") -> int:
        """Saves the cache (every layer, its settings and lengths) and `meta` in Redis through
        kelvor_py.sessions.save_session, which it takes its arguments and errors from; returns the version."""
        from kelvor_py import sessions

        header = json.dumps(self._header()).encode()
        blob = _HEADER_LENGTH.pack(len(header)) + header + bytes(meta)
        return sessions.save_session(client, session, self.contexts, blob, expected_version=expected_version,
                                     ttl=ttl, prefix=prefix)

    @classmethod
    def load_session(cls, client, session: str, model=None, **options) -> tuple["KelvorCache", bytes, int]:
        """(cache, meta, version) of a session that save_session stored; `options` go to
        kelvor_py.sessions.load_session. With `model`, refuses a cache of another shape."""
        from kelvor_py import sessions

        contexts, blob, version = sessions.load_session(client, session, **options)
        try:
            (size,) = _HEADER_LENGTH.unpack_from(blob)
            header = json.loads(blob[_HEADER_LENGTH.size:_HEADER_LENGTH.size + size])
        except (ValueError, struct.error) as e:
            raise sessions.SessionDamaged(f"session {session!r} does not hold a KelvorCache: {e}") from e
        try:
            cache = _cache_from(header, contexts)
        except ValueError as e:
            raise sessions.SessionDamaged(f"session {session!r}: {e}") from e
        if model is not None:
            config = _text_config(model)
            s = cache._settings
            want = (config.num_hidden_layers, getattr(config, "num_key_value_heads", None) or
                    config.num_attention_heads, config.num_attention_heads)
            if (len(cache.layers), s["n_heads"], s["n_query_heads"]) != want:
                _refuse(f"session {session!r} holds a cache of {len(cache.layers)} layers, {s['n_heads']} key/value "
                        f"and {s['n_query_heads']} query heads; the model has {want[0]}, {want[1]} and {want[2]}")
        return cache, blob[_HEADER_LENGTH.size + size:], version


_HEADER_LENGTH = struct.Struct("<I")
_REPR_OPTIONS = ("bits", "value_bits", "recent", "sinks", "encoding", "copy_dtype", "scale_dtype", "position_dtype",
                 "key_group", "value_refine", "value_dither", "capacity", "seed", "threads")
_SETTINGS = {"n_heads", "head_dim", "n_query_heads", *_REPR_OPTIONS}
# Settings added since caches were first saved, with the value every cache saved before them has. A cache's repr
# shows them only when they differ from it, so an older cache's repr is what it was.
_LATER_SETTINGS = {"scale_dtype": "float32", "position_dtype": "uint32", "key_group": 0, "value_refine": 0,
                   "value_dither": "none"}


def _cache_from(header, contexts) -> KelvorCache:
    """A cache of the given layers, checked against what its header says of them."""
    if not isinstance(header, dict) or header.get("version") != _STATE_VERSION:
        raise ValueError("not a saved KelvorCache of a version this kelvor_py reads")
    settings, lengths = header.get("settings"), header.get("lengths")
    if not isinstance(settings, dict) or not isinstance(lengths, list) or len(lengths) != len(contexts) or \
            any(isinstance(n, bool) or not isinstance(n, int) or n < 0 for n in lengths):
        raise ValueError("a saved KelvorCache must give its settings and one non-negative length per layer")
    settings = {**_LATER_SETTINGS, **settings}
    missing = sorted(_SETTINGS - set(settings))
    if missing:
        raise ValueError(f"a saved KelvorCache's settings lack {', '.join(missing)}")
    for context in contexts:
        if any(getattr(context, name) != settings[name] for name in ("n_heads", "head_dim", "bits", "capacity",
                                                                      "encoding", "recent", "sinks", "copy_dtype",
                                                                      "scale_dtype", "position_dtype", "key_group",
                                                                      "value_refine", "value_dither")):
            raise ValueError("a layer's context differs from the saved KelvorCache's settings")
    cache = KelvorCache.__new__(KelvorCache)
    cache._settings = dict(settings)
    cache._init_layers([KelvorLayer(c, n) for c, n in zip(contexts, lengths)])
    return cache


def _restore_cache(state: dict) -> KelvorCache:
    if not isinstance(state, dict) or not isinstance(state.get("layers"), list):
        raise ValueError("not a saved KelvorCache of a version this kelvor_py reads")
    return _cache_from(state, [kelvor_py._restore(s) for s in state["layers"]])


def _rows(t):
    """(1, heads, T, head_dim) as a float32 NumPy (T, heads, head_dim) view, copied only when it must be."""
    if t.dtype is not torch.float32:
        t = t.float()
    return t.numpy()[0].swapaxes(0, 1)


def _continues(positions, pos: int, T: int) -> bool:
    if positions.shape[-1] != T:
        return False
    row = positions.reshape(-1, T)[0]
    if T == 1:
        return row.item() == pos
    return bool(torch.equal(row.cpu(), torch.arange(pos, pos + T, dtype=row.dtype)))
