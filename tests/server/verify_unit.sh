#!/bin/sh
# The shipped systemd unit passes systemd-analyze verify, pointed at this build's program.
set -eu
unit=$1 server=$2 envfile=$3
if ! command -v systemd-analyze >/dev/null; then echo "skipped: systemd-analyze is not installed"; exit 77; fi
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
sed "s|/usr/local/bin/gallery-server|$server|; s|/etc/gallery-server/gallery.env|$envfile|" "$unit" >"$dir/gallery-server@.service"
status=0
out=$(systemd-analyze verify "$dir/gallery-server@8081.service" 2>&1) || status=$?
[ "$status" = 0 ] && [ -z "$out" ] || { echo "$out"; exit 1; }
