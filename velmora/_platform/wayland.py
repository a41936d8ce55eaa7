"""The Wayland backend: keys and text through a virtual keyboard, windows through the foreign
toplevel list, the clipboard through the data-control tools, on a wlroots compositor.

One connection per backend, opened on first use, and on it one virtual keyboard that lives as
long as the connection: a keyboard made for each call loses its first keys while the compositor
takes it in. The keyboard carries its own keymap, uploaded by this backend, so that what it
types does not depend on the user's layout, lock state or held keys, and the user's own
keyboard keeps its layout (the compositor hands each keyboard's keymap to the application
that receives its keys). The keymap has the keys of a US keyboard at their usual places (key
events by virtual-key code go there, so that shortcuts are matched as the user's would be)
and, for each character of a text that those keys do not type, a key of its own (keysym
``U%04X``). A text with more such characters than free keys is typed in parts, with a keymap
for each part; a keymap travels on the same connection as the keys, so an application never
sees a key before the keymap it belongs to.

Windows are the compositor's toplevels, found by app_id (the class name's counterpart);
their handles are numbers this backend hands out, never reused. Keeping a window above the
others is asked of sway through its IPC. What the running compositor does not offer fails
with a DesktopError that names what is missing.
"""

import atexit
import contextlib
import glob
import json
import os
import select
import socket
import struct
import subprocess
import tempfile
import threading
import time
import weakref

from velmora._platform import constants, freedesktop, keymap
from velmora._platform.backend import DesktopError, Display

# The longest the compositor may take to answer.
ROUND_TRIP_TIMEOUT = 5.0
# How long set_foreground waits for the compositor to activate a window.
ACTIVATION_TIMEOUT = 1.0
# How long the clipboard tools may take to take over the clipboard or hand over a picture.
CLIPBOARD_TIMEOUT = 5.0
# How long a new virtual keyboard is left alone before its first key.
KEYBOARD_SETTLE = 0.05
# How long pin_above waits for sway to list a window that has just been made.
PIN_TIMEOUT = 2.0
# Characters typed between two round trips, so that the compositor keeps pace with the keys.
BATCH = 64

NO_KEYBOARD = (
    "this Wayland compositor offers no virtual keyboard: typing needs a wlroots compositor, "
    "or an X11 session"
)
NO_TOPLEVELS = (
    "this Wayland compositor offers no list of windows (wlr foreign toplevel management): "
    "finding and activating windows needs a wlroots compositor, or an X11 session"
)
NO_DATA_CONTROL = (
    "this Wayland compositor offers no clipboard access to background programs (data-control): "
    "the clipboard needs a wlroots compositor, or an X11 session"
)
NO_XWAYLAND = (
    "the picture window is an X11 window and needs Xwayland on Wayland, but DISPLAY is not "
    "set: enable Xwayland in the compositor (sway: 'xwayland enable'), or use an X11 session"
)
NO_SWAY = (
    "keeping a window above the others needs sway's IPC (SWAYSOCK); this Wayland compositor "
    "offers no such request"
)

# Clipboard tools of the data-control protocol; wl-paste runs under the time limit.
CLIPBOARD_COPY = ("wl-copy",)
CLIPBOARD_PASTE = ("wl-paste", "--no-newline")

# Modifier masks of the keymap below (the real modifiers, in XKB's order).
SHIFT, LOCK, CONTROL, MOD1, MOD2, MOD4 = 1, 2, 4, 8, 16, 64
_MODIFIER_KEYS = {
    "Shift_L": SHIFT,
    "Shift_R": SHIFT,
    "Control_L": CONTROL,
    "Control_R": CONTROL,
    "Alt_L": MOD1,
    "Alt_R": MOD1,
    "Super_L": MOD4,
    "Super_R": MOD4,
}
_LOCK_KEYS = {"Caps_Lock": LOCK, "Num_Lock": MOD2}
_MODIFIER_NAMES = {
    SHIFT: "Shift",
    LOCK: "Lock",
    CONTROL: "Control",
    MOD1: "Mod1",
    MOD2: "Mod2",
    MOD4: "Mod4",
}

# The keys of a US keyboard: evdev code -> (keysym names of level 1 and 2).
_US_ROWS = (
    (2, "1 2 3 4 5 6 7 8 9 0 minus equal", "exclam at numbersign dollar percent asciicircum "
     "ampersand asterisk parenleft parenright underscore plus"),
    (16, "q w e r t y u i o p bracketleft bracketright", "Q W E R T Y U I O P braceleft "
     "braceright"),
    (30, "a s d f g h j k l semicolon apostrophe grave", "A S D F G H J K L colon quotedbl "
     "asciitilde"),
    (43, "backslash z x c v b n m comma period slash", "bar Z X C V B N M less greater question"),
)  # fmt: skip
_US_KEYS = {
    1: ("Escape",), 14: ("BackSpace",), 15: ("Tab", "ISO_Left_Tab"), 28: ("Return",),
    29: ("Control_L",), 42: ("Shift_L",), 54: ("Shift_R",), 55: ("KP_Multiply",),
    56: ("Alt_L",), 57: ("space",), 58: ("Caps_Lock",), 69: ("Num_Lock",),
    70: ("Scroll_Lock",), 71: ("KP_7",), 72: ("KP_8",), 73: ("KP_9",), 74: ("KP_Subtract",),
    75: ("KP_4",), 76: ("KP_5",), 77: ("KP_6",), 78: ("KP_Add",), 79: ("KP_1",), 80: ("KP_2",),
    81: ("KP_3",), 82: ("KP_0",), 83: ("KP_Decimal",), 86: ("less", "greater"), 96: ("KP_Enter",),
    97: ("Control_R",), 98: ("KP_Divide",), 99: ("Print",), 100: ("Alt_R",), 102: ("Home",),
    103: ("Up",), 104: ("Prior",), 105: ("Left",), 106: ("Right",), 107: ("End",),
    108: ("Down",), 109: ("Next",), 110: ("Insert",), 111: ("Delete",),
    113: ("XF86AudioMute",), 114: ("XF86AudioLowerVolume",), 115: ("XF86AudioRaiseVolume",),
    119: ("Pause",), 121: ("KP_Separator",), 125: ("Super_L",), 126: ("Super_R",),
    127: ("Menu",), 128: ("XF86Stop",), 155: ("XF86Mail",), 156: ("XF86Favorites",),
    158: ("XF86Back",), 159: ("XF86Forward",), 163: ("XF86AudioNext",),
    164: ("XF86AudioPlay",), 165: ("XF86AudioPrev",), 166: ("XF86AudioStop",),
    172: ("XF86HomePage",), 173: ("XF86Refresh",), 217: ("XF86Search",),
}  # fmt: skip
for _first, _lower, _upper in _US_ROWS:
    for _offset, _pair in enumerate(zip(_lower.split(), _upper.split(), strict=True)):
        _US_KEYS[_first + _offset] = _pair
_US_KEYS.update({59 + n: (f"F{n + 1}",) for n in range(10)})
_US_KEYS.update({87: ("F11",), 88: ("F12",)})
_US_KEYS.update({183 + n: (f"F{n + 13}",) for n in range(12)})
# Keysyms of virtual-key codes that no US key carries get keys of their own.
_OTHER_NAMES = sorted(
    set(keymap.KEYSYMS.values()) - {name for names in _US_KEYS.values() for name in names}
)
# evdev codes with no key of their own yet (XKB keycodes 9..255 are evdev codes 1..247).
_FREE = [code for code in range(1, 248) if code not in _US_KEYS]
_US_KEYS.update({_FREE.pop(0): (name,) for name in _OTHER_NAMES})

# Keysym name -> evdev code of the key that carries it on its first level: the key a key
# event by virtual-key code presses ("less" is the ISO key's, not Shift and the comma key's).
_NAMED = {names[0]: code for code, names in sorted(_US_KEYS.items())}
# Character -> (evdev code, Shift needed) of the characters the fixed keys type.
_PRINTABLE = {
    "space": " ", "exclam": "!", "quotedbl": '"', "numbersign": "#", "dollar": "$",
    "percent": "%", "ampersand": "&", "apostrophe": "'", "parenleft": "(", "parenright": ")",
    "asterisk": "*", "plus": "+", "comma": ",", "minus": "-", "period": ".", "slash": "/",
    "colon": ":", "semicolon": ";", "less": "<", "equal": "=", "greater": ">", "question": "?",
    "at": "@", "bracketleft": "[", "backslash": "\\", "bracketright": "]", "asciicircum": "^",
    "underscore": "_", "grave": "`", "braceleft": "{", "bar": "|", "braceright": "}",
    "asciitilde": "~",
}  # fmt: skip
_CHARACTERS = {"\n": (28, False), "\t": (15, False)}
for _code, _names in sorted(_US_KEYS.items()):
    for _level, _name in enumerate(_names[:2]):
        _char = _PRINTABLE.get(_name, _name if len(_name) == 1 else None)
        if _char is not None and not _name.startswith("KP_"):
            _CHARACTERS.setdefault(_char, (_code, _level == 1))
# Keys for the other characters of a text.
EXTRA_KEYS = tuple(_FREE)


def keymap_text(extras):
    """The XKB keymap of the fixed keys and of ``extras`` ({character: evdev code})."""
    keys = {code: names for code, names in _US_KEYS.items()}
    keys.update({code: (f"U{ord(char):04X}",) for char, code in extras.items()})
    codes = "\n".join(f"    <K{code + 8}> = {code + 8};" for code in sorted(keys))
    symbols = "\n".join(
        f"    key <K{code + 8}> {{ [ {', '.join(names)} ] }};"
        for code, names in sorted(keys.items())
    )
    held = {}
    for name, mask in {**_MODIFIER_KEYS, **_LOCK_KEYS}.items():
        held.setdefault(mask, []).append(f"<K{_NAMED[name] + 8}>")
    modifiers = "\n".join(
        f"    modifier_map {_MODIFIER_NAMES[mask]} {{ {', '.join(names)} }};"
        for mask, names in sorted(held.items())
    )
    return (
        "xkb_keymap {\n"
        f'xkb_keycodes "velmora" {{\n    minimum = 8;\n    maximum = 255;\n{codes}\n}};\n'
        'xkb_types "velmora" { include "complete" };\n'
        'xkb_compat "velmora" { include "complete" };\n'
        f'xkb_symbols "velmora" {{\n{symbols}\n{modifiers}\n}};\n'
        "};\n"
    )


def _characters(text):
    """The characters of ``text`` to type, line breaks as single newlines; raises ValueError
    for a character no keysym stands for (a lone surrogate, a control character other than
    tab and line breaks), before anything is typed."""
    text = text.replace("\r\n", "\n").replace("\r", "\n")
    for char in text:
        code = ord(char)
        if char not in "\n\t" and (code < 0x20 or 0x7F <= code < 0xA0 or 0xD800 <= code < 0xE000):
            raise ValueError(f"character U+{code:04X} cannot be typed")
    return text


def socket_path(name=None):
    """The socket of the Wayland display ``name`` (default: $WAYLAND_DISPLAY), or None."""
    name = name if name is not None else os.environ.get("WAYLAND_DISPLAY", "")
    if not name:
        return None
    if os.path.isabs(name):
        return name
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    return os.path.join(runtime, name) if runtime else None


def answers(name=None):
    """Whether a Wayland compositor accepts connections on ``name`` (default: $WAYLAND_DISPLAY)."""
    path = socket_path(name)
    if path is None:
        return False
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(1.0)
    try:
        probe.connect(path)
        return True
    except OSError:
        return False
    finally:
        probe.close()


class _Toplevel:
    """What the compositor said about one toplevel."""

    def __init__(self, handle, number):
        self.handle = handle
        self.number = number
        self.title = ""
        self.app_id = ""
        self.states = set()
        self.closed = False


# Connections still open. They are closed before the interpreter ends: left to the garbage
# collector, the library's objects would be freed after their display, and crash the process.
_open = weakref.WeakSet()


@atexit.register
def _close_all():
    for connection in list(_open):
        connection.close()


class Connection:
    """The connection to one compositor: its globals, the seat, the virtual keyboard and the
    toplevels, made on first use."""

    def __init__(self, name):
        from pywayland.client import Display as WlDisplay

        self.name = name
        self.display = WlDisplay(name)
        try:
            self.display.connect()
        except ValueError:
            raise DesktopError(f"cannot connect to Wayland display {name!r}") from None
        _open.add(self)
        self.globals = {}  # interface name -> (global name, version) of its first global
        self.outputs_offered = []  # (global name, version) of each output
        self.outputs = []  # [width, height] of each output's current mode
        self._output_proxies = []
        self.seat = self._keyboard = None
        self._toplevels = None  # ToplevelManagerProxy once asked for
        self.toplevels = {}  # number -> _Toplevel
        self._next_number = 0x1000
        try:
            self.registry = self.display.get_registry()
            self.registry.dispatcher["global"] = self._global
            self.roundtrip()
            self.seat = self._bind("wl_seat", 1, None)
            for output_name, version in self.outputs_offered:
                self._output(output_name, version)
            self.roundtrip()
        except BaseException:
            self.close()  # left to the collector, its objects could outlive the connection
            raise

    def _global(self, registry, name, interface, version):
        if interface == "wl_output":
            self.outputs_offered.append((name, version))
        self.globals.setdefault(interface, (name, version))

    def _bind(self, interface_name, version, missing):
        from pywayland.protocol import wayland as core

        from velmora._platform import wlprotocols

        if interface_name not in self.globals:
            if missing is None:
                raise DesktopError(f"this Wayland compositor offers no {interface_name}")
            raise DesktopError(missing)
        name, offered = self.globals[interface_name]
        interface = {
            "wl_seat": core.WlSeat,
            "zwp_virtual_keyboard_manager_v1": wlprotocols.VirtualKeyboardManager,
            "zwlr_foreign_toplevel_manager_v1": wlprotocols.ToplevelManager,
        }[interface_name]
        return self.registry.bind(name, interface, min(version, offered))

    def _output(self, output_name, version):
        from pywayland.protocol import wayland as core

        output = self.registry.bind(output_name, core.WlOutput, min(version, 2))
        size = [0, 0]
        self.outputs.append(size)

        def mode(proxy, flags, width, height, refresh):
            if flags & 1:  # the current mode
                size[:] = [width, height]

        output.dispatcher["mode"] = mode
        self._output_proxies.append(output)

    def roundtrip(self):
        """Waits until the compositor has handled every request sent, for ROUND_TRIP_TIMEOUT
        at most. A compositor that closed the connection (it ended, or refused a request) or
        does not answer raises: what was sent may be lost."""
        done = []
        callback = self.display.sync()
        callback.dispatcher["done"] = lambda proxy, data: done.append(data)
        deadline = time.monotonic() + ROUND_TRIP_TIMEOUT
        while not done:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise TimeoutError(f"no answer within {ROUND_TRIP_TIMEOUT:g} s")
            self.display.flush()  # what the socket cannot take yet goes on the next turn
            readable, _, _ = select.select([self.display.get_fd()], [], [], min(remaining, 0.05))
            try:
                if readable:
                    self.display.dispatch(block=True)
            except RuntimeError as error:  # the library's word for a connection closed
                raise ConnectionError(
                    f"the compositor closed the connection or refused a request ({error})"
                ) from None

    def keyboard(self):
        """The virtual keyboard, made once with the fixed keymap."""
        if self._keyboard is None:
            manager = self._bind("zwp_virtual_keyboard_manager_v1", 1, NO_KEYBOARD)
            self._keyboard = manager.create_virtual_keyboard(self.seat)
            self.extras = {}
            self.upload({})
            # The first keys of a new keyboard can be lost while the compositor takes it in
            # (seen on sway 1.7, in about one of three tries); a pause and a round trip
            # before the first key avoid that.
            time.sleep(KEYBOARD_SETTLE)
            self.roundtrip()
        return self._keyboard

    def upload(self, extras):
        """Gives the keyboard the keymap with ``extras``; the modifiers start released."""
        from velmora._platform import wlprotocols

        data = keymap_text(extras).encode() + b"\0"
        fd = os.memfd_create("velmora-keymap", os.MFD_CLOEXEC)
        try:
            os.write(fd, data)
            self._keyboard.keymap(wlprotocols.KEYMAP_FORMAT_TEXT, fd, len(data))
        finally:
            os.close(fd)
        self.extras = dict(extras)
        self._keyboard.modifiers(0, 0, 0, 0)
        self.roundtrip()

    def toplevel_list(self):
        """Every toplevel the compositor reported, as known after a round trip."""
        if self._toplevels is None:
            self._toplevels = self._bind("zwlr_foreign_toplevel_manager_v1", 3, NO_TOPLEVELS)
            self._toplevels.dispatcher["toplevel"] = self._new_toplevel
            self.roundtrip()
        self.roundtrip()
        for number, top in list(self.toplevels.items()):
            if top.closed:  # its handle number is never given out again
                top.handle.destroy()
                del self.toplevels[number]
        return list(self.toplevels.values())

    def _new_toplevel(self, manager, handle):
        # The library files an object the compositor made under the first connection it
        # finds, maybe an older one that is closed: it belongs to this one, and goes with it.
        if handle._display is not self.display:
            handle._display = self.display
            self.display._children.add(handle)
        top = _Toplevel(handle, self._next_number)
        self._next_number += 1
        self.toplevels[top.number] = top

        def title(proxy, value):
            top.title = value

        def app_id(proxy, value):
            top.app_id = value

        def state(proxy, states):
            top.states = set(struct.unpack(f"={len(states) // 4}I", bytes(states)))

        def closed(proxy):
            top.closed = True

        handle.dispatcher["title"] = title
        handle.dispatcher["app_id"] = app_id
        handle.dispatcher["state"] = state
        handle.dispatcher["closed"] = closed

    def close(self):
        """Destroys every object of the connection, then the connection. The toplevel handles
        go first and explicitly: the library may have filed them under another connection."""
        _open.discard(self)
        for proxy in [top.handle for top in self.toplevels.values()] + [self._keyboard]:
            with contextlib.suppress(Exception):
                if proxy is not None:
                    proxy.destroy()
        with contextlib.suppress(Exception):
            self.display.flush()
        with contextlib.suppress(Exception):
            self.display.disconnect()
        self.toplevels.clear()
        self._output_proxies.clear()
        self.registry = self.seat = self._keyboard = self._toplevels = None


def _sway_socket():
    """The IPC socket of the sway session, or None."""
    path = os.environ.get("SWAYSOCK")
    if path:
        return path
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    found = sorted(glob.glob(os.path.join(runtime, "sway-ipc.*.sock"))) if runtime else []
    return found[0] if found else None


def sway_command(command, path=None):
    """Runs a sway command through its IPC; raises DesktopError unless sway did it."""
    path = path or _sway_socket()
    if path is None:
        raise DesktopError(NO_SWAY)
    payload = command.encode()
    with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as ipc:
        ipc.settimeout(CLIPBOARD_TIMEOUT)
        try:
            ipc.connect(path)
            ipc.sendall(b"i3-ipc" + struct.pack("=II", len(payload), 0) + payload)  # 0: command
            header = _receive(ipc, 14)
            length, _ = struct.unpack("=II", header[6:])
            replies = json.loads(_receive(ipc, length))
        except (OSError, ValueError) as error:
            raise DesktopError(f"sway's IPC at {path!r} failed: {error}") from None
    failed = [reply.get("error", "refused") for reply in replies if not reply.get("success")]
    if failed or not replies:
        said = "; ".join(dict.fromkeys(failed)) or "no window matched"
        unmatched = all(error.startswith("No matching node") for error in failed)
        raise (_NoMatch if unmatched else DesktopError)(f"sway refused {command!r}: {said}")


class _NoMatch(DesktopError):
    """sway found no window that the command's criteria match."""


def _receive(connection, size):
    data = b""
    while len(data) < size:
        chunk = connection.recv(size - len(data))
        if not chunk:
            raise OSError("the connection closed")
        data += chunk
    return data


def _quoted(text):
    """``text`` as a literal inside a quoted sway criterion (a PCRE)."""
    special = set("\\.^$|?*+()[]{}")
    escaped = "".join("\\" + char if char in special else char for char in text)
    return escaped.replace('"', '\\"')


class WaylandDisplay(Display):
    """The ``Display`` half of the backend interface on a wlroots compositor."""

    def __init__(self, name=None):
        self._name = name
        self._connection = None
        self._lock = threading.RLock()
        self._keys_down = {}  # key name -> evdev code it went down on
        self._depressed = 0  # modifier mask of the modifier keys held through key_event
        self._locked = 0  # Caps Lock and Num Lock as toggled through key_event

    @property
    def name(self):
        return self._name if self._name is not None else os.environ.get("WAYLAND_DISPLAY", "")

    @contextlib.contextmanager
    def _session(self):
        """The open connection, for one piece of work under the lock. A failure of the
        library or the compositor discards the connection (the next use opens a new one) and
        reaches the caller as DesktopError."""
        with self._lock:
            try:
                if self._connection is None:
                    if not self.name:
                        raise DesktopError("no Wayland display: WAYLAND_DISPLAY is not set")
                    try:
                        import pywayland.client  # noqa: F401
                    except ImportError as error:
                        raise DesktopError("pywayland is needed for the Wayland desktop") from error
                    self._connection = Connection(self.name)
                yield self._connection
            except (DesktopError, LookupError, TypeError, ValueError):
                raise
            except Exception as error:
                self._discard()
                raise DesktopError(f"Wayland display {self.name!r} failed: {error!r}") from error
            except BaseException:
                self._discard()
                raise

    def _discard(self):
        connection, self._connection = self._connection, None
        self._keys_down.clear()
        self._depressed = self._locked = 0
        if connection is not None:
            connection.close()  # the compositor releases the keys of a keyboard that goes

    def close(self):
        with self._lock:
            with contextlib.suppress(DesktopError):
                self.release_keys()
            self._discard()

    # Keys and text ---------------------------------------------------------------------------

    @staticmethod
    def _now():
        return int(time.monotonic() * 1000) & 0xFFFFFFFF

    def _key(self, connection, code, pressed):
        from velmora._platform import wlprotocols

        state = wlprotocols.PRESSED if pressed else wlprotocols.RELEASED
        connection.keyboard().key(self._now(), code, state)

    def key_event(self, vk, scan, flags):
        name = keymap.keysym_name(vk, scan, flags)
        up = bool(flags & constants.KEYEVENTF_KEYUP)
        with self._session() as connection:
            keyboard = connection.keyboard()
            code = self._keys_down.get(name) if up else None
            if code is None:
                code = _NAMED[name]
            if up:
                self._key(connection, code, False)
                self._keys_down.pop(name, None)
                if name in _MODIFIER_KEYS and not any(
                    _MODIFIER_KEYS.get(held) == _MODIFIER_KEYS[name] for held in self._keys_down
                ):
                    self._depressed &= ~_MODIFIER_KEYS[name]
            else:
                self._keys_down[name] = code  # before it is sent: released should it fail
                self._key(connection, code, True)
                self._depressed |= _MODIFIER_KEYS.get(name, 0)
                self._locked ^= _LOCK_KEYS.get(name, 0)
            keyboard.modifiers(self._depressed, 0, self._locked, 0)
            connection.roundtrip()

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        text = _characters(text)
        if not text:
            return
        with self._session() as connection:
            keyboard = connection.keyboard()
            try:
                for part in self._parts(text, connection):
                    for start in range(0, len(part), BATCH):
                        for char in part[start : start + BATCH]:
                            self._type(connection, keyboard, char)
                        connection.roundtrip()
            finally:
                keyboard.modifiers(self._depressed, 0, self._locked, 0)
                connection.roundtrip()

    def _parts(self, text, connection):
        """``text`` in parts whose other characters fit the free keys, each with its keymap
        uploaded before the part is typed (the keymap in place is kept where it serves)."""
        part, needed = [], set()
        for char in text:
            if char not in _CHARACTERS and char not in needed:
                if len(needed) == len(EXTRA_KEYS):
                    yield self._prepared("".join(part), needed, connection)
                    part, needed = [], set()
                needed.add(char)
            part.append(char)
        yield self._prepared("".join(part), needed, connection)

    @staticmethod
    def _prepared(part, needed, connection):
        if not needed <= connection.extras.keys():
            kept = {char: code for char, code in connection.extras.items() if char in needed}
            free = [code for code in EXTRA_KEYS if code not in kept.values()]
            kept.update(zip(sorted(needed - kept.keys()), free, strict=False))
            connection.upload(kept)
        return part

    def _type(self, connection, keyboard, char):
        if char in _CHARACTERS:
            code, shifted = _CHARACTERS[char]
        else:
            code, shifted = connection.extras[char], False
        keyboard.modifiers(SHIFT if shifted else 0, 0, 0, 0)
        self._key(connection, code, True)
        self._key(connection, code, False)

    def release_keys(self):
        if not self._keys_down:
            return
        with self._session() as connection:
            for name, code in list(self._keys_down.items()):
                self._key(connection, code, False)
                del self._keys_down[name]
            self._depressed = 0
            connection.keyboard().modifiers(0, 0, self._locked, 0)
            connection.roundtrip()

    # Screen and windows ----------------------------------------------------------------------

    def screen_size(self):
        with self._session() as connection:
            sizes = [size for size in connection.outputs if all(size)]
            if not sizes:
                raise DesktopError(f"Wayland display {self.name!r} has no output")
            return tuple(sizes[0])

    def _top(self, connection, hwnd):
        """The live toplevel of handle ``hwnd``, or None."""
        connection.toplevel_list()
        return connection.toplevels.get(hwnd) if isinstance(hwnd, int) else None

    def find_window(self, class_name, title):
        """The toplevel whose app_id is ``class_name`` (and title ``title``, unless None); a
        shown one before a minimised one, the first listed within each; 0 if none."""
        with self._session() as connection:
            matches = [
                top
                for top in connection.toplevel_list()
                if top.app_id == class_name and (title is None or top.title == title)
            ]
            if not matches:
                return 0
            from velmora._platform import wlprotocols

            matches.sort(key=lambda top: wlprotocols.MINIMIZED in top.states)
            return matches[0].number

    def window_visible(self, hwnd):
        """A toplevel that still exists is shown or minimised: both count as visible."""
        with self._session() as connection:
            return self._top(connection, hwnd) is not None

    def show_window(self, hwnd, command):
        with self._session() as connection:
            top = self._top(connection, hwnd)
            if top is None:
                return False
            if command == constants.SW_HIDE:
                raise DesktopError(
                    "Wayland lets no program hide another program's window "
                    "(only minimise it, where the compositor supports that)"
                )
            if command in (constants.SW_SHOWMINIMIZED, constants.SW_MINIMIZE, 7, 11):
                top.handle.set_minimized()
            else:
                top.handle.unset_minimized()
            connection.roundtrip()
            return True

    def set_foreground(self, hwnd):
        from velmora._platform import wlprotocols

        with self._session() as connection:
            top = self._top(connection, hwnd)
            if top is None:
                return False
            if wlprotocols.MINIMIZED in top.states:
                top.handle.unset_minimized()
            top.handle.activate(connection.seat)
            deadline = time.monotonic() + ACTIVATION_TIMEOUT
            while True:
                connection.roundtrip()
                if wlprotocols.ACTIVATED in top.states and not top.closed:
                    return True
                if time.monotonic() >= deadline:
                    return False
                time.sleep(0.01)

    def foreground_window(self):
        from velmora._platform import wlprotocols

        with self._session() as connection:
            for top in connection.toplevel_list():
                if wlprotocols.ACTIVATED in top.states:
                    return top.number
            return 0

    def window_title(self, hwnd):
        with self._session() as connection:
            top = self._top(connection, hwnd)
            return "" if top is None else top.title

    def check_window_display(self):
        """The picture window opens on Xwayland, the X display of DISPLAY: raises DesktopError
        when DISPLAY is not set or its server does not let this process in."""
        from velmora._platform import x11

        name = os.environ.get("DISPLAY")
        if not name:
            raise DesktopError(NO_XWAYLAND)
        try:
            x11.open_display(name).close()
        except DesktopError as error:
            raise DesktopError(
                f"the picture window is an X11 window and needs Xwayland on Wayland: {error}"
            ) from None

    def pin_above(self, title, wm_class):
        """Keeps this process's window ``title`` above the others: on sway it is made floating
        and sticky through the IPC, found by its process and title (window rules find it the
        same way). A window that sway does not list yet is waited for, up to PIN_TIMEOUT. An
        Xwayland window (DISPLAY set) then gets the X window class ``wm_class`` as on X11, so
        that sway's criteria and rules by class find it too."""
        criteria = f'[pid={os.getpid()} title="^{_quoted(title)}$"]'
        deadline = time.monotonic() + PIN_TIMEOUT
        while True:
            try:
                sway_command(f"{criteria} floating enable, sticky enable")
                break
            except _NoMatch:
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.05)
        if os.environ.get("DISPLAY"):
            from velmora._platform import x11

            xwayland = x11.X11Display(os.environ["DISPLAY"])
            try:
                xwayland.give_class(title, wm_class)
            finally:
                xwayland.close()

    # Clipboard -------------------------------------------------------------------------------

    def _tool_environment(self):
        return dict(os.environ, WAYLAND_DISPLAY=self.name)

    def _require_data_control(self):
        with self._session() as connection:
            offered = connection.globals.keys()
            if not {"zwlr_data_control_manager_v1", "ext_data_control_manager_v1"} & offered:
                raise DesktopError(NO_DATA_CONTROL)

    def _tool(self, command):
        found = freedesktop.available(command)
        if found is None:
            raise DesktopError(f"{command[0]} (wl-clipboard) is needed for the Wayland clipboard")
        return list(found)

    def publish_clipboard(self, contents):
        from velmora._platform import clipboard

        self._require_data_control()
        offered = clipboard.offer(contents)
        copy = self._tool(CLIPBOARD_COPY)
        if offered is None:
            self._run([*copy, "--clear"], None, "clear the clipboard")
            return
        target, data = offered
        mime = "text/plain;charset=utf-8" if target == "UTF8_STRING" else target
        self._run([*copy, "--type", mime], data, "take the clipboard")
        # wl-copy leaves a child in the background that takes the clipboard shortly after.
        deadline = time.monotonic() + CLIPBOARD_TIMEOUT
        while self._paste(mime) != data:
            if time.monotonic() >= deadline:
                raise DesktopError(f"{copy[0]} did not take the clipboard")
            time.sleep(0.01)

    def _run(self, argv, data, what):
        """Runs a clipboard tool to its end. Its output goes to a file, not a pipe: wl-copy
        leaves a child behind that would hold a pipe open."""
        with tempfile.TemporaryFile() as errors:
            try:
                result = subprocess.run(
                    argv,
                    input=data if data is not None else b"",
                    stdout=subprocess.DEVNULL,
                    stderr=errors,
                    env=self._tool_environment(),
                    timeout=CLIPBOARD_TIMEOUT,
                    start_new_session=True,
                    check=False,
                )
            except subprocess.TimeoutExpired:
                raise DesktopError(f"{argv[0]} did not {what}") from None
            if result.returncode != 0:
                errors.seek(0)
                said = errors.read().decode(errors="replace").strip()
                raise DesktopError(f"{argv[0]} could not {what} ({result.returncode}): {said}")

    def _paste(self, mime):
        """The clipboard's content of type ``mime``, or None when it offers none."""
        from velmora._platform import clipboard

        limiter = freedesktop.available(freedesktop.TIME_LIMIT)
        if limiter is None:
            raise DesktopError(f"{freedesktop.TIME_LIMIT[0]} is needed to read the clipboard")
        argv = [*limiter, f"{CLIPBOARD_TIMEOUT:g}", *self._tool(CLIPBOARD_PASTE), "--type", mime]
        try:
            status, output = freedesktop.read_output(
                argv,
                timeout=CLIPBOARD_TIMEOUT + 2,
                limit=clipboard.MAX_READ,
                env=self._tool_environment(),
            )
        except subprocess.TimeoutExpired:
            raise DesktopError("the clipboard's owner did not hand over its content") from None
        except freedesktop.OutputTooLarge:
            raise DesktopError(clipboard.TOO_LARGE) from None
        if status == 124:  # the time limit's verdict
            raise DesktopError("the clipboard's owner did not hand over its content")
        return output if status == 0 and output else None

    def clipboard_picture(self):
        """The clipboard's picture as PNG bytes (only image/png is asked for), or None."""
        self._require_data_control()
        return self._paste("image/png")
