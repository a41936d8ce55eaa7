"""The host on a Wayland session. No program may grab keys or read other programs' keys
there: the compositor's own shortcuts run ``velmora-host action ...``, which reaches this host
through its control socket, and typed characters come from the keyboards' input devices
where the user may read them (the ``input`` group).

At start the host says what works on the running compositor and what does not, and why (the
platform layer's messages), and prints the lines that bind the configured hotkeys.
"""

import logging
import os

from velmora.host import actions, bindings, control, serving, xserver

log = logging.getLogger("velmora-host")

ABBREVIATIONS = ("expand", "open-location")


def offered(name):
    """The names of the globals the compositor ``name`` offers; raises DesktopError."""
    from velmora._platform import wayland
    from velmora._platform.backend import DesktopError

    try:
        import pywayland.client  # noqa: F401
    except ImportError as error:
        raise DesktopError("pywayland is needed for the Wayland desktop") from error
    connection = wayland.Connection(name)
    try:
        return set(connection.globals)
    finally:
        connection.close()


def limits(globals_offered, environ):
    """{action: why it cannot work here} for the compositor offering ``globals_offered``."""
    from velmora._platform import wayland

    needs = (
        ({"zwp_virtual_keyboard_manager_v1"}, wayland.NO_KEYBOARD, ("expand", "keys", "open-with")),
        (
            {"zwlr_data_control_manager_v1", "ext_data_control_manager_v1"},
            wayland.NO_DATA_CONTROL,
            ("invert-picture", "edit-picture"),
        ),
    )
    missing = {}
    for wanted, reason, names in needs:
        if not wanted & globals_offered:
            missing.update(dict.fromkeys(names, reason))
    if not environ.get("DISPLAY"):
        missing.setdefault(
            "edit-picture",
            "the picture window is an X11 window and needs Xwayland, and DISPLAY is not set",
        )
    return missing


def flavour(environ):
    """The compositor whose binding lines the host prints: sway, GNOME or KDE."""
    desktop = environ.get("XDG_CURRENT_DESKTOP", "").upper()
    if "GNOME" in desktop:
        return "gnome"
    if "KDE" in desktop:
        return "kde"
    return "sway"


class WaylandHost(serving.HostBase):
    def __init__(self, config, verbose=False, keyboards=None):
        super().__init__(config, verbose)
        self.keyboards = keyboards or None  # input device paths, None: every keyboard

    def run(self):
        name = os.environ["WAYLAND_DISPLAY"]
        self.stopper = serving.Stopper()
        self.picture = serving.PictureWindow(self.verbose)
        self._open_control(control.wayland_session(name), required=True)
        try:
            snap, keys, house = self._modules()
            self.actions = actions.Actions(snap, keys, house, self._press, self.picture)
            self.actions.install()
            self.actions.configure(self.config)
            self._report(name)
            self.capture = self._open_capture(house)
            log.info(
                "running on Wayland display %s with %s: %d hotkeys (bound in the compositor), "
                "%d abbreviations, %d locations",
                name,
                self.config.path,
                len(self.config.hotkeys),
                len(self.config.abbreviations),
                len(self.config.locations),
            )
            self._show_bindings(self.config.hotkeys)
            self._loop()
            if self.capture is not None:
                self.capture.stop()
            log.info("ended; control socket closed")
            self.stopper.finished.set()
            return 0
        finally:
            self.picture.close()
            self._close_control()

    @staticmethod
    def _press(text):
        """Presses the combination ``text`` ("alt+4") through the platform layer's keyboard."""
        from velmora._platform import keyboard

        keyboard.send(text)

    def _report(self, name):
        """Says which actions cannot work on this compositor, and why."""
        from velmora._platform.backend import DesktopError

        try:
            missing = limits(offered(name), os.environ)
        except DesktopError as error:
            log.warning("the compositor could not be asked what it offers: %s", error)
            return
        for reason in dict.fromkeys(missing.values()):
            names = ", ".join(action for action, why in missing.items() if why == reason)
            log.warning("%s cannot work here: %s", names, reason)
        working = [action for action in actions.REGISTRY if action not in missing]
        log.info("on this compositor: %s work", ", ".join(working))

    def _open_capture(self, house):
        """The typed-character capture, started; None (said why) where it cannot run."""
        why = "typed-character capture is not part of this installation"
        try:
            from velmora.host import evdev
        except ImportError:
            evdev = None
        if evdev is not None:
            try:
                capture = evdev.open_capture(house, words=self.config.words, devices=self.keyboards)
            except evdev.NoAccess as error:
                why = str(error)
            else:
                capture.start()
                return capture
        log.warning(
            "%s; abbreviations and locations (%s) need it, everything else works",
            why.rstrip("."),
            ", ".join(ABBREVIATIONS),
        )
        return None

    def _show_bindings(self, hotkeys):
        kind = flavour(os.environ)
        if not hotkeys:
            return
        log.info("bind the hotkeys in the compositor (velmora-host --bindings %s):", kind)
        for line in bindings.lines(kind, hotkeys):
            log.info("  %s", line)

    def _rebind(self, config):
        """Nothing is grabbed: the hotkeys that are new need a binding in the compositor."""
        before = {(hotkey.combo, hotkey.action) for hotkey in self.config.hotkeys}
        new = [hotkey for hotkey in config.hotkeys if (hotkey.combo, hotkey.action) not in before]
        self._show_bindings(new)
        return f"{len(config.hotkeys)} hotkeys ({len(new)} new, bound in the compositor)"

    def _perform(self, action, args, label):
        """Runs ``action`` with the capture held; an action that types first waits until the
        user has let go of the modifier keys (where the capture sees them)."""
        capture = self.capture
        if capture is None:
            return self.actions.run(action, args)
        capture.hold()
        try:
            if actions.REGISTRY[action].types and not capture.wait_released(
                xserver.RELEASE_TIMEOUT
            ):
                why = f"modifier keys still held after {xserver.RELEASE_TIMEOUT:g} s"
                log.warning("%s: %s; %s cancelled, nothing typed", label, why, action)
                return False
            return self.actions.run(action, args)
        finally:
            capture.release()
