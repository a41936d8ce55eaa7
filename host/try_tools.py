"""Tries the velmora tools by hand, as the macro host would call them.

Run from anywhere; the script puts this folder first on the import path (so ``common`` is the
host's) and works in this folder (so the relative sound names "SFX\\..." are found):

    python3 host/try_tools.py press 65            # presses A in the window focused after 2 s
    python3 host/try_tools.py chord 160:42 65:30  # Shift+A
    python3 host/try_tools.py window CLASS 65     # brings the window of CLASS forward, presses A
    python3 host/try_tools.py expand brb          # types "be right back" for the typed "brb"
    python3 host/try_tools.py invert              # inverts the picture on the clipboard
    python3 host/try_tools.py edit                # the interactive picture window

Each command waits ``--delay`` seconds first, so that you can focus the window to receive the
keys. The velmora package is taken from the installed ones, else from this checkout.
"""

import argparse
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
    expand = commands.add_parser("expand", help="expand an abbreviation")
    expand.add_argument("typed")
    commands.add_parser("invert", help="invert the clipboard picture")
    commands.add_parser("edit", help="open the clipboard picture in the picture window")
    args = parser.parse_args(argv)

    sys.path.insert(0, HERE)
    if importlib.util.find_spec("velmora") is None:
        sys.path.append(os.path.dirname(HERE))
    os.chdir(HERE)
    import common
    from velmora import strokeSmith

    time.sleep(args.delay)
    if args.command == "press":
        strokeSmith.SimulateKeyPress(args.key, 0, args.times)
    elif args.command == "chord":
        strokeSmith.SimulateHotKeyPress(dict(args.keys))
    elif args.command == "window":
        strokeSmith.FindAndSendKeysToWindow(args.class_name, args.key, strokeSmith.SimulateKeyPress)
    elif args.command == "expand":
        common.recorder.feed(args.typed)
        strokeSmith.ExpandText()
    else:
        from velmora import snapTone

        snapTone.BeginImageProcessing(args.command == "edit")


if __name__ == "__main__":
    main()
