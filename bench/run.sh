#!/usr/bin/env bash
# Whole-update benchmark: the real updater window (tools/driver.cpp) against curl,
# both fetching the same releases from the same local nginx.
#
#   bench/run.sh [rounds]          rounds of every release and tool, default 5; medians are reported
#
# Environment:
#   MERVO_BENCH_BUILD        build folder of the driver (default <repo>/build-bench)
#   MERVO_BENCH_DRIVER       use this driver binary instead of building one (e.g. one built
#                            by bench/CMakeLists.txt from a patched copy of the tree)
#   MERVO_BENCH_BIG_MIB      size of the one-file release in MiB (default 512)
#   MERVO_BENCH_SMALL_COUNT  number of files of the many-file release (default 1000)
#   MERVO_BENCH_SMALL_KIB    size of each of those files in KiB (default 4)
#   MERVO_BENCH_TMP          where the scratch folder goes (default $TMPDIR or /tmp)
#   MERVO_BENCH_KEEP=1       keep the scratch folder (logs, nginx config) afterwards
#   MERVO_BENCH_BEFORE       a driver built from an earlier tree: measured in the same rounds
#                            (every release but the resumed one), for before and after figures
#
# Releases: one file of BIG_MIB MiB and many small files, each once with a plain list and
# once with a list that pins every file by Size and Sha256 ("pinned"), plus the pinned big
# release installed over a folder that already holds its file ("unchanged": no GET), and the
# pinned big release over a folder holding the first half of its file as a kept part
# ("resume": the updater asks only for the rest; the server's log counts the bytes sent).
# Rounds alternate the tools; within a round, each from a fresh folder and after a `sync`
# so that no tool pays for the previous one's write-back:
#   updater     the driver: list HEAD + GET, a HEAD per file, then a GET per file,
#               each written as "<name>.tmp", synced to disk, and renamed into place
#   curl        ONE curl invocation doing the same requests in the same order over
#               one kept-alive connection (list HEAD + GET, all HEADs, all GETs)
#   curl+fsync  the same, followed by an fsync of every file curl wrote (coreutils
#               sync FILE...): what the updater's durability costs on this disk
# Ratios are taken within each round, and their medians reported.
#
# Exit status: 0 when every run completed and was verified (targets met or not),
# 1 when something failed.
set -euo pipefail

REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${MERVO_BENCH_BUILD:-$REPO/build-bench}
RUNS=${1:-5}
BIG_MIB=${MERVO_BENCH_BIG_MIB:-512}
SMALL_COUNT=${MERVO_BENCH_SMALL_COUNT:-1000}
SMALL_KIB=${MERVO_BENCH_SMALL_KIB:-4}
PER_FOLDER=100           # the many small files are spread over folders of this many

# Targets: whole process against curl+fsync, the update phase against plain curl.
BIG_SYNC_TARGET=1.0
BIG_UPDATE_TARGET=1.25
SMALL_SYNC_TARGET=1.3
PINNED_TARGET=1.05
RESUME_TARGET=0.6
RSS_TARGET_MIB=64

[[ $RUNS =~ ^[1-9][0-9]*$ ]] || { echo "usage: $0 [runs]" >&2; exit 1; }

log() { printf '== %s\n' "$*" >&2; }
die() { printf 'run.sh: %s\n' "$*" >&2; exit 1; }

# Local traffic only, never through a proxy.
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy=127.0.0.1 NO_PROXY=127.0.0.1
export QT_QPA_PLATFORM=offscreen

# --- tools ------------------------------------------------------------------------
if ! command -v nginx >/dev/null 2>&1 && [[ -x /usr/sbin/nginx ]]; then
  PATH=$PATH:/usr/sbin
fi
if ! command -v nginx >/dev/null 2>&1; then
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null 2>&1; then
    log "installing nginx-light"
    # The package's own service is not wanted, only the server this script starts.
    policy_added=0
    if [[ ! -e /usr/sbin/policy-rc.d ]]; then
      printf '#!/bin/sh\nexit 101\n' >/usr/sbin/policy-rc.d
      chmod +x /usr/sbin/policy-rc.d
      policy_added=1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx-light >/dev/null \
      || { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq nginx-light >/dev/null; } \
      || true
    [[ $policy_added == 1 ]] && rm -f /usr/sbin/policy-rc.d
    PATH=$PATH:/usr/sbin
  fi
  command -v nginx >/dev/null 2>&1 || die "nginx is needed (apt-get install nginx-light)"
fi
for tool in curl cmake /usr/bin/time sync diff cmp split sha256sum; do
  command -v "$tool" >/dev/null 2>&1 || die "$tool is needed"
done

# --- driver -----------------------------------------------------------------------
if [[ -n ${MERVO_BENCH_DRIVER:-} ]]; then
  DRIVER=$MERVO_BENCH_DRIVER
  [[ -x $DRIVER ]] || die "MERVO_BENCH_DRIVER=$DRIVER is not an executable"
  log "using the driver $DRIVER"
else
  log "building the driver in $BUILD"
  generator=()
  if [[ ! -f $BUILD/CMakeCache.txt ]] && command -v ninja >/dev/null 2>&1; then
    generator=(-G Ninja)
  fi
  build_log=$(mktemp "${TMPDIR:-/tmp}/mervo-bench-build.XXXXXX")
  cmake -S "$REPO/bench" -B "$BUILD" "${generator[@]}" >"$build_log" 2>&1 \
    || { cat "$build_log" >&2; rm -f "$build_log"; die "cmake configure failed"; }
  cmake --build "$BUILD" --target mervo_bench_driver >>"$build_log" 2>&1 \
    || { tail -40 "$build_log" >&2; rm -f "$build_log"; die "build failed"; }
  rm -f "$build_log"
  DRIVER=$BUILD/mervo_bench_driver
fi

BEFORE=${MERVO_BENCH_BEFORE:-}
[[ -z $BEFORE || -x $BEFORE ]] || die "MERVO_BENCH_BEFORE=$BEFORE is not an executable"

# --- scratch folder and clean-up ---------------------------------------------------
WORK=$(mktemp -d "${MERVO_BENCH_TMP:-${TMPDIR:-/tmp}}/mervo-bench.XXXXXX")
NGINX_PID=
cleanup() {
  local status=$?
  if [[ -n $NGINX_PID ]] && kill -0 "$NGINX_PID" 2>/dev/null; then
    kill -QUIT "$NGINX_PID" 2>/dev/null || true
    for _ in $(seq 50); do kill -0 "$NGINX_PID" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$NGINX_PID" 2>/dev/null || true
    wait "$NGINX_PID" 2>/dev/null || true
  fi
  if [[ ${MERVO_BENCH_KEEP:-0} == 1 ]]; then
    log "kept $WORK"
  else
    rm -rf "$WORK"
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# nginx's workers may run as another user: they need to read the releases.
chmod 755 "$WORK"
# Qt wants a private runtime folder; without one it warns on every start.
mkdir -m 700 "$WORK/runtime"
export XDG_RUNTIME_DIR=$WORK/runtime

# --- releases -----------------------------------------------------------------------
# update_list FOLDER PINNED RUNAPP NAME... : the list document the updater reads; with
# PINNED=1 every file carries its Size and Sha256.
update_list() {
  local folder=$1 pinned=$2 runapp=$3
  shift 3
  {
    printf '<?xml version="1.0" encoding="UTF-8"?>\n<UpdateList>\n'
    printf '  <Version>2.0</Version>\n  <Updata>\n    <Note Info="Benchmark release"/>\n  </Updata>\n  <Files>\n'
    local name path
    for name in "$@"; do
      if [[ $pinned == 1 ]]; then
        path=$folder/${name//\\//}
        printf '    <File Name="%s" Ver="2.0" Size="%s" Sha256="%s"/>\n' "$name" "$(stat -c %s "$path")" \
          "$(sha256sum "$path" | cut -d' ' -f1)"
      else
        printf '    <File Name="%s" Ver="2.0"/>\n' "$name"
      fi
    done
    printf '  </Files>\n  <RunApp>%s</RunApp>\n</UpdateList>\n' "$runapp"
  } >"$folder/UpdList.xml"
}

# pinned_copy FROM TO NAME... : the same files (hard links) under a pinned list.
pinned_copy() {
  local from=$1 to=$2 runapp
  shift 2
  runapp=$(sed -n 's|.*<RunApp>\(.*\)</RunApp>.*|\1|p' "$from/UpdList.xml")
  cp -al "$from" "$to"
  rm "$to/UpdList.xml"
  update_list "$to" 1 "$runapp" "$@"
}

log "making the releases in $WORK/www (${BIG_MIB} MiB file; ${SMALL_COUNT} files of ${SMALL_KIB} KiB)"
BIG_ROOT=$WORK/www/big/mrvo
SMALL_ROOT=$WORK/www/small/mrvo
mkdir -p "$BIG_ROOT" "$SMALL_ROOT"
head -c "$((BIG_MIB * 1024 * 1024))" /dev/urandom >"$BIG_ROOT/mervo.bin"
BIG_FILES=(mervo.bin)
update_list "$BIG_ROOT" 0 mervo.bin "${BIG_FILES[@]}"

SMALL_FILES=()
made=0
folder_index=0
while ((made < SMALL_COUNT)); do
  in_folder=$((SMALL_COUNT - made < PER_FOLDER ? SMALL_COUNT - made : PER_FOLDER))
  sub=$(printf 'd%02d' "$folder_index")
  mkdir -p "$SMALL_ROOT/$sub"
  head -c "$((in_folder * SMALL_KIB * 1024))" /dev/urandom \
    | split -b "$((SMALL_KIB * 1024))" -d -a 3 --additional-suffix=.dat - "$SMALL_ROOT/$sub/f"
  for ((i = 0; i < in_folder; i++)); do
    # The list names folders the way the updater's lists do, with "\".
    SMALL_FILES+=("$sub\\$(printf 'f%03d.dat' "$i")")
  done
  made=$((made + in_folder))
  folder_index=$((folder_index + 1))
done
update_list "$SMALL_ROOT" 0 "${SMALL_FILES[0]}" "${SMALL_FILES[@]}"
BIGPIN_ROOT=$WORK/www/bigpin/mrvo
SMALLPIN_ROOT=$WORK/www/smallpin/mrvo
mkdir -p "$WORK/www/bigpin" "$WORK/www/smallpin"
pinned_copy "$BIG_ROOT" "$BIGPIN_ROOT" "${BIG_FILES[@]}"
pinned_copy "$SMALL_ROOT" "$SMALLPIN_ROOT" "${SMALL_FILES[@]}"
chmod -R a+rX "$WORK/www"

# --- server -------------------------------------------------------------------------
free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()' 2>/dev/null && return
  local port
  for _ in $(seq 200); do
    port=$((20000 + RANDOM % 30000))
    if ! ss -Hltn "sport = :$port" 2>/dev/null | grep -q .; then
      echo "$port"
      return
    fi
  done
  return 1
}
declare -A PORT URL
for release in big small bigpin smallpin; do
  while :; do
    port=$(free_port) || die "no free port"
    [[ " ${PORT[*]} " == *" $port "* ]] || break
  done
  PORT[$release]=$port
  URL[$release]=http://127.0.0.1:$port/mrvo/
done

mkdir -p "$WORK/nginx"
# One nginx, one worker, a listening port per release, each at /mrvo/.
cat >"$WORK/nginx/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $WORK/nginx/nginx.pid;
error_log $WORK/nginx/error.log warn;
events { worker_connections 64; }
http {
  access_log off;
  log_format sent '\$request \$status \$body_bytes_sent';
  sendfile on;
  tcp_nopush on;
  tcp_nodelay on;
  keepalive_timeout 60s;
  keepalive_requests 100000;
  types { text/xml xml; }
  default_type application/octet-stream;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  server { listen 127.0.0.1:${PORT[big]}; root $WORK/www/big; }
  server { listen 127.0.0.1:${PORT[small]}; root $WORK/www/small; }
  server { listen 127.0.0.1:${PORT[bigpin]}; root $WORK/www/bigpin; access_log $WORK/nginx/bigpin.log sent; }
  server { listen 127.0.0.1:${PORT[smallpin]}; root $WORK/www/smallpin; }
}
EOF
nginx -p "$WORK/nginx/" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" &
NGINX_PID=$!
BIG_URL=${URL[big]}
SMALL_URL=${URL[small]}
for _ in $(seq 100); do
  if curl -sf -o /dev/null "${BIG_URL}UpdList.xml" && curl -sf -o /dev/null "${SMALL_URL}UpdList.xml"; then
    break
  fi
  kill -0 "$NGINX_PID" 2>/dev/null || { cat "$WORK/nginx/error.log" >&2; NGINX_PID=; die "nginx did not start"; }
  sleep 0.1
done
curl -sf -o /dev/null "${BIG_URL}UpdList.xml" || die "nginx does not answer on $BIG_URL"
log "nginx $(nginx -v 2>&1 | sed 's/.*\///') (pid $NGINX_PID) serving ${URL[*]}"

# A program folder where a run that was cut at half of the pinned big file left its part.
RESUME_FROM=$WORK/half
HALF_BYTES=$((BIG_MIB * 512 * 1024))
mkdir -p "$RESUME_FROM"
head -c "$HALF_BYTES" "$BIGPIN_ROOT/mervo.bin" >"$RESUME_FROM/mervo.bin.tmp"
etag=$(curl -sI "${URL[bigpin]}mervo.bin" | tr -d '\r' | sed -n 's/^[Ee][Tt][Aa][Gg]: //p')
printf 'MervoUpdate journal 2\ndownload\ntmp\tmervo.bin.tmp\t%s\t%s\t%s\nend\n' \
  "$(stat -c %s "$BIGPIN_ROOT/mervo.bin")" "$(sha256sum "$BIGPIN_ROOT/mervo.bin" | cut -d' ' -f1)" "$etag" \
  >"$RESUME_FROM/MervoUpdate.journal"

# --- one measurement ------------------------------------------------------------------
# curl_config BASEURL DEST NAME... : the updater's requests, in its order, for curl -K.
curl_config() {
  local base=$1 dest=$2 name path
  shift 2
  printf 'url = "%sUpdList.xml"\nhead\noutput = "/dev/null"\nfail\nnext\n' "$base"
  printf 'url = "%sUpdList.xml"\noutput = "%s/NewUpdList.xml"\nfail\n' "$base" "$dest"
  for name in "$@"; do
    path=${name//\\//}
    printf 'next\nurl = "%s%s"\nhead\noutput = "/dev/null"\nfail\n' "$base" "$path"
  done
  for name in "$@"; do
    path=${name//\\//}
    printf 'next\nurl = "%s%s"\noutput = "%s/%s"\ncreate-dirs\nfail\n' "$base" "$path" "$dest" "$path"
  done
}

# verify RELEASE_ROOT FOLDER : the folder holds exactly the release's files, byte for byte.
verify() {
  diff -rq -x UpdList.xml -x NewUpdList.xml -x MervoUpdate.log -x MervoUpdate.lock "$1" "$2" >/dev/null
}

# measure LABEL COMMAND... : runs it under /usr/bin/time; sets M_WALL M_CPU M_RSS_KIB.
measure() {
  local label=$1 start end
  shift
  sync
  start=$(date +%s%N)
  if ! /usr/bin/time -f '%U %S %M' -o "$WORK/time.txt" "$@" >"$WORK/out.txt" 2>"$WORK/err.txt"; then
    cat "$WORK/out.txt" "$WORK/err.txt" >&2
    die "$label failed"
  fi
  end=$(date +%s%N)
  M_WALL=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.3f", (b - a) / 1e9 }')
  read -r user sys M_RSS_KIB <"$WORK/time.txt"
  M_CPU=$(awk -v u="$user" -v s="$sys" 'BEGIN { printf "%.2f", u + s }')
}

median() {
  tr ' ' '\n' | grep . | sort -g | awk '{ v[NR] = $1 } END {
    if (NR == 0) { print "nan"; exit }
    if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -A WALL CPU RSS CHECK UPDATE

# updater_run RELEASE ROOT URL [PREFILL] : one measured update by $RUN_DRIVER from an empty
# folder, or from one that already holds PREFILL's files; release names the figures.
RUN_DRIVER=$DRIVER
updater_run() {
  local release=$1 root=$2 url=$3 prefill=${4:-} dest=$WORK/run/updater
  rm -rf "$dest"; mkdir -p "$dest"
  [[ -n $prefill ]] && cp -r "$prefill/." "$dest/" && rm -f "$dest/UpdList.xml"
  measure "updater ($release, round $round)" "$RUN_DRIVER" "$dest" "$url" --timeout 1200
  verify "$root" "$dest" || die "updater ($release, round $round): the folder does not match the release"
  WALL[$release,updater]+=" $M_WALL"; CPU[$release,updater]+=" $M_CPU"; RSS[$release,updater]+=" $M_RSS_KIB"
  CHECK[$release]+=" $(sed -n 's/^phase check_s=\([0-9.]*\).*/\1/p' "$WORK/out.txt")"
  UPDATE[$release]+=" $(sed -n 's/^phase update_s=\([0-9.]*\).*/\1/p' "$WORK/out.txt")"
  log "$release round $round: updater $M_WALL s, cpu $M_CPU s, rss $((M_RSS_KIB / 1024)) MiB"
  rm -rf "$dest"
}

# curl_runs RELEASE ROOT URL FILE... : curl, then curl+fsync.
curl_runs() {
  local release=$1 root=$2 url=$3 dest=$WORK/run/curl cfg synclist name
  shift 3
  rm -rf "$dest"; mkdir -p "$dest"
  cfg=$WORK/curl-$release.cfg
  curl_config "$url" "$dest" "$@" >"$cfg"
  measure "curl ($release, round $round)" curl -sS -K "$cfg"
  verify "$root" "$dest" || die "curl ($release, round $round): the folder does not match the release"
  WALL[$release,curl]+=" $M_WALL"; CPU[$release,curl]+=" $M_CPU"; RSS[$release,curl]+=" $M_RSS_KIB"
  rm -rf "$dest"; mkdir -p "$dest"
  synclist=$WORK/sync-$release.txt
  : >"$synclist"
  for name in "$@"; do printf '%s\0' "$dest/${name//\\//}" >>"$synclist"; done
  measure "curl+fsync ($release, round $round)" \
    sh -c 'curl -sS -K "$1" && xargs -0 sync -- <"$2"' sh "$cfg" "$synclist"
  verify "$root" "$dest" || die "curl+fsync ($release, round $round): the folder does not match the release"
  WALL[$release,curlsync]+=" $M_WALL"; CPU[$release,curlsync]+=" $M_CPU"
  log "$release round $round: curl ${WALL[$release,curl]##* } s, curl+fsync $M_WALL s"
  rm -rf "$dest"
}

# updater_runs SUFFIX : every release but the resumed one, by $RUN_DRIVER.
updater_runs() {
  local suffix=$1
  case $2 in
    big)
      updater_run "big$suffix" "$BIG_ROOT" "${URL[big]}"
      updater_run "bigpin$suffix" "$BIGPIN_ROOT" "${URL[bigpin]}"
      updater_run "unchanged$suffix" "$BIGPIN_ROOT" "${URL[bigpin]}" "$BIGPIN_ROOT" ;;
    small)
      updater_run "small$suffix" "$SMALL_ROOT" "${URL[small]}"
      updater_run "smallpin$suffix" "$SMALLPIN_ROOT" "${URL[smallpin]}" ;;
  esac
}

# resume_run : the half-done pinned big file; also counts the file's bytes the server sent.
resume_run() {
  local before_lines
  before_lines=$(wc -l <"$WORK/nginx/bigpin.log" 2>/dev/null || echo 0)
  updater_run resume "$BIGPIN_ROOT" "${URL[bigpin]}" "$RESUME_FROM"
  SENT[resume]+=" $(tail -n +"$((before_lines + 1))" "$WORK/nginx/bigpin.log" \
    | awk '$2 == "/mrvo/mervo.bin" && $1 == "GET" { s += $NF } END { print s + 0 }')"
}

declare -A SENT
for ((round = 1; round <= RUNS; round++)); do
  for part in big small; do
    # The earlier driver and this one take turns, so that both see the same machine.
    if [[ -n $BEFORE ]] && ((round % 2 == 1)); then
      RUN_DRIVER=$BEFORE; updater_runs _before $part; RUN_DRIVER=$DRIVER; updater_runs "" $part
    else
      updater_runs "" $part
      [[ -n $BEFORE ]] && { RUN_DRIVER=$BEFORE; updater_runs _before $part; RUN_DRIVER=$DRIVER; }
    fi
    if [[ $part == big ]]; then
      curl_runs big "$BIG_ROOT" "${URL[big]}" "${BIG_FILES[@]}"
      resume_run
    else
      curl_runs small "$SMALL_ROOT" "${URL[small]}" "${SMALL_FILES[@]}"
    fi
  done
done

# --- report ---------------------------------------------------------------------------
verdict() { awk -v v="$1" -v t="$2" 'BEGIN { print (v <= t) ? "met" : "MISSED" }'; }
# ratio A B : the median of the per-round quotients of two lists of the same length.
ratio() {
  paste <(tr ' ' '\n' <<<"$1" | grep .) <(tr ' ' '\n' <<<"$2" | grep .) \
    | awk '{ printf "%s ", $1 / $2 }' | median | awk '{ printf "%.2f", $1 }'
}
mib() { awk -v k="$1" 'BEGIN { printf "%.1f", k / 1024 }'; }

# row RELEASE TITLE : the updater's medians (and curl's, where measured) for a release.
row() {
  local release=$1 title=$2 peak
  [[ -n ${WALL[$release,updater]:-} ]] || return 0
  peak=$(echo "${RSS[$release,updater]}" | tr ' ' '\n' | sort -g | tail -1)
  printf '%-52s %9s %9s %9s %12s\n' "$title: updater" "$(median <<<"${WALL[$release,updater]}")" \
    "$(median <<<"${UPDATE[$release]}")" "$(median <<<"${CPU[$release,updater]}")" "$(mib "$peak")"
  if [[ -n ${WALL[$release,curl]:-} ]]; then
    printf '%-52s %9s %9s %9s %12s\n' "$title: curl" "$(median <<<"${WALL[$release,curl]}")" - \
      "$(median <<<"${CPU[$release,curl]}")" "$(mib "$(median <<<"${RSS[$release,curl]}")")"
    printf '%-52s %9s %9s %9s %12s\n' "$title: curl+fsync" "$(median <<<"${WALL[$release,curlsync]}")" - \
      "$(median <<<"${CPU[$release,curlsync]}")" -
  fi
}

echo
echo "Medians of $RUNS alternating rounds; one nginx on 127.0.0.1; curl: one invocation per release, same requests over one connection"
printf '%-52s %9s %9s %9s %12s\n' release wall_s "update_s" "cpu_s" peak_rss_MiB
for suffix in "" _before; do
  [[ -z $suffix || -n $BEFORE ]] || continue
  label=${suffix:+ (before)}
  row "big$suffix" "1 file of ${BIG_MIB} MiB$label"
  row "bigpin$suffix" "1 file of ${BIG_MIB} MiB, hashes in the list$label"
  row "unchanged$suffix" "1 file of ${BIG_MIB} MiB, already there$label"
  row "small$suffix" "${SMALL_COUNT} files of ${SMALL_KIB} KiB$label"
  row "smallpin$suffix" "${SMALL_COUNT} files of ${SMALL_KIB} KiB, hashes in the list$label"
done
row resume "1 file of ${BIG_MIB} MiB, hashes in the list, half kept"
echo
echo "Ratios (median of the per-round ratios):"
for suffix in "" _before; do
  [[ -z $suffix || -n $BEFORE ]] || continue
  [[ -n $suffix ]] && echo " before:"
  big_sync=$(ratio "${WALL[big$suffix,updater]}" "${WALL[big,curlsync]}")
  big_update=$(ratio "${UPDATE[big$suffix]}" "${WALL[big,curl]}")
  small_sync=$(ratio "${WALL[small$suffix,updater]}" "${WALL[small,curlsync]}")
  printf '  big:   updater / (curl+fsync) %s (target <= %s: %s); click-to-done / curl %s (target <= %s: %s)\n' \
    "$big_sync" "$BIG_SYNC_TARGET" "$(verdict "$big_sync" "$BIG_SYNC_TARGET")" \
    "$big_update" "$BIG_UPDATE_TARGET" "$(verdict "$big_update" "$BIG_UPDATE_TARGET")"
  printf '         updater / curl %s\n' "$(ratio "${WALL[big$suffix,updater]}" "${WALL[big,curl]}")"
  printf '  small: updater / (curl+fsync) %s (target <= %s: %s); updater / curl %s\n' \
    "$small_sync" "$SMALL_SYNC_TARGET" "$(verdict "$small_sync" "$SMALL_SYNC_TARGET")" \
    "$(ratio "${WALL[small$suffix,updater]}" "${WALL[small,curl]}")"
  pinned=$(ratio "${WALL[bigpin$suffix,updater]}" "${WALL[big$suffix,updater]}")
  printf '  hashes in the list: big %s (target <= %s: %s), small %s\n' "$pinned" "$PINNED_TARGET" \
    "$(verdict "$pinned" "$PINNED_TARGET")" "$(ratio "${WALL[smallpin$suffix,updater]}" "${WALL[small$suffix,updater]}")"
  printf '  unchanged big file: %s of the full download\n' \
    "$(ratio "${WALL[unchanged$suffix,updater]}" "${WALL[bigpin$suffix,updater]}")"
done
resumed=$(ratio "${WALL[resume,updater]}" "${WALL[bigpin,updater]}")
sent=$(tr ' ' '\n' <<<"${SENT[resume]}" | grep . | sort -g | tail -1)
printf '  half kept: %s of a fresh download (target <= %s: %s); at most %s bytes sent of %s (target <= %s: %s)\n' \
  "$resumed" "$RESUME_TARGET" "$(verdict "$resumed" "$RESUME_TARGET")" "$sent" "$((HALF_BYTES * 2))" \
  "$((HALF_BYTES + 1048576))" "$(verdict "$sent" "$((HALF_BYTES + 1048576))")"
peak=$(for r in big bigpin unchanged small smallpin resume; do echo "${RSS[$r,updater]}"; done | tr ' ' '\n' | grep . | sort -g | tail -1)
printf '  updater peak RSS, highest of all runs: %s MiB (target < %s MiB: %s)\n' "$(mib "$peak")" "$RSS_TARGET_MIB" \
  "$(awk -v v="$(mib "$peak")" -v t="$RSS_TARGET_MIB" 'BEGIN { print (v < t) ? "met" : "MISSED" }')"
