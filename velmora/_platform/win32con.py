"""Stand-in for pywin32's ``win32con``: the Windows values of the constants velmora reads."""

__velmora_fallback__ = True

from velmora._platform.constants import *  # noqa: F401,F403,E402
