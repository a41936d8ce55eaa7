"""Typed-character capture: what the user types into any window, kept in ``pressed_chars``.

The X server's RECORD extension copies every key press and button press to this client, on a
connection of its own that a thread of the host reads; no device file and no root are needed.
The rules, for each key press:

- a key that only modifies others (Shift, Ctrl, Caps Lock, ...) changes nothing;
- a printable character other than white space is appended (at most ``LIMIT`` are kept);
- Backspace removes the last character;
- any other key (Return, Escape, space, Tab, arrows, a key pressed with Ctrl, Alt or Super)
  ends the word: the record is cleared;
- a click (buttons 1 to 3) and a change of the focused window clear it too (the focus is
  compared at each key press).

While a hotkey's action runs, the capture is held: the keys the action sends, and any the user
presses meanwhile, are not recorded; the modules reset the record themselves. ``hold`` and
``release`` mark that span by X server times, so events that arrive late are judged by when
they happened, not by when the thread sees them.
"""

import logging
import threading

from velmora.host import xserver

LIMIT = 64

log = logging.getLogger("velmora-host")


def _not_before(time, since):
    """True when the X time ``time`` is ``since`` or later (the 32-bit clock wraps)."""
    return (time - since) & 0xFFFFFFFF < 0x80000000


def character(keysym):
    """The character a key symbol types, or None for a key that types none."""
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if keysym & 0xFF000000 == 0x01000000:
        return chr(keysym & 0x00FFFFFF)
    return None


def between(time, start, end):
    """True when the X time ``time`` lies from ``start`` to ``end``, both included."""
    return _not_before(time, start) and _not_before(end, time)


class Capture:
    """Keeps ``house.pressed_chars`` equal to the word being typed, on the display ``name``."""

    def __init__(self, house, is_hotkey, name=None):
        from Xlib import XK, X
        from Xlib.ext import record

        self.house = house
        self.is_hotkey = is_hotkey  # a key press the host takes as a hotkey types nothing
        self.control = xserver.open_display(name)  # queries, and the requests that stop it
        if not self.control.has_extension("RECORD"):
            self.control.close()
            raise xserver.HostError("the X server has no RECORD extension: typed text is not seen")
        self.data = xserver.open_display(name, round_trips=False)  # waits in the recording
        self.masks = xserver.modifier_masks(self.control)
        self.modifier_keysyms = {XK.string_to_keysym(key) for key in xserver.MODIFIER_KEYS}
        self.context = self.control.record_create_context(
            0,
            [record.AllClients],
            [
                {
                    "core_requests": (0, 0),
                    "core_replies": (0, 0),
                    "ext_requests": (0, 0, 0, 0),
                    "ext_replies": (0, 0, 0, 0),
                    "delivered_events": (0, 0),
                    "device_events": (X.KeyPress, X.ButtonPress),
                    "errors": (0, 0),
                    "client_started": False,
                    "client_died": False,
                }
            ],
        )
        self.control.sync()
        self.lock = threading.Condition()
        self.latest = None  # the X time of the last event seen
        self.held_since = None
        self.held_until = None
        self.focus = None
        self.thread = threading.Thread(target=self._run, name="velmora-capture", daemon=True)

    def start(self):
        self.thread.start()

    def _run(self):
        try:
            self.data.record_enable_context(self.context, self._on_data)
        except Exception as error:  # the connection broke: the host goes on without capture
            log.error("typed-character capture stopped: %s", error)

    # Holding while an action runs -------------------------------------------------------------

    def hold(self, since, timeout=1.0):
        """Stops recording events from the X time ``since`` on, once every earlier event is in."""
        with self.lock:
            self.lock.wait_for(
                lambda: self.latest is not None and _not_before(self.latest, since), timeout
            )
            self.held_since, self.held_until = since, None

    def release(self, until):
        """Records again the events that come after the X time ``until``."""
        with self.lock:
            self.held_until = until

    def _held(self, time):
        if self.held_since is None or not _not_before(time, self.held_since):
            return False
        if self.held_until is None or between(time, self.held_since, self.held_until):
            return True
        self.held_since = self.held_until = None
        return False

    # The recorded events --------------------------------------------------------------------

    def _on_data(self, reply):
        from Xlib.ext import record
        from Xlib.protocol import rq

        if reply.category != record.FromServer or reply.client_swapped or not len(reply.data):
            return
        data = reply.data
        while len(data):
            event, data = rq.EventField(None).parse_binary_value(
                data, self.data.display, None, None
            )
            with self.lock:
                try:
                    if not self._held(event.time):
                        self._event(event)
                except Exception as error:  # one event lost; the recording goes on
                    log.error("typed-character capture: %s: %s", type(error).__name__, error)
                self.latest = event.time
                self.lock.notify_all()

    def _event(self, event):
        from Xlib import XK, X

        if event.type == X.ButtonPress:
            if event.detail in (1, 2, 3):
                self._set("", "click")
            return
        if event.type != X.KeyPress or self.is_hotkey(event):
            return
        self._refresh_keymap()
        focus = self.control.get_input_focus().focus
        focus = getattr(focus, "id", focus)
        if focus != self.focus:
            self.focus = focus
            self._set("", "focus change")
        keysym = self.control.keycode_to_keysym(event.detail, 0)
        if keysym in self.modifier_keysyms:
            return
        shortcut = self.masks["ctrl"] | self.masks["alt"] | self.masks["super"]
        typed = self.house.pressed_chars
        if event.state & shortcut:
            self._set("", "shortcut")
        elif keysym == XK.XK_BackSpace:
            self._set(typed[:-1], "backspace")
        else:
            char = self._character(event)
            if char is not None and char.isprintable() and not char.isspace():
                self._set((typed + char)[-LIMIT:], "typed")
            else:
                self._set("", xserver.keysym_name(keysym) or f"key {event.detail}")

    def _character(self, event):
        """The character of a key press, from its key and the Shift, Caps Lock and AltGr state."""
        shifted = bool(event.state & self.masks["shift"])
        base = 4 if self.masks["level3"] and event.state & self.masks["level3"] else 0
        keysym = self.control.keycode_to_keysym(event.detail, base + shifted)
        if not keysym and shifted:
            keysym = self.control.keycode_to_keysym(event.detail, base)
        if not keysym and base:
            keysym = self.control.keycode_to_keysym(event.detail, shifted)
        char = character(keysym)
        if char is not None and event.state & self.masks["caps"] and char.isalpha():
            char = char.lower() if shifted else char.upper()
        return char

    def _refresh_keymap(self):
        from Xlib.protocol import event as xevent

        while self.control.pending_events():
            received = self.control.next_event()
            if isinstance(received, xevent.MappingNotify):
                self.control.refresh_keyboard_mapping(received)

    def _set(self, typed, why):
        if typed != self.house.pressed_chars:
            self.house.pressed_chars = typed
            log.debug("typed characters: %d (%s)", len(typed), why)

    def stop(self):
        """Ends the recording and closes both connections."""
        try:
            self.control.record_disable_context(self.context)
            self.control.sync()
            self.thread.join(timeout=2.0)
            self.control.record_free_context(self.context)
            self.control.sync()
        except Exception as error:
            log.debug("stopping the capture: %s", error)
        finally:
            for connection in (self.control, self.data):
                try:
                    connection.close()
                except Exception:
                    pass
