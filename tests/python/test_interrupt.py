"""Ctrl-C during a long fit: the fit ends with the exception the signal handler raised,
keeping the stages or layers fitted so far, and the instance and the worker pool stay
usable."""
import contextlib
import os
import signal

import numpy as np
import pytest

import vandu
from conftest import expect_panic, running_mean, saved

UNWRAP_NONE = "called `Option::unwrap()` on a `None` value"
UNSUPPORTED = ("called `Result::unwrap()` on an `Err` value: "
               "ShapeError/Unsupported: unsupported operation")


class Stop(Exception):
    pass


def press_ctrl_c():
    os.kill(os.getpid(), signal.SIGINT)  # Python's own handler raises KeyboardInterrupt


def raise_stop():
    raise Stop


@contextlib.contextmanager
def signals_while_armed(action):
    """A timer signal every 50 ms; once `arm()` was called, the next one runs `action`.

    The module holds the interpreter lock for the whole call, so no Python thread could send
    the signal: it comes from the kernel, and Python runs the handler from inside the call.
    """
    armed = []

    def on_alarm(signum, frame):
        if armed:
            armed.clear()
            action()

    previous_int = signal.signal(signal.SIGINT, signal.default_int_handler)
    previous_alarm = signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, 0.05, 0.05)
    try:
        yield lambda: armed.append(True)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous_alarm)
        signal.signal(signal.SIGINT, previous_int)


def problem(rng, n):
    x = rng.normal(size=(n, 10))
    return x, x[:, 0] * 2.0 - x[:, 1] + rng.normal(scale=0.1, size=n)


@pytest.mark.parametrize("action, exception", [(press_ctrl_c, KeyboardInterrupt), (raise_stop, Stop)])
def test_interrupted_boosting_keeps_the_stages_fitted_so_far(action, exception, rng, tmp_path):
    stages = 200_000  # minutes of work, were the fit not stopped
    model = vandu.GradientBoosting(n_estimators=stages)
    x, y = problem(rng, 4000)
    with signals_while_armed(action) as arm:
        with pytest.raises(exception):
            arm()
            model.fit(x, y)
    state = saved(model, tmp_path)
    assert state["mean"] == running_mean(y)  # the fit had begun
    assert len(state["estimators"]) < stages
    if state["estimators"]:
        assert np.all(np.isfinite(model.predict(x)))
    else:
        expect_panic(lambda: model.predict(x), UNSUPPORTED)
    # The borrow ended: the instance takes another state.
    small = vandu.GradientBoosting(n_estimators=3)
    small.fit(x[:50], y[:50])
    small.save(str(tmp_path / "small.json"))
    model.load(str(tmp_path / "small.json"))
    assert np.array_equal(model.predict(x), small.predict(x))


@pytest.mark.parametrize("action, exception", [(press_ctrl_c, KeyboardInterrupt), (raise_stop, Stop)])
def test_interrupted_deep_fit_keeps_the_layers_fitted_so_far(action, exception, rng, tmp_path):
    model = vandu.DeepGradientBoosting(n_estimators=2, layer_width=3)
    x, y = problem(rng, 4000)
    model.fit(x[:20], y[:20])
    with signals_while_armed(action) as arm:
        with pytest.raises(exception):
            arm()
            model.fit(x, y)  # its first layer's search alone takes seconds
    # Interrupted within its first layer: nothing fitted, and the earlier layers are gone.
    assert saved(model, tmp_path)["estimators"] == []
    expect_panic(lambda: model.predict(x), UNWRAP_NONE)
    # The pool's tasks all stopped: the pool and the instance work again.
    model.fit(x[:20], y[:20])
    assert len(saved(model, tmp_path)["estimators"]) == 2
    assert np.all(np.isfinite(model.predict(x)))


def test_a_handler_changing_x_mid_fit_never_corrupts_memory(rng):
    # x is read in place: a handler that rewrites it between two passes over the same rows
    # must end the fit cleanly, or the fit completes on whatever it read.
    x, y = problem(rng, 20000)
    x = np.ascontiguousarray(x[:, :8])
    flips = []

    def flip(signum, frame):
        x[:] = -x
        flips.append(1)

    previous = signal.signal(signal.SIGALRM, flip)
    signal.setitimer(signal.ITIMER_REAL, 0.01, 0.01)
    try:
        model = vandu.GradientBoosting(depth=3, n_estimators=1500)
        try:
            model.fit(x, y)
        except BaseException as e:  # PanicException derives from BaseException
            assert type(e).__name__ == "PanicException"
            assert str(e) == "the training data changed during the fit"
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert flips
