"""scikit-learn estimators over vandu's native models.

``DecisionTreeRegressor``, ``GradientBoostingRegressor`` and ``DeepGradientBoostingRegressor`` follow
scikit-learn's conventions: constructor parameters are stored as given and checked in ``fit``, ``fit``
returns the estimator, any array-like input is validated and converted by scikit-learn, failures are
ordinary exceptions, and fitted estimators pickle (the native model travels as its bincode bytes), so they
work in Pipeline, GridSearchCV, cross_val_score, joblib and distributed engines such as Dask.

Fits are randomised and cannot be seeded: two fits of the same data differ. Needs scikit-learn 1.6 or later.
"""
from __future__ import annotations

import math
import numbers
from typing import Any, Callable, ClassVar, Dict, Iterator, Optional, Tuple, Type, TypeVar

import numpy as np
import sklearn
from numpy.typing import ArrayLike, NDArray
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils import check_array, check_scalar

try:
    from sklearn.utils import Tags
    from sklearn.utils.validation import check_is_fitted, validate_data
except ImportError as err:  # older than 1.6
    raise ImportError(f"vandu_sklearn needs scikit-learn 1.6 or later, found {sklearn.__version__}") from err

import vandu

from . import _native
from ._inspect import TreeInspection, apply, counts_state, fit_inspection, staged_predict
from ._onnx import install_registration_hook, to_onnx
from ._shap import ShapExplained, to_shap
from . import _early_stopping
from ._scratch import NativeModel
from ._scratch import model_bytes as _model_bytes
from ._scratch import model_from_bytes

__all__ = [
    "DecisionTreeRegressor",
    "GradientBoostingRegressor",
    "DeepGradientBoostingRegressor",
    "NativeModelError",
    "ClusterLostError",
    "EXPECTED_FAILED_CHECKS",
    "to_shap",
    "to_onnx",
]

_Estimator = TypeVar("_Estimator", bound="_VanduRegressor")

_SEED_REASON = "compares two separate fits, which differ: fits are randomised and cannot be seeded"

EXPECTED_FAILED_CHECKS: Dict[str, str] = {
    name: _SEED_REASON
    for name in ("check_fit_idempotent", "check_regressor_data_not_an_array", "check_regressors_int",
                 "check_supervised_y_2d")
}
"""The scikit-learn estimator checks that these estimators fail, with the reason; pass it as
``expected_failed_checks`` to ``check_estimator`` or ``parametrize_with_checks``."""

# Inclusive bounds of each integer parameter: the native type's range, less values that cannot fit a model.
_INTEGER_RANGES: Dict[str, Tuple[int, int]] = {
    "depth": (1, 255),
    "min_samples_split": (0, 2**64 - 1),
    "n_estimators": (1, 2**32 - 1),
    "layer_width": (1, 2**32 - 1),
}


class NativeModelError(RuntimeError):
    """A failure reported by the native model.

    The message includes the native one; ``__cause__`` is the native exception (``pyo3_runtime.PanicException``,
    which derives from ``BaseException`` and so escapes ``except Exception``).
    """


def _is_native_failure(err: BaseException) -> bool:
    cls = type(err)
    return cls.__name__ == "PanicException" and cls.__module__ == "pyo3_runtime"


_Result = TypeVar("_Result")


def _native_call(what: str, call: Callable[..., _Result], *args: Any) -> _Result:
    try:
        return call(*args)
    except BaseException as err:
        if _is_native_failure(err):
            raise NativeModelError(f"{what} failed in the native model: {err}") from err
        raise


def _check_parameter(name: str, value: Any) -> None:
    if name == "learning_rate":
        check_scalar(value, name, numbers.Real, min_val=0.0)
        if not math.isfinite(value):
            raise ValueError(f"learning_rate == {value}, must be finite.")
    else:
        low, high = _INTEGER_RANGES[name]
        check_scalar(value, name, numbers.Integral, min_val=low, max_val=high)


class ClusterLostError(RuntimeError):
    """A distributed deep fit lost its cluster (the scheduler, the connection, every worker).

    The message names the layers kept in ``model_`` and says how to resume (``warm_start=True``);
    ``__cause__`` is the engine's own error.
    """


def _model_from_bytes(native_class: Type[NativeModel], data: bytes) -> NativeModel:
    return _native_call(f"loading a {native_class.__name__}", model_from_bytes, native_class, data)


class _VanduRegressor(TreeInspection, RegressorMixin, BaseEstimator):  # type: ignore[misc]
    """The scikit-learn side shared by the three estimators; each names its native class."""

    _native_class: ClassVar[Type[NativeModel]]
    # Parameters of the Python side only, not passed to the native constructor.
    _python_parameters: ClassVar[Tuple[str, ...]] = ()

    n_features_in_: int
    feature_names_in_: NDArray[np.object_]
    model_: NativeModel

    def _make_model(self) -> NativeModel:
        params: Dict[str, Any] = {name: value for name, value in self.get_params().items()
                                  if name not in self._python_parameters}
        for name, value in params.items():
            _check_parameter(name, value)
        # A numbers.Integral need not have __index__, which the native constructor relies on.
        arguments: Dict[str, Any] = {name: float(value) if name == "learning_rate" else int(value)
                                     for name, value in params.items()}
        return self._native_class(**arguments)

    def fit(self: _Estimator, X: ArrayLike, y: ArrayLike) -> _Estimator:
        """Fits a new native model to ``X`` (samples x features) and ``y`` (one target per sample).

        Any array-like of numbers is accepted and converted to C-ordered float64. Refits from scratch.

        Returns
        -------
        self

        Raises
        ------
        TypeError, ValueError
            A parameter of the wrong type or out of its range; NaN or infinity, fewer than two samples,
            ``X`` and ``y`` of different lengths.
        NativeModelError
            The native fit failed (for example ``DeepGradientBoostingRegressor`` on too few samples for its
            five-fold search).
        """
        model = self._make_model()
        X_checked, y_checked = validate_data(self, X, y, dtype=np.float64, order="C", y_numeric=True,
                                             ensure_min_samples=2)
        targets = np.asarray(y_checked, dtype=np.float64)
        _native_call(f"{type(self).__name__}.fit", model.fit, X_checked, targets)
        self.model_ = model
        fit_inspection(self, X_checked)
        return self

    def predict(self, X: ArrayLike) -> NDArray[np.float64]:
        """Predictions of the fitted model, one per row of ``X``: a new float64 array.

        Raises
        ------
        sklearn.exceptions.NotFittedError
            Before ``fit``.
        ValueError
            NaN or infinity, no rows, or a number of features other than that seen in ``fit``.
        NativeModelError
            The native prediction failed.
        """
        check_is_fitted(self)
        X_checked = validate_data(self, X, dtype=np.float64, order="C", reset=False)
        predicted = _native_call(f"{type(self).__name__}.predict", self.model_.predict, X_checked)
        # The native result is read-only; scikit-learn code expects to own what predict returns.
        return np.array(predicted, dtype=np.float64)

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        tags.non_deterministic = True
        return tags

    def __getstate__(self) -> Dict[str, Any]:
        # A copy: from Python 3.11 on, object.__getstate__ hands back the instance's own __dict__.
        state = dict(super().__getstate__())
        if "model_" in state:
            state.update(counts_state(self))  # the saved bytes hold no node counts
            state["model_"] = _model_bytes(state["model_"])
        return state

    def __setstate__(self, state: Dict[str, Any]) -> None:
        state = dict(state)
        if "model_" in state:
            state["model_"] = _model_from_bytes(self._native_class, state["model_"])
        super().__setstate__(state)


class DecisionTreeRegressor(ShapExplained, _VanduRegressor):
    """A depth-limited regression tree of randomised splits (``vandu.DecisionTree``).

    Every node draws one threshold per feature uniformly between the feature's smallest and largest value
    among its samples and keeps the feature whose split leaves the least squared deviation.

    Parameters
    ----------
    depth : int, default=3
        Levels of splits, 1 to 255.
    min_samples_split : int, default=2
        A node with fewer samples is a leaf.

    Attributes
    ----------
    model_ : vandu.DecisionTree
        The fitted native model.
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of str
        Names of the features seen in ``fit``, when ``X`` had string column names.
    feature_importances_ : ndarray of shape (n_features_in_,)
        The total decrease of squared deviation that the splits on each feature bring on the training data
        (scikit-learn's impurity importance), normalised to sum to 1; all zeros for a tree without a split.
    feature_split_counts_ : ndarray of int64, shape (n_features_in_,)
        The number of splits on each feature.
    """

    _native_class = vandu.DecisionTree
    model_: vandu.DecisionTree

    def __init__(self, depth: int = 3, min_samples_split: int = 2) -> None:
        self.depth = depth
        self.min_samples_split = min_samples_split

    def apply(self, X: ArrayLike) -> NDArray[np.int64]:
        """The leaf each row of ``X`` reaches: its number in the tree's rows of ``trees_table`` (``node``)."""
        return apply(self, X)

    def __sklearn_tags__(self) -> Tags:
        tags = super().__sklearn_tags__()
        # One random tree at a low depth can miss scikit-learn's training-score bar on its tiny data sets.
        tags.regressor_tags.poor_score = True
        return tags


class GradientBoostingRegressor(ShapExplained, _VanduRegressor):
    """Gradient boosting of randomised-split trees on squared error (``vandu.GradientBoosting``).

    Starts from the target mean; every stage fits a tree to the residuals and is scaled by the learning rate.

    Parameters
    ----------
    depth : int, default=3
        Levels of splits of every tree, 1 to 255.
    min_samples_split : int, default=2
        A node with fewer samples is a leaf.
    n_estimators : int, default=100
        Boosting stages, at least 1.
    learning_rate : float, default=0.1
        Scale of every stage, finite and not negative.
    n_iter_no_change : int or None, default=None
        None fits ``n_estimators`` stages. An integer (at least 1) stops early on a validation set: see ``fit``.
    validation_fraction : float, default=0.1
        The share of the rows held out at random for early stopping when ``fit`` gets no validation set;
        strictly between 0 and 1.
    tol : float, default=1e-4
        The least decrease of the validation loss that counts as one, for early stopping; not negative.

    Attributes
    ----------
    model_ : vandu.GradientBoosting
        The fitted native model (with early stopping, of the stages kept).
    n_estimators_ : int
        The stages ``model_`` holds.
    validation_score_ : ndarray of shape (stages fitted,)
        With early stopping: the validation loss (mean squared error) after every stage fitted.
    train_score_ : ndarray of shape (stages fitted,)
        With early stopping: the training rows' mean squared residual after every stage fitted.
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of str
        Names of the features seen in ``fit``, when ``X`` had string column names.
    feature_importances_ : ndarray of shape (n_features_in_,)
        The decrease of squared deviation of the stage's residuals that the splits on each feature bring on
        the training data, totalled over all stages and normalised to sum to 1, as scikit-learn's
        ``GradientBoostingRegressor`` does (late stages, fitted to small residuals, weigh little).
    feature_split_counts_ : ndarray of int64, shape (n_features_in_,)
        The number of splits on each feature, over all stages (LightGBM's ``importance_type="split"``).
    """

    _native_class = vandu.GradientBoosting
    _python_parameters = ("n_iter_no_change", "validation_fraction", "tol")
    model_: vandu.GradientBoosting
    n_estimators_: int
    validation_score_: NDArray[np.float64]
    train_score_: NDArray[np.float64]

    def __init__(self, depth: int = 3, min_samples_split: int = 2, n_estimators: int = 100,
                 learning_rate: float = 0.1, n_iter_no_change: Optional[int] = None,
                 validation_fraction: float = 0.1, tol: float = 1e-4) -> None:
        self.depth = depth
        self.min_samples_split = min_samples_split
        self.n_estimators = n_estimators
        self.learning_rate = learning_rate
        self.n_iter_no_change = n_iter_no_change
        self.validation_fraction = validation_fraction
        self.tol = tol

    def fit(self, X: ArrayLike, y: ArrayLike, X_val: Optional[ArrayLike] = None,
            y_val: Optional[ArrayLike] = None) -> "GradientBoostingRegressor":
        """Fits the stages to ``X`` and ``y``; with ``n_iter_no_change``, stops early on a validation set.

        With ``n_iter_no_change`` set, ``X_val`` and ``y_val`` (both or neither) are the validation set and every
        row of ``X`` trains; without them ``validation_fraction`` of the rows is held out at random. After stage
        k the validation loss L_k is the mean squared error of the k-stage prediction (L_0: the mean's); the fit
        stops after stage k once none of the last ``n_iter_no_change`` stages lowered the least loss before them
        by more than ``tol``, and keeps stages 1 to b, b the first stage of least loss. Data on which no feature
        takes two values gives the constant model of the mean of ``y``, as scikit-learn's estimators do.

        Returns
        -------
        self
        """
        model = self._make_model()
        assert isinstance(model, vandu.GradientBoosting)
        patience = self.n_iter_no_change
        if patience is not None:
            _early_stopping.check_parameters(patience, self.validation_fraction, self.tol)
        _early_stopping.check_validation_set(X_val, y_val, patience)
        X_checked, y_checked = validate_data(self, X, y, dtype=np.float64, order="C", y_numeric=True,
                                             ensure_min_samples=2)
        targets = np.asarray(y_checked, dtype=np.float64)
        for name in ("validation_score_", "train_score_"):
            self.__dict__.pop(name, None)
        if patience is None:
            if _constant_features(X_checked):
                _native.fit_constant(model, X_checked, targets)
                self.n_estimators_ = 1
            else:
                _native_call("GradientBoostingRegressor.fit", model.fit, X_checked, targets)
                self.n_estimators_ = int(self.n_estimators)
        else:
            given: Tuple[Optional[NDArray[np.float64]], Optional[NDArray[np.float64]]] = (None, None)
            if X_val is not None:
                x_given = validate_data(self, X_val, dtype=np.float64, order="C", reset=False)
                y_given = np.asarray(check_array(y_val, ensure_2d=False, dtype=np.float64), dtype=np.float64)
                if y_given.ndim != 1 or len(y_given) != len(x_given):
                    raise ValueError("y_val must hold one target per row of X_val")
                given = (x_given, y_given)
            split = _early_stopping.holdout(X_checked, targets, *given, patience, self.validation_fraction)
            x_train, y_train = split.x, split.y
            if _constant_features(x_train):
                _native.fit_constant(model, x_train, y_train)
                self.validation_score_ = np.zeros(0)
                self.train_score_ = np.zeros(0)
            else:
                _, validation, training = _native_call(
                    "GradientBoostingRegressor.fit", _native.fit_early_stopping, model, x_train, y_train,
                    np.ascontiguousarray(split.x_val), split.y_val, int(patience), float(self.tol))
                self.validation_score_ = np.frombuffer(validation[1], dtype=validation[0]).copy()
                self.train_score_ = np.frombuffer(training[1], dtype=training[0]).copy()
            self.n_estimators_ = len(model_stages(model))
        self.model_ = model
        fit_inspection(self, X_checked)
        return self

    def staged_predict(self, X: ArrayLike) -> Iterator[NDArray[np.float64]]:
        """The predictions for ``X`` after each stage: a generator of one new float64 array per stage.

        Stage k's is ``mean`` + ``learning_rate`` x (outputs of stages 0 to k), formed as ``predict`` forms its
        sum, so the last one is the very bits of ``predict(X)``. ``X`` is checked as by ``predict``, at once.
        """
        return staged_predict(self, X)

    def apply(self, X: ArrayLike) -> NDArray[np.int64]:
        """The leaf each row of ``X`` reaches in every stage, shape (n_samples, n_stages): its number in that
        stage's rows of ``trees_table`` (``node``)."""
        return apply(self, X)

    def truncated(self, k: int) -> "GradientBoostingRegressor":
        """A new fitted estimator of the first ``k`` stages: its predictions are the k-th ``staged_predict``."""
        check_is_fitted(self)
        stages = len(model_stages(self.model_))
        check_scalar(k, "k", numbers.Integral, min_val=1, max_val=stages)
        other = type(self)(**{**self.get_params(), "n_estimators": int(k)})
        cut = vandu.GradientBoosting()
        _native.truncate(self.model_, cut, int(k))
        for name in ("n_features_in_", "feature_names_in_"):
            if name in self.__dict__:
                setattr(other, name, self.__dict__[name])
        other.model_ = cut
        other.n_estimators_ = int(k)
        if _native.node_samples(cut) is None:  # loaded: the counts kept with this estimator, cut
            counts = counts_state(self)
            if counts:
                n_nodes = int(np.frombuffer(_native.flatten(cut, self.n_features_in_)["start"][1],
                                            dtype=np.int64)[-1])
                other._node_samples_ = counts["_node_samples_"][:n_nodes]
                other._model_key_ = _native.fingerprint(cut)
        return other


def model_stages(model: vandu.GradientBoosting) -> NDArray[np.int64]:
    """The first node of every stage of a native GradientBoosting, then the total."""
    start = _native.flatten(model, 2**63)["start"]
    return np.frombuffer(start[1], dtype=start[0])[1:]


def _constant_features(x: NDArray[np.float64]) -> bool:
    """No feature takes two values (the native fit would fail at its first stage)."""
    # Column by column: the first feature of two values ends the search, usually the first one.
    return not any(np.any(column != column[0]) for column in x.T) if len(x) else True


class DeepGradientBoostingRegressor(_VanduRegressor):
    """Layers of averaged gradient-boosting models, boosted across layers (``vandu.DeepGradientBoosting``).

    Each layer is fitted to the residual of the layers before it, sees the input features plus the earlier
    layers' predictions, and picks its members' parameters by a five-fold cross-validated search; the work
    runs on one worker thread per processor. Needs about ten samples or more.

    Parameters
    ----------
    n_estimators : int, default=5
        Layers, at least 1.
    layer_width : int, default=5
        Models per layer, at least 1.
    learning_rate : float, default=0.25
        Scale of every layer after the first, finite and not negative.
    n_jobs : int or None, default=None
        None runs the native fit on this process's worker pool. An integer runs every layer's search fits
        and member fits as tasks of the active joblib backend (loky processes by default; Dask or Ray under
        ``joblib.parallel_config(backend=...)``), that many at a time (-1: as many as the backend has
        workers), longest first; each task runs one native thread. The layers are the native algorithm's.
    verbose : int, default=0
        1 or more shows progress over layers and tasks with the elapsed and the estimated remaining time: a
        tqdm bar where tqdm is installed, else a line per layer.
    warm_start : bool, default=False
        With a fitted model, fit only the layers it lacks up to ``n_estimators``, continuing from the layers
        held. ``X`` and ``y`` must be the data of the first fit (a fingerprint of them is kept with the
        model: other data is refused with ``ValueError``). An interrupted fit (``KeyboardInterrupt``
        however delivered, a lost cluster) keeps the layers it finished, so a warm start resumes it.
    n_iter_no_change : int or None, default=None
        Early stopping over layers: stop once none of the last ``n_iter_no_change`` layers lowered the
        validation loss (mean squared error) below the least seen before them by more than ``tol``, and
        keep the layers up to the first of least validation loss. None: fit every layer.
    validation_fraction : float, default=0.1
        With early stopping and no ``X_val``, the fraction of the rows held out at random to measure it.
    tol : float, default=1e-4
        The decrease of validation loss that counts as an improvement.

    Attributes
    ----------
    model_ : vandu.DeepGradientBoosting
        The fitted native model.
    n_features_in_ : int
        Number of features seen in ``fit``.
    feature_names_in_ : ndarray of str
        Names of the features seen in ``fit``, when ``X`` had string column names.
    feature_importances_ : ndarray of shape (n_features_in_,)
        As for ``GradientBoostingRegressor``, totalled over every stage of every member of every layer.
        A split on an earlier member's prediction is credited to the input features in the proportions of
        that member's own importances, so it counts for the inputs the prediction is made from.
    feature_split_counts_ : ndarray of int64, shape (n_features_in_,)
        The number of splits on each input feature, over all members' stages; splits on earlier members'
        predictions are not counted.
    n_estimators_ : int
        Layers held by ``model_`` (with early stopping, the layers up to the best).
    train_score_ : ndarray of shape (layers fitted,)
        With early stopping, the training rows' mean squared error after each layer fitted.
    validation_score_ : ndarray of shape (layers fitted,)
        With early stopping, the validation rows' mean squared error after each layer fitted.
    """

    _native_class = vandu.DeepGradientBoosting
    _python_parameters = ("n_jobs", "verbose", "warm_start", "n_iter_no_change", "validation_fraction", "tol")
    model_: vandu.DeepGradientBoosting
    n_estimators_: int
    train_score_: NDArray[np.float64]
    validation_score_: NDArray[np.float64]

    def __init__(self, n_estimators: int = 5, layer_width: int = 5, learning_rate: float = 0.25,
                 n_jobs: Optional[int] = None, verbose: int = 0, warm_start: bool = False,
                 n_iter_no_change: Optional[int] = None, validation_fraction: float = 0.1,
                 tol: float = 1e-4) -> None:
        self.n_estimators = n_estimators
        self.layer_width = layer_width
        self.learning_rate = learning_rate
        self.n_jobs = n_jobs
        self.verbose = verbose
        self.warm_start = warm_start
        self.n_iter_no_change = n_iter_no_change
        self.validation_fraction = validation_fraction
        self.tol = tol

    def fit(self, X: ArrayLike, y: ArrayLike, X_val: Optional[ArrayLike] = None,
            y_val: Optional[ArrayLike] = None) -> "DeepGradientBoostingRegressor":
        """Fits the layers to ``X`` (samples x features) and ``y``: the native fit, or with ``n_jobs`` every
        layer's fits as joblib tasks; with ``warm_start`` and a fitted model only the layers it lacks.

        ``X_val`` and ``y_val``, with ``n_iter_no_change`` only: the rows that measure early stopping, as
        given (every row of ``X`` then trains); without them ``validation_fraction`` of the rows is held out.

        Returns
        -------
        self

        Raises
        ------
        TypeError, ValueError
            As the other estimators' ``fit``; also ``n_jobs``, ``verbose``, ``warm_start``,
            ``n_iter_no_change``, ``validation_fraction`` or ``tol`` out of range, and under ``warm_start``
            fewer layers than held, another ``layer_width`` or ``learning_rate``, or other data.
        NativeModelError
            A native fit failed (too few samples for the five-fold search, a NaN score). A fit that fails or
            is interrupted after finishing layers keeps them in ``model_``.
        ClusterLostError
            The cluster of a distributed fit was lost; the layers finished are kept in ``model_``.
        """
        from . import _deep

        _deep.fit(self, X, y, X_val, y_val)
        return self


# skl2onnx converts the three estimators once it is imported, before or after this module.
install_registration_hook()
