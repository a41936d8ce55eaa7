"""``python3 fields.py tty|gtk STATE``: a line editor in its terminal (foot), or a GTK3 text
view, that keeps STATE holding {"text": ..., "cursor": ...} (in code points) after each change.
"""

import codecs
import json
import os
import sys


def save(path, text, cursor):
    with open(path + ".new", "w", encoding="utf-8") as state:
        json.dump({"text": text, "cursor": cursor}, state)
    os.replace(path + ".new", path)


def tty(path):
    import tty as terminal

    terminal.setraw(0)
    decoder, text, cursor, pending = codecs.getincrementaldecoder("utf-8")(), [], 0, ""
    save(path, "", 0)
    while data := os.read(0, 4096):
        pending += decoder.decode(data)
        while pending and not (pending[0] == "\x1b" and len(pending) < 3):
            if pending[0] == "\x1b":  # an arrow key: Left moves the cursor
                cursor, pending = max(0, cursor - (pending[:3] == "\x1b[D")), pending[3:]
                continue
            char, pending = pending[0], pending[1:]
            if char == "\x7f":
                if cursor:
                    cursor -= 1
                    del text[cursor]
            else:
                text.insert(cursor, "\n" if char == "\r" else char)
                cursor += 1
        save(path, "".join(text), cursor)


def gtk(path):
    import gi

    gi.require_version("Gtk", "3.0")
    from gi.repository import GLib, Gtk

    GLib.set_prgname("velmora-gtk")  # the window's app_id
    window, view = Gtk.Window(title="Velmora GTK field"), Gtk.TextView()
    buffer = view.get_buffer()

    def changed(*args):
        text = buffer.get_text(*buffer.get_bounds(), True)
        save(path, text, buffer.props.cursor_position)

    for signal in ("changed", "notify::cursor-position"):
        buffer.connect(signal, changed)
    window.add(view)
    window.show_all()
    changed()
    Gtk.main()


if __name__ == "__main__":
    {"tty": tty, "gtk": gtk}[sys.argv[1]](sys.argv[2])
