#!/bin/sh
# Installs what `make test` needs on a fresh Debian machine, or with `demo` only what `make demo`
# needs (a compiler, CMake, OpenSSL's headers, pyftpdlib); does nothing when all is there.
set -e
mode=${1:-test}
missing=""
command -v g++ >/dev/null 2>&1 || missing="$missing g++"
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
[ -e /usr/include/openssl/ssl.h ] || missing="$missing libssl-dev"
/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1 || missing="$missing python3-pyftpdlib"
if [ "$mode" = test ]; then
  command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-i686-posix"
  command -v wine >/dev/null 2>&1 || missing="$missing wine"
  dpkg -s wine32:i386 >/dev/null 2>&1 || missing="$missing wine32:i386"
  # Some kernels cannot execute 32-bit code; the Windows tests then run a 64-bit build.
  command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-x86-64-posix"
  [ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
  /usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || missing="$missing python3-pytest"
  /usr/bin/python3 -c 'import xdist' >/dev/null 2>&1 || missing="$missing python3-pytest-xdist"
  [ -x /usr/sbin/vsftpd ] || missing="$missing vsftpd"
  [ -e /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
  [ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing="$missing libgtest-dev"
  command -v openssl >/dev/null 2>&1 || missing="$missing openssl"
  /usr/bin/python3 -c 'import OpenSSL' >/dev/null 2>&1 || missing="$missing python3-openssl"
fi
servers() {
  [ "$mode" = test ] || return 0
  sh "$(dirname "$0")/fetch-servers.sh"
}
if [ -z "$missing" ]; then
  servers
  exit 0
fi
echo "installing:$missing"
if [ "$mode" = test ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
# A mirror in the middle of a sync fails one index now and then; a later try usually finds it
# whole, and an index that stays stale still lets the install go on.
for try in 1 2 3; do
  apt-get update && break
  sleep 5
done
# When one architecture's index of the security suite could not be fetched, the two
# architectures of a library stand at different versions and apt finds no plan; the
# release's own versions are one that both have.
# The demo needs none of what its packages only recommend.
lean=""
[ "$mode" = test ] || lean="--no-install-recommends"
DEBIAN_FRONTEND=noninteractive apt-get install -y $lean $missing ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y $lean -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" $missing
servers
