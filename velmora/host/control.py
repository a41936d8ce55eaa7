"""The host's control socket: other programs (a compositor's key binding, a shell) ask the
running host to run an action, and hear back how it went.

The socket is a Unix stream socket in $XDG_RUNTIME_DIR named after the session's display, so
that each session has one host. It is made with mode 0600 and answers only connections of the
host's own user (SO_PEERCRED). A lock file beside it, held while the host runs, tells a live
host from the socket a dead one left behind, which is replaced.

One request per connection: a JSON object on one line, ``{"action": NAME}`` or
``{"hotkey": COMBINATION}`` (the configured hotkey whose action and arguments run); one reply
line, ``{"ok": true|false, "message": TEXT}``. A request is read with a size limit and a time
limit, so that a stuck or hostile client cannot keep the host from its other work.
"""

import contextlib
import fcntl
import hashlib
import json
import os
import re
import socket
import struct
import time

# The longest request line, and how long a client may take to send it.
MAX_REQUEST = 4096
REQUEST_TIMEOUT = 2.0
# How long the client waits for the reply: an action waits up to seconds for the user's keys,
# and the picture window's start may take a while on a loaded machine.
REPLY_TIMEOUT = 60.0
# Room for the path in sockaddr_un (108 bytes on Linux, less elsewhere).
MAX_PATH = 100
_PEER = struct.Struct("3i")  # struct ucred: pid, uid, gid


class ControlError(RuntimeError):
    """The control socket cannot be made, reached or understood; the message says why."""


class AlreadyRunning(ControlError):
    """Another host serves this session."""


def wayland_session(name):
    """The session name of the Wayland display ``name`` (a socket name or path)."""
    return "wayland-" + os.path.basename(name).removeprefix("wayland-")


def x11_session(name):
    """The session name of the X display ``name``."""
    return "x11-" + name


def session_names(environ=None):
    """The session names a host may serve under, most specific first: the Wayland display,
    then the X display."""
    environ = os.environ if environ is None else environ
    names = []
    if environ.get("WAYLAND_DISPLAY"):
        names.append(wayland_session(environ["WAYLAND_DISPLAY"]))
    if environ.get("DISPLAY"):
        names.append(x11_session(environ["DISPLAY"]))
    return names


def socket_path(session, environ=None):
    """The socket of the host of ``session`` (one of ``session_names``)."""
    environ = os.environ if environ is None else environ
    runtime = environ.get("XDG_RUNTIME_DIR")
    if not runtime:
        raise ControlError("XDG_RUNTIME_DIR is not set: the session gives no private folder")
    safe = re.sub(r"[^A-Za-z0-9._-]", "_", session)
    path = os.path.join(runtime, f"velmora-host.{safe}.sock")
    if len(os.fsencode(path)) > MAX_PATH:  # a long runtime folder: a short name for the session
        digest = hashlib.sha256(session.encode()).hexdigest()[:16]
        path = os.path.join(runtime, f"velmora-host.{digest}.sock")
    if len(os.fsencode(path)) > MAX_PATH:
        raise ControlError(f"the runtime folder's path is too long for a socket: {runtime}")
    return path


def peer_uid(connection):
    """The user id of the process at the other end of ``connection``."""
    credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _PEER.size)
    return _PEER.unpack(credentials)[1]


def _send(connection, reply):
    """Sends one reply line; a client that has gone is no failure of the host."""
    with contextlib.suppress(OSError):
        connection.settimeout(REQUEST_TIMEOUT)
        connection.sendall(json.dumps(reply, ensure_ascii=False).encode() + b"\n")


class Request:
    """One accepted request: what it asks (``action`` or ``hotkey``), and its reply."""

    def __init__(self, connection, asked):
        self.connection = connection
        self.action = asked.get("action")
        self.hotkey = asked.get("hotkey")

    def answer(self, ok, message):
        _send(self.connection, {"ok": bool(ok), "message": str(message)})
        self.connection.close()


class Server:
    """The listening socket of a running host; ``fileno`` for select."""

    def __init__(self, path):
        self.path = path
        try:
            self.lock = os.open(path + ".lock", os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o600)
        except OSError as error:
            raise ControlError(
                f"cannot make the control socket's lock {path}.lock: {error}"
            ) from None
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.lock)
            raise AlreadyRunning(f"another velmora-host serves this session ({path})") from None
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)  # left by a host that is gone: its lock was free
            mask = os.umask(0o177)
            try:
                self.listener.bind(path)
            finally:
                os.umask(mask)
            os.chmod(path, 0o600)
            self.listener.listen(16)
            self.listener.setblocking(False)
        except OSError as error:
            self.close()
            raise ControlError(f"cannot make the control socket {path}: {error}") from None

    def fileno(self):
        return self.listener.fileno()

    def accept(self):
        """The next request, or None when there is none or it was refused (the reply said
        why) or malformed. Returns within REQUEST_TIMEOUT whatever the client does."""
        try:
            connection, _ = self.listener.accept()
        except (BlockingIOError, InterruptedError):
            return None
        try:
            uid = peer_uid(connection)
            refused = uid != os.getuid()
            asked = None if refused else self._read(connection)  # another user's is not read
        except (OSError, ValueError) as error:
            _send(connection, {"ok": False, "message": f"bad request: {error}"})
            connection.close()
            raise ControlError(f"bad request: {error}") from None
        if refused:
            _send(connection, {"ok": False, "message": "refused: another user's host"})
            connection.close()
            raise ControlError(f"a connection of another user (uid {uid}) refused")
        return Request(connection, asked)

    @staticmethod
    def _read(connection):
        """The request object of one line, read within the size and time limits."""
        deadline = time.monotonic() + REQUEST_TIMEOUT
        data = b""
        while b"\n" not in data:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise ValueError(f"no complete request within {REQUEST_TIMEOUT:g} s")
            connection.settimeout(remaining)
            try:
                chunk = connection.recv(MAX_REQUEST + 1 - len(data))
            except TimeoutError:
                continue
            if not chunk:
                break  # a request without its line end is taken as it is
            data += chunk
            if len(data) > MAX_REQUEST:
                raise ValueError(f"a request is at most {MAX_REQUEST} bytes")
        try:
            asked = json.loads(data.split(b"\n", 1)[0].decode())
        except (UnicodeDecodeError, json.JSONDecodeError):
            raise ValueError("not a JSON line") from None
        fields = {"action", "hotkey"}
        if (
            not isinstance(asked, dict)
            or len(asked) != 1
            or not fields >= asked.keys()
            or not isinstance(next(iter(asked.values())), str)
        ):
            raise ValueError('expected {"action": NAME} or {"hotkey": COMBINATION}')
        return asked

    def close(self):
        """Removes the socket and gives up the lock; the next host may start."""
        with contextlib.suppress(OSError):
            if getattr(self, "listener", None) is not None:
                self.listener.close()
                os.unlink(self.path)
        with contextlib.suppress(OSError):
            os.close(self.lock)


def request(asked, environ=None, timeout=REPLY_TIMEOUT):
    """Sends ``asked`` to the host of this session; its reply ``(ok, message)``. Raises
    ControlError when no host answers."""
    names = session_names(environ)
    if not names:
        raise ControlError("no session: neither WAYLAND_DISPLAY nor DISPLAY is set")
    tried = []
    for session in names:
        path = socket_path(session, environ)
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        with client:
            client.settimeout(REQUEST_TIMEOUT)
            try:
                client.connect(path)
            except (FileNotFoundError, ConnectionRefusedError):
                tried.append(path)
                continue
            except OSError as error:
                raise ControlError(f"cannot reach velmora-host at {path}: {error}") from None
            return _exchange(client, asked, timeout)
    raise ControlError(f"no velmora-host runs in this session (looked for {', '.join(tried)})")


def _exchange(client, asked, timeout):
    data = b""
    try:
        with contextlib.suppress(BrokenPipeError):  # refused unread: the reply says why
            client.sendall(json.dumps(asked).encode() + b"\n")
        client.settimeout(timeout)
        while b"\n" not in data and len(data) <= MAX_REQUEST:
            chunk = client.recv(MAX_REQUEST)
            if not chunk:
                break
            data += chunk
    except TimeoutError:
        raise ControlError(f"velmora-host did not answer within {timeout:g} s") from None
    except OSError as error:
        raise ControlError(f"velmora-host closed the connection: {error}") from None
    try:
        reply = json.loads(data.split(b"\n", 1)[0].decode())
        return bool(reply["ok"]), str(reply["message"])
    except (UnicodeDecodeError, ValueError, KeyError, TypeError):
        raise ControlError("velmora-host ended without answering") from None
