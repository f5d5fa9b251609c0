"""Prediction latency: one row and 1,000 rows, native predict beside ONNX Runtime on the exported model.

    python bench/bench_latency.py                            # this interpreter's vandu
    python bench/bench_latency.py --python OLD --python NEW  # several builds side by side, same saved models
    python bench/bench_latency.py --quick                    # small models: a smoke run

Models: GradientBoosting() and DeepGradientBoosting() with their defaults, fitted once on 2,000 x 10
Friedman #1 (1,500 training rows) and saved (bincode) to --models (kept between runs, so that every build
times the very same models; fitted again only when missing). Each interpreter runs in its own process, one
after the other, for --rounds rounds (the interpreters alternate within a round). A timing is the median
over many calls in a loop: one-row calls predict one training row, the 1,000-row calls the held-out rows
repeated to 1,000. ONNX Runtime runs the model exported by vandu_sklearn.to_onnx on one thread (when onnx,
onnxruntime and that exporter are importable in the interpreter); its feeds are built once, outside the
timed loop, as a server would. Every build's predictions are checked against the first one's to the bit.
The table is printed and written to bench/results/.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240603
ROWS = 1000


def median_seconds(call, repeats):
    call()  # warm-up: caches, lazy imports, the pool's threads
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def worker(models, quick):
    """Times every saved model in this interpreter; prints one JSON record."""
    import vandu

    x_train = np.load(os.path.join(models, "x_train.npy"))
    x_test = np.load(os.path.join(models, "x_test.npy"))
    one = np.ascontiguousarray(x_train[:1])
    many = np.ascontiguousarray(np.resize(x_test, (ROWS, x_test.shape[1])))
    try:
        import onnxruntime
        import vandu_sklearn

        export = getattr(vandu_sklearn, "to_onnx", None)
    except ImportError:
        export = None
    single = 200 if quick else 2000
    batch = 20 if quick else 200
    out = {}
    for key, cls in (("boosting", vandu.GradientBoosting), ("deep", vandu.DeepGradientBoosting)):
        model = cls()
        model.load(os.path.join(models, key + ".bin"), "bincode")
        record = {
            "one": median_seconds(lambda: model.predict(one), single),
            "many": median_seconds(lambda: model.predict(many), batch),
            "bits": model.predict(many).tobytes().hex()[:64] + model.predict(one).tobytes().hex(),
        }
        if export is not None:
            options = onnxruntime.SessionOptions()
            options.intra_op_num_threads = 1
            options.inter_op_num_threads = 1
            session = onnxruntime.InferenceSession(export(model, x_train.shape[1]).SerializeToString(),
                                                   options, providers=["CPUExecutionProvider"])
            name = session.get_inputs()[0].name
            feed_one, feed_many = {name: one}, {name: many}
            record["onnx_one"] = median_seconds(lambda: session.run(None, feed_one), single)
            record["onnx_many"] = median_seconds(lambda: session.run(None, feed_many), batch)
        out[key] = record
    print(json.dumps(out))


def fit_models(models, quick):
    import vandu

    os.makedirs(models, exist_ok=True)
    x, y, x_test, _ = common.friedman1(500 if quick else 2000, 10, SEED)
    np.save(os.path.join(models, "x_train.npy"), x)
    np.save(os.path.join(models, "x_test.npy"), x_test)
    for key, model in (("boosting", vandu.GradientBoosting()),
                       ("deep", vandu.DeepGradientBoosting(n_estimators=2, layer_width=2) if quick
                        else vandu.DeepGradientBoosting())):
        print("fitting %s on %d x 10 ..." % (key, len(y)), flush=True)
        model.fit(x, y)
        model.save(os.path.join(models, key + ".bin"), "bincode")


def describe(models):
    """Trees and stages of the saved deep model, read from its JSON."""
    import vandu

    deep = vandu.DeepGradientBoosting()
    deep.load(os.path.join(models, "deep.bin"), "bincode")
    path = os.path.join(models, "deep.json")
    deep.save(path)
    with open(path) as f:
        layers = json.load(f)["estimators"]
    os.remove(path)
    parts = []
    for layer in layers:
        members = layer["estimators"]
        p = members[0]["params"]
        parts.append("%d x (%d stages, depth %d)" % (len(members), p["n_estimators"], p["est_params"]["depth"]))
    return "; ".join(parts)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--python", action="append", help="interpreter to time (repeatable; default this one)")
    parser.add_argument("--models", default=os.path.join(common.HERE, ".latency-models"),
                        help="folder of the saved models (default bench/.latency-models)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds over the interpreters (default 3)")
    parser.add_argument("--quick", action="store_true", help="small models: a smoke run")
    parser.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(args.models, args.quick)
        return 0

    if args.quick and args.models == parser.get_default("models"):
        args.models += "-quick"
    if not os.path.exists(os.path.join(args.models, "deep.bin")):
        fit_models(args.models, args.quick)
    pythons = args.python or [sys.executable]
    runs = {p: [] for p in pythons}
    env = dict(os.environ, **common.QUIET_BLAS_ENV)
    for r in range(args.rounds):
        for p in pythons:
            print("round %d: %s" % (r + 1, p), flush=True)
            command = [p, os.path.abspath(__file__), "--worker", "--models", args.models]
            done = subprocess.run(command + (["--quick"] if args.quick else []), env=env, check=True,
                                  stdout=subprocess.PIPE, universal_newlines=True, cwd="/")
            runs[p].append(json.loads(done.stdout.strip().splitlines()[-1]))

    reference = runs[pythons[0]][0]
    for p in pythons:
        for run in runs[p]:
            for key in run:
                if run[key]["bits"] != reference[key]["bits"]:
                    raise AssertionError("%s predicts other bits for the %s model" % (p, key))

    def cell(p, key, field):
        values = [run[key][field] for run in runs[p] if field in run[key]]
        return "-" if not values else "%.1f" % (1e6 * statistics.median(values))

    header = ("interpreter", "model", "1 row, us", "1,000 rows, us", "ONNX Runtime 1 row, us",
              "ONNX Runtime 1,000 rows, us")
    table = []
    for i, p in enumerate(pythons):
        label = "build %d (%s)" % (i + 1, p) if len(pythons) > 1 else p
        for key, name in (("boosting", "GradientBoosting()"), ("deep", "DeepGradientBoosting()")):
            table.append((label, name, cell(p, key, "one"), cell(p, key, "many"), cell(p, key, "onnx_one"),
                          cell(p, key, "onnx_many")))
    text = "\n".join([
        "## Prediction latency%s" % (" (quick run)" if args.quick else ""),
        "",
        "Median time of one predict call, in microseconds, the median of %d rounds in which the builds "
        "alternate, every build on the same saved models. The deep model: %s. ONNX Runtime: one thread, "
        "the model from vandu_sklearn.to_onnx." % (args.rounds, describe(args.models)),
        "",
        common.markdown(header, table),
        "",
        common.machine_line(),
    ])
    common.publish("latency", text, args.quick)
    return 0


if __name__ == "__main__":
    sys.exit(main())
