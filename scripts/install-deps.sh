#!/bin/sh
# Installs every build, test and run dependency from Debian's registry.
# Safe to run again; needs root (uses sudo when not root).
set -eu
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
PACKAGES="
  build-essential cmake ninja-build pkg-config git ca-certificates
  libgnutls28-dev gnutls-bin libmicrohttpd-dev libfmt-dev libjsmn-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcurl4-gnutls-dev curl
  libnss3-tools p11-kit libp11-kit-dev softhsm2
  libsofthsm2 libxml2-dev libtasn1-6-dev xmlsec1
  procps psmisc
  libsystemd-dev dbus-daemon
"
missing=""
for p in $PACKAGES; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  $SUDO apt-get update -qq
  # shellcheck disable=SC2086
  $SUDO apt-get install -y -qq --no-install-recommends $missing
fi
