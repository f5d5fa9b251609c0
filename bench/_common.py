"""Shared pieces of the benchmarks: data, one subprocess per measured estimator, memory, tables.

Each estimator runs in a fresh interpreter so that its peak memory and its library's thread pools are its own.
The parent writes the data set once to .npy files; a worker loads it, imports its library, resets the peak
RSS counter, then fits and predicts.
"""

import json
import os
import platform
import subprocess
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
RESULTS = os.path.join(HERE, "results")

# One thread everywhere unless a benchmark says otherwise. The OpenBLAS workarounds some machines set slow a
# current NumPy down, so the workers run without them.
SINGLE_THREAD_ENV = {"OMP_NUM_THREADS": "1", "OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}
DROPPED_ENV = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")
# No measured fit calls BLAS, but NumPy's BLAS pool, started at import, spins a while on
# an idle thread and takes a core from whatever runs next: one BLAS thread in every run.
QUIET_BLAS_ENV = {"OPENBLAS_NUM_THREADS": "1", "MKL_NUM_THREADS": "1"}


def friedman1(n_samples, n_features, seed, held_out=0.25):
    """Friedman #1 regression data (noise 1.0) with a fixed train / held-out split."""
    from sklearn.datasets import make_friedman1

    x, y = make_friedman1(n_samples=n_samples, n_features=n_features, noise=1.0, random_state=seed)
    n_train = int(round(n_samples * (1.0 - held_out)))
    return (np.ascontiguousarray(x[:n_train]), np.ascontiguousarray(y[:n_train]),
            np.ascontiguousarray(x[n_train:]), np.ascontiguousarray(y[n_train:]))


def save_data(folder, data):
    paths = []
    for name, array in zip(("x_train", "y_train", "x_test", "y_test"), data):
        path = os.path.join(folder, name + ".npy")
        np.save(path, array)
        paths.append(path)
    return folder


def load_data(folder):
    return tuple(np.load(os.path.join(folder, name + ".npy"))
                 for name in ("x_train", "y_train", "x_test", "y_test"))


def r2(y, prediction):
    y = np.asarray(y, dtype=np.float64)
    residual = float(np.sum((y - prediction) ** 2))
    total = float(np.sum((y - y.mean()) ** 2))
    return 1.0 - residual / total


def _status_kib(key):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


class PeakMemory:
    """Peak resident memory above the level when it was started, in MiB."""

    def __init__(self):
        self.baseline = _status_kib("VmRSS")
        try:  # Linux: "5" resets the VmHWM peak to the current RSS
            with open("/proc/self/clear_refs", "w") as refs:
                refs.write("5")
            self.reset = True
        except OSError:
            self.reset = False

    def mib(self):
        return max(0, _status_kib("VmHWM") - self.baseline) / 1024.0


def measure(make_model, data_folder, fit=None, predict=None):
    """Fits and predicts one model on the saved data; returns a dict of the measurements."""
    x_train, y_train, x_test, y_test = load_data(data_folder)
    model = make_model()
    fit = fit or (lambda m, x, y: m.fit(x, y))
    predict = predict or (lambda m, x: m.predict(x))
    memory = PeakMemory()
    start = time.perf_counter()
    fit(model, x_train, y_train)
    fit_seconds = time.perf_counter() - start
    # A predict takes milliseconds, where one call's time is mostly the machine's noise: the
    # fastest of three calls.
    predict_seconds = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        prediction = predict(model, x_test)
        predict_seconds = min(predict_seconds, time.perf_counter() - start)
    return {"fit_s": fit_seconds, "predict_s": predict_seconds,
            "r2": r2(y_test, np.asarray(prediction, dtype=np.float64)), "peak_mib": memory.mib()}


def worker_env(single_thread=True, own_site=False):
    env = dict(os.environ)
    for key in DROPPED_ENV:
        env.pop(key, None)
    if own_site:  # another interpreter's vandu must come from its own site-packages, not a build on the path
        env.pop("PYTHONPATH", None)
    env.update(SINGLE_THREAD_ENV if single_thread else QUIET_BLAS_ENV)
    return env


# A fit shorter than this is measured in this many fresh processes, and the median run is reported: on a
# shared or virtual machine a single short run can be several times slower than the next.
SHORT_FIT_S = 2.0
SHORT_FIT_RUNS = 5


def run_worker(script, args, single_thread=True, prefix=(), timeout=None, python=None):
    """Runs `script --worker ARGS` in a fresh interpreter (`python`, default this one) and returns the JSON it
    prints last; a short fit is run SHORT_FIT_RUNS times and the run of median fit time is returned."""
    command = list(prefix) + [python or sys.executable, script, "--worker"] + list(args)
    runs = []
    while True:
        done = subprocess.run(command, env=worker_env(single_thread, own_site=python is not None),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, universal_newlines=True,
                              timeout=timeout)
        if done.returncode != 0:
            tail = "\n".join(done.stderr.strip().splitlines()[-5:])
            return {"error": "exit %d: %s" % (done.returncode, tail)}
        runs.append(json.loads(done.stdout.strip().splitlines()[-1]))
        if runs[0].get("fit_s", SHORT_FIT_S) >= SHORT_FIT_S or len(runs) == SHORT_FIT_RUNS:
            break
    runs.sort(key=lambda r: r["fit_s"] if "fit_s" in r else 0.0)
    result = runs[len(runs) // 2]
    result["runs"] = len(runs)
    return result


def usable_cores():
    """The CPUs this process may run on: what "all cores" means for the libraries and vandu's pool."""
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def pin_to_one_cpu():
    """Restricts this process to the first CPU it may run on, before a library sizes its thread pool by the
    affinity mask; returns that CPU, or None where affinity cannot be set."""
    if not hasattr(os, "sched_setaffinity"):
        return None
    cpu = min(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})
    return cpu


def vandu_file():
    """Where the imported vandu came from, to tell a baseline build from the current one."""
    return os.path.realpath(sys.modules["vandu"].__file__) if "vandu" in sys.modules else None


def worker_reply(result):
    sys.stdout.write("\n" + json.dumps(result) + "\n")
    sys.stdout.flush()


def versions():
    found = {"python": platform.python_version(), "numpy": np.__version__}
    for module in ("vandu", "sklearn", "lightgbm", "xgboost"):
        try:
            found[module] = getattr(__import__(module), "__version__", "installed")
        except ImportError:
            found[module] = "missing"
    return found


def blas_note():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return "BLAS: threadpoolctl missing"
    parts = ["%s %s (%s)" % (p.get("internal_api"), p.get("version"), p.get("architecture"))
             for p in threadpool_info() if p.get("user_api") == "blas"]
    return "BLAS in the parent: " + (", ".join(parts) or "none loaded")


def markdown(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" for _ in header) + "|"]
    lines += ["| " + " | ".join(str(cell) for cell in row) + " |" for row in rows]
    return "\n".join(lines)


def machine_note():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = " (load average %.2f when it finished)" % os.getloadavg()[0] if hasattr(os, "getloadavg") else ""
    return "%s, %d logical cores, %s%s" % (cpu, os.cpu_count() or 0, platform.platform(), load)


def machine_line():
    """The closing line of every table: the machine and the libraries' versions."""
    return "Machine: %s. Versions: %s." % (machine_note(), ", ".join("%s %s" % kv for kv in versions().items()))


def publish(name, text, quick):
    """Prints a result and writes it to bench/results/."""
    print()
    print(text)
    print("\nwritten to %s" % write_result(name, text, quick))


def result_path(name, quick, extension="md"):
    os.makedirs(RESULTS, exist_ok=True)
    return os.path.join(RESULTS, "%s%s.%s" % (name, "-quick" if quick else "", extension))


def write_result(name, text, quick):
    path = result_path(name, quick)
    with open(path, "w") as out:
        out.write(text + "\n")
    return path


def threads_label(threads, cores):
    return "1 (pinned)" if threads == "1" else "all (%d)" % cores


def baseline_note(python, current_file, baseline_file):
    """How the baseline rows were made, and a warning when they measured the very same build."""
    note = ("Rows marked (baseline) ran vandu from %s (%s); their ratio is the baseline's time over the current "
            "build's at the same thread count (above 1: the current build is faster)."
            % (python, baseline_file or "its import failed"))
    if current_file and current_file == baseline_file:
        note += " Both loaded the same vandu file, so they compare a build with itself."
    return note


def seconds(value):
    return "%.3f" % value if value < 10 else "%.1f" % value


def ratio(peer, reference):
    return "%.2f" % (peer / reference) if reference > 0 else "-"
