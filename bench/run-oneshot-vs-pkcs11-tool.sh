#!/usr/bin/env bash
# Whole-process cost of the one-shot agent against pkcs11-tool on the same SoftHSM2 token:
# `sign` (module given) against `pkcs11-tool --sign`, and `list_certs` against
# `pkcs11-tool --list-objects --type cert`, alternated, with medians and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-41}
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_process >/dev/null
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
# Processes are started directly (no shell) and timed from start to exit.
build/linux/p11agent_bench_process sign "$runs" "$sign_request" "$agent" -- "" "$tool" --module "$softhsm" \
  --token-label cost --login --pin 1234 --sign --mechanism ECDSA --id 01 -i "$work/digest.bin" -o "$work/sig.bin"
build/linux/p11agent_bench_process list_certs "$runs" "$list_request" "$agent" -- "" "$tool" --module "$softhsm" \
  --token-label cost --list-objects --type cert
