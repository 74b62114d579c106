// The field's own page, shown in a frame inside the bank's page: the input
// the user types into. Its document belongs to the extension, so the page
// can neither read it nor hear its keys. The text leaves it only when the
// background asks for it, for the one request to the host that needs it;
// the page hears event names.
"use strict";

(() => {
  const ext = globalThis.browser ?? globalThis.chrome;
  const input = document.getElementById("input");
  const label = document.getElementById("label");
  const token = location.hash.slice(1);
  const port = ext.runtime.connect({ name: "varnex-field" });

  // The plug-in's colour: any leading "#", then six hexadecimal digits, a
  // position that is no digit (or past the end) counting as 0.
  function colour(value) {
    const text = String(value).replace(/^#+/, "");
    let out = "#";
    for (let i = 0; i < 6; ++i) out += /[0-9a-fA-F]/.test(text[i] ?? "") ? text[i] : "0";
    return out;
  }

  // Browsers draw a password input's mask themselves; of other characters
  // only these shapes can be asked for.
  const MASKS = { "○": "circle", "◦": "circle", "o": "circle", "■": "square", "□": "square", "▪": "square" };

  function setUp(params) {
    const style = document.documentElement.style;
    if (params.backcolor !== undefined) style.setProperty("--back", colour(params.backcolor));
    if (params.textcolor !== undefined) style.setProperty("--text", colour(params.textcolor));
    if (params.bordercolor !== undefined) style.setProperty("--border", colour(params.bordercolor));
    const height = parseInt(params.height, 10);
    if (height > 0 && height <= 10000) style.setProperty("--font", `${Math.floor((3 * height) / 5)}px`);
    input.type = String(params.entertype ?? "").toLowerCase() === "edit" ? "text" : "password";
    const mask = MASKS[String(params.maskchar ?? "")[0]];
    if (mask) input.style.setProperty("-webkit-text-security", mask);
    if (typeof params.label === "string" && params.label !== "") {
      label.textContent = params.label;
      document.title = params.label;
    }
    limit(params.maxlength ?? 255);
  }

  // The browser stops typing where the host's check would; the host cuts what it gets in any case.
  function limit(value) {
    let number = typeof value === "number" ? Math.trunc(value) : parseInt(value, 10);
    if (Number.isNaN(number)) number = 0;  // no digits: the plug-in reads 0, which blocks typing
    if (Number.isFinite(number) && number >= 0) input.maxLength = number;
    else input.removeAttribute("maxlength");
  }

  port.onMessage.addListener((message) => {
    if ("want" in message) {
      port.postMessage({ ticket: message.want, text: input.value });
    } else if ("setup" in message) {
      setUp(message.setup);
    } else if ("maxLength" in message) {
      limit(message.maxLength);
    } else if ("clear" in message) {
      input.value = "";
    } else if ("focus" in message) {
      input.focus();
    }
  });
  port.postMessage({ token });

  input.addEventListener("keydown", (event) => {
    if (event.isComposing) return;
    if (event.key === "Enter") {
      event.preventDefault();
      port.postMessage({ event: "return" });
    } else if (event.key === "Tab") {
      port.postMessage({ event: "tab" });  // focus still moves on, as the user expects
    }
  });
  input.addEventListener("input", () => port.postMessage({ event: "input" }));
  // The focus border follows the input's focus events (a headless or
  // inactive window matches no :focus in some browsers).
  for (const name of ["focus", "pointerdown", "keydown"]) input.addEventListener(name, () => input.classList.add("focused"));
  input.addEventListener("blur", () => input.classList.remove("focused"));
  // Its page is left (or kept for the back button, with the host gone): the text goes.
  window.addEventListener("pagehide", () => {
    input.value = "";
  });
  // Nothing of the text by other roads.
  for (const name of ["copy", "cut", "dragstart"]) input.addEventListener(name, (event) => event.preventDefault());
})();
