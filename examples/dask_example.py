"""vandu's scikit-learn estimators on a Dask cluster: models travel to the workers and back by pickling.

Starts a local cluster of process workers (on a real cluster, give Client the scheduler's address instead),
then:

1. fits several GradientBoostingRegressor candidates at once, one task each (client.map), and keeps the one
   with the best held-out R^2;
2. predicts a dask array block by block (map_blocks) and a dask dataframe partition by partition
   (map_partitions), checking that both give exactly the bits of a local prediction;
3. runs a scikit-learn GridSearchCV whose fits joblib's dask backend spreads over the workers.

    python examples/dask_example.py                 # 2 workers, 20,000 samples
    python examples/dask_example.py --workers 4 --samples 100000

Needs scikit-learn 1.6+, pandas and dask[distributed]: pip install ".[sklearn]" pandas "dask[distributed]".
Ray and Spark ship models the same way (pickle); nothing more is needed there.
"""

import argparse

import joblib
import numpy as np
import pandas as pd
from dask import array as da
from dask import dataframe as dd
from dask.distributed import Client, LocalCluster
from sklearn.model_selection import GridSearchCV

from vandu_sklearn import GradientBoostingRegressor


def friedman(n, rng):
    """Friedman #1 regression data: 5 informative features of 10."""
    x = rng.uniform(size=(n, 10))
    y = 10 * np.sin(np.pi * x[:, 0] * x[:, 1]) + 20 * (x[:, 2] - 0.5) ** 2 + 10 * x[:, 3] + 5 * x[:, 4]
    return x, y + rng.normal(size=n)


def fit_candidates(client, candidates, x, y):
    """Fits every candidate on a worker; returns the fitted estimators in the same order."""
    x_future, y_future = client.scatter([x, y], broadcast=True)
    # pure=False: fits are randomised, so equal candidates are separate tasks, never one cached result.
    futures = client.map(GradientBoostingRegressor.fit, candidates, X=x_future, y=y_future, pure=False)
    return client.gather(futures)


def predict_array(model, x, block_rows):
    """Predictions for a dask array, one task per block of rows (each block holds every column)."""
    blocks = da.from_array(x, chunks=(block_rows, x.shape[1]))
    return blocks.map_blocks(model.predict, drop_axis=1, dtype=np.float64)


def predict_partition(part, model):
    return pd.Series(model.predict(part.to_numpy()), index=part.index, name="prediction")


def predict_frame(model, frame):
    """Predictions for a dask dataframe, one task per partition, as a dask series on the same index."""
    return frame.map_partitions(predict_partition, model, meta=("prediction", "f8"))


def grid_search(x, y, param_grid, cv=3):
    """GridSearchCV whose fits run as tasks on the current Dask client."""
    search = GridSearchCV(GradientBoostingRegressor(), param_grid, cv=cv)
    with joblib.parallel_backend("dask"):
        search.fit(x, y)
    return search


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--samples", type=int, default=20_000)
    args = parser.parse_args()

    rng = np.random.default_rng(7)
    x, y = friedman(args.samples, rng)
    n_train = args.samples * 3 // 4
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True) as cluster, \
            Client(cluster) as client:
        print(f"cluster: {args.workers} process workers, dashboard {client.dashboard_link}")

        candidates = [GradientBoostingRegressor(depth=d, n_estimators=n) for d in (2, 3, 4) for n in (100, 300)]
        fitted = fit_candidates(client, candidates, x[:n_train], y[:n_train])
        scores = [model.score(x[n_train:], y[n_train:]) for model in fitted]
        for model, score in zip(fitted, scores):
            print(f"  {model}: held-out R^2 {score:.3f}")
        best = fitted[int(np.argmax(scores))]
        print(f"best: {best}")

        local = best.predict(x)
        by_blocks = predict_array(best, x, block_rows=max(1, args.samples // 8)).compute()
        frame = dd.from_pandas(pd.DataFrame(x, columns=[f"x{i}" for i in range(10)]), npartitions=8)
        by_partitions = predict_frame(best, frame).compute()
        assert by_blocks.tobytes() == local.tobytes()
        assert by_partitions.to_numpy().tobytes() == local.tobytes()
        print("dask array and dask dataframe predictions: the same bits as a local predict")

        search = grid_search(x[:n_train], y[:n_train], {"depth": [2, 3], "learning_rate": [0.05, 0.1]})
        print(f"GridSearchCV on the dask backend: best {search.best_params_}, "
              f"held-out R^2 {search.score(x[n_train:], y[n_train:]):.3f}")


if __name__ == "__main__":
    main()
