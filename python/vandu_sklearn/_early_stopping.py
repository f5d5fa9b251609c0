"""Early stopping shared by the boosting estimators: the validation rows, the stopping rule, the stage kept.

Losses are indexed by stage: ``losses[0]`` is the loss before any stage (predicting the training mean),
``losses[k]`` the loss after stage k. A fit stops after stage k once none of its last ``n_iter_no_change``
stages brought the loss below the least loss seen before them by more than ``tol``; it keeps the first
stage of least loss among stages 1 to k.
"""
from __future__ import annotations

import math
import numbers
from typing import Any, NamedTuple, Optional, Sequence

import numpy as np
from numpy.typing import NDArray
from sklearn.utils import check_scalar

Matrix = NDArray[np.float64]


class Holdout(NamedTuple):
    """The rows that train and the rows that measure; ``x_val`` is None without early stopping. ``rows``:
    the validation rows' indices in the data given, when they were drawn from it."""
    x: Matrix
    y: Matrix
    x_val: Optional[Matrix]
    y_val: Optional[Matrix]
    rows: Optional[NDArray[np.intp]] = None


def check_parameters(n_iter_no_change: Any, validation_fraction: Any, tol: Any) -> None:
    """scikit-learn's checks of the three parameters (TypeError or ValueError)."""
    if n_iter_no_change is not None:
        # The native fit counts stages in 32 bits.
        check_scalar(n_iter_no_change, "n_iter_no_change", numbers.Integral, min_val=1, max_val=2**32 - 1)
    check_scalar(validation_fraction, "validation_fraction", numbers.Real, min_val=0.0, max_val=1.0,
                 include_boundaries="neither")
    check_scalar(tol, "tol", numbers.Real, min_val=0.0)
    for name, value in (("validation_fraction", validation_fraction), ("tol", tol)):
        if not math.isfinite(value):
            raise ValueError(f"{name} == {value}, must be finite.")


def check_validation_set(x_val: Any, y_val: Any, n_iter_no_change: Optional[int]) -> None:
    """An explicit validation set comes whole, and only with early stopping."""
    if (x_val is None) != (y_val is None):
        raise ValueError("X_val and y_val go together: give both or neither")
    if n_iter_no_change is None and x_val is not None:
        raise ValueError("a validation set is used only with n_iter_no_change set (early stopping)")


def holdout(x: Matrix, y: Matrix, x_val: Optional[Matrix], y_val: Optional[Matrix],
            n_iter_no_change: Optional[int], validation_fraction: float) -> Holdout:
    """The training and validation rows: without early stopping all rows train and there is no validation;
    with an explicit validation set all rows train; otherwise ``validation_fraction`` of the rows, drawn at
    random, are held out (at least one of each)."""
    check_validation_set(x_val, y_val, n_iter_no_change)
    if n_iter_no_change is None:
        return Holdout(x, y, None, None)
    if x_val is not None and y_val is not None:
        return Holdout(x, y, x_val, y_val)
    n = x.shape[0]
    held = int(math.ceil(validation_fraction * n))
    if held < 1 or n - held < 2:
        raise ValueError(f"validation_fraction={validation_fraction} of {n} samples leaves no validation "
                         "rows or fewer than two training rows")
    # Fits cannot be seeded either: the rows held out are drawn afresh on every fit.
    order = np.random.default_rng().permutation(n)
    train, validation = np.sort(order[held:]), np.sort(order[:held])
    return Holdout(np.ascontiguousarray(x[train]), y[train], np.ascontiguousarray(x[validation]),
                   y[validation], validation)


def held_out(x: Matrix, y: Matrix, rows: NDArray[np.intp]) -> Holdout:
    """The split of an earlier fit again: ``rows`` measure, the others train."""
    train = np.ones(len(y), dtype=bool)
    train[rows] = False
    return Holdout(np.ascontiguousarray(x[train]), y[train], np.ascontiguousarray(x[rows]), y[rows], rows)


def mean_squared_error(predicted: Matrix, target: Matrix) -> float:
    difference = predicted - target
    return float(np.mean(difference * difference))


def should_stop(losses: Sequence[float], n_iter_no_change: int, tol: float) -> bool:
    """True after stage k = len(losses) - 1 once none of the last ``n_iter_no_change`` stages lowered the
    least loss seen before them by more than ``tol``."""
    k = len(losses) - 1
    if k < n_iter_no_change:
        return False
    before = min(losses[: k - n_iter_no_change + 1])
    return not min(losses[k - n_iter_no_change + 1:]) < before - tol


def best_stage(losses: Sequence[float]) -> int:
    """The first stage (1 or later) of least loss; NaN losses never win."""
    best = 1
    for k in range(2, len(losses)):
        if losses[k] < losses[best] or (math.isnan(losses[best]) and not math.isnan(losses[k])):
            best = k
    return best
