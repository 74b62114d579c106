// window.varnex: the password field for today's pages. The field the user
// types into is an extension page in a frame the page cannot read; the page
// gets the field's script interface, with a promise for every answer:
//
//   const field = await varnex.create(document.getElementById("pw"), { maxlength: 20, accepts: "\\w{6,20}" });
//   field.addEventListener("eventReturn", async () => {
//     if (await field.verify() === 0) post(await field.getValue());   // the envelope, never the text
//   });
//
// A promise is rejected, with an Error carrying a code (errors.js), when the
// service cannot answer or a call is not one the field takes.
"use strict";

(() => {
  if ("varnex" in window) return;
  const CHANNEL = "varnex-bridge";
  // The methods page script may call; their arguments are checked by the host
  // as the plug-in checks them.
  const METHODS = [
    "focus", "getValue", "lastError", "verify", "setTimestamp", "setCalcFactor", "getPinValue", "setMode",
    "getComplexDegree", "publicKeyBlob", "publicKeyModulus", "publicKeyDER", "sm2PublicKey", "clear",
    "getLength", "getMFM", "getVersion", "getMeasureValue",
  ];
  // The event a listener is for: the sixth character of its name, as the plug-in picks it.
  const EVENTS = { d: "degree", r: "return", t: "tab" };
  const post = window.postMessage.bind(window);
  const Err = Error;
  let nextId = 1;
  let ready = false;
  const unsent = [];
  const waiting = new Map();
  const fields = new Map();  // field number -> its listeners { degree, return, tab }

  function failure(code, message) {
    const error = new Err(message);
    error.name = "VarnexError";
    error.code = code;
    return error;
  }
  const badRequest = (message) => Promise.reject(failure("bad-request", message));

  window.addEventListener("message", (event) => {
    const data = event.data;
    if (event.source !== window || !data || data.channel !== CHANNEL) return;
    if (data.direction === "ready" && !ready) {
      ready = true;
      for (const message of unsent.splice(0)) post(message, "*");
    } else if (data.direction === "answer" && waiting.has(data.id)) {
      const { resolve, reject } = waiting.get(data.id);
      waiting.delete(data.id);
      if (data.error) reject(failure(data.error.code, data.error.message));
      else resolve(data.result);
    } else if (data.direction === "event" && fields.has(data.field)) {
      const listener = fields.get(data.field)[data.event];
      if (typeof listener === "function") {
        if (data.event === "degree") listener(data.value);
        else listener();
      }
    }
  });

  function send(request) {
    return new Promise((resolve, reject) => {
      const id = nextId++;
      const message = { channel: CHANNEL, direction: "request", id, request };
      try {
        // A value that cannot be copied (a function, a DOM node) fails here, before anything is sent.
        structuredClone(request);
      } catch (e) {
        reject(failure("bad-request", `The request cannot be sent: ${e.message}`));
        return;
      }
      waiting.set(id, { resolve, reject });
      if (ready) post(message, "*");
      else unsent.push(message);
    });
  }

  function eventOf(name) {
    return typeof name === "string" && name.length >= 6 ? EVENTS[name[5].toLowerCase()] : undefined;
  }

  function makeField(number) {
    const listeners = {};
    fields.set(number, listeners);
    const field = {
      get: (name) => (typeof name === "string" ? send({ field: number, get: name }) : badRequest("get takes a property name")),
      set: (name, value) =>
        typeof name === "string" ? send({ field: number, set: name, value }) : badRequest("set takes a property name"),
      // Two or three arguments: the event's name and a function (a third is ignored).
      addEventListener(...args) {
        if ((args.length !== 2 && args.length !== 3) || typeof args[0] !== "string" || typeof args[1] !== "function")
          return badRequest("addEventListener takes an event name and a function");
        const event = eventOf(args[0]);
        if (event) listeners[event] = args[1];
        return Promise.resolve();
      },
      removeEventListener(...args) {
        if (args.length < 1 || typeof args[0] !== "string")
          return badRequest("removeEventListener takes an event name");
        const event = eventOf(args[0]);
        if (event) delete listeners[event];
        return Promise.resolve();
      },
    };
    for (const name of METHODS) field[name] = (...args) => send({ field: number, call: name, args });
    return Object.freeze(field);
  }

  // Element and parameter checks happen here, where the element is known;
  // the content script finds the element through the event dispatched on it.
  function create(...args) {
    const [element, params = {}] = args;
    if (args.length < 1 || args.length > 2 || !(element instanceof Element))
      return badRequest("varnex.create takes an element of the page and the field's parameters");
    if (!element.isConnected) return badRequest("varnex.create: the element is not in the document");
    if (params === null || typeof params !== "object" || Array.isArray(params))
      return badRequest("varnex.create: the parameters are an object of names and values");
    const copy = {};
    for (const [name, value] of Object.entries(params)) {
      if (typeof value !== "string" && !(typeof value === "number" && Number.isFinite(value)))
        return badRequest(`varnex.create: the parameter ${name} is not a text or a number`);
      copy[name] = value;
    }
    const id = nextId;
    element.dispatchEvent(new CustomEvent("varnex-bridge-place", { detail: String(id), bubbles: false }));
    return send({ create: copy }).then((result) => makeField(result.field));
  }

  Object.defineProperty(window, "varnex", { value: Object.freeze({ create }), enumerable: true });
  post({ channel: CHANNEL, direction: "hello" }, "*");
})();
