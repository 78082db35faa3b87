#!/usr/bin/env bash
# The shipped chain of docs/examples for two hosts into one ClickHouse, as
# `bash bench/run.sh fleet` runs it (the same functions, bench/lib.sh), for
# about 20 s of wrk load with one kill -9 of a reader and one restart of a
# shipper: every nginx line of each host is in ClickHouse, and once after
# FINAL.
# Usage: fleet_test.sh WRITER READER
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/../../bench/lib.sh"
WRITER=$(readlink -f "$1") READER=$(readlink -f "$2")
fleet_available || skip "$SKIP_REASON (scripts/install-deps.sh installs it)"
# Room for every file of the run: a reader slowed by a sanitizer is never
# overtaken by retention here.
WORK=$scratch FLEET_HOSTS="1 2" WEB_PORT=$((20000 + $$ % 10000)) FLEET_FILES=1000
trap 'stop_started; cleanup' EXIT

fleet_clickhouse_start
for n in $FLEET_HOSTS; do fleet_host "$n"; done
fleet_load_start 0
sleep 7
reader=$(fleet_reader_pid 1)
[ -n "$reader" ] || fail "no reader runs under the shipper of host 1"
kill -KILL "$reader"
sleep 6
fleet_stop SHIPPER 2
fleet_shipper_start 2
sleep 7
fleet_load_stop
fleet_drain 120 || fail "ClickHouse still took rows 120 s after the load ended"
for n in $FLEET_HOSTS; do
  fleet_check "$n"
  echo "host$n: $(wc -l <"$WORK/host$n/nginx-own.log") nginx lines, $LOST lost, $GAPS gap rows," \
    "$DUPS duplicates, $DUPS_FINAL after FINAL, $EXTRA not from nginx"
  [ "$(wc -l <"$WORK/host$n/nginx-own.log")" -gt 1000 ] || fail "host$n: wrk made almost no requests"
  [ "$LOST" -eq 0 ] && [ "$GAPS" -eq 0 ] || fail "host$n: $LOST lines lost, $GAPS gap rows"
  [ "$DUPS_FINAL" -eq 0 ] && [ "$EXTRA" -eq 0 ] || fail "host$n: $DUPS_FINAL duplicates after FINAL, $EXTRA rows of no nginx line"
done
echo "ok: both hosts' lines are in ClickHouse, once each after FINAL"
