"""Contracts that hold for every public function of both modules, taken from the type stubs.

The build checks each keyboard docstring's first line against the module's entry table; here
the stubs are checked against those lines, and the binding messages against the stubs.
"""

import ast
import importlib
import pathlib

import pytest

import velmora

STUB_FOLDER = pathlib.Path(velmora.__file__).parent


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


@pytest.mark.parametrize("module_name, name, arguments", ENTRIES, ids=IDS)
def test_binding_messages(module_name, name, arguments):
    function = getattr(importlib.import_module(f"velmora.{module_name}"), name)
    count = len(arguments.posonlyargs + arguments.args)
    if arguments.posonlyargs:
        # The interpreter's one-argument form: no keywords at all. Its messages name the
        # function with its module on newer interpreters.
        with pytest.raises(TypeError, match=rf"\b{name}\(\) takes no keyword arguments$"):
            function(**{arguments.posonlyargs[0].arg: None})
        return
    required = count - len(arguments.defaults)
    if count == 0:
        with pytest.raises(TypeError, match=rf"\b{name}\(\) takes no arguments \(1 given\)$"):
            function(1)
        return
    bound = "exactly" if required == count else "at most"
    plural = "" if count == 1 else "s"
    with pytest.raises(TypeError) as caught:
        function(*range(count + 1))
    assert str(caught.value) == (
        f"{name}() takes {bound} {count} positional argument{plural} ({count + 1} given)"
    )
    with pytest.raises(TypeError) as caught:
        function(*range(required), bogus=1)
    assert str(caught.value) == f"{name}() got an unexpected keyword argument 'bogus'"
