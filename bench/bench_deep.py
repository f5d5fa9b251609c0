"""Default DeepGradientBoosting against LightGBM's and HistGradientBoostingRegressor's defaults.

    python bench/bench_deep.py             # 2,000 x 10 Friedman #1, the default deep model
    python bench/bench_deep.py --quick     # 500 samples, one layer of two members: a smoke run

Every estimator runs in its own subprocess with all cores (their defaults); vandu's fit is then run again
under `taskset -c 0` to give the speed-up of its worker pool from one core to all. The table is printed and
written to bench/results/.
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240602
N_FEATURES = 10


def make(key, layers, width):
    if key == "vandu":
        import vandu
        if layers is None and width is None:
            return vandu.DeepGradientBoosting()
        return vandu.DeepGradientBoosting(n_estimators=layers, layer_width=width)
    if key == "lightgbm":
        import lightgbm
        return lightgbm.LGBMRegressor(verbose=-1)
    if key == "hist":
        from sklearn.ensemble import HistGradientBoostingRegressor
        return HistGradientBoostingRegressor()
    raise KeyError(key)


def worker(key, data_folder, layers, width):
    layers = None if layers == "default" else int(layers)
    width = None if width == "default" else int(width)
    common.worker_reply(common.measure(lambda: make(key, layers, width), data_folder))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="500 samples, 1 layer of 2 members")
    parser.add_argument("--samples", type=int, help="number of samples (default 2,000)")
    parser.add_argument("--worker", nargs=4, metavar=("KEY", "DATA", "LAYERS", "WIDTH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)

    n_samples = args.samples or (500 if args.quick else 2000)
    layers, width = ("1", "2") if args.quick else ("default", "default")
    deep_label = ("DeepGradientBoosting(n_estimators=1, layer_width=2)" if args.quick
                  else "DeepGradientBoosting() (5 layers of 5)")
    cores = os.cpu_count() or 1
    one_core = ["taskset", "-c", "0"] if shutil.which("taskset") else None
    runs = [
        (deep_label, "all (%d)" % cores, "vandu", ()),
        (deep_label, "1 (taskset -c 0)", "vandu", one_core),
        ("LightGBM LGBMRegressor() defaults", "all (%d)" % cores, "lightgbm", ()),
        ("HistGradientBoostingRegressor() defaults", "all (%d)" % cores, "hist", ()),
    ]
    with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
        data = common.friedman1(n_samples, N_FEATURES, SEED)
        common.save_data(folder, data)
        n_train, n_test = len(data[1]), len(data[3])
        print("Friedman #1, %d x %d (seed %d): %d training, %d held-out samples"
              % (n_samples, N_FEATURES, SEED, n_train, n_test), flush=True)
        results = []
        for label, core_text, key, prefix in runs:
            if prefix is None:
                results.append({"error": "taskset not found"})
                continue
            print("  %-42s %-18s ..." % (label, core_text), end=" ", flush=True)
            result = common.run_worker(os.path.abspath(__file__), [key, folder, layers, width],
                                       single_thread=False, prefix=prefix)
            results.append(result)
            print(result.get("error") or "fit %.2f s" % result["fit_s"], flush=True)

    rows = []
    for (label, core_text, key, prefix), result in zip(runs, results):
        if "error" in result:
            rows.append((label, core_text, "failed", "-", "-", "-"))
        else:
            rows.append((label, core_text, common.seconds(result["fit_s"]), common.seconds(result["predict_s"]),
                         "%.4f" % result["r2"], "%.1f" % result["peak_mib"]))
    all_cores, single = results[0], results[1]
    if "error" in all_cores or "error" in single:
        speedup = "vandu fit speed-up from 1 core to %d: not measured" % cores
    else:
        speedup = ("vandu fit speed-up from 1 core to %d: %.2fx (%.2f s / %.2f s)"
                   % (cores, single["fit_s"] / all_cores["fit_s"], single["fit_s"], all_cores["fit_s"]))
    header = ("estimator", "cores", "fit s", "predict s", "held-out R^2", "peak MiB")
    versions = common.versions()
    text = "\n".join([
        "## Deep gradient boosting%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1 with 10 features, %s samples (seed %d), %s training / %s held out. Each library with its "
        "default settings and threads. Peak memory is the peak RSS during fit and predict above the RSS after "
        "loading the data and importing the library."
        % (format(n_samples, ","), SEED, format(n_train, ","), format(n_test, ",")),
        "",
        common.markdown(header, rows),
        "",
        speedup + ".",
        "",
        "Machine: %s. Versions: %s." % (common.machine_note(),
                                        ", ".join("%s %s" % kv for kv in versions.items())),
    ])
    print()
    print(text)
    print("\nwritten to %s" % common.write_result("deep", text, args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
