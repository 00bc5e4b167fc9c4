"""The shipped type stubs must describe the module exactly and be found by type checkers.

mypy's stubtest catches names present on one side only, but it cannot read the
parameters of the extension's methods (they carry no introspectable signature),
so the signatures are compared against the ones the module renders in its
docstrings: same names, order, defaults and types, with the stub's extra type
parameters (dict[str, ...], NDArray[...]) erased.
"""

from __future__ import annotations

import ast
import subprocess
import sys
from pathlib import Path

import pytest

import vornlib

SOURCE_STUB = Path(__file__).resolve().parents[2] / "stubs" / "vornlib-stubs" / "__init__.pyi"
INSTALLED_STUB = Path(vornlib.__file__).parent / "vornlib-stubs" / "__init__.pyi"


def run_mypy_tool(args: list[str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, capture_output=True, text=True,
                          timeout=300)


class ErasePrecision(ast.NodeTransformer):
    """Stub annotation -> the text the module renders for the same parameter."""

    def visit_Subscript(self, node: ast.Subscript) -> ast.AST:
        name = ast.unparse(node.value)
        if name == "dict":
            return ast.Name("dict")
        if name == "NDArray":
            return ast.Name("numpy.ndarray")
        return self.generic_visit(node)


def rendered_from_stub(function: ast.FunctionDef) -> str:
    def annotation(node: ast.expr) -> str:
        return ast.unparse(ErasePrecision().visit(node))

    args = function.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + list(args.defaults)
    params = []
    for arg, default in zip(args.args, defaults):
        text = "self: vornlib.NeighborSampler" if arg.arg == "self" else f"{arg.arg}: {annotation(arg.annotation)}"
        params.append(text if default is None else f"{text} = {ast.unparse(default)}")
    return f"{function.name}({', '.join(params)}) -> {annotation(function.returns)}"


def stub_methods() -> dict[str, ast.FunctionDef]:
    tree = ast.parse(SOURCE_STUB.read_text())
    (sampler_class,) = [n for n in tree.body if isinstance(n, ast.ClassDef)]
    return {n.name: n for n in sampler_class.body if isinstance(n, ast.FunctionDef)}


def test_installed_stub_is_the_source_stub():
    assert INSTALLED_STUB.is_file(), "vornlib-stubs was not installed beside the extension"
    assert INSTALLED_STUB.read_text() == SOURCE_STUB.read_text(), "reinstall the project: stubs changed"


@pytest.mark.parametrize("method", ["__init__", "sample"])
def test_stub_signature_matches_rendered_signature(method):
    rendered = getattr(vornlib.NeighborSampler, method).__doc__.strip().splitlines()[0]
    assert rendered_from_stub(stub_methods()[method]) == rendered


@pytest.mark.slow
def test_stubtest_finds_no_drift(tmp_path):
    # pybind11's metaclass is an implementation detail no stub should spell out.
    allowlist = tmp_path / "allowlist.txt"
    allowlist.write_text("vornlib.NeighborSampler\n")
    result = run_mypy_tool(["mypy.stubtest", "--allowlist", str(allowlist), "vornlib"], tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.slow
def test_type_checker_uses_the_stubs(tmp_path):
    (tmp_path / "use.py").write_text(
        "import numpy as np\n"
        "import vornlib\n"
        "s = vornlib.NeighborSampler(['a'], [('a', 'r', 'a')], {}, {}, {})\n"
        "empty = np.zeros(0, dtype=np.int64)\n"
        "rows, cols, nodes, batches, node_counts, edge_counts = s.sample({}, {}, 'a', empty, empty)\n"
        "reveal_type(edge_counts)\n"
        "s.sample({}, {}, 'a', empty)\n"
    )
    result = run_mypy_tool(["mypy", "--no-incremental", "use.py"], tmp_path)
    lines = result.stdout.splitlines()
    revealed = [line for line in lines if "Revealed type" in line]
    assert revealed and all(part in revealed[0] for part in ("dict[", "str, numpy.ndarray", "_64Bit")), \
        result.stdout
    assert any('Missing positional argument "seed_time"' in line for line in lines), result.stdout
    assert "Found 1 error" in result.stdout, result.stdout
