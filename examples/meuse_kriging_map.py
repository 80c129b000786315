"""Map of ln(zinc) kriged over the Meuse samples, from the worked example of docs/kriging.md.

Runs the example's code block as it stands in the document (so the map is always the one the
text describes), then draws the estimate on its grid with the samples on top and writes
docs/meuse_log_zinc_kriging.png. Run from the repository's root:

    python examples/meuse_kriging_map.py [--out PATH]

Needs matplotlib (the 'demo' extra).
"""
import argparse
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
DOCUMENT = ROOT / "docs" / "kriging.md"


def worked_example(document=DOCUMENT):
    """The Python code block of the document's worked example."""
    text = document.read_text(encoding="utf-8")
    section = text[text.index("## Worked example"):]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def run_worked_example(root=ROOT):
    """The example's variables, its relative paths taken from `root`."""
    code = worked_example().replace('"data/meuse.csv"', repr(str(root / "data" / "meuse.csv")))
    namespace = {"__name__": "worked_example"}
    exec(compile(code, str(DOCUMENT), "exec"), namespace)
    return namespace


def draw(example, path):
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    figure = Figure(figsize=(5.6, 6.4), dpi=90)
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    gx, gy = example["gx"], example["gy"]
    image = axes.pcolormesh(gx / 1000.0, gy / 1000.0, example["estimate"], cmap="viridis",
                            shading="nearest", rasterized=True)
    points = example["points"]
    axes.scatter(points[:, 0] / 1000.0, points[:, 1] / 1000.0, c=example["log_zinc"],
                 cmap="viridis", norm=image.norm, s=14, edgecolors="white", linewidths=0.6)
    model = example["model"]
    axes.set_title(f"Ordinary kriging of ln(zinc), {model.model} model, 32 neighbours",
                   fontsize=9)
    axes.set_xlabel("x (km, EPSG:28992)")
    axes.set_ylabel("y (km)")
    axes.set_aspect("equal")
    figure.colorbar(image, ax=axes, label="ln(zinc / ppm)", shrink=0.8)
    figure.tight_layout()
    figure.savefig(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", type=Path, default=ROOT / "docs" / "meuse_log_zinc_kriging.png")
    options = parser.parse_args()
    example = run_worked_example()
    draw(example, options.out)
    print(f"wrote {options.out}")


if __name__ == "__main__":
    main()
