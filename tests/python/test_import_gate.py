"""What happens at import: the interpreter version gate and the KELVOR_SIMD (and KELVOR_AVX512_3BIT) choice."""
import glob
import json
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import kelvor_py


def runs_version(exe, minor):
    try:
        done = subprocess.run(
            [exe, "-c", f"import sys; sys.exit(0 if sys.version_info[:2] == (3, {minor}) else 1)"],
            capture_output=True, timeout=30,
        )
    except (OSError, subprocess.TimeoutExpired):
        return False
    return done.returncode == 0


def find_interpreter(minor):
    # pyenv's shim may be on PATH and still refuse to run, so try its versions too.
    name = f"python3.{minor}"
    candidates = [shutil.which(name)]
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    candidates += sorted(glob.glob(os.path.join(root, "versions", f"3.{minor}.*", "bin", name)), reverse=True)
    candidates.append(f"/usr/bin/{name}")
    for exe in candidates:
        if exe and os.path.exists(exe) and runs_version(exe, minor):
            return exe
    return None


@pytest.fixture(scope="module")
def untagged_module(tmp_path_factory):
    # Without the cpython-310 tag any interpreter will try to load the file.
    folder = tmp_path_factory.mktemp("untagged")
    shutil.copyfile(kelvor_py.__file__, folder / "kelvor_py.so")
    return folder


@pytest.mark.parametrize("minor", [11, 9, 12])
def test_other_interpreter_is_refused(untagged_module, minor):
    exe = find_interpreter(minor)
    if exe is None:
        pytest.skip(f"no runnable python3.{minor} on PATH or under pyenv")
    script = textwrap.dedent(
        f"""
        import json, sys
        sys.path.insert(0, {str(untagged_module)!r})
        try:
            import kelvor_py
        except ImportError as e:
            print(json.dumps({{"error": str(e), "version": sys.version}}))
        else:
            print(json.dumps({{"error": None, "version": sys.version}}))
        """
    )
    done = subprocess.run([exe, "-I", "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert report["error"] == (
        "Python version mismatch: module was compiled for Python 3.10, "
        "but the interpreter version is incompatible: " + report["version"] + "."
    )


def test_untagged_copy_loads_into_310(untagged_module):
    script = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {str(untagged_module)!r})
        import kelvor_py
        assert kelvor_py.__file__.endswith("kelvor_py.so"), kelvor_py.__file__
        print(kelvor_py.MHAContext(2, 8, 2, 4).n_heads)
        """
    )
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "2"


# --- KELVOR_SIMD -----------------------------------------------------------------

# Exact path (20 tokens in a ring of 64): one answer and a batch of two.
ANSWER_SCRIPT = textwrap.dedent(
    """
    import json
    import numpy as np
    import kelvor_py
    rng = np.random.default_rng(77)
    ctx = kelvor_py.MHAContext(2, 40, 3, 64, seed=9)
    for t in range(20):
        ctx.append(1, rng.standard_normal(40), rng.standard_normal(40), t)
    q = rng.standard_normal((2, 40)).astype(np.float32)
    print(json.dumps({"one": ctx.compute(1, q[0]).tolist(), "batch": ctx.compute_batch(1, q).tolist()}))
    """
)


def run_with_simd(value, script, three_bit=None):
    env = dict(os.environ)
    for name, v in (("KELVOR_SIMD", value), ("KELVOR_AVX512_3BIT", three_bit)):
        env.pop(name, None)
        if v is not None:
            env[name] = v
    module_dir = os.path.dirname(kelvor_py.__file__)
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH")) if p)
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=60)


def exact_reference():
    rng = np.random.default_rng(77)
    keys, vals = [], []
    for _ in range(20):
        keys.append(rng.standard_normal(40).astype(np.float32))
        vals.append(rng.standard_normal(40).astype(np.float32))
    q = rng.standard_normal((2, 40)).astype(np.float32)
    k = np.array(keys, np.float64)
    v = np.array(vals, np.float64)
    s = q.astype(np.float64) @ k.T / np.sqrt(40)
    w = np.exp(s - s.max(axis=1, keepdims=True))
    return (w / w.sum(axis=1, keepdims=True)) @ v


@pytest.mark.parametrize("value", ["bogus", "SCALAR", "avx", "scalar "])
def test_unknown_simd_level_fails_import(value):
    done = run_with_simd(value, "import kelvor_py")
    assert done.returncode != 0
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: ")
    assert "KELVOR_SIMD" in last
    assert repr(value) in last or value in last


def test_scalar_matches_default_on_exact_path():
    default = run_with_simd(None, ANSWER_SCRIPT)
    scalar = run_with_simd("scalar", ANSWER_SCRIPT)
    assert default.returncode == 0, default.stderr
    assert scalar.returncode == 0, scalar.stderr
    a, b = json.loads(default.stdout), json.loads(scalar.stdout)
    ref = exact_reference()
    for answers in (a, b):
        np.testing.assert_allclose(answers["one"], ref[0], rtol=1e-4, atol=1e-5)
        np.testing.assert_allclose(answers["batch"], ref, rtol=1e-4, atol=1e-5)
        assert answers["batch"][0] == answers["one"]
    np.testing.assert_allclose(a["batch"], b["batch"], rtol=1e-5, atol=1e-6)


def test_empty_simd_value_means_default():
    done = run_with_simd("", ANSWER_SCRIPT)
    assert done.returncode == 0, done.stderr
    np.testing.assert_allclose(json.loads(done.stdout)["batch"], exact_reference(), rtol=1e-4, atol=1e-5)


@pytest.mark.parametrize("value", ["bogus", "Rewrite", "shuffle "])
def test_unknown_three_bit_decoder_fails_import(value):
    done = run_with_simd(None, "import kelvor_py", three_bit=value)
    assert done.returncode != 0
    last = done.stderr.strip().splitlines()[-1]
    assert last.startswith("ImportError: ")
    assert "KELVOR_AVX512_3BIT" in last and repr(value) in last


# A wrapped ring of 3-bit codes, so the answers come from the decoders.
THREE_BIT_SCRIPT = textwrap.dedent(
    """
    import json
    import numpy as np
    import kelvor_py
    rng = np.random.default_rng(5)
    ctx = kelvor_py.MHAContext(1, 128, 3, 600, seed=3)
    for t in range(700):
        ctx.append(0, rng.standard_normal(128), rng.standard_normal(128), t)
    q = rng.standard_normal((9, 128)).astype(np.float32)
    print(json.dumps({"level": kelvor_py._simd_level(), "batch": ctx.compute_batch(0, q).tolist()}))
    """
)


def test_three_bit_decoder_override_is_reported_and_gives_the_same_bits():
    runs = {}
    for decoder in ("shuffle", "rewrite"):
        done = run_with_simd("avx512", THREE_BIT_SCRIPT, three_bit=decoder)
        if done.returncode != 0 and "does not support" in done.stderr:
            pytest.skip("this machine does not run AVX-512, so neither 3-bit decoder is tested here")
        assert done.returncode == 0, done.stderr
        runs[decoder] = json.loads(done.stdout)
        assert runs[decoder]["level"] == f"avx512 (3-bit decoder: {decoder})"
    assert runs["shuffle"]["batch"] == runs["rewrite"]["batch"]
