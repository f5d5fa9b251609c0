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

import hashlib
import importlib
import math
import numbers
import os
import sys
from typing import TYPE_CHECKING, Any, Callable, List, Optional, Sequence, Tuple, TypeVar

import numpy as np
from numpy.typing import NDArray
from sklearn.utils.validation import validate_data

import vandu

from . import ClusterLostError, NativeModelError, _model_from_bytes, _native_call
from . import _early_stopping
from . import _native as _companion
from ._cluster import engine_failure, parallel as _parallel, resolve as _resolve, shared as _shared
from ._inspect import fit_inspection
from ._interrupts import deferred_interrupts, waiting
from ._progress import Progress
from ._scratch import model_bytes as _model_bytes

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


def fold_batch_task(jobs: Sequence[Tuple[int, Combination, Tuple[int, int, int, int]]], x: Any, r: Any,
                    parent: int) -> List[Tuple[int, float]]:
    """Several short hold-out evaluations in one task: each dispatch costs a round trip to the engine."""
    return [fold_task(key, x, r, combination, ranges, parent) for key, combination, ranges in jobs]


def batches(costs: Sequence[float]) -> List[List[int]]:
    """The jobs of the given costs in batches of at most half the costliest's cost (a job that costs more
    is a batch of its own), first fit in decreasing cost; the batches costliest first, so that no long
    one starts last."""
    order = sorted(range(len(costs)), key=lambda j: -costs[j])
    capacity = max(costs, default=0.0) / 2.0
    found: List[List[int]] = []
    loads: List[float] = []
    for j in order:
        for b, load in enumerate(loads):
            if load + costs[j] <= capacity:
                found[b].append(j)
                loads[b] += costs[j]
                break
        else:
            found.append([j])
            loads.append(costs[j])
    ranked = sorted(range(len(found)), key=lambda b: -loads[b])
    return [found[b] for b in ranked]


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


def _combination(model_record: bytes) -> Combination:
    depth, stages, rate = _companion.boosting_parameters(model_record)
    return depth, stages, rate


def _member_predictions(layer: Layer, x: Matrix) -> List[Matrix]:
    members = [_model_from_bytes(vandu.GradientBoosting, record) for record in layer]
    return [np.array(waiting(_native, "a member's prediction", member.predict, x)) for member in members]


def _layer_on_native_pool(x: Matrix, r: Matrix, width: int) -> Layer:
    # A one-layer native model fitted to (x, r) is exactly the deep model's layer for that x and r.
    model = vandu.DeepGradientBoosting(1, width, 1.0)
    waiting(_native, "DeepGradientBoostingRegressor.fit", model.fit, x, r)
    return split(_model_bytes(model))[3][0]


def _constant_layer(x: Matrix, r: Matrix, width: int) -> Layer:
    # No feature varies: nothing to split on, so every member predicts the residual's mean, as
    # scikit-learn's estimators do on such data (the native fit refuses it).
    member = vandu.GradientBoosting(2, 2, 1, 0.1)
    _companion.fit_constant(member, x, r)
    return [_model_bytes(member)] * width


def _each(results: Any) -> Any:
    """The results of a joblib call as they come; an interrupt while waiting for one raises at once."""
    iterator = iter(results)
    while True:
        try:
            item = waiting(next, iterator)
        except StopIteration:
            return
        yield item


def _layer_as_tasks(parallel: Any, x: Matrix, r: Matrix, width: int, layer: int, predict: bool,
                    progress: Progress) -> Tuple[Layer, Optional[List[Matrix]]]:
    delayed = importlib.import_module("joblib").delayed
    n = x.shape[0]
    if n // FOLDS < 2:
        raise NativeModelError(f"DeepGradientBoostingRegressor.fit failed: its {FOLDS}-fold search needs at "
                               f"least {2 * FOLDS} samples, got {n}")
    parent = os.getpid()
    ranges = evaluations(n)
    with _shared(x, r) as (xs, rs):
        # Longest first, so that no long fit starts last; the short fits go in batches.
        jobs = [(c * len(ranges) + e, GRID[c], ranges[e]) for c in range(len(GRID)) for e in range(len(ranges))]
        costs = [progress.search_cost(layer, combination, span[1] - span[0]) for _, combination, span in jobs]
        errors = np.full((len(GRID), len(ranges)), np.nan)
        for found in _each(parallel(delayed(fold_batch_task)([jobs[j] for j in batch], xs, rs, parent)
                                    for batch in batches(costs))):
            for key, error in found:
                errors[divmod(key, len(ranges))] = error
                progress.advance(costs[key])
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
        progress.choose(layer, GRID[best])
        members: List[Optional[bytes]] = [None] * width
        predictions: List[Optional[Matrix]] = [None] * width
        for key, record, predicted in _each(parallel(delayed(member_task)(m, xs, rs, GRID[best], predict, parent)
                                                     for m in range(width))):
            members[key], predictions[key] = record, predicted
            progress.advance(progress.member_cost(layer, GRID[best]))
    layer_records = [record for record in members if record is not None]
    if not predict:
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
    _early_stopping.check_parameters(estimator.n_iter_no_change, estimator.validation_fraction, estimator.tol)


def fingerprint(x: Matrix, y: Matrix) -> Tuple[Tuple[int, ...], Tuple[int, ...], str]:
    """The shapes and a digest of the data a model was fitted on (C-ordered float64, as validated)."""
    digest = hashlib.blake2b(digest_size=16)
    for data in (x, y):
        contiguous: Any = np.ascontiguousarray(data)  # read in place, through the buffer protocol
        digest.update(contiguous)
    return tuple(x.shape), tuple(y.shape), digest.hexdigest()


class _Fit:
    """One fit's state: the layers held and fitted, the data as the next layer sees it, early stopping."""

    def __init__(self, estimator: "DeepGradientBoostingRegressor", x: Matrix, y: Matrix,
                 data: _early_stopping.Holdout, held: List[Layer]) -> None:
        self.estimator = estimator
        self.n_estimators = int(estimator.n_estimators)
        self.width = int(estimator.layer_width)
        self.rate = float(estimator.learning_rate)
        self.original, self.y = x, y
        self.x, self.r = data.x, np.array(data.y, dtype=np.float64)
        self.train_x, self.rows = data.x, data.rows
        self.x_val, self.y_val = data.x_val, data.y_val
        self.val_prediction: Optional[Matrix] = None
        self.stopping = data.x_val is not None
        self.losses: List[float] = []
        self.train_losses: List[float] = []
        if self.stopping:
            assert self.y_val is not None
            self.losses.append(_early_stopping.mean_squared_error(
                np.full_like(self.y_val, float(np.mean(self.r))), self.y_val))
        self.constant = not bool(np.any(data.x.max(axis=0) > data.x.min(axis=0)))
        self.layers: List[Layer] = []
        self.kept = 0
        for layer in held:
            self.add(layer, None)
        self.kept = len(self.layers)

    def add(self, layer: Layer, predictions: Optional[List[Matrix]]) -> None:
        """Takes a finished layer: the features and residual grow by it, and its losses are measured."""
        i = len(self.layers)
        self.layers.append(layer)
        if len(self.layers) == self.n_estimators and not self.stopping:
            return  # nothing follows it
        if predictions is None:
            predictions = _member_predictions(layer, self.x)
        scale = 1.0 if i == 0 else self.rate
        self.x = np.hstack([self.x] + [p[:, None] for p in predictions])
        self.r = self.r - (scale * column_means(predictions))
        if self.stopping:
            assert self.x_val is not None and self.y_val is not None
            val_predictions = _member_predictions(layer, self.x_val)
            means = column_means(val_predictions)
            # As the native prediction sums the layers.
            self.val_prediction = (means if self.val_prediction is None
                                   else self.val_prediction + (self.rate * means))
            self.x_val = np.hstack([self.x_val] + [p[:, None] for p in val_predictions])
            self.losses.append(_early_stopping.mean_squared_error(self.val_prediction, self.y_val))
            self.train_losses.append(float(np.mean(self.r * self.r)))

    def done(self) -> bool:
        if len(self.layers) >= self.n_estimators:
            return True
        patience = self.estimator.n_iter_no_change
        return patience is not None and _early_stopping.should_stop(self.losses, int(patience),
                                                                    float(self.estimator.tol))

    def keep(self, finished: bool) -> None:
        """model_ becomes the layers fitted (with early stopping, once finished, those up to the best)."""
        if len(self.layers) == self.kept and finished is False:
            return
        layers, n_estimators = self.layers, self.n_estimators
        if self.stopping and finished:
            best = _early_stopping.best_stage(self.losses)
            layers, n_estimators = self.layers[:best], best
        if not layers:
            return
        estimator = self.estimator
        model = _model_from_bytes(vandu.DeepGradientBoosting,
                                  assemble(n_estimators, self.width, self.rate, layers))
        assert isinstance(model, vandu.DeepGradientBoosting)
        estimator.model_ = model
        estimator._fingerprint_ = fingerprint(self.original, self.y)
        estimator.n_estimators_ = len(layers)
        estimator.train_score_ = np.array(self.train_losses, dtype=np.float64)
        estimator.validation_score_ = np.array(self.losses[1:], dtype=np.float64)
        estimator._holdout_rows_ = self.rows
        _inspect_kept(estimator, self.train_x)  # the rows the layers were fitted on


def _validated(estimator: "DeepGradientBoostingRegressor", X: Any, y: Any, X_val: Any, y_val: Any,
               reset: bool) -> Tuple[Matrix, Matrix, Optional[Matrix], Optional[Matrix]]:
    X_checked, y_checked = validate_data(estimator, X, y, dtype=np.float64, order="C", y_numeric=True,
                                         ensure_min_samples=2, reset=reset)
    x: Matrix = np.asarray(X_checked, dtype=np.float64)
    targets: Matrix = np.ascontiguousarray(y_checked, dtype=np.float64)
    x_val = targets_val = None
    if X_val is not None or y_val is not None:
        if X_val is None or y_val is None:
            raise ValueError("X_val and y_val go together: pass both or neither")
        X_val_checked, y_val_checked = validate_data(estimator, X_val, y_val, dtype=np.float64, order="C",
                                                     y_numeric=True, reset=False)
        x_val = np.asarray(X_val_checked, dtype=np.float64)
        targets_val = np.ascontiguousarray(y_val_checked, dtype=np.float64)
    return x, targets, x_val, targets_val


def fit(estimator: "DeepGradientBoostingRegressor", X: Any, y: Any, X_val: Any = None, y_val: Any = None) -> None:
    """The estimator's fit: the native one unless it asks for joblib tasks, progress, a warm start or early
    stopping. Interrupts that arrive while no fit is running wait until the finished layers are kept."""
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
    x, targets, x_val, y_val_checked = _validated(estimator, X, y, X_val, y_val, reset=not continuing)
    if continuing:
        kept = getattr(estimator, "_fingerprint_", None)
        found = fingerprint(x, targets)
        if kept is not None and tuple(kept) != found:
            raise ValueError(f"warm_start continues the {len(held)} layers held, which were fitted on other "
                             f"data (X {kept[0]}, y {kept[1]}, digest {kept[2]}; given X {found[0]}, y "
                             f"{found[1]}, digest {found[2]}): pass the data of the first fit, or set "
                             "warm_start=False to fit afresh")
    stopping = estimator.n_iter_no_change
    rows = getattr(estimator, "_holdout_rows_", None) if continuing else None
    if stopping is not None and x_val is None and rows is not None:
        # The rows held out by the fit being continued, so that no layer trains on them.
        data = _early_stopping.held_out(x, targets, rows)
    else:
        data = _early_stopping.holdout(x, targets, x_val, y_val_checked, stopping,
                                       float(estimator.validation_fraction))
    with deferred_interrupts():
        state = _Fit(estimator, x, targets, data, held)
        if (not continuing and estimator.n_jobs is None and not estimator.verbose and stopping is None
                and not state.constant):
            _native_fit(estimator, state, x, targets)
        else:
            _layer_by_layer(estimator, state)


def _native_fit(estimator: "DeepGradientBoostingRegressor", state: _Fit, x: Matrix, y: Matrix) -> None:
    native = estimator._make_model()
    try:
        waiting(_native_call, "DeepGradientBoostingRegressor.fit", native.fit, x, y)
    finally:
        # Interrupted or failed, the native model holds the layers it finished: kept, for warm_start.
        assert isinstance(native, vandu.DeepGradientBoosting)
        layers = split(_model_bytes(native))[3]
        if layers:
            estimator.model_ = native
            estimator._fingerprint_ = fingerprint(x, y)
            estimator.n_estimators_ = len(layers)
            estimator.train_score_, estimator.validation_score_ = np.zeros(0), np.zeros(0)
            _inspect_kept(estimator, x)


def _layer_by_layer(estimator: "DeepGradientBoostingRegressor", state: _Fit) -> None:
    first = len(state.layers)
    rows = state.x.shape[0]
    progress = Progress(int(estimator.verbose), first, state.n_estimators, state.width, GRID,
                        [end - start for start, end, _, _ in evaluations(rows)], rows, state.train_x.shape[1],
                        state.width)
    if first == state.n_estimators or state.done():
        if estimator.verbose:
            print(f"[DeepGradientBoostingRegressor] all {first} layers are held: nothing to fit", flush=True)
        state.keep(finished=True)
        return
    finished = False
    try:
        with _parallel(estimator.n_jobs) as parallel:
            while not state.done():
                i = len(state.layers)
                predict = state.stopping or i + 1 < state.n_estimators
                predictions: Optional[List[Matrix]] = None
                try:
                    if state.constant:
                        layer = _constant_layer(state.x, state.r, state.width)
                        progress.advance(progress.layer_cost(i))
                    elif estimator.n_jobs is None:
                        layer = _layer_on_native_pool(state.x, state.r, state.width)
                        progress.advance(progress.layer_cost(i))
                    else:
                        layer, predictions = _layer_as_tasks(parallel, state.x, state.r, state.width, i, predict,
                                                             progress)
                except Exception as err:
                    if engine_failure(err):
                        raise _lost(state, err) from err
                    raise
                state.add(layer, predictions)
                progress.layer_done(i, _combination(layer[0]))
        finished = True
    finally:
        progress.close()
        # An interrupted or failed fit keeps the layers it finished, so that warm_start can resume it.
        state.keep(finished)


def _lost(state: _Fit, err: BaseException) -> ClusterLostError:
    done = len(state.layers)
    kept = (f"model_ keeps the {done} layer{'s' if done != 1 else ''} finished" if done
            else "no layer was finished, model_ is as it was")
    return ClusterLostError(f"DeepGradientBoostingRegressor.fit lost its cluster in layer {done + 1} of "
                            f"{state.n_estimators}: {kept}; fit again with warm_start=True (on the same data) "
                            f"to resume. The engine said: {type(err).__name__}: {err}")


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
