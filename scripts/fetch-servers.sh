#!/bin/sh
# Unpacks ProFTPD (with mod_tls) and Pure-FTPd into build/servers/ for the end-to-end tests,
# and installs the libraries they link. Debian lets only one FTP server package be installed
# (vsftpd is), so these are never installed, only fetched and unpacked; does nothing when done.
set -e
top=$(cd "$(dirname "$0")/.." && pwd)
dest="$top/build/servers"
arch=$(dpkg --print-architecture)
unpacked() {
  [ -x "$dest/proftpd/usr/sbin/proftpd" ] && [ -e "$dest/proftpd/usr/lib/proftpd/mod_tls.so" ] &&
    [ -x "$dest/pure-ftpd/usr/sbin/pure-ftpd" ] && [ -x "$dest/pure-ftpd/usr/bin/pure-pw" ]
}
linked() {
  ! ldd "$dest/proftpd/usr/sbin/proftpd" "$dest/proftpd/usr/lib/proftpd/mod_tls.so" \
    "$dest/pure-ftpd/usr/sbin/pure-ftpd" "$dest/pure-ftpd/usr/bin/pure-pw" 2>&1 | grep -q "not found"
}
if unpacked && linked; then
  exit 0
fi
debs="$dest/debs"
mkdir -p "$debs"
fetched() {
  for package in proftpd-core proftpd-mod-crypto pure-ftpd; do
    [ -n "$(ls "$debs"/${package}_*.deb 2>/dev/null)" ] || return 1
  done
}
if ! fetched; then
  echo "fetching proftpd-core, proftpd-mod-crypto and pure-ftpd into $debs"
  # As root into a root-owned folder: apt warns that its download user cannot write there.
  (cd "$debs" && apt-get download proftpd-core proftpd-mod-crypto pure-ftpd 2>/dev/null) ||
    (apt-get update && cd "$debs" && apt-get download proftpd-core proftpd-mod-crypto pure-ftpd 2>/dev/null)
  fetched || { echo "apt-get download of the FTP servers failed" >&2; exit 1; }
  rm -rf "$dest/proftpd" "$dest/pure-ftpd"
fi
if ! unpacked; then
  rm -rf "$dest/proftpd" "$dest/pure-ftpd"
  dpkg -x "$debs"/proftpd-core_*.deb "$dest/proftpd"
  dpkg -x "$debs"/proftpd-mod-crypto_*.deb "$dest/proftpd"
  dpkg -x "$debs"/pure-ftpd_*.deb "$dest/pure-ftpd"
fi
# Only the libraries among their dependencies: the rest (init scripts, inetd, adduser) would
# configure a system server.
libraries=$(for deb in "$debs"/*.deb; do dpkg-deb -f "$deb" Depends; done | tr ',' '\n' |
  sed 's/([^)]*)//g; s/|.*//; s/ //g' | grep -E '^(lib|zlib)' | grep -v '^libpam-runtime$' | sort -u)
missing=""
for library in $libraries; do
  dpkg-query -W -f='${db:Status-Abbrev}' "$library:$arch" 2>/dev/null | grep -q '^ii' || missing="$missing $library"
done
if [ -n "$missing" ]; then
  echo "installing:$missing"
  DEBIAN_FRONTEND=noninteractive apt-get install -y $missing
fi
linked || { echo "the unpacked FTP servers still miss libraries:" >&2; ldd "$dest"/*/usr/sbin/* | grep "not found" >&2; exit 1; }
