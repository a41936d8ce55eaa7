"""Typed-character capture from the kernel's input devices, for a Wayland session.

No Wayland protocol lets one program see the keys typed into another, so on Wayland the host
reads the keyboards' device files under /dev/input, which the ``input`` group may read, and
decodes their key codes as the compositor does: with the session's keymap, through
libxkbcommon, in one keyboard state that every press and release of every keyboard updates.
Shift, AltGr, Caps Lock, Num Lock and layout switches thus give the characters that the
focused window receives. The keymap is the compositor's (the one it hands its clients'
keyboards), once a trial process has compiled it within limits (a keymap can make the library
ask for gigabytes, or end the process); without a compositor, or where its keymap fails that
trial, the one that the RMLVO names describe (``XKB_DEFAULT_*`` in the environment, else
/etc/default/keyboard, else a US keyboard). Each device is read once, whatever the number of
paths naming it.

The word rules are the X11 capture's (``capture.Word``): modifier keys change nothing, word
characters are appended, Backspace removes one, any other key, a key pressed with Ctrl, Alt
or Super, and a click of the left, middle or right button of any device end the word, and
dead keys compose with the next character. A key that repeats while held types again. What
the devices cannot show: which window has the focus (Wayland tells no other program), so a
change of focus does not end the word as it does on X11; and what other programs type
through the compositor (an on-screen keyboard, the tools' own typing).

The keys held, and Caps Lock and Num Lock as the keyboards' lights show them (the compositor
sets them), are read from the devices at the start, and again after events that the kernel
dropped because the reader fell behind (SYN_DROPPED), which also end the word. A device that
goes away (unplugged) is dropped; devices plugged in later are not read until the host starts
again.

While an action runs the capture is held (``hold``, ``release``): key presses and clicks are
not recorded. The key press that started the action reaches the devices like any other,
although the compositor keeps it from every window, and it ends the word. So ``hold`` first
reads every event already waiting, and when the last key press was pressed with Ctrl, Alt or
Super, or was a function key, and came shortly before, it puts back the word that key ended:
it was the hotkey, not typing.
"""

import collections
import ctypes
import fcntl
import glob
import logging
import os
import re
import select
import stat
import struct
import subprocess
import sys
import threading
import time

from velmora.host import capture, xserver

log = logging.getLogger("velmora-host")

# The event devices looked at when no device is named.
DEVICES = "/dev/input/event*"
# The file that names the system's keyboard layout on Debian and Ubuntu.
KEYBOARD_DEFAULTS = "/etc/default/keyboard"

GRANT = (
    ", so typed abbreviations and locations are not seen; joining the 'input' group "
    "(sudo usermod -aG input $USER), then logging in again, grants access"
)
NO_ACCESS = "no keyboard device under /dev/input can be read" + GRANT
NO_LIBRARY = (
    "libxkbcommon is not installed (Debian: libxkbcommon0), so the keys typed cannot be "
    "decoded and typed abbreviations and locations are not seen"
)
NO_KEYMAP = (
    "no keyboard layout can be compiled (Debian: xkb-data), so the keys typed cannot be "
    "decoded and typed abbreviations and locations are not seen"
)

# struct input_event in the native layout: struct timeval, then type, code and value.
EVENT = struct.Struct("@llHHi")
EV_SYN, EV_KEY, EV_LED = 0, 1, 0x11
SYN_REPORT, SYN_DROPPED = 0, 3
KEY_RELEASE, KEY_PRESS, KEY_REPEAT = 0, 1, 2
KEY_COUNT = 0x300  # KEY_MAX + 1
# BTN_LEFT, BTN_RIGHT, BTN_MIDDLE: a click ends the word.
CLICKS = (0x110, 0x111, 0x112)
# Codes of buttons (mouse, joystick, gamepad, pen, touch): none of them types.
BUTTONS = (range(0x100, 0x160), range(0x2C0, 0x300))
# Key Q to P, A to L and Z to M: a device with all of them is a keyboard.
LETTERS = (*range(16, 26), *range(30, 39), *range(44, 51))
LED_NUML, LED_CAPSL = 0, 1
# XKB key codes are evdev key codes plus 8.
XKB_OFFSET = 8
# Function keys (F1 to F35) and the keys of XF86's range: keys a hotkey may use alone.
FUNCTION_KEYS = (range(0xFFBE, 0xFFE1), range(0x1008FF00, 0x10090000))

# How long after its key press a hotkey's action may start and still have the word put back.
HOTKEY_DELAY = 2.0
# How long hold and release wait for the reader to take in the events already waiting.
DRAIN_TIMEOUT = 1.0
# How long the compositor may take to hand over its keymap.
KEYMAP_TIMEOUT = 2.0
# The largest keymap taken from the compositor (a keymap has some 100 kB at most).
KEYMAP_LIMIT = 16 << 20
# The bytes read from a device at once: whole events.
READ_SIZE = EVENT.size * 64


class NoAccess(Exception):
    """The capture cannot run: no keyboard device can be read, or no libxkbcommon."""


# libxkbcommon, through ctypes --------------------------------------------------------------

NO_ENVIRONMENT_NAMES = 2  # XKB_CONTEXT_NO_ENVIRONMENT_NAMES: the names are given explicitly
FORMAT_TEXT_V1 = 1
KEY_UP, KEY_DOWN = 0, 1
MODS_DEPRESSED, MODS_LATCHED, MODS_LOCKED, MODS_EFFECTIVE = 1, 2, 4, 8
LAYOUT_DEPRESSED, LAYOUT_LATCHED, LAYOUT_LOCKED = 16, 32, 64
# The real modifiers that make a key press a shortcut: Ctrl, Alt and Super.
SHORTCUT_MODIFIERS = (b"Control", b"Mod1", b"Mod4")


class _RuleNames(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_char_p) for name in ("rules", "model", "layout", "variant", "options")
    ]


_libraries = {}


def _library():
    """libxkbcommon with the signatures of the functions used here; raises NoAccess without it."""
    if "xkb" in _libraries:
        return _libraries["xkb"]
    try:
        xkb = ctypes.CDLL("libxkbcommon.so.0")
    except OSError:
        raise NoAccess(NO_LIBRARY) from None
    pointer, u32, integer, text = ctypes.c_void_p, ctypes.c_uint32, ctypes.c_int, ctypes.c_char_p
    signatures = {
        "xkb_context_new": (pointer, [integer]),
        "xkb_context_unref": (None, [pointer]),
        "xkb_keymap_new_from_names": (pointer, [pointer, ctypes.POINTER(_RuleNames), integer]),
        "xkb_keymap_new_from_buffer": (
            pointer,
            [pointer, text, ctypes.c_size_t, integer, integer],
        ),
        "xkb_keymap_get_as_string": (pointer, [pointer, integer]),
        "xkb_keymap_unref": (None, [pointer]),
        "xkb_keymap_min_keycode": (u32, [pointer]),
        "xkb_keymap_max_keycode": (u32, [pointer]),
        "xkb_keymap_key_get_syms_by_level": (
            integer,
            [pointer, u32, u32, u32, ctypes.POINTER(ctypes.POINTER(u32))],
        ),
        "xkb_state_new": (pointer, [pointer]),
        "xkb_state_unref": (None, [pointer]),
        "xkb_state_update_key": (integer, [pointer, u32, integer]),
        "xkb_state_key_get_one_sym": (u32, [pointer, u32]),
        "xkb_state_key_get_utf32": (u32, [pointer, u32]),
        "xkb_state_mod_name_is_active": (integer, [pointer, text, integer]),
        "xkb_keymap_mod_get_index": (u32, [pointer, text]),
        "xkb_state_serialize_mods": (u32, [pointer, integer]),
        "xkb_state_serialize_layout": (u32, [pointer, integer]),
        "xkb_state_update_mask": (integer, [pointer, u32, u32, u32, u32, u32, u32]),
        "xkb_keysym_from_name": (u32, [text, integer]),
        "xkb_keysym_get_name": (integer, [u32, text, ctypes.c_size_t]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(xkb, name)
        function.restype, function.argtypes = result, arguments
    libc = ctypes.CDLL(None)
    libc.free.restype, libc.free.argtypes = None, [pointer]
    _libraries["xkb"], _libraries["c"] = xkb, libc
    return xkb


def keymap_from_names(layout="", variant="", options="", model=""):
    """The text of the keymap that the RMLVO names describe (empty: the library's default, a
    US keyboard); raises ValueError for names that make no keymap."""
    xkb = _library()
    context = xkb.xkb_context_new(NO_ENVIRONMENT_NAMES)
    if not context:
        raise MemoryError("libxkbcommon made no context")
    try:
        names = _RuleNames(
            None, model.encode(), layout.encode(), variant.encode(), options.encode()
        )
        keymap = xkb.xkb_keymap_new_from_names(context, ctypes.byref(names), 0)
        if not keymap:
            raise ValueError(f"no keymap for layout {layout!r}, variant {variant!r}")
        try:
            serialised = xkb.xkb_keymap_get_as_string(keymap, FORMAT_TEXT_V1)
            if not serialised:
                raise MemoryError("libxkbcommon wrote no keymap")
            try:
                return ctypes.string_at(serialised).decode()
            finally:
                _libraries["c"].free(serialised)
        finally:
            xkb.xkb_keymap_unref(keymap)
    finally:
        xkb.xkb_context_unref(context)


# A keymap from the compositor is compiled first in a child process, within these limits: a
# keymap that the library cannot handle (it ends the process on some key codes, and sizes its
# tables by the largest key code and shift level declared) then ends the child, not the host.
TRIAL_MEMORY = 256 << 20
TRIAL_TIMEOUT = 10.0
# The limit counts from what the interpreter has mapped when the trial starts, which differs
# much between builds (a runtime that reserves address space up front has terabytes).
_TRIAL = """
import resource, sys
with open("/proc/self/status") as status:
    mapped = next(int(line.split()[1]) << 10 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (mapped + {memory}, mapped + {memory}))
from velmora.host import evdev
evdev._Keyboard(sys.stdin.buffer.read().decode()).close()
"""


def tried_keyboard(text):
    """The keyboard of the compositor's keymap ``text``, once a child process has compiled it
    within TRIAL_MEMORY and TRIAL_TIMEOUT. Raises ValueError when it is refused."""
    data = text.rstrip("\0").encode()
    if len(data) > KEYMAP_LIMIT:
        raise ValueError(f"the keymap is refused: {len(data)} bytes, more than {KEYMAP_LIMIT}")
    package = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    try:
        trial = subprocess.run(
            [sys.executable, "-c", _TRIAL.format(memory=TRIAL_MEMORY)],
            input=data,
            capture_output=True,
            timeout=TRIAL_TIMEOUT,
            env=dict(os.environ, PYTHONPATH=package),
            check=False,
        )
    except subprocess.TimeoutExpired:
        raise ValueError(
            f"the keymap is refused: not compiled within {TRIAL_TIMEOUT:g} s"
        ) from None
    if trial.returncode != 0:
        said = trial.stderr.decode(errors="replace").strip().splitlines()[-1:] or ["no message"]
        raise ValueError(
            f"the keymap is refused: compiling it ended with status {trial.returncode} ({said[0]})"
        )
    return _Keyboard(text)


class _Keyboard:
    """A compiled keymap and the state of the keys held on it."""

    def __init__(self, text):
        data = text.rstrip("\0").encode()
        xkb = self.xkb = _library()
        self.context = xkb.xkb_context_new(NO_ENVIRONMENT_NAMES)
        if not self.context:
            raise MemoryError("libxkbcommon made no context")
        self.keymap = xkb.xkb_keymap_new_from_buffer(
            self.context, data, len(data), FORMAT_TEXT_V1, 0
        )
        self.state = xkb.xkb_state_new(self.keymap) if self.keymap else None
        if not self.state:
            self.close()
            raise ValueError("the keymap cannot be compiled")
        # The codes a device can send, of those the keymap has.
        self.keycodes = range(
            xkb.xkb_keymap_min_keycode(self.keymap),
            min(xkb.xkb_keymap_max_keycode(self.keymap) + 1, KEY_COUNT + XKB_OFFSET),
        )
        modifiers = {xkb.xkb_keysym_from_name(name.encode(), 0) for name in xserver.MODIFIER_KEYS}
        # Keys whose first symbol of the first layout only modifies others, as on X11.
        self.modifiers = {code for code in self.keycodes if self._first_symbol(code) in modifiers}

    def _first_symbol(self, keycode):
        symbols = ctypes.POINTER(ctypes.c_uint32)()
        count = self.xkb.xkb_keymap_key_get_syms_by_level(
            self.keymap, keycode, 0, 0, ctypes.byref(symbols)
        )
        return symbols[0] if count > 0 else 0

    def update(self, keycode, down):
        self.xkb.xkb_state_update_key(self.state, keycode, KEY_DOWN if down else KEY_UP)

    def keysym(self, keycode):
        return self.xkb.xkb_state_key_get_one_sym(self.state, keycode)

    def character(self, keycode):
        """The character the key types in the current state, or None."""
        code = self.xkb.xkb_state_key_get_utf32(self.state, keycode)
        if not code or code > 0x10FFFF or 0xD800 <= code < 0xE000:
            return None
        return chr(code)

    def shortcut(self):
        """Whether Ctrl, Alt or Super is in effect."""
        return any(
            self.xkb.xkb_state_mod_name_is_active(self.state, name, MODS_EFFECTIVE) == 1
            for name in SHORTCUT_MODIFIERS
        )

    def name(self, keysym):
        buffer = ctypes.create_string_buffer(64)
        if self.xkb.xkb_keysym_get_name(keysym, buffer, len(buffer)) <= 0:
            return None
        return buffer.value.decode(errors="replace")

    def set_locks(self, caps, num):
        """Locks or unlocks Caps Lock and Num Lock (their modifiers Lock and Mod2), keeping
        the rest of the state."""
        xkb, state = self.xkb, self.state
        locked = xkb.xkb_state_serialize_mods(state, MODS_LOCKED)
        for name, on in ((b"Lock", caps), (b"Mod2", num)):
            index = xkb.xkb_keymap_mod_get_index(self.keymap, name)
            if index < 32:
                locked = locked | 1 << index if on else locked & ~(1 << index)
        xkb.xkb_state_update_mask(
            state,
            xkb.xkb_state_serialize_mods(state, MODS_DEPRESSED),
            xkb.xkb_state_serialize_mods(state, MODS_LATCHED),
            locked,
            xkb.xkb_state_serialize_layout(state, LAYOUT_DEPRESSED),
            xkb.xkb_state_serialize_layout(state, LAYOUT_LATCHED),
            xkb.xkb_state_serialize_layout(state, LAYOUT_LOCKED),
        )

    def close(self):
        for free, pointer in (
            (self.xkb.xkb_state_unref, getattr(self, "state", None)),
            (self.xkb.xkb_keymap_unref, getattr(self, "keymap", None)),
            (self.xkb.xkb_context_unref, getattr(self, "context", None)),
        ):
            if pointer:
                free(pointer)
        self.state = self.keymap = self.context = None


# The session's keymap ------------------------------------------------------------------------


def _roundtrip(display, timeout):
    """Waits until the compositor has answered every request sent; False when it did not in
    ``timeout`` seconds or closed the connection."""
    done = []
    callback = display.sync()
    callback.dispatcher["done"] = lambda proxy, data: done.append(data)
    deadline = time.monotonic() + timeout
    while not done:
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            return False
        display.flush()
        readable, _, _ = select.select([display.get_fd()], [], [], min(remaining, 0.05))
        try:
            if readable:
                display.dispatch(block=True)
        except RuntimeError:  # the library's word for a connection closed
            return False
    return True


def compositor_keymap(name=None, timeout=KEYMAP_TIMEOUT):
    """The keymap text that the Wayland compositor ``name`` (default: $WAYLAND_DISPLAY) gives
    its clients' keyboards, or None when it gives none or cannot be reached."""
    from pywayland.client import Display
    from pywayland.protocol.wayland import WlSeat

    display = Display(name)
    try:
        display.connect()
    except ValueError:
        return None
    seats, keymaps, proxies = [], [], []

    def announced(registry, number, interface, version):
        if interface == "wl_seat":
            seats.append(number)

    def keymap(keyboard, kind, fd, size):
        keymaps.append((kind, fd, size))

    try:
        registry = display.get_registry()
        proxies.append(registry)
        registry.dispatcher["global"] = announced
        if not _roundtrip(display, timeout) or not seats:
            return None
        seat = registry.bind(seats[0], WlSeat, 1)
        keyboard = seat.get_keyboard()
        proxies += [seat, keyboard]
        keyboard.dispatcher["keymap"] = keymap
        _roundtrip(display, timeout)
    finally:
        # Proxies left to the collector would be freed after their display, and crash.
        for proxy in reversed(proxies):
            proxy.destroy()
        display.disconnect()
    text = None
    for kind, fd, size in keymaps:
        try:
            if kind == FORMAT_TEXT_V1 and size > 0 and text is None:
                text = _read_keymap(fd, min(size, KEYMAP_LIMIT + 1)).rstrip(b"\0").decode()
        except (OSError, ValueError, UnicodeDecodeError) as error:
            log.debug("the compositor's keymap cannot be read: %s", error)
        finally:
            os.close(fd)
    return text


def _read_keymap(fd, size):
    """The first ``size`` bytes of the file ``fd``, fewer where it is shorter. Read, not
    mapped: a file that its owner cuts short while it is read gives short text, where a
    mapping would kill the process on touching the missing pages."""
    data = bytearray()
    while len(data) < size:
        chunk = os.pread(fd, size - len(data), len(data))
        if not chunk:
            break
        data += chunk
    return bytes(data)


def keymap_names():
    """The RMLVO names of the session's keyboard: (layout, variant, options, model) from
    ``XKB_DEFAULT_*`` in the environment, else from /etc/default/keyboard, else empty."""
    keys = ("LAYOUT", "VARIANT", "OPTIONS", "MODEL")
    if os.environ.get("XKB_DEFAULT_LAYOUT"):
        return tuple(os.environ.get(f"XKB_DEFAULT_{key}", "") for key in keys)
    found = {}
    try:
        with open(KEYBOARD_DEFAULTS, encoding="utf-8") as lines:
            for line in lines:
                match = re.match(r"\s*XKB(LAYOUT|VARIANT|OPTIONS|MODEL)=(.*)", line)
                if match:
                    found[match[1]] = match[2].strip().strip("\"'")
    except (OSError, UnicodeDecodeError):
        pass
    return tuple(found.get(key, "") for key in keys)


def _compositors_keymap():
    """The compositor's keymap text, or None outside Wayland or when it gives none."""
    if not os.environ.get("WAYLAND_DISPLAY"):
        return None
    try:
        text = compositor_keymap()
    except Exception as error:  # no pywayland, a broken connection: the names follow
        log.debug("no keymap from the compositor: %s", error)
        text = None
    if not text:
        log.info("the compositor gave no keymap; the layout's names are used")
    return text


def _names_keymap():
    """The keymap text of ``keymap_names``, else of a US keyboard."""
    names = keymap_names()
    try:
        return keymap_from_names(*names)
    except ValueError:
        log.warning("no keymap for the layout %r; a US keyboard is assumed", names)
        return keymap_from_names()


def session_keymap():
    """The keymap text of the session: the compositor's, else the one of ``keymap_names``."""
    return _compositors_keymap() or _names_keymap()


def session_keyboard():
    """The session's keyboard: the compositor's keymap, else (none given, refused or not
    compiled) the one of ``keymap_names``. Raises NoAccess when no keymap compiles."""
    text = _compositors_keymap()
    if text:
        try:
            return tried_keyboard(text)
        except ValueError as error:
            log.warning("the compositor's keymap is not used (%s); the layout's is", error)
    try:
        return _Keyboard(_names_keymap())
    except ValueError as error:
        log.debug("no keymap from the layout's names: %s", error)
        raise NoAccess(NO_KEYMAP) from None


# The devices ---------------------------------------------------------------------------------


def _ioctl_read(number, size):
    """The request number of EVIOC... reading ``size`` bytes (_IOR('E', number, size))."""
    return (2 << 30) | (size << 16) | (ord("E") << 8) | number


def _bits(fd, number, count):
    """The set bits of a bit array of ``count`` bits that the ioctl ``number`` fills (the kernel
    writes it as an array of unsigned longs)."""
    width = ctypes.sizeof(ctypes.c_ulong) * 8
    words = (ctypes.c_ulong * ((count + width - 1) // width))()
    fcntl.ioctl(fd, _ioctl_read(number, ctypes.sizeof(words)), words, True)
    return {bit for bit in range(count) if words[bit // width] >> (bit % width) & 1}


def _kind(fd):
    """ "keyboard", "pointer" (a device with a left button) or None."""
    try:
        if EV_KEY not in _bits(fd, 0x20, 32):  # EVIOCGBIT(0): the event types
            return None
        keys = _bits(fd, 0x20 + EV_KEY, KEY_COUNT)  # EVIOCGBIT(EV_KEY)
    except OSError:
        return None
    if keys.issuperset(LETTERS):
        return "keyboard"
    return "pointer" if CLICKS[0] in keys else None


def _held_keys(fd):
    """The keys that the device reports down now (EVIOCGKEY), or None if it cannot tell."""
    try:
        return _bits(fd, 0x18, KEY_COUNT)
    except OSError:
        return None


def _lights(fd):
    """The LEDs that the device has on now (EVIOCGLED), or None if it has none or cannot
    tell."""
    try:
        if EV_LED not in _bits(fd, 0x20, 32):
            return None
        return _bits(fd, 0x19, 16)
    except OSError:
        return None


def _open(path):
    return os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_CLOEXEC)


def _identity(fd):
    """What tells the device open on ``fd`` from others, whatever path opened it."""
    try:
        status = os.fstat(fd)
    except OSError:
        return "fd", fd
    if stat.S_ISCHR(status.st_mode):
        return "device", status.st_rdev
    return "file", status.st_dev, status.st_ino


def _unique(opened):
    """``opened`` without a device opened a second time (closed): each open file of a device
    receives every event, so a device read twice would give every key twice."""
    unique, seen = [], set()
    for path, fd in opened:
        identity = _identity(fd)
        if identity in seen:
            log.info("input device %s is read once, under an earlier name", path)
            os.close(fd)
        else:
            seen.add(identity)
            unique.append((path, fd))
    return unique


def _find_devices(pattern):
    """(path, fd) of each readable keyboard and pointer device; NoAccess without a keyboard."""
    found, keyboards = [], 0
    for path in sorted(glob.glob(pattern), key=lambda path: (len(path), path)):
        try:
            fd = _open(path)
        except OSError:
            continue
        kind = _kind(fd)
        if kind is None:
            os.close(fd)
            continue
        keyboards += kind == "keyboard"
        found.append((path, fd))
    if not keyboards:
        for _, fd in found:
            os.close(fd)
        raise NoAccess(NO_ACCESS)
    return found


def open_capture(house, words=capture.WORD_CHARACTERS, devices=None, keymap=None):
    """A capture, not started yet, that keeps ``house.pressed_chars`` equal to the word being
    typed. ``devices``: the event device paths to read (a FIFO of recorded events will do);
    None for every readable keyboard (and pointer, for its clicks) under /dev/input.
    ``keymap``: keymap text; None for the session's (``session_keyboard``). Raises NoAccess
    when no device can be read or no keymap compiles, and ValueError for a ``keymap`` that is
    refused or does not compile."""
    if devices is None:
        opened = _find_devices(DEVICES)
    else:
        opened = []
        for path in devices:
            try:
                opened.append((str(path), _open(path)))
            except OSError as error:
                for _, fd in opened:
                    os.close(fd)
                raise NoAccess(f"{path} cannot be read ({error.strerror}){GRANT}") from None
        if not opened:
            raise NoAccess(NO_ACCESS)
    opened, keyboard = _unique(opened), None
    try:
        keyboard = session_keyboard() if keymap is None else _Keyboard(keymap)
        return EvdevCapture(house, words, opened, keyboard)
    except BaseException:
        for _, fd in opened:
            os.close(fd)
        if keyboard is not None:
            keyboard.close()
        raise


class _Device:
    def __init__(self, path, fd):
        self.path, self.fd = path, fd
        self.pending = bytearray()  # the start of an event not read whole yet
        self.down = set()  # evdev codes of the keys held on this device
        self.dropping = False  # after SYN_DROPPED, until the next SYN_REPORT


class EvdevCapture(capture.Word):
    """Keeps ``house.pressed_chars`` equal to the word being typed on the input devices."""

    def __init__(self, house, words, devices, keyboard):
        super().__init__(house, words)
        self.keyboard = keyboard
        self._devices = [_Device(path, fd) for path, fd in devices]
        self.down = collections.Counter()  # evdev code -> the devices that hold it
        self.lock = threading.Condition()
        self.held = False
        self.asked = []  # what hold and release apply once the waiting events are read
        self.ended = None  # (word, time) of a key press that may be the hotkey of an action
        self.stopping = False
        self.wake, self.waker = os.pipe2(os.O_NONBLOCK | os.O_CLOEXEC)
        self.thread = threading.Thread(target=self._run, name="velmora-evdev", daemon=True)
        # Keys held and locks on when the capture starts; a recording tells neither.
        self._take_locks()
        for device in self._devices:
            self._take_keys(device)

    @property
    def devices(self):
        """The paths of the devices read."""
        with self.lock:
            return [device.path for device in self._devices]

    def start(self):
        self.thread.start()

    # Holding while an action runs -------------------------------------------------------------

    def hold(self):
        """Stops recording key presses and clicks, once the events already waiting are in."""
        self._after_waiting_events(self._hold)

    def release(self):
        """Records again the events that come after the ones already waiting."""
        self._after_waiting_events(self._release)

    def wait_released(self, timeout):
        """True once no modifier key is held on any device, False after ``timeout`` seconds."""
        modifiers = self.keyboard.modifiers
        with self.lock:
            return self.lock.wait_for(
                lambda: not any(code + XKB_OFFSET in modifiers for code in self.down), timeout
            )

    def _hold(self):
        if self.ended is not None and time.monotonic() - self.ended[1] <= HOTKEY_DELAY:
            self._set(self.ended[0], "the action's hotkey")
        self.ended = None
        self.held = True

    def _release(self):
        self.held = False

    def _after_waiting_events(self, apply):
        with self.lock:
            self.asked.append(apply)
            if self.thread.is_alive():
                try:
                    os.write(self.waker, b"!")
                except BlockingIOError:  # a wake-up is already on its way
                    pass
                self.lock.wait_for(lambda: apply not in self.asked, DRAIN_TIMEOUT)
            if apply in self.asked:  # the reader does not run: nothing waits for it
                self.asked.remove(apply)
                apply()

    # Reading ----------------------------------------------------------------------------------

    def _run(self):
        poller = select.poll()
        poller.register(self.wake, select.POLLIN)
        with self.lock:
            for device in self._devices:
                poller.register(device.fd, select.POLLIN)
        try:
            while not self.stopping:
                self._pump(poller, None)
                if self.asked and not self.stopping:
                    while self._pump(poller, 0):
                        pass
                    with self.lock:
                        for apply in self.asked:
                            apply()
                        self.asked.clear()
                        self.lock.notify_all()
        except Exception as error:  # the host goes on without capture
            log.error("typed-character capture stopped: %s: %s", type(error).__name__, error)

    def _pump(self, poller, timeout):
        """Reads every device that has events; True if one had."""
        read = False
        for fd, _ in poller.poll(timeout):
            if fd == self.wake:
                while True:
                    try:
                        if not os.read(self.wake, 64):
                            break
                    except BlockingIOError:
                        break
                continue
            with self.lock:
                device = next((each for each in self._devices if each.fd == fd), None)
            if device is not None:
                read = self._read(device, poller) or read
        return read

    def _read(self, device, poller):
        try:
            data = os.read(device.fd, READ_SIZE)
        except BlockingIOError:
            return False
        except OSError as error:
            self._drop(device, poller, error.strerror)
            return False
        if not data:
            self._drop(device, poller, "no more events")
            return False
        device.pending += data
        whole = len(device.pending) - len(device.pending) % EVENT.size
        events = list(EVENT.iter_unpack(device.pending[:whole]))
        del device.pending[:whole]
        with self.lock:
            for _, _, kind, code, value in events:
                try:
                    self._event(device, kind, code, value)
                except Exception as error:  # one event lost; the reading goes on
                    log.error("typed-character capture: %s: %s", type(error).__name__, error)
            self.lock.notify_all()
        return True

    def _drop(self, device, poller, why):
        poller.unregister(device.fd)
        with self.lock:
            self._devices.remove(device)
            for code in list(device.down):
                self._key_up(device, code)
            self.lock.notify_all()
        os.close(device.fd)
        log.warning("input device %s dropped (%s); %d left", device.path, why, len(self._devices))

    # The events -------------------------------------------------------------------------------

    def _event(self, device, kind, code, value):
        if kind == EV_SYN:
            if code == SYN_DROPPED:
                device.dropping = True
            elif code == SYN_REPORT and device.dropping:
                device.dropping = False
                self._resync(device)
            return
        if kind != EV_KEY or device.dropping:
            return
        if any(code in buttons for buttons in BUTTONS):
            if code in CLICKS and value == KEY_PRESS and not self.held:
                self.ended = None
                self.clear("click")
            return
        keycode = code + XKB_OFFSET
        if keycode not in self.keyboard.keycodes:
            return
        if value == KEY_RELEASE:
            if code in device.down:
                self._key_up(device, code)
            return
        if value not in (KEY_PRESS, KEY_REPEAT):
            return
        if not self.held:
            self._typed(keycode, value == KEY_PRESS and code not in device.down)
        if code not in device.down:
            self._key_down(device, code)

    def _typed(self, keycode, pressed):
        """Applies the word rules to a key press (or repeat), in the state before it."""
        keyboard = self.keyboard
        if keycode in keyboard.modifiers:
            return
        keysym, shortcut, before = (
            keyboard.keysym(keycode),
            keyboard.shortcut(),
            self.house.pressed_chars,
        )
        self.key(keysym, keyboard.character(keycode), shortcut, name=keyboard.name(keysym))
        if pressed or self.house.pressed_chars != before:
            hotkey = shortcut or any(keysym in keys for keys in FUNCTION_KEYS)
            self.ended = (before, time.monotonic()) if pressed and hotkey else None

    def _key_down(self, device, code):
        device.down.add(code)
        if not self.down[code]:
            self.keyboard.update(code + XKB_OFFSET, True)
        self.down[code] += 1

    def _key_up(self, device, code):
        device.down.discard(code)
        self.down[code] -= 1
        if self.down[code] <= 0:
            del self.down[code]
            self.keyboard.update(code + XKB_OFFSET, False)

    def _resync(self, device):
        """After lost events: ends the word, and takes the keys held and the locks from the
        devices again."""
        self.ended = None
        self.clear("input events lost")
        self._take_keys(device)
        self._take_locks()

    def _take_locks(self):
        """Caps Lock and Num Lock as the keyboards' lights show them: the compositor sets the
        lights of every keyboard to its own state."""
        lights = [_lights(device.fd) for device in self._devices]
        lights = [on for on in lights if on is not None]
        if lights:
            caps, num = (any(light in on for on in lights) for light in (LED_CAPSL, LED_NUML))
            self.keyboard.set_locks(caps, num)

    def _take_keys(self, device):
        """Takes the keys held from the device (a recording cannot tell: its keys count as
        released)."""
        now = _held_keys(device.fd) or set()
        for code in device.down - now:
            self._key_up(device, code)
        for code in sorted(now - device.down):
            if code + XKB_OFFSET in self.keyboard.keycodes and not any(
                code in buttons for buttons in BUTTONS
            ):
                self._key_down(device, code)

    # Ending -----------------------------------------------------------------------------------

    def stop(self):
        """Ends the reading and closes the devices."""
        with self.lock:
            if self.stopping and self.wake is None:
                return
            self.stopping = True
        try:
            os.write(self.waker, b"!")
        except OSError:
            pass
        if self.thread.is_alive():
            self.thread.join(timeout=2.0)
        with self.lock:
            devices, self._devices = self._devices, []
        for device in devices:
            os.close(device.fd)
        os.close(self.wake)
        os.close(self.waker)
        self.wake = self.waker = None
        if not self.thread.is_alive():  # else the reader may still use the keyboard state
            self.keyboard.close()
