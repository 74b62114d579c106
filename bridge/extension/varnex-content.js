// Relays between the page's window.varnex (varnex.js, in the page's own
// world) and the extension's background, and places each field's frame (the
// extension's field page, which the page cannot read) into the page's
// element. What passes here are requests, envelopes, codes and event names:
// the typed text goes from the field's frame to the background only.
"use strict";

(() => {
  const ext = globalThis.browser ?? globalThis.chrome;
  const CHANNEL = "varnex-bridge";
  let port = null;
  const pending = new Set();
  const placeFor = new Map();  // request id -> the element its field goes into
  const frames = new Map();    // token -> the field's frame element
  const creating = new Map();  // request id -> token of the frame placed for it

  function toPage(message) {
    window.postMessage({ channel: CHANNEL, ...message }, "*");
  }

  function token() {
    const bytes = crypto.getRandomValues(new Uint8Array(16));
    return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
  }

  // The parameter's value by its name in any case, as the plug-in reads them.
  function param(params, name) {
    let found;
    for (const [key, value] of Object.entries(params))
      if (key.toLowerCase() === name) found = value;
    return found;
  }

  function pixels(value, fallback) {
    const number = parseInt(String(value ?? ""), 10);
    return Number.isFinite(number) && number > 0 && number <= 10000 ? number : fallback;
  }

  function placeFrame(element, params, id) {
    const key = token();
    const frame = document.createElement("iframe");
    frame.src = ext.runtime.getURL("field.html") + "#" + key;
    frame.width = String(pixels(param(params, "width"), 220));
    frame.height = String(pixels(param(params, "height"), 30));
    frame.style.border = "0";
    frame.style.verticalAlign = "middle";
    const label = param(params, "label");
    frame.title = typeof label === "string" && label !== "" ? label : "Password";
    element.appendChild(frame);
    frames.set(key, frame);
    return key;
  }

  // A frame removed from the page (or its element) ends its field at once.
  const watcher = new MutationObserver(() => {
    for (const [key, frame] of frames) {
      if (!frame.isConnected) {
        frames.delete(key);
        if (port !== null) port.postMessage({ remove: key });
      }
    }
  });

  function connect() {
    port = ext.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener((message) => {
      if ("event" in message) {
        toPage({ direction: "event", field: message.field, event: message.event, value: message.value });
        return;
      }
      pending.delete(message.id);
      if (creating.has(message.id)) {
        // A field the service did not make leaves no frame behind.
        const key = creating.get(message.id);
        creating.delete(message.id);
        if (message.error && frames.has(key)) {
          frames.get(key).remove();
          frames.delete(key);
        }
      }
      toPage({ direction: "answer", id: message.id, result: message.result, error: message.error });
    });
    port.onDisconnect.addListener(() => {
      port = null;
      for (const id of pending) {
        toPage({
          direction: "answer",
          id,
          error: {
            code: "host-failed",
            message: "The password field extension was stopped or updated before it answered: reload the page.",
          },
        });
      }
      pending.clear();
    });
  }

  // A page kept for the back button (Firefox keeps its port open) lets its
  // host go now; coming back, its fields answer that they are gone.
  window.addEventListener("pagehide", () => {
    if (port === null) return;
    port.disconnect();
    port = null;
    pending.clear();
  });

  // varnex.create dispatches this on the page's element just before it asks.
  window.addEventListener("varnex-bridge-place", (event) => {
    if (event.target instanceof Element) placeFor.set(String(event.detail), event.target);
  }, true);

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL) return;
    if (data.direction === "hello") {
      toPage({ direction: "ready" });
    } else if (data.direction === "request") {
      if (port === null) connect();
      const request = data.request;
      const message = { id: data.id, request };
      if (request && typeof request === "object" && "create" in request) {
        const element = placeFor.get(String(data.id));
        placeFor.delete(String(data.id));
        if (!element || !element.isConnected || !request.create || typeof request.create !== "object") {
          toPage({ direction: "answer", id: data.id,
                   error: { code: "bad-request", message: "varnex.create: no element of the page to place the field in" } });
          return;
        }
        message.token = placeFrame(element, request.create, data.id);
        creating.set(data.id, message.token);
        watcher.observe(document, { childList: true, subtree: true });
      }
      pending.add(data.id);
      port.postMessage(message);
    }
  });
  toPage({ direction: "ready" });
})();
