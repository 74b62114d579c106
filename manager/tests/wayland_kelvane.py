"""Kelvane in a Wayland session (run by CTest under scripts/with-weston
headless): it starts on the Wayland platform, finds a simulated key and
draws its window, which the compositor shows (the screen differs from the
empty desktop by at least the window's area), and it ends on SIGTERM.

Usage: wayland_kelvane.py KELVANE KEYSIM [SCREENSHOT_COPY]"""

import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "tests"))
import wayland_testing as w  # noqa: E402

kelvane, keysim = sys.argv[1], sys.argv[2]
copy = sys.argv[3] if len(sys.argv) > 3 else None
os.environ["KEYSIM_DIR"] = tempfile.mkdtemp(prefix="wayland-keys-")
subprocess.run([keysim, "create", "--demo", "demo"], check=True, stdout=subprocess.DEVNULL)
subprocess.run([keysim, "set", "demo", "changepin", "1"], check=True)

empty = w.settled_screenshot("empty")
w.check(empty is not None, "weston-screenshooter reads the screen")
proc = w.start([kelvane], {"QD_USB_BACKEND": "sim", "QD_BANK_URL": "none", "TZ": "CST-8"})
w.check(w.alive_after(proc, 2.5), "Kelvane runs on the Wayland platform")
shot = w.screenshot("kelvane")
if empty and shot:
    changed = w.changed_pixels(empty, shot)
    # The window is 385 x 355 or so with its title bar.
    w.check(changed > 300 * 300, "Kelvane's window is on the screen (%d pixels changed)" % changed)
    if copy:
        shutil.copy(shot, copy)
proc.terminate()
try:
    proc.wait(5)
    ended = True
except subprocess.TimeoutExpired:
    ended = False
out = w.stop(proc)
w.check(ended and proc.returncode == 0, "Kelvane ends on SIGTERM (status %s)" % proc.returncode)
w.check("Segmentation" not in out and "Aborted" not in out, "no crash: %s" % out.strip()[-300:])
time.sleep(0.1)
w.finish()
