"""Stand-in for pywin32's ``pywintypes``: the error type of failed Win32 calls."""

__velmora_fallback__ = True


class error(Exception):
    """A failed Win32 call: ``error(winerror, funcname, strerror)``."""

    def __init__(self, winerror=0, funcname="", strerror=""):
        super().__init__(winerror, funcname, strerror)
        self.winerror = winerror
        self.funcname = funcname
        self.strerror = strerror
