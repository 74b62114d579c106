// The extension's background: one native port (one ombrel-bridge process,
// one signing service) per page, opened at the page's first request and
// closed when the page goes. Requests go one at a time, each stamped with the
// origin the browser reports for the page, never one the page claims.
"use strict";

if (typeof mapNativeError === "undefined") importScripts("errors.js");  // Chromium's service worker

const ext = globalThis.browser ?? globalThis.chrome;
const HOST = "ombrel_bridge";
const PAGE_PORT = "ombrel-bridge";

function originOf(sender) {
  if (sender.origin && sender.origin !== "null") return sender.origin;
  try {
    return new URL(sender.url).origin;
  } catch {
    return "";
  }
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
  if (page.name !== PAGE_PORT || !page.sender || page.sender.id !== ext.runtime.id) return;
  const origin = originOf(page.sender);
  const queue = [];
  let inFlight = null;
  let native = null;
  let serial = 0;
  let pageGone = false;

  function answer(id, reply) {
    if (!pageGone) page.postMessage({ id, ...reply });
  }

  function open() {
    native = ext.runtime.connectNative(HOST);
    const port = native;
    port.onMessage.addListener((reply) => {
      if (port !== native || inFlight === null) return;
      if (reply.id !== inFlight.serial && reply.id !== null) return;  // not ours
      const done = inFlight;
      inFlight = null;
      answer(done.id, "error" in reply ? { error: reply.error } : { result: reply.result });
      pump();
    });
    port.onDisconnect.addListener(() => {
      if (port !== native) return;
      const text = (ext.runtime.lastError && ext.runtime.lastError.message) || (port.error && port.error.message);
      native = null;
      if (inFlight !== null) {
        const done = inFlight;
        inFlight = null;
        answer(done.id, { error: mapNativeError(text) });
      }
      pump();  // the next request starts the program again (it may have been installed meanwhile)
    });
  }

  function pump() {
    if (inFlight !== null || queue.length === 0 || pageGone) return;
    inFlight = queue.shift();
    inFlight.serial = ++serial;
    try {
      if (native === null) open();
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
    if (native !== null) native.disconnect();
    native = null;
  });
});
