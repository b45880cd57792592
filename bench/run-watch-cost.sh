#!/usr/bin/env bash
# What watching the tokens costs: serve over the test bed's five known modules (the test
# module at four known paths, with an empty reader each, and p11-kit's proxy, which reaches a
# SoftHSM2 token), against the same agent built without the watch (BASE, a commit; default
# the one before the watch came), both run side by side in one run:
#   - the CPU the agent and its module hosts use in a minute (IDLE_SECONDS) of no requests,
#     as a share of one core;
#   - cached signatures per second (an EC key), in alternating blocks (BLOCKS of SIGNATURES)
#     so that both see the same machine; the ratio watching / not watching (goal >= 0.98).
# Linux; run on an otherwise quiet machine. BENCH_PREFIX="taskset -c 1" runs the caller, the
# agents and their hosts on one processor: the figures then count work, not which processor
# each process happened to wake on (on two processors they swing by a fifth either way).
set -euo pipefail
cd "$(dirname "$0")/.."
base=${BASE:-4b02ae7}
scripts/install-deps.sh
cmake --preset linux -DBUILD_TESTING=ON >/dev/null
cmake --build --preset linux --target p11agent_testbed fake_pkcs11 >/dev/null
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The agent without the watch, built once into build/ and kept for later runs.
base_tree="$PWD/build/bench-base-$base"
[ -d "$base_tree" ] || git worktree add -f "$base_tree" "$base" >/dev/null 2>&1
(cd "$base_tree" && cmake --preset linux -DBUILD_TESTING=ON >/dev/null && cmake --build --preset linux --target p11agent_testbed >/dev/null)
. scripts/softhsm-token.sh
softhsm_token "$work" bench ec
for build in build/linux "$base_tree/build/linux"; do
  mkdir -p "$build/known"
  for name in HYP2003csp11IND eps2003csp11v2 cryptoida_pkcs11 InnaITPKCS11Driver; do
    cp build/linux/fake_pkcs11.so "$build/known/$name.so"
    echo '{"slots":[{"id":1}]}' >"$work/$name.so.json"
  done
done
P11FAKE_DIR="$work" ${BENCH_PREFIX:-} python3 - build/linux/p11agent_testbed "$base_tree/build/linux/p11agent_testbed" \
  "$(thumbprint "$work" ec)" "${IDLE_SECONDS:-60}" "${BLOCKS:-20}" "${SIGNATURES:-500}" <<'PY'
import json, os, subprocess, sys, time
watching_agent, plain_agent, print_, idle, blocks, per_block = sys.argv[1:3] + [sys.argv[3]] + list(map(int, sys.argv[4:7]))
tick = os.sysconf("SC_CLK_TCK")

def cpu_seconds(pid):
    """The process's CPU time and that of its children that are still running (its hosts)."""
    total = 0
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            fields = open(f"/proc/{entry}/stat").read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(entry) == pid or int(fields[1]) == pid:
            total += int(fields[11]) + int(fields[12])
    return total / tick

class Served:
    def __init__(self, agent):
        self.process = subprocess.Popen([agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    def __call__(self, request):
        self.process.stdin.write(json.dumps(request).encode() + b"\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())

served = {"watching": Served(watching_agent), "not watching": Served(plain_agent)}
for name, agent in served.items():
    answer = agent({"cmd": "validate", "thumbprint": print_, "pin": "1234"})
    assert answer == {"ok": True}, f"{name}: {answer}"
time.sleep(2)  # the start's work done
before = {name: cpu_seconds(agent.process.pid) for name, agent in served.items()}
time.sleep(idle)
for name, agent in served.items():
    used = cpu_seconds(agent.process.pid) - before[name]
    print(f"idle {idle} s, {name}: {used:.2f} CPU seconds, {100 * used / idle:.2f} % of a core")
sign = {"cmd": "sign", "thumbprint": print_, "pin": "1234", "hash_hex": "11" * 32}
spent = {name: 0.0 for name in served}
for block in range(blocks):
    for name, agent in served.items():
        started = time.perf_counter()
        for _ in range(per_block):
            assert agent(sign)["ok"], name
        spent[name] += time.perf_counter() - started
rate = {name: blocks * per_block / spent[name] for name in served}
for name in served:
    print(f"cached signatures, {name}: {rate[name]:.0f} per second")
print(f"ratio watching / not watching: {rate['watching'] / rate['not watching']:.3f}")
for agent in served.values():
    agent.process.stdin.close()
    agent.process.wait()
PY
