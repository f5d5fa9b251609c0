"""What looking inside a fitted vandu_sklearn model costs: the inspection at fit, staged predictions, the table
and the SHAP conversion, next to the native fit and predict.

    python bench/bench_inspect.py           # GradientBoostingRegressor, 1000 stages of depth 3 and 5
    python bench/bench_inspect.py --quick   # 100 stages on 10,000 rows: a smoke run

Friedman #1 data, 100,000 training rows x 10 features. The native fit is timed once; the rest best of
--repeats. "inspection at fit" is what GradientBoostingRegressor.fit adds to the native fit (reading the
trees back and counting every node's training rows); "staged_predict" consumes the whole generator over the
training rows, and its last stage is checked to be the very bits of predict. The table is printed and written
to bench/results/.
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


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="100 stages on 10,000 rows: a smoke run")
    parser.add_argument("--repeats", type=int, default=3, help="repeats per timing, best kept (default 3)")
    args = parser.parse_args()

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
        predict_s, predicted = best_of(args.repeats, lambda: estimator.predict(x))
        staged_s, final = best_of(args.repeats, lambda: last(estimator.staged_predict(x)))
        if final.tobytes() != predicted.tobytes():
            raise AssertionError("the last stage of staged_predict is not the bits of predict")
        table_s, _ = best_of(args.repeats, estimator.trees_table)
        shap_s, _ = best_of(args.repeats, estimator.to_shap)
        label = "%d stages of depth %d" % (stages, depth)
        rows.append((label, common.seconds(fit_s), common.seconds(inspect_s), common.seconds(predict_s),
                     common.seconds(staged_s), common.seconds(table_s), common.seconds(shap_s)))

    header = ("GradientBoostingRegressor", "native fit s", "inspection at fit s", "predict s",
              "staged_predict s", "trees_table s", "to_shap s")
    versions = common.versions()
    text = "\n".join([
        "## Inspecting a fitted model%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1, %s training rows x 10 features; all times on the training rows, best of %d but the "
        "native fit (once). staged_predict consumes every stage." % ("{:,}".format(len(y)), args.repeats),
        "",
        common.markdown(header, rows),
        "",
        "Machine: %s. Versions: %s." % (common.machine_note(),
                                        ", ".join("%s %s" % kv for kv in versions.items())),
    ])
    print()
    print(text)
    print("\nwritten to %s" % common.write_result("inspect", text, args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
