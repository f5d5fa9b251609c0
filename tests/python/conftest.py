"""Shared helpers for the Python tests.

vandu is imported by its plain name, so the tests run against a build directory on
PYTHONPATH as well as against an installed package.
"""
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import vandu

PanicException = None


def panic_exception_type():
    """The module's PanicException class, taken from a failure it raises."""
    global PanicException
    if PanicException is None:
        try:
            vandu.DecisionRule().predict(np.zeros((1, 1)))
        except BaseException as e:  # noqa: B036 - PanicException is a BaseException
            PanicException = type(e)
    return PanicException


def expect_panic(call, message):
    """`call` fails with PanicException carrying exactly `message`."""
    with pytest.raises(BaseException) as info:
        call()
    assert type(info.value) is panic_exception_type()
    assert info.value.args == (message,)
    return info.value


def running_stats(values):
    """count, mean and m2 of `values` in the module's exact update order."""
    mean, count, m2 = 0.0, 0, 0.0
    for y in values:
        count += 1
        n = float(count)
        d = (float(y) - mean) / n
        mean = mean + d
        m2 = m2 + (n - 1.0) * ((d * d) * n)
    return count, mean, m2


def running_mean(values):
    return running_stats(values)[1]


def saved(model, directory, name="model.json"):
    """The model's state, through its JSON file."""
    path = directory / name
    model.save(str(path))
    return json.loads(path.read_text())


def tree_value(tree, row):
    """A saved tree's prediction for one row, walking it as defined."""
    rules = [r["split_info"] for r in tree["splitters"]]
    node = 0
    while True:
        split = rules[node]
        side = 1 if row[split["feature"]] > split["threshold"] else 0
        nxt = tree["routes"][node][side]
        if nxt < 0:
            return split["values"][side]
        node = nxt


def tree_predict(tree, x):
    return [tree_value(tree, row) for row in x]


def run_python(code, *flags):
    """Runs `code` in a fresh interpreter that imports vandu from where we did."""
    env = dict(os.environ)
    module_dir = os.path.dirname(os.path.abspath(vandu.__file__))
    env["PYTHONPATH"] = os.pathsep.join(p for p in (module_dir, env.get("PYTHONPATH", "")) if p)
    return subprocess.run([sys.executable, *flags, "-c", code], env=env,
                          capture_output=True, text=True, timeout=120)


@pytest.fixture
def rng():
    return np.random.default_rng()


@pytest.fixture
def xy(rng):
    """A small regression problem: 40 samples, 3 features."""
    x = rng.normal(size=(40, 3))
    y = x[:, 0] * 2.0 - x[:, 2] + rng.normal(scale=0.1, size=40)
    return x, y


@pytest.fixture
def fitted_rule(xy):
    rule = vandu.DecisionRule()
    rule.fit(*xy)
    return rule


@pytest.fixture
def persistence(tmp_path):
    """A scratch directory for tests that save and load models."""
    return tmp_path
