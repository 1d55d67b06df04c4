#!/usr/bin/python3
"""Wall time of namesmith against cp, cat and fontTools on real fonts.

For each font, every round runs each command once, in an order that rotates
from round to round; the table shows the median of each command in ms and
the ratios between them.  Nothing here judges the times.

Usage: /usr/bin/python3 bench/namesmith.py [--namesmith PATH] [--runs N]
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

from fontTools.ttLib import TTCollection, TTFont

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FONTS = ["/usr/share/fonts/truetype/arphic/uming.ttc",
         "/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf"]
SUCCESS = "Quit the program successfully."
ENGLISH = 0x0409

sys.path.insert(0, os.path.join(REPO, "tools", "lib"))
from toolkit import Machine  # noqa: E402

# Run as a subprocess: the same rename as namesmith's, done by fontTools.
FONTTOOLS_RENAME = r"""
import sys
from fontTools.ttLib import TTCollection, TTFont
src, out, old, new = sys.argv[1:5]
collection = open(src, "rb").read(4) == b"ttcf"
holder = TTCollection(src) if collection else TTFont(src)
for font in (holder.fonts if collection else [holder]):
    for rec in font["name"].names:
        if (rec.platformID in (0, 3) and rec.platEncID in (1, 3, 10)
                and rec.langID == 0x0409 and rec.string == old.encode("utf-16-be")):
            rec.string = new
holder.save(out)
"""


def FamilyName(path):
    """A Windows English family name of the first font, and one of equal
    length to replace it."""
    with open(path, "rb") as f:
        collection = f.read(4) == b"ttcf"
    holder = TTCollection(path, lazy=True) if collection else TTFont(
        path, lazy=True)
    fonts = holder.fonts if collection else [holder]
    try:
        for rec in fonts[0]["name"].names:
            if rec.platformID == 3 and rec.nameID == 1 and rec.langID == ENGLISH:
                old = rec.string.decode("utf-16-be")
                return old, ("Renamed " + old)[:len(old)]
    finally:
        holder.close()
    raise SystemExit("no English family name in " + path)


def TimeOne(argv, stdout=subprocess.DEVNULL):
    start = time.perf_counter()
    subprocess.run(argv, stdout=stdout, stderr=subprocess.DEVNULL, check=True,
                   env=dict(os.environ, LC_ALL="C.UTF-8"))
    return time.perf_counter() - start


def Bench(namesmith, src, work, runs):
    out = os.path.join(work, "out" + os.path.splitext(src)[1])
    old, new = FamilyName(src)
    env = dict(os.environ, LC_ALL="C.UTF-8")

    check = subprocess.run([namesmith, src, out, old, new, "0x0409"],
                           env=env, stdout=subprocess.PIPE, text=True)
    if SUCCESS not in check.stdout:
        raise SystemExit("the patch failed:\n" + check.stdout)
    os.unlink(out)
    subprocess.run([sys.executable, "-c", FONTTOOLS_RENAME, src, out, old, new],
                   check=True)
    fonttools_size = os.path.getsize(out)
    os.unlink(out)

    commands = {
        "cp": lambda: TimeOne(["cp", src, out]),
        "patch": lambda: TimeOne([namesmith, src, out, old, new, "0x0409"]),
        "fontTools": lambda: TimeOne([sys.executable, "-c", FONTTOOLS_RENAME,
                                      src, out, old, new]),
        "cat": lambda: TimeOne(["cat", src]),
        "list": lambda: TimeOne([namesmith, src]),
    }
    names = list(commands)
    times = {name: [] for name in names}
    for round_ in range(runs):
        k = round_ % len(names)
        for name in names[k:] + names[:k]:
            times[name].append(commands[name]())
            if os.path.exists(out):
                os.unlink(out)
    return {name: statistics.median(t) * 1000 for name, t in times.items()}, \
        fonttools_size, old


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--namesmith",
                        default=os.path.join(REPO, "build", "linux", "bin",
                                             "namesmith"))
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()
    namesmith = os.path.abspath(args.namesmith)

    # Output goes to the disk the repo is on, not to a tmpfs.
    base = os.path.join(REPO, "build", "bench-tmp")
    os.makedirs(base, exist_ok=True)
    work = tempfile.mkdtemp(dir=base)
    rows, notes = [], []
    try:
        for src in FONTS:
            if not os.path.isfile(src):
                print("skipped, not installed: " + src)
                continue
            ms, fonttools_size, old = Bench(namesmith, src, work, args.runs)
            size = os.path.getsize(src)
            rows.append("| %s | %.1f MB | %.1f | %.1f | %.1f | %.1f | %.1f "
                        "| %.2f | %.1f | %.1f | %.2f |" % (
                            os.path.basename(src), size / 1e6, ms["cp"],
                            ms["patch"], ms["fontTools"], ms["cat"],
                            ms["list"], ms["patch"] / ms["cp"],
                            ms["fontTools"] / ms["cp"],
                            ms["fontTools"] / ms["patch"],
                            ms["list"] / ms["cat"]))
            notes.append("%s: renamed \"%s\"; fontTools output %d bytes "
                         "(source %d: %s)" % (
                             os.path.basename(src), old, fonttools_size, size,
                             "same size" if fonttools_size == size
                             else "size changed"))
    finally:
        shutil.rmtree(work, ignore_errors=True)
        try:
            os.rmdir(base)
        except OSError:
            pass

    print("Median of %d interleaved runs, wall time in ms." % args.runs)
    print()
    print("| file | size | cp | patch | fontTools | cat | list "
          "| patch/cp | fontTools/cp | fontTools/patch | list/cat |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    print("\n".join(rows))
    print()
    for note in notes:
        print("- " + note)
    print("- machine: " + Machine())


if __name__ == "__main__":
    main()
