#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer) and
# runs each for a bounded time from its seed corpus. FUZZ_SECONDS sets the time per
# target (30 by default; give it more for a long run). Ends with one line per target.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-30}
scripts/install-deps.sh
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target request_fuzz hash_hex_fuzz cert_serial_fuzz intake_fuzz daemon_fuzz host_request_fuzz \
  host_answer_fuzz fake_pkcs11 >/dev/null

status=0
for target in request_fuzz hash_hex_fuzz cert_serial_fuzz intake_fuzz daemon_fuzz host_request_fuzz host_answer_fuzz; do
  work=$(mktemp -d)
  if [ "$target" = host_answer_fuzz ]; then
    # Its seeds are recorded anew from a real host's answers, as the messages are today.
    (cd build/fuzz && P11AGENT_RECORD_SEEDS="$work" "./$target")
  else
    cp -r "fuzz/corpus/$target/." "$work/"
  fi
  log="$work/log"
  if (cd build/fuzz && "./$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=4096 \
      -artifact_prefix="$work/" "$work" >"$log" 2>&1); then
    echo "fuzz $target: $(grep -E '^Done [0-9]+ runs' "$log" | tail -n 1)"
  else
    echo "fuzz $target: FAILED"
    grep -E -A30 'ERROR|==[0-9]+==|deadly signal' "$log" | head -n 60
    status=1
  fi
  rm -rf "$work"
done
exit "$status"
