#!/bin/sh
# Runs one libFuzzer target for a short while over a fresh copy of its seed
# corpus, so the corpus in the repository stays as it is.
#   run_fuzzer.sh <fuzzer> <seed corpus> <seconds> <work folder> [libFuzzer flag]...
set -eu
fuzzer=$1 seeds=$2 seconds=$3 work=$4
shift 4
rm -rf "$work"
mkdir -p "$work/artifacts"
cp -R "$seeds" "$work/corpus"
exec "$fuzzer" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$work/artifacts/" "$@" "$work/corpus"
