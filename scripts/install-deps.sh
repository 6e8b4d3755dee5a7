#!/bin/sh
# Installs every Debian package the build, the tests and the demo need, or the
# packages given as arguments (the ARM, packaging and fuzzing targets' own).
# Does nothing when all of them are present.
set -e
PKGS="g++ make cmake pkg-config libjsoncpp-dev libcurl4-openssl-dev libmodbus-dev \
libgtest-dev libgmock-dev libcpp-httplib-dev socat procps"
[ $# -gt 0 ] && PKGS="$*"
missing=""
for p in $PKGS; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing="$missing $p"
  fi
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends $missing
