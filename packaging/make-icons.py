#!/usr/bin/env python3
"""Draws the desktop icons of the IDE from the About box's logo
(src/about/OrvalleLogo.py): icons/<size>/vantry.png for the sizes desktops
ask for, each drawn at its own size (not scaled from a picture), see-through
outside the logo's disc.

Run it from anywhere; it writes the icons next to itself:
    python3 packaging/make-icons.py
"""

import importlib.util
import math
import os
import struct
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
SIZES = (16, 24, 32, 48, 64, 128, 256)
SAMPLES = 4  # supersampling per axis, for smooth edges

spec = importlib.util.spec_from_file_location("logo", os.path.join(HERE, "..", "src", "about", "OrvalleLogo.py"))
logo = importlib.util.module_from_spec(spec)
spec.loader.exec_module(logo)


def pixel(size, px, py):
    """RGBA of one pixel: the logo's colour, and how much of the pixel the disc covers."""
    total, covered = [0.0, 0.0, 0.0], 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            x = (px + (sx + 0.5) / SAMPLES) * logo.SIZE / size
            y = (py + (sy + 0.5) / SAMPLES) * logo.SIZE / size
            if math.hypot(x - 50, y - 50) > 48.5:
                continue
            covered += 1
            for i, c in enumerate(logo.colour_at(x, y)):
                total[i] += c
    if not covered:
        return (0, 0, 0, 0)
    return tuple(round(t / covered) for t in total) + (round(255 * covered / SAMPLES ** 2),)


def png(size, rows):
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF)
    raw = b"".join(b"\0" + bytes(v for p in row for v in p) for row in rows)
    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)  # 8-bit RGBA
    return b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(raw, 9)) + chunk(b"IEND", b"")


if __name__ == "__main__":
    for size in SIZES:
        rows = [[pixel(size, x, y) for x in range(size)] for y in range(size)]
        folder = os.path.join(HERE, "icons", str(size))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "vantry.png"), "wb") as f:
            f.write(png(size, rows))
