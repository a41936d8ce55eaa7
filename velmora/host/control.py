"""The host's control socket: other programs (a compositor's key binding, a shell) ask the
running host to run an action, and hear back how it went.

The socket is a Unix stream socket in $XDG_RUNTIME_DIR named after the session's display, so
that each session has one host. It is made with mode 0600 and answers only connections of the
host's own user (SO_PEERCRED); the client, in turn, asks only a host of its own user. Both
refuse a runtime folder that another user owns or may write to. A lock file beside the socket,
held while the host runs, tells a live host from the socket a dead one left behind, which is
replaced once nothing answers on it; a host removes the socket at its end only while it is
still the one it made.

One request per connection: a JSON object on one line, ``{"action": NAME}`` or
``{"hotkey": COMBINATION}`` (the configured hotkey whose action and arguments run); one reply
line, ``{"ok": true|false, "message": TEXT}``. Each connection is read on a short-lived
reader thread, with a size limit and a time limit, and only a request read in full reaches the
host's main thread, which runs the actions: a stuck or hostile client cannot keep the host from
its other work. At most MAX_PENDING connections are read or wait for the main thread at once;
further ones are refused at once.
"""

import collections
import contextlib
import fcntl
import hashlib
import json
import logging
import os
import re
import select
import socket
import stat
import struct
import threading
import time

log = logging.getLogger("velmora-host")

# The longest request line, and how long a client may take to send it.
MAX_REQUEST = 4096
REQUEST_TIMEOUT = 2.0
# Connections being read or waiting for the main thread at once; a further one is refused.
MAX_PENDING = 16
# The longest message of a reply (characters), and the longest reply line the client reads.
MAX_MESSAGE = 16384
MAX_REPLY = 1 << 20
# How long the client waits for the reply: an action waits up to seconds for the user's keys,
# and the picture window's start may take a while on a loaded machine.
REPLY_TIMEOUT = 60.0
# Room for the path in sockaddr_un (108 bytes on Linux, less elsewhere).
MAX_PATH = 100
_PEER = struct.Struct("3i")  # struct ucred: pid, uid, gid
ENDING = "velmora-host ended before it could run this"


class ControlError(RuntimeError):
    """The control socket cannot be made, reached or understood; the message says why."""


class AlreadyRunning(ControlError):
    """Another host serves this session."""


def wayland_session(name):
    """The session name of the Wayland display ``name`` (a socket name or path)."""
    return "wayland-" + os.path.basename(name).removeprefix("wayland-")


def x11_session(name):
    """The session name of the X display ``name``. The screen number and the local transport
    name the same display: ":0", ":0.1" and "unix:0" are one session."""
    host, colon, rest = name.rpartition(":")
    if not colon:
        return "x11-" + name
    return f"x11-{'' if host == 'unix' else host}:{rest.split('.', 1)[0]}"


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


def check_private(folder):
    """Raises ControlError unless ``folder`` is a folder of this user that no one else may
    write to: elsewhere another user could put a socket, or a link in place of the lock."""
    try:
        info = os.stat(folder)
    except OSError as error:
        raise ControlError(f"the runtime folder {folder}: {error.strerror}") from None
    if not stat.S_ISDIR(info.st_mode):
        raise ControlError(f"the runtime folder {folder} is not a folder")
    if info.st_uid != os.getuid():
        raise ControlError(
            f"the runtime folder {folder} belongs to another user (uid {info.st_uid}); "
            "XDG_RUNTIME_DIR must be a folder of your own"
        )
    if info.st_mode & (stat.S_IWGRP | stat.S_IWOTH):
        raise ControlError(
            f"the runtime folder {folder} may be written by other users "
            f"(mode {stat.S_IMODE(info.st_mode):o}); XDG_RUNTIME_DIR must be yours alone"
        )


def peer_uid(connection):
    """The user id of the process at the other end of ``connection``."""
    credentials = connection.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, _PEER.size)
    return _PEER.unpack(credentials)[1]


def _send(connection, reply, timeout=REQUEST_TIMEOUT):
    """Sends one reply line; a client that has gone is no failure of the host. Text that
    UTF-8 cannot carry (a file name's undecodable bytes) goes out as "?"."""
    line = json.dumps(reply, ensure_ascii=False).encode("utf-8", "replace") + b"\n"
    with contextlib.suppress(OSError):
        connection.settimeout(timeout)
        connection.sendall(line)


class Request:
    """One request read in full: what it asks (``action`` or ``hotkey``), when its connection
    was accepted (``time.monotonic``), and its reply."""

    def __init__(self, connection, asked, accepted):
        self.connection = connection
        self.action = asked.get("action")
        self.hotkey = asked.get("hotkey")
        self.accepted = accepted

    def answer(self, ok, message):
        message = str(message)
        if len(message) > MAX_MESSAGE:
            message = message[: MAX_MESSAGE - 1] + "\N{HORIZONTAL ELLIPSIS}"
        _send(self.connection, {"ok": bool(ok), "message": message})
        self.connection.close()


def _answers(path):
    """Whether something listens on the socket at ``path``. Only a refusal, or no socket at
    all, tells that nobody does; a full backlog or a slow answer is someone."""
    probe = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    probe.settimeout(1.0)
    try:
        probe.connect(path)
    except (ConnectionRefusedError, FileNotFoundError):
        return False
    except OSError:
        return True
    finally:
        probe.close()
    return True


class Server:
    """The listening socket of a running host.

    An acceptor thread takes the connections and reads each on a reader thread of its own;
    a request read in full waits in a queue for the main thread, and ``fileno`` (for select)
    is readable while one waits. ``accept`` takes it, without waiting."""

    def __init__(self, path):
        self.path = path
        self.guard = threading.Lock()  # the queue, the count, the pipes and ``closed``
        self.ready = collections.deque()
        self.pending = 0  # connections being read or in ``ready``
        self.refused = 0  # connections refused since the host was last able to take one
        self.closed = False
        self.listener = self.acceptor = self.identity = None
        self.pipes = []
        check_private(os.path.dirname(path) or ".")
        try:
            lock = path + ".lock"
            self.lock = os.open(lock, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC | os.O_NOFOLLOW, 0o600)
        except OSError as error:
            raise ControlError(f"cannot make the control socket's lock {lock}: {error}") from None
        try:
            fcntl.flock(self.lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(self.lock)
            raise AlreadyRunning(f"another velmora-host serves this session ({path})") from None
        try:
            self.wakeup_read, self.wakeup_write = self._pipe()
            self.stop_read, self.stop_write = self._pipe()
            os.set_blocking(self.wakeup_read, False)
            self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            if _answers(path):  # a live host whose lock file was removed by hand
                self.close()
                raise AlreadyRunning(f"another velmora-host serves this session ({path})")
            with contextlib.suppress(FileNotFoundError):
                os.unlink(path)  # left by a host that is gone: its lock was free
            mask = os.umask(0o177)
            try:
                self.listener.bind(path)
            finally:
                os.umask(mask)
            bound = os.lstat(path)
            self.identity = (bound.st_dev, bound.st_ino)
            os.chmod(path, 0o600)
            self.listener.listen(MAX_PENDING)
            self.listener.setblocking(False)
        except OSError as error:
            self.close()
            raise ControlError(f"cannot make the control socket {path}: {error}") from None
        self.acceptor = threading.Thread(
            target=self._accept_all, name="velmora-control", daemon=True
        )
        self.acceptor.start()

    def _pipe(self):
        ends = os.pipe()
        self.pipes += ends
        return ends

    def fileno(self):
        return self.wakeup_read

    def accept(self):
        """The next request read in full, or None when none waits. Never waits itself."""
        with self.guard:
            if not self.ready:
                return None
            with contextlib.suppress(BlockingIOError):
                os.read(self.wakeup_read, 1)
            self.pending -= 1
            return self.ready.popleft()

    def _accept_all(self):
        """The acceptor thread: hands each connection to a reader thread while fewer than
        MAX_PENDING are read or wait, and refuses it at once otherwise."""
        while True:
            ready, _, _ = select.select([self.listener, self.stop_read], [], [])
            if self.stop_read in ready:
                return
            try:
                connection, _ = self.listener.accept()
            except (BlockingIOError, InterruptedError, ConnectionAbortedError):
                continue
            except OSError as error:  # out of descriptors: the connection waits its turn
                log.debug("control socket: %s", error)
                time.sleep(0.1)
                continue
            accepted = time.monotonic()
            with self.guard:
                room = self.pending < MAX_PENDING
                self.pending += room
            if room and self.refused:
                log.warning("control socket: %d connections were refused while busy", self.refused)
                self.refused = 0
            if room:
                reader = threading.Thread(
                    target=self._read_one,
                    args=(connection, accepted),
                    name="velmora-control-reader",
                    daemon=True,
                )
                try:
                    reader.start()
                    continue
                except RuntimeError:  # no thread can be started now
                    with self.guard:
                        self.pending -= 1
            if not self.refused:  # once per busy spell: a flood must not flood the log too
                log.warning("control socket: %d requests wait; refusing more", MAX_PENDING)
            self.refused += 1
            busy = f"busy: {MAX_PENDING} requests are waiting already; try again"
            _send(connection, {"ok": False, "message": busy}, timeout=0)
            connection.close()

    def _read_one(self, connection, accepted):
        """A reader thread: queues the request of ``connection`` for the main thread, or
        answers why it will not run. Another user's connection is not read."""
        request, quiet = None, False
        try:
            uid = peer_uid(connection)
            if uid != os.getuid():
                refusal = "refused: another user's host"
                problem = f"a connection of another user (uid {uid}) refused"
            else:
                request = Request(connection, self._read(connection), accepted)
        except EOFError as error:  # closed unread: a host starting asked whether one listens
            refusal = problem = str(error)
            quiet = True
        except Exception as error:  # whatever a client sends, the host serves on
            refusal = problem = f"bad request: {error}"
        with self.guard:
            if request is not None and not self.closed:
                self.ready.append(request)
                os.write(self.wakeup_write, b"r")
                return
            self.pending -= 1
        if request is not None:
            refusal = problem = ENDING
        (log.debug if quiet else log.warning)("control socket: %s", problem)
        _send(connection, {"ok": False, "message": refusal})
        connection.close()

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
        if not data:
            raise EOFError("a connection closed without a request")
        try:
            line = data.split(b"\n", 1)[0].decode()
        except UnicodeDecodeError:
            raise ValueError("not a JSON line") from None
        try:
            asked = json.loads(line)
        except json.JSONDecodeError:
            raise ValueError("not a JSON line") from None
        except RecursionError:  # nested deeper than the decoder goes (a line has 4096 bytes)
            raise ValueError('a request is one flat object, {"action": NAME}') from None
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
        """Answers the requests still waiting, removes the socket while it is still the one
        this server made (a host started after the lock file was removed may have replaced
        it) and gives up the lock; the next host may start."""
        if self.acceptor is not None:
            os.write(self.stop_write, b"x")
            self.acceptor.join()
            self.acceptor = None
        with self.guard:
            self.closed = True
            waiting = list(self.ready)
            self.ready.clear()
            self.pending -= len(waiting)
            for end in self.pipes:
                os.close(end)
            self.pipes = []
        for request in waiting:
            request.answer(False, ENDING)
        if self.listener is not None:
            self.listener.close()
            self.listener = None
            with contextlib.suppress(OSError):
                info = os.lstat(self.path)
                if (info.st_dev, info.st_ino) == self.identity:
                    os.unlink(self.path)
        if self.lock is not None:
            os.close(self.lock)
            self.lock = None


def request(asked, environ=None, timeout=REPLY_TIMEOUT):
    """Sends ``asked`` to the host of this session; its reply ``(ok, message)``. Raises
    ControlError when no host of this user answers."""
    names = session_names(environ)
    if not names:
        raise ControlError("no session: neither WAYLAND_DISPLAY nor DISPLAY is set")
    tried = []
    for session in names:
        path = socket_path(session, environ)
        check_private(os.path.dirname(path))
        client = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        with client:
            client.settimeout(REQUEST_TIMEOUT)
            try:
                client.connect(path)
                uid = peer_uid(client)
            except (FileNotFoundError, ConnectionRefusedError):
                tried.append(path)
                continue
            except OSError as error:
                raise ControlError(f"cannot reach velmora-host at {path}: {error}") from None
            if uid != os.getuid():
                raise ControlError(
                    f"{path} is served by another user (uid {uid}), not by your "
                    "velmora-host; not asked"
                )
            return _exchange(client, asked, timeout)
    raise ControlError(f"no velmora-host runs in this session (looked for {', '.join(tried)})")


def _exchange(client, asked, timeout):
    data = bytearray()
    try:
        with contextlib.suppress(BrokenPipeError):  # refused unread: the reply says why
            client.sendall(json.dumps(asked).encode() + b"\n")
        client.settimeout(timeout)
        while len(data) <= MAX_REPLY:
            chunk = client.recv(65536)
            if not chunk:
                break
            data += chunk
            if b"\n" in chunk:
                break
    except TimeoutError:
        raise ControlError(f"velmora-host did not answer within {timeout:g} s") from None
    except OSError as error:
        raise ControlError(f"velmora-host closed the connection: {error}") from None
    line, end, _ = bytes(data).partition(b"\n")
    if not end and len(data) > MAX_REPLY:
        raise ControlError(f"velmora-host's reply is longer than {MAX_REPLY} bytes")
    try:
        reply = json.loads(line.decode(errors="replace"))
        return bool(reply["ok"]), str(reply["message"])
    except (ValueError, KeyError, TypeError):
        raise ControlError("velmora-host ended without answering") from None
