#!/usr/bin/env python3
"""The signing extension and ombrel-bridge in a real browser, headless.

One scenario, run in Chromium (through Debian's chromedriver and Selenium) or
in Firefox ESR (through its built-in WebDriver BiDi): a local https page on an
allowed origin lists the certificates of a SoftHSM2 test token through the
stand-in PKCS#11 module, signs a text, exports the certificate, and OpenSSL
verifies the signature; two frames signing at once both get every
signature; pages of other sites are refused as themselves whatever their
requests claim, are told nothing of the machine, and cannot start more than a
few hosts, which end after refusing; sandboxed pages at the allowed URL get
nothing; a missing host manifest, a missing program, a host that exits, a
request over 1 MiB and an answer over 1 MiB each reach the page as their
documented error code, whatever each browser's own text for them.

usage: browser_test.py --browser chromium|firefox --build BUILD --tokens DIR
                       [--screenshot PNG]
"""

import argparse
import base64
import http.server
import json
import os
import re
import shutil
import socketserver
import ssl
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
SERIAL = "80F00D2048"  # the 2048-bit key of the test token, subject CN=张三
TEXT = "pay 100 to 6222 — 付款"


class Failure(Exception):
    pass


def check(condition, what, detail=""):
    if not condition:
        raise Failure(f"{what}: {detail}" if detail else what)
    print(f"ok: {what}", flush=True)


def run(*args, **kwargs):
    return subprocess.run(args, check=True, capture_output=True, **kwargs)


# ---- the world: certificate, server, token, allow-list ---------------------------------------------

def make_certificate(folder):
    key, cert = os.path.join(folder, "server.key"), os.path.join(folder, "server.pem")
    run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=127.0.0.1",
        "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost", "-keyout", key, "-out", cert)
    return cert, key


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    """The test page; under /sandboxed/ the same page with a sandbox policy (an opaque origin)."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, directory=os.path.join(HERE, "page"), **kwargs)

    def translate_path(self, path):
        return super().translate_path(path[len("/sandboxed"):] if path.startswith("/sandboxed/") else path)

    def end_headers(self):
        if self.path.startswith("/sandboxed/"):
            self.send_header("Content-Security-Policy", "sandbox allow-scripts")
        super().end_headers()

    def log_message(self, *args):
        pass


def start_server(cert, key):
    server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), QuietHandler)
    server.daemon_threads = True
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(cert, key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, server.server_address[1]


def host_environment(work, tokens, allowed):
    """What the browser passes on to the host it starts."""
    token_dir = os.path.join(work, "token")
    shutil.copytree(os.path.join(tokens, "one", "tokens"), os.path.join(token_dir, "tokens"))
    with open(os.path.join(token_dir, "softhsm2.conf"), "w") as conf:
        conf.write(f"directories.tokendir = {token_dir}/tokens\nobjectstore.backend = file\nlog.level = ERROR\n")
    config = os.path.join(work, "config")
    os.makedirs(os.path.join(config, "ombrel-bridge"))
    with open(os.path.join(config, "ombrel-bridge", "allowed-origins"), "w") as f:
        f.write(f"# the test page\n{allowed}/\n")
    env = dict(os.environ)
    env.update({
        "SOFTHSM2_CONF": os.path.join(token_dir, "softhsm2.conf"),
        "QDPKCS11_TEST_PIN": "12345678",
        "QDPKCS11_COUNTDOWN": "0",
        "XDG_CONFIG_HOME": config,
        "QD_BRIDGE_SYSTEM_ORIGINS": os.path.join(work, "no-system-allow-list"),
        "HOME": os.path.join(work, "home"),
    })
    os.makedirs(env["HOME"])
    # The hosts' turns at the key (a lock file there), apart from other runs.
    env["XDG_RUNTIME_DIR"] = os.path.join(work, "run")
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)
    # A sanitizer build's host reports into files the test reads afterwards.
    env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + f":log_path={work}/sanitizer"
    env["UBSAN_OPTIONS"] = env.get("UBSAN_OPTIONS", "") + f":log_path={work}/sanitizer"
    return env


# ---- the two browsers ---------------------------------------------------------------------------

class Chromium:
    """Chromium with the unpacked extension, through chromedriver."""

    name = "chromium"

    def __init__(self, work, env, extension):
        from selenium import webdriver
        from selenium.webdriver.chrome.service import Service

        self.profile = os.path.join(work, "chromium-profile")
        self.hosts = os.path.join(self.profile, "NativeMessagingHosts")
        os.makedirs(self.hosts)
        options = webdriver.ChromeOptions()
        options.binary_location = "/usr/bin/chromium"
        for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--window-size=1000,760",
                     f"--user-data-dir={self.profile}", f"--load-extension={extension}",
                     "--no-first-run", "--disable-dev-shm-usage"):
            options.add_argument(flag)
        options.accept_insecure_certs = True
        service = Service(executable_path="/usr/bin/chromedriver", env=env)
        self.driver = webdriver.Chrome(service=service, options=options)
        self.driver.set_script_timeout(60)

    def open(self, url):
        self.driver.get(url)

    def evaluate(self, expression):
        return self.driver.execute_script(f"return {expression};")

    def screenshot(self, path):
        self.driver.save_screenshot(path)

    def click(self, x, y):
        from selenium.webdriver.common.actions.action_builder import ActionBuilder
        actions = ActionBuilder(self.driver)
        actions.pointer_action.move_to_location(int(x), int(y)).click()
        actions.perform()

    def keys(self, text):
        """Key presses, one per character, into whatever has the focus."""
        from selenium.webdriver.common.action_chains import ActionChains
        ActionChains(self.driver).send_keys(text).perform()

    def quit(self):
        self.driver.quit()


class Firefox:
    """Firefox ESR headless, driven through its own WebDriver BiDi endpoint."""

    name = "firefox"

    def __init__(self, work, env, extension):
        import websocket

        self.hosts = os.path.join(env["HOME"], ".mozilla", "native-messaging-hosts")
        os.makedirs(self.hosts)
        profile = os.path.join(work, "firefox-profile")
        os.makedirs(profile)
        with open(os.path.join(profile, "user.js"), "w") as prefs:
            for name, value in (("browser.shell.checkDefaultBrowser", "false"),
                                ("datareporting.policy.dataSubmissionEnabled", "false"),
                                ("app.update.disabledForTesting", "true"),
                                ("browser.aboutwelcome.enabled", "false")):
                prefs.write(f'user_pref("{name}", {value});\n')
        self.process = subprocess.Popen(
            ["firefox-esr", "--headless", "--remote-debugging-port=0", "--profile", profile, "--no-remote",
             "--width=1000", "--height=760"],
            env=env, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        address = None
        deadline = time.monotonic() + 60
        while address is None and time.monotonic() < deadline:
            line = self.process.stderr.readline()
            if not line:
                break
            match = re.search(r"WebDriver BiDi listening on (ws://\S+)", line)
            if match:
                address = match.group(1)
        if address is None:
            self.process.kill()
            raise Failure("Firefox printed no WebDriver BiDi address")
        # Keep reading its diagnostics so the pipe never fills.
        threading.Thread(target=lambda: [None for _ in self.process.stderr], daemon=True).start()
        self.socket = websocket.create_connection(address.rstrip("/") + "/session", suppress_origin=True,
                                                  timeout=90)
        self.next_id = 0
        self.command("session.new", {"capabilities": {"alwaysMatch": {"acceptInsecureCerts": True}}})
        self.command("webExtension.install", {"extensionData": {"type": "path", "path": extension}})
        self.context = self.command("browsingContext.getTree", {})["contexts"][0]["context"]

    def command(self, method, params):
        self.next_id += 1
        self.socket.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = json.loads(self.socket.recv())
            if reply.get("id") != self.next_id:
                continue  # an event
            if reply.get("type") == "error" or "error" in reply and reply.get("type") != "success":
                raise Failure(f"{method}: {reply.get('error')}: {reply.get('message')}")
            return reply["result"]

    def open(self, url):
        self.command("browsingContext.navigate", {"context": self.context, "url": url, "wait": "complete"})

    def evaluate(self, expression):
        result = self.command("script.evaluate", {"expression": expression, "target": {"context": self.context},
                                                   "awaitPromise": True, "resultOwnership": "none"})
        if result.get("type") != "success":
            raise Failure(f"script failed: {result.get('exceptionDetails', {}).get('text')}")
        value = result["result"]
        return value.get("value")

    def click(self, x, y):
        self.command("input.performActions", {"context": self.context, "actions": [{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"},
            "actions": [{"type": "pointerMove", "x": int(x), "y": int(y)},
                        {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]}]})

    def keys(self, text):
        """Key presses, one per character, into whatever has the focus."""
        actions = []
        for character in text:
            actions += [{"type": "keyDown", "value": character}, {"type": "keyUp", "value": character}]
        self.command("input.performActions", {"context": self.context,
                                              "actions": [{"type": "key", "id": "keyboard", "actions": actions}]})

    def screenshot(self, path):
        data = self.command("browsingContext.captureScreenshot", {"context": self.context})["data"]
        with open(path, "wb") as out:
            out.write(base64.b64decode(data))

    def quit(self):
        try:
            self.command("browser.close", {})
        except Exception:
            pass
        try:
            self.process.wait(timeout=20)
        except subprocess.TimeoutExpired:
            self.process.kill()


BROWSERS = {"chromium": Chromium, "firefox": Firefox}


# ---- the scenario -------------------------------------------------------------------------------

def install_manifest(browser, build, path=None, host="ombrel_bridge"):
    """A host manifest CMake generated for this browser (the signing host's,
    or host="varnex_bridge"), optionally with another program path."""
    with open(os.path.join(build, "bridge", "manifests", "build", browser.name, f"{host}.json")) as f:
        manifest = json.load(f)
    if path is not None:
        manifest["path"] = path
    with open(os.path.join(browser.hosts, f"{host}.json"), "w") as f:
        json.dump(manifest, f)


def verify_signature(work, signed, cert_b64):
    raw = signed.encode()
    check(raw.startswith(b"UD65001:") and raw[8:16].isdigit(), "the signed data has the UD65001 form", signed[:80])
    length = int(raw[8:16])
    data, rest = raw[16:16 + length], raw[16 + length:]
    check(data.decode() == TEXT, "its data length counts the UTF-8 bytes of the text the page set")
    signature = rest[8:].decode()
    check(rest[:8].isdigit() and int(rest[:8]) == len(signature) and re.fullmatch("[0-9A-F]+", signature),
          "its signature is upper-case hexadecimal of the length given", rest[:40])
    paths = {name: os.path.join(work, name) for name in ("data", "sig", "cert.der", "pub.pem")}
    with open(paths["data"], "wb") as f:
        f.write(data)
    with open(paths["sig"], "wb") as f:
        f.write(bytes.fromhex(signature))
    with open(paths["cert.der"], "wb") as f:
        f.write(base64.b64decode(cert_b64))
    pub = run("openssl", "x509", "-inform", "DER", "-in", paths["cert.der"], "-noout", "-pubkey").stdout
    with open(paths["pub.pem"], "wb") as f:
        f.write(pub)
    serial = run("openssl", "x509", "-inform", "DER", "-in", paths["cert.der"], "-noout", "-serial").stdout
    check(serial.decode().strip() == f"serial={SERIAL}", "SignCert exports the chosen certificate", serial)
    verified = subprocess.run(["openssl", "dgst", "-sha256", "-verify", paths["pub.pem"], "-signature",
                               paths["sig"], paths["data"]], capture_output=True, text=True)
    check(verified.returncode == 0 and "Verified OK" in verified.stdout,
          "OpenSSL verifies the signature (RSA, SHA-256) against the exported certificate",
          verified.stdout + verified.stderr)


def page_error(browser, call):
    return json.loads(browser.evaluate(f"outcome({call})"))


def counting_host(work, build, program="ombrel-bridge"):
    """A host program that notes each start (its PID) and then is the real host."""
    path = os.path.join(work, f"counting-{program}")
    with open(path, "w") as f:
        f.write(f'#!/bin/sh\necho $$ >> "{work}/{program}-starts"\nexec "{build}/bin/{program}" "$@"\n')
    os.chmod(path, 0o755)
    return path


def host_starts(work, program="ombrel-bridge"):
    try:
        with open(os.path.join(work, f"{program}-starts")) as f:
            return [int(line) for line in f if line.strip()]
    except FileNotFoundError:
        return []


def running(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def still_running(pids, seconds=20):
    deadline = time.monotonic() + seconds
    while any(running(pid) for pid in pids) and time.monotonic() < deadline:
        time.sleep(0.1)
    return [pid for pid in pids if running(pid)]


def foreign_pages(browser, work, build, port, foreign_port):
    """What other sites' pages can do: claim an allowed origin, read the
    refusal, start hosts from a hundred frames, hide behind a sandbox."""
    allowed = f"https://127.0.0.1:{port}"
    install_manifest(browser, build, path=counting_host(work, build))

    foreign = f"https://localhost:{port}"
    browser.open(f"{foreign}/index.html")
    claimed = json.loads(browser.evaluate(f"claimedOrigin({json.dumps(allowed)})"))
    check(claimed.get("code") == "not-allowed" and foreign in claimed.get("message", ""),
          "a foreign page whose request claims an allowed origin is refused as itself", claimed)
    refusal = page_error(browser, "ombrel.getCertList()")
    check(refusal.get("code") == "not-allowed"
          and refusal.get("message") == f"origin {foreign} is not allowed to use the signing service",
          "the refusal names the page's origin and nothing of the machine", refusal)
    started = host_starts(work)
    check(len(started) == 1, "the refused origin's next request started no host", started)
    check(not still_running(started), "a host that refused its page has ended", started)

    # A hundred frames of a site the host has not yet refused, all asking at once.
    flood = f"https://localhost:{foreign_port}"
    browser.open(f"{flood}/index.html")
    first = json.loads(browser.evaluate("askInFrames(100)"))
    started = host_starts(work)[1:]
    check(set(first) <= {"not-allowed", "busy"} and sum(first.values()) == 100 and 1 <= len(started) <= 4,
          "a hundred foreign frames asking at once start at most four hosts and are all refused",
          f"{first}, {len(started)} hosts")
    check(not still_running(started), "each of those hosts ended after its refusal", started)
    again = json.loads(browser.evaluate("askInFrames(100)"))
    check(again == {"not-allowed": 100} and len(host_starts(work)) == 1 + len(started),
          "asking again, they are refused without a host", again)

    # A page with no origin of its own at an allowed URL: a document served
    # with a sandbox policy, and a sandboxed frame of the allowed page inside
    # the foreign one.
    before = len(host_starts(work))
    sandboxed = json.loads(browser.evaluate(f"askInSandboxedFrame({json.dumps(allowed + '/index.html')})"))
    check(sandboxed.get("code") == "not-allowed", "a sandboxed frame of an allowed page gets no service",
          sandboxed)
    browser.open(f"{allowed}/sandboxed/index.html")
    opaque = page_error(browser, "ombrel.getCertList()")
    check(opaque.get("code") == "not-allowed",
          "a document of an allowed URL served with a sandbox policy gets no service", opaque)
    check(len(host_starts(work)) == before, "and neither started a host", host_starts(work)[before:])


# ---- the password field ------------------------------------------------------------------------

PASSWORD = "s3cret_Pw9"
KEYS = {"return": "\ue007", "tab": "\ue004", "backspace": "\ue003", "left": "\ue012", "delete": "\ue017"}

# One table for both front ends: the page parameters and the typing (texts,
# and special keys by nphost's names), the same in the plug-in through nphost
# and in the browser's field.
FIELD_TABLE = [
    ({}, ["abc"]),                                   # shorter than minlength
    ({"accepts": r"\d{6}"}, ["123456"]),
    ({"accepts": r"\d{6}"}, ["12345a"]),             # not the pattern
    ({"contentType": "3"}, ["abcdef"]),              # a digit required
    ({"contentType": "3"}, ["abc123"]),
    ({"maxlength": "4"}, ["abcdefgh"]),              # typing stops at the limit
    ({"minlength": "2"}, ["abcdefg", ("backspace",), ("left",), ("left",), ("delete",)]),
    ({"entertype": "edit"}, ["pass word"]),          # a space is no \w
    ({"accepts": r"\w{1,30}"}, ["пароль12"]),        # outside Latin-1
]


def wait_for(browser, expression, seconds=20):
    deadline = time.monotonic() + seconds
    while True:
        raw = browser.evaluate(expression)
        value = json.loads(raw) if isinstance(raw, str) else raw
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.05)


def type_into(browser, which, typing):
    """Clicks into field `which` and types as a user does: key presses into whatever has the focus."""
    box = json.loads(browser.evaluate(f"frameBox({which})"))
    browser.click(box["x"] + min(20, box["width"] / 2), box["y"] + box["height"] / 2)
    keys = "".join(part if isinstance(part, str) else KEYS[part[0]] for part in typing)
    browser.keys(keys)


def open_envelope(build, envelope):
    """dorn-decrypt with the demo deployment's private key: the text inside the envelope."""
    key = os.path.join(SOURCE, "..", "sim", "keys", "app_rsa1024.pem")
    opened = subprocess.run([os.path.join(build, "bin", "dorn-decrypt"), "--mode", "0", "--app-key", key],
                            input=envelope.encode(), capture_output=True)
    lines = dict(line.split(": ", 1) for line in opened.stdout.decode().splitlines() if ": " in line)
    return lines.get("text"), opened.returncode


def plugin_answers(build, params, typing):
    """The plug-in's verify, length and degree events for the same typing, through nphost."""
    words = " ".join(f"{name}={value}" for name, value in params.items())
    script = [f"new libvarnex.so width=300 height=40 {words}", "listen eventDegree", "focus on", "click 20 20"]
    for part in typing:
        script.append(f"type {part}" if isinstance(part, str) else f"key {part[0]}")
    script += ["call verify", "call getLength"]
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = subprocess.run([os.path.join(build, "bin", "nphost"), "-"], input="\n".join(script) + "\n",
                         capture_output=True, text=True, env=env, check=True).stdout
    return {
        "verify": int(re.search(r"^verify -> (-?\d+)$", out, re.M).group(1)),
        "length": int(re.search(r"^getLength -> (\d+)$", out, re.M).group(1)),
        "degrees": re.findall(r'^event eventDegree\("(.*)"\)$', out, re.M),
    }


def field_accessibility(browser):
    """The first field's input as assistive technology meets it: (role or type, name)."""
    if browser.name == "chromium":
        from selenium.webdriver.common.by import By
        driver = browser.driver
        frame = driver.find_element(By.CSS_SELECTOR, "#password iframe")
        outer = (frame.aria_role, frame.accessible_name)
        driver.switch_to.frame(frame)
        try:
            # The driver computes no role inside another process's frame: the markup tells it.
            inner = json.loads(driver.execute_script(
                "const i = document.querySelector('input');"
                "return JSON.stringify([i.type, i.labels.length === 1 ? i.labels[0].textContent : null]);"))
        finally:
            driver.switch_to.default_content()
        return outer, tuple(inner)
    tree = browser.command("browsingContext.getTree", {"root": browser.context})["contexts"][0]["children"]
    frame = [c for c in tree if c["url"].startswith("moz-extension://")][0]["context"]
    found = browser.command("browsingContext.locateNodes", {
        "context": frame, "locator": {"type": "accessibility", "value": {"name": "Password of customer"}}})["nodes"]
    inputs = [node["value"] for node in found if node["value"].get("localName") == "input"]
    return ("iframe", None), (inputs[0]["attributes"].get("type") if inputs else None,
                              "Password of customer" if inputs else None)


def password_field(browser, work, build, port, screenshot):
    allowed = f"https://127.0.0.1:{port}"
    install_manifest(browser, build, path=counting_host(work, build, "varnex-bridge"), host="varnex_bridge")
    browser.open(f"{allowed}/field.html")
    check(browser.evaluate("typeof window.varnex") == "object", "the page sees window.varnex")
    made = json.loads(browser.evaluate(
        "outcome(makeField({width: 300, height: 40, maxlength: 20, accepts: '\\\\w{6,20}', "
        "bordercolor: '#1a5fb4', label: 'Password of customer'}))"))
    check(made == {"result": 0}, "a field is made in the page's element", made)

    type_into(browser, 0, [PASSWORD])
    pressed = time.monotonic()
    browser.keys(KEYS["return"])
    seen = wait_for(browser, "fields[0].seen.done && seen(0)")
    check(seen and seen["returns"] == 1, "Return typed in the field reaches the page as eventReturn", seen)
    check(seen["verify"] == 0 and seen["length"] == len(PASSWORD), "verify and getLength answer for the typed text",
          seen)
    text, status = open_envelope(build, seen["envelope"] or "")
    check(status == 0 and text == PASSWORD, "getValue's envelope opens with the bank's key to exactly the typed text",
          f"{status} {text!r}")
    check(seen["degrees"] == ["S"] * len(PASSWORD), "a listed origin gets one degree event per key typed",
          seen["degrees"])
    print(f"{browser.name}: Return to envelope in the page {1000 * (time.monotonic() - pressed):.0f} ms (with polling)")
    if screenshot:
        browser.screenshot(screenshot)
        print(f"screenshot: {screenshot}")

    snooped = json.loads(browser.evaluate("snoop()"))
    check(snooped["documentRead"] == "nothing", "the page cannot read the field's document", snooped["documentRead"])
    check(snooped["events"] == [], "no key or input event of the typing reaches the page's listeners",
          snooped["events"][:5])
    leaks = [m for m in snooped["messages"] if PASSWORD in m]
    check(snooped["messages"] and not leaks, "no message the page receives carries the text", leaks[:2])
    check(PASSWORD not in snooped["html"] and PASSWORD not in "".join(snooped["inputs"]),
          "nor does anything in the page's document")

    outer, inner = field_accessibility(browser)
    check(inner == ("password", "Password of customer"),
          "the input is a password field named by the page's label parameter", (outer, inner))
    if browser.name == "chromium":
        check(outer == ("Iframe", "Password of customer"), "its frame carries the same name", outer)

    type_into(browser, 0, [("tab",)])
    tabs = wait_for(browser, "fields[0].seen.tabs")
    check(tabs == 1, "Tab in the field reaches the page as eventTab", tabs)
    cleared = json.loads(browser.evaluate("outcome(fields[0].field.clear().then(() => fields[0].field.getLength()))"))
    check(cleared == {"result": 0}, "clear empties the field", cleared)

    bad = [
        ("fields[0].field.setTimestamp()", "bad-request"),
        ("fields[0].field.setTimestamp('1', '2')", "bad-request"),
        ("fields[0].field.setCalcFactor(12)", "bad-request"),
        ("fields[0].field.addEventListener('eventReturn')", "bad-request"),
        ("fields[0].field.set('minLength', 'six')", "bad-request"),
        ("varnex.create(document.body, {maxlength: {}})", "bad-request"),
        ("varnex.create('password')", "bad-request"),
    ]
    for call, code in bad:
        error = page_error(browser, call)
        check(error.get("code") == code, f"{call} is rejected as {code}", error)

    # The same table in both front ends.
    for row, (params, typing) in enumerate(FIELD_TABLE):
        which = json.loads(browser.evaluate(
            f"outcome(makeField({json.dumps(dict(params, width=300, height=40))}, 'more'))"))["result"]
        type_into(browser, which, typing + [("return",)])
        got = wait_for(browser, f"fields[{which}].seen.done && seen({which})")
        wanted = plugin_answers(build, params, typing)
        check(got and {"verify": got["verify"], "length": got["length"], "degrees": got["degrees"]} == wanted,
              f"row {row} ({params}, {typing}): the browser's field answers as the plug-in", (got, wanted))

    # Ten fields and more of one page are one host; reloading ends it.
    started = host_starts(work, "varnex-bridge")
    check(len(started) == 1, "one host serves all the page's fields", started)
    browser.open(f"{allowed}/field.html")
    check(not still_running(started), "reloading the page ends its host", started)
    ten = json.loads(browser.evaluate("Promise.all(Array.from({length: 10}, () => makeField({}, 'more')))"
                                      ".then(JSON.stringify)"))
    lengths = json.loads(browser.evaluate("Promise.all(fields.map((f) => f.field.getLength())).then(JSON.stringify)"))
    check(sorted(ten) == list(range(10)) and lengths == [0] * 10, "a page opens ten fields at once, each answering",
          (ten, lengths))
    gone = json.loads(browser.evaluate("(fields.forEach((f) => f.holder.remove()), outcome(Promise.resolve(1)))"))
    started = host_starts(work, "varnex-bridge")
    browser.open(f"{allowed}/index.html")
    check(gone == {"result": 1} and not still_running(started), "removing them and leaving leaves no host", started)

    # Another site's page: envelopes yes, the measure and degree events no.
    foreign = f"https://localhost:{port}"
    browser.open(f"{foreign}/field.html")
    made = json.loads(browser.evaluate("outcome(makeField({width: 300, height: 40}))"))
    type_into(browser, 0, [PASSWORD, ("return",)])
    seen = wait_for(browser, "fields[0].seen.done && seen(0)")
    check(made == {"result": 0} and seen and seen["verify"] == 0 and open_envelope(build, seen["envelope"])[0] == PASSWORD,
          "a page of an unlisted origin gets its field and envelope", seen)
    check(seen["degrees"] == [], "but no degree events", seen["degrees"])
    measure = page_error(browser, "fields[0].field.getMeasureValue()")
    check(measure.get("code") == "refused" and "allow-listed" in measure.get("message", ""),
          "and no measure value", measure)

    os.remove(os.path.join(browser.hosts, "varnex_bridge.json"))
    browser.open(f"{allowed}/field.html")
    missing = page_error(browser, "makeField({})")
    frames = browser.evaluate("document.querySelectorAll('iframe').length")
    check(missing.get("code") == "host-missing" and "varnex-bridge" in missing.get("message", "") and frames == 0,
          "with no host manifest the page is told to install the field's program, and no frame stays", (missing, frames))
    browser.open(f"{allowed}/index.html")


def scenario(browser, work, build, port, foreign_port, started, screenshot, field_screenshot):
    allowed = f"https://127.0.0.1:{port}"
    install_manifest(browser, build)

    browser.open(f"{allowed}/index.html")
    check(browser.evaluate("typeof window.ombrel") == "object", "the page sees window.ombrel")
    result = json.loads(browser.evaluate(f"signFlow({json.dumps(SERIAL)}, {json.dumps(TEXT)}).then(JSON.stringify)"))
    first_signature = time.monotonic() - started
    check(f"CN=张三,{SERIAL};" in result["list"], "getCertList lists the token's certificates", result["list"])
    check(result["lastError"] == "OK", "LastError is OK after signing", result["lastError"])
    verify_signature(work, result["signed"], result["cert"])
    if screenshot:
        browser.screenshot(screenshot)
        print(f"screenshot: {screenshot}")

    version = json.loads(browser.evaluate("outcome(ombrel.getVersion())"))
    check(version == {"result": "1.0.0.28"}, "getVersion answers as the plug-in does", version)
    refused = page_error(browser, "ombrel.get('CN')")
    check(refused.get("code") == "refused", "reading CN is refused as the plug-in refuses it", refused)
    big = page_error(browser, "ombrel.set('SignData', 'x'.repeat(1100000))")
    check(big.get("code") == "too-large", "a message over 1 MiB is refused", big)
    after = json.loads(browser.evaluate("outcome(ombrel.get('SignData'))"))
    check(after.get("result", "").startswith(f"UD65001:{len(TEXT.encode()):08d}"),
          "and changes nothing: the earlier sign data still signs", after)

    # Two pages signing at once on one key: both get every signature.
    outcomes = json.loads(browser.evaluate(f"parallelSigning({json.dumps(SERIAL)}, {json.dumps(TEXT)}, 25)"))
    failed = [outcome for outcome in outcomes if outcome != "signed"]
    check(len(outcomes) == 50 and not failed, "two frames signing at once get all 50 signatures",
          f"{len(failed)} failed, the first: {failed[:1]}")

    password_field(browser, work, build, port, field_screenshot)
    foreign_pages(browser, work, build, port, foreign_port)

    os.remove(os.path.join(browser.hosts, "ombrel_bridge.json"))
    browser.open(f"{allowed}/index.html")
    missing = page_error(browser, "ombrel.getVersion()")
    check(missing.get("code") == "host-missing" and "install the package" in missing.get("message", ""),
          "with no host manifest the page is told to install the package", missing)

    faults = [
        ("/nonexistent/ombrel-bridge", "host-missing", "a manifest whose program is missing"),
        (shutil.which("false"), "host-failed", "a host that exits at once"),
        # Chromium gives a failed pipe the same text as an answer over the
        # limit; Firefox names the size.
        (os.path.join(HERE, "big_reply_host.py"), "too-large" if browser.name == "firefox" else "host-failed",
         "a host answering over 1 MiB"),
    ]
    for program, code, what in faults:
        install_manifest(browser, build, path=program)
        browser.open(f"{allowed}/index.html")
        error = page_error(browser, "ombrel.getVersion()")
        check(error.get("code") == code, f"{what} is reported as {code}", error)
    return first_signature


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--browser", choices=sorted(BROWSERS), required=True)
    parser.add_argument("--build", required=True)
    parser.add_argument("--tokens", required=True)
    parser.add_argument("--screenshot")
    parser.add_argument("--field-screenshot")
    args = parser.parse_args()
    build = os.path.abspath(args.build)

    work = tempfile.mkdtemp(prefix=f"bridge-{args.browser}-")
    server = second = browser = None
    try:
        cert, key = make_certificate(work)
        server, port = start_server(cert, key)
        second, foreign_port = start_server(cert, key)  # another site's origin
        env = host_environment(work, os.path.abspath(args.tokens), f"https://127.0.0.1:{port}")
        env["QD_PKCS11_MODULE"] = os.path.join(build, "lib", "qdpkcs11-darwin.so")
        extension = os.path.join(SOURCE, "extension")
        started = time.monotonic()
        browser = BROWSERS[args.browser](work, env, extension)
        first = scenario(browser, work, build, port, foreign_port, started, args.screenshot,
                         args.field_screenshot)
        print(f"{args.browser}: browser start to first signature {first:.2f} s")
        browser.quit()
        browser = None
        reports = [f for f in os.listdir(work) if f.startswith("sanitizer")]
        for report in reports:
            with open(os.path.join(work, report)) as f:
                print(f.read(), file=sys.stderr)
        check(not reports, "the host left no sanitizer report", ", ".join(reports))
        print(f"{args.browser}: passed")
        return 0
    except Failure as failure:
        print(f"FAILED ({args.browser}): {failure}", file=sys.stderr)
        return 1
    finally:
        if browser is not None:
            browser.quit()
        for each in (server, second):
            if each is not None:
                each.shutdown()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
