#!/usr/bin/env bash
# How the one-shot agent's time grows with the number of objects on a token: SoftHSM2
# tokens with N certificates and N private keys (N = 100 and 1000), timed for list_certs,
# find_cert of the last certificate and sign with it. Prints medians and the growth.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-7}
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target p11agent >/dev/null
agent="$PWD/build/linux/p11agent"
. scripts/softhsm-token.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# A token with `count` certificates (one key pair, many serial numbers) and as many keys.
many_objects_token() {
  local folder=$1 count=$2 i
  mkdir -p "$folder/tokens"
  printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$folder" >"$folder/softhsm2.conf"
  export SOFTHSM2_CONF="$folder/softhsm2.conf"
  softhsm2-util --init-token --free --label scale --so-pin 5678 --pin 1234 >/dev/null
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$folder/key.pem" 2>/dev/null
  for ((i = 1; i <= count; i++)); do
    local id
    id=$(printf '%04x' "$i")
    openssl req -x509 -key "$folder/key.pem" -out "$folder/cert.pem" -subj "/CN=scale-$i" -days 30 -set_serial "$i" 2>/dev/null
    openssl x509 -in "$folder/cert.pem" -outform DER -out "$folder/cert.der"
    softhsm2-util --import "$folder/key.pem" --token scale --label "k$i" --id "$id" --pin 1234 >/dev/null
    pkcs11-tool --module "$SOFTHSM_MODULE" --token-label scale --login --pin 1234 --write-object "$folder/cert.der" \
      --type cert --id "$id" >/dev/null 2>&1
  done
  openssl x509 -in "$folder/cert.pem" -noout -fingerprint -sha1 | sed 's/.*=//; s/://g' | tr 'A-F' 'a-f' >"$folder/last"
}

median_ms() {
  local request=$1 i start end
  for ((i = 0; i < runs; i++)); do
    start=$(date +%s%N)
    echo "$request" | "$agent" >/dev/null || true
    end=$(date +%s%N)
    echo $(((end - start) / 1000))
  done | sort -n | awk '{a[NR]=$1} END {printf "%.1f", a[int((NR+1)/2)] / 1000}'
}

declare -A times
for count in 100 1000; do
  many_objects_token "$work/$count" "$count"
  last=$(cat "$work/$count/last")
  times[list,$count]=$(median_ms "{\"cmd\":\"list_certs\",\"module\":\"$SOFTHSM_MODULE\"}")
  times[find,$count]=$(median_ms "{\"cmd\":\"find_cert\",\"thumbprint\":\"$last\"}")
  times[sign,$count]=$(median_ms "{\"cmd\":\"sign\",\"module\":\"$SOFTHSM_MODULE\",\"thumbprint\":\"$last\",\"hash_hex\":\"$(printf '%064d' 0)\",\"pin\":\"1234\"}")
done
for command in list find sign; do
  awk -v c="$command" -v a="${times[$command,100]}" -v b="${times[$command,1000]}" \
    'BEGIN {printf "%-5s 100 objects %8.1f ms   1000 objects %8.1f ms   growth %.1fx for 10x the objects\n", c, a, b, b / a}'
done
