"""What looking inside a fitted vandu_sklearn model costs: the inspection at fit, staged predictions, the table
and the SHAP conversion, next to the native fit and predict.

    python bench/bench_inspect.py           # GradientBoostingRegressor, 1000 stages of depth 3 and 5
    python bench/bench_inspect.py --quick   # 100 stages on 10,000 rows: a smoke run
    python bench/bench_inspect.py --overhead-only --baseline-python OTHER/bin/python
    python bench/bench_inspect.py --deep    # the deep model's inspection at fit (about a minute)

The first table is the cost of inspection inside fit: the native fit and GradientBoostingRegressor.fit of the
same parameters, alternated in one fresh process per size (1,000 x 10 with 1,000 stages of depth 3; 100,000 x
20 with 100 stages of depth 3), the median of each and the median of the pairwise ratios. With
--baseline-python the same runs again with that interpreter's vandu and vandu_sklearn (another build), side by
side.

Friedman #1 data, 100,000 training rows x 10 features. The native fit is timed once; the rest best of
--repeats. "inspection at fit" is what GradientBoostingRegressor.fit calls after the native fit (nothing is
left to compute: the fitted trees hold their nodes' training counts); "feature_importances_" computes the
importances from those counts, as every read does; "staged_predict" consumes the whole generator over the
training rows, and its last stage is checked to be the very bits of predict. The table is printed and written
to bench/results/.

--deep fits the default DeepGradientBoostingRegressor once on 2,000 x 10 and times the inspection its fit
runs (median of --repeats): from the counts its members' fits noted, and, for a pickled copy (whose loaded
model holds none), by the native walk of the training rows through the layers; both next to the fit.
"""

import argparse
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20261208


def best_of(repeats, action):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        result = action()
        best = min(best, time.perf_counter() - start)
    return best, result


def last(iterator):
    item = None
    for item in iterator:
        pass
    return item


# (label, training rows, features, stages, alternated fits of each kind)
OVERHEAD_SIZES = [("1,000 x 10, 1000 stages", 1000, 10, 1000, 41), ("100,000 x 20, 100 stages", 100000, 20, 100, 7)]
QUICK_OVERHEAD_SIZES = [("1,000 x 10, 100 stages", 1000, 10, 100, 5), ("10,000 x 20, 100 stages", 10000, 20, 100, 3)]


def overhead_worker(rows, features, stages, pairs):
    """Alternates the native fit and the estimator's fit; prints their times as JSON."""
    import json

    import vandu
    from vandu_sklearn import GradientBoostingRegressor

    x, y, _, _ = common.friedman1(rows * 4 // 3 + 1, features, SEED)
    x, y = np.ascontiguousarray(x[:rows]), np.ascontiguousarray(y[:rows])
    native_s, estimator_s = [], []
    for index in range(pairs + 1):  # the first pair warms up
        model = vandu.GradientBoosting(depth=3, n_estimators=stages)
        start = time.perf_counter()
        model.fit(x, y)
        native = time.perf_counter() - start
        estimator = GradientBoostingRegressor(depth=3, n_estimators=stages)
        start = time.perf_counter()
        estimator.fit(x, y)
        fitted = time.perf_counter() - start
        if index:
            native_s.append(native)
            estimator_s.append(fitted)
    print(json.dumps({"native_s": native_s, "estimator_s": estimator_s}))


def overhead_rows(sizes, python, label):
    import json
    import subprocess

    rows = []
    for name, n, features, stages, pairs in sizes:
        print("%s: %s ..." % (label, name), flush=True)
        command = [python, os.path.abspath(__file__), "--overhead-worker", str(n), str(features), str(stages),
                   str(pairs)]
        done = subprocess.run(command, env=common.worker_env(False, own_site=python != sys.executable),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True)
        if done.returncode != 0:
            raise RuntimeError(done.stderr)
        times = json.loads(done.stdout.strip().splitlines()[-1])
        native, fitted = np.array(times["native_s"]), np.array(times["estimator_s"])
        rows.append((name, label, "%.4f" % np.median(native), "%.4f" % np.median(fitted),
                     "%+.1f%%" % (100 * (np.median(fitted / native) - 1)), str(len(native))))
    return rows


def deep_table(repeats):
    import pickle

    from vandu_sklearn import DeepGradientBoostingRegressor, _inspect

    x, y, _, _ = common.friedman1(2667, 10, SEED)
    x, y = np.ascontiguousarray(x[:2000]), np.ascontiguousarray(y[:2000])
    print("fitting the default DeepGradientBoostingRegressor on 2,000 x 10 ...", flush=True)
    estimator = DeepGradientBoostingRegressor()
    start = time.perf_counter()
    estimator.fit(x, y)
    fit_s = time.perf_counter() - start
    loaded = pickle.loads(pickle.dumps(estimator))
    rows = []
    for label, fitted in (("counts noted by the fits", estimator), ("native walk (loaded model)", loaded)):
        times = []
        for _ in range(repeats):
            start = time.perf_counter()
            _inspect.fit_inspection(fitted, x)
            times.append(time.perf_counter() - start)
        if fitted.feature_importances_.tobytes() != estimator.feature_importances_.tobytes():
            raise AssertionError("the two routes give other importances")
        rows.append((label, common.seconds(fit_s), common.seconds(float(np.median(times))),
                     "%.2f%%" % (100 * np.median(times) / fit_s)))
    return "\n".join([
        "## The deep model's inspection at fit",
        "",
        "Friedman #1, 2,000 x 10, the default DeepGradientBoostingRegressor (%d member nodes); the inspection "
        "fit runs, median of %d, next to the estimator's fit (once)." % (len(estimator._node_samples_), repeats),
        "",
        common.markdown(("counts from", "estimator fit s", "inspection s", "inspection / fit"), rows),
        "",
        "Machine: %s." % common.machine_note(),
    ])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 stages on 10,000 rows: a smoke run")
    parser.add_argument("--repeats", type=int, default=3, help="repeats per timing, best kept (default 3)")
    parser.add_argument("--baseline-python", help="another interpreter whose build runs the overhead table too")
    parser.add_argument("--overhead-only", action="store_true", help="only the table of the cost inside fit")
    parser.add_argument("--deep", action="store_true", help="only the deep model's inspection at fit")
    parser.add_argument("--overhead-worker", nargs=4, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.overhead_worker:
        overhead_worker(*args.overhead_worker)
        return 0
    if args.deep:
        text = deep_table(args.repeats)
        print()
        print(text)
        print("\nwritten to %s" % common.write_result("inspect_deep", text, False))
        return 0

    sizes = QUICK_OVERHEAD_SIZES if args.quick else OVERHEAD_SIZES
    overhead = []
    for name, n, features, stages, pairs in sizes:
        size = [(name, n, features, stages, pairs)]
        overhead += overhead_rows(size, sys.executable, "this build")
        if args.baseline_python:
            overhead += overhead_rows(size, args.baseline_python, "baseline")
    overhead_text = "\n".join([
        "## What fit adds to the native fit%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1, depth 3; the native fit and GradientBoostingRegressor.fit alternated in one fresh process "
        "per size and build, all cores; medians, and the median of the pairwise ratios.",
        "",
        common.markdown(("data", "build", "native fit s", "estimator fit s", "estimator over native", "pairs"),
                        overhead),
    ])
    print()
    print(overhead_text)
    if args.overhead_only:
        print("\nwritten to %s" % common.write_result("inspect", overhead_text, args.quick))
        return 0

    import vandu
    from vandu_sklearn import GradientBoostingRegressor, _inspect

    stages = 100 if args.quick else 1000
    n_samples = 13334 if args.quick else 133334
    x, y, _, _ = common.friedman1(n_samples, 10, SEED)
    rows = []
    for depth in (3, 5):
        print("fitting %d stages of depth %d on %d x 10 ..." % (stages, depth, len(y)), flush=True)
        estimator = GradientBoostingRegressor(depth=depth, n_estimators=stages)
        estimator.model_ = vandu.GradientBoosting(depth=depth, n_estimators=stages)
        start = time.perf_counter()
        estimator.model_.fit(x, y)
        fit_s = time.perf_counter() - start
        estimator.n_features_in_ = x.shape[1]
        inspect_s, _ = best_of(args.repeats, lambda: _inspect.fit_inspection(estimator, x))
        importances_s, _ = best_of(args.repeats, lambda: estimator.feature_importances_)
        predict_s, predicted = best_of(args.repeats, lambda: estimator.predict(x))
        staged_s, final = best_of(args.repeats, lambda: last(estimator.staged_predict(x)))
        if final.tobytes() != predicted.tobytes():
            raise AssertionError("the last stage of staged_predict is not the bits of predict")
        table_s, _ = best_of(args.repeats, estimator.trees_table)
        shap_s, _ = best_of(args.repeats, estimator.to_shap)
        label = "%d stages of depth %d" % (stages, depth)
        rows.append((label, common.seconds(fit_s), common.seconds(inspect_s), common.seconds(importances_s),
                     common.seconds(predict_s),
                     common.seconds(staged_s), common.seconds(table_s), common.seconds(shap_s)))

    header = ("GradientBoostingRegressor", "native fit s", "inspection at fit s", "feature_importances_ s",
              "predict s",
              "staged_predict s", "trees_table s", "to_shap s")
    text = "\n".join([
        overhead_text,
        "",
        "## Inspecting a fitted model%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1, %s training rows x 10 features; all times on the training rows, best of %d but the "
        "native fit (once). staged_predict consumes every stage; feature_importances_ is computed from the "
        "model's own node counts at every read." % ("{:,}".format(len(y)), args.repeats),
        "",
        common.markdown(header, rows),
        "",
        common.machine_line(),
    ])
    common.publish("inspect", text, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
