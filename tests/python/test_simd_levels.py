"""The same contexts answered under every KELVOR_SIMD level the machine runs.

Dot products and softmax sums are reordered inside the SIMD kernels, so
answers agree with the scalar level within 1e-5 of their largest magnitude,
and the stored bytes do not depend on the level at all. (Within one level a
batch row is the single-query answer bit for bit: KernelLevel's C++ test runs
that at every level.)
"""
import os
import subprocess
import sys
import textwrap

import kelvor_py
import numpy as np
import pytest

# The build's registry of levels, scalar first.
LEVELS = tuple(kelvor_py._simd_levels())
REL = 1e-5

# Fixed seeds; two heads per context; 33 appends (exact path), then 700 in a
# ring of 600 (quantized path, wrapped). 11 queries: a block of 8 plus 2 + 1.
FILL_SCRIPT = textwrap.dedent(
    """
    import sys
    import numpy as np
    import kelvor_py

    out = {}
    for bits in kelvor_py.CODE_WIDTHS:
        for hd in (5, 128):
            tag = f"b{bits}_d{hd}"
            rng = np.random.default_rng(1000 * bits + hd)
            keys = rng.standard_normal((2, 700, hd)).astype(np.float32)
            vals = (rng.standard_normal((2, 700, hd)) + 0.3).astype(np.float32)
            queries = rng.standard_normal((11, hd)).astype(np.float32)
            ctx = kelvor_py.MHAContext(2, hd, bits, 600, seed=77 + bits)
            for t in range(700):
                for h in range(2):
                    ctx.append(h, keys[h, t], vals[h, t], t)
                if t + 1 in (33, 700):
                    phase = "exact" if t + 1 == 33 else "ring"
                    for h in range(2):
                        key = f"{tag}_{phase}_h{h}"
                        out[key + "_single"] = np.stack([ctx.compute(h, q) for q in queries])
                        out[key + "_batch"] = ctx.compute_batch(h, queries)
            out[f"{tag}_kv_bytes"] = np.array(ctx.kv_bytes(), dtype=np.uint64)
    np.savez(sys.argv[1], **out)
    """
)


def run_level(level, args, timeout=120):
    env = dict(os.environ)  # PYTHONPATH passes through
    env["KELVOR_SIMD"] = level
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, env=env, timeout=timeout)


@pytest.fixture(scope="module")
def level_outputs(tmp_path_factory):
    """level -> dict of arrays, or the reason the level cannot run here."""
    folder = tmp_path_factory.mktemp("simd_levels")
    results = {}
    for level in LEVELS:
        probe = run_level(level, ["-c", "import kelvor_py"])
        if probe.returncode != 0:
            message = probe.stderr.strip().splitlines()[-1] if probe.stderr.strip() else ""
            if "does not support" in message or "does not include" in message:
                results[level] = f"KELVOR_SIMD={level} cannot run here: {message}"
                continue
            raise AssertionError(f"import under KELVOR_SIMD={level} failed unexpectedly:\n{probe.stderr}")
        path = folder / f"{level}.npz"
        done = run_level(level, ["-c", FILL_SCRIPT, str(path)])
        assert done.returncode == 0, f"KELVOR_SIMD={level}:\n{done.stderr}"
        with np.load(path) as data:
            results[level] = {k: data[k] for k in data.files}
    return results


def outputs_for(level_outputs, level):
    got = level_outputs[level]
    if isinstance(got, str):
        pytest.skip(got)
    return got


def test_scalar_level_always_runs(level_outputs):
    assert LEVELS[0] == "scalar"
    assert not isinstance(level_outputs["scalar"], str), level_outputs["scalar"]


@pytest.mark.parametrize("level", LEVELS[1:])
def test_level_matches_scalar(level_outputs, level):
    want = outputs_for(level_outputs, "scalar")
    got = outputs_for(level_outputs, level)
    assert sorted(got) == sorted(want)
    for key in sorted(want):
        if key.endswith("_kv_bytes"):
            assert int(got[key]) == int(want[key]) > 0, key
            continue
        ref = want[key].astype(np.float64)
        tol = REL * np.abs(ref).max()
        err = np.abs(got[key].astype(np.float64) - ref)
        worst = np.unravel_index(np.argmax(err), err.shape)
        assert err.max() <= tol, (
            f"{level} {key}: element {worst} is {got[key][worst]!r}, scalar {want[key][worst]!r} "
            f"(error {err.max():.3g}, allowed {tol:.3g})"
        )
