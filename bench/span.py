"""The span of a fit and its projected speed-up on many cores, from a step trace on one pinned thread.

    python bench/span.py                      # W1 and W2 at 100,000 and 1,000,000 rows, several minutes
    python bench/span.py --rows 20000 --quick # a smoke run
    python bench/span.py --driver PATH        # a driver already built

It builds bench/span_driver.cpp with -DVANDU_TRACE_STEPS=ON (CMake and Ninja, in build-span/), makes
Friedman #1 data (the seed of bench_trees.py, 20 features) and runs each fit on one pinned CPU, traced once
for every core count T of the projection: the fit's team steps are cut for T threads, each step's tasks run
one after another and are timed alone in the thread's CPU seconds (a preempting process does not inflate
them), and the time between steps is the serial part. A step's tasks are list-scheduled onto T cores, longest
first, each to the least loaded core; steps keep their order and each waits for the one before (the
barriers), so the projected time on T cores is the serial parts plus each step's busiest core. The speed-up
is the one-thread fit's traced time over that. Work is the sum of all times of the trace cut for 64 threads,
span its serial parts plus each step's longest task: no number of cores beats work / span. The projection
keeps the one-thread task times, so it leaves out what cores share (memory bandwidth, the last-level cache)
and the steps' wake-ups and barriers. Each cut is traced --repeat times and the trace of least work kept.
The two-core projection is checked against the same driver's untraced fits on one and on two CPUs (the
fastest of --repeat runs each). A table per fit gives the 16-core projection by the function that starts
the steps.
"""

import argparse
import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import _common as common  # noqa: E402

SEED = 20240601
N_FEATURES = 20
CORES = (1, 2, 4, 8, 16, 64)
WORKLOADS = {"W1": "DecisionTree(depth=10)", "W2": "GradientBoosting(depth=3, n_estimators=100, learning_rate=0.1)"}
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def build_driver(jobs):
    build = os.path.join(ROOT, "build-span")
    subprocess.run(["cmake", "-S", ROOT, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                    "-DVANDU_TRACE_STEPS=ON", "-DVANDU_BUILD_MODULE=OFF"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j", str(jobs), "--target", "vandu_span_driver"], check=True,
                   stdout=subprocess.DEVNULL)
    return os.path.join(build, "vandu_span_driver")


def run(command, cpus):
    done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                          preexec_fn=lambda: os.sched_setaffinity(0, cpus))
    if done.returncode != 0:
        raise SystemExit("%s failed: %s" % (" ".join(command), done.stderr.strip()))
    return done.stdout


def parse_trace(text):
    """[(serial seconds before, [task seconds], site)], serial seconds after the last step."""
    steps, tail = [], 0.0
    for line in text.splitlines():
        kind, _, rest = line.partition(" ")
        if kind == "step":
            serial, tasks, site = rest.split(" ", 2)
            steps.append((float(serial), [float(t) for t in tasks.split(",")] if tasks else [], site))
        elif kind == "tail":
            tail = float(rest)
    return steps, tail


def schedule(tasks, cores):
    """Longest first, each to the least loaded core; the step's time is its busiest core's."""
    load = [0.0] * cores
    for t in sorted(tasks, reverse=True):
        i = min(range(cores), key=load.__getitem__)
        load[i] += t
    return max(load)


def projected(steps, tail, cores):
    return tail + sum(serial + schedule(tasks, cores) for serial, tasks, _ in steps)


def summary(steps, tail):
    serial = tail + sum(s for s, _, _ in steps)
    work = serial + sum(sum(t) for _, t, _ in steps)
    span = serial + sum(max(t) if t else 0.0 for _, t, _ in steps)
    return work, span, serial


def by_site(steps, cores):
    """Projected seconds on `cores` by step site, and the serial seconds before steps of each site."""
    sites = {}
    for serial, tasks, site in steps:
        name = site.split(" ")[0].replace("vandu::", "")
        entry = sites.setdefault(name, [0, 0.0, 0.0, 0.0])
        entry[0] += 1
        entry[1] += schedule(tasks, cores)
        entry[2] += sum(tasks)
        entry[3] += serial
    return sites


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rows", default="100000,1000000", help="training rows, comma-separated")
    parser.add_argument("--only", default="W1,W2", help="workloads, comma-separated")
    parser.add_argument("--repeat", type=int, default=3, help="untraced runs at each thread count")
    parser.add_argument("--driver", help="a driver already built (default: build it in build-span/)")
    parser.add_argument("--jobs", type=int, default=2, help="build jobs")
    parser.add_argument("--quick", action="store_true", help="write the result as a quick run's")
    args = parser.parse_args()

    driver = args.driver or build_driver(args.jobs)
    cpus = sorted(os.sched_getaffinity(0))
    one, two = {cpus[0]}, set(cpus[:2])
    sizes = [int(r) for r in args.rows.split(",")]
    workloads = args.only.split(",")
    from sklearn.datasets import make_friedman1

    header = ["workload", "rows", "1-thread fit CPU s", "work s (64-way cut)", "span s", "work / span",
              "serial s"] + ["proj. %dx" % c for c in CORES[1:]] + ["measured 2x"]
    rows, details = [], []
    with tempfile.TemporaryDirectory() as folder:
        for n in sizes:
            x, y = make_friedman1(n_samples=n, n_features=N_FEATURES, noise=1.0, random_state=SEED)
            x_file, y_file = os.path.join(folder, "x"), os.path.join(folder, "y")
            x.astype("float64").tofile(x_file)
            y.astype("float64").tofile(y_file)
            del x, y
            for w in workloads:
                base = [driver, x_file, y_file, str(n), str(N_FEATURES), w]
                # The least-loaded of --repeat traces at each cut: the machine is shared.
                traces = {c: min((parse_trace(run(base + ["trace", str(c)], one)) for _ in range(args.repeat)),
                                 key=lambda trace: summary(*trace)[0]) for c in CORES}
                t1 = projected(*traces[1], 1)
                speedups = [t1 / projected(*traces[c], c) for c in CORES[1:]]
                work, span, serial = summary(*traces[CORES[-1]])

                def fastest(cpu_set):
                    return min(float(run(base + ["time"], cpu_set).split()[1]) for _ in range(args.repeat))

                measured = "-"
                if len(two) == 2:
                    measured = "%.2f" % (fastest(one) / fastest(two))
                rows.append([w, "{:,}".format(n), "%.3f" % t1, "%.3f" % work, "%.3f" % span, "%.1f" % (work / span),
                             "%.3f" % serial] + ["%.2f" % s for s in speedups] + [measured])
                print(common.markdown(header, rows[-1:]), flush=True)
                sixteen = by_site(traces[16][0], 16)
                lines = ["%s at %s rows, trace cut for 16 threads: %d steps, serial %.3f s, projected %.3f s on 16 "
                         "cores" % (w, "{:,}".format(n), len(traces[16][0]), summary(*traces[16])[2],
                                    projected(*traces[16], 16)), ""]
                lines.append(common.markdown(
                    ["steps started in", "steps", "projected s on 16", "work s", "serial s before"],
                    [[name, e[0], "%.3f" % e[1], "%.3f" % e[2], "%.3f" % e[3]]
                     for name, e in sorted(sixteen.items(), key=lambda kv: -kv[1][1])]))
                details.append("\n".join(lines))
                print(details[-1], flush=True)

    text = "\n\n".join([
        "# Span and projected speed-up",
        "Each fit on one pinned thread, its team steps traced (see bench/span.py). Speed-ups are the one-thread "
        "fit's time over the projected time on that many cores; measured 2x is the untraced one-thread fit over "
        "the two-thread one (fastest of %d runs each). W1: %s; W2: %s; Friedman #1, %d features."
        % (args.repeat, WORKLOADS["W1"], WORKLOADS["W2"], N_FEATURES),
        common.markdown(header, rows)] + details + ["Machine: " + common.machine_note()])
    path = common.write_result("span", text, args.quick)
    print("\nwritten to", path)


if __name__ == "__main__":
    main()
