"""Interrupts that cannot lose a fitted model.

The native module holds the interpreter lock for a whole fit, so a Python thread that interrupts the main
thread (``signal.pthread_kill``, ``_thread.interrupt_main``) only runs once the call has returned: its
``KeyboardInterrupt`` then lands in whatever bookkeeping follows, possibly before the model is kept. Inside
``deferred_interrupts()``, SIGINT raises at once only where waiting is (a call made through ``waiting``:
a native fit, a wait for tasks); anywhere else it is held and raised when the block ends, after the model
is kept.
"""
from __future__ import annotations

import signal
import threading
from contextlib import contextmanager
from types import FrameType
from typing import Any, Callable, Iterator, List, Optional, TypeVar

_Result = TypeVar("_Result")


def waiting(call: Callable[..., _Result], *args: Any, **kwargs: Any) -> _Result:
    """Runs ``call``: an interrupt that arrives meanwhile raises at once, as it would anywhere."""
    return call(*args, **kwargs)


def _interruptible(frame: Optional[FrameType]) -> bool:
    while frame is not None:
        if frame.f_code is waiting.__code__:
            return True
        frame = frame.f_back
    return False


@contextmanager
def deferred_interrupts() -> Iterator[None]:
    """Holds a SIGINT that arrives outside ``waiting`` until the block ends, then raises it.

    A no-op outside the main thread (no signal reaches a Python handler there) and where SIGINT has no
    Python handler (ignored, or the default action).
    """
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    previous = signal.getsignal(signal.SIGINT)
    if not callable(previous):
        yield
        return
    held: List[Optional[FrameType]] = []

    def handler(signum: int, frame: Optional[FrameType]) -> Any:
        if _interruptible(frame):
            return previous(signum, frame)
        held.append(frame)
        return None

    signal.signal(signal.SIGINT, handler)
    try:
        yield
    finally:
        # From here on a new SIGINT goes to the previous handler, as anywhere else.
        signal.signal(signal.SIGINT, previous)
        if held:
            previous(signal.SIGINT, held[0])
