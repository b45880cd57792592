// A small site that lets its users log in with their token through p11agent: it serves the
// example page (../browser/page), issues a challenge nonce for each login and checks the
// token the page posts back. Node.js standard library only.
//
//   node examples/login-server/server.mjs [PORT]      then open http://127.0.0.1:PORT/
//
// GET /login/challenge answers {"nonce": "..."}; POST /login takes {"auth_token": {...}}
// and answers {"ok": true, "subject": "..."} or {"ok": false, "reason": "..."}. A real site
// keeps the nonce in the user's session; this one keeps the last it issued per browser
// cookie.
import { randomBytes } from "node:crypto";
import { readFile } from "node:fs/promises";
import { createServer } from "node:http";
import { extname, join, normalize } from "node:path";
import { fileURLToPath } from "node:url";

import { checkAuthToken, NonceStore } from "./web-login-check.mjs";

const port = Number(process.argv[2] ?? 8000);
// The origin the page is served from, serialized as the browser reports it.
const origin = `http://127.0.0.1:${port}`;
const page = fileURLToPath(new URL("../browser/page/", import.meta.url));
const TYPES = { ".html": "text/html; charset=utf-8", ".js": "text/javascript; charset=utf-8" };
const MAX_BODY = 64 * 1024;

const nonces = new NonceStore();
const sessions = new Map();  // cookie -> the nonce issued for its login

function session(request, response) {
  const found = /(?:^|;\s*)login=([0-9a-f]{32})/.exec(request.headers.cookie ?? "")?.[1];
  if (found) return found;
  const created = randomBytes(16).toString("hex");
  response.setHeader("Set-Cookie", `login=${created}; HttpOnly; SameSite=Strict; Path=/`);
  return created;
}

function answer(response, status, body) {
  response.writeHead(status, { "Content-Type": "application/json" });
  response.end(JSON.stringify(body));
}

async function body(request) {
  let text = "";
  for await (const chunk of request) {
    text += chunk;
    if (text.length > MAX_BODY) throw new Error("body too long");
  }
  return JSON.parse(text);
}

createServer(async (request, response) => {
  try {
    const id = session(request, response);
    if (request.method === "GET" && request.url === "/login/challenge") {
      const nonce = nonces.issue();
      sessions.set(id, nonce);
      return answer(response, 200, { nonce });
    }
    if (request.method === "POST" && request.url === "/login") {
      const nonce = sessions.get(id);
      sessions.delete(id);
      const { auth_token: token } = await body(request);
      const verdict = checkAuthToken(token, { origin, nonce, nonces });
      return answer(response, verdict.ok ? 200 : 401,
                    verdict.ok ? { ok: true, subject: verdict.certificate.subject } : { ok: false, reason: verdict.reason });
    }
    const file = normalize(join(page, request.url === "/" ? "index.html" : decodeURIComponent(request.url.split("?")[0])));
    if (request.method !== "GET" || !file.startsWith(page)) return answer(response, 404, { ok: false });
    const content = await readFile(file);
    response.writeHead(200, { "Content-Type": TYPES[extname(file)] ?? "application/octet-stream" });
    response.end(content);
  } catch {
    answer(response, 400, { ok: false, reason: "bad request" });
  }
}).listen(port, "127.0.0.1", () => console.log(`${origin}/ : the example page, with "Log in with your token"`));
