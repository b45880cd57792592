#!/usr/bin/env bash
# Cached signatures through the 32-bit module host against the 64-bit one, under Wine, in
# one serve: the test module as a 64-bit DLL at one known path and as a 32-bit DLL only in
# SysWOW64 at another, each holding its own certificate; blocks of signatures alternate
# between the two, so both see the same machine. Prints signatures per second of each and
# the ratio (32-bit / 64-bit), and the size of both shipped executables.
#   BLOCKS (default 20) blocks of SIGNATURES (default 200) signatures each, per host.
set -euo pipefail
cd "$(dirname "$0")/.."
blocks=${BLOCKS:-20}
signatures=${SIGNATURES:-200}
scripts/install-deps.sh
cmake --preset windows >/dev/null
cmake --build --preset windows >/dev/null
build="$PWD/build/windows"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree=;mshtml="
scripts/wine-prefix.sh start
windows="$WINEPREFIX/drive_c/windows"
work=$(mktemp -d)
trap 'rm -rf "$work" "$windows/system32/HYP2003csp11IND.dll" "$windows/syswow64/eps2003csp11v2.dll"; scripts/wine-prefix.sh stop' EXIT
cp "$build/fake_pkcs11.dll" "$windows/system32/HYP2003csp11IND.dll"
cp "$build/host32/fake_pkcs11.dll" "$windows/syswow64/eps2003csp11v2.dll"
rm -f "$windows/system32/eps2003csp11v2.dll"
ls -l "$build/dist/p11agent.exe" "$build/dist/p11agent-host32.exe" | awk '{print "shipped", $NF, $5, "bytes"}'

P11FAKE_DIR="$(winepath -w "$work" 2>/dev/null)" python3 - "$work" "$build/p11agent.exe" "$blocks" "$signatures" <<'PY'
import hashlib, json, os, subprocess, sys, time
work, agent, blocks, per_block = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
wine = "/usr/lib/wine/wine64"
def der(serial):  # what the test module's certificate reader takes: a serial, then filler
    body = bytes.fromhex("a003020102") + bytes([2, len(serial)]) + serial + bytes.fromhex("0500")
    return bytes([0x30, len(body) + 2, 0x30, len(body)]) + body
hosts = {}
for name, module, serial in (("64-bit", "HYP2003csp11IND.dll", b"\x64"), ("32-bit", "eps2003csp11v2.dll", b"\x32")):
    cert = der(serial)
    scenario = {"slots": [{"id": 1, "token": {"label": name, "serial": name, "objects": [
        {"class": "certificate", "id_hex": "01", "value_hex": cert.hex()},
        {"class": "private_key", "id_hex": "01"}]}}]}
    with open(os.path.join(work, module + ".json"), "w") as f:
        json.dump(scenario, f)
    hosts[name] = hashlib.sha1(cert).hexdigest()
daemon = subprocess.Popen([wine, agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
def ask(line):
    daemon.stdin.write((line + "\n").encode()); daemon.stdin.flush()
    return json.loads(daemon.stdout.readline())
def sign(thumbprint):
    return json.dumps({"cmd": "sign", "thumbprint": thumbprint, "hash_hex": "00" * 32, "pin": "1234"})
for name, thumbprint in hosts.items():  # the logins, and the hosts warmed
    for _ in range(50):
        answer = ask(sign(thumbprint))
        assert answer.get("ok"), (name, answer)
seconds = {name: 0.0 for name in hosts}
for block in range(blocks):
    order = list(hosts.items()) if block % 2 == 0 else list(reversed(hosts.items()))
    for name, thumbprint in order:
        request = sign(thumbprint)
        start = time.perf_counter()
        for _ in range(per_block):
            ask(request)
        seconds[name] += time.perf_counter() - start
daemon.stdin.close(); daemon.wait()
rates = {name: blocks * per_block / seconds[name] for name in hosts}
for name, rate in rates.items():
    print(f"{name} host: {rate:.0f} cached signatures/s")
print(f"ratio 32-bit/64-bit: {rates['32-bit'] / rates['64-bit']:.3f}")
PY
