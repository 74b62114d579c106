"""The PIN prompt library's windows as a screen reader meets them (run by
CTest under scripts/with-a11y): the PIN prompt is an alert titled "网盾"
whose password field is named by the prompt's message, has the keyboard
focus, and never shows its text; a PIN put in and confirmed through the
accessibility interfaces alone reaches the caller. The countdown is a dialog
titled "按键提示" whose line tells its remaining seconds, announcing each
new number.

Usage: a11y_carrow.py CARROW_HOST"""

import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "tests"))
import a11y_testing as t  # noqa: E402

host = sys.argv[1]

# ---- The PIN prompt ----------------------------------------------------------
proc = t.start([host, "pin"])
app = t.app("carrow")
t.check(app is not None, "the prompt's program is on the accessibility bus")
prompt = app and t.window(app, "alert", "网盾")
t.check(prompt is not None, "the PIN prompt is an alert titled 网盾 (windows: %s)" % (app and t.windows(app)))
if prompt:
    field = t.find(prompt, "password text")
    t.check(field is not None, "the prompt holds a password field")
    if field:
        t.check(field.name == "请输入用户密码！", "the field is named by the prompt's message: %r" % field.name)
        t.check(t.wait_for(lambda: field.getState().contains(t.pyatspi.STATE_FOCUSED), 5),
                "the field has the keyboard focus when the prompt appears")
        editable = field.queryEditableText()
        editable.insertText(0, "24680", 5)
        text = field.queryText()
        count = t.wait_for(lambda: text.characterCount, 3)
        shown = text.getText(0, -1)
        t.check(count == 5, "the field tells its length: %r" % count)
        t.check("2" not in shown and "4" not in shown, "...never its text: %r" % shown)
        ok = t.find(prompt, "push button", "OK")
        t.check(ok is not None, "the prompt has a button named OK")
        if ok:
            t.press(ok)
    try:
        proc.wait(10)
    except Exception:
        pass
out = t.stop(proc)
t.check("pin 5 3234363830" in out, "the PIN put in through the accessibility bus reached the caller: %r"
        % out.strip())

# ---- The countdown -----------------------------------------------------------
proc = t.start([host, "countdown", "4"])
app = t.app("carrow")
dialog = app and t.window(app, "dialog", "按键提示")
t.check(dialog is not None, "the countdown is a dialog titled 按键提示 (windows: %s)" % (app and t.windows(app)))
if dialog:
    line = t.wait_for(lambda: t.find(dialog, "label", "剩余4秒") or t.find(dialog, "label", "剩余3秒"), 5)
    t.check(line is not None, "the countdown line tells the seconds left")
    if line:
        heard = t.names_seen(line, 2.6)
        t.check("剩余3秒" in heard or "剩余2秒" in heard,
                "each new number is announced (heard %r)" % heard)
        t.check(t.wait_for(lambda: line.name in ("剩余1秒", "剩余0秒"), 4),
                "the exposed line follows the countdown: %r" % line.name)
try:
    proc.wait(10)
except Exception:
    pass
out = t.stop(proc)
t.check("countdown 0 flag 1" in out, "the countdown ended by itself: %r" % out.strip())

t.finish()
