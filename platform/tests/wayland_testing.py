"""Windows in a Wayland session (run under scripts/with-weston): what the
compositor shows, read with weston-screenshooter, and pixels compared with
ImageMagick. Checks are those of checks.py."""

import glob
import os
import subprocess
import tempfile
import time

from checks import check, finish, start, stop  # noqa: F401, E402

_shots = tempfile.mkdtemp(prefix="weston-shots-")
print("screenshots in " + _shots, flush=True)


def shot_path(name):
    return os.path.join(_shots, name + ".png")


def screenshot(name):
    """The compositor's whole output as a PNG file; None if it failed."""
    before = set(glob.glob(os.path.join(_shots, "*.png")))
    subprocess.run(["weston-screenshooter"], cwd=_shots, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                   timeout=10)
    new = sorted(set(glob.glob(os.path.join(_shots, "*.png"))) - before)
    if not new:
        return None
    path = os.path.join(_shots, name + ".png")
    os.replace(new[-1], path)
    return path


def settled_screenshot(name, timeout=10.0):
    """A screenshot once the desktop has finished drawing (its background
    comes a moment after the compositor starts): two shots in a row alike."""
    end = time.monotonic() + timeout
    last = screenshot(name + "-0")
    n = 0
    while last and time.monotonic() < end:
        time.sleep(0.2)
        n += 1
        shot = screenshot("%s-%d" % (name, n))
        if shot and changed_pixels(last, shot) == 0:
            os.replace(shot, shot_path(name))
            return shot_path(name)
        last = shot
    return None


def changed_pixels(a, b):
    """How many pixels differ between two screenshots."""
    r = subprocess.run(["compare", "-metric", "AE", a, b, "null:"], capture_output=True, text=True)
    try:
        return int(float(r.stderr.split()[0]))
    except (ValueError, IndexError):
        return -1


def red_pixels(path):
    """Pixels that are clearly red (the countdown lines are red)."""
    r = subprocess.run(["convert", path, "-fx", "(r>0.67 && g<0.43 && b<0.43) ? 1 : 0", "-format",
                        "%[fx:mean*w*h]", "info:"], capture_output=True, text=True)
    try:
        return int(float(r.stdout.strip()))
    except ValueError:
        return -1


def alive_after(proc, seconds):
    time.sleep(seconds)
    return proc.poll() is None
