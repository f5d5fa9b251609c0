"""Shared helpers for the Python tests.

vandu is imported by its plain name, so the tests run against a build directory on
PYTHONPATH as well as against an installed package.
"""
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
