"""The README's quick start runs as written, from the repository's root, without a warning."""
import re
import warnings
from pathlib import Path

README = Path(__file__).resolve().parent.parent / "README.md"


def quick_start() -> str:
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Quick start\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(.*?)```", section, flags=re.DOTALL)
    assert len(blocks) == 1, "the quick start holds one Python block"
    return blocks[0]


def test_quick_start_is_short_and_runs_on_the_bundled_survey(meuse_csv, monkeypatch, capsys):
    code = quick_start()
    assert len(code.splitlines()) <= 20
    monkeypatch.chdir(meuse_csv.parent.parent)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        namespace: dict = {}
        exec(compile(code, str(README), "exec"), namespace)
    out = capsys.readouterr().out
    # The fit succeeded and its curve lies between nugget and sill at the lags asked for.
    fitted = namespace["fitted"]
    assert fitted.model == "Spherical" and "FittedVariogram(Spherical" in out
    gamma = fitted([250.0, 1000.0])
    sill = fitted.parameters["PSill"] + fitted.parameters["Nugget"]
    assert fitted.parameters["Nugget"] < gamma[0] < gamma[1] <= sill


def test_kriging_block_continues_the_quick_start(meuse_csv, monkeypatch, capsys):
    text = README.read_text(encoding="utf-8")
    section = text.split("\n## Kriging the map\n", 1)[1].split("\n## ", 1)[0]
    (block,) = re.findall(r"```python\n(.*?)```", section, flags=re.DOTALL)
    monkeypatch.chdir(meuse_csv.parent.parent)
    namespace: dict = {}
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        exec(compile(quick_start(), str(README), "exec"), namespace)
        exec(compile(block, str(README), "exec"), namespace)
    prediction = namespace["prediction"]
    # Every cell of the grid has 32 neighbours, a finite estimate near the samples' range
    # (kriging weights may be negative) and a positive variance below the model's sill.
    values, fitted = namespace["values"], namespace["fitted"]
    assert (prediction.neighbours == 32).all() and not prediction.estimate.flags.writeable
    spread = values.max() - values.min()
    assert values.min() - 0.1 * spread < prediction.estimate.min()
    assert prediction.estimate.max() < values.max() + 0.1 * spread
    assert (prediction.variance > 0).all() and (prediction.variance < 2 * fitted.sill).all()
    assert "rmse" in capsys.readouterr().out
