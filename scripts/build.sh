#!/bin/sh
# Configures and builds one configuration, with warnings as errors.
#   scripts/build.sh [plain|asan|tsan|fuzz|release]   (default: plain)
# Build trees: build/, build-asan/, build-tsan/, build-fuzz/, build-release/.
# Between them they compile every build type: plain, tsan and fuzz are
# RelWithDebInfo, asan is Debug, release is Release.
set -eu
cd "$(dirname "$0")/.."
kind=${1:-plain}
jobs=$(nproc 2>/dev/null || echo 2)
case "$kind" in
  plain) dir=build; set -- ;;
  asan)  dir=build-asan
         set -- -DKORV_SANITIZE=address -DKORV_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug ;;
  tsan)  dir=build-tsan; set -- -DKORV_SANITIZE=thread -DKORV_BUILD_BENCH=OFF ;;
  fuzz)  dir=build-fuzz
         export CC=clang CXX=clang++
         set -- -DKORV_BUILD_FUZZ=ON -DKORV_BUILD_TESTS=OFF -DKORV_BUILD_BENCH=OFF ;;
  release) dir=build-release; set -- -DCMAKE_BUILD_TYPE=Release ;;
  *) echo "usage: $0 [plain|asan|tsan|fuzz|release]" >&2; exit 2 ;;
esac
cmake -S . -B "$dir" -DKORV_WERROR=ON "$@" >/dev/null
cmake --build "$dir" -j "$jobs"
