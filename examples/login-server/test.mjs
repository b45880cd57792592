// The checker against the published valid token of the Java server library's tests, and,
// given WEB_LOGIN_TOKENS (a file of JSON lines {origin, nonce, auth_token}), against tokens
// p11agent made: each accepted for its origin and nonce, and for no other.
//   node --test examples/login-server/test.mjs
import assert from "node:assert/strict";
import { readFileSync } from "node:fs";
import { test } from "node:test";

import { checkAuthToken, NonceStore } from "./web-login-check.mjs";

const vector = JSON.parse(readFileSync(new URL("./testdata/web-login-vector.json", import.meta.url)));
// Its certificate was valid from July 2021 to July 2026.
const IN_ITS_VALIDITY = new Date("2026-01-01T00:00:00Z");

test("the published token verifies for its origin and nonce, and for no other", () => {
  const check = (changes) => checkAuthToken(vector.auth_token, { origin: vector.origin, nonce: vector.challenge_nonce, at: IN_ITS_VALIDITY, ...changes });
  assert.equal(check({}).ok, true);
  assert.equal(check({ nonce: vector.challenge_nonce.replace(/.$/, "4") }).reason, "the signature does not verify");
  assert.equal(check({ origin: vector.origin + "/" }).reason, "the signature does not verify");
  assert.equal(check({ at: new Date("2026-12-11T00:00:00Z") }).reason, "the certificate is not valid now");
  assert.equal(checkAuthToken({ ...vector.auth_token, format: "web-eid:2" }, { origin: vector.origin, nonce: vector.challenge_nonce, at: IN_ITS_VALIDITY }).reason, "unknown format");
  assert.equal(checkAuthToken({ ...vector.auth_token, algorithm: "ES256" }, { origin: vector.origin, nonce: vector.challenge_nonce, at: IN_ITS_VALIDITY }).reason, "the signature does not verify");
});

test("a nonce is issued as 32 random bytes, good once and for 5 minutes", () => {
  let now = 0;
  const nonces = new NonceStore({ now: () => now });
  const first = nonces.issue();
  assert.equal(Buffer.from(first, "base64").length, 32);
  assert.notEqual(nonces.issue(), first);
  assert.equal(nonces.take(first), true);
  assert.equal(nonces.take(first), false);
  const late = nonces.issue();
  now += 5 * 60 * 1000 + 1;
  assert.equal(nonces.take(late), false);
  assert.equal(nonces.take("never issued"), false);
});

const made = process.env.WEB_LOGIN_TOKENS;
test("tokens p11agent made verify for their origin and nonce alone", { skip: made ? false : "WEB_LOGIN_TOKENS not set" }, () => {
  const lines = readFileSync(made, "utf8").split("\n").filter(Boolean).map((line) => JSON.parse(line));
  assert.ok(lines.length > 0);
  for (const { origin, nonce, auth_token: token } of lines) {
    const nonces = new NonceStore();
    assert.deepEqual(checkAuthToken(token, { origin, nonce, at: new Date() }).reason, undefined, token.algorithm);
    assert.equal(checkAuthToken(token, { origin, nonce, nonces }).reason, "the nonce was not issued here, has expired or was used");
    assert.equal(checkAuthToken(token, { origin: origin.replace(/:\d+$/, ""), nonce }).reason, "the signature does not verify");
    assert.equal(checkAuthToken(token, { origin, nonce: nonce.slice(1) + "A" }).reason, "the signature does not verify");
  }
});
