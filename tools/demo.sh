#!/usr/bin/env bash
# Builds the updater and runs it against a demo release served from this machine:
# the program folder demo/run/app starts at version 1.0, the server offers 1.1,
# published with MervoPublish and signed with minisign under a key made for the demo.
# With a display the window waits for your clicks; without one the real window runs
# offscreen and goes through the whole update by itself, saving pictures of it.
# --windows: the same release with MervoUpdate.exe, cross-built, under wine in a private
# prefix (needs the packages of the README's Windows tests); without a display it runs on a
# private X display, driven from outside through its window.
# Run from the repository root. Every run lays demo/run out anew.
set -euo pipefail
cd "$(dirname "$0")/.."
windows=false
[ "${1:-}" != --windows ] || windows=true

cmake -S . -B build-demo -DBUILD_TESTING=OFF >/dev/null
if $windows; then
  cmake --build build-demo -j2 --target MervoPublish
  # No key built in: the demo's key comes from the environment, as in the Linux demo.
  bash tools/windows-build.sh -DMERVO_PUBLIC_KEY= >/dev/null
  mkdir -p build-windows/demo
  x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -Wall -Wextra -Isrc -s -o build-windows/demo/demo_windows.exe \
    tools/demo_windows.cpp -static -static-libgcc -static-libstdc++ -lcomctl32
else
  cmake --build build-demo -j2 --target MervoUpdate MervoPublish mervo_driver
fi

run=demo/run
rm -rf "$run"
mkdir -p "$run/server/mrvo/data" "$run/app/data"

# A stand-in main program: it logs which version started and, on a desktop, shows it.
main_program() {
  cat <<EOF
#!/bin/sh
cd "\$(dirname "\$0")"
echo "\$(date '+%F %T') Mervo $1 started" >> mervo.log
if [ -n "\${DISPLAY:-}" ] && command -v xmessage >/dev/null 2>&1; then
  exec xmessage -center "Mervo $1 started" 2>/dev/null
fi
EOF
}
# On Windows a batch file, which the updater's CreateProcessW hands to cmd.
main_program_cmd() {
  printf '@echo off\r\ncd /d "%%~dp0"\r\necho %%date%% %%time%% Mervo %s started>>mervo.log\r\n' "$1"
}
runapp=mervo
updater=build-demo/MervoUpdate
if $windows; then
  runapp=mervo.cmd
  updater=build-windows/programs/MervoUpdate.exe
fi

# The release on the server (version 1.1), published and signed as a publisher would.
srv=$run/server/mrvo
if $windows; then main_program_cmd 1.1; else main_program 1.1; fi > "$srv/$runapp"
chmod +x "$srv/$runapp"
printf '[Mervo]\n版本=1.1\n' > "$srv/setup.ini"
printf 'Mervo 1.1 data: new readme.\n' > "$srv/data/readme.txt"
printf '%s\n' "1. 新增：启动时显示当前版本号。" "2. 修正：数据目录中的说明文件内容过旧。" \
  "3. 改进：配置文件记录新的版本号 1.1。" > "$run/notes.txt"
echo "== Publishing version 1.1"
build-demo/MervoPublish make --version 1.1 --run-app "$runapp" --notes "$run/notes.txt" "$srv"
mkdir -p "$run/keys"
minisign -G -W -p "$run/keys/demo.pub" -s "$run/keys/demo.key" >/dev/null
minisign -S -s "$run/keys/demo.key" -m "$srv/UpdList.xml" >/dev/null
echo "Signed $srv/UpdList.xml with a key made for this demo ($run/keys/demo.pub)"

# The installed program (version 1.0); the updater treats its own folder as the program folder.
app=$run/app
cp "$updater" "$app/"
if $windows; then main_program_cmd 1.0; else main_program 1.0; fi > "$app/$runapp"
chmod +x "$app/$runapp"
printf '[Mervo]\n版本=1.0\n' > "$app/setup.ini"
printf 'Mervo 1.0 data: old readme.\n' > "$app/data/readme.txt"
printf 'settings kept across updates\n' > "$app/data/user.cfg"

# A free port for the server, 8080 first. Checked as the server binds, so that
# connections of an earlier run still closing down do not count as busy.
port_free() {
  python3 -c 'import socket, sys
s = socket.socket()
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.bind(("127.0.0.1", int(sys.argv[1])))' "$1" 2>/dev/null
}
port=8080
until port_free "$port"; do
  port=$((port + 1))
  [ "$port" -le 8180 ] || { echo "no free port in 8080-8180" >&2; exit 1; }
done

python3 -m http.server "$port" --bind 127.0.0.1 --directory "$run/server" > "$run/server.log" 2>&1 &
server_pid=$!
trap 'kill "$server_pid" 2>/dev/null || true' EXIT
if $windows; then
  source tools/wine-env.sh "$PWD/build-windows/demo/wine"
  trap 'kill "$server_pid" 2>/dev/null || true; "$wineserver" -k 2>/dev/null || true' EXIT
  wine_setup
fi
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

# The server is on this machine: no proxy should be asked for it.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export MERVO_UPDATE_URL="http://127.0.0.1:$port/mrvo/"
# The updater trusts only lists signed with this key.
MERVO_PUBLIC_KEY=$(sed -n 2p "$run/keys/demo.pub")
export MERVO_PUBLIC_KEY
echo "Demo server: $MERVO_UPDATE_URL (log: $run/server.log)"
echo "== Checking the release on the server"
build-demo/MervoPublish check --public-key "$MERVO_PUBLIC_KEY" "$MERVO_UPDATE_URL"

echo "== Updating the program folder $app (installed: $(grep '版本' "$app/setup.ini"))"
if $windows && [ -n "${DISPLAY:-}" ]; then
  echo "Press 更新, then 完成, in the window of MervoUpdate.exe."
  "$wine" "$app/MervoUpdate.exe"
elif $windows; then
  echo "No display: MervoUpdate.exe runs under wine on a private X display, driven through its window."
  # wine's own messages (the display going away under the main program) go to wine.log.
  timeout 300 xvfb-run -a -s "-screen 0 1024x768x24" "$wine" build-windows/demo/demo_windows.exe \
    "$app/MervoUpdate.exe" "$MERVO_UPDATE_URL" "$MERVO_PUBLIC_KEY" 2>"$run/wine.log" | grep -v ' passed, 0 failed'
elif [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ]; then
  echo "Press 更新, then 完成, in the updater window."
  "$app/MervoUpdate"
else
  echo "No display: the real window runs offscreen and clicks through the update by itself."
  # Qt wants a private runtime folder, and warns without one.
  [ -n "${XDG_RUNTIME_DIR:-}" ] || { mkdir -m 700 "$run/runtime"; export XDG_RUNTIME_DIR=$PWD/$run/runtime; }
  QT_QPA_PLATFORM=offscreen build-demo/mervo_driver "$app" --timeout 120 --pictures "$run" --report --hand-over \
    | grep -v '^phase\|^process\|^folder'
fi

# The main program is started detached; wait a little for its line in the log (cmd under wine
# takes a few seconds to start).
for _ in $(seq 100); do
  [ -f "$app/mervo.log" ] && break
  sleep 0.1
done
echo "== Program folder now: $(grep '版本' "$app/setup.ini"); $(cat "$app/data/readme.txt")"
[ -f "$app/mervo.log" ] && cat "$app/mervo.log"
exit 0
