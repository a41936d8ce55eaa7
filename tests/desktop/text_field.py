"""A text field: a real X client of its own, for the typing tests.

``python text_field.py DISPLAY INSTANCE CLASS`` shows a window of that WM_CLASS and prints
``{"window": id}``. It edits its text with the keys it receives as a plain client does
(characters inserted at the cursor, BackSpace, Left), following keyboard mapping changes as
they are announced, and answers each line on standard input with {"text": ..., "cursor": ...}.
"""

import json
import select
import sys

from Xlib import XK, X
from Xlib import display as xdisplay


def character(keysym):
    if keysym in (XK.XK_Return, XK.XK_Tab):
        return "\n" if keysym == XK.XK_Return else "\t"
    if 0x20 <= keysym <= 0x7E or 0xA0 <= keysym <= 0xFF:
        return chr(keysym)
    return chr(keysym - 0x01000000) if 0x01000100 <= keysym <= 0x0110FFFF else ""


def altgr_mask(display):
    """The modifier bit of ISO_Level3_Shift (keysym 0xFE03), 0 without one."""
    codes = {code for code, _ in display.keysym_to_keycodes(0xFE03)}
    bits = [
        1 << bit for bit, keys in enumerate(display.get_modifier_mapping()) if codes & set(keys)
    ]
    return bits[0] if bits else 0


def main(name, instance, class_name):
    display = xdisplay.Display(name)
    screen = display.screen()
    window = screen.root.create_window(
        60,
        60,
        320,
        80,
        0,
        screen.root_depth,
        background_pixel=screen.white_pixel,
        event_mask=X.KeyPressMask,
    )
    window.set_wm_class(instance, class_name)
    window.map()
    display.sync()
    altgr, text, cursor = altgr_mask(display), [], 0
    print(json.dumps({"window": window.id}), flush=True)
    while True:
        ready, _, _ = select.select([display.fileno(), sys.stdin], [], [])
        while display.pending_events():
            event = display.next_event()
            if event.type == X.MappingNotify:
                display.refresh_keyboard_mapping(event)
                altgr = altgr_mask(display)
            elif event.type == X.KeyPress:
                index = (4 if event.state & altgr else 0) + (1 if event.state & X.ShiftMask else 0)
                keysym = display.keycode_to_keysym(event.detail, index)
                if keysym == X.NoSymbol and index % 2:  # a key without a shifted level
                    keysym = display.keycode_to_keysym(event.detail, index - 1)
                if keysym == XK.XK_BackSpace and cursor:
                    cursor -= 1
                    del text[cursor]
                elif keysym == XK.XK_Left:
                    cursor = max(0, cursor - 1)
                elif character(keysym):
                    text.insert(cursor, character(keysym))
                    cursor += 1
        if sys.stdin in ready:
            if not sys.stdin.readline():
                return
            print(json.dumps({"text": "".join(text), "cursor": cursor}), flush=True)


if __name__ == "__main__":
    main(*sys.argv[1:4])
