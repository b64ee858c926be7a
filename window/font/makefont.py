#!/usr/bin/env python3
"""Cuts the window's own face out of an installed CJK font.

    makefont.py --font FILE --family NAME --output FONT --licence-template IN
                --licence-output OUT [--source-family NAME] [--list CHARS] SOURCE...

Takes every character of the string literals in the SOURCE files (the text module's sources: captions, list
items, start-up texts and notes), the printable ASCII characters and Latin-1, and keeps only their
glyphs of the face --source-family in FILE (a font collection is searched for that face). The
copy is renamed to --family, so that it can never be taken for the font it was cut from, and
written as OpenType to FONT. The licence notice for the package is written from the template,
with the source font's copyright, licence and version filled in. --list also writes the
characters kept, one line.

The subsetting is fontTools' own (the code behind pyftsubset), with its default layout
features and the font's hinting kept, so that the copy draws exactly as the source face does.
"""

import argparse
import re
import sys

from fontTools import subset
from fontTools.ttLib import TTCollection, TTFont

# A C++ string literal, with or without an encoding prefix; escapes are kept as written.
LITERAL = re.compile(r'"((?:[^"\\\n]|\\.)*)"')

# Name records renamed in the copy: family, unique id, full name, PostScript name, typographic
# family, and the typographic and WWS family where present.
FAMILY_IDS = (1, 16, 21)


def literal_text(paths):
    text = set()
    for path in paths:
        with open(path, encoding="utf-8") as f:
            for body in LITERAL.findall(f.read()):
                text.update(ch for ch in body if ch != "\\" and ord(ch) >= 0x20)
    return text


def name_of(font, name_id):
    record = font["name"].getName(name_id, 3, 1, 0x409) or font["name"].getName(name_id, 1, 0, 0)
    return record.toUnicode() if record else ""


def open_face(path, family):
    """The face named family in path (a collection or a single font), and its index."""
    try:
        collection = TTCollection(path, lazy=True)
        faces = list(collection.fonts)
    except Exception:  # not a collection
        faces = [TTFont(path, lazy=True)]
    for index, face in enumerate(faces):
        names = {name_of(face, 16), name_of(face, 1)}
        if family in names and name_of(face, 2) in ("Regular", ""):
            return TTFont(path, fontNumber=index if len(faces) > 1 else -1), index
    found = ", ".join(sorted({name_of(f, 1) for f in faces}))
    sys.exit(f"makefont.py: {path} has no regular face {family!r} (it has {found})")


def rename(font, family):
    postscript = re.sub(r"[^A-Za-z0-9]", "", family) + "-Regular"
    table = font["name"]
    for record in list(table.names):
        if record.nameID in FAMILY_IDS:
            table.setName(family, record.nameID, record.platformID, record.platEncID, record.langID)
        elif record.nameID == 3:
            table.setName(postscript, 3, record.platformID, record.platEncID, record.langID)
        elif record.nameID == 4:
            table.setName(family, 4, record.platformID, record.platEncID, record.langID)
        elif record.nameID == 6:
            table.setName(postscript, 6, record.platformID, record.platEncID, record.langID)
        elif record.nameID == 17:
            table.setName("Regular", 17, record.platformID, record.platEncID, record.langID)
    # Only the Windows and Mac English names are needed; names in other languages would still
    # carry the source font's family.
    table.names = [r for r in table.names if r.langID in (0x409, 0)]
    if "CFF " in font:
        cff = font["CFF "].cff
        cff.fontNames = [postscript]
        top = cff.topDictIndex[0]
        for key in ("FamilyName", "FullName"):
            if hasattr(top, key):
                setattr(top, key, family)
        # A CID-keyed font names its sub-fonts after the source too.
        for fd in getattr(top, "FDArray", []) or []:
            if hasattr(fd, "FontName"):
                fd.FontName = re.sub(r"^[^-]*", postscript.split("-")[0], fd.FontName)


def main():
    p = argparse.ArgumentParser(description="Cuts the window's face out of an installed font.")
    p.add_argument("--font", required=True)
    p.add_argument("--source-family", default="Noto Serif CJK SC")
    p.add_argument("--family", required=True)
    p.add_argument("--output", required=True)
    p.add_argument("--licence-template", required=True)
    p.add_argument("--licence-output", required=True)
    p.add_argument("--list")
    p.add_argument("sources", nargs="+")
    a = p.parse_args()

    # Printable ASCII and Latin-1 besides the window's texts: with Latin-1, fontconfig counts
    # the face as one for English, and Qt then draws every script of a text with one engine per
    # size instead of one for each script.
    text = literal_text(a.sources) | {chr(c) for c in [*range(0x20, 0x7F), *range(0xA0, 0x100)]}
    font, _ = open_face(a.font, a.source_family)
    source = {
        "SOURCE_FULL_NAME": name_of(font, 4),
        "SOURCE_VERSION": name_of(font, 5),
        "SOURCE_COPYRIGHT": name_of(font, 0),
        "SOURCE_LICENSE": name_of(font, 13),
        "SOURCE_LICENSE_URL": name_of(font, 14),
        "FAMILY": a.family,
    }
    missing = sorted(ch for ch in text if ord(ch) not in font.getBestCmap())
    if missing:
        sys.exit(f"makefont.py: {a.source_family} lacks {''.join(missing)!r}")

    options = subset.Options()
    options.name_IDs = [0, 1, 2, 3, 4, 5, 6, 13, 14]
    options.name_languages = [0x409, 0]
    options.notdef_outline = True
    subsetter = subset.Subsetter(options)
    subsetter.populate(text="".join(sorted(text)))
    subsetter.subset(font)
    rename(font, a.family)
    font.save(a.output)

    with open(a.licence_template, encoding="utf-8") as f:
        licence = f.read()
    for key, value in source.items():
        licence = licence.replace(f"@{key}@", value)
    with open(a.licence_output, "w", encoding="utf-8") as f:
        f.write(licence)
    if a.list:
        with open(a.list, "w", encoding="utf-8") as f:
            f.write("".join(sorted(text)) + "\n")


if __name__ == "__main__":
    main()
