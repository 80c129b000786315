"""Experimental variograms computed as Dask tasks, equal bit for bit to `orv.krige.variogram`.

The pairs are split into pieces (spatial tiles with their halos below a cutoff, blocks of the
pair index space without one); each task computes its piece's exact per-class sums, and the
sums are merged in a tree. Since the engine's class means are correctly rounded from exact
sums, the result does not depend on the split, the order of the merges or where each task ran.

`predict` and ``Kriging.grid(..., chunks=...)`` krige chunks of targets as tasks: the Kriging
object (samples, model, prepared coordinates) is one object of the graph, sent once to each
worker that needs it, and each chunk is one task. The engine's arithmetic for one target does
not depend on the others, so the result is the local one bit for bit for any chunking.

Needs the ``dask`` extra: ``pip install "orv-krige[dask]"``.
"""
from __future__ import annotations

import inspect
import numbers
import os
from typing import Any, Optional

try:
    import dask
except ModuleNotFoundError as error:  # pragma: no cover - exercised without the extra only
    if error.name != "dask":
        raise
    raise ImportError(
        'orv.krige.dask needs Dask; install it with: pip install "orv-krige[dask]"'
    ) from error

import numpy as np
from dask.utils import parse_bytes
from numpy.typing import ArrayLike

from . import _engine, _geo, _grid, _tiling
from . import _variogram as _front
from ._kriging_api import Kriging, Prediction
from ._progress import check_progress, progress_reporter
from ._result import ExperimentalVariogram

__all__ = ["predict", "variogram"]

# The options of orv.krige.variogram and their defaults, taken from its signature.
_OPTIONS = {
    name: parameter.default
    for name, parameter in inspect.signature(_front.variogram).parameters.items()
    if parameter.kind is inspect.Parameter.KEYWORD_ONLY
}
# Pieces per worker thread when `tiles` is None: a few, so that a slow or lost task delays the
# others little; and at least this many samples a piece, below which tasks cost more than
# they save.
_PIECES_PER_THREAD = 4
_SAMPLES_PER_PIECE = 10_000
# The fewest samples a tile or block holds whatever `tiles` asks: smaller pieces would make
# tasks (about tiles²/2 of them without a cutoff) that cost far more than their pairs.
_MIN_SAMPLES_PER_PIECE = 256
# States merged by one task of the merge tree.
_MERGE_FAN_IN = 8


def variogram(
    points: ArrayLike,
    values: ArrayLike,
    bins: Any = 15,
    *,
    client: Any = None,
    tiles: Optional[int] = None,
    **options: Any,
) -> ExperimentalVariogram:
    """Experimental semivariogram computed as Dask tasks; the same as `orv.krige.variogram`.

    Parameters
    ----------
    points, values, bins
        As for `orv.krige.variogram`. `points` and `values` may also be Dask arrays or
        columns of a Dask DataFrame; they are computed first (N coordinates and values are
        held in memory, as the tiling needs them).
    client : distributed.Client, optional
        The client whose cluster runs the tasks. By default the current client
        (``distributed.get_client()``), or Dask's default scheduler when there is none.
    tiles : int, optional
        The number of tasks that form pairs, a positive int; fewer when the tiles or blocks
        would hold fewer than 256 samples each (one task below 512 samples). By default four
        per worker thread, with at least 10,000 samples a task.
    **options
        The keyword options of `orv.krige.variogram`: `max_lag`, `gtype`, `estimator`,
        `direction`, `tolerance`, `bandwidth`, `nan_policy` and `progress`. With `progress`
        the bar counts the samples of each task as the task finishes (so it moves a task at
        a time), on Dask's default scheduler or a cluster alike.

    Returns
    -------
    ExperimentalVariogram
        Equal, bit for bit, to ``orv.krige.variogram(points, values, bins, **options)``.

    Raises
    ------
    TypeError, ValueError
        As `orv.krige.variogram` does; also for a `client` that is not a running
        ``distributed.Client``, a `tiles` that is not a positive int, and an unknown option.

    Notes
    -----
    Below a cutoff (the last edge smaller than the data's extent) the samples are split into
    `tiles` spatial tiles of about equal numbers of samples; each task receives its tile's
    samples and those of higher-numbered tiles that may lie within the cutoff of it (its
    halo), so that each pair is formed by exactly one task and a task's memory grows with its
    tile and halo. Without a cutoff, the samples are split into `tiles` blocks and each task
    pairs one block with itself and with about half of the others. The samples travel in the
    task graph once (a halo sample once more for each halo it is in), so a task lost with its
    worker is simply run again. Each task returns exact per-class sums as a small int64 array,
    and the sums are merged eight at a time.

    A ``KeyboardInterrupt`` while waiting for the result cancels the tasks on the cluster.

    Examples
    --------
    >>> import numpy as np
    >>> from distributed import Client, LocalCluster
    >>> from orv.krige import dask as kdask, variogram
    >>> rng = np.random.default_rng(0)
    >>> points = rng.uniform(0, 100, size=(20_000, 2))
    >>> values = np.sin(points[:, 0] / 10) + rng.normal(0, 0.1, 20_000)
    >>> with LocalCluster(n_workers=2, threads_per_worker=1) as cluster, Client(cluster):
    ...     result = kdask.variogram(points, values, bins=10, max_lag=10)
    >>> result == variogram(points, values, bins=10, max_lag=10)
    True
    """
    client = _client(client)
    tiles = _tiles(tiles)
    unknown = sorted(set(options) - set(_OPTIONS))
    if unknown:
        raise TypeError(
            f"variogram() got unexpected keyword argument(s) {', '.join(unknown)}; the options "
            f"are client, tiles, {', '.join(_OPTIONS)}"
        )
    # Dask arrays and DataFrame columns are computed here; other inputs pass unchanged.
    points, values = dask.compute(points, values, scheduler=client)
    progress = options.pop("progress", False)
    check_progress(progress)
    given = _geo.samples(points, values, options.pop("gtype", None))
    prepared = _front._prepare(given.points, given.values, bins,
                               **{**_OPTIONS, **options, "gtype": given.gtype})
    if tiles is None:
        tiles = _default_tiles(client, prepared.values.shape[0])
    final, embedded_bytes, pieces = _graph(prepared, tiles)
    with progress_reporter(progress, prepared.values.shape[0], unit="sample",
                           description="variogram") as report:
        state = _compute(client, final, embedded_bytes, pieces, report)
    counts, distance_means, value_means = _engine.finish_state(state)
    return _geo.with_unit(_front._result(prepared, counts, distance_means, value_means),
                          given.unit)


def _compute(client, final, embedded_bytes: int, pieces: dict, report) -> Any:
    """The merged state, with `report` (if any) told the samples of each finished piece."""
    done = 0
    weights = {piece.key: weight for piece, weight in pieces}
    if client is None:
        if report is None:
            return dask.compute(final)[0]
        from dask.callbacks import Callback

        def finished(key, result, dsk, state, worker_id):
            nonlocal done
            if key in weights:
                done += weights[key]
                report(done)

        with Callback(posttask=finished):
            return dask.compute(final)[0]
    # The samples travel in the graph by design (a lost task is run again from it): warn only
    # of what else a graph may carry beyond the threshold (keys and arguments take well under
    # a kibibyte a task).
    threshold = "distributed.admin.large-graph-warning-threshold"
    raised = parse_bytes(dask.config.get(threshold)) + embedded_bytes
    raised += 1024 * len(final.dask)
    # With a bar, the pieces are asked for too: the same keys, so the same tasks, and their
    # futures say when each piece is done.
    wanted = [final] + ([piece for piece, _ in pieces] if report is not None else [])
    with dask.config.set({threshold: raised}):
        future, *followed = client.compute(wanted)
    try:
        if followed:
            from distributed import as_completed

            for piece in as_completed(followed):
                done += weights[piece.key]
                report(done)
        return future.result()
    except BaseException:
        # Interrupted or failed: nothing of this call may go on running on the cluster.
        client.cancel([future, *followed])
        raise
    finally:
        for piece in followed:
            piece.release()


def _client(client: Any):
    """The distributed client to use, or None for Dask's default scheduler."""
    if client is None:
        try:
            from distributed import get_client
        except ModuleNotFoundError as error:
            if error.name != "distributed":
                raise
            return None
        try:
            return get_client()
        except ValueError:  # no current client
            return None
    try:
        from distributed import Client
    except ModuleNotFoundError as error:
        if error.name != "distributed":
            raise
        raise TypeError(
            f"client must be a distributed.Client or None, and distributed is not installed; "
            f"got {type(client).__name__}"
        ) from error
    if not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client or None; got {type(client).__name__}")
    if client.status != "running":
        raise ValueError(
            f"client must be a running distributed.Client; got one whose status is "
            f"{client.status!r}"
        )
    return client


def _tiles(tiles: object) -> Optional[int]:
    if tiles is None:
        return None
    if isinstance(tiles, (bool, np.bool_)) or not isinstance(tiles, numbers.Integral):
        raise TypeError(f"tiles must be a positive int or None; got {type(tiles).__name__}")
    if tiles < 1:
        raise ValueError(f"tiles must be a positive int or None; got {int(tiles)}")
    return int(tiles)


def _default_tiles(client, n_samples: int) -> int:
    if client is None:
        threads = dask.config.get("num_workers", None) or os.cpu_count() or 1
    else:
        threads = max(1, sum(client.nthreads().values()))
    return max(1, min(_PIECES_PER_THREAD * threads, n_samples // _SAMPLES_PER_PIECE))


def _graph(prepared: _front._Prepared, tiles: int):
    """The Dask graph of the pieces' states merged into one, and the bytes of samples in it."""
    points, values = prepared.points, prepared.values
    arguments = (
        prepared.edges,
        prepared.geographic,
        prepared.estimator_code,
        prepared.engine_direction,
        prepared.bandwidth,
    )
    piece = dask.delayed(_tiling.piece_state, pure=True)
    tiles = max(1, min(tiles, points.shape[0] // _MIN_SAMPLES_PER_PIECE))
    if prepared.prune:
        positions = _tiling.embedding(points, prepared.geographic)
        tile_indices = _tiling.spatial_tiles(positions, tiles)
        halo_indices = _tiling.halos(
            positions, tile_indices, _tiling.reach(float(prepared.edges[-1]), prepared.geographic)
        )
        # A tile's samples and its halo are used by its task alone: they go in the task.
        states = [
            piece((points[tile], values[tile]), [(points[halo], values[halo])], arguments)
            for tile, halo in zip(tile_indices, halo_indices)
        ]
        embedded_samples = sum(
            tile.size + halo.size for tile, halo in zip(tile_indices, halo_indices)
        )
        weights = [tile.size for tile in tile_indices]
    else:
        count = tiles
        bounds = [points.shape[0] * k // count for k in range(count + 1)]
        # Each block is used by about half of the tasks: it is held once in the graph.
        blocks = [
            dask.delayed(_tiling.chunk, pure=True)(points[start:stop], values[start:stop])
            for start, stop in zip(bounds[:-1], bounds[1:])
        ]
        states = [
            piece(blocks[i], [blocks[j] for j in partners], arguments)
            for i, partners in enumerate(_tiling.cyclic_partners(count))
        ]
        embedded_samples = points.shape[0]
        weights = [stop - start for start, stop in zip(bounds[:-1], bounds[1:])]
    # What a progress bar follows: each piece's own samples, whose pairs it completes.
    pieces = list(zip(states, weights))
    merge = dask.delayed(_tiling.merge, pure=True)
    while len(states) > 1:
        states = [
            merge(*states[start : start + _MERGE_FAN_IN])
            for start in range(0, len(states), _MERGE_FAN_IN)
        ]
    return (states[0], embedded_samples * (points.itemsize * points.shape[1] + values.itemsize),
            pieces)


# ---- kriging -----------------------------------------------------------------------------------


def _predict_chunk(targets: np.ndarray, kriging: Kriging, block: Any) -> np.ndarray:
    """One task: estimate, variance and neighbour count of a chunk of targets, as 3 columns."""
    found = kriging.predict(np.asarray(targets, dtype=np.float64), block=block)
    return np.column_stack([found.estimate, found.variance, found.neighbours.astype(np.float64)])


def _grid_chunk(kriging: Kriging, y: np.ndarray, x: np.ndarray, block: Any) -> np.ndarray:
    """One task: a chunk of a grid, its targets made here from the chunk's slices of the
    axes (y as a column, x as a row), so that no task holds more than its chunk."""
    found = kriging.predict(_grid.cell_targets(x.ravel(), y.ravel()), block=block)
    shape = (y.size, x.size)
    return np.stack([found.estimate.reshape(shape), found.variance.reshape(shape)], axis=-1)


def _shared(kriging: object) -> Any:
    """The Kriging object as one key of the graph: every task depends on that key, so the
    object is sent once to each worker, and a worker that is lost gets it again from the
    graph."""
    if not isinstance(kriging, Kriging):
        raise TypeError(f"kriging must be an orv.krige.Kriging; got {type(kriging).__name__}")
    return dask.delayed(kriging, pure=True, traverse=False)


def predict(kriging: Kriging, targets: Any, *, block: Optional[tuple[float, float]] = None
            ) -> Prediction:
    """`Kriging.predict` at chunked targets, lazily, one Dask task per chunk of targets.

    Parameters
    ----------
    kriging : Kriging
        The prepared kriging; it travels once to each worker.
    targets : dask.array.Array or array_like, shape (M, d)
        Target coordinates in chunks of rows (the columns are put in one chunk if they are
        split); a NumPy array is one chunk.
    block : (float, float), optional
        Block kriging, as in `Kriging.predict`.

    Returns
    -------
    Prediction
        Whose `estimate`, `variance` and `neighbours` are Dask arrays, chunked as the
        targets' rows; computed (``dask.compute(p.estimate, p.variance)``), they equal
        ``kriging.predict(targets)`` bit for bit, for any chunking and any number of
        workers. A task lost with its worker is run again; interrupting the computation
        releases its futures, which cancels the tasks on the cluster.

    Notes
    -----
    The targets are checked per chunk, in the tasks: a bad target fails the computation with
    the ValueError of `Kriging.predict`. Each task runs the engine on
    `orv.krige.get_num_threads` threads of its worker (``ORV_KRIGE_NUM_THREADS``): set it to
    the worker's cores divided by its Dask threads.
    """
    import dask.array as da

    shared = _shared(kriging)
    array = da.asarray(targets)
    if array.ndim != 2 or array.shape[1] != kriging._dimensions:
        raise ValueError(
            f"targets must be an M x {kriging._dimensions} array, like the points; got shape "
            f"{array.shape}"
        )
    array = array.rechunk({1: -1})
    columns = array.map_blocks(_predict_chunk, shared, block, chunks=(array.chunks[0], (3,)),
                               dtype=np.float64, meta=np.empty((0, 0)))
    return Prediction(columns[:, 0], columns[:, 1], columns[:, 2].astype(np.int64))


def _chunk_sizes(chunks: Any) -> tuple[Any, Any]:
    """The chunks along y and x of `Kriging.grid`: an int for both, a pair, or a dict."""
    if isinstance(chunks, dict):
        unknown = set(chunks) - {"x", "y"}
        if unknown:
            raise ValueError(
                f"chunks may name the dimensions y and x; got {sorted(map(str, unknown))}"
            )
        return chunks.get("y", -1), chunks.get("x", -1)
    if isinstance(chunks, (tuple, list)):
        if len(chunks) != 2:
            raise ValueError(f"chunks must be an int, a pair (y, x) or a dict; got {chunks!r}")
        return chunks[0], chunks[1]
    return chunks, chunks


def grid_arrays(kriging: Kriging, x: np.ndarray, y: np.ndarray, *, chunks: Any, block: Any
                ) -> tuple[Any, Any]:
    """Lazy estimate and variance of the grid y by x, one task per chunk of cells."""
    import dask.array as da

    y_chunks, x_chunks = _chunk_sizes(chunks)
    rows = da.from_array(y[:, None], chunks=(y_chunks, 1))
    columns = da.from_array(x[None, :], chunks=(1, x_chunks))
    both = da.map_blocks(
        _grid_chunk, _shared(kriging), rows, columns, block, new_axis=2,
        chunks=(rows.chunks[0], columns.chunks[1], (2,)), dtype=np.float64,
        meta=np.empty((0, 0, 0)),
    )
    return both[..., 0], both[..., 1]
