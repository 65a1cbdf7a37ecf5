#!/bin/sh
# Every generated PPD passes cupstestppd, with the filter it names present
# under a private root (as it will be once installed).
#   ppd_check.sh <filter program> <ppd>...
set -eu
filter=$1
shift
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
serverbin=$(cups-config --serverbin 2>/dev/null || echo /usr/lib/cups)
mkdir -p "$root$serverbin/filter"
ln -s "$filter" "$root$serverbin/filter/korvbmpthreshold"
status=0
for ppd in "$@"; do
  if ! cupstestppd -R "$root" "$ppd"; then
    status=1
  fi
  grep -q '^\*DefaultThreshold: Off$' "$ppd" || { echo "$ppd: default Threshold is not Off"; status=1; }
done
exit $status
