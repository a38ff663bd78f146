#!/usr/bin/python3
"""Renders the program's PNG icons from the shape lists below (drawn for this program).

    make_icons.py OUT_DIR

Each icon is a 56 x 56 pixel RGBA image (14 or 28 DIPs at up to 400 % / 200 % scale), drawn as
round-capped strokes and discs with 4 x 4 supersampling, and written as an 8-bit RGBA PNG.
"""
import math
import os
import struct
import sys
import zlib

SIZE = 56
SAMPLES = 4
INK = (236, 242, 239)     # primary text colour
ACCENT = (80, 190, 157)   # accent colour


def segment_distance(px, py, ax, ay, bx, by):
    dx, dy = bx - ax, by - ay
    length2 = dx * dx + dy * dy
    t = 0.0 if length2 == 0 else max(0.0, min(1.0, ((px - ax) * dx + (py - ay) * dy) / length2))
    cx, cy = ax + t * dx, ay + t * dy
    return math.hypot(px - cx, py - cy)


def covered(shapes, x, y):
    """Colour of the topmost shape covering the point (in 0..1 icon units), or None."""
    hit = None
    for shape in shapes:
        kind, colour = shape[0], shape[-1]
        if kind == "line":
            _, (ax, ay), (bx, by), width, _ = shape
            inside = segment_distance(x, y, ax, ay, bx, by) <= width / 2
        elif kind == "disc":
            _, (cx, cy), r, _ = shape
            inside = math.hypot(x - cx, y - cy) <= r
        elif kind == "ring":
            _, (cx, cy), r, width, _ = shape
            inside = abs(math.hypot(x - cx, y - cy) - r) <= width / 2
        elif kind == "arc":  # ring limited to angles [a0, a1] in degrees, clockwise from +x
            _, (cx, cy), r, width, a0, a1, _ = shape
            angle = math.degrees(math.atan2(y - cy, x - cx)) % 360
            inside = abs(math.hypot(x - cx, y - cy) - r) <= width / 2 and a0 <= angle <= a1
        else:
            raise ValueError(kind)
        if inside:
            hit = colour
    return hit


def render(shapes):
    rows = []
    for py in range(SIZE):
        row = bytearray([0])  # filter: none
        for px in range(SIZE):
            total = [0, 0, 0]
            count = 0
            for sy in range(SAMPLES):
                for sx in range(SAMPLES):
                    x = (px + (sx + 0.5) / SAMPLES) / SIZE
                    y = (py + (sy + 0.5) / SAMPLES) / SIZE
                    colour = covered(shapes, x, y)
                    if colour is not None:
                        count += 1
                        for i in range(3):
                            total[i] += colour[i]
            if count:
                row += bytes([round(total[i] / count) for i in range(3)] + [round(255 * count / SAMPLES ** 2)])
            else:
                row += bytes(4)
        rows.append(bytes(row))
    return b"".join(rows)


def write_png(path, pixels):
    def chunk(tag, data):
        body = tag + data
        return struct.pack(">I", len(data)) + body + struct.pack(">I", zlib.crc32(body) & 0xFFFFFFFF)

    header = struct.pack(">IIBBBBB", SIZE, SIZE, 8, 6, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(pixels, 9)) + chunk(b"IEND", b""))


def gear():
    shapes = [("ring", (0.5, 0.5), 0.22, 0.11, INK), ("disc", (0.5, 0.5), 0.07, INK)]
    for k in range(8):
        a = math.radians(k * 45)
        shapes.append(("line", (0.5 + 0.27 * math.cos(a), 0.5 + 0.27 * math.sin(a)),
                       (0.5 + 0.38 * math.cos(a), 0.5 + 0.38 * math.sin(a)), 0.12, INK))
    return shapes


ICONS = {
    # 110: the program's mark, a ring with a node in the accent colour.
    110: [("ring", (0.5, 0.5), 0.36, 0.12, ACCENT), ("disc", (0.5, 0.5), 0.14, ACCENT)],
    # 111: minimise.
    111: [("line", (0.3, 0.5), (0.7, 0.5), 0.07, INK)],
    # 112: close.
    112: [("line", (0.32, 0.32), (0.68, 0.68), 0.07, INK), ("line", (0.68, 0.32), (0.32, 0.68), 0.07, INK)],
    # 120: settings.
    120: gear(),
}


def main():
    out_dir = sys.argv[1]
    os.makedirs(out_dir, exist_ok=True)
    for number, shapes in ICONS.items():
        write_png(os.path.join(out_dir, f"icon_{number}.png"), render(shapes))


if __name__ == "__main__":
    main()
