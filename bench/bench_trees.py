"""vandu's DecisionTree and GradientBoosting against scikit-learn, LightGBM and XGBoost, one thread each.

    python bench/bench_trees.py            # 200,000 x 20 Friedman #1, a few minutes
    python bench/bench_trees.py --quick    # 4,000 samples, a smoke run

Each estimator is fitted and used to predict in its own subprocess, with every thread count set to 1. The
table gives fit and predict time, the peer's time divided by vandu's (above 1: vandu is faster), held-out
R^2 and peak memory above the level after loading the data. It is printed and written to bench/results/.
"""

import argparse
import os
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240601
N_FEATURES = 20

# (group, key, what is measured); the first entry of each group is vandu's, the reference of the ratios.
ESTIMATORS = [
    ("tree", "vandu.DecisionTree", "DecisionTree(depth=10)"),
    ("tree", "sklearn.ExtraTreeRegressor", "ExtraTreeRegressor(max_depth=10, max_features=None)"),
    ("tree", "sklearn.DecisionTreeRegressor", "DecisionTreeRegressor(max_depth=10)"),
    ("boosting", "vandu.GradientBoosting", "GradientBoosting(depth=3, n_estimators=100, learning_rate=0.1)"),
    ("boosting", "sklearn.GradientBoostingRegressor",
     "GradientBoostingRegressor(max_depth=3, n_estimators=100, learning_rate=0.1)"),
    ("boosting", "sklearn.HistGradientBoostingRegressor",
     "HistGradientBoostingRegressor(max_depth=3, max_iter=100, learning_rate=0.1, early_stopping=False)"),
    ("boosting", "lightgbm.extra_trees",
     "LightGBM extra_trees=True, max_depth=3, num_leaves=8, 100 rounds, learning_rate=0.1"),
    ("boosting", "xgboost.hist", "XGBoost tree_method=hist, max_depth=3, 100 rounds, learning_rate=0.1"),
]


def make(key):
    if key == "vandu.DecisionTree":
        import vandu
        return vandu.DecisionTree(depth=10)
    if key == "vandu.GradientBoosting":
        import vandu
        return vandu.GradientBoosting(depth=3, n_estimators=100, learning_rate=0.1)
    if key == "sklearn.ExtraTreeRegressor":
        from sklearn.tree import ExtraTreeRegressor
        return ExtraTreeRegressor(max_depth=10, max_features=None, random_state=0)
    if key == "sklearn.DecisionTreeRegressor":
        from sklearn.tree import DecisionTreeRegressor
        return DecisionTreeRegressor(max_depth=10, random_state=0)
    if key == "sklearn.GradientBoostingRegressor":
        from sklearn.ensemble import GradientBoostingRegressor
        return GradientBoostingRegressor(max_depth=3, n_estimators=100, learning_rate=0.1, random_state=0)
    if key == "sklearn.HistGradientBoostingRegressor":
        from sklearn.ensemble import HistGradientBoostingRegressor
        return HistGradientBoostingRegressor(max_depth=3, max_iter=100, learning_rate=0.1, early_stopping=False,
                                             random_state=0)
    if key == "lightgbm.extra_trees":
        import lightgbm
        return lightgbm.LGBMRegressor(extra_trees=True, max_depth=3, num_leaves=8, n_estimators=100,
                                      learning_rate=0.1, num_threads=1, random_state=0, verbose=-1)
    if key == "xgboost.hist":
        import xgboost
        return xgboost.XGBRegressor(tree_method="hist", max_depth=3, n_estimators=100, learning_rate=0.1,
                                    n_jobs=1, nthread=1, random_state=0)
    raise KeyError(key)


def worker(key, data_folder):
    if key.startswith("sklearn.HistGradientBoosting"):
        from threadpoolctl import threadpool_limits
        threadpool_limits(1)
    common.worker_reply(common.measure(lambda: make(key), data_folder))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="4,000 samples: a smoke run")
    parser.add_argument("--samples", type=int, help="number of samples (default 200,000; 4,000 with --quick)")
    parser.add_argument("--only", help="comma-separated keys to run, e.g. vandu.DecisionTree,xgboost.hist")
    parser.add_argument("--worker", nargs=2, metavar=("KEY", "DATA"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)

    n_samples = args.samples or (4000 if args.quick else 200000)
    chosen = ESTIMATORS
    if args.only:
        keys = set(args.only.split(","))
        chosen = [e for e in ESTIMATORS if e[1] in keys]
    with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
        data = common.friedman1(n_samples, N_FEATURES, SEED)
        common.save_data(folder, data)
        n_train, n_test = len(data[1]), len(data[3])
        del data
        print("Friedman #1, %d x %d (seed %d): %d training, %d held-out samples"
              % (n_samples, N_FEATURES, SEED, n_train, n_test), flush=True)
        results = {}
        for group, key, label in chosen:
            print("  %-38s ..." % key, end=" ", flush=True)
            result = common.run_worker(os.path.abspath(__file__), [key, folder])
            results[key] = result
            print(result.get("error") or "fit %.3f s, predict %.3f s" % (result["fit_s"], result["predict_s"]),
                  flush=True)

    rows = []
    references = {}
    for group, key, label in chosen:
        result = results[key]
        if key.startswith("vandu.") and "error" not in result:
            references[group] = result
        reference = references.get(group)
        if "error" in result:
            rows.append((label, "failed", "-", "-", "-", "-", "-"))
            continue
        is_reference = key.startswith("vandu.")
        rows.append((
            label,
            common.seconds(result["fit_s"]),
            "1 (reference)" if is_reference else (common.ratio(result["fit_s"], reference["fit_s"]) if reference else "-"),
            common.seconds(result["predict_s"]),
            "1 (reference)" if is_reference else (
                common.ratio(result["predict_s"], reference["predict_s"]) if reference else "-"),
            "%.4f" % result["r2"],
            "%.1f" % result["peak_mib"],
        ))
    header = ("estimator", "fit s", "fit: peer / vandu", "predict s", "predict: peer / vandu", "held-out R^2",
              "peak MiB")
    versions = common.versions()
    text = "\n".join([
        "## Trees and boosting, one thread each%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1 with 20 features, %s samples (seed %d), %s training / %s held out. "
        "Times in seconds; ratios are the peer's time over vandu's. Peak memory is the peak RSS during fit and "
        "predict above the RSS after loading the data and importing the library."
        % (format(n_samples, ","), SEED, format(n_train, ","), format(n_test, ",")),
        "",
        common.markdown(header, rows),
        "",
        "Machine: %s. Versions: %s." % (common.machine_note(),
                                        ", ".join("%s %s" % kv for kv in versions.items())),
    ])
    print()
    print(text)
    print("\nwritten to %s" % common.write_result("trees", text, args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
