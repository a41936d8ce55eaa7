"""Holding back the user's own keys while an action types, and replaying them afterwards.

While the host types a substitution, a key the user presses would land inside it. XInput 2
can grab a slave keyboard (a physical device): the server then floats it off its master for
the grab, so its events reach only this connection and never the focused window, while the
host's own typing (XTEST, through the master keyboard's XTEST device) goes on unhindered. When
the action is over the grabs end and the held keys are pressed again with XTEST, in order.

Keys pressed after the hotkey but before the grab took hold reach the window first; raw events
(selected on the root window from the hotkey on, for every master device) show them, and the
host then cancels the action rather than type where the user's text has changed.
"""

import logging
import time

log = logging.getLogger("velmora-host")

# How long the release waits for the held keys to come up, so that no key goes back to the
# server still down on one device and up on another.
RELEASE_WAIT = 1.0


def _raw_event_data():
    from Xlib.protocol import rq

    return rq.Struct(
        rq.Card16("deviceid"),
        rq.Card32("time"),
        rq.Card32("detail"),
        rq.Card16("sourceid"),
        rq.Card16("valuators_len"),
        rq.Card32("flags"),
        rq.Pad(4),
    )


class KeyHold:
    """XInput 2 grabs of the slave keyboards of the core keyboard, on a connection of its own."""

    def __init__(self, name=None):
        from Xlib.ext import xinput

        from velmora.host import xserver

        self.display = xserver.open_display(name)
        self.root = self.display.screen().root
        self.available = False
        self.devices = []  # ids of the keyboards grabbed
        self.held = []  # (press?, keycode) in the order the user pressed them
        self.ignored = set()  # keycodes that may go down after the hotkey: its own, modifiers
        self.pressed = []
        try:
            info = self.display.query_extension(xinput.extname)
            version = self.display.xinput_query_version()
        except Exception as error:
            log.warning("no XInput 2: keys typed during an expansion are not held back (%s)", error)
            return
        if not info.present or version.major_version < 2:
            log.warning("no XInput 2: keys typed during an expansion are not held back")
            return
        for kind in (xinput.RawKeyPress, xinput.RawButtonPress):
            self.display.ge_add_event_data(info.major_opcode, kind, _raw_event_data())
        self.xtest_atom = self.display.intern_atom("XTEST Device")
        self.available = True

    def _keyboards(self):
        """The slave keyboards attached to the core keyboard, but not its XTEST device."""
        from Xlib import X
        from Xlib import error as xerror
        from Xlib.ext import xinput

        devices = self.display.xinput_query_device(xinput.AllDevices).devices
        masters = [d.deviceid for d in devices if d.use == xinput.MasterKeyboard]
        core = min(masters) if masters else None  # the core keyboard is the first master
        found = []
        for device in devices:
            if device.use != xinput.SlaveKeyboard or device.attachment != core:
                continue
            try:
                flagged = self.display.xinput_get_device_property(
                    device.deviceid, self.xtest_atom, X.AnyPropertyType, 0, 1
                )
            except xerror.XError:  # unplugged meanwhile
                continue
            if flagged.type != X.NONE:  # the XTEST device: the host itself types with it
                continue
            found.append(device.deviceid)
        return found

    def watch(self, keycodes):
        """From now on, notes key presses and clicks other than of ``keycodes``."""
        from Xlib.ext import xinput

        if not self.available:
            return
        self.ignored = set(keycodes)
        self._drain()
        self.pressed = []  # keycodes of the raw key presses since, None for a click
        mask = xinput.RawKeyPressMask | xinput.RawButtonPressMask
        self.root.xinput_select_events([(xinput.AllMasterDevices, mask)])
        self.display.sync()

    def _drain(self):
        """Reads the events received so far: raw presses and clicks, and the keys held."""
        from Xlib.ext import xinput

        while self.display.pending_events():
            event = self.display.next_event()
            kind = getattr(event, "evtype", None)
            if kind == xinput.RawKeyPress and event.data.detail not in self.ignored:
                self.pressed.append(event.data.detail)
            elif kind == xinput.RawButtonPress and event.data.detail in (1, 2, 3):
                self.pressed.append(None)
            elif kind in (xinput.KeyPress, xinput.KeyRelease):
                if event.data.deviceid in self.devices:
                    self.held.append((kind == xinput.KeyPress, event.data.detail))

    def hold(self):
        """Grabs the keyboards; False when a key or click reached a window since ``watch``."""
        from Xlib import X
        from Xlib import error as xerror
        from Xlib.ext import xinput

        if not self.available:
            return True
        self.held, self.devices = [], []
        for device in self._keyboards():
            try:
                reply = self.root.xinput_grab_device(
                    device,
                    X.CurrentTime,
                    xinput.GrabModeAsync,
                    xinput.GrabModeAsync,
                    False,
                    xinput.KeyPressMask | xinput.KeyReleaseMask,
                )
            except xerror.XError as error:  # unplugged meanwhile
                log.debug("keyboard %d not held back: %s", device, error)
                continue
            if reply.status == X.GrabSuccess:
                self.devices.append(device)
            else:
                log.debug("keyboard %d not held back: grab status %d", device, reply.status)
        log.debug("holding back the keys of %d keyboards", len(self.devices))
        # The grab's reply comes after every event of earlier key presses: the raw events read
        # now are all the presses since the hotkey. Those that the grab caught come as held
        # keys too; the others reached a window.
        self.root.xinput_select_events([(xinput.AllMasterDevices, 0)])
        self.display.sync()
        self._drain()
        reached = list(self.pressed)
        for pressed, keycode in self.held:
            if pressed and keycode in reached:
                reached.remove(keycode)
        return not reached

    def release(self, replay):
        """Ends the grabs, then presses the held keys again, in order, on ``replay``'s X
        connection (its XTEST device)."""
        from Xlib import X
        from Xlib.ext import xinput, xtest

        if not self.available:
            return
        self.root.xinput_select_events([(xinput.AllMasterDevices, 0)])
        if not self.devices:
            self.display.sync()
            self._drain()
            self.pressed = []
            return
        deadline = time.monotonic() + RELEASE_WAIT
        self.display.sync()
        self._drain()
        while self._down() and time.monotonic() < deadline:
            time.sleep(0.01)
            self.display.sync()
            self._drain()
        for device in self.devices:
            self.display.xinput_ungrab_device(device, X.CurrentTime)
        self.display.sync()
        self._drain()  # events of the last moment before the ungrab
        self.devices, self.pressed = [], []
        held, self.held = self.held, []
        down = set()
        for pressed, keycode in held:
            if not pressed and keycode not in down:
                continue  # went down before the grab: XTEST cannot release another device's key
            (down.add if pressed else down.discard)(keycode)
            xtest.fake_input(replay, X.KeyPress if pressed else X.KeyRelease, keycode)
        replay.sync()
        if held:
            log.debug("replayed %d key events held back during the action", len(held))

    def _down(self):
        down = set()
        for pressed, keycode in self.held:
            (down.add if pressed else down.discard)(keycode)
        return down

    def close(self):
        try:
            self.display.close()
        except Exception:
            pass
