#!/bin/sh
# Installs what is needed, builds, and runs every test: the plain build,
# AddressSanitizer + UndefinedBehaviorSanitizer, ThreadSanitizer, and a
# short run of every libFuzzer target; then builds a Release configuration
# and checks its Debian package with lintian.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
status=0
# Why each failed stage failed, repeated at the very end.
failures=$(mktemp)
trap 'rm -f "$failures"' EXIT
failed() {
  status=1
  scripts/failure-summary.sh "$1" "$2" >>"$failures" || true
}
for kind in plain asan; do
  echo "=== $kind build and tests"
  scripts/build.sh "$kind"
  case "$kind" in plain) dir=build ;; *) dir=build-$kind ;; esac
  if ! ctest --test-dir "$dir" --output-on-failure -j "$jobs"; then
    failed "$dir" "$kind"
  fi
done
# ThreadSanitizer runs from a copy of the checkout in a 0700 directory
# whose path has a space, where programs that the tests start as other
# users (the scheduler's filters, as lp) cannot read anything.
if ! scripts/test-0700.sh tsan; then
  failed "build-0700/korv 0700/project/build-tsan" "tsan (0700 copy)"
fi
if [ -f fuzz/CMakeLists.txt ]; then
  echo "=== fuzz targets"
  scripts/build.sh fuzz
  if ! ctest --test-dir build-fuzz --output-on-failure; then
    failed build-fuzz fuzz
  fi
fi
# A Release build of the product and the tests (built, not run: the
# other builds ran the suite), and its Debian package checked by lintian.
echo "=== release build and Debian package"
if ! scripts/build.sh release || ! scripts/check-package.sh build-release; then
  status=1
fi
if [ -s "$failures" ]; then
  echo "=== failed tests"
  cat "$failures"
fi
exit $status
