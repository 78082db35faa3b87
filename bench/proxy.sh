#!/usr/bin/env bash
# bash bench/run.sh proxy [--seconds N] [--runs N] [--quick] [--before BINARY] [--only "NAMES"]
# nginx (Debian's nginx-light) writes its access log to /dev/stdout, a FIFO
# read by the contender, and the same lines to a reference file; wrk drives
# it on 127.0.0.1 for N seconds a run, while the tools that rotate on SIGALRM
# get five of them. Every run's output is checked against the reference byte
# for byte. Per contender: CPU (user + system, all threads and children) per
# million requests; for ours the main and archive threads apart (from
# /proc/PID/task/TID/schedstat), and the latency from nginx's write to our
# read: each record's time (the writer's clock as it read the line, taken
# once a read, just before the records go out) less nginx's $msec in it.
#   --seconds N      one load run (default 8)      --runs N   rounds (default 3)
#   --quick          3-second runs, one round
#   --before BINARY  an older build of the writer as "ours-before", in the same rounds
#   --only "NAMES"   of: floor ours ours-before rotatelogs s6-log svlogd multilog
#                    s6-log+gzip svlogd+gzip multilog+gzip
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
SECONDS_RUN=8 RUNS=3 BEFORE= ONLY= ALARMS=5 CONNECTIONS=32
while (($#)); do
  case $1 in
    --seconds) SECONDS_RUN=$2; shift ;;
    --runs) RUNS=$2; shift ;;
    --quick) SECONDS_RUN=3 RUNS=1 ;;
    --before) BEFORE=$(realpath "$2"); shift ;;
    --only) ONLY=$2; shift ;;
    *) die "unknown option $1 (see the head of bench/proxy.sh)" ;;
  esac
  shift
done
[[ $SECONDS_RUN =~ ^[1-9][0-9]*$ && $RUNS =~ ^[1-9][0-9]*$ ]] || die "--seconds and --runs take positive numbers"
[[ -z $BEFORE || -x $BEFORE ]] || die "--before: $BEFORE is not an executable"
# Request line, referrer and user agent of the usual length: lines of about 250 bytes.
URL='/shop/catalog/item?id=4711&lang=en&ref=newsletter'
REFERER='https://www.example.org/shop/catalog?page=3&sort=price'
AGENT='Mozilla/5.0 (X11; Linux x86_64; rv:109.0) Gecko/20100101 Firefox/115.0'

build_tools
apt_install nginx-light wrk
install_peers
command -v nginx >/dev/null && command -v wrk >/dev/null || die "nginx or wrk not installed"
make_work proxy
PORT=$((20000 + $$ % 20000)) N=$WORK/nginx RESULTS=$WORK/results.txt LATENCY=$WORK/latency.txt
mkdir "$N" && : >"$RESULTS" && : >"$LATENCY"
cat >"$N/nginx.conf" <<EOF
worker_processes 1;
master_process off;
daemon off;
pid $N/nginx.pid;
error_log $N/error.log warn;
events { worker_connections 1024; }
http {
  client_body_temp_path $N/body; proxy_temp_path $N/proxy; fastcgi_temp_path $N/fastcgi;
  uwsgi_temp_path $N/uwsgi; scgi_temp_path $N/scgi;
  log_format bench '\$msec \$remote_addr - \$remote_user [\$time_local] "\$request" \$status '
                   '\$body_bytes_sent "\$http_referer" "\$http_user_agent" \$request_length';
  access_log /dev/stdout bench;
  access_log $WORK/ref.log bench;
  server { listen 127.0.0.1:$PORT; location / { return 200 "ok\n"; } }
}
EOF
nginx -t -q -p "$N" -c "$N/nginx.conf" -e "$N/error.log" || die "nginx rejects $N/nginx.conf"

# The log tool under the background run_contender $1.
tool_of() { local t; t=$(cat "/proc/$1/task/$1/children" 2>/dev/null) && timed_child "${t%% *}"; }
# "main archive" run time in seconds of our writer's threads: the main
# thread's id is the process id; the archive thread is started before the
# flush thread, so it is the older of the other two (stat field 22, then
# the thread id).
thread_cpu() {
  local t rest
  for t in /proc/"$1"/task/*; do
    rest=$(<"$t/stat") && rest=${rest##*) }
    echo "$((${t##*/} == $1 ? 0 : 1)) $(awk '{print $20}' <<<"$rest") ${t##*/} $(cut -d' ' -f1 "$t/schedstat")"
  done | sort -n -k1,1 -k2,2 -k3,3 | awk 'NR <= 2 {printf "%.6f ", $4 / 1e9}'
}
# nginx blocked in epoll_wait, epoll_pwait or epoll_pwait2 (x86-64): nothing left to log.
nginx_idle() {
  local call
  [[ $(uname -m) == x86_64 ]] || return 0
  read -r call _ <"/proc/$1/syscall" && [[ $call == 232 || $call == 281 || $call == 441 ]]
}
# Our writer has archived every finished file and stored all nginx logged.
ours_settled() {
  [[ $(find "$1" -maxdepth 1 -name 'zarvo-access-*.log' | wc -l) == 1 ]] &&
    check_output ours "$1" "$WORK/ref.log" >/dev/null
}

# latency NAME ROUND DIR: "NAME ROUND records p50 p90 p99 p99.9 max" in ms of
# record time less $msec (both truncated to the millisecond; times of day, so
# that awk needs no date functions).
latency() {
  for f in $(output_files ours "$3"); do [[ $f == *.gz && -e ${f%.gz} ]] || zcat -f "$f" | tail -n +3; done |
    awk '{ split(substr($1, 12, 12), t, /[:.]/); d = ((t[1] * 60 + t[2]) * 60 + t[3]) * 1000 + t[4]
           d -= ($6 * 1000) % 86400000; print (d < -43200000 ? d + 86400000 : d) }' | sort -n |
    awk -v n="$1 $2" '{ v[NR] = $1 } END { printf "%s %d", n, NR
      split("0.5 0.9 0.99 0.999 1", q, " "); for (i = 1; i <= 5; i++) printf " %d", v[int(q[i] * (NR - 1) + 1.5)]
      print "" }' >>"$LATENCY"
}

# proxy_run NAME ROUND: one load run; appends to RESULTS
#   NAME ROUND requests req/s cpu_s main_s archive_s wrk_p99_ms status check
# and for ours its latency to LATENCY.
proxy_run() {
  local name=$1 round=$2 tool=${1/ours-before/ours} dir=$WORK/out fifo=$WORK/pipe
  local one=$WORK/one.txt job pid nginx hold wrk status=0 threads="- - " check=identical
  rm -rf "$dir" && rm -f "$fifo" "$one" "$WORK/ref.log" "$N/nginx.pid"
  mkfifo "$fifo"
  # run_contender waits in the open of the FIFO until nginx opens it too.
  local i WRITER=$WRITER
  [[ $name == ours-before ]] && WRITER=$BEFORE
  run_contender "$tool" "$dir" "$fifo" "$one" "$CHECK_FILES" 2>"$WORK/stderr" &
  job=$! && STARTED+=("$job")
  until_true 10 test -d "$dir" || die "$name: no $dir"
  # Held open here too: the end of nginx is not the end of the input until we say so.
  exec {hold}>"$fifo"
  nginx -p "$N" -c "$N/nginx.conf" -e "$N/error.log" >"$fifo" 2>>"$WORK/nginx.stderr" &
  nginx=$! && STARTED+=("$nginx")
  until_true 10 test -s "$N/nginx.pid" || die "nginx did not start (see $N/error.log)"
  until_true 10 tool_of "$job" >/dev/null || die "$name did not start"
  pid=$(tool_of "$job")
  wrk -t1 -c"$CONNECTIONS" -d"${SECONDS_RUN}s" --latency -H "Referer: $REFERER" -H "User-Agent: $AGENT" \
    "http://127.0.0.1:$PORT$URL" >"$WORK/wrk.txt" &
  wrk=$! && STARTED+=("$wrk")
  if [[ $name == ours* || $name == s6-log* || $name == svlogd* || $name == multilog* ]]; then
    for ((i = 1; i <= ALARMS; i++)); do sleep "$(calc "$SECONDS_RUN / ($ALARMS + 1)" 3)"; kill -ALRM "$pid"; done
  fi
  wait "$wrk" || die "wrk failed: $(tail -3 "$WORK/wrk.txt")"
  # A signal that meets nginx blocked in a write to a full FIFO ends that
  # write with EINTR and the line is lost: stop it only once it waits idle.
  until_true 60 nginx_idle "$nginx" || log "$name: nginx still busy 60 s after the load"
  kill -TERM "$nginx" && wait "$nginx" || true
  if [[ $name == ours* ]]; then
    until_true 60 ours_settled "$dir" || log "$name: not settled 60 s after the load"
    threads=$(thread_cpu "$pid")
  fi
  exec {hold}>&-
  wait "$job" || status=$?
  local requests
  requests=$(wc -l <"$WORK/ref.log")
  [[ $name != ours* ]] || latency "$name" "$round" "$dir"
  check_output "$tool" "$dir" "$WORK/ref.log" >"$WORK/check.txt" ||
    { check=differs; log "$name round $round: $(cat "$WORK/check.txt")"; }
  echo "$name $round $requests $(awk '/^Requests\/sec:/ {print $2}' "$WORK/wrk.txt") $(awk '{print $2 + $3}' "$one")" \
    "$threads$(awk '$1 == "99%" { v = $2; u = v; sub(/[0-9.]+/, "", u); sub(/[a-z]+$/, "", v)
      print (u == "us" ? v / 1000 : u == "s" ? v * 1000 : v) }' "$WORK/wrk.txt") $status $check" >>"$RESULTS"
  ((status == 0)) || log "$name exited with status $status: $(tail -3 "$WORK/stderr")"
  STARTED=()
}

NAMES=()
for name in floor ours ours-before rotatelogs s6-log svlogd multilog s6-log+gzip svlogd+gzip multilog+gzip; do
  [[ -z $ONLY || " $ONLY " == *" $name "* ]] && [[ $name != ours-before || -n $BEFORE ]] || continue
  if contender_available "$name"; then NAMES+=("$name"); else log "skipping $name: $SKIP_REASON"; fi
done
for ((round = 1; round <= RUNS; round++)); do
  for ((i = 0; i < ${#NAMES[@]}; i++)); do
    name=${NAMES[(i + round - 1) % ${#NAMES[@]}]}
    log "round $round of $RUNS: $name" && proxy_run "$name" "$round"
  done
done

# per_m NAME COLUMN: NAME's COLUMN per million requests, over its good runs.
per_m() { awk -v n="$1" -v c="$2" '$1 == n && $9 == 0 && $c != "-" {print $c * 1e6 / $3}' "$RESULTS" | median_min_max; }
col() { awk -v n="$1" -v c="$2" '$1 == n && $9 == 0 {print $c}' "$RESULTS" | median_min_max | cut -d' ' -f1; }
echo "nginx $(nginx -v 2>&1 | sed 's/.*\///'), wrk -t1 -c$CONNECTIONS -d${SECONDS_RUN}s on 127.0.0.1; $RUNS rounds;" \
  "$ALARMS SIGALRM during each run of the tools that take it; $(nproc) cores, $(uname -r);" \
  "output on $(fs_of "$WORK"); load average $LOAD_AT_START at the start."
echo
echo "| writer | requests per run | req/s | CPU s / M requests, median (min–max) | main thread s / M | archive thread s / M | proxy p99 ms (wrk) | output |"
echo "|---|---|---|---|---|---|---|---|"
cheapest=- cheapest_name=
for name in "${NAMES[@]}"; do
  case $name in
    ours) label="ours (prefix, gzip -9 of every file on the archive thread)" ;;
    ours-before) label="ours, before ($BEFORE)" ;;
    *) label=$(contender_label "$name") ;;
  esac
  [[ $(col "$name" 3) != - ]] || { echo "| $label | - | - | failed | - | - | - | - |"; continue; }
  bad=$(awk -v n="$name" '$1 == n && $10 != "identical"' "$RESULTS" | wc -l)
  echo "| $label | $(calc "$(col "$name" 3)" 0) | $(calc "$(col "$name" 4)" 0) | $(fmt_range "$(per_m "$name" 5)") |" \
    "$([[ $name == ours* ]] && fmt_range "$(per_m "$name" 6)" || echo -) |" \
    "$([[ $name == ours* ]] && fmt_range "$(per_m "$name" 7)" || echo -) | $(calc "$(col "$name" 8)") |" \
    "$( ((bad)) && echo "**differs** in $bad runs" || echo identical) |"
  m=$(per_m "$name" 5 | cut -d' ' -f1)
  if [[ $name != ours* && $m != - ]] && { [[ $cheapest == - ]] || awk "BEGIN { exit !($m < $cheapest) }"; }; then
    cheapest=$m cheapest_name=$name
  fi
done
if [[ -s $LATENCY ]]; then
  echo
  echo "Latency from nginx's write to our read of the line (record time less \$msec, the same runs; ms, ±1):"
  echo
  echo "| writer | round | records timed | p50 | p90 | p99 | p99.9 | max |"
  echo "|---|---|---|---|---|---|---|---|"
  awk '{printf "| %s | %s | %s | %s | %s | %s | %s | %s |\n", $1, $2, $3, $4, $5, $6, $7, $8}' "$LATENCY"
fi
echo
ours=$(per_m ours 6 | cut -d' ' -f1)
if [[ $ours != - && $cheapest != - ]]; then
  echo "- Our main thread: $(calc "$ours") s / M requests; the cheapest other, $cheapest_name:" \
    "$(calc "$cheapest") s / M; ratio $(calc "$ours / $cheapest" 3) (target ≤ 0.2): $(verdict "$ours * 5 <= $cheapest")."
fi
p99=$(awk '$1 == "ours" {print $6}' "$LATENCY" | sort -g | tail -1)
[[ -z $p99 ]] || echo "- Our latency p99, worst round: $(calc "$p99") ms (target ≤ 5): $(verdict "$p99 <= 5")."
