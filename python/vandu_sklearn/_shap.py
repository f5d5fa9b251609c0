"""The fitted trees in the form SHAP's TreeExplainer reads: each childless side an explicit leaf weighted by
its rows, the model's own rule for ties and NaN, float64 throughout."""
from __future__ import annotations

import importlib
from typing import Any, Dict, List, Optional

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.utils.validation import check_is_fitted, validate_data

import vandu

from . import _native
from ._inspect import Boosting, Parsed, Trees, _column, _fitted, _with_right, native_model


def _shap_tree(trees: Trees, counts: NDArray[np.int64], tree: int, scale: float) -> Dict[str, NDArray[Any]]:
    """One tree as shap reads it. The tree's nodes keep their numbers; each side without a child becomes a
    leaf numbered after them. A row goes left when ``x <= threshold`` and NaN goes left, as in the model."""
    first, last = int(trees.start[tree]), int(trees.start[tree + 1])
    n = last - first
    children = [np.zeros(n, dtype=np.int64), np.zeros(n, dtype=np.int64)]
    leaf_value: List[float] = []
    leaf_weight: List[int] = []
    for node in range(first, last):
        for side, (child, value) in enumerate([(trees.left_child[node], trees.left_value[node]),
                                               (trees.right_child[node], trees.right_value[node])]):
            if child >= 0:
                children[side][node - first] = child - first
            else:
                children[side][node - first] = n + len(leaf_value)
                leaf_value.append(value * scale)
                leaf_weight.append(int(counts[node, 1 + side]))
    n_leaves = len(leaf_value)
    left = np.concatenate([children[0], np.full(n_leaves, -1, dtype=np.int64)])
    right = np.concatenate([children[1], np.full(n_leaves, -1, dtype=np.int64)])
    weight = np.concatenate([counts[first:last, 0], leaf_weight]).astype(np.float64)
    values = np.concatenate([np.zeros(n), leaf_value])
    # An inner node's value is the weighted mean of its leaves: the root's is the tree's expected output.
    for node in range(n - 1, -1, -1):
        values[node] = (weight[left[node]] * values[left[node]]
                        + weight[right[node]] * values[right[node]]) / weight[node]
    return {"children_left": left, "children_right": right, "children_default": left.copy(),
            "features": np.concatenate([trees.feature[first:last], np.full(n_leaves, -1, dtype=np.int64)]),
            "thresholds": np.concatenate([trees.threshold[first:last], np.full(n_leaves, -1.0)]),
            "values": values.reshape(-1, 1), "node_sample_weight": weight}


def _shap_dict(model: Parsed, counts: NDArray[np.int64]) -> Dict[str, Any]:
    if isinstance(model, Trees):
        trees, scale, offset = model, 1.0, 0.0
    elif isinstance(model, Boosting):
        trees, scale, offset = model.trees, model.learning_rate, model.mean
    else:
        raise TypeError("a deep model has no single set of trees for shap")
    if trees.n_nodes == 0:
        raise ValueError("the tree has no node (no feature took two values in fit), so it predicts nothing")
    return {"trees": [_shap_tree(trees, counts, tree, scale) for tree in range(trees.n_trees)],
            "base_offset": offset, "tree_output": "raw_value", "objective": "squared_error",
            "input_dtype": np.float64, "internal_dtype": np.float64}


def shap_model(estimator: Any) -> Dict[str, Any]:
    """The fitted trees as the dictionary ``shap.TreeExplainer`` accepts; see the estimators' ``to_shap``."""
    model, counts = _fitted(estimator)
    return _shap_dict(model, counts)


def _checked_rows(X: ArrayLike, n_features: Optional[int]) -> NDArray[np.float64]:
    from sklearn.utils import check_array

    rows: NDArray[np.float64] = check_array(X, dtype=np.float64, order="C", ensure_all_finite="allow-nan")
    if n_features is not None and rows.shape[1] != n_features:
        raise ValueError(f"X has {rows.shape[1]} features, but the model reads {n_features}")
    return rows


def to_shap(model: Any, X: ArrayLike) -> Any:
    """A ``shap.TreeExplainer`` of ``model``, with the rows of ``X`` giving the node covers.

    ``model`` is a native ``vandu.DecisionTree`` or ``vandu.GradientBoosting`` (fitted or loaded) or a fitted
    ``DecisionTreeRegressor`` / ``GradientBoostingRegressor``. Each node's weight is the number of rows of
    ``X`` that reach it (pass the training data for the usual interventional-free tree SHAP). Feature names
    travel from ``X``'s columns (a DataFrame) or the estimator's ``feature_names_in_``.
    """
    shap = importlib.import_module("shap")
    names = getattr(model, "feature_names_in_", None)
    if hasattr(X, "columns"):
        names = np.asarray(X.columns, dtype=object)
    if hasattr(model, "model_") and hasattr(model, "n_features_in_"):
        check_is_fitted(model)
        native, n_features = model.model_, model.n_features_in_
        rows = validate_data(model, X, dtype=np.float64, order="C", reset=False, ensure_all_finite="allow-nan")
    elif isinstance(model, (vandu.DecisionTree, vandu.GradientBoosting)):
        native = model
        rows = _checked_rows(X, None)
        n_features = rows.shape[1]
    else:
        raise TypeError("to_shap explains a vandu.DecisionTree or vandu.GradientBoosting, or a fitted "
                        f"DecisionTreeRegressor or GradientBoostingRegressor, not {type(model).__name__}")
    if not isinstance(native, (vandu.DecisionTree, vandu.GradientBoosting)):
        raise TypeError(f"to_shap explains trees and boosting, not {type(native).__name__}")
    parsed = native_model(native, n_features)
    counts = _with_right(_column(_native.walk_samples(native, np.ascontiguousarray(rows))).reshape(-1, 2))
    names_list = None if names is None else [str(name) for name in names]
    return shap.TreeExplainer(_shap_dict(parsed, counts), feature_names=names_list)



class ShapExplained:
    """The conversion for ``shap.TreeExplainer``."""

    def to_shap(self) -> Dict[str, Any]:
        """The fitted trees as the dictionary of arrays that ``shap.TreeExplainer`` accepts.

        ``shap.TreeExplainer(model.to_shap())`` explains ``predict`` exactly: the SHAP values of a row plus
        the expected value equal its prediction (up to rounding). Each side of a split without a child becomes
        an explicit leaf; node weights are the training rows at each node; a value equal to the threshold and
        NaN go left, as in the model; inputs stay float64.

        Raises
        ------
        ValueError
            A tree without a node (fitted on data where no feature took two values), which predicts nothing.
        """
        return shap_model(self)
