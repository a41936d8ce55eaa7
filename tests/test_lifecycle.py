"""The module lifecycle under faults, each case in a fresh interpreter (tests/lifecycle/): an
import that fails at a step, calls made back into the module while it imports, and the exec
slot run on a second module object. A function of a module that has not finished initialising
raises; it never reaches state that is not there."""

import os

import pytest
from conftest import KEYBOARD_IMPORTS, run_python, run_script

KEYBOARD_STEPS = [*KEYBOARD_IMPORTS, "keyboard", "common"]
IMAGE_STEPS = ["PIL", "win32clipboard", "numpy", "cv2", "winsound", "type"]
CASES = [
    *[("strokeSmith", step, "raise") for step in KEYBOARD_STEPS],
    *[("snapTone", step, "raise") for step in IMAGE_STEPS],
    ("strokeSmith", "common", "call"),
    ("strokeSmith", "win32con", "call"),
    ("snapTone", "cv2", "call"),
    ("snapTone", "type", "call"),
    ("strokeSmith", "second", "raise"),
    ("snapTone", "second", "raise"),
]


@pytest.mark.parametrize("module, step, mode", CASES)
def test_a_half_made_module_refuses_calls_and_the_loaded_one_works(module, step, mode):
    result = run_script(os.path.join("lifecycle", "run_import.py"), module, step, mode)
    assert result.returncode == 0, result.stderr[-4000:]
    lines = dict(
        line.split(": ", 1)
        for line in result.stdout.splitlines()
        if ": " in line and line[0] != " "
    )
    calls = [
        line
        for line in result.stdout.splitlines()
        if not line.startswith(("import:", "afterwards:", "event"))
    ]
    assert all(
        line.endswith(f"RuntimeError: module 'velmora.{module}' has not finished initialising")
        for line in calls
    ), calls
    reachable = (
        0 if step == "second" else 9 if module == "strokeSmith" else 8 if step == "type" else 0
    )
    assert len(calls) == (reachable * 2 if mode == "raise" else reachable)
    expected_import = {
        "second": f"RuntimeError: Module '{module}' has already been imported",
        "raise": "Error: planted failure of " + step,
        "call": "returned <module",
    }
    assert expected_import["second" if step == "second" else mode] in lines["import"]
    assert lines["afterwards"] == ("returned None" if module == "strokeSmith" else "returned True")
    assert module == "snapTone" or "event 37 0 1 0" in result.stdout


@pytest.mark.parametrize("hook, extra", [("excepthook", ""), ("unraisablehook", ", 2, 3")])
def test_a_failure_hook_that_drops_itself_and_its_tracker_mid_report(hook, extra):
    # The hook is the only owner of a tracker's method; the event it passes replaces the hook
    # when compared, and the method goes on writing to its tracker.
    result = run_python(
        f"""
        import functools, sys, velmora.snapTone as snap, velmora.strokeSmith as kb
        class Event:
            def __eq__(self, other):
                sys.{hook} = lambda *args: None
                return other == 4
        sys.{hook} = functools.partial(snap.MouseHelper((2, 3)).update_life_data, Event(), 1{extra})
        kb.SimulateHotKeyPress(None)
        print("survived")
        """,
        PYTHONMALLOC="debug",
    )
    assert result.stdout == "survived\n", result.stderr[-2000:]


def new_through_a_replaced_new(kind):
    kind.__new__ = staticmethod(lambda cls: object.__new__(cls))
    return kind()


@pytest.mark.parametrize(
    "make", [lambda kind: kind(), lambda kind: object.__new__(kind), new_through_a_replaced_new]
)
def test_the_method_type_cannot_be_instantiated(snap, make):
    with pytest.raises(TypeError):
        make(type(snap.MouseHelper.__init__))


def test_a_failed_exec_leaves_no_module_behind_for_later_imports():
    # A loader that does not register the module itself (module_from_spec, exec_module).
    result = run_python(
        """
        import importlib, importlib.util, sys, velmora
        class MissingOnce:
            def find_spec(self, name, path, target=None):
                if name == "common":
                    sys.meta_path.remove(self)
                    raise ImportError("not yet")
        sys.meta_path.insert(0, MissingOnce())
        spec = importlib.util.find_spec("velmora.strokeSmith")
        half_made = importlib.util.module_from_spec(spec)
        try:
            spec.loader.exec_module(half_made)
        except ImportError:
            pass
        print("velmora.strokeSmith" in sys.modules)
        print(importlib.import_module("velmora.strokeSmith").SimulateKeyPress(0, 0, 0))
        """,
        VELMORA_DESKTOP="0",
    )
    assert result.stdout == "False\nNone\n", result.stderr[-2000:]


def test_an_import_that_failed_part_way_leaves_no_extended_keys_behind():
    # The first import fails while it records the extended keys, after recording most of them.
    result = run_python(
        """
        import sys, types, velmora, win32con as real
        fake = types.ModuleType("win32con")
        fake.__dict__.update((name, 200) for name in dir(real) if name.startswith("VK_"))
        fake.VK_RIGHT = []  # unhashable: the set refuses it
        sys.modules["win32con"] = fake
        try:
            from velmora import strokeSmith
        except TypeError:
            pass
        sys.modules["win32con"] = real
        from velmora import strokeSmith
        sent = []
        strokeSmith.win32api = types.SimpleNamespace(keybd_event=lambda *a: sent.append(a))
        strokeSmith.SimulateKeyPress(200)
        print(sent)
        """,
        VELMORA_DESKTOP="0",
    )
    assert result.stdout == "[(200, 0, 0, 0), (200, 0, 2, 0)]\n", result.stderr[-2000:]
