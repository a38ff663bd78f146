#!/usr/bin/python3
"""Builds the two embedded fonts from the system's packaged fonts (fonts-inter, fonts-noto-cjk).

    build_fonts.py OUT_DIR TEXT_SOURCE...

primary.otc: Inter Regular and Semi Bold, subset to Latin, punctuation and symbols, as one
OpenType collection (one family, weights 400 and 600).
cjk.otf: Noto Sans CJK SC Regular, subset to the characters of the program's texts (every
non-ASCII character of the TEXT_SOURCE files), the language names, GB 2312 level 1 (the 3755
most common Hanzi) and CJK punctuation.

Both are stored as plain OpenType (not WOFF2): the loader accepts either container, and the
same bytes then run on Windows and on compatibility layers that cannot unpack WOFF2.
"""
import os
import re
import sys

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

INTER_DIR = "/usr/share/fonts/opentype/inter"
NOTO_CJK = "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc"
NOTO_SC_INDEX = 2  # Noto Sans CJK SC inside the collection

LATIN_RANGES = [
    (0x0020, 0x024F),  # Basic Latin to Latin Extended-B
    (0x0300, 0x036F),  # combining marks
    (0x2000, 0x206F),  # general punctuation
    (0x20A0, 0x20BF),  # currency
    (0x2100, 0x214F),  # letterlike symbols
    (0x2190, 0x21FF),  # arrows
    (0x2200, 0x22FF),  # mathematical operators
    (0x2300, 0x23FF),  # technical
    (0x25A0, 0x25FF),  # geometric shapes
    (0x2713, 0x2717),  # check and cross marks
]


def subset_options():
    options = subset.Options()
    options.layout_features = ["*"]
    options.name_IDs = ["*"]
    options.name_languages = ["*"]
    options.notdef_outline = True
    options.glyph_names = False
    options.hinting = True
    return options


def subset_font(font, codepoints):
    subsetter = subset.Subsetter(subset_options())
    subsetter.populate(unicodes=sorted(codepoints))
    subsetter.subset(font)
    return font


def program_characters(paths):
    chars = set()
    literal = re.compile(r'u"((?:[^"\\]|\\.)*)"')
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for text in literal.findall(f.read()):
                chars.update(ord(c) for c in text if ord(c) > 0x7F)
    return chars


def gb2312_level1():
    chars = set()
    for high in range(0xB0, 0xD8):
        for low in range(0xA1, 0xFF):
            try:
                chars.update(ord(c) for c in bytes([high, low]).decode("gb2312"))
            except UnicodeDecodeError:
                pass
    return chars


def main():
    out_dir, sources = sys.argv[1], sys.argv[2:]
    os.makedirs(out_dir, exist_ok=True)

    latin = set()
    for first, last in LATIN_RANGES:
        latin.update(range(first, last + 1))
    collection = TTCollection()
    for weight in ("Regular", "SemiBold"):
        font = TTFont(os.path.join(INTER_DIR, f"Inter-{weight}.otf"))
        collection.fonts.append(subset_font(font, latin))
    collection.save(os.path.join(out_dir, "primary.otc"))

    cjk = set(range(0x20, 0x7F))
    cjk.update(range(0x3000, 0x3040))  # CJK symbols and punctuation
    cjk.update(range(0xFF00, 0xFF66))  # full-width forms
    cjk.update(ord(c) for c in "简体中文English")
    cjk.update(program_characters(sources))
    cjk.update(gb2312_level1())
    font = TTFont(NOTO_CJK, fontNumber=NOTO_SC_INDEX)
    subset_font(font, cjk).save(os.path.join(out_dir, "cjk.otf"))


if __name__ == "__main__":
    main()
