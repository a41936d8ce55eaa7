"""Everything the desktop backend does through outside programs: sounds, opening, clipboard.

The ``programs`` fixture replaces subprocess: it records every program started, refuses a
shell or a command line given as one string, and answers as a test tells it. The last tests
run small stand-in programs for real, to see the arguments arrive as they were given.
"""

import io
import json
import os
import shutil
import stat
import subprocess
import sys
import time

import pytest
from PIL import Image

from velmora._platform import clipboard, shell, sound
from velmora._platform.x11 import DesktopError


class FakeProcess:
    def __init__(self, programs, argv, running):
        self.argv = argv
        self.returncode = None if running else programs.returncode
        self.input = None
        self.waited = False
        self.terminated = False
        self._programs = programs

    def poll(self):
        return self.returncode

    def wait(self, timeout=None):
        self.waited = True
        self.returncode = self._programs.returncode if self.returncode is None else self.returncode
        return self.returncode

    def communicate(self, input=None, timeout=None):
        self.input = input
        self.wait()
        return None, None

    def terminate(self):
        self.terminated = True
        self.returncode = -15

    kill = terminate


class Programs:
    """Installed programs, and a record of each one started: (argv, keyword arguments)."""

    def __init__(self, installed):
        self.installed = set(installed)
        self.started = []
        self.processes = []
        self.returncode = 0
        self.running = False  # started processes run until waited for or stopped

    def which(self, name):
        return f"/usr/bin/{name}" if name in self.installed else None

    def _record(self, argv, kwargs):
        assert isinstance(argv, list), "programs are started from argument lists"
        assert all(isinstance(item, str) for item in argv)
        assert not kwargs.get("shell"), "never through a shell"
        self.started.append((argv, kwargs))

    def popen(self, argv, **kwargs):
        self._record(argv, kwargs)
        process = FakeProcess(self, argv, self.running)
        self.processes.append(process)
        return process

    def run(self, argv, **kwargs):
        self._record(argv, kwargs)
        return subprocess.CompletedProcess(argv, self.returncode, b"", b"")

    @property
    def argvs(self):
        return [argv for argv, _ in self.started]


@pytest.fixture
def programs(monkeypatch):
    fake = Programs({"paplay", "aplay", "xdg-open", "gio", "gdbus", "xclip"})
    monkeypatch.setattr(shutil, "which", fake.which)
    monkeypatch.setattr(subprocess, "Popen", fake.popen)
    monkeypatch.setattr(subprocess, "run", fake.run)
    monkeypatch.setattr(os, "system", None)  # calling it fails the test
    monkeypatch.setattr(sound, "_playing", None)
    return fake


# Sounds -------------------------------------------------------------------------------------


@pytest.fixture
def theme(tmp_path, monkeypatch):
    """A freedesktop sound theme with the sounds the system sounds map to."""
    stereo = tmp_path / "share" / "sounds" / "freedesktop" / "stereo"
    stereo.mkdir(parents=True)
    for name in ("complete.oga", "message.oga"):
        (stereo / name).write_bytes(b"OggS")
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "nothing"))
    monkeypatch.setenv("XDG_DATA_DIRS", str(tmp_path / "share"))
    return stereo


@pytest.fixture
def sfx(tmp_path, monkeypatch):
    """A current directory with SFX/knob-458.wav in it."""
    folder = tmp_path / "work"
    (folder / "SFX").mkdir(parents=True)
    (folder / "SFX" / "knob-458.wav").write_bytes(b"RIFF")
    monkeypatch.chdir(folder)
    return folder


@pytest.mark.parametrize(
    "name, expected",
    [
        ("SFX\\knob-458.wav", "work/SFX/knob-458.wav"),
        (b"SFX\\knob-458.wav", "work/SFX/knob-458.wav"),
        ("SFX/knob-458.wav", "work/SFX/knob-458.wav"),
        ("SFX\\missing.wav", None),
        ("C:\\Windows\\Media\\tada.wav", "share/sounds/freedesktop/stereo/complete.oga"),
        ("c:\\windows\\media\\TADA.WAV", "share/sounds/freedesktop/stereo/complete.oga"),
        ("C:\\Windows\\Media\\Windows Navigation Start.wav",
         "share/sounds/freedesktop/stereo/message.oga"),
        ("C:\\Windows\\Media\\chimes.wav", None),
        ("D:\\SFX\\knob-458.wav", None),
    ],
)
def test_sound_names_resolve(sfx, theme, tmp_path, name, expected):
    resolved = sound.resolve(name)
    assert resolved == (None if expected is None else str(tmp_path / expected))


def test_system_sound_without_theme_is_skipped(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path))
    monkeypatch.setenv("XDG_DATA_DIRS", str(tmp_path))
    assert sound.resolve("C:\\Windows\\Media\\tada.wav") is None


@pytest.mark.parametrize("flags, waits", [(0x20000, True), (0x20001, False)])
def test_sound_waits_unless_async(programs, sfx, flags, waits):
    programs.running = True
    sound.play("SFX\\knob-458.wav", flags)
    assert programs.argvs == [["/usr/bin/paplay", str(sfx / "SFX" / "knob-458.wav")]]
    assert programs.processes[0].waited is waits


def test_a_new_sound_stops_the_one_playing(programs, sfx):
    programs.running = True
    sound.play("SFX\\knob-458.wav", 0x20001)
    sound.play("SFX\\knob-458.wav", 0x20001)
    first, second = programs.processes
    assert first.terminated and not second.terminated


@pytest.mark.parametrize(
    "installed, name, played",
    [
        ({"aplay"}, "SFX\\knob-458.wav", ["/usr/bin/aplay", "-q"]),
        ({"aplay"}, "C:\\Windows\\Media\\tada.wav", None),  # Ogg theme sound: ALSA cannot
        (set(), "SFX\\knob-458.wav", None),  # no player
        ({"paplay"}, "SFX\\gone.wav", None),  # no file
        ({"paplay"}, "SystemAsterisk", None),  # an alias, not a file
    ],
)
def test_sounds_that_cannot_play_are_skipped(programs, sfx, theme, installed, name, played):
    programs.installed = installed
    sound.play(name, 0x20000)
    assert programs.argvs == ([] if played is None else [played + [sound.resolve(name)]])


def test_sound_from_memory_is_piped(programs):
    sound.play(b"RIFF....WAVE", 0x0004)
    (argv, kwargs), = programs.started
    assert argv == ["/usr/bin/paplay"] and kwargs["input"] == b"RIFF....WAVE"


def test_player_failures_are_silent(programs, sfx, monkeypatch):
    def broken(argv, **kwargs):
        raise PermissionError(13, "Permission denied")

    monkeypatch.setattr(subprocess, "Popen", broken)
    sound.play("SFX\\knob-458.wav", 0x20000)  # no exception
    programs.returncode = 1  # a player that finds no audio device exits with an error
    monkeypatch.setattr(subprocess, "Popen", programs.popen)
    sound.play("SFX\\knob-458.wav", 0x20000)
    assert programs.processes[0].returncode == 1


# Opening --------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["report.pdf", "-rf", "a b; $(touch x) 'q'.txt", "folder"])
def test_startfile_passes_the_absolute_path_as_one_argument(programs, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).mkdir() if name == "folder" else (tmp_path / name).write_text("x")
    shell.startfile(name)
    (argv, kwargs), = programs.started
    assert argv == ["/usr/bin/xdg-open", str(tmp_path / name)]
    assert kwargs["start_new_session"] is True


def test_startfile_falls_back_to_gio(programs, tmp_path):
    programs.installed = {"gio"}
    shell.startfile(tmp_path)
    assert programs.argvs == [["/usr/bin/gio", "open", str(tmp_path)]]


def test_startfile_opens_urls(programs):
    shell.startfile("https://example.org/a?b=c")
    assert programs.argvs == [["/usr/bin/xdg-open", "https://example.org/a?b=c"]]


@pytest.mark.parametrize(
    "path, error",
    [(None, TypeError), (42, TypeError), ("/no/such/file", FileNotFoundError),
     ("C:\\Users\\nobody", FileNotFoundError)],
)
def test_startfile_refuses_what_it_cannot_open(programs, path, error):
    with pytest.raises(error):
        shell.startfile(path)
    assert programs.started == []


def test_startfile_without_opener_says_so(programs, tmp_path):
    programs.installed = set()
    with pytest.raises(OSError, match="xdg-open or gio"):
        shell.startfile(tmp_path)


def test_reveal_asks_the_file_manager_with_a_file_uri(programs, tmp_path):
    picture = tmp_path / "2026-01-02, 03.04.05 PM.png"
    picture.write_bytes(b"png")
    shell.reveal(str(picture))
    (argv, kwargs), = programs.started
    uri = "file://" + str(tmp_path).replace(" ", "%20") + "/2026-01-02%2C%2003.04.05%20PM.png"
    assert argv == ["/usr/bin/gdbus", "call", "--session", *shell.FILE_MANAGER, f"['{uri}']", ""]
    assert kwargs["timeout"] == shell.DBUS_TIMEOUT


@pytest.mark.parametrize("installed", [{"gdbus", "xdg-open"}, {"xdg-open"}])
def test_reveal_opens_the_folder_when_no_file_manager_answers(programs, tmp_path, installed):
    programs.installed = installed
    programs.returncode = 1  # gdbus: the name is not on the bus
    picture = tmp_path / "it's.png"
    picture.write_bytes(b"png")
    shell.reveal(picture)
    assert programs.argvs[-1] == ["/usr/bin/xdg-open", str(tmp_path)]


# Clipboard ----------------------------------------------------------------------------------


class FakeConnection:
    name = ":77"

    def __init__(self, owners):
        self.owners = list(owners)
        self.cleared = []

    def selection_owner(self, selection):
        return self.owners.pop(0) if len(self.owners) > 1 else self.owners[0]

    def clear_selection(self, selection):
        self.cleared.append(selection)


def dib_of(image):
    out = io.BytesIO()
    image.save(out, "BMP")
    return out.getvalue()[14:]


@pytest.fixture
def picture():
    image = Image.new("RGB", (7, 5), (250, 128, 3))
    image.putpixel((0, 0), (1, 2, 3))
    image.putpixel((6, 4), (9, 8, 7))
    return image


def test_picture_is_offered_as_png(picture):
    target, data = clipboard.offer({clipboard.CF_DIB: dib_of(picture), clipboard.CF_TEXT: b"x"})
    assert target == "image/png"
    with Image.open(io.BytesIO(data)) as png:
        assert png.format == "PNG" and png.convert("RGB").tobytes() == picture.tobytes()


@pytest.mark.parametrize(
    "contents, offered",
    [
        ({clipboard.CF_UNICODETEXT: "h\u00e9\u20ac\0junk".encode("utf-16-le")},
         ("UTF8_STRING", "h\u00e9\u20ac".encode())),
        ({clipboard.CF_UNICODETEXT: "plain"}, ("UTF8_STRING", b"plain")),
        ({clipboard.CF_TEXT: b"caf\xe9\0"}, ("UTF8_STRING", "caf\u00e9".encode())),
        ({}, None),
        ({49161: b"private"}, None),
    ],
)
def test_other_contents(contents, offered):
    assert clipboard.offer(contents) == offered


def test_publish_hands_the_png_to_the_writer(programs, picture):
    connection = FakeConnection([0x400001, 0x400001, 0x600001])
    clipboard.publish({clipboard.CF_DIB: dib_of(picture)}, connection)
    (argv, kwargs), = programs.started
    assert argv == ["/usr/bin/xclip", "-selection", "clipboard", "-display", ":77",
                    "-t", "image/png", "-i"]
    assert kwargs["start_new_session"] is True and kwargs["stdin"] == subprocess.PIPE
    assert programs.processes[0].input == clipboard.offer({8: dib_of(picture)})[1]


def test_emptied_clipboard_leaves_no_owner(programs):
    connection = FakeConnection([0x400001])
    clipboard.publish({}, connection)
    assert connection.cleared == ["CLIPBOARD"] and programs.started == []


@pytest.mark.parametrize(
    "installed, returncode, owners, message",
    [
        (set(), 0, [0], "xclip is needed"),
        ({"xclip"}, 1, [0], "xclip failed"),
        ({"xclip"}, 0, [0x400001], "did not take the clipboard"),  # the owner never changed
    ],
)
def test_publish_failures_are_reported(programs, monkeypatch, picture, installed, returncode,
                                       owners, message):
    monkeypatch.setattr(clipboard, "TAKEOVER_TIMEOUT", 0.05)
    programs.installed, programs.returncode = installed, returncode
    with pytest.raises(DesktopError, match=message):
        clipboard.publish({clipboard.CF_DIB: dib_of(picture)}, FakeConnection(owners))


def test_bad_bitmap_fails_before_any_program(programs):
    with pytest.raises(OSError):
        clipboard.publish({clipboard.CF_DIB: b"not a bitmap"}, FakeConnection([0]))
    assert programs.started == []


# Real programs ------------------------------------------------------------------------------

RECORDER = """#!{python}
import json, sys
with open({log!r}, "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\\n")
"""


@pytest.fixture
def recording_path(tmp_path, monkeypatch):
    """A PATH of stand-in programs that append their arguments, as JSON, to a log file."""
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    log = tmp_path / "programs.log"
    for name in ("paplay", "xdg-open"):
        program = bin_dir / name
        program.write_text(RECORDER.format(python=sys.executable, log=str(log)))
        program.chmod(program.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", str(bin_dir))
    monkeypatch.setattr(sound, "_playing", None)

    def logged():
        return [json.loads(line) for line in log.read_text().splitlines()] if log.exists() else []

    return logged


def test_real_programs_receive_names_unchanged(recording_path, tmp_path, monkeypatch):
    odd = tmp_path / "it's a \"sound\"; $(rm -rf ~) `x` & |.wav"
    odd.write_bytes(b"RIFF")
    monkeypatch.chdir(tmp_path)
    sound.play(odd.name, 0x20000)  # synchronous: the program has run when play returns
    folder = tmp_path / "-n dir with spaces"
    folder.mkdir()
    shell.startfile(str(folder))
    deadline = time.monotonic() + 10
    while len(recording_path()) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)  # startfile does not wait for the opener
    assert recording_path() == [[str(odd)], [str(folder)]]
