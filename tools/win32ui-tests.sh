#!/usr/bin/env bash
# Builds the Win32 window's controls with their resources and a test program that drives
# them, with MinGW-w64, and runs it under wine on a private X display, in build-windows/ui/.
# Needs g++-mingw-w64-x86-64-posix, wine64, xvfb and xauth. Fails when a check fails.
#   --screenshot  instead takes docs/offer-windows.png: the window with an update offered
#                 (needs imagemagick too)
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows/ui"
mkdir -p "$out"

res=src/platform/win32/resources
x86_64-w64-mingw32-windres -c 65001 -I "$res" "$res/MervoUpdate.rc" -O coff -o "$out/MervoUpdate.res.o"
x86_64-w64-mingw32-g++-posix -std=c++17 -municode -O2 -Wall -Wextra -Isrc -o "$out/window_win32.exe" \
  tests/window_win32.cpp src/platform/win32/Window.cpp src/platform/win32/Runtime.cpp \
  src/platform/win32/Events.cpp src/platform/win32/Text.cpp "$out/MervoUpdate.res.o" \
  -static -static-libgcc -static-libstdc++ -mwindows -lcomctl32 -lgdi32

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
trap '"$wineserver" -k 2>/dev/null || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "Creating wine's folder $WINEPREFIX"
  "$wine" wineboot -i >"$out/wineboot.log" 2>&1
  # Without a window manager wine waits 2 s for each window it hides, unless it manages none.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
  # The Chinese texts in the system's CJK font: the dialog font and the message boxes' font.
  for face in 宋体 SimSun Tahoma "MS Shell Dlg" "MS Shell Dlg 2"; do
    "$wine" reg add 'HKCU\Software\Wine\Fonts\Replacements' /v "$face" /d "WenQuanYi Micro Hei" /f >/dev/null 2>&1
  done
  "$wineserver" -w
fi

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
# On the display xvfb-run made: the window's picture, cut from the screen by the place it reports.
if [ "${1:-}" = --screenshot ]; then
  "$wine" reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d 96 /f >/dev/null 2>&1
  # A wine server started without the display would keep the window off it.
  "$wineserver" -w
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    "$0" "$1" --offer >"$2" & pid=$!
    for _ in $(seq 300); do grep -q "^window" "$2" && break; sleep 0.2; done
    sleep 1  # the first paint
    import -window root -crop "$(sed -n "s/^window //p" "$2")" +repage docs/offer-windows.png
    kill $pid' "$wine" "$out/window_win32.exe" "$out/offer.log"
  echo "docs/offer-windows.png written"
  exit 0
fi
run 96
run 144
