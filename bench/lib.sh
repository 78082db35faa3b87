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
stop_started() { local p; for p in "${STARTED[@]}"; do kill "$p" 2>/dev/null || true; done; }
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
