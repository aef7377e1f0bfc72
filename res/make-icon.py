#!/usr/bin/env python3
"""Draws the application icon (one 32 x 32 image, 32 bits per pixel) and writes it as an .ico.

The picture: a blue rounded square with a white arrow pointing down onto a bar, "put onto the
device". Run it again after changing the drawing: python3 res/make-icon.py res/KestroUpdate.ico
"""
import struct
import sys

SIZE = 32
SAMPLES = 4  # supersampling per axis, for smooth edges


def inside_rounded_square(x, y):
    left, top, right, bottom, radius = 1.0, 1.0, 31.0, 31.0, 6.0
    if not (left <= x <= right and top <= y <= bottom):
        return False
    cx = min(max(x, left + radius), right - radius)
    cy = min(max(y, top + radius), bottom - radius)
    return (x - cx) ** 2 + (y - cy) ** 2 <= radius ** 2


def inside_arrow(x, y):
    if 13.0 <= x <= 19.0 and 5.0 <= y <= 16.0:  # shaft
        return True
    if 14.0 <= y <= 23.0:  # head: a triangle from y 14 (full width) down to its point at y 23
        half = (23.0 - y) * (9.5 / 9.0)
        return abs(x - 16.0) <= half
    return False


def inside_bar(x, y):
    return 7.0 <= x <= 25.0 and 25.0 <= y <= 27.5


def coverage(test, px, py):
    hits = 0
    for sy in range(SAMPLES):
        for sx in range(SAMPLES):
            if test(px + (sx + 0.5) / SAMPLES, py + (sy + 0.5) / SAMPLES):
                hits += 1
    return hits / (SAMPLES * SAMPLES)


def pixel(px, py):
    body = coverage(inside_rounded_square, px, py)
    if body == 0:
        return (0, 0, 0, 0)
    t = py / (SIZE - 1)  # vertical gradient, lighter at the top
    blue = (int(0x2A + (0x16 - 0x2A) * t), int(0x7F + (0x4A - 0x7F) * t),
            int(0xE8 + (0xA8 - 0xE8) * t))
    glyph = max(coverage(inside_arrow, px, py), coverage(inside_bar, px, py))
    rgb = tuple(int(c + (255 - c) * glyph) for c in blue)
    return rgb + (int(round(255 * body)),)


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "KestroUpdate.ico"
    rows = [[pixel(x, y) for x in range(SIZE)] for y in range(SIZE)]
    xor = bytearray()
    for row in reversed(rows):  # bottom-up
        for r, g, b, a in row:
            xor += bytes((b, g, r, a))
    mask = bytearray()
    for row in reversed(rows):  # 1 = transparent, for renderers that ignore alpha
        bits = 0
        for x, (_, _, _, a) in enumerate(row):
            if a == 0:
                bits |= 1 << (31 - x)
        mask += struct.pack(">I", bits)
    header = struct.pack("<IiiHHIIiiII", 40, SIZE, SIZE * 2, 1, 32, 0, len(xor) + len(mask), 0,
                         0, 0, 0)
    image = header + xor + mask
    icondir = struct.pack("<HHH", 0, 1, 1)
    entry = struct.pack("<BBBBHHII", SIZE, SIZE, 0, 0, 1, 32, len(image), 6 + 16)
    with open(out, "wb") as f:
        f.write(icondir + entry + image)


if __name__ == "__main__":
    main()
