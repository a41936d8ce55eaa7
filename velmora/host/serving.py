"""What the X11 host and the Wayland host share: signals and reloads, the watch on the
configuration file, the picture window's process, the control socket and the main loop around
them.

A host subclass says what else the loop waits on (the X connection), how hotkeys follow a new
configuration (grabs, or binding lines for the compositor) and how an action is run around
the user's keys (``_perform``). Everything else, including how a control request becomes an
action, lives here once.
"""

import logging
import os
import select
import signal
import subprocess
import sys
import threading
import time

from velmora.host import actions, combos, control
from velmora.host import config as configuration

log = logging.getLogger("velmora-host")

# How long after SIGTERM or Ctrl-C an action that is still running (the picture window waits
# for its user) may keep the host from ending.
STOP_GRACE = 2.0
# The configuration file is looked at this often (seconds), and reloaded once it has stayed
# unchanged for DEBOUNCE after a change (an editor may write it in several steps).
WATCH_INTERVAL = 0.25
DEBOUNCE = 0.5


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
        os.write(self.stop_write, b"x")
        # The last resort does not wait on the log: a log line blocks while stderr is a pipe
        # that nobody reads, and the end must come all the same.
        last_resort = threading.Timer(6 * STOP_GRACE + 1, os._exit, (0,))
        last_resort.daemon = True
        last_resort.start()
        log.info("ending on %s", signal.Signals(number).name)
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


class Collected(logging.Handler):
    """The host's log lines of one action, for the reply to the control request that ran it:
    those of the thread that runs it (the reader threads of the control socket and the
    keyboard devices' threads log about other things meanwhile)."""

    def __init__(self):
        super().__init__(logging.INFO)
        self.records = []
        self.thread = threading.get_ident()

    def emit(self, record):
        if record.thread == self.thread:
            self.records.append(record)

    def summary(self, ok):
        """The last line on success; the warnings and errors on failure."""
        if ok:
            return self.records[-1].getMessage() if self.records else "done"
        failed = [r.getMessage() for r in self.records if r.levelno >= logging.WARNING]
        return "; ".join(failed) or "failed"


class HostBase:
    """The configuration, the actions and the loop of a host. Subclasses set ``actions``,
    ``capture`` (or None) and implement ``_sources``, ``_rebind`` and ``_perform``."""

    def __init__(self, config, verbose=False):
        # The file is read again on reload, also after the host has changed its folder.
        config.path = os.path.abspath(config.path)
        self.config = config
        self.verbose = verbose
        self.control = None  # control.Server once the socket is made
        # The last action and when it ended (time.monotonic): a control request accepted
        # before then came while it ran.
        self.last_action, self.idle_since = None, float("-inf")
        self.capture = None
        self.actions = None

    @staticmethod
    def _modules():
        """The modules and the shared state, as a host sees them."""
        os.environ.setdefault("VELMORA_DESKTOP", "1")
        import common  # the host's own if one is on the path, else the package's stand-in

        from velmora import snapTone, strokeSmith

        house = common.ControllerHouse
        house.pressed_chars = ""
        log.debug("common is %s", getattr(common, "__file__", common))
        return snapTone, strokeSmith, house

    def _open_control(self, session, required):
        """Makes the control socket of ``session``. Without it a host that needs it raises
        ControlError; another one says why and goes on."""
        try:
            self.control = control.Server(control.socket_path(session))
        except control.ControlError as error:
            if required:
                raise
            log.info("no control socket (%s); the hotkeys work as before", error)
            return
        log.debug("control socket %s", self.control.path)

    def _close_control(self):
        if self.control is not None:
            self.control.close()
            self.control = None

    # Subclasses ---------------------------------------------------------------------------------

    def _sources(self):
        """{selectable: handler} the loop waits on besides signals and the control socket."""
        return {}

    def _pending(self):
        """Work queued before the loop waits (events read already)."""

    def _rebind(self, config):
        """Makes the hotkeys follow ``config``; the hotkeys part of the reload's log line."""
        raise NotImplementedError

    def _perform(self, action, args, label):
        """Runs ``action`` around the user's keys; whether it succeeded."""
        raise NotImplementedError

    # The loop ---------------------------------------------------------------------------------

    def _loop(self):
        watch = FileWatch(self.config.path)
        reload_pipe = self.stopper.reload_fileno()
        while True:
            self._pending()
            sources = self._sources()
            waited = [*sources, self.stopper, reload_pipe]
            waited += [self.control] if self.control is not None else []
            ready, _, _ = select.select(waited, [], [], WATCH_INTERVAL)
            if self.stopper in ready:
                return
            for source, handler in sources.items():
                if source in ready:
                    handler()
            if self.control is not None and self.control in ready:
                self._serve()
            if reload_pipe in ready and self.stopper.reload_requested():
                self.reload("SIGHUP")
                watch = FileWatch(self.config.path)
            elif watch.settled():
                self.reload("the file changed")

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
        hotkeys = self._rebind(config)
        self.config = config
        if self.capture is not None:
            self.capture.words = config.words
        self.actions.configure(config)
        log.info(
            "reloaded %s (%s): %s, %d abbreviations, %d locations",
            config.path,
            why,
            hotkeys,
            len(config.abbreviations),
            len(config.locations),
        )
        return True

    def run_action(self, action, args, label):
        """Runs ``action`` as a hotkey does, with the stopper told; whether it succeeded.
        Control requests that came while it ran are answered without running: like a hotkey
        pressed meanwhile, they are no new request. Those read in full by now are answered
        here; the later ones when ``_serve`` takes them."""
        log.info("%s: %s", label, action)
        self.stopper.busy = action
        try:
            return self._perform(action, args, label)
        finally:
            self.stopper.busy = None
            self.last_action, self.idle_since = action, time.monotonic()
            for _ in range(control.MAX_PENDING):
                queued = self.control.accept() if self.control is not None else None
                if queued is None:
                    break
                self._ignore(queued, action)

    # Control requests ---------------------------------------------------------------------------

    def _serve(self):
        """Answers one request of the control socket with how its action went. A request
        whose handling fails is answered so and dropped; the host serves on."""
        request = self.control.accept()
        if request is None:
            return
        if request.accepted < self.idle_since:
            self._ignore(request, self.last_action)
            return
        collected = Collected()
        log.addHandler(collected)
        try:
            action, args, label = self.resolve(request.action, request.hotkey)
            ok = self.run_action(action, args, label)
        except actions.ActionFailed as failed:
            log.error("control socket: %s", failed)
            ok = False
        except Exception as error:
            log.error("control socket: the request failed: %s: %s", type(error).__name__, error)
            log.debug("the request's traceback", exc_info=True)
            ok = False
        finally:
            log.removeHandler(collected)
        request.answer(ok, collected.summary(ok))

    @staticmethod
    def _ignore(request, action):
        log.debug("control socket: a request made while %s ran, ignored", action)
        request.answer(False, f"ignored: asked while {action} ran")

    def resolve(self, name, hotkey):
        """The action, its arguments and a label for the log, of a request by action name
        or by configured hotkey; raises ActionFailed with what to do otherwise."""
        path = self.config.path
        if hotkey is not None:
            try:
                combo = combos.parse(hotkey)
            except combos.ComboError as error:
                raise actions.ActionFailed(f"--hotkey: {error}") from None
            for configured in self.config.hotkeys:
                if configured.combo == combo:
                    return configured.action, configured.args, f"{combo} (control socket)"
            raise actions.ActionFailed(f"no hotkey {str(combo)!r} in {path}")
        if name not in actions.REGISTRY:
            known = ", ".join(actions.REGISTRY)
            raise actions.ActionFailed(f"unknown action {name!r} (known: {known})")
        arguments = actions.REGISTRY[name].arguments
        bound = [configured for configured in self.config.hotkeys if configured.action == name]
        if not arguments:
            return name, {}, "control socket"
        if len(bound) == 1:
            return name, bound[0].args, f"{bound[0].combo} (control socket)"
        if bound:
            named = ", ".join(str(configured.combo) for configured in bound)
            raise actions.ActionFailed(
                f"{name} is bound to several hotkeys ({named}) with their own arguments; "
                "name one with --hotkey"
            )
        if any(default is None for _, default in arguments.values()):
            raise actions.ActionFailed(
                f"{name} needs its arguments: give it a hotkey in {path} and name that "
                "with --hotkey"
            )
        return name, {arg: default for arg, (_, default) in arguments.items()}, "control socket"
