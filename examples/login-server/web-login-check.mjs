// The server's side of "log in with your token": a challenge nonce issued for each login,
// and the check of the token a page posts back, made as the public server libraries of the
// eID web clients make it. Node.js standard library only.
//
//   const nonces = new NonceStore();
//   const nonce = nonces.issue();                      // give to the page
//   const verdict = checkAuthToken(token, { origin: "https://portal.example", nonces });
//   if (verdict.ok) logIn(verdict.certificate.subject);
import { createHash, randomBytes, verify, X509Certificate } from "node:crypto";

const NONCE_LIFETIME_MS = 5 * 60 * 1000;
const CLIENT_AUTH = "1.3.6.1.5.5.7.3.2";

// Nonces of 32 random bytes (Base64), each good for 5 minutes and one login.
export class NonceStore {
  #issued = new Map();  // nonce -> when it ends
  constructor({ now = () => Date.now() } = {}) {
    this.now = now;
  }
  issue() {
    const nonce = randomBytes(32).toString("base64");
    this.#issued.set(nonce, this.now() + NONCE_LIFETIME_MS);
    return nonce;
  }
  // Whether the nonce was issued here and is still good; either way it is used up.
  take(nonce) {
    const ends = this.#issued.get(nonce);
    this.#issued.delete(nonce);
    for (const [other, end] of this.#issued) if (end < this.now()) this.#issued.delete(other);
    return ends !== undefined && this.now() <= ends;
  }
}

// The algorithms the server libraries accept: the hash, and how the key signs.
const ALGORITHMS = {
  RS256: { hash: "sha256", padding: "pkcs1" }, RS384: { hash: "sha384", padding: "pkcs1" }, RS512: { hash: "sha512", padding: "pkcs1" },
  PS256: { hash: "sha256", padding: "pss" }, PS384: { hash: "sha384", padding: "pss" }, PS512: { hash: "sha512", padding: "pss" },
  ES256: { hash: "sha256", padding: "ecdsa" }, ES384: { hash: "sha384", padding: "ecdsa" }, ES512: { hash: "sha512", padding: "ecdsa" },
};

// A DER element at `at`: its tag, where its content starts and where it ends.
function element(der, at) {
  const tag = der[at];
  let length = der[at + 1];
  let start = at + 2;
  if (length & 0x80) {
    const count = length & 0x7f;
    length = 0;
    for (let i = 0; i < count; ++i) length = length * 256 + der[start + i];
    start += count;
  }
  if (start + length > der.length) throw new Error("the certificate's DER is cut short");
  return { tag, start, end: start + length };
}

function children(der, parent) {
  const found = [];
  for (let at = parent.start; at < parent.end; at = found[found.length - 1].end) found.push(element(der, at));
  return found;
}

function dottedOid(bytes) {
  const arcs = [];
  let value = 0;
  for (const byte of bytes) {
    value = value * 128 + (byte & 0x7f);
    if (byte & 0x80) continue;
    if (arcs.length === 0) arcs.push(Math.min(Math.floor(value / 40), 2), value - Math.min(Math.floor(value / 40), 2) * 40);
    else arcs.push(value);
    value = 0;
  }
  return arcs.join(".");
}

// The certificate's extensions by OID: the DER of each extnValue's content.
function extensions(der) {
  const certificate = element(der, 0);
  const tbs = children(der, certificate)[0];
  const explicit = children(der, tbs).find((part) => part.tag === 0xa3);
  const found = new Map();
  if (!explicit) return found;
  for (const extension of children(der, children(der, explicit)[0])) {
    const parts = children(der, extension);
    const value = parts[parts.length - 1];
    found.set(dottedOid(der.subarray(parts[0].start, parts[0].end)), der.subarray(value.start, value.end));
  }
  return found;
}

// keyUsage's digitalSignature bit (the BIT STRING's first bit); undefined without the extension.
function hasDigitalSignature(value) {
  if (value === undefined) return undefined;
  const bits = element(value, 0);
  return bits.end - bits.start >= 2 && (value[bits.start + 1] & 0x80) !== 0;
}

function ekuOids(value) {
  if (value === undefined) return undefined;
  return children(value, element(value, 0)).map((oid) => dottedOid(value.subarray(oid.start, oid.end)));
}

function digest(hash, text) {
  return createHash(hash).update(text, "utf8").digest();
}

// The token's signature over SHA(origin) || SHA(nonce), with the certificate's key.
function signatureVerifies(token, certificate, origin, nonce) {
  const algorithm = ALGORITHMS[token.algorithm];
  if (!algorithm) return false;
  const signed = Buffer.concat([digest(algorithm.hash, origin), digest(algorithm.hash, nonce)]);
  const key = { key: certificate.publicKey };
  if (algorithm.padding === "ecdsa") key.dsaEncoding = "ieee-p1363";
  if (algorithm.padding === "pss") Object.assign(key, { padding: 6 /* RSA_PKCS1_PSS_PADDING */, saltLength: -2 });
  return verify(algorithm.hash, signed, key, Buffer.from(token.signature, "base64"));
}

// {ok: true, certificate} when the token proves that its certificate's holder logs in to
// `origin` (this server's own, serialized: "https://host[:port]") answering `nonce`, the
// one this server issued for the login (with `nonces`, its NonceStore, which must still hold
// it: it is used up here); else {ok: false, reason}. `at` is the time to check the
// certificate's validity at (now).
export function checkAuthToken(token, { origin, nonce, nonces, at = new Date() }) {
  const refuse = (reason) => ({ ok: false, reason });
  if (typeof token !== "object" || token === null) return refuse("no token");
  if (typeof token.format !== "string" || !token.format.startsWith("web-eid:1")) return refuse("unknown format");
  for (const member of ["unverifiedCertificate", "algorithm", "signature"])
    if (typeof token[member] !== "string" || token[member] === "") return refuse(`no ${member}`);
  let certificate;
  let found;
  try {
    const der = Buffer.from(token.unverifiedCertificate, "base64");
    certificate = new X509Certificate(der);
    found = extensions(der);
  } catch {
    return refuse("the certificate cannot be read");
  }
  if (hasDigitalSignature(found.get("2.5.29.15")) !== true) return refuse("the certificate's key usage has no digitalSignature");
  const eku = ekuOids(found.get("2.5.29.37"));
  if (eku !== undefined && !eku.includes(CLIENT_AUTH)) return refuse("the certificate is not for client authentication");
  if (at < new Date(certificate.validFrom) || at > new Date(certificate.validTo)) return refuse("the certificate is not valid now");
  if (typeof nonce !== "string") return refuse("no nonce");
  // Used up by the first token that names it, whatever that token proves.
  if (nonces && !nonces.take(nonce)) return refuse("the nonce was not issued here, has expired or was used");
  if (!signatureVerifies(token, certificate, origin, nonce)) return refuse("the signature does not verify");
  return { ok: true, certificate };
}
