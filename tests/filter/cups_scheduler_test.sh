#!/bin/sh
# korvbmpthreshold under the real CUPS scheduler: a private cupsd with a
# queue on each of two generated PPDs and a backend that keeps what it is
# sent. The scheduler picks the filter by the PPD's filter line, runs it as
# its unprivileged user with pipes it owns, and what reaches the backend
# must be exactly what the filter writes when run by hand.
#   cups_scheduler_test.sh <filter> <ppd folder> <ImageMagick convert>
# Needs root (cupsd); exits 77 (skipped) without it.
set -eu
filter=$1 ppds=$2 convert=$3

if [ "$(id -u)" != 0 ] || ! command -v cupsd >/dev/null 2>&1 || [ -z "$convert" ] ||
   ! id lp >/dev/null 2>&1; then
  echo "skipped: needs root, cupsd, ImageMagick and the lp user"
  exit 77
fi

root=$(mktemp -d)
chmod 755 "$root"
cupsd_pid=""
cleanup() {
  if [ -n "$cupsd_pid" ]; then kill "$cupsd_pid" 2>/dev/null || true; wait "$cupsd_pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT

mkdir -p "$root/conf" "$root/bin/filter" "$root/bin/backend" "$root/spool" "$root/cache" \
         "$root/state" "$root/log" "$root/out" "$root/in"
chmod 755 "$root/bin" "$root/bin/filter" "$root/bin/backend" "$root/in"
chmod 1777 "$root/out"
ln -s "$(cups-config --serverbin)/daemon" "$root/bin/daemon"
cp "$filter" "$root/bin/filter/korvbmpthreshold"
chmod 755 "$root/bin/filter/korvbmpthreshold"
cat > "$root/bin/backend/keep" <<'EOS'
#!/bin/sh
# Keeps the job's data in the file its device URI names.
[ $# -eq 0 ] && { echo 'direct keep "Unknown" "Keep"'; exit 0; }
out=${DEVICE_URI#keep:}
if [ $# -ge 7 ]; then cat "$6" > "$out.part"; else cat > "$out.part"; fi
mv "$out.part" "$out"
EOS
chmod 755 "$root/bin/backend/keep"
cat > "$root/conf/cupsd.conf" <<EOS
Listen $root/cups.sock
LogLevel debug
<Location />
  Order allow,deny
  Allow all
</Location>
EOS
cat > "$root/conf/cups-files.conf" <<EOS
ServerRoot $root/conf
ServerBin $root/bin
RequestRoot $root/spool
CacheDir $root/cache
StateDir $root/state
TempDir $root/spool
ErrorLog $root/log/error_log
AccessLog $root/log/access_log
PageLog $root/log/page_log
SystemGroup root
Printcap $root/printcap
EOS

cupsd -f -c "$root/conf/cupsd.conf" -s "$root/conf/cups-files.conf" &
cupsd_pid=$!
export CUPS_SERVER="$root/cups.sock"
tries=0
until lpstat -r >/dev/null 2>&1; do
  tries=$((tries + 1))
  [ $tries -le 100 ] || { echo "cupsd did not start"; exit 1; }
  sleep 0.1
done

# A scheduler that has just come up may still turn the first request away:
# give each queue a few tries and show why the last one failed.
add_queue() {
  tries=0
  until lpadmin -p "$1" -E -v "keep:$root/out/$1.bmp" -P "$ppds/$2" 2>"$root/lpadmin.err"; do
    tries=$((tries + 1))
    if [ $tries -ge 20 ]; then
      echo "FAIL: lpadmin $1: $(cat "$root/lpadmin.err")"
      exit 1
    fi
    sleep 0.1
  done
}
add_queue wide korv-tr3200ax-80.ppd
add_queue narrow korv-tr3000ax-58.ppd

# A 24-bit colour image and an uncompressed 8-bit palette image.
"$convert" -size 1200x90 gradient:red-blue "BMP3:$root/in/colour.bmp"
"$convert" -size 800x50 gradient:black-white -type palette -compress none \
  "BMP3:$root/in/grey.bmp"
chmod 644 "$root/in"/*.bmp

status=0
# queue, image, options
check() {
  queue=$1 image=$2 options=$3
  out="$root/out/$queue.bmp"
  rm -f "$out"
  lp -d "$queue" -o "$options" "$root/in/$image" >/dev/null
  tries=0
  until [ -f "$out" ] && [ -z "$(lpstat -o "$queue")" ]; do
    tries=$((tries + 1))
    # A failed filter stops the queue: no need to wait any longer.
    if [ $tries -gt 300 ] || grep -q 'Job stopped' "$root/log/error_log"; then
      echo "FAIL: $queue $image: no output"
      grep '\[Job ' "$root/log/error_log" | grep -v 'envp\|argv' | tail -8
      status=1; return
    fi
    sleep 0.1
  done
  ppd="$root/conf/ppd/$queue.ppd"
  PPD=$ppd "$filter" 1 root "$image" 1 "$options" "$root/in/$image" > "$root/direct.bmp"
  if cmp -s "$out" "$root/direct.bmp"; then
    echo "ok: $queue $image $options"
  else
    echo "FAIL: $queue $image $options: the scheduler's output differs"; status=1
  fi
}
check wide colour.bmp Threshold=50
check wide grey.bmp Threshold=50
check narrow grey.bmp Threshold=Off
check narrow colour.bmp copies=1

# The scheduler's pipes belong to root while the filter runs as lp: standard
# input and output must work all the same.
ppd="$root/conf/ppd/wide.ppd"
cat "$root/in/grey.bmp" |
  PPD=$ppd setpriv --reuid=lp --regid=lp --clear-groups "$root/bin/filter/korvbmpthreshold" \
    1 lp t 1 Threshold=50 | cat > "$root/piped.bmp"
PPD=$ppd "$filter" 1 root t 1 Threshold=50 "$root/in/grey.bmp" > "$root/direct.bmp"
if cmp -s "$root/piped.bmp" "$root/direct.bmp"; then
  echo "ok: pipes of another user"
else
  echo "FAIL: pipes of another user"; status=1
fi
exit $status
