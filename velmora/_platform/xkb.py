"""The few requests of the X keyboard extension (XKB) that typing needs: the keyboard's lock
and group state, read and set. python-xlib has no XKB module; these are its wire formats.

Typing puts the keyboard in a plain state (no locked modifiers, the first layout group), so
that each key gives the character its keymap entry names whatever Caps Lock, Shift Lock, Num
Lock or the active group would make of it, and then puts back the user's state exactly.
"""

from Xlib.protocol import rq

EXTENSION = "XKEYBOARD"
USE_CORE_KEYBOARD = 0x0100


class UseExtension(rq.ReplyRequest):
    _request = rq.Struct(
        rq.Card8("opcode"),
        rq.Opcode(0),
        rq.RequestLength(),
        rq.Card16("wanted_major"),
        rq.Card16("wanted_minor"),
    )
    _reply = rq.Struct(
        rq.ReplyCode(),
        rq.Bool("supported"),
        rq.Card16("sequence_number"),
        rq.ReplyLength(),
        rq.Card16("server_major"),
        rq.Card16("server_minor"),
        rq.Pad(20),
    )


class GetState(rq.ReplyRequest):
    _request = rq.Struct(
        rq.Card8("opcode"),
        rq.Opcode(4),
        rq.RequestLength(),
        rq.Card16("device"),
        rq.Pad(2),
    )
    _reply = rq.Struct(
        rq.ReplyCode(),
        rq.Card8("device"),
        rq.Card16("sequence_number"),
        rq.ReplyLength(),
        rq.Card8("mods"),
        rq.Card8("base_mods"),
        rq.Card8("latched_mods"),
        rq.Card8("locked_mods"),
        rq.Card8("group"),
        rq.Card8("locked_group"),
        rq.Int16("base_group"),
        rq.Int16("latched_group"),
        rq.Pad(14),
    )


class LatchLockState(rq.Request):
    _request = rq.Struct(
        rq.Card8("opcode"),
        rq.Opcode(5),
        rq.RequestLength(),
        rq.Card16("device"),
        rq.Card8("affect_mod_locks"),
        rq.Card8("mod_locks"),
        rq.Bool("lock_group"),
        rq.Card8("group_lock"),
        rq.Card8("affect_mod_latches"),
        rq.Card8("mod_latches"),
        rq.Pad(1),
        rq.Bool("latch_group"),
        rq.Int16("group_latch"),
    )


def opcode(display):
    """XKB's major opcode on ``display``, once the connection has announced itself as an XKB
    client (the server refuses XKB requests before that); None without the extension."""
    cached = getattr(display, "_velmora_xkb_opcode", False)
    if cached is not False:
        return cached
    found = display.query_extension(EXTENSION)
    major = None
    if found is not None:
        reply = UseExtension(
            display=display.display,
            opcode=found.major_opcode,
            wanted_major=1,
            wanted_minor=0,
        )
        major = found.major_opcode if reply.supported else None
    display._velmora_xkb_opcode = major
    return major


def locks(display):
    """(locked modifiers, locked group) of the core keyboard; None without XKB."""
    major = opcode(display)
    if major is None:
        return None
    state = GetState(display=display.display, opcode=major, device=USE_CORE_KEYBOARD)
    return state.locked_mods, state.locked_group


def set_locks(display, modifiers, group):
    """Locks exactly ``modifiers`` (a modifier mask) and the layout group ``group``."""
    LatchLockState(
        display=display.display,
        opcode=opcode(display),
        device=USE_CORE_KEYBOARD,
        affect_mod_locks=0xFF,
        mod_locks=modifiers,
        lock_group=True,
        group_lock=group,
        affect_mod_latches=0,
        mod_latches=0,
        latch_group=False,
        group_latch=0,
    )
