"""The PIN prompt library in a Wayland session, where Qt draws each window's
title bar itself, always with a close button.

  wayland_carrow.py draw CARROW_HOST   (under scripts/with-weston headless)
    the PIN prompt and the countdown start, run and are drawn: the screen
    differs from the empty desktop, the countdown's red line is there, and
    the countdown ends by itself.
  wayland_carrow.py close CARROW_HOST  (under scripts/with-wm, then
                                        scripts/with-weston x11)
    a click on the countdown's close button ends it and clears the caller's
    flag (which also proves the click lands on the button); the same click
    on the PIN prompt's close button leaves the prompt open, and a PIN
    typed there with Enter still reaches the caller."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "tests"))
import wayland_testing as w  # noqa: E402

mode, host = sys.argv[1], sys.argv[2]


def changed_box(a, b):
    """The bounding box (x, y, width, height) of what differs between two
    screenshots: the new window with its title bar; None when nothing does."""
    r = subprocess.run(["compare", a, b, "-compose", "src", "-highlight-color", "white", "-lowlight-color",
                        "black", "png:-"], capture_output=True)
    r = subprocess.run(["convert", "png:-", "-trim", "-format", "%w %h %X %Y", "info:"], input=r.stdout,
                       capture_output=True)
    try:
        width, height, x, y = (int(v) for v in r.stdout.decode().split())
    except ValueError:
        return None
    return (x, y, width, height) if width > 1 and height > 1 else None


def appears(cmd, name, timeout=15.0):
    """Starts cmd and waits until its window shows and has stopped moving
    (the compositor zooms new windows in): the process, the window's box on
    the screen and the screenshot. The screen is read just before the start,
    so that only this window makes the difference."""
    before = w.settled_screenshot(name + "-before")
    proc = w.start(cmd)
    end = time.monotonic() + timeout
    last = None
    n = 0
    while before and time.monotonic() < end:
        n += 1
        shot = w.screenshot("%s-%d" % (name, n))
        box = shot and changed_box(before, shot)
        if box and box[2] > 150 and box[3] > 80 and box == last:
            return proc, box, shot
        last = box
        time.sleep(0.15)
    return proc, None, None


def finished(proc, timeout):
    try:
        proc.wait(timeout)
        return True
    except subprocess.TimeoutExpired:
        return False


empty = w.settled_screenshot("empty")
if not w.check(empty is not None, "weston-screenshooter reads the screen"):
    w.finish()

if mode == "draw":
    pin, box, shot = appears([host, "pin"], "pin")
    w.check(box is not None, "the PIN prompt is drawn (%s)" % (box,))
    w.check(pin.poll() is None, "the PIN prompt waits for its PIN")
    w.stop(pin)

    countdown, box, shot = appears([host, "countdown", "6"], "countdown")
    w.check(box is not None, "the countdown window is drawn (%s)" % (box,))
    red = w.red_pixels(shot) if shot else -1
    w.check(red > 30, "its red countdown line is on the screen (%d red pixels)" % red)
    w.check(finished(countdown, 15), "the countdown ends by itself")
    out = w.stop(countdown)
    w.check("countdown 0 flag 1" in out, "it ends as the time runs out: %r" % out.strip())

elif mode == "close":
    # Weston's screen as placed on the X display.
    ox, oy = (int(v) for v in os.environ.get("WESTON_X11_ORIGIN", "0 0").split())

    print("weston's screen at %d,%d on the X display" % (ox, oy))

    def click_close(box, name):
        # Qt's own title bar: the close button is the rightmost, centred in
        # the bar (about 30 pixels high) some 17 pixels from the right edge.
        x, y, width, _ = box
        subprocess.run(["xdotool", "mousemove", "--sync", str(ox + x + width - 17), str(oy + y + 14)])
        time.sleep(0.2)
        w.screenshot("pointer-" + name)  # where weston sees the pointer, for a failure's reader
        subprocess.run(["xdotool", "click", "1"])

    # Long enough never to end by itself on a loaded machine: only the click
    # ends it, and the test waits for that end, not for a time.
    countdown, box, _ = appears([host, "countdown", "120"], "countdown")
    if w.check(box is not None, "the countdown window is drawn (%s)" % (box,)):
        click_close(box, "countdown")
        w.check(finished(countdown, 20), "a click on its close button ends the countdown")
    out = w.stop(countdown)
    w.check("countdown 0 flag 0" in out, "...and clears the caller's flag: %r" % out.strip())
    time.sleep(0.5)

    pin, box, _ = appears([host, "pin"], "pin")
    if w.check(box is not None, "the PIN prompt is drawn (%s)" % (box,)):
        click_close(box, "pin")
        time.sleep(0.8)
        w.check(pin.poll() is None, "a click on the PIN prompt's close button leaves it open")
        again = w.screenshot("pin-after-close")
        after = again and changed_box(w.shot_path("pin-before"), again)
        w.check(after is not None and after[2] > 150, "the PIN prompt is still on the screen (%s)" % (after,))
        subprocess.run(["xdotool", "type", "--delay", "30", "13579"])
        subprocess.run(["xdotool", "key", "Return"])
        w.check(finished(pin, 20), "Enter ends the prompt")
    out = w.stop(pin)
    w.check("pin 5 3133353739" in out, "the PIN typed after the close click reaches the caller: %r" % out.strip())

else:
    print("usage: wayland_carrow.py draw|close CARROW_HOST")
    sys.exit(2)

w.finish()
