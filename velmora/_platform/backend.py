"""The one interface between the stand-ins and a desktop, in two halves.

``Display`` is what needs the display server: key events and typed text (one path, so that
where one cannot reach the desktop neither can the other), the screen size, top-level windows
and the clipboard. ``Programs`` is what the desktop's programs do: play a sound, open a path
with its default application, show a file in the file manager.

The stand-ins (``win32api``, ``win32gui``, ``win32ui``, ``win32clipboard``, ``winsound``,
``keyboard``) and the shell steps of the compiled modules (``shell``) only translate the Windows
calls into these methods; ``desktop`` chooses the implementations, in one place:

- ``memory``: no display (tests, servers): windows in a table, keys and text go nowhere;
- ``x11``: an X server, through XTEST and EWMH;
- ``freedesktop``: the freedesktop programs (sound players, xdg-open, the FileManager1 bus).

Another desktop (Wayland, macOS) is one more module implementing these classes.

Every failure to reach the desktop is a ``DesktopError``, whatever library lies below.
"""

import abc


class DesktopError(OSError):
    """The desktop cannot be reached, or cannot do what was asked."""


class Display(abc.ABC):
    """Keys, text, screen, windows and clipboard of one display."""

    # Keys and text ---------------------------------------------------------------------------

    @abc.abstractmethod
    def key_event(self, vk, scan, flags):
        """One key event of ``keybd_event``: down, or up when KEYEVENTF_KEYUP is in ``flags``.

        A key goes up on the key it went down on, whatever changed in between.
        """

    @abc.abstractmethod
    def write(self, text):
        """Types ``text`` (any Unicode) into the focused window, each character once.

        On failure no key stays down and the keyboard is left as it was; what was typed stays.
        """

    def release_keys(self):  # noqa: B027 (optional: does nothing by default)
        """Lets go of every key this backend pressed and has not released."""

    # Screen and windows ----------------------------------------------------------------------

    @abc.abstractmethod
    def screen_size(self):
        """(width, height) of the primary screen in pixels."""

    @abc.abstractmethod
    def find_window(self, class_name, title):
        """The handle of a top-level window of ``class_name`` (and ``title``, unless None); 0."""

    @abc.abstractmethod
    def window_visible(self, hwnd):
        """Whether ``hwnd`` is a live, shown (or minimised) window this handle was issued for."""

    @abc.abstractmethod
    def show_window(self, hwnd, command):
        """ShowWindow: hides, minimises or restores; returns whether it was visible before."""

    @abc.abstractmethod
    def set_foreground(self, hwnd):
        """Gives the window the keyboard focus; False when that is refused."""

    @abc.abstractmethod
    def foreground_window(self):
        """The handle of the focused top-level window, or 0."""

    @abc.abstractmethod
    def window_title(self, hwnd):
        """The window's title; "" for a window without one or that is gone."""

    def check_window_display(self):  # noqa: B027 (optional: does nothing by default)
        """Raises DesktopError where the picture window, an X11 window of OpenCV's GUI build,
        has no X display to open on; does nothing where it has one (or where it is no concern
        of this backend). Asked before the window is made: the GUI ends the whole process when
        it finds no display."""

    def pin_above(self, title, wm_class):  # noqa: B027 (optional: does nothing by default)
        """Keeps this process's window ``title`` above the others, with the window class
        ``wm_class`` (instance, class); nothing where windows have no such state."""

    # Clipboard -------------------------------------------------------------------------------

    @abc.abstractmethod
    def publish_clipboard(self, contents):
        """Offers ``contents`` ({clipboard format: bytes}) to other programs; {} clears."""

    @abc.abstractmethod
    def clipboard_picture(self):
        """The clipboard's picture as PNG bytes, or None when it holds none."""

    # Lifecycle -------------------------------------------------------------------------------

    def close(self):  # noqa: B027 (optional: does nothing by default)
        """Lets go of the keys pressed and of the connection; a later call may open a new one."""


class Programs(abc.ABC):
    """The desktop's programs."""

    @abc.abstractmethod
    def play_sound(self, sound, flags):
        """PlaySound of a file name (a Windows name); silent where it cannot play."""

    @abc.abstractmethod
    def open_path(self, path):
        """Opens a file, folder or URL with its default application, as os.startfile does."""

    @abc.abstractmethod
    def reveal_path(self, path):
        """Shows the file ``path`` selected in the file manager (or opens its folder)."""
