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

STUB = os.path.join(os.path.dirname(kelvor_py.__file__), "__init__.pyi")


def run_module(args, cwd):
    return subprocess.run([sys.executable, "-m", *args], capture_output=True, text=True, cwd=cwd, timeout=600)


def test_stubtest_finds_no_drift(tmp_path):
    done = run_module(["mypy.stubtest", "--mypy-config-file", os.devnull, "kelvor_py"], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def split_top_level(text):
    parts, depth, start = [], 0, 0
    for i, c in enumerate(text):
        if c in "[(":
            depth += 1
        elif c in "])":
            depth -= 1
        elif c == "," and depth == 0:
            parts.append(text[start:i].strip())
            start = i + 1
    return parts + [text[start:].strip()]


def runtime_parameters(doc):
    """Names from pybind11's generated signature, with '*' and a '=' on those with defaults."""
    inner = re.match(r"\w+\((.*)\) -> ", doc.strip().splitlines()[0]).group(1)
    return [p if p == "*" else p.split(":")[0] + ("=" if " = " in p else "") for p in split_top_level(inner)]


def stub_parameters(fn):
    a = fn.args
    names = [x.arg for x in a.args]
    names = [n + "=" if i >= len(names) - len(a.defaults) else n for i, n in enumerate(names)]
    if a.kwonlyargs:
        names.append("*")
        names += [x.arg + ("=" if d is not None else "") for x, d in zip(a.kwonlyargs, a.kw_defaults)]
    return names


def test_stub_signatures_match_the_generated_ones():
    # stubtest cannot see parameters of compiled functions; pybind11 writes them into __doc__.
    cls = next(n for n in ast.parse(open(STUB).read()).body if isinstance(n, ast.ClassDef) and n.name == "MHAContext")
    methods = {f.name: f for f in cls.body if isinstance(f, ast.FunctionDef) and not f.decorator_list}
    assert {"__init__", "append_heads", "compute_heads"} <= set(methods)
    for name, fn in methods.items():
        assert stub_parameters(fn) == runtime_parameters(getattr(kelvor_py.MHAContext, name).__doc__), name


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
    errors = re.findall(r"^use\.py:(\d+): error: (.*)$", done.stdout, re.M)
    # Only the last four lines are wrong: a str from kv_bytes, a read-only property,
    # threads given by position, a float head index.
    assert [int(line) for line, _ in errors] == [9, 10, 11, 12], done.stdout
