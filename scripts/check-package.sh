#!/bin/sh
# Builds the Debian package from a built tree and has lintian check it.
#   scripts/check-package.sh [BUILD_DIR]   (default: build-release)
# Fails on any error or warning that the package's override file does not
# cover, and on an override that no longer matches what lintian finds, so
# the override file stays exactly as wide as the deliberate exceptions.
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build-release}
if [ ! -f "$dir/CPackConfig.cmake" ]; then
  echo "check-package: $dir is not a configured build (scripts/build.sh release)" >&2
  exit 2
fi
rm -f "$dir"/*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb=$(ls "$dir"/*.deb)
echo "check-package: $deb"
dpkg-deb -c "$deb"

# Errors (E:), warnings (W:) and information (I:), and the overridden
# tags (O:) with the override's reason.
report=$dir/lintian.txt
if ! lintian --fail-on none --display-info --show-overrides "$deb" >"$report" 2>&1; then
  cat "$report"
  echo "check-package: lintian could not check the package" >&2
  exit 1
fi
cat "$report"
status=0
if grep -q '^[EW]: ' "$report"; then
  echo "check-package: lintian found errors or warnings that are not overridden" >&2
  status=1
fi
if grep -q -E '^[A-Z]: [^ ]+: (unused|mismatched)-override' "$report"; then
  echo "check-package: an override in packaging/lintian-overrides.in matches nothing" >&2
  status=1
fi
exit $status
