#!/bin/sh
# Installs what `make test` and `make demo` need on a fresh Debian machine; does nothing when all is there.
set -e
missing=""
command -v cmake >/dev/null 2>&1 || missing="$missing cmake"
command -v i686-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-i686-posix"
command -v wine >/dev/null 2>&1 || missing="$missing wine"
dpkg -s wine32:i386 >/dev/null 2>&1 || missing="$missing wine32:i386"
# Some kernels cannot execute 32-bit code; the Windows tests then run a 64-bit build.
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || missing="$missing g++-mingw-w64-x86-64-posix"
[ -x /usr/lib/wine/wine64 ] || missing="$missing wine64"
/usr/bin/python3 -c 'import pytest' >/dev/null 2>&1 || missing="$missing python3-pytest"
/usr/bin/python3 -c 'import xdist' >/dev/null 2>&1 || missing="$missing python3-pytest-xdist"
/usr/bin/python3 -c 'import pyftpdlib' >/dev/null 2>&1 || missing="$missing python3-pyftpdlib"
[ -x /usr/sbin/vsftpd ] || missing="$missing vsftpd"
[ -e /usr/src/googletest/CMakeLists.txt ] || missing="$missing googletest"
[ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing="$missing libgtest-dev"
[ -e /usr/include/openssl/ssl.h ] || missing="$missing libssl-dev"
command -v openssl >/dev/null 2>&1 || missing="$missing openssl"
/usr/bin/python3 -c 'import OpenSSL' >/dev/null 2>&1 || missing="$missing python3-openssl"
if [ -z "$missing" ]; then
  exec sh "$(dirname "$0")/fetch-servers.sh"
fi
echo "installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
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
DEBIAN_FRONTEND=noninteractive apt-get install -y $missing ||
  DEBIAN_FRONTEND=noninteractive apt-get install -y -t "$(. /etc/os-release && echo "$VERSION_CODENAME")" $missing
sh "$(dirname "$0")/fetch-servers.sh"
