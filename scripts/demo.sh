#!/usr/bin/env bash
# The agent's main job on a software token: builds the agent, makes a SoftHSM2 token with
# an RSA-2048 and a P-256 key and certificate in a temporary folder, and shows the
# agent's answers for it: listing, lookup, one-shot signatures checked with OpenSSL, and
# a serve conversation.
set -euo pipefail
cd "$(dirname "$0")/.."

echo "== installing the Debian packages the build needs (the first run takes about a minute)"
scripts/install-deps.sh
echo "== building the agent (cmake --preset linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target p11agent >/dev/null
agent="$PWD/build/linux/p11agent"
. scripts/softhsm-token.sh
softhsm=$SOFTHSM_MODULE

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
echo "== a SoftHSM2 token with two keys and certificates"
softhsm_token "$work" demo rsa ec
rsa_print=$(thumbprint "$work" rsa)
ec_print=$(thumbprint "$work" ec)

ask() {
  local status=0
  echo "> $1"
  echo "$1" | "$agent" | cut -c1-400 || status=$?
  echo "  (exit status $status)"
}
field() { sed -n "s/.*\"$1\":\"\\([^\"]*\\)\".*/\\1/p"; }
bytes() { printf '%b' "$(echo -n "$1" | sed 's/../\\x&/g')"; }

echo
echo "== one-shot answers (the known module of this build is the p11-kit proxy, which reaches SoftHSM2)"
ask '{"cmd":"list_certs"}'
ask "{\"cmd\":\"find_cert\",\"thumbprint\":\"$(echo "$rsa_print" | tr 'a-f' 'A-F')\"}"
# SoftHSM2 always offers one more slot with an uninitialised token, which cannot be
# opened: the report of that module ends in that failure, as a real caller would see it.
echo "  (enumerate reports one module slot by slot and stops at the first slot it cannot open:"
echo "   SoftHSM2 always keeps one more slot holding an uninitialised token, so its report ends"
echo "   in that failure, with exit status 1; the tokens above are listed and sign all the same)"
ask "{\"cmd\":\"enumerate\",\"module\":\"$softhsm\"}"

echo
echo "== one-shot signatures, verified by OpenSSL as a caller checks them"
# What is signed: "p11agent demo". EC keys sign its SHA-256 digest; RSA keys sign the
# SHA-256 DigestInfo (the digest behind a fixed prefix), so that the signature is the
# PKCS #1 v1.5 signature of the data that openssl dgst -sha256 -verify checks.
printf 'p11agent demo' >"$work/data"
digest=$(openssl dgst -sha256 -r "$work/data" | cut -d' ' -f1)
for name in rsa ec; do
  if [ "$name" = rsa ]; then
    print=$rsa_print
    signed=3031300d060960864801650304020105000420$digest
  else
    print=$ec_print
    signed=$digest
  fi
  answer=$(echo "{\"cmd\":\"sign\",\"thumbprint\":\"$print\",\"hash_hex\":\"$signed\",\"pin\":\"1234\"}" | "$agent")
  echo "$name: $answer" | cut -c1-160
  echo "$answer" | field cert_der_b64 | base64 -d >"$work/signer.der"
  openssl x509 -inform DER -in "$work/signer.der" -pubkey -noout >"$work/signer.pub"
  signature=$(echo "$answer" | field signature_hex)
  if [ "$name" = rsa ]; then
    bytes "$signature" >"$work/sig.bin"
  else
    # PKCS#11 gives r then s; OpenSSL wants them as a DER SEQUENCE of two INTEGERs.
    half=$((${#signature} / 2))
    printf 'asn1=SEQUENCE:sig\n[sig]\nr=INTEGER:0x%s\ns=INTEGER:0x%s\n' "${signature:0:half}" "${signature:half}" >"$work/sig.cnf"
    openssl asn1parse -genconf "$work/sig.cnf" -out "$work/sig.bin" -noout >/dev/null
  fi
  echo -n "$name: openssl dgst -sha256 -verify: "
  openssl dgst -sha256 -verify "$work/signer.pub" -signature "$work/sig.bin" "$work/data"
done

echo
echo "== serve: one PIN check, then signatures on the held session"
{
  echo '{"cmd":"ping"}'
  echo "{\"cmd\":\"validate\",\"thumbprint\":\"$ec_print\",\"pin\":\"1234\"}"
  for i in 1 2 3; do
    echo "{\"cmd\":\"sign\",\"thumbprint\":\"$ec_print\",\"pin\":\"1234\",\"hash_hex\":\"$digest\"}"
  done
  echo "{\"cmd\":\"validate\",\"thumbprint\":\"$ec_print\",\"pin\":\"1234\"}"
  echo '{"cmd":"logout"}'
} | tee "$work/requests" | "$agent" serve | paste -d'\n' "$work/requests" - | sed 's/^{"cmd"/> &/' | cut -c1-160
