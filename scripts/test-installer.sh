#!/usr/bin/env bash
# The Windows installer under Wine, in the test run's prefix: it installs p11agent.exe and
# its manifests under Program Files; the installed agent answers --version and a framed
# ping; the per-user keys name the manifests; uninstalling removes files and keys.
# Prints "installer: Done" or "installer: FAILED (<what>)".
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
run="$here/scripts/wine-run.sh"
export WINEPREFIX="${WINEPREFIX:-$here/build/windows/wineprefix}"
msi=$(ls "$here"/build/windows/p11agent-*.msi 2>/dev/null | head -n 1)
folder="$WINEPREFIX/drive_c/Program Files/p11agent"
exe='C:\Program Files\p11agent\p11agent.exe'
keys=('HKCU\Software\Google\Chrome\NativeMessagingHosts\p11agent=p11agent-chrome.json'
      'HKCU\Software\Microsoft\Edge\NativeMessagingHosts\p11agent=p11agent-chrome.json'
      'HKCU\Software\Mozilla\NativeMessagingHosts\p11agent=p11agent-firefox.json')

fail() {
  echo "installer: FAILED ($1)"
  "$here/scripts/wine-prefix.sh" stop
  exit 1
}

[ -n "$msi" ] || fail "no MSI was built"
"$here/scripts/wine-prefix.sh" start

# --register-host for this user and for every user, seen as the browsers see it.
copy="$WINEPREFIX/drive_c/p11reg"
mkdir -p "$copy" && cp "$here/build/windows/p11agent.exe" "$copy/"
chrome_id=mocfelaojeifljllokijgedhmchkecgh
for scope in HKCU HKLM; do
  option=()
  manifests='C:\users\'"$(whoami)"'\AppData\Local\p11agent'
  if [ "$scope" = HKLM ]; then option=(--system); manifests='C:\p11reg'; fi
  "$run" 'C:\p11reg\p11agent.exe' --register-host "${option[@]}" --chrome-extension "$chrome_id" \
    --firefox-extension a@b.org >/dev/null || fail "--register-host ${option[*]}"
  for key in 'Google\Chrome=chrome' 'Chromium=chrome' 'Microsoft\Edge=chrome' 'Mozilla=firefox'; do
    "$run" reg query "$scope\Software\\${key%%=*}\NativeMessagingHosts\p11agent" /ve 2>/dev/null |
      grep -qF "$manifests\p11agent-${key#*=}.json" || fail "--register-host: $scope key of ${key%%=*}"
  done
  "$run" 'C:\p11reg\p11agent.exe' --unregister-host "${option[@]}" >/dev/null || fail "--unregister-host ${option[*]}"
  ! "$run" reg query "$scope\Software\Mozilla\NativeMessagingHosts\p11agent" /ve >/dev/null 2>&1 ||
    fail "--unregister-host left the $scope key"
done
[ "$(ls "$copy")" = p11agent.exe ] || fail "--unregister-host --system left $(ls "$copy")"
rm -rf "$copy"
windows_msi="Z:$(echo "$msi" | tr / '\\')"
"$run" msiexec /i "$windows_msi" /qn || fail "msiexec /i"
for file in p11agent.exe p11agent-chrome.json p11agent-firefox.json; do
  [ -f "$folder/$file" ] || fail "$file not installed"
done
"$run" "$exe" --version | grep -q '^p11agent ' || fail "--version"
printf '\x0e\x00\x00\x00{"cmd":"ping"}' | "$run" "$exe" chrome-extension://knldjmfmopnpolahpmmgbagdohdnhkik/ --parent-window=0 |
  tail -c +5 | grep -q '"ok":true' || fail "framed ping"
for entry in "${keys[@]}"; do
  "$run" reg query "${entry%%=*}" /ve 2>/dev/null | grep -qF "C:\\Program Files\\p11agent\\${entry#*=}" ||
    fail "key ${entry%%=*}"
done
"$run" msiexec /x "$windows_msi" /qn || fail "msiexec /x"
[ ! -e "$folder/p11agent.exe" ] || fail "p11agent.exe left after uninstall"
for entry in "${keys[@]}"; do
  ! "$run" reg query "${entry%%=*}" /ve >/dev/null 2>&1 || fail "key ${entry%%=*} left after uninstall"
done
"$here/scripts/wine-prefix.sh" stop
echo "installer: Done"
