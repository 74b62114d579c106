"""Checks shared by the test programs that drive windows from outside
(a11y_testing, wayland_testing): each check prints ok/FAIL and the program
goes on, to report every fault; finish() ends it with the verdict. Programs
under test are started with their output kept."""

import os
import subprocess
import sys

FAILURES = []


def check(ok, what):
    print(("ok:   " if ok else "FAIL: ") + what, flush=True)
    if not ok:
        FAILURES.append(what)
    return ok


def finish():
    if FAILURES:
        print("%d check(s) failed" % len(FAILURES))
        sys.exit(1)
    print("all checks passed")
    sys.exit(0)


def start(cmd, env=None):
    """Starts a program whose windows are under test; its output is kept."""
    full = dict(os.environ)
    full.update(env or {})
    return subprocess.Popen(cmd, env=full, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def stop(proc, timeout=5.0):
    """Ends the program if it still runs; its output."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    return proc.stdout.read() if proc.stdout else ""
