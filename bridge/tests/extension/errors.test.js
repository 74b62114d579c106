// The extension's error mapping, with each browser's own texts as they were
// seen in Chromium 156 and Firefox ESR 153 (node --test).
"use strict";

const test = require("node:test");
const assert = require("node:assert");
const { mapNativeError, OMBREL_ERROR_TEXTS, VARNEX_ERROR_TEXTS } = require("../../extension/errors.js");

const SEEN = [
  // [browser, what happened, the browser's text, the page's code]
  ["chromium", "no host manifest", "Specified native messaging host not found.", "host-missing"],
  ["chromium", "the manifest's program is missing", "Specified native messaging host not found.", "host-missing"],
  ["chromium", "the manifest does not list the extension", "Access to the specified native messaging host is forbidden.", "host-missing"],
  ["chromium", "the program ended", "Native host has exited.", "host-failed"],
  ["chromium", "a failed pipe (a host that ended while written to, or a foreign host's answer over 1 MiB)",
   "Error when communicating with the native messaging host.", "host-failed"],
  ["firefox", "no host manifest, or one it rejects", "No such native application ombrel_bridge", "host-missing"],
  ["firefox", "the manifest's program cannot start", "An unexpected error occurred", "host-missing"],
  ["firefox", "the program ended", undefined, "host-failed"],
  ["firefox", "an answer over 1 MiB",
   "Native application tried to send a message of 2097175 bytes, which exceeds the limit of 1048576 bytes.", "too-large"],
  ["either", "a text no browser gave before", "Something new.", "host-failed"],
  ["either", "an empty text", "", "host-failed"],
];

for (const [browser, what, text, code] of SEEN) {
  test(`${browser}: ${what} -> ${code}`, () => {
    const mapped = mapNativeError(text);
    assert.strictEqual(mapped.code, code);
    assert.ok(mapped.message.startsWith(OMBREL_ERROR_TEXTS[code]), mapped.message);
    if (text) assert.ok(mapped.message.endsWith(`(${text})`), "the browser's own text is kept for support");
  });
}

test("each code tells the user what to do, naming the program of the service that failed", () => {
  assert.match(OMBREL_ERROR_TEXTS["host-missing"], /install the package ombrel-bridge/);
  const field = mapNativeError("No such native application varnex_bridge", "varnex-bridge");
  assert.strictEqual(field.code, "host-missing");
  assert.ok(field.message.startsWith(VARNEX_ERROR_TEXTS["host-missing"]) && /varnex-bridge/.test(field.message));
  assert.match(mapNativeError(undefined, "varnex-bridge").message, /^The password field program varnex-bridge stopped/);
  assert.match(OMBREL_ERROR_TEXTS["host-failed"], /try again/);
  assert.match(OMBREL_ERROR_TEXTS["too-large"], /1 MiB/);
});

test("texts are matched whole, not by a part anywhere", () => {
  assert.strictEqual(mapNativeError("Error when communicating with the native messaging host. 2").code, "host-failed");
  assert.strictEqual(mapNativeError("See: Native application tried to send a message of 2 bytes, which exceeds the limit").code,
                     "host-failed");
  assert.strictEqual(mapNativeError("xNo such native application ombrel_bridge").code, "host-failed");
  assert.strictEqual(mapNativeError("Specified native messaging host not found").code, "host-failed");
});
