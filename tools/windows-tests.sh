#!/usr/bin/env bash
# Builds the install engine and its Windows test program, and MervoPublish.exe, with MinGW-w64
# and runs them under wine, in build-windows/ (wine's own folder, created on the first run,
# included). MervoPublish.exe is compared with the Linux MervoPublish of build/ (or of the
# folder MERVO_LINUX_BUILD names), which must be built first.
# Needs the Debian packages g++-mingw-w64-x86-64-posix, libgcrypt-mingw-w64-dev, wine64,
# doctest-dev, minisign and python3. Fails when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows"
linux_publish="${MERVO_LINUX_BUILD:-$PWD/build}/MervoPublish"
[ -x "$linux_publish" ] || { echo "Build the Linux programs first: $linux_publish is missing" >&2; exit 1; }

cmake -S tests/windows -B "$out/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$out/build" -j2
bash tools/windows-build.sh >/dev/null
cmake --build "$out/programs" -j2 --target platform_windows >/dev/null
publish_exe="$out/programs/MervoPublish.exe"

wine=$(command -v wine64 || true)
[ -n "$wine" ] || wine=/usr/lib/wine/wine64
wineserver=$(command -v wineserver || true)
[ -n "$wineserver" ] || wineserver=/usr/lib/wine/wineserver
export WINEPREFIX="$out/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# This script's own wine server and web server go when the script does, however it ends.
server_pid=""
trap '"$wineserver" -k 2>/dev/null || true; [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true' EXIT
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

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Only Windows' own DLLs may be imported: the programs ship alone.
for exe in "$publish_exe" "$out/programs/MervoUpdate.exe"; do
  imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z' | sort | tr '\n' ' ')
  for dll in $imports; do
    case $dll in
      advapi32.dll|comctl32.dll|gdi32.dll|kernel32.dll|msvcrt.dll|ole32.dll|oleaut32.dll|shell32.dll|user32.dll) ;;
      rstrtmgr.dll|wininet.dll|ws2_32.dll) ;;
      *) fail "$(basename "$exe") imports $dll" ;;
    esac
  done
done

# The Win32 platform's services; the transfer control against a scripted server on 127.0.0.1.
coproc inet_server { exec python3 -u tests/windows/platform_server.py; }
server_pid=$inet_server_PID
read -r -t 20 inet_port <&"${inet_server[0]}" || fail "the scripted server did not start"
timeout 120 "$wine" "$out/programs/platform_windows.exe" "http://127.0.0.1:$inet_port" || fail "the Win32 platform's tests"
kill "$server_pid"
wait "$server_pid" 2>/dev/null || true

# A release with a Chinese name in a subfolder, made into a list by both programs from folders
# of the same name: the lists must be the same bytes, and the output the same apart from the time.
work="$out/publish-test"
rm -rf "$work"
mkdir -p "$work/linux/rel/sub" "$work/windows" "$work/served"
printf 'hello\n' >"$work/linux/rel/Mervo.exe"
printf '数据\n' >"$work/linux/rel/sub/中文 文件.txt"
head -c 300000 /dev/zero | tr '\0' 'm' >"$work/linux/rel/big.dat"
printf '[Mervo]\n版本=2.0\n' >"$work/linux/rel/setup.ini"
printf '第一条\n第二条\n' >"$work/notes.txt"
cp -r "$work/linux/rel" "$work/windows/rel"
make_args=(make --version 2.0 --run-app Mervo.exe --notes ../notes.txt rel)
(cd "$work/linux" && "$linux_publish" "${make_args[@]}" >out.txt) || fail "MervoPublish make failed"
(cd "$work/windows" && "$wine" "$publish_exe" "${make_args[@]}" >out.txt) || fail "MervoPublish.exe make failed"
cmp "$work/linux/rel/UpdList.xml" "$work/windows/rel/UpdList.xml" || fail "the two programs made different lists"
untimed() { sed -E 's/timestamp:[0-9]+/timestamp:T/' "$1"; }
diff <(untimed "$work/linux/out.txt") <(untimed "$work/windows/out.txt") || fail "the two programs printed different text"

# Served from 127.0.0.1: the release signed, the same with one file changed, and with its list changed.
minisign -G -W -p "$work/key.pub" -s "$work/key.sec" >/dev/null
minisign -S -s "$work/key.sec" -t "timestamp:$(date +%s) file:UpdList.xml" -m "$work/linux/rel/UpdList.xml" >/dev/null
cp -r "$work/linux/rel" "$work/served/good"
cp -r "$work/linux/rel" "$work/served/changed-file"
printf 'M' | dd of="$work/served/changed-file/big.dat" bs=1 seek=1000 conv=notrunc 2>/dev/null
cp -r "$work/linux/rel" "$work/served/changed-list"
sed -i 's/第一条/第一条!/' "$work/served/changed-list/UpdList.xml"
coproc server { exec python3 -u -m http.server -b 127.0.0.1 0 -d "$work/served" 2>"$work/server.log"; }
server_pid=$server_PID
read -r -t 20 banner <&"${server[0]}" || fail "the test server did not start"
port=$(sed -nE 's/.* port ([0-9]+) .*/\1/p' <<<"$banner")
key=$(tail -n 1 "$work/key.pub")
check() {
  local expected=$1 folder=$2 status=0
  "$wine" "$publish_exe" check --public-key "$key" "http://127.0.0.1:$port/$folder/" >"$work/check-$folder.txt" 2>&1 || status=$?
  [ "$status" -eq "$expected" ] || { cat "$work/check-$folder.txt" >&2; fail "MervoPublish.exe check $folder: status $status, not $expected"; }
}
check 0 good
check 1 changed-file
grep -q '^MISMATCH big.dat' "$work/check-changed-file.txt" || fail "the changed file was not named"
check 1 changed-list
grep -q '签名与更新列表内容不符' "$work/check-changed-list.txt" || fail "the changed list was not refused by its signature"
echo "MervoPublish.exe: the same list as on Linux, a good release passes, a changed file and a changed list fail"
