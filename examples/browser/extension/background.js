// One connection to the p11agent native host, shared by every tab: the host keeps a
// token's login for as long as it runs, so a PIN is checked once for all pages.
//
// The host answers requests one at a time, in the order they were sent. So the answer to
// a request is simply the next one to arrive: each request waits in `pending` in order.
const api = globalThis.browser ?? globalThis.chrome;
const HOST = "p11agent";

let host = null;     // the native port, while the host runs
const pending = [];  // {tab, id} for each request sent and not yet answered

function openHost() {
  host = api.runtime.connectNative(HOST);
  host.onMessage.addListener((answer) => {
    const request = pending.shift();
    if (request) reply(request, { answer });
  });
  host.onDisconnect.addListener((port) => {
    // Chrome sets runtime.lastError, Firefox the port's own error.
    const reason = port.error?.message ?? api.runtime.lastError?.message ?? "the host ended";
    host = null;
    for (const request of pending.splice(0)) reply(request, { failure: reason });
  });
}

function reply({ tab, id }, body) {
  try {
    tab.postMessage({ id, ...body });
  } catch {
    // The page went away before its answer came.
  }
}

api.runtime.onConnect.addListener((tab) => {
  if (tab.name !== "p11agent-page") return;
  tab.onMessage.addListener(({ id, request }) => {
    if (!host) openHost();
    pending.push({ tab, id });
    host.postMessage(request);
  });
});
