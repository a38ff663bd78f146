#!/usr/bin/env python3
"""Fails when a binary holds any of the given texts in plain form, as UTF-8 or as UTF-16LE.

Every occurrence of every text is reported (encoding and file offset), not only the first.
With --must-find it checks the scanner instead: it fails unless every text is found.
Usage: scan_binary.py [--must-find] BINARY TEXT [TEXT ...]
"""
import sys


def occurrences(data, needle):
    at = data.find(needle)
    while at != -1:
        yield at
        at = data.find(needle, at + 1)


def main():
    args = sys.argv[1:]
    must_find = bool(args) and args[0] == '--must-find'
    if must_find:
        args = args[1:]
    if len(args) < 2:
        sys.exit(__doc__)
    path, texts = args[0], args[1:]
    with open(path, 'rb') as f:
        data = f.read()
    found = []
    missing = []
    for text in texts:
        hits = []
        for encoding in ('utf-8', 'utf-16-le'):
            for at in occurrences(data, text.encode(encoding)):
                hits.append('%r as %s at 0x%x' % (text, encoding, at))
        found += hits
        if not hits:
            missing.append(text)
    if must_find:
        if missing:
            sys.exit('the scanner missed plain texts in %s: %s' % (path, ', '.join(missing)))
        print('the scanner found all %d plain texts' % len(texts))
        return
    if found:
        print('plain literals in %s:' % path)
        for line in found:
            print('  ' + line)
        sys.exit(1)
    print('no plain literals among %d texts in %s' % (len(texts), path))


if __name__ == '__main__':
    main()
