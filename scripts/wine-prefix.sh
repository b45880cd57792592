#!/usr/bin/env bash
# start: makes the test run's Wine prefix (once).
# stop: ends that prefix's wineserver.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$here/build/windows/wineprefix}"
server=$(command -v wineserver || echo /usr/lib/wine/wineserver)
case "${1:-}" in
  start)
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$here/scripts/wine-run.sh" wineboot -i >/dev/null 2>&1
    fi
    # A crashing process ends as on a desktop whose error reporting is off: no debugger
    # attaches to it (and holds its DLLs open after it has gone). The tests crash module
    # hosts on purpose.
    # 32-bit processes (the 32-bit module host) read the key's 32-bit view.
    for view in 64 32; do
      "$here/scripts/wine-run.sh" reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /f /reg:$view >/dev/null 2>&1 || true
    done
    ;;
  stop)
    "$server" -k || true
    ;;
  *) echo "usage: $0 start|stop" >&2; exit 2 ;;
esac
