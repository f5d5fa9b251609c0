"""Save and load time and file size of vandu's two formats, next to the peers' own ways of storing a model.

    python bench/bench_io.py               # 1000-stage depth-5 GradientBoosting, default DeepGradientBoosting
    python bench/bench_io.py --quick       # 100 stages, a one-layer deep model of two members: a smoke run

Models: vandu GradientBoosting(depth=5, n_estimators=1000) and a comparable scikit-learn
GradientBoostingRegressor(max_depth=5, n_estimators=1000) (pickled) and LightGBM booster (max_depth 5,
32 leaves, 1000 rounds, its own text model file), all fitted on the same Friedman #1 data; vandu's default
DeepGradientBoosting on 2,000 x 10 Friedman #1. Python's json module parsing vandu's JSON text is timed on the
same text. Each time is the best of several repeats; every vandu reload is checked to predict the same bits.
The table is printed and written to bench/results/.
"""

import argparse
import json
import os
import pickle
import sys
import tempfile
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240603


def best_of(repeats, action):
    best = float("inf")
    for _ in range(repeats):
        start = time.perf_counter()
        action()
        best = min(best, time.perf_counter() - start)
    return best


def size_of(path):
    return os.path.getsize(path)


def vandu_rows(label, model, cls, x, folder, repeats):
    expected = model.predict(x).tobytes()
    rows = []
    json_path = None
    for fmt in ("json", "bincode"):
        path = os.path.join(folder, "model." + fmt)
        save_s = best_of(repeats, lambda: model.save(path, fmt))

        def load():
            fresh = cls()
            fresh.load(path, fmt)
            return fresh

        load_s = best_of(repeats, load)
        if load().predict(x).tobytes() != expected:
            raise AssertionError("%s reloaded from %s predicts different bits" % (label, fmt))
        rows.append((label, "vandu %s" % fmt, save_s, load_s, size_of(path)))
        if fmt == "json":
            json_path = path
    with open(json_path) as f:
        text = f.read()
    parse_s = best_of(repeats, lambda: json.loads(text))
    rows.append((label, "Python json.loads of vandu's JSON text", None, parse_s, len(text.encode())))
    return rows


def pickle_rows(label, model, folder, repeats):
    path = os.path.join(folder, "model.pickle")

    def save():
        with open(path, "wb") as f:
            pickle.dump(model, f, protocol=pickle.HIGHEST_PROTOCOL)

    def load():
        with open(path, "rb") as f:
            return pickle.load(f)

    return [(label, "pickle", best_of(repeats, save), best_of(repeats, load), size_of(path))]


def lightgbm_rows(label, booster, folder, repeats):
    import lightgbm

    path = os.path.join(folder, "model.lgb.txt")
    save_s = best_of(repeats, lambda: booster.save_model(path))
    load_s = best_of(repeats, lambda: lightgbm.Booster(model_file=path))
    return [(label, "LightGBM model file (text)", save_s, load_s, size_of(path))]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small models: a smoke run")
    parser.add_argument("--repeats", type=int, default=5, help="repeats per timing, best kept (default 5)")
    args = parser.parse_args()

    import lightgbm
    import vandu
    from sklearn.ensemble import GradientBoostingRegressor

    stages = 100 if args.quick else 1000
    n_boost = 2000 if args.quick else 10000
    repeats = 2 if args.quick else args.repeats
    rows = []
    with tempfile.TemporaryDirectory(prefix="vandu-bench-io-") as folder:
        x, y, x_test, _ = common.friedman1(n_boost, 10, SEED)
        print("fitting the %d-stage depth-5 models on %d x 10 ..." % (stages, len(y)), flush=True)
        label = "boosting, %d stages of depth 5" % stages
        model = vandu.GradientBoosting(depth=5, n_estimators=stages)
        model.fit(x, y)
        rows += vandu_rows(label, model, vandu.GradientBoosting, x_test, folder, repeats)
        peer = GradientBoostingRegressor(max_depth=5, n_estimators=stages, random_state=0).fit(x, y)
        rows += pickle_rows(label + " (scikit-learn GradientBoostingRegressor)", peer, folder, repeats)
        booster = lightgbm.train({"objective": "regression", "max_depth": 5, "num_leaves": 32, "verbose": -1,
                                  "num_threads": 1, "seed": 0},
                                 lightgbm.Dataset(x, y), num_boost_round=stages)
        rows += lightgbm_rows(label + " (LightGBM)", booster, folder, repeats)

        x, y, x_test, _ = common.friedman1(500 if args.quick else 2000, 10, SEED)
        deep = vandu.DeepGradientBoosting(n_estimators=1, layer_width=2) if args.quick else vandu.DeepGradientBoosting()
        deep_label = "deep, %s" % ("1 layer of 2" if args.quick else "default (5 layers of 5)")
        print("fitting the deep model on %d x 10 ..." % len(y), flush=True)
        deep.fit(x, y)
        rows += vandu_rows(deep_label, deep, vandu.DeepGradientBoosting, x_test, folder, max(1, repeats // 2))

    header = ("model", "storage", "save s", "load s", "size")
    table = [(model_label, storage, "-" if save_s is None else "%.4f" % save_s, "%.4f" % load_s,
              "{:,} B".format(size)) for model_label, storage, save_s, load_s, size in rows]
    text = "\n".join([
        "## Saving and loading%s" % (" (quick run)" if args.quick else ""),
        "",
        "Best of %d repeats (deep model: %d). vandu's save writes a temporary file, flushes it to disk (fsync) "
        "and renames it into place; its load time includes creating the instance; "
        "LightGBM's load builds a Booster from the file; the json.loads row parses vandu's JSON text already "
        "in memory." % (repeats, max(1, repeats // 2)),
        "",
        common.markdown(header, table),
        "",
        common.machine_line(),
    ])
    common.publish("io", text, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
