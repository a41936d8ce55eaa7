"""What binds the configured hotkeys in a Wayland compositor, where no program may take keys
for itself: each hotkey becomes a compositor shortcut that runs ``velmora-host action``, which
asks the running host through its control socket.

``--bindings sway|gnome|kde`` prints the whole text; the Wayland host logs the short form at
start.
"""

import os
import shlex
import shutil
import sys

from velmora.host import actions

FLAVOURS = ("sway", "gnome", "kde")
_SWAY = {"ctrl": "Ctrl", "alt": "Alt", "shift": "Shift", "super": "Mod4"}
_PLAIN = {"ctrl": "Ctrl", "alt": "Alt", "shift": "Shift", "super": "Super"}


def client_command():
    """The command that runs the client as this host was started: ``velmora-host`` where
    that name finds this very program, else its path, else the interpreter with ``-m``."""
    script = os.path.abspath(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    if os.path.basename(script) == "velmora-host":
        found = shutil.which("velmora-host")
        if found and os.path.realpath(found) == os.path.realpath(script):
            return "velmora-host"
        return shlex.quote(script)
    return f"{shlex.quote(sys.executable)} -m velmora.host"


def request(hotkey):
    """The client's arguments for ``hotkey``: by action name, unless the action takes
    arguments, which the configured hotkey holds."""
    if actions.REGISTRY[hotkey.action].arguments:
        return f"action --hotkey {shlex.quote(str(hotkey.combo))}"
    return f"action {hotkey.action}"


def _key(combo):
    from velmora.host import xserver

    return xserver.keysym_name(combo.keysym) or combo.key


def keys(combo, flavour):
    """``combo`` as the compositor writes it: Ctrl+Alt+e in sway's configuration, Ctrl+Alt+E
    as GNOME's and KDE's settings show the keys pressed (Super is KDE's Meta)."""
    key = _key(combo)
    if flavour == "sway":
        return "+".join([*(_SWAY[name] for name in combo.modifiers), key])
    names = [_PLAIN[name] for name in combo.modifiers]
    return "+".join([*names, key.upper() if len(key) == 1 else key])


def lines(flavour, hotkeys, command=None):
    """One line per hotkey: a sway configuration line, or the shortcut and its command."""
    command = command or client_command()
    if flavour == "sway":
        return [
            f"bindsym {keys(hotkey.combo, 'sway')} exec {command} {request(hotkey)}"
            for hotkey in hotkeys
        ]
    return [
        f"{keys(hotkey.combo, flavour)}  runs  {command} {request(hotkey)}" for hotkey in hotkeys
    ]


def text(flavour, config, command=None):
    """Ready-to-paste text or step-by-step instructions for ``flavour``."""
    found = lines(flavour, config.hotkeys, command)
    if not found:
        return f"# {config.path} binds no hotkeys\n"
    if flavour == "sway":
        head = [
            f"# velmora hotkeys of {config.path}: add to ~/.config/sway/config,",
            "# then reload sway (swaymsg reload). velmora-host must be running.",
        ]
        return "\n".join(head + found) + "\n"
    if flavour == "gnome":
        head = [
            "In GNOME: Settings -> Keyboard -> View and Customize Shortcuts -> Custom Shortcuts,",
            "then for each line below: Add Shortcut, give it a name (velmora and the action),",
            "the command after 'runs', and press the keys before it as the shortcut.",
        ]
    else:
        head = [
            "In KDE Plasma: System Settings -> Shortcuts -> Custom Shortcuts (Plasma 5: Edit ->",
            "New -> Global Shortcut -> Command/URL; Plasma 6: Shortcuts -> Add New -> Command),",
            "then for each line below: the command after 'runs' as the action, and the keys",
            "before it as the trigger.",
        ]
    return "\n".join(head + [""] + found) + "\n"
