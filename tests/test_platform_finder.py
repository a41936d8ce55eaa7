"""The stand-ins for the Windows modules: served last, never shadowing the real thing."""

import sys

import pytest
from conftest import run_python

from velmora import _platform

STAND_INS = sorted(_platform.FALLBACKS)


@pytest.mark.skipif(sys.platform == "win32", reason="the stand-ins are for other systems")
@pytest.mark.parametrize("name", STAND_INS)
def test_each_stand_in_imports_under_its_public_name(name):
    module = __import__(name)
    assert module.__name__ == name
    assert _platform.is_fallback(module) or not module.__file__.startswith(_platform._HERE)


def test_the_finder_comes_after_the_standard_ones_and_is_installed_once():
    import importlib.machinery

    _platform.install()
    _platform.install()
    finders = [f for f in sys.meta_path if isinstance(f, _platform.FallbackFinder)]
    assert len(finders) == 1
    assert sys.meta_path.index(finders[0]) > sys.meta_path.index(importlib.machinery.PathFinder)


def test_the_stand_ins_are_not_importable_without_velmora():
    result = run_python("import importlib.util; print(importlib.util.find_spec('win32api'))")
    assert result.stdout.strip() == "None", result.stderr


def test_a_real_module_of_the_same_name_wins(tmp_path):
    (tmp_path / "win32api.py").write_text("REAL = True\n")
    result = run_python(
        "import velmora, win32api; print(getattr(win32api, 'REAL', False))", path=[str(tmp_path)]
    )
    assert result.stdout.strip() == "True", result.stderr


def test_a_module_imported_first_wins():
    result = run_python(
        """
        import sys, types
        sys.modules['winsound'] = types.SimpleNamespace(SUBSTITUTE=True)
        import velmora, winsound
        print(getattr(winsound, 'SUBSTITUTE', False))
        """
    )
    assert result.stdout.strip() == "True", result.stderr


def test_nested_names_are_not_served():
    assert _platform.FallbackFinder().find_spec("win32api", ["somewhere"]) is None
    assert _platform.FallbackFinder().find_spec("win32api.sub", None) is None


def test_the_window_handle_store_gives_zero_for_unknown_classes():
    import common

    house = common.WindowHouse
    assert house.GetHandleByClassName("NeverStored") == 0
    house.SetHandleByClassName("Stored", 0x1234)
    assert house.GetHandleByClassName("Stored") == 0x1234
    house.SetHandleByClassName("Stored", None)
    assert house.GetHandleByClassName("Stored") == 0


@pytest.mark.parametrize(
    "args, error",
    [
        ((256, 0, 0, 0), OverflowError),
        ((-1, 0, 0, 0), OverflowError),
        ((65, 256, 0, 0), OverflowError),
        ((65, 0, 2**32, 0), OverflowError),
        (("a", 0, 0, 0), TypeError),
    ],
)
def test_keybd_event_checks_its_arguments_like_windows(args, error):
    import win32api

    with pytest.raises(error):
        win32api.keybd_event(*args)
