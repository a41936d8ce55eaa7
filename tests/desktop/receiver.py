"""Real toolkit windows that receive typed text, for the typing corpus.

``python3 receiver.py tk|gtk DISPLAY TITLE`` shows a Tk text widget or a GTK 3 text view (run by the
system interpreter, which has the toolkits' bindings), of the window instance name velmoraTk or
velmoraGtk, and prints a first line once it is shown; each line
on standard input is answered with {"text": ..., "cursor": ...}, the cursor counted in code
points. ``receiver.py tty STATE`` runs inside a terminal (xterm): it reads the terminal in raw
mode, edits its text with what arrives (UTF-8 characters, DEL or BS erasing one character
before the cursor, ESC [ D moving it left) and writes the same JSON state to the file STATE
after each read.
"""

import json
import os
import sys


def tk_receiver(name, title):
    import tkinter

    root = tkinter.Tk(screenName=name, className="VelmoraTk")
    root.title(title)
    text = tkinter.Text(root, width=60, height=8)
    text.pack()
    text.focus_set()
    root.update()
    print(json.dumps({"shown": "Velmoratk"}), flush=True)  # the class: Tk may number the name

    def answer(*_):
        if not sys.stdin.readline():
            root.destroy()
            return
        # Counted from the end: Tk 8.6 indexes characters beyond the BMP as two.
        whole = text.get("1.0", "end-1c")
        state = {"text": whole, "cursor": len(whole) - len(text.get("insert", "end-1c"))}
        print(json.dumps(state), flush=True)

    root.tk.createfilehandler(sys.stdin, tkinter.READABLE, answer)
    root.mainloop()


def gtk_receiver(name, title):
    os.environ["DISPLAY"] = name
    import gi

    gi.require_version("Gtk", "3.0")
    from gi.repository import GLib, Gtk

    GLib.set_prgname("velmoraGtk")
    window = Gtk.Window(title=title)
    view = Gtk.TextView()
    window.add(view)
    window.set_default_size(480, 160)
    window.show_all()
    view.grab_focus()
    while Gtk.events_pending():
        Gtk.main_iteration()
    print(json.dumps({"shown": "velmoraGtk"}), flush=True)

    def answer(*_):
        if not sys.stdin.readline():
            Gtk.main_quit()
            return False
        buffer = view.get_buffer()
        whole = buffer.get_text(buffer.get_start_iter(), buffer.get_end_iter(), True)
        cursor = buffer.get_iter_at_mark(buffer.get_insert()).get_offset()
        print(json.dumps({"text": whole, "cursor": cursor}), flush=True)
        return True

    GLib.io_add_watch(sys.stdin, GLib.IO_IN | GLib.IO_HUP, answer)
    Gtk.main()


PAGE = """<!DOCTYPE html><meta charset="utf-8"><title>%s</title>
<textarea id="t" rows="8" cols="60" autofocus></textarea>
<script>
const t = document.getElementById("t");
let sent = "", count = 0;
function report() {  // the text and the caret in code points, whenever either changes
  const cursor = [...t.value.slice(0, t.selectionStart)].length;
  const state = JSON.stringify({text: t.value, cursor: cursor});
  if (state === sent) return;
  sent = state;
  count += 1;  // posts may arrive out of order: the receiver keeps the latest
  fetch("/state", {method: "POST", body: JSON.stringify({text: t.value, cursor, count})});
}
t.addEventListener("input", report);
document.addEventListener("selectionchange", report);
t.focus();
fetch("/state", {method: "POST", body: JSON.stringify({text: "", cursor: 0, shown: true})});
</script>
"""


def chromium_receiver(name, title):
    """A text area of a local page in a Chromium window of its own profile, in app mode (the
    window's title is the page's); the page posts its text and caret to a loopback server."""
    import http.server
    import subprocess
    import tempfile
    import threading

    state, changed = {"text": "", "cursor": 0}, threading.Condition()

    class Handler(http.server.BaseHTTPRequestHandler):
        def do_GET(self):
            body = (PAGE % title).encode()
            self.send_response(200)
            self.send_header("Content-Type", "text/html; charset=utf-8")
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def do_POST(self):
            posted = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
            with changed:
                if posted.get("count", 0) >= state.get("count", 0):
                    state.update(posted)
                changed.notify_all()
            self.send_response(204)
            self.end_headers()

        def log_message(self, *_):
            pass

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    profile = tempfile.TemporaryDirectory(prefix="velmora-chromium-")
    command = ["chromium", f"--user-data-dir={profile.name}", "--class=VelmoraChromium"]
    command += ["--no-first-run", "--no-default-browser-check", "--disable-gpu"]
    command += ["--password-store=basic", f"--app=http://127.0.0.1:{server.server_port}/"]
    if os.geteuid() == 0:  # Chromium's sandbox refuses to run as root
        command.append("--no-sandbox")
    browser = subprocess.Popen(
        command,
        env=dict(os.environ, DISPLAY=name),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    with changed:
        changed.wait_for(lambda: "shown" in state, timeout=60)
    print(json.dumps({"shown": "VelmoraChromium"}), flush=True)
    try:
        for _ in sys.stdin:
            with changed:
                print(json.dumps({"text": state["text"], "cursor": state["cursor"]}), flush=True)
    finally:
        browser.terminate()
        browser.wait(timeout=10)
        server.shutdown()
        profile.cleanup()


def tty_receiver(state_path, title=None):
    import tty

    tty.setraw(sys.stdin.fileno())
    text, cursor, pending = [], 0, b""
    while True:
        partial = state_path + ".part"  # the first state written says: raw mode, reading
        with open(partial, "w", encoding="utf-8") as state:
            json.dump({"text": "".join(text), "cursor": cursor}, state)
        os.replace(partial, state_path)
        pending += os.read(sys.stdin.fileno(), 4096)
        while pending:
            if pending.startswith(b"\x1b["):  # a cursor key: ESC [ letter
                if len(pending) < 3:
                    break
                if pending[2:3] == b"D":
                    cursor = max(0, cursor - 1)
                pending = pending[3:]
            elif pending[0] in (0x7F, 0x08):
                if cursor:
                    cursor -= 1
                    del text[cursor]
                pending = pending[1:]
            else:
                size = next(
                    (n for n in range(1, 5) if _decodes(pending[:n])),
                    None if len(pending) < 4 else 1,
                )
                if size is None:
                    break
                char = pending[:size].decode("utf-8", "replace")
                text.insert(cursor, "\n" if char == "\r" else char)
                cursor += 1
                pending = pending[size:]


def _decodes(raw):
    try:
        raw.decode("utf-8")
    except UnicodeDecodeError:
        return False
    return True


if __name__ == "__main__":
    kind, arguments = sys.argv[1], sys.argv[2:]
    {"tk": tk_receiver, "gtk": gtk_receiver, "chromium": chromium_receiver, "tty": tty_receiver}[
        kind
    ](*arguments)
