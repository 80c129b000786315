"""The Python layers point one way: the classic package knows nothing of orv.krige, and
orv.krige uses only its public names."""
import ast
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parent.parent / "src" / "orv"


def imports(path):
    """(absolute module, imported names, names bound) of every import in the file at `path`."""
    package = path.relative_to(SOURCE.parent).with_suffix("").parts[:-1]
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if isinstance(node, ast.Import):
            for alias in node.names:
                yield alias.name, [], [alias.asname or alias.name.split(".")[0]]
        elif isinstance(node, ast.ImportFrom):
            base = list(package[: len(package) - node.level + 1]) if node.level else []
            module = ".".join(base + ([node.module] if node.module else []))
            yield (module, [alias.name for alias in node.names],
                   [alias.asname or alias.name for alias in node.names])


def private_attributes(path, bound):
    """Private attributes read from the names in `bound` (x._name, not x.__dunder__)."""
    tree = ast.parse(path.read_text(encoding="utf-8"))
    return sorted({
        f"{node.value.id}.{node.attr}" for node in ast.walk(tree)
        if isinstance(node, ast.Attribute) and isinstance(node.value, ast.Name)
        and node.value.id in bound and node.attr.startswith("_")
        and not node.attr.startswith("__")
    })


def modules(folder):
    return sorted((SOURCE / folder).rglob("*.py"))


@pytest.mark.parametrize("path", modules("_algos"), ids=lambda p: p.name)
def test_the_classic_package_does_not_import_its_callers(path):
    assert not [m for m, _, _ in imports(path) if m == "orv.krige" or m.startswith("orv.krige.")]


@pytest.mark.parametrize("path", modules("krige"), ids=lambda p: str(p.relative_to(SOURCE)))
def test_orv_krige_uses_only_public_names_of_the_classic_package(path):
    bound = []
    for module, names, aliases in imports(path):
        if module.startswith("orv._algos"):
            parts = module.split(".")[3:]  # below orv._algos.spmis
            private = [p for p in parts if p.startswith("_")] + [
                n for n in names if n.startswith("_")]
            assert not private, f"{path.name} imports {private} from {module}"
            bound += aliases
    assert not private_attributes(path, bound)
