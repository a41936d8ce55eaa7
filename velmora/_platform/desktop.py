"""The one place that chooses the backends behind the stand-ins (see ``backend``).

Automatically, a desktop display and the freedesktop programs are used where a display is
available: not on Windows (where the real modules are used and none of this is loaded), with
WAYLAND_DISPLAY or DISPLAY set, and unless VELMORA_DESKTOP switches the desktop off. The
display is the Wayland compositor of WAYLAND_DISPLAY where it accepts connections, else the X
server of DISPLAY (so an X session with a stale WAYLAND_DISPLAY still works). Elsewhere the
``memory`` backend stands in. Nothing connects to the display before a stand-in needs it; a
display that cannot be reached then makes that call raise ``DesktopError``.

``attach()`` and ``detach()`` switch explicitly, and ``use()`` installs other backends, for
tests and hosts.
"""

import os
import sys

from velmora._platform import freedesktop, memory, wayland, x11
from velmora._platform.backend import DesktopError  # noqa: F401  (part of this module's interface)

# VELMORA_DESKTOP values: on (the default where a display is set) and off.
_ON = ("", "1", "on", "yes", "true")
_OFF = ("0", "off", "no", "false")

_mode = None  # None: automatic; True: attached; False: detached
_display = None  # the Display backend in use, made on first use
_programs = None  # the Programs backend in use, made on first use
_display_name = None  # the X display attached explicitly (None: $DISPLAY)
_memory = memory.MemoryDisplay()  # kept across attach and detach, with its windows


def available():
    """True where the automatic attach applies: a display, not Windows, not switched off."""
    if sys.platform == "win32":
        return False
    switch = os.environ.get("VELMORA_DESKTOP", "").strip().lower()
    if switch in _OFF:
        return False
    if switch not in _ON:
        raise DesktopError(
            f"VELMORA_DESKTOP={switch!r} is neither on ({', '.join(_ON[1:])}) "
            f"nor off ({', '.join(_OFF)})"
        )
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))


def attached():
    return _mode if _mode is not None else available()


def display():
    """The ``Display`` backend in use."""
    global _display
    if _display is None:
        if not attached():
            _display = _memory
        elif _display_name is None and (wayland.answers() or not os.environ.get("DISPLAY")):
            _display = wayland.WaylandDisplay()
        else:
            _display = x11.X11Display(_display_name)
    return _display


def programs():
    """The ``Programs`` backend in use."""
    global _programs
    if _programs is None:
        _programs = freedesktop.FreedesktopPrograms() if attached() else memory.SilentPrograms()
    return _programs


def connection():
    """The X connection of the attached display (tests and the main job read the server)."""
    return display().connection


def _close_display():
    global _display
    if _display is not None and _display is not _memory:
        _display.close()
    _display = None


def attach(display_name=None):
    """Attaches the X desktop of ``display_name`` (default: $DISPLAY), now and for later calls."""
    global _mode, _programs, _display_name
    if sys.platform == "win32":
        raise RuntimeError("the X desktop backend is not used on Windows")
    _close_display()
    _mode, _programs, _display_name = True, None, display_name


def detach():
    """Returns to the in-memory backend and closes the X connection."""
    global _mode, _programs
    _close_display()
    _mode, _programs = False, None


def use(display_backend=None, programs_backend=None):
    """Installs the given backends (None: keep the one in use), for hosts and tests."""
    global _display, _programs
    if display_backend is not None:
        _close_display()
        _display = display_backend
    if programs_backend is not None:
        _programs = programs_backend
