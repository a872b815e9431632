#!/bin/sh
# Names the Windows build the tests run: the 32-bit exe that ships, or, where this machine's
# kernel cannot execute 32-bit code (Wine's own loader then fails with "Exec format error"),
# the 64-bit build of the same sources, so that the Windows code is still run.
if /usr/lib/wine/wine --version >/dev/null 2>&1; then
  echo build-win32
else
  echo build-win64
fi
