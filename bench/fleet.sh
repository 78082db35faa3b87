#!/usr/bin/env bash
# Two proxy hosts into one ClickHouse, with the examples of docs/examples:
#   nginx (127.0.0.11, 127.0.0.12) -> FIFO -> zarvo-accesslogwriter
#     -> zarvo-accesslogcat -f --cursor-file -o json --host=hostN under
#        syslog-ng's program() (zarvo-shipper.conf) -> http() batches with a
#        reliable disk buffer -> ClickHouse 18.16 on 127.0.0.1 (zarvo-clickhouse.sql)
# Under wrk load on both hosts it does, in turn, a step apart: a TERM and
# start of host 1's writer; a kill -9 of host 1's reader; a restart of host
# 2's shipper; a kill -9 of ClickHouse and a start; a stop of host 1's
# shipper until retention deleted the file of its cursor, then its start.
# Then per host: ClickHouse against nginx's own log by $request_id (lines
# lost, of them inside a gap row, gap rows, duplicates before and after
# FINAL), and the CPU per million lines of the reader, the shipper and
# ClickHouse. Last, the highest rate a host at which the chain keeps up for
# 60 s: every row in ClickHouse 3 s after the load ends.
#   bash bench/run.sh fleet [STEP] [--rates "R1 R2 ..."]
# STEP: seconds between two faults (default 6; the load runs about 7 steps,
# plus ClickHouse's start and the wait for retention, at most 120 s); rates:
# lines a second a host, tried upwards until one is not kept up (default
# "2000 4000 8000 12000 16000"; --rates "" skips them).
# KEEP=1 keeps the work directory. Installs nginx-light, wrk, syslog-ng-core,
# syslog-ng-mod-http, clickhouse-server and clickhouse-client when missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
step=6 rates="2000 4000 8000 12000 16000"
while (($#)); do
  case $1 in
    --rates) rates=$2; shift ;;
    [0-9]*) step=$1 ;;
    *) die "unknown option $1 (see the head of bench/fleet.sh)" ;;
  esac
  shift
done
apt_install "${FLEET_PACKAGES[@]}"
fleet_available || die "fleet: $SKIP_REASON"
build_tools
make_work fleet
[[ ${KEEP:-0} == 1 ]] && trap 'stop_started; log "kept $WORK"' EXIT
FLEET_HOSTS="1 2" WEB_PORT=$((20000 + $$ % 10000))
fleet_clickhouse_start
for n in $FLEET_HOSTS; do fleet_host "$n"; done
fleet_sample "$WORK/cpu" & STARTED+=($!)
sampler=$!
at() { log "$(date -u +%T) $*"; }

at "load: wrk on both hosts, as fast as they go"
fleet_load_start 0
sleep "$step"; at "TERM and start: writer of host 1"; fleet_writer_restart 1
sleep "$step"; at "kill -9: reader of host 1 ($(fleet_reader_pid 1))"; kill -KILL "$(fleet_reader_pid 1)"
sleep "$step"; at "restart: shipper of host 2"; fleet_stop SHIPPER 2; fleet_shipper_start 2
sleep "$step"; at "kill -9 and start: ClickHouse"; fleet_clickhouse_kill; fleet_clickhouse_start
sleep "$step"; at "stop: shipper of host 1, until retention passes its cursor"
fleet_stop SHIPPER 1
# The shipper took a quarter of a second more than its cursor covers (its
# disk buffer keeps that), so retention must pass two files further.
gone=$(( $(cut -d: -f1 "$WORK/host1/shipper/cursor") + 2 ))
until_true 120 eval '(( $(fleet_oldest 1) > gone ))' ||
  log "retention did not reach file $gone in 120 s"
at "start: shipper of host 1 (file $gone deleted)"; fleet_shipper_start 1
sleep "$step"; fleet_load_stop
at "load over; draining"
fleet_drain 120 || log "ClickHouse still growing after 120 s"
kill "$sampler"; wait "$sampler" 2>/dev/null || true

printf '\n| host | nginx lines | lost | of them in gap rows | gap rows | duplicates | after FINAL | not from nginx | reader CPU / M | shipper CPU / M | ClickHouse CPU / M |\n|---|---|---|---|---|---|---|---|---|---|---|\n'
total=0
for n in $FLEET_HOSTS; do total=$((total + $(wc -l <"$WORK/host$n/nginx-own.log"))); done
for n in $FLEET_HOSTS; do
  fleet_check "$n"
  lines=$(wc -l <"$WORK/host$n/nginx-own.log")
  per_m() { calc "$1 / $2 * 1000000"; }
  printf '| host%s | %s | %s | %s | %s | %s | %s | %s | %s s | %s s | %s s |\n' "$n" "$lines" "$LOST" "$LOST_IN_GAPS" \
    "$GAPS" "$DUPS" "$DUPS_FINAL" "$EXTRA" "$(per_m "$(fleet_cpu "$WORK/cpu" reader "$n")" "$lines")" \
    "$(per_m "$(fleet_cpu "$WORK/cpu" shipper "$n")" "$lines")" "$(per_m "$(fleet_cpu "$WORK/cpu" clickhouse)" "$total")"
done
echo "(ClickHouse's CPU is shared: per million lines of both hosts)"
for n in $FLEET_HOSTS; do
  echo "shipper log, host$n: $(grep -c 'curl: error' "$WORK/host$n/log/shipper.log") failed posts (sent again)," \
    "$(grep -c -i 'dropped' "$WORK/host$n/log/shipper.log") drops," \
    "$(grep -c 'not a whole JSON object' "$WORK/host$n/log/shipper.log") pieces of a killed reader's last line kept out"
done
grep -h zarvo-accesslogcat "$WORK"/host*/log/shipper.log 2>/dev/null | sed 's/^/shipper log: /' | head -5
ch -q "SELECT host, gap FROM zarvo.access FINAL WHERE kind = 'gap'" | sed 's/^/gap row: /' | head -5

# The highest rate a host that the chain keeps up with for 60 s: wrk paced
# at each rate in turn (it reaches a little less: its delay comes on top of
# each request's time); the rate counted is what nginx logged.
kept=-
for rate in $rates; do
  declare -A before=() rows0=()
  for n in $FLEET_HOSTS; do before[$n]=$(wc -l <"$WORK/host$n/nginx-own.log"); rows0[$n]=$(fleet_rows "$n"); done
  fleet_load_start "$rate"; sleep 60; fleet_load_stop
  sleep 3
  ok=1 low="" line="paced at $rate a host:"
  for n in $FLEET_HOSTS; do
    sent=$(( $(wc -l <"$WORK/host$n/nginx-own.log") - before[$n] )) got=$(( $(fleet_rows "$n") - rows0[$n] ))
    line+=" host$n $((sent / 60))/s, $got of $sent rows 3 s after;"
    ((got >= sent)) || ok=0
    [[ -n $low ]] && ((low <= sent / 60)) || low=$((sent / 60))
  done
  log "$line $( ((ok)) && echo kept up || echo not kept up)"
  ((ok)) || break
  [[ $kept != - ]] && ((kept >= low)) || kept=$low
  ((low > ${prev:-0} * 11 / 10)) || { log "wrk reaches no more than about $low a host here"; break; }
  prev=$low
  fleet_drain 120 || true
done
[[ -z $rates ]] || echo "highest rate a host kept up with for 60 s: $kept lines/s a host (both hosts at once)"
