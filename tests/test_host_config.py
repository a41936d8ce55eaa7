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
        (
            '[hotkeys]\n"ctrl+a" = { action = "open-with", tool_number = "4" }\n',
            2,
            "must be an integer",
        ),
        ('[hotkeys]\n"ctrl+a" = { action = "keys" }\n', 2, "needs the argument 'keys'"),
        ('[hotkeys]\n"ctrl+a" = { action = "keys", keys = [[1, 2, 3]] }\n', 2, "item 1"),
        (
            '[hotkeys]\n"ctrl+a" = { action = "expand", times = 2 }\n',
            2,
            "takes no argument 'times'",
        ),
        ('s = """\n[x]\n"""\n[locations]\nhome = 3\n', 1, "unknown table or key 's'"),
        ("[locations]\n\nhome = 3\n", 3, "must be a string"),
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


@pytest.mark.parametrize(
    "key", ["e", "shift+e", "space", "enter", "shift+F5", "F5", "XF86AudioMute"]
)
def test_a_hotkey_without_a_modifier_is_refused_unless_its_key_types_nothing(key):
    text = f'[hotkeys]\n"{key}" = "expand"\n'
    if combos.types_nothing(combos.parse(key).keysym):
        assert [h.line for h in config.parse(text, "c.toml").hotkeys] == [2]
        return
    with pytest.raises(config.ConfigError) as raised:
        config.parse(text, "c.toml")
    assert raised.value.problems == [
        f"c.toml:2: hotkeys: {key!r} would take that key from everything you type; add ctrl, "
        "alt or super (only keys that type nothing, such as F1-F24, Pause, Print or media "
        "keys, may stand alone)"
    ]


def test_warnings_name_their_lines_and_keep_the_file_valid(tmp_path):
    text = (
        '[abbreviations]\n"" = "x"\n"a b" = "y"\nok = "z"\n'
        f'[locations]\ngone = "{tmp_path}/gone"\nhere = "{tmp_path}"\n'
        '[hotkeys]\n"ctrl+alt+w" = "open-with"\n'
    )
    parsed = config.parse(text, "c.toml")
    assert [warning.split(": warning: ")[0] for warning in parsed.warnings] == [
        "c.toml:2",
        "c.toml:3",
        "c.toml:6",
        "c.toml:9",
    ]
    assert "ends a word" in parsed.warnings[1] and "does not exist" in parsed.warnings[2]
    assert "Windows file explorer" in parsed.warnings[3]


def test_an_abbreviation_may_be_case_sensitive():
    text = '[abbreviations]\nbrb = "x"\nUS = { text = "United States", case-sensitive = true }\n'
    parsed = config.parse(text, "c.toml")
    assert parsed.abbreviations == {"brb": "x", "US": "United States"}
    assert parsed.case_sensitive == {"US"}
    with pytest.raises(config.ConfigError, match="c.toml:2: abbreviations: 'x' takes"):
        config.parse('[abbreviations]\nx = { text = "y", case = true }\n', "c.toml")


@pytest.mark.parametrize(
    "typed, abbreviation, expected",
    [
        ("brb", "brb", "be right back"),
        ("BRB", "brb", "BE RIGHT BACK"),
        ("Brb", "brb", "Be right back"),
        ("bRB", "brb", "be right back"),
        ("Ty", "ty", "Thank you"),
        ("TY", "ty", "THANK YOU"),
    ],
)
def test_the_case_typed_is_the_case_expanded(typed, abbreviation, expected):
    text = {"brb": "be right back", "ty": "thank you"}[abbreviation]
    assert actions.cased(typed, abbreviation, text) == expected


# Files whose reading or checking once ended in a traceback or a swallowed key: text, line.
HOSTILE = {
    "nested": ('[abbreviations]\nok = "x"\ndeep = ' + "[" * 5000 + "]" * 5000 + "\n", 3),
    "huge integer": (
        '[hotkeys]\n"ctrl+a" = { action = "open-with", prog_index = 9' + "9" * 5000 + " }\n",
        2,
    ),
    "bare key": ('[hotkeys]\n"e" = "expand"\n', 2),
}


@pytest.mark.parametrize("check", [True, False], ids=["check", "start"])
@pytest.mark.parametrize(
    "kind", ["nested", "huge integer", "bare key", "fifo", "/dev/zero", "too large"]
)
def test_unreadable_or_hostile_files_end_with_a_problem_and_status_2(tmp_path, kind, check):
    path, line = tmp_path / "config.toml", None
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "/dev/zero":
        path = "/dev/zero"
    elif kind == "too large":
        path.write_text("# padding\n" * (config.MAX_SIZE // 10 + 1))
    else:
        text, line = HOSTILE[kind]
        path.write_text(text)
    command = [sys.executable, "-m", "velmora.host", "--config", str(path)]
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    result = subprocess.run(
        command + (["--check"] if check else []),
        capture_output=True,
        text=True,
        timeout=60,
        env=environment,
        cwd=os.path.dirname(os.path.abspath(__file__)),
    )
    assert result.returncode == 2, result.stderr
    prefix = f"{path}:{line}: " if line else f"{path}: cannot read the configuration: "
    assert result.stderr.startswith(prefix) and "Traceback" not in result.stderr, result.stderr


class Recorder:
    """Stands in for the modules and the shared state; records what the actions call."""

    def __init__(self):
        self.calls = []
        self.pressed_chars = "brb"
        self.abbreviations = {}
        self.locations = {"brb": "https://example.org"}

    def __getattr__(self, name):
        return lambda *args: self.calls.append((name, args))


@pytest.mark.parametrize("name", list(actions.REGISTRY))
def test_every_action_name_runs_its_action(name):
    assert config.ACTIONS[name] is actions.REGISTRY[name].arguments
    required = {"keys": ["ctrl+a"]}
    args = {arg: required.get(arg, default) for arg, (_, default) in config.ACTIONS[name].items()}
    modules = Recorder()
    runner = actions.Actions(modules, modules, modules, press=None)
    runner.abbreviations = {"brb": "be right back"}
    assert runner.run(name, args)
    expected = {
        "invert-picture": "BeginImageProcessing",
        "edit-picture": "BeginImageProcessing",
        "expand": "ExpandText",
        "open-location": "OpenLocation",
        "open-with": "CrudeOpenWith",
        "keys": "SimulateKeyPressSequence",
    }
    assert [call for call, _ in modules.calls] == [expected[name]]


def test_the_example_is_valid_and_binds_only_what_works_here():
    path = os.path.join(os.path.dirname(config.__file__), "example-config.toml")
    parsed = config.load(path)
    assert parsed.warnings == [] and len(parsed.hotkeys) == 5
