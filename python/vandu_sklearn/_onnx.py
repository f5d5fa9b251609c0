"""ONNX export of the native models and of the scikit-learn estimators over them.

Every tree becomes part of an ``ai.onnx.ml`` ``TreeEnsemble`` node (opset 5: double thresholds and leaf values),
each split "value <= threshold goes to the true branch, the left one", NaN values following the true branch too,
as the native walk sends NaN left. A boosting model is its ensemble's sum (from 0.0, tree after tree), times the
learning rate, plus the mean: ``Mul`` and ``Add``, exactly the native arithmetic. The rate is folded into the
leaves only where that gives the same bits: a rate of 1, or a larger power of two that no sum can overflow. The
deep model is one graph of its members: each layer reads ``Concat`` of the input and the earlier members'
predictions, a layer's mean is ``Add`` from 0.0 member after member and ``Div`` by the width, and the layers'
means are summed with ``Mul`` by the deep rate and ``Add``, in the native order.

The trees are read from the model's saved file; a file the native walk could not predict every row with (a node
without a split, a feature beyond the input, a child that is not below its parent, a tree, model or layer that
is empty) is refused with ``ValueError``: the export never describes another model. A split whose threshold
is NaN sends every value left; it is exported as a threshold of +inf, which does the same.

ONNX Runtime then predicts the model's bits when it sums the trees in order, which it does on one thread
(``intra_op_num_threads = 1``); with more threads it may add the trees of one row in parts, and the results
differ in the last bits (see the README).
"""
from __future__ import annotations

import importlib
import importlib.abc
import importlib.util
import math
import os
import sys
import tempfile
from typing import Any, Callable, Dict, List, Optional, Sequence

import numpy as np

from ._inspect import Boosting, Deep, Parsed, Trees, parse_model

# TreeEnsemble with double attributes and outputs is in ai.onnx.ml 5, which goes with the main opset 21.
ML_OPSET = 5
MAIN_OPSET = 21
_BRANCH_LEQ = 0


def _unusable(what: str) -> ValueError:
    return ValueError(f"the model cannot be exported to ONNX: {what}")


def parsed_native(model: Any, n_features: int) -> Parsed:
    """A native model's trees as its saved file holds them, checked as the exporter needs them."""
    kind = type(model).__name__
    if kind not in ("DecisionTree", "GradientBoosting", "DeepGradientBoosting"):
        raise TypeError(f"to_onnx takes a vandu DecisionTree, GradientBoosting or DeepGradientBoosting, not {kind}")
    if isinstance(n_features, bool) or not isinstance(n_features, (int, np.integer)) or n_features < 1:
        raise ValueError(f"n_features must be a positive integer, not {n_features!r}")
    with tempfile.TemporaryDirectory(prefix="vandu-onnx-") as directory:
        path = os.path.join(directory, "model.bin")
        model.save(path, "bincode")
        with open(path, "rb") as file:
            data = file.read()
    try:
        parsed = parse_model(data, kind, int(n_features))
    except ValueError as err:
        raise _unusable(str(err)) from err
    _check(parsed)
    return parsed


def _check(parsed: Parsed) -> None:
    """What parse_model lets through but the native predict fails on."""
    if isinstance(parsed, Trees):
        if parsed.n_trees != 1 or parsed.n_nodes == 0:
            raise _unusable("the tree holds no node (is it fitted?)")
    elif isinstance(parsed, Boosting):
        if parsed.trees.n_trees == 0:
            raise _unusable("the boosting model holds no stage (is it fitted?)")
        if np.any(np.diff(parsed.trees.start) == 0):
            raise _unusable("a stage holds no node")
    else:
        if not parsed.layers:
            raise _unusable("the deep model holds no layer (is it fitted?)")
        for layer in parsed.layers:
            if not layer:
                raise _unusable("a layer holds no member")
            for member in layer:
                _check(member)


class _Builder:
    """Adds nodes and constants to a graph under construction; names come from ``fresh``."""

    def __init__(self, fresh: Callable[[str], str], add_node: Callable[..., None],
                 add_constant: Callable[[str, np.ndarray], None]) -> None:
        self.fresh = fresh
        self._add_node = add_node
        self._add_constant = add_constant

    def constant(self, hint: str, value: Any) -> str:
        name = self.fresh(hint)
        self._add_constant(name, np.asarray(value, dtype=np.float64).reshape(-1))
        return name

    def node(self, op: str, inputs: Sequence[str], hint: str, output: Optional[str] = None,
             domain: str = "", **attrs: Any) -> str:
        output = output or self.fresh(hint)
        self._add_node(op, list(inputs), output, domain, attrs)
        return output


def _ensemble_attributes(trees: Trees, scale: float) -> Dict[str, Any]:
    """TreeEnsemble attributes of these trees, leaves multiplied by ``scale`` (exact powers of two only)."""
    from onnx import numpy_helper

    n = trees.n_nodes
    children = np.stack([trees.left_child, trees.right_child], axis=1)  # side 0 left (true), 1 right
    is_leaf = children < 0
    # Leaves numbered node by node, left before right.
    leaf_index = np.cumsum(is_leaf.reshape(-1)).reshape(n, 2) - 1
    targets = np.where(is_leaf, leaf_index, children)
    values = np.stack([trees.left_value, trees.right_value], axis=1)[is_leaf]
    thresholds = np.where(np.isnan(trees.threshold), np.inf, trees.threshold)
    return {
        "n_targets": 1,
        "aggregate_function": 1,  # SUM
        "post_transform": 0,
        "tree_roots": trees.start[:-1].tolist(),
        "nodes_featureids": trees.feature.tolist(),
        "nodes_splits": numpy_helper.from_array(thresholds.astype(np.float64)),
        "nodes_modes": numpy_helper.from_array(np.full(n, _BRANCH_LEQ, dtype=np.uint8)),
        "nodes_truenodeids": targets[:, 0].tolist(),
        "nodes_trueleafs": is_leaf[:, 0].astype(np.int64).tolist(),
        "nodes_falsenodeids": targets[:, 1].tolist(),
        "nodes_falseleafs": is_leaf[:, 1].astype(np.int64).tolist(),
        "nodes_missing_value_tracks_true": [1] * n,
        "leaf_targetids": [0] * len(values),
        "leaf_weights": numpy_helper.from_array((values * scale).astype(np.float64)),
    }


def _foldable(model: Boosting) -> bool:
    """Whether sum(leaf * rate) is (sum of leaves) * rate to the bit for every row: a power of two rate >= 1,
    and no partial sum, scaled, can overflow."""
    rate = model.learning_rate
    if not (math.isfinite(rate) and rate >= 1.0 and math.frexp(rate)[0] == 0.5):
        return False
    trees = model.trees
    largest = np.abs(np.stack([trees.left_value, trees.right_value])).max(axis=0)
    per_tree = np.maximum.reduceat(largest, trees.start[:-1]) if trees.n_nodes else largest
    with np.errstate(over="ignore", invalid="ignore"):
        return bool(np.isfinite(float(np.sum(per_tree)) * rate * 2.0))


def _trees(b: _Builder, trees: Trees, x: str, hint: str, scale: float = 1.0, output: Optional[str] = None) -> str:
    return b.node("TreeEnsemble", [x], hint, output, domain="ai.onnx.ml", **_ensemble_attributes(trees, scale))


def _boosting(b: _Builder, model: Boosting, x: str, hint: str, output: Optional[str] = None) -> str:
    if _foldable(model):
        total = _trees(b, model.trees, x, hint + "_sum", scale=model.learning_rate)
    else:
        total = _trees(b, model.trees, x, hint + "_sum")
        total = b.node("Mul", [total, b.constant(hint + "_rate", model.learning_rate)], hint + "_scaled")
    return b.node("Add", [total, b.constant(hint + "_mean", model.mean)], hint, output)


def _deep(b: _Builder, model: Deep, x: str, output: Optional[str]) -> str:
    zero = b.constant("zero", 0.0)
    columns = [x]
    result = ""
    for i, layer in enumerate(model.layers):
        features = x if len(columns) == 1 else b.node("Concat", columns, f"layer{i}_input", axis=1)
        total = zero
        for m, member in enumerate(layer):
            predicted = _boosting(b, member, features, f"layer{i}_member{m}")
            columns.append(predicted)
            total = b.node("Add", [total, predicted], f"layer{i}_total{m}")
        last = i + 1 == len(model.layers)
        mean = b.node("Div", [total, b.constant(f"layer{i}_width", float(len(layer)))], f"layer{i}_mean",
                      output if last and i == 0 else None)
        if i == 0:
            result = mean
        else:
            scaled = b.node("Mul", [mean, b.constant("rate", model.learning_rate)], f"layer{i}_scaled")
            result = b.node("Add", [result, scaled], f"after_layer{i}", output if last else None)
    return result


def build(b: _Builder, parsed: Parsed, x: str, output: Optional[str] = None) -> str:
    """The graph of a checked model reading x (double, rows x features); its output is rows x 1."""
    if isinstance(parsed, Trees):
        return _trees(b, parsed, x, "tree", output=output)
    if isinstance(parsed, Boosting):
        return _boosting(b, parsed, x, "boosting", output)
    return _deep(b, parsed, x, output)


def to_onnx(model: Any, n_features: int, name: str = "vandu") -> Any:
    """The ONNX model (``onnx.ModelProto``) of a fitted or loaded native ``DecisionTree``, ``GradientBoosting``
    or ``DeepGradientBoosting`` that reads ``n_features`` columns.

    Input ``X``: double, (rows, n_features); output ``variable``: double, (rows, 1), what ``model.predict``
    returns for those rows. Needs the ``onnx`` package (``pip install "vandu[onnx]"``). Raises ``ValueError``
    for a model that is not fitted or whose file the native walk could not predict every row with.
    """
    from onnx import TensorProto, helper, numpy_helper

    parsed = parsed_native(model, n_features)
    nodes: List[Any] = []
    initializers: List[Any] = []
    used: Dict[str, int] = {}

    def fresh(hint: str) -> str:
        used[hint] = used.get(hint, 0) + 1
        return hint if used[hint] == 1 else f"{hint}_{used[hint]}"

    def add_node(op: str, inputs: List[str], output: str, domain: str, attrs: Dict[str, Any]) -> None:
        nodes.append(helper.make_node(op, inputs, [output], name=fresh(op), domain=domain, **attrs))

    def add_constant(name: str, value: np.ndarray) -> None:
        initializers.append(numpy_helper.from_array(value, name))

    build(_Builder(fresh, add_node, add_constant), parsed, fresh("X"), fresh("variable"))
    graph = helper.make_graph(
        nodes, name, [helper.make_tensor_value_info("X", TensorProto.DOUBLE, [None, int(n_features)])],
        [helper.make_tensor_value_info("variable", TensorProto.DOUBLE, [None, 1])], initializers)
    opsets = [helper.make_opsetid("", MAIN_OPSET), helper.make_opsetid("ai.onnx.ml", ML_OPSET)]
    # The IR version of these opsets, not the newest the installed onnx knows: an ONNX Runtime that runs the
    # opsets refuses a model stamped with a later IR version.
    return helper.make_model(graph, producer_name="vandu", opset_imports=opsets,
                             ir_version=helper.find_min_ir_version_for(opsets))


# skl2onnx: a shape calculator and a converter for the three estimators.

def _skl2onnx(module: str) -> Any:
    """A module of skl2onnx, which ships no type information."""
    return importlib.import_module("skl2onnx" + ("." + module if module else ""))


def _shape(operator: Any) -> None:
    DoubleTensorType = _skl2onnx("common.data_types").DoubleTensorType
    rows = operator.inputs[0].get_first_dimension()
    operator.outputs[0].type = DoubleTensorType([rows, 1])


def _convert(scope: Any, operator: Any, container: Any) -> None:
    from onnx import TensorProto
    DoubleTensorType = _skl2onnx("common.data_types").DoubleTensorType

    estimator = operator.raw_operator
    ml_opset = container.target_opset_any_domain("ai.onnx.ml")
    if ml_opset is not None and ml_opset < ML_OPSET:
        raise RuntimeError(f"vandu's trees need the ai.onnx.ml opset {ML_OPSET} (TreeEnsemble), "
                           f"the target is {ml_opset}")
    parsed = parsed_native(estimator.model_, estimator.n_features_in_)
    x = operator.inputs[0].full_name
    if not isinstance(operator.inputs[0].type, DoubleTensorType):
        cast = scope.get_unique_variable_name("X_double")
        container.add_node("Cast", [x], [cast], name=scope.get_unique_operator_name("Cast"), to=TensorProto.DOUBLE)
        x = cast

    def add_node(op: str, inputs: List[str], output: str, domain: str, attrs: Dict[str, Any]) -> None:
        container.add_node(op, inputs, [output], name=scope.get_unique_operator_name(op), op_domain=domain,
                           op_version=ML_OPSET if domain == "ai.onnx.ml" else None, **attrs)

    def add_constant(name: str, value: np.ndarray) -> None:
        container.add_initializer(name, TensorProto.DOUBLE, list(value.shape), value.tolist())

    build(_Builder(scope.get_unique_variable_name, add_node, add_constant), parsed, x,
          operator.outputs[0].full_name)


def register_converters() -> None:
    """Registers the converter of the three estimators with skl2onnx."""
    update_registered_converter = _skl2onnx("").update_registered_converter

    from . import DecisionTreeRegressor, DeepGradientBoostingRegressor, GradientBoostingRegressor

    _allow_ml_opset()
    for cls in (DecisionTreeRegressor, GradientBoostingRegressor, DeepGradientBoostingRegressor):
        update_registered_converter(cls, "Vandu" + cls.__name__, _shape, _convert)


def _allow_ml_opset() -> None:
    """skl2onnx (1.20) refuses to write a model using an ai.onnx.ml opset above 3, though the onnx package it
    runs with may define TreeEnsemble (opset 5) and ONNX Runtime runs it, while the opset 3 operator only
    gives float outputs. The check alone is told about opset 5, when onnx defines it; no converter of
    skl2onnx's own asks for it."""
    from onnx import defs
    _topology = _skl2onnx("common._topology")

    check = _topology.get_default_opset_for_domain
    if getattr(check, "vandu_allows", None) == ML_OPSET:
        return
    try:
        defs.get_schema("TreeEnsemble", ML_OPSET, "ai.onnx.ml")
    except Exception:  # an onnx without it: converting fails with skl2onnx's own message
        return

    def allowing(domain: str) -> Any:
        found = check(domain)
        return max(found, ML_OPSET) if domain == "ai.onnx.ml" and found is not None else found

    allowing.vandu_allows = ML_OPSET  # type: ignore[attr-defined]
    _topology.get_default_opset_for_domain = allowing


class _RegisterAfterImport(importlib.abc.MetaPathFinder):
    """Registers the converters once skl2onnx is imported: importing it up front would cost every user of
    vandu_sklearn about a second."""

    def find_spec(self, fullname: str, path: Any, target: Any = None) -> Any:
        if fullname != "skl2onnx":
            return None
        sys.meta_path.remove(self)
        found = importlib.util.find_spec(fullname)
        if found is None or found.loader is None:
            return found
        loader = found.loader
        original = loader.exec_module

        def exec_module(module: Any) -> None:
            original(module)
            register_converters()

        loader.exec_module = exec_module  # type: ignore[method-assign]
        return found


def install_registration_hook() -> None:
    """Registers the converters now when skl2onnx is imported, else as soon as it is."""
    if "skl2onnx" in sys.modules:
        register_converters()
    elif not any(isinstance(finder, _RegisterAfterImport) for finder in sys.meta_path):
        sys.meta_path.insert(0, _RegisterAfterImport())
