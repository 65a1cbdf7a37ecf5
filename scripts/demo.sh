#!/bin/sh
# The main job: installs what is needed, builds, and prints a receipt
# through CUPS to a virtual printer of each family, then a PDF receipt and
# a photograph through the raster path.
#
# A private CUPS scheduler (its own socket, spool and logs, nothing of the
# system's CUPS touched) gets the built backend, filter and PPDs through
# the install rules; vprinter plays a TR3200AX (modem-class) and a
# TR3000AX (UART-bridge) printer. One queue per printer, made from what
# lpinfo -v lists and a shipped PPD, prints samples/receipt.bmp with
# Threshold=60; what each printer received becomes a PNG picture of the
# paper in out/demo/; so does what the TR3200AX makes of a PDF receipt and
# a photograph (receipt-pdf.png, photo.png). Needs root (the scheduler runs
# the backend as root).
set -eu
cd "$(dirname "$0")/.."
repo=$(pwd)

if [ "$(id -u)" != 0 ]; then
  echo "demo: the CUPS scheduler needs root: sudo $0" >&2
  exit 1
fi

scripts/install-deps.sh
scripts/build.sh plain

build=$repo/build
out=$repo/out/demo
sample=$repo/samples/receipt.bmp
cache_value() { sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"; }
umockdev_preload=$(cache_value UMOCKDEV_PRELOAD)
timeshim=$build/tests/libkorvtimeshim.so

work=""
cupsd_pid=""
vprinter_pid=""
app_pid=""
cleanup() {
  status=$?
  trap - EXIT INT TERM HUP
  if [ -n "$app_pid" ]; then
    kill -TERM "$app_pid" 2>/dev/null || true
    wait "$app_pid" 2>/dev/null || true
  fi
  # PAPPL leaves its sub-commands' socket behind (root's is in /run).
  rm -f /run/korvprint-demo.sock
  if [ -n "$cupsd_pid" ]; then
    kill -TERM "$cupsd_pid" 2>/dev/null || true
    wait "$cupsd_pid" 2>/dev/null || true
  fi
  if [ -n "$vprinter_pid" ]; then
    exec 9>&- 2>/dev/null || true
    kill -TERM "$vprinter_pid" 2>/dev/null || true
    wait "$vprinter_pid" 2>/dev/null || true
  fi
  if [ -n "$work" ]; then
    rm -rf "$work"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

work=$(mktemp -d /tmp/korvdemo.XXXXXX)
chmod 0755 "$work"
# LD_PRELOAD cannot name a file whose path has a space: the backends get
# a copy of the time shim.
cp "$timeshim" "$work/libkorvtimeshim.so"
timeshim=$work/libkorvtimeshim.so
rm -rf "$out"
mkdir -p "$out"

echo
echo "=== Virtual printers: a TR3200AX and a TR3000AX on USB"
mkfifo "$work/vprinter.in"
"$build/vprinter/vprinter" serve \
  --printer 'kelpin,name=tr3200ax,product="TR3200AX Receipt Printer"' \
  --printer 'ostrel,name=tr3000ax,product="TR3000AX Receipt Printer"' \
  --capture-dir "$work/paper" --transcript "$out/usb-transcript.log" \
  <"$work/vprinter.in" >"$work/vprinter.out" &
vprinter_pid=$!
# vprinter serves until its standard input closes: this shell holds it.
exec 9>"$work/vprinter.in"
tries=0
until grep -q '^UMOCKDEV_DIR=' "$work/vprinter.out" 2>/dev/null; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$vprinter_pid" 2>/dev/null; then
    echo "demo: the virtual printers did not start" >&2
    exit 1
  fi
  sleep 0.1
done
umockdev_dir=$(sed -n 's/^UMOCKDEV_DIR=//p' "$work/vprinter.out")

echo "=== Private CUPS scheduler with the installed backend, filter and PPDs"
cups=$work/cups
tests/e2e/private-cups.sh "$cups" "$build"
# The backend's 40-second wait after each job is shortened by the time
# shim (divided by 1000); its requests are logged in time.log.
env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin \
  UMOCKDEV_DIR="$umockdev_dir" \
  KORV_CUPS_PRELOAD="$timeshim:$umockdev_preload" \
  KORV_TIME_DIVISOR=1000 KORV_TIME_LOG="$cups/time.log" \
  cupsd -f -c "$cups/conf/cupsd.conf" -s "$cups/conf/cups-files.conf" \
  >"$cups/log/cupsd.out" 2>&1 &
cupsd_pid=$!
CUPS_SERVER=$cups/cups.sock
export CUPS_SERVER
tries=0
until lpstat -r 2>/dev/null | grep -q 'is running'; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$cupsd_pid" 2>/dev/null; then
    echo "demo: the scheduler did not start:" >&2
    cat "$cups/log/cupsd.out" "$cups/log/error_log" >&2 2>/dev/null || true
    exit 1
  fi
  sleep 0.1
done

echo
echo "\$ lpinfo -v"
lpinfo -v | tee "$work/devices"

# One queue per printer: the URI that lpinfo listed (with the printer's
# serial number after a '?'), a shipped PPD.
add_queue() { # queue protocol ppd
  uri=$(sed -n "s|^direct \(usbkorv:/$2/[0-9][^ ]*\)$|\1|p" "$work/devices" | head -n 1)
  if [ -z "$uri" ]; then
    echo "demo: lpinfo -v did not list a $2 printer" >&2
    exit 1
  fi
  echo "\$ lpadmin -p $1 -E -v $uri -m korvprint/$3"
  lpadmin -p "$1" -E -v "$uri" -m "korvprint/$3" 2>/dev/null
}
echo
add_queue tr3200ax tr3200ax korv-tr3200ax-58.ppd
add_queue tr3000ax tr3000ax korv-tr3000ax-80.ppd

echo
for queue in tr3200ax tr3000ax; do
  echo "\$ lp -d $queue -o Threshold=60 samples/receipt.bmp"
  lp -d "$queue" -o Threshold=60 "$sample" | tee "$work/$queue.job"
done

# Wait until the scheduler has no unfinished job left.
tries=0
while [ -n "$(lpstat -o 2>/dev/null)" ]; do
  tries=$((tries + 1))
  if [ $tries -gt 1200 ]; then
    echo "demo: the jobs did not finish within two minutes" >&2
    exit 1
  fi
  sleep 0.1
done

echo
echo "\$ lpstat -W completed -o"
lpstat -W completed -o
cp "$cups/log/error_log" "$out/cups-error_log"

echo
status=0
for queue in tr3200ax tr3000ax; do
  paper=$work/paper/$queue.bin
  job=$(sed -n "s/^request id is $queue-\([0-9]*\) .*/\1/p" "$work/$queue.job")
  if ! grep -q "\[Job $job\] Job completed\.$" "$cups/log/error_log" ||
     [ "$(od -An -tx1 -N1 "$paper" 2>/dev/null | tr -d ' ')" != 02 ]; then
    echo "demo: $queue did not print; see $out/cups-error_log" >&2
    status=1
    continue
  fi
  # The printer gets the start byte 0x02, then the filter's 24-bit BMP.
  tail -c +2 "$paper" >"$out/$queue.bmp"
  convert "$out/$queue.bmp" "$out/$queue.png"
  echo "$queue received $(wc -c <"$paper") bytes; the paper: $out/$queue.png" \
       "($(identify -format '%w x %h dots' "$out/$queue.bmp"))"
done
# The raster path: a PDF receipt (text, a grey logo, a QR code and a bar
# code) and a photograph, made by Debian tools now, printed on the
# TR3200AX's 58 mm paper by the standard filters and rastertokorv, and a
# phone screenshot (anti-aliased text and a scaled bar code) on the
# TR3000AX's 80 mm paper.
echo
echo "=== The raster path: a PDF receipt, a photograph and a screenshot"
docs=$work/docs
samples/make-documents.sh "$docs"
chmod -R a+rX "$docs"
raster_job() { # queue picture-name file [lp option]...
  queue=$1 name=$2 file=$3
  shift 3
  paper=$work/paper/$queue.bin
  before=$(stat -c %s "$paper" 2>/dev/null || echo 0)
  echo "\$ lp -d $queue ${*:+$* }$(basename "$file")"
  lp -d "$queue" "$@" "$file" | tee "$work/$name.job"
  tries=0
  while [ -n "$(lpstat -o 2>/dev/null)" ]; do
    tries=$((tries + 1))
    if [ $tries -gt 3000 ]; then
      echo "demo: $name did not print within five minutes" >&2
      return 1
    fi
    sleep 0.1
  done
  job=$(sed -n "s/^request id is $queue-\\([0-9]*\\) .*/\\1/p" "$work/$name.job")
  # This job's bytes: the start byte 0x02, then rastertokorv's BMP.
  tail -c +$((before + 1)) "$paper" >"$work/$name.bin"
  if ! grep -q "\[Job $job\] Job completed\.$" "$cups/log/error_log" ||
     [ "$(od -An -tx1 -N1 "$work/$name.bin" | tr -d ' ')" != 02 ]; then
    echo "demo: $name did not print; see $out/cups-error_log" >&2
    return 1
  fi
  tail -c +2 "$work/$name.bin" >"$out/$name.bmp"
  convert "$out/$name.bmp" "$out/$name.png"
  echo "$queue received $(wc -c <"$work/$name.bin") bytes; the paper: $out/$name.png" \
       "($(identify -format '%w x %h dots' "$out/$name.bmp"))"
}
raster_job tr3200ax receipt-pdf "$docs/receipt.pdf" || status=1
# A landscape photograph across the paper rather than turned to fill it.
raster_job tr3200ax photo "$docs/photo.jpg" -o orientation-requested=3 || status=1
raster_job tr3000ax screenshot "$docs/screenshot.png" || status=1
cp "$cups/log/error_log" "$out/cups-error_log"
echo

waits=$(grep -c '^usleep 40000000$' "$cups/time.log" 2>/dev/null || true)
echo "The backend asked for its 40-second wait after each job ${waits:-0} times; the time shim made each 40 ms."
echo "Scheduler log: $out/cups-error_log; USB transcript: $out/usb-transcript.log;" \
     "backend logs: /tmp/usbkorv.log and /tmp/usbqrpdrv.log"

# ---------------------------------------------------------------------------
# The second way: the printer application korvprint serves the same virtual
# printers as driverless IPP Everywhere printers on a loopback port, and the
# PDF receipt, the photo and the screenshot are printed to it over IPP.
echo
echo "=== Second way: the printer application korvprint (IPP Everywhere)"
app=$work/app
mkdir -p "$app/home" "$app/tmp" "$app/spool" "$work/docs"
# A program name of its own, so that an installed korvprint service's
# socket and state are never touched.
ln -s "$build/app/korvprint" "$app/korvprint-demo"
# The build's backend for the printer application: the printer's URI as
# argv[0] (korvprint passes it in DEVICE_URI too), the virtual printers
# and the time shim.
{
  echo '#!/bin/bash'
  echo "export LD_PRELOAD='$timeshim:$umockdev_preload' UMOCKDEV_DIR='$umockdev_dir'"
  echo 'export KORV_TIME_DIVISOR=1000'
  echo "exec -a \"\${DEVICE_URI:-usbkorv}\" '$build/backend/usbkorv' \"\$@\""
} >"$app/usbkorv"
chmod 0755 "$app/usbkorv"
# The document decoder runs as nobody, who may not be able to enter the
# checkout: a copy beside the wrapper.
cp "$build/app/korvprint-decode" "$app/korvprint-decode"
chmod 0755 "$app" "$app/korvprint-decode"
port=8631
while ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; do
  port=$((port + 1))
done
# korvprint with the demo's environment, as a program that becomes
# korvprint itself: started in the background, $! is then the server,
# which the clean-up stops (a shell function in the background would be a
# subshell, and stopping it would leave the server running).
{
  echo '#!/bin/sh'
  echo "exec env HOME='$app/home' TMPDIR='$app/tmp' XDG_CONFIG_HOME='$app/home' \\"
  echo "  KORVPRINT_BACKEND='$app/usbkorv' \\"
  echo "  KORVPRINT_DECODER='$app/korvprint-decode' '$app/korvprint-demo' \"\$@\""
} >"$app/korvprint"
chmod 0755 "$app/korvprint"
korvprint() { "$app/korvprint" "$@"; }
"$app/korvprint" server -o server-port="$port" -o listen-hostname=localhost \
  -o spool-directory="$app/spool" -o log-file="$out/korvprint.log" -o log-level=info \
  -o server-options=no-tls -o state-file="$app/home/korvprint.state" \
  >"$app/server.out" 2>&1 &
app_pid=$!
tries=0
until korvprint status 2>/dev/null | grep -q Running; do
  tries=$((tries + 1))
  if [ $tries -gt 100 ] || ! kill -0 "$app_pid" 2>/dev/null; then
    echo "demo: korvprint did not start:" >&2
    cat "$app/server.out" >&2
    exit 1
  fi
  sleep 0.1
done

echo
echo "\$ korvprint devices"
korvprint devices | tee "$work/app-devices"
app_queue() { # queue protocol driver
  uri=$(grep "^usbkorv:/$2/" "$work/app-devices" | head -n 1)
  if [ -z "$uri" ]; then
    echo "demo: korvprint devices did not list a $2 printer" >&2
    exit 1
  fi
  echo "\$ korvprint add -d $1 -m $3 -v $uri"
  korvprint add -d "$1" -m "$3" -v "$uri"
}
echo
app_queue receipt tr3200ax tr3200ax_58
app_queue photo tr3000ax tr3000ax_80
# PAPPL counts a queue's up-time in whole seconds; IPP clients want it > 0.
sleep 1

samples/make-documents.sh "$work/docs" >/dev/null
echo
app_job() { # queue printer picture-name file
  paper=$work/paper/$2.bin
  before=$(stat -c %s "$paper" 2>/dev/null || echo 0)
  uri=ipp://localhost:$port/ipp/print/$1
  echo "\$ ipptool -t -f $4 $uri print-job-and-wait.test"
  ipptool -t -f "$work/docs/$4" "$uri" /usr/share/cups/ipptool/print-job-and-wait.test |
    grep -E '\[(PASS|FAIL)\]$' | sed 's/^ */  /'
  tail -c +$((before + 1)) "$paper" >"$work/app-$3.bin"
  if [ "$(od -An -tx1 -N1 "$work/app-$3.bin" 2>/dev/null | tr -d ' ')" != 02 ]; then
    echo "demo: the $3 job did not reach the $2; see $out/korvprint.log" >&2
    return 1
  fi
  # The start byte 0x02, then the receipt library's 24-bit BMP.
  tail -c +2 "$work/app-$3.bin" >"$out/app-$3.bmp"
  convert "$out/app-$3.bmp" "$out/app-$3.png"
  echo "$2 received $(wc -c <"$work/app-$3.bin") bytes from korvprint; the paper:" \
       "$out/app-$3.png ($(identify -format '%w x %h dots' "$out/app-$3.bmp"))"
}
app_job receipt tr3200ax receipt receipt.pdf || status=1
app_job photo tr3000ax photo photo.jpg || status=1
app_job photo tr3000ax screenshot screenshot.png || status=1
# The printer's page of the web interface, as a browser shows it.
if chromium --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
     --user-data-dir="$app/chromium" --window-size=1024,900 \
     --screenshot="$out/app-web.png" "http://localhost:$port/receipt" >/dev/null 2>&1; then
  echo "The queue's web page: $out/app-web.png"
fi
echo "korvprint's log: $out/korvprint.log"
kill -TERM "$app_pid" 2>/dev/null || true
wait "$app_pid" 2>/dev/null || true
app_pid=""
exit $status
