#!/bin/sh
# Lays out a private CUPS scheduler in DIR with the programs and PPDs of a
# build, installed there by the build's own install rules:
#
#   tests/e2e/private-cups.sh DIR BUILD_DIR
#
# Then, as root:
#   cupsd -f -c DIR/conf/cupsd.conf -s DIR/conf/cups-files.conf
#   CUPS_SERVER=DIR/cups.sock lpstat -r
#
# The scheduler listens only on DIR/cups.sock and keeps its spool, logs
# (DIR/log/error_log), cache and state in DIR. Its children get
# LD_PRELOAD=$KORV_CUPS_PRELOAD and UMOCKDEV_DIR from cupsd's environment,
# so the backend reaches a virtual printer; KORV_TIME_DIVISOR and
# KORV_TIME_LOG reach the time shim.
set -eu

if [ $# -ne 2 ]; then
  echo "usage: $0 DIR BUILD_DIR" >&2
  exit 2
fi
dir=$1
build=$2

cache_value() {
  sed -n "s/^$1:[A-Z]*=//p" "$build/CMakeCache.txt"
}
backend_dir=$(cache_value KORV_BACKEND_DIR)
filter_dir=$(cache_value KORV_FILTER_DIR)
model_dir=$(cache_value KORV_MODEL_DIR)
if [ -z "$backend_dir" ] || [ -z "$filter_dir" ] || [ -z "$model_dir" ]; then
  echo "$0: $build is not a configured build of this project" >&2
  exit 2
fi
system_serverbin=$(cups-config --serverbin)
system_datadir=$(cups-config --datadir)

mkdir -p "$dir"
# The filters run as lp and must reach the PPDs and their own programs.
chmod 0755 "$dir"
stage=$dir/stage
DESTDIR=$stage cmake --install "$build" --prefix /usr >/dev/null

# The scheduler finds backends and filters as ServerBin/backend and
# ServerBin/filter.
serverbin=$stage$(dirname "$backend_dir")
if [ "$stage$filter_dir" != "$serverbin/filter" ]; then
  mkdir -p "$serverbin/filter"
  for program in korvbmpthreshold rastertokorv; do
    ln -sf "$stage$filter_dir/$program" "$serverbin/filter/$program"
  done
fi

# Every backend, filter and cups-deviced starts through daemon/cups-exec
# (cups-exec [-g GID] [-n NICE] [-u UID] PROFILE PROGRAM ARGV0 ...). cupsd
# removes LD_* from their environment, so this cups-exec puts the preload
# back from a variable of its own, for the backends and for cups-deviced
# (which runs them) only: the filters, which run as lp, need neither the
# virtual USB devices nor the time shim.
mkdir -p "$serverbin/daemon"
cat >"$serverbin/daemon/cups-exec" <<EOF
#!/bin/sh
program=
skip=
unset profile
for arg; do
  if [ -n "\$skip" ]; then
    skip=
    continue
  fi
  case \$arg in
    -g|-n|-u) skip=value ;;
    *) if [ -z "\${profile+set}" ]; then profile=\$arg; else program=\$arg; break; fi ;;
  esac
done
case \$program in
  */backend/*|*/daemon/cups-deviced)
    if [ -n "\${KORV_CUPS_PRELOAD:-}" ]; then
      LD_PRELOAD=\$KORV_CUPS_PRELOAD
      export LD_PRELOAD
    fi ;;
esac
exec $system_serverbin/daemon/cups-exec "\$@"
EOF
chmod 0755 "$serverbin/daemon/cups-exec"
# cups-deviced runs the backends for lpinfo -v; cups-driverd lists and
# copies the PPDs for lpinfo -m and lpadmin -m.
ln -sf "$system_serverbin/daemon/cups-deviced" "$serverbin/daemon/cups-deviced"
ln -sf "$system_serverbin/daemon/cups-driverd" "$serverbin/daemon/cups-driverd"
# cups-driverd also asks the driver programs, of which there are none.
mkdir -p "$serverbin/driver"

# The standard filters (cups-filters, ghostscript) that render PDF,
# images and text to CUPS raster for the raster path: every filter of the
# system beside the project's own.
for program in "$system_serverbin"/filter/*; do
  name=$(basename "$program")
  if [ ! -e "$serverbin/filter/$name" ]; then
    ln -s "$program" "$serverbin/filter/$name"
  fi
done

# Data: the system's file types and conversions (their filters are all
# there) but raw printing of untyped files, which would hand a receipt
# printer arbitrary bytes for its image; the data those filters read
# (charsets, ...), no banners, and the installed PPDs as the only models.
data=$dir/data
mkdir -p "$data/mime" "$data/banners" "$data/model"
cp "$system_datadir"/mime/*.types "$system_datadir"/mime/*.convs "$data/mime/"
sed -i '/^application\/octet-stream[[:space:]]/d' "$data/mime/mime.convs"
for entry in "$system_datadir"/*; do
  case $(basename "$entry") in
    mime|banners|model) ;;
    *) ln -sfn "$entry" "$data/$(basename "$entry")" ;;
  esac
done
ln -sfn "$stage$model_dir" "$data/model/$(basename "$model_dir")"

mkdir -p "$dir/conf" "$dir/spool/tmp" "$dir/cache" "$dir/state" "$dir/log"

cat >"$dir/conf/cups-files.conf" <<EOF
ServerRoot $dir/conf
ServerBin $serverbin
DataDir $data
RequestRoot $dir/spool
TempDir $dir/spool/tmp
CacheDir $dir/cache
StateDir $dir/state
ErrorLog $dir/log/error_log
AccessLog $dir/log/access_log
PageLog $dir/log/page_log
Printcap $dir/printcap
User lp
Group lp
FileDevice No
PassEnv UMOCKDEV_DIR KORV_CUPS_PRELOAD KORV_TIME_DIVISOR KORV_TIME_LOG
PassEnv ASAN_OPTIONS UBSAN_OPTIONS LSAN_OPTIONS TSAN_OPTIONS
EOF

cat >"$dir/conf/cupsd.conf" <<EOF
Listen $dir/cups.sock
LogLevel debug
MaxLogSize 0
Browsing No
WebInterface No
ErrorPolicy abort-job
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Policy default>
  JobPrivateAccess all
  JobPrivateValues none
  SubscriptionPrivateAccess all
  SubscriptionPrivateValues none
  <Limit All>
    Order allow,deny
    Allow all
  </Limit>
</Policy>
EOF
