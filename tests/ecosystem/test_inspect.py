"""vandu_sklearn: importances, the trees as a table, SHAP explanations and staged predictions."""
import json
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6")

from sklearn.exceptions import NotFittedError  # noqa: E402

import vandu  # noqa: E402
from vandu_sklearn import (  # noqa: E402
    DecisionTreeRegressor, DeepGradientBoostingRegressor, GradientBoostingRegressor, _inspect)


@pytest.fixture(params=["levels", "masks"])
def walk(request, monkeypatch):
    """Each of the two ways the trees are walked: many trees level by level, or node by node with masks."""
    monkeypatch.setattr(_inspect, "_MASK_WALK_ROWS", 1 if request.param == "masks" else 10**9)
    return request.param


def data(n=120, features=4):
    rng = np.random.default_rng()
    x = rng.normal(size=(n, features))
    x[:, -1] = 3.0  # one value, so never split on
    return x, x[:, 0] - 2.0 * x[:, 1] + rng.normal(scale=0.1, size=n)


def saved(model, path):
    model.save(str(path), "json")
    return json.loads(path.read_text())


def native(record, path, cls=vandu.GradientBoosting):
    path.write_text(json.dumps(record))
    model = cls()
    model.load(str(path), "json")
    return model


def walk_rows(tree, x):
    """The rows reaching each node of a saved tree record, and the tree's outputs, one row at a time."""
    reach = [[] for _ in tree["splitters"]]
    outputs = np.empty(len(x))
    for row, values in enumerate(x):
        node = 0
        while node >= 0:
            reach[node].append(row)
            split = tree["splitters"][node]["split_info"]
            side = int(values[split["feature"]] > split["threshold"])
            outputs[row] = split["values"][side]
            node = tree["routes"][node][side]
    return reach, outputs


def boosted_trees(record, x, y):
    """(tree record, its columns, the residuals it was fitted to) for every stage of a saved boosting model."""
    trees, residuals = [], y - record["mean"]
    for tree in record["estimators"]:
        trees.append((tree, x, residuals))
        residuals = residuals - record["params"]["learning_rate"] * walk_rows(tree, x)[1]
    return trees


def members_of(record, x, y, path):
    """The trees of every boosting model in a model saved after fitting x, y: a tree is one such model. Deep
    members read the columns before them plus earlier members' native predictions, and fit what the earlier
    layers' averages leave."""
    if "splitters" in record:
        return [[(record, x, y)]]
    if "mean" in record:
        return [boosted_trees(record, x, y)]
    members, columns, targets = [], x, y
    for index, layer in enumerate(record["estimators"]):
        members += [boosted_trees(member, columns, targets) for member in layer["estimators"]]
        predictions = [native(member, path).predict(np.ascontiguousarray(columns))
                       for member in layer["estimators"]]
        mean = sum(predictions, np.zeros(len(x))) / len(predictions)
        targets = targets - (1.0 if index == 0 else record["params"]["learning_rate"]) * mean
        columns = np.column_stack([columns] + predictions)
    return members


def square_deviation(values):
    return float(np.sum((values - values.mean()) ** 2))


@pytest.mark.parametrize("estimator", [
    DecisionTreeRegressor(depth=2),
    GradientBoostingRegressor(depth=2, n_estimators=3, learning_rate=0.5),
], ids=lambda e: type(e).__name__)
def test_importances_of_a_hand_checked_tree(estimator, walk):
    pd = pytest.importorskip("pandas")
    # Two-valued features leave no choice: every threshold drawn between 0 and 1 splits 0 from 1. The root
    # splits on a (leaving 0.5 + 0.5 of 101 squared deviation of y), each side then on b (0.5 each); c is
    # constant. So a brings 100 and b 1 + 0 of the root's 101 in stage 0, and the later stages, fitted to
    # residuals that shrink by the same factor everywhere, keep those shares.
    x = pd.DataFrame({"a": [0.0, 0.0, 1.0, 1.0], "b": [0.0, 1.0, 0.0, 1.0], "c": [7.0] * 4})
    y = 10.0 * x["a"] + x["b"]
    model = estimator.fit(x, y)
    stages = getattr(estimator, "n_estimators", 1)
    np.testing.assert_allclose(model.feature_importances_, [100 / 101, 1 / 101, 0.0], rtol=1e-9)
    assert model.feature_split_counts_.tolist() == [stages, 2 * stages, 0]
    assert model.feature_split_counts_.dtype == np.int64
    table = model.trees_to_dataframe()
    assert list(table.columns) == ["stage", "node", "depth", "feature", "threshold", "left_child",
                                   "right_child", "left_value", "right_value", "impurity", "samples",
                                   "left_samples", "right_samples"]
    assert table["stage"].tolist() == sorted(list(range(stages)) * 3)
    for column, expected in [("node", [0, 1, 2]), ("depth", [0, 1, 1]), ("feature", ["a", "b", "b"]),
                             ("left_child", [1, -1, -1]), ("right_child", [2, -1, -1]), ("samples", [4, 2, 2]),
                             ("left_samples", [2, 1, 1]), ("right_samples", [2, 1, 1])]:
        assert table[column].tolist() == expected * stages, column
    first = table[table["stage"] == 0]
    offset = 0.0 if stages == 1 else 5.5  # the first stage is fitted to y less its mean
    assert (first["left_value"] + offset).tolist() == pytest.approx([0.5, 0.0, 10.0])
    assert (first["right_value"] + offset).tolist() == pytest.approx([10.5, 1.0, 11.0])


def test_a_tree_without_a_split():
    model = DecisionTreeRegressor().fit(np.ones((5, 2)), np.arange(5.0))
    assert model.feature_importances_.tolist() == [0.0, 0.0]
    assert model.feature_split_counts_.tolist() == [0, 0]
    assert all(len(column) == 0 for column in model.trees_table().values())
    with pytest.raises(ValueError, match="no node"):
        model.to_shap()


@pytest.mark.parametrize("corrupt, match", [
    (lambda tree: tree["routes"].__setitem__(1, [0, -1]), "child number"),
    (lambda tree: tree["routes"].__setitem__(0, [1, 1]), "child of more than one node"),
    (lambda tree: tree["splitters"][2]["split_info"].__setitem__("feature", 4), "feature beyond"),
    (lambda tree: tree["splitters"][2].__setitem__("split_info", None), "no split"),
    (lambda tree: tree.__setitem__("routes", tree["routes"][:2]), "2 routes for"),
])
def test_a_model_that_breaks_the_tree_invariants_is_refused(corrupt, match, tmp_path):
    # The native model loads such a file, and may be put in place of the fitted one.
    x, y = data()
    model = DecisionTreeRegressor(depth=3).fit(x, y)
    record = saved(model.model_, tmp_path / "model.json")
    assert len(record["splitters"]) >= 3
    corrupt(record)
    model.model_ = native(record, tmp_path / "corrupt.json", vandu.DecisionTree)
    for inspect in (model.trees_table, model.to_shap):
        with pytest.raises(ValueError, match=match):
            inspect()


@pytest.mark.parametrize("estimator", [
    DecisionTreeRegressor(depth=5),
    GradientBoostingRegressor(depth=3, n_estimators=20, learning_rate=0.3),
    DeepGradientBoostingRegressor(n_estimators=2, layer_width=2),
], ids=lambda e: type(e).__name__)
def test_inspection_matches_the_saved_file(estimator, walk, tmp_path):
    x, y = data(n=60)
    model = pickle.loads(pickle.dumps(estimator.fit(x, y)))  # what fit computed travels with the model
    record = saved(model.model_, tmp_path / "model.json")
    table = model.trees_table()
    rows = 0
    total, split_counts = np.zeros(x.shape[1]), np.zeros(x.shape[1], dtype=np.int64)
    shares = np.zeros((0, x.shape[1]))  # each earlier deep member's importances
    for member in members_of(record, x, y, tmp_path / "member.json"):
        decrease = np.zeros(member[0][1].shape[1])
        for tree, columns, targets in member:
            reach, _ = walk_rows(tree, columns)
            for node, (split, route) in enumerate(zip(tree["splitters"], tree["routes"])):
                split = split["split_info"]
                at = np.array(reach[node])
                goes_right = columns[at, split["feature"]] > split["threshold"]
                for key, expected in [
                        ("node", node), ("feature", split["feature"]), ("threshold", split["threshold"]),
                        ("impurity", split["impurity"]), ("left_value", split["values"][0]),
                        ("right_value", split["values"][1]), ("left_child", route[0]),
                        ("right_child", route[1]), ("samples", len(at)),
                        ("left_samples", len(at) - goes_right.sum()), ("right_samples", goes_right.sum())]:
                    assert table[key][rows] == expected, (key, rows)
                sides = square_deviation(targets[at[~goes_right]]) + square_deviation(targets[at[goes_right]])
                assert split["impurity"] == pytest.approx(sides, rel=1e-9, abs=1e-9)
                decrease[split["feature"]] += square_deviation(targets[at]) - sides
                if split["feature"] < x.shape[1]:
                    split_counts[split["feature"]] += 1
                rows += 1
        # A deep member's split on an earlier member's prediction counts for that member's features.
        credited = decrease[:x.shape[1]] + decrease[x.shape[1]:] @ shares[:len(decrease) - x.shape[1]]
        shares = np.vstack([shares, credited / credited.sum()])
        total += credited
    assert rows == len(table["node"]) and set(map(len, table.values())) == {rows}
    assert model.feature_split_counts_.tolist() == split_counts.tolist()
    np.testing.assert_allclose(model.feature_importances_, total / total.sum(), rtol=1e-6, atol=1e-12)
    assert model.feature_importances_[-1] == 0.0


@pytest.mark.parametrize("estimator", [
    DecisionTreeRegressor(depth=6),
    GradientBoostingRegressor(depth=3, n_estimators=50),
], ids=lambda e: type(e).__name__)
def test_shap_explains_predictions_exactly(estimator):
    shap = pytest.importorskip("shap")
    x, y = data(n=200)
    model = estimator.fit(x, y)
    table = model.trees_table()
    # Rows on a node's threshold (which go left), and rows with NaN (also left; the native model takes them).
    nodes = min(40, len(table["node"]))
    ties = x[:nodes].copy()
    ties[np.arange(nodes), table["feature"][:nodes]] = table["threshold"][:nodes]
    holes = x[:30].copy()
    holes[::3, 0] = holes[1::3, 1] = holes[2::3, :3] = np.nan
    explained = np.concatenate([x, ties, holes])
    explainer = shap.TreeExplainer(model.to_shap())
    values = explainer.shap_values(explained)
    predictions = model.model_.predict(explained)
    assert values.shape == explained.shape
    np.testing.assert_allclose(values.sum(axis=1) + explainer.expected_value, predictions,
                               rtol=1e-9, atol=1e-9 * np.abs(predictions).max())
    assert np.all(values[:, -1] == 0.0)


def test_staged_predict_ends_on_predict_bits(walk, tmp_path):
    x, y = data()
    model = GradientBoostingRegressor(depth=3, n_estimators=12, learning_rate=0.3).fit(x, y)
    with pytest.raises(ValueError, match="features"):
        model.staged_predict(x[:, 1:])
    stages = list(model.staged_predict(x[:50]))
    assert len(stages) == 12 and len({id(stage) for stage in stages}) == 12
    # Stage k is what the first k + 1 trees predict as a native model of their own.
    record = saved(model.model_, tmp_path / "model.json")
    for k, stage in enumerate(stages):
        truncated = native(dict(record, estimators=record["estimators"][:k + 1]), tmp_path / "stage.json")
        assert stage.tobytes() == truncated.predict(x[:50]).tobytes(), k
    assert stages[-1].tobytes() == model.predict(x[:50]).tobytes()
    with pytest.raises(NotFittedError):
        GradientBoostingRegressor().staged_predict(x)
