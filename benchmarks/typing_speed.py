"""Typing speed into real toolkit windows: characters per second and characters lost.

    python benchmarks/typing_speed.py [--quick]

Starts its own Xvfb with openbox, shows a Tk text widget and a GTK 3 text view (the test
receivers, run by the system interpreter) and types into each, through ``keyboard.write``:
ASCII, and characters that no key of the keymap types (typed through spare keycodes). Each
rate is the text's length over the time from the call until the window holds the whole text.
The last rows compare a 10-character text with one character outside the keymap with an ASCII
one of the same length, typed side by side (median of the rounds). Targets: >= 1000 ASCII
characters per second, >= 300 outside the keymap, nothing lost, and the mixed short text at
most twice the time of the ASCII one.
"""

import argparse
import contextlib
import json
import os
import statistics
import subprocess
import sys
import time

import display

import velmora  # noqa: F401  (puts the Windows modules' stand-ins in place elsewhere)

# isort: split
import keyboard
import win32gui

HERE = os.path.dirname(os.path.abspath(__file__))
RECEIVER = os.path.join(HERE, "..", "tests", "desktop", "receiver.py")
ASCII = "The quick brown fox jumps over the lazy dog; 0123456789 (A+B)? "
OUTSIDE = "\u00e4\u00f6\u00fc\u00df\u20ac\u00f1\u00e7\u00e9\u65e5\u672c"
SHORT_ASCII, SHORT_MIXED = "abcdefghij", "abcd\u00e9fghij"


@contextlib.contextmanager
def managed_desktop():
    """A virtual display of the run's own (DISPLAY set) with a window manager on it: never the
    user's desktop, whose focused window would receive the text."""
    for variable in ("DISPLAY", "WAYLAND_DISPLAY"):
        os.environ.pop(variable, None)
    with display.virtual_display() as name:
        if name is None:
            raise SystemExit("typing_speed: no X display, and Xvfb could not start one")
        manager = subprocess.Popen(["openbox", "--sm-disable"], stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        try:
            yield name
        finally:
            manager.terminate()
            manager.wait()


class Receiver:
    def __init__(self, kind):
        from velmora._platform import desktop

        self.process = subprocess.Popen(
            ["/usr/bin/python3", RECEIVER, kind, os.environ["DISPLAY"], f"bench-{kind}"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        instance = json.loads(self.process.stdout.readline())["shown"]
        window = 0
        while not window:
            window = desktop.display().find_window(instance, f"bench-{kind}")
        for _ in range(50):
            try:
                win32gui.SetForegroundWindow(window)
                break
            except Exception:
                time.sleep(0.1)

    def text(self):
        self.process.stdin.write("\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())["text"]

    def time_until(self, text, timeout=120.0):
        """Seconds from typing ``text`` until the window holds it, and the characters lost."""
        before = self.text()
        start = time.perf_counter()
        keyboard.write(text)
        deadline = time.monotonic() + timeout
        while True:
            held = self.text()
            if held == before + text or time.monotonic() > deadline:
                break
        elapsed = time.perf_counter() - start
        arrived = held[len(before) :]
        return elapsed, max(0, len(text) - len(arrived)) + (arrived != text)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter texts, fewer rounds")
    arguments = parser.parse_args()
    length, rounds = (300, 5) if arguments.quick else (2000, 15)
    rows, failed = [], False
    with managed_desktop():
        for kind in ("tk", "gtk"):
            receiver = Receiver(kind)
            try:
                for name, alphabet, target in (("ASCII", ASCII, 1000), ("outside", OUTSIDE, 300)):
                    text = (alphabet * (length // len(alphabet) + 1))[:length]
                    seconds, lost = receiver.time_until(text)
                    rate = length / seconds
                    ok = rate >= target and lost == 0
                    failed |= not ok
                    rows.append(
                        f"| {kind} | {name} | {length} | {rate:,.0f} | {lost} | >= {target} "
                        f"| {'ok' if ok else '**missed**'} |"
                    )
                pairs = [
                    (receiver.time_until(SHORT_ASCII)[0], receiver.time_until(SHORT_MIXED)[0])
                    for _ in range(rounds)
                ]
                ratio = statistics.median(mixed / plain for plain, mixed in pairs)
                failed |= ratio > 2
                rows.append(
                    f"| {kind} | 10 characters, one outside / ASCII | 10 | {ratio:.2f}x | - "
                    f"| <= 2x | {'ok' if ratio <= 2 else '**missed**'} |"
                )
            finally:
                receiver.close()
    print("| toolkit | text | characters | characters/s | lost | target | status |")
    print("| --- | --- | ---: | ---: | ---: | --- | --- |")
    print("\n".join(rows))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
