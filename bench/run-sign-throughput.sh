#!/usr/bin/env bash
# Daemon signatures per second against raw PKCS#11 calls, and the daemon's memory, on a
# fresh SoftHSM2 token. Prints ratios; run on an otherwise quiet machine.
# BENCH_PREFIX="taskset -c 1" runs the caller and the daemon on one processor, which takes
# the cost of waking an idle processor out of the waiting caller's figures.
# --file-fed: serve reads its requests from a file instead (no caller in the loop), and
# the per-signature time is set against the raw loop's.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_sign >/dev/null
. scripts/softhsm-token.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
softhsm_token "$work" bench rsa ec
# The baseline uses the module the agent itself reaches the token through.
${BENCH_PREFIX:-} build/linux/p11agent_bench_sign "$@" build/linux/p11agent /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so 1234 \
  "$(thumbprint "$work" rsa)" "$(thumbprint "$work" ec)"
