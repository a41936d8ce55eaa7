"""Side-by-side timing and peak memory.

Timing: the two sides run in alternation, round after round (ours, comparison, then
comparison, ours: the order flips every round so that neither always runs second), each
round a fixed number of calls with the garbage collector off, as `timeit` runs them; the
result is each side's median time per call.

Peak extra memory: the call is made once in a fresh interpreter, after a warm-up on a small
input, with freed heap memory handed back to the system first; the result is the peak
resident set size (VmHWM, reset through /proc/self/clear_refs just before the call) minus
the resident set size before the call. Unlike tracemalloc this sees every allocation,
C++ and NumPy buffers included. It needs Linux; elsewhere it reports nothing.
"""

import ctypes
import ctypes.util
import gc
import statistics
import timeit


def interleaved(ours, comparison, rounds, number=1, between=None, fastest=False):
    """Median seconds per call of the `timeit.Timer`s ``ours`` and ``comparison``, each run
    ``number`` times a round for ``rounds`` rounds in alternation (with ``fastest``, each
    side's fastest round). ``between()``, if given, runs untimed after every round of either
    side."""
    times = ([], [])
    for round_ in range(rounds):
        for side in (0, 1) if round_ % 2 == 0 else (1, 0):
            gc.collect()
            timer = (ours, comparison)[side]
            times[side].append(timer.timeit(number) / number)
            if between is not None:
                between()
    pick = min if fastest else statistics.median
    return pick(times[0]), pick(times[1])


# glibc's mallopt parameters, and the largest mmap threshold it takes on 64-bit systems.
M_TRIM_THRESHOLD = -1
M_MMAP_THRESHOLD = -3
LARGEST_MMAP_THRESHOLD = 32 << 20


def keep_freed_memory():
    """Makes the C allocator keep freed memory for the next allocation instead of handing it
    back to the kernel: blocks up to 32 MiB (a 3840x2160 RGBA picture is just below) come
    from the heap, and the heap is never trimmed. Without this a large buffer is a fresh
    mapping whose page faults one round pays and the next may not, which swings a ratio
    against one copy from 4x to 17x. True where the allocator took it (glibc)."""
    name = ctypes.util.find_library("c")
    mallopt = getattr(ctypes.CDLL(name), "mallopt", None) if name else None
    if mallopt is None:
        return False
    return bool(
        mallopt(M_MMAP_THRESHOLD, LARGEST_MMAP_THRESHOLD) and mallopt(M_TRIM_THRESHOLD, 2**31 - 1)
    )


def calls_per_round(timer, at_least=0.02, most=1 << 20):
    """How many calls of the `timeit.Timer` ``timer`` take at least ``at_least`` seconds."""
    number = 1
    while number < most and timer.timeit(number) < at_least:
        number *= 4
    return min(number, most)


def timer(statement, **namespace):
    return timeit.Timer(statement, globals=namespace)


# ---- peak memory ------------------------------------------------------------------------------


def _status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise OSError(f"no {field} in /proc/self/status")


def _give_back_freed_memory():
    name = ctypes.util.find_library("c")
    trim = getattr(ctypes.CDLL(name), "malloc_trim", None) if name else None
    if trim is not None:
        trim(0)


def peak_extra_memory(call):
    """Bytes by which the peak resident set grows while ``call()`` runs, or None where the
    system cannot tell."""
    try:
        gc.collect()
        _give_back_freed_memory()
        before = _status("VmRSS")
        with open("/proc/self/clear_refs", "w") as clear_refs:
            clear_refs.write("5")  # resets VmHWM to the current resident set size
        if _status("VmHWM") > before + (1 << 20):
            return None  # the reset did not take
    except OSError:
        return None
    result = call()
    peak = _status("VmHWM")
    del result
    return max(0, peak - before)
