// What the page is told when the signing service cannot answer: one code per
// thing the user or the bank can do something about, whatever the browser's
// own wording. Pages test error.code; error.message says what to do.
//
//   host-missing   the program ombrel-bridge is not installed for this browser
//   host-failed    the program stopped or could not be talked to
//   too-large      a message over the 1 MiB limit
//   not-allowed    this page's origin is not on the allow-list (or it has none of its own)
//   busy           another page's signing held the key too long, or too many pages use the service
//   bad-request    a request the service does not know (a page's mistake)
//   refused        a property read or written the wrong way (as the plug-in refuses it)
"use strict";

const OMBREL_ERROR_TEXTS = {
  "host-missing":
    "The signing program ombrel-bridge is not installed for this browser: install the package ombrel-bridge " +
    "(run 'ombrel-bridge --check' to see which browsers find it).",
  "host-failed":
    "The signing program ombrel-bridge stopped before it answered: try again, and if it happens again, " +
    "reinstall the package ombrel-bridge.",
  "too-large": "The message is over the limit of 1 MiB: sign less data.",
};

// The same for the password field's program (the same package brings it).
const VARNEX_ERROR_TEXTS = {
  "host-missing":
    "The password field program varnex-bridge is not installed for this browser: install the package " +
    "ombrel-bridge, which brings it.",
  "host-failed":
    "The password field program varnex-bridge stopped before it answered: try again, and if it happens again, " +
    "reinstall the package ombrel-bridge.",
  "too-large": "The message is over the limit of 1 MiB.",
};
const ERROR_TEXTS = { "ombrel-bridge": OMBREL_ERROR_TEXTS, "varnex-bridge": VARNEX_ERROR_TEXTS };

// Each browser's native messaging error texts (as its port reports them on
// disconnect) and the code each means.
const OMBREL_NATIVE_ERRORS = [
  // Chromium
  [/^Specified native messaging host not found\.$/, "host-missing"],
  [/^Access to the specified native messaging host is forbidden\.$/, "host-missing"],
  [/^Native host has exited\.$/, "host-failed"],
  // A failed pipe: a host that ended while being written to, or an answer
  // over 1 MiB. Ours never sends one (it answers "reply-too-large" instead),
  // so the program failed.
  [/^Error when communicating with the native messaging host\.$/, "host-failed"],
  // Firefox: a manifest it cannot use is "no such application"; a program
  // it cannot start is "an unexpected error"; a program that ends gives no text.
  [/^No such native application /, "host-missing"],
  [/^An unexpected error occurred$/, "host-missing"],
  [/^Native application tried to send a message of \d+ bytes, which exceeds the limit/, "too-large"],
];

// {code, message} for a browser's error text (undefined: the port closed
// without one, which is the host ending), told in the words of `service`.
function mapNativeError(text, service = "ombrel-bridge") {
  let code = "host-failed";
  for (const [pattern, mapped] of OMBREL_NATIVE_ERRORS) {
    if (typeof text === "string" && pattern.test(text)) {
      code = mapped;
      break;
    }
  }
  const message = ERROR_TEXTS[service][code] + (text ? ` (${text})` : "");
  return { code, message };
}

if (typeof module !== "undefined") module.exports = { mapNativeError, OMBREL_ERROR_TEXTS, VARNEX_ERROR_TEXTS };
