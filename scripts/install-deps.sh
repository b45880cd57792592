#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and demonstrate the
# agent. Does nothing when all of them are there already.
set -euo pipefail

packages=(
  cmake ninja-build g++ make
  g++-mingw-w64-x86-64-posix        # the Windows build
  g++-mingw-w64-i686-posix          # the 32-bit module host of the Windows build
  wine wine64 wine32:i386           # runs the Windows tests; wine32 runs the 32-bit host
  nlohmann-json3-dev                # JSON
  libp11-kit-dev p11-kit p11-kit-modules  # pkcs11.h; the proxy module of the Linux build
  libssl-dev openssl                # certificates on Linux (and digests where libnettle is not); checks in tests
  nettle-dev                        # the digests on Linux: thumbprints, the PIN's, an authentication's
  googletest libgtest-dev           # tests
  softhsm2 opensc                   # a real PKCS#11 token; pkcs11-tool
  clang-16 libclang-rt-16-dev       # libFuzzer targets
  wixl msitools osslsigncode        # the Windows installer (MSI): build, inspect, sign
  chromium firefox-esr python3      # a web page signs through the example extension
  pcscd vsmartcard-vpcd libcacard-dev libnss3-tools pkg-config iproute2  # an emulated smart card behind PC/SC
  pinentry-gtk2 zenity xvfb xdotool imagemagick  # the PIN prompt and the certificate picker, on a screen of their own, typed into and photographed
  python3-pykcs11                   # certificates with names longer than pkcs11-tool writes
  nodejs                            # the example login server and its check of the tokens
  gettext locales                   # the catalogs of the prompt's texts; the locales the tests speak
  libdbus-1-dev dbus-daemon dbus-bin  # the screen lock's signals; a private bus and a stand-in screensaver in tests
)

# The locales the tests run the prompt in. The agent reads its own catalogs and needs none
# of them; Wine does: it takes the user's display language from the locale only when the
# locale exists.
generate_locales() {
  local locale sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  for locale in de_DE fr_FR es_ES pl_PL ru_RU; do
    locale -a 2>/dev/null | grep -qix "$locale.utf-\?8" || $sudo localedef -i "$locale" -f UTF-8 "$locale.UTF-8"
  done
}

# wine32 is an i386 package: without the architecture apt cannot see it.
add_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || add_i386=1

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q '^install ok installed$' || missing+=("$package")
done
if [ ${#missing[@]} -eq 0 ] && [ "$add_i386" -eq 0 ]; then
  generate_locales
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
[ "$add_i386" -eq 0 ] || $sudo dpkg --add-architecture i386
$sudo apt-get update
$sudo apt-get install -y --no-install-recommends "${missing[@]}"
generate_locales
