// window.ombrel: the signing plug-in's script interface for today's pages,
// with a promise for every answer.
//
//   const list = await ombrel.getCertList();        // "CN=name,serial;..." or "E:1000"
//   await ombrel.set("CN", serial);
//   await ombrel.set("SignData", text);
//   await ombrel.set("HashAlgorithm", "sha256");
//   const signed = await ombrel.get("SignData");     // "UD65001:..." or "E:1000"
//   if (signed === "E:1000") reason = await ombrel.LastError();
//
// A promise is rejected only when the service cannot answer at all; the
// error's code says why (errors.js lists them).
"use strict";

(() => {
  if ("ombrel" in window) return;
  const CHANNEL = "ombrel-bridge";
  const METHODS = [
    "PKCS7Data", "VerifyPKCS7", "VerifySignature", "LastError", "SignCert", "getCertList",
    "getProviderName", "getVersion", "saGetTokenCount", "saGetTokenSN", "saGetTokenCFCAId",
    "SetUKeyVendor", "GetUKeyCount", "GetUKeySN", "GetUKeyCertCount", "ChangeUKeyPIN",
    "CreateX509ReqData", "ImportCertData", "getProviderCertList",
  ];
  const post = window.postMessage.bind(window);
  let nextId = 1;
  let ready = false;
  const unsent = [];
  const waiting = new Map();

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL) return;
    if (data.direction === "ready" && !ready) {
      ready = true;
      for (const message of unsent.splice(0)) post(message, "*");
    } else if (data.direction === "answer" && waiting.has(data.id)) {
      const { resolve, reject } = waiting.get(data.id);
      waiting.delete(data.id);
      if (data.error) {
        const error = new Error(data.error.message);
        error.name = "OmbrelError";
        error.code = data.error.code;
        reject(error);
      } else {
        resolve(data.result);
      }
    }
  });

  function send(request) {
    return new Promise((resolve, reject) => {
      const id = nextId++;
      waiting.set(id, { resolve, reject });
      const message = { channel: CHANNEL, direction: "request", id, request };
      if (ready) post(message, "*");
      else unsent.push(message);
    });
  }

  const ombrel = {
    get: (name) => send({ get: name }),
    set: (name, value) => send({ set: name, value }),
  };
  for (const name of METHODS) ombrel[name] = (...args) => send({ call: name, args });
  Object.defineProperty(window, "ombrel", { value: Object.freeze(ombrel), enumerable: true });
  post({ channel: CHANNEL, direction: "hello" }, "*");
})();
