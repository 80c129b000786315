"""A short tour of the kriging core (placeholder until the demonstration exists)."""
from orv._algos.spmis.krige import core

print(core.init_variogram_parameters("Linear", {"Slope": 2.0, "Nugget": 0.1}))
