"""Resident memory stays flat over hundreds of calls, failing ones included: a reference or a
buffer leaked per call would add up to megabytes."""
import os
import resource

import numpy as np
import pytest

import vandu

ROWS = 5000  # a leaked y or prediction is 40 kB, a leaked x 200 kB


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * resource.getpagesize()


def swallow(call):
    try:
        call()
    except BaseException as error:  # noqa: B036 - PanicException is a BaseException
        return error
    raise AssertionError("the call was expected to fail")


class ReenteringKey(str):
    """A keyword name whose str() calls the busy instance: a borrow error inside a binding
    error."""

    def __new__(cls, model, x):
        key = super().__new__(cls, "extra")
        key.model, key.x = model, x
        return key

    def __str__(self):
        self.model.predict(self.x)
        return "extra"


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer holds freed memory in quarantine; its leak check covers this run")
def test_memory_stays_flat_over_hundreds_of_calls(rng, tmp_path):
    x = rng.normal(size=(ROWS, 5))
    y = x[:, 0] - x[:, 1] + rng.normal(scale=0.1, size=ROWS)
    deep = vandu.DeepGradientBoosting(n_estimators=1, layer_width=2)
    deep.fit(x[:40], y[:40])
    deep_file = str(tmp_path / "deep.bin")
    deep.save(deep_file, "bincode")
    bad_file = tmp_path / "bad.json"
    bad_file.write_text('{"params":{"depth":3}}')
    path = str(tmp_path / "m")

    def one_round(fmt):
        model = vandu.GradientBoosting(depth=2, n_estimators=2)
        model.fit(x, y)
        model.predict(x)
        model.save(path, fmt)
        model.load(path, fmt)
        tree = vandu.DecisionTree(depth=3)
        tree.fit(x[::-1], y[::-1])  # a strided copy of both
        tree.predict(np.asfortranarray(x))
        rule = vandu.DecisionRule()
        rule.fit(x, y)
        rule.predict(x)
        deep.load(deep_file, "bincode")
        deep.predict(x)
        swallow(lambda: model.fit(x, y[:-1]))  # PanicException
        swallow(lambda: vandu.DecisionTree().predict(x))
        swallow(lambda: tree.load(str(bad_file)))
        swallow(lambda: tree.save(path, "yaml"))  # ValueError
        swallow(lambda: tree.load(str(tmp_path / "missing")))  # FileNotFoundError
        swallow(lambda: tree.fit(x.astype(np.float32), y))  # TypeError
        swallow(lambda: vandu.GradientBoosting(depth=-1))  # OverflowError
        swallow(lambda: tree.fit(x, y, extra=1))
        swallow(lambda: deep.fit(x, y, **{ReenteringKey(deep, x): 1}))  # PyBorrowError

    formats = ("json", "bincode")
    for i in range(20):  # allocator caches and the pool settle first
        one_round(formats[i % 2])
    before = resident_bytes()
    for i in range(150):
        one_round(formats[i % 2])
    grown = resident_bytes() - before
    assert grown < 3 * 2**20, f"resident memory grew by {grown / 2**20:.1f} MiB over 150 rounds"
