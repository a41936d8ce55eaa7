"""The keyboard module's surface: identity, namespace, docstrings and the import lifecycle."""

import importlib
import sys

import pytest
from conftest import KEYBOARD_IMPORTS, run_python

DOCSTRINGS = {
    "SimulateKeyPress": "SimulateKeyPress(int key_id, int key_scancode=0, int times=1) -> void\n\n    Description:\n        Simulates key press by sending the specified key for the specified number of times.\n    ---\n    Parameters:\n        `key_id -> int`: the id of the key.\n        `key_scancode -> int`: the scancode of the key. Optional.\n        `times -> int`: the number of times the key should be pressed.\n    ",
    "SimulateKeyPressSequence": "SimulateKeyPressSequence(tuple keys_list, float delay=0.2) -> void\n\n    Description:\n        Simulating a sequence of key presses.\n    ---\n    Parameters:\n        - `keys_list -> tuple[tuple[int, int] | tuple[Any, Callable[[Any], None]]]`:\n            - Two numbers representing the keyID and the scancode, or\n            - A key and a function that is used to send this key.\n        \n        - `delay -> float`: The delay between key presses.\n    ",
    "FindAndSendKeysToWindow": "FindAndSendKeysToWindow(str target_className, key, send_function) -> void\n\n    Description:\n        Searches for a window with the specified class name, and, if found, sends the specified key using the passed function.\n    ---\n    Parameters:\n        `target_className -> str`:\n            The class name of the target window.\n        \n        `key -> Any`:\n            A key that is passed to the `send_function`.\n        \n        `send_function -> Callable[[Any], None]`:\n            A function that simulates the specified key.\n    ",
    "SimulateHotKeyPress": "SimulateHotKeyPress(dict keys_id_dict) -> void\n\n    Description:\n        Simulates hotkey press by sending a keyDown event for each of the specified keys and then sending keyUp events.\n    ---\n    Parameters:\n        `keys_id_dict -> dict(int, int)`:\n            Holds the `keyID` and `scancode` of the specified keys.\n    ",
    "GetCaretPosition": "GetCaretPosition(str text, str caret='{!}') -> int\nReturns the position of the caret in the given text.",
    "SendTextWithCaret": "SendTextWithCaret(str text, str caret='{!}') -> void\n\n    Description:\n        - Sends (writes) the specified string to the active window.\n        - If the string contains one or more carets:\n            - The first caret will be deleted, and\n            - The keyboard cursor will be placed where the deleted caret was.\n    ",
    "ExpandText": "ExpandText() -> void\nReplacing an abbreviated text with its respective substitution specified by the pressed characters `ctrlHouse.pressed_chars`.",
    "OpenLocation": "OpenLocation() -> void\nOpens a file or a directory specified by the pressed characters `ctrlHouse.pressed_chars`.",
    "CrudeOpenWith": "CrudeOpenWith(int tool_number=4, int prog_index=0) -> void\n\n        Description:\n            A crude way for opening a program by using the `open` tool from the `Quick Access Toolbar`.\n        ---\n        Parameters:\n            `tool_number -> int`:\n                The number associated with the `open` tool in the `Quick Access Toolbar`.\n                To find it, press the alt key while selecting a file in the windows explorer.\n            \n            `prog_index -> int`:\n                The index of the program in the `open` tool dropdown menu.\n    ",
}

MODULE_DOC = (
    "This extension module provides functions for manipulating keyboard presses and text expansion."
)

FUNCTIONS = list(DOCSTRINGS)

BOUND_AT_IMPORT = [
    "__builtins__",
    *KEYBOARD_IMPORTS,
    "keyboard",
    "os",
    "winHouse",
    "ctrlHouse",
    "kbcon",
    "sleep",
    "__test__",
]


@pytest.fixture(scope="module")
def module():
    return importlib.import_module("velmora.strokeSmith")


def test_namespace_holds_the_functions_then_the_imports_in_order(module):
    # In a fresh interpreter: tests that rebind names change the namespace's order.
    result = run_python("import velmora.strokeSmith as s; print(*vars(s))")
    names = result.stdout.split()
    assert names[:6] == ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
    assert names[6:] == FUNCTIONS + BOUND_AT_IMPORT, result.stderr
    assert module.__doc__ == MODULE_DOC
    assert module.__test__ == {}
    assert module.__builtins__ is importlib.import_module("builtins")


def test_shared_state_and_libraries_are_bound(module):
    import os
    import time

    import common
    import keyboard
    import win32api

    assert module.winHouse is common.WindowHouse
    assert module.ctrlHouse is common.ControllerHouse
    assert module.kbcon is common.KB_Con
    assert module.sleep is time.sleep
    assert module.keyboard is keyboard and module.os is os and module.win32api is win32api


def test_the_extended_key_set_is_private(module):
    assert not hasattr(module, "extendedKeys")
    assert not any(isinstance(value, (set, frozenset)) for value in vars(module).values())


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_carry_their_docstrings(module, name):
    function = getattr(module, name)
    assert function.__doc__ == DOCSTRINGS[name]
    assert function.__module__ == "velmora.strokeSmith"
    assert function.__doc__.splitlines()[0].startswith(name + "(")


def test_help_shows_the_signature_line_first(module, capsys):
    help(module.CrudeOpenWith)
    shown = capsys.readouterr().out
    assert "CrudeOpenWith(int tool_number=4, int prog_index=0) -> void" in shown


def test_a_second_import_and_a_reload_give_the_same_object(module):
    assert importlib.import_module("velmora.strokeSmith") is module
    assert importlib.reload(module) is module
    assert sys.modules["velmora.strokeSmith"] is module


def test_a_second_module_object_is_refused():
    result = run_python(
        """
        import _imp, importlib.util, velmora
        spec = importlib.util.find_spec("velmora.strokeSmith")
        first, second = _imp.create_dynamic(spec), _imp.create_dynamic(spec)
        _imp.exec_dynamic(first)
        try:
            _imp.exec_dynamic(second)
        except RuntimeError as error:
            print(error)
        import sys, velmora.strokeSmith
        print(sys.modules["velmora.strokeSmith"] is first)
        """
    )
    assert result.stdout.splitlines() == [
        "Module 'strokeSmith' has already been imported. Re-initialisation is not supported.",
        "True",
    ], result.stderr


def test_a_second_interpreter_is_refused():
    pytest.importorskip("_xxsubinterpreters")
    result = run_python(
        """
        import _xxsubinterpreters as interpreters
        import velmora.strokeSmith
        other = interpreters.create()
        try:
            interpreters.run_string(other, "import velmora.strokeSmith")
        except interpreters.RunFailedError as error:
            print(error)
        """
    )
    assert "ImportError" in result.stdout, result.stderr
    assert (
        "Interpreter change detected - this module can only be loaded into one interpreter"
        " per process." in result.stdout
    )


@pytest.mark.parametrize(
    "setup, error, repair",
    [
        (
            "sys.modules['win32ui'] = None",
            "ModuleNotFoundError: import of win32ui halted; None in sys.modules",
            "del sys.modules['win32ui']",
        ),
        (
            "sys.modules['common'] = types.SimpleNamespace(WindowHouse=1, ControllerHouse=2)",
            "ImportError: cannot import name KB_Con",
            "sys.modules['common'].KB_Con = 3",
        ),
        (
            "import win32con; right = win32con.VK_RIGHT; del win32con.VK_RIGHT",
            "AttributeError: module 'win32con' has no attribute 'VK_RIGHT'",
            "win32con.VK_RIGHT = right",
        ),
    ],
)
def test_a_failed_import_names_the_step_and_can_be_retried(setup, error, repair):
    result = run_python(
        f"""
        import sys, types, traceback, velmora
        {setup}
        try:
            import velmora.strokeSmith
        except Exception as failure:
            print(''.join(traceback.format_exception_only(failure)).strip())
            print([frame.name for frame in traceback.extract_tb(failure.__traceback__)][-1])
        print('velmora.strokeSmith' in sys.modules)
        {repair}
        import velmora.strokeSmith
        velmora.strokeSmith.SimulateKeyPress(65, times=0)
        print('retried')
        """
    )
    lines = result.stdout.splitlines()
    assert lines == [error, "init velmora.strokeSmith", "False", "retried"], result.stderr


def test_the_host_common_module_wins_over_the_fallback(tmp_path):
    (tmp_path / "common.py").write_text(
        "class WindowHouse: pass\nclass ControllerHouse: pass\nclass KB_Con: pass\nHOST = True\n"
    )
    result = run_python(
        """
        import sys, velmora.strokeSmith as s
        print(sys.modules[s.winHouse.__module__].__dict__.get('HOST'))
        """,
        path=[str(tmp_path)],
    )
    assert result.stdout.strip() == "True", result.stderr
