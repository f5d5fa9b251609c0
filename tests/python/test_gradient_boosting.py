"""GradientBoosting: fitted models read back from their saved state and checked against the
data: the running mean, every stage fitted to the residuals the earlier stages leave, and
predict as mean + rate * (sum of the stages)."""

import numpy as np
import pytest

import vandu
from conftest import expect_panic, running_mean, saved, tree_predict

UNSUPPORTED = ("called `Result::unwrap()` on an `Err` value: "
               "ShapeError/Unsupported: unsupported operation")
NO_NODE = "index out of bounds: the len is 0 but the index is 0"






def side_means_hold(tree, x, targets):
    """Every node's two values are the running means of the targets reaching each side."""
    rules = [r["split_info"] for r in tree["splitters"]]

    def visit(node, samples):
        split = rules[node]
        sides = ([s for s in samples if not x[s][split["feature"]] > split["threshold"]],
                 [s for s in samples if x[s][split["feature"]] > split["threshold"]])
        for side in (0, 1):
            if split["values"][side] != running_mean([targets[s] for s in sides[side]]):
                return False
            child = tree["routes"][node][side]
            if child >= 0 and not visit(child, sides[side]):
                return False
        return True

    return visit(0, list(range(len(x))))




def defined_predict(record, x):
    sums = [0.0] * len(x)
    for tree in record["estimators"]:
        for j, v in enumerate(tree_predict(tree, x)):
            sums[j] = sums[j] + v
    rate = record["params"]["learning_rate"]
    return [s * rate + record["mean"] for s in sums]


@pytest.mark.parametrize("depth, n_estimators, rate", [(1, 4, 0.5), (3, 6, 0.1), (2, 1, 0.3), (4, 5, 1.0)])
def test_stages_follow_the_residual_chain(depth, n_estimators, rate, xy, persistence):
    x, y = xy
    model = vandu.GradientBoosting(depth=depth, n_estimators=n_estimators, learning_rate=rate)
    assert model.fit(x, y) is None
    record = saved(model, persistence)
    assert record["mean"] == running_mean(y)
    assert len(record["estimators"]) == n_estimators
    rows = x.tolist()
    residuals = [float(v) - record["mean"] for v in y]
    for t, tree in enumerate(record["estimators"]):
        assert len(tree["routes"]) == 2 ** depth
        assert side_means_hold(tree, rows, residuals), "stage %d" % t
        p = [v * rate for v in tree_predict(tree, rows)]
        residuals = [r - q for r, q in zip(residuals, p)]

    assert model.predict(x).tolist() == defined_predict(record, rows)
    other = np.random.default_rng().normal(size=(11, x.shape[1]))
    assert model.predict(other).tolist() == defined_predict(record, other.tolist())


def test_first_stage_sees_the_centred_targets(persistence):
    x = np.arange(4.0).reshape(4, 1)
    model = vandu.GradientBoosting(depth=1, n_estimators=3)
    model.fit(x, np.array([1.0, 2.0, 3.0, 4.0]))
    record = saved(model, persistence)
    assert record["mean"] == 2.5
    assert side_means_hold(record["estimators"][0], x.tolist(), [-1.5, -0.5, 0.5, 1.5])


def test_zero_rate_predicts_the_mean(xy):
    x, y = xy
    model = vandu.GradientBoosting(n_estimators=5, learning_rate=0.0)
    model.fit(x, y)
    assert model.predict(x).tolist() == [running_mean(y)] * len(y)


def test_refit_replaces_the_stages(xy, rng, persistence):
    x, y = xy
    model = vandu.GradientBoosting(depth=2, n_estimators=4)
    model.fit(x, y)
    y2 = rng.normal(size=len(y))
    model.fit(x, y2)
    record = saved(model, persistence)
    assert len(record["estimators"]) == 4
    assert record["mean"] == running_mean(y2)


def test_predict_without_columns_is_empty(xy):
    model = vandu.GradientBoosting(n_estimators=3)
    model.fit(*xy)
    out = model.predict(np.zeros((0, xy[0].shape[1])))
    assert out.shape == (0,) and out.dtype == np.float64


@pytest.mark.parametrize("n_estimators", [0, 5])
def test_no_stage_cannot_predict(n_estimators, xy):
    model = vandu.GradientBoosting(n_estimators=n_estimators)
    expect_panic(lambda: model.predict(xy[0]), UNSUPPORTED)
    model.fit(*xy)
    if n_estimators == 0:  # the fit sets the mean only
        expect_panic(lambda: model.predict(xy[0]), UNSUPPORTED)
    else:
        assert model.predict(xy[0]).shape == (len(xy[1]),)


@pytest.mark.parametrize("depth, x, y", [
    (0, np.arange(6.0).reshape(3, 2), np.array([1.0, 2.0, 3.0])),
    (3, np.array([[1.0, 2.0]]), np.array([5.0])),
    (3, np.ones((4, 2)), np.array([1.0, 2.0, 3.0, 4.0])),
], ids=["depth0", "one_sample", "constant_features"])
def test_tree_without_node_fails_the_fit_and_keeps_the_mean(depth, x, y, persistence):
    model = vandu.GradientBoosting(depth=depth, n_estimators=3)
    expect_panic(lambda: model.fit(x, y), NO_NODE)
    record = saved(model, persistence)
    assert record["estimators"] == []
    assert record["mean"] == running_mean(y)


def test_route_tables_beyond_memory_are_refused(xy, persistence):
    x, y = xy
    model = vandu.GradientBoosting(depth=24, n_estimators=2**32 - 1)
    with pytest.raises(MemoryError):
        model.fit(x, y)
    assert saved(model, persistence)["mean"] == 0.0  # refused before anything changed
    model = vandu.GradientBoosting(depth=255, n_estimators=0)
    model.fit(x, y)
    expect_panic(lambda: model.predict(x), UNSUPPORTED)
