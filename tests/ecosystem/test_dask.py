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


def test_deep_model_on_a_cluster_survives_a_lost_worker(example, monkeypatch):
    import signal

    import joblib

    from vandu_sklearn import DeepGradientBoostingRegressor, _deep

    x, y = example.friedman(2000, np.random.default_rng())
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        workers = list(client.run(os.getpid).values())
        finished = []
        task_done = _deep.Progress.task_done

        def end_a_worker_mid_layer(progress):
            finished.append(None)
            if len(finished) == 10:
                os.kill(workers[0], signal.SIGKILL)
            task_done(progress)
        monkeypatch.setattr(_deep.Progress, "task_done", end_a_worker_mid_layer)
        with joblib.parallel_config(backend="dask"):
            model = DeepGradientBoostingRegressor(n_estimators=1, layer_width=2, n_jobs=-1).fit(x, y)
        assert len(finished) == 96 + 2
        assert workers[0] not in client.run(os.getpid).values()
    _, width, _, layers = _deep.split(_deep._model_bytes(model.model_))
    assert width == 2 and [len(layer) for layer in layers] == [2]
    members = [_deep._model_from_bytes(vandu.GradientBoosting, record) for record in layers[0]]
    assert model.predict(x).tobytes() == _deep.column_means([np.array(m.predict(x)) for m in members]).tobytes()
    assert multiprocessing.active_children() == []
