"""orv-variogram and the demonstration: rows, JSON and messages that used to mislead."""
import json

import numpy as np
import pytest

from orv.krige import demo
from orv.krige.cli import main


def run(capsys, *argv):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


@pytest.fixture
def write(tmp_path):
    def write(text, name="s.csv"):
        path = tmp_path / name
        path.write_text(text)
        return path
    return write


GRID = "x,y,v\n" + "".join(f"{i % 4},{i // 4},{(i * 7) % 5}\n" for i in range(16))


@pytest.mark.parametrize("row", ["0,5,2,3", "0,5,2,3,"])
def test_a_row_with_more_cells_than_the_header_is_refused_naming_its_line(capsys, write, row):
    path = write(GRID + row + "\n")
    code, out, err = run(capsys, path, "--value", "v")
    assert code == 1 and out == ""
    assert err.count("\n") == 1 and "line 18" in err and "cells" in err and "header has 3" in err


def test_trailing_empty_cells_are_not_data(capsys, write):
    path = write(GRID.replace("\n", ",\n").replace("x,y,v,", "x,y,v"))
    code, out, err = run(capsys, path, "--value", "v", "--format", "json")
    assert code == 0, err


def test_json_is_valid_with_an_infinite_semivariance(capsys, write):
    path = write("x,y,v\n0,0,1e200\n1,0,-1e200\n100,0,0\n105,0,1\n")
    code, out, err = run(capsys, path, "--value", "v", "--bins", "0,2,10", "--format", "json")
    assert code == 0, err
    document = json.loads(out, parse_constant=lambda name: pytest.fail(name))
    assert document["semivariance"][0] is None and document["overflowed"] == [0]
    assert document["semivariance"][1] is not None


def test_json_unit_is_null_where_the_api_says_none(capsys, write):
    path = write(GRID)
    _, out, _ = run(capsys, path, "--value", "v", "--format", "json")
    assert json.loads(out)["unit"] is None
    _, out, _ = run(capsys, path, "--value", "v", "--format", "json", "--unit", "m")
    assert json.loads(out)["unit"] == "m"


def test_a_missing_value_is_reported_by_option_and_file_line(capsys, write):
    rows = GRID.splitlines()
    rows[7] = rows[7].rsplit(",", 1)[0] + ",NA"
    code, _, err = run(capsys, write("\n".join(rows) + "\n"), "--value", "v", "--na", "NA")
    assert code == 1 and "--nan-policy omit" in err and "line 8:" in err
    assert "nan_policy=" not in err and "index" not in err


def test_a_blank_cell_suggests_the_na_option(capsys, write):
    code, _, err = run(capsys, write(GRID.replace("\n2,1,2\n", "\n2,1,\n")), "--value", "v")
    assert code == 1 and "--na ''" in err


def test_after_a_double_dash_classic_is_a_file_name(capsys, write, monkeypatch):
    write(GRID, "--classic")
    monkeypatch.chdir(write(GRID).parent)
    code, out, err = run(capsys, "--value", "v", "--format", "json", "--", "--classic")
    assert code == 0, err
    assert json.loads(out)["samples"] == 16


@pytest.mark.parametrize("option, make", [
    ("--out", lambda tmp: tmp / "a-file"),
    ("--meuse", lambda tmp: tmp / "garbage.csv"),
])
def test_demo_refuses_a_bad_path_in_one_line_before_any_work(capsys, tmp_path, option, make):
    (tmp_path / "a-file").write_text("not a folder")
    (tmp_path / "garbage.csv").write_bytes(b"\x00\xff garbage\n1;2\n")
    argv = ["--quick", "--out", str(tmp_path / "out"), option, str(make(tmp_path))]
    code = demo.main(argv)
    out, err = capsys.readouterr()
    assert code == 1 and err.count("\n") == 1 and option in err
    assert "1. " not in out  # nothing was computed


def test_lack_of_memory_names_the_classes_as_well_as_the_samples(capsys, write, monkeypatch):
    import orv.krige.cli as cli

    def exhausted(*arguments, **options):
        raise MemoryError

    monkeypatch.setattr(cli, "variogram", exhausted)
    edges = ",".join(str(k) for k in range(1000))
    code, _, err = run(capsys, write(GRID), "--value", "v", "--bins", edges)
    assert code == 1 and "classes" in err and "--bins" in err
    assert "this many samples" not in err
