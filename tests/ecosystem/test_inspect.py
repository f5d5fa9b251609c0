"""vandu_sklearn: importances, the trees as a table, SHAP explanations and staged predictions."""
import json
import pickle

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6")

from sklearn.exceptions import NotFittedError  # noqa: E402

import vandu  # noqa: E402
import vandu_sklearn  # noqa: E402
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
    assert list(table.columns) == ["stage", "node", "parent", "is_leaf", "depth", "feature", "threshold",
                                   "left_child", "right_child", "left_value", "right_value", "impurity", "gain",
                                   "count", "samples", "left_samples", "right_samples"]
    assert table["stage"].tolist() == sorted(list(range(stages)) * 7)
    # The three splits, then the four leaves, left before right.
    for column, expected in [("node", [0, 1, 2, 3, 4, 5, 6]), ("parent", [-1, 0, 0, 1, 1, 2, 2]),
                             ("is_leaf", [False] * 3 + [True] * 4), ("depth", [0, 1, 1, 2, 2, 2, 2]),
                             ("left_child", [1, 3, 5, -1, -1, -1, -1]), ("right_child", [2, 4, 6, -1, -1, -1, -1]),
                             ("samples", [4, 2, 2, 1, 1, 1, 1]), ("count", [4, 2, 2, 1, 1, 1, 1]),
                             ("left_samples", [2, 1, 1, 0, 0, 0, 0]), ("right_samples", [2, 1, 1, 0, 0, 0, 0])]:
        assert table[column].tolist() == expected * stages, column
    assert table["feature"][~table["is_leaf"]].tolist() == ["a", "b", "b"] * stages
    assert table["feature"][table["is_leaf"]].isna().all()  # a leaf splits on nothing
    assert model.apply(x).tolist() == ([3, 4, 5, 6] if stages == 1 else [[leaf] * stages for leaf in [3, 4, 5, 6]])
    # The gain of a split is the decrease of squared deviation: at the root 101 - 1 in stage 0.
    assert table["gain"][0] == pytest.approx(100.0)
    first = table[(table["stage"] == 0) & ~table["is_leaf"]]
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
    # Layers fitted as tasks are assembled, so they hold no counts of their own: walked natively instead.
    DeepGradientBoostingRegressor(n_estimators=2, layer_width=2, n_jobs=1),
], ids=lambda e: type(e).__name__ + ("_tasks" if getattr(e, "n_jobs", None) else ""))
def test_inspection_matches_the_saved_file(estimator, walk, tmp_path):
    x, y = data(n=60)
    model = pickle.loads(pickle.dumps(estimator.fit(x, y)))  # what fit computed travels with the model
    record = saved(model.model_, tmp_path / "model.json")
    full = model.trees_table()
    splits = ~full["is_leaf"]
    table = {key: value[splits] for key, value in full.items()}
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
                        ("right_value", split["values"][1]), ("samples", len(at)),
                        ("left_samples", len(at) - goes_right.sum()), ("right_samples", goes_right.sum())]:
                    assert table[key][rows] == expected, (key, rows)
                sides = square_deviation(targets[at[~goes_right]]) + square_deviation(targets[at[goes_right]])
                assert split["impurity"] == pytest.approx(sides, rel=1e-9, abs=1e-9)
                assert table["gain"][rows] == pytest.approx(square_deviation(targets[at]) - sides, rel=1e-6,
                                                            abs=1e-9)
                decrease[split["feature"]] += square_deviation(targets[at]) - sides
                if split["feature"] < x.shape[1]:
                    split_counts[split["feature"]] += 1
                rows += 1
        # A deep member's split on an earlier member's prediction counts for that member's features.
        credited = decrease[:x.shape[1]] + decrease[x.shape[1]:] @ shares[:len(decrease) - x.shape[1]]
        shares = np.vstack([shares, credited / credited.sum()])
        total += credited
    assert rows == len(table["node"]) and set(map(len, full.values())) == {len(full["node"])}
    # Every side without a child is a leaf row of its own, its number what apply gives and what the children
    # columns name; its training rows those of that side.
    assert full["is_leaf"].sum() == len(full["node"]) - rows
    if not isinstance(model, DeepGradientBoostingRegressor):
        leaves = model.apply(x).reshape(len(x), -1)
        for stage, (tree, columns, _) in enumerate(members_of(record, x, y, tmp_path / "m.json")[0]):
            stage_rows = {key: value[full["stage"] == stage] for key, value in full.items()}
            numbers = iter(range(len(tree["splitters"]), 2 * len(tree["splitters"]) + 1))
            expected_child = [[child if child >= 0 else next(numbers) for child in route]
                              for route in tree["routes"][:len(tree["splitters"])]]
            assert stage_rows["left_child"][~stage_rows["is_leaf"]].tolist() == [c[0] for c in expected_child]
            assert stage_rows["right_child"][~stage_rows["is_leaf"]].tolist() == [c[1] for c in expected_child]
            for row, values in enumerate(x):  # the saved JSON walked by hand, to the leaf
                node, side = 0, 0
                while node >= 0 and node < len(tree["splitters"]):
                    split = tree["splitters"][node]["split_info"]
                    side = int(values[split["feature"]] > split["threshold"])
                    leaf, node = expected_child[node][side], tree["routes"][node][side]
                assert leaves[row, stage] == leaf
            counts = np.bincount(leaves[:, stage], minlength=len(stage_rows["node"]))
            assert counts[stage_rows["is_leaf"]].tolist() == stage_rows["samples"][stage_rows["is_leaf"]].tolist()
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


def square_error_mean(predictions, targets):
    """The validation loss as defined: squared errors summed in row order, over the count."""
    total = 0.0
    for p, t in zip(predictions.tolist(), targets.tolist()):
        total += (p - t) * (p - t)
    return total / len(targets)


def stopping_stage(losses, patience, tol, most):
    """The rule replayed on L_0, L_1, ...: the first k after which none of the last `patience` stages lowered
    the least loss before them by more than tol."""
    for k in range(patience, len(losses)):
        before = min(losses[:k - patience + 1])
        if not any(before - loss > tol for loss in losses[k - patience + 1:k + 1]):
            return k
    return most


@pytest.mark.parametrize("patience, tol, rate", [(1, 0.0, 0.5), (3, 1e-4, 0.3), (4, 1e-2, 0.9)])
def test_early_stopping_keeps_the_best_stage_of_a_native_fit(patience, tol, rate, tmp_path):
    x, y = data(n=150)
    x_val, y_val = data(n=40)
    model = GradientBoostingRegressor(depth=2, n_estimators=300, learning_rate=rate, n_iter_no_change=patience,
                                      tol=tol).fit(x, y, x_val, y_val)
    record = saved(model.model_, tmp_path / "model.json")
    stages = len(record["estimators"])
    assert model.n_estimators_ == stages == record["params"]["n_estimators"]
    assert model.get_params()["n_estimators"] == 300
    # L_1 .. L_b replayed from the kept stages' own predictions, to the bit; L_0 from the mean.
    staged = list(model.staged_predict(x_val))
    losses = [square_error_mean(np.full(len(y_val), record["mean"]), y_val)]
    losses += [square_error_mean(p, y_val) for p in staged]
    assert model.validation_score_[:stages].tolist() == losses[1:]
    everything = losses[:1] + model.validation_score_.tolist()
    assert len(model.validation_score_) == len(model.train_score_) == stopping_stage(everything, patience, tol, 300)
    assert len(model.validation_score_) < 300  # it stopped
    assert stages == 1 + int(np.argmin(model.validation_score_))
    # Every kept stage is a fit to the residuals as the native fit forms them, on every training row.
    mean = 0.0
    for k, target in enumerate(y.tolist(), start=1):
        mean = mean + (target - mean) / k
    assert record["mean"] == mean
    for stage, (tree, columns, residuals) in enumerate(boosted_trees(record, x, y)):
        reach, outputs = walk_rows(tree, columns)
        for node, split in enumerate(tree["splitters"]):
            split = split["split_info"]
            at = np.array(reach[node])
            right = columns[at, split["feature"]] > split["threshold"]
            assert columns[at, split["feature"]].min() <= split["threshold"] < columns[at, split["feature"]].max()
            for side, rows in enumerate([at[~right], at[right]]):
                assert split["values"][side] == pytest.approx(residuals[rows].mean(), rel=1e-9, abs=1e-12)
        after = residuals - rate * outputs
        assert model.train_score_[stage] == pytest.approx(np.mean(after**2), rel=1e-9)


def test_early_stopping_holds_out_a_fraction_and_refuses_half_a_validation_set():
    x, y = data(n=200)
    model = GradientBoostingRegressor(n_estimators=2000, learning_rate=0.5, n_iter_no_change=2,
                                      validation_fraction=0.25).fit(x, y)
    assert 1 <= model.n_estimators_ <= len(model.validation_score_) < 2000
    assert model.predict(x).shape == (200,)
    with pytest.raises(ValueError, match="both or neither"):
        GradientBoostingRegressor(n_iter_no_change=2).fit(x, y, x)
    with pytest.raises(ValueError, match="only with n_iter_no_change"):
        GradientBoostingRegressor().fit(x, y, x, y)
    with pytest.raises(ValueError, match="validation_fraction"):
        GradientBoostingRegressor(n_iter_no_change=2, validation_fraction=1.0).fit(x, y)


@pytest.mark.parametrize("k", [1, 7, 20])
def test_truncated_is_the_staged_prediction(k):
    x, y = data()
    model = GradientBoostingRegressor(depth=3, n_estimators=20, learning_rate=0.3).fit(x, y)
    stages = list(model.staged_predict(x))
    for cut in (model.truncated(k), pickle.loads(pickle.dumps(model)).truncated(k)):
        again = pickle.loads(pickle.dumps(cut))
        assert cut.predict(x).tobytes() == again.predict(x).tobytes() == stages[k - 1].tobytes()
        assert cut.n_estimators_ == k and cut.get_params()["n_estimators"] == k
        full = model.trees_table()
        for key, column in cut.trees_table().items():
            np.testing.assert_array_equal(column, full[key][full["stage"] < k])  # NaN where the model's is
        assert cut.apply(x).tolist() == model.apply(x)[:, :k].tolist()
    with pytest.raises(ValueError):
        model.truncated(21)


@pytest.mark.parametrize("native_class", [vandu.DecisionTree, vandu.GradientBoosting])
def test_a_loaded_native_model_is_explained_with_the_covers_of_x(native_class, tmp_path):
    shap = pytest.importorskip("shap")
    pd = pytest.importorskip("pandas")
    x, y = data(n=200)
    fitted = native_class(depth=4) if native_class is vandu.DecisionTree else native_class(4, 2, 30, 0.2)
    fitted.fit(x, y)
    fitted.save(str(tmp_path / "model.bin"), "bincode")
    loaded = native_class()
    loaded.load(str(tmp_path / "model.bin"), "bincode")
    frame = pd.DataFrame(x, columns=["a", "b", "c", "d"])
    explainer = vandu_sklearn.to_shap(loaded, frame)
    explanation = explainer(frame)
    assert list(explanation.feature_names) == ["a", "b", "c", "d"]
    predictions = loaded.predict(x)
    np.testing.assert_allclose(explanation.values.sum(axis=1) + explanation.base_values, predictions,
                               rtol=1e-9, atol=1e-9 * np.abs(predictions).max())
    # The covers are X's: the root's weight is its row count.
    assert explainer.model.node_sample_weight[0][0] == 200


def test_a_replaced_model_is_recomputed_or_refused(tmp_path):
    x, y = data()
    model = GradientBoostingRegressor(depth=2, n_estimators=5).fit(x, y)
    other = vandu.GradientBoosting(2, 2, 5, 0.1)
    other.fit(x[:, ::-1].copy(), y)  # same shape, other splits: its own counts serve
    model.model_ = other
    assert model.feature_split_counts_.tolist() == saved_split_counts(other, tmp_path, x.shape[1])
    kept = pickle.loads(pickle.dumps(model))  # the counts travel, tied to this very model
    assert kept.trees_table()["samples"].tolist() == model.trees_table()["samples"].tolist()
    third = vandu.GradientBoosting(2, 2, 5, 0.1)
    third.fit(x, y)
    third.save(str(tmp_path / "third.bin"), "bincode")
    loaded = vandu.GradientBoosting()
    loaded.load(str(tmp_path / "third.bin"), "bincode")
    for estimator in (model, kept):
        estimator.model_ = loaded  # no counts of its own, and not the model the counts are for
        with pytest.raises(ValueError, match="no longer the model fitted"):
            estimator.to_shap()
        with pytest.raises(ValueError, match="no longer the model fitted"):
            estimator.feature_importances_


def saved_split_counts(model, tmp_path, n_features):
    record = saved(model, tmp_path / "counts.json")
    features = [s["split_info"]["feature"] for tree in record["estimators"] for s in tree["splitters"]]
    return np.bincount(features, minlength=n_features).tolist()


@pytest.mark.parametrize("early", [False, True])
def test_constant_features_give_the_mean(early):
    x, y = np.full((30, 3), 2.5), np.arange(30.0) ** 2
    validation = (x[:5], y[:5]) if early else ()  # every row trains
    model = GradientBoostingRegressor(n_iter_no_change=3 if early else None).fit(x, y, *validation)
    mean = 0.0
    for k, target in enumerate(y.tolist(), start=1):
        mean = mean + (target - mean) / k
    assert model.predict(np.array([[2.5, 2.5, 2.5], [9.0, -1.0, 0.0]])).tolist() == [mean, mean]
    assert model.feature_importances_.tolist() == [0.0, 0.0, 0.0]
    assert pickle.loads(pickle.dumps(model)).predict(x[:2]).tolist() == [mean, mean]
    native = vandu.GradientBoosting()
    with pytest.raises(BaseException, match="index out of bounds"):  # the native fit is unchanged
        native.fit(x, y)


def test_the_deep_model_is_explained_by_a_model_agnostic_explainer():
    shap = pytest.importorskip("shap")
    x, y = data(n=80)
    model = DeepGradientBoostingRegressor(n_estimators=1, layer_width=1).fit(x, y)
    explainer = shap.Explainer(model.predict, x[:20], algorithm="permutation")
    explanation = explainer(x[:4])
    np.testing.assert_allclose(explanation.values.sum(axis=1) + explanation.base_values, model.predict(x[:4]),
                               rtol=1e-9, atol=1e-9)
