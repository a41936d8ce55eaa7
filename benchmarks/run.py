"""Benchmarks of velmora's native modules, side by side with plain Python doing the same.

    python benchmarks/run.py [--quick] [--only KEY ...] [--update-readme]

Prints one table: for each case the picture size, this project's median time, the
comparison's median time, their ratio, the target, and the peak extra memory of both sides.
Outputs are checked to be identical before any timing counts. ``--update-readme`` also
writes the table, with a description of the machine, into benchmarks/README.md.

Run it as a script (not with ``-m`` from the checkout's root): the velmora imported is then
the installed one, or whatever PYTHONPATH names first.
"""

import argparse
import contextlib
import dataclasses
import datetime
import io
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time
import types
from collections.abc import Callable

import comparisons
import cv2
import display
import numpy as np
import pictures
import PIL
import PIL.Image
import PIL.ImageOps
import timing

import velmora  # noqa: F401  (puts the Windows modules' stand-ins in place elsewhere)

# isort: split
import win32con

HERE = os.path.dirname(os.path.abspath(__file__))
README = os.path.join(HERE, "README.md")
FULL_HD = (1920, 1080)
UHD = (3840, 2160)
EXTENDED_KEYS = [
    "VK_RMENU", "VK_RCONTROL", "VK_RSHIFT", "VK_APPS", "VK_VOLUME_UP", "VK_VOLUME_DOWN",
    "VK_SNAPSHOT", "VK_INSERT", "VK_DELETE", "VK_HOME", "VK_END", "VK_CANCEL", "VK_PRIOR",
    "VK_NEXT", "VK_UP", "VK_DOWN", "VK_LEFT", "VK_RIGHT",
]  # fmt: skip


def snap():
    from velmora import snapTone

    return snapTone


def keys():
    from velmora import strokeSmith

    return strokeSmith


class NotBuilt(Exception):
    """This project's function is not available in this build."""


class Differs(Exception):
    """The two sides disagree on an output."""


class Unavailable(Exception):
    """The case cannot run here (no display, no OpenCV window support, ...)."""


@dataclasses.dataclass
class Sides:
    """One case, ready to run: a `timeit.Timer` per side and a check of their outputs."""

    ours: object
    comparison: object
    check: Callable[[], None]
    between: Callable[[], None] | None = None  # untimed, after every round
    cleanup: Callable[[], None] | None = None


@dataclasses.dataclass
class Case:
    key: str
    name: str
    size: str
    target: float | None  # the ratio to stay at or under; None: reported only
    prepare: Callable[[], Sides] = None
    rounds: int = 21
    memory: tuple | None = None  # (probe of ours, probe of the comparison)
    per_call: bool = False  # many calls a round
    needs_display: bool = False
    custom: Callable[[int], tuple] | None = None  # rounds -> (ours, comparison) seconds
    note: str = ""
    fastest: bool = False  # each side's fastest round rather than its median


def ours_or_not_built(function, *args):
    try:
        return function(*args)
    except NotImplementedError as error:
        raise NotBuilt(str(error)) from None


def same_image(ours, theirs):
    if not isinstance(ours, PIL.Image.Image) or not isinstance(theirs, PIL.Image.Image):
        raise Differs(f"{type(ours).__name__} and {type(theirs).__name__}")
    if (ours.mode, ours.size) != (theirs.mode, theirs.size):
        raise Differs(f"{ours.mode} {ours.size} and {theirs.mode} {theirs.size}")
    if ours.tobytes() != theirs.tobytes():
        raise Differs("pixels")


def same_array(ours, theirs):
    if not isinstance(ours, np.ndarray) or not isinstance(theirs, np.ndarray):
        raise Differs(f"{type(ours).__name__} and {type(theirs).__name__}")
    if ours.dtype != theirs.dtype or ours.shape != theirs.shape:
        raise Differs(f"{ours.dtype} {ours.shape} and {theirs.dtype} {theirs.shape}")
    if not np.array_equal(ours, theirs):
        raise Differs("pixels")


def same(ours, theirs):
    if ours != theirs:
        raise Differs(f"{ours!r:.80} and {theirs!r:.80}")


# ---- make_transparent ------------------------------------------------------------------------

TRANSPARENCY = {"a": comparisons.transparent_per_pixel, "b": comparisons.transparent_numpy}
PICTURES = {"screenshot": pictures.screenshot, "noisy": pictures.noisy}


def transparent(size, comparison, kind="screenshot"):
    def prepare():
        image = PICTURES[kind](*size)
        other = TRANSPARENCY[comparison]

        def check():
            same_image(ours_or_not_built(snap().make_transparent, image), other(image))

        return Sides(
            timing.timer("f(image)", f=snap().make_transparent, image=image),
            timing.timer("f(image)", f=other, image=image),
            check,
        )

    return prepare


def transparent_floor(size, kind):
    """make_transparent against one copy of the picture's RGBA bytes into new memory, the
    least that any function returning a new RGBA picture has to do."""

    def prepare():
        image = PICTURES[kind](*size)
        rgba = image.convert("RGBA").tobytes()

        def check():
            ours = ours_or_not_built(snap().make_transparent, image)
            same_image(ours, comparisons.transparent_numpy(image))
            same(len(bytearray(rgba)), 4 * size[0] * size[1])

        return Sides(
            timing.timer("f(image)", f=snap().make_transparent, image=image),
            timing.timer("bytearray(rgba)", rgba=rgba),
            check,
        )

    return prepare


def transparent_probe(size, comparison=None, kind="screenshot"):
    """A memory probe: (function, input) of make_transparent or of a comparison."""

    def probe(small):
        image = PICTURES[kind](*((64, 48) if small else size))
        function = TRANSPARENCY[comparison] if comparison else snap().make_transparent
        return lambda: function(image)

    return probe


def transparent_memory(kind):
    """Peak extra memory of make_transparent against the RGBA picture's size."""
    width, height = UHD
    peak = probe_in_subprocess(f"transparent-4k-{kind}", "ours")
    if peak is None:
        raise Unavailable("no peak memory on this system")
    return peak, 4 * width * height


# ---- the thin operations -----------------------------------------------------------------------


def recording_clipboard():
    """A win32clipboard that records the calls of the latest transfer, and the data."""
    board = types.ModuleType("win32clipboard")
    board.CF_DIB = 8
    board.calls = []

    def recorder(name):
        def record(*args):
            if name == "OpenClipboard":
                board.calls = []
            board.calls.append((name, args))

        record.__name__ = name
        return record

    for name in ("OpenClipboard", "EmptyClipboard", "SetClipboardData", "CloseClipboard"):
        setattr(board, name, recorder(name))
    return board


def thin_inputs(name, size):
    if name in ("pil_to_cv", "pil_image_to_bmp"):
        return pictures.screenshot(*size)
    return pictures.screenshot_bgr(*size)


def thin(name):
    def prepare():
        picture = thin_inputs(name, UHD)
        ours = getattr(snap(), name)
        other = getattr(comparisons, name)
        if name != "send_to_clipboard":
            compare = same_image if name == "cv_to_pil" else same_array
            if name == "pil_image_to_bmp":
                compare = same

            def check():
                compare(ours_or_not_built(ours, picture), other(picture))

            return Sides(
                timing.timer("f(picture)", f=ours, picture=picture),
                timing.timer("f(picture)", f=other, picture=picture),
                check,
            )

        module = snap()
        saved = module.win32clipboard
        mine, theirs = recording_clipboard(), recording_clipboard()
        module.win32clipboard = mine

        def check():
            ours_or_not_built(ours, picture)
            other(picture, theirs)
            same(mine.calls, theirs.calls)

        def cleanup():
            module.win32clipboard = saved

        return Sides(
            timing.timer("f(picture)", f=ours, picture=picture),
            timing.timer("f(picture, board)", f=other, picture=picture, board=theirs),
            check,
            cleanup=cleanup,
        )

    return prepare


def thin_probe(name, comparison=False):
    def probe(small):
        picture = thin_inputs(name, (64, 48) if small else UHD)
        if name == "send_to_clipboard":
            board = recording_clipboard()
            if comparison:
                return lambda: comparisons.send_to_clipboard(picture, board)
            snap().win32clipboard = board
        function = getattr(comparisons if comparison else snap(), name)
        return lambda: function(picture)

    return probe


# ---- the colour band and the picture window ----------------------------------------------------

POINTER = (1234, 567)  # column, row: below the band, inside the picture


def life_color(size):
    def prepare():
        picture = pictures.screenshot_bgr(*size)
        mine, theirs = picture.copy(), picture.copy()
        ours = snap().life_color_update
        x, y = POINTER

        def check():
            result = ours_or_not_built(ours, mine, x, y)
            if result is not mine:
                raise Differs("the result is not the argument")
            same_array(mine, comparisons.life_color_update(theirs, x, y))

        return Sides(
            timing.timer("f(picture, x, y)", f=ours, picture=mine, x=x, y=y),
            timing.timer(
                "f(picture, x, y)", f=comparisons.life_color_update, picture=theirs, x=x, y=y
            ),
            check,
        )

    return prepare


WINDOW = "velmora benchmark"


def window_pass():
    """A pass of the picture window with the band on: the band repainted, the picture shown;
    against showing the picture alone. The picture carries the band's 20 rows on top, as
    the window adds them."""
    if not display.reachable():
        raise Unavailable("no display")
    width, height = FULL_HD
    picture = pictures.screenshot_bgr(width, height)
    banded = np.concatenate((picture[0:20], picture), axis=0).astype(np.uint8)
    mine, theirs = banded.copy(), banded.copy()
    ours = snap().life_color_update
    x, y = 700, 500
    try:
        cv2.namedWindow(WINDOW)
        cv2.imshow(WINDOW, theirs)
        cv2.waitKey(1)
    except cv2.error as error:
        raise Unavailable(f"no OpenCV window: {str(error).splitlines()[-1]}") from None

    def check():
        ours_or_not_built(ours, mine, x, y)
        same_array(mine, comparisons.life_color_update(banded.copy(), x, y))

    def refresh_and_show(picture, x, y):
        picture = ours(picture, x, y)
        cv2.imshow(WINDOW, picture)

    def show(picture):
        cv2.imshow(WINDOW, picture)

    return Sides(
        timing.timer("f(picture, x, y)", f=refresh_and_show, picture=mine, x=x, y=y),
        timing.timer("f(picture)", f=show, picture=theirs),
        check,
        between=lambda: cv2.waitKey(1),
        cleanup=cv2.destroyAllWindows,
    )


# ---- the clipboard: the direct mode, the window's copy and save ----------------------------------

CLIPBOARD_READER = ["xclip", "-selection", "clipboard", "-t", "image/png", "-o"]


def screenshot_png(size):
    """A screenshot-like picture as another program puts it on the clipboard: PNG, zlib's
    default level."""
    out = io.BytesIO()
    pictures.screenshot(*size).convert("RGB").save(out, "PNG")
    return out.getvalue()


def x_clipboard():
    """The desktop's X clipboard, through the platform layer's backend; Unavailable without
    a display or xclip."""
    from velmora._platform import desktop

    if not display.reachable() or shutil.which("xclip") is None:
        raise Unavailable("no X display with xclip")
    desktop.attach()
    return desktop.display()


def serve(connection, png):
    """Another program (xclip) owning the X clipboard with ``png``, once it has taken it."""
    previous = connection.selection_owner("CLIPBOARD")
    subprocess.run(
        [*CLIPBOARD_READER[:-1], "-i"], input=png, check=True, timeout=30, stdout=subprocess.DEVNULL
    )
    deadline = time.monotonic() + 10
    while connection.selection_owner("CLIPBOARD") in (0, previous):
        if time.monotonic() > deadline:
            raise Unavailable("xclip did not take the clipboard")
        time.sleep(0.005)


def pasted():
    """The X clipboard's picture as another program pastes it, as RGB bytes."""
    png = subprocess.run(CLIPBOARD_READER, capture_output=True, check=True, timeout=30).stdout
    with PIL.Image.open(io.BytesIO(png), formats=["PNG"]) as image:
        return image.convert("RGB").tobytes()


def direct_floor(png):
    """The least any PNG-in, PNG-out inversion does: Pillow decodes, inverts and encodes at
    compress_level=1, in this process."""
    image = PIL.Image.open(io.BytesIO(png))
    image.load()
    out = io.BytesIO()
    PIL.ImageOps.invert(image).save(out, "PNG", compress_level=1)
    return out.getvalue()


def direct_mode(size):
    """BeginImageProcessing() on a real X clipboard, from the call until the inverted picture
    is served, against the Pillow floor; xclip serves the original again after every round."""

    def prepare():
        connection = x_clipboard()
        png = screenshot_png(size)

        def check():
            serve(connection, png)
            ours_or_not_built(snap().BeginImageProcessing)
            with PIL.Image.open(io.BytesIO(direct_floor(png))) as theirs:
                same(pasted(), theirs.convert("RGB").tobytes())
            serve(connection, png)

        return Sides(
            timing.timer("f()", f=snap().BeginImageProcessing),
            timing.timer("f(png)", f=direct_floor, png=png),
            check,
            between=lambda: serve(connection, png),
        )

    return prepare


def copy_floor(picture):
    """Pillow encoding the window's BGR picture as PNG at compress_level=1."""
    out = io.BytesIO()
    PIL.Image.fromarray(cv2.cvtColor(picture, cv2.COLOR_BGR2RGB)).save(out, "PNG", compress_level=1)
    return out.getvalue()


def window_copy(size):
    """The window's C: `send_to_clipboard` of the shown picture (what the command calls), until
    the X clipboard serves it, against the Pillow floor."""

    def prepare():
        x_clipboard()
        picture = pictures.screenshot_bgr(*size)

        def check():
            ours_or_not_built(snap().send_to_clipboard, picture)
            same(pasted(), cv2.cvtColor(picture, cv2.COLOR_BGR2RGB).tobytes())

        return Sides(
            timing.timer("f(picture)", f=snap().send_to_clipboard, picture=picture),
            timing.timer("f(picture)", f=copy_floor, picture=picture),
            check,
        )

    return prepare


class KeyedWindow(types.ModuleType):
    """OpenCV with its window calls answered in memory: the keys ``keys`` arrive one a pass,
    the window is always shown; everything else is OpenCV's own."""

    def __init__(self, keys):
        super().__init__("cv2")
        self.keys = list(keys)
        for name in ("namedWindow", "imshow", "setWindowProperty", "setMouseCallback",
                     "destroyAllWindows"):  # fmt: skip
            setattr(self, name, lambda *args, **kwargs: None)

    def waitKey(self, delay):  # noqa: N802 (OpenCV's name)
        return self.keys.pop(0) if self.keys else 27

    def getWindowProperty(self, *args):  # noqa: N802
        return 1.0

    def __getattr__(self, name):
        return getattr(cv2, name)


def window_save(size):
    """The window's S: a session that shows the clipboard picture and saves it, against the
    same session closed at once, followed by `cv2.imwrite` of the picture from Python."""

    def prepare():
        connection = x_clipboard()
        png = screenshot_png(size)
        module = snap()
        saved_cv2 = module.cv2
        folder = os.path.join(os.path.dirname(os.path.abspath(module.__file__)), "Images")
        before = set(os.listdir(folder))
        theirs = os.path.join(tempfile.mkdtemp(), "picture.png")
        with PIL.Image.open(io.BytesIO(png)) as image:
            shown = cv2.cvtColor(np.asarray(image.convert("RGB")), cv2.COLOR_RGB2BGR)

        def session(keys):
            module.cv2 = KeyedWindow(keys)
            try:  # the layer's note that no real window could be kept above the others
                with contextlib.redirect_stderr(io.StringIO()):
                    module.BeginImageProcessing(True)
            finally:
                module.cv2 = saved_cv2

        def saving():
            session([ord("s")])

        def writing():
            session([])
            cv2.imwrite(theirs, shown)

        def remove_saved():
            for name in set(os.listdir(folder)) - before:
                os.remove(os.path.join(folder, name))

        def check():
            serve(connection, png)
            saving()
            new = sorted(set(os.listdir(folder)) - before)
            if len(new) != 1:
                raise Differs(f"saved {new}")
            same_array(cv2.imread(os.path.join(folder, new[0])), shown)
            remove_saved()

        def cleanup():
            remove_saved()
            shutil.rmtree(os.path.dirname(theirs), ignore_errors=True)

        return Sides(
            timing.timer("f()", f=saving),
            timing.timer("f()", f=writing),
            check,
            between=remove_saved,
            cleanup=cleanup,
        )

    return prepare


# ---- key presses -------------------------------------------------------------------------------


def key_press():
    module = keys()
    saved = module.win32api
    events = []
    recording = types.ModuleType("win32api")
    recording.keybd_event = lambda *args: events.append(args)

    def keybd_event(bVk, bScan, dwFlags, dwExtraInfo):
        pass

    no_op = types.ModuleType("win32api")
    no_op.keybd_event = keybd_event
    comparisons.win32con = win32con
    comparisons.extendedKeys = frozenset(getattr(win32con, name) for name in EXTENDED_KEYS)

    def check():
        sent = []
        for function in (module.SimulateKeyPress, comparisons.SimulateKeyPress):
            module.win32api = comparisons.win32api = recording
            events.clear()
            for args in ((65,), (win32con.VK_RIGHT, 77, 2), (65, 30, 0)):
                function(*args)
            sent.append(list(events))
        module.win32api = comparisons.win32api = no_op
        same(*sent)

    def cleanup():
        module.win32api = saved

    return Sides(
        timing.timer("SimulateKeyPress(65)", SimulateKeyPress=module.SimulateKeyPress),
        timing.timer("SimulateKeyPress(65)", SimulateKeyPress=comparisons.SimulateKeyPress),
        check,
        cleanup=cleanup,
    )


# ---- imports -------------------------------------------------------------------------------------

LIBRARIES = {
    "snapTone": "PIL.ImageOps, PIL.Image, PIL.ImageGrab, io, win32clipboard, glob, os, numpy, "
    "cv2, winsound, datetime",
    "strokeSmith": "win32gui, win32ui, win32api, win32con, winsound, pywintypes, keyboard, os, "
    "common, time",
}


def subprocess_environment():
    """The environment for fresh interpreters that import the same velmora as this one."""
    package_parent = os.path.dirname(os.path.dirname(os.path.abspath(velmora.__file__)))
    environment = dict(os.environ)
    path = [package_parent, *filter(None, environment.get("PYTHONPATH", "").split(os.pathsep))]
    environment["PYTHONPATH"] = os.pathsep.join(path)
    return environment


def import_times(module, rounds):
    """Medians, over fresh interpreters, of the import of ``velmora.<module>`` with its
    libraries already imported, and of the import of those libraries."""
    code = textwrap.dedent(
        f"""
        import time
        start = time.perf_counter()
        import velmora
        import {LIBRARIES[module]}
        libraries = time.perf_counter()
        import velmora.{module}
        done = time.perf_counter()
        print(done - libraries, libraries - start)
        """
    )
    times = []
    for _ in range(rounds):
        output = subprocess.run(
            [sys.executable, "-c", code],
            capture_output=True,
            text=True,
            env=subprocess_environment(),
            cwd=HERE,
            check=True,
        ).stdout
        times.append([float(value) for value in output.split()])
    return tuple(statistics.median(column) for column in zip(*times, strict=True))


# ---- memory probes -----------------------------------------------------------------------------

PROBES = {
    "transparent-hd": (transparent_probe(FULL_HD), None),
    "transparent-4k": (transparent_probe(UHD), None),
    "transparent-hd-noisy": (transparent_probe(FULL_HD, kind="noisy"), None),
    "transparent-4k-noisy": (transparent_probe(UHD, kind="noisy"), None),
    "transparent-4k-screenshot": (transparent_probe(UHD), None),
    "per-pixel-hd": (transparent_probe(FULL_HD, "a"), None),
    "per-pixel-4k": (transparent_probe(UHD, "a"), None),
    "numpy-hd": (transparent_probe(FULL_HD, "b"), None),
    "numpy-4k": (transparent_probe(UHD, "b"), None),
    "numpy-hd-noisy": (transparent_probe(FULL_HD, "b", kind="noisy"), None),
    "numpy-4k-noisy": (transparent_probe(UHD, "b", kind="noisy"), None),
    **{
        name: (thin_probe(name), thin_probe(name, comparison=True))
        for name in ("pil_to_cv", "cv_to_pil", "pil_image_to_bmp", "send_to_clipboard")
    },
}


def run_probe(key, side):
    """In a fresh interpreter: the peak extra memory of one side of a probe, as JSON."""
    ours, comparison = PROBES[key]
    probe = ours if side == "ours" or comparison is None else comparison
    try:
        probe(True)()  # warm-up: lazily loaded modules, first-use tables
    except NotImplementedError:
        print(json.dumps(None))
        return
    print(json.dumps(timing.peak_extra_memory(probe(False))))


MEMORY_CACHE = {}


def probe_in_subprocess(key, side):
    if (key, side) not in MEMORY_CACHE:
        output = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--probe", key, side],
            capture_output=True,
            text=True,
            env=subprocess_environment(),
            cwd=HERE,
        )
        value = None
        if output.returncode == 0:
            value = json.loads(output.stdout.strip().splitlines()[-1])
        MEMORY_CACHE[key, side] = value
    return MEMORY_CACHE[key, side]


# ---- the cases -------------------------------------------------------------------------------


def cases():
    hd, uhd = "1920x1080", "3840x2160"
    recording = {"send_to_clipboard": " (recording clipboard)"}
    thin_cases = [
        Case(name, f"`{name}`{recording.get(name, '')} vs (c)", uhd, 1.05, thin(name),
             rounds=41, memory=(name, name))
        for name in ("pil_to_cv", "cv_to_pil", "pil_image_to_bmp", "send_to_clipboard")
    ]  # fmt: skip
    return [
        Case("transparent-a-hd", "`make_transparent` vs (a) per-pixel transcription", hd, 0.03,
             transparent(FULL_HD, "a"), rounds=5, memory=("transparent-hd", "per-pixel-hd")),
        Case("transparent-a-4k", "`make_transparent` vs (a) per-pixel transcription", uhd, 0.02,
             transparent(UHD, "a"), rounds=5, memory=("transparent-4k", "per-pixel-4k")),
        Case("transparent-b-hd", "`make_transparent` vs (b) NumPy", hd, 0.15,
             transparent(FULL_HD, "b"), memory=("transparent-hd", "numpy-hd")),
        Case("transparent-b-4k", "`make_transparent` vs (b) NumPy", uhd, 0.15,
             transparent(UHD, "b"), rounds=15, memory=("transparent-4k", "numpy-4k")),
        Case("transparent-b-hd-noisy", "`make_transparent` vs (b) NumPy, noisy picture", hd,
             0.15, transparent(FULL_HD, "b", "noisy"),
             memory=("transparent-hd-noisy", "numpy-hd-noisy")),
        Case("transparent-b-4k-noisy", "`make_transparent` vs (b) NumPy, noisy picture", uhd,
             0.15, transparent(UHD, "b", "noisy"), rounds=15,
             memory=("transparent-4k-noisy", "numpy-4k-noisy")),
        *[
            Case(f"transparent-floor-{label}-{kind}",
                 f"`make_transparent` vs the floor: one copy of the RGBA bytes, {kind} "
                 "(fastest round, freed memory kept)",
                 name, target, transparent_floor(size, kind), rounds=21, fastest=True)
            for label, name, size, target in (("hd", hd, FULL_HD, 4.0), ("4k", uhd, UHD, 3.5))
            for kind in ("screenshot", "noisy")
        ],
        *[
            Case(f"transparent-memory-{kind}",
                 f"`make_transparent` peak extra memory vs the RGBA picture, {kind}", uhd, 1.5,
                 custom=lambda rounds, kind=kind: transparent_memory(kind))
            for kind in ("screenshot", "noisy")
        ],
        *thin_cases,
        Case("life_color_update", "`life_color_update` vs (c)", "3840x2160", 0.33,
             life_color(UHD), per_call=True),
        Case("window-pass", "picture window pass, band on: refresh + `imshow` vs `imshow`",
             "1920x1080 (+20)", None, window_pass, rounds=41, needs_display=True),
        *[
            Case(f"direct-{label}",
                 "direct mode `BeginImageProcessing()` on the X clipboard vs the floor: Pillow "
                 "decoding, inverting, encoding at level 1", name, 1.2, direct_mode(size),
                 rounds=11, needs_display=True)
            for label, name, size in (("hd", hd, FULL_HD), ("4k", uhd, UHD))
        ],
        *[
            Case(f"copy-{label}",
                 "the window's copy (C): `send_to_clipboard` to the X clipboard vs Pillow "
                 "encoding at level 1", name, 1.2, window_copy(size), rounds=11,
                 needs_display=True)
            for label, name, size in (("hd", hd, FULL_HD), ("4k", uhd, UHD))
        ],
        *[
            Case(f"save-{label}",
                 "the window's save (S): a session that saves vs one that closes, then "
                 "`cv2.imwrite`", name, None, window_save(size), rounds=11, needs_display=True)
            for label, name, size in (("hd", hd, FULL_HD), ("4k", uhd, UHD))
        ],
        Case("key-press", "`SimulateKeyPress(65)`, no-op `keybd_event`, vs Python", "per call",
             0.9, key_press, per_call=True),
        Case("import-snapTone", "import `velmora.snapTone` vs its libraries' import", "", None,
             custom=lambda rounds: import_times("snapTone", rounds), rounds=9),
        Case("import-strokeSmith", "import `velmora.strokeSmith` vs its libraries' import", "",
             None, custom=lambda rounds: import_times("strokeSmith", rounds), rounds=9),
    ]  # fmt: skip


# ---- running and the table -------------------------------------------------------------------


@dataclasses.dataclass
class Row:
    case: Case
    ours: float | None = None
    comparison: float | None = None
    memory: tuple = (None, None)
    status: str = ""  # set when the case did not run or its outputs differ

    @property
    def ratio(self):
        if self.ours is None or not self.comparison:
            return None
        return self.ours / self.comparison

    @property
    def verdict(self):
        if self.status:
            return self.status
        if self.case.target is None:
            return "reported"
        return "met" if self.ratio <= self.case.target else "**missed**"


def run_case(case, quick):
    rounds = max(3, case.rounds // 3) if quick else case.rounds
    row = Row(case)
    try:
        if case.custom is not None:
            row.ours, row.comparison = case.custom(rounds)
        else:
            sides = case.prepare()
            try:
                sides.check()
                number = 1
                if case.per_call:
                    number = max(timing.calls_per_round(sides.ours),
                                 timing.calls_per_round(sides.comparison))  # fmt: skip
                row.ours, row.comparison = timing.interleaved(
                    sides.ours, sides.comparison, rounds, number, sides.between, case.fastest
                )
            finally:
                if sides.cleanup is not None:
                    sides.cleanup()
        if case.memory is not None:
            row.memory = (
                probe_in_subprocess(case.memory[0], "ours"),
                probe_in_subprocess(case.memory[1], "comparison"),
            )
    except NotBuilt:
        row.status = "n/a (not built)"
    except Unavailable as error:
        row.status = f"n/a ({error})"
    except Differs as error:
        row.status = f"**outputs differ: {error}**"
    return row


def duration(value):
    if value is None:
        return ""
    for unit, scale in (("s", 1), ("ms", 1e-3), ("µs", 1e-6)):
        if value >= scale:
            return f"{value / scale:.3g} {unit}"
    return f"{value / 1e-9:.3g} ns"


def megabytes(value):
    return "" if value is None else f"{value / 1e6:.1f} MB"


def cells(row):
    case = row.case
    if case.key.startswith("transparent-memory"):
        ours, comparison = megabytes(row.ours), megabytes(row.comparison) + " (RGBA)"
        ratio = "" if row.ratio is None else f"{row.ratio:.2f}"
        target = f"≤ {case.target:g}"
    else:
        ours, comparison = duration(row.ours), duration(row.comparison)
        ratio = "" if row.ratio is None else f"{row.ratio:.3f}"
        target = "report" if case.target is None else f"≤ {case.target:g}"
    memory = ""
    if row.memory != (None, None):
        memory = f"{megabytes(row.memory[0])} / {megabytes(row.memory[1])}"
    return [case.name, case.size, ours, comparison, ratio, target, row.verdict, memory]


HEADER = [
    "case", "picture", "this project (median)", "comparison (median)", "ratio", "target",
    "result", "peak extra memory (this project / comparison)",
]  # fmt: skip


def table(rows):
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    for row in rows:
        lines.append("| " + " | ".join(cells(row)) + " |")
    return "\n".join(lines)


def machine():
    cpu = platform.processor() or platform.machine()
    try:
        with open("/proc/cpuinfo") as info:
            names = re.findall(r"^model name\s*:\s*(.+)$", info.read(), re.MULTILINE)
            cpu = names[0] if names else cpu
        with open("/proc/meminfo") as info:
            memory = int(re.search(r"MemTotal:\s*(\d+)", info.read()).group(1)) * 1024
    except OSError:
        memory = None
    parts = [
        f"{cpu}, {os.cpu_count()} logical CPUs",
        f"{memory / 2**30:.0f} GiB memory" if memory else None,
        platform.platform(),
        f"Python {platform.python_version()}",
        f"NumPy {np.__version__}, OpenCV {cv2.__version__}, Pillow {PIL.__version__}",
    ]
    if hasattr(os, "getloadavg"):
        parts.append(f"load average {os.getloadavg()[0]:.1f} at the start")
    return "; ".join(part for part in parts if part)


def update_readme(text):
    with open(README) as readme:
        content = readme.read()
    start, end = "<!-- table -->", "<!-- /table -->"
    before, rest = content.split(start, 1)
    _, after = rest.split(end, 1)
    with open(README, "w") as readme:
        readme.write(f"{before}{start}\n{text}\n{end}{after}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a third of the rounds")
    parser.add_argument("--only", nargs="+", metavar="KEY", help="run only these cases")
    parser.add_argument("--list", action="store_true", help="list the cases' keys")
    parser.add_argument("--update-readme", action="store_true",
                        help="write the table into benchmarks/README.md")  # fmt: skip
    parser.add_argument("--probe", nargs=2, help=argparse.SUPPRESS)
    parser.add_argument("--typing", action="store_true",
                        help="the typing benchmark instead (typing_speed.py)")  # fmt: skip
    arguments = parser.parse_args()
    if arguments.typing:
        command = [sys.executable, os.path.join(HERE, "typing_speed.py")]
        return subprocess.run(command + (["--quick"] if arguments.quick else [])).returncode
    if arguments.probe:
        run_probe(*arguments.probe)
        return 0
    selected = cases()
    if arguments.list:
        for case in selected:
            print(f"{case.key:22} {case.name} {case.size}")
        return 0
    if arguments.only:
        unknown = set(arguments.only) - {case.key for case in selected}
        if unknown:
            parser.error(f"unknown cases: {', '.join(sorted(unknown))}")
        selected = [case for case in selected if case.key in arguments.only]

    print(f"velmora from {os.path.dirname(os.path.abspath(velmora.__file__))}", file=sys.stderr)
    description = machine()
    if timing.keep_freed_memory():
        description += "; the allocator keeping freed memory (mallopt)"
    print(description, file=sys.stderr)
    rows = []
    with contextlib.ExitStack() as stack:
        display_started = False
        for case in selected:
            print(f"  {case.key} ...", file=sys.stderr, flush=True)
            if case.needs_display and not display_started:
                stack.enter_context(display.virtual_display())
                display_started = True
            rows.append(run_case(case, arguments.quick))
    text = table(rows)
    print(text)
    if arguments.update_readme:
        stamp = datetime.date.today().isoformat()
        update_readme(f"Measured {stamp} on: {description}.\n\n{text}")
    failed = [row for row in rows if row.status.startswith("**")]
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
