"""velmora-host: global hotkeys and typed-character capture for an X11 session.

The host reads its configuration file, fills the abbreviation and location tables of the
package's ``common`` module, grabs the hotkeys, records what the user types into
``ControllerHouse.pressed_chars`` and runs each hotkey's action with the modules' public
functions. It runs as an ordinary user, one host per display, until SIGTERM or Ctrl-C.
"""

import argparse
import logging
import os
import select
import signal
import sys
import threading

from velmora.host import capture
from velmora.host import config as configuration

log = logging.getLogger("velmora-host")

# How long after SIGTERM or Ctrl-C an action that is still running (the picture window waits
# for its user) may keep the host from ending.
STOP_GRACE = 2.0
HERE = os.path.dirname(os.path.abspath(__file__))


def arguments(argv):
    parser = argparse.ArgumentParser(
        prog="velmora-host",
        description="Global hotkeys and typed-character capture for the velmora tools on X11.",
    )
    parser.add_argument(
        "--config",
        metavar="FILE",
        help=f"the configuration file (default: {configuration.default_path()})",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="check the configuration file, then exit: 0 when it is valid",
    )
    parser.add_argument(
        "--verbose",
        "-v",
        action="store_true",
        help="log more: grabs, key matching, typed-character counts",
    )
    return parser.parse_args(argv)


def setup_logging(verbose):
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(
        logging.Formatter("%(asctime)s velmora-host %(levelname)s: %(message)s", "%H:%M:%S")
    )
    log.handlers[:] = [handler]
    log.setLevel(logging.DEBUG if verbose else logging.INFO)
    log.propagate = False


class Stopper:
    """SIGTERM and SIGINT end the host: the main loop sees ``fileno`` readable.

    The signals' bytes reach a pipe that a thread reads, so the end does not wait for the
    main thread to run Python code. When an action still runs after STOP_GRACE (the picture
    window blocks until its user closes it), that thread ends the process itself, with status
    0; the X server then drops the grabs, the selection and the recording with the connections.
    """

    def __init__(self):
        self.signal_read, signal_write = os.pipe()
        os.set_blocking(signal_write, False)
        self.stop_read, self.stop_write = os.pipe()
        self.busy = None  # the action running, if any
        self.finished = threading.Event()
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, lambda *_: None)  # the byte on the wakeup pipe does the work
        signal.set_wakeup_fd(signal_write)
        threading.Thread(target=self._watch, name="velmora-signals", daemon=True).start()

    def fileno(self):
        return self.stop_read

    def _watch(self):
        number = os.read(self.signal_read, 1)[0]
        log.info("ending on %s", signal.Signals(number).name)
        os.write(self.stop_write, b"x")
        if self.finished.wait(STOP_GRACE):
            return
        if self.busy is None and self.finished.wait(5 * STOP_GRACE):
            return  # no action runs: the main loop is releasing what it holds
        log.info("ending while %s runs", self.busy or "the host cleans up")
        logging.shutdown()
        os._exit(0)


def load_config(args):
    path = args.config or configuration.default_path()
    if args.config is None and not os.path.exists(path):
        example = os.path.join(HERE, "example-config.toml")
        raise configuration.ConfigError(
            [f"{path}: no configuration file; write one (an example: {example})"]
        )
    return configuration.load(path)


def main(argv=None):
    args = arguments(argv)
    setup_logging(args.verbose)
    try:
        config = load_config(args)
    except configuration.ConfigError as error:
        for problem in error.problems:
            print(problem, file=sys.stderr)
        return 2
    if args.check:
        print(
            f"{config.path}: valid ({len(config.hotkeys)} hotkeys, "
            f"{len(config.abbreviations)} abbreviations, {len(config.locations)} locations)"
        )
        return 0
    if sys.platform != "linux" or not os.environ.get("DISPLAY"):
        log.error("velmora-host needs an X11 session: DISPLAY is not set")
        return 1
    from Xlib import error as xerror

    from velmora.host import xserver

    try:
        return Host(config).run()
    except xerror.ConnectionClosedError as closed:
        log.error("the X server closed the connection: %s", closed)
        return 1
    except xserver.AlreadyRunning as error:
        log.error("%s; not starting a second one", error)
        return 1
    except xserver.HostError as error:
        log.error("%s", error)
        return 1


class Host:
    def __init__(self, config):
        self.config = config
        self.quiet = None  # the X times (start, end) of the last action

    def _modules(self):
        """The modules and the shared state, as a host sees them; fills the tables."""
        os.environ.setdefault("VELMORA_DESKTOP", "1")
        import common  # the host's own if one is on the path, else the package's stand-in

        from velmora import snapTone, strokeSmith

        house = common.ControllerHouse
        house.abbreviations = dict(self.config.abbreviations)
        house.locations = dict(self.config.locations)
        house.pressed_chars = ""
        log.debug("common is %s", getattr(common, "__file__", common))
        return snapTone, strokeSmith, house

    def run(self):
        from velmora.host import actions, xserver

        self.stopper = Stopper()
        self.x = xserver.XHost()
        try:
            self.x.claim()
            snap, keys, house = self._modules()
            self.actions = actions.Actions(snap, keys, house, self.x.press)
            self.actions.install()
            self.hotkeys = {}
            for hotkey in self.config.hotkeys:
                try:
                    grab = self.x.grab(hotkey.combo)
                except xserver.HostError as error:
                    log.error("%s (line %d): %s", self.config.path, hotkey.line, error)
                    continue
                self.hotkeys[grab] = hotkey
                log.debug(
                    "grabbed %s: keycode %d, modifiers %#x",
                    hotkey.combo,
                    grab.keycode,
                    grab.modifiers,
                )
            self.capture = capture.Capture(house, lambda event: self.x.match(event) is not None)
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
            log.info("ended; hotkeys and capture released")
            self.stopper.finished.set()
            return 0
        finally:
            self.x.close()

    def _loop(self):
        from Xlib import X

        while True:
            for event in self.x.events():
                if event.type == X.KeyPress:
                    self._key(event)
                elif event.type == X.MappingNotify:  # keys remapped, for typing or a new layout
                    self.x.display.refresh_keyboard_mapping(event)
            ready, _, _ = select.select([self.x.display, self.stopper], [], [])
            if self.stopper in ready:
                return

    def _key(self, event):
        grab = self.x.match(event)
        if grab is None:
            return
        hotkey = self.hotkeys[grab]
        if self.quiet is not None and capture.between(event.time, *self.quiet):
            # Pressed while the last action ran (or its key repeating): not a new request.
            log.debug("%s: ignored, pressed while an action ran", hotkey.combo)
            return
        log.info("%s: %s", hotkey.combo, hotkey.action)
        self.capture.hold(event.time)
        self.stopper.busy = hotkey.action
        try:
            if not self.x.wait_released(grab):
                log.warning("%s: keys still held; running %s anyway", hotkey.combo, hotkey.action)
            self.actions.run(hotkey.action, hotkey.args)
        finally:
            self.stopper.busy = None
            self.quiet = (event.time, self.x.server_time())
            self.capture.release(self.quiet[1])


if __name__ == "__main__":
    sys.exit(main())
