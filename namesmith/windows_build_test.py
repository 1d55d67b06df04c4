#!/usr/bin/python3
"""The Windows build of namesmith, run under Wine, against the native build.

Both builds get the same work; the .exe's output must be the native output
byte for byte once the CRLF line ends of Windows text mode are turned back
into LF, and patched files must be identical.  fontTools picks the names.

Usage: /usr/bin/python3 windows_build_test.py [--native PATH] [--exe PATH]
           [--wine-run PATH] [unittest args]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

from fontTools.ttLib import TTFont

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NATIVE = os.path.join(REPO, "build", "linux", "bin", "namesmith")
EXE = os.path.join(REPO, "build", "windows", "bin", "namesmith.exe")
WINE_RUN = os.path.join(REPO, "tools", "wine-run")

FONT_DIRS = ["/usr/share/fonts/truetype/dejavu",
             "/usr/share/fonts/truetype/liberation"]
DEJAVU_SANS = "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"

BANNER = b"Nomenforge for Microsoft Format\n\n"
HEADING = b"Index  Platform Encoding Language Type     Value\n"
SUCCESS = b"Quit the program successfully.\n"
NOT_DONE = b"A fatal error was detected or the name was not found.\n"


def Environment():
    return dict(os.environ, LC_ALL="C.UTF-8")


def RunNative(args, cwd=None):
    return subprocess.run([NATIVE] + list(args), cwd=cwd, env=Environment(),
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=120)


def RunExe(args, cwd=None):
    # The first use of a fresh Wine prefix boots it, which takes a while.
    return subprocess.run([WINE_RUN, EXE] + list(args), cwd=cwd,
                          env=Environment(), stdin=subprocess.DEVNULL,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          timeout=600)


def DrivePath(path):
    """The Windows name of a Unix path under Wine (drive Z: is /)."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def Units(data):
    return [(data[i] << 8) | data[i + 1] for i in range(0, len(data) - 1, 2)]


def IsAsciiText(data):
    """True when every unit the listing prints is plain ASCII text."""
    return all(u in (0x09, 0x0A, 0x0D) or 0x20 <= u < 0x7F
               for u in Units(data))


def FamilyName(path):
    with TTFont(path, lazy=True) as font:
        for rec in font["name"].names:
            if (rec.platformID, rec.platEncID, rec.nameID) == (3, 1, 1) \
                    and rec.langID == 0x0409:
                return rec.string.decode("utf-16-be")
    raise AssertionError("no English family name in " + path)


def MakeAsciiFont(dest):
    """Writes a font whose listing is pure ASCII to dest.

    The Windows console encodes listed names in its own code page, so only an
    ASCII listing can be compared byte for byte.  A Debian font is used as it
    is when all its names list as ASCII; Macintosh records are single-byte
    text that lists as 16-bit units, so in practice every font has some, and
    then the first font with enough ASCII Windows names is saved by fontTools
    with only those records.  Returns a description of what was done."""
    candidates = [DEJAVU_SANS] if os.path.isfile(DEJAVU_SANS) else []
    for folder in FONT_DIRS:
        if os.path.isdir(folder):
            candidates += sorted(os.path.join(folder, f)
                                 for f in os.listdir(folder)
                                 if f.endswith(".ttf"))
    for path in candidates:
        with TTFont(path, lazy=True) as font:
            if all(IsAsciiText(rec.string) for rec in font["name"].names):
                shutil.copyfile(path, dest)
                return "copy of " + path
    for path in candidates:
        with TTFont(path, lazy=True) as font:
            names = font["name"]
            kept = [rec for rec in names.names
                    if rec.platformID == 3 and IsAsciiText(rec.string)]
            if len(kept) >= 5:
                names.names = kept
                font.save(dest)
                return "ASCII Windows names of " + path
    raise AssertionError("no font with ASCII names in " + ", ".join(FONT_DIRS))


class WindowsBuildTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        for path in (NATIVE, EXE, WINE_RUN):
            if not os.path.isfile(path):
                raise RuntimeError("missing: " + path)

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="namesmith-wine-")
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def AssertSameOutput(self, native, exe):
        self.assertEqual(native.returncode, 0, "native exit status")
        self.assertEqual(exe.returncode, 0, "exit status under Wine")
        self.assertEqual(native.stderr, b"")
        self.assertTrue(native.stdout.startswith(BANNER), native.stdout[:80])
        self.assertEqual(exe.stdout.replace(b"\r\n", b"\n"), native.stdout)

    def test_usage_and_messages(self):
        empty = os.path.join(self.tmp, "empty.ttf")
        open(empty, "wb").close()
        cases = [
            ("no arguments", [], b"Invalid arguments\n\nUsage\n"),
            ("three arguments", ["a.ttf", "b.ttf", "old"],
             b"Invalid arguments\n"),
            ("no language", ["a.ttf", "b.ttf", "old", "new"],
             b"Invalid arguments\n"),
            ("unknown option", ["a.ttf", "b.ttf", "old", "new", "0x0409",
                                "-a", "-q"], b"Invalid arguments\n"),
            ("missing source", ["missing.ttf"], b"The file was not found.\n"),
            ("empty source", ["empty.ttf"],
             b"The file length is insufficient.\n"),
        ]
        for label, args, first_line in cases:
            with self.subTest(label, args=args):
                native = RunNative(args, cwd=self.tmp)
                exe = RunExe(args, cwd=self.tmp)
                self.assertTrue(
                    native.stdout[len(BANNER):].startswith(first_line),
                    native.stdout[:200])
                self.AssertSameOutput(native, exe)

    def test_listing_of_ascii_named_font(self):
        plain = os.path.join(self.tmp, "plain.ttf")
        origin = MakeAsciiFont(plain)
        with TTFont(plain, lazy=True) as font:
            count = len(font["name"].names)
            self.assertTrue(all(IsAsciiText(r.string)
                                for r in font["name"].names))
        native = RunNative([plain])
        self.assertEqual(native.stdout.count(HEADING), 1, origin)
        self.assertTrue(native.stdout.endswith(SUCCESS), native.stdout[-200:])
        self.assertTrue(native.stdout.isascii())
        lines = [l for l in native.stdout.split(b"\n") if l[:1].isdigit()]
        self.assertGreaterEqual(len(lines), count, origin)
        accent = os.path.join(self.tmp, "pl\u00e4in font.ttf")
        shutil.copyfile(plain, accent)
        for label, name, cwd in [
                ("relative path", "plain.ttf", self.tmp),
                ("drive Z: path", DrivePath(plain), None),
                ("non-ASCII relative path", os.path.basename(accent),
                 self.tmp)]:
            with self.subTest(label, name=name):
                self.AssertSameOutput(native, RunExe([name], cwd=cwd))

    def test_patch_gives_the_same_bytes(self):
        if not os.path.isfile(DEJAVU_SANS):
            self.skipTest("not installed: " + DEJAVU_SANS)
        source = os.path.join(self.tmp, "source.ttf")
        shutil.copyfile(DEJAVU_SANS, source)
        with open(source, "rb") as f:
            original = f.read()
        family = FamilyName(source)
        n = len(family)
        same = ("Renamed " + family)[:n]
        cases = [
            ("same length", [family, same, "0x0409"], True),
            ("shorter, all languages", [family, family[:n // 2], "0", "-a"],
             True),
            ("erase, except a language", [family, "", "0x0411", "-x", "-e"],
             True),
            ("longer name is refused", [family, family + " Extended",
                                        "0x0409"], False),
            ("no match", [family.swapcase(), same, "0x0409", "-a"], False),
        ]
        for label, request, changes in cases:
            for paths in ("drive Z:", "relative"):
                with self.subTest(label, paths=paths, request=request):
                    native_out = os.path.join(self.tmp, "native.ttf")
                    exe_out = os.path.join(self.tmp, "exe.ttf")
                    for path in (native_out, exe_out):
                        if os.path.exists(path):
                            os.unlink(path)
                    native = RunNative([source, native_out] + request)
                    if paths == "relative":
                        exe = RunExe(["source.ttf", "exe.ttf"] + request,
                                     cwd=self.tmp)
                    else:
                        exe = RunExe([DrivePath(source), DrivePath(exe_out)]
                                     + request)
                    self.assertTrue(native.stdout.endswith(
                        SUCCESS if changes else NOT_DONE), native.stdout)
                    self.AssertSameOutput(native, exe)
                    self.assertEqual(os.path.exists(exe_out), changes)
                    self.assertEqual(os.path.exists(native_out), changes)
                    if changes:
                        with open(native_out, "rb") as f:
                            native_bytes = f.read()
                        with open(exe_out, "rb") as f:
                            exe_bytes = f.read()
                        self.assertNotEqual(native_bytes, original)
                        self.assertEqual(len(exe_bytes), len(original))
                        self.assertTrue(exe_bytes == native_bytes,
                                        "patched files differ")


def main():
    global NATIVE, EXE, WINE_RUN
    parser = argparse.ArgumentParser(add_help=False)
    parser.add_argument("--native", default=NATIVE)
    parser.add_argument("--exe", default=EXE)
    parser.add_argument("--wine-run", default=WINE_RUN)
    args, rest = parser.parse_known_args()
    NATIVE = os.path.abspath(args.native)
    EXE = os.path.abspath(args.exe)
    WINE_RUN = os.path.abspath(args.wine_run)
    unittest.main(argv=[sys.argv[0]] + rest)


if __name__ == "__main__":
    main()
