#!/usr/bin/python3
"""Compares a screenshot of the gallery with its committed reference.

    compare_screenshot.py CHECKS.json SHOT_NAME REFERENCE.png ACTUAL.png OUT_DIR

Checks, from CHECKS.json (common entries plus those of SHOT_NAME):
  probes      exact colour at points of flat fills (actual and reference must both match)
  text_boxes  regions holding text or icons: the bounding box of the ink (pixels that differ
              from the region's background) must agree with the reference within 2 pixels
  elsewhere   pixels must equal the reference; pixels on an edge of the reference (their 3 x 3
              neighbourhood is not uniform) may differ by `edge_tolerance` per channel
On a mismatch it writes OUT_DIR/SHOT_NAME.actual.png and OUT_DIR/SHOT_NAME.diff.png (mismatches in
red over a dimmed reference) and exits with 1.
"""
import json
import os
import struct
import sys
import zlib


def read_png(path):
    with open(path, "rb") as f:
        data = f.read()
    if data[:8] != b"\x89PNG\r\n\x1a\n":
        raise ValueError(f"{path}: not a PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, tag = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        pos += 12 + length
        if tag == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif tag == b"IDAT":
            idat += body
        elif tag == b"IEND":
            break
    width, height, depth, colour_type, _, _, interlace = header
    channels = {2: 3, 6: 4}.get(colour_type)
    if depth != 8 or channels is None or interlace:
        raise ValueError(f"{path}: only 8-bit RGB/RGBA non-interlaced PNG is supported")
    raw = zlib.decompress(idat)
    stride = width * channels
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, line = raw[pos], bytearray(raw[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        for i in range(stride):
            a = line[i - channels] if i >= channels else 0
            b = prev[i]
            c = prev[i - channels] if i >= channels else 0
            if kind == 1:
                line[i] = (line[i] + a) & 0xFF
            elif kind == 2:
                line[i] = (line[i] + b) & 0xFF
            elif kind == 3:
                line[i] = (line[i] + (a + b) // 2) & 0xFF
            elif kind == 4:
                p = a + b - c
                pa, pb, pc = abs(p - a), abs(p - b), abs(p - c)
                line[i] = (line[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 0xFF
        rows.append([tuple(line[x * channels:x * channels + 3]) for x in range(width)])
        prev = line
    return width, height, rows


def write_png(path, rows):
    height, width = len(rows), len(rows[0])
    raw = b"".join(b"\x00" + bytes(v for px in row for v in px) for row in rows)

    def chunk(tag, body):
        return struct.pack(">I", len(body)) + tag + body + struct.pack(">I", zlib.crc32(tag + body) & 0xFFFFFFFF)

    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0))
                + chunk(b"IDAT", zlib.compress(raw, 6)) + chunk(b"IEND", b""))


def differs(p, q, tolerance=0):
    return max(abs(p[i] - q[i]) for i in range(3)) > tolerance


def ink_box(rows, region, background):
    x0, y0, w, h = region
    box = None
    for y in range(y0, y0 + h):
        for x in range(x0, x0 + w):
            if differs(rows[y][x], background, 40):
                box = [x, y, x, y] if box is None else [min(box[0], x), min(box[1], y), max(box[2], x), max(box[3], y)]
    return box


def main():
    checks_path, shot, reference_path, actual_path, out_dir = sys.argv[1:6]
    with open(checks_path) as f:
        checks = json.load(f)
    specific = checks.get("shots", {}).get(shot, {})
    probes = checks.get("probes", []) + specific.get("probes", [])
    text_boxes = checks.get("text_boxes", []) + specific.get("text_boxes", [])
    tolerance = checks.get("edge_tolerance", 48)

    rw, rh, ref = read_png(reference_path)
    aw, ah, act = read_png(actual_path)
    failures = []
    if (rw, rh) != (aw, ah):
        failures.append(f"size {aw}x{ah}, reference {rw}x{rh}")
    else:
        mismatch = set()
        for probe in probes:
            x, y = probe["at"]
            want = tuple(probe["rgb"])
            if act[y][x] != want or ref[y][x] != want:
                failures.append(f"probe {probe['what']} at ({x}, {y}): actual {act[y][x]}, reference {ref[y][x]}, "
                                f"expected {want}")
                mismatch.add((x, y))
        in_text = [[False] * rw for _ in range(rh)]
        for box in text_boxes:
            x0, y0, w, h = box["region"]
            for y in range(y0, y0 + h):
                for x in range(x0, x0 + w):
                    in_text[y][x] = True
            want_box = ink_box(ref, box["region"], tuple(box["background"]))
            got_box = ink_box(act, box["region"], tuple(box["background"]))
            if want_box is None or got_box is None:
                if want_box != got_box:
                    failures.append(f"text {box['what']}: ink {got_box}, reference {want_box}")
                    mismatch.update((x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w))
            elif max(abs(a - b) for a, b in zip(want_box, got_box)) > 2:
                failures.append(f"text {box['what']}: ink box {got_box}, reference {want_box}")
                mismatch.update((x, y) for y in range(y0, y0 + h) for x in range(x0, x0 + w))
        bad = 0
        for y in range(rh):
            for x in range(rw):
                if in_text[y][x] or not differs(act[y][x], ref[y][x]):
                    continue
                edge = any(differs(ref[yy][xx], ref[y][x])
                           for yy in range(max(0, y - 1), min(rh, y + 2)) for xx in range(max(0, x - 1), min(rw, x + 2)))
                if not edge or differs(act[y][x], ref[y][x], tolerance):
                    bad += 1
                    mismatch.add((x, y))
        if bad:
            failures.append(f"{bad} pixels differ from the reference outside text and beyond the edge tolerance")

    if not failures:
        print(f"{shot}: matches the reference ({len(probes)} probes, {len(text_boxes)} text boxes)")
        return 0
    os.makedirs(out_dir, exist_ok=True)
    for line in failures:
        print(f"{shot}: {line}")
    if (rw, rh) == (aw, ah):
        write_png(os.path.join(out_dir, f"{shot}.actual.png"), act)
        diff = [[(255, 0, 0) if (x, y) in mismatch else tuple(v // 3 for v in ref[y][x]) for x in range(rw)]
                for y in range(rh)]
        write_png(os.path.join(out_dir, f"{shot}.diff.png"), diff)
        print(f"{shot}: wrote {shot}.actual.png and {shot}.diff.png to {out_dir}")
    return 1


if __name__ == "__main__":
    sys.exit(main())
