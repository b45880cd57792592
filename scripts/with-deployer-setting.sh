#!/usr/bin/env bash
# with-deployer-setting.sh SETTINGS COMMAND...: runs the command with the deployer's settings
# in /etc/p11agent, in a mount namespace whose /etc is an overlay: the machine's own /etc
# stays as it is. SETTINGS is a comma-separated list of NAME (the file present, empty),
# NAME=VALUE (the file holding VALUE), NAME:fifo or NAME:folder (a FIFO or a folder in its place):
# "allow-cert-listing,signature-consent=none". As root.
set -eu
settings=$1
shift
overlay=$(mktemp -d)
exec unshare --mount --propagation private bash -c '
  mkdir -p "$0/upper" "$0/work" && mount -t overlay overlay -o "lowerdir=/etc,upperdir=$0/upper,workdir=$0/work" /etc &&
  mkdir -p /etc/p11agent && IFS=, && for setting in $1; do
    case $setting in
      *=*) printf "%s\n" "${setting#*=}" >"/etc/p11agent/${setting%%=*}" ;;
      *:fifo) mkfifo "/etc/p11agent/${setting%:fifo}" ;;
      *:folder) mkdir "/etc/p11agent/${setting%:folder}" ;;
      *) : >"/etc/p11agent/$setting" ;;
    esac
  done && shift && unset IFS && exec "$@"' "$overlay" "$settings" "$@"
