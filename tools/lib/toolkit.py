"""What the project's Python scripts share: the machine line of a benchmark
table and a private Xvfb for scripts run without a display."""

import datetime
import os
import subprocess
import time


def Machine(*details):
    """'CPU model, N cores, details..., date' for the line under a table."""
    model = "unknown CPU"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    parts = [model, "%d cores" % os.cpu_count()] + list(details)
    return ", ".join(parts + [datetime.date.today().isoformat()])


def StartXvfb():
    """Starts Xvfb on the first free display from :90 and waits for it;
    returns the process and the display name."""
    for n in range(90, 191):
        if not (os.path.exists("/tmp/.X%d-lock" % n) or os.path.exists("/tmp/.X11-unix/X%d" % n)):
            break
    xvfb = subprocess.Popen(["Xvfb", ":%d" % n, "-screen", "0", "1024x768x24", "-nolisten",
                             "tcp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(200):
        if os.path.exists("/tmp/.X11-unix/X%d" % n):
            break
        time.sleep(0.05)
    return xvfb, ":%d" % n
