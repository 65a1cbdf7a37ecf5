#!/bin/sh
# Runs a test command with a private /tmp, so that tests running side by
# side never share the backend's fixed logs (/tmp/usbkorv.log and
# /tmp/usbqrpdrv.log) or umockdev testbeds. Needs root (or user namespaces);
# where neither works the command runs as it is and CTest serialises the
# tests that share /tmp (RESOURCE_LOCK korv_tmp).
#
# A checkout or build tree that itself lives under /tmp is carried into the
# private /tmp at the same path, so the test still finds its programs.
#
# Files that other processes read are staged first. The scheduler runs
# filters as lp, which cannot enter a checkout in a 0700 home, and neither
# LD_PRELOAD nor a sanitizer's option string can hold a path with a space.
# So these are copied into /tmp/korv-stage (0755) and the test sees the
# copies:
#   KORV_TIMESHIM           the time shim library: the variable names the copy
#   KORV_USB_PRELOAD=1      LD_PRELOAD=<copy of the time shim>:$KORV_UMOCKDEV_PRELOAD
#   KORV_TSAN_SUPPRESSIONS  added to TSAN_OPTIONS as suppressions=<copy>
#   KORV_LSAN_SUPPRESSIONS  added to LSAN_OPTIONS as suppressions=<copy>
# Without a private /tmp a file is copied (to a directory removed at the
# end) only when its path has a space or a colon.

# stage FILE: sets $staged to the path the test should use for FILE.
stage() {
  staged=$1
  if [ -z "$stage_dir" ]; then
    case $1 in *[[:space:]:]*) ;; *) return 0 ;; esac
    stage_dir=$(mktemp -d /tmp/korvstage.XXXXXX) || exit 125
    remove_stage=1
  fi
  mkdir -p "$stage_dir" && chmod 0755 "$stage_dir" || exit 125
  staged=$stage_dir/$(basename "$1")
  if [ "$1" != "$staged" ]; then
    if ! cp "$1" "$staged" || ! chmod a+r "$staged"; then
      echo "isolate: cannot stage $1 in $stage_dir" >&2
      exit 125
    fi
  fi
}

# Points the variables of the header at staged copies.
stage_files() {
  if [ -n "${KORV_TIMESHIM:-}" ]; then
    stage "$KORV_TIMESHIM"
    KORV_TIMESHIM=$staged
    export KORV_TIMESHIM
  fi
  if [ "${KORV_USB_PRELOAD:-}" = 1 ]; then
    LD_PRELOAD=${KORV_TIMESHIM:-}:${KORV_UMOCKDEV_PRELOAD:-}
    export LD_PRELOAD
  fi
  if [ -n "${KORV_TSAN_SUPPRESSIONS:-}" ]; then
    stage "$KORV_TSAN_SUPPRESSIONS"
    TSAN_OPTIONS=${TSAN_OPTIONS:+$TSAN_OPTIONS:}suppressions=$staged
    export TSAN_OPTIONS
  fi
  if [ -n "${KORV_LSAN_SUPPRESSIONS:-}" ]; then
    stage "$KORV_LSAN_SUPPRESSIONS"
    LSAN_OPTIONS=${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$staged
    export LSAN_OPTIONS
  fi
}

self=$(cd "$(dirname "$0")" && pwd)/$(basename "$0")

if [ "${KORV_ISOLATED:-}" = 1 ]; then
  # In the private /tmp (see below).
  stage_dir=/tmp/korv-stage
  stage_files
  exec "$@"
fi

if unshare -m --propagation private true 2>/dev/null; then
  # The top directories under /tmp to carry, one a line.
  carry=""
  for path in "$PWD" "$self" "${KORV_BUILD_DIR:-}" "${KORV_SOURCE_DIR:-}" "$@"; do
    case "$path" in
      /tmp/?*)
        top=${path#/tmp/}
        top=${top%%/*}
        case "
$carry
" in *"
$top
"*) ;; *) carry="$carry
$top" ;; esac
        ;;
    esac
  done
  exec unshare -m --propagation private sh -c '
    carry=$1 self=$2; shift 2
    exec 3</tmp
    mount -t tmpfs -o mode=1777 korvtmp /tmp || exit 125
    IFS="
"
    for top in $carry; do
      if [ -d "/proc/self/fd/3/$top" ]; then
        mkdir -p "/tmp/$top" || exit 125
      elif [ -e "/proc/self/fd/3/$top" ]; then
        : >"/tmp/$top" || exit 125
      else
        continue
      fi
      mount --no-canonicalize --bind "/proc/self/fd/3/$top" "/tmp/$top" || exit 125
    done
    unset IFS
    exec 3<&-
    cd "$PWD" 2>/dev/null || true
    KORV_ISOLATED=1 exec "$self" "$@"' isolate "$carry" "$self" "$@"
fi

# A shared /tmp.
stage_dir=""
remove_stage=""
stage_files
if [ -z "$remove_stage" ]; then
  exec "$@"
fi
"$@"
status=$?
rm -rf "$stage_dir"
exit $status
