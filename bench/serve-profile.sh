#!/usr/bin/env bash
# Where serve's time goes when it signs: callgrind counts the instructions of `serve` fed
# a validate and N P-256 signs from a file (answers to /dev/null) on a fresh SoftHSM2
# token, for N = 0 and N = 1,000. The token's part is what runs below sign_data (the
# module's C_SignInit and C_Sign); the agent's own part is the rest of the request loop.
# The difference of the two runs, over N, gives both per signature. Instruction counts do
# not depend on the machine's load.
# usage: bench/serve-profile.sh [AGENT]   (default: the linux preset's build)
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }
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
hash=$(printf '44%.0s' {1..32})

# "loop token": the request loop's instructions, and those below sign_data.
counts() {
  local signs=$1
  {
    echo "{\"cmd\":\"validate\",\"thumbprint\":\"$print\",\"pin\":\"1234\"}"
    for ((i = 0; i < signs; i++)); do
      echo "{\"cmd\":\"sign\",\"thumbprint\":\"$print\",\"pin\":\"1234\",\"hash_hex\":\"$hash\"}"
    done
  } >"$work/requests"
  valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$agent" serve <"$work/requests" >/dev/null 2>&1
  # Lines read "count (share) file:function [object]".
  local total self
  total=$(callgrind_annotate --inclusive=yes --threshold=100 "$work/cg.out" 2>/dev/null)
  self=$(callgrind_annotate --inclusive=no --threshold=100 "$work/cg.out" 2>/dev/null)
  pick() { sed -n -E "s/^ *([0-9,]+) .*:$1[ (\[].*/\1/p" | head -n 1 | tr -d ,; }
  local loop sign_all sign_self
  loop=$(pick 'p11agent::run_serve' <<<"$total")
  sign_all=$(pick 'p11agent::sign_data' <<<"$total")
  sign_self=$(pick 'p11agent::sign_data' <<<"$self")
  echo "${loop:-0} $(( ${sign_all:-0} - ${sign_self:-0} ))"
}

read -r loop0 token0 < <(counts 0)
read -r loop1 token1 < <(counts 1000)
awk -v l0="$loop0" -v t0="$token0" -v l1="$loop1" -v t1="$token1" 'BEGIN {
  token = (t1 - t0) / 1000; own = ((l1 - t1) - (l0 - t0)) / 1000
  printf "per P-256 signature: token %.0f instructions, agent'"'"'s own %.0f (%.1f%%); signatures at %.3f of the token'"'"'s rate, counted in instructions\n",
         token, own, 100 * own / (token + own), token / (token + own)
}'
