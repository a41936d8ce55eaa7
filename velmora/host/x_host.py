"""The host on an X11 session: hotkeys grabbed on the root window, typed characters recorded
with the RECORD extension, the user's keys held back while an action types (XInput 2)."""

import logging
import os

from velmora.host import actions, capture, control, keyhold, serving, xserver

log = logging.getLogger("velmora-host")


class XHostRunner(serving.HostBase):
    def __init__(self, config, verbose=False):
        super().__init__(config, verbose)
        self.quiet = None  # the X times (start, end) of the last action
        self.hotkeys = {}  # Grab -> Hotkey
        self._grab_pressed = None  # (grab, X time) of the hotkey whose action runs

    def run(self):
        self.stopper = serving.Stopper()
        self.x = xserver.XHost()
        self.picture = serving.PictureWindow(self.verbose)
        try:
            self.x.claim()
            self._open_control(control.x11_session(os.environ["DISPLAY"]), required=False)
            snap, keys, house = self._modules()
            self.actions = actions.Actions(snap, keys, house, self.x.press, self.picture)
            self.actions.install()
            self.actions.configure(self.config)
            for hotkey in self.config.hotkeys:
                self._grab(hotkey)
            self.capture = capture.Capture(
                house, lambda event: self.x.match(event) is not None, words=self.config.words
            )
            self.keyhold = keyhold.KeyHold()
            self.capture.start()
            log.info(
                "running on display %s with %s: %d hotkeys, %d abbreviations, %d locations",
                os.environ["DISPLAY"],
                self.config.path,
                len(self.hotkeys),
                len(self.config.abbreviations),
                len(self.config.locations),
            )
            self._loop()
            self.x.ungrab_all()
            self.capture.stop()
            self.keyhold.close()
            log.info("ended; hotkeys and capture released")
            self.stopper.finished.set()
            return 0
        finally:
            self.picture.close()  # the window's process ends with the host
            self._close_control()
            self.x.close()

    def _grab(self, hotkey):
        """Grabs ``hotkey``; a combination that lands on the key and modifiers of one grabbed
        already (ctrl+alt+! and ctrl+alt+shift+1 on a US layout) is reported with both lines
        and left out, since only the first could ever run."""
        path = self.config.path
        try:
            keycode, modifiers = self.x.resolve(hotkey.combo)
            for grab, other in self.hotkeys.items():
                if (grab.keycode, grab.modifiers) == (keycode, modifiers):
                    raise xserver.HostError(
                        f"hotkeys: {str(hotkey.combo)!r} is the same key and modifiers as "
                        f"{str(other.combo)!r} ({path}:{other.line}) on this keyboard; left out"
                    )
            grab = self.x.grab(hotkey.combo)
        except xserver.HostError as error:
            log.error("%s:%d: %s", path, hotkey.line, error)
            return
        self.hotkeys[grab] = hotkey
        log.debug("grabbed %s: keycode %d, modifiers %#x", hotkey.combo, keycode, modifiers)

    def _rebind(self, config):
        """Grabs the added combinations and releases the removed ones."""
        wanted = {hotkey.combo: hotkey for hotkey in config.hotkeys}
        released = 0
        for grab, hotkey in list(self.hotkeys.items()):
            if hotkey.combo in wanted:
                self.hotkeys[grab] = wanted.pop(hotkey.combo)  # its action may have changed
            else:
                self.x.ungrab(grab)
                del self.hotkeys[grab]
                released += 1
        before = len(self.hotkeys)
        for hotkey in wanted.values():
            self._grab(hotkey)
        grabbed = len(self.hotkeys) - before
        return f"{len(self.hotkeys)} hotkeys ({grabbed} grabbed, {released} released)"

    def _pending(self):
        from Xlib import X

        for event in self.x.events():
            if event.type == X.KeyPress:
                self._key(event)
            elif event.type == X.MappingNotify:  # keys remapped, for typing or a new layout
                self.x.display.refresh_keyboard_mapping(event)

    def _sources(self):
        return {self.x.display: lambda: None}  # its events are read by _pending

    def _key(self, event):
        grab = self.x.match(event)
        if grab is None:
            return
        hotkey = self.hotkeys[grab]
        if self.quiet is not None and capture.between(event.time, *self.quiet):
            # Pressed while the last action ran (or its key repeating): not a new request.
            log.debug("%s: ignored, pressed while an action ran", hotkey.combo)
            return
        self._grab_pressed = (grab, event.time)
        try:
            self.run_action(hotkey.action, hotkey.args, str(hotkey.combo))
        finally:
            self._grab_pressed = None

    def _perform(self, action, args, label):
        """Runs ``action`` with the capture held, once the hotkey's keys are up, with the
        user's keys held back while it types. A control request has no grab: only the
        modifier keys are waited for."""
        grab, since = self._grab_pressed or (None, self.x.server_time())
        # A hotkey's own press is recorded too, so its time is sure to come; a control
        # request's "now" comes only with the user's next key: nothing is waited for then.
        self.capture.hold(since, timeout=capture.HOLD_TIMEOUT if grab else 0.0)
        types = actions.REGISTRY[action].types
        try:
            if types:
                keycodes = {*self.x.modifier_keycodes(), *([grab.keycode] if grab else [])}
                self.keyhold.watch(keycodes)
            if not self.x.wait_released(grab) and types:
                why = f"modifier keys still held after {xserver.RELEASE_TIMEOUT:g} s"
                log.warning("%s: %s; %s cancelled, nothing typed", label, why, action)
                return False
            if types and not self.keyhold.hold():
                why = "keys typed after the hotkey reached the window first"
                log.warning("%s: %s; %s cancelled, nothing typed", label, why, action)
                return False
            return self.actions.run(action, args)
        finally:
            self.quiet = (since, self.x.server_time())
            self.capture.release(self.quiet[1])
            if self.keyhold.devices:  # the keys it replays come after the hold by the clock too
                self.x.wait_past(self.quiet[1])
            self.keyhold.release(self.x.display)  # the user's keys held back, after the action's
