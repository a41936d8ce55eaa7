"""velmora-host: global hotkeys and typed-character capture for an X11 session.

The host reads its configuration file, fills the abbreviation and location tables of the
package's ``common`` module, grabs the hotkeys, records what the user types into
``ControllerHouse.pressed_chars`` and runs each hotkey's action with the modules' public
functions. It runs as an ordinary user, one host per display, until SIGTERM or Ctrl-C.

SIGHUP, or a change of the configuration file, reloads the configuration: a file with a
problem is reported and the running configuration stays; only the hotkeys whose combination
was added or removed are grabbed or released. The picture window runs in a child process, so
that the hotkeys keep answering while it is open.
"""

import argparse
import logging
import os
import select
import signal
import subprocess
import sys
import threading
import time

from velmora.host import actions, capture, keyhold
from velmora.host import config as configuration

log = logging.getLogger("velmora-host")

# How long after SIGTERM or Ctrl-C an action that is still running (the picture window waits
# for its user) may keep the host from ending.
STOP_GRACE = 2.0
# The configuration file is looked at this often (seconds), and reloaded once it has stayed
# unchanged for DEBOUNCE after a change (an editor may write it in several steps).
WATCH_INTERVAL = 0.25
DEBOUNCE = 0.5
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
    """SIGTERM and SIGINT end the host: the main loop sees ``fileno`` readable. SIGHUP asks
    for a reload: ``reload_fileno`` becomes readable.

    The signals' bytes reach a pipe that a thread reads, so the end does not wait for the
    main thread to run Python code. When an action still runs after STOP_GRACE, that thread
    ends the process itself, with status 0; the X server then drops the grabs, the selection
    and the recording with the connections.
    """

    def __init__(self):
        self.signal_read, signal_write = os.pipe()
        os.set_blocking(signal_write, False)
        self.stop_read, self.stop_write = os.pipe()
        self.reload_read, self.reload_write = os.pipe()
        os.set_blocking(self.reload_read, False)
        os.set_blocking(self.reload_write, False)
        self.busy = None  # the action running, if any
        self.finished = threading.Event()
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, lambda *_: None)  # the byte on the wakeup pipe does the work
        signal.set_wakeup_fd(signal_write)
        threading.Thread(target=self._watch, name="velmora-signals", daemon=True).start()

    def fileno(self):
        return self.stop_read

    def reload_fileno(self):
        return self.reload_read

    def reload_requested(self):
        """Whether SIGHUP came since the last call."""
        try:
            return bool(os.read(self.reload_read, 64))
        except BlockingIOError:
            return False

    def _watch(self):
        while True:
            number = os.read(self.signal_read, 1)[0]
            if number != signal.SIGHUP:
                break
            try:
                os.write(self.reload_write, b"r")
            except BlockingIOError:
                pass  # a reload is pending already
        log.info("ending on %s", signal.Signals(number).name)
        os.write(self.stop_write, b"x")
        if self.finished.wait(STOP_GRACE):
            return
        if self.busy is None and self.finished.wait(5 * STOP_GRACE):
            return  # no action runs: the main loop is releasing what it holds
        log.info("ending while %s runs", self.busy or "the host cleans up")
        logging.shutdown()
        os._exit(0)


class FileWatch:
    """Tells when the configuration file has changed and then stayed unchanged for DEBOUNCE.

    Its identity, size and modification time are compared at each look, so that an editor
    that replaces the file (a new inode) is seen as well as one that rewrites it.
    """

    def __init__(self, path):
        self.path = path
        self.seen = self._state()
        self.changed_at = None

    def _state(self):
        try:
            info = os.stat(self.path)
        except OSError:
            return None
        return (info.st_dev, info.st_ino, info.st_size, info.st_mtime_ns)

    def settled(self):
        """True once after each change, when the file has stopped changing."""
        now = time.monotonic()
        state = self._state()
        if state != self.seen:
            self.seen, self.changed_at = state, now
            return False
        if self.changed_at is not None and now - self.changed_at >= DEBOUNCE:
            self.changed_at = None
            return True
        return False


class PictureWindow:
    """The picture window in a child process (``velmora.host.picture``), so that the host
    keeps serving hotkeys while it is open; asked again while it is open, it raises that
    window instead of opening another."""

    def __init__(self, verbose):
        self.verbose = verbose
        self.child = None

    def __call__(self):
        if self.child is not None and self.child.poll() is None:
            self._raise()
            return "the picture window is open already; raised it"
        command = [sys.executable, "-m", "velmora.host.picture"]
        self.child = subprocess.Popen(
            command + (["--verbose"] if self.verbose else []), stdin=subprocess.DEVNULL
        )
        return f"the picture window opens (process {self.child.pid})"

    @staticmethod
    def _raise():
        from velmora._platform import constants, desktop, shell

        display = desktop.display()
        window = display.find_window(shell.PICTURE_WINDOW_CLASS[1], None)
        if not window:
            log.warning("edit-picture: the open picture window was not found to raise")
            return
        display.show_window(window, constants.SW_RESTORE)
        display.set_foreground(window)

    def close(self):
        """Ends the window's process, if it is still open."""
        if self.child is None or self.child.poll() is not None:
            return
        self.child.terminate()
        try:
            self.child.wait(STOP_GRACE)
        except subprocess.TimeoutExpired:
            self.child.kill()
            self.child.wait()


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
    for warning in config.warnings:
        print(warning, file=sys.stderr)
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
        return Host(config, args.verbose).run()
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
    def __init__(self, config, verbose=False):
        # The file is read again on reload, also after the host has changed its folder.
        config.path = os.path.abspath(config.path)
        self.config = config
        self.verbose = verbose
        self.quiet = None  # the X times (start, end) of the last action
        self.hotkeys = {}  # Grab -> Hotkey

    def _modules(self):
        """The modules and the shared state, as a host sees them."""
        os.environ.setdefault("VELMORA_DESKTOP", "1")
        import common  # the host's own if one is on the path, else the package's stand-in

        from velmora import snapTone, strokeSmith

        house = common.ControllerHouse
        house.pressed_chars = ""
        log.debug("common is %s", getattr(common, "__file__", common))
        return snapTone, strokeSmith, house

    def run(self):
        from velmora.host import xserver

        self.stopper = Stopper()
        self.x = xserver.XHost()
        self.picture = PictureWindow(self.verbose)
        try:
            self.x.claim()
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
            self.x.close()

    def _grab(self, hotkey):
        """Grabs ``hotkey``; a combination that lands on the key and modifiers of one grabbed
        already (ctrl+alt+! and ctrl+alt+shift+1 on a US layout) is reported with both lines
        and left out, since only the first could ever run."""
        from velmora.host import xserver

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

    def reload(self, why):
        """Reads the configuration file again; keeps the running one when it has a problem."""
        try:
            config = configuration.load(self.config.path)
        except configuration.ConfigError as error:
            for problem in error.problems:
                log.error("%s", problem)
            log.error("not reloaded (%s): the running configuration stays", why)
            return False
        for warning in config.warnings:
            log.warning("%s", warning)
        wanted = {hotkey.combo: hotkey for hotkey in config.hotkeys}
        released = 0
        for grab, hotkey in list(self.hotkeys.items()):
            if hotkey.combo in wanted:
                self.hotkeys[grab] = wanted.pop(hotkey.combo)  # its action may have changed
            else:
                self.x.ungrab(grab)
                del self.hotkeys[grab]
                released += 1
        self.config = config
        self.capture.words = config.words
        before = len(self.hotkeys)
        for hotkey in wanted.values():
            self._grab(hotkey)
        self.actions.configure(config)
        log.info(
            "reloaded %s (%s): %d hotkeys (%d grabbed, %d released), %d abbreviations, "
            "%d locations",
            config.path,
            why,
            len(self.hotkeys),
            len(self.hotkeys) - before,
            released,
            len(config.abbreviations),
            len(config.locations),
        )
        return True

    def _loop(self):
        from Xlib import X

        watch = FileWatch(self.config.path)
        reload_pipe = self.stopper.reload_fileno()
        while True:
            for event in self.x.events():
                if event.type == X.KeyPress:
                    self._key(event)
                elif event.type == X.MappingNotify:  # keys remapped, for typing or a new layout
                    self.x.display.refresh_keyboard_mapping(event)
            ready, _, _ = select.select(
                [self.x.display, self.stopper, reload_pipe], [], [], WATCH_INTERVAL
            )
            if self.stopper in ready:
                return
            if reload_pipe in ready and self.stopper.reload_requested():
                self.reload("SIGHUP")
                watch = FileWatch(self.config.path)
            elif watch.settled():
                self.reload("the file changed")

    def _key(self, event):
        grab = self.x.match(event)
        if grab is None:
            return
        hotkey = self.hotkeys[grab]
        if self.quiet is not None and capture.between(event.time, *self.quiet):
            # Pressed while the last action ran (or its key repeating): not a new request.
            log.debug("%s: ignored, pressed while an action ran", hotkey.combo)
            return
        from velmora.host import xserver

        log.info("%s: %s", hotkey.combo, hotkey.action)
        self.capture.hold(event.time)
        self.stopper.busy = hotkey.action
        types = actions.REGISTRY[hotkey.action].types
        try:
            if types:
                self.keyhold.watch({grab.keycode, *self.x.modifier_keycodes()})
            if not self.x.wait_released(grab) and types:
                why = f"modifier keys still held after {xserver.RELEASE_TIMEOUT:g} s"
                log.warning("%s: %s; %s cancelled, nothing typed", hotkey.combo, why, hotkey.action)
                return
            if types and not self.keyhold.hold():
                why = "keys typed after the hotkey reached the window first"
                log.warning("%s: %s; %s cancelled, nothing typed", hotkey.combo, why, hotkey.action)
                return
            self.actions.run(hotkey.action, hotkey.args)
        finally:
            self.stopper.busy = None
            self.quiet = (event.time, self.x.server_time())
            self.capture.release(self.quiet[1])
            self.keyhold.release(self.x.display)  # the user's keys held back, after the action's


if __name__ == "__main__":
    sys.exit(main())
