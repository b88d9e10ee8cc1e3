"""Finite queries of huge norm answer finitely at every KELVOR_SIMD level: the
limit of softmax attention as the scores grow, which the NumPy model forms in
float64 (weight on the top-scoring tokens)."""
import os

import numpy as np
import pytest

import kelvor_model as km
from test_simd_levels import LEVELS, run_level

HD = 64
# name: (encoding, bits, capacity, tokens, key scale, query)
CASES = {
    "exact 1e37": ("clip3", 3, 1024, 300, 10.0, np.full(HD, 1e37)),
    "exact one coordinate 1.2e20": ("clip3", 2, 1024, 300, 1e18, np.eye(HD)[3] * 1.2e20),
    "fitted ring 3.5e37": ("fitted", 3, 550, 600, 1.0, np.full(HD, 3.5e37)),
    "clip3 ring 1e36, keys of norm 3e3": ("clip3", 4, 550, 600, 3e3 / 8, np.full(HD, 1e36)),
    "clip3 ring -3.4e38 mixed": ("clip3", 2, 300, 700, 1.0, np.linspace(-3.4e38, 1e38, HD)),
}

SCRIPT = """
import sys
import numpy as np
import kelvor_py
sys.path.insert(0, sys.argv[2])
from test_huge_queries import CASES, HD, tokens

out = {}
for i, (name, (encoding, bits, capacity, n, key_scale, query)) in enumerate(CASES.items()):
    keys, vals = tokens(n, key_scale, i)
    ctx = kelvor_py.MHAContext(1, HD, bits, capacity, seed=i, encoding=encoding)
    for t in range(n):
        ctx.append(0, keys[t], vals[t], t)
    queries = np.stack([query, -query, np.ones(HD)]).astype(np.float32)
    out[name] = np.concatenate([ctx.compute(0, queries[0])[None], ctx.compute_batch(0, queries)])
np.savez(sys.argv[1], **out)
"""


def tokens(n, key_scale, seed):
    rng = np.random.default_rng(seed)
    return ((key_scale * rng.standard_normal((n, HD))).astype(np.float32),
            (rng.standard_normal((n, HD)) + 0.5).astype(np.float32))


@pytest.fixture(scope="module")
def expected():
    want = {}
    for i, (name, (encoding, bits, capacity, n, key_scale, query)) in enumerate(CASES.items()):
        keys, vals = tokens(n, key_scale, i)
        model = km.ModelContext(1, HD, bits, capacity, seed=i, encoding=encoding)
        model.extend(0, keys, vals)
        queries = np.stack([query, -query, np.ones(HD)]).astype(np.float32)
        want[name] = (model.compute_batch(0, queries), np.abs(vals).max())
    return want


@pytest.mark.parametrize("level", LEVELS)
def test_huge_queries_answer_the_limit_at_every_level(tmp_path, expected, level):
    probe = run_level(level, ["-c", "import kelvor_py"])
    if probe.returncode != 0:
        message = probe.stderr.strip().splitlines()[-1] if probe.stderr.strip() else ""
        assert "does not support" in message or "does not include" in message, probe.stderr
        pytest.skip(f"KELVOR_SIMD={level} cannot run here: {message}")
    done = run_level(level, ["-c", SCRIPT, str(tmp_path / "out.npz"), os.path.dirname(__file__)])
    assert done.returncode == 0, done.stderr[-2000:]
    with np.load(tmp_path / "out.npz") as got:
        for name, (want, scale) in expected.items():
            single, batch = got[name][0], got[name][1:]
            assert np.isfinite(batch).all(), name
            assert single.tobytes() == batch[0].tobytes(), name
            err = np.abs(batch.astype(np.float64) - want).max()
            assert err <= 1e-4 * scale, f"{level} {name}: error {err:.3g} against a scale of {scale:.3g}"
