#!/bin/sh
# Prints the lines that say why tests failed in a build tree's last CTest
# run: gtest's failures, sanitizer reports with the first frames of each
# of their stacks, and the failed tests' names, so that a CI log that keeps
# only its end still shows the cause.
#   scripts/failure-summary.sh BUILD-DIR [LABEL]
set -eu
dir=$1
label=${2:-$1}
log=$dir/Testing/Temporary/LastTest.log
[ -f "$log" ] || exit 0
echo "--- why tests failed: $label"
awk '
  /^[0-9]+\/[0-9]+ Test: / { test = $3 }
  /: Failure$/ || /^\[  FAILED  \]/ || /Sanitizer|SUMMARY: / ||
  /^Test (Failed|Timeout)|\*\*\*Timeout|\*\*\*Exception/ {
    print test ": " $0; frames = 0; report = /WARNING: |ERROR: /; failure = /: Failure$/; next
  }
  failure && failure++ <= 4 { print test ": " $0; next }
  report && /^  [A-Z[]/ { print test ": " $0; frames = 0; next }
  report && /^ +#[0-9]/ && frames++ < 4 { print test ": " $0 }
  /^$/ { failure = 0 }
' "$log" | head -n 120
