"""Typed text, expansion and opening on a real X server, read back from a real client."""

import importlib.util
import json
import os
import shutil
import stat
import subprocess
import sys
import tempfile
import time

import pytest
from conftest import run_python

HERE = os.path.dirname(os.path.abspath(__file__))
# Upper case, shifted punctuation, and characters that no key of the keymap types.
TEXT = 'Caf\u00e9 "\u00dcber" \u20ac5 & \u6771\u4eac{!} (A+b)?'
TYPED, LEFTS = TEXT.replace("{!}", ""), len(" (A+b)?")


class TextField:
    """The text field client (text_field.py) in a process of its own."""

    def __init__(self, display_name):
        self.process = subprocess.Popen(
            [
                sys.executable,
                os.path.join(HERE, "text_field.py"),
                display_name,
                "field",
                "TextField",
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        self.id = json.loads(self.process.stdout.readline())["window"]

    def settled(self, text, cursor=None, timeout=10.0):
        """The field's state once it holds ``text`` (and the cursor at ``cursor``: the keys
        that move it may come a moment after the text), or its last state after ``timeout``."""
        deadline = time.monotonic() + timeout
        while True:
            self.process.stdin.write("\n")
            self.process.stdin.flush()
            state = json.loads(self.process.stdout.readline())
            done = state["text"] == text and cursor in (None, state["cursor"])
            if done or time.monotonic() > deadline:
                return state
            time.sleep(0.05)

    def close(self):
        self.process.stdin.close()
        self.process.wait(timeout=10)


@pytest.fixture
def field(desk, left_clean, xserver):
    import win32gui

    made = TextField(xserver.name)
    deadline = time.monotonic() + 20
    while not desk.display().window_visible(made.id) and time.monotonic() < deadline:
        time.sleep(0.05)
    win32gui.SetForegroundWindow(made.id)
    yield made
    made.close()


def test_send_text_with_caret(field, reports):
    from velmora import _platform, strokeSmith

    if not _platform.is_fallback(strokeSmith.keyboard):  # the package is Windows-only
        message = "the keyboard package is installed here; these tests are for its stand-in"
        pytest.fail(message) if os.environ.get("CI") else pytest.skip(message)

    strokeSmith.SendTextWithCaret(TEXT)
    assert field.settled(TYPED, len(TYPED) - LEFTS) == {"text": TYPED, "cursor": len(TYPED) - LEFTS}
    assert reports.items == []


@pytest.fixture(scope="module")
def readable_packages():
    """velmora and the X client library, copied into a folder that any user can read: the
    checkout and its .venv may lie where only their owner can enter (/root, a private home),
    and the ordinary user imports parts of them lazily, after the switch."""
    folder = tempfile.mkdtemp(prefix="velmora-readable-")
    try:
        os.chmod(folder, 0o755)
        for name in ("velmora", "Xlib", "six"):  # six: what older python-xlib releases import
            spec = importlib.util.find_spec(name)
            if spec is None:
                continue
            if spec.submodule_search_locations:
                source = os.path.dirname(spec.origin)
                target = os.path.join(folder, name)
                shutil.copytree(source, target, ignore=shutil.ignore_patterns("__pycache__"))
            else:
                shutil.copy(spec.origin, folder)
        for root, folders, files in os.walk(folder):
            for name in folders:
                os.chmod(os.path.join(root, name), 0o755)
            for name in files:
                path = os.path.join(root, name)
                os.chmod(path, os.stat(path).st_mode | 0o444)
        yield folder
    finally:
        shutil.rmtree(folder)


def test_send_text_with_caret_as_an_ordinary_user(field, readable_packages):
    # The interpreter is loaded as root, the package from a copy that any user can read;
    # everything that talks to the X server runs as user "nobody".
    result = run_python(
        f"""
        import os
        import velmora.strokeSmith as kb
        from velmora._platform import desktop
        desktop.display().screen_size()
        desktop.display().close()
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
        print(os.geteuid())
        kb.SendTextWithCaret({TEXT!r})
        """,
        path=(readable_packages,),
        VELMORA_DESKTOP="1",
    )
    assert result.stdout.split() == ["65534"] and result.stderr == ""
    assert field.settled(TYPED, len(TYPED) - LEFTS) == {"text": TYPED, "cursor": len(TYPED) - LEFTS}


def test_expand_text_replaces_the_typed_abbreviation(field, monkeypatch, reports):
    from velmora import strokeSmith

    substitution = "be right back \u2013 \u00e0 bient\u00f4t, \u6771\u4eac \u20ac"
    subprocess.run(["xdotool", "type", "say brb"], check=True, timeout=30)
    assert field.settled("say brb")["text"] == "say brb"
    monkeypatch.setattr(strokeSmith.ctrlHouse, "pressed_chars", "brb")
    monkeypatch.setattr(strokeSmith.ctrlHouse, "abbreviations", {"brb": substitution})
    strokeSmith.ExpandText()
    assert field.settled("say " + substitution)["text"] == "say " + substitution
    assert strokeSmith.ctrlHouse.pressed_chars == "" and reports.items == []


def test_open_location_runs_the_desktop_opener(desk, tmp_path, monkeypatch, reports):
    from velmora import strokeSmith

    bin_dir, opened = tmp_path / "bin", tmp_path / "opened"
    bin_dir.mkdir()
    opener = bin_dir / "xdg-open"
    opener.write_text(f'#!/bin/sh\nprintf "%s\\n" "$@" > "{opened}"\n')
    opener.chmod(opener.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", f"{bin_dir}{os.pathsep}{os.environ['PATH']}")
    folder = tmp_path / "my documents; $(true)"
    folder.mkdir()
    monkeypatch.setattr(strokeSmith.ctrlHouse, "pressed_chars", "docs")
    monkeypatch.setattr(strokeSmith.ctrlHouse, "locations", {"docs": str(folder)})
    strokeSmith.OpenLocation()
    assert opened.read_text() == f"{folder}\n"
    assert strokeSmith.ctrlHouse.pressed_chars == "" and reports.items == []


def test_characters_of_the_altgr_level_are_typed_with_their_keys(field, load_layout, monkeypatch):
    from velmora import strokeSmith
    from velmora._platform import x11

    bound = []
    bind = x11._SpareKeys.keycode
    monkeypatch.setattr(
        x11._SpareKeys,
        "keycode",
        lambda spares, display, keysym, free: (
            bound.append(keysym) or bind(spares, display, keysym, free)
        ),
    )
    load_layout("de")
    strokeSmith.SendTextWithCaret("@{}|~\\Q")  # all AltGr or Shift on a German keyboard
    assert field.settled("@{}|~\\Q")["text"] == "@{}|~\\Q"
    assert bound == []
