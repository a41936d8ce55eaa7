"""The image module's surface: its namespace, picture folder, functions and the tracker class."""

import ast
import builtins
import collections
import datetime
import glob
import io
import os
import shutil
import sys
import traceback
import types
from pathlib import Path

import cv2
import numpy as np
import PIL
import PIL.Image
import pytest
from conftest import run_python

# Names the import system sets on every module; everything else is bound by the module.
IMPORT_SYSTEM = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}

ONE_ARGUMENT = [
    "pil_image_to_bmp",
    "send_to_clipboard",
    "pil_to_cv",
    "cv_to_pil",
    "image_invert",
    "make_transparent",
]

BOUND_IN_ORDER = [
    "__builtins__",
    "PIL",
    "BytesIO",
    "win32clipboard",
    "glob",
    "os",
    "np",
    "cv2",
    "winsound",
    "dt",
    *ONE_ARGUMENT,
    "MouseHelper",
    "life_color_update",
    "BeginImageProcessing",
    "__test__",
]

DOCSTRINGS = {
    "pil_image_to_bmp": (
        "pil_image_to_bmp(image: PIL.Image.Image) -> bytes\n"
        "\n"
        "    Description:\n"
        "        Converts a PIL image object to a BMP format byte array.\n"
        "    ---\n"
        "    Parameters:\n"
        "        image: A PIL image object.\n"
        "    ---\n"
        "    Returns:\n"
        "        A byte array of the BMP image data.\n"
        "    ---\n"
        "    Raises:\n"
        "        TypeError: If `image` is not a valid PIL image object.\n"
        "    "
    ),
    "send_to_clipboard": (
        "send_to_clipboard(image: np.ndarray | PIL.Image.Image) -> None\n"
        "\n"
        "    Description:\n"
        "        Copies the given image to the clipboard.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - image: The image to be copied to the clipboard. Either a numpy array or a PIL"
        " image object.\n"
        "    ---\n"
        "    Raises:\n"
        "        TypeError: If `image` is not a valid numpy array or PIL image object.\n"
        "    "
    ),
    "pil_to_cv": (
        "pil_to_cv(image: PIL.Image.Image) -> np.ndarray\n"
        "\n"
        "    Description:\n"
        "        Converts a PIL Image to a numpy ndarray in OpenCV format.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - image (PIL.Image.Image): the input PIL Image.\n"
        "    ---\n"
        "    Returns:\n"
        "        np.ndarray: the converted image in OpenCV format.\n"
        "    "
    ),
    "cv_to_pil": (
        "cv_to_pil(cv2_main_image: np.ndarray) -> PIL.Image.Image\n"
        "\n"
        "    Description:\n"
        "        Converts a numpy ndarray in OpenCV format to a PIL Image.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - cv2_main_image (np.ndarray): the input image in OpenCV format.\n"
        "    ---\n"
        "    Returns:\n"
        "        PIL.Image.Image: the converted PIL Image.\n"
        "    "
    ),
    "image_invert": (
        "image_invert(image: PIL.Image.Image) -> None\n"
        "\n"
        "    Description:\n"
        "        Inverts the colors of the input image and sends it to clipboard.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - image (PIL.Image.Image): The image to be inverted.\n"
        "    "
    ),
    "make_transparent": (
        "make_transparent(image: PIL.Image.Image) -> PIL.Image.Image\n"
        "\n"
        "    Description:\n"
        "        Convert image to RGBA and make the background transparent.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - image (PIL.Image.Image): the input image to be made transparent.\n"
        "    ---\n"
        "    Returns:\n"
        "        PIL.Image.Image: the modified image with a transparent background.\n"
        "    "
    ),
    "life_color_update": (
        "life_color_update(cv2_main_image: np.ndarray, x: int, y: int) -> np.ndarray\n"
        "\n"
        "    Description:\n"
        "        Update the top strip of the image to the color of the pixel at (x,y), and put"
        " text displaying the pixel color.\n"
        "    ---\n"
        "    Parameters:\n"
        "        - cv2_main_image (np.ndarray): The OpenCV image array.\n"
        "        \n"
        "        - x (int): The x coordinate of the pixel to use for the top strip color.\n"
        "        \n"
        "        - y (int): The y coordinate of the pixel to use for the top strip color.\n"
        "    ---\n"
        "    Returns:\n"
        "        np.ndarray: The updated OpenCV image array.\n"
        "    "
    ),
    "BeginImageProcessing": ("BeginImageProcessing(show_window=False, screen_size=(1920, 1080))"),
    "MouseHelper": (
        "\n"
        "    Description:\n"
        "        A class that helps with mouse event handling in OpenCV.\n"
        "    ---\n"
        "    Attributes:\n"
        "        - `x (int)`: The current x-coordinate of the mouse.\n"
        "        - `y (int)`: The current y-coordinate of the mouse.\n"
        "        - `px (int)`: The previous x-coordinate of the mouse.\n"
        "        - `py (int)`: The previous y-coordinate of the mouse.\n"
        "        - `shape (tuple[int, int])`: The shape of the image that the mouse helper is"
        " used with.\n"
        "        - `mouse_selection_start (Union[None, tuple[int, int]])`: The starting point of"
        " the mouse selection for cropping.\n"
        "        - `mouse_selection_end (Union[None, tuple[int, int]])`: The ending point of the"
        " mouse selection for cropping.\n"
        "        - `cropping (bool)`: Whether the user is currently cropping an image or not.\n"
        "        - `drawing (bool)`: Whether the user is currently drawing on an image or not.\n"
        "        - `event (int)`: The type of the current mouse event.\n"
        "    Methods\n"
        "    -------\n"
        "        - update_life_data(event, x, y, flags, param)\n"
        "        \n"
        "        - Updates the state of the mouse helper based on the given mouse event.\n"
        "    "
    ),
    "MouseHelper.__init__": (
        "MouseHelper.__init__(self, tuple shape: tuple)\n"
        "\n"
        "        Parameters\n"
        "        ----------\n"
        "        shape : tuple[int, int]\n"
        "            The shape of the image that the mouse helper is used with.\n"
        "        "
    ),
    "MouseHelper.update_life_data": (
        "MouseHelper.update_life_data(self, event: int, x: int, y: int, flags: int, param) ->"
        " None\n"
        "\n"
        "        Description:\n"
        "            Updates the state of the mouse helper based on the given mouse event.\n"
        "        ---\n"
        "        Parameters:\n"
        "            - `event (int)`: The type of the current mouse event.\n"
        "            - `x (int)`: The current x-coordinate of the mouse.\n"
        "            - `y (int):` The current y-coordinate of the mouse.\n"
        "            - `flags (int)`: The flags associated with the current mouse event.\n"
        "            - `param (Any)`: Any additional parameters associated with the current mouse"
        " event.\n"
        "        "
    ),
}


def entries(excinfo):
    """The function names of the traceback entries of a caught exception."""
    return [frame.name for frame in traceback.extract_tb(excinfo.value.__traceback__)]


# ---- namespace -----------------------------------------------------------------------------------


def test_namespace_binds_the_libraries_functions_and_class_in_order():
    # A fresh interpreter: tests here rebind names, which may move them.
    result = run_python("import velmora.snapTone as snap\nprint(list(vars(snap)))")
    assert result.returncode == 0, result.stderr
    names = [name for name in ast.literal_eval(result.stdout) if name not in IMPORT_SYSTEM]
    assert names == BOUND_IN_ORDER


def test_namespace_contents(snap):
    assert snap.__builtins__ is builtins
    for submodule in ("ImageOps", "Image"):
        assert sys.modules[f"PIL.{submodule}"] is getattr(snap.PIL, submodule)
    if sys.platform == "win32":
        assert snap.PIL is PIL and snap.PIL.ImageGrab is sys.modules["PIL.ImageGrab"]
    else:  # the clipboard picture is read by the desktop layer; Pillow itself is unchanged
        from velmora._platform import pillow

        assert snap.PIL.ImageGrab.grabclipboard is pillow.grabclipboard
        assert snap.PIL.ImageGrab.grab is PIL.ImageGrab.grab
        assert PIL.ImageGrab.grabclipboard is not pillow.grabclipboard
    assert snap.BytesIO is io.BytesIO
    assert snap.win32clipboard is sys.modules["win32clipboard"]
    assert snap.glob is glob.glob
    assert snap.os is os
    assert snap.np is np
    assert snap.cv2 is cv2
    assert snap.winsound is sys.modules["winsound"]
    assert snap.dt is datetime.datetime
    assert snap.__test__ == {}
    assert snap.__doc__ is None
    assert sys.modules["velmora.snapTone"] is snap


@pytest.mark.parametrize("name", ONE_ARGUMENT + ["life_color_update", "BeginImageProcessing"])
def test_functions_are_builtins_of_the_module(snap, name):
    function = getattr(snap, name)
    assert isinstance(function, types.BuiltinFunctionType)
    assert function.__name__ == name
    assert function.__qualname__ == name
    assert function.__module__ == "velmora.snapTone"


@pytest.mark.parametrize("name", list(DOCSTRINGS))
def test_docstrings(snap, name):
    owner = snap
    for part in name.split("."):
        owner = getattr(owner, part)
    assert owner.__doc__ == DOCSTRINGS[name]


# ---- the picture folder and failed imports (fresh interpreters) ----------------------------------


@pytest.fixture
def package_copy(tmp_path, snap):
    """A copy of the built package in a folder of its own, without its picture folder."""
    package = Path(snap.__file__).parent
    shutil.copytree(
        package,
        tmp_path / "velmora",
        ignore=shutil.ignore_patterns("Images", "__pycache__"),
    )
    return tmp_path


@pytest.fixture
def home(tmp_path):
    """An empty home folder for a fresh interpreter: its environment, and the picture folder
    there, which the image module uses on Linux."""
    folder = tmp_path / "home"
    (folder / ".config").mkdir(parents=True)
    environment = {"HOME": str(folder), "XDG_CONFIG_HOME": str(folder / ".config")}
    return environment, folder / "Pictures" / "velmora"


def run_with(root, code, env=None):
    return run_python(f"import sys\nsys.path.insert(0, {str(root)!r})\n" + code, **(env or {}))


# The pictures folder the user's XDG configuration names; "$HOME/" (the home folder) is none.
@pytest.mark.parametrize(
    "user_dirs, pictures",
    [(b"", "Pictures"), (b'XDG_PICTURES_DIR="$HOME/My Bilder"\n', "My Bilder"),
     (b'XDG_PICTURES_DIR="$HOME/"\n', "Pictures"),
     # Names that are not UTF-8, ${HOME}, comments, and the last of two lines, as the shell
     # reads the file.
     (b'XDG_PICTURES_DIR="$HOME/Bilder\xff"\n', "Bilder\udcff"),
     (b'XDG_PICTURES_DIR="$HOME/a"\nXDG_PICTURES_DIR="${HOME}/b"  # b\n', "b")],
)  # fmt: skip
def test_import_creates_the_picture_folder_in_the_user_s_pictures(
    package_copy, home, user_dirs, pictures
):
    (Path(home[0]["XDG_CONFIG_HOME"]) / "user-dirs.dirs").write_bytes(user_dirs)
    result = run_with(
        package_copy, "import velmora.snapTone as snap\nprint(snap.__file__)", home[0]
    )
    assert result.returncode == 0, result.stderr
    assert Path(result.stdout.strip()).parent == package_copy / "velmora"
    assert (Path(home[0]["HOME"]) / pictures / "velmora").is_dir()
    assert not (package_copy / "velmora" / "Images").exists()


def test_import_leaves_an_existing_picture_folder_alone(package_copy, home):
    environment, images = home
    images.mkdir(parents=True)
    kept = images / "2024-01-01, 09.00.00 AM.png"
    kept.write_bytes(b"picture")
    before = images.stat()
    result = run_with(package_copy, "import velmora.snapTone\n", environment)
    assert result.returncode == 0, result.stderr
    assert kept.read_bytes() == b"picture"
    assert sorted(images.iterdir()) == [kept]
    assert images.stat().st_ino == before.st_ino


def test_missing_library_fails_the_import_before_anything_is_published(package_copy, home):
    # The blocker sees the module half-way through initialisation, as it was when cv2 was
    # asked for, and keeps it for inspection.
    code = """
        import importlib.abc, os
        seen = {}

        class Blocker(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path, target=None):
                if name == "cv2":
                    seen["module"] = sys.modules["velmora.snapTone"]
                    raise ModuleNotFoundError("No module named 'cv2'", name="cv2")

        sys.modules.pop("cv2", None)
        sys.meta_path.insert(0, Blocker())
        try:
            import velmora.snapTone
        except ModuleNotFoundError as error:
            import traceback
            print("failed:", error.name)
            print("entries:", [f.name for f in traceback.extract_tb(error.__traceback__)])
        names = vars(seen["module"])
        expected = ("np", "cv2", "winsound", "pil_to_cv", "MouseHelper")
        print("bound:", [n for n in expected if n in names])
        print("folder:", os.path.isdir(os.path.expanduser("~/Pictures/velmora")))
        print("registered:", "velmora.snapTone" in sys.modules)
    """
    import textwrap

    result = run_with(package_copy, textwrap.dedent(code), home[0])
    assert result.returncode == 0, result.stderr
    lines = dict(line.split(": ", 1) for line in result.stdout.splitlines())
    assert lines["failed"] == "cv2"
    assert "init velmora.snapTone" in lines["entries"]
    assert lines["bound"] == "['np']"
    assert lines["folder"] == "False"
    assert lines["registered"] == "False"


@pytest.mark.parametrize("name", ["TypeError", "max", "all"])
def test_a_missing_builtin_fails_the_import(package_copy, home, name):
    code = f"""
import velmora, builtins
del builtins.{name}
try:
    import velmora.snapTone
except NameError as error:
    print(error)
"""
    result = run_with(package_copy, code, home[0])
    assert result.returncode == 0, result.stderr
    assert result.stdout == f"name '{name}' is not defined\n"
    assert not home[1].exists()


# ---- argument binding ----------------------------------------------------------------------------


class Reached(Exception):
    """Raised by the first thing a body touches, once the arguments are bound."""


class Untouchable:
    def __getitem__(self, index):
        raise Reached


@pytest.mark.parametrize(
    "name, args, kwargs",
    [
        ("life_color_update", (Untouchable(), 2, 3), {}),
        ("life_color_update", (), {"cv2_main_image": Untouchable(), "x": 2, "y": 3}),
        ("life_color_update", (Untouchable(),), {"y": 3, "x": 2}),
        ("BeginImageProcessing", (), {}),
        ("BeginImageProcessing", (True, (800, 600)), {}),
        ("BeginImageProcessing", (), {"screen_size": (800, 600), "show_window": True}),
    ],
)
def test_keyword_functions_bind_then_run_their_body(snap, monkeypatch, name, args, kwargs):
    def grab():
        raise Reached

    pil = types.SimpleNamespace(ImageGrab=types.SimpleNamespace(grabclipboard=grab))
    monkeypatch.setattr(snap, "PIL", pil)
    with pytest.raises(Reached) as excinfo:
        getattr(snap, name)(*args, **kwargs)
    assert entries(excinfo)[1:] == [f"velmora.snapTone.{name}", excinfo.traceback[-1].name]


# ---- the tracker class ---------------------------------------------------------------------------


def test_mouse_helper_class(snap):
    cls = snap.MouseHelper
    assert type(cls) is type
    assert cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == "MouseHelper"
    assert cls.__module__ == "velmora.snapTone"
    assert [name for name in vars(cls) if not name.startswith("__") or name == "__init__"] == [
        "__init__",
        "update_life_data",
    ]


@pytest.mark.parametrize(
    "method, annotations",
    [
        ("__init__", {"shape": "tuple"}),
        (
            "update_life_data",
            {"event": "int", "x": "int", "y": "int", "flags": "int", "return": None},
        ),
    ],
)
def test_mouse_helper_methods_carry_their_names_and_annotations(snap, method, annotations):
    function = vars(snap.MouseHelper)[method]
    assert function.__name__ == method
    assert function.__qualname__ == f"MouseHelper.{method}"
    assert function.__module__ == "velmora.snapTone"
    assert function.__annotations__ == annotations
    assert getattr(snap.MouseHelper, method) is function


def test_mouse_helper_methods_bind_to_the_instance(snap):
    helper = snap.MouseHelper((480, 640, 3))
    bound = helper.update_life_data
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is helper
    assert bound.__func__ is vars(snap.MouseHelper)["update_life_data"]
    bound(0, 5, 6, 0, None)
    snap.MouseHelper.update_life_data(helper, 0, 7, 8, 0, None)
    assert (helper.px, helper.py, helper.x, helper.y) == (5, 6, 7, 8)


Shape = collections.namedtuple("Shape", "rows columns")


@pytest.mark.parametrize(
    "shape, refused_as",
    [
        ((480, 640), None),
        ((480, 640, 3), None),
        ((), None),
        (None, None),
        ([480, 640], "list"),
        (Shape(480, 640), "Shape"),
        (np.zeros(2).shape, None),
        (np.array([480, 640]), "numpy.ndarray"),
    ],
)
def test_mouse_helper_shape_must_be_exactly_a_tuple(snap, shape, refused_as):
    if refused_as is None:
        assert snap.MouseHelper(shape).shape is shape
        assert snap.MouseHelper(shape=shape).shape is shape
        return
    with pytest.raises(TypeError) as excinfo:
        snap.MouseHelper(shape)
    assert str(excinfo.value) == (
        f"Argument 'shape' has incorrect type (expected tuple, got {refused_as})"
    )
    assert not any(name.startswith("velmora.") for name in entries(excinfo))


@pytest.mark.parametrize(
    "call, message, entry",
    [
        (
            lambda cls: cls(),
            "__init__() takes exactly 2 positional arguments (1 given)",
            "__init__",
        ),
        (
            lambda cls: cls((1, 2), 3),
            "__init__() takes exactly 2 positional arguments (3 given)",
            "__init__",
        ),
        (
            lambda cls: cls((1, 2), size=3),
            "__init__() got an unexpected keyword argument 'size'",
            "__init__",
        ),
        (
            lambda cls: cls((1, 2)).update_life_data(1, 2, 3),
            "update_life_data() takes exactly 6 positional arguments (4 given)",
            "update_life_data",
        ),
        (
            lambda cls: cls((1, 2)).update_life_data(1, 2, 3, 4, 5, flags=0),
            "update_life_data() got multiple values for keyword argument 'flags'",
            "update_life_data",
        ),
    ],
)
def test_mouse_helper_binding_errors_name_the_method(snap, call, message, entry):
    with pytest.raises(TypeError) as excinfo:
        call(snap.MouseHelper)
    assert str(excinfo.value) == message
    assert entries(excinfo)[-1] == f"velmora.snapTone.MouseHelper.{entry}"


def test_update_life_data_takes_its_arguments_by_keyword(snap):
    helper = snap.MouseHelper((480, 640, 3))
    helper.update_life_data(param=None, flags=0, y=4, x=3, event=0)
    assert (helper.x, helper.y, helper.event) == (3, 4, 0)


# ---- failures propagate with an entry naming the function ----------------------------------------


@pytest.mark.parametrize(
    "name, argument, error",
    [
        ("pil_image_to_bmp", np.zeros((2, 2, 3), np.uint8), TypeError),
        ("send_to_clipboard", None, TypeError),
        ("pil_to_cv", object(), AttributeError),
        ("cv_to_pil", np.zeros((2, 2), np.uint8), IndexError),
        ("image_invert", object(), AttributeError),
        ("make_transparent", object(), AttributeError),
    ],
)
def test_failures_carry_an_entry_naming_the_function(snap, name, argument, error):
    with pytest.raises(error) as excinfo:
        getattr(snap, name)(argument)
    assert entries(excinfo)[-1] == f"velmora.snapTone.{name}"


def test_tracker_failure_carries_an_entry_naming_the_method(snap):
    helper = snap.MouseHelper(None)
    helper.update_life_data(cv2.EVENT_LBUTTONDOWN, 10, 10, cv2.EVENT_FLAG_CTRLKEY, None)
    with pytest.raises(TypeError, match="not subscriptable") as excinfo:
        helper.update_life_data(cv2.EVENT_LBUTTONUP, 50, 50, 0, None)
    assert entries(excinfo)[-1] == "velmora.snapTone.MouseHelper.update_life_data"
    # What was assigned before the failure stays.
    assert (helper.x, helper.y, helper.event) == (50, 50, cv2.EVENT_LBUTTONUP)
    assert helper.cropping is True


@pytest.mark.filterwarnings("ignore:.*getdata is deprecated:DeprecationWarning")
def test_cached_builtins_are_the_ones_fetched_at_import(snap, monkeypatch):
    class Other(Exception):
        pass

    def refuse(*args):
        raise AssertionError("looked up again")

    image = PIL.Image.new("RGB", (2, 1), (9, 9, 9))
    errors = []
    with monkeypatch.context() as patch:
        patch.setattr(builtins, "TypeError", Other)
        patch.setattr(builtins, "max", refuse)
        patch.setattr(builtins, "all", refuse)
        for function in (snap.pil_image_to_bmp, snap.send_to_clipboard):
            try:
                function(1)
            except Exception as error:
                errors.append(error)
        # Without a reachable image class make_transparent takes the steps that call max and
        # all pixel by pixel.
        patch.setattr(snap, "PIL", types.SimpleNamespace())
        transparent = snap.make_transparent(image)
    assert [(type(error), str(error)) for error in errors] == [
        (TypeError, "Image must be a PIL Image object."),
        (TypeError, "image must be a valid numpy array or PIL Image object"),
    ]
    assert transparent.tobytes() == bytes([255, 255, 255, 0]) * 2
