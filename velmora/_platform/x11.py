"""The X server side of the desktop backend: key events, screen size and top-level windows.

One connection per process, opened on first use (``Connection.display``). Key events are
injected with the XTEST extension, so they reach whichever window has the keyboard focus, as
``keybd_event`` does on Windows. Window handles are X window ids.

Windows work both with a window manager (found through EWMH's ``_NET_SUPPORTING_WM_CHECK``),
where activation is requested with ``_NET_ACTIVE_WINDOW`` and iconifying with ICCCM's
``WM_CHANGE_STATE``, and without one (a bare Xvfb), where the backend maps, raises and focuses
windows itself.
"""

import os
import threading
import time

from velmora._platform import keymap

# ICCCM WM_STATE values.
WITHDRAWN, NORMAL, ICONIC = 0, 1, 3

# ShowWindow commands that minimise, and the one that hides.
_SW_HIDE = 0
_SW_MINIMISING = {2, 6, 7, 11}

# How long set_foreground waits for a window manager to make the window active.
ACTIVATION_TIMEOUT = 0.5


class DesktopError(OSError):
    """The X display cannot be reached or cannot do what was asked."""


class Connection:
    """A lazily opened connection to the X display named by ``name`` (default: $DISPLAY)."""

    def __init__(self, name=None):
        self._name = name
        self._display = None
        self._keysyms = {}
        self._lock = threading.RLock()

    @property
    def name(self):
        return self._name if self._name is not None else os.environ.get("DISPLAY", "")

    def display(self):
        with self._lock:
            if self._display is None:
                self._display = self._open()
            return self._display

    def _open(self):
        try:
            from Xlib import display as xdisplay
        except ImportError as error:
            raise DesktopError("python-xlib is needed for the X desktop") from error
        if not self.name:
            raise DesktopError("no X display: DISPLAY is not set")
        try:
            opened = xdisplay.Display(self.name)
        except Exception as error:  # python-xlib raises several unrelated types here
            raise DesktopError(f"cannot open X display {self.name!r}: {error}") from error
        if opened.query_extension("XTEST") is None:
            opened.close()
            raise DesktopError(f"X display {self.name!r} lacks the XTEST extension")
        return opened

    def close(self):
        with self._lock:
            if self._display is not None:
                try:
                    self._display.close()
                except Exception:
                    pass
                self._display = None

    def atom(self, name):
        return self.display().intern_atom(name)

    # Keys ------------------------------------------------------------------------------

    def _refresh_keymap(self, display):
        """Applies keyboard mapping changes announced since the last key event."""
        from Xlib.protocol import event

        while display.pending_events():
            received = display.next_event()
            if isinstance(received, event.MappingNotify):
                display.refresh_keyboard_mapping(received)

    def send_key(self, vk, scan, flags):
        """Injects one key event: down, or up when ``KEYEVENTF_KEYUP`` is set in ``flags``."""
        from Xlib import X
        from Xlib.ext import xtest

        name = keymap.keysym_name(vk, scan, flags)
        with self._lock:
            display = self.display()
            self._refresh_keymap(display)
            if name not in self._keysyms:
                self._keysyms[name] = keymap.keysym_value(name)
            keycode = display.keysym_to_keycode(self._keysyms[name])
            if not keycode:
                raise keymap.UnmappedKey(f"the X keyboard has no key for {name} (vk {vk:#04x})")
            kind = X.KeyRelease if flags & keymap.KEYEVENTF_KEYUP else X.KeyPress
            xtest.fake_input(display, kind, keycode)
            display.sync()

    # Screen ----------------------------------------------------------------------------

    def screen_size(self):
        """Width and height in pixels of the default screen's root window, as it is now."""
        with self._lock:
            geometry = self.display().screen().root.get_geometry()
            return geometry.width, geometry.height

    # Selections ------------------------------------------------------------------------

    def selection_owner(self, selection="CLIPBOARD"):
        """The window id that owns ``selection``, 0 when nobody does."""
        with self._lock:
            owner = self.display().get_selection_owner(self.atom(selection))
            return getattr(owner, "id", owner) or 0

    def clear_selection(self, selection="CLIPBOARD"):
        """Leaves ``selection`` without an owner; the previous owner is told to let go."""
        from Xlib import X
        from Xlib.protocol import request

        with self._lock:
            display = self.display()
            request.SetSelectionOwner(
                display=display.display,
                window=X.NONE,
                selection=self.atom(selection),
                time=X.CurrentTime,
            )
            display.sync()


def _decode(raw, type_name):
    if isinstance(raw, str):
        return raw
    raw = bytes(raw).rstrip(b"\0")
    encoding = "utf-8" if type_name == "UTF8_STRING" else "latin-1"
    return raw.decode(encoding, errors="replace")


class XWindows:
    """The window questions of ``win32gui``/``win32ui`` answered by the X server.

    Same methods as ``windows.WindowTable``. Handles are X window ids of client windows (the
    windows that carry WM_CLASS, not the frames a window manager puts around them).
    """

    def __init__(self, connection):
        self._connection = connection

    # Helpers -----------------------------------------------------------------------------

    def _display(self):
        return self._connection.display()

    def _window(self, hwnd):
        return self._display().create_resource_object("window", hwnd)

    def _property(self, window, name):
        """The property ``name`` of ``window``; None if unset or the window is gone."""
        from Xlib import X, error

        try:
            return window.get_full_property(self._connection.atom(name), X.AnyPropertyType)
        except (error.BadWindow, error.BadDrawable):
            return None

    def _wm_class(self, window):
        prop = self._property(window, "WM_CLASS")
        if prop is None or prop.format != 8:
            return None
        parts = _decode(prop.value, "STRING").split("\0")
        return tuple(parts[:2]) if len(parts) >= 2 else None

    def _wm_state(self, window):
        prop = self._property(window, "WM_STATE")
        return None if prop is None or not len(prop.value) else int(prop.value[0])

    def _window_manager(self):
        """The window manager's check window if an EWMH window manager runs, else None."""
        root = self._display().screen().root
        prop = self._property(root, "_NET_SUPPORTING_WM_CHECK")
        if prop is None or not len(prop.value):
            return None
        check = self._window(int(prop.value[0]))
        own = self._property(check, "_NET_SUPPORTING_WM_CHECK")  # None if the manager has gone
        if own is None or not len(own.value) or int(own.value[0]) != check.id:
            return None
        return check

    def _attributes(self, hwnd):
        """The window's attributes; None for a window that does not exist (or a bad handle)."""
        from Xlib import error

        if not 0 < hwnd <= 0xFFFFFFFF:
            return None
        try:
            return self._window(hwnd).get_attributes()
        except (error.BadWindow, error.BadDrawable, error.BadValue):
            return None

    def _client_of(self, window, depth=3):
        """``window`` if it carries WM_CLASS, else the first client below it (window frames)."""
        if self._wm_class(window) is not None:
            return window
        if depth == 0:
            return None
        for child in reversed(window.query_tree().children):
            client = self._client_of(child, depth - 1)
            if client is not None:
                return client
        return None

    def _clients(self):
        """Top-level client windows, topmost first."""
        from Xlib import error

        root = self._display().screen().root
        clients = []
        for top in reversed(root.query_tree().children):
            try:
                client = self._client_of(top)
            except (error.BadWindow, error.BadDrawable):
                continue  # destroyed while we looked
            if client is not None:
                clients.append(client)
        return clients

    def _request(self, window, message, data):
        """Sends an EWMH/ICCCM client message about ``window`` to the root window."""
        from Xlib import X
        from Xlib.protocol import event

        display = self._display()
        root = display.screen().root
        message = event.ClientMessage(
            window=window,
            client_type=self._connection.atom(message),
            data=(32, (list(data) + [0] * 5)[:5]),
        )
        root.send_event(message, event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
        display.flush()

    def _quietly(self, call, *args, **kwargs):
        """Runs a request that has no reply; True unless the server refused it."""
        from Xlib import error

        catcher = error.CatchError()
        call(*args, onerror=catcher, **kwargs)
        self._display().sync()
        return catcher.get_error() is None

    # The WindowTable methods ---------------------------------------------------------------

    def find(self, class_name, title):
        """The first top-level window whose WM_CLASS instance or class name is ``class_name``.

        Shown windows are preferred to iconified ones, and those to unmapped ones (toolkits
        keep hidden helper windows with the application's class); within each group the
        topmost wins. ``title``, unless None, must equal the window's title. 0 if none.
        """
        with self._connection._lock:
            matches = []
            for client in self._clients():
                names = self._wm_class(client)
                if names is None or class_name not in names:
                    continue
                if title is not None and self.title(client.id) != title:
                    continue
                attributes = self._attributes(client.id)
                if attributes is None:
                    continue
                if attributes.map_state != 0:
                    rank = 0
                elif self._wm_state(client) == ICONIC:
                    rank = 1
                else:
                    rank = 2
                matches.append((rank, len(matches), client.id))
            return min(matches)[2] if matches else 0

    def is_visible(self, hwnd):
        """Mapped, or iconified by the window manager (a minimised window is still visible)."""
        with self._connection._lock:
            attributes = self._attributes(hwnd)
            if attributes is None:
                return False
            if attributes.map_state != 0:
                return True
            return self._wm_state(self._window(hwnd)) == ICONIC

    def show(self, hwnd, command):
        """Hides, iconifies or shows and raises the window; returns whether it was visible.

        Under a window manager the change is a request that the manager carries out; the call
        waits (up to ACTIVATION_TIMEOUT) until it has, as ShowWindow returns with it done.
        """
        from Xlib import X

        with self._connection._lock:
            if self._attributes(hwnd) is None:
                return False
            was_visible = self.is_visible(hwnd)
            window = self._window(hwnd)
            managed = self._window_manager() is not None
            if command == _SW_HIDE:
                self._quietly(window.unmap)
            elif command in _SW_MINIMISING:
                if managed:
                    self._request(window, "WM_CHANGE_STATE", [ICONIC])
                    self._wait(lambda: self._wm_state(window) == ICONIC)
                else:
                    self._quietly(window.unmap)
            else:
                # Mapping an iconified client is how ICCCM de-iconifies it.
                self._quietly(window.map)
                self._quietly(window.configure, stack_mode=X.Above)
                if managed:
                    self._wait(lambda: getattr(self._attributes(hwnd), "map_state", 0) != 0)
            return was_visible

    @staticmethod
    def _wait(done, timeout=None):
        """Polls ``done`` until it is true or the time is up; returns its last answer."""
        deadline = time.monotonic() + (ACTIVATION_TIMEOUT if timeout is None else timeout)
        while not done():
            if time.monotonic() >= deadline:
                return False
            time.sleep(0.01)
        return True

    def set_foreground(self, hwnd):
        """Gives the window the keyboard focus (and raises it); False when refused."""
        from Xlib import X

        with self._connection._lock:
            attributes = self._attributes(hwnd)
            if attributes is None:
                return False
            window = self._window(hwnd)
            if self._window_manager() is not None:
                self._request(window, "_NET_ACTIVE_WINDOW", [2, X.CurrentTime, 0])
                return self._wait(lambda: self.foreground() == hwnd)
            if attributes.map_state != X.IsViewable:
                return False  # X refuses the focus for a window that is not viewable
            self._quietly(window.configure, stack_mode=X.Above)
            return self._quietly(window.set_input_focus, X.RevertToParent, X.CurrentTime)

    def foreground(self):
        """The top-level client window that has the focus, or 0."""
        from Xlib import error

        with self._connection._lock:
            display = self._display()
            if self._window_manager() is not None:
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

    def title(self, hwnd):
        """_NET_WM_NAME, else WM_NAME; "" for a window without a title or that is gone."""
        with self._connection._lock:
            if self._attributes(hwnd) is None:
                return ""
            window = self._window(hwnd)
            for name in ("_NET_WM_NAME", "WM_NAME"):
                prop = self._property(window, name)
                if prop is not None and prop.format == 8:
                    type_name = self._display().get_atom_name(prop.property_type)
                    return _decode(prop.value, type_name)
            return ""
