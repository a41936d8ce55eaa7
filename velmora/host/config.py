"""The host's configuration file: abbreviations, locations and hotkeys, in TOML.

    [abbreviations]
    brb = "be right back"

    [locations]
    notes = "~/Documents/notes.txt"

    [hotkeys]
    "ctrl+alt+e" = "expand"
    "ctrl+alt+w" = { action = "open-with", tool_number = 4, prog_index = 1 }
    "ctrl+alt+k" = { action = "keys", keys = ["ctrl+a", [0x43, 46]], delay = 0.1 }

``load`` reads and checks a file and raises ConfigError with every problem found, each as
"FILE:LINE: problem". TOML parsers report where the syntax breaks but not where a well-formed
value sits, so ``KeyLines`` finds the line of each key in the text itself.
"""

import dataclasses
import os
import re
import sys

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - CPython 3.10
    import tomli as tomllib

from velmora.host import capture, combos

INT32 = (-(2**31), 2**31 - 1)

# Action name -> {argument: (type, default)}; a default of None marks a required argument.
ACTIONS = {
    "invert-picture": {},
    "edit-picture": {},
    "expand": {},
    "open-location": {},
    "open-with": {"tool_number": (int, 4), "prog_index": (int, 0)},
    "keys": {"keys": (list, None), "delay": (float, 0.2)},
}
TABLES = ("abbreviations", "locations", "hotkeys")
# Top-level keys: the characters that belong to a word besides letters and digits.
KEYS = ("word_characters",)
# An address such as https://... or mailto:..., which a location may be instead of a path.
_URL = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]+:")


class ConfigError(Exception):
    """A configuration file that cannot be used; ``problems`` are "FILE:LINE: problem" lines."""

    def __init__(self, problems):
        super().__init__("\n".join(problems))
        self.problems = list(problems)


@dataclasses.dataclass
class Hotkey:
    combo: combos.Combo
    action: str
    args: dict
    line: int


@dataclasses.dataclass
class Config:
    path: str
    abbreviations: dict
    locations: dict
    hotkeys: list
    words: str = capture.WORD_CHARACTERS


def default_path():
    """$XDG_CONFIG_HOME/velmora/config.toml, ~/.config by default."""
    base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, "velmora", "config.toml")


class KeyLines:
    """The line on which each key of a TOML text is written, by its full key path."""

    _HEADER = re.compile(r"^\s*\[(?!\[)(.*)\]\s*(#.*)?$")
    _KEY = re.compile(
        r"""^\s*((?:"(?:[^"\\]|\\.)*"|'[^']*'|[A-Za-z0-9_-]+)"""
        r"""(?:\s*\.\s*(?:"(?:[^"\\]|\\.)*"|'[^']*'|[A-Za-z0-9_-]+))*)\s*="""
    )

    def __init__(self, text):
        self.lines = {}
        table = ()
        in_string = None  # the delimiter of a multi-line string being read
        for number, line in enumerate(text.splitlines(), 1):
            if in_string is not None:
                if line.count(in_string) % 2:
                    in_string = None
                continue
            header = self._HEADER.match(line)
            if header:
                table = self._path(f"[{header.group(1)}]", nested=True) or table
                self.lines.setdefault(table, number)
                continue
            key = self._KEY.match(line)
            if key:
                path = self._path(key.group(1) + " = 0")
                if path:
                    self.lines.setdefault(table + path, number)
            for delimiter in ('"""', "'''"):
                if line.count(delimiter) % 2:
                    in_string = delimiter

    @staticmethod
    def _path(snippet, nested=False):
        """The key path a one-line TOML snippet defines, or () if it does not parse."""
        try:
            node = tomllib.loads(snippet)
        except tomllib.TOMLDecodeError:
            return ()
        path = []
        while isinstance(node, dict) and len(node) == 1:
            name, node = next(iter(node.items()))
            path.append(name)
            if nested and node == {}:
                break
        return tuple(path)

    def line(self, *path):
        """The line of ``path``, else of its nearest enclosing key or table found, else 1."""
        while path:
            if path in self.lines:
                return self.lines[path]
            path = path[:-1]
        return 1


class _Checker:
    def __init__(self, path, text):
        self.path = path
        self.where = KeyLines(text)
        self.problems = []

    def problem(self, key_path, message):
        self.problems.append(f"{self.path}:{self.where.line(*key_path)}: {message}")

    def table(self, data, name):
        value = data.get(name, {})
        if not isinstance(value, dict):
            self.problem((name,), f"[{name}] must be a table")
            return {}
        return value

    def strings(self, data, name, paths=False):
        """The table ``name`` of strings; ``paths``: expanded, relative to the file's folder."""
        checked = {}
        for key, value in self.table(data, name).items():
            if not isinstance(value, str):
                self.problem((name, key), f"{name}: the value of {key!r} must be a string")
            elif paths:
                value = os.path.expandvars(os.path.expanduser(value))
                if not _URL.match(value):
                    value = os.path.join(os.path.dirname(os.path.abspath(self.path)), value)
                checked[key] = value
            else:
                checked[key] = value
        return checked

    def words(self, data):
        """The word characters; every abbreviation and location name must be a word of them,
        or typing it would end the word part-way and it could never be expanded."""
        words = data.get("word_characters", capture.WORD_CHARACTERS)
        if not isinstance(words, str) or any(char.isspace() for char in words):
            self.problem(("word_characters",), "word_characters must be a string without spaces")
            return capture.WORD_CHARACTERS
        for table in ("abbreviations", "locations"):
            entries = data.get(table)
            for key in entries if isinstance(entries, dict) else ():
                stray = [char for char in key if not capture.is_word_character(char, words)]
                if stray:
                    self.problem(
                        (table, key),
                        f"{table}: {key!r} cannot be typed as one word: {stray[0]!r} ends a word "
                        "(add it to word_characters)",
                    )
        return words

    def hotkeys(self, data):
        hotkeys, seen = [], {}
        for text, value in self.table(data, "hotkeys").items():
            where = ("hotkeys", text)
            try:
                combo = combos.parse(text)
            except combos.ComboError as error:
                self.problem(where, f"hotkeys: {error}")
                continue
            if combo in seen:
                self.problem(where, f"hotkeys: {text!r} is the same combination as {seen[combo]!r}")
                continue
            seen[combo] = text
            action, args = self.action(where, value)
            if action is not None:
                hotkeys.append(Hotkey(combo, action, args, self.where.line(*where)))
        return hotkeys

    def action(self, where, value):
        """The action name and its checked arguments, or (None, None) after a problem."""
        label = f"hotkeys: {where[-1]!r}"
        if isinstance(value, str):
            value = {"action": value}
        if not isinstance(value, dict) or not isinstance(value.get("action"), str):
            self.problem(where, f'{label} needs an action name, or a table with action = "..."')
            return None, None
        name = value["action"]
        if name not in ACTIONS:
            known = ", ".join(ACTIONS)
            self.problem(where, f"{label}: unknown action {name!r} (known: {known})")
            return None, None
        expected = ACTIONS[name]
        args, ok = {}, True
        for arg in value:
            if arg != "action" and arg not in expected:
                allowed = ", ".join(expected) or "none"
                self.problem(
                    where, f"{label}: {name} takes no argument {arg!r} (arguments: {allowed})"
                )
                ok = False
        for arg, (kind, default) in expected.items():
            given = value.get(arg, default)
            if given is None:
                self.problem(where, f"{label}: {name} needs the argument {arg!r}")
                ok = False
                continue
            problem = self.argument(arg, kind, given)
            if problem:
                self.problem(where, f"{label}: {arg} {problem}")
                ok = False
            args[arg] = float(given) if kind is float else given
        return (name, args) if ok else (None, None)

    @staticmethod
    def argument(name, kind, value):
        """What is wrong with an action argument, or None."""
        if kind is int:
            if isinstance(value, bool) or not isinstance(value, int):
                return "must be an integer"
            if not INT32[0] <= value <= INT32[1]:
                return "is out of the 32-bit range"
        elif kind is float:
            number = isinstance(value, (int, float)) and not isinstance(value, bool)
            if not number or not 0 <= value <= 60:
                return "must be a number of seconds from 0 to 60"
        elif kind is list:
            if not isinstance(value, list) or not value:
                return "must be a non-empty list of combinations and [key code, scan code] pairs"
            for index, item in enumerate(value, 1):
                if isinstance(item, str):
                    try:
                        combos.parse(item)
                    except combos.ComboError as error:
                        return f"item {index}: {error}"
                elif not (
                    isinstance(item, list)
                    and len(item) == 2
                    and all(_is_int32(code) for code in item)
                ):
                    return (
                        f"item {index} must be a combination text or a [key code, scan code] pair"
                    )
        return None


def _is_int32(value):
    return isinstance(value, int) and not isinstance(value, bool) and INT32[0] <= value <= INT32[1]


def parse(text, path):
    """The Config that the TOML ``text`` of the file ``path`` describes; raises ConfigError."""
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        found = re.search(r"\(at line (\d+), column (\d+)\)", message)
        if found is None:
            raise ConfigError([f"{path}:1: {message}"]) from None
        message = message[: found.start()].rstrip() + f" (column {found.group(2)})"
        raise ConfigError([f"{path}:{found.group(1)}: {message}"]) from None
    checker = _Checker(path, text)
    for name in data:
        if name not in TABLES + KEYS:
            expected = ", ".join(TABLES + KEYS)
            checker.problem((name,), f"unknown table or key {name!r} (expected: {expected})")
    config = Config(
        path=path,
        abbreviations=checker.strings(data, "abbreviations"),
        locations=checker.strings(data, "locations", paths=True),
        hotkeys=checker.hotkeys(data),
        words=checker.words(data),
    )
    if checker.problems:
        raise ConfigError(checker.problems)
    return config


def load(path):
    """Reads and checks the configuration file ``path``; raises ConfigError."""
    try:
        with open(path, "rb") as file:
            raw = file.read()
    except OSError as error:
        reason = error.strerror or error
        raise ConfigError([f"{path}: cannot read the configuration: {reason}"]) from None
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        line = raw[: error.start].count(b"\n") + 1
        raise ConfigError([f"{path}:{line}: the file is not UTF-8 text"]) from None
    return parse(text, path)
