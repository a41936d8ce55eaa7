"""The main job: both tools, end to end, on a real X display.

It starts a private virtual display (Xvfb, with openbox when installed), so that it runs the
same in CI and on a desktop, where it leaves the user's screen, keyboard and clipboard alone.
With ``--desktop`` it runs on the display in DISPLAY instead; the clipboard is then saved first
and put back afterwards. Either way the picture it saves from the window is removed from the
picture folder again (a copy goes to the output folder). Then:

1. a picture is put on the X clipboard by another process (xclip), and the image tool's direct
   mode inverts it back onto the clipboard;
2. the interactive window shows the clipboard picture and is driven by real pointer and key
   events (a freehand line, invert, save, Escape), with a screenshot of the window taken;
3. the keyboard tool finds a real window by its class, brings it forward and sends it keys, a
   chord, a key sequence and text with the caret placed at a marker, and the window's own key
   events are read back.

Everything it produced goes into the output folder (default ``out/main-job``), with
``report.md`` saying what ran and what was checked. Exit status 0 when every check held.
"""

import argparse
import os
import shutil
import subprocess
import sys
import textwrap
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
HOST = ROOT / "macro_stand_in"  # the stand-in macro package, whose `common` the modules import
SIZE = (360, 240)
TIMEOUT = 30.0


# ---- the display -----------------------------------------------------------------------------


def start_private_display():
    """Starts Xvfb (and openbox where installed); returns its name and the processes."""
    read_end, write_end = os.pipe()
    server = subprocess.Popen(
        [
            "Xvfb",
            "-displayfd",
            str(write_end),
            "-screen",
            "0",
            "1280x800x24",
            "-nolisten",
            "tcp",
            "-noreset",
        ],
        pass_fds=(write_end,),
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    os.close(write_end)
    number = b""
    while not number.endswith(b"\n"):
        chunk = os.read(read_end, 16)
        if not chunk:
            raise SystemExit("Xvfb did not start")
        number += chunk
    name = ":" + number.decode().strip()
    processes = [server]
    if shutil.which("openbox"):
        processes.append(
            subprocess.Popen(
                ["openbox", "--sm-disable"],
                env=dict(os.environ, DISPLAY=name),
                stdout=subprocess.DEVNULL,
                stderr=subprocess.DEVNULL,
            )
        )
        time.sleep(1.0)
    return name, processes, read_end


def wait_until(condition, what, timeout=TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.1)
    raise RuntimeError(f"timed out waiting for {what}")


def xdotool(*args):
    return subprocess.run(
        ["xdotool", *map(str, args)], capture_output=True, text=True, timeout=TIMEOUT
    ).stdout


def screenshot(display, box=None):
    """The screen (or ``box`` = x, y, width, height of it) as a Pillow image."""
    from PIL import Image
    from Xlib import X

    root = display.screen().root
    geometry = root.get_geometry()
    x, y, width, height = box or (0, 0, geometry.width, geometry.height)
    raw = root.get_image(x, y, width, height, X.ZPixmap, 0xFFFFFFFF)
    return Image.frombytes("RGB", (width, height), raw.data, "raw", "BGRX")


# ---- the pieces of the job -------------------------------------------------------------------


def locate(screen, wanted):
    """Where (x, y) the picture ``wanted`` is shown on ``screen`` (both RGB arrays), if it is."""
    import numpy as np

    height, width = wanted.shape[:2]
    for y in range(screen.shape[0] - height + 1):
        for x in np.flatnonzero(np.all(screen[y] == wanted[0, 0], axis=1))[:200]:
            if x + width <= screen.shape[1] and np.array_equal(
                screen[y : y + height, x : x + width], wanted
            ):
                return int(x), y
    return None


def make_picture():
    """A small synthetic screenshot: a flat background, a few blocks and some text."""
    from PIL import Image, ImageDraw

    picture = Image.new("RGB", SIZE, (236, 236, 236))
    draw = ImageDraw.Draw(picture)
    draw.rectangle((20, 20, 160, 90), fill=(40, 90, 200))
    draw.rectangle((190, 30, 340, 200), fill=(250, 200, 40))
    draw.ellipse((40, 120, 150, 220), fill=(30, 160, 80))
    draw.text((200, 90), "velmora", fill=(0, 0, 0))
    return picture


def put_on_clipboard_from_another_process(path):
    """xclip keeps serving the picture after this returns, as a desktop program would."""
    subprocess.Popen(
        ["xclip", "-selection", "clipboard", "-t", "image/png", "-i", str(path)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )


def save_clipboard():
    """The (target, bytes) the clipboard of DISPLAY holds now, or None when it holds nothing."""

    def read(*args):
        return subprocess.run(
            ["xclip", "-selection", "clipboard", *args, "-o"], capture_output=True, timeout=TIMEOUT
        )

    targets = read("-t", "TARGETS")
    offered = targets.stdout.decode(errors="replace").split() if targets.returncode == 0 else []
    for target in ("image/png", "UTF8_STRING", "STRING"):
        if target in offered:
            content = read("-t", target)
            if content.returncode == 0:
                return target, content.stdout
    return None


def restore_clipboard(saved):
    """Puts what ``save_clipboard`` returned back on the clipboard (xclip serves it on)."""
    if saved is None:
        from velmora._platform import desktop

        desktop.display().clear_selection("CLIPBOARD")
        return
    target, content = saved
    writer = subprocess.Popen(
        ["xclip", "-selection", "clipboard", "-t", target, "-i"],
        stdin=subprocess.PIPE,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    writer.communicate(content, timeout=TIMEOUT)


def clipboard_picture():
    from PIL import ImageGrab

    try:
        return ImageGrab.grabclipboard()
    except Exception:
        return None


def direct_mode(out, report):
    from PIL import ImageChops

    from velmora import snapTone

    picture = make_picture()
    before = out / "1-clipboard-before.png"
    picture.save(before)
    put_on_clipboard_from_another_process(before)
    wait_until(lambda: clipboard_picture() is not None, "the picture on the clipboard")
    snapTone.BeginImageProcessing()
    after = wait_until(
        lambda: (
            (p := clipboard_picture()) is not None
            and p.convert("RGB").tobytes() != picture.tobytes()
            and p
        ),
        "the inverted picture on the clipboard",
    ).convert("RGB")
    after.save(out / "2-clipboard-after-direct-mode.png")
    inverted = ImageChops.invert(picture)
    ok = after.tobytes() == inverted.tobytes()
    report.append(("Direct mode: a picture put on the X clipboard by xclip came back inverted", ok))


def interactive_mode(out, report, display):
    import numpy as np
    from PIL import Image

    from velmora import snapTone

    picture = make_picture()
    snapTone.send_to_clipboard(picture)  # through the module's own clipboard path
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.Popen(
        [
            sys.executable,
            "-c",
            textwrap.dedent("""
            from velmora import snapTone
            print("returned", snapTone.BeginImageProcessing(True), flush=True)
        """),
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment,
        cwd=HOST,
    )
    try:
        window = wait_until(
            lambda: xdotool("search", "--onlyvisible", "--name", "^Image Window$").split(),
            "the picture window",
        )[0]
        time.sleep(1.0)
        found = None
        for _ in range(3):
            found = locate(np.asarray(screenshot(display)), np.asarray(picture))
            if found:
                break
            # The GUI now and then misses a new window's first paint; exposing the window
            # again, as a user uncovering it would, brings the picture back.
            xdotool("windowunmap", "--sync", window)
            xdotool("windowmap", "--sync", window)
            time.sleep(1.0)
        if found is None:
            raise RuntimeError("the picture is not on the screen")
        left, top = found
        xdotool("windowactivate", "--sync", window)
        # A freehand red line across the picture, then invert, screenshot, save, close.
        xdotool("mousemove", left + 60, top + 200)
        time.sleep(0.2)
        xdotool("mousedown", 1)
        for step in range(1, 9):
            xdotool("mousemove", left + 60 + 30 * step, top + 200 - 15 * step)
            time.sleep(0.08)
        xdotool("mouseup", 1)
        time.sleep(0.3)
        xdotool("key", "--window", window, "a")
        time.sleep(0.5)
        screenshot(display, (left, top, *SIZE)).save(out / "3-window-screenshot.png")
        from velmora._platform import shell

        folder = Path(shell.picture_folder())  # the child runs with the same home folder
        existing = set(folder.glob("*.png"))
        xdotool("key", "--window", window, "s")
        saved = wait_until(
            lambda: sorted(set(folder.glob("*.png")) - existing), "the saved picture"
        )[0]
        time.sleep(0.3)
        shutil.copy(saved, out / "4-saved-from-window.png")
        saved.unlink()  # the user's picture folder stays as it was
        xdotool("key", "--window", window, "Escape")
        output, errors = child.communicate(timeout=TIMEOUT)
    finally:
        if child.poll() is None:
            child.kill()
    result = Image.open(out / "4-saved-from-window.png").convert("RGB")
    pixels = np.asarray(result).astype(int)
    # Inverted after drawing: the red line shows as cyan (0, 255, 255) on the inverted picture.
    cyan = int(np.sum(np.all(pixels == (0, 255, 255), axis=2)))
    background = tuple(255 - c for c in (236, 236, 236))
    report.append(
        (
            "Interactive window: shown, driven by real pointer and key events, returned",
            "returned None" in output,
        )
    )
    report.append(
        (
            f"Saved picture {result.size[0]}x{result.size[1]}, inverted background,"
            f" {cyan} pixels of the drawn line",
            result.size == SIZE and tuple(pixels[5, 5]) == background and cyan > 50,
        )
    )
    if errors.strip():
        (out / "window-stderr.txt").write_text(errors)


def keys_into_a_window(out, report, display_name):
    import win32con
    from Xlib import XK, X, display

    from velmora import strokeSmith

    connection = display.Display(display_name)
    screen = connection.screen()
    window = screen.root.create_window(
        100,
        100,
        300,
        120,
        0,
        screen.root_depth,
        background_pixel=screen.white_pixel,
        event_mask=X.KeyPressMask | X.StructureNotifyMask,
    )
    window.set_wm_class("velmora-demo", "VelmoraDemo")
    window.set_wm_name("velmora keys demo")
    window.map()
    connection.sync()
    time.sleep(0.5)

    strokeSmith.FindAndSendKeysToWindow("VelmoraDemo", 65, strokeSmith.SimulateKeyPress)
    strokeSmith.SimulateHotKeyPress({win32con.VK_SHIFT: 42, 66: 48})
    strokeSmith.SimulateKeyPressSequence(((67, 46), (68, 32), (win32con.VK_RETURN, 28)), 0.05)
    strokeSmith.SendTextWithCaret("Hi, {!}there!")
    time.sleep(0.3)
    connection.sync()
    typed = []
    while connection.pending_events():
        event = connection.next_event()
        if event.type == X.KeyPress:
            keysym = connection.keycode_to_keysym(
                event.detail, 1 if event.state & X.ShiftMask else 0
            )
            name = XK.keysym_to_string(keysym) or ""
            if name.isprintable() and name:
                typed.append(name)
            elif keysym == XK.XK_Return:
                typed.append("<Enter>")
            elif keysym == XK.XK_Left:
                typed.append("<Left>")
    text = "".join(typed)
    (out / "5-keys-received.txt").write_text(text + "\n")
    expected = "aBcd<Enter>Hi, there!" + "<Left>" * len("there!")
    report.append(
        (f"Keys and text reached a real window found by its class: {text!r}", text == expected)
    )
    connection.close()


# ---- the job ---------------------------------------------------------------------------------


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=str(ROOT / "out" / "main-job"))
    parser.add_argument(
        "--desktop",
        action="store_true",
        help="run on the display in DISPLAY instead of a private one",
    )
    args = parser.parse_args()
    out = Path(args.output)
    out.mkdir(parents=True, exist_ok=True)

    private = None
    if args.desktop and not os.environ.get("DISPLAY"):
        raise SystemExit("--desktop: DISPLAY is not set")
    if not args.desktop:
        name, processes, pipe = start_private_display()
        private = processes
        os.environ["DISPLAY"] = name
        os.environ.pop("WAYLAND_DISPLAY", None)  # else the tools would choose the user's Wayland
    os.environ["VELMORA_DESKTOP"] = "1"

    from Xlib import display

    import velmora  # noqa: F401
    from velmora._platform import desktop

    desktop.attach(os.environ["DISPLAY"])
    connection = display.Display(os.environ["DISPLAY"])
    report = []
    saved_clipboard = None if private else save_clipboard()
    steps = [
        ("direct mode", lambda: direct_mode(out, report)),
        ("interactive window", lambda: interactive_mode(out, report, connection)),
        ("keyboard tool", lambda: keys_into_a_window(out, report, os.environ["DISPLAY"])),
    ]
    try:
        for title, run in steps:
            try:
                os.chdir(HOST)
                run()
            except Exception as error:  # the report says which step failed and why
                report.append((f"{title}: {type(error).__name__}: {error}", False))
    finally:
        os.chdir(ROOT)
        if not private:
            restore_clipboard(saved_clipboard)
        connection.close()
        for process in reversed(private or []):
            process.terminate()

    where = (
        f"a private virtual display {os.environ['DISPLAY']}"
        if private
        else f"display {os.environ['DISPLAY']}"
    )
    lines = ["# velmora main job", "", f"Ran on {where}; outputs in `{out}`.", ""]
    lines += [f"- [{'x' if ok else ' '}] {text}" for text, ok in report]
    lines += [
        "",
        "Files: " + ", ".join(sorted(p.name for p in out.iterdir() if p.name != "report.md")),
    ]
    (out / "report.md").write_text("\n".join(lines) + "\n")
    print("\n".join(lines))
    return 0 if report and all(ok for _, ok in report) else 1


if __name__ == "__main__":
    sys.exit(main())
