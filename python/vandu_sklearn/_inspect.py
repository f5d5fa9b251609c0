"""Looking inside fitted estimators: the trees as saved, node sample counts, importances, the trees as a table,
the trees in the form SHAP's TreeExplainer reads, and staged predictions.

The trees come as arrays from the native companion module, which reads the fitted record the native instance
holds, so the numbers here are exactly the model's (those of its saved files). A fitted tree also holds its
nodes' training counts, noted by the fitter as it partitioned the rows: importances, the table and SHAP's node
weights are computed from them on demand, and a pickle carries them beside the model's bytes, tied to that
very model by a hash of its trees. The deep model's importances are computed at fit, from its members' counts
(noted by their fits, or natively walked for layers that were assembled).
"""
from __future__ import annotations

import importlib
import os
import tempfile
from dataclasses import dataclass
from typing import Any, Dict, Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray
from sklearn.utils.validation import check_is_fitted, validate_data

import vandu

from . import _native

# Below this many rows the trees are walked many at a time, level by level (Python's cost per node would
# dominate). From it on, a tree of at most _MASK_WALK_NODES_PER_LEVEL nodes per level is walked node by node
# with a row mask per node: whole contiguous passes over the rows, a third of the level-by-level time for
# trees of depth 3 on 100,000 rows, half of it at depth 5.
_MASK_WALK_ROWS = 2048
_MASK_WALK_NODES_PER_LEVEL = 8
# The level-by-level walk keeps about this many (tree, row) pairs in flight.
_WALK_BATCH = 1 << 20


@dataclass(frozen=True)
class Trees:
    """The trees of one model in one set of node arrays, tree after tree, each tree's nodes in saved order.

    A node is one split: a row goes right when its value of ``feature`` is greater than ``threshold``, left
    otherwise (a value equal to the threshold and NaN go left). ``left_child`` and ``right_child`` are node
    indices into these arrays, or -1 where that side is a leaf, whose answer is ``left_value`` or
    ``right_value``.
    """

    start: NDArray[np.int64]  # first node of every tree, then the total: tree t is start[t]:start[t + 1]
    feature: NDArray[np.int64]
    threshold: NDArray[np.float64]
    impurity: NDArray[np.float64]
    left_value: NDArray[np.float64]
    right_value: NDArray[np.float64]
    left_child: NDArray[np.int64]
    right_child: NDArray[np.int64]
    depth: NDArray[np.int64]
    # Each side's node number within its tree, counting leaves: a tree's leaves (each side without a child)
    # are numbered after its nodes, in node order, left before right. The numbering of the table and apply.
    left_node: Optional[NDArray[np.int64]] = None
    right_node: Optional[NDArray[np.int64]] = None

    @property
    def n_trees(self) -> int:
        return len(self.start) - 1

    @property
    def n_nodes(self) -> int:
        return int(self.start[-1])


@dataclass(frozen=True)
class Boosting:
    """A gradient-boosting model: prediction = ``mean`` + ``learning_rate`` x (sum of the trees' outputs)."""

    trees: Trees
    mean: float
    learning_rate: float


@dataclass(frozen=True)
class Deep:
    """A deep model: ``layers[l][m]`` is member m of layer l; layer l reads the input features followed by the
    predictions of every member of the layers before it."""

    layers: List[List[Boosting]]
    learning_rate: float


Parsed = Union[Trees, Boosting, Deep]  # a DecisionTree's tree, a GradientBoosting, a DeepGradientBoosting


def _column(field: Tuple[str, bytes]) -> NDArray[Any]:
    kind, data = field
    return np.frombuffer(data, dtype=kind)


def _trees(fields: Dict[str, Any]) -> Trees:
    start = _column(fields["start"]).astype(np.int64)
    n_splits = np.diff(start)
    tree_of_node = np.repeat(np.arange(len(n_splits), dtype=np.int64), n_splits)
    first, size = start[:-1][tree_of_node], n_splits[tree_of_node]
    sides = []
    for key in ("left_child", "right_child"):
        number = _column(fields[key])  # within the tree; leaves numbered after the splits
        sides.append((np.where(number < size, number + first, -1).astype(np.int64), number.astype(np.int64)))
    return Trees(start, _column(fields["feature"]).astype(np.int64), _column(fields["threshold"]).copy(),
                 _column(fields["impurity"]).copy(), _column(fields["left_value"]).copy(),
                 _column(fields["right_value"]).copy(), sides[0][0], sides[1][0],
                 _column(fields["depth"]).astype(np.int64), sides[0][1], sides[1][1])


def _boosting(fields: Dict[str, Any]) -> Boosting:
    return Boosting(_trees(fields), float(fields["mean"]), float(fields["learning_rate"]))


def native_model(model: Any, n_features: int) -> Parsed:
    """The trees a native ``DecisionTree``, ``GradientBoosting`` or ``DeepGradientBoosting`` holds, as arrays
    read natively from its record, checked: every node holds a split on a feature below ``n_features`` (for a
    deep member, below the columns it reads), and every node below the root is the child of exactly one node
    with a lower number (so every walk ends)."""
    if not isinstance(model, (vandu.DecisionTree, vandu.GradientBoosting, vandu.DeepGradientBoosting)):
        raise TypeError("model_ must be a DecisionTree, GradientBoosting or DeepGradientBoosting, "
                        f"not {type(model).__name__}")
    fields = _native.flatten(model, int(n_features))
    if isinstance(model, vandu.DecisionTree):
        return _trees(fields)
    if isinstance(model, vandu.GradientBoosting):
        return _boosting(fields)
    return Deep([[_boosting(member) for member in layer] for layer in fields["layers"]],
                float(fields["learning_rate"]))


_KINDS = {"DecisionTree": vandu.DecisionTree, "GradientBoosting": vandu.GradientBoosting,
          "DeepGradientBoosting": vandu.DeepGradientBoosting}


def parse_model(data: bytes, kind: str, n_features: int) -> Parsed:
    """The bincode file of a native ``DecisionTree``, ``GradientBoosting`` or ``DeepGradientBoosting``, read by
    the native reader (the one description of the layout) and handed over as arrays."""
    if kind not in _KINDS:
        raise TypeError(f"model_ must be a DecisionTree, GradientBoosting or DeepGradientBoosting, not {kind}")
    model = _KINDS[kind]()
    with tempfile.TemporaryDirectory(prefix="vandu-") as directory:
        path = os.path.join(directory, "model.bin")
        with open(path, "wb") as file:
            file.write(data)
        try:
            model.load(path, "bincode")
        except BaseException as err:
            if type(err).__name__ != "PanicException":
                raise
            raise ValueError(f"the saved model cannot be read: {err}") from err
    return native_model(model, n_features)


def saved_model(estimator: Any) -> Parsed:
    """The estimator's fitted model, as its record holds it (and its saved files say)."""
    return native_model(estimator.model_, estimator.n_features_in_)


def walk(trees: Trees, columns: NDArray[np.float64], first: int, last: int) -> NDArray[np.float64]:
    """The outputs of trees ``first`` to ``last - 1`` for every column of ``columns`` (features x rows, in C
    order), one row per tree. Every tree must have a node."""
    if np.any(trees.start[first + 1:last + 1] == trees.start[first:last]):
        raise ValueError("a tree without a node cannot predict")
    if columns.shape[1] >= _MASK_WALK_ROWS:
        out = np.empty((last - first, columns.shape[1]), dtype=np.float64)
        for tree in range(first, last):
            nodes = slice(trees.start[tree], trees.start[tree + 1])
            if nodes.stop - nodes.start <= _MASK_WALK_NODES_PER_LEVEL * (trees.depth[nodes].max() + 1):
                _walk_masks(trees, columns, tree, out[tree - first])
            else:
                out[tree - first] = _walk_levels(trees, columns, tree, tree + 1)[0]
        return out
    return _walk_levels(trees, columns, first, last)


def _walk_masks(trees: Trees, columns: NDArray[np.float64], tree: int, out: NDArray[np.float64]) -> None:
    first, last = int(trees.start[tree]), int(trees.start[tree + 1])
    reach: List[Optional[NDArray[np.bool_]]] = [None] * (last - first)  # None: every row (the root)
    for node in range(first, last):
        mask = reach[node - first]
        reach[node - first] = None
        right = columns[trees.feature[node]] > trees.threshold[node]
        left = ~right  # NaN goes left
        if mask is not None:
            left &= mask
            right &= mask
        for side, child, value in ((left, trees.left_child[node], trees.left_value[node]),
                                   (right, trees.right_child[node], trees.right_value[node])):
            if child >= 0:
                reach[child - first] = side
            else:
                np.copyto(out, value, where=side)


def _walk_levels(trees: Trees, columns: NDArray[np.float64], first: int, last: int) -> NDArray[np.float64]:
    # All the (tree, row) pairs move down one level per step, so many small trees cost about what one does.
    # Each side without a child gets a leaf of its own, which keeps every pair where it is (its threshold is
    # infinite and both its children are itself): the steps need no bookkeeping of which pairs are done.
    n_rows = columns.shape[1]
    base = int(trees.start[first])
    size = int(trees.start[last]) - base
    inner = slice(base, base + size)
    leaves = size + np.arange(2 * size, dtype=np.int64)  # node i's left leaf is size + 2i, its right one next
    children = np.concatenate([np.stack([trees.left_child[inner], trees.right_child[inner]], axis=1) - base,
                               np.repeat(leaves, 2).reshape(-1, 2)])
    children[:size] = np.where(children[:size] < 0, leaves.reshape(-1, 2), children[:size])
    children = children.reshape(-1)
    feature = np.concatenate([trees.feature[inner], np.zeros(2 * size, dtype=np.int64)]) * n_rows
    threshold = np.concatenate([trees.threshold[inner], np.full(2 * size, np.inf)])
    value = np.concatenate([np.zeros(size), np.stack([trees.left_value[inner], trees.right_value[inner]],
                                                     axis=1).reshape(-1)])
    node = np.repeat(trees.start[first:last] - base, n_rows)
    row = np.tile(np.arange(n_rows, dtype=np.int64), last - first)
    flat = columns.reshape(-1)
    for _ in range(int(trees.depth[inner].max(initial=0)) + 1):
        right = flat.take(feature.take(node) + row) > threshold.take(node)
        step = node * 2
        step += right
        node = children.take(step)
    return value.take(node).reshape(last - first, n_rows)


def _batches(trees: Trees, n_rows: int) -> Iterator[Tuple[int, int]]:
    step = max(1, _WALK_BATCH // max(1, n_rows))
    for first in range(0, trees.n_trees, step):
        yield first, min(trees.n_trees, first + step)


def staged(model: Boosting, columns: NDArray[np.float64]) -> Iterator[NDArray[np.float64]]:
    """The prediction after every stage, formed as the native one is: the stage outputs summed in stage order
    from 0.0, the sum times the learning rate, plus the mean."""
    total = np.zeros(columns.shape[1], dtype=np.float64)
    for first, last in _batches(model.trees, columns.shape[1]):
        for outputs in walk(model.trees, columns, first, last):
            total += outputs
            prediction = total * model.learning_rate
            prediction += model.mean
            yield prediction


def _normalised(values: NDArray[np.float64]) -> NDArray[np.float64]:
    total = values.sum()
    return values / total if total > 0 else np.zeros_like(values)


def _decrease(trees: Trees, counts: NDArray[np.int64], n_columns: int) -> NDArray[np.float64]:
    return np.bincount(trees.feature, weights=_gain(trees, counts), minlength=n_columns)[:n_columns].astype(
        np.float64)


def _split_counts(trees: Trees, n_features: int) -> NDArray[np.int64]:
    return np.bincount(trees.feature, minlength=n_features)[:n_features].astype(np.int64)


def _narrow(counts: NDArray[np.int64]) -> NDArray[Any]:
    # The narrowest type that holds them: they travel in every pickle.
    return counts.astype(np.min_scalar_type(int(counts.max(initial=0))))


def fit_inspection(estimator: Any, X: NDArray[np.float64]) -> None:
    """After a fit of ``model_`` to ``X``. A tree or boosting model holds its nodes' training counts itself (the
    fit partitioned the rows), so nothing is computed here; the deep model's importances, split counts and
    node counts are computed and kept: from the counts its members' fits noted, or, for layers that were
    assembled or loaded, by a native walk of ``X`` through the layers."""
    for name in ("_node_samples_", "_model_key_", "_deep_importances", "_deep_split_counts"):
        estimator.__dict__.pop(name, None)
    model = estimator.model_
    if not isinstance(model, vandu.DeepGradientBoosting):
        return
    parsed = saved_model(estimator)
    assert isinstance(parsed, Deep)
    held = _native.node_samples(model)
    if held is None:
        held = _native.walk_samples(model, np.ascontiguousarray(X))
    counts = _with_right(_column(held))
    importances, split_counts = _deep_inspection(parsed, counts, estimator.n_features_in_)
    estimator._deep_importances = importances
    estimator._deep_split_counts = split_counts
    estimator._node_samples_ = _narrow(counts[:, :2])
    estimator._model_key_ = _native.fingerprint(model)


def counts_state(estimator: Any) -> Dict[str, Any]:
    """What a pickle must add for the node counts: the model travels as its saved bytes, which hold none."""
    if "model_" not in estimator.__dict__ or isinstance(estimator.model_, vandu.DeepGradientBoosting):
        return {}
    try:
        _, counts = _fitted(estimator)
    except ValueError:
        return {}
    return {"_node_samples_": _narrow(counts[:, :2]), "_model_key_": _native.fingerprint(estimator.model_)}


def _deep_inspection(model: Deep, counts: NDArray[np.int64], n_features: int) -> Tuple[
        NDArray[np.float64], NDArray[np.int64]]:
    """Importances and split counts of the input features, from every member's node counts (in flatten's
    order)."""
    total = np.zeros(n_features, dtype=np.float64)
    split_counts = np.zeros(n_features, dtype=np.int64)
    n_columns, first = n_features, 0
    # Row k: the input features' share in member k's prediction (members of earlier layers, in order).
    shares = np.zeros((0, n_features), dtype=np.float64)
    for layer in model.layers:
        layer_shares = []
        for member in layer:
            last = first + member.trees.n_nodes
            decrease = _decrease(member.trees, counts[first:last], n_columns)
            first = last
            credited = decrease[:n_features] + decrease[n_features:] @ shares
            layer_shares.append(_normalised(credited))
            total += credited
            split_counts += _split_counts(member.trees, n_features)
        n_columns += len(layer)
        shares = np.concatenate([shares, np.array(layer_shares, dtype=np.float64).reshape(-1, n_features)])
    return _normalised(total), split_counts


def _n_nodes(model: Parsed) -> int:
    if isinstance(model, Deep):
        return sum(m.trees.n_nodes for layer in model.layers for m in layer)
    return model.n_nodes if isinstance(model, Trees) else model.trees.n_nodes


def _with_right(pairs: NDArray[Any]) -> NDArray[np.int64]:
    pairs = np.asarray(pairs).astype(np.int64).reshape(-1, 2)
    return np.column_stack([pairs, pairs[:, 0] - pairs[:, 1]])


def _fitted(estimator: Any) -> Tuple[Parsed, NDArray[np.int64]]:
    """The model and its nodes' training counts (rows at the node, on its left, on its right): those the model
    holds from its own fit, else those kept with the estimator when they are this very model's."""
    check_is_fitted(estimator)
    model = saved_model(estimator)
    native = estimator.model_
    if not isinstance(native, vandu.DeepGradientBoosting):
        held = _native.node_samples(native)
        if held is not None:
            return model, _with_right(_column(held))
    stored = estimator.__dict__.get("_node_samples_")
    if (stored is None or estimator.__dict__.get("_model_key_") != _native.fingerprint(native)
            or np.shape(stored) != (_n_nodes(model), 2)):
        raise ValueError("model_ is no longer the model fitted by fit and holds no training counts of its own "
                         "(it was loaded): refit the estimator, or explain it with vandu_sklearn.to_shap(model, X)")
    return model, _with_right(stored)


def importances(estimator: Any) -> Tuple[NDArray[np.float64], NDArray[np.int64]]:
    """``feature_importances_`` and ``feature_split_counts_`` of the fitted model as it stands."""
    check_is_fitted(estimator)
    if isinstance(estimator.model_, vandu.DeepGradientBoosting):
        _fitted(estimator)  # still the model they were computed for
        return estimator._deep_importances, estimator._deep_split_counts
    model, counts = _fitted(estimator)
    assert not isinstance(model, Deep)
    trees = model if isinstance(model, Trees) else model.trees
    n_features = estimator.n_features_in_
    return _normalised(_decrease(trees, counts, n_features)), _split_counts(trees, n_features)


def _feature_labels(estimator: Any, n_columns: int, layers: Sequence[int] = ()) -> NDArray[Any]:
    """Feature names where the estimator has them (an earlier deep member's prediction is named
    ``layer{l}_member{m}``), else feature numbers."""
    names = getattr(estimator, "feature_names_in_", None)
    if names is None:
        return np.arange(n_columns, dtype=np.int64)
    labels = list(names) + [f"layer{layer}_member{member}" for layer, width in enumerate(layers)
                            for member in range(width)]
    return np.array(labels[:n_columns], dtype=object)


def _gain(trees: Trees, counts: NDArray[np.int64]) -> NDArray[np.float64]:
    # A split's decrease of squared deviation, the node's less its two sides', is n_left n_right / n times the
    # squared difference of the side means: no cancellation, never negative.
    samples, left, right = counts.T.astype(np.float64)
    difference = trees.left_value - trees.right_value
    gain: NDArray[np.float64] = np.divide(left * right, samples, out=np.zeros_like(samples),
                                          where=samples > 0) * difference**2
    return gain


def _tree_rows(trees: Trees, counts: NDArray[np.int64], labels: NDArray[Any]) -> Dict[str, NDArray[Any]]:
    """The rows of a set of trees: every tree's nodes, then its leaves, in the numbering of ``left_node``."""
    tree_of_node = np.repeat(np.arange(trees.n_trees, dtype=np.int64), np.diff(trees.start))
    first_node = trees.start[tree_of_node]
    assert trees.left_node is not None and trees.right_node is not None
    node = np.arange(trees.n_nodes, dtype=np.int64) - first_node
    parent = np.full(trees.n_nodes, -1, dtype=np.int64)
    for child in (trees.left_child, trees.right_child):
        parent[child[child >= 0]] = node[child >= 0]
    leaf_of = [np.flatnonzero(trees.left_child < 0), np.flatnonzero(trees.right_child < 0)]
    at = np.concatenate(leaf_of)  # each leaf's parent (global)
    n_leaves = len(at)
    leaf_value = np.concatenate([trees.left_value[leaf_of[0]], trees.right_value[leaf_of[1]]])
    leaf_samples = np.concatenate([counts[leaf_of[0], 1], counts[leaf_of[1], 2]])
    nan = np.full(n_leaves, np.nan)
    none = np.full(n_leaves, -1, dtype=np.int64)
    feature_labels = labels[trees.feature]
    leaf_feature = np.full(n_leaves, None if labels.dtype == object else -1, dtype=labels.dtype)
    columns = {
        "stage": (tree_of_node, tree_of_node[at]),
        "node": (node, np.concatenate([trees.left_node[leaf_of[0]], trees.right_node[leaf_of[1]]])),
        "parent": (parent, node[at]),
        "is_leaf": (np.zeros(trees.n_nodes, dtype=bool), np.ones(n_leaves, dtype=bool)),
        "depth": (trees.depth, trees.depth[at] + 1),
        "feature": (feature_labels, leaf_feature),
        "threshold": (trees.threshold, nan),
        "left_child": (trees.left_node, none),
        "right_child": (trees.right_node, none),
        "left_value": (trees.left_value, leaf_value),
        "right_value": (trees.right_value, leaf_value),
        "impurity": (trees.impurity, nan),
        "gain": (_gain(trees, counts), nan),
        "count": (counts[:, 0], leaf_samples),
        "samples": (counts[:, 0], leaf_samples),
        "left_samples": (counts[:, 1], np.zeros(n_leaves, dtype=np.int64)),
        "right_samples": (counts[:, 2], np.zeros(n_leaves, dtype=np.int64)),
    }
    table = {key: np.concatenate(parts) for key, parts in columns.items()}
    order = np.lexsort((table["node"], table["stage"]))
    return {key: value[order] for key, value in table.items()}


def trees_table(estimator: Any) -> Dict[str, NDArray[Any]]:
    """One row per node and per leaf of every tree; see the estimators' ``trees_table``."""
    model, counts = _fitted(estimator)
    parts: List[Tuple[Dict[str, int], Trees]] = []
    if isinstance(model, Deep):
        widths = [len(layer) for layer in model.layers]
        for index, layer in enumerate(model.layers):
            parts += [({"layer": index, "member": member}, boosting.trees) for member, boosting in enumerate(layer)]
    else:
        widths = []
        parts.append(({}, model if isinstance(model, Trees) else model.trees))
    labels = _feature_labels(estimator, estimator.n_features_in_ + sum(widths), widths)
    columns: Dict[str, List[NDArray[Any]]] = {}
    first = 0
    for keys, trees in parts:
        rows = _tree_rows(trees, counts[first:first + trees.n_nodes], labels)
        first += trees.n_nodes
        size = len(rows["node"])
        part = {**{key: np.full(size, value, dtype=np.int64) for key, value in keys.items()}, **rows}
        for key, value in part.items():
            columns.setdefault(key, []).append(value)
    if not columns:
        return {key: np.zeros(0) for key in ("stage", "node", "parent", "is_leaf", "depth", "feature",
                                             "threshold", "left_child", "right_child", "left_value",
                                             "right_value", "impurity", "gain", "count", "samples",
                                             "left_samples", "right_samples")}
    return {key: np.concatenate(values) for key, values in columns.items()}


def trees_to_dataframe(estimator: Any) -> Any:
    try:
        pandas = importlib.import_module("pandas")
    except ImportError as err:
        raise ImportError("trees_to_dataframe needs pandas; trees_table gives the columns as arrays") from err
    return pandas.DataFrame(trees_table(estimator))


def apply(estimator: Any, X: ArrayLike) -> NDArray[np.int64]:
    """The leaf every row of ``X`` reaches, in the numbering of the table's ``node`` column: one column per
    stage for boosting, a vector for a tree."""
    check_is_fitted(estimator)
    rows = validate_data(estimator, X, dtype=np.float64, order="C", reset=False)
    model = estimator.model_
    saved_model(estimator)  # the record's invariants, checked
    leaves = _column(_native.leaves(model, rows)).astype(np.int64)
    if isinstance(model, vandu.DecisionTree):
        return leaves
    return leaves.reshape(rows.shape[0], -1)


def staged_predict(estimator: Any, X: ArrayLike) -> Iterator[NDArray[np.float64]]:
    """Checks ``X`` as ``predict`` does, then hands back the generator of stage predictions."""
    check_is_fitted(estimator)
    X_checked = validate_data(estimator, X, dtype=np.float64, order="C", reset=False)
    model = saved_model(estimator)
    if not isinstance(model, Boosting):
        raise TypeError(f"staged predictions need a GradientBoosting, not {type(estimator.model_).__name__}")
    return staged(model, np.ascontiguousarray(X_checked.T))


class TreeInspection:
    """Importances and the table of the trees, shared by the three estimators."""

    @property
    def feature_importances_(self) -> NDArray[np.float64]:
        return importances(self)[0]

    @property
    def feature_split_counts_(self) -> NDArray[np.int64]:
        return importances(self)[1]

    def trees_table(self) -> Dict[str, NDArray[Any]]:
        """The fitted trees, one entry per node, as a dict of equally long NumPy arrays.

        Columns: ``layer`` and ``member`` (``DeepGradientBoostingRegressor`` only), ``stage`` (the tree's
        number in its model; 0 for ``DecisionTreeRegressor``), ``node`` (its number in its tree, as saved;
        the root is 0), ``depth`` (the root's is 0), ``feature`` (name where ``feature_names_in_`` exists,
        else number; a deep member's split on an earlier member's prediction names it
        ``layer{l}_member{m}``, or numbers it from ``n_features_in_`` on), ``threshold`` (a row goes right
        when its value is greater, left otherwise, NaN included), ``left_child`` and ``right_child`` (the
        rows of the sides' nodes; a childless side's leaf has a row of its own after its tree's splits), ``left_value`` and ``right_value`` (the sides' mean targets,
        unscaled by any learning rate: a leaf's answer), ``impurity`` (the squared deviation the split leaves,
        its sides' summed), ``samples``, ``left_samples`` and ``right_samples`` (training rows at the node and
        on each side). The numbers are exactly the model's, those of its saved files.
        """
        return trees_table(self)

    def trees_to_dataframe(self) -> Any:
        """``trees_table`` as a pandas DataFrame (needs pandas)."""
        return trees_to_dataframe(self)
