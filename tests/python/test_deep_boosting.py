"""DeepGradientBoosting on tiny data (the member grid holds 1000-stage models): the saved
layers checked against the data, predict as the layer-by-layer composition, the failures,
and fitting again in a process forked after a fit."""
import multiprocessing

import numpy as np
import pytest

import vandu
from conftest import expect_panic, running_mean, saved, tree_value

UNSUPPORTED = ("called `Result::unwrap()` on an `Err` value: "
               "ShapeError/Unsupported: unsupported operation")
UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
NO_NODE = "index out of bounds: the len is 0 but the index is 0"

GRID = [{"est_params": {"depth": d, "min_samples_split": 2}, "n_estimators": n, "learning_rate": r}
        for d in (2, 3, 5) for n in (100, 1000) for r in (0.1, 0.01)]






def member_value(member, row):
    s = 0.0
    for tree in member["estimators"]:
        s = s + tree_value(tree, row)
    return s * member["params"]["learning_rate"] + member["mean"]


def layer_means(record, x):
    """Per layer, the mean member prediction of every sample, each sample's features growing
    by the predictions of every earlier layer's members."""
    means = [[] for _ in record["estimators"]]
    for row in x.tolist():
        features = list(row)
        for i, layer in enumerate(record["estimators"]):
            values = [member_value(m, features) for m in layer["estimators"]]
            s = 0.0
            for v in values:
                s = s + v
            means[i].append(s / float(len(values)))
            features += values
    return means


def composed_predict(record, x):
    means = layer_means(record, x)
    rate = record["params"]["learning_rate"]
    result = list(means[0])
    for layer in means[1:]:
        result = [r + (rate * m) for r, m in zip(result, layer)]
    return result




def data(rng, n, features=2):
    x = rng.normal(size=(n, features))
    return x, x[:, 0] - 0.5 * x[:, -1] + rng.normal(scale=0.1, size=n)


def test_layers_residuals_and_prediction(rng, persistence):
    x, y = data(rng, 24)
    model = vandu.DeepGradientBoosting(n_estimators=3, layer_width=2, learning_rate=0.5)
    assert model.fit(x, y) is None
    record = saved(model, persistence)
    assert record["params"] == {"n_estimators": 3, "layer_width": 2, "learning_rate": 0.5}
    layers = record["estimators"]
    assert [len(layer["estimators"]) for layer in layers] == [2, 2, 2]
    for i, layer in enumerate(layers):
        params = layer["estimators"][0]["params"]
        assert params in GRID
        for member in layer["estimators"]:
            assert member["params"] == params
            assert len(member["estimators"]) == params["n_estimators"]
            features = {r["split_info"]["feature"] for t in member["estimators"] for r in t["splitters"]}
            assert max(features) < x.shape[1] + 2 * i

    # Layer 0 is fitted to y, layer 1 to y - mean(layer 0), layer 2 to that - rate * mean(layer 1).
    means = layer_means(record, x)
    residuals = [float(v) for v in y]
    for i, layer in enumerate(layers):
        for member in layer["estimators"]:
            assert member["mean"] == running_mean(residuals), "layer %d" % i
        kappa = 1.0 if i == 0 else 0.5
        residuals = [r - (kappa * m) for r, m in zip(residuals, means[i])]

    assert model.predict(x).tolist() == composed_predict(record, x)
    other = rng.normal(size=(7, 2))
    assert model.predict(other).tolist() == composed_predict(record, other)
    # Enough rows for the kept layout's blocks of samples, some on the nodes' thresholds,
    # NaN, infinite or zeros of either sign.
    many = rng.normal(size=(70, 2))
    special = [0.0, -0.0, float("nan"), float("inf"), float("-inf")]
    special += [r["split_info"]["threshold"] for layer in layers for m in layer["estimators"]
                for t in m["estimators"] for r in t["splitters"]][::97]
    chosen = rng.random(size=many.shape) < 0.3
    many[chosen] = rng.choice(special, size=int(chosen.sum()))
    assert model.predict(many).tolist() == composed_predict(record, many)


def test_one_layer_predicts_its_mean_and_ignores_the_rate(rng, persistence):
    x, y = data(rng, 20, features=3)
    model = vandu.DeepGradientBoosting(n_estimators=1, layer_width=3, learning_rate=123.0)
    model.fit(x, y)
    record = saved(model, persistence)
    assert len(record["estimators"]) == 1
    assert model.predict(x).tolist() == layer_means(record, x)[0]


def test_refit_and_load_replace_every_layer(rng, persistence):
    # Predictions come from the model the instance holds now, never from one it held before.
    x, y = data(rng, 20)
    model = vandu.DeepGradientBoosting(n_estimators=2, layer_width=1)
    model.fit(x, y)
    first = saved(model, persistence, "first.json")
    x2, y2 = data(rng, 25, features=3)
    model.fit(x2, y2)
    record = saved(model, persistence)
    assert len(record["estimators"]) == 2
    assert record["estimators"][0]["estimators"][0]["mean"] == running_mean(y2)
    for rows in (x2[:1], x2):
        assert model.predict(rows).tolist() == composed_predict(record, rows)
    model.load(str(persistence / "first.json"))
    for rows in (x[:1], x):
        assert model.predict(rows).tolist() == composed_predict(first, rows)


def test_no_layer_fits_but_cannot_predict(rng):
    x, y = data(rng, 20)
    model = vandu.DeepGradientBoosting(n_estimators=0)
    model.fit(x, y)
    expect_panic(lambda: model.predict(x), UNWRAP_NONE)
    expect_panic(lambda: vandu.DeepGradientBoosting().predict(x), UNWRAP_NONE)


@pytest.mark.parametrize("width, n, message", [
    (0, 20, UNSUPPORTED),
    (2, 9, NO_NODE),
    (2, 3, NO_NODE),
], ids=["zero_width", "nine_samples", "three_samples"])
def test_failed_fit_leaves_no_layer(width, n, message, rng, persistence):
    model = vandu.DeepGradientBoosting(n_estimators=2, layer_width=width)
    if width:
        model.fit(*data(rng, 20))  # the layers of an earlier fit go too
    x, y = data(rng, n)
    expect_panic(lambda: model.fit(x, y), message)
    assert saved(model, persistence)["estimators"] == []


def test_nan_target_fails_the_search(rng):
    x, y = data(rng, 20)
    y[3] = np.nan
    expect_panic(lambda: vandu.DeepGradientBoosting(n_estimators=1, layer_width=1).fit(x, y), UNWRAP_NONE)


def fit_in_child(x, y, queue):
    """Runs in the forked child: the pool and the generator must work there too."""
    model = vandu.DeepGradientBoosting(n_estimators=2, layer_width=2)
    model.fit(x, y)
    prediction = model.predict(x)
    queue.put(("deep", bool(np.all(np.isfinite(prediction))) and prediction.shape == y.shape))
    tree = vandu.DecisionTree(depth=4)
    tree.fit(x, y)
    queue.put(("tree", tree.predict(x).tolist()))


def test_fit_in_a_process_forked_after_a_fit(rng):
    x, y = data(rng, 20)
    vandu.DeepGradientBoosting(n_estimators=1, layer_width=2).fit(x, y)  # the pool is running
    vandu.DecisionTree(depth=4).fit(x, y)  # and this thread's generator too
    context = multiprocessing.get_context("fork")
    queue = context.Queue()
    child = context.Process(target=fit_in_child, args=(x, y, queue))
    child.start()
    # The parent draws right after the fork: a child that kept the parent's generator
    # state would draw the very same thresholds.
    tree = vandu.DecisionTree(depth=4)
    tree.fit(x, y)
    mine = tree.predict(x).tolist()
    child.join(timeout=120)
    if child.is_alive():
        child.kill()
        child.join()
        pytest.fail("the forked child hung")
    assert child.exitcode == 0
    results = dict(queue.get(timeout=5) for _ in range(2))
    assert results["deep"] is True
    assert results["tree"] != mine
