// One connection to the p11agent native host, shared by every tab: the host keeps a
// token's login for as long as it runs, so a PIN is checked once for all pages.
//
// The host answers requests one at a time, in the order they were sent. So the answer to
// a request is simply the next one to arrive: each request waits in `pending` in order.
//
// Only the sites the deployer lists reach the host: the list is the content script's
// `matches` in manifest.json (the one place to edit), and every request is checked here
// against the origin of the frame that sent it, as the browser reports it.
const api = globalThis.browser ?? globalThis.chrome;
const HOST = "p11agent";

let host = null;     // the native port, while the host runs
const pending = [];  // {tab, id} for each request sent and not yet answered
const watching = new Set();  // the tabs that asked to be told when tokens come and go

// "scheme://host/*" patterns: a listed site on any port, as the browsers match them.
const ALLOWED = api.runtime.getManifest().content_scripts[0].matches.map((pattern) => {
  const [, scheme, hostname] = /^(https?):\/\/([^/:]+)\//.exec(pattern) ?? [];
  return { scheme, hostname };
});

function isAllowed(origin) {
  let url;
  try {
    url = new URL(origin);
  } catch {
    return false;  // "null": a sandboxed or opaque frame
  }
  return ALLOWED.some(({ scheme, hostname }) => url.protocol === `${scheme}:` && url.hostname === hostname);
}

// The origin of the frame at the other end of a port, as the browser reports it.
function senderOrigin(port) {
  if (port.sender?.origin) return port.sender.origin;
  try {
    return new URL(port.sender?.url).origin;
  } catch {
    return "null";
  }
}

function openHost() {
  host = api.runtime.connectNative(HOST);
  host.onMessage.addListener((answer) => {
    // An event is no answer: it goes to the tabs that asked for it, and to no other.
    if (answer.event !== undefined) {
      for (const tab of watching) reply({ tab }, { event: answer.event });
      return;
    }
    const request = pending.shift();
    if (request) reply(request, { answer });
  });
  // A new host watches for the tabs that asked the one before (its answer goes nowhere).
  if (watching.size > 0) {
    pending.push({ tab: null });
    host.postMessage({ cmd: "watch_tokens" });
  }
  host.onDisconnect.addListener((port) => {
    // Chrome sets runtime.lastError, Firefox the port's own error.
    const reason = port.error?.message ?? api.runtime.lastError?.message ?? "the host ended";
    host = null;
    for (const request of pending.splice(0)) reply(request, { failure: reason });
  });
}

function reply({ tab, id }, body) {
  try {
    tab?.postMessage({ id, ...body });
  } catch {
    // The page went away before its answer came.
  }
}

api.runtime.onConnect.addListener((tab) => {
  if (tab.name !== "p11agent-page") return;
  const origin = senderOrigin(tab);
  tab.onDisconnect.addListener(() => watching.delete(tab));
  tab.onMessage.addListener(({ id, request }) => {
    if (!isAllowed(origin)) {
      reply({ tab, id }, { refused: "ORIGIN_NOT_ALLOWED", failure: `${origin} may not use p11agent` });
      return;
    }
    if (!host) openHost();
    if (request.cmd === "watch_tokens") watching.add(tab);
    pending.push({ tab, id });
    // The asking site, for the agent to show: set here, over anything the page sent.
    host.postMessage({ ...request, origin });
  });
});
