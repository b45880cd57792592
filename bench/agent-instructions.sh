#!/usr/bin/env bash
# The agent's own work as it grows with the token: callgrind counts the instructions
# executed in the agent's own functions (not in the module, the C library or OpenSSL) for a
# one-shot list_certs on a fake token with 250 and with 1000 certificates and keys.
# Instruction counts do not depend on the machine's load.
set -euo pipefail
cd "$(dirname "$0")/.."
command -v valgrind >/dev/null || { echo "valgrind is needed"; exit 1; }
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent fake_pkcs11 >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp build/linux/fake_pkcs11.so "$work/scale.so"
export P11FAKE_DIR="$work"

own_instructions() {
  local count=$1 serial
  {
    printf '{"slots":[{"id":1,"token":{"label":"S","serial":"1","objects":['
    for ((i = 0; i < count; i++)); do
      serial=$(printf '%04x' "$i")
      [ "$i" -gt 0 ] && printf ','
      printf '{"class":"certificate","value_hex":"300d300ba0030201020202%s0500","id_hex":"%s"},' "$serial" "$serial"
      printf '{"class":"private_key","id_hex":"%s","key_type":3}' "$serial"
    done
    printf ']}}]}'
  } >"$work/scale.so.json"
  echo "{\"cmd\":\"list_certs\",\"module\":\"$work/scale.so\"}" |
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" build/linux/p11agent >/dev/null 2>&1
  # Each line reads "count (share) file:function [object]". Only the agent's own functions
  # count: library code inside the binary (JSON, containers) may run for the fake module
  # too, which reads its scenario with the same JSON library.
  callgrind_annotate --threshold=100 --inclusive=no "$work/cg.out" 2>/dev/null |
    sed -n -E 's/^ *([0-9,]+) \([^)]*\) [^:]*:(p11agent::[^(]*).*\[.*\/p11agent\] *$/\1/p' |
    awk '{gsub(/,/, "", $1); sum += $1} END {print sum}'
}

small=$(own_instructions 250)
large=$(own_instructions 1000)
awk -v a="$small" -v b="$large" \
  'BEGIN {printf "agent instructions: %d for 250 certificates and keys, %d for 1000: growth %.2fx for 4x the objects\n", a, b, b / a}'
