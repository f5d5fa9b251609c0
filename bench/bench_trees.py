"""vandu's DecisionTree and GradientBoosting against scikit-learn, LightGBM and XGBoost, on one thread and on all.

    python bench/bench_trees.py            # 125,000 x 20 Friedman #1 (100,000 training), several minutes
    python bench/bench_trees.py --quick    # 5,000 samples, a smoke run
    python bench/bench_trees.py --baseline-python OLD/bin/python   # adds the vandu rows of another build

Each estimator is fitted and used to predict in its own subprocess, at two thread counts: one thread (the
process pinned to one CPU before the library is imported, every thread count set to 1; vandu's pool takes one
thread per CPU it may run on) and all cores (each library's default threads). Models that only ever use one
thread (scikit-learn's trees and GradientBoostingRegressor) run once, on one thread.

W1 is DecisionTree(depth=10) against scikit-learn's trees, W2 GradientBoosting(depth=3, n_estimators=100,
learning_rate=0.1) against the boosting peers. The table gives fit and predict time, the other's time divided
by vandu's at the same thread count (above 1: vandu is faster), held-out R^2 and peak memory above the level
after loading the data. It is printed and written to bench/results/, with a chart of the fit-time ratios when
matplotlib is installed.

With --baseline-python, vandu's rows run a second time under that interpreter, with the vandu of its own
site-packages; those workers import nothing but NumPy and vandu.
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240601
N_FEATURES = 20
HELD_OUT = 0.2

# (workload, key, what is measured, short name for the chart, uses several threads); the first entry of each
# workload is vandu's, the reference of the ratios.
ESTIMATORS = [
    ("W1", "vandu.DecisionTree", "DecisionTree(depth=10)", "DecisionTree", True),
    ("W1", "sklearn.ExtraTreeRegressor", "ExtraTreeRegressor(max_depth=10, max_features=None)",
     "ExtraTreeRegressor", False),
    ("W1", "sklearn.DecisionTreeRegressor", "DecisionTreeRegressor(max_depth=10)", "DecisionTreeRegressor", False),
    ("W2", "vandu.GradientBoosting", "GradientBoosting(depth=3, n_estimators=100, learning_rate=0.1)",
     "GradientBoosting", True),
    ("W2", "sklearn.HistGradientBoostingRegressor",
     "HistGradientBoostingRegressor(max_depth=3, max_iter=100, learning_rate=0.1, early_stopping=False)",
     "HistGradientBoostingRegressor", True),
    ("W2", "lightgbm.extra_trees",
     "LightGBM extra_trees=True, max_depth=3, num_leaves=8, 100 rounds, learning_rate=0.1",
     "LightGBM extra_trees", True),
    ("W2", "xgboost.hist", "XGBoost tree_method=hist, max_depth=3, 100 rounds, learning_rate=0.1", "XGBoost hist",
     True),
    ("W2", "sklearn.GradientBoostingRegressor",
     "GradientBoostingRegressor(max_depth=3, n_estimators=100, learning_rate=0.1)", "GradientBoostingRegressor",
     False),
]
WORKLOADS = ("W1", "W2")


def make(key, threads):
    """The estimator of `key`; `threads` is "1" or "all" (the library's own default)."""
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
                                      learning_rate=0.1, n_jobs=1 if threads == "1" else -1, random_state=0,
                                      verbose=-1)
    if key == "xgboost.hist":
        import xgboost
        return xgboost.XGBRegressor(tree_method="hist", max_depth=3, n_estimators=100, learning_rate=0.1,
                                    n_jobs=1 if threads == "1" else None, random_state=0)
    raise KeyError(key)


def worker(key, data_folder, threads):
    # Pinned before any library is imported, so that every thread pool is sized for one CPU.
    if threads == "1" and common.pin_to_one_cpu() is None:
        raise SystemExit("cannot pin this process to one CPU here")
    if threads == "1" and key == "sklearn.HistGradientBoostingRegressor":
        from threadpoolctl import threadpool_limits
        threadpool_limits(1)
    result = common.measure(lambda: make(key, threads), data_folder)
    if key.startswith("vandu."):
        result["vandu_file"] = common.vandu_file()
    common.worker_reply(result)


def plan(chosen, thread_counts, baseline):
    """The runs in order: per workload and thread count, vandu (and its baseline) first, then the peers."""
    runs = []
    for workload in WORKLOADS:
        for threads in thread_counts:
            for entry in chosen:
                if entry[0] != workload or (threads == "all" and not entry[4]):
                    continue
                runs.append((entry, threads, False))
                if baseline and entry[1].startswith("vandu."):
                    runs.append((entry, threads, True))
    return runs


def table_rows(runs, results, cores):
    rows = []
    references = {}
    for (entry, threads, is_baseline), result in zip(runs, results):
        workload, key, label = entry[:3]
        label = "%s: %s%s" % (workload, label, " (baseline)" if is_baseline else "")
        threads_text = common.threads_label(threads, cores)
        is_reference = key.startswith("vandu.") and not is_baseline
        if "error" in result:
            rows.append((label, threads_text, "failed", "-", "-", "-", "-", "-"))
            continue
        if is_reference:
            references[workload, threads] = result
        reference = references.get((workload, threads))

        def versus(measure):
            if is_reference:
                return "1 (reference)"
            return common.ratio(result[measure], reference[measure]) if reference else "-"

        rows.append((label, threads_text, common.seconds(result["fit_s"]), versus("fit_s"),
                     common.seconds(result["predict_s"]), versus("predict_s"), "%.4f" % result["r2"],
                     "%.1f" % result["peak_mib"]))
    return rows


def fit_ratios(runs, results):
    """{(workload, short name): {threads: other fit time / vandu's}} for every measured non-reference row."""
    references = {}
    for (entry, threads, is_baseline), result in zip(runs, results):
        if entry[1].startswith("vandu.") and not is_baseline and "error" not in result:
            references[entry[0], threads] = result["fit_s"]
    ratios = {}
    for (entry, threads, is_baseline), result in zip(runs, results):
        workload, key, short = entry[0], entry[1], entry[3]
        reference = references.get((workload, threads))
        if "error" in result or not reference or (key.startswith("vandu.") and not is_baseline):
            continue
        name = "%s (baseline)" % short if is_baseline else short
        ratios.setdefault((workload, name), {})[threads] = result["fit_s"] / reference
    return ratios


def draw_chart(ratios, cores, subtitle, path):
    """Horizontal bars of the fit-time ratios on a log scale; returns a note on what was written."""
    try:
        import matplotlib
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
        from matplotlib.ticker import FuncFormatter
    except ImportError:
        return "No chart: matplotlib is not installed."
    if not ratios:
        return "No chart: no ratio was measured."
    names = list(ratios)
    height = 0.38
    figure, axes = plt.subplots(figsize=(8.5, 1.5 + 0.55 * len(names)), constrained_layout=True)
    for offset, threads, colour, text in ((-height / 2, "1", "#4878a8", "1 thread (pinned)"),
                                          (height / 2, "all", "#e08a3c", "all cores (%d)" % cores)):
        places = [i + offset for i, name in enumerate(names) if threads in ratios[name]]
        values = [ratios[name][threads] for name in names if threads in ratios[name]]
        if not values:
            continue
        bars = axes.barh(places, values, height=height, color=colour, label=text)
        for bar, value in zip(bars, values):
            axes.annotate("%.2f" % value, (value, bar.get_y() + bar.get_height() / 2), xytext=(3, 0),
                          textcoords="offset points", va="center", fontsize=8)
    axes.set_xscale("log")
    axes.xaxis.set_major_formatter(FuncFormatter(lambda value, _: "%g" % value))
    axes.axvline(1.0, color="black", linewidth=1)
    axes.set_yticks(range(len(names)))
    axes.set_yticklabels(["%s %s" % name for name in names])
    axes.invert_yaxis()
    lowest = min(min(by.values()) for by in ratios.values())
    highest = max(max(by.values()) for by in ratios.values())
    axes.set_xlim(min(0.5, lowest / 1.5), max(2.0, highest * 2.0))
    axes.set_xlabel("fit time, other / vandu (log scale; right of 1: vandu is faster)")
    figure.suptitle("Fit time against vandu at the same thread count\n" + subtitle, fontsize=10)
    axes.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, fontsize=8, frameon=False)
    figure.savefig(path, dpi=110)
    plt.close(figure)
    return "Chart of the fit-time ratios: %s." % os.path.relpath(path, os.path.dirname(common.HERE))


def speedup_notes(runs, results, cores):
    """vandu's fit speed-up from one pinned thread to all cores, per model and build."""
    fits = {}
    for (entry, threads, is_baseline), result in zip(runs, results):
        if entry[1].startswith("vandu.") and "error" not in result:
            fits[entry[2] + (" (baseline)" if is_baseline else ""), threads] = result["fit_s"]
    notes = []
    for entry, threads, is_baseline in runs:
        name = entry[2] + (" (baseline)" if is_baseline else "")
        if threads != "all" or (name, "1") not in fits or (name, "all") not in fits:
            continue
        speedup = fits[name, "1"] / fits[name, "all"]
        notes.append("- %s: fit speed-up from one core to all %d: %.2fx (%.2f x the cores; %s s / %s s)"
                     % (name, cores, speedup, speedup / cores, common.seconds(fits[name, "1"]),
                        common.seconds(fits[name, "all"])))
    return notes


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="5,000 samples: a smoke run")
    parser.add_argument("--samples", type=int,
                        help="number of samples, a fifth held out (default 125,000; 5,000 with --quick)")
    parser.add_argument("--only", help="comma-separated keys to run, e.g. vandu.DecisionTree,xgboost.hist")
    parser.add_argument("--threads", choices=("1", "all", "both"), default="both",
                        help="measure on one pinned thread, on all cores, or both (default)")
    parser.add_argument("--baseline-python", metavar="PATH",
                        help="also run vandu's rows with this interpreter's vandu, e.g. an older build")
    parser.add_argument("--worker", nargs=3, metavar=("KEY", "DATA", "THREADS"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    if args.baseline_python and not shutil.which(args.baseline_python):
        parser.error("--baseline-python: %s is not an executable" % args.baseline_python)

    n_samples = args.samples or (5000 if args.quick else 125000)
    chosen = ESTIMATORS
    if args.only:
        keys = set(args.only.split(","))
        unknown = keys - {e[1] for e in ESTIMATORS}
        if unknown:
            parser.error("unknown keys: %s" % ", ".join(sorted(unknown)))
        chosen = [e for e in ESTIMATORS if e[1] in keys]
    thread_counts = ("1", "all") if args.threads == "both" else (args.threads,)
    cores = common.usable_cores()
    runs = plan(chosen, thread_counts, args.baseline_python)
    script = os.path.abspath(__file__)
    with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
        data = common.friedman1(n_samples, N_FEATURES, SEED, held_out=HELD_OUT)
        common.save_data(folder, data)
        n_train, n_test = len(data[1]), len(data[3])
        del data
        print("Friedman #1, %d x %d (seed %d): %d training, %d held-out samples; %d cores"
              % (n_samples, N_FEATURES, SEED, n_train, n_test, cores), flush=True)
        results = []
        for entry, threads, is_baseline in runs:
            print("  %-48s %-10s ..." % (entry[1] + (" (baseline)" if is_baseline else ""),
                                         common.threads_label(threads, cores)), end=" ", flush=True)
            result = common.run_worker(script, [entry[1], folder, threads], single_thread=threads == "1",
                                       python=args.baseline_python if is_baseline else None)
            results.append(result)
            print(result.get("error") or "fit %.3f s, predict %.3f s" % (result["fit_s"], result["predict_s"]),
                  flush=True)

    header = ("estimator", "threads", "fit s", "fit: other / vandu", "predict s", "predict: other / vandu",
              "held-out R^2", "peak MiB")
    notes = ["\n".join(speedup_notes(runs, results, cores))]
    if args.baseline_python:
        files = {is_baseline: result.get("vandu_file")
                 for (entry, threads, is_baseline), result in zip(runs, results) if "vandu_file" in result}
        notes.append(common.baseline_note(args.baseline_python, files.get(False), files.get(True)))
    subtitle = "Friedman #1, %s x %d training rows%s" % (format(n_train, ","), N_FEATURES,
                                                          " (quick run)" if args.quick else "")
    notes.append(draw_chart(fit_ratios(runs, results), cores, subtitle,
                            common.result_path("fit_ratios", args.quick, "png")))
    versions = common.versions()
    text = "\n".join([
        "## Trees and boosting, one thread and all cores%s" % (" (quick run)" if args.quick else ""),
        "",
        "Friedman #1 with 20 features, %s samples (seed %d), %s training / %s held out. W1: one tree of depth "
        "10; W2: 100 boosting stages of depth 3. Threads \"1 (pinned)\": the process pinned to one CPU before "
        "the library is imported and every thread count set to 1; \"all\": each library's default threads on "
        "all the cores. Models that only use one thread run once. Times in seconds; ratios are the other "
        "model's time over the current vandu's at the same thread count. Peak memory is the peak RSS during fit "
        "and predict above the RSS after loading the data and importing the library."
        % (format(n_samples, ","), SEED, format(n_train, ","), format(n_test, ",")),
        "",
        common.markdown(header, table_rows(runs, results, cores)),
        "",
        "\n\n".join(note for note in notes if note),
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
