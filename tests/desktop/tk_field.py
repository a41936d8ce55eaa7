"""A Tk text window, for the host's tests: what a user types into a real toolkit's field.

``python tk_field.py`` shows the window, prints ``{"window": id}`` (its top-level X window)
and answers each line on standard input with {"text": ..., "focus": ...}.
"""

import json
import sys
import tkinter


def main():
    root = tkinter.Tk(className="TkField")
    root.geometry("420x120+80+80")
    text = tkinter.Text(root)
    text.pack(fill="both", expand=True)
    text.focus_set()
    root.update()
    print(json.dumps({"window": int(root.wm_frame(), 16)}), flush=True)

    def answer(*_):
        line = sys.stdin.readline()
        if not line:
            root.destroy()
            return
        if line.strip() == "focus":
            root.focus_force()
            text.focus_set()
        state = {"text": text.get("1.0", "end-1c"), "focus": root.focus_get() is text}
        print(json.dumps(state), flush=True)

    root.tk.createfilehandler(sys.stdin, tkinter.READABLE, answer)
    root.mainloop()


if __name__ == "__main__":
    main()
