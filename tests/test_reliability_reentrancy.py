"""Python code that runs in the middle of a call (warning hooks, replaced collaborators, dict
subclasses) sees only whole objects, and whatever it raises reaches the caller."""
import gc
import subprocess
import sys
import textwrap

import pytest

from conftest import CollidingName, raises_at
from orv._algos.spmis.krige import core

# Every 2- and 3-element list that the collector tracks is copied from inside a warning hook,
# which np.cos and np.sin of an infinite angle trigger while the matrices are being built.
WALKING_HOOK = """
    import gc, warnings
    import numpy as np
    from orv._algos.spmis.krige import adjust_anisotropy

    walks = 0

    def walk(*args, **kwargs):
        global walks
        walks += 1
        for found in gc.get_objects():
            if type(found) is list and len(found) in (2, 3):
                list(found)

    warnings.showwarning = walk
    warnings.simplefilter("always")
    inf = np.inf
    result = adjust_anisotropy({args})
    print(walks, result.shape)
"""


@pytest.mark.parametrize("args, shape", [
    ("[[0.0, 0.0], [1.0, 2.0]], [0.0, 0.0], [2.0], [inf]", "(2, 2)"),
    ("[[0.0, 0.0, 0.0]], [0.0, 0.0, 0.0], [2.0], [inf, 1.0, inf]", "(1, 3)"),
])
def test_matrix_rows_are_never_seen_half_built(args, shape):
    code = textwrap.dedent(WALKING_HOOK).format(args=args)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    walks, printed_shape = done.stdout.split(" ", 1)
    assert int(walks) > 0 and printed_shape.strip() == shape


class Spy(dict):
    """Parameters that look, from inside the call, for lists that the call made and that
    already hold the first of the values (or the first of the missing names)."""

    def __init__(self, *args):
        super().__init__(*args)
        self.seen = []
        self.earlier = [o for o in gc.get_objects() if type(o) is list]  # kept alive: ids stay
        self.earlier_ids = {id(o) for o in self.earlier}

    def look_for(self, first):
        self.seen += [o for o in gc.get_objects() if type(o) is list and o and o[0] is first
                      and id(o) not in self.earlier_ids]


class SpyingValues(Spy):
    def __getitem__(self, key):
        self.look_for(dict.__getitem__(self, "PSill"))
        return dict.__getitem__(self, key)


class SpyingKeys(Spy):
    """No name counts as present."""

    def keys(self):
        spy = self

        class Keys:
            def __contains__(self, key):
                spy.look_for(core.DEFAULT_PARAMETERS["Spherical"][0])
                return False

        return Keys()


def test_parameter_lists_are_made_after_their_items():
    marker = object()
    values = SpyingValues({"PSill": marker, "Range": 2.0, "Nugget": 0.0})
    assert core.init_variogram_parameters("Spherical", values)[2] == [marker, 2.0, 0.0]
    keys = SpyingKeys()
    with pytest.raises(core.error.ParameterError):
        core.init_variogram_parameters("Spherical", keys)
    assert values.seen == keys.seen == []


@pytest.mark.parametrize("error", [KeyboardInterrupt(), ArithmeticError("comparison failed")])
def test_global_lookup_error_is_not_a_name_error(module_globals, error):
    del module_globals["init_points"]
    module_globals[CollidingName("init_points", error)] = None
    raises_at(type(error), "adjust_anisotropy", 17, core.adjust_anisotropy, [[0.0, 0.0]],
              [0.0, 0.0], [1.0], [0.0])
