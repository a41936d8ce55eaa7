"""Everything the desktop backend does through outside programs: sounds, opening, clipboard.

The ``programs`` fixture replaces subprocess: it records every program started, fails the test
on a shell or a command line given as one string, and answers as the test tells it. The last
test runs small stand-in programs for real, to see hostile names arrive unchanged.
"""

import io
import json
import os
import shutil
import signal
import stat
import subprocess
import sys
import threading
import time

import pytest
from PIL import Image

from velmora._platform import clipboard, freedesktop
from velmora._platform.backend import DesktopError


class FakeProcess:
    """A program that ends, with ``exit_code``, when the caller waits for it; a reaper thread
    waiting for it sees it end only when it is stopped."""

    def __init__(self, returncode):
        self.returncode, self.input, self.waited, self.terminated = returncode, None, False, False
        self.exit_code = 0
        self.ended = threading.Event()

    def poll(self):
        return self.returncode

    def wait(self, timeout=None):
        if threading.current_thread() is not threading.main_thread():
            self.ended.wait(10)
            return self.returncode
        self.waited = True
        if self.returncode is None:
            self.returncode = self.exit_code
        return self.returncode

    def communicate(self, input=None, timeout=None):
        self.input = input
        return self.wait(), None

    def terminate(self):
        self.terminated, self.returncode = True, -15
        self.ended.set()

    kill = terminate


class Programs:
    """Installed programs, and a record of each one started: (argv, keyword arguments)."""

    def __init__(self):
        self.installed = {"paplay", "aplay", "xdg-open", "gio", "gdbus", "xclip"}
        self.started, self.processes = [], []
        self.returncode = 0  # of programs started
        self.answer = 0  # of programs run to their end

    def which(self, name):
        return f"/usr/bin/{name}" if name in self.installed else None

    def _record(self, argv, kwargs):
        assert isinstance(argv, list) and all(isinstance(item, str) for item in argv)
        assert not kwargs.get("shell"), "never through a shell"
        self.started.append((argv, kwargs))

    def popen(self, argv, **kwargs):
        self._record(argv, kwargs)
        process = FakeProcess(None)  # runs until waited for or stopped
        process.exit_code = self.returncode
        self.processes.append(process)
        return process

    def run(self, argv, **kwargs):
        self._record(argv, kwargs)
        return subprocess.CompletedProcess(argv, self.answer, b"", b"")

    @property
    def argvs(self):
        return [argv for argv, _ in self.started]


@pytest.fixture
def programs(monkeypatch):
    fake = Programs()
    monkeypatch.setattr(shutil, "which", fake.which)
    monkeypatch.setattr(subprocess, "Popen", fake.popen)
    monkeypatch.setattr(subprocess, "run", fake.run)
    monkeypatch.setattr(os, "system", None)  # calling it fails the test
    monkeypatch.setattr(freedesktop, "_playing", None)
    return fake


# Sounds -------------------------------------------------------------------------------------


@pytest.fixture
def sounds(tmp_path, monkeypatch):
    """A current directory with SFX/knob-458.wav, and a freedesktop sound theme."""
    stereo = tmp_path / "share" / "sounds" / "freedesktop" / "stereo"
    stereo.mkdir(parents=True)
    for name in ("complete.oga", "message.oga"):
        (stereo / name).write_bytes(b"OggS")
    monkeypatch.setenv("XDG_DATA_HOME", str(tmp_path / "nothing"))
    monkeypatch.setenv("XDG_DATA_DIRS", str(tmp_path / "share"))
    (tmp_path / "work" / "SFX").mkdir(parents=True)
    (tmp_path / "work" / "SFX" / "knob-458.wav").write_bytes(b"RIFF")
    monkeypatch.chdir(tmp_path / "work")
    return tmp_path


@pytest.mark.parametrize(
    "name, expected",
    [
        ("SFX\\knob-458.wav", "work/SFX/knob-458.wav"),
        (b"SFX\\knob-458.wav", "work/SFX/knob-458.wav"),
        ("SFX\\missing.wav", None),
        ("c:\\windows\\media\\TADA.WAV", "share/sounds/freedesktop/stereo/complete.oga"),
        (
            "C:\\Windows\\Media\\Windows Navigation Start.wav",
            "share/sounds/freedesktop/stereo/message.oga",
        ),
        ("C:\\Windows\\Media\\chimes.wav", None),
        ("D:\\SFX\\knob-458.wav", None),  # no drive letters here, whatever the rest says
    ],
)
def test_sound_names_resolve(sounds, name, expected):
    assert freedesktop.resolve(name) == (None if expected is None else str(sounds / expected))


def test_a_sound_the_current_folder_lacks_is_the_package_own(sounds):
    # The current folder comes first, as on Windows; the modules' own sounds are installed
    # with the package, so that nobody has to change directory to hear them.
    own = freedesktop.resolve("SFX\\coins-497.wav")
    assert own == os.path.join(freedesktop.PACKAGE_SOUNDS, "SFX", "coins-497.wav")
    with open(own, "rb") as sound:
        assert sound.read(4) == b"RIFF"
    assert freedesktop.resolve("SFX\\knob-458.wav") == str(sounds / "work/SFX/knob-458.wav")


@pytest.mark.parametrize("flags, waits", [(0x20000, True), (0x20001, False)])
def test_sound_waits_unless_async(programs, sounds, flags, waits):
    freedesktop.play("SFX\\knob-458.wav", flags)
    assert programs.argvs == [["/usr/bin/paplay", str(sounds / "work/SFX/knob-458.wav")]]
    assert programs.processes[0].waited is waits


def test_a_new_sound_stops_the_one_playing(programs, sounds):
    freedesktop.play("SFX\\knob-458.wav", 0x20001)
    freedesktop.play("SFX\\knob-458.wav", 0x20001)
    assert [process.terminated for process in programs.processes] == [True, False]


@pytest.mark.parametrize(
    "installed, name, played",
    [
        ({"aplay"}, "SFX\\knob-458.wav", ["/usr/bin/aplay", "-q"]),
        ({"aplay"}, "C:\\Windows\\Media\\tada.wav", None),  # an Ogg theme sound: ALSA cannot
        (set(), "SFX\\knob-458.wav", None),  # no player
        ({"paplay"}, "SFX\\gone.wav", None),  # no file
    ],
)
def test_sounds_that_cannot_play_are_skipped(programs, sounds, installed, name, played):
    programs.installed = installed
    freedesktop.play(name, 0x20000)
    assert programs.argvs == ([] if played is None else [played + [freedesktop.resolve(name)]])


def test_player_failures_are_silent(programs, sounds, monkeypatch):
    programs.returncode = 1  # what a player without an audio device does
    freedesktop.play("SFX\\knob-458.wav", 0x20000)

    def missing(argv, **kwargs):
        raise FileNotFoundError(2, "No such file or directory")

    monkeypatch.setattr(subprocess, "Popen", missing)
    freedesktop.play("SFX\\knob-458.wav", 0x20000)


# Opening --------------------------------------------------------------------------------------


@pytest.mark.parametrize("name", ["report.pdf", "-rf", "a b; $(touch x) 'q'.txt"])
def test_startfile_passes_the_absolute_path_as_one_argument(programs, tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    (tmp_path / name).write_text("x")
    freedesktop.startfile(name)
    ((argv, kwargs),) = programs.started
    assert argv == ["/usr/bin/xdg-open", str(tmp_path / name)] and kwargs["start_new_session"]


@pytest.mark.parametrize(
    "installed, target, argv",
    [
        ({"gio"}, "/", ["/usr/bin/gio", "open", "/"]),
        (
            {"xdg-open"},
            "https://example.org/?a=1",
            ["/usr/bin/xdg-open", "https://example.org/?a=1"],
        ),
        (set(), "/", OSError),
        ({"xdg-open"}, None, TypeError),
        ({"xdg-open"}, "/no/such/file", FileNotFoundError),
        ({"xdg-open"}, "C:\\Users\\nobody", FileNotFoundError),
    ],
)
def test_startfile_openers_and_refusals(programs, installed, target, argv):
    programs.installed = installed
    if isinstance(argv, list):
        freedesktop.startfile(target)
        assert programs.argvs == [argv]
    else:
        with pytest.raises(argv):
            freedesktop.startfile(target)
        assert programs.started == []


def test_a_failing_opener_says_what_to_install_and_is_reaped(programs, tmp_path):
    programs.returncode = 4
    with pytest.raises(
        freedesktop.ProgramError, match="xdg-open exited with status 4.*Install xdg"
    ):
        freedesktop.startfile(str(tmp_path))
    assert programs.processes[0].waited


@pytest.mark.parametrize("answer", [0, 1])
def test_reveal_selects_the_file_or_opens_its_folder(programs, tmp_path, answer):
    picture = tmp_path / "it's 2026-01-02, 03.04.05 PM.png"
    picture.write_bytes(b"png")
    programs.answer = answer  # 1: no file manager on the bus
    freedesktop.reveal(str(picture))
    uri = "file://" + str(tmp_path) + "/it%27s%202026-01-02%2C%2003.04.05%20PM.png"
    asked = ["/usr/bin/gdbus", "call", "--session", *freedesktop.FILE_MANAGER, f"['{uri}']", ""]
    opened = [["/usr/bin/xdg-open", str(tmp_path)]] if answer else []
    assert programs.argvs == [asked, *opened]


# Clipboard ----------------------------------------------------------------------------------


class FakeConnection:
    name = ":77"

    def __init__(self, *owners):
        self.owners, self.cleared = list(owners), []

    def selection_owner(self, selection):
        return self.owners.pop(0) if len(self.owners) > 1 else self.owners[0]

    def clear_selection(self, selection):
        self.cleared.append(selection)


@pytest.fixture
def dib():
    picture = Image.new("RGB", (7, 5), (250, 128, 3))
    picture.putpixel((0, 0), (1, 2, 3))
    bitmap = io.BytesIO()
    picture.save(bitmap, "BMP")
    return picture, bitmap.getvalue()[14:]


def test_picture_goes_to_the_writer_as_png(programs, dib):
    picture, data = dib
    clipboard.publish({clipboard.CF_DIB: data, clipboard.CF_TEXT: b"x"}, FakeConnection(1, 1, 2))
    ((argv, kwargs),) = programs.started
    assert argv == [
        "/usr/bin/xclip",
        "-selection",
        "clipboard",
        "-display",
        ":77",
        "-t",
        "image/png",
        "-i",
    ]
    assert kwargs["start_new_session"] and kwargs["stdin"] == subprocess.PIPE
    with Image.open(io.BytesIO(programs.processes[0].input)) as png:
        assert png.format == "PNG" and png.convert("RGB").tobytes() == picture.tobytes()


@pytest.mark.parametrize("top_down", [False, True], ids=["bottom-up", "top-down"])
def test_bitmap_rows_become_the_png_rows(dib, top_down):
    picture, data = dib  # 7 pixels a row: 21 bytes padded to 24
    if top_down:
        rows = [data[40 + 24 * row : 64 + 24 * row] for row in range(5)]
        data = data[:8] + (-5).to_bytes(4, "little", signed=True) + data[12:40]
        data += b"".join(reversed(rows))
    with Image.open(io.BytesIO(clipboard.dib_to_png(data)), formats=["PNG"]) as png:
        assert (png.mode, png.size, png.tobytes()) == ("RGB", (7, 5), picture.tobytes())


@pytest.mark.parametrize(
    "contents, offered",
    [
        (
            {clipboard.CF_UNICODETEXT: "h\u00e9\u20ac\0junk".encode("utf-16-le")},
            ("UTF8_STRING", "h\u00e9\u20ac".encode()),
        ),
        ({clipboard.CF_TEXT: b"caf\xe9\0"}, ("UTF8_STRING", "caf\u00e9".encode())),
        ({49161: b"private"}, None),
    ],
)
def test_text_and_other_formats(contents, offered):
    assert clipboard.offer(contents) == offered


def test_emptied_clipboard_leaves_no_owner(programs):
    connection = FakeConnection(0x400001)
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
def test_publish_failures_are_reported(
    programs, monkeypatch, dib, installed, returncode, owners, message
):
    monkeypatch.setattr(clipboard, "TAKEOVER_TIMEOUT", 0.05)
    programs.installed, programs.returncode = installed, returncode
    with pytest.raises(DesktopError, match=message):
        clipboard.publish({clipboard.CF_DIB: dib[1]}, FakeConnection(*owners))


# Real programs ------------------------------------------------------------------------------

RECORDER = """#!{python}
import json, sys
with open({log!r}, "a") as log:
    log.write(json.dumps(sys.argv[1:]) + "\\n")
"""


def test_real_programs_receive_names_unchanged(tmp_path, monkeypatch):
    log = tmp_path / "programs.log"
    (tmp_path / "bin").mkdir()
    for name in ("paplay", "xdg-open"):
        program = tmp_path / "bin" / name
        program.write_text(RECORDER.format(python=sys.executable, log=str(log)))
        program.chmod(program.stat().st_mode | stat.S_IXUSR)
    monkeypatch.setenv("PATH", str(tmp_path / "bin"))
    monkeypatch.setattr(freedesktop, "_playing", None)
    monkeypatch.chdir(tmp_path)
    odd = tmp_path / 'it\'s a "sound"; $(rm -rf ~) `x` & |.wav'
    odd.write_bytes(b"RIFF")
    folder = tmp_path / "-n dir with spaces"
    folder.mkdir()

    freedesktop.play(odd.name, 0x20000)  # synchronous: the player has run when play returns
    freedesktop.startfile(str(folder))  # returns without waiting for the opener
    deadline = time.monotonic() + 10
    while len(log.read_text().splitlines()) < 2 and time.monotonic() < deadline:
        time.sleep(0.01)
    received = [json.loads(line) for line in log.read_text().splitlines()]
    assert received == [[str(odd)], [str(folder)]]


@pytest.mark.skipif(
    threading.current_thread() is not threading.main_thread(), reason="signals need the main thread"
)
def test_a_ctrl_c_while_a_reader_starts_ends_its_whole_group(monkeypatch, tmp_path):
    """The Ctrl-C comes while Popen has started the reader but not yet returned: it is raised
    once Popen returns, and the reader and what it started are gone."""
    started = tmp_path / "pid"
    real = subprocess.Popen

    def interrupted_popen(*args, **kwargs):
        process = real(*args, **kwargs)
        os.kill(os.getpid(), signal.SIGINT)
        time.sleep(0.2)  # the handler has run by now
        return process

    monkeypatch.setattr(subprocess, "Popen", interrupted_popen)
    script = f"echo $$ > {started}; sleep 60 & wait"
    with pytest.raises(KeyboardInterrupt):
        freedesktop.read_output(["sh", "-c", script], timeout=30, limit=100)
    monkeypatch.undo()
    session = int(started.read_text())
    deadline = time.monotonic() + 10  # killed processes may linger a moment until reaped
    while in_session(session) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert in_session(session) == []


def in_session(sid):
    """The live processes of session ``sid``, read from /proc (pgrep hangs when the
    sanitizers are preloaded into every program the tests start)."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                state, _, _, session = stat.read().rsplit(")", 1)[1].split()[:4]
        except OSError:
            continue  # ended meanwhile
        if int(session) == sid and state != "Z":
            found.append(int(entry))
    return found


@pytest.mark.parametrize(
    "script, outcome",
    [
        ("head -c 4096 /dev/zero", (0, bytes(4096))),
        ("head -c 4097 /dev/zero; sleep 60", freedesktop.OutputTooLarge),
        ("echo -n x; sleep 60", subprocess.TimeoutExpired),
        ("exec >&-; sleep 60", subprocess.TimeoutExpired),  # its output closed, itself not done
    ],
    ids=["at-the-limit", "over-the-limit", "silent", "not-ending"],
)
def test_a_reader_is_held_to_its_size_and_time_limits(script, outcome):
    if isinstance(outcome, tuple):
        assert freedesktop.read_output(["sh", "-c", script], timeout=30, limit=4096) == outcome
        return
    with pytest.raises(outcome):
        freedesktop.read_output(["sh", "-c", script], timeout=1, limit=4096)
