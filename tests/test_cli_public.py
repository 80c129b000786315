"""orv-variogram on the public API: options, the three output formats, errors and exit codes."""
import csv
import io
import json
import subprocess
import sys

import numpy as np
import pytest

import orv.krige
from orv.krige.cli import classic
from orv.krige import variogram
from orv.krige._simulate import spherical_field
from orv.krige.cli import main


@pytest.fixture(scope="module")
def samples(tmp_path_factory):
    """A small survey with a semicolon delimiter and 'NA' for two missing values."""
    xy, value = spherical_field(120, extent=1000.0, psill=1.0, range_=200.0, nugget=0.1, seed=8)
    path = tmp_path_factory.mktemp("cli") / "survey.csv"
    rows = ["east;north;depth"] + [f"{x};{y};{v}" for (x, y), v in zip(xy.tolist(), value.tolist())]
    rows[5] = rows[5].rsplit(";", 1)[0] + ";NA"
    rows[9] = "NA;" + rows[9].split(";", 1)[1]
    path.write_text("\n".join(rows) + "\n")
    keep = np.ones(120, dtype=bool)
    keep[[4, 8]] = False
    return path, xy[keep], value[keep]


BASE = ["--x", "east", "--y", "north", "--value", "depth", "--delimiter", ";", "--na", "NA",
        "--nan-policy", "omit", "--max-lag", "400", "--lags", "8"]


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def test_json_holds_the_variogram_and_the_fit(capsys, samples):
    path, xy, value = samples
    code, out, err = run(capsys, path, *BASE, "--model", "GAUSSIAN", "--format", "json")
    assert code == 0 and "note: omitted 2 sample(s)" in err
    document = json.loads(out)
    expected = variogram(xy, value, 8, max_lag=400.0)
    assert document["edges"] == expected.edges.tolist()
    assert document["lags"] == expected.lags.tolist()
    assert document["semivariance"] == expected.semivariance.tolist()
    assert document["counts"] == expected.counts.tolist()
    assert document["samples"] == 118
    fit = document["fit"]
    assert set(fit) >= {"model", "parameters", "stderr", "r2", "rmse"}
    reference = expected.fit("Gaussian")
    assert fit["model"] == "Gaussian" and fit["parameters"] == reference.parameters
    assert fit["stderr"] == reference.stderr and fit["r2"] == reference.r2


def test_csv_has_the_class_columns_and_the_fit_as_comments(capsys, samples):
    path, xy, value = samples
    code, out, _ = run(capsys, path, *BASE, "--model", "Spherical", "--weights", "cressie",
                       "--nugget", "zero", "--format", "csv")
    assert code == 0
    table = [row for row in csv.reader(io.StringIO(out)) if not row[0].startswith("#")]
    assert table[0] == ["lower", "upper", "lag", "semivariance", "count"]
    expected = variogram(xy, value, 8, max_lag=400.0)
    np.testing.assert_array_equal(np.array(table[1:], dtype=float),
                                  np.column_stack([expected.edges[:-1], expected.edges[1:],
                                                   expected.lags, expected.semivariance,
                                                   expected.counts]))
    comments = dict(line[2:].split(",", 1) for line in out.splitlines() if line.startswith("# "))
    fitted = expected.fit("Spherical", weights="cressie", nugget=False)
    assert comments["model"] == "Spherical" and comments["weights"] == "cressie"
    assert float(comments["r2"]) == fitted.r2
    assert comments["PSill"] == f"{fitted.parameters['PSill']!r},{fitted.stderr['PSill']!r}"
    assert comments["Nugget"] == "0.0,0.0"


def test_text_with_direction_estimator_and_fit(capsys, samples):
    path, xy, value = samples
    code, out, _ = run(capsys, path, *BASE, "--direction", "30", "--tolerance", "45",
                       "--estimator", "cressie", "--model", "exponential", "--unit", "m")
    assert code == 0
    lines = out.splitlines()
    assert lines[0].startswith("# depth: 118 samples, PROJCS, cressie, direction 30° ± 45°")
    assert lines[0].endswith("classes up to 400 m hold pairs")
    assert lines[1].split() == ["lower", "upper", "lag", "semivariance", "count"]
    assert len(lines) == 2 + 8 + 1
    expected = variogram(xy, value, 8, max_lag=400.0, estimator="cressie", direction=30.0,
                         tolerance=45.0)
    assert [int(line.split()[-1]) for line in lines[2:10]] == expected.counts.tolist()
    assert lines[-1].startswith("# fitted Exponential model (") and "r2 = " in lines[-1]


def test_bins_give_the_edges(capsys, samples):
    path, xy, value = samples
    bins = BASE[: BASE.index("--max-lag")]
    code, out, _ = run(capsys, path, *bins, "--bins", "0, 50,150,400", "--format", "json")
    assert code == 0 and json.loads(out)["edges"] == [0.0, 50.0, 150.0, 400.0]


@pytest.mark.parametrize(
    "extra, message",
    [
        (["--bins", "0,200,100"], "argument --bins: edges must be strictly ascending"),
        (["--bins=-1,2"], "argument --bins: edges must not be negative"),
        (["--bins", "5"], "needs at least two edges"),
        (["--max-lag", "-3"], "argument --max-lag: must be positive"),
        (["--max-lag", "5", "--bins", "0,1"], "--max-lag: not allowed with --bins"),
        (["--lags", "3", "--bins", "0,1"], "not allowed with argument --lags"),
        (["--lags", "0"], "argument --lags: must be from 1 to 10000"),
        (["--tolerance", "10"], "argument --tolerance: needs --direction"),
        (["--direction", "10", "--tolerance", "95"], "must be from above 0 to 90"),
        (["--direction", "10", "--gtype", "GEOGCS"], "argument --direction: for PROJCS only"),
        (["--weights", "cressie"], "argument --weights: needs --model"),
        (["--model", "cubic"], "unknown model 'cubic'; choose one of Linear, Power"),
        (["--model", "linear", "--nugget", "-1"], "a fixed nugget must be >= 0"),
        (["--delimiter", ";;"], "argument --delimiter: must be one character"),
        (["--estimator", "dowd"], "invalid choice: 'dowd'"),
        (["--nan-policy", "skip"], "invalid choice: 'skip'"),
        (["--format", "xml"], "invalid choice: 'xml'"),
    ],
)
def test_bad_option_values_are_usage_errors(capsys, samples, extra, message):
    code, out, err = run(capsys, samples[0], "--value", "depth", *extra)
    assert code == 2 and out == ""
    assert err.count("\n") == 1 and err.startswith("orv-variogram: error: ") and message in err


@pytest.mark.parametrize(
    "options, message",
    [
        (["--value", "depth", "--x", "east", "--y", "north", "--delimiter", ";"],
         "line 6, column 'depth': 'NA' is not a number"),
        (["--value", "depth", "--x", "east", "--y", "north", "--delimiter", ";", "--na", "NA"],
         "line 6: a missing value or coordinate (2 sample(s) in all); remove them or pass --nan-policy omit"),
        (["--value", "zinc", "--x", "east", "--y", "north", "--delimiter", ";"], "no column 'zinc'"),
        (["--value", "depth", "--x", "east", "--y", "north", "--delimiter", ";", "--na", "NA",
          "--nan-policy", "omit", "--lags", "2", "--model", "Spherical"],
         "--model Spherical: cannot fit the 3 free parameters"),
        (["--value", "depth", "--x", "east", "--y", "north", "--delimiter", ";", "--na", "NA",
          "--nan-policy", "omit", "--gtype", "GEOGCS"], "latitudes (second column) must lie"),
        (BASE[:-4] + ["--max-lag", "0.001"], "no distance class holds a pair"),
    ],
)
def test_data_errors_are_one_line_with_status_1(capsys, samples, options, message):
    code, out, err = run(capsys, samples[0], *options)
    errors = [line for line in err.splitlines() if not line.startswith("orv-variogram: note:")]
    assert code == 1 and out == "" and len(errors) == 1
    assert errors[0].startswith("orv-variogram: error: ") and message in errors[0]


def test_a_missing_file_is_a_data_error(capsys, tmp_path):
    code, _, err = run(capsys, tmp_path / "none.csv", "--value", "v")
    assert code == 1 and "cannot read" in err and "No such file" in err


def test_plot_is_written(capsys, samples, tmp_path):
    pytest.importorskip("matplotlib")
    plot = tmp_path / "v.png"
    code, _, _ = run(capsys, samples[0], *BASE, "--model", "Spherical", "--plot", plot)
    assert code == 0 and plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_classic_runs_the_earlier_computation(capsys, samples):
    path = samples[0]
    args = [path, "--value", "depth", "--x", "east", "--y", "north", "--lags", "5",
            "--angle", "30", "--scale", "2"]
    code = main(["--classic", *map(str, args)])
    new_out = capsys.readouterr().out
    assert code == 1  # the earlier reader knows neither --delimiter nor --na: no such column
    good = path.with_name("plain.csv")
    good.write_text(path.read_text().replace(";", ",").replace("NA", "1.0"))
    args[0] = good
    assert main(["--classic", *map(str, args)]) == 0
    new_out = capsys.readouterr().out
    assert classic.main(list(map(str, args))) == 0
    assert capsys.readouterr().out == new_out and "# anisotropy: angle 30 degrees" in new_out


@pytest.mark.parametrize("command", [[sys.executable, "-m", "orv.krige"], ["orv-variogram"]])
def test_version_from_the_module_and_the_script(command):
    if command == ["orv-variogram"]:
        from pathlib import Path

        command = [str(Path(sys.executable).with_name("orv-variogram"))]
    done = subprocess.run([*command, "--version"], capture_output=True, text=True, check=True)
    assert done.stdout.strip() == f"orv-variogram {orv.krige.__version__}"
