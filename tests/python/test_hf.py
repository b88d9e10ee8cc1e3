"""kelvor_py.hf: transformers models whose key/value cache is kelvor_py's, against transformers' own
cache. Run by `make test-hf`; skipped where torch and transformers are not installed."""
import copy
import os
import pickle
import subprocess
import sys
from contextlib import contextmanager
from pathlib import Path

import pytest

try:
    import torch
    import transformers
    from transformers import DynamicCache, LlamaConfig, LlamaForCausalLM

    from kelvor_py import hf
except ImportError as e:
    if os.environ.get("KELVOR_REQUIRE_HF"):
        raise
    pytest.skip(f"torch and transformers are not installed ({e}); make test-hf runs these", allow_module_level=True)

import redis_server  # noqa: E402
from kelvor_py.models import hf_smollm2  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
HF_MODEL = ROOT / "build" / "hf-model" / "smollm2-135m-instruct-f32"

torch.set_num_threads(1)
LOGIT_TOLERANCE = 1e-4  # of the largest logit: float32 attention summed in another order


def tiny(dtype=torch.float32, **config):
    """A two-layer Llama with random weights and grouped-query attention (4 query heads, 2 key/value heads)."""
    torch.manual_seed(0)
    settings = dict(vocab_size=96, hidden_size=64, intermediate_size=96, num_hidden_layers=2,
                    num_attention_heads=4, num_key_value_heads=2, max_position_embeddings=1024)
    settings.update(config)
    model = LlamaForCausalLM(LlamaConfig(**settings)).to(dtype).eval()
    return model


def enabled(model):
    hf.enable(model)
    return model


def ids(n, seed=0, vocab=96):
    return torch.randint(0, vocab, (1, n), generator=torch.Generator().manual_seed(seed))


@torch.no_grad()
def steps(model, cache, prompt, n_new):
    """Greedy decoding by hand: (tokens, logits of each step), the prompt in one forward."""
    logits = model(prompt, past_key_values=cache).logits[0, -1]
    tokens, seen = [], [logits]
    for _ in range(n_new - 1):
        tokens.append(int(logits.argmax()))
        logits = model(torch.tensor([[tokens[-1]]]), past_key_values=cache).logits[0, -1]
        seen.append(logits)
    tokens.append(int(logits.argmax()))
    return tokens, torch.stack(seen)


@contextmanager
def transformers_attention(model):
    """The model as transformers runs it by default, for the reference cache."""
    model.set_attn_implementation("sdpa")
    try:
        yield model
    finally:
        model.set_attn_implementation(hf.ATTENTION)


def assert_logits_match(got, want):
    scale = float(want.abs().max())
    assert float((got - want).abs().max()) <= LOGIT_TOLERANCE * scale


def fresh(model, **options):
    return hf.KelvorCache(model, **{"bits": 4, "value_bits": 4, "recent": 0, "sinks": 0, **options})


@pytest.fixture(scope="module")
def smollm2():
    try:
        hf_smollm2.wheel_folder()
    except FileNotFoundError as e:
        if os.environ.get("KELVOR_REQUIRE_HF"):
            raise
        pytest.skip(str(e))
    model, tokenizer = hf_smollm2.load(HF_MODEL)
    return enabled(model), tokenizer


def license_ids(tokenizer, n):
    text = Path("/usr/share/common-licenses/GPL-3").read_text(encoding="utf-8")
    return tokenizer(text, return_tensors="pt").input_ids[:, :n]


# ---------------------------------------------------------------- imports


@pytest.mark.parametrize("code, expected", [
    ("import sys, kelvor_py; print(sorted({'torch', 'transformers'} & set(sys.modules)))", "[]"),
    ("import transformers; transformers.__version__ = '5.19.2'\n"
     "try:\n    import kelvor_py.hf\nexcept ImportError as e:\n    print(e)",
     "kelvor_py.hf supports transformers >=5.20.0,<5.21.0; found 5.19.2"),
])
def test_imports(code, expected):
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().splitlines()[-1].startswith(expected)


# ---------------------------------------------------------------- answers


@pytest.mark.parametrize("scaling", [None, 0.08])
def test_exact_while_the_window_holds_every_token(scaling):
    model = enabled(tiny())
    if scaling is not None:  # a model whose scaling is not 1/sqrt(head_dim) is answered with its own
        for layer in model.model.layers:
            layer.self_attn.scaling = scaling
    prompt = ids(60)
    with transformers_attention(model):
        want_tokens, want = steps(model, DynamicCache(config=model.config), prompt, 30)
    cache = fresh(model, bits=2, value_bits=2)  # coarse codes: any answer from them would show
    got_tokens, got = steps(model, cache, prompt, 30)
    assert got_tokens == want_tokens
    assert_logits_match(got, want)
    assert cache.get_seq_length() == 89
    assert [c.tokens(h) for c in cache.contexts for h in range(2)] == [89] * 4


def test_smollm2_generate_is_exact_below_the_window_and_from_codes_past_it(smollm2):
    model, tokenizer = smollm2
    short = tokenizer("The sky is blue because", return_tensors="pt").input_ids
    with transformers_attention(model):
        want = model.generate(short, max_new_tokens=24, do_sample=False,
                              past_key_values=DynamicCache(config=model.config),
                              output_logits=True, return_dict_in_generate=True)
    cache = hf.KelvorCache(model)
    got = model.generate(short, max_new_tokens=24, do_sample=False, past_key_values=cache,
                         output_logits=True, return_dict_in_generate=True)
    assert torch.equal(got.sequences, want.sequences)
    assert_logits_match(torch.stack(got.logits), torch.stack(want.logits))

    # Past the window the answers come from the codes: close to the float cache's, not equal.
    long = license_ids(tokenizer, 700)
    with transformers_attention(model):
        exact = steps(model, DynamicCache(config=model.config), long, 8)[1]
    coded = steps(model, hf.KelvorCache(model, bits=4, value_bits=4), long, 8)[1]
    kl = torch.nn.functional.kl_div(coded.log_softmax(-1), exact.log_softmax(-1), log_target=True,
                                    reduction="none").sum(-1)
    assert float((coded - exact).abs().max()) > LOGIT_TOLERANCE * float(exact.abs().max())
    assert float(kl.mean()) < 0.05 and bool((coded.argmax(-1) == exact.argmax(-1)).float().mean() >= 0.75)


def test_a_conversation_continues_and_chunks_equal_single_tokens():
    model = enabled(tiny())
    turns = [ids(30, 1), ids(12, 2)]
    reference = DynamicCache(config=model.config)
    cache = fresh(model)
    history = torch.zeros((1, 0), dtype=torch.long)
    for turn in turns:  # each generate continues on the same cache, as a chat would
        history = torch.cat([history, turn], dim=1)
        with transformers_attention(model):
            want = model.generate(history, max_new_tokens=10, do_sample=False, past_key_values=reference)
        got = model.generate(history, max_new_tokens=10, do_sample=False, past_key_values=cache)
        assert torch.equal(got, want)
        history = got
    # A chunk on a cache held past the window, in one forward and a token at a time.
    whole, single = fresh(model), fresh(model)
    with torch.no_grad():
        model(ids(600, 3), past_key_values=whole)
        single = copy.deepcopy(whole)
        chunk = ids(6, 4)
        at_once = model(chunk, past_key_values=whole).logits[0]
        one_by_one = torch.stack([model(chunk[:, i:i + 1], past_key_values=single).logits[0, 0] for i in range(6)])
    assert_logits_match(at_once, one_by_one)
    assert whole.get_seq_length() == single.get_seq_length() == 606


def test_copies_and_saved_caches_continue_identically(tmp_path):
    import redis
    from kelvor_py import sessions

    model = enabled(tiny())
    cache = fresh(model, bits=3, value_bits=2, recent=8, sinks=2, copy_dtype="float16", scale_dtype="bfloat16",
                  position_dtype="none", key_group=32, value_refine=64, value_dither="uniform", threads=2)
    steps(model, cache, ids(540), 4)
    # A cache saved before scale_dtype existed has float32 scales, which these layers' are not.
    older = cache.__reduce__()[1][0]
    del older["settings"]["scale_dtype"]
    with pytest.raises(ValueError, match="a layer's context differs"):
        hf._restore_cache(older)
    copies = [copy.deepcopy(cache), pickle.loads(pickle.dumps(cache))]
    with redis_server.redis_server(tmp_path) as where:
        client = redis.Redis(**where)
        version = cache.save_session(client, "chat", b"ids so far")
        loaded, meta, loaded_version = hf.KelvorCache.load_session(client, "chat", model=model)
        assert (meta, loaded_version) == (b"ids so far", version)
        copies.append(loaded)
        with pytest.raises(ValueError, match="the model has 4, 4 and 4"):
            hf.KelvorCache.load_session(client, "chat", model=tiny(num_key_value_heads=4, num_hidden_layers=4))
        sessions.save_session(client, "plain", cache.contexts, b"\xff" * 8)
        with pytest.raises(sessions.SessionDamaged, match="does not hold a KelvorCache"):
            hf.KelvorCache.load_session(client, "plain")
    assert all(repr(other) == repr(cache) for other in copies)
    want = steps(model, cache, torch.tensor([[5]]), 6)
    for other in copies:
        tokens, logits = steps(model, other, torch.tensor([[5]]), 6)
        assert tokens == want[0] and torch.equal(logits, want[1])


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16])
def test_half_precision_models(dtype):
    model = enabled(tiny(dtype))
    with transformers_attention(model):
        want = steps(model, DynamicCache(config=model.config), ids(40), 8)[1].float()
    got = steps(model, fresh(model), ids(40), 8)[1]
    assert got.dtype == dtype
    assert float((got.float() - want).abs().max()) <= 2e-2 * float(want.abs().max())


# ---------------------------------------------------------------- refusals


def test_models_it_cannot_serve_are_refused_when_the_cache_is_built():
    def sliding(m):
        m.config.layer_types = ["full_attention", "sliding_attention"]
        m.config.sliding_window = 16

    def sinks(m):
        m.model.layers[1].self_attn.sinks = torch.nn.Parameter(torch.zeros(4))

    cases = [
        (sliding, "only full-attention layers are supported; this model has sliding_attention layers"),
        (lambda m: setattr(m.config, "attn_logit_softcapping", 50.0), "soft-capping"),
        (lambda m: setattr(m.config, "alibi", True), "position bias"),
        (sinks, "attention sinks held as model parameters"),
    ]
    for change, message in cases:
        model = enabled(tiny())
        change(model)
        with pytest.raises(ValueError, match=message):
            hf.KelvorCache(model)
    with pytest.raises(ValueError, match=r"uses the 'sdpa' attention; call kelvor_py.hf.enable\(model\)"):
        hf.KelvorCache(tiny(attn_implementation="sdpa"))


def refusals():
    step = torch.tensor([[7]])
    return [
        ("batch of two", lambda m, c: m(torch.cat([step, step]), past_key_values=c), "batch size 2"),
        ("padding", lambda m, c: m(torch.tensor([[1, 2, 3]]), attention_mask=torch.tensor([[0] + [1] * 22]),
                                   past_key_values=c), "padding masks are not supported"),
        ("beam search", lambda m, c: m.generate(torch.cat([ids(20), step], 1), num_beams=2, max_new_tokens=2,
                                                past_key_values=c), "batch size 2"),
        ("assisted decoding's crop", lambda m, c: c.crop(-1), "crop is not supported"),
        ("grad", lambda m, c: m(step, past_key_values=c), "require grad"),
        ("positions", lambda m, c: m(step, position_ids=torch.tensor([[3]]), past_key_values=c),
         "position_ids must continue the cache: 20 ... 20 expected"),
        ("a device other than the CPU", lambda m, c: c.update(torch.zeros((1, 2, 1, 16), device="meta"),
                                                              torch.zeros((1, 2, 1, 16), device="meta"), 0),
         "tensors on meta are not supported"),
        ("a 4-D mask", lambda m, c: m(step, attention_mask=torch.ones((1, 1, 1, 21), dtype=torch.bool),
                                      past_key_values=c), "explicit attention mask"),
    ]


@pytest.mark.parametrize("call, message", [r[1:] for r in refusals()], ids=[r[0] for r in refusals()])
def test_refusals_store_nothing(call, message):
    model = enabled(tiny())
    cache = fresh(model)
    steps(model, cache, ids(20), 1)
    before = pickle.dumps(cache)
    with pytest.raises(ValueError, match=message):
        with torch.set_grad_enabled(message == "require grad"):
            call(model, cache)
    assert pickle.dumps(cache) == before
    steps(model, cache, torch.tensor([[7]]), 2)  # and the cache goes on as before
    assert cache.get_seq_length() == 22


def test_an_interrupted_forward_asks_for_reset():
    model = enabled(tiny())
    cache = fresh(model)
    steps(model, cache, ids(20), 1)

    def interrupt(*args, **kwargs):
        raise KeyboardInterrupt

    hook = model.model.layers[1].register_forward_pre_hook(interrupt)
    with pytest.raises(KeyboardInterrupt):
        steps(model, cache, torch.tensor([[7]]), 1)
    hook.remove()
    for _ in range(2):
        with pytest.raises(RuntimeError, match=r"layers are out of step: call reset\(\)"):
            steps(model, cache, torch.tensor([[7]]), 1)
    with pytest.raises(ValueError, match="did not finish"):
        pickle.dumps(cache)
    cache.reset()
    (got_tokens, got), (want_tokens, want) = steps(model, cache, ids(20), 3), steps(model, fresh(model), ids(20), 3)
    assert got_tokens == want_tokens and torch.equal(got, want)


def test_the_attention_needs_its_cache():
    model = enabled(tiny())
    with torch.no_grad(), pytest.raises(RuntimeError, match="runs only with a KelvorCache"):
        model(ids(5), past_key_values=DynamicCache(config=model.config))
    assert transformers.__version__.startswith("5.20.")
