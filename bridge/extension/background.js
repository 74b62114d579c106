// The extension's background: one native port (one ombrel-bridge process,
// one signing service) per page, opened at the page's first request and
// closed when the page goes. Requests go one at a time, each stamped with the
// origin the browser reports for the page's document, never one the page
// claims and never its URL's: a sandboxed document keeps its URL but has an
// opaque origin ("null"), and such a page is refused here.
//
// Any site can load pages and frames that ask, so the background keeps what
// they can start small: an origin the host has refused is refused here for a
// while without starting another host, and only so many hosts run at once
// per tab and in all.
"use strict";

if (typeof mapNativeError === "undefined") importScripts("errors.js");  // Chromium's service worker

const ext = globalThis.browser ?? globalThis.chrome;

// The page ports this extension serves, by name, and the native host behind
// each (a second service adds a line here and its page script).
const SERVICES = { "ombrel-bridge": { host: "ombrel_bridge" } };

const LIMITS = {
  hostsPerTab: 4,
  hosts: 16,
  refusalMs: 60 * 1000,  // after that the host decides again (the lists may have changed)
};

const REFUSALS = {
  opaque: {
    code: "not-allowed",
    message: "this page has no origin of its own (a sandboxed document or frame) and may not use the signing service",
  },
  busy: {
    code: "busy",
    message: "too many pages are using the signing service at once: close some of them and try again",
  },
};

const running = { all: 0, byTab: new Map() };  // native hosts now running
const refusedOrigins = new Map();  // origin -> { error, until }: what its host answered

// The page's origin as the browser reports it, or null when it has none of
// its own (opaque) or the browser reports none.
function originOf(sender) {
  const origin = sender.origin;
  return typeof origin === "string" && origin !== "" && origin !== "null" ? origin : null;
}

// Only these fields of a page's request reach the host.
function forwarded(request) {
  const out = {};
  if (request && typeof request === "object") {
    for (const key of ["set", "get", "call", "value", "args"]) if (key in request) out[key] = request[key];
  }
  return out;
}

ext.runtime.onConnect.addListener((page) => {
  const service = SERVICES[page.name];
  if (!service || !page.sender || page.sender.id !== ext.runtime.id) return;
  const origin = originOf(page.sender);
  const tab = page.sender.tab ? page.sender.tab.id : -1;
  const queue = [];
  let inFlight = null;
  let native = null;
  let serial = 0;
  let pageGone = false;

  function answer(id, reply) {
    if (!pageGone) page.postMessage({ id, ...reply });
  }

  // Why this page's next request is answered here without a host, or null.
  function refusal() {
    if (origin === null) return REFUSALS.opaque;
    const refused = refusedOrigins.get(origin);
    if (refused && Date.now() < refused.until) return refused.error;
    if (refused) refusedOrigins.delete(origin);
    return null;
  }

  function startHost() {
    const inTab = running.byTab.get(tab) ?? 0;
    if (running.all >= LIMITS.hosts || inTab >= LIMITS.hostsPerTab) return false;
    native = ext.runtime.connectNative(service.host);
    running.all += 1;
    running.byTab.set(tab, inTab + 1);
    const port = native;
    port.onMessage.addListener((reply) => {
      if (port !== native || inFlight === null) return;
      if (reply.id !== inFlight.serial && reply.id !== null) return;  // not ours
      const done = inFlight;
      inFlight = null;
      if (reply.error && reply.error.code === "not-allowed") {
        // The host ends after a refusal; the page's next requests, and its
        // origin's other pages', are refused here until the time is up.
        refusedOrigins.set(origin, { error: reply.error, until: Date.now() + LIMITS.refusalMs });
      }
      answer(done.id, "error" in reply ? { error: reply.error } : { result: reply.result });
      pump();
    });
    port.onDisconnect.addListener(() => {
      if (port !== native) return;
      const text = (ext.runtime.lastError && ext.runtime.lastError.message) || (port.error && port.error.message);
      hostGone();
      if (inFlight !== null) {
        const done = inFlight;
        inFlight = null;
        answer(done.id, { error: mapNativeError(text) });
      }
      pump();  // the next request starts the program again (it may have been installed meanwhile)
    });
    return true;
  }

  // Counts the page's host out, whether it ended or the page went.
  function hostGone() {
    if (native === null) return;
    native = null;
    running.all -= 1;
    const inTab = (running.byTab.get(tab) ?? 1) - 1;
    if (inTab > 0) running.byTab.set(tab, inTab);
    else running.byTab.delete(tab);
  }

  function pump() {
    if (inFlight !== null || queue.length === 0 || pageGone) return;
    const next = queue.shift();
    let error = refusal();
    if (error === null && native === null && !startHost()) error = REFUSALS.busy;
    if (error !== null) {
      answer(next.id, { error });
      pump();
      return;
    }
    inFlight = next;
    inFlight.serial = ++serial;
    try {
      native.postMessage({ ...forwarded(inFlight.request), id: inFlight.serial, origin });
    } catch (e) {
      // A value the browser cannot send as JSON, or a port that closed under us.
      const done = inFlight;
      inFlight = null;
      answer(done.id, { error: { code: "bad-request", message: `The request cannot be sent: ${e.message}` } });
      pump();
    }
  }

  page.onMessage.addListener((message) => {
    if (!message || typeof message !== "object") return;
    queue.push({ id: message.id, request: message.request });
    pump();
  });
  page.onDisconnect.addListener(() => {
    pageGone = true;
    queue.length = 0;
    const port = native;
    hostGone();
    if (port !== null) port.disconnect();
  });
});
