#!/usr/bin/env bash
# The updater's Win32 window as a program outside sees it (tests/window_win32.cpp, in the window's
# tests over the real window, built with MinGW-w64 in build-windows/tests), run under wine on a
# private X display at two scales, in build-windows/ui/.
# Needs g++-mingw-w64-x86-64-posix, libgcrypt-mingw-w64-dev, doctest-dev, wine64, xvfb and xauth.
# Fails when a check fails.
#   --screenshot  instead takes docs/offer-windows.png: MervoUpdate.exe with an update offered
#                 (needs imagemagick, python3 and the Linux build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows/ui"
mkdir -p "$out"

source tools/wine-env.sh "$out/wine"
trap '"$wineserver" -k 2>/dev/null || true' EXIT
wine_setup

# Once at the standard scale and once at 150 %, where twips no longer make whole pixels.
run() {
  local dpi=$1 status=0
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  "$wineserver" -w
  timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" "$wine" build-windows/tests/tests/win32/test_check.exe \
    --test-suite="win32 window" >"$out/window_win32.log" 2>&1 || status=$?
  grep -E '^\[doctest\] (test cases|assertions):' "$out/window_win32.log" | sed "s/^/$dpi dpi: /"
  if [ "$status" -ne 0 ] || ! grep -Eq '^\[doctest\] Status: SUCCESS!' "$out/window_win32.log"; then
    cat "$out/window_win32.log" >&2
    echo "The Win32 window tests failed at $dpi dpi (status $status)" >&2
    exit 1
  fi
}
# The picture: MervoUpdate.exe, as a user starts it, offering release 1.1 (published by the
# Linux MervoPublish of build/) from a server on this machine.
if [ "${1:-}" = --screenshot ]; then
  [ -x build/MervoPublish ] || { echo "Build the Linux programs first: build/MervoPublish is missing" >&2; exit 1; }
  bash tools/windows-build.sh >/dev/null
  rel="$out/offer"
  rm -rf "$rel"
  mkdir -p "$rel/server/mrvo/data" "$rel/app/data"
  printf 'Mervo 1.1\r\n' >"$rel/server/mrvo/mervo.exe"
  printf '[Mervo]\r\n版本=1.1\r\n' >"$rel/server/mrvo/setup.ini"
  printf 'Mervo 1.1 data: new readme.\n' >"$rel/server/mrvo/data/readme.txt"
  printf '%s\n' "1. 新增：启动时显示当前版本号。" "2. 修正：数据目录中的说明文件内容过旧。" \
    "3. 改进：配置文件记录新的版本号 1.1。" >"$rel/notes.txt"
  build/MervoPublish make --version 1.1 --run-app mervo.exe --notes "$rel/notes.txt" "$rel/server/mrvo" >/dev/null
  cp build-windows/programs/MervoUpdate.exe "$rel/app/"
  printf 'Mervo 1.0\r\n' >"$rel/app/mervo.exe"
  printf '[Mervo]\r\n版本=1.0\r\n' >"$rel/app/setup.ini"
  python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$rel/server" >"$rel/server.log" 2>&1 &
  server=$!
  trap 'kill $server 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
  for _ in $(seq 50); do grep -q 'port [0-9]' "$rel/server.log" && break; sleep 0.1; done
  unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY
  export MERVO_UPDATE_URL="http://127.0.0.1:$(sed -n 's/.* port \([0-9]*\).*/\1/p' "$rel/server.log")/mrvo/"
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
  # A wine server started without the display would keep the window off it.
  "$wineserver" -w
  mkdir -p docs
  timeout 120 xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$0" "$1" & pid=$!
    for _ in $(seq 100); do grep -q "服务器提供版本" "$2" 2>/dev/null && break; sleep 0.2; done
    sleep 2  # the files probed and the window painted
    # The window alone on the black screen: trimming the screen leaves the window.
    import -window root -trim +repage docs/offer-windows.png
    kill $pid' "$wine" "$rel/app/MervoUpdate.exe" "$rel/app/MervoUpdate.log"
  echo "docs/offer-windows.png written"
  exit 0
fi
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S . -B build-windows/tests -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=ON "${launcher[@]}" >/dev/null
cmake --build build-windows/tests -j2 --target test_check_win32 >/dev/null

run 96
run 144
