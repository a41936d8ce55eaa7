"""One import of a module under a planted fault; run as a script in its own process.

Usage: python run_import.py MODULE STEP MODE
  MODULE  strokeSmith or snapTone
  STEP    a library the module imports (its import is intercepted), "type" (the image module's
          class creation), or "second" (the exec slot run on a second module object)
  MODE    "raise": the step calls the half-made module back, then raises;
          "call": the step calls it back, then does its real work

Prints a line "NAME: OUTCOME" for every call of a function reached from the half-made module
(during the import and, when it failed, after it), "import: OUTCOME", and "afterwards: OUTCOME"
for a call of the module as a fresh import gives it.
"""

import builtins
import ctypes
import importlib
import importlib.abc
import importlib.util
import sys
import types

import velmora  # noqa: F401

module_name, step, mode = sys.argv[1:]
target = "velmora." + module_name
reached = {}


def outcome(function, *args):
    try:
        return f"returned {function(*args)!r}"
    except Exception as error:
        return f"{type(error).__name__}: {error}"


def call_back(extra=()):
    """Collects every function reachable from the half-made module, then calls each once."""
    for name, value in [*vars(sys.modules[target]).items(), *extra]:
        if isinstance(value, type) and value.__module__ == target:
            reached.update(
                __init__=vars(value)["__init__"], update_life_data=vars(value)["update_life_data"]
            )
        elif callable(value) and getattr(value, "__module__", None) == target:
            reached[name] = value
    call_all()


# Arguments that reach each body (the image functions reach the namespace with any argument).
ARGUMENTS = {
    "SimulateKeyPress": (65,),
    "SimulateKeyPressSequence": (((65, 30),), 0.0),
    "FindAndSendKeysToWindow": ("Notepad", 65, print),
    "SimulateHotKeyPress": ({65: 30},),
    "GetCaretPosition": ("a{!}b",),
    "SendTextWithCaret": ("a{!}b",),
    "ExpandText": (),
    "OpenLocation": (),
    "CrudeOpenWith": (4, 1),
    "life_color_update": (None, 0, 0),
    "__init__": (types.SimpleNamespace(), (2, 3)),
    "update_life_data": (types.SimpleNamespace(x=0, y=0), 1, 1, 1, 0, None),
}


def call_all():
    for name, function in reached.items():
        print(f"{name}: {outcome(function, *ARGUMENTS.get(name, (None,)))}")


class Intercept(importlib.abc.MetaPathFinder, importlib.abc.Loader):
    def find_spec(self, name, path, target=None):
        return importlib.util.spec_from_loader(name, self) if name == step else None

    def create_module(self, spec):
        return None

    def exec_module(self, stand_in):
        sys.meta_path.remove(self)
        call_back()
        if mode == "raise":
            raise ImportError(f"planted failure of {step}")
        del sys.modules[step]
        importlib.import_module(step)  # the real one takes the stand-in's place


def fake_type(*args):
    if len(args) != 3 or args[0] != "MouseHelper":
        return real_type(*args)
    builtins.type = real_type
    call_back([(name, args[2][name]) for name in ("__init__", "update_life_data")])
    if mode == "raise":
        raise TypeError("planted failure of type")
    return real_type(*args)


real_type = type
if step == "second":
    loaded = importlib.import_module(target)
    api = ctypes.pythonapi
    api.PyModule_GetDef.restype = ctypes.c_void_p
    api.PyModule_GetDef.argtypes = [ctypes.py_object]
    api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
    definition = api.PyModule_GetDef(loaded)
    print(f"import: {outcome(api.PyModule_ExecDef, types.ModuleType(target), definition)}")
elif step == "type":
    for library in (
        "PIL.ImageOps",
        "PIL.Image",
        "PIL.ImageGrab",
        "win32clipboard",
        "numpy",
        "cv2",
        "winsound",
    ):
        importlib.import_module(library)  # before `type` is replaced: libraries call it
    builtins.type = fake_type
    print(f"import: {outcome(importlib.import_module, target)}")
else:
    sys.meta_path.insert(0, Intercept())
    print(f"import: {outcome(importlib.import_module, target)}")
if mode == "raise":
    call_all()
fresh = importlib.import_module(target)
if module_name == "strokeSmith":
    fresh.win32api = types.SimpleNamespace(keybd_event=lambda *event: print("event", *event))
    print(f"afterwards: {outcome(fresh.SimulateKeyPress, 37)}")
else:
    tracker = fresh.MouseHelper((2, 3))
    afterwards = outcome(lambda: tracker.update_life_data(1, 1, 1, 0, None) or tracker.drawing)
    print(f"afterwards: {afterwards}")
