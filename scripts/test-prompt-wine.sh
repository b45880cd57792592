#!/usr/bin/env bash
# The Windows build's own PIN dialog, under Wine on an Xvfb screen, driven as a user would
# with xdotool, for a certificate with a long name (subject and issuer past 2 kB, Cyrillic,
# an '&' and a right-to-left override): while another window has the keyboard, the dialog
# asks to be clicked and its field takes no keys; then a wrong PIN, then (on the dialog
# shown again with the error) the right one, and the agent signs; Escape cancels. The
# dialog is photographed in each state (prompt-windows.png, prompt-windows-inactive.png,
# prompt-windows-wrong-pin.png with the test logs in $P11AGENT_TEST_LOGS) for a person to
# look at. In serve, the dialog closes by itself when its token is pulled. Then the
# certificate picker, with that certificate, an expired one (greyed, and Choose does nothing
# for it) and another, picked with the keyboard (picker-windows.png,
# picker-windows-expired.png). Both again in German (picker-windows-de.png,
# prompt-windows-de.png). Where the deployer asks serve for consent to each signature, the
# confirmation dialog signs after Sign and declines after Escape (confirm-windows.png,
# confirm-windows-de.png); a site's login asks the PIN, then confirms the next login in a
# dialog worded for logging in, whatever the deployer's setting (login-windows.png,
# login-windows-de.png).
# usage: test-prompt-wine.sh BUILD (the Windows build folder). Prints "prompt windows: Done"
# or "prompt windows: FAILED (<what>)".
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "$1" && pwd)
work=$(mktemp -d)
shots=${P11AGENT_TEST_LOGS:-$work}
screen_pid=""
agent_pid=""

finish() {
  [ -n "$agent_pid" ] && kill "$agent_pid" 2>/dev/null
  [ -n "$screen_pid" ] && kill "$screen_pid" 2>/dev/null
  rm -rf "$work"
}
# However the script ends (an unset variable aborts it too), nothing it started is left.
trap finish EXIT
fail() {
  echo "prompt windows: FAILED ($1)"
  finish
  exit 1
}

source "$here/scripts/screen.sh"
start_screen "$work" || fail "Xvfb did not start"
"$here/scripts/wine-prefix.sh" start || fail "no Wine prefix"

# The fake module signs with a certificate made here; its scenario and call log are in
# the work folder, which Wine reaches as Z:.
mkdir -p "$work/fake"
# A qualified certificate's name as they come (self-signed: the issuer is as long).
subject="/C=UA/serialNumber=PNOUA-3456789012/organizationIdentifier=NTRUA-12345678"
subject+="/O=ТОВ «Петров & партнери»"
for i in $(seq 14); do subject+="/OU=Департамент цифрового розвитку та інформаційних технологій № $i"; done
subject+="/street=вулиця Хрещатик, 22/CN=Петренко Олександра ‮лапан‬ Володимирівна"
openssl req -x509 -utf8 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$work/key.pem" \
  -out "$work/cert.pem" -subj "$subject" -days 2 2>/dev/null || fail "no certificate"
size=$(openssl x509 -in "$work/cert.pem" -outform DER | wc -c)
[ "$size" -gt 2400 ] || fail "the certificate's names are not long ($size bytes)"
der=$(openssl x509 -in "$work/cert.pem" -outform DER | od -An -v -tx1 | tr -d ' \n')
print=$(openssl x509 -in "$work/cert.pem" -outform DER | sha1sum | cut -d' ' -f1)
cat >"$work/fake/fake_pkcs11.dll.json" <<JSON
{"slots": [{"id": 1, "token": {"label": "Signing card", "serial": "42", "pin": "1234", "flags": 0,
  "objects": [{"class": "certificate", "value_hex": "$der", "id_hex": "01"},
              {"class": "private_key", "key_type": 3, "id_hex": "01"}]}}]}
JSON
export P11FAKE_DIR="Z:${work//\//\\}\\fake"
module="Z:${build//\//\\\\}\\\\fake_pkcs11.dll"
sign_request="{\"cmd\":\"sign\",\"module\":\"$module\",\"thumbprint\":\"$print\",\"hash_hex\":\"$(printf '%064d' 0)\",\"pin_prompt\":true}"
request=$sign_request

# The window whose name matches the pattern, once it is up (60 s at the most); "" if it
# never is.
window_named() {
  local window
  for _ in $(seq 600); do
    window=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1)
    if [ -n "$window" ]; then
      sleep 0.5  # drawn and taking keys
      echo "$window"
      return
    fi
    sleep 0.1
  done
}
dialog_window() { window_named '^p11agent: PIN$'; }

# Starts the one-shot agent with the request; its answer goes to FILE.
start_agent() {
  echo "$request" | "$here/scripts/wine-run.sh" "$build/p11agent.exe" >"$1" 2>/dev/null &
  agent_pid=$!
}

# Waits for the agent (60 s at the most) and prints its answer.
agent_answer() {
  for _ in $(seq 600); do kill -0 "$agent_pid" 2>/dev/null || break; sleep 0.1; done
  kill "$agent_pid" 2>/dev/null
  wait "$agent_pid" 2>/dev/null
  agent_pid=""
  cat "$1"
}

# Without a window manager, the window is given the keyboard's focus directly.
focus() { xdotool windowfocus --sync "$1" 2>/dev/null; }

type_into() {
  focus "$1"
  xdotool type --delay 50 "$2"
  xdotool key --delay 50 Return
}

start_agent "$work/signed"
window=$(dialog_window)
[ -n "$window" ] || fail "no dialog came up: $(agent_answer "$work/signed")"
import -window root "$shots/prompt-windows.png" 2>/dev/null
# Another window takes the keyboard, as when Windows refuses the dialog the foreground: the
# dialog says so, and what is typed meanwhile does not reach its field.
"$here/scripts/wine-run.sh" notepad >/dev/null 2>&1 &
notepad_pid=$!
other=$(window_named Notepad)
[ -n "$other" ] || fail "no other window to take the keyboard"
# Out of the dialog's way once it is drawn.
sleep 1
xdotool windowsize --sync "$other" 300 150 windowmove --sync "$other" 0 0
focus "$other"
sleep 1
xdotool type --delay 50 99
import -window root "$shots/prompt-windows-inactive.png" 2>/dev/null
# The user clicks where the dialog asks to, and types (without a window manager, the
# keyboard's focus follows by hand).
xdotool mousemove --window "$window" 60 232 click 1
sleep 1
type_into "$window" 0000
kill "$notepad_pid" 2>/dev/null
# Once the token has refused it, the dialog is shown again, saying the PIN was wrong.
for _ in $(seq 300); do grep -q '^C_Login ' "$work/fake/fake_pkcs11.dll.log" 2>/dev/null && break; sleep 0.1; done
sleep 1
window=$(dialog_window)
[ -n "$window" ] || fail "no dialog after a wrong PIN: $(agent_answer "$work/signed")"
import -window root "$shots/prompt-windows-wrong-pin.png" 2>/dev/null
type_into "$window" 1234
answer=$(agent_answer "$work/signed")
case "$answer" in
  *'"ok":true'*'"signature_hex":'*) ;;
  *) fail "the agent did not sign: $answer" ;;
esac
logins=$(grep -c '^C_Login ' "$work/fake/fake_pkcs11.dll.log")
[ "$logins" = 2 ] || fail "$logins logins, not a wrong one and the right one"
grep -m1 '^C_Login ' "$work/fake/fake_pkcs11.dll.log" | grep -q 'pin_length=4$' ||
  fail "keys typed into another window reached the PIN: $(grep -m1 '^C_Login ' "$work/fake/fake_pkcs11.dll.log")"
# The certificate the prompt named is not searched for again after the login.
searches=$(grep -c '^C_FindObjectsInit ' "$work/fake/fake_pkcs11.dll.log")
[ "$searches" = 2 ] || fail "$searches object searches, not one for the certificate and one for its key"

: >"$work/fake/fake_pkcs11.dll.log"
start_agent "$work/cancelled"
window=$(dialog_window)
[ -n "$window" ] || fail "no dialog came up to cancel"
focus "$window"
xdotool key --delay 50 Escape
answer=$(agent_answer "$work/cancelled")
[ "$answer" = '{"error":"PIN_PROMPT_CANCELLED: the PIN prompt was cancelled","ok":false}' ] ||
  fail "Escape did not cancel: $answer"
grep -q '^C_Login ' "$work/fake/fake_pkcs11.dll.log" && fail "a cancelled prompt logged in"

# serve, with the dialog open for a token that is then pulled: the dialog closes by itself
# and the request is answered so. The module is at a known path, as a vendor's is.
known="${WINEPREFIX:-$build/wineprefix}/drive_c/windows/system32/HYP2003csp11IND.dll"
cp "$build/fake_pkcs11.dll" "$known"
cp "$work/fake/fake_pkcs11.dll.json" "$work/fake/HYP2003csp11IND.dll.json"
mkfifo "$work/requests"
"$here/scripts/wine-run.sh" "$build/p11agent.exe" serve <"$work/requests" >"$work/served" 2>/dev/null &
agent_pid=$!
exec 3>"$work/requests"
echo "{\"cmd\":\"validate\",\"thumbprint\":\"$print\",\"pin_prompt\":true}" >&3
window=$(dialog_window)
[ -n "$window" ] || { rm -f "$known"; fail "no dialog came up in serve: $(cat "$work/served")"; }
echo '{"slots": [{"id": 1}]}' >"$work/fake/HYP2003csp11IND.dll.json"
for _ in $(seq 300); do [ -s "$work/served" ] && break; sleep 0.1; done
exec 3>&-
answer=$(agent_answer "$work/served")
rm -f "$known"
[ "$answer" = '{"error":"TOKEN_REMOVED: the token was removed while the PIN was asked for","ok":false}' ] ||
  fail "a pulled token did not close its prompt: $answer"
[ -z "$(xdotool search --onlyvisible --name '^p11agent: PIN$' 2>/dev/null)" ] || fail "the dialog stayed up"

# Consent for each signature, where the deployer asks serve for it: the PIN dialog is the
# login's consent, and each signature after it waits for the confirmation dialog, whose Sign
# is not the default until the dialog has been up half a second (photographed:
# confirm-windows.png, and in German confirm-windows-de.png); Escape declines, and nothing
# reaches the token for it.
"$here/scripts/wine-run.sh" reg add 'HKLM\Software\p11agent' /v SignatureConsent /t REG_SZ /d each /f >/dev/null 2>&1 ||
  fail "the deployer's setting could not be written"
confirmed_sign="{\"cmd\":\"sign\",\"thumbprint\":\"$print\",\"hash_hex\":\"$(printf '%064d' 0)\",\"pin_prompt\":true,\"description\":\"Contract 42 for Example Ltd\"}"
first_request="{\"cmd\":\"validate\",\"thumbprint\":\"$print\",\"pin_prompt\":true}"
second_request=$confirmed_sign
confirmation_title='^p11agent: [Ss]ignatur'
# The PIN dialog for $first_request, then the confirmation of $second_request, titled
# $confirmation_title.
confirm_in() {  # language, photograph, keys for the confirmation, the answers expected
  cp "$build/fake_pkcs11.dll" "$known"
  cp "$work/fake/fake_pkcs11.dll.json" "$work/fake/HYP2003csp11IND.dll.json"
  : >"$work/fake/HYP2003csp11IND.dll.log"
  rm -f "$work/requests" "$work/served"
  mkfifo "$work/requests"
  LANG=$1 "$here/scripts/wine-run.sh" "$build/p11agent.exe" serve <"$work/requests" >"$work/served" 2>/dev/null &
  agent_pid=$!
  exec 3>"$work/requests"
  echo "$first_request" >&3
  window=$(dialog_window)
  [ -n "$window" ] || { rm -f "$known"; fail "no PIN dialog came up before the confirmation: $(cat "$work/served")"; }
  type_into "$window" 1234
  echo "$second_request" >&3
  window=$(window_named "$confirmation_title")
  [ -n "$window" ] || { rm -f "$known"; fail "no confirmation came up: $(cat "$work/served")"; }
  sleep 1
  import -window root "$shots/$2" 2>/dev/null
  # It opens with its first line (who asks) in view, nothing selected, and Cancel focused.
  seen=$("$here/scripts/wine-run.sh" "$build/p11agent_dialog_probe.exe" 'p11agent: ' 2>/dev/null | tr -d '\r')
  [ "$seen" = "first line 0, focus Button" ] || { rm -f "$known"; fail "in $1 the confirmation opened as: $seen"; }
  focus "$window"
  xdotool key --delay 200 $3
  for _ in $(seq 300); do [ "$(wc -l <"$work/served")" -ge 2 ] && break; sleep 0.1; done
  exec 3>&-
  answer=$(agent_answer "$work/served" | tail -n 1)
  rm -f "$known"
  case "$answer" in
    $4) ;;
    *) fail "in $1 the confirmation answered $answer" ;;
  esac
}
confirm_in en_US.UTF-8 confirm-windows.png Return '*"ok":true*"signature_hex":*'
grep -q '^C_Sign ' "$work/fake/HYP2003csp11IND.dll.log" || fail "the confirmed signature was not made"
confirm_in de_DE.UTF-8 confirm-windows-de.png Escape \
  '{"error":"SIGNATURE_DECLINED: the user declined the signature","ok":false}'
! grep -q '^C_Sign' "$work/fake/HYP2003csp11IND.dll.log" || fail "a declined signature reached the token"
# Logging in to a site: its PIN dialog, then for the next login a confirmation worded for
# logging in (login-windows.png, login-windows-de.png), whatever the deployer's setting.
first_request="{\"cmd\":\"authenticate\",\"origin\":\"https://portal.example\",\"challenge_nonce\":\"$(printf 'A%.0s' $(seq 44))\"}"
second_request=$first_request
confirmation_title='^p11agent: (log in|Anmelden)$'
"$here/scripts/wine-run.sh" reg add 'HKLM\Software\p11agent' /v SignatureConsent /t REG_SZ /d none /f >/dev/null 2>&1
confirm_in en_US.UTF-8 login-windows.png Return '*"auth_token":{"algorithm":"ES256"*"format":"web-eid:1.0"*'
confirm_in de_DE.UTF-8 login-windows-de.png Escape \
  '{"error":"SIGNATURE_DECLINED: the user declined the signature","ok":false}'
"$here/scripts/wine-run.sh" reg delete 'HKLM\Software\p11agent' /v SignatureConsent /f >/dev/null 2>&1

# The picker: the long-named certificate, an expired one and another, each with its key.
/usr/bin/python3 - "$work" <<'MAKE' || fail "no certificates for the picker"
import datetime, pathlib, sys
from cryptography import x509
from cryptography.hazmat.primitives import hashes, serialization
from cryptography.hazmat.primitives.asymmetric import ec
from cryptography.x509.oid import NameOID
work = pathlib.Path(sys.argv[1])
def make(name, start, end):
    key = ec.generate_private_key(ec.SECP256R1())
    subject = x509.Name([x509.NameAttribute(NameOID.COMMON_NAME, name)])
    cert = (x509.CertificateBuilder().subject_name(subject).issuer_name(subject).public_key(key.public_key())
            .serial_number(x509.random_serial_number()).not_valid_before(start).not_valid_after(end).sign(key, hashes.SHA256()))
    return cert.public_bytes(serialization.Encoding.DER)
today = datetime.datetime.now(datetime.timezone.utc)
(work / "expired.der").write_bytes(make("Old Certificate", datetime.datetime(2019, 1, 1), datetime.datetime(2021, 1, 1)))
(work / "other.der").write_bytes(make("Olena Koval", today - datetime.timedelta(days=1), today + datetime.timedelta(days=365)))
MAKE
hex_of() { od -An -v -tx1 "$1" | tr -d ' \n'; }
other=$(sha1sum "$work/other.der" | cut -d' ' -f1)
cat >"$work/fake/fake_pkcs11.dll.json" <<JSON
{"slots": [{"id": 1, "token": {"label": "Signing card", "serial": "42", "pin": "1234", "flags": 0,
  "objects": [{"class": "certificate", "value_hex": "$der", "id_hex": "01"},
              {"class": "private_key", "key_type": 3, "id_hex": "01"},
              {"class": "certificate", "value_hex": "$(hex_of "$work/expired.der")", "id_hex": "02"},
              {"class": "private_key", "key_type": 3, "id_hex": "02"},
              {"class": "certificate", "value_hex": "$(hex_of "$work/other.der")", "id_hex": "03"},
              {"class": "private_key", "key_type": 3, "id_hex": "03"}]}}]}
JSON
request="{\"cmd\":\"choose_cert\",\"module\":\"$module\"}"
start_agent "$work/chosen"
window=$(window_named '^p11agent: choose a certificate$')
[ -n "$window" ] || fail "no picker came up: $(agent_answer "$work/chosen")"
sleep 1
focus "$window"
import -window root "$shots/picker-windows.png" 2>/dev/null
# To the expired certificate: Choose does nothing for it.
xdotool key --delay 200 Down
sleep 0.5
import -window root "$shots/picker-windows-expired.png" 2>/dev/null
xdotool key --delay 200 Return
sleep 1
kill -0 "$agent_pid" 2>/dev/null || fail "the expired certificate was chosen: $(agent_answer "$work/chosen")"
xdotool key --delay 200 Down Return
answer=$(agent_answer "$work/chosen")
case "$answer" in
  *'"thumbprint":"'"$other"'"'*) ;;
  *) fail "the picker did not answer the certificate picked: $answer" ;;
esac
case "$answer" in
  *'"subject":"CN=Olena Koval"'*'"token_label":"Signing card"'*) ;;
  *) fail "the chosen certificate's details are missing: $answer" ;;
esac

# In German, as a user whose Windows display language is German sees them (Wine takes it
# from the process's locale): the picker (its title says it is German) and the PIN dialog,
# photographed (picker-windows-de.png, prompt-windows-de.png), each cancelled with Escape
# and answered exactly as in English.
cancel_in_german() {  # title pattern, photograph, the answer expected
  LANG=de_DE.UTF-8 start_agent "$work/german"
  window=$(window_named "$1")
  [ -n "$window" ] || fail "no German window named $1: $(agent_answer "$work/german")"
  sleep 1
  import -window root "$shots/$2" 2>/dev/null
  focus "$window"
  xdotool key --delay 50 Escape
  answer=$(agent_answer "$work/german")
  [ "$answer" = "$3" ] || fail "in German, $1 answered $answer"
}
cancel_in_german '^p11agent: Zertifikat ausw' picker-windows-de.png \
  '{"error":"CERT_CHOICE_CANCELLED: the certificate choice was cancelled","ok":false}'
request=$sign_request
cancel_in_german '^p11agent: PIN$' prompt-windows-de.png \
  '{"error":"PIN_PROMPT_CANCELLED: the PIN prompt was cancelled","ok":false}'

finish
echo "prompt windows: Done"
