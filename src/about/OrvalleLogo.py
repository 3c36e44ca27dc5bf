#!/usr/bin/env python3
"""Draws the Orvalle logo shown on the About form: OrvalleLogo.bmp, 100 x 100
pixels, 8 bits per pixel with a 256-colour palette, uncompressed.

A sky-blue disc with a gold rim holds a valley between two green hills under
a sun; a white ring, the "O" of Orvalle, lies over it all. Outside the disc
the picture is pure white, the colour the form treats as transparent (the
colour of the bottom-left pixel); pure white is kept for that alone, and the
ring is drawn in a white a shade off it, so that it stays on the form.

Run it from anywhere; it writes the picture next to itself:
    python3 src/about/OrvalleLogo.py
"""

import math
import os
import struct

SIZE = 100
SAMPLES = 4  # supersampling per axis, for smooth edges

# The palette: a 6 x 7 x 6 colour cube (252 colours), three greys and the
# ring's white; index 0 is pure white, the transparent colour, which only
# the pixels wholly outside the disc get.
R_LEVELS, G_LEVELS, B_LEVELS = 6, 7, 6
PALETTE = [(255, 255, 255)]
for r in range(R_LEVELS):
    for g in range(G_LEVELS):
        for b in range(B_LEVELS):
            colour = (round(r * 255 / (R_LEVELS - 1)), round(g * 255 / (G_LEVELS - 1)), round(b * 255 / (B_LEVELS - 1)))
            if colour != (255, 255, 255):
                PALETTE.append(colour)
RING_WHITE = (248, 248, 248)
for grey in (64, 128, 192):
    PALETTE.append((grey, grey, grey))
PALETTE.append(RING_WHITE)
assert len(PALETTE) == 256


def mix(a, b, t):
    return tuple(a[i] + (b[i] - a[i]) * t for i in range(3))


def colour_at(x, y):
    """The logo's colour at a point of the 100 x 100 square (y downwards)."""
    cx, cy = 50.0, 50.0
    d = math.hypot(x - cx, y - cy)
    if d > 48.5:
        return (255, 255, 255)
    if d > 45.0:  # the gold rim
        return mix((250, 204, 60), (196, 140, 20), (y / SIZE))
    # sky: deep blue at the top to pale azure at the horizon
    colour = mix((20, 50, 140), (150, 210, 250), min(1.0, y / 70.0))
    # the sun, low above the valley
    if math.hypot(x - 50, y - 58) < 9:
        colour = (255, 214, 70)
    # two hills and the valley between them
    left_hill = 64 - 18 * math.exp(-((x - 24) / 16.0) ** 2)
    right_hill = 64 - 22 * math.exp(-((x - 78) / 15.0) ** 2)
    if y > left_hill:
        colour = mix((90, 180, 70), (30, 100, 40), min(1.0, (y - left_hill) / 30.0))
    if y > right_hill:
        colour = mix((60, 150, 60), (20, 80, 30), min(1.0, (y - right_hill) / 30.0))
    # the river running down the valley's floor
    river = 50 + 10 * math.sin((y - 60) / 9.0)
    if y > 62 and abs(x - river) < 1.5 + (y - 62) / 8.0:
        colour = (120, 200, 240)
    # the white "O" with a thin dark outline
    if 25.5 <= d <= 37.5:
        colour = RING_WHITE if 27.0 <= d <= 36.0 else (20, 40, 90)
    return colour


def nearest(colour):
    """The palette entry nearest to the colour, never the transparent one."""
    best, best_index = None, 1
    for index, p in enumerate(PALETTE[1:], start=1):
        e = (p[0] - colour[0]) ** 2 + (p[1] - colour[1]) ** 2 + (p[2] - colour[2]) ** 2
        if best is None or e < best:
            best, best_index = e, index
    return best_index


def pixels():
    rows = []
    for py in range(SIZE):
        row = []
        for px in range(SIZE):
            total = [0.0, 0.0, 0.0]
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    c = colour_at(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES)
                    for i in range(3):
                        total[i] += c[i]
            n = SAMPLES * SAMPLES
            outside = all(math.hypot(px + (sx + 0.5) / SAMPLES - 50, py + (sy + 0.5) / SAMPLES - 50) > 48.5
                          for sy in range(SAMPLES) for sx in range(SAMPLES))
            row.append(0 if outside else nearest(tuple(t / n for t in total)))
        rows.append(row)
    return rows


def bmp(rows):
    stride = (SIZE + 3) // 4 * 4
    data = bytearray()
    for row in reversed(rows):  # a BMP stores the bottom row first
        data += bytes(row) + bytes(stride - SIZE)
    palette = b"".join(struct.pack("<BBBB", b, g, r, 0) for (r, g, b) in PALETTE)
    offset = 14 + 40 + len(palette)
    header = struct.pack("<2sIHHI", b"BM", offset + len(data), 0, 0, offset)
    info = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE, 1, 8, 0, len(data), 3780, 3780, 256, 0)
    return header + info + palette + bytes(data)


if __name__ == "__main__":
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "OrvalleLogo.bmp")
    with open(target, "wb") as f:
        f.write(bmp(pixels()))
