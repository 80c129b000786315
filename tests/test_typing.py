"""The type stubs of the native module: their signatures, and mypy on typed callers."""
import ast
import inspect
import subprocess
import sys
from pathlib import Path

import pytest

import orv.krige
from orv._algos.spmis.krige import core

STUB = Path(core.__file__).with_name("core.pyi")
EXAMPLE = Path(__file__).parents[1] / "examples" / "usage.py"


def stub_definitions(name):
    tree = ast.parse(STUB.read_text())
    return [node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name]


@pytest.mark.parametrize(
    "name", ["adjust_anisotropy", "init_variogram_parameters", "init_variogram_model"]
)
def test_stub_signatures_match_the_module(name):
    parameters = inspect.signature(getattr(core, name)).parameters.values()
    assert {p.kind for p in parameters} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert all(p.default is inspect.Parameter.empty for p in parameters)
    definitions = stub_definitions(name)
    assert definitions, f"{name} missing from {STUB.name}"
    for node in definitions:
        args = node.args
        assert not (args.posonlyargs or args.kwonlyargs or args.vararg or args.kwarg)
        assert not args.defaults
        assert [a.arg for a in args.args] == [p.name for p in parameters]


def test_package_is_marked_as_typed():
    assert STUB.with_name("py.typed").is_file()


PUBLIC_STUB = Path(orv.krige.__file__).with_name("__init__.pyi")
PRIVATE_MISUSE = (
    "import numpy as np\n"
    "from orv._algos.spmis.krige import adjust_anisotropy, init_variogram_model\n"
    "init_variogram_model([[0.0, 0.0]], np.zeros(1), '15', 'PROJCS')\n"
    "adjust_anisotropy([[0.0, 0.0]], [0.0, 0.0], [1.0])\n"
    "lags, gamma = init_variogram_model([[0.0, 0.0]], np.zeros(1), 15, 'PROJCS')\n"
    "text: str = lags\n"
)
PUBLIC_MISUSE = (
    "from orv.krige import variogram\n"
    "variogram([[0.0]], [1.0], 5, 2.0)\n"
    "variogram([[0.0]], [1.0], estimator='dowd')\n"
    "text: str = variogram([[0.0]], [1.0]).lags\n"
)


@pytest.mark.parametrize("example, misuse_text, error_lines", [
    (EXAMPLE, PRIVATE_MISUSE, ["3", "4", "6"]),
    (EXAMPLE.with_name("public_api.py"), PUBLIC_MISUSE, ["2", "3", "4"]),
])
def test_mypy_accepts_the_typed_example_and_catches_misuse(
    tmp_path, example, misuse_text, error_lines
):
    pytest.importorskip("mypy")
    misuse = tmp_path / "misuse.py"
    misuse.write_text(misuse_text)
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(tmp_path / "cache"), str(example), str(misuse)],
        capture_output=True, text=True, check=False,
    )
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    assert [line.split(":")[:2] for line in errors] == [
        [str(misuse), line] for line in error_lines
    ], result.stdout + result.stderr


def test_public_stub_declares_every_export():
    tree = ast.parse(PUBLIC_STUB.read_text())
    declared = {node.name for node in tree.body if isinstance(node, ast.FunctionDef)}
    declared |= {alias.asname for node in tree.body if isinstance(node, ast.ImportFrom)
                 for alias in node.names}
    declared |= {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)}
    assert declared - {None} >= set(orv.krige.__all__)
    assert PUBLIC_STUB.with_name("py.typed").is_file()
