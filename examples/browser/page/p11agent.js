// p11agent from a web page, through the p11agent example extension.
//
//   import { connect } from "./p11agent.js";
//   const agent = await connect();
//   const cert = await agent.chooseCertificate({ filter: { valid_at: "now" } });
//   const { signature } = await agent.sign({ thumbprint: cert.thumbprint, key: "rsa", hash: "SHA-256", data });
//   const authToken = await agent.authenticate(nonceFromYourServer);  // log in: post it to the server
//
// The user chooses the certificate in a picker of p11agent's own, and the page learns only
// the one chosen (a computer's deployer may require this: the page then lists nothing and
// signs with nothing else).
//
// The page never needs the PIN: p11agent asks the user for it in a prompt of its own, which
// names this site, the certificate and the token. A `pin` given to sign or validate is sent
// instead (unless the computer's deployer requires the prompt).
//
// Every method returns a promise; a failure rejects it with a P11AgentError whose `code`
// says what to do (see below).

// The DigestInfo prefix that PKCS #1 v1.5 RSA signatures carry before the digest.
const DIGEST_INFO = {
  "SHA-256": "3031300d060960864801650304020105000420",
  "SHA-384": "3041300d060960864801650304020205000430",
  "SHA-512": "3051300d060960864801650304020305000440",
};
const DIGEST_LENGTH = { "SHA-256": 32, "SHA-384": 48, "SHA-512": 64 };

// code: "ALGORITHM_NOT_SUPPORTED" (the key or its token cannot make the signature asked
// for; no PIN was used), "EXTENSION_MISSING" (the extension is not installed or not enabled for this page),
// "ORIGIN_NOT_ALLOWED" (the extension does not serve this page's origin: a sandboxed frame,
// or a site its deployer did not list),
// "HOST_MISSING" (p11agent is not registered for this browser), "HOST_REFUSED" (it is, but
// not for this extension), "HOST_ENDED" (the host stopped; the next call starts it again),
// "WRONG_PIN" (`triesLeft`: 2 or more, 1 = the last try, 0 = locked, -1 = the token does
// not say), "PIN_PROMPT_CANCELLED" (the user cancelled the PIN prompt),
// "PIN_PROMPT_TIMEOUT" (nobody answered it within 120 seconds), "PIN_PROMPT_UNAVAILABLE"
// (no prompt can be shown on this computer; `message` says what to install),
// "PIN_PROMPT_FAILED" (the prompt broke off), "PIN_PROMPT_REQUIRED" (the page sent a PIN
// where the deployer requires the prompt), "CERT_CHOICE_CANCELLED" (the user cancelled the
// certificate picker), "CERT_CHOICE_TIMEOUT" (nobody chose within 120 seconds),
// "CERT_CHOICE_UNAVAILABLE" (no picker can be shown; `message` says why),
// "NO_MATCHING_CERT" (no certificate passes the filter), "CERT_CHOICE_REQUIRED" (the
// deployer requires the picker: list or find nothing, sign only with a chosen certificate),
// "SIGNATURE_DECLINED" (the user pressed Cancel in the confirmation of a signature on a
// token unlocked already, or nobody confirmed it within 120 seconds; nothing was signed),
// "TOKEN_REMOVED" (the token was pulled while its PIN prompt was open), "CERT_NOT_FOUND"
// (no connected token holds the certificate: the user may insert it, see onTokensChanged),
// "AGENT" (any other error the agent answered; `message` is its text).
export class P11AgentError extends Error {
  constructor(code, message, triesLeft) {
    super(message);
    this.name = "P11AgentError";
    this.code = code;
    if (triesLeft !== undefined) this.triesLeft = triesLeft;
  }
}

// What the browsers say when a native host cannot be started.
function hostFailure(reason) {
  if (/not found|No such native application/i.test(reason)) return new P11AgentError("HOST_MISSING", reason);
  if (/forbidden|does not have permission/i.test(reason)) return new P11AgentError("HOST_REFUSED", reason);
  return new P11AgentError("HOST_ENDED", reason);
}

function agentFailure(text) {
  const wrongPin = /^WRONG_PIN:(-?\d+)$/.exec(text);
  if (wrongPin) return new P11AgentError("WRONG_PIN", text, Number(wrongPin[1]));
  const prompt = /^(PIN_PROMPT_[A-Z]+|CERT_CHOICE_[A-Z]+|NO_MATCHING_CERT|ALGORITHM_NOT_SUPPORTED|TOKEN_REMOVED|SIGNATURE_DECLINED):/.exec(text);
  if (prompt) return new P11AgentError(prompt[1], text);
  if (text === "certificate not found on any connected token") return new P11AgentError("CERT_NOT_FOUND", text);
  return new P11AgentError("AGENT", text);
}

export function toHex(bytes) {
  return Array.from(bytes, (b) => b.toString(16).padStart(2, "0")).join("");
}

function fromHex(hex) {
  return new Uint8Array(hex.match(/../g)?.map((pair) => parseInt(pair, 16)) ?? []);
}

// The bytes the token signs: for RSA the DigestInfo (built here from a bare digest, taken
// as it is when the caller built it), for EC the bare digest.
export function bytesToSign(key, hash, digest) {
  if (key === "ec") return digest;
  if (!(hash in DIGEST_INFO)) throw new P11AgentError("AGENT", `unknown hash ${hash}`);
  if (digest.length !== DIGEST_LENGTH[hash]) return digest;
  return new Uint8Array([...fromHex(DIGEST_INFO[hash]), ...digest]);
}

class Agent {
  #next = 1;
  #waiting = new Map();  // request id -> {resolve, reject}
  #tokenListeners = new Set();
  #watching = null;  // the watch_tokens request, once sent

  constructor() {
    window.addEventListener("message", (event) => {
      if (event.source !== window) return;
      if (event.data?.p11agent === "event" && event.data.event === "tokens_changed") {
        for (const listener of this.#tokenListeners) listener();
        return;
      }
      if (event.data?.p11agent !== "answer") return;
      const call = this.#waiting.get(event.data.id);
      if (!call) return;
      this.#waiting.delete(event.data.id);
      if (event.data.refused !== undefined) call.reject(new P11AgentError(event.data.refused, event.data.failure));
      else if (event.data.failure !== undefined) call.reject(hostFailure(event.data.failure));
      else if (event.data.answer.ok) call.resolve(event.data.answer);
      else call.reject(agentFailure(event.data.answer.error));
    });
  }

  // Sends one request; the answer with the same id settles it.
  request(request) {
    const id = this.#next++;
    return new Promise((resolve, reject) => {
      this.#waiting.set(id, { resolve, reject });
      window.postMessage({ p11agent: "request", id, request }, "/");
    });
  }

  // How many token modules the agent has loaded.
  async ping() {
    return (await this.request({ cmd: "ping" })).modules;
  }

  // [{thumbprint, module, token_serial}] for the certificates on the connected tokens that
  // pass `filter` (see chooseCertificate) and that this site may see: by default those its
  // user chose for it with chooseCertificate (none before a choice), every one where the
  // deployer allows listing; with `details`, each also names its subject, issuer,
  // validity, key and usages.
  async listCerts({ details, filter } = {}) {
    return (await this.request({ cmd: "list_certs", ...(details ? { details } : {}), ...(filter ? { filter } : {}) })).certs;
  }

  // The certificate the user chooses in p11agent's picker, among those that pass `filter`:
  // {valid_at: "now" or an RFC 3339 time, key_usage: ["digitalSignature",
  // "nonRepudiation"], eku: [dotted OIDs], issuer: text in the issuer's name,
  // has_private_key: false to offer certificates without a key too}. Answers {thumbprint,
  // der_b64, module, token_serial, token_label, subject, issuer, not_before, not_after,
  // key_type, key_bits, curve, key_usage, eku, has_private_key}.
  async chooseCertificate({ filter } = {}) {
    const { ok, ...cert } = await this.request({ cmd: "choose_cert", ...(filter ? { filter } : {}) });
    return cert;
  }

  // Signs with the certificate's key. Give `data` (hashed here with `hash`) or `digest`
  // (Uint8Array or hex: a bare digest, or for RSA also a whole DigestInfo). Without `pin`
  // the agent asks the user, unless the token is already unlocked for this site.
  // With `algorithm` ("RSA-PKCS1", "RSA-PSS" or "ECDSA"; a key's `algorithms` from
  // chooseCertificate or listCerts({details: true}) name what it can make), the agent is
  // told the hash and takes the bare digest: it adds PKCS #1's DigestInfo itself, signs
  // RSA-PSS with MGF1 of the same hash and a salt as long, and with signatureFormat "der"
  // answers an ECDSA signature in DER. Without it, `key` ("rsa" or "ec") says what to send,
  // as before. `description` is this page's own words on what is signed ("Contract 42"),
  // which p11agent shows the user, as the site's, in the PIN prompt and in the confirmation
  // it asks for every further signature (at most 4096 bytes; 200 characters are shown).
  // Answers {signature (Uint8Array; EC: r then s unless DER), certificate (Base64 DER)}.
  async sign({ thumbprint, pin, key, hash = "SHA-256", data, digest, algorithm, signatureFormat, description }) {
    if (data !== undefined) {
      const bytes = typeof data === "string" ? new TextEncoder().encode(data) : data;
      digest = new Uint8Array(await crypto.subtle.digest(hash, bytes));
    } else if (typeof digest === "string") {
      digest = fromHex(digest);
    }
    const named = algorithm !== undefined || signatureFormat !== undefined;
    const answer = await this.request({
      cmd: "sign", thumbprint, ...(pin ? { pin } : {}), ...(description !== undefined ? { description } : {}),
      ...(named
        ? { hash_hex: toHex(digest), hash, ...(algorithm ? { algorithm } : {}),
            ...(signatureFormat ? { signature_format: signatureFormat } : {}) }
        : { hash_hex: toHex(bytesToSign(key, hash, digest)) }),
    });
    return { signature: fromHex(answer.signature_hex), certificate: answer.cert_der_b64 };
  }

  // Unlocks the certificate's token for this site: the agent asks the user for the PIN
  // (or takes `pin`) once, and later signatures need none. Answers whether the token was
  // unlocked already.
  async validate({ thumbprint, pin }) {
    return (await this.request({ cmd: "validate", thumbprint, ...(pin ? { pin } : {}) })).cached === true;
  }

  // Calls `callback` (without arguments) within about two seconds whenever a token is
  // inserted or removed; the page learns no more than that (ask again: listCerts, or sign
  // once more). Answers a function that stops the calls.
  async onTokensChanged(callback) {
    this.#tokenListeners.add(callback);
    this.#watching ??= this.request({ cmd: "watch_tokens" });
    await this.#watching;
    return () => this.#tokenListeners.delete(callback);
  }

  // Logs the user in to this site with a certificate of their token: the user picks one fit
  // for logging in (one alone is named in the prompt) and agrees in p11agent's own dialog
  // (the PIN prompt, or a confirmation where the token is unlocked already), every time.
  // `challengeNonce` is the nonce this site's server issued for the login (44 to 128 Base64
  // characters). Answers the token to post to the server as it is: {unverifiedCertificate,
  // algorithm, signature, format, appVersion}, which the eID web clients' server libraries
  // check. A page never sends the PIN for it; the login gives the page no certificate to
  // sign or list with.
  async authenticate(challengeNonce) {
    return (await this.request({ cmd: "authenticate", challenge_nonce: challengeNonce })).auth_token;
  }

  // Ends the token login of this certificate, or every login without one; answers how
  // many were ended.
  async logout(thumbprint) {
    return (await this.request(thumbprint ? { cmd: "logout", thumbprint } : { cmd: "logout" })).closed;
  }
}

// Resolves once the extension answers on this page (within `timeoutMs`).
export function connect({ timeoutMs = 2000 } = {}) {
  return new Promise((resolve, reject) => {
    const timer = setTimeout(() => {
      window.removeEventListener("message", ready);
      reject(new P11AgentError("EXTENSION_MISSING", "the p11agent extension did not answer on this page"));
    }, timeoutMs);
    function ready(event) {
      if (event.source !== window || event.data?.p11agent !== "ready") return;
      clearTimeout(timer);
      window.removeEventListener("message", ready);
      resolve(new Agent());
    }
    window.addEventListener("message", ready);
    window.postMessage({ p11agent: "probe" }, "/");
  });
}
