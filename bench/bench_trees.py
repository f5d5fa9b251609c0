"""vandu's DecisionTree and GradientBoosting against scikit-learn, LightGBM and XGBoost, on one thread and on all.

    python bench/bench_trees.py            # 125,000 x 20 Friedman #1 (100,000 training), several minutes
    python bench/bench_trees.py --quick    # 5,000 samples, a smoke run
    python bench/bench_trees.py --baseline-python OLD/bin/python   # adds the vandu rows of another build
    W2=vandu.GradientBoosting,sklearn.HistGradientBoostingRegressor,lightgbm.extra_trees,xgboost.hist
    python bench/bench_trees.py --train-rows 100000,1000000,4000000 --only $W2   # the table at every size
    python bench/bench_trees.py --per-row  # vandu's fit time per training row from 100,000 to 4,000,000
    python bench/bench_trees.py --train-rows 100000 --features 200 --only $W2   # wide data

Each estimator is fitted and used to predict in its own subprocess, at two thread counts: one thread (the
process pinned to one CPU before the library is imported, every thread count set to 1; vandu's pool takes one
thread per CPU it may run on) and all cores (each library's default threads). Models that only ever use one
thread (scikit-learn's trees and GradientBoostingRegressor) run once, on one thread.

W1 is DecisionTree(depth=10) against scikit-learn's trees, W2 GradientBoosting(depth=3, n_estimators=100,
learning_rate=0.1) against the boosting peers. The table gives fit and predict time, the other's time divided
by vandu's at the same thread count (above 1: vandu is faster), held-out R^2 and peak memory above the level
after loading the data. It is printed and written to bench/results/, with a chart of the fit-time ratios when
matplotlib is installed.

With --train-rows, the data has that many training rows (several sizes, comma-separated) and 25,000 held-out
rows; each size gets its table, and a summary gives every model's fit and predict time per size and thread
count with the fastest peer's time over vandu's, and the peak memory of the boosting fits. --per-row measures
vandu's GradientBoosting and LightGBM extra_trees on one pinned thread at every size (by default 100,000 to
4,000,000 training rows) and tabulates fit microseconds per training row. --features sets the number of
features (20 by default). Sizes are built one at a time and the parent drops its copy before the workers run:
4,000,000 x 20 is 640 MB of doubles.

With --baseline-python, vandu's rows run a second time under that interpreter, with the vandu of its own
site-packages; those workers import nothing but NumPy and vandu. Each vandu row and its baseline then
alternate twice and keep their faster fit.
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
HELD_OUT_ROWS = 25000  # with --train-rows, at every size
PER_ROW_SIZES = (100000, 200000, 400000, 800000, 1600000, 4000000)
PER_ROW_KEYS = ("vandu.GradientBoosting", "lightgbm.extra_trees")

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


def measure_size(script, n_samples, n_features, held_out, runs, baseline, cores):
    """Builds one data set, runs every planned worker on it; returns (training rows, held-out rows, results)."""
    with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
        data = common.friedman1(n_samples, n_features, SEED, held_out=held_out)
        common.save_data(folder, data)
        n_train, n_test = len(data[1]), len(data[3])
        del data  # the workers load their own copy
        print("Friedman #1, %d x %d (seed %d): %d training, %d held-out samples; %d cores"
              % (n_samples, n_features, SEED, n_train, n_test, cores), flush=True)
        results = [None] * len(runs)
        for i, (entry, threads, is_baseline) in enumerate(runs):
            if is_baseline:
                continue  # run beside the row before it
            pair = [i, i + 1] if i + 1 < len(runs) and runs[i + 1][2] else [i]
            # A build and its baseline alternate, twice, and each keeps its faster fit: whichever runs
            # first after another library's fit or the data's making was seen up to 12% slower.
            for k in pair * (2 if len(pair) == 2 else 1):
                result = run_one(script, folder, runs[k], baseline, cores)
                kept = results[k]
                if kept is None or "error" in result or ("error" not in kept and result["fit_s"] < kept["fit_s"]):
                    results[k] = result
    return n_train, n_test, results


def run_one(script, folder, run, baseline, cores):
    entry, threads, is_baseline = run
    print("  %-48s %-10s ..." % (entry[1] + (" (baseline)" if is_baseline else ""),
                                 common.threads_label(threads, cores)), end=" ", flush=True)
    result = common.run_worker(script, [entry[1], folder, threads], single_thread=threads == "1",
                               python=baseline if is_baseline else None)
    print(result.get("error") or "fit %.3f s, predict %.3f s" % (result["fit_s"], result["predict_s"]), flush=True)
    return result


def size_summary(measured, cores):
    """Per workload, a table of fit seconds by training rows and threads, with the fastest peer's fit and
    predict time over vandu's."""
    parts = []
    for workload in WORKLOADS:
        columns = []
        for n_train, runs, results in measured:
            for (entry, threads, is_baseline), result in zip(runs, results):
                name = entry[3] + (" (baseline)" if is_baseline else "")
                if entry[0] == workload and name not in columns:
                    columns.append(name)
        if not columns:
            continue
        rows = []
        for n_train, runs, results in measured:
            for threads in ("1", "all"):
                fits, peers, vandu = {}, [], None
                for (entry, t, is_baseline), result in zip(runs, results):
                    if entry[0] != workload or t != threads or "error" in result:
                        continue
                    fits[entry[3] + (" (baseline)" if is_baseline else "")] = result["fit_s"]
                    if not entry[1].startswith("vandu."):
                        peers.append((result["fit_s"], result["predict_s"]))
                    elif not is_baseline:
                        vandu = result
                if not fits:
                    continue
                fit_ratio = predict_ratio = "-"
                if vandu and peers:
                    fit_ratio = common.ratio(min(p[0] for p in peers), vandu["fit_s"])
                    predict_ratio = common.ratio(min(p[1] for p in peers), vandu["predict_s"])
                rows.append([format(n_train, ","), common.threads_label(threads, cores)]
                            + [common.seconds(fits[n]) if n in fits else "-" for n in columns]
                            + [fit_ratio, predict_ratio])
        header = (["training rows", "threads"] + ["%s fit s" % n for n in columns]
                  + ["fastest peer / vandu, fit", "fastest peer / vandu, predict"])
        parts.append("%s fit seconds by size:\n\n%s" % (workload, common.markdown(header, rows)))
    return parts


def memory_notes(measured):
    """The peak memory of every boosting fit next to LightGBM's, per size and thread count."""
    notes = []
    for n_train, runs, results in measured:
        peaks = {}
        for (entry, threads, is_baseline), result in zip(runs, results):
            if entry[0] == "W2" and not is_baseline and "error" not in result:
                peaks[entry[1], threads] = result["peak_mib"]
        for threads in ("1", "all"):
            mine, theirs = peaks.get(("vandu.GradientBoosting", threads)), peaks.get(("lightgbm.extra_trees", threads))
            if mine is not None and theirs is not None:
                notes.append("- W2 peak memory at %s training rows, %s: vandu %.1f MiB, LightGBM extra_trees %.1f "
                             "MiB (vandu / LightGBM %s)" % (format(n_train, ","), "1 thread" if threads == "1"
                                                            else "all cores", mine, theirs,
                                                            common.ratio(mine, theirs)))
    return "\n".join(notes)


def per_row_table(measured):
    """vandu's fit microseconds per training row at every size, and LightGBM's fit time over vandu's."""
    header = ["training rows"] + [format(n_train, ",") for n_train, _, _ in measured]
    per_row, versus, times = ["vandu, microseconds per row (100 stages)"], ["LightGBM time / vandu time"], []
    for n_train, runs, results in measured:
        found = {entry[1]: result for (entry, threads, is_baseline), result in zip(runs, results)
                 if not is_baseline and "error" not in result}
        mine, theirs = found.get("vandu.GradientBoosting"), found.get("lightgbm.extra_trees")
        per_row.append("%.2f" % (mine["fit_s"] / n_train * 1e6) if mine else "failed")
        versus.append(common.ratio(theirs["fit_s"], mine["fit_s"]) if mine and theirs else "-")
        if mine:
            times.append(mine["fit_s"] / n_train)
    text = common.markdown(header, [per_row, versus])
    if len(times) > 1:
        text += ("\n\nvandu's fit time per row varies by %.2fx between sizes (largest over smallest)."
                 % (max(times) / min(times)))
    return text


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="5,000 samples: a smoke run")
    parser.add_argument("--samples", type=int,
                        help="number of samples, a fifth held out (default 125,000; 5,000 with --quick)")
    parser.add_argument("--train-rows", metavar="N[,N...]",
                        help="training rows, one size or several (comma-separated), each with 25,000 held out")
    parser.add_argument("--per-row", action="store_true",
                        help="vandu's boosting fit time per training row against LightGBM extra_trees, one "
                             "pinned thread, at the --train-rows sizes (default 100,000 to 4,000,000)")
    parser.add_argument("--features", type=int, default=N_FEATURES, help="number of features (default 20)")
    parser.add_argument("--only", help="comma-separated keys to run, e.g. vandu.DecisionTree,xgboost.hist, or a "
                                       "workload, W1 or W2")
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
    if args.samples and (args.train_rows or args.per_row):
        parser.error("--samples gives one size; with --train-rows or --per-row leave it out")
    if args.features < 1:
        parser.error("--features must be at least 1")
    try:
        sizes = [int(n.replace("_", "")) for n in args.train_rows.split(",")] if args.train_rows else None
    except ValueError:
        parser.error("--train-rows takes whole numbers separated by commas")
    if sizes and min(sizes) < 10:
        parser.error("--train-rows: every size must be at least 10")

    chosen = ESTIMATORS
    if args.per_row:
        if args.only:
            parser.error("--per-row measures %s: leave out --only" % " and ".join(PER_ROW_KEYS))
        chosen = [e for e in ESTIMATORS if e[1] in PER_ROW_KEYS]
        sizes = sizes or list(PER_ROW_SIZES)
    elif args.only:
        keys = set(args.only.split(","))
        unknown = keys - {e[1] for e in ESTIMATORS} - set(WORKLOADS)
        if unknown:
            parser.error("unknown keys: %s" % ", ".join(sorted(unknown)))
        chosen = [e for e in ESTIMATORS if e[1] in keys or e[0] in keys]
    thread_counts = ("1",) if args.per_row else ("1", "all") if args.threads == "both" else (args.threads,)
    cores = common.usable_cores()
    runs = plan(chosen, thread_counts, args.baseline_python)
    script = os.path.abspath(__file__)
    if sizes:
        shapes = [(n + HELD_OUT_ROWS, HELD_OUT_ROWS / float(n + HELD_OUT_ROWS)) for n in sizes]
    else:
        shapes = [(args.samples or (5000 if args.quick else 125000), HELD_OUT)]
    measured = []
    for n_samples, held_out in shapes:
        n_train, n_test, results = measure_size(script, n_samples, args.features, held_out, runs,
                                                args.baseline_python, cores)
        measured.append((n_train, runs, results))

    header = ("estimator", "threads", "fit s", "fit: other / vandu", "predict s", "predict: other / vandu",
              "held-out R^2", "peak MiB")
    name = "trees" + ("-f%d" % args.features if args.features != N_FEATURES else "")
    workloads = sorted({entry[0] for entry in chosen})
    # A run of the single tree alone keeps the boosting tables of the same sizes.
    if sizes and not args.per_row and workloads == ["W1"]:
        name += "-w1"
    name += "-per-row" if args.per_row else "-sizes" if sizes else ""
    machine = common.machine_line()
    shape = "Friedman #1 with %d features" % args.features
    if args.per_row:
        text = "\n".join([
            "## Fit time per training row%s" % (" (quick run)" if args.quick else ""),
            "",
            "%s (seed %d), %s held out; GradientBoosting(depth=3, n_estimators=100, learning_rate=0.1) and "
            "LightGBM extra_trees (max_depth 3, 8 leaves, 100 rounds), each process pinned to one CPU."
            % (shape, SEED, format(HELD_OUT_ROWS, ",")),
            "",
            per_row_table(measured),
            "",
            machine,
        ])
        print()
        print(text)
        print("\nwritten to %s" % common.write_result(name, text, args.quick))
        return 0

    parts = ["## Trees and boosting, one thread and all cores%s" % (" (quick run)" if args.quick else ""), ""]
    if sizes:
        parts.append(
            "%s (seed %d), %s training rows, %s held out at every size. W1: one tree of depth 10; W2: 100 "
            "boosting stages of depth 3. Threads as in the default run; times in seconds; ratios are the other "
            "model's time over the current vandu's at the same thread count." % (
                shape, SEED, ", ".join(format(n, ",") for n in sizes), format(HELD_OUT_ROWS, ",")))
        parts += ["", "\n\n".join(size_summary(measured, cores))]
        notes = memory_notes(measured)
        if notes:
            parts += ["", notes]
    else:
        n_samples = shapes[0][0]
        n_train = measured[0][0]
        parts.append(
            "%s, %s samples (seed %d), %s training / %s held out. W1: one tree of depth "
            "10; W2: 100 boosting stages of depth 3. Threads \"1 (pinned)\": the process pinned to one CPU before "
            "the library is imported and every thread count set to 1; \"all\": each library's default threads on "
            "all the cores. Models that only use one thread run once. Times in seconds; ratios are the other "
            "model's time over the current vandu's at the same thread count. Peak memory is the peak RSS during fit "
            "and predict above the RSS after loading the data and importing the library."
            % (shape, format(n_samples, ","), SEED, format(n_train, ","), format(n_samples - n_train, ",")))
    for n_train, runs, results in measured:
        if sizes:
            parts += ["", "### %s training rows" % format(n_train, ",")]
        parts += ["", common.markdown(header, table_rows(runs, results, cores))]
        notes = speedup_notes(runs, results, cores)
        if notes:
            parts += ["", "\n".join(notes)]
    if args.baseline_python:
        files = {is_baseline: result.get("vandu_file") for n_train, runs, results in measured
                 for (entry, threads, is_baseline), result in zip(runs, results) if "vandu_file" in result}
        parts += ["", common.baseline_note(args.baseline_python, files.get(False), files.get(True))]
    if len(measured) == 1:
        n_train, runs, results = measured[0]
        subtitle = "Friedman #1, %s x %d training rows%s" % (format(n_train, ","), args.features,
                                                              " (quick run)" if args.quick else "")
        chart = name.replace("trees", "fit_ratios", 1)
        parts += ["", draw_chart(fit_ratios(runs, results), cores, subtitle,
                                 common.result_path(chart, args.quick, "png"))]
    parts += ["", machine]
    text = "\n".join(parts)
    print()
    print(text)
    print("\nwritten to %s" % common.write_result(name, text, args.quick))
    return 0


if __name__ == "__main__":
    sys.exit(main())
