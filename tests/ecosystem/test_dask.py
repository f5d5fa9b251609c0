"""examples/dask_example.py on a local cluster of two process workers, started and closed here."""
import importlib.util
import multiprocessing
import os
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn", minversion="1.6")
pd = pytest.importorskip("pandas")
distributed = pytest.importorskip("distributed")
dd = pytest.importorskip("dask.dataframe")

import vandu  # noqa: E402
from vandu_sklearn import GradientBoostingRegressor  # noqa: E402

EXAMPLE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "examples",
                       "dask_example.py")


@pytest.fixture
def example():
    found = importlib.util.spec_from_file_location("dask_example", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    sys.modules[found.name] = module
    yield module
    del sys.modules[found.name]


def test_fit_and_predict_on_a_cluster(example):
    x, y = example.friedman(300, np.random.default_rng())
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        assert os.getpid() not in client.run(os.getpid).values()
        # The tasks name the example's functions: the workers import it too.
        client.upload_file(EXAMPLE)
        candidates = [GradientBoostingRegressor(depth=1, n_estimators=20)] * 2 + [
            GradientBoostingRegressor(depth=3, n_estimators=20)]
        fitted = example.fit_candidates(client, candidates, x[:200], y[:200])
        assert [m.get_params() for m in fitted] == [c.get_params() for c in candidates]
        assert not any(hasattr(c, "model_") for c in candidates)
        # Equal candidates are separate fits.
        assert fitted[0].predict(x).tobytes() != fitted[1].predict(x).tobytes()

        model = fitted[2]
        local = model.predict(x)
        by_blocks = client.compute(example.predict_array(model, x, block_rows=64)).result(timeout=60)
        assert by_blocks.tobytes() == local.tobytes()
        frame = dd.from_pandas(pd.DataFrame(x), npartitions=3)
        series = client.compute(example.predict_frame(model, frame)).result(timeout=60)
        assert series.index.equals(pd.RangeIndex(300))
        assert series.to_numpy().tobytes() == local.tobytes()

        search = example.grid_search(x, y, {"depth": [1, 2]}, cv=2)
        assert search.best_params_["depth"] in (1, 2) and np.isfinite(search.cv_results_["mean_test_score"]).all()
        assert search.best_estimator_.predict(x).shape == (300,)
    assert multiprocessing.active_children() == []


@pytest.fixture
def bare_cluster(tmp_path):
    """A scheduler and two workers without nannies, each its own process, all ended here: a worker lost
    stays lost. The scheduler drops a worker silent for 6 s. Should the survivor be dropped too (a heavily
    loaded machine), the cluster is ended after five minutes, so the test fails instead of waiting forever."""
    import subprocess
    import threading
    import time

    env = dict(os.environ, DASK_DISTRIBUTED__SCHEDULER__WORKER_TTL="6s",
               DASK_DISTRIBUTED__SCHEDULER__ALLOWED_FAILURES="5")
    address = str(tmp_path / "scheduler.json")
    quiet = {"stdout": subprocess.DEVNULL, "stderr": subprocess.DEVNULL, "env": env}
    started = [subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_scheduler", "--scheduler-file",
                                 address, "--host", "127.0.0.1", "--port", "0", "--dashboard-address", ":0"],
                                **quiet)]
    watchdog = threading.Timer(300, lambda: [p.kill() for p in started if p.poll() is None])
    try:
        for _ in range(2):
            started.append(subprocess.Popen([sys.executable, "-m", "distributed.cli.dask_worker", "--scheduler-file",
                                             address, "--no-nanny", "--nthreads", "1", "--host", "127.0.0.1",
                                             "--dashboard-address", ":0"], **quiet))
        deadline = time.monotonic() + 60
        while not os.path.exists(address) and time.monotonic() < deadline:
            time.sleep(0.1)
        watchdog.start()
        with distributed.Client(scheduler_file=address, timeout=30) as client:
            client.wait_for_workers(2, timeout=60)
            yield client, started
    finally:
        watchdog.cancel()
        for process in started:
            if process.poll() is None:
                process.kill()
            process.wait(timeout=30)


@pytest.mark.parametrize("fault", ["kill-worker", "freeze-worker", "kill-scheduler"])
def test_deep_model_on_a_cluster_outlives_a_fault(fault, bare_cluster, example, monkeypatch):
    import signal
    import time

    import joblib

    from vandu_sklearn import ClusterLostError, DeepGradientBoostingRegressor, _deep

    client, (scheduler, *workers) = bare_cluster
    x, y = example.friedman(1000, np.random.default_rng())
    advanced = []
    advance = _deep.Progress.advance

    def fault_mid_layer(progress, cost):
        advanced.append(time.monotonic())
        if len(advanced) == 10 + 98 * (fault == "kill-scheduler"):
            # In the first layer's search for a worker, in the second layer's for the scheduler.
            victim = scheduler if fault == "kill-scheduler" else workers[0]
            os.kill(victim.pid, signal.SIGSTOP if fault == "freeze-worker" else signal.SIGKILL)
        advance(progress, cost)
    monkeypatch.setattr(_deep.Progress, "advance", fault_mid_layer)
    model = DeepGradientBoostingRegressor(n_estimators=2, layer_width=1, n_jobs=-1)
    with joblib.parallel_config(backend="dask"):
        if fault == "kill-scheduler":
            with pytest.raises(ClusterLostError, match="keeps the 1 layer finished.*warm_start=True") as lost:
                model.fit(x, y)
            assert lost.value.__cause__ is not None
            assert type(lost.value.__cause__).__module__.split(".")[0] in ("distributed", "asyncio", "concurrent",
                                                                           "tornado", "builtins")
            assert model.n_estimators_ == 1
            # Resumed elsewhere: the layer kept, one more fitted to the residual it leaves.
            kept = _deep.split(_deep._model_bytes(model.model_))[3]
            with joblib.parallel_config(backend="threading"):
                model.set_params(warm_start=True).fit(x, y)
            layers = _deep.split(_deep._model_bytes(model.model_))[3]
            assert model.n_estimators_ == 2 and layers[0] == kept[0]
        else:
            model.fit(x, y)
            assert len(advanced) == 2 * 97
            # Ended or frozen, the worker is gone from the cluster, and the fit went on without it.
            assert len(client.scheduler_info()["workers"]) == 1
    if fault == "freeze-worker":
        gaps = np.diff(advanced)
        assert gaps.max() < 6 + 30  # the scheduler's worker timeout, plus a margin
    _, width, _, layers = _deep.split(_deep._model_bytes(model.model_))
    assert width == 1 and len(layers) == model.n_estimators_
    members = [_deep._model_from_bytes(vandu.GradientBoosting, record) for record in layers[0]]
    first = _deep.column_means([np.array(m.predict(x)) for m in members])
    if len(layers) == 1:
        assert model.predict(x).tobytes() == first.tobytes()
