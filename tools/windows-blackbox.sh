#!/usr/bin/env bash
# MervoUpdate.exe under wine, started as a user starts it, against releases served from
# 127.0.0.1 and driven from outside through its window by tests/windows/drive_updater.cpp:
# up to date, offer, whole update, failed download, a file held open, a signed list, and a
# release of the updater itself. (A tampered list is refused in the window's tests over the real
# window, test_trust.)
# Needs the Linux build in build/ (MervoPublish), minisign, python3, wine64, xvfb and xauth.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x build/MervoPublish ] || { echo "Build the Linux programs first: build/MervoPublish is missing" >&2; exit 1; }
out="$PWD/build-windows/blackbox"
rm -rf "$out/server" "$out/cases" "$out/keys"
mkdir -p "$out/server" "$out/keys"

bash tools/windows-build.sh >/dev/null
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Isrc -s -o "$out/drive_updater.exe" \
  tests/windows/drive_updater.cpp -static -static-libgcc -static-libstdc++ -lcomctl32

# A release of the program: its files, published with MervoPublish. 完成 starts mervo.exe, so
# the new one is a program (the driver, which exits at once without arguments).
release() {
  local dir="$out/server/$1/mrvo" version=$2
  mkdir -p "$dir/data"
  printf '[Mervo]\r\n版本=%s\r\n' "$version" >"$dir/setup.ini"
  if [ "$version" = 1.0 ]; then
    printf 'Mervo 1.0\r\n' >"$dir/mervo.exe"
    printf 'Mervo 1.0 data: old readme.\n' >"$dir/data/readme.txt"
  else
    cp "$out/drive_updater.exe" "$dir/mervo.exe"
    printf 'Mervo %s data: new readme.\n' "$version" >"$dir/data/readme.txt"
    mkdir -p "$dir/sub"
    head -c 300000 /dev/urandom >"$dir/sub/data.dat"
  fi
  # The updater's own exe, a newer build: bytes past its end leave it a program that runs.
  [ "$1" != self ] || { cat build-windows/programs/MervoUpdate.exe && echo "a newer build"; } >"$dir/MervoUpdate.exe"
  build/MervoPublish make --version "$version" --run-app mervo.exe "$dir" >/dev/null
}
release same 1.0
for name in rel bad signed self; do release "$name" 1.1; done
# Signed after the build: the exe refuses lists signed before its build time.
minisign -G -W -p "$out/keys/test.pub" -s "$out/keys/test.key" >/dev/null
minisign -S -s "$out/keys/test.key" -m "$out/server/signed/mrvo/UpdList.xml" >/dev/null

# Files as a plain server does, but HTTP 500 for the new file of release "bad".
cat >"$out/server.py" <<'PY'
import functools, http.server, sys
class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
    def send_head(self):
        if self.path.startswith("/bad/") and "data.dat" in self.path:
            self.send_error(500)
            return None
        return super().send_head()
server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), functools.partial(Handler, directory=sys.argv[1]))
print(server.server_address[1], flush=True)
server.serve_forever()
PY
python3 -u "$out/server.py" "$out/server" >"$out/server.port" 2>"$out/server.log" &
server=$!

source tools/wine-env.sh "$out/wine"
trap 'kill $server 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
wine_setup
for _ in $(seq 50); do [ -s "$out/server.port" ] && break; sleep 0.1; done
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

cd "$out"
status=0
timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" "$wine" drive_updater.exe \
  ../programs/MervoUpdate.exe "http://127.0.0.1:$(cat server.port)/" server cases \
  "$(sed -n 2p keys/test.pub)" | tee drive_updater.log || status=$?
if [ "$status" -ne 0 ] || ! tail -n 1 drive_updater.log | grep -Eq '^[0-9]+ passed, 0 failed\s*$'; then
  echo "The black-box tests of MervoUpdate.exe failed (status $status)" >&2
  exit 1
fi
