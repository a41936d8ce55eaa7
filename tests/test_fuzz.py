"""Hostile-input and re-entrancy fuzzing of every entry point, each script in a process of its
own, so that a crash is a failed test rather than a dead test run. VELMORA_FUZZ_SCALE scales
the run. The re-entrancy run uses the interpreter's debug allocator, which poisons freed memory
(plain malloc under the sanitizer build, whose AddressSanitizer then reports a use of it)."""

import os

import pytest
from conftest import run_script

SCALE = float(os.environ.get("VELMORA_FUZZ_SCALE", "1"))


@pytest.mark.parametrize(
    "script, examples, entries",
    [
        ("fuzz_keyboard.py", 1000, 9),
        ("fuzz_image.py", 400, 9),
        ("fuzz_reentry.py", 100, 19),
    ],
)
def test_entry_points_survive_hostile_arguments(script, examples, entries):
    count = max(1, int(examples * SCALE))
    environment = {}
    if script == "fuzz_reentry.py":
        environment["PYTHONMALLOC"] = (
            "malloc" if "asan" in os.environ.get("LD_PRELOAD", "") else "debug"
        )
    result = run_script(os.path.join("fuzz", script), str(count), timeout=900, **environment)
    assert result.returncode == 0, (
        f"exit status {result.returncode}\n{result.stdout}\n{result.stderr[-4000:]}"
    )
    finished = [line for line in result.stdout.splitlines() if line.endswith(f"{count} examples")]
    assert len(finished) == entries, result.stdout
