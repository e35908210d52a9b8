#!/bin/sh
# Installs the Debian packages the project builds and tests with, when any is
# missing, and those that optional targets name in RH_EXTRA_PKGS. Idempotent:
# does nothing (and needs no privileges) when all are there.
set -e
# RH_DEPS=build: only what building and installing needs (no test or
# benchmark libraries, no tools the tests run).
PKGS="g++ cmake make pkg-config libflac++-dev libtinyxml-dev libssl-dev"
if [ "${RH_DEPS:-all}" != build ]; then
  PKGS="$PKGS libgtest-dev libgmock-dev libbenchmark-dev sox flac"
fi
PKGS="$PKGS ${RH_EXTRA_PKGS:-}"
missing=""
for p in $PKGS; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "Installing:$missing"
if [ "$(id -u)" = 0 ]; then SUDO=""; else SUDO="sudo"; fi
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q $missing
