"""The main job: drives the keyboard tool and reports the key events it produced.

Without a desktop to type into, the key events are captured from the platform layer's
``win32api`` and listed, so the run shows exactly what a Windows host would have received.
"""

import sys

import velmora.strokeSmith as strokeSmith


def main():
    import win32api
    import win32con

    sent = []
    strokeSmith.win32api = win32api
    if getattr(win32api, "__velmora_fallback__", False):
        win32api.key_sink = lambda vk, scan, flags: sent.append((vk, scan, flags))

    steps = [
        ("SimulateKeyPress(65, 30, 2)", lambda: strokeSmith.SimulateKeyPress(65, 30, 2)),
        ("SimulateKeyPress(VK_RIGHT)", lambda: strokeSmith.SimulateKeyPress(win32con.VK_RIGHT)),
        ("SimulateHotKeyPress({Ctrl: 29, C: 46})", lambda: strokeSmith.SimulateHotKeyPress({win32con.VK_CONTROL: 29, 67: 46})),
    ]
    for title, step in steps:
        before = len(sent)
        step()
        events = ", ".join(
            f"{vk:#04x}/{scan}/{'up' if flags & 2 else 'down'}{'+ext' if flags & 1 else ''}"
            for vk, scan, flags in sent[before:]
        )
        print(f"{title}: {events}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
