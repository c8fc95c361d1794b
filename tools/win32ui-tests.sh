#!/usr/bin/env bash
# Builds the Win32 window's controls with their resources and a test program that drives
# them, with MinGW-w64, and runs it under wine on a private X display, in build-windows/ui/.
# Needs g++-mingw-w64-x86-64-posix, wine64, xvfb and xauth. Fails when a check fails.
#   --screenshot  instead takes docs/offer-windows.png: MervoUpdate.exe with an update offered
#                 (needs imagemagick, python3 and the Linux build in build/)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows/ui"
mkdir -p "$out"

res=src/platform/win32/resources
# The version the resource gives does not matter here.
x86_64-w64-mingw32-windres -c 65001 -I "$res" -DMERVO_VERSION_NUMBERS=0,0,0,0 -DMERVO_VERSION_DOTTED=0.0.0.0 \
  "$res/MervoUpdate.rc" -O coff -o "$out/MervoUpdate.res.o"
x86_64-w64-mingw32-g++-posix -std=c++17 -municode -O2 -Wall -Wextra -Isrc -o "$out/window_win32.exe" \
  tests/window_win32.cpp src/platform/win32/Window.cpp src/platform/win32/Runtime.cpp src/platform/common/Runtime.cpp \
  src/platform/win32/Events.cpp src/platform/win32/Text.cpp "$out/MervoUpdate.res.o" \
  -static -static-libgcc -static-libstdc++ -mwindows -lcomctl32 -lgdi32

source tools/wine-env.sh "$out/wine"
trap '"$wineserver" -k 2>/dev/null || true' EXIT
wine_setup

# Once at the standard scale and once at 150 %, where twips no longer make whole pixels.
run() {
  local dpi=$1 status=0
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$dpi" /f >/dev/null 2>&1
  "$wineserver" -w
  timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" "$wine" "$out/window_win32.exe" | tee "$out/window_win32.log" \
    || status=$?
  if [ "$status" -ne 0 ] || ! tail -n 1 "$out/window_win32.log" | grep -Eq '^[0-9]+ passed, 0 failed\s*$'; then
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
run 96
run 144
