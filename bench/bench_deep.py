"""Default DeepGradientBoosting against LightGBM's and HistGradientBoostingRegressor's defaults.

    python bench/bench_deep.py                 # 2,000 x 10 and 25,000 x 20 Friedman #1, several minutes
    python bench/bench_deep.py --skip-large    # without the 25,000 x 20 section
    python bench/bench_deep.py --sections layer,large --baseline-python OLD/bin/python   # one layer at
                                               # 2,000 x 10 and the default fit at 20,000 x 20 training rows
    python bench/bench_deep.py --quick         # small data and one-layer models: a smoke run
    python bench/bench_deep.py --baseline-python OLD/bin/python   # adds the vandu rows of another build

Three sections, every estimator in its own subprocess:
- the default deep model on 2,000 x 10 with all cores (each library's default threads) and with vandu's
  process pinned to one CPU, giving the speed-up of its worker pool from one core to all;
- one layer, DeepGradientBoosting(n_estimators=1, layer_width=5), on the same data with all cores;
- the default deep model on 25,000 x 20 (20,000 training rows) with all cores, its held-out R^2 next to the
  peers' defaults.
Ratios are the other model's time over the current vandu's in the same section and with the same cores. With
--baseline-python, vandu's rows run a second time under that interpreter, with the vandu of its own
site-packages; those workers import nothing but NumPy and vandu. --sections picks sections by name (deep,
layer, large). The tables are printed and written to bench/results/.
"""

import argparse
import os
import shutil
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240602
SECTIONS = ("deep", "layer", "large")


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


def worker(key, data_folder, layers, width, threads):
    # Pinned before the library is imported, so that vandu's pool has one thread.
    if threads == "1" and common.pin_to_one_cpu() is None:
        raise SystemExit("cannot pin this process to one CPU here")
    layers = None if layers == "default" else int(layers)
    width = None if width == "default" else int(width)
    result = common.measure(lambda: make(key, layers, width), data_folder)
    if key == "vandu":
        result["vandu_file"] = common.vandu_file()
    common.worker_reply(result)


def deep_label(layers, width):
    if layers == "default":
        return "DeepGradientBoosting() (5 layers of 5)"
    return "DeepGradientBoosting(n_estimators=%s, layer_width=%s)" % (layers, width)


def sections(quick, names):
    """(title, samples, features, held-out fraction, runs) of the named sections; a run is (label, key, layers,
    width, threads); vandu's first run of a section with a given thread count is the reference of its ratios."""
    model = ("1", "2") if quick else ("default", "default")
    peers = [("LightGBM LGBMRegressor() defaults", "lightgbm", "default", "default", "all"),
             ("HistGradientBoostingRegressor() defaults", "hist", "default", "default", "all")]
    found = {
        "deep": ("Deep model, 1 core and all", 500 if quick else 2000, 10, 0.25,
                 [(deep_label(*model), "vandu") + model + ("all",), (deep_label(*model), "vandu") + model + ("1",)]
                 + peers),
        "layer": ("One layer, all cores", 500 if quick else 2000, 10, 0.25,
                  [(deep_label("1", "5"), "vandu", "1", "5", "all")]),
        "large": ("Deep model on larger data, all cores", 2500 if quick else 25000, 20, 0.2,
                  [(deep_label(*model), "vandu") + model + ("all",)] + peers),
    }
    return [found[name] for name in SECTIONS if name in names]


def measure_section(samples, features, held_out, runs, baseline, folder):
    """Runs every estimator of one section (vandu's again with the baseline interpreter); returns
    (held-out sizes, [(run, is_baseline, result)])."""
    data = common.friedman1(samples, features, SEED, held_out=held_out)
    common.save_data(folder, data)
    sizes = (len(data[1]), len(data[3]))
    del data
    print("Friedman #1, %d x %d (seed %d): %d training, %d held-out samples" % ((samples, features, SEED) + sizes),
          flush=True)
    measured = []
    for run in runs:
        label, key, layers, width, threads = run
        for is_baseline in (False, True) if baseline and key == "vandu" else (False,):
            print("  %-52s %-10s ..." % (label + (" (baseline)" if is_baseline else ""),
                                         common.threads_label(threads, common.usable_cores())),
                  end=" ", flush=True)
            result = common.run_worker(os.path.abspath(__file__), [key, folder, layers, width, threads],
                                       single_thread=threads == "1", python=baseline if is_baseline else None)
            measured.append((run, is_baseline, result))
            print(result.get("error") or "fit %.2f s" % result["fit_s"], flush=True)
    return sizes, measured


def section_table(measured, cores):
    references = {}
    for (label, key, layers, width, threads), is_baseline, result in measured:
        if key == "vandu" and not is_baseline and "error" not in result:
            references.setdefault(threads, result)
    rows = []
    for (label, key, layers, width, threads), is_baseline, result in measured:
        label += " (baseline)" if is_baseline else ""
        if "error" in result:
            rows.append((label, common.threads_label(threads, cores), "failed", "-", "-", "-", "-", "-"))
            continue
        reference = references.get(threads)

        def versus(measure):
            if reference is result:
                return "1 (reference)"
            return common.ratio(result[measure], reference[measure]) if reference else "-"

        rows.append((label, common.threads_label(threads, cores), common.seconds(result["fit_s"]), versus("fit_s"),
                     common.seconds(result["predict_s"]), versus("predict_s"), "%.4f" % result["r2"],
                     "%.1f" % result["peak_mib"]))
    return rows


def speedup_notes(measured, cores):
    """vandu's fit speed-up from one pinned core to all, per build, where both were measured."""
    fits = {}
    for (label, key, layers, width, threads), is_baseline, result in measured:
        if key == "vandu" and "error" not in result:
            fits.setdefault((is_baseline, threads), result["fit_s"])
    notes = []
    for is_baseline in (False, True):
        if (is_baseline, "1") in fits and (is_baseline, "all") in fits:
            one, every = fits[is_baseline, "1"], fits[is_baseline, "all"]
            notes.append("- vandu%s fit speed-up from 1 core to %d: %.2fx (%s s / %s s)"
                         % (" (baseline)" if is_baseline else "", cores, one / every, common.seconds(one),
                            common.seconds(every)))
    return "\n".join(notes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small data, one layer of 2 members")
    parser.add_argument("--skip-large", action="store_true", help="leave out the 25,000 x 20 section")
    parser.add_argument("--sections", default=",".join(SECTIONS),
                        help="comma-separated sections to run: deep (2,000 x 10, 1 core and all, with the peers), "
                             "layer (one layer at 2,000 x 10), large (25,000 x 20); default all")
    parser.add_argument("--baseline-python", metavar="PATH",
                        help="also run vandu's rows with this interpreter's vandu, e.g. an older build")
    parser.add_argument("--worker", nargs=5, metavar=("KEY", "DATA", "LAYERS", "WIDTH", "THREADS"),
                        help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    if args.baseline_python and not shutil.which(args.baseline_python):
        parser.error("--baseline-python: %s is not an executable" % args.baseline_python)
    names = set(args.sections.split(","))
    if names - set(SECTIONS):
        parser.error("unknown sections: %s (choose from %s)" % (", ".join(sorted(names - set(SECTIONS))),
                                                                 ", ".join(SECTIONS)))
    if args.skip_large:
        names.discard("large")

    cores = common.usable_cores()
    header = ("estimator", "cores", "fit s", "fit: other / vandu", "predict s", "predict: other / vandu",
              "held-out R^2", "peak MiB")
    parts = ["## Deep gradient boosting%s" % (" (quick run)" if args.quick else ""),
             "",
             "Friedman #1. Each library with its default settings and threads (\"all\"); \"1 (pinned)\": vandu's "
             "process pinned to one CPU before vandu is imported. Times in seconds; ratios are the other model's "
             "time over the current vandu's in the same table and with the same cores. Peak memory is the peak "
             "RSS during fit and predict above the RSS after loading the data and importing the library."]
    files = {}
    for title, samples, features, held_out, runs in sections(args.quick, names):
        with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
            (n_train, n_test), measured = measure_section(samples, features, held_out, runs,
                                                            args.baseline_python, folder)
        for run, is_baseline, result in measured:
            if "vandu_file" in result:
                files[is_baseline] = result["vandu_file"]
        parts += ["", "### %s: %s x %d (seed %d), %s training / %s held out"
                  % (title, format(samples, ","), features, SEED, format(n_train, ","), format(n_test, ",")),
                  "", common.markdown(header, section_table(measured, cores))]
        notes = speedup_notes(measured, cores)
        if notes:
            parts += ["", notes]
    if args.baseline_python:
        parts += ["", common.baseline_note(args.baseline_python, files.get(False), files.get(True))]
    parts += ["", common.machine_line()]
    text = "\n".join(parts)
    common.publish("deep", text, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
