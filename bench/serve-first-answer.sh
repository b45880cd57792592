#!/usr/bin/env bash
# Time from starting `serve` to its first answer, and the memory of the agent and its
# module hosts, with five known modules (copies of SoftHSM2 on a fresh token): the median
# of RUNS starts (default 15). Builds its own configuration of the agent in
# build/bench-five, whose known modules are the five copies.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${RUNS:-15}
scripts/install-deps.sh
. scripts/softhsm-token.sh

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
softhsm_token "$work" first ec
modules=()
for i in 1 2 3 4 5; do
  cp "$SOFTHSM_MODULE" "$work/softhsm-copy$i.so"
  modules+=("$work/softhsm-copy$i.so")
done
list=$(IFS=';'; echo "${modules[*]}")
cmake -S . -B build/bench-five -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF \
  "-DP11AGENT_LINUX_MODULES=$list" >/dev/null
cmake --build build/bench-five --target p11agent >/dev/null

python3 - build/bench-five/p11agent "$runs" <<'EOF'
import subprocess, sys, time
agent, runs = sys.argv[1], int(sys.argv[2])
times = []
for run in range(runs):
    start = time.perf_counter()
    served = subprocess.Popen([agent, "serve"], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    served.stdin.write(b'{"cmd":"ping"}\n')
    served.stdin.flush()
    answer = served.stdout.readline()
    times.append(time.perf_counter() - start)
    if run == 0:
        rss = lambda *args: [int(v) for v in subprocess.run(["ps", *args, "-o", "rss="], capture_output=True,
                                                            text=True).stdout.split()]
        own, hosts = rss("-p", str(served.pid)), rss("--ppid", str(served.pid))
        print(f"first answer {answer.decode().strip()}; RSS: agent {own[0]} KiB, {len(hosts)} hosts "
              f"{sum(hosts)} KiB, together {own[0] + sum(hosts)} KiB")
    served.stdin.close()
    served.wait()
times.sort()
print(f"time to the first answer: median {times[len(times) // 2] * 1000:.1f} ms "
      f"(min {times[0] * 1000:.1f}, max {times[-1] * 1000:.1f}) over {runs} starts")
EOF
