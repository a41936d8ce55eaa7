"""The X clipboard: publishing the ``win32clipboard`` stand-in's contents, and reading a picture.

The stand-in calls ``publish`` with its formats after every change. A picture (``CF_DIB``) is
offered to other programs as image/png, text as UTF8_STRING; an emptied clipboard leaves the
X clipboard without an owner. The X clipboard has no storage of its own: its owner must answer
every paste. That is the clipboard writer of ``freedesktop.CLIPBOARD_WRITER``, started in a session of
its own so that it keeps serving after this process ends, until another program takes the
clipboard over.
"""

import io
import subprocess
import tempfile
import time

from velmora._platform import freedesktop
from velmora._platform.backend import DesktopError
from velmora._platform.constants import CF_DIB, CF_TEXT, CF_UNICODETEXT

# How long the writer may take to own the clipboard.
TAKEOVER_TIMEOUT = 5.0


def dib_to_png(dib):
    """PNG bytes of a device-independent bitmap (a BMP file without its 14-byte header)."""
    from PIL import Image

    with Image.open(io.BytesIO(bytes(dib)), formats=["DIB"]) as image:
        out = io.BytesIO()
        image.save(out, "PNG")
    return out.getvalue()


def _text(value, encoding):
    if isinstance(value, str):
        text = value
    else:
        text = bytes(value).decode(encoding, errors="replace")
    return text.split("\0", 1)[0].encode("utf-8")


def offer(contents):
    """The (X target, bytes) to put on the X clipboard for ``contents``, or None for nothing.

    A picture wins over text, as the modules only ever store one picture.
    """
    if CF_DIB in contents:
        return "image/png", dib_to_png(contents[CF_DIB])
    if CF_UNICODETEXT in contents:
        return "UTF8_STRING", _text(contents[CF_UNICODETEXT], "utf-16-le")
    if CF_TEXT in contents:
        return "UTF8_STRING", _text(contents[CF_TEXT], "cp1252")
    return None


def publish(contents, connection):
    """Makes the X clipboard hold ``contents`` ({format: data}); raises DesktopError if not.

    ``connection`` is the X backend: its display ``name`` and its selection requests.
    """
    offered = offer(contents)
    if offered is None:
        connection.clear_selection("CLIPBOARD")
        return
    target, data = offered
    writer = freedesktop.available(freedesktop.CLIPBOARD_WRITER)
    if writer is None:
        raise DesktopError(f"{freedesktop.CLIPBOARD_WRITER[0]} is needed for the X clipboard")
    previous = connection.selection_owner("CLIPBOARD")
    argv = [*writer, "-display", connection.name, "-t", target, "-i"]
    with tempfile.TemporaryFile() as errors:
        process = freedesktop.spawn(argv, stdin=subprocess.PIPE, stderr=errors, detach=True)
        try:
            # The writer reads everything, then leaves a child in the background and exits.
            process.communicate(data, timeout=TAKEOVER_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise DesktopError(f"{writer[0]} did not take the clipboard") from None
        if process.returncode != 0:
            errors.seek(0)
            message = errors.read().decode(errors="replace").strip()
            raise DesktopError(f"{writer[0]} failed ({process.returncode}): {message}")
    # The background child takes the clipboard shortly after its parent has exited.
    deadline = time.monotonic() + TAKEOVER_TIMEOUT
    while connection.selection_owner("CLIPBOARD") in (0, previous):
        if time.monotonic() >= deadline:
            raise DesktopError(f"{writer[0]} did not take the clipboard")
        time.sleep(0.005)


# How long the clipboard's owner may take to hand over a picture.
READ_TIMEOUT = 5.0


def read_picture(connection):
    """The X clipboard's picture as PNG bytes, or None when it offers none."""
    reader = freedesktop.available(freedesktop.CLIPBOARD_WRITER)
    if reader is None:
        raise DesktopError(f"{freedesktop.CLIPBOARD_WRITER[0]} is needed for the X clipboard")
    argv = [*reader, "-display", connection.name, "-t", "image/png", "-o"]
    try:
        result = freedesktop.run(argv, timeout=READ_TIMEOUT)
    except subprocess.TimeoutExpired:
        raise DesktopError("the clipboard's owner did not hand over its picture") from None
    return result.stdout if result.returncode == 0 and result.stdout else None
