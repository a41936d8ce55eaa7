"""Typed-character capture: what the user types into any window, kept in ``pressed_chars``.

The X server's RECORD extension copies every key press and button press to this client, on a
connection of its own that a thread of the host reads; no device file and no root are needed.
The rules, for each key press:

- a key that only modifies others (Shift, Ctrl, Caps Lock, a layout switch) changes nothing;
- a word character is appended (at most ``LIMIT`` are kept): a letter or digit of any script,
  a combining mark, or one of the configured ``word_characters`` ("_" by default);
- Backspace removes the last character;
- any other key (punctuation, space, Return, Escape, Tab, arrows, a key pressed with Ctrl,
  Alt or Super) ends the word: the record is cleared, so "(brb" leaves "brb";
- a click (buttons 1 to 3) and a change of the focused window clear it too (the focus is
  compared at each key press).

A key's character is the one the focused window sees: the key's symbol in the active layout
group (bits 13-14 of the event's state), at the level that Shift, AltGr, Caps Lock and (for the
keypad) Num Lock select. A dead key types nothing by itself; it is composed with the next
character as the input method does (``^`` then ``e`` is ``ê``). A composition that has no
single character is kept as U+FFFD, so that the word matches no abbreviation. ``Word`` holds
these rules; the capture from input devices (``evdev``) shares them.

While a hotkey's action runs, the capture is held: the keys the action sends, and any the user
presses meanwhile, are not recorded; the modules reset the record themselves. ``hold`` and
``release`` mark that span by X server times, so events that arrive late are judged by when
they happened, not by when the thread sees them. X times count milliseconds, and keys typed
just before the hotkey often share its millisecond: the recording notes the word as it stood
at the hotkey's own press, which comes in the order the server handled the keys, and the hold
starts from there.
"""

import logging
import threading
import unicodedata

from velmora.host import keysyms, xserver

LIMIT = 64
# How long a hotkey's action waits for the recording to take in the keys typed before it.
HOLD_TIMEOUT = 5.0
# Characters that belong to a word besides letters, digits and combining marks, by default.
WORD_CHARACTERS = "_"
# Stands for a dead-key composition that has no character of its own.
UNKNOWN = "\ufffd"
_BACKSPACE, _NUMPAD = 0xFF08, (0xFF80, 0xFFBD)  # BackSpace; KP_Space to KP_Equal
# Group and level switches (ISO_Lock to ISO_Last_Group_Lock) change the state and type nothing.
_STATE_KEYS = (0xFE01, 0xFE0F)
# Dead keys and the combining marks they put on the next character.
DEAD_KEYS = {
    0xFE50: "\u0300",  # dead_grave
    0xFE51: "\u0301",  # dead_acute
    0xFE52: "\u0302",  # dead_circumflex
    0xFE53: "\u0303",  # dead_tilde
    0xFE54: "\u0304",  # dead_macron
    0xFE55: "\u0306",  # dead_breve
    0xFE56: "\u0307",  # dead_abovedot
    0xFE57: "\u0308",  # dead_diaeresis
    0xFE58: "\u030a",  # dead_abovering
    0xFE59: "\u030b",  # dead_doubleacute
    0xFE5A: "\u030c",  # dead_caron
    0xFE5B: "\u0327",  # dead_cedilla
    0xFE5C: "\u0328",  # dead_ogonek
    0xFE5D: "\u0345",  # dead_iota
    0xFE5E: "\u3099",  # dead_voiced_sound
    0xFE5F: "\u309a",  # dead_semivoiced_sound
    0xFE60: "\u0323",  # dead_belowdot
    0xFE61: "\u0309",  # dead_hook
    0xFE62: "\u031b",  # dead_horn
    0xFE64: "\u0313",  # dead_abovecomma
    0xFE65: "\u0314",  # dead_abovereversedcomma
    0xFE66: "\u030f",  # dead_doublegrave
    0xFE67: "\u0325",  # dead_belowring
    0xFE68: "\u0331",  # dead_belowmacron
    0xFE69: "\u032d",  # dead_belowcircumflex
    0xFE6A: "\u0330",  # dead_belowtilde
    0xFE6B: "\u032e",  # dead_belowbreve
    0xFE6C: "\u0324",  # dead_belowdiaeresis
    0xFE6D: "\u0311",  # dead_invertedbreve
    0xFE6E: "\u0326",  # dead_belowcomma
}

log = logging.getLogger("velmora-host")


def _not_before(time, since):
    """True when the X time ``time`` is ``since`` or later (the 32-bit clock wraps)."""
    return (time - since) & 0xFFFFFFFF < 0x80000000


_LEGACY = keysyms.table()


def character(keysym):
    """The character a key symbol types, or None for a key that types none."""
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if keysym == _NUMPAD[0] or 0xFFAA <= keysym <= 0xFFB9 or keysym == _NUMPAD[1]:
        return chr(keysym & 0x7F)  # the keypad's space, operators and digits
    if keysym & 0xFF000000 == 0x01000000:
        return chr(keysym & 0x00FFFFFF)
    return _LEGACY.get(keysym)  # Cyrillic, Greek, the euro sign, ...


def is_word_character(char, extra=WORD_CHARACTERS):
    """Whether ``char`` belongs to a word: a letter, digit or mark of any script, or ``extra``."""
    return char.isalnum() or unicodedata.category(char)[0] == "M" or char in extra


def between(time, start, end):
    """True when the X time ``time`` lies from ``start`` to ``end``, both included."""
    return _not_before(time, start) and _not_before(end, time)


class Word:
    """The word rules: keeps ``house.pressed_chars`` equal to the word being typed, from the
    key presses and clicks that a capture reports."""

    def __init__(self, house, words=WORD_CHARACTERS):
        self.house = house
        self.words = words  # the characters besides letters and digits that a word may hold
        self.marks = ""  # the combining marks of the dead keys pressed since the last character

    def clear(self, why):
        """Ends the word: a click, a change of focus, input that was lost."""
        self.marks = ""
        self._set("", why)

    def key(self, keysym, char, shortcut=False, modifier=False, name=None):
        """One key press: its key symbol, the character it types (None if none), whether Ctrl,
        Alt or Super is held, and whether the key only modifies others; ``name`` names the key
        in the log."""
        if modifier or _STATE_KEYS[0] <= keysym <= _STATE_KEYS[1]:
            return
        typed, marks = self.house.pressed_chars, self.marks
        self.marks = ""
        if shortcut:
            self._set("", "shortcut")
        elif keysym == _BACKSPACE:
            if not marks:  # else it only cancels the dead key
                self._set(typed[:-1], "backspace")
        elif keysym in DEAD_KEYS:
            self.marks = marks + DEAD_KEYS[keysym]
        else:
            if char is not None and marks and not char.isspace():
                composed = unicodedata.normalize("NFC", char + marks)
                char = composed if len(composed) == 1 else UNKNOWN
            if char is not None and (char == UNKNOWN or is_word_character(char, self.words)):
                self._set((typed + char)[-LIMIT:], "typed")
            else:
                self._set("", name or f"keysym 0x{keysym:x}")

    def _set(self, typed, why):
        if typed != self.house.pressed_chars:
            self.house.pressed_chars = typed
            log.debug("typed characters: %d (%s)", len(typed), why)


class Capture(Word):
    """Keeps ``house.pressed_chars`` equal to the word being typed, on the display ``name``."""

    def __init__(self, house, is_hotkey, name=None, words=WORD_CHARACTERS):
        from Xlib import XK, X
        from Xlib.ext import record

        super().__init__(house, words)
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
        self.hotkey = None  # the last hotkey press seen: its X time, the word and marks before it
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

    def hold(self, since, timeout=HOLD_TIMEOUT):
        """Stops recording events from the X time ``since`` on, once every earlier event is in
        (the recording may lag behind on a loaded machine), waiting ``timeout`` at most. For a
        hotkey pressed at ``since``, that is once the recording reached its press: the word is
        then the one typed before it, whatever the recording took in since."""
        with self.lock:
            self.lock.wait_for(lambda: self._reached(since), timeout)
            if self.hotkey is not None and self.hotkey[0] == since:
                typed, self.marks = self.hotkey[1:]
                self._set(typed, "as at the hotkey")
            self.held_since, self.held_until = since, None

    def _reached(self, since):
        """Whether the recording holds every event up to the hotkey pressed at ``since``: it saw
        that press, or a later millisecond (the press did not read as a hotkey), or it stopped."""
        if self.hotkey is not None and _not_before(self.hotkey[0], since):
            return True
        if self.latest is not None and self.latest != since and _not_before(self.latest, since):
            return True
        return not self.thread.is_alive()

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
        from Xlib import X

        if event.type == X.ButtonPress:
            if event.detail in (1, 2, 3):
                self.clear("click")
            return
        if event.type != X.KeyPress:
            return
        if self.is_hotkey(event):  # types nothing; the word before it is what its action reads
            self.hotkey = (event.time, self.house.pressed_chars, self.marks)
            return
        self._refresh_keymap()
        focus = self.control.get_input_focus().focus
        focus = getattr(focus, "id", focus)
        if focus != self.focus:
            self.focus = focus
            self.clear("focus change")
        if self.control.keycode_to_keysym(event.detail, 0) in self.modifier_keysyms:
            return
        keysym = self._keysym(event)
        shortcut = self.masks["ctrl"] | self.masks["alt"] | self.masks["super"]
        name = xserver.keysym_name(keysym) or f"key {event.detail}"
        char = self._caps(event, character(keysym))
        self.key(keysym, char, shortcut=bool(event.state & shortcut), name=name)

    def _keysym(self, event):
        """The key symbol of a key press, in the event's layout group and level."""
        # The core keymap lists group 1 levels 1-2, group 2 levels 1-2, then levels 3-4 of
        # group 1 and of group 2; a key with one group only types it in every group. Groups 3
        # and 4 are not in it and are read as group 1.
        group = 2 if (event.state >> 13) & 3 == 1 else 0
        if not any(self.control.keycode_to_keysym(event.detail, group + i) for i in (0, 1)):
            group = 0
        pair = [self.control.keycode_to_keysym(event.detail, group + i) for i in (0, 1)]
        if self.masks["level3"] and event.state & self.masks["level3"]:
            third = [self.control.keycode_to_keysym(event.detail, 4 + group + i) for i in (0, 1)]
            pair = third if any(third) else pair
        if not pair[1]:
            pair[1] = pair[0]
        shifted = bool(event.state & self.masks["shift"])
        if event.state & self.masks["num"] and _NUMPAD[0] <= pair[1] <= _NUMPAD[1]:
            return pair[not shifted]  # Num Lock: the keypad's second level, Shift the first
        return pair[shifted]

    def _caps(self, event, char):
        """``char`` as Caps Lock changes a letter: upper case, lower case with Shift."""
        if char is None or not event.state & self.masks["caps"] or not char.isalpha():
            return char
        return char.lower() if event.state & self.masks["shift"] else char.upper()

    def _refresh_keymap(self):
        from Xlib.protocol import event as xevent

        while self.control.pending_events():
            received = self.control.next_event()
            if isinstance(received, xevent.MappingNotify):
                self.control.refresh_keyboard_mapping(received)

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
