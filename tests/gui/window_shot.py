#!/usr/bin/python3
"""Cuts a window out of an X window dump of the whole screen, saves it as PNG and checks that the
window was really drawn.

    window_shot.py SCREEN.xwd X Y WIDTH HEIGHT OUT.png [MIN_COLOURS]

The check: at least MIN_COLOURS (default 24) distinct colours in the window's area, and no colour
covering more than 97 % of it (an undrawn window is one flat colour, or the screen behind it).
Prints the count and the share of the commonest colour; exits with 1 when the check fails.
"""
import struct
import sys
import zlib


def read_xwd(path):
    """Returns (width, height, rows of RGB bytes) of a TrueColor ZPixmap dump, 24 or 32 bits a pixel."""
    with open(path, "rb") as f:
        data = f.read()
    fields = struct.unpack(">25I", data[:100])
    (header_size, version, pixmap_format, depth, width, height, _xoffset, byte_order, _unit,
     _bit_order, _pad, bits_per_pixel, bytes_per_line, visual_class, red_mask, green_mask,
     blue_mask, _bits_per_rgb, _colormap_entries, ncolors, *_rest) = fields
    if version != 7 or pixmap_format != 2 or bits_per_pixel not in (24, 32) or visual_class not in (4, 5):
        raise ValueError(f"{path}: not a 24/32-bit TrueColor ZPixmap dump (depth {depth}, "
                         f"{bits_per_pixel} bits per pixel, class {visual_class})")
    offset = header_size + ncolors * 12
    order = "<" if byte_order == 0 else ">"

    def shift_of(mask):
        return (mask & -mask).bit_length() - 1

    shifts = [shift_of(m) for m in (red_mask, green_mask, blue_mask)]
    size = bits_per_pixel // 8
    rows = []
    for y in range(height):
        line = data[offset + y * bytes_per_line: offset + y * bytes_per_line + width * size]
        if size == 4:
            pixels = struct.unpack(f"{order}{width}I", line)
        else:
            pixels = [int.from_bytes(line[i:i + 3], "little" if byte_order == 0 else "big")
                      for i in range(0, len(line), 3)]
        row = bytearray()
        for p in pixels:
            row += bytes(((p >> shifts[0]) & 0xFF, (p >> shifts[1]) & 0xFF, (p >> shifts[2]) & 0xFF))
        rows.append(bytes(row))
    return width, height, rows


def write_png(path, width, height, rows):
    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body))

    raw = b"".join(b"\x00" + row for row in rows)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n")
        f.write(chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)))
        f.write(chunk(b"IDAT", zlib.compress(raw, 9)))
        f.write(chunk(b"IEND", b""))


def main():
    if len(sys.argv) < 7:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    source, out = sys.argv[1], sys.argv[6]
    x, y, width, height = (int(v) for v in sys.argv[2:6])
    min_colours = int(sys.argv[7]) if len(sys.argv) > 7 else 24
    screen_width, screen_height, rows = read_xwd(source)
    if x < 0 or y < 0 or width <= 0 or height <= 0 or x + width > screen_width or y + height > screen_height:
        print(f"window_shot: the window {width}x{height}+{x}+{y} is not inside the "
              f"{screen_width}x{screen_height} screen", file=sys.stderr)
        return 1
    cut = [row[x * 3:(x + width) * 3] for row in rows[y:y + height]]
    write_png(out, width, height, cut)

    counts = {}
    for row in cut:
        for i in range(0, len(row), 3):
            key = row[i:i + 3]
            counts[key] = counts.get(key, 0) + 1
    commonest = max(counts.values())
    share = commonest / (width * height)
    print(f"window_shot: {out}: {width}x{height}, {len(counts)} distinct colours, "
          f"commonest covers {share:.1%}")
    if len(counts) < min_colours or share > 0.97:
        print(f"window_shot: the window does not look drawn (needs at least {min_colours} colours "
              f"and no colour over 97 %)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
