#!/usr/bin/env bash
# The agent with a real smart-card stack (scripts/smartcard.sh): OpenSC reads an emulated
# card through pcscd; the card is pulled out and put back, pcscd restarts, wrong PINs are
# counted by the card. Leaves no process of the stack behind.
# usage: test-smartcard.sh AGENT CARD_PROGRAM FAKE_MODULE (a module registered beside the
# card's that hangs when loaded). Prints "smartcard <case>: Done" or
# "smartcard <case>: FAILED (<what>)" per case.
set -u
here=$(cd "$(dirname "$0")/.." && pwd)
agent=$(realpath "$1")
card=$(realpath "$2")
fake_module=$(realpath "$3")
work=$(mktemp -d)
trap '"$here/scripts/smartcard.sh" stop "$work"; rm -rf "$work"' EXIT

if ! "$here/scripts/smartcard.sh" start "$work" "$card" 2>"$work/start.log"; then
  echo "smartcard stack: FAILED ($(tail -n 3 "$work/start.log" "$work/pcscd.log" 2>/dev/null | tr '\n' ' '))"
  exit 1
fi
python3 "$here/tests/smartcard/cases.py" "$agent" "$here/scripts/smartcard.sh" "$work" "$card" "$fake_module"
