#!/usr/bin/env bash
# Builds everything and runs every test: the Linux build under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build under Wine, and a short run of each
# fuzz target. Ends with "N passed, N failed" and a non-zero status on any failure.
set -uo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh || { echo "could not install the dependencies"; exit 1; }

# The tests read the prompt's English texts unless they choose a language themselves,
# whatever the machine's own language is.
unset LANGUAGE LC_ALL LC_MESSAGES
export LANG=C.UTF-8

logs=$(mktemp -d)
status=0
# Where tests keep what a person may want to look at (photographs of the PIN prompts).
export P11AGENT_TEST_LOGS="$logs"

# The include lines point down the layers, and the check does catch one that does not, in
# every folder: each planted upward include, alone, fails it.
echo "=== layers"
layers=ok
scripts/check-layers.sh src || layers=failed
for plant in system/files.h:desktop/ui_text.h settings/host_places.h:trace/trace.h trace/trace.h:pkcs11/bounds.h \
    pkcs11/bounds.h:token/module.h desktop/ui_text.h:token/module.h token/slot.h:desktop/pin_dialog.h \
    token/slot.h:daemon/serve.h wire/request.h:sign/signing.h; do
  planted=$(mktemp -d)
  cp -r src "$planted/"
  echo "#include \"${plant#*:}\"" >>"$planted/src/${plant%%:*}"
  if scripts/check-layers.sh "$planted/src" >/dev/null; then
    echo "layers: the check let ${plant%%:*} include ${plant#*:}"
    layers=failed
  fi
  rm -rf "$planted"
done
if [ "$layers" = ok ]; then
  echo "layers: Done" | tee "$logs/test-layers.log"
else
  echo "layers: FAILED" | tee "$logs/test-layers.log"
  status=1
fi
# The Windows build signs p11agent.exe and the MSI with a throwaway certificate, which the
# installer test checks the signatures against.
signing=build/windows/signing
mkdir -p "$signing"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$signing/key.pem" -out "$signing/cert.pem" -days 2 \
  -subj "/CN=p11agent test signing" -addext extendedKeyUsage=codeSigning 2>/dev/null
declare -A configure_options=(
  [linux-asan]=""
  [windows]="-DP11AGENT_SIGNING_CERT=$PWD/$signing/cert.pem -DP11AGENT_SIGNING_KEY=$PWD/$signing/key.pem"
)
for preset in linux-asan windows; do
  echo "=== $preset: configure and build"
  # shellcheck disable=SC2086
  if ! { cmake --preset "$preset" ${configure_options[$preset]} && cmake --build --preset "$preset"; } \
      >"$logs/build-$preset.log" 2>&1; then
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

# The optimised build, as it is packaged: its own tests (every one: they, and the agent they
# start, know the test bed's modules), then a web page signs through the example extension in
# headless Chromium and Firefox, a site logs its user in with SoftHSM2 tokens (checked by the
# example server's checker and OpenSSL), its Debian package installs, works and goes, and it
# signs with a smart card that OpenSC reads through pcscd.
echo "=== linux: the optimised build's tests, browsers and the Debian package"
if { cmake --preset linux && cmake --build --preset linux; } >"$logs/build-linux.log" 2>&1; then
  ctest --preset linux --timeout 1500 >"$logs/test-linux.log" 2>&1 || status=1
  grep -E -A6 '\[  FAILED  \]|\.cpp:[0-9]+: Failure|tests passed|tests failed' "$logs/test-linux.log" | tail -n 60
  scripts/test-browsers.sh build/linux/dist/p11agent | tee "$logs/test-browsers.log"
  scripts/test-web-login.sh "$PWD/build/linux/p11agent" | tee "$logs/test-web-login.log"
  scripts/test-package.sh build/linux | tee "$logs/test-package.log"
  scripts/test-smartcard.sh build/linux/p11agent build/linux/p11agent_test_card build/linux/fake_pkcs11.so | tee "$logs/test-smartcard.log"
else
  tail -n 30 "$logs/build-linux.log"
  echo "browsers: FAILED (build)" | tee "$logs/test-browsers.log"
  echo "web login: FAILED (build)" | tee "$logs/test-web-login.log"
  echo "package: FAILED (build)" | tee "$logs/test-package.log"
  echo "smartcard stack: FAILED (build)" | tee "$logs/test-smartcard.log"
fi

# The MSI the Windows build made, under Wine.
echo "=== installer"
scripts/test-installer.sh | tee "$logs/test-installer.log"

# The Windows build's PIN dialog under Wine, typed into on a screen of its own.
echo "=== PIN dialog"
scripts/test-prompt-wine.sh build/windows | tee "$logs/test-prompt-windows.log"

# cmake --install: the executable, and host manifests that name it where it was installed;
# install_manifest.txt names every file the install wrote. The prefix has a quote in it,
# which the manifests' JSON escapes.
echo "=== install"
prefix="$(mktemp -d)/pre\"fix"
names_installed_agent() { grep -qF "\"path\": \"${prefix//\"/\\\"}/bin/p11agent\"" "$1"; }
if cmake --install build/linux-asan --prefix "$prefix" >"$logs/build-install.log" 2>&1 &&
   diff <(find "$prefix" ! -type d | sort) <(sort build/linux-asan/install_manifest.txt) &&
   names_installed_agent "$prefix/etc/opt/chrome/native-messaging-hosts/p11agent.json" &&
   names_installed_agent "$prefix/etc/opt/edge/native-messaging-hosts/p11agent.json" &&
   names_installed_agent "$prefix/lib/mozilla/native-messaging-hosts/p11agent.json" &&
   "$prefix/bin/p11agent" --version | grep -q '^p11agent '; then
  echo "install: Done" | tee "$logs/test-install.log"
else
  echo "install: FAILED" | tee "$logs/test-install.log"
  status=1
fi
rm -rf "$(dirname "$prefix")"

echo "=== fuzz targets, ${FUZZ_SECONDS:-30} s each"
scripts/fuzz.sh >"$logs/test-fuzz.log" 2>&1 || status=1
cat "$logs/test-fuzz.log" | grep -E '^fuzz |ERROR|SUMMARY' | head -n 40

passed=$(cat "$logs"/test-*.log 2>/dev/null | grep -c -E '\[       OK \] |^(fuzz [a-z_]+|smartcard [a-z_]+|layers|install|installer|browsers|web login|package|prompt windows): Done')
failed=$(cat "$logs"/test-*.log 2>/dev/null | grep -c -E '\[  FAILED  \] .*\([0-9]+ ms\)|^(fuzz [a-z_]+|smartcard [a-z_]+|layers|install|installer|browsers|web login|package|prompt windows): FAILED')
# A test program that crashed or was not built has no FAILED line of its own.
if [ "$status" -ne 0 ] && [ "$failed" -eq 0 ]; then failed=1; fi
echo "logs, with photographs of the PIN prompts: $logs"
echo "${passed} passed, ${failed} failed"
[ "$status" -eq 0 ] && [ "$failed" -eq 0 ]
