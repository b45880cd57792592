#!/usr/bin/env bash
# What the trace costs a cached signature: serve fed from a file (bench/sign_throughput.cpp
# --file-fed) on a fresh SoftHSM2 token, with tracing off, with it on (P11AGENT_TRACE, a new
# file each round), and, when BEFORE names another build's p11agent, that build; alternating
# in one run, ROUNDS rounds (default 5). Prints each run's ratio to the raw C_Sign loop and
# the medians, and on/off and off/before.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${ROUNDS:-5}
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_sign >/dev/null
. scripts/softhsm-token.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
softhsm_token "$work" trace rsa ec
rsa=$(thumbprint "$work" rsa)
ec=$(thumbprint "$work" ec)
contenders=(off on)
[ -n "${BEFORE:-}" ] && contenders+=(before)
for round in $(seq "$rounds"); do
  for contender in "${contenders[@]}"; do
    agent=$PWD/build/linux/p11agent
    [ "$contender" = before ] && agent=$(realpath "$BEFORE")
    rm -f "$work/trace.jsonl"*
    if [ "$contender" = on ]; then export P11AGENT_TRACE="$work/trace.jsonl"; else unset P11AGENT_TRACE; fi
    build/linux/p11agent_bench_sign --file-fed "$agent" /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so 1234 "$rsa" "$ec" |
      sed -n "s/^\([A-Z0-9-]*\) *file-fed .*ratio \([0-9.]*\).*/$contender \1 \2/p" | tee -a "$work/ratios"
  done
done
unset P11AGENT_TRACE
python3 - "$work/ratios" <<'PY'
import statistics, sys
runs = {}
for line in open(sys.argv[1]):
    contender, key, ratio = line.split()
    runs.setdefault((contender, key), []).append(float(ratio))
medians = {k: statistics.median(v) for k, v in runs.items()}
for key in sorted({k for _, k in runs}):
    row = {c: medians.get((c, key)) for c in ("off", "on", "before")}
    text = "  ".join(f"{c} {v:.3f}" for c, v in row.items() if v is not None)
    text += f"  on/off {row['on'] / row['off']:.3f}"
    if row["before"]:
        text += f"  off/before {row['off'] / row['before']:.3f}"
    print(f"{key:8} median ratio to the raw loop: {text}")
PY
