#!/bin/sh
# Builds one configuration and runs its tests from a copy of the checkout
# in a directory that only its owner may enter (0700) and whose path has a
# space, as a root user's clone under /root is:
#   scripts/test-0700.sh [plain|asan|tsan]   (default: tsan)
# The copy is build-0700/korv 0700/project. The scheduler runs filters as
# lp, which cannot read anything there, and LD_PRELOAD and the sanitizers'
# options cannot name a file there: a test that leaves such a file where
# only the copy has it fails here. The copy's build tree is kept between
# runs; its sources are refreshed every time.
set -eu
cd "$(dirname "$0")/.."
kind=${1:-tsan}
case "$kind" in
  plain) dir=build ;;
  asan|tsan) dir=build-$kind ;;
  *) echo "usage: $0 [plain|asan|tsan]" >&2; exit 2 ;;
esac
jobs=$(nproc 2>/dev/null || echo 2)

locked="$(pwd)/build-0700/korv 0700"
copy=$locked/project
mkdir -p "$copy"
chmod 0700 "$(pwd)/build-0700" "$locked"

# Fresh sources; the build tree stays (tar keeps the files' times, so only
# what changed is built again).
find "$copy" -mindepth 1 -maxdepth 1 ! -name "$dir" -exec rm -rf {} +
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Tracked files and new ones not ignored, as the working tree has them.
  git ls-files -z --cached --others --exclude-standard |
    tar --null --ignore-failed-read -T - -cf - | tar -C "$copy" -xf -
else
  tar --exclude=./build --exclude='./build-*' --exclude=./out --exclude=./.git -cf - . |
    tar -C "$copy" -xf -
fi

echo "=== $kind build and tests in $copy"
"$copy/scripts/build.sh" "$kind"
ctest --test-dir "$copy/$dir" --output-on-failure -j "$jobs"
