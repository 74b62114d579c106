// The extension's background: one native port (one host process) per page
// and service, opened at the page's first request and closed when the page
// goes. Requests go one at a time, each stamped with the origin the browser
// reports for the page's document, never one the page claims and never its
// URL's: a sandboxed document keeps its URL but has an opaque origin
// ("null"), and such a page is refused here.
//
// Any site can load pages and frames that ask, so the background keeps what
// they can start small: an origin the host has refused is refused here for a
// while without starting another host, and only so many hosts run at once
// per tab and in all.
//
// The password field's text lives in the field's frame (field.js). It is
// fetched from there only for a request to the host that reads it, put into
// that one message and not kept; the page's port never carries it.
"use strict";

if (typeof mapNativeError === "undefined") importScripts("errors.js");  // Chromium's service worker

const ext = globalThis.browser ?? globalThis.chrome;

// The page ports this extension serves, by name: the native host behind
// each, what the page may send it, and whether its pages have field frames.
const SERVICES = {
  "ombrel-bridge": { host: "ombrel_bridge", what: "the signing service", keys: ["set", "get", "call", "value", "args"] },
  "varnex-bridge": {
    host: "varnex_bridge",
    what: "the password field",
    keys: ["field", "create", "set", "get", "call", "value", "args"],
    fields: true,
  },
};

// Calls that read the typed text, and those answered to allow-listed origins only.
const TEXT_CALLS = new Set(["verify", "getValue", "getPinValue", "getMeasureValue", "getLength", "getComplexDegree"]);
const LISTED_ONLY = new Set(["getMeasureValue"]);
// What the field's frame takes from the page's parameters to draw itself.
const APPEARANCE = ["backcolor", "textcolor", "bordercolor", "maskchar", "entertype", "maxlength", "height", "label"];

const LIMITS = {
  hostsPerTab: 4,
  hosts: 16,
  refusalMs: 60 * 1000,  // after that the host decides again (the lists may have changed)
  frameMs: 10 * 1000,  // a field's frame that has not connected by then will not (the page blocks it)
};

const REFUSALS = {
  opaque: (what) => ({
    code: "not-allowed",
    message: `this page has no origin of its own (a sandboxed document or frame) and may not use ${what}`,
  }),
  busy: (what) => ({
    code: "busy",
    message: `too many pages are using ${what} at once: close some of them and try again`,
  }),
  listedOnly: (name) => ({
    code: "refused",
    message: `${name} is answered to allow-listed origins only`,
  }),
  noFrame: {
    code: "not-allowed",
    message: "the password field could not be shown in this page (its content security policy may forbid the field's frame)",
  },
  elementGone: { code: "bad-request", message: "the field's element left the page before the field was shown" },
  noField: (field) => ({ code: "bad-request", message: `there is no password field ${field} on this page` }),
  notACall: (name) => ({ code: "bad-request", message: `the password field has no method ${name}` }),
};

const running = { all: 0, byTab: new Map() };  // native hosts now running, of both services
const refusedOrigins = new Map();  // service and origin -> { error, until }: what its host answered
const fieldTokens = new Map();  // token in a field frame's address -> { record, session } until the frame connects

// The page's origin as the browser reports it, or null when it has none of
// its own (opaque) or the browser reports none.
function originOf(sender) {
  const origin = sender.origin;
  return typeof origin === "string" && origin !== "" && origin !== "null" ? origin : null;
}

// Only these fields of a page's request reach the host.
function forwarded(request, keys) {
  const out = {};
  if (request && typeof request === "object") {
    for (const key of keys) if (key in request) out[key] = request[key];
  }
  return out;
}

// The parameters the frame draws with, by their names in any case (a later
// one of the same name wins, as in the plug-in).
function appearance(params) {
  const out = {};
  for (const [name, value] of Object.entries(params ?? {})) {
    const lower = name.toLowerCase();
    if (APPEARANCE.includes(lower)) out[lower] = value;
  }
  return out;
}

ext.runtime.onConnect.addListener((port) => {
  if (port.name === "varnex-field") fieldFrameConnected(port);
  else pageConnected(port);
});

// A field's frame: it names the field by the token the content script put
// in its address; each token binds one frame, in the page's own tab.
function fieldFrameConnected(frame) {
  const sender = frame.sender;
  if (!sender || sender.id !== ext.runtime.id || typeof sender.url !== "string" ||
      !sender.url.startsWith(ext.runtime.getURL("field.html"))) {
    frame.disconnect();
    return;
  }
  let record = null;
  let session = null;
  frame.onMessage.addListener((message) => {
    if (!message || typeof message !== "object") return;
    if (record === null) {
      const bound = fieldTokens.get(message.token);
      const tab = sender.tab ? sender.tab.id : -1;
      if (typeof message.token !== "string" || !bound || bound.session.tab !== tab) {
        frame.disconnect();
        return;
      }
      fieldTokens.delete(message.token);
      ({ record, session } = bound);
      record.frame = frame;
      frame.postMessage({ setup: appearance(record.params) });
      session.frameBound(record);
    } else if ("ticket" in message) {
      session.textArrived(record, message.ticket, message.text);
    } else if ("event" in message) {
      session.fieldEvent(record, message.event);
    }
  });
  frame.onDisconnect.addListener(() => {
    if (record === null || record.frame !== frame) return;
    record.frame = null;
    session.textArrived(record, record.wanted && record.wanted.ticket, "");
    session.removeField(record);
  });
}

function pageConnected(page) {
  const service = SERVICES[page.name];
  if (!service || !page.sender || page.sender.id !== ext.runtime.id) return;
  const origin = originOf(page.sender);
  const tab = page.sender.tab ? page.sender.tab.id : -1;
  const queue = [];
  let inFlight = null;
  let native = null;
  let serial = 0;
  let pageGone = false;
  // The password field's: the page's fields by number, numbered from 1.
  const fields = new Map();
  let nextField = 1;
  let tickets = 0;

  function answer(id, reply) {
    if (!pageGone) page.postMessage({ id, ...reply });
  }

  function finish(entry, reply) {
    if (entry.onReply) entry.onReply(reply);
    else answer(entry.id, reply);
  }

  // Why this page's next request is answered here without a host, or null.
  function refusal() {
    if (origin === null) return REFUSALS.opaque(service.what);
    const key = `${page.name} ${origin}`;
    const refused = refusedOrigins.get(key);
    if (refused && Date.now() < refused.until) return refused.error;
    if (refused) refusedOrigins.delete(key);
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
        refusedOrigins.set(`${page.name} ${origin}`, { error: reply.error, until: Date.now() + LIMITS.refusalMs });
      }
      finish(done, "error" in reply ? { error: reply.error } : { result: reply.result });
      pump();
    });
    port.onDisconnect.addListener(() => {
      if (port !== native) return;
      const text = (ext.runtime.lastError && ext.runtime.lastError.message) || (port.error && port.error.message);
      hostGone();
      if (inFlight !== null) {
        const done = inFlight;
        inFlight = null;
        finish(done, { error: mapNativeError(text, page.name) });
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
    // Its fields went with it.
    for (const record of fields.values()) record.created = false;
  }

  // ---- the password field's part ----

  // A request of the page the background answers itself, or null. A create
  // gets its field number and frame here.
  function fieldCheck(entry) {
    const request = entry.request;
    if (entry.onReply || !request || typeof request !== "object") return null;
    if ("create" in request) return entry.record ? null : REFUSALS.noField("(no frame)");
    if (request.call === "degree") return REFUSALS.notACall("degree");
    const record = fields.get(request.field);
    if (!record) return REFUSALS.noField(request.field);
    if (LISTED_ONLY.has(request.call) && !record.listed) return REFUSALS.listedOnly(request.call);
    entry.record = record;
    return null;
  }

  // What a field request's answer changes here, and what the page is told.
  function fieldAnswered(entry, reply) {
    const record = entry.record;
    const request = entry.request;
    if ("create" in request) {
      if ("error" in reply) {
        dropRecord(record);
        return reply;
      }
      record.created = true;
      record.listed = Boolean(reply.result && reply.result.listed === true);
      if (record.removed) {
        queueDestroy(record);
      } else if (record.frame === null) {
        // The page hears of its field once the user can type into it.
        record.deferred = entry;
        record.timer = setTimeout(() => frameMissing(record), LIMITS.frameMs);
        return null;
      }
      return { result: { field: record.number } };
    }
    if (!("error" in reply) && record.frame !== null) {
      if (request.call === "clear") record.frame.postMessage({ clear: true });
      else if (request.call === "focus") record.frame.postMessage({ focus: true });
      else if (request.set === "maxLength") record.frame.postMessage({ maxLength: request.value });
    }
    return reply;
  }

  function needsText(entry) {
    return service.fields && entry.request && TEXT_CALLS.has(entry.request.call) || entry.degree === true;
  }

  // Asks the field's frame for its text; `then` gets it ("" with no frame).
  function fetchText(record, then) {
    if (!record || record.frame === null) {
      then("");
      return;
    }
    record.wanted = { ticket: ++tickets, then };
    record.frame.postMessage({ want: record.wanted.ticket });
  }

  function textArrived(record, ticket, text) {
    const wanted = record.wanted;
    if (!wanted || wanted.ticket !== ticket) return;
    record.wanted = null;
    wanted.then(typeof text === "string" ? text : "");
  }

  function fieldEvent(record, event) {
    if (pageGone || !record.created) return;
    if (event === "return" || event === "tab") {
      // In turn with the degree events before it, as the plug-in fires them.
      queue.push({ local: () => page.postMessage({ event, field: record.number }) });
      pump();
    } else if (event === "input" && record.listed) {
      // The degree letter, for origins on the allow-list only (its timing tells the typing rhythm).
      queue.push({
        degree: true,
        record,
        request: { field: record.number, call: "degree" },
        onReply: (reply) => {
          if (!pageGone && "result" in reply && record.created)
            page.postMessage({ event: "degree", field: record.number, value: reply.result });
        },
      });
      pump();
    }
  }

  // A field for a create request, its number chosen here; its frame may
  // connect before the host has made it.
  function newField(entry, token) {
    const record = { number: nextField++, token, params: entry.request.create, frame: null,
                     created: false, removed: false, listed: false, wanted: null, deferred: null, timer: null };
    fields.set(record.number, record);
    fieldTokens.set(token, { record, session });
    entry.request = { create: entry.request.create, field: record.number };
    entry.record = record;
  }

  // The frame has connected: a create that waited for it is answered.
  function frameBound(record) {
    const entry = record.deferred;
    if (!entry) return;
    record.deferred = null;
    clearTimeout(record.timer);
    answer(entry.id, { result: { field: record.number } });
  }

  function frameMissing(record) {
    const entry = record.deferred;
    if (!entry) return;
    record.deferred = null;
    answer(entry.id, { error: REFUSALS.noFrame });
    removeField(record);
  }

  function dropRecord(record) {
    fields.delete(record.number);
    if (fieldTokens.has(record.token) && fieldTokens.get(record.token).record === record) fieldTokens.delete(record.token);
  }

  function queueDestroy(record) {
    record.created = false;
    queue.push({ request: { field: record.number, destroy: true }, onlyIfRunning: true, onReply: () => {} });
    pump();
  }

  // The field's frame went (its element was removed, or the page went): the
  // host forgets the field and wipes what it held.
  function removeField(record) {
    if (record.removed) return;
    record.removed = true;
    if (record.deferred) {
      clearTimeout(record.timer);
      answer(record.deferred.id, { error: REFUSALS.elementGone });
      record.deferred = null;
    }
    dropRecord(record);
    if (record.created) queueDestroy(record);
  }

  const session = { tab, textArrived, fieldEvent, removeField, frameBound };

  // ---- the queue ----

  function pump() {
    if (inFlight !== null || queue.length === 0 || pageGone) return;
    const next = queue.shift();
    if (next.local) {
      next.local();
      pump();
      return;
    }
    if (next.onlyIfRunning && native === null) {
      pump();
      return;
    }
    let error = refusal();
    if (error === null && service.fields) error = fieldCheck(next);
    if (error === null && native === null && !startHost()) error = REFUSALS.busy(service.what);
    if (error !== null) {
      if (next.record && "create" in next.request) dropRecord(next.record);
      finish(next, { error });
      pump();
      return;
    }
    inFlight = next;
    inFlight.serial = ++serial;
    if (service.fields && next.record) {
      const reply = next.onReply;
      next.onReply = (answered) => {
        const told = fieldAnswered(next, answered);
        if (told === null) return;
        if (reply) reply(told);
        else answer(next.id, told);
      };
    }
    if (needsText(next)) fetchText(next.record, (text) => send(next, text));
    else send(next);
  }

  function send(entry, text) {
    if (entry !== inFlight || native === null) return;  // the host or the page went meanwhile
    const keys = entry.onlyIfRunning ? ["field", "destroy"] : entry.degree ? ["field", "call"] : service.keys;
    const message = { ...forwarded(entry.request, keys), id: entry.serial, origin };
    if (text !== undefined) message.text = text;
    try {
      native.postMessage(message);
    } catch (e) {
      // A value the browser cannot send as JSON, or a port that closed under us.
      inFlight = null;
      finish(entry, { error: { code: "bad-request", message: `The request cannot be sent: ${e.message}` } });
      pump();
    }
  }

  page.onMessage.addListener((message) => {
    if (!message || typeof message !== "object") return;
    if (service.fields && typeof message.remove === "string") {
      for (const record of fields.values()) if (record.token === message.remove) removeField(record);
      return;
    }
    const entry = { id: message.id, request: message.request };
    const request = message.request;
    if (service.fields && origin !== null && request && typeof request === "object" && "create" in request &&
        typeof message.token === "string")
      newField(entry, message.token);
    queue.push(entry);
    pump();
  });
  page.onDisconnect.addListener(() => {
    pageGone = true;
    queue.length = 0;
    for (const record of fields.values()) dropRecord(record);
    const port = native;
    hostGone();
    if (port !== null) port.disconnect();
  });
}
