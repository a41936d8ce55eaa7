"""The hotkeys' actions: the modules' public functions, called as a host calls them.

The image module raises what fails; the keyboard module reports its failures through
``sys.unraisablehook`` and returns normally. ``Actions.run`` turns both into log lines and
says whether the action succeeded.
"""

import logging
import sys

log = logging.getLogger("velmora-host")


class Actions:
    """Runs actions against the modules and the shared ``house`` (``common.ControllerHouse``)."""

    def __init__(self, snap, keys, house, press):
        self.snap = snap
        self.keys = keys
        self.house = house
        self.press = press  # presses a combination text such as "alt+4"
        self.reported = []

    def _report(self, unraisable):
        """sys.unraisablehook while the host runs: the modules' failures become log lines."""
        self.reported.append(unraisable)
        where = unraisable.object if isinstance(unraisable.object, str) else repr(unraisable.object)
        name = getattr(unraisable.exc_type, "__name__", unraisable.exc_type)
        log.error("%s reported a failure: %s: %s", where, name, unraisable.exc_value)

    def install(self):
        sys.unraisablehook = self._report

    def run(self, action, args):
        """Runs ``action`` with its arguments; True when nothing failed."""
        before = len(self.reported)
        try:
            done = getattr(self, "_" + action.replace("-", "_"))(**args)
        except Exception as error:
            log.error("%s failed: %s: %s", action, type(error).__name__, error)
            return False
        if done is False:
            return False
        if len(self.reported) > before:
            log.error("%s failed (see the failure above)", action)
            return False
        log.info("%s done", action)
        return True

    def _invert_picture(self):
        self.snap.BeginImageProcessing()

    def _edit_picture(self):
        self.snap.BeginImageProcessing(True)

    def _typed_entry(self, action, table, what):
        """Whether the typed word has an entry in ``table``; logs why not.

        Without an entry the keyboard module would erase the typed word (expand) or fail
        (open-location) and type nothing, so the host does not call it then.
        """
        typed = self.house.pressed_chars
        if getattr(self.house, table).get(typed) is None:
            shown = repr(typed) if typed else "an empty word"
            log.warning("%s: no %s for %s; nothing done", action, what, shown)
            return False
        return True

    def _expand(self):
        if not self._typed_entry("expand", "abbreviations", "abbreviation"):
            return False
        self.keys.ExpandText()

    def _open_location(self):
        if not self._typed_entry("open-location", "locations", "location"):
            return False
        self.keys.OpenLocation()

    def _open_with(self, tool_number, prog_index):
        self.keys.CrudeOpenWith(tool_number, prog_index)

    def _keys(self, keys, delay):
        # A combination text is sent by the host's sender; a [key code, scan code] pair is a
        # key the module presses itself.
        sequence = tuple(
            (item, self.press) if isinstance(item, str) else tuple(item) for item in keys
        )
        self.keys.SimulateKeyPressSequence(sequence, delay)
