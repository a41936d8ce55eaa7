"""The host's configuration file: what it accepts, and the line and problem of what it refuses."""

import os
import subprocess
import sys

import pytest

from velmora.host import combos, config

GOOD = """\
[abbreviations]
brb = "be right back"
[locations]
home = "~/x"
notes = "n.txt"
web = "https://example.org"
[hotkeys]
"ctrl+alt+e" = "expand"
"Super+F5" = { action = "open-with", prog_index = 2 }
"ctrl+shift+k" = { action = "keys", keys = ["alt+4", [0x28, 80]], delay = 0 }
"""


def test_a_valid_file_fills_the_tables():
    parsed = config.parse(GOOD, "/etc/c.toml")
    assert parsed.abbreviations == {"brb": "be right back"}
    assert parsed.locations == {
        "home": os.path.expanduser("~/x"),
        "notes": "/etc/n.txt",
        "web": "https://example.org",
    }
    assert [(str(h.combo), h.action, h.args, h.line) for h in parsed.hotkeys] == [
        ("ctrl+alt+e", "expand", {}, 8),
        ("super+f5", "open-with", {"tool_number": 4, "prog_index": 2}, 9),
        ("ctrl+shift+k", "keys", {"keys": ["alt+4", [0x28, 80]], "delay": 0.0}, 10),
    ]


@pytest.mark.parametrize(
    "text, line, problem",
    [
        ('[hotkeys]\n"ctrl+e" = "expand"\n"ctrl+e" = "expand"\n', 3, "Cannot overwrite"),
        ('[hotkeys]\n"ctrl+e" = "expand"\n"e+ctrl" = "expand"\n', 3, "same combination"),
        ('[abbreviations]\nx = "y"\n[hotkeys]\n\n"ctrl+q" = "boom"\n', 5, "unknown action 'boom'"),
        ('[hotkeys]\n"ctrl+nokey" = "expand"\n', 2, "unknown key name 'nokey'"),
        ('[hotkeys]\n"ctrl+alt" = "expand"\n', 2, "no key besides"),
        ('[hotkeys]\n"a" = { action = "open-with", tool_number = "4" }\n', 2, "must be an integer"),
        ('[hotkeys]\n"a" = { action = "keys" }\n', 2, "needs the argument 'keys'"),
        ('[hotkeys]\n"a" = { action = "keys", keys = [[1, 2, 3]] }\n', 2, "item 1"),
        ('[hotkeys]\n"a" = { action = "expand", times = 2 }\n', 2, "takes no argument 'times'"),
        ('s = """\n[x]\n"""\n[locations]\nhome = 3\n', 1, "unknown table or key 's'"),
        ("[locations]\n\nhome = 3\n", 3, "must be a string"),
        ('word_characters = "_ "\n', 1, "without spaces"),
        ('[abbreviations]\nok = "x"\n"e.g." = "y"\n', 3, "'.' ends a word"),
    ],
)
def test_problems_name_the_file_and_line(text, line, problem):
    with pytest.raises(config.ConfigError) as raised:
        config.parse(text, "conf.toml")
    assert raised.value.problems[0].startswith(f"conf.toml:{line}: "), raised.value.problems
    assert problem in raised.value.problems[0]


@pytest.mark.parametrize(
    "text, expected",
    [
        ("ctrl+alt+e", (("ctrl", "alt"), ord("e"))),
        ("Shift + F5", (("shift",), 0xFFC2)),
        ("ctrl++", (("ctrl",), ord("+"))),
        ("win+page up", (("super",), 0xFF55)),
        ("alt+é", (("alt",), 0xE9)),
    ],
)
def test_combinations(text, expected):
    combo = combos.parse(text)
    assert (combo.modifiers, combo.keysym) == expected


def test_check_exits_nonzero_with_the_line(tmp_path, monkeypatch):
    path = tmp_path / "config.toml"
    path.write_text('[hotkeys]\n"ctrl+alt+e" = "expand"\n"ctrl+alt+x" = "nothing"\n')
    command = [sys.executable, "-m", "velmora.host", "--config", str(path), "--check"]
    here = os.path.dirname(os.path.abspath(__file__))
    # The package under test, also when it is not the installed one.
    monkeypatch.setenv("PYTHONPATH", os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(command, capture_output=True, text=True, timeout=60, cwd=here)
    assert result.returncode != 0
    assert f"{path}:3: hotkeys: 'ctrl+alt+x': unknown action" in result.stderr
    path.write_text(GOOD)
    assert subprocess.run(command, capture_output=True, timeout=60, cwd=here).returncode == 0
