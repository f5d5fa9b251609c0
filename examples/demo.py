"""vandu on a small real regression problem: the 442-patient diabetes data (examples/data/README.md).

Fits the four estimators on a fixed training split, prints their held-out mean squared error next to a
predict-the-training-mean baseline, and saves and reloads every model that can be saved, in both formats,
checking that the reloaded model predicts exactly the same bits.

    python examples/demo.py                        # all four estimators
    python examples/demo.py --only DecisionTree,GradientBoosting
    python examples/demo.py --deep-layers 2        # a shorter DeepGradientBoosting (default: 5 layers)

An estimator that fails is reported in the table and the demo goes on with the next one; the exit status is 1
if any estimator failed, 0 otherwise. Fits are randomised and cannot be seeded, so the numbers vary a little
from run to run; the train/held-out split is fixed.
"""

import argparse
import os
import sys
import tempfile
import time

import numpy as np

import vandu

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", "diabetes.csv")
SPLIT_SEED = 20040407  # fixed: the same 350 / 92 split on every run
N_TRAIN = 350
NAMES = ("DecisionRule", "DecisionTree", "GradientBoosting", "DeepGradientBoosting")
SAVABLE = NAMES[1:]
FORMATS = ("json", "bincode")

# DeepGradientBoosting's default is 5 layers. Each layer searches 12 parameter combinations with a 5-fold
# score (96 boosted models of up to 1000 trees) before fitting its members: 4 to 11 s for all 5 layers on
# 350 samples and 2 busy cores, so the demo keeps the default; --deep-layers lowers it on slower machines.
DEFAULT_DEEP_LAYERS = 5


def load_data():
    table = np.loadtxt(DATA, delimiter=",", skiprows=1, dtype=np.float64)
    x = np.ascontiguousarray(table[:, :-1])
    y = np.ascontiguousarray(table[:, -1])
    order = np.random.default_rng(SPLIT_SEED).permutation(len(y))
    train, held_out = order[:N_TRAIN], order[N_TRAIN:]
    return x[train], y[train], x[held_out], y[held_out]


def mse(y, prediction):
    return float(np.mean((y - prediction) ** 2))


def make(name, deep_layers):
    cls = getattr(vandu, name)
    if name == "DecisionTree":
        return cls(depth=4), "depth=4"
    if name == "GradientBoosting":
        return cls(), "defaults (depth=3, n_estimators=100, learning_rate=0.1)"
    if name == "DeepGradientBoosting":
        if deep_layers == 5:
            return cls(), "defaults (n_estimators=5, layer_width=5, learning_rate=0.25)"
        return cls(n_estimators=deep_layers), "n_estimators=%d, layer_width=5, learning_rate=0.25" % deep_layers
    return cls(), "one random split"


def check_reload(name, model, x, prediction, folder):
    """Saves the model in each format, loads it into a fresh instance and compares predictions bit for bit."""
    results = {}
    for fmt in FORMATS:
        path = os.path.join(folder, "%s.%s" % (name, fmt))
        model.save(path, fmt)
        fresh = getattr(vandu, name)()
        fresh.load(path, fmt)
        again = fresh.predict(x)
        same = again.dtype == prediction.dtype and again.tobytes() == prediction.tobytes()
        results[fmt] = "%s (%s B)" % ("identical" if same else "DIFFERENT", format(os.path.getsize(path), ","))
        if not same:
            raise AssertionError("%s reloaded from %s predicts different values" % (name, fmt))
    return results


def describe_failure(error):
    text = str(error).strip().splitlines()
    return "%s: %s" % (type(error).__name__, text[0] if text else "")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated estimator names (default: all four)")
    parser.add_argument("--deep-layers", type=int, default=DEFAULT_DEEP_LAYERS,
                        help="layers of DeepGradientBoosting (default %(default)s; the class default is 5)")
    args = parser.parse_args(argv)
    names = NAMES
    if args.only:
        names = tuple(n.strip() for n in args.only.split(",") if n.strip())
        unknown = [n for n in names if n not in NAMES]
        if unknown:
            parser.error("unknown estimator(s): %s; choose from %s" % (", ".join(unknown), ", ".join(NAMES)))

    x_train, y_train, x_test, y_test = load_data()
    print("diabetes data: %d training and %d held-out samples, %d features (vandu at %s)"
          % (len(y_train), len(y_test), x_train.shape[1], vandu.__file__))

    baseline = mse(y_test, np.full_like(y_test, y_train.mean()))
    rows = [("mean of training targets", "baseline", "-", baseline, "-", "-")]
    failures = []
    with tempfile.TemporaryDirectory(prefix="vandu-demo-") as folder:
        for name in names:
            settings = ""
            try:
                model, settings = make(name, args.deep_layers)
                print("fitting %s: %s ..." % (name, settings), flush=True)
                start = time.perf_counter()
                model.fit(x_train, y_train)
                fit_seconds = time.perf_counter() - start
                prediction = model.predict(x_test)
                reload = check_reload(name, model, x_test, prediction, folder) if name in SAVABLE else {}
                rows.append((name, settings, "%.3f" % fit_seconds, mse(y_test, prediction),
                             reload.get("json", "-"), reload.get("bincode", "-")))
            except (KeyboardInterrupt, SystemExit):
                raise
            except BaseException as error:  # the module's internal failures derive from BaseException
                failures.append(name)
                rows.append((name, settings or "-", "-", None, "-", "-"))
                print("  %s failed: %s" % (name, describe_failure(error)), flush=True)

    print()
    header = ("estimator", "settings", "fit s", "held-out MSE", "vs baseline", "json reload", "bincode reload")
    table = [header, tuple("---" for _ in header)]
    for name, settings, fit_seconds, error, json_check, bincode_check in rows:
        if error is None:
            table.append((name, settings, fit_seconds, "FAILED", "-", json_check, bincode_check))
        else:
            table.append((name, settings, fit_seconds, "%.1f" % error, "%.3f" % (error / baseline),
                          json_check, bincode_check))
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for row in table:
        cells = [("-" * w) if cell == "---" else cell.ljust(w) for cell, w in zip(row, widths)]
        print("| " + " | ".join(cells) + " |")
    print()
    if "DeepGradientBoosting" in names and args.deep_layers != 5:
        print("DeepGradientBoosting was fitted with %d layer(s) instead of its default 5." % args.deep_layers)
    if failures:
        print("failed: %s" % ", ".join(failures))
        return 1
    print("all estimators fitted; every saved model reloaded with bit-identical predictions")
    return 0


if __name__ == "__main__":
    sys.exit(main())
