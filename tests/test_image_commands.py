"""The picture window's save and open commands (copy is with the other keys)."""

import datetime
import os
import types

import cv2
import numpy as np
import PIL.Image
import pytest

FIXED_TIME = datetime.datetime(2024, 3, 5, 13, 2, 3)
SAVED = "2024-03-05, 01.02.03 PM"
TADA = "C:\\Windows\\Media\\tada.wav"
NAVIGATION = "C:\\Windows\\Media\\Windows Navigation Start.wav"
IN_BACKGROUND = 0x20000 | 0x0001  # SND_FILENAME | SND_ASYNC


@pytest.fixture
def window(picture_window, snap, monkeypatch, tmp_path):
    data = np.random.default_rng(3).integers(0, 256, (60, 80, 3), dtype=np.uint8)
    picture_window.clipboard = [PIL.Image.fromarray(data)]
    monkeypatch.setattr(snap, "dt", types.SimpleNamespace(now=lambda: FIXED_TIME))
    # The picture folder is found beside the module whatever the current directory is.
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    return picture_window


def read(path):
    return cv2.imread(str(path), cv2.IMREAD_UNCHANGED)


# ---- save ----------------------------------------------------------------------------------------


@pytest.mark.parametrize("key", "sS")
def test_save_writes_the_displayed_picture_then_plays_the_sound(window, log, key):
    shown = window.run("w", (cv2.EVENT_MOUSEMOVE, 10, 30), key)
    assert sorted(os.listdir(window.folder)) == [SAVED + ".png"]
    saved = read(window.folder / (SAVED + ".png"))
    assert saved.shape == (80, 80, 3)  # the band is part of the picture
    assert np.array_equal(saved, shown.picture)
    assert log.args_of("PlaySound") == [(TADA, IN_BACKGROUND)]
    assert log.names().index("imwrite") < log.names().index("PlaySound")


def test_saves_within_one_second_keep_every_picture(window):
    shown = window.run("s", "a", "s", "a", "s")
    names = [SAVED + ".png", SAVED + " (2).png", SAVED + " (3).png"]
    assert sorted(os.listdir(window.folder)) == sorted(names)
    original = shown.shown[0]
    for name, expected in zip(names, [original, 255 - original, original], strict=True):
        assert np.array_equal(read(window.folder / name), expected)


def test_save_after_transparency_keeps_the_alpha_channel(window):
    window.run("t", "s")
    assert read(window.folder / (SAVED + ".png")).shape == (60, 80, 4)


def test_a_failed_save_is_reported_and_the_window_goes_on(window, log, capsys):
    window.folder.rmdir()
    shown = window.run("s", "a")
    error = capsys.readouterr().err
    assert "could not be saved" in error and SAVED + ".png" in error
    assert "PlaySound" not in log.names()
    assert not window.folder.exists()
    assert np.array_equal(shown.picture, 255 - shown.shown[0])


# ---- open ----------------------------------------------------------------------------------------


@pytest.fixture
def saved_files(window, monkeypatch):
    """Three saved pictures; the newest by creation time is neither the last by name nor by
    modification time."""
    created = {"b.png": 30, "a.png": 10, "c.png": 20, "notes.txt": 99}
    for name in created:
        (window.folder / name).write_bytes(b"")
    os.utime(window.folder / "c.png", (1e9, 2e9))
    real_getctime = os.path.getctime
    monkeypatch.setattr(
        os.path, "getctime", lambda path: created.get(os.path.basename(path)) or real_getctime(path)
    )
    return window.folder / "b.png"


@pytest.mark.parametrize("key", "oO")
def test_open_shows_the_newest_picture_selected_in_the_explorer_on_windows(
    window, log, saved_files, key
):
    window.windows_shell(True)
    window.run(key)
    assert log.args_of("system") == [(f'explorer /select, "{saved_files}"',)]
    assert log.names()[-4:-2] == ["system", "PlaySound"]
    assert log.args_of("PlaySound") == [(NAVIGATION, IN_BACKGROUND)]
    assert "shell.reveal" not in log.names()


@pytest.mark.parametrize("name", ["b.png", 'it\'s "b"; $(ls) `x`.png'])
def test_open_reveals_the_newest_picture_through_the_desktop_elsewhere(
    window, log, saved_files, name
):
    if name != "b.png":
        saved_files = saved_files.rename(window.folder / name)
    window.run("o")
    assert log.args_of("shell.reveal") == [(str(saved_files),)]
    assert log.names()[-4:-2] == ["shell.reveal", "PlaySound"]
    assert log.args_of("PlaySound") == [(NAVIGATION, IN_BACKGROUND)]
    assert "system" not in log.names()


@pytest.mark.parametrize("windows, opener", [(True, "os.startfile"), (False, "shell.open_folder")])
def test_open_with_nothing_saved_opens_the_picture_folder(window, log, windows, opener):
    (window.folder / "notes.txt").write_bytes(b"")
    window.windows_shell(windows)
    window.run("o")
    assert log.args_of(opener) == [(str(window.folder),)]
    assert not {"PlaySound", "system", "shell.reveal"} & set(log.names())


def test_without_an_override_the_build_s_system_chooses(window, log, snap, monkeypatch):
    monkeypatch.delattr(snap, "_windows_shell")
    window.run("o")
    expected = "os.startfile" if os.name == "nt" else "shell.open_folder"
    assert log.names().count(expected) == 1


@pytest.mark.parametrize("windows", [True, False])
def test_open_finds_the_pictures_of_a_folder_named_like_a_pattern(
    window, log, snap, monkeypatch, tmp_path, windows
):
    # "P[a-z] *?" as a pattern would match "Pq x!" instead, and never itself.
    for name, picture in (("Pq x!", "other.png"), ("P[a-z] *?", "own.png")):
        window.folder = tmp_path / name / "Images"
        window.folder.mkdir(parents=True)
        (window.folder / picture).write_bytes(b"")
    monkeypatch.setattr(snap, "__file__", str(window.folder.parent / "snapTone.so"))
    window.windows_shell(windows)
    window.run("o")
    revealed = str(log.args_of("system") or log.args_of("shell.reveal"))
    assert "own.png" in revealed and "other.png" not in revealed
