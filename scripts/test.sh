#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build under Wine, and a short run of each
# fuzz target. Ends with "N passed, N failed" and a non-zero status on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || { echo "could not install the dependencies"; exit 1; }

logs=$(mktemp -d)
status=0

# The include lines point down the layers, and the check does catch one that does not.
echo "=== layers"
planted=$(mktemp -d)
cp -r src "$planted/"
echo '#include "daemon/serve.h"' >>"$planted/src/token/slot.h"
if scripts/check-layers.sh src && ! scripts/check-layers.sh "$planted/src" >/dev/null; then
  echo "layers: Done" | tee "$logs/test-layers.log"
else
  echo "layers: FAILED" | tee "$logs/test-layers.log"
  status=1
fi
rm -rf "$planted"
for preset in linux-asan windows; do
  echo "=== $preset: configure and build"
  if ! { cmake --preset "$preset" && cmake --build --preset "$preset"; } >"$logs/build-$preset.log" 2>&1; then
    tail -n 60 "$logs/build-$preset.log"
    echo "=== $preset: build failed"
    status=1
    continue
  fi
  echo "=== $preset: tests"
  ctest --preset "$preset" --timeout 1500 >"$logs/test-$preset.log" 2>&1 || status=1
  grep -E -A6 '\[  FAILED  \]|\.cpp:[0-9]+: Failure|tests passed|tests failed|ERROR: AddressSanitizer|runtime error' \
    "$logs/test-$preset.log" | tail -n 120
done

# A web page signs through the example extension in headless Chromium and Firefox, with
# the optimised build (the one that is packaged).
echo "=== browsers"
if { cmake --preset linux && cmake --build --preset linux --target p11agent; } >"$logs/build-linux.log" 2>&1; then
  scripts/test-browsers.sh build/linux/p11agent | tee "$logs/test-browsers.log"
else
  tail -n 30 "$logs/build-linux.log"
  echo "browsers: FAILED (build)" | tee "$logs/test-browsers.log"
fi

# The MSI the Windows build made, under Wine.
echo "=== installer"
scripts/test-installer.sh | tee "$logs/test-installer.log"

# cmake --install: the executable, and host manifests that name it where it was installed.
echo "=== install"
prefix=$(mktemp -d)
names_installed_agent() { grep -q "\"path\": \"$prefix/bin/p11agent\"" "$1"; }
if cmake --install build/linux-asan --prefix "$prefix" >"$logs/build-install.log" 2>&1 &&
   names_installed_agent "$prefix/etc/opt/chrome/native-messaging-hosts/p11agent.json" &&
   names_installed_agent "$prefix/etc/opt/edge/native-messaging-hosts/p11agent.json" &&
   names_installed_agent "$prefix/lib/mozilla/native-messaging-hosts/p11agent.json" &&
   "$prefix/bin/p11agent" --version | grep -q '^p11agent '; then
  echo "install: Done" | tee "$logs/test-install.log"
else
  echo "install: FAILED" | tee "$logs/test-install.log"
  status=1
fi
rm -rf "$prefix"

echo "=== fuzz targets, ${FUZZ_SECONDS:-30} s each"
scripts/fuzz.sh >"$logs/test-fuzz.log" 2>&1 || status=1
cat "$logs/test-fuzz.log" | grep -E '^fuzz |ERROR|SUMMARY' | head -n 40

passed=$(cat "$logs"/test-*.log 2>/dev/null | grep -c -E '\[       OK \] |^(fuzz [a-z_]+|layers|install|installer|browsers): Done')
failed=$(cat "$logs"/test-*.log 2>/dev/null | grep -c -E '\[  FAILED  \] .*\([0-9]+ ms\)|^(fuzz [a-z_]+|layers|install|installer|browsers): FAILED')
# A test program that crashed or was not built has no FAILED line of its own.
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
echo "${passed} passed, ${failed} failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
