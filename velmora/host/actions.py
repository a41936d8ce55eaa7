"""The hotkeys' actions: the modules' public functions, called as a host calls them.

Every action is declared once, with ``@action``: its name in the configuration, its arguments
and the method that runs it. The configuration's action names and argument checks come from
``REGISTRY``, so a name the configuration accepts always has its method.

The image module raises what fails; the keyboard module reports its failures through
``sys.unraisablehook`` and returns normally. ``Actions.run`` turns both into one log line each
that says what happened (the traceback only with --verbose) and says whether the action
succeeded.
"""

import dataclasses
import logging
import os
import sys

log = logging.getLogger("velmora-host")

# The substitution text that marks where the caret goes after an expansion.
CARET_MARKER = "{!}"


@dataclasses.dataclass(frozen=True)
class Entry:
    """One action: the method that runs it and its arguments, ``{name: (type, default)}``
    (a default of None marks a required argument); ``windows_only`` when the action does
    nothing useful on another desktop; ``types`` when it presses keys in the focused window, so
    that the user's own keys are held back while it runs."""

    method: object
    arguments: dict
    windows_only: bool = False
    types: bool = False


REGISTRY = {}


def action(name, arguments=None, windows_only=False, types=False):
    """Declares the decorated method as the action ``name``."""

    def register(method):
        REGISTRY[name] = Entry(method, dict(arguments or {}), windows_only, types)
        return method

    return register


class ActionFailed(Exception):
    """An action that cannot run; the message says why and what to do, on one line."""


def cased(typed, abbreviation, text):
    """``text`` in the case style in which ``abbreviation`` was typed as ``typed``: all
    capitals (BRB) give all capitals, a leading capital (Brb) a leading capital; otherwise
    ``text`` as written."""
    if typed == abbreviation:
        return text
    letters = [char for char in typed if char.isalpha()]
    if len(letters) > 1 and typed.isupper():
        return text.upper()
    if typed[:1].isupper() and typed[1:] == abbreviation[1:]:
        return text[:1].upper() + text[1:]
    return text


class Actions:
    """Runs actions against the modules and the shared ``house`` (``common.ControllerHouse``).

    ``picture`` runs the picture window (the host gives one that keeps it out of its own
    process, so that the hotkeys answer while it is open).
    """

    def __init__(self, snap, keys, house, press, picture=None):
        self.snap = snap
        self.keys = keys
        self.house = house
        self.press = press  # presses a combination text such as "alt+4"
        self.picture = picture
        self.abbreviations = {}
        self.case_sensitive = set()
        self.reported = []
        self.running = None  # the action that runs, for the modules' failure reports

    def configure(self, config):
        """Takes the tables of ``config``, also into the shared ``house``."""
        self.abbreviations = dict(config.abbreviations)
        self.case_sensitive = set(config.case_sensitive)
        self.house.abbreviations = dict(config.abbreviations)
        self.house.locations = dict(config.locations)

    def _report(self, unraisable):
        """sys.unraisablehook while the host runs: a module's failure becomes one log line,
        which names the action that ran into it."""
        self.reported.append(unraisable)
        where = unraisable.object if isinstance(unraisable.object, str) else repr(unraisable.object)
        name = getattr(unraisable.exc_type, "__name__", unraisable.exc_type)
        failed = f"{self.running} failed: " if self.running else ""
        log.error("%s%s: %s: %s", failed, where, name, unraisable.exc_value)
        if log.isEnabledFor(logging.DEBUG) and unraisable.exc_traceback is not None:
            log.debug(
                "the failure's traceback",
                exc_info=(unraisable.exc_type, unraisable.exc_value, unraisable.exc_traceback),
            )

    @staticmethod
    def _excepthook(kind, value, traceback):
        """sys.excepthook while the host runs: the modules print a failure through it before
        reporting it; its traceback is shown only with --verbose (the report logs the line)."""
        log.debug("a module's failure", exc_info=(kind, value, traceback))

    def install(self):
        sys.unraisablehook = self._report
        sys.excepthook = self._excepthook

    def run(self, action, args):
        """Runs ``action`` with its arguments; True when nothing failed."""
        before = len(self.reported)
        self.running = action
        try:
            done = REGISTRY[action].method(self, **args)
        except ActionFailed as failed:
            log.error("%s: %s", action, failed)
            return False
        except Exception as error:
            log.error("%s failed: %s", action, self._explain(action, error))
            log.debug("%s: the failure's traceback", action, exc_info=True)
            return False
        finally:
            self.running = None
        if done is False or len(self.reported) > before:  # a failure is logged already
            return False
        if isinstance(done, str):  # what was done instead of the action itself
            log.info("%s: %s", action, done)
            return True
        log.info("%s done", action)
        return True

    def _explain(self, action, error):
        """One line on what failed: the plain reason where it is known."""
        if action in ("invert-picture", "edit-picture") and not self._clipboard_has_picture():
            return "the clipboard holds no picture; copy one, then press the hotkey again"
        return f"{type(error).__name__}: {error}"

    def _clipboard_has_picture(self):
        try:
            return self.snap.PIL.ImageGrab.grabclipboard() is not None
        except Exception:
            return False

    @action("invert-picture")
    def _invert_picture(self):
        self.snap.BeginImageProcessing()

    @action("edit-picture")
    def _edit_picture(self):
        if self.picture is None:
            self.snap.BeginImageProcessing(True)
        else:
            return self.picture()

    def _typed_entry(self, action, entries, what):
        """The key of ``entries`` that the typed word names, or None; logs why not.
        Abbreviations not marked case-sensitive also match in another case.

        Without an entry the keyboard module would erase the typed word (expand) or fail
        (open-location) and type nothing, so the host does not call it then.
        """
        typed = self.house.pressed_chars
        if entries.get(typed) is not None:
            return typed
        if entries is self.abbreviations:
            for key in entries:
                if key not in self.case_sensitive and key.lower() == typed.lower():
                    return key
        shown = repr(typed) if typed else "an empty word"
        log.warning("%s: no %s for %s; nothing done", action, what, shown)
        return None

    @action("expand", types=True)
    def _expand(self):
        key = self._typed_entry("expand", self.abbreviations, "abbreviation")
        if key is None:
            return False
        typed = self.house.pressed_chars
        text = cased(typed, key, self.abbreviations[key])
        before, marker, after = text.partition(CARET_MARKER)
        # The keyboard module erases the typed word and types its entry in the table it is
        # given: the text in the case typed, or, with a caret marker, nothing, and then the
        # text goes through its caret typing, which leaves the caret at the marker.
        saved = self.house.abbreviations
        self.house.abbreviations = {typed: "" if marker else text}
        try:
            self.keys.ExpandText()
        finally:
            self.house.abbreviations = saved
        if marker:
            self.keys.SendTextWithCaret(text, CARET_MARKER)

    @action("open-location")
    def _open_location(self):
        key = self._typed_entry("open-location", self.house.locations, "location")
        if key is None:
            return False
        path = self.house.locations[key]
        if os.path.isabs(path) and not os.path.exists(path):
            raise ActionFailed(
                f"location {key!r}: {path} does not exist; fix it in the configuration"
            )
        self.keys.OpenLocation()

    @action(
        "open-with",
        {"tool_number": (int, 4), "prog_index": (int, 0)},
        windows_only=True,
        types=True,
    )
    def _open_with(self, tool_number, prog_index):
        self.keys.CrudeOpenWith(tool_number, prog_index)

    @action("keys", {"keys": (list, None), "delay": (float, 0.2)}, types=True)
    def _keys(self, keys, delay):
        # A combination text is sent by the host's sender; a [key code, scan code] pair is a
        # key the module presses itself.
        sequence = tuple(
            (item, self.press) if isinstance(item, str) else tuple(item) for item in keys
        )
        self.keys.SimulateKeyPressSequence(sequence, delay)
