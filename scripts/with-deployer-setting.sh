#!/usr/bin/env bash
# with-deployer-setting.sh SETTING COMMAND...: runs the command with the deployer's setting
# /etc/p11agent/SETTING present, in a mount namespace whose /etc is an overlay: the
# machine's own /etc stays as it is. As root.
set -eu
setting=$1
shift
overlay=$(mktemp -d)
exec unshare --mount --propagation private bash -c '
  mkdir -p "$0/upper" "$0/work" && mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/upper,workdir=$0/work" /etc &&
  mkdir -p /etc/p11agent && touch "/etc/p11agent/$1" && shift && exec "$@"' "$overlay" "$setting" "$@"
