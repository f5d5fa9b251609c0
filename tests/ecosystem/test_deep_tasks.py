"""DeepGradientBoostingRegressor fitted layer by layer: joblib tasks, progress, warm start, interrupted fits."""
import os
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


@pytest.mark.parametrize("send", ["pthread_kill", "interrupt_main"])
@pytest.mark.parametrize("options", [{}, {"n_jobs": 1}], ids=["native", "tasks"])
def test_an_interrupt_from_a_thread_never_loses_the_model(send, options, monkeypatch):
    """The native fit holds the interpreter lock, so a thread's interrupt lands once a call returns,
    wherever that is; what was fitted is kept all the same."""
    import _thread
    import signal
    import threading

    # A run started in the background may have SIGINT ignored; Ctrl-C's handler is what is tested.
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    x, y = data(400)
    model = DeepGradientBoostingRegressor(n_estimators=3, layer_width=2, **options)
    interrupt = ((lambda: signal.pthread_kill(threading.main_thread().ident, signal.SIGINT))
                 if send == "pthread_kill" else _thread.interrupt_main)
    timers = [threading.Timer(0.3, interrupt)]
    if options:
        # Tasks let other threads run between them: the interrupt is sent as the first layer ends.
        layer_done = _deep.Progress.layer_done

        def then_interrupt(progress, layer, combination):
            if layer == 0:
                timers[0].start()
            layer_done(progress, layer, combination)
        monkeypatch.setattr(_deep.Progress, "layer_done", then_interrupt)
        timers[0] = threading.Timer(0.0, interrupt)
    else:
        timers[0].start()
    try:
        with pytest.raises(KeyboardInterrupt):
            model.fit(x, y)
            timers[0].join()  # an interrupt that comes after the fit still lands in this block
            threading.Event().wait(1.0)
    finally:
        timers[0].cancel()
        signal.signal(signal.SIGINT, previous)
    _, _, _, held = layers_of(model)
    assert 1 <= len(held) == model.n_estimators_ <= 3
    assert model.predict(x).tobytes() == replay(held, x, y, 0.25)[0].tobytes()
    model.set_params(warm_start=True).fit(x, y)
    assert layers_of(model)[3][:len(held)] == held and model.n_estimators_ == 3


@pytest.mark.parametrize("options", [{}, {"n_jobs": 1}], ids=["native-pool", "tasks"])
def test_early_stopping_keeps_the_layers_up_to_the_best(options):
    x, y = data(200)
    x_val, y_val = data(100)
    patience, tol = 2, 0.02
    model = DeepGradientBoostingRegressor(n_estimators=8, layer_width=1, learning_rate=0.5, n_iter_no_change=patience,
                                          tol=tol, **options).fit(x, y, X_val=x_val, y_val=y_val)
    scores = model.validation_score_
    fitted = len(scores)
    # The rule, replayed: stop after layer j once none of the last `patience` layers beat by more than
    # tol the least loss before them (layer 0: the training mean).
    losses = [float(np.mean((np.mean(y) - y_val) ** 2))] + list(scores)

    def stops_after(j):
        return j >= patience and min(losses[j - patience + 1:j + 1]) >= min(losses[:j - patience + 1]) - tol
    assert not any(stops_after(j) for j in range(1, fitted)) and (fitted == 8 or stops_after(fitted))
    best = model.n_estimators_
    assert best == 1 + int(np.argmin(scores)) and len(model.train_score_) == fitted
    n_estimators, _, _, layers = layers_of(model)
    # The model is a native one of `best` layers, as a native fit of that many layers could give.
    assert n_estimators == len(layers) == best
    prediction, residuals = replay(layers, x, y, 0.5)
    assert model.predict(x).tobytes() == prediction.tobytes()
    assert all(struct_mean(record) == running_mean(r) for layer, r in zip(layers, residuals) for record in layer)
    assert float(np.mean((model.predict(x_val) - y_val) ** 2)) == pytest.approx(scores[best - 1], rel=1e-9)
    assert float(np.mean((y - prediction) ** 2)) == pytest.approx(model.train_score_[best - 1], rel=1e-9)

    # Without a validation set, a tenth of the rows is held out; a warm start keeps holding out the same.
    model = DeepGradientBoostingRegressor(n_estimators=1, layer_width=1, n_iter_no_change=1, warm_start=True,
                                          **options).fit(x, y)
    rows = model._holdout_rows_
    assert len(rows) == 20 and len(model.validation_score_) == 1
    model.set_params(n_estimators=2).fit(x, y)
    assert model._holdout_rows_ is rows


@pytest.mark.parametrize("options", [{}, {"n_jobs": 1}, {"n_iter_no_change": 1}],
                         ids=["native", "tasks", "early-stopping"])
def test_constant_features_fit_a_constant_model(options):
    x = np.full((60, 3), 2.0)
    y = np.random.default_rng().normal(size=60)
    native = vandu.DeepGradientBoosting(1, 1, 0.25)
    with pytest.raises(BaseException, match="index out of bounds"):
        native.fit(x, y)  # the native behaviour stays
    model = DeepGradientBoostingRegressor(n_estimators=2, layer_width=2, **options).fit(x, y)
    assert type(model.model_) is vandu.DeepGradientBoosting
    predicted = model.predict(np.random.default_rng().uniform(size=(7, 3)))
    assert np.all(predicted == predicted[0]) and abs(predicted[0] - np.mean(y)) < 1.0
    if not options:
        assert predicted[0] == pytest.approx(np.mean(y), rel=1e-12)


def test_conversions_leave_no_files(tmp_path, monkeypatch):
    import subprocess
    import tempfile

    from vandu_sklearn import _scratch

    monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
    monkeypatch.setattr(_scratch, "_scratch", {"pid": None, "path": None})
    tag = _scratch.scratch_tag()
    ended = subprocess.Popen([sys.executable, "-c", "pass"])
    ended.wait()
    # A folder left by a process killed before its exit goes; a running process's stays.
    for pid, name in ((ended.pid, "ended"), (os.getppid(), "running")):
        os.makedirs(tmp_path / f"vandu-scratch-{tag}-{pid}-{name}")
        (tmp_path / f"vandu-scratch-{tag}-{pid}-{name}" / "model.bin.tmp").write_bytes(b"x" * 1000)
    model = vandu.GradientBoosting(n_estimators=3)
    model.fit(*data(50))
    for _ in range(3):
        again = _model_from_bytes(vandu.GradientBoosting, _model_bytes(model))
    assert _model_bytes(again) == _model_bytes(model)
    running = f"vandu-scratch-{tag}-{os.getppid()}-running"
    (own,) = set(os.listdir(tmp_path)) - {running}
    assert own.startswith(f"vandu-scratch-{tag}-{os.getpid()}-") and os.listdir(tmp_path / own) == []
    _scratch.remove_scratch()
    assert os.listdir(tmp_path) == [running]


@pytest.mark.parametrize("params, match", [
    ({"n_iter_no_change": 0}, "n_iter_no_change"),
    ({"validation_fraction": 1.0}, "validation_fraction"),
    ({"tol": -1.0}, "tol"),
    ({"n_jobs": 0}, "n_jobs"),
    ({"n_jobs": 1.5}, "n_jobs"),
    ({"verbose": -1}, "verbose"),
    ({"warm_start": "yes"}, "warm_start"),
])
def test_options_are_checked(params, match):
    x, y = data(20)
    with pytest.raises(ValueError, match=match):
        DeepGradientBoostingRegressor(n_estimators=1, layer_width=1, **params).fit(x, y)


@pytest.mark.parametrize("changed, other_data, match", [
    ({"layer_width": 2}, None, "layer_width and learning_rate"),
    ({"learning_rate": 0.5}, None, "layer_width and learning_rate"),
    ({}, lambda x, y: (x, y + 1.0), "other data"),
    ({}, lambda x, y: (x[:-1], y[:-1]), "other data"),
    ({}, lambda x, y: (np.asfortranarray(x), y.astype(np.float32).astype(np.float64)), None),
], ids=["width", "rate", "other-y", "fewer-rows", "same-values-other-layout"])
def test_warm_start_keeps_width_rate_and_data(changed, other_data, match):
    import pickle

    x, y = data()
    y = y.astype(np.float32).astype(np.float64)  # the same values again through float32
    model = DeepGradientBoostingRegressor(n_estimators=1, layer_width=1, warm_start=True).fit(x, y)
    # The data's fingerprint travels with the model.
    model = pickle.loads(pickle.dumps(model))
    held = layers_of(model)[3]
    if match is None:
        model.set_params(n_estimators=2).fit(*other_data(x, y))
        assert layers_of(model)[3][0] == held[0] and model.n_estimators_ == 2
        return
    with pytest.raises(ValueError, match=match):
        model.set_params(n_estimators=2, **changed).fit(*(other_data(x, y) if other_data else (x, y)))
    assert layers_of(model)[3] == held


@pytest.mark.parametrize("tqdm", [True, False], ids=["tqdm", "no-tqdm"])
@pytest.mark.parametrize("options", [{"verbose": 0}, {"verbose": 1}, {"verbose": 0, "n_jobs": 1},
                                     {"verbose": 1, "n_jobs": 1}])
def test_progress(tqdm, options, capsys, monkeypatch):
    if tqdm:
        pytest.importorskip("tqdm")
    else:
        monkeypatch.setitem(sys.modules, "tqdm.auto", None)
    advanced = []
    advance = _deep.Progress.advance

    def recorded(progress, cost):
        advanced.append((cost, progress.total()))
        advance(progress, cost)
    monkeypatch.setattr(_deep.Progress, "advance", recorded)
    x, y = data(60)
    DeepGradientBoostingRegressor(n_estimators=2, layer_width=1, **options).fit(x, y)
    out, err = capsys.readouterr()
    if not options["verbose"]:
        assert out == err == ""
    elif tqdm:
        assert out == "" and "100%" in err and "layer 2/2" in err
    else:
        lines = out.splitlines()
        assert err == "" and len(lines) == 2
        assert all(f"layer {i}/2 fitted" in line and "left" in line for i, line in zip((1, 2), lines))
    if options.get("n_jobs") is None:
        assert len(advanced) == (2 if options["verbose"] else 0)  # one step per layer; none for one native call
        return
    # Every fit weighs depth x stages x rows x features: the search's fits on one fold of a layer's 60
    # rows (12), its members on all 60, the second layer with one more feature than the first.
    costs = [cost for cost, _ in advanced]
    features = (3, 3 + 1)
    search = [sorted(depth * stages * 12 * f for depth, stages, _ in _deep.GRID for _ in range(8)) for f in features]
    assert sorted(costs[:96]) == pytest.approx(search[0]) and sorted(costs[97:193]) == pytest.approx(search[1])
    assert costs[0] == max(costs[:96])  # the longest first
    grid = {depth * stages for depth, stages, _ in _deep.GRID}
    assert costs[96] / (60 * features[0]) in grid and costs[193] / (60 * features[1]) in grid
    # The total is exact once every layer's members are known, and the work done adds up to it.
    assert sum(costs) == pytest.approx(advanced[-1][1])


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
