"""Stand-ins for the Windows modules the extensions import, for systems other than Windows.

``install()`` appends a finder to the *end* of ``sys.meta_path``. It answers only for the
names in ``FALLBACKS`` and only after every other finder has failed, so an installed module
of that name (a real pywin32, the host's own ``common``) always wins, and so does a module
that a test or host put into ``sys.modules`` first. The stand-ins live inside this package and
nothing is ever installed under a top-level name, so a process that does not import velmora
sees no trace of them. Once velmora is imported, ``import win32api`` does succeed anywhere in
that process (that is how the compiled modules reach them); a library that probes for pywin32
that way after velmora's import finds the stand-in, marked by ``__velmora_fallback__``.

A stand-in is loaded under its public name (``win32api``, not ``velmora._platform.win32api``)
so that it looks like the module it replaces. Each is a thin translation of the Windows calls
into the one backend interface (``backend``), whose implementations ``desktop`` chooses.
"""

import importlib.abc
import importlib.machinery
import importlib.util
import os
import sys

# Public module name -> file of this package that stands in for it.
FALLBACKS = {
    "win32api": "win32api.py",
    "win32con": "win32con.py",
    "win32gui": "win32gui.py",
    "win32ui": "win32ui.py",
    "win32clipboard": "win32clipboard.py",
    "pywintypes": "pywintypes.py",
    "winsound": "winsound.py",
    "common": "common.py",
    "keyboard": "keyboard.py",
}

_HERE = os.path.dirname(os.path.abspath(__file__))


class FallbackFinder(importlib.abc.MetaPathFinder):
    """Finds the stand-in of a missing Windows module (top-level names only)."""

    def find_spec(self, fullname, path, target=None):
        if path is not None or fullname not in FALLBACKS:
            return None
        location = os.path.join(_HERE, FALLBACKS[fullname])
        loader = importlib.machinery.SourceFileLoader(fullname, location)
        return importlib.util.spec_from_file_location(fullname, location, loader=loader)


_finder = FallbackFinder()


def install():
    """Makes the stand-ins importable as a last resort. Idempotent."""
    if not any(isinstance(finder, FallbackFinder) for finder in sys.meta_path):
        sys.meta_path.append(_finder)


def is_fallback(module):
    """True when ``module`` is one of these stand-ins rather than the real thing."""
    return getattr(module, "__velmora_fallback__", False)
