"""The typing stub installed beside the module: it matches the module, and mypy reads it."""
import ast
import os
import re
import subprocess
import sys
import textwrap

import pytest

import kelvor_py

pytest.importorskip("mypy", reason="mypy is not installed in this environment (make test installs it)")


def run_module(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubtest_finds_no_drift(tmp_path):
    # The compiled module's stub is what can drift; kelvor_py.hf is typed inline and imports only with
    # torch and transformers installed, so stubtest leaves it, and mypy leaves alone the imports that it
    # and kelvor_py.models make only when a model is loaded.
    (tmp_path / "mypy.ini").write_text("[mypy]\n[mypy-torch.*,transformers.*,gguf.*,tokenizers.*]\n"
                                       "ignore_missing_imports = True\n")
    (tmp_path / "allow.txt").write_text("kelvor_py\\.hf(\\..*)?\n")
    done = run_module(["mypy.stubtest", "--mypy-config-file", "mypy.ini", "--allowlist", "allow.txt",
                       "--ignore-unused-allowlist", "kelvor_py"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_stub_parameters_match_the_generated_signatures():
    # stubtest cannot see parameters of compiled functions; pybind11 writes them into __doc__.
    stub = ast.parse(open(os.path.join(os.path.dirname(kelvor_py.__file__), "__init__.pyi")).read())
    cls = next(n for n in stub.body if isinstance(n, ast.ClassDef) and n.name == "MHAContext")
    methods = [f for f in cls.body if isinstance(f, ast.FunctionDef) and not f.decorator_list]
    assert {"__init__", "append_heads", "compute_heads"} <= {f.name for f in methods}
    for fn in methods:
        a = fn.args
        want = [x.arg for x in a.posonlyargs] + ["/"] * bool(a.posonlyargs)
        want += [x.arg + "=" * (i >= len(a.args) - len(a.defaults)) for i, x in enumerate(a.args)]
        want += ["*"] * bool(a.kwonlyargs) + [x.arg + "=" * (d is not None) for x, d in zip(a.kwonlyargs, a.kw_defaults)]
        generated = getattr(kelvor_py.MHAContext, fn.name).__doc__.strip().splitlines()[0]
        params = re.match(r"\w+\((.*)\) -> ", generated).group(1)
        while "[" in params:  # drop subscripts, whose commas are not separators
            params = re.sub(r"\[[^][]*\]", "", params)
        params = params.split(", ")
        assert [p if p in "*/" else p.split(":")[0] + "=" * (" = " in p) for p in params] == want, fn.name


MYPY_INPUT = textwrap.dedent(
    """\
    import numpy as np
    import numpy.typing as npt
    import kelvor_py

    ctx = kelvor_py.MHAContext(2, 8, 3, 16, seed=np.uint64(5), threads=2)
    out: npt.NDArray[np.float32] = ctx.compute_heads(np.zeros((4, 8)))
    n: int = ctx.tokens(0) + ctx.bits + ctx.capacity + ctx.threads + ctx.n_heads + ctx.head_dim
    ctx.append_heads(np.zeros((2, 8)), [[0.0] * 8] * 2, 3)
    wrong: str = ctx.kv_bytes()
    ctx.threads = 4
    kelvor_py.MHAContext(2, 8, 3, 16, 0, 0.95, 512, 2)
    ctx.compute(0.5, out)
    """
)


def test_mypy_reads_the_types_from_the_stub(tmp_path):
    (tmp_path / "use.py").write_text(MYPY_INPUT)
    done = run_module(["mypy", "--strict", "--no-incremental", "--config-file", os.devnull, "use.py"], tmp_path)
    # Exactly the last four lines are wrong: a str from kv_bytes, a read-only
    # property, threads given by position, a float head index.
    assert re.findall(r"^use\.py:(\d+): error", done.stdout, re.M) == ["9", "10", "11", "12"], done.stdout
