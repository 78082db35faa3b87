# shellcheck shell=bash disable=SC2034  # the variables set here are used by the modes
# Shared by the modes of bench/run.sh: tools, work directory, the contenders
# (how each runs, how its output is checked against its input), statistics.
BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_DIR=$(dirname "$BENCH_DIR")
BUILD_DIR=${BUILD_DIR:-$SOURCE_DIR/build}
# Byte-wise sorting and awk; globs of TAI64N names sort by time.
export LC_ALL=C
ROTATE_SIZE=8388608  # MAXFILESIZE, and the peers' size limit
KEEP_FILES=5         # MAXFILENUM, and the peers' file count
CHECK_FILES=1000     # for the checked runs: nothing gets deleted
EXECLINEB=/usr/lib/execline/bin/execlineb  # s6-log runs processors through it
WRITER=$BUILD_DIR/app/zarvo-accesslogwriter
READER=$BUILD_DIR/reader/zarvo-accesslogcat
TOOLS=$BUILD_DIR/bench
# Our record prefix, as an extended regular expression.
PREFIX_RE='[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9:]{8}\.[0-9]{3}Z info zarvo\[[0-9]+\] \[Originator@8461 sub=Default\] '

log() { printf '%s\n' "$*" >&2; }
die() { log "bench: $*"; exit 1; }
calc() { awk "BEGIN { printf \"%.${2:-2}f\", $1 }"; }
verdict() { if awk "BEGIN { exit !($1) }"; then echo holds; else echo "**does not hold**"; fi; }

# Builds the writer, the reader and every probe, unless --no-build was given.
build_tools() {
  ((${NO_BUILD:-0})) && return 0
  local out=$BUILD_DIR/bench-build.log
  [[ -f $BUILD_DIR/CMakeCache.txt ]] ||
    cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out" 2>&1 ||
    { tail -20 "$out"; die "configure failed"; }
  log "building in $BUILD_DIR"
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target zarvo-accesslogwriter zarvo-accesslogcat \
    gen_access_log compress_rate run_timed follow_latency preload \
    >"$out" 2>&1 || { tail -20 "$out"; die "build failed (see $out)"; }
  # A sanitizer or debug build measures the instrumentation, not the writer.
  grep -Eq '^CMAKE_BUILD_TYPE:STRING=(Release|RelWithDebInfo)$' "$BUILD_DIR/CMakeCache.txt" &&
    ! grep -q '^ZARVO_SANITIZE_[A-Z]*:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" || log "warning: not a plain optimised build"
}

# apt_install PACKAGE...: what is missing, when root and not --no-install;
# never fails: a contender whose tool is missing is skipped.
apt_install() {
  ((${NO_INSTALL:-0})) || [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null && return 0
  local p missing=()
  for p; do dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing+=("$p"); done
  ((${#missing[@]})) || return 0
  log "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get install -y --no-install-recommends "${missing[@]}" </dev/null >/dev/null 2>&1 ||
    { apt-get update </dev/null >/dev/null 2>&1 || true
      for p in "${missing[@]}"; do
        apt-get install -y --no-install-recommends "$p" </dev/null >/dev/null 2>&1 ||
          log "apt-get could not install $p"
      done; }
}
install_peers() { apt_install s6 execline runit daemontools apache2-utils gzip; }

# make_work NAME: a work directory on tmpfs when /dev/shm has room (input and
# output stay in memory, as the page cache would keep them), removed at exit.
make_work() {
  local base=${BENCH_TMP:-${TMPDIR:-/tmp}} need=${2:-0}
  [[ -z ${BENCH_TMP:-} && -w /dev/shm ]] &&
    (($(df -PB1 /dev/shm | awk 'NR == 2 {print $4}') > need + 200000000)) && base=/dev/shm
  WORK=$(mktemp -d "$base/zarvo-$1.XXXXXX")
  trap 'stop_started; rm -rf "$WORK"' EXIT
  read -r LOAD_AT_START _ </proc/loadavg
  awk -v l="$LOAD_AT_START" 'BEGIN { exit !(l > 0.5) }' &&
    log "warning: load average $LOAD_AT_START: other work is running, timings will be noisy"
  return 0
}
STARTED=()  # processes started in the background, ended at exit by their ids
# Waited for, so that nothing still writes into WORK while it is removed.
stop_started() {
  local p
  for p in "${STARTED[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${STARTED[@]}"; do wait "$p" 2>/dev/null || true; done
}
fs_of() { df -PT "$1" | awk 'NR == 2 {print $2}'; }

# until_true SECONDS COMMAND...: polls COMMAND every 10 ms; fails after SECONDS.
until_true() {
  local deadline=$((${EPOCHREALTIME/./} + $1 * 1000000))
  shift
  until "$@"; do ((${EPOCHREALTIME/./} < deadline)) || return 1; sleep 0.01; done
}
# The process run_timed (pid $1) started, once it has exec'd.
timed_child() {
  local c
  c=$(cat "/proc/$1/task/$1/children" 2>/dev/null) && c=${c%% *} && [[ -n $c ]] &&
    [[ $(cat "/proc/$c/comm" 2>/dev/null) != run_timed ]] && echo "$c"
}

# --- contenders -----------------------------------------------------------------

# Fails, setting SKIP_REASON, when contender $1 cannot run here.
contender_available() {
  local tool=${1%+gzip}
  SKIP_REASON=
  case $tool in floor | ours* ) return 0 ;; esac
  command -v "$tool" >/dev/null || SKIP_REASON="$tool not installed"
  [[ -n $SKIP_REASON || $1 != s6-log+gzip || -x $EXECLINEB ]] || SKIP_REASON="$EXECLINEB (execline) not installed"
  [[ -n $SKIP_REASON || $1 != *+gzip ]] || command -v gzip >/dev/null || SKIP_REASON="gzip not installed"
  [[ -z $SKIP_REASON ]]
}

contender_label() {
  local s=$ROTATE_SIZE n=$KEEP_FILES
  case $1 in
    floor) echo "cat > file (the copy floor)" ;;
    ours) echo "zarvo-accesslogwriter DIR $n $s" ;;
    ours+archiving) echo "zarvo-accesslogwriter, input held open until archived" ;;
    rotatelogs) echo "rotatelogs -n $n DIR/file $((s / 1024))K" ;;
    s6-log) echo "s6-log T n$n s$s" ;;
    svlogd) echo "svlogd -tt (s$s, n$n)" ;;
    multilog) echo "multilog t s$s n$n" ;;
    s6-log+gzip) echo "s6-log T n$n s$s !gzip -9" ;;
    svlogd+gzip) echo "svlogd -tt (s$s, n$n, !gzip -9)" ;;
    multilog+gzip) echo "multilog t s$s n$n !gzip -9" ;;
  esac
}

# run_contender NAME DIR INPUT RESULT FILES: one run of NAME in a fresh DIR,
# INPUT on stdin, keeping FILES files; run_timed appends
#   wall user sys peak_rss_kib status
# to RESULT. ours+archiving takes its input through a FIFO held open until
# the writer has read all of it and archived every finished file.
run_contender() {
  local name=$1 dir=$2 input=$3 result=$4 files=$5 s=$ROTATE_SIZE t=$TOOLS/run_timed
  rm -rf "$dir" && mkdir -p "$dir"
  case $name in
    floor) "$t" "$result" cat <"$input" >"$dir/file" ;;
    ours) "$t" "$result" "$WRITER" "$dir" "$files" "$s" <"$input" ;;
    ours+archiving) held_open "$dir" "$input" "$t" "$result" "$WRITER" "$dir" "$files" "$s" ;;
    rotatelogs) "$t" "$result" rotatelogs -n "$files" "$dir/file" "$((s / 1024))K" <"$input" ;;
    s6-log) "$t" "$result" s6-log T "n$files" "s$s" "$dir" <"$input" ;;
    s6-log+gzip) "$t" "$result" s6-log T "n$files" "s$s" '!gzip -9' "$dir" <"$input" ;;
    svlogd | svlogd+gzip)
      printf 's%s\nn%s\n' "$s" "$files" >"$dir/config"
      [[ $name == svlogd ]] || echo '!gzip -9' >>"$dir/config"
      "$t" "$result" svlogd -tt "$dir" <"$input" ;;
    multilog) "$t" "$result" multilog t "s$s" "n$files" "$dir" <"$input" ;;
    multilog+gzip) "$t" "$result" multilog t "s$s" "n$files" '!gzip -9' "$dir" <"$input" ;;
    *) die "unknown contender $name" ;;
  esac
}

# held_open DIR INPUT COMMAND...: COMMAND reads INPUT through a FIFO that
# stays open until its main thread has read every byte (its own rchar: the
# archive thread's reads count apart) and DIR holds a single .log on three
# polls in a row, so that a rotation in flight is not missed.
held_open() {
  local dir=$1 input=$2 fifo=$WORK/held.fifo job pid fd seen=0 bytes
  shift 2
  bytes=$(stat -c %s "$input")
  rm -f "$fifo" && mkfifo "$fifo"
  "$@" <"$fifo" &
  job=$!
  exec {fd}>"$fifo"
  cat "$input" >&"$fd"
  until_true 10 timed_child "$job" >/dev/null || die "the held run did not start"
  pid=$(timed_child "$job")
  until_true 60 awk -v b="$bytes" '$1 == "rchar:" { exit !($2 >= b) }' "/proc/$pid/task/$pid/io" ||
    log "held run: input not read after 60 s"
  while ((seen < 3)); do
    [[ $(find "$dir" -maxdepth 1 -name 'zarvo-access-*.log' | wc -l) == 1 ]] && ((++seen)) || seen=0
    sleep 0.005
  done
  exec {fd}>&-
  wait "$job"
}

# NAME's output files in order, in DIR.
output_files() {
  local dir=$2 i
  case $1 in
    floor) echo "$dir/file" ;;
    ours*) ls -v "$dir"/zarvo-access-[0-9]*.log* ;;
    rotatelogs) echo "$dir/file"; ls -v "$dir"/file.* 2>/dev/null || true ;;
    # The supervision suites name their archives @TAI64N.s, which sorts by time.
    *) ls "$dir"/@*.s 2>/dev/null; echo "$dir/current" ;;
  esac
}

# output_lines NAME DIR: the lines NAME stored, its timestamps and headers
# taken off. Of a number both as .log and .log.gz (a stop between naming an
# archive and removing its .log) only the .log counts.
output_lines() {
  local f cut
  case $1 in
    ours*) for f in $(output_files "$@"); do
        [[ $f == *.gz && -e ${f%.gz} ]] || zcat -f "$f" | tail -n +3; done |
        sed -E "s/$PREFIX_RE//g" ;;
    *) case $1 in s6-log*) cut=32 ;; svlogd* | multilog*) cut=27 ;; *) cut=1 ;; esac
      for f in $(output_files "$@"); do zcat -f "$f"; done | cut -b "$cut"- ;;
  esac
}

# check_output NAME DIR INPUT: "identical, N lines", or what differs
# (input lines kept intact, output lines found nowhere in the input); fails
# when the output is not the input byte for byte.
check_output() {
  local out=$WORK/check.out lines
  output_lines "$1" "$2" >"$out"
  lines=$(wc -l <"$3")
  if cmp -s "$out" "$3"; then echo "identical, $lines lines"; return 0; fi
  echo "differs: $(comm -12 <(sort "$3") <(sort "$out") | wc -l) of $lines input lines kept intact," \
    "$(comm -13 <(sort "$3") <(sort "$out") | wc -l) output lines not in the input"
  return 1
}

# --- statistics -------------------------------------------------------------------

# Numbers on stdin; prints "median min max" ("- - -" when none).
median_min_max() {
  sort -g | awk '$1 != "-" {v[++n] = $1} END { if (!n) { print "- - -"; exit }
    print (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[1], v[n] }'
}
# "m (lo–hi)" of a median_min_max line, with $2 decimals.
fmt_range() {
  local m lo hi
  read -r m lo hi <<<"$1"
  [[ $m == - ]] && echo - || printf "%.${2:-2}f (%.${2:-2}f–%.${2:-2}f)" "$m" "$lo" "$hi"
}

# --- the fleet: proxy hosts shipping into one ClickHouse ------------------------
# Each host N (127.0.0.1N) runs nginx writing into a FIFO held open as the
# socket unit does, the writer, and the shipper of docs/examples with the
# reader under it; ClickHouse runs by hand on 127.0.0.1 with the schema of
# docs/examples. Everything lives in $WORK; pids go to STARTED.
FLEET_PACKAGES=(nginx-light wrk syslog-ng-core syslog-ng-mod-http clickhouse-server clickhouse-client)
FLEET_FILES=${FLEET_FILES:-8} FLEET_SIZE=${FLEET_SIZE:-2097152}  # the writers' MAXFILENUM, MAXFILESIZE

# Fails, setting SKIP_REASON, when a tool of the chain is missing.
fleet_available() {
  local tool
  SKIP_REASON=
  for tool in nginx wrk syslog-ng clickhouse-server clickhouse-client logger; do
    command -v "$tool" >/dev/null || { SKIP_REASON="$tool not installed"; return 1; }
  done
  [[ -e /usr/lib/syslog-ng/3.38/libhttp.so || -n $(find /usr/lib -name libhttp.so -path '*syslog-ng*' 2>/dev/null) ]] ||
    { SKIP_REASON="syslog-ng's http() module (syslog-ng-mod-http) not installed"; return 1; }
}

# fleet_clickhouse_start: a server of its own on 127.0.0.1 (first call: its
# configuration and the schema), answering queries before it returns.
fleet_clickhouse_start() {
  local d=$WORK/clickhouse
  CH_HTTP=${CH_HTTP:-$((30000 + $$ % 10000))} CH_TCP=${CH_TCP:-$((40000 + $$ % 10000))}
  if [[ ! -d $d ]]; then
    mkdir -p "$d"
    cat >"$d/config.xml" <<EOF
<?xml version="1.0"?>
<yandex>
  <logger><level>warning</level><log>$d/server.log</log><errorlog>$d/server.err</errorlog></logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>$CH_HTTP</http_port>
  <tcp_port>$CH_TCP</tcp_port>
  <path>$d/data/</path>
  <tmp_path>$d/tmp/</tmp_path>
  <user_files_path>$d/user_files/</user_files_path>
  <format_schema_path>$d/format_schemas/</format_schema_path>
  <users_config>users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>67108864</mark_cache_size>
</yandex>
EOF
    cat >"$d/users.xml" <<EOF
<?xml version="1.0"?>
<yandex>
  <profiles><default></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip></networks>
    <profile>default</profile><quota>default</quota></default></users>
  <quotas><default></default></quotas>
</yandex>
EOF
  fi
  clickhouse-server --config-file="$d/config.xml" </dev/null >>"$d/stdout" 2>&1 &
  CH_PID=$!
  STARTED+=("$CH_PID")
  until_true 60 ch -q 'SELECT 1' >/dev/null 2>&1 || die "ClickHouse did not start (see $d/server.err)"
  [[ -e $d/schema-done ]] && return 0
  ch --multiquery <"$SOURCE_DIR/docs/examples/zarvo-clickhouse.sql" || die "ClickHouse rejects the schema"
  # Every row as it arrived: merges take duplicates out of zarvo.access
  # within seconds, so they are counted here.
  ch -q "CREATE MATERIALIZED VIEW zarvo.arrivals ENGINE = MergeTree ORDER BY (host, file, offset)
         AS SELECT host, file, offset, kind FROM zarvo.access" || die "ClickHouse rejects the view"
  touch "$d/schema-done"
}
ch() { clickhouse-client --host 127.0.0.1 --port "$CH_TCP" "$@"; }

# fleet_host N: nginx on 127.0.0.1N, its writer and its shipper.
fleet_host() {
  local h=$WORK/host$1
  mkdir -p "$h"/{logs,shipper,run,log,nginx}
  mkfifo "$h/access.fifo"
  # Held open read-write for the whole run, as systemd holds the socket
  # unit's FIFO: lines wait in it while the writer restarts.
  exec {FIFO_HOLD}<>"$h/access.fifo"
  fleet_writer_start "$1"
  sed -e "s|/usr/bin/zarvo-accesslogcat|$READER|; s|-o json|-o json --host=host$1|" \
      -e "s|/var/lib/zarvo-shipper|$h/shipper|g; s|/run/zarvo-shipper|$h/run|g" \
      -e "s|/var/log/zarvo-shipper|$h/log|g; s|/var/log/http-proxy|$h/logs|g" \
      -e "s|127.0.0.1:8123|127.0.0.1:$CH_HTTP|" \
      "$SOURCE_DIR/docs/examples/zarvo-shipper.conf" >"$h/zarvo-shipper.conf"
  fleet_shipper_start "$1"
  cat >"$h/nginx.conf" <<EOF
worker_processes 1;
daemon off;
pid $h/nginx.pid;
error_log $h/nginx.err warn;
events { worker_connections 1024; }
http {
  client_body_temp_path $h/nginx; proxy_temp_path $h/nginx; fastcgi_temp_path $h/nginx;
  uwsgi_temp_path $h/nginx; scgi_temp_path $h/nginx;
  log_format ids '\$remote_addr - \$remote_user [\$time_local] "\$request" \$status '
                 '\$body_bytes_sent "\$http_referer" "\$http_user_agent" \$request_id';
  access_log $h/access.fifo ids;
  access_log $h/nginx-own.log ids;
  server { listen 127.0.0.1$1:$WEB_PORT; location / { return 200 "ok\n"; } }
}
EOF
  nginx -p "$h/nginx" -c "$h/nginx.conf" -e "$h/nginx.err" </dev/null &
  STARTED+=($!)
  until_true 10 bash -c "exec 3<>/dev/tcp/127.0.0.1$1/$WEB_PORT" 2>/dev/null || die "nginx of host $1 did not start"
}
fleet_writer_start() {
  local h=$WORK/host$1
  "$WRITER" "$h/logs" "$FLEET_FILES" "$FLEET_SIZE" <"$h/access.fifo" 2>>"$h/writer.err" &
  STARTED+=($!)
  eval "WRITER_$1=\$!"
}
# fleet_stop ROLE N: TERM to host N's WRITER or SHIPPER, waited for.
fleet_stop() {
  local pid
  eval "pid=\$$1_$2"
  kill -TERM "$pid" && wait "$pid" || log "$1 of host $2 ended with status $?"
}
fleet_writer_restart() { fleet_stop WRITER "$1"; fleet_writer_start "$1"; }
fleet_shipper_start() {
  local h=$WORK/host$1
  syslog-ng -F --no-caps -f "$h/zarvo-shipper.conf" -p "$h/run/syslog-ng.pid" \
    -R "$h/shipper/syslog-ng.persist" -c "$h/run/syslog-ng.ctl" </dev/null >/dev/null 2>>"$h/shipper.err" &
  STARTED+=($!)
  eval "SHIPPER_$1=\$!"
}
# The number of host N's oldest stored file (0 when none).
fleet_oldest() {
  local f n=0
  for f in "$WORK/host$1/logs"/zarvo-access-[0-9]*.log*; do
    f=${f##*-} f=${f%%.*}
    [[ $f =~ ^[0-9]+$ ]] && { ((n == 0 || f < n)) && n=$f; }
  done
  echo "$n"
}
fleet_reader_pid() { pgrep -f "^$READER -f --cursor-file=$WORK/host$1/" || true; }
fleet_clickhouse_kill() { kill -KILL "$CH_PID"; wait "$CH_PID" 2>/dev/null || true; }

# fleet_sample FILE: every half second, "ROLE HOST PID TICKS" of every
# reader, shipper and ClickHouse, until killed; the last reading of a
# process is its total.
fleet_sample() {
  local n pid
  while :; do
    for n in $FLEET_HOSTS; do
      for pid in $(fleet_reader_pid "$n"); do fleet_ticks reader "$n" "$pid"; done
      for pid in $(pgrep -f "^syslog-ng -F --no-caps -f $WORK/host$n/" || true); do fleet_ticks shipper "$n" "$pid"; done
    done
    for pid in $(pgrep -f "^clickhouse-server --config-file=$WORK/" || true); do fleet_ticks clickhouse - "$pid"; done
    sleep 0.5
  done >>"$1"
}
# fleet_ticks ROLE HOST PID: the line of a process still there.
fleet_ticks() {
  local t
  t=$(awk '{ print $14 + $15 }' "/proc/$3/stat" 2>/dev/null) && [[ -n $t ]] && echo "$1 $2 $3 $t" || true
}
# fleet_cpu FILE ROLE [HOST]: seconds of CPU of ROLE (on HOST) over the run.
fleet_cpu() {
  awk -v r="$2" -v h="${3:-}" -v hz="$(getconf CLK_TCK)" \
    '$1 == r && (h == "" || $2 == h) { last[$3] = $4 } END { for (p in last) t += last[p]; printf "%.2f", t / hz }' "$1"
}

# fleet_load_start RATE: wrk on every host, at about RATE requests a
# second a host (0: as fast as it goes), until fleet_load_stop.
fleet_load_start() {
  local n conns=8 script=$WORK/pace.lua
  if (($1)); then
    conns=$(( ($1 + 49) / 50 ))
    echo "function delay() return $((conns * 1000 / $1)) end" >"$script"
  else
    echo "" >"$script"
  fi
  LOAD_PIDS=()
  for n in $FLEET_HOSTS; do
    wrk -t1 -c"$conns" -d1h -s "$script" -H 'User-Agent: Mozilla/5.0 (X11; Linux x86_64) fleet/1.0' \
      -H 'Referer: https://www.example.org/shop/catalog?page=3' \
      "http://127.0.0.1$n:$WEB_PORT/shop/item?id=4711&lang=en" >"$WORK/wrk$n.out" &
    LOAD_PIDS+=($!)
    STARTED+=($!)
  done
}
fleet_load_stop() { kill "${LOAD_PIDS[@]}"; wait "${LOAD_PIDS[@]}" 2>/dev/null || true; }

# fleet_rows N: rows of host N in ClickHouse, duplicates included.
fleet_rows() { ch -q "SELECT count() FROM zarvo.arrivals WHERE host = 'host$1'" 2>/dev/null || echo -1; }
# fleet_queued N: lines host N's shipper holds for ClickHouse ("?" when it
# does not answer).
fleet_queued() {
  syslog-ng-ctl stats -c "$WORK/host$1/run/syslog-ng.ctl" 2>/dev/null |
    awk -F';' '$2 ~ /^d_clickhouse#/ && $(NF-1) == "queued" { q += $NF; seen = 1 } END { print seen ? q : "?" }'
}
# fleet_drain SECONDS: until no shipper holds a line and the rows of every
# host stayed the same for 3 s (at most SECONDS).
fleet_drain() {
  local last= now still=0 deadline=$((SECONDS + $1)) n
  while ((SECONDS < deadline)); do
    now=$(for n in $FLEET_HOSTS; do echo "$(fleet_rows "$n")/$(fleet_queued "$n")"; done | tr '\n' ' ')
    if [[ $now == "$last" && $now != */[!0]* ]]; then ((++still >= 6)) && return 0; else still=0; fi
    last=$now
    sleep 0.5
  done
  return 1
}

# fleet_check N: host N's lines in ClickHouse against its nginx's own log,
# by $request_id. Sets LOST (lines not in ClickHouse), LOST_IN_GAPS (of
# them, those inside a gap row: a run of lines missing between a line
# from a file before the gap's first and one from the file after its
# last), GAPS (gap rows), DUPS (rows beyond one a line as they arrived),
# DUPS_FINAL (after FINAL) and EXTRA (rows of no nginx line).
fleet_check() {
  local n=$1 h=$WORK/host$1 out
  ch -q "SELECT extract(line, '(\\\\S+)\$'), file FROM zarvo.access WHERE host = 'host$n' AND kind = 'line'
         FORMAT TabSeparated" >"$h/rows.tsv"
  ch -q "SELECT file, last_file FROM zarvo.access FINAL WHERE host = 'host$n' AND kind = 'gap'
         FORMAT TabSeparated" >"$h/gaps.tsv"
  GAPS=$(wc -l <"$h/gaps.tsv")
  DUPS=$(( $(ch -q "SELECT count() FROM zarvo.arrivals WHERE host = 'host$n' AND kind = 'line'") -
           $(cut -f1 "$h/rows.tsv" | sort -u | wc -l) ))
  DUPS_FINAL=$(( $(ch -q "SELECT count() FROM zarvo.access FINAL WHERE host = 'host$n' AND kind = 'line'") -
                 $(cut -f1 "$h/rows.tsv" | sort -u | wc -l) ))
  out=$(awk -v gaps="$h/gaps.tsv" -v rows="$h/rows.tsv" '
    BEGIN { FS = "\t"; while ((getline l < rows) > 0) { split(l, f, "\t"); file[f[1]] = f[2] }
            while ((getline l < gaps) > 0) { split(l, f, "\t"); g1[++ng] = f[1]; g2[ng] = f[2] } FS = " " }
    function run_end(next_file,   i) {
      if (!run) return
      lost += run
      for (i = 1; i <= ng; i++) if (prev >= g1[i] - 1 && prev <= g2[i] && next_file == g2[i] + 1) { in_gaps += run; break }
      run = 0 }
    { id = $NF; seen[id] = 1
      if (id in file) { run_end(file[id]); prev = file[id] } else run++ }
    END { run_end(-1); extra = 0; for (id in file) if (!(id in seen)) extra++
          printf "%d %d %d\n", lost, in_gaps, extra }' "$h/nginx-own.log")
  read -r LOST LOST_IN_GAPS EXTRA <<<"$out"
}
