// Relays between the page's window.ombrel (page.js, in the page's own world)
// and the extension's background, which alone may talk to the native host.
"use strict";

(() => {
  const ext = globalThis.browser ?? globalThis.chrome;
  const CHANNEL = "ombrel-bridge";
  let port = null;
  const pending = new Set();

  function toPage(message) {
    window.postMessage({ channel: CHANNEL, ...message }, "*");
  }

  function connect() {
    port = ext.runtime.connect({ name: CHANNEL });
    port.onMessage.addListener((answer) => {
      pending.delete(answer.id);
      toPage({ direction: "answer", id: answer.id, result: answer.result, error: answer.error });
    });
    port.onDisconnect.addListener(() => {
      port = null;
      for (const id of pending) {
        toPage({
          direction: "answer",
          id,
          error: {
            code: "host-failed",
            message: "The signing extension was stopped or updated before it answered: reload the page.",
          },
        });
      }
      pending.clear();
    });
  }

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL) return;
    if (data.direction === "hello") {
      toPage({ direction: "ready" });
    } else if (data.direction === "request") {
      if (port === null) connect();
      pending.add(data.id);
      port.postMessage({ id: data.id, request: data.request });
    }
  });
  toPage({ direction: "ready" });
})();
