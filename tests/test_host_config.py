"""The host's configuration file: what it accepts, and the line and problem of what it refuses."""

import os
import subprocess
import sys

import pytest

from velmora.host import actions, combos, config

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
"XF86AudioMute" = "expand"
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
        ("xf86audiomute", "expand", {}, 11),
    ]


@pytest.mark.parametrize(
    "text, line, problem",
    [
        ('[hotkeys]\n"ctrl+e" = "expand"\n"ctrl+e" = "expand"\n', 3, "Cannot overwrite"),
        ('[hotkeys]\n"ctrl+e" = "expand"\n"e+ctrl" = "expand"\n', 3, "same combination"),
        ('[abbreviations]\nx = "y"\n[hotkeys]\n\n"ctrl+q" = "boom"\n', 5, "unknown action 'boom'"),
        ('[hotkeys]\n"ctrl+nokey" = "expand"\n', 2, "unknown key name 'nokey'"),
        ('[hotkeys]\n"ctrl+alt" = "expand"\n', 2, "no key besides"),
        ('[hotkeys]\nF2 = { action = "open-with", tool_number = "4" }\n', 2, "must be an integer"),
        ('[hotkeys]\n"F2" = { action = "keys" }\n', 2, "needs the argument 'keys'"),
        ('[hotkeys]\n"F2" = { action = "keys", keys = [[1, 2, 3]] }\n', 2, "item 1"),
        ('[hotkeys]\n"F2" = { action = "expand", times = 2 }\n', 2, "takes no argument 'times'"),
        ('[hotkeys]\n"e" = "expand"\n', 2, "'e' would take that key from everything you type"),
        ('[hotkeys]\n"shift+space" = "expand"\n', 2, "'shift+space' would take that key"),
        ('s = """\n[x]\n"""\n[locations]\nhome = 3\n', 1, "unknown table or key 's'"),
        ("[locations]\n\nhome = 3\n", 3, "must be a string"),
        ('word_characters = "_ "\n', 1, "without spaces"),
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


def run_host(*args):
    """velmora-host with ``args``, the package under test also when it is not installed."""
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    command = [sys.executable, "-m", "velmora.host", *map(str, args)]
    here = os.path.dirname(os.path.abspath(__file__))
    return subprocess.run(
        command, capture_output=True, text=True, timeout=60, env=environment, cwd=here
    )


def test_check_exits_nonzero_with_the_line(tmp_path):
    path = tmp_path / "config.toml"
    path.write_text('[hotkeys]\n"ctrl+alt+e" = "expand"\n"ctrl+alt+x" = "nothing"\n')
    result = run_host("--config", path, "--check")
    assert result.returncode != 0
    assert f"{path}:3: hotkeys: 'ctrl+alt+x': unknown action" in result.stderr
    path.write_text(GOOD)
    assert run_host("--config", path, "--check").returncode == 0


def test_warnings_name_their_lines_and_case_sensitive_abbreviations_are_kept(tmp_path):
    text = (
        '[abbreviations]\n"" = "x"\n"a b" = "y"\n"e.g." = "z"\n'
        'US = { text = "U S", case-sensitive = true }\n'
        f'[locations]\ngone = "{tmp_path}/gone"\nhere = "{tmp_path}"\n'
        '[hotkeys]\n"ctrl+alt+w" = "open-with"\n'
    )
    parsed = config.parse(text, "c.toml")
    assert [warning.split(": ")[0] for warning in parsed.warnings] == [
        f"c.toml:{line}" for line in (2, 3, 4, 7, 10)
    ]
    assert "' ' ends a word" in parsed.warnings[1] and "'.' ends a word" in parsed.warnings[2]
    assert "Windows file explorer" in parsed.warnings[4]
    assert parsed.abbreviations["US"] == "U S" and parsed.case_sensitive == {"US"}


# Files whose reading once hung or ended in a traceback, or took a key from typing: text, line.
HOSTILE = {
    "nested": ('ok = "x"\ndeep = ' + "[" * 5000 + "]" * 5000 + "\n", 2),
    "huge integer": (
        "[hotkeys]\n" + '"ctrl+a" = { action = "keys", delay = 1' + "0" * 5000 + " }",
        2,
    ),
    "too large": ("#\n" * (config.MAX_SIZE // 2 + 1), None),
}


@pytest.mark.parametrize("check", [["--check"], []], ids=["check", "start"])
@pytest.mark.parametrize("kind", [*HOSTILE, "fifo", "/dev/zero"])
def test_unreadable_or_hostile_files_end_with_a_problem_and_status_2(tmp_path, kind, check):
    path, (text, line) = tmp_path / "config.toml", HOSTILE.get(kind, (None, None))
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "/dev/zero":
        path = "/dev/zero"
    else:
        path.write_text(text)
    result = run_host("--config", path, *check)
    prefix = f"{path}:{line}: " if line else f"{path}: cannot read the configuration: "
    assert result.returncode == 2 and result.stderr.startswith(prefix), result.stderr
    assert "Traceback" not in result.stderr


class Recorder:
    """The modules and the shared state: records the functions the actions call."""

    pressed_chars, abbreviations, locations = "brb", {}, {"brb": "https://example.org"}

    def __init__(self):
        self.calls = []

    def __getattr__(self, name):
        return lambda *args: self.calls.append(name)


CALLS = {"invert-picture": "BeginImageProcessing", "edit-picture": "BeginImageProcessing",
         "expand": "ExpandText", "open-location": "OpenLocation", "open-with": "CrudeOpenWith",
         "keys": "SimulateKeyPressSequence"}  # fmt: skip


@pytest.mark.parametrize("name", list(actions.REGISTRY))
def test_every_action_name_runs_its_action(name):
    required = {"keys": ["ctrl+a"]}
    args = {arg: required.get(arg, default) for arg, (_, default) in config.ACTIONS[name].items()}
    modules = Recorder()
    runner = actions.Actions(modules, modules, modules, press=None)
    runner.abbreviations = {"brb": "be right back"}
    assert runner.run(name, args) and modules.calls == [CALLS[name]]


def test_the_example_is_valid_and_binds_only_what_works_here():
    parsed = config.load(os.path.join(os.path.dirname(config.__file__), "example-config.toml"))
    assert parsed.warnings == [] and len(parsed.hotkeys) == 5
