"""Contracts that hold for every public function of both modules, taken from the type stubs.

The build checks each keyboard docstring's first line against the module's entry table; here
the stubs are checked against those lines, the binding messages against the stubs (each
failure raised before the body touches anything), and every module-level name an entry uses
is looked up again at each use, so that rebinding it after import takes effect at once.
"""

import ast
import ctypes
import importlib
import inspect
import pathlib
import traceback

import numpy as np
import PIL.Image
import published
import pytest

import velmora

STUB_FOLDER = pathlib.Path(velmora.__file__).parent
IMAGE = PIL.Image.new("RGB", (40, 30), (9, 8, 7))
ARRAY = np.zeros((30, 40, 3), np.uint8)


def stub_functions(module_name):
    """(name, ast.arguments) of every top-level function of the module's stub, in order."""
    tree = ast.parse((STUB_FOLDER / f"{module_name}.pyi").read_text())
    return [(node.name, node.args) for node in tree.body if isinstance(node, ast.FunctionDef)]


ENTRIES = [
    (module_name, name, arguments)
    for module_name in ("strokeSmith", "snapTone")
    for name, arguments in stub_functions(module_name)
]
IDS = [f"{module_name}.{name}" for module_name, name, _ in ENTRIES]


def split_top_level(text):
    """Splits a parameter list at the commas outside brackets."""
    parts, depth, current = [], 0, ""
    for character in text:
        depth += character in "([{"
        depth -= character in ")]}"
        if character == "," and depth == 0:
            parts.append(current.strip())
            current = ""
        else:
            current += character
    return [part for part in parts + [current.strip()] if part]


def documented_parameters(doc):
    """(name, default or None) of each parameter on a docstring's signature line."""
    line = doc.splitlines()[0]
    inside = line[line.index("(") + 1 : line.rindex(")")]
    parameters = []
    for part in split_top_level(inside):
        declaration, _, default = part.partition("=")
        name = declaration.split(":")[0].split()[-1]
        parameters.append((name, ast.literal_eval(default) if default else None))
    return parameters


def stub_parameters(arguments):
    every = arguments.posonlyargs + arguments.args
    defaults = [None] * (len(every) - len(arguments.defaults)) + [
        ast.literal_eval(default) for default in arguments.defaults
    ]
    return [(argument.arg, default) for argument, default in zip(every, defaults, strict=True)]


@pytest.mark.parametrize("module_name, name, arguments", ENTRIES, ids=IDS)
def test_stub_matches_the_docstring_signature_line(module_name, name, arguments):
    function = getattr(importlib.import_module(f"velmora.{module_name}"), name)
    assert function.__doc__.startswith(name + "(")
    assert stub_parameters(arguments) == documented_parameters(function.__doc__)


def stub_signature(node):
    """(name, kind, default) of each parameter of a stub's function definition."""
    arguments = node.args
    kinds = [inspect.Parameter.POSITIONAL_ONLY] * len(arguments.posonlyargs) + [
        inspect.Parameter.POSITIONAL_OR_KEYWORD
    ] * len(arguments.args)
    return [
        (name, kind, inspect.Parameter.empty if default is None else default)
        for (name, default), kind in zip(stub_parameters(arguments), kinds, strict=True)
    ]


def stub_definitions(module_name):
    """Each function and method of a stub by its entry name ("MouseHelper.__init__")."""
    tree = ast.parse((STUB_FOLDER / f"{module_name}.pyi").read_text())
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node
        elif isinstance(node, ast.ClassDef):
            for method in node.body:
                if isinstance(method, ast.FunctionDef):
                    found[f"{node.name}.{method.name}"] = method
    return found


SIGNED = [
    (module_name, entry)
    for module_name in ("strokeSmith", "snapTone")
    for entry in published.entries(importlib.import_module(f"velmora.{module_name}"))
]


@pytest.mark.parametrize("module_name, entry", SIGNED, ids=[".".join(e) for e in SIGNED])
def test_signature_comes_from_the_table_and_matches_the_stub(module_name, entry):
    function = importlib.import_module(f"velmora.{module_name}")
    for part in entry.split("."):
        function = getattr(function, part)
    signature = inspect.signature(function)
    shown = [(p.name, p.kind, p.default) for p in signature.parameters.values()]
    assert shown == stub_signature(stub_definitions(module_name)[entry])


def test_every_public_function_has_a_stub():
    for module_name in ("strokeSmith", "snapTone"):
        module = importlib.import_module(f"velmora.{module_name}")
        published = [
            name
            for name, value in vars(module).items()
            if callable(value)
            and getattr(value, "__module__", None) == module.__name__
            and not isinstance(value, type)
        ]
        assert published == [name for name, _ in stub_functions(module_name)]


class Reached(Exception):
    """A module-level name was used by a call that was not to touch it."""


class Tripwire:
    """Stands for a module-level name: any use raises Reached."""

    def __init__(self, name):
        self.name = name

    def __getattr__(self, attribute):
        raise Reached(f"{self.name}.{attribute}")

    def __call__(self, *args, **kwargs):
        raise Reached(self.name)


def call_with_a_number_as_keyword(module, name, args):
    """``module.name(*args, 7=None)``: the interpreter refuses such keywords in ordinary calls,
    a raw vectorcall still reaches the binder. PyObject_VectorcallMethod is exported by every
    supported interpreter; its stack starts with the object whose attribute is called."""
    vectorcall = ctypes.pythonapi.PyObject_VectorcallMethod
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.py_object]
    stack = (ctypes.py_object * (len(args) + 2))(module, *args, None)
    return vectorcall(name, ctypes.cast(stack, ctypes.c_void_p), len(args) + 1, (7,))


def binding_failures(module, name, arguments):
    """(call, message, the interpreter's own check) for each way of binding wrongly."""
    names = [argument.arg for argument in arguments.posonlyargs + arguments.args]
    count, required = len(names), len(names) - len(arguments.defaults)
    if arguments.posonlyargs:
        return [
            (lambda f: f(), "takes exactly one argument (0 given)", True),
            (lambda f: f(0, 1), "takes exactly one argument (2 given)", True),
            (lambda f: f(**{names[0]: 0}), "takes no keyword arguments", True),
        ]
    if count == 0:
        return [
            (lambda f: f(1), "takes no arguments (1 given)", True),
            (lambda f: f(x=1), "takes no keyword arguments", True),
        ]

    def takes(bound, number, given):
        return f"takes {bound} {number} positional argument{'s' * (number != 1)} ({given} given)"

    at_least = "exactly" if required == count else "at least"
    failures = [
        (
            lambda f: f(*range(count + 1)),
            takes(at_least.replace("least", "most"), count, count + 1),
        ),
        (lambda f: f(*range(required), bogus=1), "got an unexpected keyword argument 'bogus'"),
        (
            lambda f: f(*range(count), **{names[-1]: 0}),
            f"got multiple values for keyword argument '{names[-1]}'",
        ),
        (
            lambda f: call_with_a_number_as_keyword(module, name, range(required)),
            "keywords must be strings",
        ),
    ]
    if required:
        # "given" counts the parameters bound, by position or keyword, before the first one
        # missing; a missing parameter is reported before an unknown or a repeated keyword.
        repeated = {names[0]: 0} if required > 1 else {}
        before_last = {names[i]: i for i in range(required - 1)}
        after_first = {names[i]: i for i in range(1, count)}
        failures += [
            (lambda f: f(*range(required - 1), bogus=1, **repeated),
             takes(at_least, required, required - 1)),
            (lambda f: f(**before_last), takes(at_least, required, required - 1)),
            (lambda f: f(**after_first), takes(at_least, required, 0)),
        ]  # fmt: skip
    return [(call, message, False) for call, message in failures]


@pytest.mark.parametrize("module_name, name, arguments", ENTRIES, ids=IDS)
def test_binding_failures_are_reported_before_anything_is_touched(
    module_name, name, arguments, monkeypatch, reports
):
    module = importlib.import_module(f"velmora.{module_name}")
    function = getattr(module, name)
    for other in list(vars(module)):
        if not other.startswith("__") and other != name:  # the raw call looks the entry up
            monkeypatch.setattr(module, other, Tripwire(other))
    for call, message, interpreters in binding_failures(module, name, arguments):
        with pytest.raises(TypeError) as caught:
            call(function)
        if interpreters:  # newer interpreters name the function with its module
            assert str(caught.value) in (
                f"{name}() {message}",
                f"{module.__name__}.{name}() {message}",
            )
        else:
            assert str(caught.value) == f"{name}() {message}"
            names = [frame.name for frame in traceback.extract_tb(caught.value.__traceback__)]
            assert names[-1] == f"{module.__name__}.{name}"
    assert reports.items == []


class StandIn:
    """Forwards every use to the object a module-level name stands for, and notes the use in
    ``uses`` as ``label``; ``on_use`` runs at the first one."""

    def __init__(self, real, uses, label, on_use=None):
        self.real, self.uses, self.label, self.on_use = real, uses, label, on_use

    def used(self):
        self.uses.append(self.label)
        if self.on_use is not None:
            self.on_use()
            self.on_use = None

    def __getattr__(self, attribute):
        self.used()
        return getattr(self.real, attribute)

    def __call__(self, *args, **kwargs):
        self.used()
        return self.real(*args, **kwargs)


def picture_window_passes(snap, request):
    window = request.getfixturevalue("picture_window")
    window.clipboard = [IMAGE]
    window.run("w", -1)  # w shows the colour band, drawn on every pass


# (entry, a module-level name it uses, a call of it, whether that call must use the name again)
USES = [
    ("strokeSmith.SimulateKeyPress", "win32api", lambda kb: kb.SimulateKeyPress(65, 0, 2), True),
    ("strokeSmith.SimulateKeyPressSequence", "win32api",
     lambda kb: kb.SimulateKeyPressSequence(((65, 30),), 0), True),
    ("strokeSmith.FindAndSendKeysToWindow", "winHouse",
     lambda kb: kb.FindAndSendKeysToWindow("c", 1, print), False),
    ("strokeSmith.SimulateHotKeyPress", "win32api",
     lambda kb: kb.SimulateHotKeyPress({65: 30}), True),
    ("strokeSmith.SendTextWithCaret", "keyboard", lambda kb: kb.SendTextWithCaret("a{!}b"), False),
    ("strokeSmith.ExpandText", "ctrlHouse", lambda kb: kb.ExpandText(), True),
    ("strokeSmith.OpenLocation", "ctrlHouse", lambda kb: kb.OpenLocation(), True),
    ("strokeSmith.CrudeOpenWith", "ctrlHouse", lambda kb: kb.CrudeOpenWith(), False),
    ("snapTone.pil_image_to_bmp", "BytesIO", lambda snap: snap.pil_image_to_bmp(IMAGE), False),
    *[
        ("snapTone.send_to_clipboard", name, lambda snap: snap.send_to_clipboard(ARRAY), False)
        for name in ("np", "cv_to_pil", "pil_image_to_bmp", "win32clipboard")
    ],
    ("snapTone.pil_to_cv", "np", lambda snap: snap.pil_to_cv(IMAGE), False),
    ("snapTone.pil_to_cv", "cv2", lambda snap: snap.pil_to_cv(IMAGE), False),
    ("snapTone.cv_to_pil", "PIL", lambda snap: snap.cv_to_pil(ARRAY), False),
    ("snapTone.image_invert", "PIL", lambda snap: snap.image_invert(IMAGE), False),
    ("snapTone.make_transparent", "PIL", lambda snap: snap.make_transparent(IMAGE), False),
    ("snapTone.life_color_update", "cv2", lambda snap: snap.life_color_update(ARRAY, 1, 2), False),
    ("snapTone.BeginImageProcessing", "PIL", lambda snap: snap.BeginImageProcessing(), False),
    ("snapTone.BeginImageProcessing", "life_color_update", picture_window_passes, True),
    ("snapTone.MouseHelper.update_life_data", "cv2",
     lambda snap: snap.MouseHelper((30, 40)).update_life_data(1, 2, 3, 0, None), True),
]  # fmt: skip
# Pure text work or attributes of the instance, no module-level name: nothing to rebind.
USES_NONE = {"strokeSmith.GetCaretPosition", "snapTone.MouseHelper.__init__"}


def test_every_entry_has_a_use_below():
    assert {entry for entry, *_ in USES} | USES_NONE >= {".".join(e) for e in SIGNED}


@pytest.mark.parametrize("entry, name, call, again", USES, ids=[f"{e}-{n}" for e, n, *_ in USES])
def test_a_name_rebound_after_import_is_used_from_its_next_use_on(
    entry, name, call, again, monkeypatch, reports, request
):
    # Rebinding a module attribute is how hosts and tests replace a library: each use must
    # look the name up, never keep what an earlier call or use found.
    module = importlib.import_module(f"velmora.{entry.split('.')[0]}")
    uses = []
    arguments = (module, request) if call is picture_window_passes else (module,)
    real = getattr(module, name)

    def rebind():
        setattr(module, name, StandIn(real, uses, "second"))

    monkeypatch.setattr(module, name, StandIn(real, uses, "first", rebind))
    call(*arguments)
    assert uses[0] == "first" and ("second" in uses or not again)
    call(*arguments)
    assert uses.count("first") == 1 and uses[-1] == "second"
