#!/usr/bin/env bash
# A real shipper end to end, on 127.0.0.1 only:
#   nginx -> zarvo-accesslogwriter -> zarvo-accesslogcat -f --cursor-file -o json
#         -> local syslog-ng (program() source) -> central syslog-ng -> one file
# with the configurations of docs/examples. While wrk loads nginx for about
# 20 s, the reader is killed with SIGKILL once, the local shipper restarted
# once (TERM, start) and the writer sent ALRMs. Then the central file is
# compared with nginx's own access log, written beside it: lines lost,
# duplicated, duplicated once deduplicated by cursor, and the CPU per million
# lines of the reader and the local shipper.
#   bash bench/run.sh ship [SECONDS]      (default 20)
# KILL=0 leaves the reader alone (only the clean restart of the shipper,
# which resends a quarter of a second); KEEP=1 keeps the work directory.
# Installs nginx, wrk and syslog-ng-core from Debian's packages when missing.
set -euo pipefail
seconds=${1:-20}
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
apt_install nginx wrk syslog-ng-core
for tool in nginx wrk syslog-ng; do command -v "$tool" >/dev/null || die "ship: $tool is missing"; done
build_tools
make_work ship
work=$WORK
pids=()
trap 'for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done; wait 2>/dev/null || true
  [[ ${KEEP:-0} == 1 ]] && log "kept $work" || rm -rf "$work"' EXIT
mkdir -p "$work"/{logs,shipper,central,nginx}
web_port=$((20000 + $$ % 10000)) store_port=$((30000 + $$ % 10000))

# The shipped configurations, pointed at the work directory.
configure() {
  sed -e "s|/var/log/zarvo-central|$work/central|g" -e "s|/var/lib/zarvo-shipper|$work/shipper|g" \
      -e "s|/var/log/zarvo|$work/logs|g" -e "s|/usr/bin/zarvo-accesslogcat|$READER|g" \
      -e "s|5514|$store_port|g" "$SOURCE_DIR/docs/examples/$1" > "$work/$1"
}
configure zarvo-shipper.conf
configure zarvo-central.conf
syslog_ng() {  # NAME: one instance with its own pid, persist and control files, in $started
  syslog-ng -F --no-caps -f "$work/zarvo-$1.conf" -p "$work/$1.pid" -R "$work/$1.persist" \
    -c "$work/$1.ctl" </dev/null >/dev/null 2>>"$work/$1.err" &
  started=$!
  pids+=("$started")
}

syslog_ng central; central=$started
mkfifo "$work/access.fifo"
"$WRITER" "$work/logs" 1000 1048576 < "$work/access.fifo" 2>"$work/writer.err" &
writer=$!
pids+=("$writer")
cat > "$work/nginx.conf" <<NGINX
worker_processes 1;
pid $work/nginx.pid;
error_log $work/nginx.err;
events { worker_connections 256; }
http {
  log_format ids '\$time_iso8601 \$request_id \$remote_addr "\$request" \$status \$body_bytes_sent';
  access_log $work/access.fifo ids;
  access_log $work/nginx-own.log ids;
  client_body_temp_path $work/nginx; proxy_temp_path $work/nginx; fastcgi_temp_path $work/nginx;
  uwsgi_temp_path $work/nginx; scgi_temp_path $work/nginx;
  server { listen 127.0.0.1:$web_port; location / { return 200 "ok\n"; } }
}
NGINX
nginx -p "$work/nginx" -c "$work/nginx.conf" -g 'daemon off;' &
nginx_pid=$!
pids+=("$nginx_pid")
syslog_ng shipper; shipper=$started

# CPU ticks of every reader and local shipper process, sampled until the end:
# the last reading of each process is its total.
reader_pids() { pgrep -f "^$READER -f --cursor-file=$work/" || true; }
stop_shipper() { kill -TERM "$shipper"; wait "$shipper" || true; }
sample() {
  while :; do
    for pid in $(reader_pids); do echo "reader $pid $(awk '{ print $14 + $15 }' /proc/"$pid"/stat 2>/dev/null)"; done
    for pid in $(pgrep -f "zarvo-shipper.conf" || true); do
      echo "shipper $pid $(awk '{ print $14 + $15 }' /proc/"$pid"/stat 2>/dev/null)"
    done
    sleep 0.2
  done >> "$work/cpu"
}
sample & pids+=($!)
sampler=$!

for _ in $(seq 100); do (exec 3<>"/dev/tcp/127.0.0.1/$web_port") 2>/dev/null && break; sleep 0.1; done
log "load: wrk for $seconds s on 127.0.0.1:$web_port"
wrk -t1 -c8 -d"${seconds}s" "http://127.0.0.1:$web_port/" > "$work/wrk.out" &
load=$!
step=$((seconds / 5))
sleep "$step"; kill -ALRM "$writer"; log "$(date -u +%T.%N) ALRM"
sleep "$step"
if [[ ${KILL:-1} == 1 ]]; then pid=$(reader_pids | head -1); log "$(date -u +%T.%N) kill -9 reader $pid"; kill -KILL "$pid"; fi
sleep "$step"; kill -ALRM "$writer"; log "$(date -u +%T.%N) ALRM"
log "$(date -u +%T.%N) restart local shipper"; stop_shipper; syslog_ng shipper; shipper=$started
sleep "$step"; kill -ALRM "$writer"; log "$(date -u +%T.%N) ALRM"
wait "$load"

# Drained when the central file has stopped growing for 3 s.
count() { wc -l < "$work/central/access.json" 2>/dev/null || echo 0; }
last=-1 still=0
for _ in $(seq 120); do
  now=$(count)
  if [[ $now == "$last" ]]; then ((++still >= 6)) && break; else still=0; fi
  last=$now
  sleep 0.5
done
stop_shipper
kill "$sampler"; wait "$sampler" 2>/dev/null || true
kill -QUIT "$nginx_pid"; wait "$nginx_pid" || true
wait "$writer" || log "writer: $(cat "$work/writer.err")"
kill -TERM "$central"; wait "$central" || true

# nginx's own log against the central file, by request id; then by cursor.
own=$(wc -l < "$work/nginx-own.log")
sed -n 's/.*"cursor":"\([0-9]*:[0-9]*\)".*"line":"[^ ]* \([0-9a-f]\{32\}\) .*/\1 \2/p' \
  "$work/central/access.json" > "$work/central.ids"
awk '{ print $2 }' "$work/nginx-own.log" | sort > "$work/own.ids"
awk '{ print $2 }' "$work/central.ids" | sort > "$work/got.ids"
lost=$(comm -23 "$work/own.ids" <(sort -u "$work/got.ids") | wc -l)
extra=$(comm -13 <(sort -u "$work/own.ids") <(sort -u "$work/got.ids") | wc -l)
central_lines=$(count)
duplicated=$((central_lines - $(sort -u "$work/got.ids" | wc -l)))
after_dedup=$(( $(sort -u "$work/central.ids" | wc -l) - $(sort -u "$work/got.ids" | wc -l) ))
unparsed=$((central_lines - $(wc -l < "$work/central.ids")))
rate=$(awk -v n="$own" -v s="$seconds" 'BEGIN { printf "%d", n / s }')
cpu() { awk -v who="$1" -v n="$own" -v hz="$(getconf CLK_TCK)" \
  '$1 == who { last[$2] = $3 } END { for (p in last) t += last[p]; printf "%.2f s", t / hz / n * 1e6 }' "$work/cpu"; }
cat <<REPORT
nginx lines:            $own ($rate a second), central lines: $central_lines
lines lost:             $lost
lines duplicated:       $duplicated (bound: 1.25 s after the kill -9 and 0.25 s after the restart, $((rate * 3 / 2)) lines, and pipes)
after dedup by cursor:  $after_dedup
not from nginx:         $extra, not parsed: $unparsed
CPU per million lines:  reader $(cpu reader), local shipper $(cpu shipper)
REPORT
grep -v '^$' "$work"/{shipper,central}.err "$work/nginx.err" 2>/dev/null | head -5 >&2 || true
