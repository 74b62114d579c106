"""The key manager opened from its menu entry, as a customer does (run by
CTest under scripts/with-a11y: Xvfb with openbox, a private session bus):
the desktop launches the entry's Exec line with no key plugged in, and the
window shows its "no device" state; then a key is plugged in, and its panels
fill (serial number, the certificate tab, the certificates).

Usage: menu_kelvane.py ENTRY ROOT KEYSIM [SCREENSHOT.png]
ENTRY is the installed menu entry inside the staged install ROOT; its Exec
and TryExec name the installed paths, which are read inside ROOT here. With
SCREENSHOT, the window with the key's panels is saved there (for the
AppStream data and the README)."""

import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "tests"))
import a11y_testing as t  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402

entry, root, keysim = sys.argv[1], sys.argv[2], sys.argv[3]
screenshot = sys.argv[4] if len(sys.argv) > 4 else None

work = tempfile.mkdtemp(prefix="menu-kelvane-")
os.environ.update({"KEYSIM_DIR": os.path.join(work, "keys"), "QD_USB_BACKEND": "sim", "QD_BANK_URL": "none",
                   "TZ": "CST-8", "QD_MANAGER_LOCK_DIR": os.path.join(work, "locks")})
os.makedirs(os.environ["KEYSIM_DIR"], mode=0o700)
# The customer's key, not plugged in yet; its PIN was changed before (no
# first-use window).
for step in (["create", "--demo", "demo"], ["unplug", "demo"], ["set", "demo", "changepin", "1"]):
    subprocess.run([keysim] + step, check=True, stdout=subprocess.DEVNULL)
serial = re.search(r"^\s*serial \(DSN\):\s*(\S+)", subprocess.run([keysim, "show", "demo"], check=True,
                                                                  capture_output=True, text=True).stdout, re.M)
serial = serial.group(1) if serial else "?"

# The entry as the desktop reads it, its installed paths moved into ROOT (the
# bundle too, so the pictures are the installed ones).
with open(entry, encoding="utf-8") as f:
    text = f.read()
exec_line = re.search(r"^Exec=(.*)$", text, re.M)
t.check(exec_line is not None and os.path.isabs(exec_line.group(1).split()[0]),
        "the entry's Exec line names the installed key manager: %r" % (exec_line and exec_line.group(1)))
program = exec_line.group(1).split()[0] if exec_line else ""
os.environ["QD_BUNDLE_DIR"] = root + os.path.dirname(os.path.dirname(program))
moved = os.path.join(work, "applications", os.path.basename(entry))
os.makedirs(os.path.dirname(moved))
with open(moved, "w", encoding="utf-8") as f:
    f.write(re.sub(r"^((?:Try)?Exec=)/", r"\1" + root + "/", text, flags=re.M))

# Launched as desktops launch entries (GIO): TryExec must find the program.
info = Gio.DesktopAppInfo.new_from_filename(moved)
t.check(info is not None, "the desktop accepts the entry (its TryExec program is installed)")
if info is None:
    t.finish()
pids = []
launched = info.launch_uris_as_manager([], None, GLib.SpawnFlags.DEFAULT, None, None,
                                       lambda _info, pid, _data: pids.append(pid), None)
t.check(launched and pids, "the entry's Exec line started a process")


def stop():
    for pid in pids:
        try:
            os.kill(pid, 15)
            os.waitpid(pid, 0)
        except OSError:
            pass


app = t.app("Kelvane")
if not t.check(app is not None, "the key manager is on the accessibility bus"):
    stop()
    t.finish()
main = t.window(app, "frame", "网盾管理工具", 15)
t.check(main is not None, "its main window 网盾管理工具 shows (windows: %s)" % t.windows(app))
if main is None:
    stop()
    t.finish()


def labels():
    return [a.name for a in t.find_all(main, lambda a: t.role(a) == "label" and t.showing(a))]


# ---- No key: the "no device" state, and nothing of a key --------------------
t.check(t.wait_for(lambda: "没有设备" in labels(), 10), "with no key the device panel says 没有设备: %r" % labels())
t.check(t.find(main, "push button", "证书信息") is None, "with no key the certificate tab is hidden")
t.check(t.windows(app) == [("frame", "网盾管理工具")], "and no alert is raised: %s" % t.windows(app))

# ---- A key is plugged in: the panels fill ---------------------------------
subprocess.run([keysim, "plug", "demo"], check=True, stdout=subprocess.DEVNULL)
t.check(t.wait_for(lambda: serial in labels(), 15) is not None,
        "once the key is plugged in the device panel shows its serial %s: %r" % (serial, labels()))
t.check("没有设备" not in labels(), "...and no longer 没有设备")
tab = t.wait_for(lambda: t.find(main, "push button", "证书信息"), 5)
t.check(tab is not None, "the certificate tab shows")
if tab:
    t.press(tab)
    table = t.wait_for(lambda: t.find(main, "table", "证书信息"), 5)
    cells = t.wait_for(lambda: [a.name for a in t.find_all(table, lambda a: t.role(a) == "table cell" and a.name)]
                       if table else None, 5) or []
    t.check(any("张三" in c for c in cells), "the certificate table lists the key's certificates: %r" % cells)
t.check(t.windows(app) == [("frame", "网盾管理工具")], "the key's arrival raised no alert: %s" % t.windows(app))

if screenshot:
    # The window as the window manager frames it, the certificates in front.
    win = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^网盾管理工具$"],
                         capture_output=True, text=True).stdout.split()
    # openbox puts the window into a frame of its own: its parent.
    tree = subprocess.run(["xwininfo", "-tree", "-id", win[0]], capture_output=True, text=True).stdout if win else ""
    parent = re.search(r"Parent window id: (0x[0-9a-f]+)", tree)
    geometry = subprocess.run(["xwininfo", "-id", parent.group(1)], capture_output=True, text=True).stdout \
        if parent else ""
    box = {k: int(v) for k, v in re.findall(r"(Absolute upper-left [XY]|Width|Height):\s+(-?\d+)", geometry)}
    shot = subprocess.run(["import", "-window", "root", "-crop", "%dx%d+%d+%d" % (
        box.get("Width", 0), box.get("Height", 0), box.get("Absolute upper-left X", 0),
        box.get("Absolute upper-left Y", 0)), "+repage", screenshot], capture_output=True, text=True)
    t.check(shot.returncode == 0 and box.get("Width", 0) > 0, "screenshot saved to %s %s" % (screenshot,
                                                                                           shot.stderr.strip()))

stop()
t.finish()
