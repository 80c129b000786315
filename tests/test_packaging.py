"""The distributions: what the wheel and the sdist hold, their licence and entry points."""
import os
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import orv.krige

ROOT = Path(__file__).resolve().parents[1]

pytestmark = [
    pytest.mark.skipif(not (ROOT / "pyproject.toml").is_file(), reason="needs the source tree"),
    # The build spawns compilers, which must not run with the sanitizer runtime preloaded.
    pytest.mark.skipif(os.environ.get("KRIGE_SANITIZED") == "1",
                       reason="packaging is not checked under the sanitizers"),
]

BUILD = """
import sys
from scikit_build_core.build import build_sdist, build_wheel
out, build_dir = sys.argv[1], sys.argv[2]
sdist = build_sdist(out)
wheel = build_wheel(out, {"build-dir": build_dir})
print("BUILT", sdist, wheel)
"""


@pytest.fixture(scope="module")
def distributions(tmp_path_factory):
    pytest.importorskip("scikit_build_core")
    out = tmp_path_factory.mktemp("dist")
    # A build folder per environment, kept between runs so that only changes are compiled.
    build_dir = ROOT / "build" / "dist-check" / Path(sys.prefix).name
    done = subprocess.run([sys.executable, "-c", BUILD, str(out), str(build_dir)], cwd=ROOT,
                          capture_output=True, text=True)
    assert done.returncode == 0, done.stderr[-3000:]
    built = [line for line in done.stdout.splitlines() if line.startswith("BUILT ")]
    sdist_name, wheel_name = built[-1].split()[1:]
    with tarfile.open(out / sdist_name) as sdist, zipfile.ZipFile(out / wheel_name) as wheel:
        top = sdist_name.removesuffix(".tar.gz") + "/"
        sdist_files = [name.removeprefix(top) for name in sdist.getnames()]
        metadata = wheel.read(f"{wheel_name.split('-')[0]}-{orv.krige.__version__}"
                              ".dist-info/METADATA").decode()
        entry_points = wheel.read(next(n for n in wheel.namelist()
                                       if n.endswith("entry_points.txt"))).decode()
        return {"sdist": sdist_files, "wheel": wheel.namelist(), "metadata": metadata,
                "entry_points": entry_points}


@pytest.mark.parametrize("kind", ["sdist", "wheel"])
def test_no_data_file_and_the_licence_is_included(distributions, kind):
    files = distributions[kind]
    assert not [f for f in files if f.startswith("data/") or "/data/" in f or f.endswith(".csv")]
    licence = "LICENSE" if kind == "sdist" else next(
        f for f in files if f.endswith(".dist-info/licenses/LICENSE"))
    assert licence in files
    assert any(f.endswith("orv/krige/_fit.py") for f in files)


def test_metadata_names_the_licence_and_the_command(distributions):
    metadata = distributions["metadata"]
    assert "License-Expression: MIT" in metadata and "License-File: LICENSE" in metadata
    assert "Classifier: Programming Language :: Python :: 3.12" in metadata
    assert "Classifier: Topic :: Scientific/Engineering :: GIS" in metadata
    assert "orv-variogram = orv.krige.cli:main" in distributions["entry_points"]


def test_licence_file_is_mit():
    text = (ROOT / "LICENSE").read_text()
    assert text.startswith("MIT License") and "WITHOUT WARRANTY OF ANY KIND" in text
