"""Ctrl-C held back across short steps that must not be cut in two.

Python raises KeyboardInterrupt in the main thread between any two steps of its code, also
between taking a lock and entering the block that gives it back, or between starting a
program and noting that it runs. ``deferred`` keeps SIGINT's handler from running for the
span of such a step, and runs it once the step is done if the signal came meanwhile, so the
interruption lands where the code can undo what it did.
"""

import contextlib
import os
import signal
import threading


@contextlib.contextmanager
def deferred():
    """Holds SIGINT's handler back for the span of the block, and runs it at the block's end
    if the signal came meanwhile. Handlers run in the main thread only: elsewhere there is
    nothing to hold back."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    came = []
    # Once this handler is in place, a signal that is pending is handed to it, not raised.
    previous = signal.signal(signal.SIGINT, lambda number, frame: came.append(frame))
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, previous)
        if came and callable(previous):
            previous(signal.SIGINT, came[0])
        elif came and previous == signal.SIG_DFL:
            os.kill(os.getpid(), signal.SIGINT)
