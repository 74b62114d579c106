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
  const context = vm.createContext({ chrome, Date: { now: () => clock.now }, importScripts() {} });
  for (const source of SOURCES) vm.runInContext(source, context);
  const limits = vm.runInContext("LIMITS", context);

  let pageIds = 0;
  // A page (document or frame) of `origin` as the browser reports it, in `tab`.
  function page(origin, { tab = 1, url = "https://bank.example/sign.html" } = {}) {
    const port = fakePort("ombrel-bridge", { id: "ombrel-test", origin, url, tab: { id: tab }, frameId: pageIds++ });
    onConnect.fire(port);
    let ids = 0;
    return {
      port,
      // The page's request; the answer it got (the last one), if any yet.
      ask(request, extra = {}) {
        port.onMessage.fire({ id: ++ids, request, ...extra });
        return port.sent[port.sent.length - 1];
      },
      go() {
        port.onDisconnect.fire(port);
      },
    };
  }
  return { hosts, clock, limits, page };
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
