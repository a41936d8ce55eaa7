"""The host's own X connection: global hotkeys, one host per display, and pressing combinations.

Hotkeys are passive key grabs on the root window. A grab matches the modifier state exactly,
so each hotkey is grabbed once for every combination of the lock modifiers (Caps Lock, Num
Lock, Scroll Lock): the hotkey works whatever lights are on. The host owns the selection
``SELECTION`` while it runs; a second host finds it owned and refuses to start. Everything the
host holds on the server (grabs, selection, window) goes away with this connection.
"""

import collections
import itertools
import time

from velmora.host import combos

SELECTION = "_VELMORA_HOST"

# Names of the key symbols whose keys only modify others; the capture ignores them.
MODIFIER_KEYS = {
    "Shift_L",
    "Shift_R",
    "Control_L",
    "Control_R",
    "Alt_L",
    "Alt_R",
    "Meta_L",
    "Meta_R",
    "Super_L",
    "Super_R",
    "Hyper_L",
    "Hyper_R",
    "ISO_Level3_Shift",
    "ISO_Level5_Shift",
    "Mode_switch",
    "Caps_Lock",
    "Shift_Lock",
    "Num_Lock",
    "Scroll_Lock",
}
# How long a hotkey's action waits for the user to let go of the hotkey's key and of every
# modifier key; an action that types is cancelled when they are still down then.
RELEASE_TIMEOUT = 3.0


class HostError(RuntimeError):
    """The X server cannot give the host what it needs."""


class AlreadyRunning(HostError):
    """Another host owns the display."""


def open_display(name=None, round_trips=True):
    """A connection with the platform layer's deadlines: a server that accepts and never
    answers fails the opening (and, unless ``round_trips`` is False, any request) within
    seconds instead of blocking the host."""
    from velmora._platform import x11

    try:
        return x11.open_display(name, round_trips)
    except x11.DesktopError as error:
        raise HostError(str(error)) from error


def modifier_masks(display):
    """Masks of the named modifiers on this server: ctrl, shift, alt, super, and the locks."""
    from Xlib import XK, X

    masks = {
        "ctrl": X.ControlMask,
        "shift": X.ShiftMask,
        "caps": X.LockMask,
        "alt": 0,
        "super": 0,
        "num": 0,
        "scroll": 0,
        "level3": 0,
    }
    wanted = {
        "Alt_L": "alt",
        "Alt_R": "alt",
        "Meta_L": "alt",
        "Super_L": "super",
        "Super_R": "super",
        "Num_Lock": "num",
        "Scroll_Lock": "scroll",
        "ISO_Level3_Shift": "level3",
        "Mode_switch": "level3",
    }
    wanted = {XK.string_to_keysym(name): key for name, key in wanted.items()}
    for index, keycodes in enumerate(display.get_modifier_mapping()):
        if index < 3:  # Shift, Lock, Control
            continue
        for keycode in keycodes:
            for level in range(2):
                key = wanted.get(display.keycode_to_keysym(keycode, level))
                if key and not masks[key]:
                    masks[key] = 1 << index
    masks["alt"] = masks["alt"] or X.Mod1Mask
    masks["super"] = masks["super"] or X.Mod4Mask
    return masks


_names = {}


def keysym_name(keysym):
    """An X name of ``keysym`` ("Shift_L"), for messages; None if it has none."""
    from Xlib import XK

    if not _names:
        for name in dir(XK):
            if name.startswith("XK_"):
                _names.setdefault(getattr(XK, name), name[3:])
    return _names.get(keysym)


class Grab:
    """One hotkey's key and modifiers as grabbed on this server."""

    def __init__(self, combo, keycode, modifiers, variants, modifier_keycodes):
        self.combo = combo
        self.keycode = keycode
        self.modifiers = modifiers
        self.variants = variants  # the modifier states grabbed: with every mix of locks
        self.modifier_keycodes = modifier_keycodes  # the keys that hold those modifiers


class XHost:
    """The host's connection: the selection, the grabs, combinations pressed with XTest."""

    def __init__(self, name=None):
        from Xlib import X

        self.display = open_display(name)
        self.root = self.display.screen().root
        self.masks = modifier_masks(self.display)
        self.relevant = 0
        for key in ("ctrl", "shift", "alt", "super"):
            self.relevant |= self.masks[key]
        self.window = self.root.create_window(
            -10, -10, 1, 1, 0, X.CopyFromParent, event_mask=X.PropertyChangeMask
        )
        self.window.set_wm_name("velmora-host")
        self.grabs = []
        self.backlog = collections.deque()  # events read while waiting for another one

    def events(self):
        """The events received so far, in order; returns when there are no more for now."""
        while self.backlog or self.display.pending_events():
            yield self.backlog.popleft() if self.backlog else self.display.next_event()

    # One host per display ---------------------------------------------------------------------

    def claim(self):
        """Takes the host selection; raises AlreadyRunning when another host holds it."""
        atom = self.display.intern_atom(SELECTION)
        owner = self.display.get_selection_owner(atom)
        if owner:
            raise AlreadyRunning(
                f"another velmora-host is running on this display (window {owner.id:#x})"
            )
        self.window.set_selection_owner(atom, self.server_time())
        owner = self.display.get_selection_owner(atom)
        if getattr(owner, "id", None) != self.window.id:
            raise AlreadyRunning("another velmora-host started on this display at the same time")

    def server_time(self):
        """The X server's current time (from a property change on the host's window)."""
        from Xlib import X

        atom = self.display.intern_atom("_VELMORA_HOST_TIME")
        self.window.change_property(atom, atom, 8, b"", mode=X.PropModeAppend)
        self.display.flush()
        while True:
            event = self.display.next_event()
            if event.type == X.PropertyNotify and event.atom == atom:
                return event.time
            self.backlog.append(event)  # handled later, in order

    def wait_past(self, moment):
        """Waits until the X server's clock has passed ``moment`` (it counts milliseconds)."""
        while self.server_time() == moment:
            time.sleep(0.0005)

    # Hotkeys --------------------------------------------------------------------------------

    def _keycode(self, combo):
        """The keycode of ``combo``'s key and whether Shift is what reaches its symbol."""
        keycodes = sorted(self.display.keysym_to_keycodes(combo.keysym), key=lambda pair: pair[1])
        keycodes = [(keycode, index) for keycode, index in keycodes if index < 2]
        if not keycodes:
            raise HostError(f"{combo}: the keyboard has no key for {combo.key!r}")
        keycode, index = keycodes[0]
        return keycode, index == 1

    def _mods(self, combo, shifted):
        mods = 0
        for name in combo.modifiers:
            mods |= self.masks[name]
        return mods | (self.masks["shift"] if shifted else 0)

    def _modifier_keycodes(self, mods):
        keycodes = set()
        for index, row in enumerate(self.display.get_modifier_mapping()):
            if mods & (1 << index):
                keycodes.update(code for code in row if code)
        return keycodes

    def resolve(self, combo):
        """The keycode and modifier mask that ``combo`` is grabbed as; raises HostError."""
        keycode, shifted = self._keycode(combo)
        return keycode, self._mods(combo, shifted)

    def grab(self, combo):
        """Grabs ``combo`` on the root window; raises HostError when another client has it."""
        from Xlib import X, error

        keycode, mods = self.resolve(combo)
        locks = sorted({self.masks[key] for key in ("caps", "num", "scroll") if self.masks[key]})
        catcher = error.CatchError(error.BadAccess)
        variants = []
        for count in range(len(locks) + 1):
            for chosen in itertools.combinations(locks, count):
                variant = mods | sum(chosen)
                variants.append(variant)
                self.root.grab_key(
                    keycode, variant, False, X.GrabModeAsync, X.GrabModeAsync, onerror=catcher
                )
        self.display.sync()
        if catcher.get_error() is not None:
            for variant in variants:
                self.root.ungrab_key(keycode, variant)
            self.display.sync()
            raise HostError(f"{combo} is already taken by another program")
        grab = Grab(combo, keycode, mods, variants, self._modifier_keycodes(mods))
        self.grabs.append(grab)
        return grab

    def ungrab(self, grab):
        for variant in grab.variants:
            self.root.ungrab_key(grab.keycode, variant)
        self.grabs.remove(grab)
        self.display.sync()

    def ungrab_all(self):
        for grab in self.grabs:
            for variant in grab.variants:
                self.root.ungrab_key(grab.keycode, variant)
        self.grabs = []
        self.display.sync()

    def match(self, event):
        """The grab that a KeyPress event of this connection belongs to, or None."""
        for grab in self.grabs:
            if grab.keycode == event.detail and event.state & self.relevant == grab.modifiers:
                return grab
        return None

    def modifier_keycodes(self):
        """Every key that the server maps to a modifier (Shift, Ctrl, Alt, AltGr, the locks)."""
        return {code for row in self.display.get_modifier_mapping() for code in row if code}

    def wait_released(self, grab, timeout=RELEASE_TIMEOUT):
        """Waits until the hotkey's key (``grab``, None for none) and every modifier key are
        up; False if one is still held after ``timeout`` seconds. Text typed meanwhile would go
        out with the modifiers."""
        watched = {*self.modifier_keycodes(), *([grab.keycode] if grab is not None else [])}
        deadline = time.monotonic() + timeout
        while True:
            pressed = self.display.query_keymap()
            if not any(pressed[code // 8] & (1 << (code % 8)) for code in watched):
                return True
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)

    # Pressing combinations ------------------------------------------------------------------

    def press(self, text):
        """Presses the combination ``text`` ("alt+4") in the focused window, with XTest."""
        from Xlib import XK, X
        from Xlib.ext import xtest

        combo = combos.parse(text)
        keycode, shifted = self._keycode(combo)
        names = {"ctrl": "Control_L", "alt": "Alt_L", "shift": "Shift_L", "super": "Super_L"}
        held = list(combo.modifiers)
        if shifted and "shift" not in held:
            held.append("shift")
        codes = [self.display.keysym_to_keycode(XK.string_to_keysym(names[name])) for name in held]
        if not all(codes):
            raise HostError(f"{combo}: the keyboard lacks one of its modifier keys")
        for code in [*codes, keycode]:
            xtest.fake_input(self.display, X.KeyPress, code)
        for code in reversed([*codes, keycode]):
            xtest.fake_input(self.display, X.KeyRelease, code)
        self.display.sync()

    def close(self):
        try:
            self.display.close()
        except Exception:
            pass
