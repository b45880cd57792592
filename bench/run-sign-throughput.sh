#!/usr/bin/env bash
# Daemon signatures per second against raw PKCS#11 calls, and the daemon's memory, on a
# fresh SoftHSM2 token. Prints ratios; run on an otherwise quiet machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_sign >/dev/null
softhsm=/usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/tokens"
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >"$work/softhsm2.conf"
export SOFTHSM2_CONF="$work/softhsm2.conf"
softhsm2-util --init-token --free --label bench --so-pin 5678 --pin 1234 >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/rsa.key" -out "$work/rsa.pem" -subj /CN=rsa 2>/dev/null
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/ec.key" -out "$work/ec.pem" -subj /CN=ec 2>/dev/null
id=1
for name in rsa ec; do
  openssl x509 -in "$work/$name.pem" -outform DER -out "$work/$name.der"
  softhsm2-util --import "$work/$name.key" --token bench --label "$name" --id "0$id" --pin 1234 >/dev/null
  pkcs11-tool --module "$softhsm" --token-label bench --login --pin 1234 --write-object "$work/$name.der" \
    --type cert --id "0$id" >/dev/null 2>&1
  id=$((id + 1))
done
thumb() { openssl x509 -in "$work/$1.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f'; }
# The baseline uses the module the agent itself reaches the token through.
build/linux/p11agent_bench_sign build/linux/p11agent /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so 1234 "$(thumb rsa)" "$(thumb ec)"
