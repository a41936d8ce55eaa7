"""The X11 backend: key events and typed text through XTEST, the screen, top-level windows
and the clipboard of an X display.

One connection per backend, opened on first use, with a deadline on the handshake and on every
round trip (ROUND_TRIP_TIMEOUT), so that a server that stops answering is an error, not a hang.
Every piece of work goes through ``X11Display._session``: a failure that escapes it (the server
gone or silent, Ctrl-C part-way through a round trip) discards the connection, so that the next
use opens a fresh one; the keys pressed and keycodes bound through it are let go on a fresh one;
and any library error becomes a ``DesktopError``.

Key events and typed text share the connection and its bookkeeping: a key goes up on the
keycode it went down on. Text is typed with the keys of the current keymap (with Shift or the
AltGr level as needed); a character that no key types is typed by binding a spare keycode to
its keysym for the press, and the mapping is restored afterwards.

Windows work both with a window manager (found through EWMH's ``_NET_SUPPORTING_WM_CHECK``),
where activation is requested with ``_NET_ACTIVE_WINDOW`` and iconifying with ICCCM's
``WM_CHANGE_STATE``, and without one (a bare Xvfb), where the backend maps, raises and focuses
windows itself. Window handles are the X ids of client windows (the windows that carry
WM_CLASS, not the frames a window manager puts around them).
"""

import atexit
import contextlib
import os
import socket as socketlib
import threading
import time

from velmora._platform import clipboard, constants, interrupts, keymap
from velmora._platform.backend import DesktopError, Display

# ICCCM WM_STATE values.
WITHDRAWN, NORMAL, ICONIC = 0, 1, 3

# ShowWindow commands that minimise.
_SW_MINIMISING = {
    constants.SW_SHOWMINIMIZED,
    constants.SW_MINIMIZE,
    7,  # SW_SHOWMINNOACTIVE
    11,  # SW_FORCEMINIMIZE
}

# How long set_foreground waits for a window manager to make the window active, and how long
# pin_above waits for the window manager to keep a window above.
ACTIVATION_TIMEOUT = 0.5
# The longest a round trip to the X server (or opening a connection) may take.
ROUND_TRIP_TIMEOUT = 5.0
# How long a keycode bound for typing stays bound after its last press once typing stops (at
# the end of the process: EXIT_LINGER), and the least time between its last press and binding
# it to another keysym: clients look a key up when they handle its event, which may come well
# after it was sent, and some read a changed keymap only in part, so changes are kept rare.
LINGER = 30.0
EXIT_LINGER = 1.0
REUSE_AFTER = 1.0

# Keysyms of typing.
_SHIFT, _LEVEL3 = 0xFFE1, 0xFE03  # Shift_L, ISO_Level3_Shift
_RETURN, _TAB = 0xFF0D, 0xFF09
# Keysyms of dead keys (dead_grave ... dead_greek), which type nothing on their own.
_DEAD_KEYS = (0xFE50, 0xFE9F)
# Modifiers of the core keymap's entries: group 1 levels 1-2 are entries 0-1, levels 3-4 are
# entries 4-5 (the AltGr level); entries 2-3 belong to a second group and are not used.
_ENTRY_MODIFIERS = {0: (), 1: (_SHIFT,), 4: (_LEVEL3,), 5: (_LEVEL3, _SHIFT)}


def char_keysym(char):
    """The keysym of a character: Latin-1 keysyms are the code point, others Unicode keysyms."""
    code = ord(char)
    if 0x20 <= code <= 0x7E or 0xA0 <= code <= 0xFF:
        return code
    return 0x01000000 | code


def keysym_char(keysym):
    """The character a keysym types, if it is a Latin-1 or Unicode keysym; else None."""
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if 0x01000100 <= keysym <= 0x0110FFFF:
        return chr(keysym & 0x00FFFFFF)
    return None


class _Watchdog:
    """Ends round trips that outlive their deadline: it shuts the connection's socket, so that
    the call blocked on it fails instead of waiting for a server that does not answer. One
    thread watches the round trips of every connection of the process."""

    def __init__(self):
        self._condition = threading.Condition()
        self._armed = {}  # token -> (deadline, socket, connection)
        self._thread = None

    def guard(self, call, socket, connection):
        """``call`` (python-xlib's send_and_recv of ``connection``) under a deadline."""

        def guarded(*args, **kwargs):
            token = object()
            try:
                # A Ctrl-C between taking the condition's lock and entering the block would
                # keep the lock taken for good, and the watch with it; one held back until the
                # block's end lands inside the try, which disarms the deadline again.
                with interrupts.deferred(), self._condition:
                    due = time.monotonic() + ROUND_TRIP_TIMEOUT
                    self._armed[token] = (due, socket, connection)
                    if self._thread is None:
                        self._thread = threading.Thread(
                            target=self._watch, daemon=True, name="velmora-x11-deadline"
                        )
                        self._thread.start()
                    self._condition.notify()
                return call(*args, **kwargs)
            finally:
                with interrupts.deferred(), self._condition:
                    self._armed.pop(token, None)  # gone if it ran out of time

        return guarded

    def _watch(self):
        with self._condition:
            while True:
                now = time.monotonic()
                for token, (due, socket, connection) in list(self._armed.items()):
                    if due <= now:
                        connection.timed_out = True
                        with contextlib.suppress(OSError):
                            socket.shutdown(socketlib.SHUT_RDWR)
                        del self._armed[token]
                dues = [due for due, _, _ in self._armed.values()]
                self._condition.wait(min(dues) - now if dues else None)


_watchdog = _Watchdog()


class Connection:
    """A lazily opened connection to the X display named by ``name`` (default: $DISPLAY).

    Opening and every round trip have a deadline (ROUND_TRIP_TIMEOUT): a server that stops
    answering makes the call fail with DesktopError instead of hanging.
    """

    def __init__(self, name=None):
        self._name = name
        self._display = None
        self._atoms = {}
        self.lock = threading.RLock()
        self.timed_out = False  # whether a round trip ran out of time since it was opened

    @property
    def name(self):
        return self._name if self._name is not None else os.environ.get("DISPLAY", "")

    def display(self):
        with self.lock:
            if self._display is None:
                self.timed_out = False
                self._display = self._open()
            return self._display

    def _open(self):
        try:
            from Xlib import display as xdisplay
        except ImportError as error:
            raise DesktopError("python-xlib is needed for the X desktop") from error
        if not self.name:
            raise DesktopError("no X display: DISPLAY is not set")
        opened = self._connect(xdisplay)
        protocol = opened.display
        protocol.send_and_recv = _watchdog.guard(protocol.send_and_recv, protocol.socket, self)
        try:
            has_xtest = opened.query_extension("XTEST") is not None
        except Exception as error:
            raise DesktopError(f"X display {self.name!r} does not answer: {error}") from error
        if not has_xtest:
            opened.close()
            raise DesktopError(f"X display {self.name!r} lacks the XTEST extension")
        return opened

    def _connect(self, xdisplay):
        """python-xlib's connection, made on a thread of its own so that a server that does not
        answer the handshake costs ROUND_TRIP_TIMEOUT, not forever. A connection made after
        that is closed again."""
        outcome = {}
        decided = threading.Lock()

        def connect():
            try:
                made = xdisplay.Display(self.name)
            except Exception as error:  # python-xlib raises several unrelated types here
                made, outcome["error"] = None, error
            with decided:
                if "abandoned" not in outcome:
                    outcome["display"] = made
                    return
            if made is not None:
                with contextlib.suppress(Exception):
                    made.close()

        thread = threading.Thread(target=connect, name="velmora-x11-connect", daemon=True)
        thread.start()
        try:
            thread.join(ROUND_TRIP_TIMEOUT)
        finally:
            with decided:
                if "display" not in outcome:
                    outcome["abandoned"] = True
        if outcome.get("display") is not None:
            return outcome["display"]
        reason = outcome.get("error", f"no answer within {ROUND_TRIP_TIMEOUT:g} s")
        raise DesktopError(f"cannot open X display {self.name!r}: {reason}")

    def discard(self):
        """Drops the connection without talking to the server; the next use opens a new one."""
        with self.lock:
            display, self._display = self._display, None
            self._atoms.clear()
            if display is not None:
                with contextlib.suppress(Exception):
                    display.display.socket.close()

    def close(self):
        with self.lock:
            if self._display is not None:
                with contextlib.suppress(Exception):
                    self._display.close()
                self._display = None
                self._atoms.clear()

    def atom(self, name):
        """The atom ``name``, interned once per connection."""
        with self.lock:
            display = self.display()
            if name not in self._atoms:
                self._atoms[name] = display.intern_atom(name)
            return self._atoms[name]


def open_display(name=None, round_trips=True):
    """A python-xlib Display of ``name`` (default: $DISPLAY) under Connection's deadlines: the
    handshake always, and every round trip unless ``round_trips`` is False (for a connection
    that waits in one request on purpose, such as a recording). Raises DesktopError."""
    try:
        from Xlib import display as xdisplay
    except ImportError as error:
        raise DesktopError("python-xlib is needed for the X desktop") from error
    connection = Connection(name)
    if not connection.name:
        raise DesktopError("no X display: DISPLAY is not set")
    opened = connection._connect(xdisplay)
    if round_trips:
        protocol = opened.display
        protocol.send_and_recv = _watchdog.guard(
            protocol.send_and_recv, protocol.socket, connection
        )
    return opened


class _SpareKeys:
    """Spare keycodes bound to keysyms that no key of the keymap types, shared by the typed
    text and the key events of one connection.

    Clients read a changed keymap lazily: a toolkit that learns of a change reads the mapping
    when it next looks a key up, which may be long after the key event was sent (Tk and GTK
    read all queued events first, then handle them). So a binding is never taken back while
    a key event that uses it may still be unread: binding a free keycode leaves every earlier
    binding as it was, a bound keycode is reused for the same keysym, and a keycode is unbound
    or rebound only once its last press lies REUSE_AFTER (rebinding, when every spare is
    taken) or LINGER (unbinding, once typing has stopped) in the past.
    """

    def __init__(self):
        self.bound = {}  # keysym -> keycode bound to it
        self.used = {}  # keycode -> time of its last press
        self.released = {}  # keycode -> when it was last unbound
        self.last_press = 0.0  # time of the last key press on any keycode

    def keycode(self, display, keysym, free):
        """A keycode newly bound to ``keysym``, which the current mapping lacks; ``free`` lists
        the keycodes of that mapping that carry no keysym (one is taken from it)."""
        if keysym in self.bound:  # a new keymap was loaded over it: not ours any more
            self.used.pop(self.bound.pop(keysym), None)
        free = [keycode for keycode in free if keycode not in self.used]
        if free:
            # The keycode unbound longest ago: a client that lags behind on mapping changes
            # must not see one keycode change meaning twice in a row.
            keycode = min(free, key=lambda code: (self.released.get(code, 0.0), -code))
        elif self.bound:
            keycode = min(self.bound.items(), key=lambda item: self.used[item[1]])[1]
            time.sleep(max(0.0, self.used[keycode] + REUSE_AFTER - time.monotonic()))
        else:
            raise DesktopError("the X keyboard has no spare keycode to type with")
        self._record(keysym, keycode)
        # The same keysym on both levels, so that Shift cannot change it.
        display.change_keyboard_mapping(keycode, [(keysym, keysym)])
        display.sync()
        return keycode

    def _record(self, keysym, keycode):
        """Notes ``keycode`` as bound to ``keysym`` (and no longer to another), before the
        request goes out: an interruption while it is on its way then leaves the keycode among
        the ones to unbind, never bound on the server and forgotten here. The new table
        replaces the old in one step, so an interruption never leaves half of the change."""
        self.used[keycode] = time.monotonic()
        others = {other: code for other, code in self.bound.items() if code != keycode}
        self.bound = {**others, keysym: keycode}

    def rebind(self, display, needed, free):
        """Binds the keysyms of ``needed`` (the ones typed next, in order, at most as many as
        there are spares) that are not bound, all at once, once every key pressed so far lies
        REUSE_AFTER in the past; keycodes bound to keysyms outside ``needed`` are taken, least
        recently pressed first, when ``free`` (keycodes without keysyms) has none left.

        A client that fetches the changed keymap while handling a key can miss a change that
        reaches it during that fetch and keep the keycode's earlier meaning (Tk does): so the
        bindings change together while the clients are idle, never between typed keys."""
        time.sleep(max(0.0, self.last_press + REUSE_AFTER - time.monotonic()))
        free = [keycode for keycode in free if keycode not in self.used]
        taken = sorted(
            (item for item in self.bound.items() if item[0] not in needed),
            key=lambda item: self.used[item[1]],
        )
        for keysym in needed:
            if keysym in self.bound:
                continue
            if free:
                keycode = free.pop(0)
            elif taken:
                keycode = taken.pop(0)[1]
            else:
                break
            self._record(keysym, keycode)
            display.change_keyboard_mapping(keycode, [(keysym, keysym)])
        display.sync()

    def pressed(self, keycode):
        self.last_press = time.monotonic()
        if keycode in self.used:
            self.used[keycode] = time.monotonic()

    def release(self, display, idle=0.0):
        """Unbinds the keycodes pressed last more than ``idle`` seconds ago; one that the
        keymap no longer binds to its keysym (a new layout was loaded) is left alone."""
        now = time.monotonic()
        for keysym, keycode in sorted(self.bound.items()):
            if now - self.used[keycode] < idle:
                continue
            # Forgotten only once the request is out, so that an interruption before leaves
            # it among the keycodes to unbind.
            if list(display.get_keyboard_mapping(keycode, 1)[0][:2]) == [keysym, keysym]:
                display.change_keyboard_mapping(keycode, [(0, 0)])
                display.flush()
            del self.bound[keysym]
            self.used.pop(keycode, None)
            self.released[keycode] = now
        display.sync()

    def forget(self):
        """Every keycode bound, forgotten here (the connection is gone: unbound on another)."""
        keycodes = set(self.bound.values())
        self.bound.clear()
        self.used.clear()
        return keycodes


class _Typist:
    """Types characters on one display with the keyboard in a plain state: no modifier locked
    (Caps Lock, Shift Lock, Num Lock) and the first layout group, whose keys it picks; the
    user's lock state and group come back with ``finish``."""

    def __init__(self, display, spares):
        from Xlib import X

        self.display = display
        self.spares = spares
        self.first = display.display.info.min_keycode
        count = display.display.info.max_keycode - self.first + 1
        self.mapping = [
            list(keysyms) for keysyms in display.get_keyboard_mapping(self.first, count)
        ]
        self.keys = {}  # character -> (keycode, modifier keysyms)
        self.codes = {}  # keysym -> keycode, for the modifiers
        for offset, keysyms in enumerate(self.mapping):
            keycode = self.first + offset
            for keysym in keysyms:
                if keysym != X.NoSymbol:
                    self.codes.setdefault(keysym, keycode)
        # Entries 4-5 are the first group's AltGr levels only in a keymap of one group (the
        # core keymap mirrors it into entries 2-3); with more groups they may be another's.
        one_group = all(keysyms[2:4] == keysyms[0:2] for keysyms in self.mapping)
        entries = _ENTRY_MODIFIERS if one_group else {0: (), 1: (_SHIFT,)}
        for offset, keysyms in enumerate(self.mapping):
            for entry in sorted(entries):
                if entry >= len(keysyms):
                    continue
                char = keysym_char(keysyms[entry])
                modifiers = entries[entry]
                if char is None or char in self.keys:
                    continue
                if all(modifier in self.codes for modifier in modifiers):
                    self.keys[char] = (self.first + offset, modifiers)
        self.free = [
            self.first + offset for offset, keysyms in enumerate(self.mapping) if not any(keysyms)
        ]
        self.down = []  # keycodes pressed and not yet released
        self.locks = None  # the user's (locked modifiers, locked group) while they are changed

    def begin(self):
        """Unlocks every modifier and selects the first group, if need be."""
        from velmora._platform import xkb

        locks = xkb.locks(self.display)
        if locks is not None and locks != (0, 0):
            self.locks = locks
            xkb.set_locks(self.display, 0, 0)

    def _fake(self, kind, keycode):
        """One key event. A key counts as down from before its press is sent until its release
        has been, so that a failure in between never leaves it out of ``down``."""
        from Xlib import X
        from Xlib.ext import xtest

        if kind == X.KeyPress:
            self.down.append(keycode)
            self.spares.pressed(keycode)
        xtest.fake_input(self.display, kind, keycode)
        if kind == X.KeyRelease:
            self.down.remove(keycode)

    def _stroke(self, keycode, modifiers=()):
        from Xlib import X

        held = [self.codes[modifier] for modifier in modifiers]
        for code in held:
            self._fake(X.KeyPress, code)
        self._fake(X.KeyPress, keycode)
        self._fake(X.KeyRelease, keycode)
        for code in reversed(held):
            self._fake(X.KeyRelease, code)
        self.display.sync()

    def prepare(self, text):
        """Binds spare keycodes to the characters of ``text`` that no key types, before the
        first key goes out, as far as spares last: a client that reads the keymap when it
        handles a key then finds every one of them, however late it reads."""
        for char in dict.fromkeys(text):
            if char in self.keys or char in "\n\t" or not self._has_spare():
                continue
            keycode = self.spares.keycode(self.display, char_keysym(char), self.free)
            self.keys[char] = (keycode, ())

    def _has_spare(self):
        return any(keycode not in self.spares.used for keycode in self.free)

    def type(self, char, text=None, index=0):
        """Types ``char``, ``text[index]``: where the spares run out, the characters that
        follow it in ``text`` are bound together with it."""
        known = char in self.keys and self._still_bound(char)
        if text is not None and char not in "\n\t" and not known and not self._has_spare():
            upcoming = self._outside(text[index:])
            self.spares.rebind(self.display, [char_keysym(c) for c in upcoming], self.free)
            for upcoming_char in upcoming:
                keycode = self.spares.bound.get(char_keysym(upcoming_char))
                if keycode is not None:
                    self.keys[upcoming_char] = (keycode, ())
        if char == "\n":
            self._stroke(self._keycode_of(_RETURN))
        elif char == "\t":
            self._stroke(self._keycode_of(_TAB))
        elif char in self.keys and self._still_bound(char):
            self._stroke(*self.keys[char])
        else:
            keycode = self.spares.keycode(self.display, char_keysym(char), self.free)
            self.keys[char] = (keycode, ())
            self._stroke(keycode)

    def _outside(self, text):
        """The distinct characters of ``text`` that need spare keycodes, in order, as many as
        there are spares."""
        capacity = len(self.spares.bound) + sum(code not in self.spares.used for code in self.free)
        found = []
        for char in dict.fromkeys(text):
            if char in "\n\t" or (char in self.keys and self.keys[char][0] not in self.spares.used):
                continue
            found.append(char)
            if len(found) == capacity:
                break
        return found

    def _still_bound(self, char):
        """Whether the key found for ``char`` still types it: a spare keycode may have been
        bound to another character since, when the text has more of them than spares."""
        keycode = self.keys[char][0]
        return (
            keycode not in self.spares.used or self.spares.bound.get(char_keysym(char)) == keycode
        )

    def _keycode_of(self, keysym):
        if keysym not in self.codes:
            self.codes[keysym] = self.spares.keycode(self.display, keysym, self.free)
        return self.codes[keysym]

    def finish(self):
        """Puts the user's lock state and group back (every key is up after each stroke)."""
        from velmora._platform import xkb

        if self.locks is not None:
            xkb.set_locks(self.display, *self.locks)
            self.display.sync()
            self.locks = None


def _decode(raw, type_name):
    if isinstance(raw, str):
        return raw
    raw = bytes(raw).rstrip(b"\0")
    encoding = "utf-8" if type_name == "UTF8_STRING" else "latin-1"
    return raw.decode(encoding, errors="replace")


_typing_displays = []  # displays that bound spare keycodes, let go of them at exit


@atexit.register
def _unbind_at_exit():
    """Unbinds the spare keycodes of a process that ends right after typing, once clients have
    had EXIT_LINGER to read them."""
    for display in _typing_displays:
        last = max(display._spares.used.values(), default=None)
        if last is not None:
            time.sleep(max(0.0, last + EXIT_LINGER - time.monotonic()))
        with contextlib.suppress(Exception):
            display.unbind_spares()


class X11Display(Display):
    """The ``Display`` half of the backend interface on an X server."""

    def __init__(self, name=None):
        self.connection = Connection(name)
        self._keys_down = {}  # key identity (keysym name) -> keycode it went down on
        self._typist = None  # the typing under way
        self._spares = _SpareKeys()  # keycodes bound for typing, kept until surely read
        self._unbind_timer = None  # unbinds them once typing has stopped for LINGER
        self._in_session = False  # a session is under way (or was cut short on its way out)
        self._unfinished = set(), set()  # keycodes to release, keycodes to unbind
        self._user_locks = None  # the user's lock state, to put back, if typing was cut short
        self._issued = {}  # handle -> the WM_CLASS it was issued for
        self._destroyed = set()  # issued handles whose window has been destroyed

    @property
    def name(self):
        return self.connection.name

    def close(self):
        with contextlib.suppress(DesktopError):
            self.release_keys()
            self.unbind_spares()
        self.connection.close()

    # Sessions and recovery -------------------------------------------------------------------

    @contextlib.contextmanager
    def _session(self):
        """The open display, for one piece of work under the connection's lock.

        A failure that escapes from the X library or an interruption (Ctrl-C) part-way through
        a round trip leaves the connection in an unknown state: it is discarded (the next use
        opens a new one), and the keys pressed and keycodes bound through it are released and
        restored on a fresh connection, now or, if the server does not answer, when it next
        does. A session that never ended (interrupted again on its way out) is treated the same
        at the start of the next. Errors of the X library reach the caller as DesktopError.
        Sessions do not nest: the public methods share private ones that take the display.
        """
        from Xlib import error as xerror

        with self.connection.lock:
            try:
                if self._in_session:  # the last session did not end
                    self._abandon()
                display = self.connection.display()
                if any(self._unfinished) or self._user_locks is not None:
                    self._finish_unfinished(display)
                self._in_session = True
                yield display
                self._in_session = False
            except GeneratorExit:  # collected unfinished: the next session cleans up
                raise
            except (DesktopError, LookupError, TypeError, ValueError):
                self._in_session = False
                raise  # this layer's own verdicts: the connection is fine
            except xerror.XError as error:  # a request refused: the connection is fine
                self._in_session = False
                raise DesktopError(f"X display {self.name!r} refused a request: {error}") from error
            except BaseException as error:
                timed_out = self.connection.timed_out
                self._abandon()
                self._in_session = False
                if not isinstance(error, Exception):  # interrupted: the server still answers
                    try:
                        self._finish_unfinished(self.connection.display())
                    except Exception:
                        pass  # left for the next session
                    except BaseException:
                        self.connection.discard()  # interrupted again: the next session
                        raise
                    raise
                if timed_out:
                    raise DesktopError(
                        f"X display {self.name!r} did not answer within {ROUND_TRIP_TIMEOUT:g} s"
                    ) from error
                raise DesktopError(f"X display {self.name!r} failed: {error!r}") from error

    def _abandon(self):
        """Discards the connection, keeping what it left pressed and bound to undo later."""
        release, unbind = self._unfinished
        release.update(self._keys_down.values())
        self._keys_down.clear()
        if self._typist is not None:
            release.update(self._typist.down)
            if self._typist.locks is not None:
                self._user_locks = self._typist.locks
            self._typist = None
        unbind.update(self._spares.forget())
        self.connection.discard()

    def _finish_unfinished(self, display):
        """Releases the keys, unbinds the keycodes and puts back the user's lock state that a
        discarded connection left."""
        from Xlib import X
        from Xlib.ext import xtest

        from velmora._platform import xkb

        release, unbind = self._unfinished
        for keycode in sorted(release):
            xtest.fake_input(display, X.KeyRelease, keycode)
        for keycode in sorted(unbind):
            display.change_keyboard_mapping(keycode, [(0, 0)])
        if self._user_locks is not None:
            xkb.set_locks(display, *self._user_locks)
        display.sync()
        release.clear()
        unbind.clear()
        self._user_locks = None

    def _drain(self, display):
        """Handles the events that arrived: keyboard mapping changes and destroyed windows."""
        from Xlib.protocol import event

        while display.pending_events():
            received = display.next_event()
            if isinstance(received, event.MappingNotify):
                display.refresh_keyboard_mapping(received)
            elif isinstance(received, event.DestroyNotify):
                self._destroyed.add(received.window.id)

    # Keys and text ---------------------------------------------------------------------------

    def key_event(self, vk, scan, flags):
        from Xlib import X
        from Xlib.ext import xtest

        name = keymap.keysym_name(vk, scan, flags)
        up = bool(flags & constants.KEYEVENTF_KEYUP)
        with self._session() as display:
            self._drain(display)
            keycode = self._keys_down.get(name) if up else None
            if keycode is None:
                keycode = self._key_of(display, vk, name, scan, flags)
            if up:
                xtest.fake_input(display, X.KeyRelease, keycode)
                display.sync()
                self._keys_down.pop(name, None)
            else:
                self._keys_down[name] = keycode  # before it is sent: undone should it fail
                self._spares.pressed(keycode)
                xtest.fake_input(display, X.KeyPress, keycode)
                display.sync()
        self._schedule_unbinding()

    def _key_of(self, display, vk, name, scan, flags):
        """The keycode that presses the key ``name``: the key whose first level in some group
        is that keysym; else the physical key that the scan code names (X servers with evdev
        keycodes number a key's keycode its scan code + 8), unless that is a dead key; else,
        for a character, a spare keycode bound to it, which types and is erased like any
        character; else any key that carries the keysym."""
        # The mapping as the server has it now: this connection's copy is not told of changes
        # once it speaks XKB, and another program may have changed the layout.
        keysym = keymap.keysym_value(name)
        first = display.display.info.min_keycode
        count = display.display.info.max_keycode - first + 1
        mapping = [list(keysyms) for keysyms in display.get_keyboard_mapping(first, count)]
        placed = sorted(
            (index, first + offset)
            for offset, keysyms in enumerate(mapping)
            for index, value in enumerate(keysyms)
            if value == keysym
        )
        first_level = [keycode for index, keycode in placed if index in (0, 2)]
        if first_level:
            return first_level[0]
        physical = scan + 8
        extended = flags & constants.KEYEVENTF_EXTENDEDKEY
        if scan and not extended and first <= physical < first + count:
            unshifted = (mapping[physical - first] or [0])[0]
            if unshifted and not _DEAD_KEYS[0] <= unshifted <= _DEAD_KEYS[1]:
                return physical
        if keysym_char(keysym) is not None:
            free = [first + offset for offset, keysyms in enumerate(mapping) if not any(keysyms)]
            return self._spares.keycode(display, keysym, free)
        if placed:
            return placed[0][1]
        raise keymap.UnmappedKey(f"the X keyboard has no key for {name} (vk {vk:#04x})")

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"text must be a str, not {type(text).__name__}")
        text = text.replace("\r\n", "\n").replace("\r", "\n")
        if not text:
            return
        with self._session() as display:
            self._typist = _Typist(display, self._spares)
            try:
                self._typist.begin()
                self._typist.prepare(text)
                for index, char in enumerate(text):
                    self._typist.type(char, text, index)
                self._typist.finish()
            except (DesktopError, LookupError):  # the connection is fine: undo on it
                self._typist.finish()
                self._typist = None
                raise
            self._typist = None
        self._schedule_unbinding()

    def _schedule_unbinding(self):
        """Unbinds the spare keycodes once no key has been typed on them for LINGER."""
        if not self._spares.bound:
            return
        if self not in _typing_displays:
            _typing_displays.append(self)
        # Cancelling and starting a timer take locks of Python code: a Ctrl-C between taking
        # one and giving it back would leave the next cancel waiting for ever.
        with interrupts.deferred():
            if self._unbind_timer is not None:
                self._unbind_timer.cancel()
            self._unbind_timer = threading.Timer(LINGER, self._unbind_idle)
            self._unbind_timer.daemon = True
            self._unbind_timer.start()

    def _unbind_idle(self):
        with contextlib.suppress(DesktopError):
            with self._session() as display:
                self._spares.release(display, idle=LINGER)
        self._schedule_unbinding()

    def unbind_spares(self):
        """Unbinds every spare keycode bound for typing, now."""
        if self._unbind_timer is not None:
            with interrupts.deferred():
                self._unbind_timer.cancel()
        if self._spares.bound:
            with self._session() as display:
                self._spares.release(display)

    def release_keys(self):
        from Xlib import X
        from Xlib.ext import xtest

        if not self._keys_down and not any(self._unfinished):
            return
        with self._session() as display:
            for name, keycode in list(self._keys_down.items()):
                xtest.fake_input(display, X.KeyRelease, keycode)
                del self._keys_down[name]
            display.sync()

    # Screen ----------------------------------------------------------------------------------

    def screen_size(self):
        with self._session() as display:
            geometry = display.screen().root.get_geometry()
            return geometry.width, geometry.height

    # Clipboard -------------------------------------------------------------------------------

    def selection_owner(self, selection="CLIPBOARD"):
        """The window id that owns ``selection``, 0 when nobody does."""
        with self._session() as display:
            owner = display.get_selection_owner(self.connection.atom(selection))
            return getattr(owner, "id", owner) or 0

    def clear_selection(self, selection="CLIPBOARD"):
        """Leaves ``selection`` without an owner; the previous owner is told to let go."""
        from Xlib import X
        from Xlib.protocol import request

        with self._session() as display:
            request.SetSelectionOwner(
                display=display.display,
                window=X.NONE,
                selection=self.connection.atom(selection),
                time=X.CurrentTime,
            )
            display.sync()

    def publish_clipboard(self, contents):
        clipboard.publish(contents, self)

    def clipboard_picture(self):
        return clipboard.read_picture(self)

    # Window helpers --------------------------------------------------------------------------

    def _window(self, display, hwnd):
        return display.create_resource_object("window", hwnd)

    def _property(self, window, name):
        """The property ``name`` of ``window``; None if unset or the window is gone."""
        from Xlib import X, error

        try:
            return window.get_full_property(self.connection.atom(name), X.AnyPropertyType)
        except (error.BadWindow, error.BadDrawable):
            return None

    def _wm_class_raw(self, window):
        """The bytes of the window's WM_CLASS, or None."""
        prop = self._property(window, "WM_CLASS")
        if prop is None or prop.format != 8:
            return None
        raw = prop.value if isinstance(prop.value, bytes) else bytes(prop.value)
        return raw if raw.count(b"\0") >= 1 else None

    def _wm_class(self, window):
        """(instance, class) of the window's WM_CLASS, read as ICCCM says (Latin-1), or None."""
        raw = self._wm_class_raw(window)
        return None if raw is None else tuple(raw.decode("latin-1").split("\0")[:2])

    @staticmethod
    def _class_names(raw):
        """Every name the WM_CLASS bytes ``raw`` may mean: as Latin-1, as ICCCM says, and as
        UTF-8, as GTK and Qt write it."""
        names = set(raw.decode("latin-1").split("\0")[:2])
        with contextlib.suppress(UnicodeDecodeError):
            names.update(raw.decode("utf-8").split("\0")[:2])
        return names

    def _wm_state(self, window):
        prop = self._property(window, "WM_STATE")
        return None if prop is None or not len(prop.value) else int(prop.value[0])

    def _window_manager(self, display):
        """The window manager's check window if an EWMH window manager runs, else None."""
        prop = self._property(display.screen().root, "_NET_SUPPORTING_WM_CHECK")
        if prop is None or not len(prop.value):
            return None
        check = self._window(display, int(prop.value[0]))
        own = self._property(check, "_NET_SUPPORTING_WM_CHECK")  # None if the manager has gone
        if own is None or not len(own.value) or int(own.value[0]) != check.id:
            return None
        return check

    def _issue(self, display, window, raw_class):
        """Hands out ``window``'s id as a handle: records which window it stands for (its class,
        and its destruction, which the server reports from now on)."""
        from Xlib import X

        # A destruction reported for an earlier window of the same id (X reuses a departed
        # client's ids) is read first, so that it does not count against this one.
        display.sync()
        self._drain(display)
        self._issued[window.id] = raw_class
        self._destroyed.discard(window.id)
        self._quietly(display, window.change_attributes, event_mask=X.StructureNotifyMask)
        return window.id

    def _stale(self, display, hwnd):
        """Whether the issued handle ``hwnd`` no longer stands for the window it was issued for:
        that window was destroyed (X hands its id to the next window made), or the window of
        that id now has another class."""
        if hwnd not in self._issued:
            return False
        display.sync()  # the server reports a destruction before it answers this
        self._drain(display)
        if hwnd in self._destroyed:
            return True
        return self._wm_class_raw(self._window(display, hwnd)) != self._issued[hwnd]

    def _attributes(self, display, hwnd):
        """The window's attributes; None for a window that does not exist, a bad handle, or a
        handle that stands for a window that is gone."""
        from Xlib import error

        if not 0 < hwnd <= 0xFFFFFFFF:
            return None
        if self._stale(display, hwnd):
            return None
        try:
            return self._window(display, hwnd).get_attributes()
        except (error.BadWindow, error.BadDrawable, error.BadValue):
            return None

    def _clients(self, display):
        """(client, its WM_CLASS bytes) of the top-level client windows, topmost first.

        A top-level window that carries WM_CLASS is the client; else (a window manager's
        frame) the first window below it that does, down to three levels. The requests of one
        level are sent together and their replies read afterwards: one round trip per level,
        not one per window.
        """
        from Xlib import X, error
        from Xlib.protocol import request

        wm_class = self.connection.atom("WM_CLASS")
        tops = list(reversed(display.screen().root.query_tree().children))
        found = [None] * len(tops)
        level = [(index, top) for index, top in enumerate(tops)]
        for depth in range(4):
            asked = [
                (
                    index,
                    window,
                    request.GetProperty(
                        display=display.display,
                        defer=True,
                        delete=False,
                        window=window,
                        property=wm_class,
                        type=X.AnyPropertyType,
                        long_offset=0,
                        long_length=256,
                    ),
                )
                for index, window in level
                if found[index] is None
            ]
            unclassed = []
            for index, window, reply in asked:
                try:
                    reply.reply()
                except (error.BadWindow, error.BadDrawable):
                    continue  # destroyed while we looked
                bits, raw = reply.value or (0, None)  # no value: the property is unset
                raw = bytes(raw) if bits == 8 else None
                if raw is not None and raw.count(b"\0") >= 1 and found[index] is None:
                    found[index] = (window, raw)
                else:
                    unclassed.append((index, window))
            if depth == 3:
                break
            trees = [
                (index, request.QueryTree(display=display.display, defer=True, window=window))
                for index, window in unclassed
                if found[index] is None
            ]
            level = []
            for index, tree in trees:
                try:
                    tree.reply()
                except (error.BadWindow, error.BadDrawable):
                    continue
                level.extend((index, child) for child in reversed(tree.children))
        return [client for client in found if client is not None]

    def _request(self, display, window, message, data):
        """Sends an EWMH/ICCCM client message about ``window`` to the root window."""
        from Xlib import X
        from Xlib.protocol import event

        root = display.screen().root
        message = event.ClientMessage(
            window=window,
            client_type=self.connection.atom(message),
            data=(32, (list(data) + [0] * 5)[:5]),
        )
        root.send_event(message, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
        display.flush()

    def _quietly(self, display, call, *args, **kwargs):
        """Runs a request that has no reply; True unless the server refused it."""
        from Xlib import error

        catcher = error.CatchError()
        call(*args, onerror=catcher, **kwargs)
        display.sync()
        return catcher.get_error() is None

    @staticmethod
    def _wait(done, timeout=None):
        """Polls ``done`` until it is true or the time is up; returns its last answer."""
        deadline = time.monotonic() + (ACTIVATION_TIMEOUT if timeout is None else timeout)
        while not done():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)
        return True

    # Windows ---------------------------------------------------------------------------------

    def find_window(self, class_name, title):
        """The first top-level window whose WM_CLASS instance or class name is ``class_name``.

        Shown windows are preferred to iconified ones, and those to unmapped ones (toolkits
        keep hidden helper windows with the application's class); within each group the
        topmost wins. ``title``, unless None, must equal the window's title. 0 if none.
        """
        with self._session() as display:
            matches = []
            for client, raw in self._clients(display):
                if class_name not in self._class_names(raw):
                    continue
                if title is not None and self._window_title(display, client.id) != title:
                    continue
                # A window found now is issued afresh: its id may be that of a destroyed
                # window issued before, which the id's old handle must not be taken for.
                self._issued.pop(client.id, None)
                attributes = self._attributes(display, client.id)
                if attributes is None:
                    continue
                if attributes.map_state != 0:
                    rank = 0
                elif self._wm_state(client) == ICONIC:
                    rank = 1
                else:
                    rank = 2
                matches.append((rank, len(matches), client, raw))
            if not matches:
                return 0
            _, _, client, raw = min(matches, key=lambda match: match[:2])
            return self._issue(display, client, raw)

    def window_visible(self, hwnd):
        """Mapped, or iconified by the window manager (a minimised window is still visible)."""
        with self._session() as display:
            return self._window_visible(display, hwnd)

    def _window_visible(self, display, hwnd):
        attributes = self._attributes(display, hwnd)
        if attributes is None:
            return False
        if attributes.map_state != 0:
            return True
        return self._wm_state(self._window(display, hwnd)) == ICONIC

    def show_window(self, hwnd, command):
        """Hides, iconifies or shows and raises the window; returns whether it was visible.

        Under a window manager the change is a request that the manager carries out; the call
        waits (up to ACTIVATION_TIMEOUT) until it has, as ShowWindow returns with it done.
        """
        from Xlib import X

        with self._session() as display:
            if self._attributes(display, hwnd) is None:
                return False
            was_visible = self._window_visible(display, hwnd)
            window = self._window(display, hwnd)
            managed = self._window_manager(display) is not None
            if command == constants.SW_HIDE:
                self._quietly(display, window.unmap)
            elif command in _SW_MINIMISING:
                if managed:
                    self._request(display, window, "WM_CHANGE_STATE", [ICONIC])
                    self._wait(lambda: self._wm_state(window) == ICONIC)
                else:
                    self._quietly(display, window.unmap)
            else:
                # Mapping an iconified client is how ICCCM de-iconifies it.
                self._quietly(display, window.map)
                self._quietly(display, window.configure, stack_mode=X.Above)
                if managed:
                    self._wait(
                        lambda: getattr(self._attributes(display, hwnd), "map_state", 0) != 0
                    )
            return was_visible

    def set_foreground(self, hwnd):
        """Gives the window the keyboard focus (and raises it); False when refused."""
        from Xlib import X

        with self._session() as display:
            attributes = self._attributes(display, hwnd)
            if attributes is None:
                return False
            window = self._window(display, hwnd)
            if self._window_manager(display) is not None:
                self._request(display, window, "_NET_ACTIVE_WINDOW", [2, X.CurrentTime, 0])
                return self._wait(lambda: self._foreground_window(display) == hwnd)
            if attributes.map_state != X.IsViewable:
                return False  # X refuses the focus for a window that is not viewable
            self._quietly(display, window.configure, stack_mode=X.Above)
            return self._quietly(display, window.set_input_focus, X.RevertToParent, X.CurrentTime)

    def foreground_window(self):
        """The top-level client window that has the focus, or 0."""
        with self._session() as display:
            return self._foreground_window(display)

    def _foreground_window(self, display):
        from Xlib import error

        if self._window_manager(display) is not None:
            prop = self._property(display.screen().root, "_NET_ACTIVE_WINDOW")
            return int(prop.value[0]) if prop is not None and len(prop.value) else 0
        focus = display.get_input_focus().focus
        if isinstance(focus, int):  # None or PointerRoot
            return 0
        root = display.screen().root.id
        window = focus
        try:
            while window.id != root:
                if self._wm_class(window) is not None:
                    return window.id
                parent = window.query_tree().parent
                if getattr(parent, "id", root) == root:
                    return window.id
                window = parent
        except (error.BadWindow, error.BadDrawable):
            return 0
        return 0

    def window_title(self, hwnd):
        """_NET_WM_NAME, else WM_NAME; "" for a window without a title or that is gone."""
        with self._session() as display:
            return self._window_title(display, hwnd)

    def _window_title(self, display, hwnd):
        if self._attributes(display, hwnd) is None:
            return ""
        window = self._window(display, hwnd)
        for name in ("_NET_WM_NAME", "WM_NAME"):
            prop = self._property(window, name)
            if prop is not None and prop.format == 8:
                type_name = display.get_atom_name(prop.property_type)
                return _decode(prop.value, type_name)
        return ""

    def pin_above(self, title, wm_class):
        """Keeps this process's top-level window ``title`` above the others (EWMH
        _NET_WM_STATE_ABOVE) and gives it the WM_CLASS ``wm_class`` (instance, class).

        With a window manager the state is asked of it, as EWMH prescribes for a mapped window;
        without one the state is recorded on the window and the window raised.
        """
        from Xlib import X, Xatom

        with self._session() as display:
            window = self._give_class(display, title, wm_class)
            above = self.connection.atom("_NET_WM_STATE_ABOVE")
            if self._window_manager(display) is not None:
                self._request(display, window, "_NET_WM_STATE", [1, above, 0, 1])  # 1: add
                self._wait(lambda: above in self._net_wm_state(window))
            else:
                window.change_property(
                    self.connection.atom("_NET_WM_STATE"), Xatom.ATOM, 32, [above]
                )
                self._quietly(display, window.configure, stack_mode=X.Above)
            display.sync()

    def give_class(self, title, wm_class):
        """Gives this process's top-level window ``title`` the WM_CLASS ``wm_class``."""
        with self._session() as display:
            self._give_class(display, title, wm_class)
            display.sync()

    def _give_class(self, display, title, wm_class):
        from Xlib import Xatom

        window = self._own_window(display, title)
        if window is None:
            raise DesktopError(f"no window {title!r} of this process on {self.name!r}")
        instance, class_name = wm_class
        window.change_property(
            Xatom.WM_CLASS,
            Xatom.STRING,
            8,
            f"{instance}\0{class_name}\0".encode("latin-1", "replace"),
        )
        return window

    def _net_wm_state(self, window):
        prop = self._property(window, "_NET_WM_STATE")
        return [] if prop is None else list(prop.value)

    def _own_window(self, display, title):
        """This process's top-level window called ``title`` (by _NET_WM_PID), or None."""
        pid = os.getpid()
        for top in reversed(display.screen().root.query_tree().children):
            for window in (top, *reversed(top.query_tree().children)):
                owner = self._property(window, "_NET_WM_PID")
                if owner is None or not len(owner.value) or int(owner.value[0]) != pid:
                    continue
                if self._window_title(display, window.id) == title:
                    return window
        return None
