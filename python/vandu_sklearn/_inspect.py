"""Looking inside fitted estimators: the trees as saved, node sample counts, importances, the trees as a table,
the trees in the form SHAP's TreeExplainer reads, and staged predictions.

Everything is read from the model's own saved file, so the numbers here are exactly the model's. The training
data is walked through the trees once, at ``fit``, for each node's sample count; the counts, the importances
and the split counts are plain NumPy attributes of the estimator and travel with it through pickling.
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


# A split rule that holds a split: the tag byte 1, then feature, threshold, impurity and the two side values.
_RULE = np.dtype([("tag", "u1"), ("feature", "<u8"), ("threshold", "<f8"), ("impurity", "<f8"),
                  ("left_value", "<f8"), ("right_value", "<f8")])


class _Reader:
    """Reads a model's bincode file front to back; every read is checked against the bytes left."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.offset = 0

    def fail(self, what: str) -> ValueError:
        return ValueError(f"the saved model cannot be read at byte {self.offset}: {what}")

    def take(self, size: int) -> int:
        if size > len(self.data) - self.offset:
            raise self.fail(f"{size} bytes needed, {len(self.data) - self.offset} left")
        offset = self.offset
        self.offset += size
        return offset

    def scalar(self, dtype: str) -> Any:
        size = np.dtype(dtype).itemsize
        return np.frombuffer(self.data, dtype=dtype, count=1, offset=self.take(size))[0].item()

    def count(self, item_size: int) -> int:
        count: int = self.scalar("<u8")
        if count * item_size > len(self.data) - self.offset:
            raise self.fail(f"a count of {count} runs past the end")
        return count

    def array(self, dtype: Any, count: int) -> NDArray[Any]:
        dtype = np.dtype(dtype)
        return np.frombuffer(self.data, dtype=dtype, count=count, offset=self.take(dtype.itemsize * count))


def _read_trees(reader: _Reader, n_trees: int, n_columns: int) -> Trees:
    """``n_trees`` saved trees, checked: every node holds a split on a feature below ``n_columns``, and every
    node below the root is the child of exactly one node with a lower number (so every walk ends)."""
    starts = [0]
    parts: List[Tuple[NDArray[Any], NDArray[np.int64]]] = []
    for _ in range(n_trees):
        reader.take(9)  # depth and min_samples_split
        n = reader.count(1)
        rules = reader.array(_RULE, n)
        if np.any(rules["tag"] != 1):
            raise reader.fail("a node holds no split")
        if np.any(rules["feature"] >= n_columns):
            raise reader.fail(f"a node splits on a feature beyond the model's {n_columns}")
        n_routes = reader.count(16)
        if n_routes < n:
            raise reader.fail(f"{n_routes} routes for {n} nodes")
        routes = reader.array("<i8", 2 * n_routes).reshape(-1, 2)[:n].astype(np.int64)
        routes[routes < 0] = -1
        inner = routes >= 0
        if np.any(inner & ((routes <= np.arange(n)[:, None]) | (routes >= n))):
            raise reader.fail("a child number is not between its parent's and the node count")
        routes[inner] += starts[-1]
        parts.append((rules, routes))
        starts.append(starts[-1] + n)
    rules = np.concatenate([rule for rule, _ in parts]) if parts else np.zeros(0, dtype=_RULE)
    routes = np.concatenate([route for _, route in parts]) if parts else np.zeros((0, 2), dtype=np.int64)
    start = np.array(starts, dtype=np.int64)
    n_nodes = len(rules)
    children = routes[routes >= 0]
    roots = np.zeros(n_nodes, dtype=bool)
    roots[start[:-1][start[:-1] < start[1:]]] = True
    if np.any(np.bincount(children, minlength=n_nodes) != ~roots):
        raise ValueError("the saved model cannot be read: a node is the child of more than one node")
    depth = np.zeros(n_nodes, dtype=np.int64)
    parent = np.concatenate([np.flatnonzero(routes[:, side] >= 0) for side in (0, 1)])
    child = np.concatenate([routes[routes[:, side] >= 0, side] for side in (0, 1)])
    while True:  # one pass per level: children take their parent's depth plus one
        updated = depth[parent] + 1
        if np.array_equal(depth[child], updated):
            break
        depth[child] = updated
    return Trees(start, rules["feature"].astype(np.int64), rules["threshold"].copy(), rules["impurity"].copy(),
                 rules["left_value"].copy(), rules["right_value"].copy(), routes[:, 0].copy(),
                 routes[:, 1].copy(), depth)


def _read_boosting(reader: _Reader, n_columns: int) -> Boosting:
    learning_rate = np.frombuffer(reader.data, dtype="<f8", count=1, offset=reader.take(21) + 13)[0].item()
    trees = _read_trees(reader, reader.count(25), n_columns)
    return Boosting(trees, reader.scalar("<f8"), learning_rate)


def parse_model(data: bytes, kind: str, n_features: int) -> Parsed:
    """The bincode file of a native ``DecisionTree``, ``GradientBoosting`` or ``DeepGradientBoosting``.

    That format keeps every double's bits (the JSON file writes the same doubles as their shortest
    round-trip text) and reads with NumPy a tree at a time, where JSON would be read a number at a time."""
    reader = _Reader(data)
    model: Parsed
    if kind == "DecisionTree":
        model = _read_trees(reader, 1, n_features)
    elif kind == "GradientBoosting":
        model = _read_boosting(reader, n_features)
    elif kind != "DeepGradientBoosting":
        raise TypeError(f"model_ must be a DecisionTree, GradientBoosting or DeepGradientBoosting, not {kind}")
    else:
        learning_rate = np.frombuffer(data, dtype="<f8", count=1, offset=reader.take(16) + 8)[0].item()
        layers: List[List[Boosting]] = []
        n_columns = n_features
        for _ in range(reader.count(8)):
            members = [_read_boosting(reader, n_columns) for _ in range(reader.count(37))]
            layers.append(members)
            n_columns += len(members)
        model = Deep(layers, learning_rate)
    if reader.offset != len(data):
        raise reader.fail("bytes left after the model")
    return model


def saved_model(estimator: Any) -> Parsed:
    """The estimator's fitted model, as its saved file says."""
    model = estimator.model_
    with tempfile.TemporaryDirectory(prefix="vandu-") as directory:
        path = os.path.join(directory, "model.bin")
        model.save(path, "bincode")
        with open(path, "rb") as file:
            data = file.read()
    return parse_model(data, type(model).__name__, estimator.n_features_in_)


def walk(trees: Trees, columns: NDArray[np.float64], first: int, last: int,
         counts: Optional[NDArray[np.int64]] = None) -> NDArray[np.float64]:
    """The outputs of trees ``first`` to ``last - 1`` for every column of ``columns`` (features x rows, in C
    order), one row per tree; with ``counts`` (n_nodes x 3), adds the rows reaching each node and going left and
    right. Every tree must have a node."""
    if np.any(trees.start[first + 1:last + 1] == trees.start[first:last]):
        raise ValueError("a tree without a node cannot predict")
    if columns.shape[1] >= _MASK_WALK_ROWS:
        out = np.empty((last - first, columns.shape[1]), dtype=np.float64)
        for tree in range(first, last):
            nodes = slice(trees.start[tree], trees.start[tree + 1])
            if nodes.stop - nodes.start <= _MASK_WALK_NODES_PER_LEVEL * (trees.depth[nodes].max() + 1):
                _walk_masks(trees, columns, tree, out[tree - first], counts)
            else:
                out[tree - first] = _walk_levels(trees, columns, tree, tree + 1, counts)[0]
        return out
    return _walk_levels(trees, columns, first, last, counts)


def _walk_masks(trees: Trees, columns: NDArray[np.float64], tree: int, out: NDArray[np.float64],
                counts: Optional[NDArray[np.int64]]) -> None:
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
        if counts is not None:
            n_left, n_right = np.count_nonzero(left), np.count_nonzero(right)
            counts[node] += (n_left + n_right, n_left, n_right)
        for side, child, value in ((left, trees.left_child[node], trees.left_value[node]),
                                   (right, trees.right_child[node], trees.right_value[node])):
            if child >= 0:
                reach[child - first] = side
            else:
                np.copyto(out, value, where=side)


def _walk_levels(trees: Trees, columns: NDArray[np.float64], first: int, last: int,
                 counts: Optional[NDArray[np.int64]]) -> NDArray[np.float64]:
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
        if counts is not None:
            counts[inner, 1:] += np.bincount(step, minlength=2 * size)[:2 * size].reshape(-1, 2)
        node = children.take(step)
    if counts is not None:
        counts[inner, 0] = counts[inner, 1] + counts[inner, 2]
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


def _predict(model: Boosting, columns: NDArray[np.float64], counts: NDArray[np.int64]) -> NDArray[np.float64]:
    """The model's prediction, counting every node's rows on the way."""
    total = np.zeros(columns.shape[1], dtype=np.float64)
    for first, last in _batches(model.trees, columns.shape[1]):
        for outputs in walk(model.trees, columns, first, last, counts):
            total += outputs
    prediction: NDArray[np.float64] = total * model.learning_rate
    prediction += model.mean
    return prediction


def _normalised(values: NDArray[np.float64]) -> NDArray[np.float64]:
    total = values.sum()
    return values / total if total > 0 else np.zeros_like(values)


def _decrease(trees: Trees, counts: NDArray[np.int64], n_columns: int) -> NDArray[np.float64]:
    # A split's decrease of squared deviation, the node's less its two sides', is n_left n_right / n times
    # the squared difference of the side means: no cancellation, never negative.
    samples, left, right = counts.T.astype(np.float64)
    difference = trees.left_value - trees.right_value
    gain = np.divide(left * right, samples, out=np.zeros_like(samples), where=samples > 0) * difference**2
    return np.bincount(trees.feature, weights=gain, minlength=n_columns)[:n_columns].astype(np.float64)


def _split_counts(trees: Trees, n_features: int) -> NDArray[np.int64]:
    return np.bincount(trees.feature, minlength=n_features)[:n_features].astype(np.int64)


def fit_inspection(estimator: Any, X: NDArray[np.float64]) -> None:
    """Sets ``feature_importances_``, ``feature_split_counts_`` and the node sample counts from the training
    data ``X`` the estimator's ``model_`` was just fitted to."""
    model = saved_model(estimator)
    n_features = X.shape[1]
    columns = np.ascontiguousarray(X.T)
    if isinstance(model, Deep):
        importances, split_counts, counts = _deep_inspection(model, columns)
    else:
        trees = model if isinstance(model, Trees) else model.trees
        counts = np.zeros((trees.n_nodes, 3), dtype=np.int64)
        if trees.n_nodes:  # a DecisionTree fitted where no feature took two values has none
            for first, last in _batches(trees, columns.shape[1]):
                walk(trees, columns, first, last, counts)
        importances = _normalised(_decrease(trees, counts, n_features))
        split_counts = _split_counts(trees, n_features)
    estimator.feature_importances_ = importances
    estimator.feature_split_counts_ = split_counts
    # Rows at each node and on its left, in the narrowest type that holds them: they travel in every pickle.
    estimator._node_samples_ = counts[:, :2].astype(np.min_scalar_type(int(counts[:, 0].max(initial=0))))


def _deep_inspection(model: Deep, columns: NDArray[np.float64]) -> Tuple[
        NDArray[np.float64], NDArray[np.int64], NDArray[np.int64]]:
    n_features = columns.shape[0]
    total = np.zeros(n_features, dtype=np.float64)
    split_counts = np.zeros(n_features, dtype=np.int64)
    all_counts = []
    # Row k: the input features' share in member k's prediction (members of earlier layers, in order).
    shares = np.zeros((0, n_features), dtype=np.float64)
    for layer in model.layers:
        predictions = []
        layer_shares = []
        for member in layer:
            counts = np.zeros((member.trees.n_nodes, 3), dtype=np.int64)
            predictions.append(_predict(member, columns, counts))
            decrease = _decrease(member.trees, counts, columns.shape[0])
            credited = decrease[:n_features] + decrease[n_features:] @ shares
            layer_shares.append(_normalised(credited))
            total += credited
            split_counts += _split_counts(member.trees, n_features)
            all_counts.append(counts)
        predicted = np.array(predictions, dtype=np.float64).reshape(-1, columns.shape[1])
        columns = np.concatenate([columns, predicted])
        shares = np.concatenate([shares, np.array(layer_shares, dtype=np.float64).reshape(-1, n_features)])
    counts = np.concatenate(all_counts) if all_counts else np.zeros((0, 3), dtype=np.int64)
    return _normalised(total), split_counts, counts


def _fitted(estimator: Any) -> Tuple[Parsed, NDArray[np.int64]]:
    check_is_fitted(estimator)
    model = saved_model(estimator)
    stored = np.asarray(estimator._node_samples_).astype(np.int64)
    n_nodes = sum(m.trees.n_nodes for layer in model.layers for m in layer) if isinstance(model, Deep) else (
        model.n_nodes if isinstance(model, Trees) else model.trees.n_nodes)
    if stored.shape != (n_nodes, 2):
        raise ValueError("model_ is no longer the model fitted by fit: refit the estimator")
    return model, np.column_stack([stored, stored[:, 0] - stored[:, 1]])


def _feature_labels(estimator: Any, n_columns: int, layers: Sequence[int] = ()) -> NDArray[Any]:
    """Feature names where the estimator has them (an earlier deep member's prediction is named
    ``layer{l}_member{m}``), else feature numbers."""
    names = getattr(estimator, "feature_names_in_", None)
    if names is None:
        return np.arange(n_columns, dtype=np.int64)
    labels = list(names) + [f"layer{layer}_member{member}" for layer, width in enumerate(layers)
                            for member in range(width)]
    return np.array(labels[:n_columns], dtype=object)


def trees_table(estimator: Any) -> Dict[str, NDArray[Any]]:
    """One row per node of every tree; see the estimators' ``trees_table``."""
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
    for keys, trees in parts:
        tree_of_node = np.repeat(np.arange(trees.n_trees, dtype=np.int64), np.diff(trees.start))
        first_node = trees.start[tree_of_node]
        part = {**{key: np.full(trees.n_nodes, value, dtype=np.int64) for key, value in keys.items()},
                "stage": tree_of_node,
                "node": np.arange(trees.n_nodes, dtype=np.int64) - first_node,
                "depth": trees.depth,
                "feature": labels[trees.feature],
                "threshold": trees.threshold,
                "left_child": np.where(trees.left_child >= 0, trees.left_child - first_node, -1),
                "right_child": np.where(trees.right_child >= 0, trees.right_child - first_node, -1),
                "left_value": trees.left_value,
                "right_value": trees.right_value,
                "impurity": trees.impurity}
        for key, value in part.items():
            columns.setdefault(key, []).append(value)
    table = {key: np.concatenate(values) for key, values in columns.items()}
    table["samples"], table["left_samples"], table["right_samples"] = counts.T.copy()
    return table


def trees_to_dataframe(estimator: Any) -> Any:
    try:
        pandas = importlib.import_module("pandas")
    except ImportError as err:
        raise ImportError("trees_to_dataframe needs pandas; trees_table gives the columns as arrays") from err
    return pandas.DataFrame(trees_table(estimator))


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


def shap_model(estimator: Any) -> Dict[str, Any]:
    """The fitted trees as the dictionary ``shap.TreeExplainer`` accepts; see the estimators' ``to_shap``."""
    model, counts = _fitted(estimator)
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

    feature_importances_: NDArray[np.float64]
    feature_split_counts_: NDArray[np.int64]

    def trees_table(self) -> Dict[str, NDArray[Any]]:
        """The fitted trees, one entry per node, as a dict of equally long NumPy arrays.

        Columns: ``layer`` and ``member`` (``DeepGradientBoostingRegressor`` only), ``stage`` (the tree's
        number in its model; 0 for ``DecisionTreeRegressor``), ``node`` (its number in its tree, as saved;
        the root is 0), ``depth`` (the root's is 0), ``feature`` (name where ``feature_names_in_`` exists,
        else number; a deep member's split on an earlier member's prediction names it
        ``layer{l}_member{m}``, or numbers it from ``n_features_in_`` on), ``threshold`` (a row goes right
        when its value is greater, left otherwise, NaN included), ``left_child`` and ``right_child`` (node
        numbers, -1 where that side is a leaf), ``left_value`` and ``right_value`` (the sides' mean targets,
        unscaled by any learning rate: a leaf's answer), ``impurity`` (the squared deviation the split leaves,
        its sides' summed), ``samples``, ``left_samples`` and ``right_samples`` (training rows at the node and
        on each side). The numbers are exactly the model's, those of its saved files.
        """
        return trees_table(self)

    def trees_to_dataframe(self) -> Any:
        """``trees_table`` as a pandas DataFrame (needs pandas)."""
        return trees_to_dataframe(self)


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
