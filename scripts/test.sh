#!/bin/sh
# Installs what is needed, builds, and runs every test: the plain build,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and a
# short run of every libFuzzer target.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
for kind in plain asan tsan; do
  echo "=== $kind build and tests"
  scripts/build.sh "$kind"
  case "$kind" in plain) dir=build ;; *) dir=build-$kind ;; esac
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs"; then
    status=1
  fi
done
if [ -f fuzz/CMakeLists.txt ]; then
  echo "=== fuzz targets"
  scripts/build.sh fuzz
  if ! ctest --test-dir build-fuzz --output-on-failure; then
    status=1
  fi
fi
exit $status
