#!/bin/sh
# Runs a test command with a private /tmp, so that tests running side by
# side never share the backend's fixed logs (/tmp/usbkorv.log and
# /tmp/usbqrpdrv.log) or umockdev testbeds. Needs root (or user namespaces);
# where neither works the command runs as it is and CTest serialises the
# tests that share /tmp (RESOURCE_LOCK korv_tmp).
if [ "${KORV_ISOLATED:-}" != 1 ] && unshare -m --propagation private true 2>/dev/null; then
  exec unshare -m --propagation private sh -c '
    mount -t tmpfs -o mode=1777 korvtmp /tmp || exit 125
    KORV_ISOLATED=1 exec "$@"' isolate "$@"
fi
exec "$@"
