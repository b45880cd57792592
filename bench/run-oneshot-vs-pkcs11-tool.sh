#!/usr/bin/env bash
# Whole-process cost of the one-shot agent against pkcs11-tool on the same SoftHSM2 token:
# `sign` (module given) against `pkcs11-tool --sign`, and `list_certs` against
# `pkcs11-tool --list-objects --type cert`, alternated, with medians and their ratio.
# A third contender, the bare client (bench/bare_client.cpp), makes only the calls a plain
# program needs for the same answer: the agent's ratio to it is the agent's own overhead,
# and its own ratio to pkcs11-tool is the least any client of this module can reach.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-41}
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_process p11agent_bare_client >/dev/null
agent="$PWD/build/linux/p11agent"
. scripts/softhsm-token.sh
softhsm=$SOFTHSM_MODULE

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
softhsm_token "$work" cost ec
print=$(thumbprint "$work" ec)
digest=$(printf 'cost' | openssl dgst -sha256 -r | cut -d' ' -f1)
printf '%b' "$(echo -n "$digest" | sed 's/../\\x&/g')" >"$work/digest.bin"

sign_request="{\"cmd\":\"sign\",\"module\":\"$softhsm\",\"thumbprint\":\"$print\",\"hash_hex\":\"$digest\",\"pin\":\"1234\"}"
list_request="{\"cmd\":\"list_certs\",\"module\":\"$softhsm\"}"
tool=$(command -v pkcs11-tool)
bare=build/linux/p11agent_bare_client
# Processes are started directly (no shell) and timed from start to exit.
build/linux/p11agent_bench_process sign "$runs" \
  -- agent "$sign_request" "$agent" \
  -- pkcs11-tool "" "$tool" --module "$softhsm" --token-label cost --login --pin 1234 --sign --mechanism ECDSA \
  --id 01 -i "$work/digest.bin" -o "$work/sig.bin" \
  -- bare "" "$bare" sign "$softhsm" 1234 "$print" "$digest"
build/linux/p11agent_bench_process list_certs "$runs" \
  -- agent "$list_request" "$agent" \
  -- pkcs11-tool "" "$tool" --module "$softhsm" --token-label cost --list-objects --type cert \
  -- bare "" "$bare" list "$softhsm"
