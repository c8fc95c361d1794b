#!/usr/bin/env bash
# Retakes docs/window.png, docs/offer.png and docs/finished.png on a private virtual
# screen: runs tools/demo.sh there and clicks through it with xdotool.
# Needs xvfb, xdotool and imagemagick (import). Run from the repository root.
set -euo pipefail
cd "$(dirname "$0")/.."

n=90
while [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ]; do n=$((n + 1)); done
export DISPLAY=:$n
Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
pids=($!)
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
sleep 1

# The updater's window id, once it is on screen (gives up after a few minutes: the build may run first).
find_window() {
  local id
  for _ in $(seq 600); do
    id=$(xdotool search --onlyvisible --name '^Mervo自动更新程序$' 2>/dev/null | head -1) || true
    [ -n "$id" ] && { echo "$id"; return; }
    sleep 0.5
  done
  echo "the updater window did not show up" >&2
  return 1
}
# Button centres in window pixels, from the form's layout.
update_button=(362 224)
finish_button=(437 224)
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

mkdir -p docs
log=$(mktemp)
bash tools/demo.sh > "$log" 2>&1 &
demo_pid=$!
pids+=("$demo_pid")

win=$(find_window)
sleep 2                                      # list fetched and files probed
import -window "$win" docs/offer.png
click "$win" "${update_button[@]}"
sleep 3                                      # a few small files from this machine
import -window "$win" docs/finished.png
click "$win" "${finish_button[@]}"
wait "$demo_pid" || { cat "$log"; exit 1; }
tail -n 2 "$log"

# The first moments, while the list is on its way: a server that accepts but never answers.
portfile=$(mktemp)
python3 - "$portfile" <<'EOF' &
import socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen()
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
time.sleep(120)
EOF
pids+=($!)
until [ -s "$portfile" ]; do sleep 0.1; done
MERVO_UPDATE_URL="http://127.0.0.1:$(cat "$portfile")/mrvo/" demo/run/app/MervoUpdate >/dev/null 2>&1 &
pids+=($!)
win=$(find_window)
sleep 1
import -window "$win" docs/window.png
rm -f "$log" "$portfile"
echo "docs/window.png docs/offer.png docs/finished.png written"
