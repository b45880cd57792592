// Passes requests between the page (window messages) and the extension (a runtime port).
// Only messages the page posted to itself are taken, and only the p11agent kind. Messages
// go to this window's own origin ("/"), which also names a sandboxed frame's.
const api = globalThis.browser ?? globalThis.chrome;
let extension = null;

function toExtension() {
  if (!extension) {
    extension = api.runtime.connect({ name: "p11agent-page" });
    extension.onMessage.addListener((message) =>
      window.postMessage(message.event !== undefined ? { p11agent: "event", event: message.event }
                                                     : { p11agent: "answer", ...message }, "/"));
    extension.onDisconnect.addListener(() => { extension = null; });
  }
  return extension;
}

function announce() {
  window.postMessage({ p11agent: "ready" }, "/");
}

window.addEventListener("message", (event) => {
  if (event.source !== window) return;
  if (event.data?.p11agent === "probe") announce();
  if (event.data?.p11agent === "request") toExtension().postMessage({ id: event.data.id, request: event.data.request });
});

// Tells a page whose script is already waiting that the extension is there; a page whose
// script starts later asks with a probe.
announce();
