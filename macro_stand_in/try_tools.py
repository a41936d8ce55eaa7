"""Tries the velmora tools by hand, as the macro host would call them.

Run from anywhere; the script puts this folder first on the import path (so ``common`` is the
macro package's); the relative sound names "SFX\\..." are found in the package itself.
From the repository root, with ``T=macro_stand_in/try_tools.py``:

    .venv/bin/python $T press 65            # presses A in the focused window
    .venv/bin/python $T chord 160:42 65:30  # Shift+A
    .venv/bin/python $T window CLASS 65     # raises the window of CLASS, presses A
    .venv/bin/python $T text "f({!})"       # types f() with the cursor in ()
    .venv/bin/python $T expand brb          # types "be right back" for "brb"
    .venv/bin/python $T open home           # opens the location "home" of common.py
    .venv/bin/python $T invert              # inverts the picture on the clipboard
    .venv/bin/python $T edit                # the interactive picture window

Each command waits ``--delay`` seconds first, so that you can focus the window to receive the
keys. The velmora package is taken from the installed ones, else from a development build in
this checkout.
"""

import argparse
import glob
import importlib.util
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def _pair(text):
    code, _, scan = text.partition(":")
    return int(code, 0), int(scan or "0", 0)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--delay", type=float, default=2.0, help="seconds to wait first")
    commands = parser.add_subparsers(dest="command", required=True)
    press = commands.add_parser("press", help="one key press")
    press.add_argument("key", type=lambda text: int(text, 0))
    press.add_argument("times", type=int, nargs="?", default=1)
    chord = commands.add_parser("chord", help="a chord of VK:SCAN pairs")
    chord.add_argument("keys", type=_pair, nargs="+")
    window = commands.add_parser("window", help="find a window by class and press a key there")
    window.add_argument("class_name")
    window.add_argument("key", type=lambda text: int(text, 0))
    text = commands.add_parser("text", help="type text, the cursor placed at {!}")
    text.add_argument("text")
    expand = commands.add_parser("expand", help="expand an abbreviation")
    expand.add_argument("typed")
    location = commands.add_parser("open", help="open a location by its typed shortcut")
    location.add_argument("typed")
    commands.add_parser("invert", help="invert the clipboard picture")
    commands.add_parser("edit", help="open the clipboard picture in the picture window")
    args = parser.parse_args(argv)

    sys.path.insert(0, HERE)
    if importlib.util.find_spec("velmora") is None:
        checkout = os.path.dirname(HERE)
        if not glob.glob(os.path.join(checkout, "velmora", "strokeSmith*")):
            sys.exit(
                "velmora is not installed for this interpreter: run it with .venv/bin/python "
                "(made by scripts/run-tests.sh), or build it first (see README.md)"
            )
        sys.path.append(checkout)
    import common

    from velmora import strokeSmith

    time.sleep(args.delay)
    if args.command == "press":
        strokeSmith.SimulateKeyPress(args.key, 0, args.times)
    elif args.command == "chord":
        strokeSmith.SimulateHotKeyPress(dict(args.keys))
    elif args.command == "window":
        strokeSmith.FindAndSendKeysToWindow(args.class_name, args.key, strokeSmith.SimulateKeyPress)
    elif args.command == "text":
        strokeSmith.SendTextWithCaret(args.text)
    elif args.command == "expand":
        common.recorder.feed(args.typed)
        strokeSmith.ExpandText()
    elif args.command == "open":
        common.recorder.feed(args.typed)
        strokeSmith.OpenLocation()
    else:
        from velmora import snapTone

        snapTone.BeginImageProcessing(args.command == "edit")


if __name__ == "__main__":
    main()
