"""The host's configuration file: abbreviations, locations and hotkeys, in TOML.

    [abbreviations]
    brb = "be right back"

    [locations]
    notes = "~/Documents/notes.txt"

    [hotkeys]
    "ctrl+alt+e" = "expand"
    "ctrl+alt+w" = { action = "open-with", tool_number = 4, prog_index = 1 }
    "ctrl+alt+k" = { action = "keys", keys = ["ctrl+a", [0x43, 46]], delay = 0.1 }

An abbreviation's value is its text, or a table ``{ text = "...", case-sensitive = true }``
for one that expands only when typed exactly as written; the others also expand when typed in
capitals (BRB gives BE RIGHT BACK) or with a leading capital (Brb gives Be right back).

``load`` reads and checks a file and raises ConfigError with every problem found, each as
"FILE:LINE: problem"; what may work but looks wrong is kept in ``Config.warnings``, in the
same form. TOML parsers report where the syntax breaks but not where a well-formed value sits,
so ``KeyLines`` finds the line of each key in the text itself. Only a regular file of at most
``MAX_SIZE`` bytes is read: a pipe or a device would block or never end.
"""

import dataclasses
import os
import re
import stat
import sys

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - CPython 3.10
    import tomli as tomllib

from velmora.host import actions, capture, combos

INT32 = (-(2**31), 2**31 - 1)
MAX_SIZE = 1 << 20  # bytes; a configuration is a few kilobytes

# Action name -> {argument: (type, default)}; a default of None marks a required argument.
ACTIONS = {name: entry.arguments for name, entry in actions.REGISTRY.items()}
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
    case_sensitive: set = dataclasses.field(default_factory=set)
    warnings: list = dataclasses.field(default_factory=list)
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
        self.warnings = []
        self.case_sensitive = set()
        self.words = capture.WORD_CHARACTERS

    def problem(self, key_path, message):
        self.problems.append(f"{self.path}:{self.where.line(*key_path)}: {message}")

    def warning(self, key_path, message):
        self.warnings.append(f"{self.path}:{self.where.line(*key_path)}: warning: {message}")

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
                continue
            outside = _outside_word(key, self.words)
            if outside is not None:
                self.warning(
                    (name, key), f"{name}: {key!r} can never be typed as one word ({outside})"
                )
            if paths:
                value = os.path.expandvars(os.path.expanduser(value))
                if not _URL.match(value):
                    value = os.path.join(os.path.dirname(os.path.abspath(self.path)), value)
                    if not os.path.exists(value):
                        self.warning((name, key), f"location {key!r}: {value} does not exist")
                checked[key] = value
            else:
                checked[key] = value
        return checked

    def word_characters(self, data):
        """The characters besides letters, digits and marks that a word may hold."""
        words = data.get("word_characters", capture.WORD_CHARACTERS)
        if not isinstance(words, str) or any(char.isspace() for char in words):
            self.problem(("word_characters",), "word_characters must be a string without spaces")
            return capture.WORD_CHARACTERS
        return words

    def abbreviations(self, data):
        checked = {}
        for key, value in self.table(data, "abbreviations").items():
            where = ("abbreviations", key)
            if isinstance(value, dict):
                unknown = set(value) - {"text", "case-sensitive"}
                sensitive = value.get("case-sensitive", False)
                if unknown or not isinstance(sensitive, bool):
                    self.problem(
                        where,
                        f'abbreviations: {key!r} takes text = "..." and case-sensitive = true '
                        "or false",
                    )
                    continue
                if sensitive:
                    self.case_sensitive.add(key)
                value = value.get("text")
            if not isinstance(value, str):
                self.problem(where, f"abbreviations: the text of {key!r} must be a string")
                continue
            outside = _outside_word(key, self.words)
            if outside is not None:
                self.warning(
                    where,
                    f"abbreviations: {key!r} can never be typed as one word ({outside})",
                )
            checked[key] = value
        return checked

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
            if set(combo.modifiers) <= {"shift"} and not combos.types_nothing(combo.keysym):
                self.problem(
                    where,
                    f"hotkeys: {text!r} would take that key from everything you type; "
                    "add ctrl, alt or super (only keys that type nothing, such as F1-F24, "
                    "Pause, Print or media keys, may stand alone)",
                )
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
        if actions.REGISTRY[name].windows_only and sys.platform != "win32":
            self.warning(
                where,
                f"{label}: {name} drives the Windows file explorer's toolbar; here it only "
                "presses its keys into the focused window",
            )
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


def _outside_word(name, words):
    """Why ``name`` can never be typed as one word, or None when it can: a word is letters,
    digits and marks of any script and the characters ``words``, at most ``capture.LIMIT``."""
    if not name:
        return "it is empty"
    for char in name:
        if not capture.is_word_character(char, words):
            return f"{char!r} ends a word; add it to word_characters"
    if len(name) > capture.LIMIT:
        return f"only the last {capture.LIMIT} characters typed are kept"
    return None


def _failing_line(text, kind):
    """The first line at which parsing ``text`` raises ``kind``: the shortest prefix of lines
    that raises it, found by halving."""
    lines = text.splitlines(keepends=True)
    good, bad = 0, len(lines)
    while bad - good > 1:
        middle = (good + bad) // 2
        try:
            tomllib.loads("".join(lines[:middle]))
        except kind:
            bad = middle
            continue
        except Exception:
            pass
        good = middle
    return max(bad, 1)


def _unreadable(error):
    if isinstance(error, RecursionError):
        return "values nested too deeply"
    if isinstance(error, MemoryError):
        return "a value too large to read"
    if isinstance(error, ValueError):  # such as an integer of thousands of digits
        return f"a value that cannot be read: {str(error).split(';')[0]}"
    return f"cannot read this: {type(error).__name__}: {error}"


def parse(text, path):
    """The Config that the TOML ``text`` of the file ``path`` describes; raises ConfigError.

    Whatever the text holds, a problem is reported with its line, never an exception of
    another kind: deep nesting, integers too long to convert and the like included.
    """
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        message = str(error)
        found = re.search(r"\(at line (\d+), column (\d+)\)", message)
        if found is None:
            raise ConfigError([f"{path}:1: {message}"]) from None
        message = message[: found.start()].rstrip() + f" (column {found.group(2)})"
        raise ConfigError([f"{path}:{found.group(1)}: {message}"]) from None
    except Exception as error:
        line = _failing_line(text, type(error))
        raise ConfigError([f"{path}:{line}: {_unreadable(error)}"]) from None
    try:
        return _checked(data, text, path)
    except ConfigError:
        raise
    except Exception as error:  # a value that the checks cannot take apart
        raise ConfigError([f"{path}:1: {_unreadable(error)}"]) from None


def _checked(data, text, path):
    checker = _Checker(path, text)
    checker.words = checker.word_characters(data)
    for name in data:
        if name not in TABLES + KEYS:
            expected = ", ".join(TABLES + KEYS)
            checker.problem((name,), f"unknown table or key {name!r} (expected: {expected})")
    config = Config(
        path=path,
        abbreviations=checker.abbreviations(data),
        locations=checker.strings(data, "locations", paths=True),
        hotkeys=checker.hotkeys(data),
        case_sensitive=checker.case_sensitive,
        warnings=checker.warnings,
        words=checker.words,
    )
    if checker.problems:
        raise ConfigError(checker.problems)
    return config


def read(path):
    """The bytes of the configuration file ``path``; raises ConfigError.

    Only a regular file is opened (a pipe would block the open, a device such as /dev/zero
    never ends), without waiting, and only up to MAX_SIZE bytes are read.
    """

    def refuse(reason):
        return ConfigError([f"{path}: cannot read the configuration: {reason}"])

    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            raise refuse("it is not a regular file")
        descriptor = os.open(path, os.O_RDONLY | os.O_NONBLOCK | getattr(os, "O_CLOEXEC", 0))
    except OSError as error:
        raise refuse(error.strerror or error) from None
    try:
        info = os.fstat(descriptor)
        if not stat.S_ISREG(info.st_mode):  # replaced since it was looked at
            raise refuse("it is not a regular file")
        chunks, size = [], 0
        while size <= MAX_SIZE:
            chunk = os.read(descriptor, MAX_SIZE + 1 - size)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk)
    except OSError as error:
        raise refuse(error.strerror or error) from None
    finally:
        os.close(descriptor)
    if size > MAX_SIZE:
        raise refuse(f"it is larger than {MAX_SIZE // 1024} KiB")
    return b"".join(chunks)


def load(path):
    """Reads and checks the configuration file ``path``; raises ConfigError."""
    raw = read(path)
    try:
        text = raw.decode("utf-8")
    except UnicodeDecodeError as error:
        line = raw[: error.start].count(b"\n") + 1
        raise ConfigError([f"{path}:{line}: the file is not UTF-8 text"]) from None
    return parse(text, path)
