"""The Linux desktop behind the stand-ins: X11 keys, windows, screen and clipboard, and sound.

When the desktop is attached, the stand-ins' hooks lead here:

- ``win32api.key_sink``: XTEST key events (``x11.Connection.send_key``);
- ``win32api.screen_size``: the size of the X root window;
- ``windows.backend``: X top-level windows (``x11.XWindows``), for win32gui and win32ui;
- ``win32clipboard.publisher``: the X clipboard (``clipboard.publish``);
- ``winsound.player``: a sound player program (``sound.play``).

Attaching is automatic where a display is available: not on Windows (where the real modules
are used and none of this is loaded), with DISPLAY set, and unless VELMORA_DESKTOP is "0".
The stand-ins are wired as they are loaded (the finder calls ``wire``), and nothing connects
to the X server before a hook needs it; a display that then cannot be reached makes that hook
raise ``DesktopError``. ``attach()`` and ``detach()`` switch explicitly, for tests and hosts.
"""

import os
import sys

from velmora._platform import clipboard, sound, x11
from velmora._platform.x11 import DesktopError  # noqa: F401  (part of this module's interface)

_connection = None
_mode = None  # None: automatic; True: attached; False: detached
_memory_windows = None  # the in-memory window table that the X backend replaced


def available():
    """True where the automatic attach applies: a display, not Windows, not switched off."""
    if sys.platform == "win32":
        return False
    if os.environ.get("VELMORA_DESKTOP", "").strip().lower() in ("0", "off", "no", "false"):
        return False
    return bool(os.environ.get("DISPLAY"))


def attached():
    return _mode if _mode is not None else available()


def connection():
    """The X connection the hooks use (opened on its first request)."""
    global _connection
    if _connection is None:
        _connection = x11.Connection()
    return _connection


# The hooks ---------------------------------------------------------------------------------


def send_key(vk, scan, flags):
    connection().send_key(vk, scan, flags)


def screen_size():
    return connection().screen_size()


def publish_clipboard(contents):
    clipboard.publish(contents, connection())


def play_sound(name, flags):
    sound.play(name, flags)


HOOKS = {
    "win32api": {"key_sink": send_key, "screen_size": screen_size},
    "win32clipboard": {"publisher": publish_clipboard},
    "winsound": {"player": play_sound},
}


def _set_hooks(module, on):
    for attribute, hook in HOOKS.get(module.__name__, {}).items():
        setattr(module, attribute, hook if on else None)


def _set_windows(on):
    global _memory_windows
    from velmora._platform import windows

    if on:
        if not isinstance(windows.backend, x11.XWindows):
            _memory_windows = windows.backend
        windows.backend = x11.XWindows(connection())
    elif isinstance(windows.backend, x11.XWindows):
        windows.backend = _memory_windows if _memory_windows is not None else windows.WindowTable()


def _loaded_standins():
    from velmora._platform import is_fallback

    for name in HOOKS:
        module = sys.modules.get(name)
        if module is not None and is_fallback(module):
            yield module


def wire(module):
    """Connects a freshly loaded stand-in to the desktop, if the desktop is attached."""
    if attached():
        _set_hooks(module, True)
        _set_windows(True)


def attach(display=None):
    """Attaches the desktop of ``display`` (default: $DISPLAY) to every stand-in, now and later."""
    global _connection, _mode
    if sys.platform == "win32":
        raise RuntimeError("the X desktop backend is not used on Windows")
    if _connection is not None:
        _connection.close()
    _connection = x11.Connection(display)
    _mode = True
    for module in _loaded_standins():
        _set_hooks(module, True)
    _set_windows(True)


def detach():
    """Returns every stand-in to its in-memory behaviour and closes the X connection."""
    global _connection, _mode
    _mode = False
    for module in _loaded_standins():
        _set_hooks(module, False)
    _set_windows(False)
    if _connection is not None:
        _connection.close()
        _connection = None
