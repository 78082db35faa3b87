# shellcheck shell=bash disable=SC2034  # the variables set here are used by the scripts
# Shared by bench/run.sh, bench/figures.sh and bench/smoke.sh; sourced, not run.
# Contenders, how each one is run and checked, and the statistics.

BENCH_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SOURCE_DIR=$(dirname "$BENCH_DIR")
BUILD_DIR=${BUILD_DIR:-$SOURCE_DIR/build}
# Byte-wise sorting and awk; globs of TAI64N names sort by time.
export LC_ALL=C

ROTATE_SIZE=8388608   # MAXFILESIZE, and the peers' size limit
KEEP_FILES=5          # MAXFILENUM, and the peers' file count
CHECK_FILES=1000      # for the correctness runs: nothing gets deleted
PEER_PACKAGES=(s6 execline runit daemontools apache2-utils)
# s6-log runs its processor through execlineb at this fixed path.
EXECLINEB=/usr/lib/execline/bin/execlineb
CONTENDERS=(floor ours rotatelogs s6-log svlogd multilog
            s6-log+gzip svlogd+gzip multilog+gzip ours+archiving)

log() { printf '%s\n' "$*" >&2; }
die() { log "bench: $*"; exit 1; }

# --- build and tools ---------------------------------------------------------

build_tools() {
  local out=$BUILD_DIR/bench-build.log
  if [[ ! -f $BUILD_DIR/CMakeCache.txt ]]; then
    cmake -S "$SOURCE_DIR" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$out" 2>&1 ||
      { tail -20 "$out"; die "configure failed"; }
  fi
  log "building in $BUILD_DIR"
  cmake --build "$BUILD_DIR" -j"$(nproc)" --target zarvo-accesslogwriter gen_access_log \
    compress_rate run_timed feed_hold check_lines malloc_count input_gate >"$out" 2>&1 ||
    { tail -20 "$out"; die "build failed (see $out)"; }
}

find_tools() {
  WRITER=$BUILD_DIR/app/zarvo-accesslogwriter
  GEN=$BUILD_DIR/bench/gen_access_log
  COMPRESS_RATE=$BUILD_DIR/bench/compress_rate
  RUN_TIMED=$BUILD_DIR/bench/run_timed
  FEED_HOLD=$BUILD_DIR/bench/feed_hold
  CHECK_LINES=$BUILD_DIR/bench/check_lines
  MALLOC_COUNT=$BUILD_DIR/bench/libmalloc_count.so
  INPUT_GATE=$BUILD_DIR/bench/libinput_gate.so
  local tool
  for tool in "$WRITER" "$GEN" "$COMPRESS_RATE" "$RUN_TIMED" "$FEED_HOLD" "$CHECK_LINES" \
    "$MALLOC_COUNT" "$INPUT_GATE"; do
    [[ -x $tool || -f $tool ]] || die "missing $tool; build first (or drop --no-build)"
  done
  # Sanitizer or debug builds measure the instrumentation, not the writer.
  local type
  type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null || true)
  [[ $type == Release || $type == RelWithDebInfo ]] || log "warning: $BUILD_DIR is a '$type' build"
  if grep -q '^ZARVO_SANITIZE_[A-Z]*:BOOL=ON' "$BUILD_DIR/CMakeCache.txt" 2>/dev/null; then
    log "warning: $BUILD_DIR has a sanitizer enabled"
  fi
}

# Other work on the machine shows up as wall time; say so rather than
# publish its noise.
warn_if_busy() {
  local load
  read -r load _ </proc/loadavg
  LOAD_AT_START=$load
  if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    log "warning: load average $load: other work is running, timings will be noisy"
  fi
}

# --- peers --------------------------------------------------------------------

peers_present() {
  command -v s6-log && command -v svlogd && command -v multilog && command -v rotatelogs &&
    [[ -x $EXECLINEB ]]
}

# Installs what is missing when root; never fails: a missing peer is skipped.
install_peers() {
  peers_present >/dev/null && return 0
  if [[ $(id -u) != 0 ]] || ! command -v apt-get >/dev/null; then
    log "peers missing and not root with apt-get: they are skipped"
    return 0
  fi
  local out package
  out=$(mktemp)
  export DEBIAN_FRONTEND=noninteractive
  log "installing ${PEER_PACKAGES[*]}"
  if ! apt-get install -y --no-install-recommends "${PEER_PACKAGES[@]}" </dev/null >"$out" 2>&1; then
    apt-get update </dev/null >>"$out" 2>&1 || true
    # One by one, so that one unavailable package keeps none of the others out.
    for package in "${PEER_PACKAGES[@]}"; do
      apt-get install -y --no-install-recommends "$package" </dev/null >>"$out" 2>&1 ||
        log "apt-get could not install $package: its peers are skipped"
    done
  fi
  rm -f "$out"
}

# Sets SKIP_REASON and fails when NAME cannot run here.
contender_available() {
  SKIP_REASON=
  local tool=${1%+gzip}
  case $tool in
    floor | ours | ours+archiving) return 0 ;;
  esac
  if ! command -v "$tool" >/dev/null; then
    SKIP_REASON="$tool not installed"
    return 1
  fi
  if [[ $1 == s6-log+gzip && ! -x $EXECLINEB ]]; then
    SKIP_REASON="s6-log runs processors through $EXECLINEB (package execline), not installed"
    return 1
  fi
  if [[ $1 == *+gzip ]] && ! command -v gzip >/dev/null; then
    SKIP_REASON="gzip not installed"
    return 1
  fi
}

contender_label() {
  local size=$ROTATE_SIZE
  case $1 in
    floor) echo "cat > file (the copy floor)" ;;
    ours) echo "zarvo-accesslogwriter DIR $KEEP_FILES $size" ;;
    ours+archiving) echo "zarvo-accesslogwriter, input held open until archived" ;;
    rotatelogs) echo "rotatelogs -n $KEEP_FILES DIR/file $((size / 1024))K" ;;
    s6-log) echo "s6-log T n$KEEP_FILES s$size" ;;
    svlogd) echo "svlogd -tt (s$size, n$KEEP_FILES)" ;;
    multilog) echo "multilog t s$size n$KEEP_FILES" ;;
    s6-log+gzip) echo "s6-log T n$KEEP_FILES s$size !gzip -9" ;;
    svlogd+gzip) echo "svlogd -tt (s$size, n$KEEP_FILES, !gzip -9)" ;;
    multilog+gzip) echo "multilog t s$size n$KEEP_FILES !gzip -9" ;;
  esac
}

# --- running ------------------------------------------------------------------

fresh_dir() {
  rm -rf "$1"
  mkdir -p "$1"
}

# run_contender NAME DIR INPUT RESULT FILES: one run of NAME in the fresh,
# absolute DIR, INPUT on stdin, keeping FILES files; run_timed appends its
# measurement to RESULT. Returns the contender's exit status.
run_contender() {
  local name=$1 dir=$2 input=$3 result=$4 files=$5 size=$ROTATE_SIZE
  fresh_dir "$dir"
  case $name in
    floor) "$RUN_TIMED" "$result" cat <"$input" >"$dir/file" ;;
    ours) "$RUN_TIMED" "$result" "$WRITER" "$dir" "$files" "$size" <"$input" ;;
    ours+archiving)
      "$FEED_HOLD" "$input" "$dir" | "$RUN_TIMED" "$result" "$WRITER" "$dir" "$files" "$size" ;;
    rotatelogs)
      "$RUN_TIMED" "$result" rotatelogs -n "$files" "$dir/file" "$((size / 1024))K" <"$input" ;;
    s6-log) "$RUN_TIMED" "$result" s6-log T "n$files" "s$size" "$dir" <"$input" ;;
    s6-log+gzip) "$RUN_TIMED" "$result" s6-log T "n$files" "s$size" '!gzip -9' "$dir" <"$input" ;;
    svlogd | svlogd+gzip)
      printf 's%s\nn%s\n' "$size" "$files" >"$dir/config"
      [[ $name == svlogd ]] || echo '!gzip -9' >>"$dir/config"
      "$RUN_TIMED" "$result" svlogd -tt "$dir" <"$input" ;;
    multilog) "$RUN_TIMED" "$result" multilog t "s$size" "n$files" "$dir" <"$input" ;;
    multilog+gzip) "$RUN_TIMED" "$result" multilog t "s$size" "n$files" '!gzip -9' "$dir" <"$input" ;;
    *) die "unknown contender $name" ;;
  esac
}

# Appends "NAME ROUND wall cpu user sys rss_kib status" to RESULTS.
record_run() {
  local name=$1 round=$2 dir=$3 input=$4 results=$5 files=$6 one status=0
  one=$(mktemp)
  run_contender "$name" "$dir" "$input" "$one" "$files" 2>"$dir.stderr" || status=$?
  if [[ -s $one ]]; then
    awk -v n="$name" -v r="$round" '{print n, r, $1, $2 + $3, $2, $3, $4, $5}' "$one" >>"$results"
  else
    echo "$name $round - - - - - $status" >>"$results"
  fi
  [[ $status == 0 ]] || log "$name exited with status $status: $(tail -3 "$dir.stderr")"
  rm -f "$one"
}

# run_rounds RESULTS INPUT RUNS NAME...: every round runs each available
# contender once in a fresh directory, starting one further along the list
# each round, so that no contender always follows the same neighbour.
run_rounds() {
  local results=$1 input=$2 runs=$3 round i
  shift 3
  local -a names=()
  local name
  for name in "$@"; do
    if contender_available "$name"; then names+=("$name"); else log "skipping $name: $SKIP_REASON"; fi
  done
  RUN_NAMES=("${names[@]}")
  for ((round = 1; round <= runs; round++)); do
    log "round $round of $runs"
    for ((i = 0; i < ${#names[@]}; i++)); do
      name=${names[(i + round - 1) % ${#names[@]}]}
      record_run "$name" "$round" "$WORK/out-$name" "$input" "$results" "$KEEP_FILES"
      rm -rf "$WORK/out-$name"
    done
  done
}

# --- correctness --------------------------------------------------------------

# Our numbered files in order; an uncompressed file wins over an archive of
# the same number (an archive is removed or left partial when the writer
# exits while compressing).
ours_files() {
  local dir=$1 f n
  for f in "$dir"/zarvo-access-*.log "$dir"/zarvo-access-*.log.gz; do
    [[ -e $f ]] || continue
    n=${f##*/zarvo-access-}
    echo "${n%%.*}"
  done | sort -un | while read -r n; do
    if [[ -f $dir/zarvo-access-$n.log ]]; then echo "$dir/zarvo-access-$n.log"
    else echo "$dir/zarvo-access-$n.log.gz"; fi
  done
}

# rotatelogs -n writes file, file.1, file.2, ... in that order.
rotatelogs_files() {
  local dir=$1 i
  echo "$dir/file"
  for ((i = 1; i < CHECK_FILES; i++)); do
    [[ -e $dir/file.$i ]] || break
    echo "$dir/file.$i"
  done
}

# The supervision suites' archives are named @TAI64N.s, which sorts by time.
archive_dir_files() {
  local f
  for f in "$1"/@*.s; do [[ -e $f ]] && echo "$f"; done
  echo "$1/current"
}

output_files() {
  case $1 in
    floor) echo "$2/file" ;;
    ours | ours+archiving) ours_files "$2" ;;
    rotatelogs) rotatelogs_files "$2" ;;
    *) archive_dir_files "$2" ;;
  esac
}

# How check_lines reads NAME's output: our records, or N bytes of timestamp
# to strip from each line.
output_format() {
  case $1 in
    ours | ours+archiving) echo records ;;
    floor | rotatelogs) echo 0 ;;
    s6-log*) echo 31 ;;    # 2026-12-09 08:26:06.563018817 and two spaces
    svlogd*) echo 26 ;;    # 2026-12-09_08:26:07.13743 and a space
    multilog*) echo 26 ;;  # @400000006b1910a9271b778c and a space
  esac
}

# check_contender NAME INPUT: runs NAME keeping every file and prints what
# check_lines says; fails when the output is not the input.
check_contender() {
  local name=$1 input=$2 dir=$WORK/check-$1 status=0 said
  local -a files
  run_contender "$name" "$dir" "$input" /dev/null "$CHECK_FILES" 2>"$dir.stderr" || status=$?
  if [[ $status != 0 ]]; then
    echo "exited with status $status"
    return 1
  fi
  mapfile -t files < <(output_files "$name" "$dir")
  said=$("$CHECK_LINES" "$input" "$(output_format "$name")" "${files[@]}" 2>&1) || status=$?
  echo "${said//$'\n'/; }"
  return "$status"
}

# --- statistics -----------------------------------------------------------------

# Reads numbers on stdin, prints "median min max" ("- - -" when none).
median_min_max() {
  sort -g | awk '$1 != "-" {v[++n] = $1}
    END { if (!n) { print "- - -"; exit }
          m = n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2
          print m, v[1], v[n] }'
}

# field_of RESULTS NAME FIELD: field 3 wall, 4 cpu, 5 user, 6 sys, 7 rss KiB.
field_of() { awk -v n="$2" -v f="$3" '$1 == n && $8 == 0 {print $f}' "$1"; }

stat_of() { field_of "$@" | median_min_max; }

# Median over rounds of NAME's FIELD over the floor's in the same round.
pair_ratio() {
  awk -v n="$2" -v f="${3:-3}" '$8 != 0 {next} $1 == "floor" {b[$2] = $f} $1 == n {c[$2] = $f}
    END { for (r in c) if ((r in b) && b[r] > 0) print c[r] / b[r] }' "$1" | median_min_max
}
