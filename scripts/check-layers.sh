#!/usr/bin/env bash
# Checks that the include lines between the source folders point down the layers.
# Reads every `#include "folder/file"` under the source tree (src/ unless given) and
# names the file and line of each include from one folder into another that is not
# on the list below. Exits 1 when there is any.
set -euo pipefail
root=${1:-"$(dirname "$0")/../src"}

# Each folder, and the folders its files may include besides its own.
declare -A allowed=(
  [text]=""
  [platform]=""
  [token]="platform text"
  [sign]="token platform text"
  [wire]="text platform"
  [daemon]="sign token platform text wire"
  [oneshot]="sign token platform text wire"
  [app]="daemon oneshot sign token platform text wire"
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
