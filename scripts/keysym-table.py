"""Writes velmora/host/keysyms.py: the characters of X11's legacy key symbols.

Usage: python3 scripts/keysym-table.py [/usr/include/X11/keysymdef.h] (Debian: x11proto-dev).
Each symbol's character is the U+ code point in its comment; the table keeps runs of symbols
whose code points run in step, as "symbol:code point:length" in hexadecimal.
"""

import os
import re
import sys
import textwrap

HEADER = sys.argv[1] if len(sys.argv) > 1 else "/usr/include/X11/keysymdef.h"
OUT = os.path.join(os.path.dirname(__file__), "..", "velmora", "host", "keysyms.py")

characters = {}
with open(HEADER) as header:
    for line in header:
        found = re.match(r"#define XK_\w+\s+0x([0-9a-f]+)\s*/\*\s*U\+([0-9A-F]+)", line)
        # Latin-1 symbols are their code points, 0xFExx-0xFFxx are keys; between them lie the
        # legacy character sets.
        if found and 0x100 <= int(found.group(1), 16) <= 0x20FF:
            characters.setdefault(int(found.group(1), 16), int(found.group(2), 16))
runs = []
for keysym in sorted(characters):
    code = characters[keysym]
    if runs and runs[-1][0] + runs[-1][2] == keysym and runs[-1][1] + runs[-1][2] == code:
        runs[-1][2] += 1
    else:
        runs.append([keysym, code, 1])
packed = " ".join(f"{keysym:x}:{code:x}:{length:x}" for keysym, code, length in runs)
lines = textwrap.wrap(packed, 92)
with open(OUT, "w") as out:
    out.write(
        '"""The characters of X11\'s legacy key symbols (Latin 2-9, Cyrillic, Greek, ...).\n\n'
    )
    out.write("Written by scripts/keysym-table.py from X11's keysymdef.h; not edited by hand.\n")
    out.write('"""\n\n# "symbol:code point:length": symbol + i types chr(code point + i), ')
    out.write("for i < length.\n")
    out.write("RUNS = (\n" + "".join(f'    "{line} "\n' for line in lines) + ")\n\n\n")
    out.write(
        "def table():\n"
        '    """Legacy key symbol -> character."""\n'
        "    found = {}\n"
        "    for run in RUNS.split():\n"
        '        keysym, code, length = (int(part, 16) for part in run.split(":"))\n'
        "        for offset in range(length):\n"
        "            found[keysym + offset] = chr(code + offset)\n"
        "    return found\n"
    )
