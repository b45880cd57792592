#!/usr/bin/env bash
# The Windows installer under Wine, in the test run's prefix, after --register-host in both
# scopes: installed as the machine with the extensions a deployment names, it puts the
# signed p11agent.exe, p11agent-host32.exe and manifests with those extensions under Program
# Files and the HKLM keys (no per-user one); the installed agent answers --version (naming
# its 32-bit host), a framed ping and, through that host, a 32-bit module's enumerate; the
# same version and a newer one each replace it (one product listed) and keep those
# extensions; uninstalling removes every file and key.
# Prints "installer: Done" or "installer: FAILED (<what>)".
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
run="$here/scripts/wine-run.sh"
export WINEPREFIX="${WINEPREFIX:-$here/build/windows/wineprefix}"
msi=$(ls "$here"/build/windows/p11agent-*.msi 2>/dev/null | head -n 1)
folder="$WINEPREFIX/drive_c/Program Files/p11agent"
exe='C:\Program Files\p11agent\p11agent.exe'
keys=('Software\Google\Chrome\NativeMessagingHosts\p11agent=p11agent-chrome.json'
      'Software\Chromium\NativeMessagingHosts\p11agent=p11agent-chrome.json'
      'Software\Microsoft\Edge\NativeMessagingHosts\p11agent=p11agent-chrome.json'
      'Software\Mozilla\NativeMessagingHosts\p11agent=p11agent-firefox.json')

fail() {
  echo "installer: FAILED ($1)"
  "$here/scripts/wine-prefix.sh" stop
  exit 1
}

[ -n "$msi" ] || fail "no MSI was built"
# Only an administrator's install or maintenance changes the allowed extensions: in any
# other run the kept ones stand and the agent is not asked to write them.
sequence=$(msiinfo export "$msi" InstallExecuteSequence)
grep -qP '^AllowGivenExtensions\tNOT REMOVE AND Privileged AND AdminUser AND ' <<<"$sequence" ||
  fail "the MSI lets a run that is not an administrator's write the allowed extensions"
for browser in Chrome Firefox; do
  grep -qP "^Keep${browser}Extensions\t.* OR NOT \(Privileged AND AdminUser\)\t" <<<"$sequence" ||
    fail "the MSI takes $browser extensions from a run that is not an administrator's"
done
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
# A rebuild of the installer (a new product code, the same version) and a newer build (the
# version raised), made from the build's installer source as the build makes it.
version=$(basename "$msi" .msi)
version=${version#p11agent-}
rebuild_msi() {
  local out="$here/build/windows/dist/$1"
  rm -rf "$out" && mkdir -p "$out"
  sed "s/\"$version\"/\"$2\"/g" "$here/build/windows/p11agent.wxs" >"$here/build/windows/$1.wxs"
  (cd "$here/build/windows" && wixl -a x64 -o "$out/p11agent.msi" "$1.wxs" && rm "$1.wxs" &&
    cmake -DMSI="$out/p11agent.msi" -DWORK="$out/tables" -P "$here/packaging/msi-upgrades.cmake") >/dev/null ||
    fail "building the $1 MSI"
}
rebuild_msi rebuilt "$version"
rebuild_msi newer "$version.1"
windows() { echo "Z:$(echo "$1" | tr / '\\')"; }
# msiexec, and then the wait until Wine's installer processes have ended (60 s at the most):
# the installer service may still be finishing when msiexec returns, and what the next
# step reads (keys, files, the next install) would otherwise be half done. Given again
# while an earlier install is still running (ERROR_INSTALL_ALREADY_RUNNING, 1618, which
# reaches the shell as 1618 & 255 = 82), at most ten times; any other status stands.
msiexec() {
  local status
  for _ in $(seq 10); do
    "$run" msiexec "$@" >/dev/null
    status=$?
    for _ in $(seq 600); do pgrep -f 'msiexec\.exe' >/dev/null || break; sleep 0.1; done
    [ "$status" -ne 82 ] && return "$status"
  done
  return "$status"
}
installed_products() { "$run" uninstaller --list 2>/dev/null | grep -c '|||p11agent'; }
verify_signature() {
  [ ! -f "$signing_cert" ] || osslsigncode verify -CAfile "$signing_cert" -in "$1" >/dev/null 2>&1 ||
    fail "signature of $(basename "$1")"
}
signing_cert="$here/build/windows/signing/cert.pem"
other_id=aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa

verify_signature "$msi"
# As the machine, with the extensions a deployment names.
msiexec /i "$(windows "$msi")" /qn CHROME_EXTENSIONS="$chrome_id,$other_id" FIREFOX_EXTENSIONS=a@b.org ||
  fail "msiexec /i"
for file in p11agent.exe p11agent-host.exe p11agent-host32.exe p11agent-chrome.json p11agent-firefox.json; do
  [ -f "$folder/$file" ] || fail "$file not installed"
done
verify_signature "$folder/p11agent.exe"
verify_signature "$folder/p11agent-host.exe"
verify_signature "$folder/p11agent-host32.exe"
"$run" "$exe" --version | grep -q '^p11agent ' || fail "--version"
"$run" "$exe" --version | grep -qF 'p11agent-host 0' || fail "--version names no module host"
"$run" "$exe" --version | grep -qF 'p11agent-host32 ' || fail "--version names no 32-bit host"
# A vendor module that exists only as a 32-bit DLL, where its 32-bit installer puts it. Wine
# runs 32-bit programs only where the Linux kernel runs 32-bit x86 code; the 32-bit host
# started without its argument ends with status 2.
"$run" 'C:\Program Files\p11agent\p11agent-host32.exe' >/dev/null 2>&1
if [ $? -eq 2 ]; then
  module='C:\Windows\System32\eps2003csp11v2.dll'
  cp "$here/build/windows/host32/fake_pkcs11.dll" "$WINEPREFIX/drive_c/windows/syswow64/eps2003csp11v2.dll"
  # The test module keeps its call log in the prefix's temporary folder, not where the test
  # was started from.
  printf '{"cmd":"enumerate","module":"%s"}' "${module//\\/\\\\}" | P11FAKE_DIR='C:\windows\temp' "$run" "$exe" |
    grep -qF '{"ok":true,"text":"module=' || fail "a 32-bit module through the installed 32-bit host"
  rm -f "$WINEPREFIX/drive_c/windows/syswow64/eps2003csp11v2.dll" "$WINEPREFIX/drive_c/windows/temp/eps2003csp11v2.dll.log"
else
  echo "installer: this machine runs no 32-bit programs; the 32-bit module's enumerate is not tried"
fi
printf '\x0e\x00\x00\x00{"cmd":"ping"}' | "$run" "$exe" chrome-extension://$chrome_id/ --parent-window=0 |
  tail -c +5 | grep -q '"ok":true' || fail "framed ping"
for entry in "${keys[@]}"; do
  "$run" reg query "HKLM\\${entry%%=*}" /ve 2>/dev/null | grep -qF "C:\\Program Files\\p11agent\\${entry#*=}" ||
    fail "key HKLM\\${entry%%=*}"
  ! "$run" reg query "HKCU\\${entry%%=*}" /ve >/dev/null 2>&1 || fail "a per-user key HKCU\\${entry%%=*}"
done
grep -q "chrome-extension://$chrome_id/" "$folder/p11agent-chrome.json" &&
  grep -q "chrome-extension://$other_id/" "$folder/p11agent-chrome.json" &&
  grep -q '"a@b.org"' "$folder/p11agent-firefox.json" || fail "the extensions given are not in the manifests"

# The same version again, then a newer one, without the extensions: each replaces what is
# installed and keeps the extensions given before.
msiexec /i "$(windows "$here/build/windows/dist/rebuilt/p11agent.msi")" /qn ||
  fail "msiexec /i of a rebuild of the same version"
[ "$(installed_products)" = 1 ] || fail "$(installed_products) products after installing the same version"
msiexec /i "$(windows "$here/build/windows/dist/newer/p11agent.msi")" /qn || fail "msiexec /i of a newer version"
[ "$(installed_products)" = 1 ] || fail "$(installed_products) products after installing a newer version"
"$run" "$exe" --version | grep -q '^p11agent ' || fail "--version after the upgrade"
grep -q "chrome-extension://$other_id/" "$folder/p11agent-chrome.json" && grep -q '"a@b.org"' "$folder/p11agent-firefox.json" ||
  fail "the upgrades did not keep the extensions given at the first install"
# A repair that names the Chrome extensions alone changes those and keeps Firefox's.
msiexec /i "$(windows "$here/build/windows/dist/newer/p11agent.msi")" /qn REINSTALL=ALL REINSTALLMODE=omus \
  CHROME_EXTENSIONS="$chrome_id" ||
  fail "msiexec /i REINSTALL=ALL"
! grep -q "chrome-extension://$other_id/" "$folder/p11agent-chrome.json" && grep -q '"a@b.org"' "$folder/p11agent-firefox.json" ||
  fail "a repair naming Chrome's extensions alone: $(cat "$folder/p11agent-chrome.json" "$folder/p11agent-firefox.json")"

msiexec /x "$(windows "$here/build/windows/dist/newer/p11agent.msi")" /qn || fail "msiexec /x"
[ ! -e "$folder" ] || fail "left after uninstall: $(ls "$folder")"
for entry in "${keys[@]}"; do
  ! "$run" reg query "HKLM\\${entry%%=*}" /ve >/dev/null 2>&1 || fail "key HKLM\\${entry%%=*} left after uninstall"
done
[ "$(installed_products)" = 0 ] || fail "still listed after uninstall"
"$here/scripts/wine-prefix.sh" stop
echo "installer: Done"
