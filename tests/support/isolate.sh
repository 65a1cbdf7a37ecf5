#!/bin/sh
# Runs a test command with a private /tmp, so that tests running side by
# side never share the backend's fixed logs (/tmp/usbkorv.log and
# /tmp/usbqrpdrv.log) or umockdev testbeds. Needs root (or user namespaces);
# where neither works the command runs as it is and CTest serialises the
# tests that share /tmp (RESOURCE_LOCK korv_tmp).
#
# A checkout or build tree that itself lives under /tmp is carried into the
# private /tmp at the same path, so the test still finds its programs.
if [ "${KORV_ISOLATED:-}" != 1 ] && unshare -m --propagation private true 2>/dev/null; then
  here=$(cd "$(dirname "$0")" && pwd)
  carry=""
  for path in "$PWD" "$here" "${KORV_BUILD_DIR:-}" "${KORV_SOURCE_DIR:-}" "$@"; do
    case "$path" in
      /tmp/?*)
        top=${path#/tmp/}
        top=${top%%/*}
        case " $carry " in *" $top "*) ;; *) carry="$carry $top" ;; esac
        ;;
    esac
  done
  exec unshare -m --propagation private sh -c '
    carry=$1; shift
    exec 3</tmp
    mount -t tmpfs -o mode=1777 korvtmp /tmp || exit 125
    for top in $carry; do
      [ -e "/proc/self/fd/3/$top" ] || continue
      mkdir -p "/tmp/$top" &&
        mount --no-canonicalize --bind "/proc/self/fd/3/$top" "/tmp/$top" || exit 125
    done
    exec 3<&-
    cd "$PWD" 2>/dev/null || true
    KORV_ISOLATED=1 exec "$@"' isolate "$carry" "$@"
fi
exec "$@"
