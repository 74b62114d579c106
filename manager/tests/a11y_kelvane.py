"""Kelvane as a screen reader meets it (run by CTest under scripts/with-a11y),
with a simulated key whose certificates carry Chinese names and which still
has its first PIN: every control a user reaches is named by the caption
beside it; the first-use and first-change windows and the alerts are
dialogs (alerts) with their titles; the strength meters tell their rating;
certificate names are read as characters, not as \\xHH escapes.

Usage: a11y_kelvane.py KELVANE KEYSIM"""

import os
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "platform", "tests"))
import a11y_testing as t  # noqa: E402

kelvane, keysim = sys.argv[1], sys.argv[2]
os.environ["KEYSIM_DIR"] = tempfile.mkdtemp(prefix="a11y-keys-")
subprocess.run([keysim, "create", "--demo", "demo"], check=True, stdout=subprocess.DEVNULL)
subprocess.run([keysim, "set", "demo", "changepin", "0"], check=True)
# Beside the demo key's certificates, names in other string types
# (OpenSSL's "default" string mask makes 李四 a BMPString and Hélène a
# T61String) and a name that is the ASCII text of 张三's escapes.
made = [("names", "sign", "/CN=李四", "default"), ("names", "enc", "/CN=Hélène", "default"),
        ("literal", "sign", "/CN=\\\\xE5\\\\xBC\\\\xA0\\\\xE4\\\\xB8\\\\x89", "utf8only")]
for i, (container, kind, subject, mask) in enumerate(made):
    conf = os.path.join(os.environ["KEYSIM_DIR"], "req%d.cnf" % i)
    with open(conf, "w") as f:
        f.write("[req]\ndistinguished_name=dn\nstring_mask=%s\n[dn]\n" % mask)
    pem = os.path.join(os.environ["KEYSIM_DIR"], "made%d.pem" % i)
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-keyout", "/dev/null", "-subj", subject, "-utf8", "-config", conf, "-days", "1", "-out", pem],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    subprocess.run([keysim, "import", "demo", container, kind, pem], check=True)

proc = t.start([kelvane], {"QD_USB_BACKEND": "sim", "QD_BANK_URL": "none", "TZ": "CST-8"})
app = t.app("Kelvane")
if not t.check(app is not None, "Kelvane is on the accessibility bus"):
    print(t.stop(proc))
    t.finish()


def named(root, role_name, name):
    return t.find(root, role_name, name)


def expect(root, role_name, name, what=""):
    found = named(root, role_name, name)
    t.check(found is not None, "%s %r named %r %s" % (role_name, name, name, what))
    return found


# ---- The first-use window and the first-change dialog ------------------------
first = t.window(app, "dialog", "首次使用提示")
t.check(first is not None, "the first-use window is a dialog titled 首次使用提示 (windows: %s)" % t.windows(app))
if first:
    button = expect(first, "push button", "修改密码", "in the first-use window")
    if button:
        t.press(button)
    change = t.window(app, "dialog", "修改初始密码")
    t.check(change is not None, "the first-change dialog is a dialog titled 修改初始密码 (windows: %s)"
            % t.windows(app))
    if change:
        for caption in ("旧密码：", "新密码：", "确认新密码："):
            expect(change, "password text", caption, "in the first-change dialog")
        expect(change, "push button", "确定")
        cancel = expect(change, "push button", "取消")
        if cancel:
            t.press(cancel)
        t.check(t.wait_for(lambda: t.window(app, "dialog", "修改初始密码", 0.1) is None, 5),
                "取消 pressed through the bus closes the dialog")

# ---- The main window ---------------------------------------------------------
main = t.wait_for(lambda: next((w for w in (app.getChildAtIndex(i) for i in range(app.childCount))
                                if w is not None and t.role(w) == "frame" and t.showing(w)), None))
t.check(main is not None, "the main window is a frame (windows: %s)" % t.windows(app))
if not main:
    print(t.stop(proc))
    t.finish()

t.check(t.wait_for(lambda: named(main, "push button", "证书信息"), 10) is not None,
        "the key was found (the certificate tab shows)")
# Qt names a combo box by its current item on this platform; the caption
# reaches the screen reader through the labelled-by relation (the buddy).
combo = t.find(main, "combo box")
labels_of = [] if combo is None else [
    r.getTarget(i).name for r in combo.getRelationSet() if r.getRelationType() == t.pyatspi.RELATION_LABELLED_BY
    for i in range(r.getNTargets())]
t.check("网盾：" in labels_of, "the combo box is labelled by its caption 网盾： (%r)" % labels_of)
for caption in ("刷新", "隐藏", "设备信息", "修改密码", "证书信息", "添加", "删除"):
    expect(main, "push button", caption)
expect(main, "table", "常用网址", "on the device panel")
expect(main, "text", "添加常用网址", "on the device panel")

# PIN panel: three password fields, and meters that tell their rating.
t.press(named(main, "push button", "修改密码"))
old = t.wait_for(lambda: named(main, "password text", "旧密码："), 5)
t.check(old is not None, "password text named 旧密码： on the PIN panel")
expect(main, "password text", "新密码：")
expect(main, "password text", "确认新密码：")
if old:
    old.queryComponent().grabFocus()
    t.wait_for(lambda: old.getState().contains(t.pyatspi.STATE_FOCUSED), 5)
    subprocess.run(["xdotool", "type", "--delay", "20", "ab12"], check=False)
    meter = t.wait_for(lambda: t.find(main, "label", "旧密码强度：密码过短"), 5)
    t.check(meter is not None, "the old-PIN meter tells its rating (labels: %r)"
            % [a.name for a in t.find_all(main, lambda a: t.role(a) == "label" and t.showing(a))])
    subprocess.run(["xdotool", "type", "--delay", "20", "cd34"], check=False)
    t.check(t.wait_for(lambda: any(t.find(main, "label", "旧密码强度：" + w) for w in "弱中强"), 5),
            "...and its new rating as the PIN grows")
    text = old.queryText()
    shown = text.getText(0, -1)
    t.check(text.characterCount == 8, "the PIN field tells its length: %d" % text.characterCount)
    t.check("ab12" not in shown and "a" not in shown, "...never its text: %r" % shown)

# Certificate panel: a named table whose rows read as characters.
t.press(named(main, "push button", "证书信息"))
table = t.wait_for(lambda: named(main, "table", "证书信息"), 5)
t.check(table is not None, "the certificate table is named 证书信息")
if table:
    cells = t.wait_for(lambda: [a.name for a in t.find_all(table, lambda a: t.role(a) == "table cell" and a.name)], 5)
    cells = cells or []
    t.check(any("张三" in c for c in cells), "a certificate row reads its subject 张三: %r" % cells)
    for name in ("李四", "Hélène"):
        t.check(any("(%s's %s ID)" % (name, name) in c for c in cells), "a row reads %s: %r" % (name, cells))
    literal = "\\\\xE5\\\\xBC\\\\xA0\\\\xE4\\\\xB8\\\\x89"
    t.check(any("(%s's %s ID)" % (literal, literal) in c for c in cells),
            "the ASCII text of escapes is read as that text, backslashes doubled, never as 张三: %r" % cells)
    t.check(cells and not any("\\x" in c for c in cells if literal not in c), "no other row is read as escapes: %r"
            % cells)
labels = [a.name for a in t.find_all(main, lambda a: t.role(a) == "label" and t.showing(a))]
t.check(not any("\\x" in n for n in labels), "no detail field is read as escapes: %r" % labels)
t.check(any("张三" in n for n in labels), "the subject field reads 张三: %r" % labels)

# An alert: 查看证书 with no certificate chosen.
view = named(main, "push button", "查看证书")
if view:
    t.press(view)
    alert = t.window(app, "alert", "网盾", 5) or t.window(app, "dialog", "网盾", 1)
    t.check(alert is not None and t.role(alert) == "alert",
            "an alert is announced as an alert titled 网盾 (windows: %s)" % t.windows(app))
    if alert:
        t.check(t.find(alert, "label", "请选择证书！") is not None or "请选择证书！" in
                [a.name for a in t.walk(alert)], "the alert reads its message")
        ok = t.find(alert, "push button", "OK")
        if ok:
            t.press(ok)

t.stop(proc)
t.finish()
