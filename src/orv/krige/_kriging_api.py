"""Kriging with variance and cross-validation: argument checks and preparation around the
native kriging engine."""
from __future__ import annotations

import dataclasses
import math
import numbers
import os
import warnings
from typing import TYPE_CHECKING, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray

from .._algos.spmis.krige.points import real_array
from .._algos.spmis.krige.threads import get_num_threads
from . import _geo, _grid, _kriging
from ._anisotropy import Anisotropy
from ._engine_model import engine_model
from ._model import BOUNDED, VariogramModel
from ._progress import check_progress, progress_reporter
from ._variogram import GTYPES, NAN_POLICIES, _choice, _drop_non_finite, _real, _samples

if TYPE_CHECKING:
    import pandas
    import xarray

KINDS = ("simple", "ordinary", "universal")
DRIFTS = ("linear", "quadratic")
DUPLICATES = ("mean", "raise")
#: Global kriging keeps an N x N system: above this many samples `neighbours` is required.
GLOBAL_LIMIT = 10_000
#: The mean radius of the Earth in km (IUGG), for geographic coordinates.
EARTH_RADIUS_KM = 6371.0088
# Targets per unit of work handed to a thread; results do not depend on it (tests change it
# through _set_chunk_size to show that).
_CHUNK = [256]


def _chunk_size() -> int:
    return _CHUNK[0]


def _set_chunk_size(size: int) -> int:
    """Sets the targets per unit of work; returns the previous size."""
    previous = _CHUNK[0]
    _CHUNK[0] = int(size)
    return previous

_HERE = (os.path.dirname(__file__) + os.sep,)


def _warn(message: str) -> None:
    warnings.warn(message, RuntimeWarning, skip_file_prefixes=_HERE)


def _read_only(array: NDArray) -> NDArray:
    array.setflags(write=False)
    return array


def _count(value: object, name: str, least: int) -> int:
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an int >= {least}; got {type(value).__name__}")
    number = int(value)
    if number < least:
        raise ValueError(f"{name} must be an int >= {least}; got {number}")
    return number


def _frame(result: object, columns: tuple[str, ...]) -> "pandas.DataFrame":
    pandas = _geo.require("pandas", purpose="to_dataframe")
    return pandas.DataFrame({name: np.array(getattr(result, name)) for name in columns})


@dataclasses.dataclass(frozen=True, eq=False)
class Prediction:
    """Kriging estimates at targets, returned by `Kriging.predict`.

    Attributes
    ----------
    estimate : ndarray of float64, shape (M,)
        Kriged value at each target (read-only); NaN where too few samples were usable or the
        system could not be solved.
    variance : ndarray of float64, shape (M,)
        Kriging variance at each target (read-only), NaN where `estimate` is.
    neighbours : ndarray of int64, shape (M,)
        Number of samples each target's system used (read-only).
    """

    estimate: NDArray[np.float64]
    variance: NDArray[np.float64]
    neighbours: NDArray[np.int64]

    def to_dataframe(self) -> "pandas.DataFrame":
        """The columns ``estimate``, ``variance`` and ``neighbours``, one row per target."""
        return _frame(self, ("estimate", "variance", "neighbours"))


@dataclasses.dataclass(frozen=True, eq=False)
class CrossValidation:
    """Each sample predicted from the samples outside its fold, returned by
    `Kriging.cross_validate`.

    Attributes
    ----------
    observed, estimate, variance : ndarray of float64, shape (N,)
        Sample value, its estimate and kriging variance from the other folds (read-only).
    residual : ndarray of float64, shape (N,)
        ``observed - estimate`` (read-only).
    zscore : ndarray of float64, shape (N,)
        ``residual / sqrt(variance)`` (read-only); a good model gives a mean square near 1.
    fold : ndarray of int64, shape (N,)
        The fold of each sample, 0 … k − 1 (read-only).
    """

    observed: NDArray[np.float64]
    estimate: NDArray[np.float64]
    variance: NDArray[np.float64]
    residual: NDArray[np.float64]
    zscore: NDArray[np.float64]
    fold: NDArray[np.int64]

    def to_dataframe(self) -> "pandas.DataFrame":
        """The columns ``observed``, ``estimate``, ``variance``, ``residual``, ``zscore`` and
        ``fold``, one row per sample."""
        return _frame(self, ("observed", "estimate", "variance", "residual", "zscore", "fold"))

    @property
    def mean_error(self) -> float:
        """Mean residual over the samples with an estimate (near 0 without bias)."""
        return float(np.nanmean(self.residual))

    @property
    def rmse(self) -> float:
        """Root mean square residual over the samples with an estimate."""
        return float(np.sqrt(np.nanmean(self.residual**2)))

    @property
    def mean_squared_zscore(self) -> float:
        """Mean squared z-score (near 1 when the kriging variance is right)."""
        return float(np.nanmean(self.zscore**2))

    @property
    def correlation(self) -> float:
        """Pearson correlation of observed and estimated values over the samples with an
        estimate."""
        keep = np.isfinite(self.estimate)
        if np.count_nonzero(keep) < 2:
            return math.nan
        return float(np.corrcoef(self.observed[keep], self.estimate[keep])[0, 1])

    def __repr__(self) -> str:
        folds = int(self.fold.max()) + 1 if self.fold.size else 0
        missing = int(np.count_nonzero(~np.isfinite(self.estimate)))
        rows = [
            ("samples", f"{self.observed.size}"),
            ("folds", f"{folds}"),
            ("not estimated", f"{missing}"),
            ("mean error", f"{self.mean_error:.6g}"),
            ("rmse", f"{self.rmse:.6g}"),
            ("mean squared z", f"{self.mean_squared_zscore:.6g}"),
            ("correlation", f"{self.correlation:.6g}"),
        ]
        width = max(len(name) for name, _ in rows)
        return "CrossValidation\n" + "\n".join(f"  {name:<{width}}  {value}" for name, value in rows)


def _visiting_order(coordinates: NDArray) -> NDArray:
    """An order of the rows along the Z-order curve of a grid of 1024 cells per axis over their
    bounding box, in which rows near each other mostly follow each other."""
    low = coordinates.min(axis=0)
    with np.errstate(over="ignore", invalid="ignore"):
        span = coordinates.max(axis=0) - low
        span[~(span > 0) | ~np.isfinite(span)] = 1.0
        cells = np.clip((coordinates - low) / span * 1024, 0, 1023).astype(np.int64)
    code = np.zeros(len(coordinates), dtype=np.int64)
    dimensions = coordinates.shape[1]
    for bit in range(10):
        for axis in range(dimensions):
            code |= ((cells[:, axis] >> bit) & 1) << (bit * dimensions + axis)
    return np.argsort(code, kind="stable")


def _merge_duplicates(coordinates, values, policy):
    """Samples at one location merged into one with their mean value, or a ValueError.

    Locations are compared after one stable sort of the rows, a column at a time, so that the
    check needs memory for an index and one column rather than copies of the whole array.
    """
    n = coordinates.shape[0]
    if n < 2:
        return coordinates, values
    order = np.lexsort(coordinates.T[::-1])
    same = np.ones(n - 1, dtype=bool)
    for axis in range(coordinates.shape[1]):
        column = coordinates[order, axis]
        same &= column[1:] == column[:-1]
        del column
    surplus = int(np.count_nonzero(same))
    if surplus == 0:
        return coordinates, values
    starts = np.flatnonzero(np.concatenate(([True], ~same)))
    sizes = np.diff(np.append(starts, n))
    # The sort is stable: each location's first row in sorted order is its first sample.
    firsts = order[starts]
    if policy == "raise":
        where = int(firsts[sizes > 1].min())
        raise ValueError(
            f"{surplus} sample(s) repeat the location of another, the first at index "
            f"{where} {tuple(coordinates[where].tolist())}; merge them or pass "
            "duplicates='mean'"
        )
    _warn(f"merged {surplus} sample(s) at repeated locations into their locations' means")
    means = np.add.reduceat(values[order], starts) / sizes
    # Merged samples keep the order of each location's first sample.
    by_first = np.argsort(firsts, kind="stable")
    return np.ascontiguousarray(coordinates[firsts[by_first]]), means[by_first]


class Kriging:
    """Kriging of scattered samples under a variogram model.

    The samples, the model and a spatial index over the samples are prepared once; `predict`
    and `cross_validate` then solve one kriging system per target in the native engine, on up
    to `get_num_threads` threads. Each target's arithmetic is one fixed sequence of
    operations, so results are the same bits for any thread count.

    Parameters
    ----------
    points : array_like, shape (N, d) or (N,), or GeoSeries or GeoDataFrame of points
        Sample coordinates: d = 1, 2 or 3 projected coordinates, or (longitude, latitude) in
        degrees for ``gtype="GEOGCS"``. GeoPandas points bring their CRS: a geographic CRS
        means GEOGCS (GeoPandas keeps x = longitude, y = latitude whatever the CRS's axis
        order), any other PROJCS; targets and grids are then held to that CRS.
    values : array_like, shape (N,), or str
        Sample values; with a GeoDataFrame also the name of one of its columns.
    model : VariogramModel
        The variogram model, e.g. a `FittedVariogram` from `ExperimentalVariogram.fit`.
    kind : {"simple", "ordinary", "universal"}, default "ordinary"
        Simple kriging with the known `mean`, ordinary kriging (unknown constant mean) or
        universal kriging with a polynomial `drift` in the coordinates.
    mean : float, optional
        The known mean; required for and only allowed with ``kind="simple"``.
    drift : {"linear", "quadratic"}, optional
        The trend of universal kriging, in coordinates centred on the samples' mean and
        scaled by their largest deviation (so the result does not depend on their offset).
        For GEOGCS the drift is in longitude and latitude.
    neighbours : int, optional
        Use the k nearest samples of each target (ties broken by sample order). None uses
        every sample (global kriging), allowed up to 10,000 samples.
    min_neighbours : int, default 1
        A target with fewer usable samples gets NaN estimate and variance.
    max_distance : float, optional
        Only samples within this distance of a target are used (in the unit of the kriging
        distance: after `anisotropy`, and in km for GEOGCS).
    anisotropy : (float, float) or Anisotropy, optional
        ``(angle, scale)``: geometric anisotropy of 2-D projected coordinates in the
        convention of `adjust_anisotropy`: distances are measured after turning the
        coordinates by ``-angle`` degrees and multiplying the offset across `angle` by
        `scale`. Neighbours are chosen by that distance too. An `Anisotropy` from
        `fit_anisotropy` stands for ``(anisotropy.angle, anisotropy.ratio)``; the model's
        Range is then the range along the major axis, ``anisotropy.major_range``.
    gtype : {"PROJCS", "GEOGCS"}, optional
        By default that of the points' CRS, else PROJCS; one that contradicts the CRS is a
        ValueError. For GEOGCS the distance is the chord of the sphere of radius 6371.0088
        km, in km,
        which keeps every model valid in three dimensions a valid covariance on the sphere;
        it is shorter than the great-circle distance of `variogram` by less than 0.03 %
        below 500 km.
    duplicates : {"mean", "raise"}, default "mean"
        Samples at one location make the system singular: ``"mean"`` merges them into one
        sample with their mean value (with a RuntimeWarning saying how many), ``"raise"``
        raises a ValueError.
    nan_policy : {"raise", "omit"}, default "raise"
        Samples with a NaN or infinite value or coordinate raise a ValueError, or are left
        out with a RuntimeWarning.

    Notes
    -----
    Bounded models (Gaussian, Spherical, Exponential, Matern, Stable) are solved through
    their covariance C(h) = sill − γ(h): a Cholesky factor of the sample block, and the drift through its
    Schur complement, which needs only forward substitutions and stays stable where the
    bordered system is indefinite. Linear and Power have no covariance; they are solved
    through the generalized covariance −γ, and HoleEffect, whose covariance is not positive
    definite in general, through its covariance, both by LU factorisation with partial
    pivoting of the whole bordered system. A target whose system cannot be solved gets NaN,
    counted in one RuntimeWarning per call.
    """

    def __init__(
        self,
        points: ArrayLike,
        values: ArrayLike,
        model: VariogramModel,
        *,
        kind: str = "ordinary",
        mean: Optional[float] = None,
        drift: Optional[str] = None,
        neighbours: Optional[int] = None,
        min_neighbours: int = 1,
        max_distance: Optional[float] = None,
        anisotropy: Optional[tuple[float, float] | Anisotropy] = None,
        gtype: Optional[str] = None,
        duplicates: str = "mean",
        nan_policy: str = "raise",
    ) -> None:
        # GeoPandas points: coordinates, gtype and unit from their CRS, which targets and
        # grids are then held to. The options as given describe the grids made later.
        given = _geo.samples(points, values, gtype)
        points, values, gtype = given.points, given.values, given.gtype
        self._crs = given.crs
        self._settings = {
            "model": model, "kind": kind, "mean": mean, "drift": drift, "neighbours": neighbours,
            "min_neighbours": min_neighbours, "max_distance": max_distance,
            "anisotropy": anisotropy, "gtype": gtype,
            "unit": given.unit,
        }
        self._gtype = _choice(gtype, "gtype", GTYPES)
        self._kind = _choice(kind, "kind", KINDS)
        _choice(duplicates, "duplicates", DUPLICATES)
        _choice(nan_policy, "nan_policy", NAN_POLICIES)
        if not isinstance(model, VariogramModel):
            raise TypeError(
                "model must be a VariogramModel (or a FittedVariogram from "
                f"ExperimentalVariogram.fit); got {type(model).__name__}"
            )
        self._model = VariogramModel(model.model, dict(model.parameters))
        if self._kind == "simple":
            if mean is None:
                raise ValueError("mean is required for kind='simple': the known mean")
            self._mean = _real(mean, "mean", "a finite number")
            if self._model.model not in BOUNDED:
                raise ValueError(
                    f"kind='simple' needs a model with a sill; the {self._model.model} model "
                    "has none: use kind='ordinary' or 'universal'"
                )
        else:
            if mean is not None:
                raise ValueError(f"mean is only for kind='simple'; got kind={self._kind!r}")
            self._mean = 0.0
        if self._kind == "universal":
            if drift is None:
                raise ValueError("drift is required for kind='universal': 'linear' or 'quadratic'")
            self._drift = _choice(drift, "drift", DRIFTS)
        elif drift is not None:
            raise ValueError(f"drift is only for kind='universal'; got kind={self._kind!r}")
        else:
            self._drift = None
        self._min_neighbours = _count(min_neighbours, "min_neighbours", 1)
        if max_distance is None:
            self._max_distance2 = -1.0
        else:
            limit = _real(max_distance, "max_distance", "a positive finite number or None")
            if limit <= 0.0:
                raise ValueError(
                    f"max_distance must be a positive finite number or None; got {limit!r}"
                )
            self._max_distance2 = limit * limit

        given_coordinates, given_values = _samples(points, values, self._gtype)
        coordinates, samples = _drop_non_finite(given_coordinates, given_values, nan_policy)
        coordinates, samples = _merge_duplicates(coordinates, samples, duplicates)
        # The object keeps samples of its own: the caller's arrays stay theirs to change.
        if coordinates is given_coordinates:
            coordinates = coordinates.copy()
        if samples is given_values:
            samples = samples.copy()
        if samples.size == 0:
            raise ValueError("points and values hold no usable sample")
        self._dimensions = coordinates.shape[1]
        if neighbours is None:
            if samples.size > GLOBAL_LIMIT:
                raise ValueError(
                    f"global kriging (neighbours=None) is limited to {GLOBAL_LIMIT} samples; "
                    f"got {samples.size}: pass neighbours=k to use the k nearest samples"
                )
            self._neighbours: Optional[int] = None
        else:
            self._neighbours = _count(neighbours, "neighbours", 1)
        self._rotation = self._anisotropy(anisotropy)
        self._coordinates = _read_only(coordinates)
        self._values = _read_only(np.ascontiguousarray(samples, dtype=np.float64))
        self._centre = coordinates.mean(axis=0)
        self._prepared = self._prepare(coordinates)
        # The drift is a polynomial in centred coordinates scaled to about [-1, 1], so that its
        # terms are of one size whatever the coordinates' offset and unit. For GEOGCS it is in
        # longitude and latitude (on the sphere the quadratic terms of the Cartesian
        # coordinates would be collinear with the constant).
        self._drift_source = coordinates if self._gtype == "GEOGCS" else self._prepared
        self._drift_centre = self._drift_source.mean(axis=0)
        deviation = float(np.abs(self._drift_source - self._drift_centre).max(initial=0.0))
        self._drift_scale = deviation if deviation > 0.0 else 1.0
        self._build()

    def _anisotropy(self, anisotropy):
        if anisotropy is None:
            return None
        if self._gtype != "PROJCS" or self._dimensions != 2:
            raise ValueError("anisotropy needs 2-D projected coordinates (gtype='PROJCS')")
        if isinstance(anisotropy, Anisotropy):
            # The fitted major axis and ratio are Kriging's (angle, scale).
            anisotropy = (anisotropy.angle, anisotropy.ratio)
        if not isinstance(anisotropy, (tuple, list)) or len(anisotropy) != 2:
            raise TypeError(
                "anisotropy must be a pair (angle, scale), an Anisotropy from fit_anisotropy "
                f"or None; got {anisotropy!r}"
            )
        angle = _real(anisotropy[0], "anisotropy angle", "a finite number of degrees")
        scale = _real(anisotropy[1], "anisotropy scale", "a positive finite number")
        if scale <= 0.0:
            raise ValueError(f"anisotropy scale must be a positive finite number; got {scale!r}")
        # Turn by −angle, then stretch the second axis (the offset across angle).
        turn = math.radians(angle)
        c, s = math.cos(turn), math.sin(turn)
        return np.array([[c, s], [-s * scale, c * scale]])

    def _prepare(self, coordinates):
        """Coordinates in which the kriging distance is the Euclidean one."""
        if self._gtype == "GEOGCS":
            lon, lat = np.radians(coordinates[:, 0]), np.radians(coordinates[:, 1])
            return np.ascontiguousarray(
                EARTH_RADIUS_KM
                * np.stack([np.cos(lat) * np.cos(lon), np.cos(lat) * np.sin(lon), np.sin(lat)], 1)
            )
        if self._rotation is None:
            # Differences of the coordinates themselves: no copy, and no rounding of a shift.
            return np.ascontiguousarray(coordinates, dtype=np.float64)
        return np.ascontiguousarray((coordinates - self._centre) @ self._rotation.T)

    def _targets(self, targets):
        array = real_array(targets, "targets")
        if array.ndim == 1 and self._dimensions == 1:
            array = array[:, None]
        if array.ndim == 1 and array.shape[0] == self._dimensions:
            array = array[None, :]
        if array.ndim != 2 or array.shape[1] != self._dimensions:
            raise ValueError(
                f"targets must be an M x {self._dimensions} array, like the points; got shape "
                f"{array.shape}"
            )
        array = np.asarray(array, dtype=np.float64)
        bad = ~np.isfinite(array).all(axis=1)
        if bad.any():
            raise ValueError(
                f"targets must be finite; {int(np.count_nonzero(bad))} are not, the first at "
                f"index {int(np.argmax(bad))}"
            )
        return array

    def _native_samples(self, points, values, drift_points, *, global_system):
        """The engine's samples, with the neighbour index or the one global factorisation."""
        degree = {"simple": -1, "ordinary": 0}.get(self._kind)
        if degree is None:
            degree = 1 if self._drift == "linear" else 2
        centre = tuple(self._drift_centre.tolist()) + (0.0,) * (3 - self._drift_centre.size)
        return _kriging.Samples(
            np.ascontiguousarray(points), np.ascontiguousarray(values), *engine_model(self._model),
            degree, self._mean, centre, self._drift_scale,
            None if drift_points is None else np.ascontiguousarray(drift_points),
            not global_system, global_system,
        )

    @property
    def _global(self) -> bool:
        """True for kriging from every sample through one factorisation."""
        return self._neighbours is None and self._max_distance2 < 0.0

    def _build(self) -> None:
        geographic = self._gtype == "GEOGCS"
        self._samples = self._native_samples(
            self._prepared, self._values, self._drift_source if geographic else None,
            global_system=self._global,
        )

    def __getstate__(self) -> dict:
        # The native samples are rebuilt from the prepared arrays where the object arrives.
        state = dict(self.__dict__)
        del state["_samples"]
        return state

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)
        self._build()

    def _run(self, samples, targets, *, drift_targets=None, offsets=None, labels=None,
             target_labels=None, progress=False, description="kriging"):
        """The engine's estimates, variances and neighbour counts at prepared targets."""
        m = targets.shape[0]
        estimate = np.empty(m)
        variance = np.empty(m)
        used = np.zeros(m, dtype=np.int64)
        point = offsets is None
        if point:
            offsets = np.zeros((1, self._prepared.shape[1]))
        k = self._neighbours
        if k is None and self._max_distance2 >= 0.0:
            # Global kriging within a distance: each target has its own set of samples.
            k = self._values.size
        limit = self._max_distance2 if self._max_distance2 >= 0.0 else math.inf
        with progress_reporter(progress, m, unit="target", description=description) as report:
            failed = samples.predict(
                np.ascontiguousarray(targets), drift_targets, np.ascontiguousarray(offsets),
                point, 0 if k is None else k, limit, self._min_neighbours, labels,
                target_labels, get_num_threads() if m >= 64 else 1, _chunk_size(), estimate,
                variance, used, report,
            )
        return estimate, variance, used, failed

    @staticmethod
    def _report(failed):
        if failed:
            _warn(
                f"the kriging system of {failed} target(s) could not be solved (singular: "
                "e.g. collinear samples under a drift, or a degenerate model); their estimate "
                "and variance are NaN"
            )

    def predict(
        self, targets: ArrayLike, *, block: Optional[tuple[float, float]] = None,
        block_points: int = 4, progress: object = False,
    ) -> Prediction:
        """Kriging estimates and variances at targets.

        Parameters
        ----------
        targets : array_like, shape (M, d), GeoSeries or GeoDataFrame, or xarray object
            Target coordinates, like the points (a single point may be given as shape (d,)).
            GeoPandas points and xarray objects must be in the samples' CRS when both carry
            one (a ValueError otherwise: nothing is reprojected). For a DataArray or Dataset
            the targets are its ``x`` and ``y`` (or ``lon`` and ``lat``) coordinates,
            broadcast against each other.
        block : (float, float), optional
            ``(dx, dy)``: block kriging (2-D PROJCS) of the mean over the block of that size
            centred on each target, discretised by ``block_points`` x ``block_points`` points
            at offsets ((i + ½)/n − ½)·dx. The block variance leaves the nugget out of the
            covariance between the block's points (C(0) = PSill). None: point kriging.
        block_points : int, default 4
            Points per side of the block discretisation.
        progress : bool or tqdm, default False
            True shows a progress bar of the targets done on standard error (needs the
            ``progress`` extra); a tqdm bar is advanced instead.

        Returns
        -------
        Prediction or xarray.Dataset
            Estimate, variance and number of samples used per target. At a sample's location
            point kriging returns the sample's value with variance 0. For xarray targets a
            Dataset of ``estimate``, ``variance`` and ``neighbours`` on their dimensions, with
            the attributes and CRS of `grid`.
        """
        # Targets as xarray coordinates (a Dataset on them comes back) or GeoPandas points,
        # in the samples' CRS.
        if _geo.is_xarray(targets):
            return _grid.predict_xarray(self, targets, block=block, block_points=block_points,
                                        progress=progress)
        if _geo.is_geopandas(targets):
            targets = _geo.geopandas_targets(targets, self._crs)
        check_progress(progress)
        points = self._targets(targets)
        offsets = None
        if block is not None:
            if self._gtype != "PROJCS" or self._dimensions != 2:
                raise ValueError("block needs 2-D projected coordinates (gtype='PROJCS')")
            if not isinstance(block, (tuple, list)) or len(block) != 2:
                raise TypeError(f"block must be a pair (dx, dy) or None; got {block!r}")
            sizes = [_real(b, "block", "a pair of positive finite sizes") for b in block]
            if min(sizes) <= 0.0:
                raise ValueError(f"block must be a pair of positive finite sizes; got {block!r}")
            n = _count(block_points, "block_points", 1)
            steps = (np.arange(n) + 0.5) / n - 0.5
            grid = np.array([(sizes[0] * a, sizes[1] * b) for a in steps for b in steps])
            offsets = grid if self._rotation is None else grid @ self._rotation.T
        else:
            _count(block_points, "block_points", 1)
        geographic = self._gtype == "GEOGCS"
        estimate, variance, used, failed = self._run(
            self._samples, self._prepare(points),
            drift_targets=np.ascontiguousarray(points) if geographic else None, offsets=offsets,
            progress=progress,
        )
        self._report(failed)
        return Prediction(_read_only(estimate), _read_only(variance), _read_only(used))

    def cross_validate(
        self, *, folds: Optional[object] = None, seed: Optional[object] = None,
        progress: object = False,
    ) -> CrossValidation:
        """Predicts each sample from the samples outside its fold.

        Parameters
        ----------
        folds : None, int or array_like of N labels, optional
            None: leave-one-out. An int k >= 2: k random folds, made by dealing a random
            permutation of the samples (``numpy.random.default_rng(seed).permutation``) to
            folds 0, 1, …, k − 1 in turn, so that fold sizes differ by at most one. An array
            of one label per sample (after merging duplicates and omitting NaN samples): each
            label's samples are predicted from the others (e.g. spatial blocks).
        seed : optional
            Seed of the random folds (anything `numpy.random.default_rng` takes).
        progress : bool or tqdm, default False
            True shows a progress bar of the samples done on standard error (needs the
            ``progress`` extra); a tqdm bar is advanced instead.

        Returns
        -------
        CrossValidation
        """
        n = self._values.size
        if folds is None:
            labels = np.arange(n, dtype=np.int64)
        elif isinstance(folds, numbers.Integral) and not isinstance(folds, (bool, np.bool_)):
            k = int(folds)
            if not 2 <= k <= n:
                raise ValueError(f"folds must be an int from 2 to the {n} samples; got {k}")
            order = np.random.default_rng(seed).permutation(n)
            labels = np.empty(n, dtype=np.int64)
            labels[order] = np.arange(n) % k
        else:
            given = np.asarray(folds)
            if given.ndim != 1 or given.shape[0] != n:
                raise ValueError(
                    f"folds must be None, an int k >= 2 or an array of {n} labels (one per "
                    f"sample); got shape {given.shape}"
                )
            labels = np.unique(given, return_inverse=True)[1].reshape(-1).astype(np.int64)
        check_progress(progress)
        geographic = self._gtype == "GEOGCS"
        drift = self._drift_source if geographic else None
        if not self._global:
            # One pass over the samples as targets; each leaves out the samples of its fold.
            # They are visited in an order where neighbours follow each other, so that each
            # system shares most of its covariances with the one before (the results do not
            # depend on the order).
            visit = _visiting_order(self._prepared)
            visited = self._run(
                self._samples, self._prepared[visit],
                drift_targets=None if drift is None else drift[visit], labels=labels,
                target_labels=labels[visit], progress=progress, description="cross-validation",
            )
            estimate, variance = np.empty(n), np.empty(n)
            estimate[visit], variance[visit] = visited[0], visited[1]
            failed = visited[3]
        elif labels.max(initial=0) == n - 1 and self._samples.factorised:
            # Leave-one-out from the one factorisation of every sample.
            estimate, variance = np.empty(n), np.empty(n)
            used = np.zeros(n, dtype=np.int64)
            with progress_reporter(progress, n, unit="sample",
                                   description="cross-validation") as report:
                failed = self._samples.leave_one_out(
                    self._min_neighbours, get_num_threads() if n >= 64 else 1, estimate,
                    variance, used, report,
                )
        else:
            # Global: one factorisation of the samples outside each fold.
            estimate = np.full(n, np.nan)
            variance = np.full(n, np.nan)
            failed = 0
            with progress_reporter(progress, n, unit="sample",
                                   description="cross-validation") as report:
                done = 0
                for label in range(int(labels.max()) + 1):
                    inside = labels == label
                    outside = ~inside
                    fold = self._native_samples(
                        self._prepared[outside], self._values[outside],
                        None if drift is None else drift[outside], global_system=True,
                    )
                    part = self._run(
                        fold, self._prepared[inside],
                        drift_targets=None if drift is None
                        else np.ascontiguousarray(drift[inside]),
                    )
                    estimate[inside], variance[inside] = part[0], part[1]
                    failed += part[3]
                    done += int(np.count_nonzero(inside))
                    if report is not None:
                        report(done)
        self._report(failed)
        _read_only(estimate)
        _read_only(variance)
        residual = self._values - estimate
        with np.errstate(invalid="ignore", divide="ignore"):
            zscore = residual / np.sqrt(variance)
        return CrossValidation(
            self._values, estimate, variance, _read_only(residual), _read_only(zscore),
            _read_only(labels),
        )

    # ---- grids -------------------------------------------------------------------------------

    def grid(
        self, x: ArrayLike, y: ArrayLike, *, block: Optional[tuple[float, float]] = None,
        chunks: Optional[object] = None, progress: object = False,
    ) -> "xarray.Dataset":
        """Kriging estimates and variances on the grid of cell centres ``x`` by ``y``.

        Parameters
        ----------
        x, y : array_like, shape (nx,) and (ny,)
            The cell centres along each axis (longitude and latitude for GEOGCS), kept as the
            Dataset's coordinates as given (any order and spacing).
        block : (float, float), optional
            Block kriging over blocks of this size centred on the cells, as in `predict`;
            usually the cell size.
        chunks : int, (int, int) or dict, optional
            Krige lazily on Dask: the grid is split into chunks of this many cells along
            ``y`` and ``x`` (one int: both), each one task that builds its own targets from
            its slices of the axes, so that no task holds more than its chunk. The Dataset is
            then Dask-backed and can be written chunk by chunk (``to_zarr``,
            ``to_netcdf``). Needs the ``dask`` extra.
        progress : bool or tqdm, default False
            True shows one progress bar of the cells done on standard error (needs the
            ``progress`` extra); a tqdm bar is advanced instead. Not with `chunks`: the Dask
            Dataset is lazy, and Dask's own diagnostics (``dask.diagnostics.ProgressBar``,
            ``distributed.progress``) follow its tasks when it is computed.

        Returns
        -------
        xarray.Dataset
            ``estimate`` and ``variance`` (float64, dimensions ``y``, ``x``); the attributes
            name the model (``model`` and ``model_<parameter>``), ``kind``, ``neighbours``
            (``"all"`` for global kriging), ``min_neighbours`` and the options given
            (``max_distance``, ``anisotropy``, ``block``, ...). When the samples carry a CRS,
            the ``spatial_ref`` coordinate holds it as rioxarray reads it, so that
            ``ds.rio.crs`` and ``ds.rio.to_raster("map.tif")`` work. Equal, bit for bit, to
            `predict` at the cells, in memory or on Dask.

        Notes
        -----
        Needs xarray (the ``geo`` extra). In memory the cells are kriged in bands of about
        10⁶, so that the targets take no more memory than one band's.
        """
        return _grid.grid(self, x, y, block=block, chunks=chunks, progress=progress)
