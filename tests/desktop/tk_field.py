"""A Tk text window for the host's tests: prints {"window": id}, then answers each line on
standard input with {"text": ..., "focus": ...}; the line "focus" first takes the focus."""

import json
import sys
import tkinter

root = tkinter.Tk(className="TkField")
text = tkinter.Text(root)
text.pack()
root.update()
print(json.dumps({"window": int(root.wm_frame(), 16)}), flush=True)


def answer(*_):
    line = sys.stdin.readline()
    if not line:
        return root.destroy()
    if line.strip() == "focus":
        root.focus_force()
        text.focus_set()
    state = {"text": text.get("1.0", "end-1c"), "focus": root.focus_get() is text}
    print(json.dumps(state), flush=True)


root.tk.createfilehandler(sys.stdin, tkinter.READABLE, answer)
root.mainloop()
