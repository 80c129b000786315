"""Progress bars of kriging calls, and kriging objects that travel by pickle."""
import io
import pickle

import numpy as np
import pytest

from orv.krige import Kriging, VariogramModel

tqdm = pytest.importorskip("tqdm").tqdm

RNG = np.random.default_rng(5)
POINTS = RNG.uniform(0, 10, (300, 2))
VALUES = np.sin(POINTS[:, 0]) + RNG.normal(0, 0.1, 300)
TARGETS = RNG.uniform(0, 10, (1000, 2))
MODEL = VariogramModel("Spherical", {"PSill": 1.0, "Range": 4.0, "Nugget": 0.1})


def _bar():
    return tqdm(file=io.StringIO(), mininterval=0)


@pytest.mark.parametrize("options", [{"neighbours": 16}, {}])
def test_progress_bar_ends_at_the_work_done(options):
    kriging = Kriging(POINTS, VALUES, MODEL, **options)
    bar = _bar()
    kriging.predict(TARGETS, progress=bar)
    assert bar.n == len(TARGETS)
    # One bar can follow several calls: it moves on from where it stands.
    kriging.cross_validate(progress=bar)
    assert bar.n == len(TARGETS) + len(VALUES)
    kriging.cross_validate(folds=3, seed=1, progress=bar)
    assert bar.n == len(TARGETS) + 2 * len(VALUES)


def test_progress_true_writes_a_bar_to_standard_error(capsys):
    Kriging(POINTS, VALUES, MODEL, neighbours=8).predict(TARGETS, progress=True)
    assert "1.00k/1.00k" in capsys.readouterr().err


class _Failing:
    n = 0
    total = None

    def update(self, step):
        raise OSError("the terminal went away")


@pytest.mark.parametrize("options", [{"neighbours": 16}, {}])
def test_an_exception_from_the_progress_bar_propagates(options):
    with pytest.raises(OSError, match="terminal went away"):
        Kriging(POINTS, VALUES, MODEL, **options).predict(TARGETS, progress=_Failing())


@pytest.mark.parametrize("progress, message", [
    ("yes", "progress must be True, False or a tqdm progress bar; got str"),
    (1, "progress must be True, False or a tqdm progress bar; got int"),
])
def test_progress_misuse(progress, message):
    with pytest.raises(TypeError, match=message):
        Kriging(POINTS, VALUES, MODEL, neighbours=8).predict(TARGETS, progress=progress)


@pytest.mark.parametrize("options", [
    {"neighbours": 16}, {}, {"kind": "universal", "drift": "linear", "neighbours": 12},
    {"gtype": "GEOGCS", "neighbours": 10},
])
def test_a_pickled_kriging_gives_the_same_bits(options):
    kriging = Kriging(POINTS, VALUES, MODEL, **options)
    copy = pickle.loads(pickle.dumps(kriging))
    a, b = kriging.predict(TARGETS[:200]), copy.predict(TARGETS[:200])
    assert a.estimate.tobytes() == b.estimate.tobytes()
    assert a.variance.tobytes() == b.variance.tobytes()
