#!/usr/bin/env bash
# A real smart-card stack: pcscd with the vpcd virtual reader driver, and the project's
# emulated card (tests/smartcard/card.cpp: a CAC card from libcacard, with an RSA-2048
# key and certificate) in its reader. OpenSC's module, which p11-kit registers, reads the
# card as any middleware reads a card. Needs root (pcscd's socket is machine-wide, so
# there is one stack per machine).
#
# vpcd listens on every address of the network namespace it runs in, so pcscd and the
# card run in a namespace of their own that has nothing but its loopback device; the
# agent reaches pcscd through its socket in /run/pcscd as usual.
#
# usage: smartcard.sh start DIR CARD_PROGRAM [card options]
#                                 makes the card (PIN 123456; DIR/card.pem is its
#                                 certificate) and starts the stack
#        smartcard.sh stop DIR      ends every process the stack started, by its id
#        smartcard.sh pull DIR      pulls the card out of the reader
#        smartcard.sh insert DIR    puts it back
#        smartcard.sh restart-pcscd DIR
# DIR/card.log is the card's log: one line per PIN check, pulls and insertions.
set -euo pipefail

NAMESPACE=p11agent-smartcard
PIN=123456
command=$1
dir=$2

# Waits until OpenSC sees the card in the reader ("yes") or the reader empty ("no").
await_card() {
  local want=$1
  for _ in $(seq 100); do
    if opensc-tool --list-readers 2>/dev/null | grep -q -i -E "^0 +$want "; then
      return 0
    fi
    sleep 0.05
  done
  echo "smartcard: the reader did not show the card ${want/no/out}" >&2
  return 1
}

make_card() {
  rm -rf "$dir/nss"
  mkdir -p "$dir/nss"
  echo "$PIN" >"$dir/pin.txt"
  head -c 64 /dev/urandom >"$dir/noise"
  certutil -N -d "sql:$dir/nss" -f "$dir/pin.txt"
  certutil -S -d "sql:$dir/nss" -f "$dir/pin.txt" -z "$dir/noise" -n card -s "CN=p11agent test card" -x \
    -t "CT,C,C" -k rsa -g 2048 --keyUsage digitalSignature,nonRepudiation -v 12 >/dev/null 2>&1
  certutil -L -d "sql:$dir/nss" -n card -a >"$dir/card.pem"
  rm -f "$dir/noise"
}

start_pcscd() {
  # "ip netns exec" becomes the program, so $! is the program's own id.
  ip netns exec "$NAMESPACE" pcscd --foreground --config "$dir/readers" >>"$dir/pcscd.log" 2>&1 &
  echo $! >"$dir/pcscd.pid"
}

stop_pid() {
  local file=$1
  [ -f "$file" ] || return 0
  local pid
  pid=$(cat "$file")
  kill "$pid" 2>/dev/null || true
  for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
  kill -9 "$pid" 2>/dev/null || true
  rm -f "$file"
}

case $command in
  start)
    program=$(realpath "$3")
    shift 3
    if pidof pcscd >/dev/null; then
      echo "smartcard: a pcscd runs already; the stack needs the machine's only one" >&2
      exit 1
    fi
    mkdir -p "$dir/readers"
    make_card
    printf 'FRIENDLYNAME "Virtual PCD"\nDEVICENAME /dev/null:0x8C7B\nLIBPATH /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID 0x8C7B\n' \
      >"$dir/readers/vpcd"
    ip netns delete "$NAMESPACE" 2>/dev/null || true
    ip netns add "$NAMESPACE"
    ip netns exec "$NAMESPACE" ip link set lo up
    start_pcscd
    ip netns exec "$NAMESPACE" "$program" --db "$dir/nss" --cert card "$@" >"$dir/card.log" 2>&1 &
    echo $! >"$dir/card.pid"
    await_card yes || { "$0" stop "$dir"; exit 1; }
    ;;
  stop)
    stop_pid "$dir/card.pid"
    stop_pid "$dir/pcscd.pid"
    ip netns delete "$NAMESPACE" 2>/dev/null || true
    ;;
  pull)
    kill -USR1 "$(cat "$dir/card.pid")"
    await_card no
    ;;
  insert)
    kill -USR2 "$(cat "$dir/card.pid")"
    await_card yes
    ;;
  restart-pcscd)
    stop_pid "$dir/pcscd.pid"
    start_pcscd
    await_card yes
    ;;
  *)
    echo "usage: smartcard.sh start|stop|pull|insert|restart-pcscd DIR ..." >&2
    exit 2
    ;;
esac
