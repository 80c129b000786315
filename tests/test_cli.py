"""The orv-variogram command: its results on the bundled survey and its refusals of bad input."""
import io
import json
import math
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from orv._algos.spmis.krige import adjust_anisotropy, init_variogram_model
from orv._algos.spmis.krige.geodesy import EARTH_RADIUS_KM
from orv.krige import _csv
from orv.krige._csv import InputError, read_columns
from orv.krige.cli import classic as cli
from orv.krige.cli.classic import main


@pytest.fixture(scope="module")
def meuse(meuse_csv):
    return str(meuse_csv)


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_bundled_survey_is_complete(meuse):
    table = np.genfromtxt(meuse, delimiter=",", names=True)
    assert table.dtype.names == ("x", "y", "cadmium", "copper", "lead", "zinc")
    assert table.size == 155 and all(np.isfinite(table[c]).all() for c in table.dtype.names)
    # Dutch national grid metres around Stein, and positive concentrations for the logarithm.
    assert 178_000 < table["x"].min() and table["x"].max() < 182_000
    assert 329_000 < table["y"].min() and table["y"].max() < 334_000
    assert table["zinc"].min() > 0


@pytest.mark.parametrize("anisotropy", [None, (45.0, 2.0), (-30.0, 0.5)])
def test_json_is_the_core_result_for_the_file(capsys, meuse, anisotropy):
    extra = [] if anisotropy is None else ["--angle", anisotropy[0], "--scale", anisotropy[1]]
    code, out, err = run(capsys, meuse, "--value", "zinc", "--log", "--format", "json", *extra)
    assert (code, err) == (0, "")
    document = json.loads(out)
    data = np.loadtxt(meuse, delimiter=",", skiprows=1)
    points, values = data[:, :2], np.log(data[:, 5])
    if anisotropy is not None:
        points = adjust_anisotropy(points, points.mean(axis=0), [anisotropy[1]], [anisotropy[0]])
    lags, gamma = init_variogram_model(points, values, 15, "PROJCS")
    assert document["lags"] == lags.tolist() and document["semivariance"] == gamma.tolist()
    assert document["samples"] == 155 and document["model"] is None


def test_text_table_with_fitted_model(capsys, meuse):
    code, out, _ = run(capsys, meuse, "--value", "lead", "--lags", 10, "--unit", "m",
                       "--model", "Exponential")
    assert code == 0
    lines = out.splitlines()
    assert lines[0].startswith("# lead: 155 samples, PROJCS, 10 of 10")
    assert lines[1].split() == ["lag", "(m)", "semivariance"]
    rows = np.array([line.split() for line in lines[2:12]], dtype=float)
    data = np.loadtxt(meuse, delimiter=",", skiprows=1)
    lags, gamma = init_variogram_model(data[:, :2], data[:, 4], 10, "PROJCS")
    np.testing.assert_allclose(rows, np.column_stack([lags, gamma]), rtol=1e-5)
    assert lines[12].startswith("# fitted Exponential model") and len(lines) == 13


def test_empty_classes_are_counted_not_warned_about(capsys, tmp_path):
    csv = tmp_path / "gap.csv"
    csv.write_text("x,y,v\n0,0,1\n1,0,2\n10,0,4\n")
    code, out, err = run(capsys, csv, "--value", "v", "--lags", 5)
    assert (code, err) == (0, "")
    assert out.splitlines()[0] == "# v: 3 samples, PROJCS, 2 of 5 distance classes hold pairs"


def test_geographic_columns_are_longitude_then_latitude(capsys, tmp_path):
    # Three samples one degree of longitude apart on the 60th parallel.
    csv = tmp_path / "geo.csv"
    csv.write_text("lon,lat,v\n0,60,0\n1,60,1\n2,60,3\n")
    code, out, _ = run(capsys, csv, "--x", "lon", "--y", "lat", "--value", "v",
                       "--gtype", "GEOGCS", "--lags", 2, "--format", "json")
    assert code == 0
    document = json.loads(out)
    # Haversine along a parallel: 2 R asin(cos(lat) sin(dlon / 2)).
    expected = [2 * EARTH_RADIUS_KM * math.asin(0.5 * math.sin(math.radians(d / 2))) for d in (1, 2)]
    np.testing.assert_allclose(document["lags"], expected, rtol=1e-12)
    assert document["semivariance"] == [1.25, 4.5] and document["lag_unit"] == "km"


def test_plot_is_written(capsys, meuse, tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "v.png"
    code, _, _ = run(capsys, meuse, "--value", "zinc", "--log", "--model", "Spherical",
                     "--plot", plot)
    assert code == 0
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n" and plot.stat().st_size > 10_000


BAD_FILES = {
    "letters.csv": "x,y,v\n0,0,1\n1,0,abc\n",
    "blank.csv": "x,y,v\n0,0,1\n1,0,\n",
    "nan.csv": "x,y,v\n0,0,1\n1,0,nan\n",
    "short.csv": "x,y,v\n0,0,1\n1,0\n",
    "one.csv": "x,y,v\n0,0,1\n",
    "header.csv": "x,y,v\n",
    "empty.csv": "\n\n",
    "twice.csv": "x,y,v,v\n0,0,1,1\n1,1,2,2\n",
    "zero.csv": "x,y,v\n0,0,1\n1,0,0\n",
    "latin1.csv": "x,y,v\n0,0,1\n1,0,2\n\xe9\n",
    "huge.csv": "x,y,v\n1e200,0,1\n-1e200,0,2\n0,1e200,3\n",
}


@pytest.mark.parametrize(
    "argv, status, message",
    [
        (["missing.csv", "--value", "v"], 1, "cannot read missing.csv: No such file"),
        (["{dir}", "--value", "v"], 1, "cannot read"),
        (["{meuse}", "--value", "nickel"], 1, "no column 'nickel' (the header has: x, y,"),
        (["letters.csv", "--value", "v"], 1, "line 3, column 'v': 'abc' is not a number"),
        (["blank.csv", "--value", "v"], 1, "line 3, column 'v': the cell is blank"),
        (["nan.csv", "--value", "v"], 1, "'nan' is not a finite number"),
        (["short.csv", "--value", "v"], 1, "line 3, column 'v': the cell is missing"),
        (["one.csv", "--value", "v"], 1, "at least 2 samples, got 1"),
        (["header.csv", "--value", "v"], 1, "at least 2 samples, got 0"),
        (["empty.csv", "--value", "v"], 1, "the file is empty"),
        (["twice.csv", "--value", "v"], 1, "column 'v' appears more than once"),
        (["zero.csv", "--value", "v", "--log"], 1, "--log needs positive values"),
        (["latin1.csv", "--value", "v"], 1, "not a UTF-8 text file"),
        (["huge.csv", "--value", "v"], 1, "no distance class holds a pair"),
        (["{meuse}", "--value", "zinc", "--gtype", "geogcs"], 2, "invalid choice: 'geogcs'"),
        (["{meuse}", "--value", "zinc", "--gtype", "GEOGCS"], 1, "latitudes must lie within"),
        (["{meuse}", "--value", "zinc", "--angle", "30", "--scale", "0"], 1, "scale positive"),
        (["{meuse}", "--value", "zinc", "--angle", "nan"], 2, "not a finite number"),
        (["{geo}", "--value", "v", "--gtype", "GEOGCS", "--angle", "30"], 1, "projected"),
        (["{meuse}", "--value", "zinc", "--lags", "0"], 2, "argument --lags: must be from 1"),
        (["{meuse}", "--value", "zinc", "--lags", "10001"], 2, "to 10000, got 10001"),
        (["{meuse}", "--value", "zinc", "--lags", "2", "--model", "Gaussian"], 1, "cannot fit"),
        (["{meuse}", "--value", "zinc", "--model", "gaussian"], 2, "invalid choice"),
        (["{meuse}"], 2, "the following arguments are required: --value"),
        (["{meuse}", "--x", "x", "--y", "x", "--value", "zinc"], 2, "--y: the same column"),
    ],
)
def test_bad_input_gives_one_line_and_a_status(capsys, tmp_path, meuse, argv, status, message):
    for name, text in BAD_FILES.items():
        (tmp_path / name).write_text(text, encoding="latin-1")
    (tmp_path / "geo.csv").write_text("x,y,v\n5,50,1\n6,51,2\n")
    places = {"meuse": meuse, "dir": tmp_path, "geo": tmp_path / "geo.csv"}
    argv = [a.format(**places) if a.startswith("{") else a for a in argv]
    argv = [str(tmp_path / a) if a in BAD_FILES else a for a in argv]
    code, out, err = run(capsys, *argv)
    assert (code, out) == (status, "")
    assert err.count("\n") == 1 and err.startswith("orv-variogram: error: ")
    assert message in err


def test_console_script_reports_without_traceback(meuse, tmp_path):
    script = Path(sys.executable).with_name("orv-variogram")
    if not script.exists():
        pytest.skip("the package is not installed with its console script")
    good = subprocess.run([script, meuse, "--value", "zinc", "--log"], capture_output=True,
                          text=True, check=False)
    assert good.returncode == 0 and len(good.stdout.splitlines()) == 17
    bad = subprocess.run([script, tmp_path / "none.csv", "--value", "v"], capture_output=True,
                         text=True, check=False)
    assert bad.returncode == 1 and bad.stdout == ""
    assert bad.stderr.startswith("orv-variogram: error: cannot read") and "Traceback" not in bad.stderr


def test_plot_without_matplotlib_is_refused_before_the_work(capsys, monkeypatch, meuse, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib", None)  # makes `import matplotlib` fail

    def semivariogram(*args, **kwargs):
        raise AssertionError("the semivariogram was computed before the check")

    monkeypatch.setattr(cli, "semivariogram", semivariogram)
    code, out, err = run(capsys, meuse, "--value", "zinc", "--plot", tmp_path / "v.png")
    assert (code, out) == (1, "")
    assert err == "orv-variogram: error: --plot needs matplotlib: pip install 'orv-krige[demo]'\n"


def run_module(*argv, **options):
    return subprocess.run([sys.executable, "-m", "orv.krige", "--classic", *map(str, argv)],
                          check=False, timeout=60, stderr=subprocess.PIPE, text=True, **options)


def test_output_to_a_closed_pipe_ends_quietly(meuse):
    child = subprocess.Popen([sys.executable, "-m", "orv.krige", "--classic", meuse, "--value", "zinc"],
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    child.stdout.close()  # the reader is gone before the first byte is written
    stderr = child.stderr.read()
    child.stderr.close()
    assert (child.wait(timeout=60), stderr) == (1, b"")


@pytest.mark.parametrize(
    "stream, message",
    [
        ("/dev/full", "cannot write the output: No space left on device"),
        (1, "cannot write the output: standard output is closed"),
        (0, "cannot read -: standard input is closed"),
    ],
)
def test_unusable_standard_streams_end_in_one_line(meuse, stream, message):
    if stream == "/dev/full":
        if not os.path.exists(stream):
            pytest.skip(f"needs {stream}")
        with open(stream, "wb") as full:
            done = run_module(meuse, "--value", "zinc", stdout=full)
    else:
        done = run_module(meuse if stream else "-", "--value", "zinc",
                          preexec_fn=lambda: os.close(stream))
    assert (done.returncode, done.stderr) == (1, f"orv-variogram: error: {message}\n")


@pytest.mark.parametrize("source", ["file", "standard input"])
def test_a_byte_order_mark_is_dropped_from_any_source(capsys, monkeypatch, tmp_path, source):
    data = "x,y,v\r\n0,0,1\r\n3,4,2\r\n".encode()
    path = tmp_path / "bom.csv"
    path.write_bytes(data)
    plain = run(capsys, path, "--value", "v", "--lags", 1)
    path.write_bytes(b"\xef\xbb\xbf" + data)
    if source == "standard input":
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(path.read_bytes())))
        path = "-"
    assert run(capsys, path, "--value", "v", "--lags", 1) == plain
    assert plain[0] == 0


class EndlessZeros(io.RawIOBase):
    """NUL bytes without end, as a link to /dev/zero gives; fails the test once it has handed out
    far more than a bounded reader takes."""

    def __init__(self):
        self.handed_out = 0

    def readable(self):
        return True

    def readinto(self, buffer):
        assert self.handed_out < (8 << 20), "the reader reads an endless line whole"
        buffer[:] = bytes(len(buffer))
        self.handed_out += len(buffer)
        return len(buffer)


@pytest.mark.parametrize("source", ["sparse file", "endless standard input"])
def test_an_endless_line_is_refused_after_a_bounded_read(capsys, monkeypatch, tmp_path, source):
    if source == "sparse file":
        argv = [tmp_path / "sparse.csv", "--value", "v"]
        with open(argv[0], "wb") as sparse:
            sparse.truncate(8 << 20)
    else:
        argv = ["-", "--value", "v"]
        monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BufferedReader(EndlessZeros())))
    code, out, err = run(capsys, *argv)
    assert (code, out) == (1, "")
    assert err.endswith(" line 1: a row longer than 1,048,576 characters, far more than a row "
                        "of samples needs\n")


@pytest.mark.parametrize(
    "text, message",
    [
        ("x,y,v\n" + "1," * 60, "line 2: a row longer than 100 characters"),
        # A quoted cell that never closes pulls in line after short line.
        ('x,y,v\n0,0,"' + "\n" * 200, "line 2: a row longer than 100 characters"),
        ("x,y,v\n" + ",,," * 20 + "\n", "line 2: 61 cells, more than the 40 a row may have"),
        # Skipped blank lines do not add up to a long row.
        ("\n" * 200 + "x,y,v\n" + "\n" * 200 + "0,0,1\n1,1,2\n", None),
    ],
)
def test_rows_are_bounded_while_read(monkeypatch, text, message):
    monkeypatch.setattr(_csv, "MAX_ROW_CHARS", 100)
    monkeypatch.setattr(_csv, "MAX_COLUMNS", 40)
    if message is None:
        assert read_columns(io.StringIO(text), ["x", "y", "v"])["v"].tolist() == [1.0, 2.0]
    else:
        with pytest.raises(InputError, match=message):
            read_columns(io.StringIO(text), ["x", "y", "v"])


@pytest.mark.parametrize(
    "text, message",
    [
        (",".join(f"c{i}" for i in range(3000)) + "\n",
         "no column 'x' (the header has 3,000 columns: c0, c1, c2, c3, c4, c5, c6, c7, ...)"),
        (",".join(f"c{i}" for i in range(10**6)) + "\n", "line 1: a row longer than"),
        ("x,y,v\n0,0," + "9" * 100_000 + "z\n", "line 2, column 'v': '999999999999999"),
        ('"x\n\ny",y,v\n', "no column 'x' (the header has: x\\n\\ny, y, v)"),
    ],
)
def test_messages_keep_to_a_readable_length(capsys, tmp_path, text, message):
    path = tmp_path / "wide.csv"
    path.write_text(text)
    code, _, err = run(capsys, path, "--value", "v")
    assert code == 1 and err.count("\n") == 1 and len(err) < 300 + len(str(path))
    assert message in err
