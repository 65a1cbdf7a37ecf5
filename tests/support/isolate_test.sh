#!/bin/sh
# isolate.sh with a checkout that lp cannot enter and whose path has a
# space: the test command must see the time shim and the suppression files
# as copies that lp can read, named without spaces, with LD_PRELOAD and the
# sanitizer options pointing at them; a tree under /tmp whose name has a
# space must be carried into the private /tmp; the command's exit status
# must come back.
#   isolate_test.sh <isolate.sh> <time shim> <umockdev preload>
# Needs root, user lp and mount namespaces; exits 77 (skipped) without.
set -eu
isolate=$1 shim=$2 umockdev=$3

if [ "$(id -u)" != 0 ] || ! id lp >/dev/null 2>&1 ||
   ! unshare -m --propagation private true 2>/dev/null; then
  echo "skipped: needs root, the lp user and mount namespaces"
  exit 77
fi

top=$(mktemp -d "/tmp/korv isolate.XXXXXX")
trap 'rm -rf "$top"' EXIT
locked="$top/locked dir"
mkdir -m 0700 "$locked"
cp "$shim" "$locked/libkorvtimeshim.so"
echo "race:example_tsan" >"$locked/tsan.supp"
echo "leak:example_lsan" >"$locked/lsan.supp"
as_lp() { setpriv --reuid=lp --regid=lp --clear-groups "$@"; }

if as_lp cat "$locked/tsan.supp" >/dev/null 2>&1; then
  echo "FAIL: lp can read $locked, the test proves nothing"
  exit 1
fi

status=0
cd "$locked"
env -u LD_PRELOAD -u KORV_ISOLATED \
  KORV_TIMESHIM="$locked/libkorvtimeshim.so" KORV_USB_PRELOAD=1 \
  KORV_UMOCKDEV_PRELOAD="$umockdev" \
  KORV_TSAN_SUPPRESSIONS="$locked/tsan.supp" TSAN_OPTIONS=halt_on_error=1 \
  KORV_LSAN_SUPPRESSIONS="$locked/lsan.supp" LSAN_OPTIONS= \
  "$isolate" sh -c '
    locked=$1 umockdev=$2
    as_lp() { setpriv --reuid=lp --regid=lp --clear-groups "$@"; }
    fail() { echo "FAIL: $*"; bad=1; }
    bad=0
    [ -f "$locked/tsan.supp" ] || fail "the checkout under /tmp is not seen in the private /tmp"
    case $KORV_TIMESHIM in
      /tmp/*[[:space:]]*|*:*) fail "time shim copy at $KORV_TIMESHIM" ;;
      /tmp/*) ;;
      *) fail "time shim not copied: $KORV_TIMESHIM" ;;
    esac
    [ "$LD_PRELOAD" = "$KORV_TIMESHIM:$umockdev" ] || fail "LD_PRELOAD=$LD_PRELOAD"
    tsan=${TSAN_OPTIONS#halt_on_error=1:suppressions=}
    lsan=${LSAN_OPTIONS#suppressions=}
    [ "$tsan" != "$TSAN_OPTIONS" ] || fail "TSAN_OPTIONS=$TSAN_OPTIONS"
    [ "$lsan" != "$LSAN_OPTIONS" ] || fail "LSAN_OPTIONS=$LSAN_OPTIONS"
    cmp -s "$tsan" "$locked/tsan.supp" || fail "$tsan is not the TSan suppression file"
    cmp -s "$lsan" "$locked/lsan.supp" || fail "$lsan is not the LSan suppression file"
    for file in "$tsan" "$lsan"; do
      as_lp cat "$file" >/dev/null || fail "lp cannot read $file"
    done
    # A program of lp runs with the time shim loaded and no complaint.
    maps=$(as_lp cat /proc/self/maps 2>"$locked/preload.err") || fail "lp cannot run under LD_PRELOAD"
    case $maps in *libkorvtimeshim.so*) ;; *) fail "the time shim is not loaded in lp'"'"'s program" ;; esac
    [ ! -s "$locked/preload.err" ] || fail "$(cat "$locked/preload.err")"
    exit $((bad ? 1 : 3))' check "$locked" "$umockdev" || status=$?
if [ $status = 3 ]; then
  echo "ok: copies that lp can read, preload and sanitizer options pointing at them"
else
  echo "FAIL: the checks in the private /tmp ended with status $status (3 expected)"
  exit 1
fi

# The private /tmp hides the rest of /tmp but carries a tree under /tmp
# whose top directory has a space.
echo here >"$top/marker"
outside=$(mktemp /tmp/korvisolate-outside.XXXXXX)
trap 'rm -rf "$top" "$outside"' EXIT
if env -u KORV_ISOLATED OUTSIDE="$outside" "$isolate" \
     sh -c 'test -f "$1" && test ! -e "$OUTSIDE"' check "$top/marker"; then
  echo "ok: a private /tmp, with the tree under /tmp whose name has a space carried in"
else
  echo "FAIL: $top/marker not seen, or $outside seen, in the private /tmp"
  exit 1
fi
# A file directly in /tmp named on the command line is carried too.
if env -u KORV_ISOLATED "$isolate" sh -c 'test -f "$1"' check "$outside"; then
  echo "ok: a file in /tmp named on the command line carried in"
else
  echo "FAIL: $outside not carried into the private /tmp"
  exit 1
fi
