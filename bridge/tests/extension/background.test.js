// The extension's background with fake ports, as pages and hosts drive it
// (node --test): which origin reaches the host, which pages never start one,
// and how many hosts pages can start.
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const fs = require("node:fs");
const path = require("node:path");
const vm = require("node:vm");

const EXTENSION = path.join(__dirname, "..", "..", "extension");
const SOURCES = ["errors.js", "background.js"].map((name) => fs.readFileSync(path.join(EXTENSION, name), "utf8"));

function listeners() {
  const list = [];
  return { addListener: (f) => list.push(f), fire: (...args) => list.forEach((f) => f(...args)) };
}

function fakePort(name, sender) {
  const port = {
    name,
    sender,
    sent: [],
    closed: false,
    onMessage: listeners(),
    onDisconnect: listeners(),
    postMessage(message) {
      if (port.closed) throw new Error("Attempting to use a disconnected port object");
      port.sent.push(JSON.parse(JSON.stringify(message)));
    },
    disconnect() {
      port.closed = true;
    },
  };
  return port;
}

// The background in a browser of its own: pages connect, hosts answer and end.
function world() {
  const onConnect = listeners();
  const hosts = [];
  const clock = { now: 1000 };
  const chrome = {
    runtime: {
      id: "ombrel-test",
      onConnect,
      getURL: (file) => `chrome-extension://ombrel-test/${file}`,
      connectNative(name) {
        const host = fakePort(name);
        // What the host does: answer the request in flight, or end.
        host.reply = (fields) => host.onMessage.fire({ id: host.sent[host.sent.length - 1].id, ...fields });
        host.end = () => host.onDisconnect.fire(host);
        hosts.push(host);
        return host;
      },
    },
  };
  const timers = new Map();
  let timerIds = 0;
  clock.advance = (ms) => {
    clock.now += ms;
    for (const [id, timer] of [...timers]) {
      if (timer.at <= clock.now) {
        timers.delete(id);
        timer.run();
      }
    }
  };
  const context = vm.createContext({
    chrome,
    Date: { now: () => clock.now },
    setTimeout: (run, ms) => (timers.set(++timerIds, { run, at: clock.now + ms }), timerIds),
    clearTimeout: (id) => timers.delete(id),
    importScripts() {},
  });
  for (const source of SOURCES) vm.runInContext(source, context);
  const limits = vm.runInContext("LIMITS", context);

  let pageIds = 0;
  // A page (document or frame) of `origin` as the browser reports it, in `tab`.
  function page(origin, { tab = 1, url = "https://bank.example/sign.html", service = "ombrel-bridge" } = {}) {
    const port = fakePort(service, { id: "ombrel-test", origin, url, tab: { id: tab }, frameId: pageIds++ });
    onConnect.fire(port);
    let ids = 0;
    return {
      port,
      // The page's request; the answer it got (the last one), if any yet.
      // Another message of the content script's own (a field's token, a removed frame).
      tell(message) {
        port.onMessage.fire(message);
      },
      ask(request, extra = {}) {
        port.onMessage.fire({ id: ++ids, request, ...extra });
        return port.sent[port.sent.length - 1];
      },
      go() {
        port.onDisconnect.fire(port);
      },
    };
  }
  // A field's frame of `tab` at `url`, holding `text`, naming the field by `token`.
  function frame(token, { tab = 1, url = `chrome-extension://ombrel-test/field.html#${token}`, text = "" } = {}) {
    const port = fakePort("varnex-field", { id: "ombrel-test", url, tab: { id: tab }, frameId: pageIds++ });
    port.text = text;
    const post = port.postMessage;
    port.postMessage = (message) => {
      post(message);
      if ("want" in message) port.onMessage.fire({ ticket: message.want, text: port.text });
    };
    onConnect.fire(port);
    port.onMessage.fire({ token });
    return port;
  }
  return { hosts, clock, limits, page, frame };
}

test("the host gets the origin the browser reports, never one the page's request claims", () => {
  const { hosts, page } = world();
  const evil = page("https://evil.example");
  evil.ask({ call: "getCertList", origin: "https://bank.example", id: 99 }, { origin: "https://bank.example" });
  assert.strictEqual(hosts.length, 1);
  assert.deepStrictEqual(hosts[0].sent[0], { call: "getCertList", id: 1, origin: "https://evil.example" });
  hosts[0].reply({ error: { code: "not-allowed", message: "origin https://evil.example is not allowed" } });
  assert.deepStrictEqual(evil.port.sent, [
    { id: 1, error: { code: "not-allowed", message: "origin https://evil.example is not allowed" } },
  ]);
});

test("a page with no origin of its own is refused without starting a host, whatever its URL", () => {
  const { hosts, page } = world();
  // A document served with a sandbox policy, or a sandboxed frame: an opaque origin at an allowed URL.
  for (const origin of ["null", undefined, ""]) {
    const sandboxed = page(origin, { url: "https://bank.example/sign.html" });
    const reply = sandboxed.ask({ call: "getCertList" });
    assert.strictEqual(reply.error.code, "not-allowed", String(origin));
    assert.match(reply.error.message, /no origin of its own/);
  }
  assert.strictEqual(hosts.length, 0);
});

test("an origin its host refused is refused without a host until the time is up", () => {
  const { hosts, clock, limits, page } = world();
  const first = page("https://evil.example");
  first.ask({ call: "getVersion" });
  const refusal = { code: "not-allowed", message: "origin https://evil.example is not allowed to use the signing service" };
  hosts[0].reply({ error: refusal });
  hosts[0].end();  // a host that refused its session ends
  assert.deepStrictEqual(first.ask({ call: "getVersion" }), { id: 2, error: refusal });
  const frames = Array.from({ length: 20 }, () => page("https://evil.example", { tab: 2 }));
  for (const frame of frames) assert.deepStrictEqual(frame.ask({ call: "getVersion" }).error, refusal);
  assert.strictEqual(hosts.length, 1, "no more hosts for the refused origin");

  page("https://bank.example").ask({ call: "getVersion" });
  assert.strictEqual(hosts.length, 2, "another origin still reaches its host");

  clock.now += limits.refusalMs;
  first.ask({ call: "getVersion" });
  assert.strictEqual(hosts.length, 3, "once the time is up the host decides again");
});

test("only so many hosts run per tab and in all; one that ends or whose page goes frees its place", () => {
  const { hosts, limits, page } = world();
  const busy = (reply) => Boolean(reply && reply.error && reply.error.code === "busy");
  const inTab = Array.from({ length: limits.hostsPerTab + 1 }, () => page("https://bank.example", { tab: 1 }));
  const replies = inTab.map((frame) => frame.ask({ call: "getVersion" }));
  assert.strictEqual(hosts.length, limits.hostsPerTab);
  assert.deepStrictEqual(replies.map(busy), [...Array(limits.hostsPerTab).fill(false), true]);
  assert.match(replies[limits.hostsPerTab].error.message, /too many pages/);

  let tab = 2;
  while (hosts.length < limits.hosts) {
    for (let i = 0; i < limits.hostsPerTab && hosts.length < limits.hosts; ++i)
      page("https://bank.example", { tab }).ask({ call: "getVersion" });
    ++tab;
  }
  const late = page("https://bank.example", { tab: 99 });
  assert.ok(busy(late.ask({ call: "getVersion" })), "no host over the limit in all");
  assert.strictEqual(hosts.length, limits.hosts);

  hosts[0].end();  // a host that ended (its answer was never given: the page hears why)
  assert.strictEqual(inTab[0].port.sent[0].error.code, "host-failed");
  late.ask({ call: "getVersion" });
  assert.strictEqual(hosts.length, limits.hosts + 1, "a host that ended frees its place");
  assert.ok(busy(page("https://bank.example", { tab: 98 }).ask({ call: "getVersion" })));

  inTab[1].go();  // a page that goes takes its host with it
  assert.ok(hosts[1].closed);
  const next = page("https://bank.example", { tab: 1 });
  next.ask({ call: "getVersion" });
  assert.strictEqual(hosts.length, limits.hosts + 2, "a page that went frees its place, in its tab too");
});

// ---- the password field ----

const SECRET = "Tr0ub4dor&3";

// A page of the field service with one field made (its frame holding
// SECRET), the host's answer to the create saying whether the origin is
// listed.
function fieldPage({ listed = true, origin = "https://bank.example" } = {}) {
  const w = world();
  const bank = w.page(origin, { service: "varnex-bridge" });
  // A field number and an origin the page claims.
  bank.ask({ create: { maxlength: "20" }, field: 7, origin: "https://else.example" }, { token: "t1", origin: "https://else.example" });
  const host = w.hosts[0];
  const frame = w.frame("t1", { text: SECRET });
  host.reply({ result: { listed } });
  return { ...w, bank, host, frame };
}

test("the typed text goes to the host only with the calls that read it, and never to the page", () => {
  const { bank, host, frame } = fieldPage();
  assert.deepStrictEqual(host.sent[0], { create: { maxlength: "20" }, field: 1, id: 1, origin: "https://bank.example" });
  assert.deepStrictEqual(bank.port.sent[0], { id: 1, result: { field: 1 } }, "the field's number is the background's");
  assert.deepStrictEqual(frame.sent[0], { setup: { maxlength: "20" } });
  const calls = [
    // request, whether the host gets the frame's text with it
    [{ call: "verify", args: [] }, true],
    [{ call: "getValue", args: [] }, true],
    [{ call: "getPinValue", args: [] }, true],
    [{ call: "getMeasureValue", args: [] }, true],
    [{ call: "getLength", args: [] }, true],
    [{ call: "getComplexDegree", args: [] }, true],
    [{ call: "getVersion", args: [], text: "claimed" }, false],
    [{ call: "setTimestamp", args: ["1"] }, false],
    [{ call: "getMFM", args: [] }, false],
    [{ get: "maxLength", text: "claimed" }, false],
    [{ set: "minLength", value: 8 }, false],
  ];
  for (const [request, withText] of calls) {
    bank.ask({ ...request, field: 1 });
    const sent = host.sent[host.sent.length - 1];
    assert.strictEqual(sent.text, withText ? SECRET : undefined, JSON.stringify(request));
    host.reply({ result: withText ? "<envelope>" : null });
  }
  // A text the page puts in its request is never the one checked.
  bank.ask({ call: "verify", args: [], field: 1, text: "forged" });
  assert.strictEqual(host.sent[host.sent.length - 1].text, SECRET);
  host.reply({ result: 0 });
  assert.strictEqual(frame.sent.filter((m) => "want" in m).length, 7, "the frame is asked once per text call");
  // The text lives in the frame: clearing is the frame's (the host's answer alone would change nothing).
  bank.ask({ call: "clear", args: [], field: 1 });
  host.reply({ result: null });
  assert.deepStrictEqual(frame.sent[frame.sent.length - 1], { clear: true });
  assert.ok(!JSON.stringify(bank.port.sent).includes(SECRET), "the page's channel never carries the text");
  assert.strictEqual(bank.port.sent.length, calls.length + 3);
});

test("the measure and the degree events are for listed origins only; Return and Tab for every page", () => {
  for (const listed of [true, false]) {
    const { bank, host, frame } = fieldPage({ listed });
    frame.onMessage.fire({ event: "input" });
    frame.onMessage.fire({ event: "return" });
    frame.onMessage.fire({ event: "tab" });
    if (listed) {
      assert.deepStrictEqual(host.sent[1], { field: 1, call: "degree", id: 2, origin: "https://bank.example", text: SECRET });
      assert.strictEqual(bank.port.sent.length, 1, "Return and Tab wait for the degree typed before them");
      host.reply({ result: "S" });
      assert.deepStrictEqual(bank.port.sent.slice(1), [
        { event: "degree", field: 1, value: "S" },
        { event: "return", field: 1 },
        { event: "tab", field: 1 },
      ]);
    } else {
      assert.strictEqual(host.sent.length, 1, "no degree request for an unlisted origin");
      assert.deepStrictEqual(bank.port.sent.slice(1), [{ event: "return", field: 1 }, { event: "tab", field: 1 }]);
      const before = frame.sent.length;
      const refused = bank.ask({ call: "getMeasureValue", args: [], field: 1 });
      assert.strictEqual(refused.error.code, "refused");
      assert.match(refused.error.message, /allow-list/);
      assert.strictEqual(host.sent.length, 1, "the measure is refused without asking the host");
      assert.strictEqual(frame.sent.length, before, "or the frame");
    }
    // The page may not ask for the degree itself.
    assert.strictEqual(bank.ask({ call: "degree", args: [], field: 1 }).error.code, "bad-request");
  }
});

test("a field's frame is bound by its token once, in the page's tab, from the field page only", () => {
  const w = world();
  const bank = w.page("https://bank.example", { service: "varnex-bridge", tab: 3 });
  bank.ask({ create: {} }, { token: "good" });
  const strangers = [
    w.frame("unknown", { tab: 3 }),
    w.frame("good", { tab: 4 }),
    w.frame("good", { tab: 3, url: "chrome-extension://ombrel-test/other.html#good" }),
    w.frame("good", { tab: 3, url: "https://evil.example/field.html#good" }),
  ];
  assert.deepStrictEqual(strangers.map((f) => f.closed), [true, true, true, true]);
  const real = w.frame("good", { tab: 3, text: SECRET });
  assert.strictEqual(real.closed, false);
  const copy = w.frame("good", { tab: 3, text: "the page's own frame" });
  assert.strictEqual(copy.closed, true, "a second frame with the same token is turned away");
  w.hosts[0].reply({ result: { listed: true } });
  bank.ask({ call: "getValue", args: [], field: 1 });
  assert.strictEqual(w.hosts[0].sent[1].text, SECRET);
});

test("a field is answered once its frame can take typing; a frame that never comes ends the field", () => {
  const w = world();
  const bank = w.page("https://bank.example", { service: "varnex-bridge" });
  bank.ask({ create: {} }, { token: "late" });
  w.hosts[0].reply({ result: { listed: true } });
  assert.strictEqual(bank.port.sent.length, 0, "not before the frame is there");
  w.frame("late");
  assert.deepStrictEqual(bank.port.sent, [{ id: 1, result: { field: 1 } }]);
  w.clock.advance(w.limits.frameMs);
  assert.strictEqual(bank.port.sent.length, 1, "and only once");

  bank.ask({ create: {} }, { token: "blocked" });  // a page whose policy forbids the frame
  w.hosts[0].reply({ result: { listed: true } });
  w.clock.advance(w.limits.frameMs - 1);
  assert.strictEqual(bank.port.sent.length, 1);
  w.clock.advance(1);
  assert.strictEqual(bank.port.sent[1].error.code, "not-allowed");
  assert.deepStrictEqual(w.hosts[0].sent[2], { field: 2, destroy: true, id: 3, origin: "https://bank.example" });
  w.hosts[0].reply({ result: null });
  assert.strictEqual(w.frame("blocked").closed, true, "its token binds nothing any more");

  bank.ask({ create: {} }, { token: "removed" });
  w.hosts[0].reply({ result: { listed: true } });
  bank.tell({ remove: "removed" });  // its element left before the frame loaded
  assert.strictEqual(bank.port.sent[2].error.code, "bad-request");
  w.clock.advance(w.limits.frameMs);
  assert.strictEqual(bank.port.sent.length, 3);
});

test("a page's fields share one host; a removed frame ends its field there; a page that goes ends the host", () => {
  const w = world();
  const bank = w.page("https://bank.example", { service: "varnex-bridge" });
  const frames = [];
  for (let i = 1; i <= 10; ++i) {
    bank.ask({ create: {} }, { token: `t${i}` });
    frames.push(w.frame(`t${i}`));
    w.hosts[0].reply({ result: { listed: false } });
  }
  assert.strictEqual(w.hosts.length, 1);
  assert.deepStrictEqual(bank.port.sent.map((m) => m.result.field), [1, 2, 3, 4, 5, 6, 7, 8, 9, 10]);
  frames[3].onDisconnect.fire(frames[3]);  // its element left the document
  assert.deepStrictEqual(w.hosts[0].sent[10], { field: 4, destroy: true, id: 11, origin: "https://bank.example" });
  w.hosts[0].reply({ result: null });
  bank.tell({ remove: "t4" });  // the content script saw it too: nothing more
  bank.tell({ remove: "t5" });  // a frame that went before it was loaded
  assert.deepStrictEqual(w.hosts[0].sent[11], { field: 5, destroy: true, id: 12, origin: "https://bank.example" });
  w.hosts[0].reply({ result: null });
  assert.strictEqual(bank.ask({ call: "verify", args: [], field: 4 }).error.code, "bad-request");
  assert.strictEqual(w.hosts[0].sent.length, 12);
  bank.go();
  assert.ok(w.hosts[0].closed, "the page's going closes its host");
});
