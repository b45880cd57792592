#!/usr/bin/env bash
# Checks that the include lines between the source folders point down the layers.
# Reads every `#include "folder/file"` under the source tree (src/ unless given) and
# names the file and line of each include from one folder into another that is not
# on the list below. Exits 1 when there is any.
set -euo pipefail
root=${1:-"$(dirname "$0")/../src"}

# Each folder, and the folders its files may include besides its own, from the bottom:
# text; system (what the operating system provides); settings (the deployer's and the
# user's, and the browsers' host places); trace; pkcs11 (the call choke point, its errors
# and bounds); desktop (what the user sees) beside token (modules, hosts, tokens,
# certificates); sign; wire beside them; daemon and oneshot; app. What the user sees may use
# what the system provides, never the reverse; the token layer uses no dialog.
declare -A allowed=(
  [text]=""
  [system]=""
  [settings]="system"
  [trace]="settings system"
  [pkcs11]="trace settings system text"
  [desktop]="pkcs11 settings system text"
  [token]="pkcs11 trace settings system text"
  [sign]="token desktop pkcs11 trace settings system text"
  [wire]="trace settings system text"
  [daemon]="sign token desktop pkcs11 trace settings system text wire"
  [oneshot]="sign token desktop pkcs11 trace settings system text wire"
  [app]="daemon oneshot sign token desktop pkcs11 trace settings system text wire"
)

status=0
while IFS=: read -r file line text; do
  relative=${file#"$root"/}
  from=${relative%%/*}
  target=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]+"([^"]*)".*/\1/' <<<"$text")
  [[ $target == */* ]] || continue  # a file of the same folder or a generated header
  to=${target%%/*}
  [ "$to" = "$from" ] && continue
  if [ -z "${allowed[$from]+set}" ]; then
    echo "$file:$line: folder '$from' is not on the list of layers"
    status=1
  elif [[ " ${allowed[$from]} " != *" $to "* ]]; then
    echo "$file:$line: '$from' may not include '$target'"
    status=1
  fi
done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]+"' "$root" --include='*.h' --include='*.cpp' --include='*.in')
exit "$status"
