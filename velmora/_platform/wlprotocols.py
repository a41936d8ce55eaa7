"""The two wlroots protocols the Wayland backend speaks, as pywayland interfaces.

pywayland ships the core protocol and the official extensions, not the wlroots ones: the
virtual keyboard (``zwp_virtual_keyboard_v1``) and the foreign toplevel management
(``zwlr_foreign_toplevel_management_v1``). They are declared here the way pywayland declares
its own: requests and events in their protocol order (the order is the opcode), each with its
argument types. Only the requests the backend sends have bodies worth reading.
"""

from pywayland.protocol.wayland import WlOutput, WlSeat, WlSurface
from pywayland.protocol_core import Argument, ArgumentType, Interface, Proxy

_uint = Argument(ArgumentType.Uint)
_int = Argument(ArgumentType.Int)


def _interface(name, version):
    """A protocol interface: its name on the wire and the version this layer speaks."""
    return type(name, (Interface,), {"name": name, "version": version})


VirtualKeyboard = _interface("zwp_virtual_keyboard_v1", 1)
VirtualKeyboardManager = _interface("zwp_virtual_keyboard_manager_v1", 1)
ToplevelHandle = _interface("zwlr_foreign_toplevel_handle_v1", 3)
ToplevelManager = _interface("zwlr_foreign_toplevel_manager_v1", 3)


# XKB_KEYMAP_FORMAT_TEXT_V1, the keymap format of the keymap request.
KEYMAP_FORMAT_TEXT = 1
# Key states of the key request.
RELEASED, PRESSED = 0, 1
# Toplevel states, as the state event lists them.
MAXIMIZED, MINIMIZED, ACTIVATED, FULLSCREEN = 0, 1, 2, 3


class VirtualKeyboardProxy(Proxy[VirtualKeyboard]):
    interface = VirtualKeyboard

    @VirtualKeyboard.request(_uint, Argument(ArgumentType.FileDescriptor), _uint)
    def keymap(self, format, fd, size):
        """Uploads the keymap (a file of ``size`` bytes) that the key codes refer to."""
        self._marshal(0, format, fd, size)

    @VirtualKeyboard.request(_uint, _uint, _uint)
    def key(self, time, key, state):
        """A key (an evdev code: the XKB keycode less 8) pressed or released."""
        self._marshal(1, time, key, state)

    @VirtualKeyboard.request(_uint, _uint, _uint, _uint)
    def modifiers(self, depressed, latched, locked, group):
        """The modifier state that goes with the next keys."""
        self._marshal(2, depressed, latched, locked, group)

    @VirtualKeyboard.request()
    def destroy(self):
        self._marshal(3)
        self._destroy()


class VirtualKeyboardManagerProxy(Proxy[VirtualKeyboardManager]):
    interface = VirtualKeyboardManager

    @VirtualKeyboardManager.request(
        Argument(ArgumentType.Object, interface=WlSeat),
        Argument(ArgumentType.NewId, interface=VirtualKeyboard),
    )
    def create_virtual_keyboard(self, seat):
        return self._marshal_constructor(0, VirtualKeyboard, seat)


class ToplevelHandleProxy(Proxy[ToplevelHandle]):
    interface = ToplevelHandle

    @ToplevelHandle.request()
    def set_maximized(self):
        self._marshal(0)

    @ToplevelHandle.request()
    def unset_maximized(self):
        self._marshal(1)

    @ToplevelHandle.request()
    def set_minimized(self):
        self._marshal(2)

    @ToplevelHandle.request()
    def unset_minimized(self):
        self._marshal(3)

    @ToplevelHandle.request(Argument(ArgumentType.Object, interface=WlSeat))
    def activate(self, seat):
        self._marshal(4, seat)

    @ToplevelHandle.request()
    def close(self):
        self._marshal(5)

    @ToplevelHandle.request(
        Argument(ArgumentType.Object, interface=WlSurface), _int, _int, _int, _int
    )
    def set_rectangle(self, surface, x, y, width, height):
        self._marshal(6, surface, x, y, width, height)

    @ToplevelHandle.request()
    def destroy(self):
        self._marshal(7)
        self._destroy()

    @ToplevelHandle.request(
        Argument(ArgumentType.Object, nullable=True, interface=WlOutput), version=2
    )
    def set_fullscreen(self, output):
        self._marshal(8, output)

    @ToplevelHandle.request(version=2)
    def unset_fullscreen(self):
        self._marshal(9)


class ToplevelManagerProxy(Proxy[ToplevelManager]):
    interface = ToplevelManager

    @ToplevelManager.request()
    def stop(self):
        self._marshal(0)


def _events(interface, *signatures):
    """Declares the events of ``interface``: (name, arguments) in protocol order."""
    for name, arguments in signatures:

        def event(*args):  # events arrive at the dispatcher, never here
            pass

        event.__name__ = name
        interface.event(*arguments)(event)


_events(
    ToplevelHandle,
    ("title", (Argument(ArgumentType.String),)),
    ("app_id", (Argument(ArgumentType.String),)),
    ("output_enter", (Argument(ArgumentType.Object, interface=WlOutput),)),
    ("output_leave", (Argument(ArgumentType.Object, interface=WlOutput),)),
    ("state", (Argument(ArgumentType.Array),)),
    ("done", ()),
    ("closed", ()),
    ("parent", (Argument(ArgumentType.Object, nullable=True, interface=ToplevelHandle),)),
)
_events(
    ToplevelManager,
    ("toplevel", (Argument(ArgumentType.NewId, interface=ToplevelHandle),)),
    ("finished", ()),
)

for _interface, _proxy in (
    (VirtualKeyboard, VirtualKeyboardProxy),
    (VirtualKeyboardManager, VirtualKeyboardManagerProxy),
    (ToplevelHandle, ToplevelHandleProxy),
    (ToplevelManager, ToplevelManagerProxy),
):
    _interface._gen_c()
    _interface.proxy_class = _proxy
