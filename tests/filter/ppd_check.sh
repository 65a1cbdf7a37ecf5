#!/bin/sh
# Every generated PPD passes cupstestppd, with the filters it names present
# under a private root (as they will be once installed).
#   ppd_check.sh <filter program>... -- <ppd>...
set -eu
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
mkdir -p "$root$serverbin/filter"
while [ $# -gt 0 ] && [ "$1" != -- ]; do
  ln -s "$1" "$root$serverbin/filter/$(basename "$1")"
  shift
done
shift
status=0
for ppd in "$@"; do
  if ! cupstestppd -R "$root" "$ppd"; then
    status=1
  fi
  grep -q '^\*DefaultThreshold: Off$' "$ppd" || { echo "$ppd: default Threshold is not Off"; status=1; }
done
exit $status
