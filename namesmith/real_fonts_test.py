#!/usr/bin/python3
"""End-to-end checks of namesmith on fonts installed from Debian.

fontTools is the independent reader: it supplies the table directory, the
name records and their strings, and the expected listing and patch results
are derived from what it reads.  The raw name table bytes are parsed here
only for what fontTools does not expose (string positions, record indices).

Usage: /usr/bin/python3 real_fonts_test.py [--namesmith PATH] [unittest args]
"""

import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from fontTools.ttLib import TTCollection, TTFont

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAMESMITH = os.path.join(REPO, "build", "linux", "bin", "namesmith")

FONTS = {
    "DejaVuSans": "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf",
    "DejaVuSansMono": "/usr/share/fonts/truetype/dejavu/DejaVuSansMono.ttf",
    "wqy-zenhei": "/usr/share/fonts/truetype/wqy/wqy-zenhei.ttc",
    "uming": "/usr/share/fonts/truetype/arphic/uming.ttc",
    "ipag": "/usr/share/fonts/opentype/ipafont-gothic/ipag.ttf",
}

BANNER = b"Nomenforge for Microsoft Format\n\n"
HEADING = (b"Platform must be 0x0000 or 0x0003.\n"
           b"Encoding must be 0x0001, 0x0003 or 0x000a.\n"
           b"\n"
           b"Index  Platform Encoding Language Type     Value\n")
SUCCESS = b"Quit the program successfully.\n"
NOT_DONE = b"A fatal error was detected or the name was not found.\n"
SKIPPED = b"This may be skipped.\n"
OUT_OF_TABLE = b"A value is out of the name table.\n" + SKIPPED
TOO_LONG = b"The name table length is insufficient.\n" + SKIPPED
SHARED = b"The name is shared with another record.\n" + SKIPPED

UNICODE_PLATFORMS = (0, 3)
UNICODE_ENCODINGS = (1, 3, 10)
WINDOWS_ENGLISH = 0x0409


def Run(args, cwd=None):
    env = dict(os.environ, LC_ALL="C.UTF-8")
    return subprocess.run([NAMESMITH] + list(args), cwd=cwd, env=env,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)


# ---------------------------------------------------------------------------
# Reading fonts

class Record:
    """One name record: fields from the raw table, string from fontTools."""

    def __init__(self, index, fields, length, position, in_range):
        self.index = index
        self.platform, self.encoding, self.language, self.name_id = fields
        self.fields = fields
        self.length = length
        self.position = position
        self.in_range = in_range
        self.string = None  # bytes as fontTools read them; None if skipped


class Font:
    def __init__(self, index, table_offset, table_length, table, records):
        self.index = index
        self.table_offset = table_offset
        self.table_length = table_length
        self.table = table
        self.records = records


def ParseRecords(table):
    """Record headers of a format 0 name table, in stored order."""
    count, storage = struct.unpack_from(">HH", table, 2)
    records = []
    for k in range(count):
        p, e, lang, nid, length, offset = struct.unpack_from(">6H", table,
                                                             6 + 12 * k)
        position = storage + offset
        records.append(Record(k, (p, e, lang, nid), length, position,
                              position + length <= len(table)))
    return records


def OpenFonts(path):
    with open(path, "rb") as f:
        tag = f.read(4)
    if tag == b"ttcf":
        return TTCollection(path, lazy=True).fonts
    return [TTFont(path, lazy=True)]


def ReadFontFile(testcase, path):
    """Every font of a file, with its name table as fontTools reads it."""
    fonts = []
    opened = OpenFonts(path)
    try:
        for i, tt in enumerate(opened):
            entry = tt.reader.tables["name"]
            table = tt.reader["name"]
            testcase.assertEqual(len(table), entry.length)
            records = ParseRecords(table)
            names = tt["name"].names
            # fontTools leaves out records whose string runs past the table;
            # every other record must be the raw record at the same place.
            kept = [r for r in records if r.in_range]
            testcase.assertEqual(len(kept), len(names),
                                 "%s font %d: record count" % (path, i))
            for rec, name in zip(kept, names):
                testcase.assertEqual(
                    rec.fields,
                    (name.platformID, name.platEncID, name.langID,
                     name.nameID),
                    "%s font %d record %d" % (path, i, rec.index))
                testcase.assertEqual(
                    bytes(name.string),
                    table[rec.position:rec.position + rec.length])
                rec.string = bytes(name.string)
            fonts.append(Font(i, entry.offset, entry.length, table, records))
    finally:
        # The fonts of a collection share one open file.
        for tt in opened:
            tt.close()
    return fonts


def FontCount(path):
    fonts = OpenFonts(path)
    for tt in fonts:
        tt.close()
    return len(fonts)


def Units(data):
    """Big-endian UTF-16 units of stored bytes; an odd last byte is dropped."""
    return [(data[i] << 8) | data[i + 1] for i in range(0, len(data) - 1, 2)]


def UnitsOf(text):
    return Units(text.encode("utf-16-be"))


def Shown(data):
    """What the listing prints for a stored string in a UTF-8 locale."""
    units = Units(data)
    out = []
    i = 0
    while i < len(units):
        u = units[i]
        if (0xD800 <= u < 0xDC00 and i + 1 < len(units)
                and 0xDC00 <= units[i + 1] < 0xE000):
            out.append(chr(0x10000 + ((u - 0xD800) << 10)
                           + (units[i + 1] - 0xDC00)))
            i += 2
            continue
        if not 0xD800 <= u < 0xE000:
            out.append(chr(u))
        i += 1
    return "".join(out).encode("utf-8")


def ListingPieces(fonts):
    """The expected listing as (label, bytes) pieces, in output order."""
    pieces = [("banner", BANNER)]
    for font in fonts:
        pieces.append(("font %d heading" % font.index, HEADING))
        for rec in font.records:
            label = "font %d record %d %r" % (font.index, rec.index,
                                              rec.fields)
            if rec.string is None:
                pieces.append((label, OUT_OF_TABLE))
            else:
                line = b"%-6d 0x%04X   0x%04X   0x%04X   0x%04X   " % (
                    (rec.index,) + rec.fields)
                pieces.append((label, line + Shown(rec.string) + b"\n"))
    pieces.append(("closing line", SUCCESS))
    return pieces


# ---------------------------------------------------------------------------
# What a patch should do

def ParseLanguage(text):
    """The language argument read as wcstoul in base 0 does, 32 bits."""
    s = text.lstrip(" \t\n\v\f\r")
    negative = s[:1] == "-"
    if s[:1] in ("+", "-"):
        s = s[1:]
    if s[:2].lower() == "0x" and s[2:3] and s[2:3] in "0123456789abcdefABCDEF":
        base, s = 16, s[2:]
    elif s[:1] == "0":
        base = 8
    else:
        base = 10
    digits = "0123456789abcdef"[:base]
    value = 0
    for c in s.lower():
        if c not in digits:
            break
        value = value * base + digits.index(c)
    if value > 0xFFFFFFFF:
        return 0xFFFFFFFF
    return (-value) & 0xFFFFFFFF if negative else value


def LanguageChosen(record_language, language, flags):
    if "a" in flags:
        return True
    same = record_language == language & 0xFFFF
    return not same if "x" in flags else same


class Plan:
    """Expected result of one patch run."""

    def __init__(self, source):
        self.data = bytearray(source)  # expected destination bytes
        self.messages = b""
        self.actions = {}  # (table offset, record index) -> "renamed"/"erased"


def PlanPatch(source, fonts, old, new, language, flags):
    plan = Plan(source)
    old_units = UnitsOf(old)
    new_bytes = new.encode("utf-16-be")
    for font in fonts:
        start, length = font.table_offset, font.table_length
        # A table shared by fonts of a collection is seen again as the
        # earlier pass left it.
        table = bytes(plan.data[start:start + length])
        records = ParseRecords(table)
        copy = bytearray(table)
        chosen = set()
        for rec in records:
            if (rec.platform in UNICODE_PLATFORMS
                    and rec.encoding in UNICODE_ENCODINGS and rec.in_range
                    and Units(table[rec.position:rec.position + rec.length])
                    == old_units
                    and LanguageChosen(rec.language, language, flags)):
                chosen.add(rec.index)
        changed = False
        for rec in records:
            if (rec.platform not in UNICODE_PLATFORMS
                    or rec.encoding not in UNICODE_ENCODINGS):
                continue
            if not rec.in_range:
                plan.messages += OUT_OF_TABLE
                continue
            if rec.index not in chosen:
                continue
            header = 6 + 12 * rec.index
            if "e" in flags:
                copy[header:header + 12] = bytes(12)
                plan.actions[(start, rec.index)] = "erased"
                changed = True
                continue
            end = rec.position + len(new_bytes)
            if end > length or len(new_bytes) > 0xFFFF:
                plan.messages += TOO_LONG
                continue
            # The written bytes may cover no other record's string, unless
            # that record gets the new name at the same position too.  An
            # empty new name writes nothing, so it covers nothing.
            covered = [other for other in records
                       if other is not rec and other.in_range and other.length
                       and other.position < end
                       and rec.position < other.position + other.length
                       and not (other.index in chosen
                                and other.position == rec.position)]
            if new_bytes and covered:
                plan.messages += SHARED
                continue
            copy[rec.position:end] = new_bytes
            struct.pack_into(">H", copy, header + 8, len(new_bytes))
            plan.actions[(start, rec.index)] = "renamed"
            changed = True
        if changed:
            plan.data[start:start + length] = copy
    plan.messages += SUCCESS if plan.actions else NOT_DONE
    return plan


def ExpectedNames(font, plan, new):
    """The records fontTools should read from the patched font."""
    names = []
    for rec in font.records:
        if rec.string is None:
            continue
        action = plan.actions.get((font.table_offset, rec.index))
        if action == "erased":
            names.append(((0, 0, 0, 0), b""))
        elif action == "renamed":
            names.append((rec.fields, new.encode("utf-16-be")))
        else:
            names.append((rec.fields, rec.string))
    return names


# ---------------------------------------------------------------------------
# Picking names from the fonts

def WindowsNames(font, name_id=None):
    return [r for r in font.records
            if r.string is not None and r.platform == 3 and r.encoding == 1
            and (name_id is None or r.name_id == name_id)]


def FamilyRecord(font):
    """A nameID 1 Windows Unicode record, English first."""
    records = WindowsNames(font, 1)
    records.sort(key=lambda r: r.language != WINDOWS_ENGLISH)
    return records[0] if records else None


def Text(rec):
    return rec.string[:len(rec.string) // 2 * 2].decode("utf-16-be")


def SameLength(text):
    """A different name with as many UTF-16 units as text."""
    n = len(UnitsOf(text))
    new = ("Renamed " + text)[:n]
    return new if new != text else ("Other " + text)[:n]


def Case(label, old, new, language, options, expect):
    """expect names what the case is meant to show: "changed", "unchanged"
    or "too long"; it is checked against the prediction, so that no case
    passes without showing it.  None: the prediction alone decides."""
    return dict(label=label, old=old, new=new, language=language,
                options=list(options), expect=expect)


def RenameCases(fonts):
    family = FamilyRecord(fonts[0])
    text = Text(family)
    n = len(UnitsOf(text))
    lang = "0x%04X" % family.language
    cases = [
        Case("same length", text, SameLength(text), lang, [], "changed"),
        Case("shorter, all languages", text, text[:max(1, n // 2)],
             "0x7FFF", ["-a"], "changed"),
        Case("decimal language", text, SameLength(text),
             str(family.language), [], "changed"),
        Case("language in the low 16 bits", text, SameLength(text),
             "0x1%04X" % family.language, [], "changed"),
        Case("option in upper case", text, SameLength(text), "0", ["-A"],
             "changed"),
        Case("empty new name", text, "", lang, [], "changed"),
        Case("non-BMP character in the new name", text,
             "\U0001D4DD" + SameLength(text)[2:], lang, [], "changed"),
        Case("longer new name", text, text + " Extended Edition", lang, [],
             None),
        Case("octal language stops at the digit 9", text, SameLength(text),
             "0%o9" % family.language, [], "changed"),
    ]
    others = [r for r in WindowsNames(fonts[0], 1)
              if r.language != family.language]
    if others:
        other = others[0]
        cases.append(Case("family in another language", Text(other),
                          SameLength(Text(other)), "0x%04X" % other.language,
                          [], "changed"))
    # The string that ends last in the table: a name one unit longer than
    # the room left after it cannot be stored.
    last = max(WindowsNames(fonts[0]), key=lambda r: r.position + r.length)
    room = (fonts[0].table_length - last.position) // 2
    cases.append(Case("new name past the end of the table", Text(last),
                      "x" * (room + 1), "0x%04X" % last.language, ["-a"],
                      "too long"))
    return cases


def ExceptCases(fonts):
    family = FamilyRecord(fonts[0])
    # A Windows string stored for several languages shows -x best.
    by_string = {}
    for rec in WindowsNames(fonts[0]):
        by_string.setdefault(rec.string, set()).add(rec.language)
    several = sorted((s for s, langs in by_string.items() if len(langs) > 1),
                     key=lambda s: (-len(by_string[s]), len(s), s))
    cases = [
        Case("except an absent language", Text(family),
             SameLength(Text(family)), "0x7FFF", ["-x"], "changed"),
        Case("except the family's own language", Text(family),
             SameLength(Text(family)), "0x%04X" % family.language, ["-x"],
             None),
        Case("-a overrides -x", Text(family), SameLength(Text(family)),
             "0x%04X" % family.language, ["-x", "-a"], "changed"),
    ]
    if several:
        text = several[0].decode("utf-16-be", "surrogatepass")
        lang = min(by_string[several[0]])
        cases.append(Case("except one of several languages", text,
                          SameLength(text), "0x%04X" % lang, ["-x"],
                          "changed"))
    return cases


def EraseCases(fonts):
    family = FamilyRecord(fonts[0])
    text = Text(family)
    return [
        Case("erase in one language", text, "ignored",
             "0x%04X" % family.language, ["-e"], "changed"),
        Case("erase in all languages", text, "", "0", ["-e", "-a"],
             "changed"),
    ]


def NoMatchCases(fonts):
    family = FamilyRecord(fonts[0])
    text = Text(family)
    absent = next(lang for lang in range(0x7FFF, 0, -1)
                  if all(r.language != lang for r in fonts[0].records))
    # A Macintosh string read as 16-bit units, as the listing shows it: only
    # the platform test keeps it from being chosen.
    mac = [r for r in fonts[0].records
           if r.platform == 1 and r.string and len(r.string) >= 2
           and all(0 < u < 0xD800 or 0xE000 <= u for u in Units(r.string))]
    cases = [
        Case("letter case differs", text.swapcase(), SameLength(text),
             "0x%04X" % family.language, ["-a"], "unchanged"),
        Case("prefix of the stored name", text[:-1], SameLength(text),
             "0x%04X" % family.language, ["-a"], "unchanged"),
        Case("language not in the font", text, SameLength(text),
             "0x%04X" % absent, [], "unchanged"),
        Case("leading zero reads octal", text, SameLength(text),
             "0%X" % family.language, [], None),
    ]
    if mac:
        paired = "".join(chr(u) for u in Units(mac[0].string))
        cases.append(Case("Macintosh record read as 16-bit units", paired,
                          "Mac", "0", ["-a"], "unchanged"))
    return cases


# ---------------------------------------------------------------------------

_cache = {}


class RealFontTestCase(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        if not os.access(NAMESMITH, os.X_OK):
            raise RuntimeError("namesmith not found or not executable: "
                               + NAMESMITH)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="namesmith-real-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def Installed(self, path):
        if not os.path.isfile(path):
            self.skipTest("not installed: " + path)

    def Fonts(self, path):
        if path not in _cache:
            with open(path, "rb") as f:
                data = f.read()
            _cache[path] = (data, ReadFontFile(self, path))
        return _cache[path]

    def AssertPieces(self, actual, pieces):
        """Compares output with the expected pieces and names the first
        piece that differs."""
        at = 0
        for label, expected in pieces:
            got = actual[at:at + len(expected)]
            if got != expected:
                self.fail("output differs at %s (byte %d):\nexpected %r\n"
                          "     got %r" % (label, at, expected,
                                           actual[at:at + len(expected) + 40]))
            at += len(expected)
        self.assertEqual(actual[at:], b"", "unexpected output after the end")

    def AssertListing(self, args, fonts, cwd=None):
        result = Run(args, cwd=cwd)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        self.assertEqual(result.stdout.count(HEADING), len(fonts),
                         "number of fonts listed")
        self.AssertPieces(result.stdout, ListingPieces(fonts))


class ListingTest(RealFontTestCase):

    def test_listing_shows_every_record_fonttools_reads(self):
        for name, path in FONTS.items():
            with self.subTest(font=name):
                self.Installed(path)
                fonts = ReadFontFile(self, path)
                self.assertEqual(len(fonts), FontCount(path))
                self.AssertListing([path], fonts)

    def test_listing_from_a_relative_path(self):
        for name, path in FONTS.items():
            with self.subTest(font=name):
                self.Installed(path)
                local = os.path.join(self.tmp, "font file.ttf")
                shutil.copyfile(path, local)
                self.AssertListing(["font file.ttf"],
                                   ReadFontFile(self, local), cwd=self.tmp)


class PatchTest(RealFontTestCase):

    def CheckCase(self, path, case):
        source, fonts = self.Fonts(path)
        flags = "".join(sorted(set(o[1:].lower() for o in case["options"])))
        plan = PlanPatch(source, fonts, case["old"], case["new"],
                         ParseLanguage(case["language"]), flags)
        expect = case["expect"]
        if expect == "changed":
            self.assertTrue(plan.actions, "the case changes nothing")
        elif expect == "unchanged":
            self.assertFalse(plan.actions, "the case changes records")
        elif expect == "too long":
            self.assertIn(TOO_LONG, plan.messages, "the case fits the table")
        dest = os.path.join(tempfile.mkdtemp(dir=self.tmp), "out.ttf")
        result = Run([path, dest, case["old"], case["new"], case["language"]]
                     + case["options"])
        self.assertEqual(result.returncode, 0)
        self.assertEqual(result.stderr, b"")
        self.AssertPieces(result.stdout,
                          [("banner", BANNER), ("messages", plan.messages)])
        if not plan.actions:
            self.assertFalse(os.path.exists(dest), "destination was created")
            return
        try:
            self.CheckPatched(source, fonts, plan, dest, case["new"])
        finally:
            os.unlink(dest)

    def CheckPatched(self, source, fonts, plan, dest, new):
        with open(dest, "rb") as f:
            patched = f.read()
        self.assertEqual(len(patched), len(source), "file size")
        self.AssertOnlyNameTablesDiffer(source, patched, fonts)
        for font in fonts:
            start = font.table_offset
            end = start + font.table_length
            self.AssertSameTable(patched[start:end],
                                 bytes(plan.data[start:end]), font)
        after = ReadFontFile(self, dest)
        self.assertEqual(len(after), len(fonts))
        for font, font_after in zip(fonts, after):
            got = [(r.fields, r.string) for r in font_after.records
                   if r.string is not None]
            self.assertEqual(got, ExpectedNames(font, plan, new),
                             "records of font %d" % font.index)
        # The patched file lists like any other font.
        self.AssertListing([dest], after)

    def AssertOnlyNameTablesDiffer(self, source, patched, fonts):
        ranges = sorted(set((f.table_offset, f.table_offset + f.table_length)
                            for f in fonts))
        at = 0
        for start, end in ranges + [(len(source), len(source))]:
            if start > at and source[at:start] != patched[at:start]:
                first = next(i for i in range(at, start)
                             if source[i] != patched[i])
                self.fail("byte %d outside the name tables changed" % first)
            at = max(at, end)

    def AssertSameTable(self, got, expected, font):
        if got == expected:
            return
        first = next(i for i in range(len(got)) if got[i] != expected[i])
        where = "header"
        if first >= 6 + 12 * len(font.records):
            where = "string storage"
        elif first >= 6:
            where = "record %d" % ((first - 6) // 12)
        self.fail("font %d name table byte %d (%s): expected %r, got %r" % (
            font.index, first, where, expected[first:first + 16],
            got[first:first + 16]))

    def RunCases(self, make_cases):
        for name, path in FONTS.items():
            if not os.path.isfile(path):
                with self.subTest(font=name):
                    self.skipTest("not installed: " + path)
                continue
            source, fonts = self.Fonts(path)
            for case in make_cases(fonts):
                with self.subTest(font=name, case=case["label"],
                                  old=case["old"], new=case["new"],
                                  language=case["language"],
                                  options=case["options"]):
                    self.CheckCase(path, case)

    def test_rename(self):
        self.RunCases(RenameCases)

    def test_rename_except_language(self):
        self.RunCases(ExceptCases)

    def test_erase(self):
        self.RunCases(EraseCases)

    def test_no_match_writes_nothing(self):
        self.RunCases(NoMatchCases)

    def test_no_match_leaves_existing_destination(self):
        for name, path in FONTS.items():
            with self.subTest(font=name):
                self.Installed(path)
                source, fonts = self.Fonts(path)
                family = FamilyRecord(fonts[0])
                dest = os.path.join(self.tmp, "existing.ttf")
                with open(dest, "wb") as f:
                    f.write(b"left as it was")
                result = Run([path, dest, Text(family).swapcase(), "New",
                              "0", "-a"])
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, BANNER + NOT_DONE)
                with open(dest, "rb") as f:
                    self.assertEqual(f.read(), b"left as it was")

    def test_destination_may_be_the_source(self):
        for name, path in FONTS.items():
            with self.subTest(font=name):
                self.Installed(path)
                source, fonts = self.Fonts(path)
                family = FamilyRecord(fonts[0])
                new = SameLength(Text(family))
                plan = PlanPatch(source, fonts, Text(family), new, 0, "a")
                self.assertTrue(plan.actions)
                local = os.path.join(self.tmp, "in place.ttf")
                shutil.copyfile(path, local)
                result = Run([local, local, Text(family), new, "0", "-a"])
                self.assertEqual(result.returncode, 0)
                self.assertEqual(result.stdout, BANNER + plan.messages)
                with open(local, "rb") as f:
                    self.assertTrue(f.read() == bytes(plan.data),
                                    "patched file differs from the "
                                    "expected bytes")


def main():
    global NAMESMITH
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--namesmith", default=NAMESMITH)
    args, rest = parser.parse_known_args()
    NAMESMITH = os.path.abspath(args.namesmith)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
