#!/usr/bin/env bash
# Where a file-fed serve run spends its time: perf's call graphs of serve answering a
# validate and 5,000 P-256 signs (read from a file, answers to /dev/null) on a fresh
# SoftHSM2 token. The token's share is what C_SignInit and C_Sign take; the agent's own
# share is the rest of the request loop. Shares do not depend on the machine's speed.
# usage: bench/serve-profile.sh [AGENT]   (default: the linux preset's build)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v perf >/dev/null || { echo "perf is needed (Debian: linux-perf)"; exit 1; }
agent=${1:-build/linux/p11agent}
if [ $# -eq 0 ]; then
  cmake --preset linux >/dev/null
  cmake --build --preset linux --target p11agent >/dev/null
fi
. scripts/softhsm-token.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
softhsm_token "$work" bench ec
print=$(thumbprint "$work" ec)
{
  echo "{\"cmd\":\"validate\",\"thumbprint\":\"$print\",\"pin\":\"1234\"}"
  for ((i = 0; i < 5000; i++)); do
    echo "{\"cmd\":\"sign\",\"thumbprint\":\"$print\",\"pin\":\"1234\",\"hash_hex\":\"$(printf '44%.0s' {1..32})\"}"
  done
} >"$work/requests"
perf record -q -F 1000 --call-graph dwarf,16384 -o "$work/perf.data" "$agent" serve <"$work/requests" >/dev/null 2>&1
# Inclusive shares: the request loop, and the token's two entry points under it.
perf report -i "$work/perf.data" --children --sort symbol -g none 2>/dev/null |
  awk '/\] p11agent::run_serve/ && !loop {loop = $1 + 0}
       /\] C_SignInit / && !init {init = $1 + 0}
       /\] C_Sign / && !sign {sign = $1 + 0}
       END {printf "request loop %.1f%% of samples: token (C_SignInit, C_Sign) %.1f%%, agent'"'"'s own %.1f%%; " \
                   "signatures at %.3f of the token'"'"'s rate\n", loop, init + sign, loop - init - sign, (init + sign) / loop}'
