"""Writes the modules' feedback sounds, SFX/coins-497.wav and SFX/knob-458.wav, into the
package's platform layer (velmora/_platform/SFX), where the sound stand-in finds them.

Both are synthesised here (no recordings), short and small: 16 kHz, mono, 16-bit. The output
is the same on every run, so the committed files can be checked against this script.

    python3 macro_stand_in/make_sfx.py
"""

import math
import os
import random
import struct
import wave

RATE = 16000
HERE = os.path.join(
    os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "velmora", "_platform"
)


def tone(frequency, seconds, volume=0.5, decay=8.0):
    """A sine tone that fades out exponentially, with a 2 ms fade-in against clicks."""
    count = int(RATE * seconds)
    attack = int(RATE * 0.002)
    return [
        volume
        * min(1.0, i / attack)
        * math.exp(-decay * i / RATE)
        * math.sin(2 * math.pi * frequency * i / RATE)
        for i in range(count)
    ]


def coin():
    """Two rising notes (B5, then E6), as a coin pick-up sounds."""
    return tone(988, 0.07, decay=4.0) + tone(1319, 0.28, decay=10.0)


def knob():
    """A short mechanical tick: a noise burst over a quickly fading 2 kHz tone."""
    noise = random.Random(458)
    ping = tone(2000, 0.045, volume=0.4, decay=90.0)
    return [s + 0.3 * math.exp(-i / 40) * noise.uniform(-1, 1) for i, s in enumerate(ping)]


def write(name, samples):
    path = os.path.join(HERE, "SFX", name)
    frames = b"".join(struct.pack("<h", int(max(-1.0, min(1.0, s)) * 32767)) for s in samples)
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(RATE)
        out.writeframes(frames)
    return path


SOUNDS = {"coins-497.wav": coin, "knob-458.wav": knob}


def main():
    os.makedirs(os.path.join(HERE, "SFX"), exist_ok=True)
    for name, make in SOUNDS.items():
        print(write(name, make()))


if __name__ == "__main__":
    main()
