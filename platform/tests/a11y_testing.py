"""Reading windows the way a screen reader does: through the accessibility
bus (AT-SPI) with pyatspi. Runs under scripts/with-a11y (a private session
bus, Xvfb with openbox, Qt's accessibility switched on).

Every wait has a deadline; checks are those of checks.py."""

import time

import pyatspi
from gi.repository import GLib

from checks import check, finish, start, stop  # noqa: F401


def wait_for(fn, timeout=10.0, step=0.1):
    """Polls fn until it gives something true; returns that, or None."""
    end = time.monotonic() + timeout
    while True:
        try:
            value = fn()
        except Exception:  # the tree changes under us while windows come and go
            value = None
        if value:
            return value
        if time.monotonic() > end:
            return None
        time.sleep(step)


def role(acc):
    return acc.getRoleName()


def walk(acc, depth=0):
    """Every node below acc (acc included), depth first; hidden ones too."""
    if acc is None or depth > 40:
        return
    yield acc
    for i in range(acc.childCount):
        try:
            child = acc.getChildAtIndex(i)
        except Exception:
            continue
        yield from walk(child, depth + 1)


def showing(acc):
    return acc.getState().contains(pyatspi.STATE_SHOWING)


def find_all(root, pred):
    return [a for a in walk(root) if pred(a)]


def find(root, role_name=None, name=None, only_showing=True):
    """The first node with that role and name (either may be None)."""
    for a in walk(root):
        if role_name is not None and role(a) != role_name:
            continue
        if name is not None and a.name != name:
            continue
        if only_showing and not showing(a):
            continue
        return a
    return None


def app(name, timeout=15.0):
    """The application called `name` on the accessibility bus."""
    def look():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            a = desktop.getChildAtIndex(i)
            if a is not None and a.name == name:
                return a
        return None
    return wait_for(look, timeout)


def window(application, role_name, title, timeout=10.0):
    """A top-level window of the application by role and title."""
    def look():
        for i in range(application.childCount):
            w = application.getChildAtIndex(i)
            if w is not None and role(w) == role_name and w.name == title and showing(w):
                return w
        return None
    return wait_for(look, timeout)


def windows(application):
    return [(role(w), w.name) for w in (application.getChildAtIndex(i) for i in range(application.childCount))
            if w is not None and showing(w)]


def press(acc):
    """Presses a button through its action interface, as a screen reader does."""
    action = acc.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() in ("press", "click"):
            return action.doAction(i)
    return action.doAction(0)


def names_seen(acc, seconds):
    """Runs the event loop for `seconds`, collecting the names that `acc`
    announced through name-change events (what a screen reader hears)."""
    seen = []

    def on_event(event):
        try:
            if event.source == acc or (event.source.name and event.source.name.startswith(acc.name[:2])):
                seen.append(event.source.name)
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(on_event, "object:property-change:accessible-name")
    GLib.timeout_add(int(seconds * 1000), lambda: pyatspi.Registry.stop() or False)
    pyatspi.Registry.start()
    pyatspi.Registry.deregisterEventListener(on_event, "object:property-change:accessible-name")
    return seen
