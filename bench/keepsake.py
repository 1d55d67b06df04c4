#!/usr/bin/python3
"""keepsake under Wine: its save and load against Wine's reg.exe and a bare walk.

In one freshly booted prefix, with one persistent wineserver:
- wall time of `keepsake.exe /s` (HKCR, HKCU, HKLM and cp.dat) against
  `reg export` of the same three roots and against `regwalk walk` of them
  (every key opened, queried and enumerated with its values, nothing
  written: the floor under Wine, where the time goes to server round trips);
- wall time of `keepsake.exe /l` against `reg import` of those exports;
- the write() calls that reach each file during a save (strace -y);
- peak memory (/usr/bin/time %M) of each program, the resident size of a
  save and a load while each file is open (the small HKCU against HKLM),
  and the peak of a save again after HKLM has grown by a generated tree.
Each round runs every command once, in an order that rotates from round to
round; the tables show medians. Nothing here judges the figures.

Usage: /usr/bin/python3 bench/keepsake.py [--bin DIR] [--prefix DIR]
           [--runs N] [--grow KEYS]
"""

import argparse
import collections
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
ROOTS = ["HKCR", "HKCU", "HKLM"]
FILES = ["cr.dat", "cu.dat", "lm.dat", "cp.dat"]
FOLDER = "C:\\kb"

sys.path.insert(0, os.path.join(REPO, "tools", "lib"))
from toolkit import Machine, StartXvfb  # noqa: E402


def WineVersion():
    return subprocess.run([WINE, "--version"], stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                          text=True).stdout.strip()


class Prefix:
    def __init__(self, path, bin_dir):
        self.path = path
        self.drive = os.path.join(path, "drive_c", "kb")
        self.env = dict(os.environ, WINEPREFIX=path, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", WINESERVER=WINESERVER,
                        LC_ALL="C.UTF-8")
        self.xvfb = None
        if "DISPLAY" not in self.env:
            self.xvfb, self.env["DISPLAY"] = StartXvfb()
        handle, self.servers = tempfile.mkstemp(prefix="keepsake-bench-servers-")
        os.close(handle)
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(path, ignore_errors=True)
        # tools/wine-run boots the prefix and leaves one persistent server.
        subprocess.run([os.path.join(REPO, "tools", "wine-run"), "cmd", "/c", "exit"],
                       env=dict(self.env, WINE_RUN_SERVERS=self.servers), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.makedirs(os.path.join(self.drive, "export"))
        for name in ("keepsake.exe", "coredll.dll", "regwalk.exe"):
            shutil.copy(os.path.join(bin_dir, name), self.drive)

    def Command(self, *argv):
        return [WINE] + list(argv)

    def Run(self, *argv, check=True):
        result = subprocess.run(self.Command(*argv), env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=1200)
        if check and result.returncode != 0:
            raise SystemExit("%s ended with %d" % (" ".join(argv), result.returncode))
        return result.stdout.decode(errors="replace")

    def Time(self, *argv, check=True):
        start = time.perf_counter()
        self.Run(*argv, check=check)
        return time.perf_counter() - start

    def Peak(self, *argv, check=True):
        """Peak resident size in KiB, by /usr/bin/time."""
        result = subprocess.run(["/usr/bin/time", "-f", "%M"] + self.Command(*argv),
                                env=self.env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=1200)
        if check and result.returncode != 0:
            raise SystemExit("%s ended with %d" % (" ".join(argv), result.returncode))
        return int(result.stderr.decode().strip().splitlines()[-1])

    def Data(self, name):
        return os.path.join(self.drive, "Keepsake", name)

    def Stop(self):
        subprocess.run([WINESERVER, "-k"], env=self.env, stderr=subprocess.DEVNULL)
        os.remove(self.servers)
        if self.xvfb is not None:
            self.xvfb.terminate()
            self.xvfb.wait()


def Export(root):
    return FOLDER + "\\export\\" + root + ".reg"


def Rounds(prefix, runs):
    # One program run per command, so the starts of reg.exe and regwalk
    # (three each) count as keepsake's one does.
    commands = {"save": lambda: prefix.Time(FOLDER + "\\keepsake.exe", "/s"),
                "load": lambda: prefix.Time(FOLDER + "\\keepsake.exe", "/l"),
                # regwalk without arguments: a program start and nothing else
                "start": lambda: prefix.Time(FOLDER + "\\regwalk.exe", check=False)}
    for root in ROOTS:
        commands["export " + root] = (lambda r: lambda: prefix.Time(
            "reg", "export", r, Export(r), "/y"))(root)
        commands["import " + root] = (lambda r: lambda: prefix.Time(
            "reg", "import", Export(r)))(root)
        commands["walk " + root] = (lambda r: lambda: prefix.Time(
            FOLDER + "\\regwalk.exe", "walk", r))(root)
    names = list(commands)
    times = {name: [] for name in names}
    for round_ in range(runs):
        k = (round_ * 3) % len(names)
        for name in names[k:] + names[:k]:
            times[name].append(commands[name]())
    return {name: statistics.median(t) for name, t in times.items()}


def Writes(prefix, argv, pattern):
    """write() calls by the traced program, per file whose path matches
    `pattern`: {file name: [sizes written]}."""
    log = os.path.join(prefix.path, "strace.log")
    # Wine's own processes (services, the desktop) are running already, so
    # the trace ends with the program.
    subprocess.run(["strace", "-f", "-qq", "-y", "-e", "trace=write,pwrite64,writev",
                    "-e", "signal=none", "-s", "0", "-o", log] + prefix.Command(*argv),
                   env=prefix.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=1200, check=True)
    sizes = collections.defaultdict(list)
    call = re.compile(r"^\d+\s+(write|pwrite64|writev)\(\d+<([^>]*)>.*\)\s+=\s+(-?\d+)")
    with open(log, errors="replace") as f:
        for line in f:
            m = call.match(line)
            if m and re.search(pattern, m.group(2)):
                sizes[os.path.basename(m.group(2))].append(int(m.group(3)))
    os.remove(log)
    return sizes


def Summary(sizes, most=6):
    counts = sorted(collections.Counter(sizes).items(), key=lambda item: (-item[1], -item[0]))
    text = ", ".join("%d × %d" % (n, size) for size, n in counts[:most])
    if len(counts) > most:
        text += ", and %d other sizes" % (len(counts) - most)
    return text


def PhasePeaks(prefix, switch):
    """Resident size of a save or load, sampled while each file of the data
    folder is open in the program."""
    process = subprocess.Popen(prefix.Command(FOLDER + "\\keepsake.exe", switch), env=prefix.env,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
    peaks = {}
    fds = "/proc/%d/fd" % process.pid
    while process.poll() is None:
        try:
            with open("/proc/%d/status" % process.pid) as f:
                rss = int(re.search(r"VmRSS:\s+(\d+)", f.read()).group(1))
            names = set()
            for fd in os.listdir(fds):
                try:
                    names.add(os.path.basename(os.readlink(os.path.join(fds, fd))))
                except OSError:
                    pass
        except (OSError, AttributeError):
            break
        for name in FILES:
            if name in names or name + ".new" in names:
                peaks[name] = max(peaks.get(name, 0), rss)
        time.sleep(0.002)
    process.wait()
    return peaks


def Grow(prefix, keys):
    """Adds `keys` generated keys with four values each under HKLM."""
    path = os.path.join(prefix.drive, "grow.reg")
    with open(path, "w", encoding="utf-16", newline="\r\n") as f:
        f.write("Windows Registry Editor Version 5.00\n\n")
        for n in range(keys):
            f.write("[HKEY_LOCAL_MACHINE\\Software\\KeepsakeBench\\group %d\\key %d]\n"
                    "@=\"key %d\"\n\"dword\"=dword:%08x\n\"binary\"=hex:%s\n"
                    "\"text\"=\"%s\"\n\n" % (n // 100, n, n, n, ",".join(["5a"] * (n % 64)),
                                             "t" * (n % 200)))
    prefix.Run("reg", "import", FOLDER + "\\grow.reg")
    os.remove(path)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--bin", default=os.path.join(REPO, "build", "windows", "bin"))
    parser.add_argument("--prefix", default=os.path.join(REPO, "build", "bench", "wine-keepsake"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--grow", type=int, default=30000,
                        help="keys added to HKLM for the second memory figure")
    args = parser.parse_args()

    prefix = Prefix(os.path.abspath(args.prefix), os.path.abspath(args.bin))
    try:
        # The cp.dat step needs the keyboard values.
        for value in ("DispDly", "InitialDelay", "RepeatRate"):
            prefix.Run("reg", "add", "HKCU\\ControlPanel\\Keybd", "/v", value, "/t", "REG_DWORD",
                       "/d", "7", "/f")
        # A first save and export: the files for the first load and import,
        # and Wine's own processes started.
        prefix.Run(FOLDER + "\\keepsake.exe", "/s")
        for root in ROOTS:
            prefix.Run("reg", "export", root, Export(root), "/y")
        for name in FILES:
            if not os.path.isfile(prefix.Data(name)):
                raise SystemExit("the save wrote no " + name)

        t = Rounds(prefix, args.runs)
        dump = {name: os.path.getsize(prefix.Data(name)) for name in FILES}
        export = {root: os.path.getsize(os.path.join(prefix.drive, "export", root + ".reg"))
                  for root in ROOTS}
        walked = {root: prefix.Run(FOLDER + "\\regwalk.exe", "walk", root).strip()
                  for root in ROOTS}

        writes = Writes(prefix, [FOLDER + "\\keepsake.exe", "/s"], r"/Keepsake/[a-z]+\.dat\.new$")
        export_writes = Writes(prefix, ["reg", "export", "HKLM", Export("HKLM"), "/y"],
                               r"/export/HKLM\.reg$")

        # keepsake with nothing to do: a load from a folder without data.
        os.makedirs(os.path.join(prefix.drive, "idle"))
        for name in ("keepsake.exe", "coredll.dll"):
            shutil.copy(os.path.join(prefix.drive, name), os.path.join(prefix.drive, "idle"))
        peaks = {"start": prefix.Peak(FOLDER + "\\idle\\keepsake.exe", "/l"),
                 "save": prefix.Peak(FOLDER + "\\keepsake.exe", "/s"),
                 "load": prefix.Peak(FOLDER + "\\keepsake.exe", "/l"),
                 "export": prefix.Peak("reg", "export", "HKLM", Export("HKLM"), "/y"),
                 "import": prefix.Peak("reg", "import", Export("HKLM")),
                 "walk": prefix.Peak(FOLDER + "\\regwalk.exe", "walk", "HKLM")}
        phases = {"save": PhasePeaks(prefix, "/s"), "load": PhasePeaks(prefix, "/l")}

        Grow(prefix, args.grow)
        grown = {"save": prefix.Peak(FOLDER + "\\keepsake.exe", "/s"),
                 "export": prefix.Peak("reg", "export", "HKLM", Export("HKLM"), "/y"),
                 "walk": prefix.Peak(FOLDER + "\\regwalk.exe", "walk", "HKLM")}
        grown_dump = os.path.getsize(prefix.Data("lm.dat"))
        grown_walk = prefix.Run(FOLDER + "\\regwalk.exe", "walk", "HKLM").strip()
    finally:
        prefix.Stop()

    export_all = sum(t["export " + r] for r in ROOTS)
    walk_all = sum(t["walk " + r] for r in ROOTS)
    import_all = sum(t["import " + r] for r in ROOTS)
    print("Median of %d interleaved runs, wall time in seconds, a fresh prefix." % args.runs)
    print()
    print("| | keepsake | reg.exe | bare walk | keepsake/reg.exe | keepsake/walk |")
    print("|---|---|---|---|---|---|")
    print("| save: HKCR, HKCU, HKLM | %.2f | %.2f (export) | %.2f | %.2f | %.2f |" % (
        t["save"], export_all, walk_all, t["save"] / export_all, t["save"] / walk_all))
    print("| load: HKCR, HKCU, HKLM | %.2f | %.2f (import) | | %.2f | |" % (
        t["load"], import_all, t["load"] / import_all))
    print()
    print("keepsake runs once for the three roots (and cp.dat); reg.exe and the walk once per"
          " root. A program start alone (regwalk without arguments) takes %.2f s." % t["start"])
    print()
    print("| root | export | import | walk | dump | export file | walked |")
    print("|---|---|---|---|---|---|---|")
    for root, name in zip(ROOTS, FILES):
        print("| %s | %.2f | %.2f | %.2f | %s %d bytes | %d bytes | %s |" % (
            root, t["export " + root], t["import " + root], t["walk " + root], name, dump[name],
            export[root], walked[root]))
    print()
    print("write() calls that reach each file of a save (strace -y):")
    print()
    print("| file | calls | sizes |")
    print("|---|---|---|")
    for name in sorted(writes, key=lambda n: FILES.index(n[:-4]) if n[:-4] in FILES else 9):
        print("| %s | %d | %s |" % (name, len(writes[name]), Summary(writes[name])))
    for name in export_writes:
        print("| %s (reg export HKLM) | %d | %s |" % (name, len(export_writes[name]),
                                                    Summary(export_writes[name])))
    print()
    print("Peak resident size in KiB (/usr/bin/time %M):")
    print()
    print("| keepsake, nothing to do | keepsake /s | keepsake /l | reg export HKLM"
          " | reg import HKLM | walk HKLM |")
    print("|---|---|---|---|---|---|")
    print("| %d | %d | %d | %d | %d | %d |" % (peaks["start"], peaks["save"], peaks["load"],
                                            peaks["export"], peaks["import"], peaks["walk"]))
    print()
    for action in ("save", "load"):
        print("- resident size of the %s while each file is open, KiB (sampled): " % action +
              ", ".join("%s %d" % (n, phases[action][n]) for n in FILES if n in phases[action]))
    print()
    print("After %d keys more in HKLM (lm.dat %d bytes, walk: %s): keepsake /s %d KiB,"
          " reg export HKLM %d KiB, walk HKLM %d KiB." % (
              args.grow, grown_dump, grown_walk, grown["save"], grown["export"], grown["walk"]))
    print()
    print("- machine: " + Machine(WineVersion()))


if __name__ == "__main__":
    main()
