"""The native layers point one way: common/ at the bottom, the pure C++ engine above it, one
folder per extension module on top, none of which includes another."""
import re
from pathlib import Path

import pytest

NATIVE = Path(__file__).resolve().parent.parent / "native"
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^">]+)[">]', re.MULTILINE)
# Headers of common/ that talk to the interpreter, for the module layers only.
INTERPRETER_HEADERS = {"Python.h", "common/owned_ref.hpp", "common/array_buffer.hpp",
                       "common/interpreter_interrupt.hpp", "common/thread_settings.hpp",
                       "common/numpy_array.hpp"}


def includes(folder):
    for path in sorted((NATIVE / folder).rglob("*")):
        if path.suffix in {".cpp", ".hpp", ".h"}:
            for name in INCLUDE.findall(path.read_text()):
                yield path.relative_to(NATIVE).as_posix(), name


def test_every_source_lies_in_a_layer():
    top = {p.name for p in NATIVE.iterdir()}
    assert top == {"common", "engine", "modules"}


def test_engine_is_pure_cpp():
    wrong = [(f, n) for f, n in includes("engine")
             if n in INTERPRETER_HEADERS or n.startswith("modules/")]
    assert wrong == []


def test_engine_names_no_interpreter_api():
    # A header included some other way would still show in the names it uses.
    used = [(p.name, m.group()) for p in (NATIVE / "engine").iterdir()
            for m in re.finditer(r"\bPy[A-Z_]\w*|\bPyObject\b", p.read_text())]
    assert used == []


def test_common_includes_nothing_above_it():
    wrong = [(f, n) for f, n in includes("common") if n.startswith(("engine/", "modules/"))]
    assert wrong == []


def test_pure_common_headers_stay_pure():
    wrong = [(f, n) for f, n in includes("common")
             if f not in INTERPRETER_HEADERS and n in INTERPRETER_HEADERS]
    assert wrong == []


@pytest.mark.parametrize("module", sorted(p.name for p in (NATIVE / "modules").iterdir()))
def test_no_module_includes_another(module):
    wrong = [(f, n) for f, n in includes(f"modules/{module}")
             if n.startswith("modules/") and not n.startswith(f"modules/{module}/")]
    assert wrong == []


def test_every_quoted_include_names_a_file():
    missing = [(f, n) for f, n in includes(".")
               if "/" in n and n.endswith(".hpp") and not (NATIVE / n).is_file()]
    assert missing == []


def test_frame_of_core_does_not_include_its_bodies():
    wrong = [(f, n) for f, n in includes("modules/core/frame")
             if n.startswith("modules/core/bodies/")]
    assert wrong == []
