#!/usr/bin/python3
"""Prepares the country flags of the flag-icons package for embedding.

    build_flags.py TARBALL INTEGRITY OUT_DIR RSVG_CONVERT

Checks the tarball against the pinned integrity (npm's "sha512-<base64>" form), takes every
flags/4x3/<two letters>.svg (viewBox 0 0 640 480) and writes OUT_DIR/flags/<id>.svg with
id = 1000 + 26 * (c1 - 'a') + (c2 - 'a'), the package's licence as OUT_DIR/flags/LICENSE, and
OUT_DIR/flags.rc binding them as RCDATA (licence id 1680).

Each kept flag also gets PNG twins for backends without SVG, rendered by RSVG_CONVERT from the
prepared file at the heights of a 19-DIP flag at 100 %, 150 %, 200 % and 300 % (aspect kept):
ids id + 1000 * (k + 1) for scale k, i.e. 2000-2675 to 5000-5675 (ui/flags.h reads the same
table).

Each file is made fit for Direct2D's SVG subset: <marker> use is expanded into plain copies of
the marker's content at the path's vertices, editor-only attributes are dropped, and a file that
still uses an element or reference the subset lacks (text, mask, pattern, filter, image, style
sheets) is left out with a note.
"""
import base64
import concurrent.futures
import copy
import hashlib
import io
import os
import re
import subprocess
import sys
import tarfile
import xml.etree.ElementTree as ET

SVG = "http://www.w3.org/2000/svg"
XLINK = "http://www.w3.org/1999/xlink"
ET.register_namespace("", SVG)
ET.register_namespace("xlink", XLINK)

UNSUPPORTED = {"text", "tspan", "textPath", "mask", "pattern", "filter", "image", "foreignObject", "style",
               "switch", "symbol", "marker"}
UNSUPPORTED_REFERENCES = {"mask", "filter"}
EDITOR_ATTRIBUTES = {"class", "aria-label", "{http://www.w3.org/XML/1998/namespace}space"}
EDITOR_NAMESPACES = ("{http://www.inkscape.org/namespaces/inkscape}",
                     "{http://sodipodi.sourceforge.net/DTD/sodipodi-0.dtd}",
                     "{http://www.bohemiancoding.com/sketch/ns}")
MARKER_ATTRIBUTES = ("marker-start", "marker-mid", "marker-end")
LICENCE_ID = 1680
# Twin heights in pixels: round-half-up of 19 DIPs at 100 %, 150 %, 200 % and 300 %.
TWIN_HEIGHTS = (19, 29, 38, 57)
# Codes the program's lookup never asks for (its code function maps them to another id).
UNREACHABLE = {"tw"}


class Rejected(Exception):
    pass


def local(tag):
    return tag.rsplit("}", 1)[-1]


def path_vertices(d):
    """Vertices of a path made of straight segments (M, L, H, V, Z and their relative forms)."""
    tokens = re.findall(r"[MmLlHhVvZzCcSsQqTtAa]|-?(?:\d+\.?\d*|\.\d+)(?:[eE][-+]?\d+)?", d)
    vertices, x, y, start, command, i = [], 0.0, 0.0, (0.0, 0.0), None, 0
    while i < len(tokens):
        t = tokens[i]
        if re.match(r"[A-Za-z]", t):
            command = t
            i += 1
            if command in "Zz":
                x, y = start
                vertices.append((x, y))
                continue
            if command not in "MmLlHhVv":
                raise Rejected(f"marker on a curved path segment ({command})")
            continue
        if command is None:
            raise Rejected("path data starts with a number")
        if command in "MmLl":
            dx, dy = float(tokens[i]), float(tokens[i + 1])
            i += 2
            if command in "ml":
                x, y = x + dx, y + dy
            else:
                x, y = dx, dy
            if command in "Mm":
                start = (x, y)
                command = "l" if command == "m" else "L"  # further pairs are line-tos
        elif command in "Hh":
            v = float(tokens[i])
            i += 1
            x = x + v if command == "h" else v
        elif command in "Vv":
            v = float(tokens[i])
            i += 1
            y = y + v if command == "v" else v
        vertices.append((x, y))
    return vertices


def number(text, default=0.0):
    try:
        return float(text) if text is not None else default
    except ValueError:
        raise Rejected(f"not a number: {text}")


def expand_markers(root):
    markers = {m.get("id"): m for m in root.iter(f"{{{SVG}}}marker")}
    parents = {child: parent for parent in root.iter() for child in parent}
    for element in list(root.iter()):
        used = [(a, element.get(a)) for a in MARKER_ATTRIBUTES if element.get(a)]
        if not used:
            continue
        if local(element.tag) != "path":
            raise Rejected(f"marker on <{local(element.tag)}>")
        vertices = path_vertices(element.get("d", ""))
        group = ET.Element(f"{{{SVG}}}g")
        for attribute, value in used:
            match = re.fullmatch(r"url\(#([^)]+)\)", value.strip())
            if not match or match.group(1) not in markers:
                raise Rejected(f"{attribute} refers to no marker: {value}")
            marker = markers[match.group(1)]
            if marker.get("orient", "0") not in ("0", "0deg"):
                raise Rejected("rotated marker")
            scale = 1.0
            if marker.get("markerUnits", "strokeWidth") == "strokeWidth":
                scale = number(element.get("stroke-width"), 1.0)
            ref_x, ref_y = number(marker.get("refX")), number(marker.get("refY"))
            if attribute == "marker-start":
                places = vertices[:1]
            elif attribute == "marker-end":
                places = vertices[-1:]
            else:
                places = vertices[1:-1]
            for vx, vy in places:
                copy_group = ET.SubElement(group, f"{{{SVG}}}g")
                copy_group.set("transform", f"translate({vx - ref_x * scale:g} {vy - ref_y * scale:g})"
                               + (f" scale({scale:g})" if scale != 1.0 else ""))
                for child in marker:
                    copy_group.append(copy.deepcopy(child))
            del element.attrib[attribute]
        parent = parents[element]
        parent.insert(list(parent).index(element) + 1, group)
    for marker in markers.values():
        parents[marker].remove(marker)


def clean(root):
    for element in root.iter():
        for name in list(element.attrib):
            if name in EDITOR_ATTRIBUTES or name.startswith(EDITOR_NAMESPACES) or name.startswith("data-"):
                del element.attrib[name]


def check(root):
    for element in root.iter():
        name = local(element.tag)
        if name in UNSUPPORTED:
            raise Rejected(f"<{name}> is outside the supported subset")
        for attribute in UNSUPPORTED_REFERENCES:
            if element.get(attribute):
                raise Rejected(f"{attribute}= is outside the supported subset")
    if root.get("viewBox") != "0 0 640 480":
        raise Rejected(f"view box {root.get('viewBox')}")


def prepare(data):
    root = ET.fromstring(data)
    if root.tag != f"{{{SVG}}}svg":
        raise Rejected("not an SVG document")
    expand_markers(root)
    clean(root)
    check(root)
    return ET.tostring(root, encoding="utf-8", xml_declaration=False)


def twin_id(number_id, scale_index):
    return number_id + 1000 * (scale_index + 1)


def render_twins(rsvg, jobs):
    """jobs: (svg path, png path, height); two renderers at a time."""
    def render(job):
        svg, png, height = job
        result = subprocess.run([rsvg, "-h", str(height), "-a", "-o", png, svg], capture_output=True, text=True)
        if result.returncode != 0 or not os.path.getsize(png):
            sys.exit(f"build_flags.py: {rsvg} failed on {svg}: {result.stderr.strip()}")
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        list(pool.map(render, jobs))


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    tarball, integrity, out, rsvg = sys.argv[1:]
    raw = open(tarball, "rb").read()
    actual = "sha512-" + base64.b64encode(hashlib.sha512(raw).digest()).decode()
    if actual != integrity:
        sys.exit(f"build_flags.py: {tarball} has integrity {actual}, expected {integrity}")
    os.makedirs(os.path.join(out, "flags"), exist_ok=True)
    lines = ["// Generated by resources/flags/build_flags.py.\n"]
    kept, left_out, twins = 0, [], []
    with tarfile.open(fileobj=io.BytesIO(raw), mode="r:gz") as archive:
        licence = archive.extractfile("package/LICENSE").read()
        licence_path = os.path.join(out, "flags", "LICENSE")
        open(licence_path, "wb").write(licence)
        names = sorted(m.name for m in archive.getmembers()
                       if re.fullmatch(r"package/flags/4x3/[a-z]{2}\.svg", m.name))
        for name in names:
            code = name[-6:-4]
            if code in UNREACHABLE:
                left_out.append(f"{code}: its code maps to another flag's id")
                continue
            number_id = 1000 + 26 * (ord(code[0]) - 97) + (ord(code[1]) - 97)
            try:
                body = prepare(archive.extractfile(name).read())
            except (Rejected, ET.ParseError) as error:
                left_out.append(f"{code}: {error}")
                continue
            path = os.path.join(out, "flags", f"{number_id}.svg")
            open(path, "wb").write(body)
            lines.append(f'{number_id} RCDATA "{path}"\n')
            for k, height in enumerate(TWIN_HEIGHTS):
                png = os.path.join(out, "flags", f"{twin_id(number_id, k)}.png")
                twins.append((path, png, height))
                lines.append(f'{twin_id(number_id, k)} RCDATA "{png}"\n')
            kept += 1
    render_twins(rsvg, twins)
    lines.append(f'{LICENCE_ID} RCDATA "{licence_path}"\n')
    open(os.path.join(out, "flags.rc"), "w").writelines(lines)
    for note in left_out:
        print(f"build_flags.py: left out {note}")
    print(f"build_flags.py: {kept} flags, {len(twins)} PNG twins")


if __name__ == "__main__":
    main()
