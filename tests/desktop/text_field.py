"""A one-line text field: a real X client of its own, for the typing tests.

Run as ``python text_field.py DISPLAY INSTANCE CLASS``. It shows a window with that WM_CLASS
and prints ``{"window": id}``; from then on it edits its text as a plain client does with the
keys it receives (characters inserted at the cursor, BackSpace, Left and Right), following
keyboard mapping changes as they are announced. Each line read on standard input is answered
with ``{"text": ..., "cursor": ...}``.
"""

import json
import os
import select
import sys

from Xlib import X, XK
from Xlib import display as xdisplay

BACKSPACE, LEFT, RIGHT = XK.XK_BackSpace, XK.XK_Left, XK.XK_Right
SPECIAL = {XK.XK_Return: "\n", XK.XK_Tab: "\t", 0x20AC: "\u20ac"}  # 0x20AC: EuroSign


def character(keysym):
    if keysym in SPECIAL:
        return SPECIAL[keysym]
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    if 0x01000100 <= keysym <= 0x0110FFFF:
        return chr(keysym - 0x01000000)
    return ""


def level3_mask(display):
    """The modifier bit that ISO_Level3_Shift (AltGr, keysym 0xFE03) sets, 0 without one."""
    codes = {code for code, _ in display.keysym_to_keycodes(0xFE03)}
    for bit, keycodes in enumerate(display.get_modifier_mapping()):
        if codes & set(keycodes):
            return 1 << bit
    return 0


def main(name, instance, class_name):
    display = xdisplay.Display(name)
    screen = display.screen()
    window = screen.root.create_window(
        60, 60, 320, 80, 0, screen.root_depth, background_pixel=screen.white_pixel,
        event_mask=X.KeyPressMask | X.StructureNotifyMask,
    )
    window.set_wm_class(instance, class_name)
    window.set_wm_name("text field")
    window.map()
    display.sync()
    altgr = level3_mask(display)
    text, cursor = [], 0
    print(json.dumps({"window": window.id}), flush=True)
    pending = b""
    while True:
        ready, _, _ = select.select([display.fileno(), 0], [], [])
        while display.pending_events():
            event = display.next_event()
            if event.type == X.MappingNotify:
                display.refresh_keyboard_mapping(event)
                altgr = level3_mask(display)
            elif event.type == X.KeyPress:
                index = (4 if event.state & altgr else 0) + (1 if event.state & X.ShiftMask else 0)
                keysym = display.keycode_to_keysym(event.detail, index)
                if keysym == X.NoSymbol and index % 2:  # a key without a shifted level
                    keysym = display.keycode_to_keysym(event.detail, index - 1)
                if keysym == BACKSPACE and cursor:
                    cursor -= 1
                    del text[cursor]
                elif keysym == LEFT:
                    cursor = max(0, cursor - 1)
                elif keysym == RIGHT:
                    cursor = min(len(text), cursor + 1)
                elif character(keysym):
                    text.insert(cursor, character(keysym))
                    cursor += 1
        if 0 in ready:
            chunk = os.read(0, 1024)
            if not chunk:
                return
            pending += chunk
            while b"\n" in pending:
                _, pending = pending.split(b"\n", 1)
                print(json.dumps({"text": "".join(text), "cursor": cursor}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
