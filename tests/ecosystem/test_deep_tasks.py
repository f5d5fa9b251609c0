"""DeepGradientBoostingRegressor fitted layer by layer: joblib tasks, progress, warm start, interrupted fits."""
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6")
joblib = pytest.importorskip("joblib")

import vandu  # noqa: E402
from vandu_sklearn import DeepGradientBoostingRegressor, _deep  # noqa: E402
from vandu_sklearn import _model_bytes, _model_from_bytes  # noqa: E402


def data(n=120, features=3):
    rng = np.random.default_rng()
    x = rng.uniform(size=(n, features))
    return x, 10.0 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 5.0 * x[:, 2] + rng.normal(size=n)


def layers_of(estimator):
    return _deep.split(_model_bytes(estimator.model_))


def running_mean(values):
    mean = 0.0
    for k, value in enumerate(values, 1):
        mean = mean + (value - mean) / k
    return mean


def replay(layers, x, y, learning_rate):
    """The prediction and, per layer, the residual it was fitted to, rebuilt from the members alone."""
    prediction, residuals, r = None, [], y.copy()
    for i, layer in enumerate(layers):
        residuals.append(r)
        members = [_model_from_bytes(vandu.GradientBoosting, record) for record in layer]
        predictions = [np.array(member.predict(x)) for member in members]
        means = member_mean(predictions)
        prediction = means if i == 0 else prediction + learning_rate * means
        r = r - ((1.0 if i == 0 else learning_rate) * means)
        x = np.hstack([x] + [p[:, None] for p in predictions])
    return prediction, residuals


def member_mean(predictions):
    # From 0.0, member by member, as the native layer averages.
    total = np.zeros_like(predictions[0])
    for p in predictions:
        total = total + p
    return total / len(predictions)


@pytest.mark.parametrize("options", [{"verbose": 1}, {"n_jobs": 1}, {"n_jobs": 2}],
                         ids=["native-pool-by-layer", "tasks-in-process", "tasks-on-loky"])
def test_assembled_model_is_its_members(options, capsys):
    x, y = data()
    model = DeepGradientBoostingRegressor(n_estimators=2, layer_width=2, learning_rate=0.5, **options).fit(x, y)
    assert type(model.model_) is vandu.DeepGradientBoosting
    n_estimators, width, rate, layers = layers_of(model)
    assert (n_estimators, width, rate) == (2, 2, 0.5) and [len(layer) for layer in layers] == [2, 2]
    prediction, residuals = replay(layers, x, y, 0.5)
    assert model.predict(x).tobytes() == prediction.tobytes()
    assert model.feature_importances_.shape == (x.shape[1],)
    for layer, r in zip(layers, residuals):
        for record in layer:
            # Every member was fitted to that layer's residual, with parameters from the search's grid.
            assert struct_mean(record) == running_mean(r)
            assert _deep._combination(record) in _deep.GRID


def struct_mean(record):
    return float(np.frombuffer(record[-8:], dtype="<f8")[0])


@pytest.mark.parametrize("n_jobs", [None, 1])
def test_an_interrupted_fit_keeps_its_layers_and_warm_start_resumes_it(n_jobs, monkeypatch):
    x, y = data()
    stop = {"layer": 1}
    if n_jobs is None:
        fit_layer = _deep._layer_on_native_pool

        def interrupted(x_, r, width):
            if x_.shape[1] > x.shape[1] and stop["layer"]:
                raise KeyboardInterrupt
            return fit_layer(x_, r, width)
        monkeypatch.setattr(_deep, "_layer_on_native_pool", interrupted)
    else:
        member_task = _deep.member_task

        def interrupted(key, x_, *args):
            if x_.shape[1] > x.shape[1] and stop["layer"]:
                raise KeyboardInterrupt
            return member_task(key, x_, *args)
        monkeypatch.setattr(_deep, "member_task", interrupted)

    model = DeepGradientBoostingRegressor(n_estimators=3, layer_width=2, n_jobs=n_jobs, verbose=1)
    with pytest.raises(KeyboardInterrupt):
        model.fit(x, y)
    _, _, _, held = layers_of(model)
    assert len(held) == 1
    assert model.predict(x).tobytes() == replay(held, x, y, 0.25)[0].tobytes()

    stop["layer"] = 0
    model.set_params(warm_start=True, n_estimators=2).fit(x, y)
    _, _, _, layers = layers_of(model)
    assert len(layers) == 2 and layers[0] == held[0]
    prediction, residuals = replay(layers, x, y, 0.25)
    assert model.predict(x).tobytes() == prediction.tobytes()
    # The new layer was fitted to the residual the held layer leaves, to the bit.
    assert all(struct_mean(record) == running_mean(residuals[1]) for record in layers[1])
    # Nothing left to fit; then fewer layers than held is refused.
    model.fit(x, y)
    assert layers_of(model)[3] == layers
    with pytest.raises(ValueError, match="n_estimators=1"):
        model.set_params(n_estimators=1).fit(x, y)


@pytest.mark.parametrize("params, match", [
    ({"n_jobs": 0}, "n_jobs"),
    ({"n_jobs": 1.5}, "n_jobs"),
    ({"verbose": -1}, "verbose"),
    ({"warm_start": "yes"}, "warm_start"),
])
def test_options_are_checked(params, match):
    x, y = data(20)
    with pytest.raises(ValueError, match=match):
        DeepGradientBoostingRegressor(n_estimators=1, layer_width=1, **params).fit(x, y)


@pytest.mark.parametrize("changed", [{"layer_width": 2}, {"learning_rate": 0.5}])
def test_warm_start_keeps_width_and_rate(changed):
    x, y = data()
    model = DeepGradientBoostingRegressor(n_estimators=1, layer_width=1, warm_start=True).fit(x, y)
    with pytest.raises(ValueError, match="layer_width and learning_rate"):
        model.set_params(n_estimators=2, **changed).fit(x, y)
    assert len(layers_of(model)[3]) == 1


@pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "no-tqdm"])
@pytest.mark.parametrize("options", [{"verbose": 0}, {"verbose": 1}, {"verbose": 0, "n_jobs": 1},
                                     {"verbose": 1, "n_jobs": 1}])
def test_progress(tqdm, options, capsys, monkeypatch):
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    x, y = data(60)
    DeepGradientBoostingRegressor(n_estimators=2, layer_width=1, **options).fit(x, y)
    out, err = capsys.readouterr()
    if not options["verbose"]:
        assert out == err == ""
    elif tqdm:
        assert out == ""
        assert ("2/2" if "n_jobs" not in options else f"{2 * (96 + 1)}/{2 * (96 + 1)}") in err
    else:
        lines = out.splitlines()
        assert err == "" and len(lines) == 2
        assert all(f"layer {i}/2 fitted" in line and "left" in line for i, line in zip((1, 2), lines))


def test_ray_backend():
    ray = pytest.importorskip("ray")
    from ray.util.joblib import register_ray

    x, y = data()
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    try:
        register_ray()
        with joblib.parallel_config(backend="ray"):
            model = DeepGradientBoostingRegressor(n_estimators=2, layer_width=1, n_jobs=-1).fit(x, y)
    finally:
        ray.shutdown()
    _, _, _, layers = layers_of(model)
    assert [len(layer) for layer in layers] == [1, 1]
    assert model.predict(x).tobytes() == replay(layers, x, y, 0.25)[0].tobytes()
