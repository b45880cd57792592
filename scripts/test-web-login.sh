#!/usr/bin/env bash
# A site logs its user in with the token: the browser host answers `authenticate` for an
# RSA-2048, a P-256 and a P-384 certificate made for logging in (keyUsage digitalSignature,
# EKU clientAuth), each on a SoftHSM2 token of its own beside a certificate for signing
# only, which is not offered. The user is asked in the agent's own dialog each time: the
# PIN prompt first, then a confirmation (a stand-in for pinentry answers them and notes what
# they said), and a declined one answers SIGNATURE_DECLINED. A page's PIN, a short nonce
# and a plain-http origin are refused asking nothing. OpenSSL verifies each token's
# signature over SHA(origin) || SHA(nonce), and the example server's checker accepts each
# for its origin and nonce and for no other. The trace holds the nonce's length, never the
# nonce. usage: test-web-login.sh AGENT. Prints "web login: Done" or "web login: FAILED (<what>)".
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
agent=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "web login: FAILED ($1)"
  exit 1
}
. "$here/scripts/softhsm-token.sh"

# The stand-in pinentry: the PIN for GETPIN, and for each CONFIRM the next answer of
# $work/confirm ("ok" or "cancel"); every line it is told is noted in $work/pinentry.log.
cat >"$work/pinentry" <<SCRIPT
#!/bin/sh
echo "OK Pleased to meet you"
while IFS= read -r line; do
  printf '%s\n' "\$line" >>"$work/pinentry.log"
  case "\$line" in
    GETPIN) printf 'D 1234\nOK\n' ;;
    CONFIRM)
      n=\$(cat "$work/confirm.next" 2>/dev/null || echo 1)
      echo \$((n + 1)) >"$work/confirm.next"
      if [ "\$(sed -n "\${n}p" "$work/confirm")" = ok ]; then echo OK; else echo "ERR 83886179 Operation cancelled <Pinentry>"; fi ;;
    BYE) echo OK; exit 0 ;;
    *) echo OK ;;
  esac
done
SCRIPT
chmod +x "$work/pinentry"
export P11AGENT_PINENTRY="$work/pinentry" DISPLAY=${DISPLAY:-:99}
export P11AGENT_TRACE="$work/trace.jsonl"
printf 'ok\ncancel\n' >"$work/confirm"

origin="https://portal.example:8443"
export SOFTHSM_CERT_EXTENSIONS="keyUsage=critical,digitalSignature;extendedKeyUsage=clientAuth"
for key in rsa ec p384; do
  rm -f "$work/pinentry.log" "$work/confirm.next"
  # The login certificate, then one for signing only beside it on the same token.
  softhsm_token "$work/$key" "login-$key" "$key"
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/$key/signing.key" \
    -out "$work/$key/signing.pem" -subj /CN=Signing -days 30 -addext keyUsage=critical,nonRepudiation 2>/dev/null
  openssl x509 -in "$work/$key/signing.pem" -outform DER -out "$work/$key/signing.der"
  softhsm2-util --import "$work/$key/signing.key" --token "login-$key" --label signing --id 09 --pin 1234 >/dev/null
  write_certificate "login-$key" "$work/$key/signing.der" 09 signing
  /usr/bin/python3 - "$agent" "$origin" "$work/$key" "$work/tokens.jsonl" <<'PYTHON' || fail "$key: the browser host's answers"
import base64, hashlib, json, os, struct, subprocess, sys
agent, origin, folder, tokens = sys.argv[1:]
nonces = [base64.b64encode(os.urandom(32)).decode() for _ in range(3)]
def ask(**members):
    return dict({"cmd": "authenticate", "origin": origin}, **members)
requests = [ask(challenge_nonce=nonces[0], pin="1234"), ask(challenge_nonce=nonces[0][:43]),
            ask(challenge_nonce=nonces[0], origin="http://portal.example"),
            ask(challenge_nonce=nonces[0]), ask(challenge_nonce=nonces[1]), ask(challenge_nonce=nonces[2])]
framed = b"".join(struct.pack("=I", len(data)) + data for data in (json.dumps(r).encode() for r in requests))
done = subprocess.run([agent, "chrome-extension://mocfelaojeifljllokijgedhmchkecgh/"], input=framed,
                      capture_output=True, timeout=120)
answers, out = [], done.stdout
while len(out) >= 4:
    (length,) = struct.unpack("=I", out[:4])
    answers.append(json.loads(out[4:4 + length]))
    out = out[4 + length:]
expected = ["invalid request: a site may not send the PIN to log in",
            "invalid request: challenge_nonce must be 44 to 128 Base64 characters",
            "invalid request: authenticate needs an https origin", None, None,
            "SIGNATURE_DECLINED: the user declined the signature"]
assert len(answers) == len(expected), answers
for answer, error in zip(answers, expected):
    assert answer.get("error") == error, (answer, error)
with open(tokens, "a") as out:
    for answer, nonce in zip(answers[3:5], nonces):
        token = answer["auth_token"]
        assert token["format"] == "web-eid:1.0" and token["appVersion"].startswith("https://"), token
        assert base64.b64decode(token["unverifiedCertificate"]) == open(f"{folder}/{os.path.basename(folder)}.der", "rb").read()
        out.write(json.dumps({"origin": origin, "nonce": nonce, "auth_token": token}) + "\n")
        # OpenSSL verifies the signature over SHA(origin) || SHA(nonce).
        hash_name = {"RS256": "sha256", "ES256": "sha256", "ES384": "sha384"}[token["algorithm"]]
        digest = lambda text: hashlib.new(hash_name, text.encode()).digest()
        open(f"{folder}/signed", "wb").write(digest(origin) + digest(nonce))
        signature = base64.b64decode(token["signature"])
        if token["algorithm"].startswith("ES"):
            half = len(signature) // 2
            der = subprocess.run(["openssl", "asn1parse", "-genconf", "/dev/stdin", "-out", f"{folder}/sig", "-noout"],
                                 input=f"asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x{signature[:half].hex()}\n"
                                       f"s=INTEGER:0x{signature[half:].hex()}\n".encode(), check=True)
        else:
            open(f"{folder}/sig", "wb").write(signature)
        subprocess.run(["openssl", "x509", "-in", f"{folder}/{os.path.basename(folder)}.pem", "-pubkey", "-noout",
                        "-out", f"{folder}/pub"], check=True)
        subprocess.run(["openssl", "dgst", f"-{hash_name}", "-verify", f"{folder}/pub", "-signature", f"{folder}/sig",
                        f"{folder}/signed"], check=True, capture_output=True)
print(f"{os.path.basename(folder)}: {answers[3]['auth_token']['algorithm']}, verified by OpenSSL")
PYTHON
  # The PIN asked once, each later login confirmed, every screen worded for logging in.
  [ "$(grep -c '^GETPIN$' "$work/pinentry.log")" = 1 ] || fail "$key: the PIN was not asked once"
  [ "$(grep -c '^CONFIRM$' "$work/pinentry.log")" = 2 ] || fail "$key: not two confirmations"
  [ "$(grep '^SETDESC' "$work/pinentry.log" | grep -c 'asks you to log in with your certificate')" = 3 ] ||
    fail "$key: a dialog not worded for logging in"
  grep -q 'Signing' "$work/pinentry.log" && fail "$key: the signing certificate was offered"
done
WEB_LOGIN_TOKENS="$work/tokens.jsonl" node --test "$here/examples/login-server/test.mjs" >"$work/checker.log" 2>&1 ||
  { cat "$work/checker.log"; fail "the example server's checker"; }
grep -q '^# pass 3$' "$work/checker.log" || { cat "$work/checker.log"; fail "the checker skipped the agent's tokens"; }
# The trace: the nonce's length, never the nonce.
grep -q '"challenge_nonce_chars":44' "$P11AGENT_TRACE" || fail "no nonce length in the trace"
while IFS= read -r line; do
  nonce=$(echo "$line" | python3 -c 'import json,sys; print(json.load(sys.stdin)["nonce"])')
  grep -qF "$nonce" "$P11AGENT_TRACE" && fail "a nonce in the trace"
done <"$work/tokens.jsonl"
echo "web login: Done"
