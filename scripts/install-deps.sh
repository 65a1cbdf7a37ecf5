#!/bin/sh
# Installs every Debian 12 package that the build, the tests, the
# benchmarks and the demo need. Safe to run again: it does nothing when
# everything is already there.
set -eu

PACKAGES="
  build-essential cmake pkg-config
  libusb-dev libcups2-dev
  cups cups-client cups-ppdc
  umockdev libumockdev-dev
  libgtest-dev googletest
  clang libclang-rt-14-dev
  imagemagick netpbm
  util-linux
  cups-filters ghostscript fonts-dejavu-core
  zbar-tools qrencode barcode
  lintian
  libpappl-dev libpng-dev libjpeg-dev libpam0g-dev poppler-utils cups-ipp-utils chromium iproute2 curl
"

missing=""
for p in $PACKAGES; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done

if [ -z "$missing" ]; then
  echo "install-deps: all packages present"
  exit 0
fi

echo "install-deps: installing$missing"
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
$SUDO apt-get update
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends $missing
