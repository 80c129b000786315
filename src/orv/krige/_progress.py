"""Progress bars driven by the native engines' count of completed work.

The engines call the reporter with the work done so far (pairs or targets) at most every
0.1 s from the thread that called them, and once more at the end; the reporter moves a tqdm
bar to that count. With ``progress=False`` no reporter exists and the engines count nothing.
"""
from __future__ import annotations

import contextlib
import sys
from collections.abc import Callable, Iterator
from typing import Any, Optional

Reporter = Callable[[int], None]


def _tqdm() -> Any:
    try:
        from tqdm.auto import tqdm
    except ModuleNotFoundError as error:
        if error.name != "tqdm":
            raise
        raise ImportError(
            'progress=True needs tqdm; install it with: pip install "orv-krige[progress]"'
        ) from error
    return tqdm


def check_progress(progress: object) -> None:
    """Raises unless `progress` is a bool or a tqdm-like bar (with `update` and `n`)."""
    if isinstance(progress, bool):
        if progress:
            _tqdm()
        return
    if not (callable(getattr(progress, "update", None)) and hasattr(progress, "n")):
        raise TypeError(
            "progress must be True, False or a tqdm progress bar; got "
            f"{type(progress).__name__}"
        )


@contextlib.contextmanager
def progress_reporter(progress: object, total: int, *, unit: str,
                      description: str) -> Iterator[Optional[Reporter]]:
    """A reporter of completed work for one native call, or None when progress is off.

    ``progress=True`` shows a new tqdm bar on standard error, closed at the end; a given bar
    is advanced from where it stands (so one bar can follow several calls) and left open.
    """
    check_progress(progress)
    if progress is False:
        yield None
        return
    if progress is True:
        bar = _tqdm()(total=total, unit=unit, desc=description, file=sys.stderr,
                      mininterval=0.1, unit_scale=True)
        owned = True
    else:
        bar = progress
        if getattr(bar, "total", None) is None:
            bar.total = total
        owned = False
    start = bar.n

    def report(done: int) -> None:
        step = start + done - bar.n
        if step > 0:
            bar.update(step)

    try:
        yield report
    finally:
        if owned:
            bar.close()
