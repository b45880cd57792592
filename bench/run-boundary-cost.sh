#!/usr/bin/env bash
# What the module hosts cost, side by side in one run on a SoftHSM2 token (the modules
# p11-kit registers are the known ones): the shipped agent against the same code loading
# modules in its own process (bench/in_process_agent.cpp), against pkcs11-tool, and, when
# BEFORE names another build's p11agent, against that build.
#   1. browser host: start to the first list_certs answer (no browser), and the CPU time of
#      one life (start, one list, end) with every process it started
#   2. one-shot sign and list_certs, whole processes
#   3. cached signatures per second against a raw C_Sign loop, on idle cores and with two
#      busy loops beside them, and with the algorithm named against without
#   4. the memory (PSS) of a browser host and its module hosts holding one login
#   5. the module host's own start (exec to exit of its cheapest run: `p11agent-host
#      --version`; before it had a program of its own, the agent's `--help`), and the
#      wake-ups per cached signature of the agent and its module host
# and at the end one table of every contender's medians side by side.
# The peer that isolates modules as the agent does, p11-kit's remote modules, stands beside
# them: the in-process build ("p11-kit-remote") and pkcs11-tool ("pkcs11-tool-remote") reach
# SoftHSM2 through `remote: |p11-kit remote …` (p11-kit's proxy starts `p11-kit remote` for
# them), in a mount namespace whose p11-kit module folder gives them, by their program
# names, the remote module and everyone else SoftHSM2 itself.
set -euo pipefail
cd "$(dirname "$0")/.."
# The browser host lists and signs here as an application does (a site otherwise learns
# only what its user chose): the deployer allows listing, over an overlay of /etc.
if [ -z "${P11AGENT_BENCH_LISTING:-}" ]; then
  P11AGENT_BENCH_LISTING=1 exec scripts/with-deployer-setting.sh allow-cert-listing bash "$PWD/bench/run-boundary-cost.sh" "$@"
fi
# p11-kit reads a user's module files only when not root: its system folder is overlaid here.
if [ -z "${P11AGENT_BENCH_REMOTE:-}" ]; then
  modules=$(mktemp -d)
  cp /usr/share/p11-kit/modules/*.module "$modules/"
  remote_names="p11agent_remote pkcs11-tool-remote"
  printf 'disable-in: %s\n' "$remote_names" >>"$modules/softhsm2.module"
  printf 'remote: |p11-kit remote %s\nenable-in: %s\n' /usr/lib/x86_64-linux-gnu/softhsm/libsofthsm2.so "$remote_names" \
    >"$modules/softhsm2-remote.module"
  status=0
  P11AGENT_BENCH_REMOTE=1 unshare -m bash -c 'mount --bind "$0" /usr/share/p11-kit/modules && exec bash "$1" "${@:2}"' \
    "$modules" "$PWD/bench/run-boundary-cost.sh" "$@" || status=$?
  rm -rf "$modules"
  exit "$status"
fi
runs=${RUNS:-31}
scripts/install-deps.sh
cmake --preset linux >/dev/null
cmake --build --preset linux --target p11agent p11agent_in_process p11agent_bench_process p11agent_bench_sign >/dev/null
. scripts/softhsm-token.sh
work=$(mktemp -d)
busy=()
trap '[ ${#busy[@]} -eq 0 ] || kill "${busy[@]}" 2>/dev/null; rm -rf "$work"' EXIT
# Each section adds "measure<TAB>contender<TAB>value" lines here for the table at the end.
table="$work/table"
softhsm_token "$work" cost rsa ec
# The remote contenders are the same programs under the names p11-kit's module files give the
# remote module to.
# The in-process build whose known module is p11-kit's proxy (the default build reads
# p11-kit's module files itself, and takes no `remote:`).
cmake -S . -B build/linux-proxy -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" -DP11AGENT_LINUX_MODULES=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so \
  >/dev/null
cmake --build build/linux-proxy --target p11agent_in_process >/dev/null
ln -s "$PWD/build/linux-proxy/p11agent_in_process" "$work/p11agent_remote"
ln -s "$(command -v pkcs11-tool)" "$work/pkcs11-tool-remote"
proxy=/usr/lib/x86_64-linux-gnu/p11-kit-proxy.so
agents=(agent "$PWD/build/linux/p11agent" in-process "$PWD/build/linux/p11agent_in_process"
  p11-kit-remote "$work/p11agent_remote")
[ -n "${BEFORE:-}" ] && agents+=(before "$(realpath "$BEFORE")")
[ -n "${BEFORE_HOST_PROGRAM:-}" ] && agents+=(before-host-program "$(realpath "$BEFORE_HOST_PROGRAM")")

echo "== browser host: start to the first list_certs answer, and CPU per life (medians of $runs)"
python3 - "$runs" "$SOFTHSM_MODULE" "$table" "$work/pkcs11-tool-remote" "$proxy" "${agents[@]}" <<'PY'
import json, os, resource, struct, subprocess, sys, time
runs, module, table, remote_tool, proxy, pairs = int(sys.argv[1]), sys.argv[2], open(sys.argv[3], "a"), sys.argv[4], sys.argv[5], sys.argv[6:]
contenders = dict(zip(pairs[0::2], pairs[1::2]))
message = json.dumps({"cmd": "list_certs"}).encode()
def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime
def host_life(agent):
    # Children of the host (its module hosts) are reaped by it, so they count in its usage.
    cpu, start = children_cpu(), time.perf_counter()
    host = subprocess.Popen([agent, "chrome-extension://" + "a" * 32 + "/"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    host.stdin.write(struct.pack("<I", len(message)) + message); host.stdin.flush()
    length = struct.unpack("<I", host.stdout.read(4))[0]
    answer = json.loads(host.stdout.read(length))
    first = time.perf_counter() - start
    assert answer.get("certs"), answer
    host.stdin.close(); host.wait()
    return first, children_cpu() - cpu
def tool_list(tool, module):
    start = time.perf_counter()
    subprocess.run([tool, "--module", module, "-O", "--type", "cert"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start, 0.0
measured = {name: [] for name in [*contenders, "pkcs11-tool", "pkcs11-tool-remote"]}
for _ in range(runs):
    for name, agent in contenders.items():
        measured[name].append(host_life(agent))
    measured["pkcs11-tool"].append(tool_list("pkcs11-tool", module))
    measured["pkcs11-tool-remote"].append(tool_list(remote_tool, proxy))
median = lambda values: sorted(values)[len(values) // 2]
tool = median([first for first, _ in measured["pkcs11-tool"]])
in_process_cpu = median([cpu for _, cpu in measured["in-process"]])
for name, values in measured.items():
    first, cpu = median([f for f, _ in values]), median([c for _, c in values])
    line = f"  {name:12} first answer {first * 1000:6.2f} ms (x{first / tool:.2f} pkcs11-tool -O)"
    table.write(f"browser host: first answer, ms\t{name}\t{first * 1000:.2f}\n")
    if not name.startswith("pkcs11-tool"):
        line += f", CPU per life {cpu * 1000:6.2f} ms (x{cpu / in_process_cpu:.2f} in-process)"
        table.write(f"browser host: CPU per life, ms\t{name}\t{cpu * 1000:.2f}\n")
    print(line)
PY

echo "== one-shot, whole processes"
print=$(thumbprint "$work" ec)
digest=$(printf 'cost' | openssl dgst -sha256 -r | cut -d' ' -f1)
printf '%b' "$(echo -n "$digest" | sed 's/../\\x&/g')" >"$work/digest.bin"
sign_request="{\"cmd\":\"sign\",\"module\":\"$SOFTHSM_MODULE\",\"thumbprint\":\"$print\",\"hash_hex\":\"$digest\",\"pin\":\"1234\"}"
contenders=()
for ((i = 0; i < ${#agents[@]}; i += 2)); do
  # The remote contender names the proxy, which reaches SoftHSM2 through p11-kit remote.
  request=$sign_request
  [ "${agents[i]}" = p11-kit-remote ] && request=${sign_request/$SOFTHSM_MODULE/$proxy}
  contenders+=(-- "${agents[i]}" "$request" "${agents[i + 1]}")
done
tool_sign=(--token-label cost --login --pin 1234 --sign --mechanism ECDSA --id 02 -i "$work/digest.bin" -o "$work/sig.bin")
build/linux/p11agent_bench_process sign "$runs" "${contenders[@]}" \
  -- pkcs11-tool "" "$(command -v pkcs11-tool)" --module "$SOFTHSM_MODULE" "${tool_sign[@]}" \
  -- pkcs11-tool-remote "" "$work/pkcs11-tool-remote" --module "$proxy" "${tool_sign[@]}" | tee "$work/oneshot"
awk 'NR > 1 { printf "one-shot sign, ms\t%s\t%.2f\n", $1, $2 / 1000 }' "$work/oneshot" >>"$table"

echo "== cached signatures against a raw C_Sign loop: idle cores (each contender), then two busy loops beside them"
sign_bench() {
  build/linux/p11agent_bench_sign "$1" /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so 1234 \
    "$(thumbprint "$work" rsa)" "$(thumbprint "$work" ec)" | grep -E '^(RSA|P-256)'
}
for ((i = 0; i < ${#agents[@]}; i += 2)); do
  sign_bench "${agents[i + 1]}" | sed "s/^/  ${agents[i]}: /" | tee -a "$work/cached"
done
awk '/wake-ups/ { sub(":", "", $1); sub(",", "", $9); printf "wake-ups a cached signature (%s): agent, host\t%s\t%s %s\n", $2, $1, $9, $12 }' \
  "$work/cached" >>"$table"
for _ in 1 2; do
  sh -c 'while :; do :; done' &
  busy+=($!)
done
sign_bench build/linux/p11agent
kill "${busy[@]}"
busy=()

echo "== cached signatures, file-fed serve (no caller in the loop): microseconds a signature"
for ((i = 0; i < ${#agents[@]}; i += 2)); do
  build/linux/p11agent_bench_sign --file-fed "${agents[i + 1]}" /usr/lib/x86_64-linux-gnu/p11-kit-proxy.so 1234 \
    "$(thumbprint "$work" rsa)" "$(thumbprint "$work" ec)" | grep 'file-fed' | sed "s/^/  ${agents[i]}: /" | tee -a "$work/fed"
done
awk '{ sub(":", "", $1); printf "file-fed cached signature (%s), us\t%s\t%s\n", $2, $1, $5 }' "$work/fed" >>"$table"

echo "== memory: PSS of a browser host and its module hosts after one validate (medians of 5)"
python3 - "$(thumbprint "$work" ec)" "${agents[@]}" <<'PY'
import json, os, struct, subprocess, sys, time
thumbprint, pairs = sys.argv[1], sys.argv[2:]
def pss(pid):
    try:
        return next(int(line.split()[1]) for line in open(f"/proc/{pid}/smaps_rollup") if line.startswith("Pss:"))
    except (OSError, StopIteration):
        return 0
def children(pid):
    found = []
    for task in os.listdir(f"/proc/{pid}/task"):
        found += [int(child) for child in open(f"/proc/{pid}/task/{task}/children").read().split()]
    return found
def held_login_pss(agent):
    host = subprocess.Popen([agent, "chrome-extension://" + "a" * 32 + "/"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    message = json.dumps({"cmd": "validate", "thumbprint": thumbprint, "pin": "1234"}).encode()
    host.stdin.write(struct.pack("<I", len(message)) + message); host.stdin.flush()
    answer = json.loads(host.stdout.read(struct.unpack("<I", host.stdout.read(4))[0]))
    assert answer.get("ok"), answer
    time.sleep(0.3)
    processes = [host.pid, *children(host.pid)]
    total = sum(pss(pid) for pid in processes)
    host.stdin.close(); host.wait()
    return total, len(processes)
for name, agent in zip(pairs[0::2], pairs[1::2]):
    measured = sorted(held_login_pss(agent) for _ in range(5))
    total, processes = measured[2]
    print(f"  {name:12} {total / 1024:5.1f} MB in {processes} processes")
PY

echo "== the module host's own start, exec to exit (medians of $runs alternated runs)"
hosts=(agent "$PWD/build/linux/p11agent-host" --version)
[ -n "${BEFORE:-}" ] && hosts+=(before "$(realpath "$BEFORE")" --help)
python3 - "$runs" "$table" "${hosts[@]}" <<'PY'
import subprocess, sys, time
runs, table, rest = int(sys.argv[1]), open(sys.argv[2], "a"), sys.argv[3:]
hosts = [rest[i:i + 3] for i in range(0, len(rest), 3)]
measured = {name: [] for name, _, _ in hosts}
for _ in range(runs * 5):
    for name, program, argument in hosts:
        start = time.perf_counter()
        subprocess.run([program, argument], stdout=subprocess.DEVNULL, check=True)
        measured[name].append(time.perf_counter() - start)
for name, values in measured.items():
    value = sorted(values)[len(values) // 2] * 1000
    print(f"  {name:12} {value:6.2f} ms")
    table.write(f"module host start, ms\t{name}\t{value:.2f}\n")
PY

echo "== medians side by side"
python3 - "$table" <<'PY'
import sys
rows, columns = {}, []
for line in open(sys.argv[1]):
    measure, contender, value = line.rstrip("\n").split("\t")
    rows.setdefault(measure, {})[contender] = value
    if contender not in columns: columns.append(contender)
width = max(len(measure) for measure in rows)
print(f"  {'':{width}}" + "".join(f" {name:>14}" for name in columns))
for measure, values in rows.items():
    print(f"  {measure:{width}}" + "".join(f" {values.get(name, ''):>14}" for name in columns))
PY
