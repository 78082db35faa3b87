#!/usr/bin/env bash
# Our writer behind a real proxy, beside the copy floor and the peer log tools:
#   bash bench/proxy.sh [--seconds N] [--runs N] [--quick] [--before BINARY] [options]
# nginx (Debian's nginx-light) writes its access log to /dev/stdout, a FIFO
# read by the contender, and the same lines to a reference file of its own;
# wrk drives it on 127.0.0.1 for N seconds a run. During the load the tools
# that rotate on SIGALRM get five of them. Every run's output is checked
# against nginx's reference file, byte for byte. For each contender: requests,
# rate, total CPU (user + system, all threads and the children waited for) in
# seconds per million requests; for ours the main thread and the archive
# thread apart (their run time from /proc/PID/task/TID/schedstat). Then our
# latency from nginx's write to the record reaching the operating system,
# measured from outside by probe_latency in runs of their own.
# Options:
#   --seconds N      length of one load run (default 8)
#   --runs N         rounds; each runs every contender once (default 3)
#   --quick          3-second runs, one round
#   --before BINARY  also run this build of the writer as "ours-before", in
#                    the same rounds (the before/after comparison)
#   --only "NAMES"   only these contenders (of: floor ours ours-before
#                    rotatelogs s6-log svlogd multilog s6-log+gzip
#                    svlogd+gzip multilog+gzip)
#   --no-build       use the binaries in BUILD_DIR as they are
#   --no-install     no apt-get: nginx, wrk and the peers must be there
#   --keep           keep the work directory
# Installs nginx-light, wrk and the peers from Debian when missing (root);
# needs nothing but loopback. A run is bounded: the load lasts N seconds and
# every wait after it gives up after 60 s.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

LOAD_SECONDS=8
RUNS=3
BEFORE=
ONLY=
BUILD=1
INSTALL=1
KEEP=0
CONNECTIONS=32
ALARMS=5
PROXY_PACKAGES=(nginx-light wrk)
PROXY_CONTENDERS=(floor ours ours-before rotatelogs s6-log svlogd multilog
                  s6-log+gzip svlogd+gzip multilog+gzip)
# A request line, referrer and user agent of the usual length: lines of about
# 250 bytes, as a real access log has.
URL_PATH='/shop/catalog/item?id=4711&lang=en&ref=newsletter'
REFERER='https://www.example.org/shop/catalog?page=3&sort=price'
AGENT='Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0'

parse_args() {
  while (($#)); do
    case $1 in
      --seconds) LOAD_SECONDS=$2; shift ;;
      --runs) RUNS=$2; shift ;;
      --quick) LOAD_SECONDS=3; RUNS=1 ;;
      --before) BEFORE=$(realpath "$2"); shift ;;
      --only) ONLY=$2; shift ;;
      --no-build) BUILD=0 ;;
      --no-install) INSTALL=0 ;;
      --keep) KEEP=1 ;;
      *) die "unknown option $1 (see the comment at the top of bench/proxy.sh)" ;;
    esac
    shift
  done
  [[ $LOAD_SECONDS =~ ^[1-9][0-9]*$ && $RUNS =~ ^[1-9][0-9]*$ ]] ||
    die "--seconds and --runs take positive numbers"
  [[ -z $BEFORE || -x $BEFORE ]] || die "--before: $BEFORE is not an executable"
}

# --- setup ----------------------------------------------------------------------

install_proxy_tools() {
  command -v nginx >/dev/null && command -v wrk >/dev/null && return 0
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
    die "nginx and wrk missing, and not root with apt-get"
  fi
  local out
  out=$(mktemp)
  log "installing ${PROXY_PACKAGES[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # The package starts no server where there is no init system; one that
  # did is left alone: ours listens on a port of its own.
  apt-get install -y --no-install-recommends "${PROXY_PACKAGES[@]}" </dev/null >"$out" 2>&1 ||
    { apt-get update </dev/null >>"$out" 2>&1 &&
      apt-get install -y --no-install-recommends "${PROXY_PACKAGES[@]}" </dev/null >>"$out" 2>&1; } ||
    { tail -5 "$out"; die "apt-get could not install ${PROXY_PACKAGES[*]}"; }
  rm -f "$out"
}

build_proxy_tools() {
  local out=$BUILD_DIR/bench-build.log
  if [[ ! -f $BUILD_DIR/CMakeCache.txt ]]; then
    cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out" 2>&1 ||
      { tail -20 "$out"; die "configure failed"; }
  fi
  log "building in $BUILD_DIR"
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target zarvo-accesslogwriter run_timed check_lines \
    probe_latency >"$out" 2>&1 || { tail -20 "$out"; die "build failed (see $out)"; }
  WRITER=$BUILD_DIR/app/zarvo-accesslogwriter
  RUN_TIMED=$BUILD_DIR/bench/run_timed
  CHECK_LINES=$BUILD_DIR/bench/check_lines
  PROBE_LATENCY=$BUILD_DIR/bench/probe_latency
}

make_work_dir() {
  local base=${BENCH_TMP:-}
  [[ -n $base ]] || { [[ -w /dev/shm ]] && base=/dev/shm; } || base=${TMPDIR:-/tmp}
  WORK=$(mktemp -d "$base/zarvo-proxy.XXXXXX")
  if ((KEEP)); then trap 'stop_leftovers; log "work directory kept: $WORK"' EXIT
  else trap 'stop_leftovers; rm -rf "$WORK"' EXIT; fi
  mkdir -p "$WORK/nginx"
  PORT=$((20000 + $$ % 20000))
}

# What a run started and an interrupted run left behind, by process id.
LEFT_PIDS=()
stop_leftovers() {
  local pid
  for pid in "${LEFT_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; done
}

write_nginx_conf() {
  local n=$WORK/nginx
  cat >"$n/nginx.conf" <<EOF
worker_processes 1;
master_process off;
daemon off;
pid $n/nginx.pid;
error_log $n/error.log warn;
events { worker_connections 1024; }
http {
  client_body_temp_path $n/body;
  proxy_temp_path $n/proxy;
  fastcgi_temp_path $n/fastcgi;
  uwsgi_temp_path $n/uwsgi;
  scgi_temp_path $n/scgi;
  log_format bench '\$msec \$remote_addr - \$remote_user [\$time_local] "\$request" \$status '
                   '\$body_bytes_sent "\$http_referer" "\$http_user_agent" \$request_length';
  access_log /dev/stdout bench;
  access_log $WORK/ref.log bench;
  server {
    listen 127.0.0.1:$PORT;
    location / { return 200 "ok\n"; }
  }
}
EOF
  nginx -t -q -p "$n" -c "$n/nginx.conf" -e "$n/error.log" || die "nginx rejects $n/nginx.conf"
}

# --- one run --------------------------------------------------------------------

# until_true SECONDS COMMAND...: polls COMMAND every 10 ms; fails once
# SECONDS have passed.
until_true() {
  local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
  shift
  until "$@"; do
    ((${EPOCHREALTIME/./} < deadline)) || return 1
    sleep 0.01
  done
}

# The log tool itself among the descendants of PID: the child of run_timed.
tool_pid() {
  local queue=("$1") pid child
  while ((${#queue[@]})); do
    pid=${queue[0]}
    queue=("${queue[@]:1}")
    if [[ $(cat "/proc/$pid/comm" 2>/dev/null) == run_timed ]]; then
      child=$(cat "/proc/$pid/task/$pid/children" 2>/dev/null || true)
      [[ -n ${child%% *} ]] && { echo "${child%% *}"; return 0; }
      return 1
    fi
    # shellcheck disable=SC2207  # ids, no spaces
    queue+=($(cat /proc/"$pid"/task/*/children 2>/dev/null || true))
  done
  return 1
}

# "main archive flush" run time in seconds of our writer's threads. The main
# thread's id is the process id; the archive thread is started before the
# flush thread, so it is the older of the other two (field 22 of stat: start
# time; ties broken by thread id).
thread_cpu() {
  local pid=$1 t
  for t in /proc/"$pid"/task/*; do
    local tid=${t##*/} run start rest
    read -r run _ <"$t/schedstat"
    rest=$(<"$t/stat")
    rest=${rest##*) }
    start=$(awk '{print $20}' <<<"$rest")
    echo "$((tid == pid ? 0 : 1)) $start $tid $run"
  done | sort -k1,1n -k2,2n -k3,3n | awk '{printf "%s%.6f", (NR > 1 ? " " : ""), $4 / 1e9} END {print ""}'
}

# Once run_timed's child is the tool itself, past its exec.
tool_started() {
  local pid
  pid=$(tool_pid "$1") && [[ $(cat "/proc/$pid/comm" 2>/dev/null) != run_timed ]]
}

# nginx blocked in epoll_wait (or epoll_pwait, epoll_pwait2) on x86-64:
# nothing left to log.
nginx_idle() {
  local call
  [[ $(uname -m) == x86_64 ]] || return 0
  read -r call _ <"/proc/$1/syscall" || return 1
  [[ $call == 232 || $call == 281 || $call == 441 ]]
}

takes_alarm() { [[ $1 == ours* || $1 == s6-log* || $1 == svlogd* || $1 == multilog* ]]; }

# Our writer has read all REQUESTS lines and archived every finished file:
# one uncompressed .log left, and the files give back nginx's reference.
ours_settled() {
  local dir=$1 logs
  logs=$(find "$dir" -maxdepth 1 -type f -name 'zarvo-access-*.log' | wc -l)
  ((logs == 1)) || return 1
  local -a files
  mapfile -t files < <(ours_files "$dir")
  "$CHECK_LINES" "$WORK/ref.log" records "${files[@]}" >/dev/null 2>&1
}

# wrk's 99th percentile of its request latency, in ms: how long the proxy
# kept a client waiting, blocked writes to the log included.
wrk_p99_ms() {
  awk '$1 == "99%" { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
         print (u == "us" ? v / 1000 : u == "s" ? v * 1000 : v) }' "$1"
}

# proxy_run NAME ROUND PROBE: one load run of NAME; appends to RESULTS
#   NAME ROUND requests req/s cpu_s main_s archive_s flush_s wrk_p99_ms status check
# and, when PROBE is 1, probe_latency's line to LATENCY.
proxy_run() {
  local name=$1 round=$2 probe=$3 tool=${1/ours-before/ours} writer=$WRITER
  local dir=$WORK/out-$1 fifo=$WORK/pipe one=$WORK/one.txt status=0 threads="- - -"
  [[ $name == ours-before ]] && writer=$BEFORE
  rm -rf "$dir"
  rm -f "$fifo" "$one" "$WORK/ref.log" "$WORK/nginx/nginx.pid" "$WORK/probe.ready"
  mkfifo "$fifo"
  # run_contender makes DIR afresh, then waits in the open of the FIFO until
  # the script opens it too.
  WRITER=$writer run_contender "$tool" "$dir" "$fifo" "$one" "$CHECK_FILES" 2>"$dir.stderr" &
  local job=$! hold nginx_pid wrk_pid pid probe_pid=
  LEFT_PIDS+=("$job")
  until_true 10 test -d "$dir" || die "$name: no $dir"
  if ((probe)); then
    # At a real-time priority where allowed: the probe's own wait for a CPU
    # is not the writer's latency.
    "${PROBE_PRIORITY[@]}" "$PROBE_LATENCY" "$dir" 'zarvo-access-[0-9]*.log' "$WORK/probe.txt" \
      >"$WORK/probe.ready" &
    probe_pid=$!
    LEFT_PIDS+=("$probe_pid")
    until_true 10 test -s "$WORK/probe.ready" || die "probe_latency did not start"
  fi
  # The script holds the FIFO open too: the end of nginx is not the end of
  # the input until the script says so.
  exec {hold}>"$fifo"
  nginx -p "$WORK/nginx" -c "$WORK/nginx/nginx.conf" -e "$WORK/nginx/error.log" >"$fifo" \
    2>>"$WORK/nginx.stderr" &
  nginx_pid=$!
  LEFT_PIDS+=("$nginx_pid")
  # nginx writes its pid file once it listens.
  until_true 10 test -s "$WORK/nginx/nginx.pid" || die "nginx did not start (see $WORK/nginx/error.log)"
  until_true 10 tool_started "$job" || die "$name did not start"
  pid=$(tool_pid "$job")
  wrk -t1 -c"$CONNECTIONS" -d"${LOAD_SECONDS}s" --latency -H "Referer: $REFERER" \
    -H "User-Agent: $AGENT" "http://127.0.0.1:$PORT$URL_PATH" >"$WORK/wrk.txt" &
  wrk_pid=$!
  LEFT_PIDS+=("$wrk_pid")
  if takes_alarm "$name"; then
    local i gap
    gap=$(calc "$LOAD_SECONDS / ($ALARMS + 1)" 3)
    for ((i = 1; i <= ALARMS; i++)); do
      sleep "$gap"
      kill -ALRM "$pid"
    done
  fi
  wait "$wrk_pid" || die "wrk failed: $(tail -3 "$WORK/wrk.txt")"
  # A signal that meets nginx blocked in a write to a full FIFO ends that
  # write with EINTR and the line is lost; stop it only once it waits idle.
  until_true 60 nginx_idle "$nginx_pid" || log "$name: nginx still busy 60 s after the load"
  kill -TERM "$nginx_pid"
  wait "$nginx_pid" || true
  local requests
  requests=$(wc -l <"$WORK/ref.log")
  if [[ $name == ours* ]]; then
    until_true 60 ours_settled "$dir" || log "$name: not settled after 60 s"
    threads=$(thread_cpu "$pid")
  fi
  exec {hold}>&-
  wait "$job" || status=$?
  if ((probe)); then
    kill -TERM "$probe_pid"
    wait "$probe_pid" || true
    echo "$name $round $requests $(tail -1 "$WORK/probe.txt")" >>"$LATENCY"
  fi
  local -a files
  mapfile -t files < <(output_files "$tool" "$dir")
  local check=identical
  "$CHECK_LINES" "$WORK/ref.log" "$(output_format "$tool")" "${files[@]}" >"$WORK/check.txt" 2>&1 ||
    { check=differs; log "$name round $round: $(cat "$WORK/check.txt")"; }
  [[ $status == 0 ]] || log "$name exited with status $status: $(tail -3 "$dir.stderr")"
  local rate p99 cpu
  rate=$(awk '/^Requests\/sec:/ {print $2}' "$WORK/wrk.txt")
  p99=$(wrk_p99_ms "$WORK/wrk.txt")
  cpu=$(awk '{print $2 + $3}' "$one")
  ((probe)) || echo "$name $round $requests $rate $cpu $threads $p99 $status $check" >>"$RESULTS"
  LEFT_PIDS=()
  rm -rf "$dir" "$dir.stderr"
}

# --- report ---------------------------------------------------------------------

contender_names() {
  local name
  for name in "${PROXY_CONTENDERS[@]}"; do
    [[ -z $ONLY || " $ONLY " == *" $name "* ]] || continue
    [[ $name != ours-before || -n $BEFORE ]] || continue
    if [[ $name == ours-before ]] || contender_available "$name"; then echo "$name"
    else log "skipping $name: $SKIP_REASON"; fi
  done
}

label() {
  case $1 in
    ours) echo "ours (prefix, gzip -9 of every file on the archive thread)" ;;
    ours-before) echo "ours, before ($BEFORE)" ;;
    *) contender_label "$1" ;;
  esac
}

# Medians (min–max) over the rounds, per million requests.
print_table() {
  local name
  echo
  echo "nginx $(nginx -v 2>&1 | sed 's/.*\///'), wrk -t1 -c$CONNECTIONS -d${LOAD_SECONDS}s on 127.0.0.1;" \
    "$RUNS rounds; $ALARMS SIGALRM during each run of the tools that take it; $(nproc) cores," \
    "$(uname -r); output on $(df -PT "$WORK" | awk 'NR == 2 {print $2}'); load average $LOAD_AT_START at the start."
  echo
  echo "| writer | requests per run | req/s | CPU s / M requests, median (min–max) | main thread s / M | archive thread s / M | proxy p99 ms (wrk) | output |"
  echo "|---|---|---|---|---|---|---|---|"
  for name in "${NAMES[@]}"; do
    awk -v n="$name" -v label="$(label "$name")" '
      function med(a, k,   i, j, t) { for (i = 1; i <= k; i++) for (j = i + 1; j <= k; j++)
          if (a[j] < a[i]) { t = a[i]; a[i] = a[j]; a[j] = t }
        return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2 }
      function range(a, k) { med(a, k); return sprintf("%.2f (%.2f–%.2f)", med(a, k), a[1], a[k]) }
      $1 == n && $10 == 0 { k++; req[k] = $3; rate[k] = $4; cpu[k] = $5 * 1e6 / $3
        if ($6 != "-") { main[k] = $6 * 1e6 / $3; arch[k] = $7 * 1e6 / $3 }
        p99[k] = $9; if ($11 != "identical") bad++ }
      $1 == n && $10 != 0 { failed++ }
      END { if (!k) { printf "| %s | - | - | failed | - | - | - | - |\n", label; exit }
        printf "| %s | %d | %.0f | %s | %s | %s | %.2f | %s |\n", label, med(req, k), med(rate, k),
          range(cpu, k), (n ~ /^ours/ ? range(main, k) : "-"), (n ~ /^ours/ ? range(arch, k) : "-"),
          med(p99, k), (bad ? "**differs** in " bad " runs" : "identical") (failed ? ", " failed " failed" : "") }' \
      "$RESULTS"
  done
}

print_latency() {
  [[ -s $LATENCY ]] || return 0
  echo
  echo "Latency from nginx's write to the record in our file (probe_latency${PROBE_PRIORITY:+ under ${PROBE_PRIORITY[*]}}," \
    "runs of their own; ms):"
  echo
  echo "| writer | round | requests | lines timed | p50 | p90 | p99 | p99.9 | max |"
  echo "|---|---|---|---|---|---|---|---|---|"
  awk '{printf "| %s | %s | %s | %s | %.2f | %.2f | %.2f | %.2f | %.2f |\n", $1, $2, $3, $4, $5, $6, $7, $8, $9}' \
    "$LATENCY"
}

# Our main thread against the cheapest peer's total, and the latency bound.
print_verdicts() {
  local ours cheapest cheapest_name name m p99
  ours=$(awk '$1 == "ours" && $10 == 0 && $6 != "-" {print $6 * 1e6 / $3}' "$RESULTS" | median_min_max)
  cheapest=-
  for name in "${NAMES[@]}"; do
    [[ $name == ours* ]] && continue
    m=$(awk -v n="$name" '$1 == n && $10 == 0 {print $5 * 1e6 / $3}' "$RESULTS" | median_min_max)
    m=${m%% *}
    [[ $m == - ]] && continue
    if [[ $cheapest == - ]] || awk -v a="$m" -v b="$cheapest" 'BEGIN { exit !(a < b) }'; then
      cheapest=$m
      cheapest_name=$name
    fi
  done
  echo
  if [[ ${ours%% *} != - && $cheapest != - ]]; then
    echo "- Our main thread: $(calc "${ours%% *}" 2) s / M requests; the cheapest other," \
      "$cheapest_name: $(calc "$cheapest" 2) s / M; ratio $(calc "${ours%% *} / $cheapest" 3)" \
      "(target ≤ 0.2): $(verdict "${ours%% *} * 5 <= $cheapest")."
  fi
  # A round that timed fewer lines than nginx logged counts as a miss.
  p99=$(awk '$1 == "ours" {print ($4 < $3 ? 1e9 : $7)}' "$LATENCY" | sort -g | tail -1)
  [[ -n $p99 ]] && echo "- Our latency p99, worst round: $(calc "$p99" 2) ms (target ≤ 5): $(verdict "$p99 <= 5")."
  return 0
}

calc() { awk "BEGIN { printf \"%.${2:-3}f\", $1 }"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo holds; else echo "**does not hold**"; fi; }

main() {
  parse_args "$@"
  if ((INSTALL)); then
    install_proxy_tools
    install_peers
  fi
  if ! command -v nginx >/dev/null || ! command -v wrk >/dev/null; then die "nginx or wrk not installed"; fi
  if ((BUILD)); then build_proxy_tools; else
    WRITER=$BUILD_DIR/app/zarvo-accesslogwriter RUN_TIMED=$BUILD_DIR/bench/run_timed
    CHECK_LINES=$BUILD_DIR/bench/check_lines PROBE_LATENCY=$BUILD_DIR/bench/probe_latency
  fi
  local tool
  for tool in "$WRITER" "$RUN_TIMED" "$CHECK_LINES" "$PROBE_LATENCY"; do
    [[ -x $tool ]] || die "missing $tool; build first (or drop --no-build)"
  done
  PROBE_PRIORITY=()
  if chrt -f 10 true 2>/dev/null; then PROBE_PRIORITY=(chrt -f 10)
  else log "chrt -f not allowed: the latency probe runs at normal priority, its own delays count"; fi
  warn_if_busy
  make_work_dir
  write_nginx_conf
  RESULTS=$WORK/results.txt
  LATENCY=$WORK/latency.txt
  : >"$RESULTS"
  : >"$LATENCY"
  mapfile -t NAMES < <(contender_names)
  local round i name
  for ((round = 1; round <= RUNS; round++)); do
    for ((i = 0; i < ${#NAMES[@]}; i++)); do
      name=${NAMES[(i + round - 1) % ${#NAMES[@]}]}
      log "round $round of $RUNS: $name"
      proxy_run "$name" "$round" 0
    done
    for name in "${NAMES[@]}"; do
      [[ $name == ours* ]] || continue
      log "round $round of $RUNS: $name, latency"
      proxy_run "$name" "$round" 1
    done
  done
  print_table
  print_latency
  print_verdicts
}

main "$@"
