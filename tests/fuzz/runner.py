"""The loop the fuzz drivers share: each case of a table run on many drawn examples."""

import os
import sys

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import published  # noqa: E402


def require_every_entry(module, covered, exempt=()):
    """Stops the run when an entry of `module` has no case in the driver's table."""
    missing = published.missing_cases(module, covered, exempt)
    if missing:
        sys.exit(f"entries without a fuzz case: {', '.join(missing)}")


def fuzz_each(table, examples, check, *shared):
    """For each key of `table`, calls ``check(key, *drawn)`` on `examples` draws of the
    strategy ``table[key]`` and the `shared` ones, then prints "<key>: <examples> examples"."""
    for key, strategy in table.items():

        @settings(
            max_examples=examples,
            deadline=None,
            database=None,
            derandomize=True,
            suppress_health_check=list(HealthCheck),
        )
        @given(st.tuples(strategy, *shared))
        def fuzz(drawn):
            check(key, *drawn)

        fuzz()
        print(f"{getattr(key, '__name__', key)}: {examples} examples")
