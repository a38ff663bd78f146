#!/usr/bin/python3
"""Builds the three embedded fonts from the system's packaged fonts (fonts-inter, fonts-noto-cjk,
fonts-noto-core).

    build_fonts.py OUT_DIR TEXT_SOURCE...

primary.otc: Inter Regular and Semi Bold, subset to Latin (with Vietnamese), Greek, Cyrillic,
punctuation and symbols, as one OpenType collection (one family, weights 400 and 600).
cjk.otf: Noto Sans CJK SC Regular, subset to the characters of the program's texts (every
non-ASCII character of the TEXT_SOURCE files), the language names, GB 2312 level 1 (the 3755
most common simplified Hanzi), Big5 level 1 (the 5401 traditional characters in common use),
JIS X 0208 level 1 (the 2965 common Kanji), kana, the 2350 Hangul syllables of KS X 1001 with
the compatibility Jamo, CJK punctuation and the full- and half-width forms.
arabic.otf: Noto Sans Arabic Regular, subset to the Arabic blocks (Persian and Urdu letters and
digits included) and their presentation forms, with the joiners the script needs.

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
NOTO_ARABIC = "/usr/share/fonts/truetype/noto/NotoSansArabic-Regular.ttf"

LATIN_RANGES = [
    (0x0020, 0x024F),  # Basic Latin to Latin Extended-B
    (0x0300, 0x036F),  # combining marks
    (0x0370, 0x03FF),  # Greek and Coptic
    (0x0400, 0x052F),  # Cyrillic and its supplement
    (0x1E00, 0x1EFF),  # Latin Extended Additional (Vietnamese)
    (0x1F00, 0x1FFF),  # Greek Extended
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


def double_byte_set(codec, highs, lows=range(0xA1, 0xFF)):
    """The characters of a double-byte character set's rows `highs` (lead bytes)."""
    chars = set()
    for high in highs:
        for low in lows:
            try:
                chars.update(ord(c) for c in bytes([high, low]).decode(codec))
            except UnicodeDecodeError:
                pass
    return chars


def gb2312_level1():
    return double_byte_set("gb2312", range(0xB0, 0xD8))


def big5_level1():
    # Lead bytes 0xA4-0xC6 (0xC6 up to 0x7E); trail bytes 0x40-0x7E and 0xA1-0xFE.
    trails = list(range(0x40, 0x7F)) + list(range(0xA1, 0xFF))
    chars = double_byte_set("big5", range(0xA4, 0xC6), trails)
    chars.update(double_byte_set("big5", [0xC6], range(0x40, 0x7F)))
    return chars


def jis_level1():
    return double_byte_set("euc_jp", range(0xB0, 0xD0))


def ksx1001_hangul():
    return double_byte_set("euc_kr", range(0xB0, 0xC9))


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
    cjk.update(range(0x3040, 0x3100))  # Hiragana and Katakana
    cjk.update(range(0x3130, 0x3190))  # Hangul compatibility Jamo
    cjk.update(range(0x31F0, 0x3200))  # Katakana phonetic extensions
    cjk.update(range(0xFF00, 0xFFF0))  # full- and half-width forms
    cjk.update(ord(c) for c in "简体中文English")
    cjk.update(program_characters(sources))
    cjk.update(gb2312_level1())
    cjk.update(big5_level1())
    cjk.update(jis_level1())
    cjk.update(ksx1001_hangul())
    font = TTFont(NOTO_CJK, fontNumber=NOTO_SC_INDEX)
    subset_font(font, cjk).save(os.path.join(out_dir, "cjk.otf"))

    arabic = set(range(0x0600, 0x0700))  # Arabic, with the Persian and Urdu letters and digits
    arabic.update(range(0x0750, 0x0780))  # Arabic Supplement
    arabic.update(range(0x08A0, 0x0900))  # Arabic Extended-A
    arabic.update(range(0xFB50, 0xFE00))  # presentation forms A
    arabic.update(range(0xFE70, 0xFF00))  # presentation forms B
    arabic.update(range(0x200C, 0x2010))  # zero-width non-joiner and joiner, direction marks
    arabic.update(range(0x20, 0x7F))
    subset_font(TTFont(NOTO_ARABIC), arabic).save(os.path.join(out_dir, "arabic.otf"))


if __name__ == "__main__":
    main()
