#!/usr/bin/env bash
# A web page signs with a SoftHSM2 token through the example extension, in headless
# Chromium and in headless Firefox ESR: the host is registered per user (into the test's
# own home), the page lists the token's certificates and signs with its RSA and EC keys
# (where the deployer allows listing, as pages did before sites learned only what their
# users chose),
# OpenSSL verifies the signatures, and unregistering leaves nothing behind. The page signs
# once with the PIN in the page and once without: then the agent asks for it in the real
# pinentry (pinentry-gtk2 on an Xvfb screen), typed with xdotool, and a photograph of the
# prompt is kept with the test logs ($P11AGENT_TEST_LOGS). The RSA certificate is named as
# qualified ones are (subject and issuer past 2 kB, Cyrillic, and a right-to-left override
# in its holder's name): every line to pinentry stays within 1000 bytes and the override is
# shown escaped. The page also signs with named algorithms (RSA-PSS with SHA-256 and
# SHA-384, PKCS #1 v1.5 with the agent's DigestInfo, DER ECDSA), each verified by OpenSSL.
# --doctor fails before the host is registered and passes after. With the deployer's setting
# (in a mount namespace of its own, over an overlay of /etc), a PIN from the page is refused.
# Under the browser host's own consent for each signature, the page signs three times: the
# PIN prompt is the first one's consent, the second is confirmed in pinentry (Sign, and the
# page's own description shown) and the third declined by a Return pressed as it appears
# (a key meant for the page), which answers SIGNATURE_DECLINED;
# the confirmation is photographed. The batch runs sign under the deployer's
# SignatureConsent none.
# A site logs its user in with a token of its own (one certificate for logging in, P-384):
# the page's own PIN is refused, the PIN is typed into the prompt that says the site asks to
# log in, and the example server's checker accepts the token for the page's origin and
# nonce and for no other.
# The page also has the user choose the certificate in the agent's picker (zenity on the same
# screen, the EC certificate picked with the keyboard and photographed) and signs with it:
# by default its listing is empty before the choice and holds the chosen certificate alone
# after it; with the deployer's setting that requires the picker, its listing is refused.
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
typist_pid=""
picker_pid=""
confirmer_pid=""
screen_pid=""
shots=${P11AGENT_TEST_LOGS:-$work}

stop_helpers() {
  for pid in "$server_pid" "$typist_pid" "$picker_pid" "$confirmer_pid"; do [ -n "$pid" ] && kill "$pid" 2>/dev/null; done
  server_pid="" typist_pid="" picker_pid="" confirmer_pid=""
}

# However the script ends (an unset variable aborts it too), nothing it started is left.
trap 'stop_helpers; [ -n "$screen_pid" ] && kill "$screen_pid" 2>/dev/null' EXIT

fail() {
  echo "browsers: FAILED ($1)"
  stop_helpers
  # The browsers' own logs go with the test logs.
  [ "$shots" != "$work" ] && mkdir -p "$shots" && cp "$work"/*.log "$work"/report.json "$shots"/ 2>/dev/null
  [ -n "$screen_pid" ] && kill "$screen_pid" 2>/dev/null
  rm -rf "$work"
  exit 1
}

# The screen the prompts are drawn on; the host the browsers start inherits DISPLAY and
# the pinentry to use.
source "$here/scripts/screen.sh"
start_screen "$work" || fail "Xvfb did not start"
# pinentry-gtk2, with what the agent tells it (and what it writes on its error stream) kept
# in the work folder. It is named this screen: without a display it would turn to the
# terminal it does not have (a Firefox run once answered so), and the DISPLAY it was given
# is logged to tell that case from a screen that did not take it.
cat >"$work/pinentry" <<SCRIPT
#!/bin/sh
echo "pinentry started with DISPLAY=\${DISPLAY-unset}" >>"$work/pinentry-stderr.log"
tee -a "$work/pinentry.log" | exec /usr/bin/pinentry-gtk-2 --display "$DISPLAY" "\$@" 2>>"$work/pinentry-stderr.log"
SCRIPT
chmod +x "$work/pinentry"
export P11AGENT_PINENTRY="$work/pinentry"
# zenity, with the arguments the agent gives it kept in the work folder, and after them
# (after a ROWS line) the list's cells it reads on its standard input.
mkdir -p "$work/picker"
cat >"$work/picker/zenity" <<SCRIPT
#!/bin/sh
printf '%s\n' "\$@" ROWS >>"$work/picker.log"
tee -a "$work/picker.log" | exec /usr/bin/zenity "\$@" 2>>"$work/picker-stderr.log"
SCRIPT
chmod +x "$work/picker/zenity"
export P11AGENT_CERT_PICKER="$work/picker/zenity"

# Types the token's PIN into each prompt that comes up, as a user would; the first prompt
# of each browser is photographed. Each prompt typed into is counted in FILE.
type_pins() {
  local count=$1 shot=$2 window
  while :; do
    window=$(prompt_window)
    if [ -n "$window" ] && settle "$window"; then
      [ -e "$shot" ] || import -window root "$shot" 2>/dev/null
      xdotool type --window "$window" 1234 2>/dev/null
      # Return from the keyboard itself: sent to the window as an event, its release would
      # go to a window already closed and leave the key held, which the confirmation that
      # comes next then takes for a press of its Cancel.
      xdotool windowfocus --sync "$window" 2>/dev/null
      xdotool key Return 2>/dev/null
      echo typed >>"$count"
      gone "$window" '^p11agent: PIN$'
    fi
    sleep 0.1
  done
}

# Picks row ROW (from 0) of each certificate picker that comes up, with the keyboard, as a
# user would; the first is photographed. Each pick is counted in FILE.
pick_rows() {
  local row=$1 count=$2 shot=$3 window title='^p11agent: choose a certificate$'
  while :; do
    window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
    if [ -n "$window" ] && settle "$window"; then
      xdotool windowfocus --sync "$window" 2>/dev/null
      xdotool key Home 2>/dev/null
      for _ in $(seq "$row"); do xdotool key Down 2>/dev/null; done
      settle "$window"  # the row's highlight moved
      [ -e "$shot" ] || import -window root "$shot" 2>/dev/null
      xdotool key Return 2>/dev/null
      echo picked >>"$count"
      gone "$window" "$title"
    fi
    sleep 0.1
  done
}

# Answers each confirmation of a signature that comes up, with the keyboard: Sign for the
# first, photographed; each counted in FILE. pinentry's confirmation has the focus on
# Cancel, so that a stray Return declines: Sign is Tab, then Return, as a user moves to it.
# The second gets a Return as soon as it is drawn, with nothing moved to it, as a key meant
# for the page would be: it must decline, not sign (where it is still up after that, Escape
# is counted too).
answer_confirmations() {
  local count=$1 shot=$2 window title='^p11agent: signature$' keys="Tab Return"
  while :; do
    window=$(xdotool search --onlyvisible --name "$title" 2>/dev/null | head -n 1)
    if [ -n "$window" ] && [ "$keys" = Return ] && settle "$window"; then
      echo Return >>"$count"
      xdotool key Return 2>/dev/null
      sleep 2
      if xdotool search --onlyvisible --name "$title" >/dev/null 2>&1; then
        echo Escape >>"$count"
        xdotool windowfocus --sync "$window" key Escape 2>/dev/null
      fi
      gone "$window" "$title"
    elif [ -n "$window" ] && settle "$window"; then
      [ -e "$shot" ] || import -window root "$shot" 2>/dev/null
      echo "$keys" >>"$count"
      xdotool windowfocus --sync "$window" 2>/dev/null
      for key in $keys; do xdotool key "$key" 2>/dev/null; sleep 0.2; done
      keys=Return
      gone "$window" "$title"
    fi
    sleep 0.1
  done
}

# The browsers pass their environment to the host they start, SOFTHSM2_CONF among it.
source "$here/scripts/softhsm-token.sh"
subject="/C=UA/serialNumber=PNOUA-3456789012/organizationIdentifier=NTRUA-12345678/O=ТОВ «Петров & партнери»"
for i in $(seq 14); do subject+="/OU=Департамент цифрового розвитку та інформаційних технологій № $i"; done
subject+="/CN=Петренко Олександра ‮лапан‬ Володимирівна"
# A label users and vendors set may start with "-": the picker's rows never become options.
softhsm_token "$work/token" -browser "rsa=$subject" ec
[ "$(wc -c <"$work/token/rsa.der")" -gt 2400 ] || fail "the RSA certificate's names are not long"
rsa=$(thumbprint "$work/token" rsa)
ec=$(thumbprint "$work/token" ec)
# The token of the login runs: one certificate for logging in.
token_conf=$SOFTHSM2_CONF
SOFTHSM_CERT_EXTENSIONS="keyUsage=critical,digitalSignature;extendedKeyUsage=clientAuth" \
  softhsm_token "$work/login" login p384
login_conf=$SOFTHSM2_CONF
export SOFTHSM2_CONF=$token_conf
# The picker lists the certificates in the order the token gives them.
ec_row=$(echo '{"cmd":"list_certs"}' | "$agent" | python3 -c 'import json, sys
print([c["thumbprint"] for c in json.load(sys.stdin)["certs"]].index(sys.argv[1]))' "$ec") ||
  fail "the EC certificate is not listed"

# --doctor on the modules p11-kit registers (SoftHSM2 and OpenSC): before the host is
# registered it fails and says how to register; after, no check fails.
"$agent" --doctor >"$work/doctor.log" && fail "--doctor passed before the host was registered: $(cat "$work/doctor.log")"
grep -q '^FAIL browser registration: p11agent is not registered for any browser: run p11agent --register-host' \
  "$work/doctor.log" || fail "--doctor did not say how to register: $(cat "$work/doctor.log")"
grep -q "^ok   module .*libsofthsm2.so: loads; .*'-browser' (2 certificates)" "$work/doctor.log" ||
  fail "--doctor did not find the token: $(cat "$work/doctor.log")"
"$agent" --register-host --chrome-extension "$chrome_id" --firefox-extension "$firefox_id" >"$work/register.log" ||
  fail "--register-host: $(cat "$work/register.log")"
"$agent" --doctor --json >"$work/doctor.json" || fail "--doctor failed after registering: $(cat "$work/doctor.json")"

# Serves the page and runs the browser's command until the page reports (90 s at the
# most). The page signs, or (expect HOST_MISSING, ORIGIN_NOT_ALLOWED, PIN_PROMPT_REQUIRED)
# fails with that code; ORIGIN_NOT_ALLOWED asks from a sandboxed frame of the page. With
# PIN=none the page sends no PIN: the PIN is typed into the agent's prompt.
run_page() {
  local expect=$1 browser=$2
  shift 2
  local frame="" pin="&pin=1234"
  [ "$expect" = ORIGIN_NOT_ALLOWED ] && frame="&frame=sandboxed"
  if [ "$expect" = confirms ]; then
    frame="&confirm=1"
    rm -f "$work/confirmed"
    answer_confirmations "$work/confirmed" "$shots/confirm-linux-$browser.png" &
    confirmer_pid=$!
  fi
  [ "$expect" = logs_in ] && frame="&login=1"
  if [ "$expect" = chooses ]; then
    frame="&choose=1"
    rm -f "$work/picked"
    pick_rows "$ec_row" "$work/picked" "$shots/picker-linux-$browser.png" &
    picker_pid=$!
  fi
  if [ "${PIN:-}" = none ]; then
    pin=""
    rm -f "$work/typed"
    type_pins "$work/typed" "$shots/prompt-linux-$browser.png" &
    typist_pid=$!
  fi
  # The port file goes before the server starts: the one the last page's server wrote
  # would otherwise be read before this server's shell empties it, and the browser sent
  # to a port nothing listens on.
  rm -f "$work/report.json" "$work/port"
  python3 "$here/tests/browser/server.py" "$work/report.json" "$here/tests/browser/page.html" \
    "$here/examples/browser/page/p11agent.js" >"$work/port" 2>"$work/server-$browser.log" &
  server_pid=$!
  for _ in $(seq 300); do grep -qx '[0-9][0-9]*' "$work/port" 2>/dev/null && break; sleep 0.1; done
  grep -qx '[0-9][0-9]*' "$work/port" || fail "$browser: the page server did not start: $(cat "$work/server-$browser.log")"
  local url="http://127.0.0.1:$(cat "$work/port")/page.html?rsa=$rsa&ec=$ec$pin$frame"
  "$@" "$url" </dev/null >"$work/$browser.log" 2>&1 &
  local browser_pid=$!
  for _ in $(seq 900); do [ -s "$work/report.json" ] && break; sleep 0.1; done
  kill "$browser_pid" 2>/dev/null
  wait "$browser_pid" 2>/dev/null
  stop_helpers
  [ -s "$work/report.json" ] ||
    fail "$browser: the page did not report; $(tail -n 5 "$work/$browser.log"); page server: $(tail -n 5 "$work/server-$browser.log")"
  # A page that a freshly started browser loaded before it had put the extension's script
  # in never reached the agent: the browser's start, not what is tested; loaded once more.
  if grep -q '"error":"EXTENSION_MISSING: ' "$work/report.json" && [ -z "${RELOADED:-}" ]; then
    RELOADED=1 run_page "$expect" "$browser" "$@"
    return
  fi
  if [ "$expect" = chooses ]; then
    check_choice "$browser" "${LISTING:-default}"
    return
  fi
  if [ "$expect" = confirms ]; then
    check_confirmations "$browser"
    return
  fi
  if [ "$expect" = logs_in ]; then
    check_login "$browser"
    return
  fi
  if [ "$expect" != signs ]; then
    grep -q "\"error\":\"$expect: " "$work/report.json" || fail "$browser: not $expect: $(cat "$work/report.json")"
    return
  fi
  python3 "$here/tests/browser/check_report.py" "$work/report.json" "$work/token" "$rsa" "$ec" "$browser" || fail "$browser"
  # Signed without a PIN in the page: through the prompt, typed into.
  if [ "${PIN:-}" = none ] && [ ! -s "$work/typed" ]; then fail "$browser: no PIN prompt came up"; fi
  if [ "${PIN:-}" = none ]; then
    grep -q "^SETDESC .*${CERTIFICATE_WORD:-Certificate}: CN=Петренко Олександра <U+202E>лапан<U+202C> Володимирівна, O=" \
      "$work/pinentry.log" ||
      fail "$browser: the prompt did not name the certificate with its override shown: $(grep '^SETDESC' "$work/pinentry.log")"
    local -a told
    IFS='|' read -ra told <<<"${PINENTRY_TOLD:-}"  # lines, each after a "|"
    for said in "${told[@]}"; do
      grep -qx "$said" "$work/pinentry.log" || fail "$browser: pinentry was not told $said: $(cat "$work/pinentry.log")"
    done
    LC_ALL=C awk 'length($0) >= 1000 { exit 1 }' "$work/pinentry.log" || fail "$browser: a line to pinentry passed 1000 bytes"
    : >"$work/pinentry.log"
  fi
  openssl x509 -in "$work/token/rsa.pem" -pubkey -noout >"$work/rsa.pub"
  openssl x509 -in "$work/token/ec.pem" -pubkey -noout >"$work/ec.pub"
  for check in "rsa sha256" "rsa384 sha384" "ec sha256"; do
    set -- $check
    openssl dgst "-$2" -verify "$work/${1%384}.pub" -signature "$work/token/$1.sig" "$work/token/data" >/dev/null ||
      fail "$browser: the $1 signature does not verify"
  done
  # The named algorithms: PSS with MGF1 of the same hash and a salt as long, the agent's
  # DigestInfo, DER ECDSA.
  for check in "pss256 sha256 rsa 32" "pss384 sha384 rsa 48" "pkcs1 sha256 rsa" "ecder sha256 ec"; do
    set -- $check
    pss=()
    [ -n "${4:-}" ] && pss=(-sigopt rsa_padding_mode:pss -sigopt "rsa_pss_saltlen:$4")
    openssl dgst "-$2" "${pss[@]}" -verify "$work/$3.pub" -signature "$work/token/$1.sig" "$work/token/data" >/dev/null ||
      fail "$browser: the $1 signature does not verify"
  done
}

# The page's raw ECDSA signature (r, then s) in the report's member MEMBER, checked by
# OpenSSL against the EC certificate's key over the page's data.
ec_signature_verifies() {
  python3 - "$work/report.json" "$1" "$work/token/$1.sig" <<'DER' || return 1
import base64, json, pathlib, sys
raw = base64.b64decode(json.loads(pathlib.Path(sys.argv[1]).read_text())[sys.argv[2]])
def der_integer(value):
    value = value.lstrip(b"\0") or b"\0"
    if value[0] & 0x80:
        value = b"\0" + value
    return b"\x02" + bytes([len(value)]) + value
body = der_integer(raw[:len(raw) // 2]) + der_integer(raw[len(raw) // 2:])
pathlib.Path(sys.argv[3]).write_bytes(b"\x30" + bytes([len(body)]) + body)
DER
  printf 'signed by a web page through p11agent' >"$work/token/data"
  openssl x509 -in "$work/token/ec.pem" -pubkey -noout >"$work/ec.pub"
  openssl dgst -sha256 -verify "$work/ec.pub" -signature "$work/token/$1.sig" "$work/token/data" >/dev/null
}

# The page got the EC certificate the user picked, and no other; its signature verifies;
# the picker was given the names as the prompt shows them, among the rows it reads.
# LISTING: "default" (the page lists nothing before the choice and the chosen certificate
# alone after it) or "required" (the deployer requires the picker: listing is refused).
check_choice() {
  local browser=$1 listing=$2
  [ -s "$work/picked" ] || fail "$browser: no certificate picker came up"
  python3 - "$work/report.json" "$ec" "$work/token" "$browser" "$listing" <<'CHECK' || fail "$browser: the choice"
import base64, json, pathlib, sys
report, ec, folder, browser = json.loads(pathlib.Path(sys.argv[1]).read_text()), sys.argv[2], pathlib.Path(sys.argv[3]), sys.argv[4]
listing = sys.argv[5]
if "error" in report:
    sys.exit(f"{browser}: the page failed: {report['error']}")
chosen = report["chosen"]
if chosen["thumbprint"] != ec or chosen["key_type"] != "EC" or chosen["curve"] != "P-256":
    sys.exit(f"{browser}: chose {chosen}")
if base64.b64decode(chosen["der_b64"]) != (folder / "ec.der").read_bytes():
    sys.exit(f"{browser}: the chosen certificate is not the EC one")
expected = ("CERT_CHOICE_REQUIRED", "CERT_CHOICE_REQUIRED") if listing == "required" else ([], [ec])
if (report["listedBefore"], report["listed"]) != expected:
    sys.exit(f"{browser}: listing before and after the choice answered {report['listedBefore']}, {report['listed']}")
CHECK
  ec_signature_verifies signatureB64 || fail "$browser: the signature with the chosen certificate does not verify"
  awk '$0 == "ROWS" { rows = 1 } rows && /^CN=Петренко Олександра <U\+202E>лапан<U\+202C>/ { found = 1 } END { exit !found }' \
    "$work/picker.log" || fail "$browser: the picker was not given the RSA holder's name, override escaped, among its rows"
  : >"$work/picker.log"
}

# The page signed three times: with the PIN typed into the prompt, confirmed with Sign (the
# signature verifies), declined by a Return pressed as the confirmation appeared
# (SIGNATURE_DECLINED); the prompt and both confirmations showed the page's words as the
# site's, and pinentry was asked to CONFIRM with a Sign button.
check_confirmations() {
  local browser=$1
  [ "$(cat "$work/confirmed" 2>/dev/null | tr '\n' ' ')" = "Tab Return Return " ] ||
    fail "$browser: the confirmations answered were: $(cat "$work/confirmed" 2>/dev/null)"
  python3 - "$work/report.json" "$browser" <<'CHECK' || fail "$browser: the confirmed signatures"
import json, pathlib, sys
report, browser = json.loads(pathlib.Path(sys.argv[1]).read_text()), sys.argv[2]
if "error" in report:
    sys.exit(f"{browser}: the page failed: {report['error']}")
if report["declined"] != "SIGNATURE_DECLINED":
    sys.exit(f"{browser}: the cancelled confirmation answered {report['declined']}")
CHECK
  ec_signature_verifies confirmedB64 || fail "$browser: the confirmed signature does not verify"
  [ "$(grep -c '^CONFIRM$' "$work/pinentry.log")" = 2 ] && grep -qx 'SETOK Sign' "$work/pinentry.log" ||
    fail "$browser: pinentry was not asked to confirm with Sign twice: $(cat "$work/pinentry.log")"
  [ "$(grep -c '^SETDESC .*The site describes this signature as: "Contract 42 for Example Ltd"' "$work/pinentry.log")" = 3 ] ||
    fail "$browser: the page's words were not shown as the site's: $(grep '^SETDESC' "$work/pinentry.log")"
  : >"$work/pinentry.log"
}

# The page logged in: the PIN typed into a prompt worded for logging in, the page's own PIN
# refused, and the token accepted by the example server's checker for the page's origin and
# nonce, and refused with another nonce or a trailing slash on the origin.
check_login() {
  local browser=$1
  [ -s "$work/typed" ] || fail "$browser: no PIN prompt came up for the login"
  grep -q '^SETDESC http://127.0.0.1:[0-9]* asks you to log in with your certificate\.' "$work/pinentry.log" ||
    fail "$browser: the prompt did not say the site asks to log in: $(grep '^SETDESC' "$work/pinentry.log")"
  node --input-type=module - "$work/report.json" "$here/examples/login-server/web-login-check.mjs" <<'CHECK' ||
import { readFileSync } from "node:fs";
const [reportFile, checker] = process.argv.slice(2);
const { checkAuthToken } = await import(checker);
const { origin, nonce, token, pinFromPage, error } = JSON.parse(readFileSync(reportFile, "utf8"));
if (error) throw new Error(`the page failed: ${error}`);
if (pinFromPage !== "invalid request: a site may not send the PIN to log in") throw new Error(`a page's PIN: ${pinFromPage}`);
const verdict = (changes) => checkAuthToken(token, { origin, nonce, ...changes });
if (!verdict({}).ok) throw new Error(`the checker refused the token: ${verdict({}).reason}`);
if (verdict({ nonce: nonce.replace(/^./, (c) => (c === "A" ? "B" : "A")) }).ok) throw new Error("taken with another nonce");
if (verdict({ origin: `${origin}/` }).ok) throw new Error("taken with a trailing slash on the origin");
console.log(`${token.algorithm} token for ${origin}: accepted by the example server's checker`);
CHECK
    fail "$browser: the login"
  : >"$work/pinentry.log"
}

# Chromium reads per-user hosts from <user-data-dir>/NativeMessagingHosts: the profile is
# the per-user folder that --register-host wrote.
chromium=(chromium --headless=new --no-sandbox --disable-gpu --disable-quic --no-first-run \
  --disable-background-networking --disable-component-update --disable-sync \
  --user-data-dir="$HOME/.config/chromium" --load-extension="$extension" --disable-extensions-except="$extension")
# deployer SETTING COMMAND...: runs the command with the deployer's /etc/p11agent/SETTING
# present, over an overlay of /etc: the machine's own /etc stays as it is.
deployer() {
  exec "$here/scripts/with-deployer-setting.sh" "$@"
}
# A page that lists and signs with the thumbprints it was given, as pages did before sites
# learned only what their users chose: the deployer allows listing.
# The page signs some sixty times in a row: as a portal that signs in batches would, with the
# deployer's choice of no confirmation for signatures on a login held already.
batch=allow-cert-listing,signature-consent=none
run_page signs chromium deployer "$batch" "${chromium[@]}"
PIN=none run_page signs chromium deployer "$batch" "${chromium[@]}"
# For a German-speaking user the whole prompt is German (photographed as
# prompt-linux-chromium-de.png), pinentry's own texts too; the page's answers are the same.
LANG=de_DE.UTF-8 CERTIFICATE_WORD=Zertifikat PINENTRY_TOLD="OPTION lc-messages=de_DE.UTF-8|SETCANCEL Abbrechen" \
  PIN=none run_page signs chromium-de deployer "$batch" "${chromium[@]}"
# By default each signature on a held login is confirmed by the user (photographed as
# confirm-linux-chromium.png).
PIN=none run_page confirms chromium deployer allow-cert-listing "${chromium[@]}"
run_page PIN_PROMPT_REQUIRED chromium deployer require-pin-prompt "${chromium[@]}"
# By default the page learns nothing until its user chooses, and then the chosen one alone.
PIN=none run_page chooses chromium "${chromium[@]}"
PIN=none LISTING=required run_page chooses chromium deployer require-cert-choice "${chromium[@]}"
# A frame the extension does not serve is refused before anything reaches the host (the
# host would have answered with the certificates).
run_page ORIGIN_NOT_ALLOWED chromium "${chromium[@]}"
SOFTHSM2_CONF=$login_conf PIN=none run_page logs_in chromium-login "${chromium[@]}"

# Firefox ESR takes an unsigned extension dropped into the profile once signatures are off.
# Each run starts from a copy of this profile and installs the extension anew: Firefox
# grants the extension its sites (its content scripts' matches) when it installs it, but
# stores the grant only a while later, and a Firefox ended before that starts the next time
# with the extension installed and no site granted (no page gets its script).
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
firefox=(bash -c 'rm -rf "$0.run" && cp -r "$0" "$0.run" && exec firefox-esr --headless --no-remote --profile "$0.run" "$@"'
  "$profile")
run_page signs firefox deployer "$batch" "${firefox[@]}"
PIN=none run_page signs firefox deployer "$batch" "${firefox[@]}"
PIN=none run_page chooses firefox "${firefox[@]}"
PIN=none LISTING=required run_page chooses firefox deployer require-cert-choice "${firefox[@]}"
run_page ORIGIN_NOT_ALLOWED firefox "${firefox[@]}"
SOFTHSM2_CONF=$login_conf PIN=none run_page logs_in firefox-login "${firefox[@]}"

"$agent" --unregister-host >"$work/unregister.log" || fail "--unregister-host: $(cat "$work/unregister.log")"
left=$(find "$HOME" -name 'p11agent*.json')
[ -z "$left" ] || fail "left after --unregister-host: $left"
# Without the host, the page is told so.
run_page HOST_MISSING chromium "${chromium[@]}"
run_page HOST_MISSING firefox "${firefox[@]}"
kill "$screen_pid" 2>/dev/null
rm -rf "$work"
echo "browsers: Done"
