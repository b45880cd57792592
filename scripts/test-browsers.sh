#!/usr/bin/env bash
# A web page signs with a SoftHSM2 token through the example extension, in headless
# Chromium and in headless Firefox ESR: the host is registered per user (into the test's
# own home), the page lists the token's certificates and signs with its RSA and EC keys,
# OpenSSL verifies the signatures, and unregistering leaves nothing behind.
# usage: test-browsers.sh AGENT. Prints "browsers: Done" or "browsers: FAILED (<what>)".
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
agent=$1
work=$(mktemp -d)
# Registration and both browsers' profiles live in this home.
export HOME="$work/home"
mkdir -p "$HOME"
chrome_id=mocfelaojeifljllokijgedhmchkecgh  # from the "key" of the example's manifest
firefox_id=p11agent-example@p11agent.invalid
extension="$here/examples/browser/extension"
server_pid=""

fail() {
  echo "browsers: FAILED ($1)"
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  rm -rf "$work"
  exit 1
}

# The browsers pass their environment to the host they start, SOFTHSM2_CONF among it.
source "$here/scripts/softhsm-token.sh"
softhsm_token "$work/token" browser rsa ec
rsa=$(thumbprint "$work/token" rsa)
ec=$(thumbprint "$work/token" ec)

"$agent" --register-host --chrome-extension "$chrome_id" --firefox-extension "$firefox_id" >"$work/register.log" ||
  fail "--register-host: $(cat "$work/register.log")"

# Serves the page and runs the browser's command until the page reports (90 s at the
# most). The page signs, or (expect HOST_MISSING, ORIGIN_NOT_ALLOWED) fails with that code;
# ORIGIN_NOT_ALLOWED asks from a sandboxed frame of the page.
run_page() {
  local expect=$1 browser=$2
  shift 2
  local frame=""
  [ "$expect" = ORIGIN_NOT_ALLOWED ] && frame="&frame=sandboxed"
  rm -f "$work/report.json"
  python3 "$here/tests/browser/server.py" "$work/report.json" "$here/tests/browser/page.html" \
    "$here/examples/browser/page/p11agent.js" >"$work/port" &
  server_pid=$!
  for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
  local url="http://127.0.0.1:$(cat "$work/port")/page.html?rsa=$rsa&ec=$ec&pin=1234$frame"
  "$@" "$url" </dev/null >"$work/$browser.log" 2>&1 &
  local browser_pid=$!
  for _ in $(seq 900); do [ -s "$work/report.json" ] && break; sleep 0.1; done
  kill "$browser_pid" "$server_pid" 2>/dev/null
  wait "$browser_pid" 2>/dev/null
  server_pid=""
  [ -s "$work/report.json" ] || fail "$browser: the page did not report; $(tail -n 5 "$work/$browser.log")"
  if [ "$expect" != signs ]; then
    grep -q "\"error\":\"$expect: " "$work/report.json" || fail "$browser: not $expect: $(cat "$work/report.json")"
    return
  fi
  python3 "$here/tests/browser/check_report.py" "$work/report.json" "$work/token" "$rsa" "$ec" "$browser" || fail "$browser"
  openssl x509 -in "$work/token/rsa.pem" -pubkey -noout >"$work/rsa.pub"
  openssl x509 -in "$work/token/ec.pem" -pubkey -noout >"$work/ec.pub"
  for check in "rsa sha256" "rsa384 sha384" "ec sha256"; do
    set -- $check
    openssl dgst "-$2" -verify "$work/${1%384}.pub" -signature "$work/token/$1.sig" "$work/token/data" >/dev/null ||
      fail "$browser: the $1 signature does not verify"
  done
}

# Chromium reads per-user hosts from <user-data-dir>/NativeMessagingHosts: the profile is
# the per-user folder that --register-host wrote.
chromium=(chromium --headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$HOME/.config/chromium" --load-extension="$extension" --disable-extensions-except="$extension")
run_page signs chromium "${chromium[@]}"
# A frame the extension does not serve is refused before anything reaches the host (the
# host would have answered with the certificates).
run_page ORIGIN_NOT_ALLOWED chromium "${chromium[@]}"

# Firefox ESR takes an unsigned extension dropped into the profile once signatures are off.
profile="$work/firefox"
mkdir -p "$profile/extensions"
(cd "$extension" && python3 -c 'import sys, os, zipfile
with zipfile.ZipFile(sys.argv[1], "w") as xpi:
    [xpi.write(name) for name in sorted(os.listdir("."))]' "$profile/extensions/$firefox_id.xpi")
cat >"$profile/user.js" <<'PREFS'
user_pref("xpinstall.signatures.required", false);
user_pref("extensions.autoDisableScopes", 0);
user_pref("extensions.enabledScopes", 15);
user_pref("browser.shell.checkDefaultBrowser", false);
user_pref("datareporting.policy.dataSubmissionEnabled", false);
user_pref("app.update.enabled", false);
PREFS
firefox=(firefox-esr --headless --no-remote --profile "$profile")
run_page signs firefox "${firefox[@]}"
run_page ORIGIN_NOT_ALLOWED firefox "${firefox[@]}"

"$agent" --unregister-host >"$work/unregister.log" || fail "--unregister-host: $(cat "$work/unregister.log")"
left=$(find "$HOME" -name 'p11agent*.json')
[ -z "$left" ] || fail "left after --unregister-host: $left"
# Without the host, the page is told so.
run_page HOST_MISSING chromium "${chromium[@]}"
run_page HOST_MISSING firefox "${firefox[@]}"
rm -rf "$work"
echo "browsers: Done"
