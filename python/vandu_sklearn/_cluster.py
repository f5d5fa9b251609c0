"""What the deep fit needs from the joblib backend it runs on: the layer's data where the workers can
always reach it, one task per dispatch, and the engine's failures told apart from the fit's own."""
from __future__ import annotations

import asyncio
import concurrent.futures
import importlib
import warnings
from contextlib import contextmanager
from typing import Any, Iterator, Optional, Tuple

import numpy as np
from numpy.typing import NDArray

Matrix = NDArray[np.float64]

_ENGINES = ("distributed", "dask", "ray", "joblib", "loky", "tornado")


def _held(data: Matrix) -> Matrix:
    return data


def backend_kind() -> str:
    # joblib ships no annotations: imported by name, it is typed Any.
    backend = importlib.import_module("joblib.parallel").get_active_backend()[0]
    return type(backend).__name__


@contextmanager
def shared(x: Matrix, r: Matrix) -> Iterator[Tuple[Any, Any]]:
    """x and r as the active backend's workers should receive them, once per layer rather than per task.

    Dask: each array is the result of a task that holds it, not scattered data. Dask keeps one copy of
    scattered data and cannot make it again when the worker holding it is lost; a task's result it makes
    again from the task, so a lost worker costs a retry. Ray: put into the object store. Other backends
    take the arrays as they are (loky memory-maps large arrays by itself).
    """
    backend = importlib.import_module("joblib.parallel").get_active_backend()[0]
    kind = type(backend).__name__
    if kind == "DaskDistributedBackend":
        client = backend.client
        with warnings.catch_warnings():
            # The arrays travel inside the task on purpose: that is what lets the scheduler remake them.
            warnings.simplefilter("ignore")
            futures = [client.submit(_held, x, pure=False), client.submit(_held, r, pure=False)]
        try:
            yield futures[0], futures[1]
        finally:
            try:
                client.cancel(futures)
            except Exception:  # a lost cluster: the fit's own error is the one to report
                pass
    elif kind == "RayBackend":
        ray = importlib.import_module("ray")
        yield ray.put(x), ray.put(r)
    else:
        yield x, r


def resolve(shared_data: Any) -> Matrix:
    # Ray hands a task its object references as they are: the task fetches the data. joblib runs the tasks
    # in the fitting process when the backend has one worker left, where a Dask future is not resolved.
    kind = type(shared_data).__name__
    if kind == "ObjectRef":
        # Optional, untyped where installed: looked up rather than imported, so type checks
        # pass with or without it.
        fetched: Matrix = importlib.import_module("ray").get(shared_data)
        return fetched
    if kind == "Future" and hasattr(shared_data, "result"):
        return shared_data.result()  # type: ignore[no-any-return]
    return shared_data  # type: ignore[no-any-return]


def engine_failure(err: BaseException) -> bool:
    """True for the engine's own failures (a lost scheduler, connection or worker pool), as opposed to
    the fit's (a native failure, an interrupt, a bad argument)."""
    if isinstance(err, (KeyboardInterrupt, SystemExit, GeneratorExit, ValueError, TypeError, MemoryError)):
        return False
    if type(err).__module__.split(".")[0] in _ENGINES:
        return True
    return isinstance(err, (OSError, EOFError, TimeoutError, asyncio.TimeoutError,
                            concurrent.futures.CancelledError, asyncio.CancelledError))


class _NoParallel:
    def __enter__(self) -> "_NoParallel":
        return self

    def __exit__(self, *exc: object) -> None:
        return None


def parallel(n_jobs: Optional[int]) -> Any:
    if n_jobs is None:
        return _NoParallel()
    Parallel = importlib.import_module("joblib").Parallel
    # One task per dispatch, and the results as they come, for the progress bar; all at the end where the
    # backend cannot give them as they come (Ray's).
    try:
        return Parallel(n_jobs=n_jobs, batch_size=1, return_as="generator_unordered")
    except ValueError:
        return Parallel(n_jobs=n_jobs, batch_size=1)
