"""The deep model's layers as joblib tasks (loky, a local Dask cluster, Ray) against the native fit, and what a
cluster of N workers would take.

    python bench/bench_deep_cluster.py                # 6,000 x 20 (3 fits per way), task times
    python bench/bench_deep_cluster.py --large        # also one fit per way at 20,000 x 20
    python bench/bench_deep_cluster.py --quick        # small data: a smoke run

Three parts, each measured in its own subprocess:
1. Default DeepGradientBoostingRegressor on Friedman #1, fitted natively (n_jobs=None), as joblib tasks on
   loky (n_jobs=-1, one worker process per core), on a local Dask cluster of one single-threaded worker
   process per core and on a local Ray instance with one CPU per core (Ray where installed). Every fit runs
   in a fresh process; the ways take turns, fit by fit, so that they share the machine's load alike. The
   cluster, loky's worker processes and Ray are started before the clock starts (a warm-up task), as a
   session that fits more than once would find them. Fit time and held-out R^2 at 6,000 training rows x 20
   (7,500 samples, 20% held out), and with --large at 20,000 x 20.
2. The duration of every task of the first layer at 20,000 training rows x 20 features: its 96 search fits
   and its 5 member fits, run one after another in one process pinned to one CPU, as each runs in a worker.
   Beside them, the native fit of that one layer (DeepGradientBoosting(n_estimators=1)) on all cores.
3. List scheduling of those tasks, longest first, on 2, 8, 32 and 128 workers: the search's tasks, then
   (they need its choice) the members'. The makespan of the layer, its speed-up over the native layer fit on
   all cores of this machine, and the critical path: the longest search fit, then the largest member fit.
   Transfers and scheduling costs are not simulated; part 1 shows what they cost on this machine.
"""

import argparse
import heapq
import json
import os
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240602
WORKERS = (2, 8, 32, 128)


def fits(way, folder, reps):
    import numpy as np

    x_train, y_train, x_test, y_test = common.load_data(folder)
    from vandu_sklearn import DeepGradientBoostingRegressor

    times, scores = [], []

    def run(**options):
        for _ in range(reps):
            start = time.perf_counter()
            model = DeepGradientBoostingRegressor(**options).fit(x_train, y_train)
            times.append(time.perf_counter() - start)
            scores.append(common.r2(y_test, np.asarray(model.predict(x_test))))

    if way == "native":
        run()
    elif way == "native-layer":
        run(n_estimators=1)
    elif way == "loky":
        import joblib

        joblib.Parallel(n_jobs=-1)(joblib.delayed(abs)(i) for i in range(4 * common.usable_cores()))
        run(n_jobs=-1)
    elif way == "ray":
        import joblib
        import ray
        from ray.util.joblib import register_ray

        ray.init(num_cpus=common.usable_cores(), include_dashboard=False, log_to_driver=False)
        try:
            register_ray()
            with joblib.parallel_config(backend="ray"):
                joblib.Parallel(n_jobs=-1)(joblib.delayed(abs)(i) for i in range(4 * common.usable_cores()))
                run(n_jobs=-1)
        finally:
            ray.shutdown()
    elif way == "dask":
        import joblib
        from dask.distributed import Client, LocalCluster

        cores = common.usable_cores()
        with LocalCluster(n_workers=cores, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            client.run(lambda: None)
            with joblib.parallel_config(backend="dask"):
                run(n_jobs=-1)
    else:
        raise KeyError(way)
    common.worker_reply({"fit_times": times, "r2": scores})


def tasks(folder):
    """Times every task of the first layer, one after another on one CPU."""
    import numpy as np

    if common.pin_to_one_cpu() is None:
        raise SystemExit("cannot pin this process to one CPU here")
    from vandu_sklearn import _deep

    x_train, y_train, _, _ = common.load_data(folder)
    x, r = np.ascontiguousarray(x_train), np.array(y_train)
    ranges = _deep.evaluations(len(r))
    searched = []
    errors = {}
    for c, combination in enumerate(_deep.GRID):
        for e, span in enumerate(ranges):
            start = time.perf_counter()
            _, error = _deep.fold_task(0, x, r, combination, span, os.getpid())
            searched.append((list(combination), time.perf_counter() - start))
            errors[c, e] = error
    scores = []
    for c in range(len(_deep.GRID)):
        score = 0.0
        for e in range(len(ranges)):
            score = score + errors[c, e]
        scores.append(score)
    chosen = _deep.GRID[min(range(len(scores)), key=lambda c: scores[c])]
    members = []
    for m in range(5):
        start = time.perf_counter()
        _deep.member_task(m, x, r, chosen, True, os.getpid())
        members.append(time.perf_counter() - start)
    common.worker_reply({"search": searched, "chosen": list(chosen), "members": members,
                         "rows": len(r), "features": x.shape[1]})


def list_schedule(durations, workers):
    """Makespan of the durations, longest first, each to the worker free first."""
    loads = [0.0] * workers
    for duration in sorted(durations, reverse=True):
        heapq.heapreplace(loads, loads[0] + duration)
    return max(loads)


def measure(script, args):
    result = common.run_worker(script, args, single_thread=False)
    if "error" in result:
        raise SystemExit("worker %s failed: %s" % (" ".join(args), result["error"]))
    return result


def fit_table(sizes, script, ways):
    rows = []
    for samples, features, held_out, reps in sizes:
        with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
            data = common.friedman1(samples, features, SEED, held_out=held_out)
            common.save_data(folder, data)
            n_train = len(data[1])
            del data
            found = {way: {"fit_times": [], "r2": []} for way in ways}
            for rep in range(reps):
                for way in ways:
                    print("  %s x %d, %s, fit %d of %d ..." % (format(n_train, ","), features, way, rep + 1, reps),
                          end=" ", flush=True)
                    result = measure(script, ["fits", way, folder, "1"])
                    for key in found[way]:
                        found[way][key] += result[key]
                    print("%.2f s" % result["fit_times"][0], flush=True)
        native = found["native"]["fit_times"]
        for way in ways:
            times, r2 = found[way]["fit_times"], found[way]["r2"]
            # Fit by fit against the native fit of the same turn, so that a busy spell weighs on both.
            ratios = sorted(t / n for t, n in zip(times, native))
            spread = " (%.4f to %.4f)" % (min(r2), max(r2)) if reps > 1 else ""
            rows.append(("%s x %d" % (format(n_train, ","), features), WAY_LABELS[way], str(reps),
                         common.seconds(sum(times) / reps), "%.2f" % ratios[len(ratios) // 2],
                         "%.2f to %.2f" % (ratios[0], ratios[-1]), "%.4f%s" % (sum(r2) / reps, spread)))
    return rows


WAY_LABELS = {"native": "native fit (n_jobs=None)", "loky": "joblib tasks on loky (n_jobs=-1)",
              "dask": "joblib tasks on a local Dask cluster (n_jobs=-1)",
              "ray": "joblib tasks on local Ray (n_jobs=-1)"}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small data: a smoke run")
    parser.add_argument("--large", action="store_true", help="also one fit per way at 20,000 x 20")
    parser.add_argument("--task-samples", type=int, default=None,
                        help="training rows of the task timings (default 20,000; 1,500 with --quick)")
    parser.add_argument("--reps", type=int, default=3, help="fits per way at 6,000 x 20")
    parser.add_argument("--tasks-from", metavar="JSON",
                        help="simulate from task timings saved by an earlier run (its last output line)")
    parser.add_argument("--skip-fits", action="store_true", help="only the task timings and the simulation")
    parser.add_argument("--skip-tasks", action="store_true", help="only the fits")
    parser.add_argument("--worker", nargs="+", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        kind, rest = args.worker[0], args.worker[1:]
        if kind == "fits":
            return fits(rest[0], rest[1], int(rest[2]))
        return tasks(rest[0])

    script = os.path.abspath(__file__)
    ways = ("native", "loky", "dask")
    try:
        import ray  # noqa: F401
        ways += ("ray",)
    except ImportError:
        print("Ray is not installed: no Ray fits", flush=True)
    sizes = [(500 if args.quick else 7500, 10 if args.quick else 20, 0.2, 2 if args.quick else args.reps)]
    if args.large:
        sizes.append((25000, 20, 0.2, 1))
    rows = []
    if not args.skip_fits:
        print("Fits, Friedman #1:", flush=True)
        rows = fit_table(sizes, script, ways)

    if args.skip_tasks:
        text = "\n".join(["## The deep model's layers as tasks%s" % (" (quick run)" if args.quick else ""), "",
                          common.markdown(("data", "fit", "fits", "fit s", "ratio", "ratio range", "held-out R^2"),
                                          rows), "", "Machine: %s." % common.machine_note()])
        print()
        print(text)
        return 0
    task_rows = args.task_samples or (1500 if args.quick else 20000)
    samples = int(round(task_rows / 0.8))
    print("Tasks of one layer at %s x 20 ..." % format(task_rows, ","), flush=True)
    with tempfile.TemporaryDirectory(prefix="vandu-bench-") as folder:
        common.save_data(folder, common.friedman1(samples, 20, SEED, held_out=0.2))
        if args.tasks_from:
            with open(args.tasks_from) as file:
                timed = json.loads(file.read().strip().splitlines()[-1])
        else:
            timed = measure(script, ["tasks", folder])
        layer = measure(script, ["fits", "native-layer", folder, "1"])
    layer_s = layer["fit_times"][0]
    search = [seconds for _, seconds in timed["search"]]
    members = timed["members"]
    longest_search = max(timed["search"], key=lambda item: item[1])
    depth, stages, rate = timed["chosen"]
    cores = common.usable_cores()
    simulated = []
    on_two = list_schedule(search, 2) + list_schedule(members, 2)
    for workers in WORKERS:
        makespan = list_schedule(search, workers) + list_schedule(members, workers)
        simulated.append((str(workers), common.seconds(list_schedule(search, workers)),
                          common.seconds(list_schedule(members, workers)), common.seconds(makespan),
                          "%.1f" % (on_two / makespan), "%.1f" % (layer_s / makespan)))
    critical = max(longest_search[1], 0.0) + max(members)

    parts = ["## The deep model's layers as tasks%s" % (" (quick run)" if args.quick else "")]
    if rows:
        parts += ["", "Default `DeepGradientBoostingRegressor` (5 layers of 5) on Friedman #1 (seed %d): the native "
                  "fit, and its layers' search and member fits as joblib tasks on loky, on a local Dask "
                  "cluster of %d single-threaded worker processes and on local Ray with %d CPUs, each fit in "
                  "a fresh process, the ways taking turns fit by fit, workers started before the clock. Fit "
                  "seconds are the mean of the fits; \"ratio\" is the median of each fit's time over the "
                  "native fit's of the same turn (range beside it); held-out R^2 is the mean (range)."
                  % (SEED, cores, cores), "",
                  common.markdown(("data", "fit", "fits", "fit s", "ratio", "ratio range", "held-out R^2"),
                                  rows)]
    parts += ["",
             "### One layer's tasks at %s x 20, and list scheduling on N workers"
             % format(timed["rows"], ","), "",
             "Every task of the first layer timed one after another on one pinned CPU: %d search fits "
             "(%s s in all; the longest %s s, depth %d, %d stages, on one fold of %s rows), then %d member "
             "fits with the chosen depth %d, %d stages, rate %s (%s s each on average). The native fit of "
             "that layer alone takes %s s on this machine's %d cores. Each worker takes the longest task "
             "left (search first, then members, which need the search's choice); transfers and scheduling "
             "are not simulated. Speed-ups are the makespan on 2 workers, and the native layer fit's time, "
             "over the makespan."
             % (len(search), common.seconds(sum(search)), common.seconds(longest_search[1]),
                longest_search[0][0], longest_search[0][1], format(timed["rows"] // 5, ","), len(members),
                depth, stages, rate, common.seconds(sum(members) / len(members)), common.seconds(layer_s),
                cores), "",
             common.markdown(("workers", "search s", "members s", "layer makespan s", "speed-up over 2 workers",
                              "speed-up over the native layer, %d cores" % cores), simulated), "",
             "Critical path: the longest search fit and then the largest member fit (depth %d, %d stages on "
             "all %s rows): %s s, which no number of workers shortens; a full default fit is five such "
             "layers, each wider than the last (20 + 5 i features)."
             % (depth, stages, format(timed["rows"], ","), common.seconds(critical)), "",
             "Machine: %s." % common.machine_note()]
    text = "\n".join(parts)
    print()
    print(text)
    print("\nwritten to %s" % common.write_result("deep_cluster", text, args.quick))
    print(json.dumps(timed))
    return 0


if __name__ == "__main__":
    sys.exit(main())
