#!/bin/sh
# Installs the Debian packages the build and the tests need, when missing.
# As root it runs apt-get; otherwise it prints the command and stops.
PKGS="cmake ninja-build g++ libgtest-dev python3"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  apt-get update -q && DEBIAN_FRONTEND=noninteractive apt-get install -y -q $missing
else
  echo "missing packages:$missing"
  echo "run: sudo apt-get install -y$missing"
  exit 1
fi
