"""Stand-in for the host package's ``common`` module: the state the keyboard module shares.

The host keeps the characters typed since the last reset in ``ControllerHouse.pressed_chars``,
its abbreviation and location tables, a key-combination sender, the window handles it found
by class name, and a few key codes (Windows values).
"""

__velmora_fallback__ = True


class WindowHouse:
    """Window handles by window class name; 0 for a class never stored or cleared."""

    _handles = {}

    @classmethod
    def GetHandleByClassName(cls, class_name):
        return cls._handles.get(class_name) or 0

    @classmethod
    def SetHandleByClassName(cls, class_name, handle):
        if handle is None:
            cls._handles.pop(class_name, None)
        else:
            cls._handles[class_name] = handle


def _send_combination(combination):
    import keyboard

    keyboard.send(combination)


class ControllerHouse:
    """Typed characters, the abbreviation and location tables and the combination sender."""

    pressed_chars = ""
    abbreviations = {}
    locations = {}
    keyboard_send = staticmethod(_send_combination)


class KB_Con:
    """Key codes the keyboard module reads: the backtick's virtual-key code and scan codes."""

    VK_BACKTICK = 0xC0
    SC_BACKTICK = 0x29
    SC_BACK = 0x0E
    SC_LEFT = 0x4B
    SC_DOWN = 0x50
    SC_RETURN = 0x1C
