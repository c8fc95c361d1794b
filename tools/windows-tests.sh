#!/usr/bin/env bash
# Builds the install engine and its Windows test program with MinGW-w64 and runs the tests
# under wine, in build-windows/ (wine's own folder, created on the first run, included).
# Needs the Debian packages g++-mingw-w64-x86-64-posix, wine64 and doctest-dev. Fails when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows"

cmake -S tests/windows -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/build" -j2

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# This script's own wine server goes when the script does, however it ends.
trap '"$wineserver" -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating wine's folder $WINEPREFIX"
  "$wine" wineboot -i >"$out/wineboot.log" 2>&1
fi

status=0
timeout 900 "$wine" "$out/build/engine_windows.exe" | tee "$out/engine_windows.log" || status=$?
if [ "$status" -ne 0 ] || ! grep -Eq '^\[doctest\] Status: SUCCESS!' "$out/engine_windows.log"; then
  echo "The Windows engine tests failed (status $status)" >&2
  exit 1
fi
