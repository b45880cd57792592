#!/usr/bin/env bash
# The agent on real middleware: OpenSC reading the emulated card through pcscd
# (scripts/smartcard.sh). One-shot `list_certs` and `sign` against pkcs11-tool on the same
# card (alternated runs, medians and their ratio), then the latency of `serve` signatures
# on the held login (median and 90th percentile). Needs root, as the stack does.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-31}
signatures=${SIGNATURES:-200}
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target p11agent p11agent_bench_process p11agent_test_card >/dev/null
agent="$PWD/build/linux/p11agent"
opensc=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so

work=$(mktemp -d)
trap 'scripts/smartcard.sh stop "$work"; rm -rf "$work"' EXIT
scripts/smartcard.sh start "$work" build/linux/p11agent_test_card
print=$(openssl x509 -in "$work/card.pem" -outform DER | openssl dgst -sha1 -r | cut -d' ' -f1)
# The card's key is RSA: both sign a SHA-256 DigestInfo with CKM_RSA_PKCS.
digest_info=3031300d060960864801650304020105000420$(printf 'card' | openssl dgst -sha256 -r | cut -d' ' -f1)
printf '%b' "$(echo -n "$digest_info" | sed 's/../\\x&/g')" >"$work/digest_info.bin"

sign_request="{\"cmd\":\"sign\",\"module\":\"$opensc\",\"thumbprint\":\"$print\",\"hash_hex\":\"$digest_info\",\"pin\":\"123456\"}"
list_request="{\"cmd\":\"list_certs\",\"module\":\"$opensc\"}"
tool=$(command -v pkcs11-tool)
build/linux/p11agent_bench_process sign "$runs" \
  -- agent "$sign_request" "$agent" \
  -- pkcs11-tool "" "$tool" --module "$opensc" --login --pin 123456 --sign --mechanism RSA-PKCS \
  --id 0001 -i "$work/digest_info.bin" -o "$work/sig.bin"
build/linux/p11agent_bench_process list_certs "$runs" \
  -- agent "$list_request" "$agent" \
  -- pkcs11-tool "" "$tool" --module "$opensc" --list-objects --type cert

python3 - "$agent" "$print" "$digest_info" "$signatures" <<'PY'
import json, subprocess, sys, time
agent, print_, digest_info, count = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
served = subprocess.Popen([agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
def ask(request):
    served.stdin.write((json.dumps(request) + "\n").encode()); served.stdin.flush()
    return json.loads(served.stdout.readline())
assert ask({"cmd": "validate", "thumbprint": print_, "pin": "123456"}) == {"ok": True}
times = []
for _ in range(count):
    start = time.perf_counter()
    answer = ask({"cmd": "sign", "thumbprint": print_, "hash_hex": digest_info, "pin": "123456"})
    times.append((time.perf_counter() - start) * 1000)
    assert answer.get("ok"), answer
served.stdin.close(); served.wait()
times.sort()
print(f"serve sign on the card: median {times[len(times) // 2]:.2f} ms, 90th percentile "
      f"{times[len(times) * 9 // 10]:.2f} ms over {count} signatures")
PY
