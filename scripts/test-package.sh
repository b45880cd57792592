#!/usr/bin/env bash
# The Debian package of the Linux build, installed on this machine with dpkg -i: the
# installed agent answers --version and lists a SoftHSM2 token's certificates in one-shot
# mode, the host manifests name it, extensions registered for every user outlive a
# reinstall, unregistering for every user outlives one too, and purging the package leaves
# none of its files.
# usage: test-package.sh BUILD_FOLDER. Prints "package: Done" or "package: FAILED (<what>)".
#
# All of it happens in a mount namespace of its own, with /etc, /usr and /var overlaid on
# folders of the test's: what dpkg and the agent write there is gone with the namespace, so
# the machine's own installation (a p11agent package installed on it among it) stays as it
# was.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "$1")
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if [ -z "${P11AGENT_PACKAGE_OVERLAY:-}" ]; then
  overlay=$(mktemp -d)
  $sudo env P11AGENT_PACKAGE_OVERLAY="$overlay" unshare --mount --propagation private "$0" "$build"
  status=$?
  $sudo rm -rf "$overlay"
  exit $status
fi
for folder in etc usr var; do
  mkdir -p "$P11AGENT_PACKAGE_OVERLAY/upper/$folder" "$P11AGENT_PACKAGE_OVERLAY/work/$folder"
  mount -t overlay overlay -o "lowerdir=/$folder,upperdir=$P11AGENT_PACKAGE_OVERLAY/upper/$folder,workdir=$P11AGENT_PACKAGE_OVERLAY/work/$folder" "/$folder" ||
    { echo "package: FAILED (no overlay over /$folder)"; exit 1; }
done
sudo=""
work=$(mktemp -d)

fail() {
  echo "package: FAILED ($1)"
  $sudo dpkg --purge p11agent >/dev/null 2>&1
  rm -rf "$work"
  exit 1
}

(cd "$build" && rm -f p11agent_*.deb && cpack -G DEB) >"$work/cpack.log" 2>&1 || fail "cpack: $(tail -n 5 "$work/cpack.log")"
deb=$(ls "$build"/p11agent_*.deb)
$sudo dpkg -i "$deb" >"$work/dpkg.log" 2>&1 </dev/null || fail "dpkg -i: $(tail -n 5 "$work/dpkg.log")"
files=$(dpkg-query -L p11agent | while read -r path; do [ -f "$path" ] && echo "$path"; done)

/usr/bin/p11agent --version | grep -q '^p11agent ' || fail "--version"
# libcrypto and libdbus are loaded when first needed, not linked (each would cost every
# start); the package depends on what holds them.
! readelf -d /usr/bin/p11agent | grep -E 'NEEDED.*(libcrypto|libdbus|libstdc)' || fail "p11agent links a library it loads late"
depends=$(dpkg-query -W -f '${Depends}' p11agent)
for soname in "libcrypto.so.$(openssl version | cut -d" " -f2 | cut -d. -f1)" libdbus-1.so.3; do
  holder=$(dpkg-query -S "*/$(gcc -print-multiarch)/$soname" | head -n 1 | cut -d: -f1)
  grep -qw -- "$holder" <<<"$depends" || fail "the package does not depend on $holder, which holds $soname"
done
# The module host, stripped, beside the agent and of its build.
[ -x /usr/bin/p11agent-host ] && ! readelf -S /usr/bin/p11agent-host | grep -qF .symtab ||
  fail "p11agent-host not installed stripped"
/usr/bin/p11agent --version | grep -qF "p11agent-host $(/usr/bin/p11agent --version | head -n 1 | cut -d' ' -f2-): /usr/bin/p11agent-host" ||
  fail "--version names no module host of its build: $(/usr/bin/p11agent --version)"
for manifest in /etc/opt/chrome /etc/chromium /etc/opt/edge /usr/lib/mozilla; do
  grep -q '"path": "/usr/bin/p11agent"' "$manifest/native-messaging-hosts/p11agent.json" ||
    fail "$manifest/native-messaging-hosts/p11agent.json"
done
# The installed agent finds the token through the modules p11-kit registers.
source "$here/scripts/softhsm-token.sh"
softhsm_token "$work/token" package rsa ec
answer=$(echo '{"cmd":"list_certs"}' | /usr/bin/p11agent)
for key in rsa ec; do
  grep -q "\"thumbprint\":\"$(thumbprint "$work/token" $key)\"" <<<"$answer" || fail "list_certs: $answer"
done

# Extensions registered for every user outlive a reinstall (an upgrade) of the package.
chrome_id=mocfelaojeifljllokijgedhmchkecgh
$sudo /usr/bin/p11agent --register-host --system --chrome-extension $chrome_id --firefox-extension a@b.org \
  >"$work/register.log" || fail "--register-host --system: $(cat "$work/register.log")"
[ -L /usr/lib/mozilla/native-messaging-hosts/p11agent.json ] || fail "--register-host --system replaced Firefox's link"
$sudo dpkg -i --force-confold "$deb" >"$work/dpkg.log" 2>&1 </dev/null || fail "dpkg -i again: $(tail -n 5 "$work/dpkg.log")"
grep -q "chrome-extension://$chrome_id/" /etc/opt/chrome/native-messaging-hosts/p11agent.json &&
  grep -q '"a@b.org"' /usr/lib/mozilla/native-messaging-hosts/p11agent.json || fail "the reinstall lost the extensions"

# Unregistered for every user, the host stays so across an upgrade: Firefox's link and the
# package's file stay, allowing no extension, and no id comes back.
$sudo /usr/bin/p11agent --unregister-host --system >"$work/unregister.log" ||
  fail "--unregister-host --system: $(cat "$work/unregister.log")"
$sudo dpkg -i --force-confold "$deb" >"$work/dpkg.log" 2>&1 </dev/null || fail "dpkg -i after unregistering: $(tail -n 5 "$work/dpkg.log")"
[ -L /usr/lib/mozilla/native-messaging-hosts/p11agent.json ] || fail "--unregister-host --system removed Firefox's link"
if grep -qs '"a@b.org"' /usr/lib/mozilla/native-messaging-hosts/p11agent.json ||
  grep -qs "chrome-extension://$chrome_id/" /etc/opt/chrome/native-messaging-hosts/p11agent.json; then
  fail "an upgrade after --unregister-host --system brought the extensions back"
fi

$sudo dpkg --purge p11agent >"$work/dpkg.log" 2>&1 || fail "dpkg --purge: $(tail -n 5 "$work/dpkg.log")"
for path in $files; do
  [ ! -e "$path" ] && [ ! -L "$path" ] || fail "$path left after purge"
done
rm -rf "$work"
echo "package: Done"
