"""The deep model fitted layer by layer: its work as joblib tasks, progress, warm start and resumable fits.

A layer is its parameter search (twelve candidate boosting models, each fitted on every one of five folds
and measured on the samples before and after that fold) followed by its members' fits. Each of those fits is
one task here, run by whichever joblib backend is active (loky, Dask, Ray), and the layers are assembled
into a native ``vandu.DeepGradientBoosting`` from the members' own bincode records, so the result predicts
with the native code and saves and loads like any native model. The arithmetic between the fits (the error
measure, the score sums, the members' mean and the residual update) is the native model's, operation for
operation, so the only difference from a native fit is in the random draws.
"""
from __future__ import annotations

import importlib
import math
import numbers
import os
import sys
import time
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Sequence, Tuple, TypeVar

import numpy as np
from numpy.typing import NDArray
from sklearn.utils.validation import validate_data

import vandu

from . import NativeModelError, _model_bytes, _model_from_bytes, _native_call
from . import _native as _companion
from ._inspect import fit_inspection

if TYPE_CHECKING:
    from . import DeepGradientBoostingRegressor

Matrix = NDArray[np.float64]
Combination = Tuple[int, int, float]  # member depth, stages, learning rate
Layer = List[bytes]  # the members' bincode records, in member order

# The native model's search grid, in its enumeration order, and its fold count.
GRID: Tuple[Combination, ...] = tuple((depth, stages, rate) for depth in (2, 3, 5) for stages in (100, 1000)
                                      for rate in (0.1, 0.01))
FOLDS = 5

_Result = TypeVar("_Result")


def evaluations(n: int, folds: int = FOLDS) -> List[Tuple[int, int, int, int]]:
    """The hold-out evaluations of the k-fold score as (fit start, fit end, measure start, measure end), in
    the order their errors are summed: each fold fitted alone, measured on the samples before it, then on
    the samples after it (the remainder of n / folds belongs to no fold and is only ever measured)."""
    size = n // folds
    found = []
    for m in range(folds):
        if m > 0:
            found.append((m * size, (m + 1) * size, 0, m * size))
        if m < folds - 1:
            found.append((m * size, (m + 1) * size, (m + 1) * size, n))
    return found


def mean_squared_error(predicted: Matrix, target: Matrix) -> float:
    """The native measure: squares summed one after another in index order from 0.0, then divided."""
    if predicted.shape != target.shape or predicted.size == 0:
        raise ValueError(f"cannot measure {predicted.shape} predictions against {target.shape} targets")
    difference = predicted - target
    # accumulate adds strictly left to right, unlike sum's pairwise order.
    total = float(np.add.accumulate(difference * difference)[-1])
    return total / float(predicted.size)


def column_means(predictions: Sequence[Matrix]) -> Matrix:
    """The native layer's mean of its members' predictions: from 0.0, member by member, then / W."""
    total = np.zeros_like(predictions[0])
    for row in predictions:
        total = total + row
    return total / float(len(predictions))


# --- the deep model's bincode record, built from and split into its members' records ---

# The layout is the native persistence code's, read and written by the companion module.

def assemble(n_estimators: int, layer_width: int, learning_rate: float, layers: Sequence[Layer]) -> bytes:
    data: bytes = _companion.deep_assemble(n_estimators, layer_width, learning_rate, layers)
    return data


def _boosting_end(data: bytes, start: int) -> int:
    """Where the boosting record that starts at ``start`` ends."""
    end: int = _companion.boosting_record_end(data, start)
    return end


def split(data: bytes) -> Tuple[int, int, float, List[Layer]]:
    """A deep model's bincode record as (layers asked for, width, learning rate, the layers held)."""
    n_estimators, layer_width, learning_rate, layers = _companion.deep_split(data)
    return n_estimators, layer_width, learning_rate, layers


# --- the tasks, run wherever the joblib backend puts them ---

_pool_sized = False


def _one_thread_per_task(parent: int) -> None:
    """Gives a worker process's native pool one thread, as the native deep fit runs each of these fits on
    one pool thread; with one worker process per core, a larger pool would only oversubscribe the cores.

    The pool takes its size from the affinity mask of the thread that first uses it: that thread is pinned
    to one CPU for a small prediction that starts the pool, then let go. No-op in the fitting process
    itself and where the pool already runs.
    """
    global _pool_sized
    if _pool_sized or os.getpid() == parent or not hasattr(os, "sched_setaffinity"):
        return
    _pool_sized = True
    mask = os.sched_getaffinity(0)
    if len(mask) < 2:
        return
    model = vandu.GradientBoosting(n_estimators=1)
    model.fit(np.array([[0.0], [1.0]]), np.array([0.0, 1.0]))
    os.sched_setaffinity(0, {min(mask)})
    try:
        model.predict(np.zeros((4096, 1)))  # chunked, so it starts the pool
    finally:
        os.sched_setaffinity(0, mask)


def _resolve(shared: Any) -> Matrix:
    # Ray hands a task its object references as they are: the task fetches the data. joblib runs the tasks
    # in the fitting process when the backend has one worker left, where a Dask future is not resolved.
    kind = type(shared).__name__
    if kind == "ObjectRef":
        # Optional, untyped where installed: looked up rather than imported, so type checks
        # pass with or without it.
        fetched: Matrix = importlib.import_module("ray").get(shared)
        return fetched
    if kind == "Future" and hasattr(shared, "result"):
        return shared.result()  # type: ignore[no-any-return]
    return shared  # type: ignore[no-any-return]


def _native(what: str, call: Callable[..., _Result], *args: Any) -> _Result:
    # The native exception's class lives in no importable module, so it cannot travel back from a worker.
    try:
        return call(*args)
    except BaseException as err:
        if type(err).__name__ == "PanicException":
            raise NativeModelError(f"{what} failed in the native model: {err}") from None
        raise


def fold_task(key: int, x: Any, r: Any, combination: Combination, ranges: Tuple[int, int, int, int],
              parent: int) -> Tuple[int, float]:
    """One hold-out evaluation of the search: fits the candidate on one fold, returns its error."""
    _one_thread_per_task(parent)
    x, r = _resolve(x), _resolve(r)
    depth, stages, rate = combination
    fit_start, fit_end, start, end = ranges
    model = vandu.GradientBoosting(depth, 2, stages, rate)
    what = f"the search's fit of depth {depth}, {stages} stages, rate {rate}"
    _native(what, model.fit, x[fit_start:fit_end], r[fit_start:fit_end])
    predicted = _native(what, model.predict, x[start:end])
    return key, mean_squared_error(predicted, r[start:end])


def member_task(key: int, x: Any, r: Any, combination: Combination, predict: bool,
                parent: int) -> Tuple[int, bytes, Optional[Matrix]]:
    """One member of a layer: fits it to (x, r); returns its record and, if asked, its predictions on x."""
    _one_thread_per_task(parent)
    x, r = _resolve(x), _resolve(r)
    depth, stages, rate = combination
    model = vandu.GradientBoosting(depth, 2, stages, rate)
    _native("a member's fit", model.fit, x, r)
    predicted = _native("a member's prediction", model.predict, x) if predict else None
    return key, _model_bytes(model), None if predicted is None else np.array(predicted)


# --- progress ---

class Progress:
    """A tqdm bar where tqdm is installed, else a line per layer; both give the elapsed and remaining time."""

    def __init__(self, verbose: int, first: int, last: int, tasks_per_layer: Optional[int]) -> None:
        self.first, self.last, self.started = first, last, time.monotonic()
        self.tasks_per_layer = tasks_per_layer
        self.bar: Any = None
        self.on = verbose > 0 and last > first
        if not self.on:
            return
        try:
            tqdm = importlib.import_module("tqdm.auto").tqdm
        except ImportError:
            return
        layers = last - first
        if tasks_per_layer is None:
            self.bar = tqdm(total=layers, unit="layer", desc="DeepGradientBoostingRegressor")
        else:
            self.bar = tqdm(total=layers * tasks_per_layer, unit="fit",
                            desc=f"DeepGradientBoostingRegressor layer {first + 1}/{last}")

    def task_done(self) -> None:
        if self.bar is not None and self.tasks_per_layer is not None:
            self.bar.update(1)

    def layer_done(self, layer: int, combination: Combination) -> None:
        if not self.on:
            return
        depth, stages, rate = combination
        chosen = f"depth {depth}, {stages} stages, rate {rate}"
        if self.bar is not None:
            if self.tasks_per_layer is None:
                self.bar.update(1)
            elif layer + 1 < self.last:
                self.bar.set_description(f"DeepGradientBoostingRegressor layer {layer + 2}/{self.last}")
            self.bar.set_postfix_str(f"layer {layer + 1}: {chosen}")
            return
        elapsed = time.monotonic() - self.started
        done = layer + 1 - self.first
        left = elapsed / done * (self.last - layer - 1)
        print(f"[DeepGradientBoostingRegressor] layer {layer + 1}/{self.last} fitted ({chosen}); "
              f"elapsed {elapsed:.1f} s, about {left:.1f} s left", flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


# --- the layers ---

@contextmanager
def _shared(x: Matrix, r: Matrix) -> Iterator[Tuple[Any, Any]]:
    """x and r as the active backend's workers should receive them: sent to every Dask worker or put into
    Ray's object store once per layer, rather than once per task. Other backends take the arrays as they
    are (loky memory-maps large arrays by itself)."""
    # joblib ships no annotations: imported by name, it is typed Any.
    backend = importlib.import_module("joblib.parallel").get_active_backend()[0]
    kind = type(backend).__name__
    if kind == "DaskDistributedBackend":
        client = backend.client
        futures = client.scatter([x, r], broadcast=True, hash=False)
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


def _combination(model_record: bytes) -> Combination:
    depth, stages, rate = _companion.boosting_parameters(model_record)
    return depth, stages, rate


def _member_predictions(layer: Layer, x: Matrix) -> List[Matrix]:
    members = [_model_from_bytes(vandu.GradientBoosting, record) for record in layer]
    return [np.array(_native("a member's prediction", member.predict, x)) for member in members]


def _layer_on_native_pool(x: Matrix, r: Matrix, width: int) -> Layer:
    # A one-layer native model fitted to (x, r) is exactly the deep model's layer for that x and r.
    model = vandu.DeepGradientBoosting(1, width, 1.0)
    _native("DeepGradientBoostingRegressor.fit", model.fit, x, r)
    return split(_model_bytes(model))[3][0]


def _layer_as_tasks(parallel: Any, x: Matrix, r: Matrix, width: int, layer: int, last_layer: bool,
                    progress: Progress) -> Tuple[Layer, Optional[List[Matrix]]]:
    delayed = importlib.import_module("joblib").delayed
    n = x.shape[0]
    if n // FOLDS < 2:
        raise NativeModelError(f"DeepGradientBoostingRegressor.fit failed: its {FOLDS}-fold search needs at "
                               f"least {2 * FOLDS} samples, got {n}")
    parent = os.getpid()
    ranges = evaluations(n)
    with _shared(x, r) as (xs, rs):
        # Longest first, so that no long fit starts last; the fold fits all have the same number of rows.
        jobs = sorted(((c, e) for c in range(len(GRID)) for e in range(len(ranges))),
                      key=lambda job: -GRID[job[0]][0] * GRID[job[0]][1])
        errors = np.full((len(GRID), len(ranges)), np.nan)
        for key, error in parallel(delayed(fold_task)(c * len(ranges) + e, xs, rs, GRID[c], ranges[e], parent)
                                   for c, e in jobs):
            errors[divmod(key, len(ranges))] = error
            progress.task_done()
        best = 0
        scores: List[float] = []
        for c in range(len(GRID)):
            score = 0.0
            for e in range(len(ranges)):
                score = score + float(errors[c, e])
            if math.isnan(score):
                raise NativeModelError(f"DeepGradientBoostingRegressor.fit failed in layer {layer}'s search: "
                                       "a candidate scored NaN (called `Option::unwrap()` on a `None` value)")
            scores.append(score)
            if score < scores[best]:
                best = c
        members: List[Optional[bytes]] = [None] * width
        predictions: List[Optional[Matrix]] = [None] * width
        for key, record, predicted in parallel(delayed(member_task)(m, xs, rs, GRID[best], not last_layer, parent)
                                               for m in range(width)):
            members[key], predictions[key] = record, predicted
            progress.task_done()
    layer_records = [record for record in members if record is not None]
    if last_layer:
        return layer_records, None
    return layer_records, [p for p in predictions if p is not None]


def _check_options(estimator: "DeepGradientBoostingRegressor") -> None:
    n_jobs = estimator.n_jobs
    if n_jobs is not None and (not isinstance(n_jobs, numbers.Integral) or isinstance(n_jobs, bool)
                               or n_jobs == 0):
        raise ValueError(f"n_jobs must be None or a non-zero integer, got {n_jobs!r}")
    verbose = estimator.verbose
    if not isinstance(verbose, numbers.Integral) or verbose < 0:
        raise ValueError(f"verbose must be an integer 0 or greater, got {verbose!r}")
    if not isinstance(estimator.warm_start, (bool, np.bool_)):
        raise ValueError(f"warm_start must be a bool, got {estimator.warm_start!r}")


def fit(estimator: "DeepGradientBoostingRegressor", X: Any, y: Any) -> None:
    """The estimator's fit: the native one unless it asks for joblib tasks, progress or a warm start."""
    estimator._make_model()  # checks the native model's parameters
    _check_options(estimator)
    n_estimators, layer_width = int(estimator.n_estimators), int(estimator.layer_width)
    learning_rate = float(estimator.learning_rate)
    held: List[Layer] = []
    model = getattr(estimator, "model_", None)
    continuing = bool(estimator.warm_start) and isinstance(model, vandu.DeepGradientBoosting)
    if isinstance(model, vandu.DeepGradientBoosting) and continuing:
        _, held_width, held_rate, held = split(_model_bytes(model))
        if held_width != layer_width or held_rate != learning_rate:
            raise ValueError(f"warm_start keeps layer_width and learning_rate: the model holds "
                             f"{held_width} and {held_rate}, the estimator asks for {layer_width} and "
                             f"{learning_rate}")
        if len(held) > n_estimators:
            raise ValueError(f"n_estimators={n_estimators} must be at least the {len(held)} layers held when "
                             "warm_start is set")
    elif estimator.n_jobs is None and not estimator.verbose:
        native = estimator._make_model()
        X_checked, y_checked = validate_data(estimator, X, y, dtype=np.float64, order="C", y_numeric=True,
                                             ensure_min_samples=2)
        try:
            _native_call("DeepGradientBoostingRegressor.fit", native.fit, X_checked,
                         np.asarray(y_checked, dtype=np.float64))
        finally:
            # Interrupted or failed, the native model holds the layers it finished: kept, for warm_start.
            if isinstance(native, vandu.DeepGradientBoosting) and split(_model_bytes(native))[3]:
                estimator.model_ = native
                _inspect_kept(estimator, X_checked)
        return
    X_checked, y_checked = validate_data(estimator, X, y, dtype=np.float64, order="C", y_numeric=True,
                                         ensure_min_samples=2, reset=not continuing)
    x: Matrix = np.asarray(X_checked, dtype=np.float64)
    r: Matrix = np.array(y_checked, dtype=np.float64)
    original = x
    if len(held) == n_estimators:
        if estimator.verbose:
            print(f"[DeepGradientBoostingRegressor] all {n_estimators} layers are held: nothing to fit",
                  flush=True)
        return
    # X and r as they stand after the layers held: every held layer is followed by a new one.
    for i, layer in enumerate(held):
        held_predictions = _member_predictions(layer, x)
        means = column_means(held_predictions)
        x = np.hstack([x] + [p[:, None] for p in held_predictions])
        r = r - ((1.0 if i == 0 else learning_rate) * means)
    layers = list(held)
    first = len(held)
    tasks = None if estimator.n_jobs is None else len(GRID) * 2 * (FOLDS - 1) + layer_width
    progress = Progress(int(estimator.verbose), first, n_estimators, tasks)
    try:
        parallel = _parallel(estimator.n_jobs)
        with parallel:
            for i in range(first, n_estimators):
                last = i == n_estimators - 1
                predictions: Optional[List[Matrix]]
                if estimator.n_jobs is None:
                    layer = _layer_on_native_pool(x, r, layer_width)
                    predictions = None if last else _member_predictions(layer, x)
                else:
                    layer, predictions = _layer_as_tasks(parallel, x, r, layer_width, i, last, progress)
                layers.append(layer)
                progress.layer_done(i, _combination(layer[0]))
                if predictions is not None:
                    means = column_means(predictions)
                    x = np.hstack([x] + [p[:, None] for p in predictions])
                    r = r - ((1.0 if i == 0 else learning_rate) * means)
    finally:
        progress.close()
        # An interrupted or failed fit keeps the layers it finished, so that warm_start can resume it.
        if len(layers) > len(held):
            assembled = _model_from_bytes(vandu.DeepGradientBoosting,
                                          assemble(n_estimators, layer_width, learning_rate, layers))
            assert isinstance(assembled, vandu.DeepGradientBoosting)
            estimator.model_ = assembled
            _inspect_kept(estimator, original)


def _inspect_kept(estimator: "DeepGradientBoostingRegressor", x: Matrix) -> None:
    # The importances and node counts describe the layers held, finished or not; a failure here must not
    # hide the fit's own outcome, which the caller reports.
    if sys.exc_info()[0] is None:
        fit_inspection(estimator, x)
        return
    try:
        fit_inspection(estimator, x)
    except Exception:
        pass


class _NoParallel:
    def __enter__(self) -> "_NoParallel":
        return self

    def __exit__(self, *exc: object) -> None:
        return None


def _parallel(n_jobs: Optional[int]) -> Any:
    if n_jobs is None:
        return _NoParallel()
    Parallel = importlib.import_module("joblib").Parallel

    # One task per dispatch, and the results as they come, for the progress bar; all at the end where the
    # backend cannot give them as they come (Ray's).
    try:
        return Parallel(n_jobs=n_jobs, batch_size=1, return_as="generator_unordered")
    except ValueError:
        return Parallel(n_jobs=n_jobs, batch_size=1)

