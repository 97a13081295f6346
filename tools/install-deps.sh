#!/bin/sh
# Installs the Debian packages that building and testing Qel need, when they
# are missing. As root it runs apt-get; otherwise it prints the command to
# run and stops with status 1. Add a package here when the project starts to
# need it; nothing is ever downloaded at build time.
#   build:  make cmake ninja-build g++ python3, libssl-dev (libcrypto: digests),
#           libcurl4-openssl-dev (HTTP and HTTPS), libpng-dev libjpeg62-turbo-dev
#           libgif-dev libtiff-dev (image files)
#   tests:  libgtest-dev (GoogleTest), tzdata (time-zone tests), zlib1g-dev
#           (the reference DEFLATE codec the compression tests compare with)
PKGS="make cmake ninja-build g++ python3 libssl-dev libcurl4-openssl-dev libpng-dev libjpeg62-turbo-dev libgif-dev libtiff-dev libgtest-dev tzdata zlib1g-dev"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
else
  echo "missing Debian packages:$missing"
  echo "run as root: apt-get install -y$missing"
  exit 1
fi
