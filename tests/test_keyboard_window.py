"""Bringing the window of a class to the foreground and handing it a key."""

import types

import pytest

Q_WINDOW = "velmora.strokeSmith.FindAndSendKeysToWindow"
CLASS = "Notepad"
STORED, FOUND = 0x1111, 0x2222
RESTORE = 9  # win32con.SW_RESTORE


class UiError(Exception):
    pass


class WinError(Exception):
    pass


class Desktop:
    """Window store, pywin32 and pause stand-ins sharing one call log.

    `stored` is what the store holds for CLASS, `visible` whether that window is visible,
    `find_error` what FindWindow raises (None: it finds FOUND), `refusals` the exceptions
    that the successive SetForegroundWindow calls raise."""

    def __init__(self, kb, log, monkeypatch):
        self.stored, self.visible, self.find_error, self.refusals = 0, True, None, []
        record = log.recorder
        window = types.SimpleNamespace(GetSafeHwnd=record("GetSafeHwnd", result=FOUND))
        monkeypatch.setattr(
            kb,
            "winHouse",
            types.SimpleNamespace(
                GetHandleByClassName=record("GetHandleByClassName", effect=lambda c: self.stored),
                SetHandleByClassName=record("SetHandleByClassName", effect=self.store),
            ),
        )
        monkeypatch.setattr(
            kb,
            "win32gui",
            types.SimpleNamespace(
                IsWindowVisible=record("IsWindowVisible", effect=lambda h: self.visible),
                ShowWindow=record("ShowWindow"),
                SetForegroundWindow=record("SetForegroundWindow", effect=self.foreground),
                GetWindowText=record("GetWindowText", result="Untitled"),
            ),
        )
        monkeypatch.setattr(
            kb,
            "win32ui",
            types.SimpleNamespace(
                FindWindow=record("FindWindow", effect=lambda *a: self.find(window)), error=UiError
            ),
        )
        monkeypatch.setattr(kb, "pywintypes", types.SimpleNamespace(error=WinError))
        monkeypatch.setattr(kb, "sleep", record("sleep"))
        # Printing goes through the print captured at import, never through the namespace.
        monkeypatch.setattr(kb, "print", record("module print"), raising=False)
        self.send = record("send")

    def store(self, class_name, handle):
        self.stored = handle

    def find(self, window):
        if self.find_error is not None:
            raise self.find_error
        return window

    def foreground(self, handle):
        if self.refusals:
            raise self.refusals.pop(0)


@pytest.fixture
def desktop(kb, log, monkeypatch):
    return Desktop(kb, log, monkeypatch)


def bring(handle):
    return [("ShowWindow", (handle, RESTORE)), ("SetForegroundWindow", (handle,))]


GET = [("GetHandleByClassName", (CLASS,))]
FOUND_AND_STORED = [
    ("FindWindow", (CLASS, None)),
    ("GetSafeHwnd", ()),
    ("SetHandleByClassName", (CLASS, FOUND)),
]
RETRY = [("sleep", (0.5,))]
SENT = [("send", ("k",))]
NOT_FOUND = [("FindWindow", (CLASS, None)), ("SetHandleByClassName", (CLASS, None))]
VISIBLE = [("IsWindowVisible", (STORED,))]

OUTCOMES = {
    "visible window": (STORED, True, None, 0, GET + VISIBLE + GET + bring(STORED) + SENT),
    "no stored handle, found": (
        0,
        True,
        None,
        0,
        GET + FOUND_AND_STORED + GET + bring(FOUND) + SENT,
    ),
    "hidden window, found": (
        STORED,
        False,
        None,
        0,
        GET + VISIBLE + FOUND_AND_STORED + GET + bring(FOUND) + SENT,
    ),
    "no stored handle, not found": (0, True, UiError(), 0, GET + NOT_FOUND),
    "hidden window, not found": (STORED, False, UiError(), 0, GET + VISIBLE + NOT_FOUND),
    "subclass of win32ui.error": (0, True, type("Sub", (UiError,), {})(), 0, GET + NOT_FOUND),
    "refused once": (
        STORED,
        True,
        None,
        1,
        GET + VISIBLE + GET + bring(STORED) + RETRY + bring(STORED) + SENT,
    ),
    "searched, refused once": (
        0,
        True,
        None,
        1,
        GET + FOUND_AND_STORED + GET + bring(FOUND) + RETRY + bring(FOUND) + SENT,
    ),
    "refused twice": (
        STORED,
        True,
        None,
        2,
        GET
        + VISIBLE
        + GET
        + bring(STORED)
        + RETRY
        + bring(STORED)
        + [("GetWindowText", (STORED,))],
    ),
}


@pytest.mark.parametrize("outcome", OUTCOMES, ids=list(OUTCOMES))
def test_outcomes(kb, desktop, log, reports, capsys, outcome):
    stored, visible, find_error, refusals, calls = OUTCOMES[outcome]
    desktop.stored, desktop.visible, desktop.find_error = stored, visible, find_error
    # The second refusal is a subclass: the handler takes subclasses too.
    desktop.refusals = [WinError(), type("Sub", (WinError,), {})()][:refusals]
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert log.calls == calls
    assert reports.items == []
    printed = "Exception occurred while trying set Untitled as the forground process.\n"
    assert capsys.readouterr().out == (printed if refusals == 2 else "")


def fail(error):
    def raising(*args):
        raise error

    return raising


SEARCHED = [
    "GetHandleByClassName",
    "FindWindow",
    "GetSafeHwnd",
    "SetHandleByClassName",
    "GetHandleByClassName",
]
FIRST_TRY = SEARCHED + ["ShowWindow", "SetForegroundWindow"]
SECOND_TRY = FIRST_TRY + ["sleep", "ShowWindow", "SetForegroundWindow"]


@pytest.mark.parametrize(
    "name, error, refusals, names",
    [
        # Exceptions outside the handlers, or of the other handler's type, are reported.
        ("FindWindow", WinError(), 0, ["GetHandleByClassName", "FindWindow"]),
        ("GetSafeHwnd", UiError(), 0, SEARCHED[:3]),
        ("SetHandleByClassName", UiError(), 0, SEARCHED[:4]),
        ("ShowWindow", WinError(), 0, FIRST_TRY[:-1]),
        ("SetForegroundWindow", UiError(), 0, FIRST_TRY),
        ("SetForegroundWindow", RuntimeError(), 0, FIRST_TRY),
        ("sleep", RuntimeError(), 1, FIRST_TRY + ["sleep"]),
        ("GetWindowText", WinError(), 2, SECOND_TRY + ["GetWindowText"]),
        ("send", RuntimeError(), 0, FIRST_TRY + ["send"]),
    ],
)
def test_unhandled_exceptions_are_reported(
    kb, desktop, log, reports, monkeypatch, name, error, refusals, names
):
    raising = log.recorder(name, effect=fail(error))
    if name == "send":
        desktop.send = raising
    elif name == "sleep":
        monkeypatch.setattr(kb, "sleep", raising)
    elif name == "GetSafeHwnd":
        window = types.SimpleNamespace(GetSafeHwnd=raising)
        monkeypatch.setattr(kb.win32ui, "FindWindow", log.recorder("FindWindow", result=window))
    else:
        owner = next(o for o in (kb.winHouse, kb.win32gui, kb.win32ui) if hasattr(o, name))
        monkeypatch.setattr(owner, name, raising)
    desktop.refusals = [WinError() for _ in range(refusals)]
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert log.names() == names
    assert reports.objects == [Q_WINDOW]
    assert reports.items[0].exc_value is error


def test_a_stored_handle_that_is_no_int_stops_at_once(desktop, kb, log, reports):
    desktop.stored = None
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert log.calls == GET
    assert reports.objects == [Q_WINDOW] and reports.messages == ["an integer is required"]


def test_error_types_are_fetched_when_matching(desktop, kb, log, reports, monkeypatch):
    class Replacement(Exception):
        pass

    def find(*args):
        monkeypatch.setattr(kb.win32ui, "error", Replacement)
        raise Replacement()

    monkeypatch.setattr(kb.win32ui, "FindWindow", find)
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert log.calls == GET + [("SetHandleByClassName", (CLASS, None))]
    assert reports.items == []


def test_a_missing_error_type_is_reported_with_the_original_as_context(
    desktop, kb, reports, monkeypatch
):
    original = RuntimeError("no desktop")
    monkeypatch.setattr(kb, "win32ui", types.SimpleNamespace(FindWindow=fail(original)))
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert reports.objects == [Q_WINDOW] and reports.types == [AttributeError]
    assert reports.items[0].exc_value.__context__ is original


def test_an_error_type_lookup_that_raises_the_same_exception_is_not_its_own_context(
    desktop, kb, reports, monkeypatch
):
    original = RuntimeError("no desktop")

    class Raising:  # FindWindow fails, and so does the lookup of its error type, with one error
        FindWindow = staticmethod(fail(original))
        error = property(fail(original))

    monkeypatch.setattr(kb, "win32ui", Raising())
    kb.FindAndSendKeysToWindow(CLASS, "k", desktop.send)
    assert reports.items[0].exc_value is original and original.__context__ is None
