"""The X clipboard: publishing the ``win32clipboard`` stand-in's contents, and reading a picture.

The stand-in calls ``publish`` with its formats after every change. A picture (``CF_DIB``) is
offered to other programs as image/png, text as UTF8_STRING; an emptied clipboard leaves the
X clipboard without an owner. The X clipboard has no storage of its own: its owner must answer
every paste. That is the clipboard writer of ``freedesktop.CLIPBOARD_WRITER``, started in a
session of its own so that it keeps serving after this process ends, until another program
takes the clipboard over.
"""

import io
import struct
import subprocess
import tempfile
import time
import zlib

from velmora._platform import freedesktop
from velmora._platform.backend import DesktopError
from velmora._platform.constants import CF_DIB, CF_TEXT, CF_UNICODETEXT

# How long the writer may take to own the clipboard.
TAKEOVER_TIMEOUT = 5.0


def dib_to_png(dib):
    """PNG bytes of a device-independent bitmap (a BMP file without its 14-byte header).

    The bitmaps the modules store (24 bits, uncompressed) are the host's own pictures, trusted
    at any size: their rows go straight into the PNG, without the size limit that Pillow puts
    on opening files. Any other layout goes through Pillow's reader.
    """
    dib = bytes(dib)
    if len(dib) >= 40:
        size, width, height, planes, bits, compression = struct.unpack_from("<IiiHHI", dib)
        stride = (width * 3 + 3) // 4 * 4
        if (
            size == 40
            and bits == 24
            and compression == 0
            and width > 0
            and height != 0
            and len(dib) >= 40 + stride * abs(height)
        ):
            return _png_of_bgr_rows(dib, width, height, stride)
    from PIL import Image

    with Image.open(io.BytesIO(dib), formats=["DIB"]) as image:
        out = io.BytesIO()
        image.save(out, "PNG", compress_level=PNG_LEVEL)
    return out.getvalue()


# zlib's fastest level: a pasted picture is read once, so time counts more than size.
PNG_LEVEL = 1


def _png_chunk(kind, data):
    check = zlib.crc32(data, zlib.crc32(kind))
    return b"".join([struct.pack(">I", len(data)), kind, data, struct.pack(">I", check)])


def _png_of_bgr_rows(dib, width, height, stride):
    """A PNG of the bitmap's 24-bit BGR rows, each padded to ``stride`` bytes, stored bottom-up
    for a positive ``height``: one pass turns them into the PNG's top-down RGB rows, each
    behind its filter byte 0 (none), and one pass of zlib at PNG_LEVEL compresses them.

    Pillow's encoder would first decode the rows into an image, then try every filter on each
    row: on screenshots that costs more than twice as long and gives larger files.
    """
    import numpy as np

    rows = abs(height)
    stored = np.frombuffer(dib, np.uint8, rows * stride, 40).reshape(rows, stride)
    if height > 0:
        stored = stored[::-1]  # positive heights are stored bottom-up
    lines = np.empty((rows, 1 + 3 * width), np.uint8)
    lines[:, 0] = 0
    for channel in range(3):  # red, green, blue from the stored blue, green, red
        lines[:, 1 + channel :: 3] = stored[:, 2 - channel : 3 * width : 3]
    header = struct.pack(">IIBBBBB", width, rows, 8, 2, 0, 0, 0)  # 8-bit RGB, no interlace
    return b"".join(
        [
            b"\x89PNG\r\n\x1a\n",
            _png_chunk(b"IHDR", header),
            _png_chunk(b"IDAT", zlib.compress(lines, PNG_LEVEL)),
            _png_chunk(b"IEND", b""),
        ]
    )


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
        except BaseException as error:
            # Interrupted or too slow: a writer left with part of the picture would take the
            # clipboard later with a truncated file, over whatever the user copied since.
            process.kill()
            process.wait()
            if isinstance(error, subprocess.TimeoutExpired):
                raise DesktopError(f"{writer[0]} did not take the clipboard") from None
            raise
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
# The most bytes read from the clipboard's owner: the largest picture that is opened (40
# megapixels) fits, stored without compression at 16 bits per channel with alpha.
MAX_READ = 512 << 20
TOO_LARGE = f"the clipboard's content is larger than the {MAX_READ >> 20} MiB this tool reads"


def read_picture(connection):
    """The X clipboard's picture as PNG bytes, or None when it offers none.

    The reader runs under ``freedesktop.TIME_LIMIT`` as well as under this process's time
    limit, so that it is killed even if this process dies while an owner never answers.
    """
    reader = freedesktop.available(freedesktop.CLIPBOARD_WRITER)
    limiter = freedesktop.available(freedesktop.TIME_LIMIT)
    if reader is None or limiter is None:
        raise DesktopError(
            f"{freedesktop.CLIPBOARD_WRITER[0]} and {freedesktop.TIME_LIMIT[0]} are needed "
            "to read the X clipboard"
        )
    argv = [
        *limiter,
        f"{READ_TIMEOUT:g}",
        *reader,
        "-display",
        connection.name,
        "-t",
        "image/png",
        "-o",
    ]
    try:
        status, output = freedesktop.read_output(argv, timeout=READ_TIMEOUT + 2, limit=MAX_READ)
    except subprocess.TimeoutExpired:
        raise DesktopError("the clipboard's owner did not hand over its picture") from None
    except freedesktop.OutputTooLarge:
        raise DesktopError(TOO_LARGE) from None
    if status == 124:  # the time limit's verdict
        raise DesktopError("the clipboard's owner did not hand over its picture")
    return output if status == 0 and output else None
