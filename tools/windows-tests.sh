#!/usr/bin/env bash
# Builds with MinGW-w64 and runs under wine, in build-windows/ (wine's own folder, created on the
# first run, included): the tests over the Win32 platform and the engine's Windows file layer
# (tests/test_*.cpp, the same sources as on Linux, built in build-windows/tests, against servers on
# 127.0.0.1, under a Chinese locale so that the ANSI code page is 936; the window's tests over the
# real Win32 window, on a private X display); and MervoPublish.exe, compared with the Linux MervoPublish of build/ (or of the folder
# MERVO_LINUX_BUILD names), which must be built first.
# Needs the Debian packages g++-mingw-w64-x86-64-posix, libgcrypt-mingw-w64-dev, wine64,
# doctest-dev, locales, minisign, python3, xvfb and xauth. Fails when a test fails.
set -euo pipefail
cd "$(dirname "$0")/.."
out="$PWD/build-windows"
linux_publish="${MERVO_LINUX_BUILD:-$PWD/build}/MervoPublish"
[ -x "$linux_publish" ] || { echo "Build the Linux programs first: $linux_publish is missing" >&2; exit 1; }
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
toolchain=(-DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release "${launcher[@]}")

bash tools/windows-build.sh >/dev/null
publish_exe="$out/programs/MervoPublish.exe"
tests=(test_engine test_routines test_crypto test_transfer test_check test_trust test_update test_resume test_publish)
# The window's tests once more over the real Win32 window: the same cases, through its own controls.
real_window=(test_check test_trust test_update)
cmake -S . -B "$out/tests" "${toolchain[@]}" -DBUILD_TESTING=ON >/dev/null
cmake --build "$out/tests" -j2 --target "${tests[@]}" "${real_window[@]/%/_win32}"
# A Chinese Windows reads settings files in code page 936: wine takes it from the locale.
if [ ! -d "$out/locale/zh_CN.UTF-8" ]; then
  mkdir -p "$out/locale"
  localedef -i zh_CN -f UTF-8 "$out/locale/zh_CN.UTF-8"
fi

source tools/wine-env.sh "$out/wine"
# This script's own wine server and web server go when the script does, however it ends.
server_pid=""
trap '"$wineserver" -k 2>/dev/null || true; [ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null || true' EXIT
wine_setup

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# One doctest program under wine, bounded in time: its summary shown, SUCCESS required. The
# cases that sign run this machine's minisign through wine (tests/support/Files.cpp).
doctest_run() {
  local exe=$1 name=$(basename "$1" .exe)${2:-} status=0
  local log="$out/$name.log"
  LOCPATH="$out/locale" LC_ALL=zh_CN.UTF-8 MERVO_MINISIGN="$(command -v minisign)" timeout 300 "$wine" "$exe" \
    >"$log" 2>&1 || status=$?
  grep -E '^\[doctest\] (test cases|assertions):' "$log" | sed "s/^/$name: /"
  if [ "$status" -ne 0 ] || ! grep -Eq '^\[doctest\] Status: SUCCESS!' "$log"; then
    cat "$log" >&2
    fail "$name under wine (status $status)"
  fi
}
for test in "${tests[@]}"; do
  doctest_run "$out/tests/tests/$test.exe"
done
# The real window needs a display, and a wine server started with it: the one before ends first.
"$wineserver" -w
export out wine
xvfb-run -a -s "-screen 0 1024x768x24" \
  bash -c "$(declare -f doctest_run fail)"'; for test; do doctest_run "$out/tests/tests/win32/$test.exe" _win32; done' \
  _ "${real_window[@]}"

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
