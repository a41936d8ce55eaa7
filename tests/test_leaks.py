"""Leak checks of every entry point (see leaks/check_leaks.py for the rule), one process per
module so that other tests' threads and caches stay out of the allocation counts."""

import importlib
import json
import os
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "leaks"))

import check_leaks  # noqa: E402
import published  # noqa: E402
from conftest import run_script  # noqa: E402

_results = {}


def verdicts(module):
    if module not in _results:
        result = run_script(os.path.join("leaks", "check_leaks.py"), module, timeout=900)
        assert result.returncode == 0, result.stderr[-4000:]
        _results[module] = json.loads(result.stdout)
    return _results[module]


@pytest.mark.parametrize("platform", ["working", "failing"])
@pytest.mark.parametrize("case", list(check_leaks.KEYBOARD_CASES))
def test_keyboard_entries_do_not_leak(platform, case):
    assert verdicts("keyboard")[f"{platform}: {case}"] is None


@pytest.mark.parametrize("case", check_leaks.IMAGE_CASES)
def test_image_entries_do_not_leak(case):
    assert verdicts("image")[case] is None


@pytest.mark.parametrize("module_name", ["strokeSmith", "snapTone"])
def test_every_entry_has_a_leak_case(module_name):
    # Each case calls the entries whose names its code reads ("kb.SimulateKeyPress(...)").
    cases = {"strokeSmith": check_leaks.KEYBOARD_CASES, "snapTone": check_leaks.image_cases()}
    named = {name for call in cases[module_name].values() for name in calls_of(call)}
    module = importlib.import_module(f"velmora.{module_name}")
    assert published.missing_cases(module, named) == []


def calls_of(case):
    """The entry names a case's code reads, a class's methods under the class's name."""
    call = case[0] if isinstance(case, tuple) else case
    names = set(call.__code__.co_names)
    return names | {f"MouseHelper.{m}" for m in ("__init__", *names) if "MouseHelper" in names}


@pytest.mark.parametrize("baseline", [None, lambda: None], ids=["alone", "against a baseline"])
@pytest.mark.parametrize("leak", ["one block per call", "one reference per call"])
def test_a_planted_leak_is_caught_despite_the_image_allowance(leak, baseline):
    hoard, held = [], object()
    plant = {
        "one block per call": lambda: hoard.append(object()),
        "one reference per call": lambda: hoard.append(held),
    }[leak]
    assert check_leaks.image_leak_verdict(plant, [held], baseline) is not None
